#include "platform/certificate.h"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <climits>
#include <ctime>

#include "platform/crypto_context.h"
#include "platform/last_error.h"
#include "platform/text.h"

namespace kelvadrome {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Reads DER headers from a byte range. Every read checks the bytes it needs against what is left
// and leaves the cursor where it was when it fails.
class DerCursor {
 public:
  enum class Status { kOk, kTruncated, kMalformed };

  DerCursor(const uint8_t* data, size_t size) : data_(data), left_(size) {}

  size_t left() const { return left_; }

  // Reads one tag-and-length header with a single-octet tag and a definite length. kTruncated when
  // the header or the content it announces runs past the end, kMalformed for a multi-octet tag,
  // an indefinite or over-long length.
  Status ReadHeader(uint8_t& tag, size_t& length) {
    if (left_ < 2) return Status::kTruncated;
    const uint8_t first = data_[0];
    if ((first & 0x1F) == 0x1F) return Status::kMalformed;
    const uint8_t length_octet = data_[1];
    size_t header = 2;
    size_t value = 0;
    if (length_octet < 0x80) {
      value = length_octet;
    } else {
      const size_t count = length_octet & 0x7F;
      if (count == 0 || count > sizeof(uint32_t)) return Status::kMalformed;
      if (left_ < 2 + count) return Status::kTruncated;
      for (size_t i = 0; i < count; ++i) value = (value << 8) | data_[2 + i];
      header += count;
    }
    if (value > left_ - header) return Status::kTruncated;
    tag = first;
    length = value;
    data_ += header;
    left_ -= header;
    return Status::kOk;
  }

  // Enters a constructed value whose header was just read: the cursor becomes its content.
  DerCursor Content(size_t length) const { return DerCursor(data_, length); }
  const uint8_t* data() const { return data_; }

  bool Skip(size_t length) {
    if (length > left_) return false;
    data_ += length;
    left_ -= length;
    return true;
  }

 private:
  const uint8_t* data_;
  size_t left_;
};

// Checks that the bytes are one definite-length SEQUENCE and nothing more; returns the platform
// error for the first fault, 0 when the outer encoding is sound.
uint32_t CheckOuterEncoding(const uint8_t* der, size_t n) {
  if (n == 0) return platform_error::kAsn1EndOfData;
  DerCursor cursor(der, n);
  uint8_t tag = 0;
  size_t length = 0;
  switch (cursor.ReadHeader(tag, length)) {
    case DerCursor::Status::kOk:
      break;
    case DerCursor::Status::kTruncated:
      return der[0] == 0x30 ? platform_error::kAsn1EndOfData : platform_error::kAsn1BadTag;
    case DerCursor::Status::kMalformed:
      return platform_error::kAsn1BadTag;
  }
  if (tag != 0x30) return platform_error::kAsn1BadTag;
  if (length != cursor.left()) return platform_error::kAsn1Corrupt;
  return 0;
}

// Reads the serial number's content octets from the DER: Certificate SEQUENCE, TBSCertificate
// SEQUENCE, optional [0] version, INTEGER.
bool ReadSerialOctets(const uint8_t* der, size_t n, std::vector<uint8_t>& serial) {
  DerCursor outer(der, n);
  uint8_t tag = 0;
  size_t length = 0;
  if (outer.ReadHeader(tag, length) != DerCursor::Status::kOk || tag != 0x30) return false;
  DerCursor certificate = outer.Content(length);
  if (certificate.ReadHeader(tag, length) != DerCursor::Status::kOk || tag != 0x30) return false;
  DerCursor tbs = certificate.Content(length);
  if (tbs.ReadHeader(tag, length) != DerCursor::Status::kOk) return false;
  if (tag == 0xA0) {
    if (!tbs.Skip(length) || tbs.ReadHeader(tag, length) != DerCursor::Status::kOk) return false;
  }
  if (tag != 0x02 || length == 0) return false;
  serial.assign(tbs.data(), tbs.data() + length);
  return true;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string HexValue(const uint8_t* data, size_t n) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out = "#";
  for (size_t i = 0; i < n; ++i) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 0x0F];
  }
  return out;
}

// Converts a name attribute's value to UTF-8 according to its ASN.1 string type.
std::string ValueToUtf8(const ASN1_STRING* value) {
  const int type = ASN1_STRING_type(value);
  const uint8_t* data = ASN1_STRING_get0_data(value);
  const int signed_length = ASN1_STRING_length(value);
  const size_t n = (data == nullptr || signed_length < 0) ? 0 : static_cast<size_t>(signed_length);
  std::string out;
  switch (type) {
    case V_ASN1_UTF8STRING:
      // Re-encoding through UTF-16 replaces invalid sequences.
      return Utf16ToUtf8(Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(data), n)));
    case V_ASN1_BMPSTRING:
      for (size_t i = 0; i + 1 < n; i += 2) {
        char32_t unit = static_cast<char32_t>((data[i] << 8) | data[i + 1]);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < n) {
          const char32_t low = static_cast<char32_t>((data[i + 2] << 8) | data[i + 3]);
          if (low >= 0xDC00 && low <= 0xDFFF) {
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
          }
        }
        AppendUtf8(out, unit >= 0xD800 && unit <= 0xDFFF ? kReplacement : unit);
      }
      if (n % 2 != 0) AppendUtf8(out, kReplacement);  // a dangling half character
      return out;
    case V_ASN1_UNIVERSALSTRING:
      for (size_t i = 0; i + 3 < n; i += 4) {
        const uint32_t cp = (static_cast<uint32_t>(data[i]) << 24) |
                            (static_cast<uint32_t>(data[i + 1]) << 16) |
                            (static_cast<uint32_t>(data[i + 2]) << 8) | data[i + 3];
        const bool valid = cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
        AppendUtf8(out, valid ? static_cast<char32_t>(cp) : kReplacement);
      }
      if (n % 4 != 0) AppendUtf8(out, kReplacement);
      return out;
    case V_ASN1_T61STRING:
    case V_ASN1_PRINTABLESTRING:
    case V_ASN1_IA5STRING:
    case V_ASN1_NUMERICSTRING:
    case V_ASN1_VISIBLESTRING:
    case V_ASN1_VIDEOTEXSTRING:
    case V_ASN1_GRAPHICSTRING:
    case V_ASN1_GENERALSTRING:
      out.reserve(n);
      for (size_t i = 0; i < n; ++i) AppendUtf8(out, data[i]);
      return out;
    default:
      return HexValue(data, n);
  }
}

std::string DottedOid(const ASN1_OBJECT* object) {
  char small[80];
  const int needed = OBJ_obj2txt(small, sizeof small, object, 1);
  if (needed < 0) return std::string();
  if (static_cast<size_t>(needed) < sizeof small) return std::string(small);
  std::string big(static_cast<size_t>(needed) + 1, '\0');
  OBJ_obj2txt(big.data(), static_cast<int>(big.size()), object, 1);
  big.resize(static_cast<size_t>(needed));
  return big;
}

DistinguishedName ReadName(const X509_NAME* name) {
  DistinguishedName result;
  const int count = X509_NAME_entry_count(name);
  int previous_set = -1;
  for (int i = 0; i < count; ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    if (entry == nullptr) continue;
    const int set = X509_NAME_ENTRY_set(entry);
    if (result.empty() || set != previous_set) result.emplace_back();
    previous_set = set;
    NameAttribute attribute;
    attribute.oid = DottedOid(X509_NAME_ENTRY_get_object(entry));
    const ASN1_STRING* value = X509_NAME_ENTRY_get_data(entry);
    if (value != nullptr) attribute.value = ValueToUtf8(value);
    result.back().push_back(std::move(attribute));
  }
  return result;
}

bool TimeToEpoch(const ASN1_TIME* time, int64_t& seconds) {
  if (time == nullptr) return false;
  struct tm fields = {};
  if (ASN1_TIME_to_tm(time, &fields) != 1) return false;
  const int64_t days = DaysFromCivil(static_cast<int64_t>(fields.tm_year) + 1900,
                                     static_cast<unsigned>(fields.tm_mon + 1),
                                     static_cast<unsigned>(fields.tm_mday));
  seconds = days * 86400 + fields.tm_hour * 3600 + fields.tm_min * 60 + fields.tm_sec;
  return true;
}

std::optional<uint8_t> ReadKeyUsage(const X509* x509) {
  int critical = 0;
  UniqueAsn1String bits(
      static_cast<ASN1_BIT_STRING*>(X509_get_ext_d2i(x509, NID_key_usage, &critical, nullptr)));
  if (!bits) return std::nullopt;
  const uint8_t* data = ASN1_STRING_get0_data(bits.get());
  if (data == nullptr || ASN1_STRING_length(bits.get()) < 1) return uint8_t{0};
  return data[0];
}

bool ReadBasicConstraintsCa(const X509* x509) {
  int critical = 0;
  UniqueBasicConstraints constraints(static_cast<BASIC_CONSTRAINTS*>(
      X509_get_ext_d2i(x509, NID_basic_constraints, &critical, nullptr)));
  return constraints && constraints->ca != 0;
}

// Keeps the thread's OpenSSL error queue as it was before the component's calls, so the host
// application does not find the component's decoding errors in it.
class ErrorQueueMark {
 public:
  ErrorQueueMark() { ERR_set_mark(); }
  ~ErrorQueueMark() { ERR_pop_to_mark(); }
  ErrorQueueMark(const ErrorQueueMark&) = delete;
  ErrorQueueMark& operator=(const ErrorQueueMark&) = delete;
};

}  // namespace

int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  // Counts in 400-year eras starting on March 1, so the leap day ends each era's year.
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t year_of_era = year - era * 400;
  const int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
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
  x509_.reset();
}

bool Certificate::Decode(const uint8_t* der, size_t n) {
  Reset();
  if (der == nullptr && n != 0) {
    SetLastPlatformError(platform_error::kInvalidParameter);
    return false;
  }
  if (n > static_cast<size_t>(LONG_MAX)) {
    SetLastPlatformError(platform_error::kAsn1Corrupt);
    return false;
  }
  const uint32_t outer_error = CheckOuterEncoding(der, n);
  if (outer_error != 0) {
    SetLastPlatformError(outer_error);
    return false;
  }
  ErrorQueueMark mark;
  const unsigned char* cursor = der;
  // The object is made in the component's library context first; d2i_X509 decodes into it, and on
  // failure frees it and returns null.
  X509* raw = X509_new_ex(CryptoLibraryContext(), CryptoPropertyQuery());
  if (raw == nullptr) {
    SetLastPlatformError(platform_error::kNotEnoughMemory);
    return false;
  }
  UniqueX509 x509(d2i_X509(&raw, &cursor, static_cast<long>(n)));
  std::vector<uint8_t> serial;
  int64_t not_before = 0;
  int64_t not_after = 0;
  if (!x509 || cursor != der + n || !ReadSerialOctets(der, n, serial) ||
      !TimeToEpoch(X509_get0_notBefore(x509.get()), not_before) ||
      !TimeToEpoch(X509_get0_notAfter(x509.get()), not_after)) {
    SetLastPlatformError(platform_error::kAsn1BadTag);
    return false;
  }
  der_.assign(der, der + n);
  subject_ = ReadName(X509_get_subject_name(x509.get()));
  issuer_ = ReadName(X509_get_issuer_name(x509.get()));
  serial_ = std::move(serial);
  not_before_ = not_before;
  not_after_ = not_after;
  key_usage_ = ReadKeyUsage(x509.get());
  basic_constraints_ca_ = ReadBasicConstraintsCa(x509.get());
  x509_ = std::move(x509);
  SetLastPlatformError(0);
  return true;
}

}  // namespace kelvadrome
