// The reading of recipient certificates from the text a caller gives CertEncryptPkcs7, on
// arbitrary text. Checks that the code and the list agree, that every recipient is one decodable
// certificate listed once, and that only a message without a certificate set or bytes that are no
// certificate carry a platform error.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ops/encryption.h"
#include "platform/certificate.h"
#include "platform/error_codes.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 20) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const kelvadrome::RecipientReading reading = kelvadrome::ReadRecipientCertificates(text);
  switch (reading.code) {
    case 0:
      Check(!reading.certificates.empty());
      Check(reading.platform_error == 0);
      break;
    case kelvadrome::Code(kelvadrome::ErrorCode::kBadArgument):
      Check(text.empty());
      break;
    case kelvadrome::Code(kelvadrome::ErrorCode::kBadCertificate):
      Check(reading.certificates.empty());
      break;
    default:
      Check(false);
  }
  for (size_t i = 0; i < reading.certificates.size(); ++i) {
    const auto& der = reading.certificates[i];
    kelvadrome::Certificate certificate;
    Check(certificate.Decode(der.data(), der.size()));
    for (size_t j = 0; j < i; ++j) Check(reading.certificates[j] != der);
  }
  return 0;
}
