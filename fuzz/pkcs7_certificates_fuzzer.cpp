// The PKCS #7 certificate-set reader on arbitrary bytes. Checks that the reading and the recorded
// error agree, that only a SignedData lists entries, that the entries are whole, ordered,
// non-overlapping views into the input, and that a message read as well formed turns malformed
// with one byte after it.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "platform/certificate.h"
#include "platform/last_error.h"
#include "platform/pkcs7_certificates.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using kelvadrome::Pkcs7Reading;
  namespace error = kelvadrome::platform_error;
  if (size > 1 << 20) return 0;
  const std::span<const uint8_t> bytes(data, size);
  const kelvadrome::Pkcs7Certificates result = kelvadrome::ReadPkcs7Certificates(bytes);
  const uint32_t code = kelvadrome::LastPlatformError();
  switch (result.reading) {
    case Pkcs7Reading::kCertificates:
      Check(code == 0);
      break;
    case Pkcs7Reading::kNoCertificateCount:
      Check(code == error::kInvalidMessageType);
      break;
    case Pkcs7Reading::kNotAMessage:
      Check(code == error::kInvalidMessageType || code == error::kAsn1EndOfData ||
            code == error::kAsn1BadTag);
      break;
  }
  if (result.reading != Pkcs7Reading::kCertificates) Check(result.certificates.empty());
  const uint8_t* previous_end = data;
  for (const auto entry : result.certificates) {
    // At least a tag and a length octet, inside the input, after the previous entry.
    Check(entry.size() >= 2);
    Check(entry.data() >= previous_end && entry.data() + entry.size() <= data + size);
    previous_end = entry.data() + entry.size();
  }

  // A well-formed ContentInfo, whatever its type, followed by one more byte is malformed.
  if (code == 0 || code == error::kInvalidMessageType) {
    std::vector<uint8_t> longer(data, data + size);
    longer.push_back(0x00);
    const kelvadrome::Pkcs7Certificates with_trailing = kelvadrome::ReadPkcs7Certificates(longer);
    Check(with_trailing.reading == Pkcs7Reading::kNotAMessage);
    Check(kelvadrome::LastPlatformError() == error::kAsn1BadTag);
  }
  return 0;
}
