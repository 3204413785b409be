#include "platform/pkcs7_signed_data.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <stdexcept>

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

// The header of an element of |tag| whose content is |length| octets long.
std::vector<uint8_t> DerHeader(uint8_t tag, size_t length) {
  if (length > UINT32_MAX) throw std::length_error("DER content too long");
  std::vector<uint8_t> header{tag};
  if (length < 0x80) {
    header.push_back(static_cast<uint8_t>(length));
    return header;
  }
  uint8_t octets = 0;
  for (size_t rest = length; rest != 0; rest >>= 8) ++octets;
  header.push_back(static_cast<uint8_t>(0x80 | octets));
  for (int shift = 8 * (octets - 1); shift >= 0; shift -= 8) {
    header.push_back(static_cast<uint8_t>(length >> shift));
  }
  return header;
}

void Append(std::vector<uint8_t>& out, std::span<const uint8_t> part) {
  out.insert(out.end(), part.begin(), part.end());
}

// An element of |tag| holding |parts| joined in order (a SET OF or SEQUENCE OF of any length).
std::vector<uint8_t> DerElementOf(uint8_t tag, const std::vector<std::vector<uint8_t>>& parts) {
  size_t length = 0;
  for (const auto& part : parts) length += part.size();
  std::vector<uint8_t> out = DerHeader(tag, length);
  out.reserve(out.size() + length);
  for (const auto& part : parts) Append(out, part);
  return out;
}

std::vector<uint8_t> AlgorithmIdentifier(const char* dotted) {
  const std::vector<uint8_t> oid = DerObjectIdentifier(dotted);
  return DerElement(der_tag::kSequence, {oid, kNull});
}

std::vector<uint8_t> Attribute(const char* type, std::span<const uint8_t> value) {
  const std::vector<uint8_t> oid = DerObjectIdentifier(type);
  const std::vector<uint8_t> values = DerElement(der_tag::kSet, {value});
  return DerElement(der_tag::kSequence, {oid, values});
}

// The issuer Name and serial number INTEGER elements of a DER certificate, as they are encoded.
struct IssuerAndSerial {
  std::span<const uint8_t> issuer;
  std::span<const uint8_t> serial;
};

std::optional<IssuerAndSerial> ReadIssuerAndSerial(std::span<const uint8_t> der) {
  DerReader whole(der.data(), der.size());
  DerReader certificate;
  DerReader tbs;
  if (!whole.ReadElement(der_tag::kSequence, certificate) || !whole.empty() ||
      !certificate.ReadElement(der_tag::kSequence, tbs)) {
    return std::nullopt;
  }
  bool has_version = false;
  DerReader version;
  DerReader serial;
  DerReader issuer;
  if (!tbs.ReadOptionalElement(der_tag::ContextConstructed(0), version, has_version) ||
      !tbs.ReadWholeElement(der_tag::kInteger, serial) || !tbs.SkipElement(der_tag::kSequence) ||
      !tbs.ReadWholeElement(der_tag::kSequence, issuer)) {
    return std::nullopt;
  }
  return IssuerAndSerial{{issuer.data(), issuer.size()}, {serial.data(), serial.size()}};
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
  return DerElement(short_form ? der_tag::kUtcTime : der_tag::kGeneralizedTime, {value});
}

std::optional<std::vector<uint8_t>> EncodeSignedData(const SignedDataRequest& request,
                                                     const SignData& sign) {
  const auto identity = ReadIssuerAndSerial(request.signer_certificate);
  if (!identity) {
    SetLastPlatformError(platform_error::kBadEncode);
    return std::nullopt;
  }
  try {
    const std::vector<uint8_t> digest_algorithm = AlgorithmIdentifier(request.digest_algorithm);
    const std::vector<uint8_t> data_type = DerObjectIdentifier(kDataType);

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
      const std::vector<uint8_t> digest =
          DerElement(der_tag::kOctetString, {request.content_digest});
      std::vector<std::vector<uint8_t>> set{Attribute(kContentTypeAttribute, data_type),
                                            Attribute(kSigningTimeAttribute, *time),
                                            Attribute(kMessageDigestAttribute, digest)};
      std::sort(set.begin(), set.end());
      attributes = DerElementOf(der_tag::kSet, set);
      signature = sign(attributes);
      attributes[0] = der_tag::ContextConstructed(0);
    } else {
      signature = sign(request.content);
    }
    if (!signature) return std::nullopt;

    const std::vector<uint8_t> signer_id =
        DerElement(der_tag::kSequence, {identity->issuer, identity->serial});
    const std::vector<uint8_t> signature_algorithm = AlgorithmIdentifier(kRsaEncryption);
    const std::vector<uint8_t> signature_value = DerElement(der_tag::kOctetString, {*signature});
    const std::vector<uint8_t> signer_info =
        DerElement(der_tag::kSequence, {kVersionOne, signer_id, digest_algorithm, attributes,
                                        signature_algorithm, signature_value});

    // Everything of the SignedData but the encapsulated content, which may be large and is
    // copied once, straight into the result.
    const std::vector<uint8_t> head =
        DerElement(der_tag::kSet, {digest_algorithm});  // digestAlgorithms
    std::vector<uint8_t> tail;
    if (!request.certificates.empty()) {
      size_t length = 0;
      for (const auto& certificate : request.certificates) length += certificate.size();
      tail = DerHeader(der_tag::ContextConstructed(0), length);
      for (const auto& certificate : request.certificates) Append(tail, certificate);
    }
    Append(tail, DerElement(der_tag::kSet, {signer_info}));

    std::vector<uint8_t> content_prefix;
    size_t encapsulated_length = data_type.size();
    if (!request.detached) {
      const std::vector<uint8_t> octets = DerHeader(der_tag::kOctetString, request.content.size());
      const size_t octets_length = octets.size() + request.content.size();
      const std::vector<uint8_t> explicit_zero =
          DerHeader(der_tag::ContextConstructed(0), octets_length);
      encapsulated_length += explicit_zero.size() + octets_length;
      content_prefix = explicit_zero;
      Append(content_prefix, octets);
    }
    const std::vector<uint8_t> encapsulated = DerHeader(der_tag::kSequence, encapsulated_length);
    const size_t signed_data_length =
        sizeof kVersionOne + head.size() + encapsulated.size() + encapsulated_length + tail.size();
    const std::vector<uint8_t> signed_data = DerHeader(der_tag::kSequence, signed_data_length);
    const size_t explicit_length = signed_data.size() + signed_data_length;
    const std::vector<uint8_t> explicit_zero =
        DerHeader(der_tag::ContextConstructed(0), explicit_length);
    const std::vector<uint8_t> signed_data_type = DerObjectIdentifier(kSignedDataType);
    const size_t content_info_length =
        signed_data_type.size() + explicit_zero.size() + explicit_length;

    std::vector<uint8_t> message = DerHeader(der_tag::kSequence, content_info_length);
    message.reserve(message.size() + content_info_length);
    Append(message, signed_data_type);
    Append(message, explicit_zero);
    Append(message, signed_data);
    Append(message, kVersionOne);
    Append(message, head);
    Append(message, encapsulated);
    Append(message, data_type);
    Append(message, content_prefix);
    if (!request.detached) Append(message, request.content);
    Append(message, tail);
    return message;
  } catch (const std::length_error&) {
    SetLastPlatformError(platform_error::kBadEncode);
    return std::nullopt;
  }
}

}  // namespace kelvadrome
