// Upper-case hex encoding and permissive hex decoding of ByteBuffer.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
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
  struct Case {
    const char* name;
    const void* bytes;
    int32_t n;
  };
  const Case cases[] = {
      {"null bytes", nullptr, 1},
      {"zero length", &byte, 0},
      {"negative length", &byte, -7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ByteBuffer buffer;
    ASSERT_TRUE(buffer.Append("old", 3));
    EXPECT_FALSE(buffer.HexEncode(c.bytes, c.n));
    EXPECT_EQ(buffer.data(), nullptr);
    EXPECT_EQ(buffer.length(), 0);
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

TEST(HexTest, RoundTripsRandomBytesAndItsOwnContent) {
  std::mt19937 generator(5);
  std::uniform_int_distribution<int> byte(0, 255);
  for (size_t size : {1, 2, 17, 1000, 65537}) {
    SCOPED_TRACE("size " + std::to_string(size));
    Bytes input(size);
    for (auto& b : input) b = static_cast<uint8_t>(byte(generator));
    ByteBuffer buffer;
    ASSERT_TRUE(buffer.Append(input.data(), static_cast<int32_t>(size)));
    // Both directions work on the buffer's own content.
    ASSERT_TRUE(buffer.HexEncode(buffer.data(), buffer.length()));
    EXPECT_EQ(buffer.length(), static_cast<int32_t>(2 * size));
    ASSERT_TRUE(buffer.HexDecode(buffer.c_str()));
    EXPECT_EQ(Content(buffer), input);
  }
}

}  // namespace
}  // namespace kelvadrome
