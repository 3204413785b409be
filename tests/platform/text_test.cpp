#include "platform/text.h"

#include <gtest/gtest.h>

#include "support/scoped_code_page.h"
#include "support/test_support.h"

namespace kelvadrome {
namespace {

TEST(CodePage, NamesResolveWithAsciiAndUnknownNamesCountingAsUtf8) {
  const struct {
    const char* name;
    const char* resolved;
    bool is_utf8;
  } cases[] = {
      {"CP950", "CP950", false},
      {"BIG5", "BIG5", false},
      {"UTF-8", "UTF-8", true},
      {"utf8", "UTF-8", true},
      {"ANSI_X3.4-1968", "UTF-8", true},  // what the C locale reports
      {"", "UTF-8", true},
      {"NO-SUCH-CODESET", "UTF-8", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CodePage page = CodePageNamed(c.name);
    EXPECT_EQ(page.name, c.resolved);
    EXPECT_EQ(page.is_utf8, c.is_utf8);
  }
}

TEST(CodePage, ProcessCodePageComesFromTheVariableThenTheLocale) {
  {
    testing::ScopedEnv variable("KELVADROME_CODEPAGE", "CP950");
    ReloadProcessCodePage();
    EXPECT_EQ(ProcessCodePage().name, "CP950");
  }
  testing::ScopedEnv no_variable("KELVADROME_CODEPAGE", nullptr);
  testing::ScopedEnv c_locale("LC_ALL", "C");
  ReloadProcessCodePage();
  EXPECT_TRUE(ProcessCodePage().is_utf8) << "a plain ASCII locale counts as UTF-8";
  testing::ScopedEnv utf8_locale("LC_ALL", "C.UTF-8");
  ReloadProcessCodePage();
  EXPECT_TRUE(ProcessCodePage().is_utf8);
}

TEST(TextConversion, Big5RoundTripsAndMarksWhatItLacks) {
  const CodePage big5 = CodePageNamed("CP950");
  const struct {
    const char* name;
    std::u16string wide;
    std::string narrow;
  } cases[] = {
      {"ascii", u"abc 123", "abc 123"},
      {"chinese", u"憑證", "\xBE\xCC\xC3\xD2"},
      {"mixed", u"A憑B",
       "A\xBE\xCC"
       "B"},
      {"empty", u"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ConvertToNarrow(c.wide, big5), c.narrow);
    EXPECT_EQ(ConvertToWide(c.narrow, big5), c.wide);
  }
  // A character outside code page 950, a pair of surrogates, and a lone surrogate: one '?' each.
  EXPECT_EQ(ConvertToNarrow(u"a\u00E9b", big5), "a?b");
  EXPECT_EQ(ConvertToNarrow(u"a\U0001F600b", big5), "a?b");
  EXPECT_EQ(ConvertToNarrow(std::u16string{u'a', 0xD800, u'b'}, big5), "a?b");
  // A lead byte without its trail byte is not valid Big5.
  EXPECT_EQ(ConvertToWide("a\xBE", big5), std::u16string(u"a\uFFFD"));
}

// ASCII text skips conversion only where the code page keeps ASCII as it is. Shift_JIS reads 0x5C
// as the yen sign and 0x7E as an overline, so there ASCII bytes still convert.
TEST(TextConversion, AsciiIsLeftAsItIsOnlyWhereTheCodePageKeepsIt) {
  EXPECT_TRUE(CodePageNamed("CP950").ascii_transparent);
  EXPECT_TRUE(CodePageNamed("UTF-8").ascii_transparent);
  ASSERT_FALSE(CodePageNamed("SHIFT_JIS").ascii_transparent);
  testing::ScopedCodePage shift_jis("SHIFT_JIS");
  EXPECT_EQ(NarrowToUtf8("C:\\a~"), "C:\u00A5a\u203E");
}

TEST(TextConversion, Utf8HandlesEveryPlaneAndRejectsMalformedInput) {
  const CodePage utf8 = CodePageNamed("UTF-8");
  EXPECT_EQ(ConvertToNarrow(u"憑證\U0001F600", utf8), "憑證\U0001F600");
  EXPECT_EQ(ConvertToWide("憑證\U0001F600", utf8), u"憑證\U0001F600");
  EXPECT_EQ(ConvertToNarrow(std::u16string{0xDC00, u'x'}, utf8), "?x") << "lone low surrogate";
  const struct {
    const char* name;
    std::string bytes;
  } malformed[] = {
      {"stray continuation byte", "\x80"},      {"truncated three-byte sequence", "\xE6\x86"},
      {"overlong encoding of '/'", "\xC0\xAF"}, {"encoded surrogate", "\xED\xA0\x80"},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80"},
  };
  for (const auto& c : malformed) {
    SCOPED_TRACE(c.name);
    const std::u16string wide = ConvertToWide("<" + c.bytes + ">", utf8);
    EXPECT_EQ(wide.front(), u'<');
    EXPECT_EQ(wide.back(), u'>');
    EXPECT_NE(wide.find(u'\uFFFD'), std::u16string::npos);
  }
}

TEST(SystemPath, Big5PathsBecomeUtf8AndWhatCannotBeSaidNamesNothing) {
  testing::ScopedCodePage big5("CP950");
  const struct {
    const char* name;
    std::string narrow;
    std::optional<std::string> system;
  } cases[] = {
      {"ascii", "/tmp/a.pfx", "/tmp/a.pfx"},
      {"Big5 with a 0x5C second byte", "/tmp/\xB3\x5C/\xBE\xCC.pfx", "/tmp/許/憑.pfx"},
      {"a lost character", "/tmp/?.pfx", std::nullopt},
      {"a lead byte without its second byte", "/tmp/\xBE", std::nullopt},
      {"a byte Big5 does not define", "/tmp/\xFF", std::nullopt},
      {"an embedded NUL", std::string("/tmp/a\0b", 8), std::nullopt},
      {"empty", "", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SystemPath(c.narrow), c.system);
  }
  {
    // Under UTF-8 nothing is lost on the way in, so a file whose name holds '?' stays reachable.
    testing::ScopedCodePage utf8("UTF-8");
    EXPECT_EQ(SystemPath("/tmp/what?.pfx"), "/tmp/what?.pfx");
  }
  // From the system: what Big5 has comes back whole, a character it lacks as '?'.
  EXPECT_EQ(FromSystemPath("/home/許/한"), "/home/\xB3\x5C/?");
  // Backslash characters, not second bytes.
  EXPECT_EQ(FindLastCharacter("a\\\xB3\x5C", '\\'), 1u);
  EXPECT_EQ(FindLastCharacter("\xB3\x5C\xA5\x5C", '\\'), std::string_view::npos);
}

}  // namespace
}  // namespace kelvadrome
