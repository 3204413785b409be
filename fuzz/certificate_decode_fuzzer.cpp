// Certificate decoding of arbitrary bytes, then every CertInfo getter. Checks that decoding and
// CertInfo agree, that a failure leaves everything empty, and the shape of every text on success
// (hex lengths, the name limits, dates in their formats).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "codec/cert_info.h"
#include "platform/certificate.h"
#include "platform/last_error.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool AllHex(const std::string& text) {
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

bool AllDigitsExcept(const std::string& text, const char* separators_at) {
  // |separators_at| gives, per position, the separator expected there or '0' for a digit.
  if (text.size() != std::strlen(separators_at)) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (separators_at[i] == '0' ? !(text[i] >= '0' && text[i] <= '9') : text[i] != separators_at[i])
      return false;
  }
  return true;
}

void CheckDate(const kelvadrome::CertInfo& info, bool not_before) {
  using kelvadrome::CertDateFormat;
  const auto get = [&](CertDateFormat format) {
    return not_before ? info.GetNotBefore(format) : info.GetNotAfter(format);
  };
  const std::string compact = get(CertDateFormat::kCompact);
  const std::string date = get(CertDateFormat::kDate);
  const std::string date_time = get(CertDateFormat::kDateTime);
  if (compact.empty()) {
    Check(date.empty() && date_time.empty());
    return;
  }
  // A local time in the year 10000 (9999-12-31 seen east of UTC) has five year digits.
  if (compact.size() == 14) {
    Check(AllDigitsExcept(compact, "00000000000000"));
    Check(AllDigitsExcept(date, "0000/00/00"));
    Check(AllDigitsExcept(date_time, "0000/00/00 00:00:00"));
  } else {
    Check(compact.size() == 15 && compact.compare(0, 5, "10000") == 0);
  }
  Check(date_time.compare(0, date.size(), date) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 20) return 0;
  kelvadrome::Certificate certificate;
  const bool decoded = certificate.Decode(data, size);
  const uint32_t error = kelvadrome::LastPlatformError();
  Check(decoded == certificate.decoded());
  Check(decoded ? error == 0 : error != 0);

  kelvadrome::CertInfo info(data, static_cast<int32_t>(size));
  Check(info.loaded() == decoded);
  if (size > 0) Check(info.last_error() == error);
  if (!decoded) {
    Check(info.der().empty() && info.certificate() == nullptr);
    Check(info.GetSubject().empty() && info.GetIssuer().empty() && info.GetSerial().empty());
    Check(info.GetFingerprint().empty() && info.GetBase64().empty() && info.GetKeyUsage() == 0);
    Check(info.GetNotBefore(kelvadrome::CertDateFormat::kCompact).empty());
    return 0;
  }
  Check(certificate.der().size() == size);
  Check(!certificate.serial().empty());
  const std::string serial = info.GetSerial();
  Check(serial.size() == 2 * certificate.serial().size() && AllHex(serial));
  const std::string fingerprint = info.GetFingerprint();
  Check(fingerprint.size() == 40 && AllHex(fingerprint));
  Check(info.GetBase64().size() == 4 * ((size + 2) / 3));
  Check(info.GetSubject().size() <= kelvadrome::CertInfo::kMaxNameLength);
  Check(info.GetIssuer().size() <= kelvadrome::CertInfo::kMaxNameLength);
  Check(info.GetSubjectCN().size() <= kelvadrome::CertInfo::kMaxCommonNameLength);
  Check(info.GetIssuerCN().size() <= kelvadrome::CertInfo::kMaxCommonNameLength);
  Check(info.GetKeyUsage() == certificate.key_usage().value_or(0));
  if (info.GetSubject() == info.GetIssuer()) Check(info.IsCaCertificate());
  CheckDate(info, true);
  CheckDate(info, false);

  // The borrowed form gives the same texts.
  kelvadrome::CertInfo borrowed(certificate);
  Check(borrowed.loaded());
  Check(borrowed.GetSubject() == info.GetSubject() && borrowed.GetSerial() == serial);
  Check(borrowed.GetFingerprint() == fingerprint);
  return 0;
}
