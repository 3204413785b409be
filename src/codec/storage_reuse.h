// Helpers for ByteBuffer conversions that write their output into the buffer's own storage when
// it fits, instead of allocating afresh (shared by the Base64 and hex conversions).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/secrets.h"

namespace kelvadrome::storage_reuse {

// Storage a conversion may write its output to in place: the buffer's own storage when it has
// room for |need| bytes and the terminator, is not more than twice that size (a small result does
// not keep a large block alive), and does not hold the input. Returns null when fresh storage is
// needed.
inline uint8_t* ReusableStorage(uint8_t* data, int64_t capacity, int64_t need, const void* input,
                                size_t input_size) {
  if (data == nullptr || capacity < need + 2 || capacity > 2 * (need + 2)) return nullptr;
  // Compared as addresses: the input may be any object, not necessarily this storage.
  const auto in = reinterpret_cast<uintptr_t>(input);
  const auto storage = reinterpret_cast<uintptr_t>(data);
  if (in < storage + static_cast<uintptr_t>(capacity) && storage < in + input_size) return nullptr;
  return data;
}

// After an in-place conversion: clears what is left of the old content (and terminator) beyond
// the new content, so the two bytes after the content and all storage past them are zero.
inline void ClearAfterContent(uint8_t* data, int64_t new_length, int64_t old_length) {
  if (old_length > new_length) {
    SecureWipe(data + new_length, static_cast<size_t>(old_length + 2 - new_length));
  } else {
    data[new_length] = 0;
    data[new_length + 1] = 0;
  }
}

}  // namespace kelvadrome::storage_reuse
