#include "platform/bstr.h"

#include <cstdlib>
#include <cstring>

#include <string.h>

namespace kelvadrome {

namespace {

// The byte length is a 32-bit value, so the longest string has (2^32 - 1) / 2 characters; the
// allocation also holds the prefix and the terminator.
constexpr uint64_t kMaxCharacters = (uint64_t{UINT32_MAX} - 8) / sizeof(OleChar);

}  // namespace

Bstr AllocBstr(const OleChar* text, uint32_t length) {
  if (length > kMaxCharacters) return nullptr;
  const size_t bytes = size_t{length} * sizeof(OleChar);
  auto* block =
      static_cast<unsigned char*>(std::malloc(sizeof(uint32_t) + bytes + sizeof(OleChar)));
  if (block == nullptr) return nullptr;
  const auto byte_length = static_cast<uint32_t>(bytes);
  std::memcpy(block, &byte_length, sizeof byte_length);
  auto* chars = reinterpret_cast<OleChar*>(block + sizeof(uint32_t));
  if (text != nullptr) {
    std::memcpy(chars, text, bytes);
  } else {
    std::memset(chars, 0, bytes);
  }
  chars[length] = 0;
  return chars;
}

Bstr AllocBstr(const OleChar* text) {
  if (text == nullptr) return nullptr;
  return AllocBstr(std::u16string_view(text));
}

uint32_t BstrLength(const OleChar* text) {
  if (text == nullptr) return 0;
  uint32_t byte_length;
  std::memcpy(&byte_length, reinterpret_cast<const unsigned char*>(text) - sizeof(uint32_t),
              sizeof byte_length);
  return byte_length / sizeof(OleChar);
}

void FreeBstr(Bstr text) {
  if (text == nullptr) return;
  // Results can carry decrypted text or passwords; none of it stays in freed memory.
  explicit_bzero(text, size_t{BstrLength(text)} * sizeof(OleChar));
  std::free(reinterpret_cast<unsigned char*>(text) - sizeof(uint32_t));
}

}  // namespace kelvadrome
