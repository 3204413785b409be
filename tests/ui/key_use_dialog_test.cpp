#include "ui/key_use_dialog.h"

#include <fstream>

#include <gtest/gtest.h>

#include "ops/key_use.h"
#include "platform/last_error.h"
#include "platform/providers.h"
#include "support/scoped_code_page.h"
#include "support/test_support.h"
#include "ui/none_host.h"
#include "ui/script_host.h"

namespace kelvadrome {
namespace {

const KeyUseRequest kRequest{"container-7", "Microsoft Enhanced Cryptographic Provider v1.0",
                             key_spec::kSignature, KeyUse::kSign};

class KeyUseDialogTest : public ::testing::Test {
 protected:
  std::unique_ptr<ScriptHost> Host(const std::string& script) {
    return std::make_unique<ScriptHost>(ParseDialogScript(script), DialogLog(LogPath()));
  }
  std::string LogPath() const { return (dir_.path() / "dialogs.log").string(); }
  std::string Log() const {
    std::ifstream in(LogPath());
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  testing::TempDir dir_;
  testing::ScopedCodePage code_page_{"UTF-8"};
};

TEST_F(KeyUseDialogTest, OkAllowsAndEverythingElseRefuses) {
  const struct {
    const char* name;
    const char* script;
    bool allowed;
  } cases[] = {
      {"the user allows", "expect key-use\nclick 1\n", true},
      {"the user refuses", "expect key-use\nclick 2\n", false},
      {"the user cancels", "expect key-use\ncancel\n", false},
      {"another dialog was expected", "expect 201\nclick 1\n", false},
      {"nobody answers", "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto host = Host(c.script);
    EXPECT_EQ(AskForKeyUse(*host, kRequest), c.allowed);
  }
  NoneHost none;
  EXPECT_FALSE(AskForKeyUse(none, kRequest)) << "a dialog that cannot be shown refuses";
}

TEST_F(KeyUseDialogTest, ShowsTheContainerProviderAndPurposeReadOnly) {
  auto host = Host("expect key-use\nset 1001 other\nclick 1\n");
  ASSERT_TRUE(AskForKeyUse(*host, kRequest));
  const std::string log = Log();
  EXPECT_NE(log.find("show key-use 私密金鑰使用確認\n"), std::string::npos) << log;
  EXPECT_NE(log.find("field 1001 container-7\n"), std::string::npos) << log;
  EXPECT_NE(log.find("field 1003 以私密金鑰簽章\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("field 1001 other"), std::string::npos) << "the fields cannot be edited";
}

// A user-protected key asks through the process's dialog host before it signs.
TEST_F(KeyUseDialogTest, UserProtectedKeysAskThroughTheDialogHost) {
  testing::ScopedEnv profile("KELVADROME_PROFILE", dir_.path().c_str());
  InstallKeyUsePrompt();
  auto store = KeyContainerStore::OpenUser();
  ASSERT_NE(store, nullptr);
  const char* provider = "Microsoft Enhanced Cryptographic Provider v1.0";
  auto container = store->Create("protected", provider, provider_type::kRsaFull);
  ASSERT_NE(container, nullptr);
  ASSERT_TRUE(container->GenerateKey(key_spec::kSignature, 1024, key_flag::kUserProtected));
  const std::vector<uint8_t> sha1(20, 0x5A);

  InstallDialogHost(Host("expect key-use\nclick 1\n"));
  EXPECT_TRUE(container->SignHash(key_spec::kSignature, key_algorithm::kSha1, sha1).has_value());
  InstallDialogHost(Host("expect key-use\nclick 2\n"));
  EXPECT_FALSE(container->SignHash(key_spec::kSignature, key_algorithm::kSha1, sha1).has_value());
  EXPECT_EQ(LastPlatformError(), 1223u);
  InstallDialogHost(nullptr);
}

}  // namespace
}  // namespace kelvadrome
