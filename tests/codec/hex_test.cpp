// Upper-case hex encoding and permissive hex decoding of ByteBuffer.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "codec/byte_buffer.h"

namespace kelvadrome {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Content(const ByteBuffer& buffer) {
  return Bytes(buffer.data(), buffer.data() + buffer.length());
}

// The value the decoding arithmetic gives one character: upper-cased (C locale), then
// code - 0x30 up to '9' and code - 0x37 above.
int DigitValue(unsigned char c) {
  const int upper = std::toupper(c);
  return upper <= 0x39 ? upper - 0x30 : upper - 0x37;
}

uint8_t ReferenceByte(unsigned char high, unsigned char low) {
  return static_cast<uint8_t>(((DigitValue(high) * 16 + DigitValue(low)) % 256 + 256) % 256);
}

TEST(HexTest, EncodesEveryByteAsTwoUpperCaseDigits) {
  Bytes all(256);
  for (int b = 0; b < 256; ++b) all[static_cast<size_t>(b)] = static_cast<uint8_t>(b);
  std::string expected;
  for (uint8_t b : all) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02X", b);
    expected += pair;
  }
  ByteBuffer buffer;
  ASSERT_TRUE(buffer.HexEncode(all.data(), static_cast<int32_t>(all.size())));
  EXPECT_EQ(buffer.ToString(), expected);
  // Callers read the text as a NUL-terminated string.
  EXPECT_EQ(std::string(buffer.c_str()), expected);
  EXPECT_EQ(buffer.data()[buffer.length() + 1], 0);

  const uint8_t two[] = {0x0A, 0xFF};
  ASSERT_TRUE(buffer.HexEncode(two, 2));
  EXPECT_EQ(buffer.ToString(), "0AFF");
}

TEST(HexTest, EncodeRefusesNothingToEncodeAndEmptiesTheBuffer) {
  const uint8_t byte = 1;
  for (const auto& [name, bytes, n] :
       {std::tuple<const char*, const void*, int32_t>{"null bytes", nullptr, 1},
        {"zero length", &byte, 0},
        {"negative length", &byte, -7}}) {
    SCOPED_TRACE(name);
    ByteBuffer buffer;
    ASSERT_TRUE(buffer.Append("old", 3));
    EXPECT_FALSE(buffer.HexEncode(bytes, n));
    EXPECT_EQ(buffer.data(), nullptr);
  }
}

TEST(HexTest, DecodesTextOfEvenLength) {
  struct Case {
    const char* name;
    const char* text;
    bool ok;
    Bytes expected;
  };
  const Case cases[] = {
      {"lower case", "0aff", true, {0x0A, 0xFF}},
      {"upper case", "0AFF", true, {0x0A, 0xFF}},
      {"mixed case", "dEaDbEeF", true, {0xDE, 0xAD, 0xBE, 0xEF}},
      {"all digits", "0123456789", true, {0x01, 0x23, 0x45, 0x67, 0x89}},
      // 'G' is no hex digit: 0x47 - 0x37 = 16, so the pair is 16 * 16 + 16 = 272 = 0x10 mod 256.
      {"letters beyond F", "GG", true, {0x10}},
      // Spaces are not skipped: 0x20 - 0x30 = -16, so -16 * 16 - 16 = -272 = 0xF0 mod 256.
      {"spaces", "  ", true, {0xF0}},
      // 'z' is upper-cased to 'Z' first: 0x5A - 0x37 = 35, 35 * 16 + 35 = 595 = 0x53 mod 256.
      {"lower-case letters beyond f", "zz", true, {0x53}},
      // Odd length: the last character has no partner.
      {"three characters", "0af", false, {}},
      {"one character", "A", false, {}},
      // Nothing to decode.
      {"empty", "", false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ByteBuffer buffer;
    ASSERT_TRUE(buffer.Append("old", 3));
    EXPECT_EQ(buffer.HexDecode(c.text), c.ok);
    EXPECT_EQ(Content(buffer), c.expected);
    if (c.ok) {
      EXPECT_EQ(buffer.data()[buffer.length()], 0);
      EXPECT_EQ(buffer.data()[buffer.length() + 1], 0);
    } else {
      EXPECT_EQ(buffer.data(), nullptr);
    }
  }
  ByteBuffer buffer;
  ASSERT_TRUE(buffer.Append("old", 3));
  EXPECT_FALSE(buffer.HexDecode(nullptr));
  EXPECT_EQ(buffer.data(), nullptr);
}

// Every pair of non-NUL characters gives the byte of the decoding arithmetic.
TEST(HexTest, DecodesEveryCharacterPairByTheDigitArithmetic) {
  std::string text;
  Bytes expected;
  for (int high = 1; high < 256; ++high) {
    for (int low = 1; low < 256; ++low) {
      text += static_cast<char>(high);
      text += static_cast<char>(low);
      expected.push_back(
          ReferenceByte(static_cast<unsigned char>(high), static_cast<unsigned char>(low)));
    }
  }
  ByteBuffer buffer;
  ASSERT_TRUE(buffer.HexDecode(text.c_str()));
  ASSERT_EQ(buffer.length(), static_cast<int32_t>(expected.size()));
  for (size_t i = 0; i < expected.size(); ++i) {
    if (buffer.data()[i] != expected[i]) {
      ADD_FAILURE() << "pair " << static_cast<int>(static_cast<unsigned char>(text[2 * i])) << ","
                    << static_cast<int>(static_cast<unsigned char>(text[2 * i + 1])) << " gave "
                    << static_cast<int>(buffer.data()[i]) << ", expected "
                    << static_cast<int>(expected[i]);
      break;
    }
  }
}

// Both directions on the buffer's own content and into storage that is large enough to be
// written in place (80 bytes of storage fit the 80 digits of the first 40 bytes; 1000 bytes fit
// the 1000 bytes that 2000 digits decode to): the input must be read intact and nothing of the old
// content may show after the new.
TEST(HexTest, ConvertsItsOwnContent) {
  std::mt19937 generator(5);
  std::uniform_int_distribution<int> byte(0, 255);
  Bytes input(1000);
  for (auto& b : input) b = static_cast<uint8_t>(byte(generator));
  for (const auto& [size, capacity] : {std::pair<size_t, int32_t>{1000, 1000}, {40, 80}}) {
    SCOPED_TRACE("size " + std::to_string(size) + " in storage for " + std::to_string(capacity));
    const Bytes expected(input.begin(), input.begin() + static_cast<ptrdiff_t>(size));
    ByteBuffer buffer;
    ASSERT_TRUE(buffer.Allocate(capacity));
    std::memcpy(buffer.data(), input.data(), static_cast<size_t>(capacity));
    ASSERT_TRUE(buffer.HexEncode(buffer.data(), static_cast<int32_t>(size)));
    ASSERT_EQ(buffer.length(), static_cast<int32_t>(2 * size));
    for (size_t i = 0; i < size; ++i) {
      ASSERT_EQ(ReferenceByte(buffer.c_str()[2 * i], buffer.c_str()[2 * i + 1]), expected[i]) << i;
    }
    EXPECT_EQ(buffer.data()[buffer.length() + 1], 0);
    const std::string text = buffer.ToString();
    ASSERT_TRUE(buffer.Allocate(capacity));
    std::memset(buffer.data(), 'Z', static_cast<size_t>(capacity));
    ASSERT_TRUE(buffer.HexDecode(text.c_str()));
    EXPECT_EQ(Content(buffer), expected);
    EXPECT_EQ(buffer.data()[buffer.length()], 0);
    EXPECT_EQ(buffer.data()[buffer.length() + 1], 0);
  }
}

}  // namespace
}  // namespace kelvadrome
