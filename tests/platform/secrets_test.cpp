#include "platform/secrets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/text.h"
#include "support/scoped_code_page.h"

namespace kelvadrome {
namespace {

// True when the |count| bytes at |data| are all zero.
bool Zeroed(const void* data, size_t count) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  return std::all_of(bytes, bytes + count, [](unsigned char b) { return b == 0; });
}

// A password must not survive in storage its string still owns after the text moved on: the
// inline buffer of a moved-from string, the tail left by a shorter assignment, a removed
// character. (Freed heap blocks are covered by the allocator, which cannot be observed safely.)
TEST(SecretStringTest, StorageItStillOwnsHoldsNoOldText) {
  SecretString short_text(std::string_view("pw-1234"));  // short enough to sit inline
  const char* inline_buffer = short_text.data();
  SecretString taken(std::move(short_text));
  EXPECT_EQ(taken, "pw-1234");
  EXPECT_TRUE(short_text.empty());
  EXPECT_TRUE(Zeroed(inline_buffer, 7)) << "the moved-from inline buffer still holds the text";

  SecretString text(std::string_view("a long passphrase on the heap"));
  text.assign("ab");
  EXPECT_EQ(text, "ab");
  EXPECT_TRUE(Zeroed(text.data() + 3, 26)) << "the tail of the longer text was left behind";

  text.pop_back();
  EXPECT_EQ(text, "a");
  EXPECT_TRUE(Zeroed(text.data() + 1, 2));

  SecretString assigned;
  assigned = taken;
  taken.Wipe();
  EXPECT_EQ(assigned, "pw-1234") << "a copy is independent of its source";
  EXPECT_TRUE(Zeroed(taken.data(), 7));
}

// The secret conversions give exactly what the plain ones give, in UTF-8 and in a double-byte
// code page, for characters the code page has and lacks.
TEST(SecretStringTest, SecretConversionsMatchThePlainOnes) {
  for (const char* code_page : {"UTF-8", "CP950"}) {
    SCOPED_TRACE(code_page);
    testing::ScopedCodePage pinned(code_page);
    for (const std::u16string& text :
         {std::u16string(u""), std::u16string(u"plain"), std::u16string(u"密碼-許功蓋"),
          std::u16string(u"\u00e9\U0001F511"), std::u16string(1, u'\xD800')}) {
      const std::string narrow = ConvertToNarrow(text);
      EXPECT_EQ(ConvertSecretToNarrow(text), narrow);
      EXPECT_EQ(SecretNarrowToUtf8(narrow), NarrowToUtf8(narrow));
    }
  }
}

}  // namespace
}  // namespace kelvadrome
