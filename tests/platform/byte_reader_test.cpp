// The little-endian record cursor: numbers in byte order, and a read that fails (too few bytes, a
// length prefix over what is left or over its limit) neither advances nor changes its output.
#include "platform/byte_reader.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kelvadrome {
namespace {

TEST(ByteReaderTest, ReadsLittleEndianAndAFailedReadLeavesEverythingInPlace) {
  const std::vector<uint8_t> bytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09};
  ByteReader reader(bytes);
  uint16_t u16 = 0;
  uint32_t u32 = 0;
  uint64_t u64 = 0;
  ASSERT_TRUE(reader.ReadU16(u16));
  EXPECT_EQ(u16, 0x0201);
  ASSERT_TRUE(reader.ReadU32(u32));
  EXPECT_EQ(u32, 0x06050403u);
  u64 = 77;
  EXPECT_FALSE(reader.ReadU64(u64)) << "three bytes left";
  EXPECT_EQ(u64, 77u);
  EXPECT_EQ(reader.offset(), 6u);
  std::span<const uint8_t> taken;
  EXPECT_FALSE(reader.ReadBytes(4, taken));
  EXPECT_TRUE(taken.empty());
  EXPECT_FALSE(reader.Skip(4));
  EXPECT_EQ(reader.remaining(), 3u);
  ASSERT_TRUE(reader.ReadBytes(3, taken));
  EXPECT_EQ(taken[2], 0x09);
  EXPECT_TRUE(reader.empty());
}

TEST(ByteReaderTest, LengthPrefixedTextIsTakenOnlyWhenWhole) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    uint32_t max_length;
    bool ok;
  };
  const Case cases[] = {
      {"whole", {0x02, 0x00, 0x00, 0x00, 'h', 'i', 'x'}, 10, true},
      {"empty text", {0x00, 0x00, 0x00, 0x00}, 0, true},
      // The prefix announces three bytes; two follow.
      {"text cut short", {0x03, 0x00, 0x00, 0x00, 'h', 'i'}, 10, false},
      // A length near 4 GiB must not wrap any sum.
      {"huge length", {0xFF, 0xFF, 0xFF, 0xFF, 'h', 'i'}, UINT32_MAX, false},
      // The text is there but longer than the caller accepts.
      {"over the limit", {0x02, 0x00, 0x00, 0x00, 'h', 'i'}, 1, false},
      // Not even the whole prefix.
      {"prefix cut short", {0x02, 0x00, 0x00}, 10, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ByteReader reader(c.bytes);
    std::string text = "unchanged";
    ASSERT_EQ(reader.ReadU32PrefixedText(text, c.max_length), c.ok);
    if (c.ok) {
      EXPECT_EQ(text.size(), c.bytes[0]);
      EXPECT_EQ(reader.offset(), 4u + c.bytes[0]);
    } else {
      EXPECT_EQ(text, "unchanged");
      EXPECT_EQ(reader.offset(), 0u);
    }
  }
}

}  // namespace
}  // namespace kelvadrome
