#include "platform/byte_reader.h"

namespace kelvadrome {

bool ByteReader::ReadLittleEndian(size_t count, uint64_t& value) {
  if (remaining() < count) return false;
  uint64_t result = 0;
  for (size_t i = 0; i < count; ++i) result |= uint64_t{bytes_[position_ + i]} << (8 * i);
  position_ += count;
  value = result;
  return true;
}

bool ByteReader::ReadU8(uint8_t& value) {
  uint64_t wide = 0;
  if (!ReadLittleEndian(1, wide)) return false;
  value = static_cast<uint8_t>(wide);
  return true;
}

bool ByteReader::ReadU16(uint16_t& value) {
  uint64_t wide = 0;
  if (!ReadLittleEndian(2, wide)) return false;
  value = static_cast<uint16_t>(wide);
  return true;
}

bool ByteReader::ReadU32(uint32_t& value) {
  uint64_t wide = 0;
  if (!ReadLittleEndian(4, wide)) return false;
  value = static_cast<uint32_t>(wide);
  return true;
}

bool ByteReader::ReadU64(uint64_t& value) {
  return ReadLittleEndian(8, value);
}

bool ByteReader::ReadBytes(size_t count, std::span<const uint8_t>& bytes) {
  if (remaining() < count) return false;
  bytes = bytes_.subspan(position_, count);
  position_ += count;
  return true;
}

bool ByteReader::Skip(size_t count) {
  if (remaining() < count) return false;
  position_ += count;
  return true;
}

bool ByteReader::ReadU32Prefixed(std::span<const uint8_t>& bytes, uint32_t max_length) {
  ByteReader ahead = *this;
  uint32_t length = 0;
  if (!ahead.ReadU32(length) || length > max_length || !ahead.ReadBytes(length, bytes)) {
    return false;
  }
  *this = ahead;
  return true;
}

bool ByteReader::ReadU32PrefixedText(std::string& text, uint32_t max_length) {
  std::span<const uint8_t> bytes;
  if (!ReadU32Prefixed(bytes, max_length)) return false;
  text.assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return true;
}

}  // namespace kelvadrome
