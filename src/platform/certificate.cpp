#include "platform/certificate.h"

#include <openssl/x509.h>

#include <algorithm>
#include <climits>

#include "platform/crypto_context.h"
#include "platform/der_reader.h"
#include "platform/last_error.h"
#include "platform/openssl_call.h"
#include "platform/text.h"

namespace kelvadrome {
namespace {

// Checks that the bytes are one definite-length SEQUENCE and nothing more; returns the platform
// error for the first fault, 0 when the outer encoding is sound.
uint32_t CheckOuterEncoding(const uint8_t* der, size_t n) {
  if (n == 0) return platform_error::kAsn1EndOfData;
  DerReader input(der, n);
  uint8_t tag = 0;
  DerReader contents;
  switch (input.ReadAnyElement(tag, contents)) {
    case DerStatus::kOk:
      break;
    case DerStatus::kTruncated:
      return der[0] == der_tag::kSequence ? platform_error::kAsn1EndOfData
                                          : platform_error::kAsn1BadTag;
    case DerStatus::kMalformed:
      return platform_error::kAsn1BadTag;
  }
  if (tag != der_tag::kSequence) return platform_error::kAsn1BadTag;
  if (!input.empty()) return platform_error::kAsn1Corrupt;
  return 0;
}

std::string HexValue(const uint8_t* data, size_t n) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out = "#";
  out.reserve(1 + 2 * n);
  for (size_t i = 0; i < n; ++i) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 0x0F];
  }
  return out;
}

bool IsUnicodeScalar(uint32_t cp) {
  return cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
}

// True when the bytes are UTF-8 in its shortest form, of Unicode scalar values only.
bool IsValidUtf8(const uint8_t* data, size_t n) {
  size_t i = 0;
  while (i < n) {
    const uint8_t lead = data[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    size_t count = 0;
    uint32_t cp = 0;
    uint32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
      count = 1;
      cp = lead & 0x1F;
      minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      count = 2;
      cp = lead & 0x0F;
      minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      count = 3;
      cp = lead & 0x07;
      minimum = 0x10000;
    } else {
      return false;
    }
    if (n - i - 1 < count) return false;
    for (size_t k = 1; k <= count; ++k) {
      if ((data[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (data[i + k] & 0x3F);
    }
    if (cp < minimum || !IsUnicodeScalar(cp)) return false;
    i += count + 1;
  }
  return true;
}

// Converts one name attribute value, the element |tag| with content |value| (and |whole| the
// element with its header), to UTF-8. Accepts in a name the ASN.1 string types, a SEQUENCE and a
// few other universal types, each primitive except the SEQUENCE. Returns false for anything else
// and for a value not valid in its string type.
bool NameValueToUtf8(uint8_t tag, const DerReader& value, const DerReader& whole,
                     std::string& out) {
  const uint8_t* data = value.data();
  const size_t n = value.size();
  out.clear();
  switch (tag) {
    case 0x0C:  // UTF8String
      if (!IsValidUtf8(data, n)) return false;
      out.assign(reinterpret_cast<const char*>(data), n);
      return true;
    case 0x1E:  // BMPString: UTF-16BE without surrogates
      if (n % 2 != 0) return false;
      for (size_t i = 0; i < n; i += 2) {
        const char32_t unit = static_cast<char32_t>((data[i] << 8) | data[i + 1]);
        if (unit >= 0xD800 && unit <= 0xDFFF) return false;
        AppendUtf8(out, unit);
      }
      return true;
    case 0x1C:  // UniversalString: UTF-32BE
      if (n % 4 != 0) return false;
      for (size_t i = 0; i < n; i += 4) {
        const uint32_t cp = (static_cast<uint32_t>(data[i]) << 24) |
                            (static_cast<uint32_t>(data[i + 1]) << 16) |
                            (static_cast<uint32_t>(data[i + 2]) << 8) | data[i + 3];
        if (!IsUnicodeScalar(cp)) return false;
        AppendUtf8(out, static_cast<char32_t>(cp));
      }
      return true;
    case 0x12:  // NumericString
    case 0x13:  // PrintableString
    case 0x14:  // TeletexString
    case 0x16:  // IA5String
      // Read as Latin-1, as the platform decoder does; it does not check the character sets.
      out.reserve(n);
      for (size_t i = 0; i < n; ++i) AppendUtf8(out, data[i]);
      return true;
    case 0x03: {  // BIT STRING: the bit octets, unused bits cleared
      if (n == 0 || data[0] > 7 || (data[0] != 0 && n == 1)) return false;
      out = HexValue(data + 1, n - 1);
      if (n > 1) {
        const uint8_t last = static_cast<uint8_t>(data[n - 1] & (0xFF << data[0]));
        static constexpr char kDigits[] = "0123456789ABCDEF";
        out[out.size() - 2] = kDigits[last >> 4];
        out[out.size() - 1] = kDigits[last & 0x0F];
      }
      return true;
    }
    case 0x07:  // ObjectDescriptor
    case 0x08:  // EXTERNAL
    case 0x09:  // REAL
    case 0x0B:  // EMBEDDED PDV
    case 0x0D:  // RELATIVE-OID
    case 0x0E:  // TIME
    case 0x0F:  // reserved
    case 0x1D:  // CHARACTER STRING
      out = HexValue(data, n);
      return true;
    case der_tag::kSequence:
      out = HexValue(whole.data(), whole.size());
      return true;
    default:
      return false;
  }
}

// Reads a Name: a SEQUENCE OF RelativeDistinguishedName, each a SET OF AttributeTypeAndValue.
bool ReadName(DerReader& tbs, DistinguishedName& name) {
  DerReader rdns;
  if (!tbs.ReadElement(der_tag::kSequence, rdns)) return false;
  name.clear();
  while (!rdns.empty()) {
    DerReader set;
    if (!rdns.ReadElement(der_tag::kSet, set)) return false;
    if (set.empty()) continue;  // an empty RDN is not listed
    RelativeName& rdn = name.emplace_back();
    while (!set.empty()) {
      DerReader pair;
      DerReader oid;
      if (!set.ReadElement(der_tag::kSequence, pair) || !pair.ReadObjectIdentifier(oid)) {
        return false;
      }
      uint8_t tag = 0;
      DerReader value;
      size_t header = 0;
      if (pair.ReadAnyElement(tag, value, &header) != DerStatus::kOk || !pair.empty()) return false;
      const DerReader whole(value.data() - header, header + value.size());
      NameAttribute& attribute = rdn.emplace_back();
      if (!NameValueToUtf8(tag, value, whole, attribute.value)) return false;
      attribute.oid = ObjectIdentifierToText(oid.data(), oid.size());
    }
  }
  return true;
}

// Reads two decimal digits at |text[at]|; false unless both are digits.
bool TwoDigits(const uint8_t* text, size_t at, int& value) {
  if (text[at] < '0' || text[at] > '9' || text[at + 1] < '0' || text[at + 1] > '9') return false;
  value = (text[at] - '0') * 10 + (text[at + 1] - '0');
  return true;
}

// Reads a validity time, UTCTime or GeneralizedTime, to seconds since 1970 UTC. Accepts what the
// platform decoder's time conversion accepts: seconds may be left out, a GeneralizedTime may carry
// a fraction of a second (dropped), and the time ends in 'Z' or a +hhmm/-hhmm offset.
bool ReadTime(DerReader& validity, int64_t& seconds) {
  DerReader text;
  const bool generalized = validity.NextTagIs(der_tag::kGeneralizedTime);
  if (!validity.ReadElement(generalized ? der_tag::kGeneralizedTime : der_tag::kUtcTime, text)) {
    return false;
  }
  const uint8_t* a = text.data();
  const size_t l = text.size();
  if (l < (generalized ? 13u : 11u)) return false;
  // Fields, each two digits: [century] year month day hour minute [second].
  static constexpr int kMin[] = {0, 0, 1, 1, 0, 0, 0};
  static constexpr int kMax[] = {99, 99, 12, 31, 23, 59, 59};
  static constexpr int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int fields[7] = {0, 0, 0, 0, 0, 0, 0};
  size_t o = 0;
  for (int i = generalized ? 0 : 1; i < 7; ++i) {
    if (i == 6 && (a[o] == 'Z' || a[o] == '+' || a[o] == '-')) break;
    int n = 0;
    // Every field must leave at least one octet after it for the time zone.
    if (l - o < 3 || !TwoDigits(a, o, n) || n < kMin[i] || n > kMax[i]) return false;
    o += 2;
    fields[i] = n;
  }
  const int64_t year = generalized ? fields[0] * 100 + fields[1]
                                   : (fields[1] < 50 ? 2000 + fields[1] : 1900 + fields[1]);
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  const int month_days = kMonthDays[fields[2] - 1] + (fields[2] == 2 && leap ? 1 : 0);
  if (fields[3] > month_days) return false;
  if (generalized && a[o] == '.') {
    const size_t digits = ++o;
    while (o < l && a[o] >= '0' && a[o] <= '9') ++o;
    if (o == digits || o == l) return false;
  }
  int64_t offset = 0;
  if (a[o] == 'Z') {
    ++o;
  } else if (a[o] == '+' || a[o] == '-') {
    const int64_t sign = a[o] == '-' ? 1 : -1;  // local time behind UTC: add to reach UTC
    ++o;
    int hours = 0;
    int minutes = 0;
    if (l - o != 4 || !TwoDigits(a, o, hours) || !TwoDigits(a, o + 2, minutes) || hours > 12 ||
        minutes > 59) {
      return false;
    }
    o += 4;
    offset = sign * (hours * 3600 + minutes * 60);
  } else {
    return false;
  }
  if (o != l) return false;
  seconds =
      DaysFromCivil(year, static_cast<unsigned>(fields[2]), static_cast<unsigned>(fields[3])) *
          86400 +
      fields[4] * 3600 + fields[5] * 60 + fields[6] + offset;
  if (offset != 0) {
    // Moving by the offset must stay within the years 1900 to 9999, as it must for the platform
    // decoder.
    constexpr int64_t kFirst = -2208988800;  // 1900-01-01 00:00:00
    constexpr int64_t kEnd = 253402300800;   // 10000-01-01 00:00:00
    if (seconds < kFirst || seconds >= kEnd) return false;
  }
  return true;
}

// Reads one element of any type (algorithm parameters) and checks the content of the universal
// types whose content has rules, as the platform decoder does; a constructed universal element must
// be a SEQUENCE or SET. Elements of the other classes are taken as they are.
bool ReadAnyValue(DerReader& from) {
  DerReader copy = from;
  uint8_t tag = 0;
  DerReader contents;
  if (copy.ReadAnyElement(tag, contents) != DerStatus::kOk) return false;
  if ((tag & der_tag::kClassMask) == 0) {
    bool ok = true;
    DerReader value;
    DerReader again = from;
    uint8_t unused = 0;
    bool flag = false;
    switch (tag) {
      case der_tag::kSequence:
      case der_tag::kSet:
        break;
      case der_tag::kNull:
        ok = contents.empty();
        break;
      case der_tag::kBoolean:
        ok = again.ReadBoolean(flag);
        break;
      case der_tag::kInteger:
        ok = again.ReadInteger(value);
        break;
      case 0x0A: {  // ENUMERATED: an INTEGER's rules
        const uint8_t* p = contents.data();
        ok = !contents.empty() && (contents.size() == 1 || !((p[0] == 0x00 && (p[1] & 0x80) == 0) ||
                                                             (p[0] == 0xFF && (p[1] & 0x80) != 0)));
        break;
      }
      case der_tag::kObjectIdentifier:
        ok = again.ReadObjectIdentifier(value);
        break;
      case der_tag::kBitString:
        ok = again.ReadBitString(value, unused);
        break;
      case 0x1E:  // BMPString
        ok = contents.size() % 2 == 0;
        break;
      case 0x1C:  // UniversalString
        ok = contents.size() % 4 == 0;
        break;
      default:
        // End-of-contents, and constructed strings (BER) or primitive SEQUENCE and SET.
        ok = tag != 0 && (tag & der_tag::kConstructed) == 0 && tag != 0x10 && tag != 0x11;
        break;
    }
    if (!ok) return false;
  }
  from = copy;
  return true;
}

// Reads an AlgorithmIdentifier: an OBJECT IDENTIFIER and optional parameters of any type.
bool ReadAlgorithm(DerReader& from) {
  DerReader algorithm;
  DerReader oid;
  if (!from.ReadElement(der_tag::kSequence, algorithm) || !algorithm.ReadObjectIdentifier(oid)) {
    return false;
  }
  if (!algorithm.empty() && !ReadAnyValue(algorithm)) return false;
  return algorithm.empty();
}

constexpr uint8_t kKeyUsageOid[] = {0x55, 0x1D, 0x0F};          // 2.5.29.15
constexpr uint8_t kBasicConstraintsOid[] = {0x55, 0x1D, 0x13};  // 2.5.29.19

bool OidIs(const DerReader& oid, const uint8_t (&expected)[3]) {
  return oid.size() == 3 && std::equal(expected, expected + 3, oid.data());
}

// The first octet of a keyUsage value (a BIT STRING); empty when it cannot be read. Bytes after
// the BIT STRING are ignored, as the platform decoder ignores them.
std::optional<uint8_t> ParseKeyUsage(DerReader value) {
  DerReader bits;
  uint8_t unused = 0;
  if (!value.ReadBitString(bits, unused)) return std::nullopt;
  if (bits.empty()) return uint8_t{0};
  uint8_t first = bits.data()[0];
  if (bits.size() == 1) first = static_cast<uint8_t>(first & (0xFF << unused));
  return first;
}

// Whether a basicConstraints value (SEQUENCE { cA BOOLEAN DEFAULT FALSE, pathLen INTEGER
// OPTIONAL }) has cA set; false when it cannot be read.
bool ParseBasicConstraintsCa(DerReader value) {
  DerReader constraints;
  if (!value.ReadElement(der_tag::kSequence, constraints)) return false;
  bool ca = false;
  if (constraints.NextTagIs(der_tag::kBoolean) && !constraints.ReadBoolean(ca)) return false;
  DerReader path_length;
  if (constraints.NextTagIs(der_tag::kInteger) && !constraints.ReadInteger(path_length)) {
    return false;
  }
  return constraints.empty() && ca;
}

struct ExtensionValues {
  std::optional<uint8_t> key_usage;
  bool basic_constraints_ca = false;
};

// Reads the extensions SEQUENCE (inside the explicit [3]). An extension that appears twice counts
// as unreadable, as it does for the platform decoder's lookup.
bool ReadExtensions(DerReader& explicit_tag, ExtensionValues& values) {
  DerReader extensions;
  if (!explicit_tag.ReadElement(der_tag::kSequence, extensions) || !explicit_tag.empty()) {
    return false;
  }
  int key_usage_count = 0;
  int basic_constraints_count = 0;
  DerReader key_usage_value;
  DerReader basic_constraints_value;
  while (!extensions.empty()) {
    DerReader extension;
    DerReader oid;
    DerReader value;
    bool critical = false;
    if (!extensions.ReadElement(der_tag::kSequence, extension) ||
        !extension.ReadObjectIdentifier(oid) ||
        (extension.NextTagIs(der_tag::kBoolean) && !extension.ReadBoolean(critical)) ||
        !extension.ReadElement(der_tag::kOctetString, value) || !extension.empty()) {
      return false;
    }
    if (OidIs(oid, kKeyUsageOid)) {
      ++key_usage_count;
      key_usage_value = value;
    } else if (OidIs(oid, kBasicConstraintsOid)) {
      ++basic_constraints_count;
      basic_constraints_value = value;
    }
  }
  if (key_usage_count == 1) values.key_usage = ParseKeyUsage(key_usage_value);
  if (basic_constraints_count == 1) {
    values.basic_constraints_ca = ParseBasicConstraintsCa(basic_constraints_value);
  }
  return true;
}

struct ParsedCertificate {
  DistinguishedName subject;
  DistinguishedName issuer;
  DerReader serial;
  int64_t not_before = 0;
  int64_t not_after = 0;
  DerReader public_key_info;  // the whole element
  ExtensionValues extensions;
};

// Parses the certificate structure; false for anything that is not one well-formed certificate.
// The subject public key is checked for shape only, never decoded as a key.
bool ParseCertificate(const uint8_t* der, size_t n, ParsedCertificate& out) {
  DerReader input(der, n);
  DerReader certificate;
  DerReader tbs;
  DerReader signature;
  uint8_t unused = 0;
  if (!input.ReadElement(der_tag::kSequence, certificate) || !input.empty() ||
      !certificate.ReadElement(der_tag::kSequence, tbs) || !ReadAlgorithm(certificate) ||
      !certificate.ReadBitString(signature, unused) || !certificate.empty()) {
    return false;
  }
  bool present = false;
  DerReader version;
  if (!tbs.ReadOptionalElement(der_tag::ContextConstructed(0), version, present)) return false;
  if (present) {
    DerReader number;
    if (!version.ReadInteger(number) || !version.empty()) return false;
  }
  if (!tbs.ReadInteger(out.serial) || !ReadAlgorithm(tbs) || !ReadName(tbs, out.issuer)) {
    return false;
  }
  DerReader validity;
  if (!tbs.ReadElement(der_tag::kSequence, validity) || !ReadTime(validity, out.not_before) ||
      !ReadTime(validity, out.not_after) || !validity.empty()) {
    return false;
  }
  if (!ReadName(tbs, out.subject)) return false;
  DerReader key_info;
  DerReader key_bits;
  DerReader whole_key_info = tbs;
  if (!whole_key_info.ReadWholeElement(der_tag::kSequence, out.public_key_info) ||
      !tbs.ReadElement(der_tag::kSequence, key_info) || !ReadAlgorithm(key_info) ||
      !key_info.ReadBitString(key_bits, unused) || !key_info.empty()) {
    return false;
  }
  // The unique identifiers are implicit BIT STRINGs: checked like one under their own tags.
  for (uint8_t number : {uint8_t{1}, uint8_t{2}}) {
    DerReader id;
    if (!tbs.ReadOptionalElement(der_tag::ContextPrimitive(number), id, present)) return false;
    if (present && (id.empty() || id.data()[0] > 7 || (id.data()[0] != 0 && id.size() == 1))) {
      return false;
    }
  }
  DerReader extensions;
  if (!tbs.ReadOptionalElement(der_tag::ContextConstructed(3), extensions, present)) return false;
  if (present && !ReadExtensions(extensions, out.extensions)) return false;
  return tbs.empty();
}

}  // namespace

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
  DerReader serial_element(serial.data(), serial.size());
  DerReader serial_content;
  if (!serial_element.ReadElement(der_tag::kInteger, serial_content)) return std::nullopt;
  return IssuerAndSerial{{issuer.data(), issuer.size()},
                         {serial.data(), serial.size()},
                         {serial_content.data(), serial_content.size()}};
}

int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  // Counts in 400-year eras starting on March 1, so the leap day ends each era's year.
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t year_of_era = year - era * 400;
  const int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

Certificate::Certificate(Certificate&& other) noexcept {
  *this = std::move(other);
}

Certificate& Certificate::operator=(Certificate&& other) noexcept {
  if (this == &other) return *this;
  der_ = std::move(other.der_);
  subject_ = std::move(other.subject_);
  issuer_ = std::move(other.issuer_);
  serial_ = std::move(other.serial_);
  not_before_ = other.not_before_;
  not_after_ = other.not_after_;
  key_usage_ = other.key_usage_;
  basic_constraints_ca_ = other.basic_constraints_ca_;
  public_key_info_offset_ = other.public_key_info_offset_;
  public_key_info_size_ = other.public_key_info_size_;
  decoded_ = other.decoded_;
  X509_free(x509_.exchange(other.x509_.exchange(nullptr)));
  other.Reset();
  return *this;
}

Certificate::~Certificate() {
  X509_free(x509_.load());
}

void Certificate::Reset() {
  der_.clear();
  subject_.clear();
  issuer_.clear();
  serial_.clear();
  not_before_ = 0;
  not_after_ = 0;
  key_usage_.reset();
  basic_constraints_ca_ = false;
  public_key_info_offset_ = 0;
  public_key_info_size_ = 0;
  decoded_ = false;
  X509_free(x509_.exchange(nullptr));
}

bool Certificate::Decode(const uint8_t* der, size_t n) {
  Reset();
  if (der == nullptr && n != 0) {
    SetLastPlatformError(platform_error::kInvalidParameter);
    return false;
  }
  const uint32_t outer_error = CheckOuterEncoding(der, n);
  if (outer_error != 0) {
    SetLastPlatformError(outer_error);
    return false;
  }
  ParsedCertificate parsed;
  if (!ParseCertificate(der, n, parsed)) {
    SetLastPlatformError(platform_error::kAsn1BadTag);
    return false;
  }
  der_.assign(der, der + n);
  subject_ = std::move(parsed.subject);
  issuer_ = std::move(parsed.issuer);
  serial_.assign(parsed.serial.data(), parsed.serial.data() + parsed.serial.size());
  not_before_ = parsed.not_before;
  not_after_ = parsed.not_after;
  key_usage_ = parsed.extensions.key_usage;
  basic_constraints_ca_ = parsed.extensions.basic_constraints_ca;
  public_key_info_offset_ = static_cast<size_t>(parsed.public_key_info.data() - der);
  public_key_info_size_ = parsed.public_key_info.size();
  decoded_ = true;
  SetLastPlatformError(0);
  return true;
}

x509_st* Certificate::x509() const {
  if (!decoded_) return nullptr;
  if (x509_st* existing = x509_.load(std::memory_order_acquire)) return existing;
  if (der_.size() > static_cast<size_t>(LONG_MAX)) {
    SetLastPlatformError(platform_error::kAsn1Corrupt);
    return nullptr;
  }
  const OpensslErrorScope scope;
  // The object is made in the component's library context first; d2i_X509 decodes into it, and on
  // failure frees it and returns null.
  X509* raw = X509_new_ex(CryptoLibraryContext(), CryptoPropertyQuery());
  if (raw == nullptr) {
    SetLastPlatformError(platform_error::kNotEnoughMemory);
    return nullptr;
  }
  const unsigned char* cursor = der_.data();
  UniqueX509 made(d2i_X509(&raw, &cursor, static_cast<long>(der_.size())));
  if (!made || cursor != der_.data() + der_.size()) {
    SetLastPlatformError(platform_error::kAsn1BadTag);
    return nullptr;
  }
  // Another thread may have made it meanwhile: keep the first one stored.
  x509_st* expected = nullptr;
  if (x509_.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) {
    return made.release();
  }
  return expected;
}

}  // namespace kelvadrome
