#include "platform/pkcs7_signed_data.h"

#include <cstdio>
#include <ctime>
#include <stdexcept>

#include "platform/certificate.h"
#include "platform/der_reader.h"
#include "platform/der_writer.h"
#include "platform/last_error.h"

namespace kelvadrome {

namespace {

constexpr const char* kDataType = "1.2.840.113549.1.7.1";
constexpr const char* kSignedDataType = "1.2.840.113549.1.7.2";
constexpr const char* kRsaEncryption = "1.2.840.113549.1.1.1";
constexpr const char* kContentTypeAttribute = "1.2.840.113549.1.9.3";
constexpr const char* kMessageDigestAttribute = "1.2.840.113549.1.9.4";
constexpr const char* kSigningTimeAttribute = "1.2.840.113549.1.9.5";
constexpr uint8_t kVersionOne[] = {0x02, 0x01, 0x01};
constexpr uint8_t kNull[] = {0x05, 0x00};

// AddAlgorithmIdentifier writes the AlgorithmIdentifier of |dotted| with a NULL parameter.
void AddAlgorithmIdentifier(DerBuilder& out, const char* dotted) {
  out.Open(der_tag::kSequence);
  out.AddObjectIdentifier(dotted);
  out.AddEncoded(kNull);
  out.Close();
}

// AddAttribute writes the Attribute of |type| with the one value |value| (encoded).
void AddAttribute(DerBuilder& out, const char* type, std::span<const uint8_t> value) {
  out.Open(der_tag::kSequence);
  out.AddObjectIdentifier(type);
  out.Open(der_tag::kSet);
  out.AddEncoded(value);
  out.Close();
  out.Close();
}

}  // namespace

std::optional<std::vector<uint8_t>> EncodeSigningTime(int64_t seconds) {
  const auto moment = static_cast<time_t>(seconds);
  struct tm utc {};
  if (static_cast<int64_t>(moment) != seconds || gmtime_r(&moment, &utc) == nullptr) {
    return std::nullopt;
  }
  const int64_t year = static_cast<int64_t>(utc.tm_year) + 1900;
  if (year < 0 || year > 9999) return std::nullopt;
  char text[16];
  const bool short_form = year >= 1950 && year <= 2049;
  const int length = short_form ? std::snprintf(text, sizeof text, "%02d%02d%02d%02d%02d%02dZ",
                                                static_cast<int>(year % 100), utc.tm_mon + 1,
                                                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec)
                                : std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02dZ",
                                                static_cast<int>(year), utc.tm_mon + 1, utc.tm_mday,
                                                utc.tm_hour, utc.tm_min, utc.tm_sec);
  const std::span<const uint8_t> value(reinterpret_cast<const uint8_t*>(text),
                                       static_cast<size_t>(length));
  DerBuilder out;
  out.AddElement(short_form ? der_tag::kUtcTime : der_tag::kGeneralizedTime, value);
  return out.Finish();
}

std::optional<std::vector<uint8_t>> EncodeSignedData(const SignedDataRequest& request,
                                                     const SignData& sign) {
  const auto identity = ReadIssuerAndSerial(request.signer_certificate);
  if (!identity) {
    SetLastPlatformError(platform_error::kBadEncode);
    return std::nullopt;
  }
  try {
    // Authenticated attributes, sorted by their encodings as a DER SET OF requires; the signature
    // covers that set with its universal SET tag, the message carries it as [0].
    std::vector<uint8_t> attributes;
    std::optional<std::vector<uint8_t>> signature;
    if (request.signing_time) {
      const auto time = EncodeSigningTime(*request.signing_time);
      if (!time) {
        SetLastPlatformError(platform_error::kBadEncode);
        return std::nullopt;
      }
      DerBuilder set;
      set.Open(der_tag::kSet);
      set.Open(der_tag::kSequence);
      set.AddObjectIdentifier(kContentTypeAttribute);
      set.Open(der_tag::kSet);
      set.AddObjectIdentifier(kDataType);
      set.Close();
      set.Close();
      AddAttribute(set, kSigningTimeAttribute, *time);
      set.Open(der_tag::kSequence);
      set.AddObjectIdentifier(kMessageDigestAttribute);
      set.Open(der_tag::kSet);
      set.AddElement(der_tag::kOctetString, request.content_digest);
      set.Close();
      set.Close();
      set.CloseSetOf();
      attributes = set.Finish();
      signature = sign(attributes);
      attributes[0] = der_tag::ContextConstructed(0);
    } else {
      signature = sign(request.content);
    }
    if (!signature) return std::nullopt;

    // The encapsulated content may be large: it is copied once, straight into the message, and
    // the elements around it reserve length octets for its size so that closing them moves
    // nothing.
    const size_t content_size = request.detached ? 0 : request.content.size();
    size_t certificates_size = 0;
    for (const auto& certificate : request.certificates) certificates_size += certificate.size();
    const size_t expected = content_size + certificates_size + attributes.size() +
                            signature->size() + 2 * request.signer_certificate.size();
    DerBuilder out(expected + 256);
    out.Open(der_tag::kSequence, expected);  // ContentInfo
    out.AddObjectIdentifier(kSignedDataType);
    out.Open(der_tag::ContextConstructed(0), expected);
    out.Open(der_tag::kSequence, expected);  // SignedData
    out.AddEncoded(kVersionOne);
    out.Open(der_tag::kSet);  // digestAlgorithms
    AddAlgorithmIdentifier(out, request.digest_algorithm);
    out.Close();
    out.Open(der_tag::kSequence, content_size);  // contentInfo
    out.AddObjectIdentifier(kDataType);
    if (!request.detached) {
      out.Open(der_tag::ContextConstructed(0), content_size);
      out.AddElement(der_tag::kOctetString, request.content);
      out.Close();
    }
    out.Close();
    if (!request.certificates.empty()) {
      out.Open(der_tag::ContextConstructed(0), certificates_size);
      for (const auto& certificate : request.certificates) out.AddEncoded(certificate);
      out.Close();
    }
    out.Open(der_tag::kSet);  // signerInfos
    out.Open(der_tag::kSequence);
    out.AddEncoded(kVersionOne);
    out.Open(der_tag::kSequence);  // issuerAndSerialNumber
    out.AddEncoded(identity->issuer);
    out.AddEncoded(identity->serial);
    out.Close();
    AddAlgorithmIdentifier(out, request.digest_algorithm);
    out.AddEncoded(attributes);
    AddAlgorithmIdentifier(out, kRsaEncryption);
    out.AddElement(der_tag::kOctetString, *signature);
    out.Close();
    out.Close();
    out.Close();
    out.Close();
    out.Close();
    return out.Finish();
  } catch (const std::length_error&) {
    SetLastPlatformError(platform_error::kBadEncode);
    return std::nullopt;
  }
}

}  // namespace kelvadrome
