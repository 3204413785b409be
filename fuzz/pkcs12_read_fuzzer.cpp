// The PKCS #12 reader on arbitrary bytes, with the fixed password "fuzz" (the seeds made at that
// password reach the decryption and key paths). Checks that IsPkcs12 and ReadPkcs12 agree on what
// is no PFX, that every error is one the codec documents, that key indexes point at distinct keys,
// and that the OpenSSL error queue is left empty.
#include <openssl/err.h>

#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "platform/certificate.h"
#include "platform/last_error.h"
#include "platform/pkcs12.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace error = kelvadrome::platform_error;
  if (size > 1 << 16) return 0;
  const std::span<const uint8_t> bytes(data, size);
  const bool is_pfx = kelvadrome::IsPkcs12(bytes);
  const uint32_t shape = kelvadrome::LastPlatformError();
  Check(is_pfx ? shape == 0 : (shape == error::kAsn1BadTag || shape == error::kAsn1EndOfData));

  const auto contents = kelvadrome::ReadPkcs12(bytes, "fuzz");
  const uint32_t code = kelvadrome::LastPlatformError();
  Check(ERR_peek_error() == 0);
  if (!is_pfx) {
    Check(!contents && code == shape);
    return 0;
  }
  if (!contents) {
    Check(code == error::kAsn1BadTag || code == error::kInvalidPassword ||
          code == error::kPkcs12BadData || code == error::kPkcs12BadAlgorithm);
    return 0;
  }
  Check(code == 0);
  std::vector<bool> used(contents->keys.size(), false);
  for (const auto& certificate : contents->certificates) {
    Check(!certificate.der.empty());
    if (certificate.key_index < 0) continue;
    Check(static_cast<size_t>(certificate.key_index) < used.size());
    Check(!used[certificate.key_index]);
    used[certificate.key_index] = true;
  }
  for (const auto& key : contents->keys) Check(!key.private_key.empty());
  return 0;
}
