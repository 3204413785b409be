#include "codec/cert_info.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <optional>
#include <string_view>

#include "codec/digest.h"
#include "platform/last_error.h"
#include "platform/text.h"

namespace kelvadrome {
namespace {

struct ShortName {
  std::string_view oid;
  std::string_view name;
};

constexpr ShortName kShortNames[] = {
    {"2.5.4.3", "CN"},
    {"2.5.4.7", "L"},
    {"2.5.4.10", "O"},
    {"2.5.4.11", "OU"},
    {"1.2.840.113549.1.9.1", "E"},
    {"2.5.4.6", "C"},
    {"2.5.4.8", "S"},
    {"2.5.4.9", "STREET"},
    {"2.5.4.12", "T"},
    {"2.5.4.42", "G"},
    {"2.5.4.43", "I"},
    {"2.5.4.4", "SN"},
    {"0.9.2342.19200300.100.1.25", "DC"},
    {"2.5.4.5", "SERIALNUMBER"},
    {"2.5.4.17", "PostalCode"},
    {"2.5.4.13", "Description"},
    {"2.5.4.18", "POBox"},
    {"2.5.4.20", "Phone"},
};

constexpr char kCommonNameOid[] = "2.5.4.3";

// 1601-01-01 00:00:00 UTC, the earliest time the platform's time conversions accept.
constexpr int64_t kEarliestTime = -11644473600;

void AppendAttributeType(std::string& out, const std::string& oid) {
  for (const ShortName& entry : kShortNames) {
    if (entry.oid == oid) {
      out += entry.name;
      return;
    }
  }
  out += "OID.";
  out += oid;
}


bool IsHighSurrogate(char16_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(char16_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

// RefreshTimeZone reads the time zone again (tzset), so that a change made while the process runs
// is honoured. With TZ set, tzset only compares it with the zone last read, which is cheap. Without
// it, every tzset looks at the system's zone file (a system call), and a listing formats
// thousands of dates: the file is then looked at again after a second, or at once when the zone
// in use is no longer the one last read here (someone else's tzset, under another TZ, replaced
// it).
void RefreshTimeZone() {
  if (std::getenv("TZ") != nullptr) {
    tzset();
    return;
  }
  struct ZoneSeen {
    std::string standard_name;
    std::string daylight_name;
    long offset = 0;
    bool operator==(const ZoneSeen&) const = default;
  };
  const auto current = [] {
    return ZoneSeen{tzname[0] != nullptr ? tzname[0] : "", tzname[1] != nullptr ? tzname[1] : "",
                    timezone};
  };
  static std::mutex mutex;
  static std::optional<ZoneSeen> last_seen;
  static std::chrono::steady_clock::time_point last_read;
  std::lock_guard lock(mutex);
  const auto now = std::chrono::steady_clock::now();
  if (last_seen && *last_seen == current() && now - last_read < std::chrono::seconds(1)) return;
  tzset();
  last_seen = current();
  last_read = now;
}

}  // namespace

std::string FirstCommonName(const DistinguishedName& name) {
  for (const RelativeName& rdn : name) {
    for (const NameAttribute& attribute : rdn) {
      if (attribute.oid == kCommonNameOid) return attribute.value;
    }
  }
  return std::string();
}

std::string FormatDistinguishedName(const DistinguishedName& name) {
  std::string out;
  for (size_t r = 0; r < name.size(); ++r) {
    if (r != 0) out += ", ";
    const RelativeName& rdn = name[r];
    for (size_t a = 0; a < rdn.size(); ++a) {
      if (a != 0) out += " + ";
      AppendAttributeType(out, rdn[a].oid);
      out += '=';
      out += rdn[a].value;
    }
  }
  return out;
}

std::string CutNarrowText(std::string_view text, size_t max_length) {
  const CodePage code_page = ProcessCodePage();
  // ASCII stays as it is in such a code page, and one byte is one character.
  if (code_page.ascii_transparent && IsAsciiText(text)) {
    return std::string(text.substr(0, std::min(text.size(), max_length)));
  }
  const std::u16string wide = Utf8ToUtf16(text);
  std::string narrow = ConvertToNarrow(wide, code_page);
  if (narrow.size() <= max_length) return narrow;
  if (code_page.is_utf8) {
    // Back up to the first byte of the character that straddles the limit.
    size_t cut = max_length;
    while (cut > 0 && (static_cast<unsigned char>(narrow[cut]) & 0xC0) == 0x80) --cut;
    narrow.resize(cut);
    return narrow;
  }
  // Other code pages have no self-describing byte structure: convert whole characters in order
  // until the next one would pass the limit.
  std::string out;
  for (size_t i = 0; i < wide.size();) {
    size_t units = 1;
    if (IsHighSurrogate(wide[i]) && i + 1 < wide.size() && IsLowSurrogate(wide[i + 1])) units = 2;
    const std::string piece =
        ConvertToNarrow(std::u16string_view(wide).substr(i, units), code_page);
    if (out.size() + piece.size() > max_length) break;
    out += piece;
    i += units;
  }
  return out;
}

std::string FormatCertificateTime(int64_t utc_seconds, CertDateFormat format) {
  if (utc_seconds < kEarliestTime) return std::string();
  const time_t time = static_cast<time_t>(utc_seconds);
  if (static_cast<int64_t>(time) != utc_seconds) return std::string();
  RefreshTimeZone();
  struct tm local = {};
  if (localtime_r(&time, &local) == nullptr) return std::string();
  const long year = static_cast<long>(local.tm_year) + 1900;
  char text[64];
  int written = 0;
  switch (format) {
    case CertDateFormat::kCompact:
      written =
          std::snprintf(text, sizeof text, "%04ld%02d%02d%02d%02d%02d", year, local.tm_mon + 1,
                        local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
      break;
    case CertDateFormat::kDate:
      written = std::snprintf(text, sizeof text, "%04ld/%02d/%02d", year, local.tm_mon + 1,
                              local.tm_mday);
      break;
    case CertDateFormat::kDateTime:
      written =
          std::snprintf(text, sizeof text, "%04ld/%02d/%02d %02d:%02d:%02d", year, local.tm_mon + 1,
                        local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
      break;
  }
  if (written <= 0 || static_cast<size_t>(written) >= sizeof text) return std::string();
  return std::string(text, static_cast<size_t>(written));
}

CertInfo::CertInfo(const void* bytes, int32_t n) {
  LoadFromDer(bytes, n);
}

CertInfo::CertInfo(const Certificate& certificate) {
  LoadFromCertificate(certificate);
}

void CertInfo::Clear() {
  der_.Reset();
  owned_.reset();
  certificate_ = nullptr;
  key_usage_ = 0;
  loaded_ = false;
  last_error_ = 0;
}

bool CertInfo::LoadFromDer(const void* bytes, int32_t n) {
  Clear();
  if (bytes == nullptr || n < 1 || !der_.Allocate(n)) return false;
  std::memcpy(der_.data(), bytes, static_cast<size_t>(n));
  auto decoded = std::make_unique<Certificate>();
  const bool ok = decoded->Decode(der_.data(), static_cast<size_t>(n));
  last_error_ = LastPlatformError();
  if (!ok) {
    der_.Reset();
    return false;
  }
  owned_ = std::move(decoded);
  certificate_ = owned_.get();
  key_usage_ = certificate_->key_usage().value_or(0);
  loaded_ = true;
  return true;
}

bool CertInfo::LoadFromCertificate(const Certificate& certificate) {
  Clear();
  const std::vector<uint8_t>& der = certificate.der();
  if (!certificate.decoded() || der.empty() || der.size() > ByteBuffer::kMaxLength) return false;
  if (!der_.Allocate(static_cast<int32_t>(der.size()))) return false;
  std::memcpy(der_.data(), der.data(), der.size());
  certificate_ = &certificate;
  key_usage_ = certificate.key_usage().value_or(0);
  loaded_ = true;
  return true;
}

std::string CertInfo::GetBase64() const {
  if (!loaded_) return std::string();
  ByteBuffer text;
  if (!text.Base64Encode(der_.data(), der_.length())) return std::string();
  return text.ToString();
}

std::string CertInfo::GetSubject() const {
  if (!loaded_) return std::string();
  return CutNarrowText(FormatDistinguishedName(certificate_->subject()), kMaxNameLength);
}

std::string CertInfo::GetIssuer() const {
  if (!loaded_) return std::string();
  return CutNarrowText(FormatDistinguishedName(certificate_->issuer()), kMaxNameLength);
}

std::string CertInfo::GetSubjectCN() const {
  if (!loaded_) return std::string();
  return CutNarrowText(FirstCommonName(certificate_->subject()), kMaxCommonNameLength);
}

std::string CertInfo::GetIssuerCN() const {
  if (!loaded_) return std::string();
  return CutNarrowText(FirstCommonName(certificate_->issuer()), kMaxCommonNameLength);
}

std::string CertInfo::GetSerial() const {
  if (!loaded_) return std::string();
  const std::vector<uint8_t>& serial = certificate_->serial();
  ByteBuffer text;
  if (serial.size() > static_cast<size_t>(ByteBuffer::kMaxLength / 2) ||
      !text.HexEncode(serial.data(), static_cast<int32_t>(serial.size()))) {
    return std::string();
  }
  return text.ToString();
}

std::string CertInfo::GetFingerprint() const {
  if (!loaded_) return std::string();
  Sha1Digest digest;
  digest.Compute(der_.data(), der_.length());
  ByteBuffer text;
  if (!text.HexEncode(digest.data(), digest.length())) return std::string();
  return text.ToString();
}

std::string CertInfo::GetNotBefore(CertDateFormat format) const {
  if (!loaded_) return std::string();
  return FormatCertificateTime(certificate_->not_before(), format);
}

std::string CertInfo::GetNotAfter(CertDateFormat format) const {
  if (!loaded_) return std::string();
  return FormatCertificateTime(certificate_->not_after(), format);
}

bool CertInfo::IsCaCertificate() const {
  if (GetIssuer() == GetSubject()) return true;
  return (key_usage_ & 0x06) != 0;
}

}  // namespace kelvadrome
