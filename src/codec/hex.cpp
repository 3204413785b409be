// Upper-case hex text forms of a ByteBuffer.
//
// Decoding does not reject anything but odd-length text: each character is upper-cased (ASCII
// letters only, whatever the process locale), then a code up to '9' has the value code - 0x30 and
// any other code the value code - 0x37, so A-F and a-f give 10-15 and other characters give
// whatever that arithmetic gives; the byte is high * 16 + low, modulo 256.
#include <array>
#include <cstdint>
#include <cstring>

#include "codec/byte_buffer.h"
#include "codec/storage_reuse.h"
#include "platform/secrets.h"

namespace kelvadrome {

namespace {

using storage_reuse::ClearAfterContent;
using storage_reuse::ReusableStorage;

constexpr std::array<char, 512> kHexPairs = [] {
  constexpr char kDigits[] = "0123456789ABCDEF";
  std::array<char, 512> pairs{};
  for (int b = 0; b < 256; ++b) {
    pairs[2 * b] = kDigits[b >> 4];
    pairs[2 * b + 1] = kDigits[b & 0x0F];
  }
  return pairs;
}();

// The value of every character, modulo 256 (only its low four bits matter in the high digit).
constexpr std::array<uint8_t, 256> kHexValue = [] {
  std::array<uint8_t, 256> table{};
  for (int c = 0; c < 256; ++c) {
    const int upper = (c >= 'a' && c <= 'z') ? c - ('a' - 'A') : c;
    const int value = upper <= 0x39 ? upper - 0x30 : upper - 0x37;
    table[c] = static_cast<uint8_t>(value & 0xFF);
  }
  return table;
}();

}  // namespace

bool ByteBuffer::HexEncode(const void* bytes, int32_t n) {
  if (bytes == nullptr || n < 1) {
    Reset();
    return false;
  }
  const int64_t out_length = 2 * int64_t{n};
  if (out_length > kMaxLength) {
    Reset();
    return false;
  }
  // The text goes to the buffer's own storage when that fits and does not hold the input, else
  // to fresh storage that replaces the content at the end.
  ByteBuffer fresh;
  const auto count = static_cast<size_t>(n);
  uint8_t* out = ReusableStorage(data_, capacity_, out_length, bytes, count);
  if (out == nullptr) {
    if (!fresh.Reserve(out_length)) {
      Reset();
      return false;
    }
    out = fresh.data_;
  }
  const auto* in = static_cast<const uint8_t*>(bytes);
  for (size_t i = 0; i < count; ++i) std::memcpy(out + 2 * i, &kHexPairs[2 * size_t{in[i]}], 2);
  if (out == data_) {
    ClearAfterContent(data_, out_length, length_);
    length_ = static_cast<int32_t>(out_length);
  } else {
    fresh.length_ = static_cast<int32_t>(out_length);
    *this = std::move(fresh);
  }
  return true;
}

bool ByteBuffer::HexDecode(const char* text) {
  if (text == nullptr) {
    Reset();
    return false;
  }
  const size_t text_length = std::strlen(text);
  if (text_length == 0 || text_length % 2 != 0 || text_length / 2 > size_t{kMaxLength}) {
    Reset();
    return false;
  }
  const size_t count = text_length / 2;
  const auto out_length = static_cast<int64_t>(count);
  // In place when the storage fits and does not hold the text.
  ByteBuffer fresh;
  uint8_t* out = ReusableStorage(data_, capacity_, out_length, text, text_length + 1);
  if (out == nullptr) {
    if (!fresh.Reserve(out_length)) {
      Reset();
      return false;
    }
    out = fresh.data_;
  }
  const auto* in = reinterpret_cast<const uint8_t*>(text);
  for (size_t i = 0; i < count; ++i) {
    out[i] = static_cast<uint8_t>((kHexValue[in[2 * i]] << 4) + kHexValue[in[2 * i + 1]]);
  }
  if (out == data_) {
    ClearAfterContent(data_, out_length, length_);
    length_ = static_cast<int32_t>(out_length);
  } else {
    fresh.length_ = static_cast<int32_t>(out_length);
    *this = std::move(fresh);
  }
  return true;
}

}  // namespace kelvadrome
