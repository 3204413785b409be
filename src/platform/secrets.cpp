#include "platform/secrets.h"

#include <string.h>

namespace kelvadrome {

void SecureWipe(void* data, size_t size) {
  if (data != nullptr && size != 0) explicit_bzero(data, size);
}

}  // namespace kelvadrome
