#include "platform/pkcs7_certificates.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/certificate.h"  // the ASN.1 error values
#include "platform/ber_reader.h"
#include "platform/der_reader.h"  // tag octets and the OBJECT IDENTIFIER check
#include "platform/last_error.h"

namespace kelvadrome {
namespace {

using Fault = BerFault;
using Element = BerElement;
using BerCursor = BerReader;

// Content types: the OBJECT IDENTIFIER content octets of 1.2.840.113549.1.7.n.
constexpr uint8_t kPkcs7Arc[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07};
constexpr uint8_t kData = 1;
constexpr uint8_t kSignedData = 2;
constexpr uint8_t kEnvelopedData = 3;
constexpr uint8_t kDigestedData = 5;
constexpr uint8_t kEncryptedData = 6;

// Pkcs7Type returns n for a content type 1.2.840.113549.1.7.n with n below 128, 0 otherwise.
uint8_t Pkcs7Type(const Element& oid) {
  if (oid.content_size() != sizeof(kPkcs7Arc) + 1) return 0;
  if (std::memcmp(oid.content, kPkcs7Arc, sizeof(kPkcs7Arc)) != 0) return 0;
  const uint8_t last = oid.content[sizeof(kPkcs7Arc)];
  return (last & 0x80) ? 0 : last;
}

// ReadSignedData reads the SignedData |signed_data| (level |depth|) and appends the elements of its
// certificate set to |certificates|.
//   SignedData ::= SEQUENCE { version INTEGER, digestAlgorithms SET, encapContentInfo SEQUENCE,
//                             certificates [0] IMPLICIT SET OPTIONAL, crls [1] IMPLICIT OPTIONAL,
//                             signerInfos SET }
// The version is not checked: version 1 messages and later ones (version 3 and up, with
// other signer identifiers) share this outline.
Fault ReadSignedData(BerCursor& outer, const Element& signed_data, int depth,
                     std::vector<std::span<const uint8_t>>& certificates) {
  BerCursor fields = outer.Inside(signed_data);
  const int field_depth = depth + 1;
  Element field;
  Fault fault = fields.Read(der_tag::kInteger, field, field_depth);
  if (fault != Fault::kNone) return fault;
  if (field.content_size() == 0) return Fault::kBadTag;
  if ((fault = fields.Read(der_tag::kSet, field, field_depth)) != Fault::kNone) return fault;
  if ((fault = fields.Read(der_tag::kSequence, field, field_depth)) != Fault::kNone) return fault;
  if (fields.NextIs(der_tag::ContextConstructed(0))) {
    if ((fault = fields.Read(field, field_depth)) != Fault::kNone) return fault;
    BerCursor set = fields.Inside(field);
    while (!set.empty()) {
      Element entry;
      if ((fault = set.Read(entry, field_depth + 1)) != Fault::kNone) return fault;
      certificates.emplace_back(entry.begin, entry.end);
    }
  }
  if (fields.NextIs(der_tag::ContextConstructed(1))) {
    if ((fault = fields.Read(field, field_depth)) != Fault::kNone) return fault;
  }
  if ((fault = fields.Read(der_tag::kSet, field, field_depth)) != Fault::kNone) return fault;
  return fields.empty() ? Fault::kNone : Fault::kBadTag;
}

uint32_t FaultError(Fault fault) {
  return fault == Fault::kEndOfData ? platform_error::kAsn1EndOfData : platform_error::kAsn1BadTag;
}

// Read does the work of ReadPkcs7Certificates except recording the error, which it returns.
//   ContentInfo ::= SEQUENCE { contentType OBJECT IDENTIFIER, content [0] EXPLICIT ANY OPTIONAL }
uint32_t Read(std::span<const uint8_t> bytes, Pkcs7Certificates& result) {
  if (bytes.empty()) return platform_error::kAsn1EndOfData;
  const uint8_t* input_end = bytes.data() + bytes.size();
  BerCursor input(bytes.data(), input_end, input_end);
  Element info;
  Fault fault = input.Read(der_tag::kSequence, info, 0);
  if (fault != Fault::kNone) return FaultError(fault);
  if (!input.empty()) return platform_error::kAsn1BadTag;

  BerCursor fields = input.Inside(info);
  Element oid;
  if ((fault = fields.Read(der_tag::kObjectIdentifier, oid, 1)) != Fault::kNone) {
    return FaultError(fault);
  }
  if (!IsValidObjectIdentifier(oid.content, oid.content_size())) return platform_error::kAsn1BadTag;
  // The content, when there, is exactly one element inside the explicit [0].
  bool has_content = false;
  Element content;
  BerCursor wrapper = fields;
  if (!fields.empty()) {
    Element explicit_tag;
    if ((fault = fields.Read(der_tag::ContextConstructed(0), explicit_tag, 1)) != Fault::kNone) {
      return FaultError(fault);
    }
    wrapper = fields.Inside(explicit_tag);
    if ((fault = wrapper.Read(content, 2)) != Fault::kNone) return FaultError(fault);
    if (!wrapper.empty()) return platform_error::kAsn1BadTag;
    has_content = true;
    if (!fields.empty()) return platform_error::kAsn1BadTag;
  }

  switch (Pkcs7Type(oid)) {
    case kSignedData:
      if (!has_content || !content.Is(der_tag::kSequence)) return platform_error::kAsn1BadTag;
      if ((fault = ReadSignedData(wrapper, content, 2, result.certificates)) != Fault::kNone) {
        result.certificates.clear();
        return FaultError(fault);
      }
      result.reading = Pkcs7Reading::kCertificates;
      return 0;
    case kData:
    case kEnvelopedData:
    case kDigestedData:
    case kEncryptedData:
      result.reading = Pkcs7Reading::kNoCertificateCount;
      return platform_error::kInvalidMessageType;
    default:
      return platform_error::kInvalidMessageType;
  }
}

}  // namespace

Pkcs7Certificates ReadPkcs7Certificates(std::span<const uint8_t> bytes) {
  Pkcs7Certificates result;
  SetLastPlatformError(Read(bytes, result));
  return result;
}

}  // namespace kelvadrome
