// ByteReader: a non-owning, bounds-checked cursor over the little-endian binary records the
// component reads back from outside (stored key-provider links, key blobs, certificate summaries,
// the shared block's item table). It is DerReader's sibling for records that are not DER.
//
// Every read checks the bytes it needs against what is left before it takes them, and a read that
// fails leaves the cursor where it was. The reader never owns the bytes; the caller keeps them
// alive while any reader over them is in use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace kelvadrome {

class ByteReader {
 public:
  ByteReader() = default;
  explicit ByteReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  // offset is how many bytes have been read; remaining how many are left.
  size_t offset() const { return position_; }
  size_t remaining() const { return bytes_.size() - position_; }
  bool empty() const { return remaining() == 0; }

  // ReadU8, ReadU16, ReadU32 and ReadU64 read a little-endian number of that width; false (nothing
  // read, |value| unchanged) when fewer bytes are left.
  bool ReadU8(uint8_t& value);
  bool ReadU16(uint16_t& value);
  bool ReadU32(uint32_t& value);
  bool ReadU64(uint64_t& value);
  // ReadBytes gives the next |count| bytes in |bytes|; false when fewer are left.
  bool ReadBytes(size_t count, std::span<const uint8_t>& bytes);
  // Skip reads past the next |count| bytes; false when fewer are left.
  bool Skip(size_t count);
  // ReadU32Prefixed reads a 32-bit length and that many bytes into |bytes|; false when the length
  // is over |max_length| or more than is left after it.
  bool ReadU32Prefixed(std::span<const uint8_t>& bytes, uint32_t max_length = UINT32_MAX);
  // ReadU32PrefixedText is ReadU32Prefixed giving the bytes as a string.
  bool ReadU32PrefixedText(std::string& text, uint32_t max_length = UINT32_MAX);

 private:
  bool ReadLittleEndian(size_t count, uint64_t& value);

  std::span<const uint8_t> bytes_;
  size_t position_ = 0;
};

}  // namespace kelvadrome
