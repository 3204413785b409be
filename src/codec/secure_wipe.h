// SecureWipe overwrites memory that held secrets (keys, passwords, plaintext) so that the bytes do
// not survive in freed storage. Unlike memset, the compiler may not drop it as a dead store.
#pragma once

#include <cstddef>
#include <string>

#include <string.h>

namespace kelvadrome {

inline void SecureWipe(void* data, size_t size) {
  if (data != nullptr && size != 0) explicit_bzero(data, size);
}

inline void SecureWipe(std::string& text) {
  SecureWipe(text.data(), text.size());
  text.clear();
}

}  // namespace kelvadrome
