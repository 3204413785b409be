#include "ops/hash.h"

#include <random>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "platform/text.h"
#include "support/scoped_code_page.h"
#include "support/test_support.h"
#include "ui/dialog_host.h"

namespace kelvadrome {
namespace {

class NoDialogs : public DialogHost {
 public:
  PickResult PickOpenFile(const OpenFileRequest&) override {
    return {DialogOutcome::kUnavailable, {}};
  }
  PickResult BrowseFolder(const std::string&) override { return {DialogOutcome::kUnavailable, {}}; }
  DialogOutcome ShowModal(DialogModel&) override { return DialogOutcome::kUnavailable; }
  void ShowMessage(const std::string&, const std::string&) override {}
  void ViewFile(const std::string&) override {}
};

std::string OpenSslHex(const EVP_MD* md, const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest, &length, md, nullptr);
  static const char* kDigits = "0123456789ABCDEF";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kDigits[digest[i] >> 4];
    hex += kDigits[digest[i] & 15];
  }
  return hex;
}

TEST(HashText, FlagsSelectTheAlgorithmAndTheTextForm) {
  const struct {
    std::u16string text;
    int32_t flags;
    const char* hex;
  } cases[] = {
      {u"abc", 0x11, "900150983CD24FB0D6963F7D28E17F72"},
      {u"abc", 0x10, "A9993E364706816ABA3E25717850C26C9CD0D89D"},
      {u"abc", 0x13, "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"},
      // Without 0x10 the digest covers the UTF-16LE units 61 00 62 00 63 00.
      {u"abc", 0x01, "CE1473CF80C6B3FDA8E3DFC006ADC315"},
      {u"abc", 0x00, "9F04F41A848514162050E3D68C1A7ABB441DC2B5"},
      // Bits outside the selector and 0x10 are ignored.
      {u"abc", 0x7FFFFF01 & ~0x10, "CE1473CF80C6B3FDA8E3DFC006ADC315"},
      // A NUL ends the code-page text but is part of the UTF-16 message.
      {std::u16string(u"a\0b", 3), 0x10, "86F7E437FAA5A7FCE15D1DDCB9EAEAEA377667B8"},
      {std::u16string(u"a\0b", 3), 0x00, "821C43F20A49BCBEEE1A335D77518E4BBBC2D0AC"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.flags);
    HashResult result = HashText(c.text, c.flags);
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(result.hex, c.hex);
  }
}

TEST(HashText, SelectorValuesGiveTheirDigestLengths) {
  const struct {
    int32_t selector;
    size_t hex_length;
  } cases[] = {{0, 40}, {1, 32}, {2, 40}, {3, 64}, {4, 128}, {5, 40}, {6, 40}, {7, 40}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.selector);
    HashResult result = HashText(u"x", c.selector);
    EXPECT_EQ(result.hex.size(), c.hex_length);
    EXPECT_EQ(result.hex.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  }
}

TEST(HashText, EmptyTextIsABadArgument) {
  HashResult result = HashText(u"", 0);
  EXPECT_EQ(result.code, 5005);
  EXPECT_EQ(result.hex, "");
}

TEST(HashText, CodePageBytesFollowTheProcessCodePage) {
  {
    testing::ScopedCodePage big5("CP950");
    // 憑證 in code page 950 is BE CC C3 D2.
    EXPECT_EQ(HashText(u"憑證", 0x11).hex, OpenSslHex(EVP_md5(), "\xBE\xCC\xC3\xD2"));
    // A character code page 950 lacks is hashed as '?'.
    EXPECT_EQ(HashText(u"\U0001F600", 0x11).hex, OpenSslHex(EVP_md5(), "?"));
  }
  testing::ScopedCodePage utf8("UTF-8");
  EXPECT_EQ(HashText(u"憑證", 0x11).hex, OpenSslHex(EVP_md5(), "憑證"));
}

TEST(HashText, CharactersBeyondTheBasicPlaneHashAsTheirUnitsOrTheirBytes) {
  testing::ScopedCodePage utf8("UTF-8");
  // U+1F600 is the surrogate pair D83D DE00, or F0 9F 98 80 in UTF-8.
  EXPECT_EQ(HashText(u"\U0001F600", 0x03).hex,
            OpenSslHex(EVP_sha256(), std::string("\x3D\xD8\x00\xDE", 4)));
  EXPECT_EQ(HashText(u"\U0001F600", 0x13).hex, OpenSslHex(EVP_sha256(), "\xF0\x9F\x98\x80"));
  // A lone surrogate is still hashed as its unit, and as '?' in the code page.
  EXPECT_EQ(HashText(std::u16string(1, char16_t{0xD800}), 0x03).hex,
            OpenSslHex(EVP_sha256(), std::string("\x00\xD8", 2)));
  EXPECT_EQ(HashText(std::u16string(1, char16_t{0xD800}), 0x13).hex, OpenSslHex(EVP_sha256(), "?"));
}

class HashFileTest : public ::testing::Test {
 protected:
  testing::TempDir dir_;
  NoDialogs no_dialogs_;
};

TEST_F(HashFileTest, DigestsTheFileBytesWhateverTheTextFlag) {
  const auto file = dir_.WriteFile("doc.bin", std::string("a\0b\r\n", 5));
  for (int32_t flags : {3, 3 | 0x10}) {
    HashResult result = HashFileAt(file.string(), flags, no_dialogs_);
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(result.hex, OpenSslHex(EVP_sha256(), std::string("a\0b\r\n", 5)));
  }
}

TEST_F(HashFileTest, LargeFileStreamsToTheSameDigestAsOpenSsl) {
  std::mt19937 random(7);
  std::string content(5 * 1024 * 1024 + 123, '\0');
  for (auto& c : content) c = static_cast<char>(random());
  const auto file = dir_.WriteFile("large.bin", content);
  const struct {
    int32_t flags;
    const EVP_MD* md;
  } cases[] = {{1, EVP_md5()}, {0, EVP_sha1()}, {3, EVP_sha256()}, {4, EVP_sha512()}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.flags);
    EXPECT_EQ(HashFileAt(file.string(), c.flags, no_dialogs_).hex, OpenSslHex(c.md, content));
  }
}

TEST_F(HashFileTest, FailuresGiveTheirCodesAndNoDigest) {
  const auto empty = dir_.WriteFile("empty", "");
  const auto fifo = dir_.path() / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const auto dangling = dir_.path() / "dangling";
  ASSERT_EQ(symlink("/nonexistent/target", dangling.c_str()), 0);
  const struct {
    const char* name;
    std::string path;
    int32_t code;
  } cases[] = {
      {"missing file", (dir_.path() / "missing").string(), 5902},
      {"missing folder", "/nonexistent/folder/file", 5902},
      {"link to nothing", dangling.string(), 5902},
      {"zero-length file", empty.string(), 1002},
      {"a folder", dir_.path().string(), 1002},
      {"a fifo (would block or never end)", fifo.string(), 1002},
      {"a character device", "/dev/zero", 1002},
      {"no path and no dialog possible", "", 5070},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HashResult result = HashFileAt(c.path, 0, no_dialogs_);
    EXPECT_EQ(result.code, c.code);
    EXPECT_EQ(result.hex, "");
  }
}

TEST_F(HashFileTest, UnreadableFileIsReportedAsUnreadable) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
  const auto file = dir_.WriteFile("secret", "abc");
  ASSERT_EQ(chmod(file.c_str(), 0), 0);
  EXPECT_EQ(HashFileAt(file.string(), 0, no_dialogs_).code, 1002);
}

}  // namespace
}  // namespace kelvadrome
