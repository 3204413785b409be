// Key blobs and PKCS #8 keys arrive from files and other programs: any bytes must be refused or
// read without fault, and a key that was read must write back out.
#include <cstdint>
#include <span>

#include "platform/rsa_key.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  uint32_t algorithm = 0;
  if (auto key = kelvadrome::RsaKeyFromPrivateBlob(bytes, &algorithm)) {
    kelvadrome::RsaPrivateBlob(key->private_key.view(), algorithm);
    kelvadrome::RsaPublicBlob(key->public_key, algorithm);
  }
  kelvadrome::RsaKeyFromPkcs8(bytes);
  return 0;
}
