// Certificate: one X.509 certificate read by the component's own DER parser, reduced to the facts
// the component prints and compares (CertInfo in the codec layer formats them as text). The public
// key is checked for shape only; the OpenSSL object other platform services need is made from the
// DER on first request (x509()).
//
// Decoding is strict about the encoding: the bytes must be exactly one DER certificate (definite,
// shortest-form lengths throughout, nothing after the outer SEQUENCE). A failure records the
// platform last error a certificate decoder reports:
//   - no bytes, or the outer SEQUENCE claims more bytes than given: kAsn1EndOfData;
//   - bytes after the certificate: kAsn1Corrupt;
//   - anything else that is not a certificate (wrong tags, bad lengths inside, unreadable
//     validity times, name values invalid in their string type): kAsn1BadTag.
// A success records 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <atomic>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/handles.h"

namespace kelvadrome {

namespace platform_error {
inline constexpr uint32_t kAsn1EndOfData = 0x80093102;  // CRYPT_E_ASN1_EOD
inline constexpr uint32_t kAsn1Corrupt = 0x80093103;    // CRYPT_E_ASN1_CORRUPT
inline constexpr uint32_t kAsn1BadTag = 0x8009310B;     // CRYPT_E_ASN1_BADTAG
}  // namespace platform_error

// One attribute of a name: its object identifier in dotted form ("2.5.4.3"; empty for one longer
// than 586 octets) and its value as UTF-8. String values are converted from their ASN.1 string
// type: UTF8String as it is, BMPString as UTF-16 and UniversalString as UTF-32 (big-endian),
// TeletexString, PrintableString, IA5String and NumericString as Latin-1 (their character sets are
// not checked). A SEQUENCE value is given as '#' followed by the upper-case hex of its whole
// encoding; a BIT STRING as '#' and the hex of its bit octets (unused bits cleared); the other
// universal types the platform decoder takes in a name (ObjectDescriptor, EXTERNAL, REAL, EMBEDDED
// PDV, RELATIVE-OID, TIME, CHARACTER STRING, tag 15) as '#' and the hex of their content octets.
// The decoder refuses a certificate whose name holds any other type (OCTET STRING, INTEGER, SET,
// VisibleString, a constructed string, a non-universal tag...) or a value that is not valid in
// its string type (malformed UTF-8, a surrogate or an odd length in a BMPString, a length not a
// multiple of 4, a surrogate or a code beyond U+10FFFF in a UniversalString): Decode fails with
// kAsn1BadTag.
struct NameAttribute {
  std::string oid;
  std::string value;
};

// One relative distinguished name: its attributes in stored order (several for a multi-valued
// RDN). A name is its RDNs in the order the certificate stores them (most significant first, the
// reverse of the RFC 4514 string order). Empty RDNs are not listed.
using RelativeName = std::vector<NameAttribute>;
using DistinguishedName = std::vector<RelativeName>;

class Certificate {
 public:
  Certificate() = default;
  Certificate(Certificate&& other) noexcept;
  Certificate& operator=(Certificate&& other) noexcept;
  ~Certificate();
  Certificate(const Certificate&) = delete;
  Certificate& operator=(const Certificate&) = delete;

  // Decode replaces the content with the certificate encoded in the |n| bytes at |der| and
  // returns true; on failure (see the header comment for the errors recorded) it returns false and
  // leaves the object empty (decoded() false). |der| may be null only when n == 0. The bytes are
  // copied; the caller keeps ownership of its buffer.
  bool Decode(const uint8_t* der, size_t n);

  bool decoded() const { return decoded_; }

  // The certificate's DER encoding, exactly as given to Decode.
  const std::vector<uint8_t>& der() const { return der_; }
  const DistinguishedName& subject() const { return subject_; }
  const DistinguishedName& issuer() const { return issuer_; }
  // The content octets of the serial number INTEGER in encoded order (most significant first,
  // sign and leading zero octets as encoded; at least one octet).
  const std::vector<uint8_t>& serial() const { return serial_; }
  // Validity bounds in seconds since 1970-01-01 00:00:00 UTC (negative before 1970).
  int64_t not_before() const { return not_before_; }
  int64_t not_after() const { return not_after_; }
  // The first octet of the key-usage bits (0x80 digitalSignature ... 0x01 encipherOnly); empty when
  // the certificate has no readable key-usage extension. An extension with no bit set gives 0.
  std::optional<uint8_t> key_usage() const { return key_usage_; }
  // True when a readable basicConstraints extension has cA set.
  bool basic_constraints_ca() const { return basic_constraints_ca_; }

  // The whole SubjectPublicKeyInfo element (algorithm and key bits) inside der(); empty when
  // nothing is decoded. The view lives as long as the content does.
  std::span<const uint8_t> public_key_info() const {
    return std::span<const uint8_t>(der_).subspan(public_key_info_offset_, public_key_info_size_);
  }
  // x509 returns the certificate as an OpenSSL object, for other platform services (chains,
  // signatures), made in the component's library context on the first call and kept; owned by
  // this object. Null when nothing is decoded, or when OpenSSL refuses the DER (the platform error
  // is then recorded: kAsn1BadTag, or kNotEnoughMemory; a later call tries again). Safe to call
  // from several threads at once; the first object made is the one kept.
  x509_st* x509() const;

 private:
  void Reset();

  std::vector<uint8_t> der_;
  DistinguishedName subject_;
  DistinguishedName issuer_;
  std::vector<uint8_t> serial_;
  int64_t not_before_ = 0;
  int64_t not_after_ = 0;
  std::optional<uint8_t> key_usage_;
  bool basic_constraints_ca_ = false;
  size_t public_key_info_offset_ = 0;
  size_t public_key_info_size_ = 0;
  bool decoded_ = false;
  mutable std::atomic<x509_st*> x509_{nullptr};
};

// The issuer Name and the serial number INTEGER of a DER certificate, as encoded: what a PKCS #7
// message names a certificate by.
struct IssuerAndSerial {
  std::span<const uint8_t> issuer;         // the whole Name element
  std::span<const uint8_t> serial;         // the whole INTEGER element
  std::span<const uint8_t> serial_octets;  // its content octets
};

// ReadIssuerAndSerial finds both in |der| (one certificate, nothing after it) without decoding
// anything else; nullopt when the structure up to the issuer is malformed. The spans point into
// |der|.
std::optional<IssuerAndSerial> ReadIssuerAndSerial(std::span<const uint8_t> der);

// DaysFromCivil returns the number of days from 1970-01-01 to the given proleptic Gregorian date
// (negative before it); month 1-12, day 1-31.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day);

}  // namespace kelvadrome
