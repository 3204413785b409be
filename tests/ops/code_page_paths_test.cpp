// Paths under a double-byte process code page: the component keeps them in code page 950, the
// file system names files in UTF-8, and every file worker reaches the file the caller's characters
// name, or none at all.
#include <filesystem>
#include <functional>
#include <memory>

#include <gtest/gtest.h>

#include "codec/byte_buffer.h"
#include "codec/digest.h"
#include "frame/cert_component.h"
#include "platform/cert_store.h"
#include "platform/text.h"
#include "support/openssl_ca.h"
#include "support/scoped_code_page.h"
#include "support/test_support.h"
#include "ui/dialog_host.h"

namespace kelvadrome {
namespace {

namespace fs = std::filesystem;
using testing::RunCommand;
using testing::ShellQuote;

std::u16string Wide(const fs::path& path) {
  return Utf8ToUtf16(path.string());
}

std::string Sha1HexOf(const fs::path& file) {
  const std::vector<unsigned char> bytes = testing::ReadWholeFile(file);
  Sha1Digest digest;
  digest.Compute(bytes.data(), static_cast<int32_t>(bytes.size()));
  ByteBuffer hex;
  EXPECT_TRUE(hex.HexEncode(digest.data(), digest.length()));
  return hex.ToString();
}

class CodePagePathsTest : public ::testing::Test {
 protected:
  CodePagePathsTest()
      : profile_("KELVADROME_PROFILE", (dir_.path() / "profile").c_str()),
        dialogs_("KELVADROME_DIALOGS", "none") {
    fs::create_directories(dir_.path() / "ca");
    ca_ = std::make_unique<testing::OpensslCa>(dir_.path() / "ca");
    issued_ = ca_->IssueWithNewKey("holder", "/CN=Holder/O=Interop");
  }

  // A PFX file of the issued key and certificate under |password|, written by openssl at |file|
  // (a UTF-8 path, as every file name on the system).
  void ExportPfx(const fs::path& file, const std::string& password) {
    fs::create_directories(file.parent_path());
    ASSERT_EQ(RunCommand("openssl pkcs12 -export -inkey " + ShellQuote(issued_.key.string()) +
                         " -in " + ShellQuote(issued_.certificate.string()) + " -passout " +
                         ShellQuote("pass:" + password) + " -out " + ShellQuote(file.string())),
              0);
  }

  // A component whose user follows |script|, or has no dialogs.
  CertComponent& Component(const std::string& script = {}) {
    ComponentEnvironment environment;
    if (!script.empty()) {
      hosts_.push_back(MakeDialogHost("script:" + dir_.WriteFile("user.script", script).string()));
      environment.dialog_host = hosts_.back().get();
    }
    components_.push_back(std::make_unique<CertComponent>(std::move(environment)));
    return *components_.back();
  }

  testing::TempDir dir_;
  testing::ScopedEnv profile_;
  testing::ScopedEnv dialogs_;
  std::unique_ptr<testing::OpensslCa> ca_;
  testing::OpensslCa::IssuedKey issued_;
  std::vector<std::unique_ptr<DialogHost>> hosts_;
  std::vector<std::unique_ptr<CertComponent>> components_;
};

TEST_F(CodePagePathsTest, Big5PathsReachTheUtf8FilesTheyNameAndLostCharactersReachNone) {
  const fs::path folder = dir_.path() / "測試資料夾";
  const fs::path pfx = folder / "憑證.pfx";
  ExportPfx(pfx, "pw");
  const std::u16string wide_folder = Wide(folder);
  const std::u16string name = u"憑證.pfx";
  const std::string sha1 = Sha1HexOf(pfx);
  const fs::path home = dir_.path() / "使用者";
  testing::ScopedEnv home_variable("HOME", home.c_str());
  testing::ScopedCodePage big5("CP950");

  // Each worker on the file, in an order that leaves the file and "MY" as the next one needs.
  const struct {
    const char* label;
    std::function<int32_t(CertComponent&)> call;
    std::function<void(CertComponent&)> check;
  } steps[] = {
      // While "MY" is empty the signer can only come from the file.
      {"signer from the file without a dialog",
       [&](CertComponent& c) { return c.SelectSignerEx(u"", wide_folder, name, u"pw", u"", 0, 0); },
       [&](CertComponent& c) { EXPECT_EQ(c.GetSignerPfxFileName(), name); }},
      {"import", [&](CertComponent& c) { return c.ImportPfxToIE(wide_folder, name, u"pw", 1, 0); },
       [&](CertComponent& c) {
         EXPECT_EQ(c.GetImportedPfxFilePath(), wide_folder);
         EXPECT_EQ(c.GetImportedPfxFileName(), name);
       }},
      {"query", [&](CertComponent& c) { return c.QueryPfxInfo(wide_folder, name, u"pw", 0, 0); },
       [&](CertComponent& c) { EXPECT_EQ(c.GetSignerPfxFilePath(), wide_folder); }},
      {"hash",
       [&](CertComponent& c) {
         EXPECT_EQ(c.HashFile(wide_folder + u"/" + name, 0), Utf8ToUtf16(sha1));
         return c.GetErrorCode();
       },
       {}},
      {"mobile export",
       [&](CertComponent& c) {
         EXPECT_NE(c.ExportMobileFromPfx(wide_folder, name, u"pw", 0, 0), u"");
         return c.GetErrorCode();
       },
       {}},
      {"password change",
       [&](CertComponent& c) { return c.ChangePfxPasswd(wide_folder, name, u"pw", u"new", 0); },
       [&](CertComponent& c) { EXPECT_EQ(c.QueryPfxInfo(wide_folder, name, u"new", 0, 0), 0); }},
      {"home folder",
       [&](CertComponent& c) {
         EXPECT_EQ(c.GetUserHomePath(), Wide(home));
         return c.GetErrorCode();
       },
       {}},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.label);
    CertComponent& component = Component();
    EXPECT_EQ(step.call(component), 0);
    if (step.check) step.check(component);
  }

  // The export makes its folder under the UTF-8 name.
  const fs::path exported = dir_.path() / "匯出資料夾";
  CertComponent& exporter = Component("expect 206\nset 303 out\nset 304 out\nclick 1\n");
  EXPECT_EQ(exporter.ExportPfxFromIE(u"", Wide(exported), u"", 0, 0), 0);
  EXPECT_EQ(exporter.GetExportedPfxFilePath(), Wide(exported));
  EXPECT_TRUE(fs::is_regular_file(exported / "Holder.pfx"));

  // A character code page 950 lacks (Hangul) cannot be said in the code page: the path names no
  // file, not even the one the lost character's '?' would name.
  const fs::path plain = dir_.path() / "plain";
  ExportPfx(plain / "한.pfx", "pw");
  ExportPfx(plain / "?.pfx", "pw");
  const std::u16string wide_plain = Wide(plain);
  const struct {
    const char* label;
    std::function<int32_t(CertComponent&)> call;
  } refusals[] = {
      {"import",
       [&](CertComponent& c) { return c.ImportPfxToIE(wide_plain, u"한.pfx", u"pw", 1, 0); }},
      {"query",
       [&](CertComponent& c) { return c.QueryPfxInfo(wide_plain, u"한.pfx", u"pw", 0, 0); }},
      {"password change",
       [&](CertComponent& c) { return c.ChangePfxPasswd(wide_plain, u"한.pfx", u"pw", u"x", 0); }},
      {"hash",
       [&](CertComponent& c) {
         EXPECT_EQ(c.HashFile(wide_plain + u"/한.pfx", 0), u"");
         return c.GetErrorCode();
       }},
  };
  const std::string untouched = Sha1HexOf(plain / "?.pfx");
  for (const auto& refusal : refusals) {
    SCOPED_TRACE(refusal.label);
    EXPECT_EQ(refusal.call(Component()), 5902);
  }
  EXPECT_EQ(Sha1HexOf(plain / "?.pfx"), untouched);
  CertComponent& lost_folder = Component("expect 206\nset 303 out\nset 304 out\nclick 1\n");
  EXPECT_NE(lost_folder.ExportPfxFromIE(u"", wide_plain + u"/한", u"", 0, 0), 0);
  EXPECT_FALSE(fs::exists(plain / "?"));
}

}  // namespace
}  // namespace kelvadrome
