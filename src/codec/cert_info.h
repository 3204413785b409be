// CertInfo: the component's view of one X.509 certificate. Every surface that prints or compares
// certificate fields reads them through these getters, so dates, serial numbers, names and
// thumbprints look the same everywhere.
//
// Text results are narrow strings in the process code page, like every text the component keeps.
// Every getter returns its empty value ("" , 0, false) while no certificate is loaded.
//
// Ownership: a CertInfo always owns its copy of the DER. Loaded from DER, it also owns the decoded
// certificate; loaded from a Certificate (LoadFromCertificate), it borrows that object, which the
// caller must keep alive, unchanged, until the CertInfo is cleared, reloaded or destroyed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "codec/byte_buffer.h"
#include "platform/certificate.h"

namespace kelvadrome {

enum class CertDateFormat {
  kCompact,   // "YYYYMMDDhhmmss"
  kDate,      // "YYYY/MM/DD"
  kDateTime,  // "YYYY/MM/DD hh:mm:ss"
};

class CertInfo {
 public:
  // Longest texts kept: names fill a 512-character buffer, common names a 100-character one (the
  // terminating NUL included). Counts are narrow characters (bytes); a cut never splits a
  // multibyte character.
  static constexpr size_t kMaxNameLength = 511;
  static constexpr size_t kMaxCommonNameLength = 99;

  CertInfo() = default;
  // Loads as LoadFromDer; the result is dropped (check loaded()).
  CertInfo(const void* bytes, int32_t n);
  // Loads as LoadFromCertificate; |certificate| is borrowed.
  explicit CertInfo(const Certificate& certificate);
  ~CertInfo() = default;

  CertInfo(const CertInfo&) = delete;
  CertInfo& operator=(const CertInfo&) = delete;

  // LoadFromDer clears, copies the |n| bytes and decodes them. Returns false for null bytes or
  // n < 1, and when decoding fails; after a decoding attempt last_error() holds the platform last
  // error the decoder recorded (0 on success). A failed load leaves the object empty.
  bool LoadFromDer(const void* bytes, int32_t n);

  // LoadFromCertificate clears, copies the certificate's DER and borrows |certificate| (it is not
  // released by Clear). Returns false when |certificate| holds nothing or the copy fails.
  bool LoadFromCertificate(const Certificate& certificate);

  // Clear releases the DER copy and an owned certificate (a borrowed one is only forgotten);
  // loaded() becomes false and last_error() 0.
  void Clear();

  bool loaded() const { return loaded_; }
  uint32_t last_error() const { return last_error_; }
  // The DER copy (empty when nothing is loaded) and the decoded certificate (null when none).
  const ByteBuffer& der() const { return der_; }
  const Certificate* certificate() const { return loaded_ ? certificate_ : nullptr; }

  // GetBase64 returns the DER as one line of padded Base64, no armour and no line breaks.
  std::string GetBase64() const;
  // GetSubject/GetIssuer return the name as "CN=..., O=..." text: RDNs in stored order joined by
  // ", ", attributes of one RDN joined by " + ", values unquoted; cut at kMaxNameLength.
  std::string GetSubject() const;
  std::string GetIssuer() const;
  // GetSubjectCN/GetIssuerCN return the first common-name value in stored order, cut at
  // kMaxCommonNameLength; "" when the name has none.
  std::string GetSubjectCN() const;
  std::string GetIssuerCN() const;
  // GetSerial returns every octet of the serial number as upper-case hex, in encoded order.
  std::string GetSerial() const;
  // GetFingerprint returns the SHA-1 digest of the DER as 40 upper-case hex digits.
  std::string GetFingerprint() const;
  // GetNotBefore/GetNotAfter return the validity bound in local time (the C library's time zone,
  // TZ honoured) in the given format; "" when the time cannot be expressed (before 1601).
  std::string GetNotBefore(CertDateFormat format) const;
  std::string GetNotAfter(CertDateFormat format) const;
  // GetKeyUsage returns the first octet of the key-usage bits (0 without the extension).
  uint32_t GetKeyUsage() const { return loaded_ ? key_usage_ : 0; }
  // IsCaCertificate returns true for a self-issued certificate (issuer text equal to subject
  // text) and otherwise when the key usage allows keyCertSign (0x04) or cRLSign (0x02). With
  // nothing loaded both names are empty and so equal: true.
  bool IsCaCertificate() const;

 private:
  ByteBuffer der_;
  uint32_t key_usage_ = 0;
  bool loaded_ = false;
  uint32_t last_error_ = 0;
  std::unique_ptr<Certificate> owned_;
  const Certificate* certificate_ = nullptr;  // owned_.get() or a borrowed certificate
};

// FormatDistinguishedName returns |name| in the X.500 text form of CertInfo::GetSubject, as UTF-8
// and without the length limit. Short names: CN, L, O, OU, E (emailAddress), C, S
// (stateOrProvinceName), STREET, T (title), G (givenName), I (initials), SN (surname), DC,
// SERIALNUMBER, PostalCode, Description, POBox, Phone; any other attribute as "OID." followed by
// its dotted number.
std::string FormatDistinguishedName(const DistinguishedName& name);

// FirstCommonName returns the value of the first common name of |name| in stored order, as UTF-8
// and uncut; "" when it has none.
std::string FirstCommonName(const DistinguishedName& name);

// FormatCertificateTime returns |utc_seconds| (since 1970, UTC) as local time in |format|; "" when
// the time is before 1601-01-01 or cannot be converted.
std::string FormatCertificateTime(int64_t utc_seconds, CertDateFormat format);

// CutNarrowText converts UTF-8 |text| to the process code page and keeps at most |max_length|
// narrow characters (bytes), never splitting a multibyte character.
std::string CutNarrowText(std::string_view text, size_t max_length);

}  // namespace kelvadrome
