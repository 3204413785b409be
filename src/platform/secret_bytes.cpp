#include "platform/secret_bytes.h"

#include <openssl/crypto.h>

namespace kelvadrome {

void WipeMemory(void* data, size_t size) {
  if (data != nullptr && size != 0) OPENSSL_cleanse(data, size);
}

}  // namespace kelvadrome
