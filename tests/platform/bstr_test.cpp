#include "platform/bstr.h"

#include <cstring>

#include <gtest/gtest.h>

namespace kelvadrome {
namespace {

uint32_t StoredByteLength(Bstr text) {
  uint32_t bytes;
  std::memcpy(&bytes, reinterpret_cast<const unsigned char*>(text) - 4, 4);
  return bytes;
}

TEST(Bstr, LayoutHasTheByteLengthBeforeAndAZeroAfter) {
  Bstr text = AllocBstr(u"憑證 ok");
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(BstrLength(text), 5u);
  EXPECT_EQ(StoredByteLength(text), 10u);
  EXPECT_EQ(text[5], 0);
  EXPECT_EQ(std::u16string(text), u"憑證 ok");
  FreeBstr(text);
}

TEST(Bstr, EmbeddedZerosAndNullSourcesKeepTheirLength) {
  Bstr embedded = AllocBstr(u"a\0b", 3);
  EXPECT_EQ(BstrLength(embedded), 3u);
  EXPECT_EQ(embedded[1], 0);
  EXPECT_EQ(embedded[2], u'b');
  FreeBstr(embedded);
  Bstr zeros = AllocBstr(nullptr, 4);
  ASSERT_NE(zeros, nullptr);
  EXPECT_EQ(BstrLength(zeros), 4u);
  for (int i = 0; i <= 4; ++i) EXPECT_EQ(zeros[i], 0);
  FreeBstr(zeros);
}

TEST(Bstr, EmptyIsAllocatedAndNullStaysNull) {
  Bstr empty = AllocBstr(u"");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(BstrLength(empty), 0u);
  EXPECT_EQ(empty[0], 0);
  FreeBstr(empty);
  EXPECT_EQ(AllocBstr(static_cast<const OleChar*>(nullptr)), nullptr);
  EXPECT_EQ(BstrLength(nullptr), 0u);
  FreeBstr(nullptr);  // does nothing
}

TEST(Bstr, LengthsBeyondThe32BitByteCountFail) {
  EXPECT_EQ(AllocBstr(nullptr, UINT32_MAX), nullptr);
  EXPECT_EQ(AllocBstr(nullptr, UINT32_MAX / 2), nullptr);
}

}  // namespace
}  // namespace kelvadrome
