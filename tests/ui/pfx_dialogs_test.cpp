#include "ui/pfx_dialogs.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>

#include <gtest/gtest.h>

#include "platform/error_codes.h"
#include "support/scoped_code_page.h"
#include "support/test_support.h"
#include "ui/none_host.h"
#include "ui/script_host.h"

namespace kelvadrome {
namespace {

namespace fs = std::filesystem;
using Driver = std::function<int32_t(DialogHost&, PfxPromptFields&)>;

class PfxDialogsTest : public ::testing::Test {
 protected:
  std::unique_ptr<ScriptHost> Host(const std::string& script) {
    fs::remove(LogPath());
    return std::make_unique<ScriptHost>(ParseDialogScript(script), DialogLog(LogPath()));
  }
  std::string LogPath() const { return (log_dir_.path() / "dialogs.log").string(); }
  std::string Log() const {
    std::ifstream in(LogPath());
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  bool Logged(const std::string& line) const {
    return Log().find(line + "\n") != std::string::npos;
  }
  std::string Dir() const { return dir_.path().string(); }

  testing::TempDir dir_;
  testing::TempDir log_dir_;
  testing::ScopedCodePage code_page_{"UTF-8"};
};

TEST(PfxPathRulesTest, JoinSplitAndRange) {
  EXPECT_EQ(JoinFolderAndName("/certs", "a.pfx"), "/certs/a.pfx");
  EXPECT_EQ(JoinFolderAndName("/", "a.pfx"), "/a.pfx");
  EXPECT_EQ(JoinFolderAndName("", "a.pfx"), "a.pfx");
  const struct {
    const char *path, *folder, *name;
  } splits[] = {
      {"/keys/a.pfx", "/keys", "a.pfx"}, {"/a.pfx", "/", "a.pfx"}, {"a.pfx", "", "a.pfx"}};
  for (const auto& c : splits) {
    SCOPED_TRACE(c.path);
    std::string folder = "old", name = "old";
    SplitFolderAndName(c.path, folder, name);
    EXPECT_EQ(folder + "|" + name, std::string(c.folder) + "|" + c.name);
  }
  const struct {
    int32_t min, max, want_min, want_max;
  } ranges[] = {{12, 6, 6, 12}, {-3, 8, 0, 8}, {4, 0, 0, 4}, {0, 0, 0, 16}, {-5, -1, 0, 16}};
  for (const auto& c : ranges) {
    SCOPED_TRACE(::testing::Message() << c.min << "," << c.max);
    int32_t min = c.min, max = c.max;
    NormalisePasswordLengthRange(min, max);
    EXPECT_EQ(std::make_pair(min, max), std::make_pair(c.want_min, c.want_max));
  }
}

template <class Dialog>
std::unique_ptr<DialogModel> Make(int32_t min_length, int32_t max_length) {
  auto dialog = std::make_unique<Dialog>();
  dialog->SetPasswordLengthRange(min_length, max_length);
  return dialog;
}

// OK follows the length range (in characters); the password edit stops at the maximum, except in
// the password dialog, which has no limit.
TEST_F(PfxDialogsTest, OkFollowsThePasswordLengthRange) {
  const struct {
    const char* name;
    std::unique_ptr<DialogModel> (*make)(int32_t, int32_t);
    int32_t min, max;
    const char *password, *confirmation, *kept;
    bool ok;
  } cases[] = {
      {"default range, empty password", Make<PfxFileDialog>, 0, 16, "", "", "", true},
      {"five of six", Make<PfxFileDialog>, 6, 12, "12345", "", "12345", false},
      {"no thirteenth", Make<PfxFileDialog>, 6, 12, "1234567890123", "", "123456789012", true},
      {"characters, not bytes", Make<MobileExportDialog>, 6, 12, "密碼密碼密碼", "", "密碼密碼密碼",
       true},
      {"export wants both", Make<PfxExportDialog>, 6, 12, "123456", "12345", "123456", false},
      {"no limit", Make<PasswordDialog>, 6, 12, "1234567890123456", "", "1234567890123456", true},
  };
  NoneHost host;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<DialogModel> dialog = c.make(c.min, c.max);
    dialog->Initialize(host);
    EXPECT_EQ(dialog->FindButton(kDialogIdOk)->enabled, c.min == 0);
    dialog->Type(pfx_control::kPassword, c.password);
    dialog->Type(pfx_control::kConfirmation, c.confirmation);
    EXPECT_EQ(dialog->FindButton(kDialogIdOk)->enabled, c.ok);
    EXPECT_EQ(dialog->EditText(pfx_control::kPassword), c.kept);
  }
}

// The file dialogs close only on an existing file; the file dialog splits the path it shows on
// OK, the mobile dialog splits what Browse chose at once. Cancel empties name and password.
TEST_F(PfxDialogsTest, FileDialogs) {
  const std::string chosen = dir_.WriteFile("a.pfx", "pfx").string();
  const std::string missing = Dir() + "/missing";
  const std::string not_found = "message 錯誤訊息 | 憑證檔(";
  const struct {
    const char* name;
    Driver driver;
    std::string folder, file_name, supplied, script;
    int32_t code;
    std::string want_folder, want_name, want_password, logged;
  } cases[] = {
      {"empty name shown as *.pfx, not found", PromptPfxFile, missing, "", "", "click 1\ncancel\n",
       Code(ErrorCode::kCancelled), missing, "", "",
       not_found + missing + "/*.pfx) : 錯誤或不存在"},
      {"no folder, no path", PromptMobileExport, "", "a.pfx", "", "click 1\ncancel\n",
       Code(ErrorCode::kCancelled), "", "", "", not_found + "未指定) : 錯誤或不存在"},
      {"a folder is not a file", PromptPfxFile, "", "", "", "set 302 " + Dir() + "\nclick 1\n",
       Code(ErrorCode::kCancelled), "", "", "", not_found + Dir() + ") : 錯誤或不存在"},
      // The supplied password stays; the file can still be chosen.
      {"supplied password is locked", PromptPfxFile, missing, "", "secret",
       "set 303 typed\nclick 301\nexpect open-file\nchoose " + chosen + "\nclick 1\n",
       Code(ErrorCode::kSuccess), Dir(), "a.pfx", "secret",
       "ignored line 1: set 303 (control disabled)"},
      {"typed path", PromptPfxFile, "", "", "", "set 302 " + chosen + "\nset 303 pw\nclick 1\n",
       Code(ErrorCode::kSuccess), Dir(), "a.pfx", "pw", "field 302 " + chosen},
      {"mobile never locks it", PromptMobileExport, missing, "x.pfx", "secret",
       "set 303 typed-over\nclick 301\nchoose " + chosen + "\nclick 1\n", Code(ErrorCode::kSuccess),
       Dir(), "a.pfx", "typed-over", "field 302 " + missing + "/x.pfx"},
      // The shown path is not split again: the given folder stays as it was written.
      {"mobile given path", PromptMobileExport, Dir() + "/", "a.pfx", "", "click 1\n",
       Code(ErrorCode::kSuccess), Dir() + "/", "a.pfx", "", "close 207 ok"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto host = Host(c.script);
    PfxPromptFields fields;
    fields.folder = c.folder;
    fields.file_name = c.file_name;
    fields.password = c.supplied;
    fields.min_length = c.supplied.empty() ? 0 : 6;
    EXPECT_EQ(c.driver(*host, fields), c.code) << Log();
    EXPECT_EQ(fields.folder, c.want_folder);
    EXPECT_EQ(fields.file_name, c.want_name);
    EXPECT_EQ(fields.password, c.want_password);
    EXPECT_TRUE(Logged(c.logged)) << Log();
  }
}

// The export dialog refuses a mismatch, a folder it cannot use and a path where no file can be
// created, each with its message; it makes one missing folder level and spares an existing file.
TEST_F(PfxDialogsTest, ExportChecksPasswordsFolderAndWrite) {
  dir_.WriteFile("keep.pfx", "old content");
  const std::string bad_folder = "message 錯誤訊息 | 憑證目錄 (";
  const struct {
    const char* name;
    std::string folder, file_name, script;
    int32_t code;
    std::string logged;
  } cases[] = {
      {"confirmation differs in case", Dir(), "out.pfx", "set 304 PW\nclick 1\ncancel\n",
       Code(ErrorCode::kCancelled), "message 錯誤訊息 | 密碼不一致"},
      {"no folder", "", "out.pfx", "set 304 pw\nclick 1\ncancel\n", Code(ErrorCode::kCancelled),
       bad_folder + "未指定) : 錯誤或沒有寫入權限"},
      {"two missing levels", Dir() + "/a/b", "out.pfx", "set 304 pw\nclick 1\ncancel\n",
       Code(ErrorCode::kCancelled), bad_folder + Dir() + "/a/b) : 錯誤或沒有寫入權限"},
      // "*.pfx" is the placeholder for a missing name, not a name.
      {"placeholder name", Dir(), "", "set 304 pw\nclick 1\ncancel\n", Code(ErrorCode::kCancelled),
       bad_folder + Dir() + ") : 錯誤或沒有寫入權限"},
      {"browse picks the folder", "", "out.pfx",
       "click 301\nexpect browse-folder\nchoose " + Dir() + "\nset 304 pw\nclick 1\n",
       Code(ErrorCode::kSuccess), "field 302 " + Dir() + "/out.pfx"},
      {"one level is made", Dir() + "/new", "out.pfx", "set 304 pw\nclick 1\n",
       Code(ErrorCode::kSuccess), "close 206 ok"},
      {"existing file", Dir(), "keep.pfx", "set 304 pw\nclick 1\n", Code(ErrorCode::kSuccess),
       "close 206 ok"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto host = Host("expect 206\nset 303 pw\n" + c.script);
    PfxPromptFields fields;
    fields.folder = c.folder;
    fields.file_name = c.file_name;
    EXPECT_EQ(PromptPfxExport(*host, fields), c.code) << Log();
    EXPECT_TRUE(Logged(c.logged)) << Log();
    EXPECT_EQ(fields.password, c.code == Code(ErrorCode::kSuccess) ? "pw" : "");
  }
  EXPECT_FALSE(fs::exists(dir_.path() / "a")) << "only one folder level is made";
  EXPECT_TRUE(fs::is_empty(dir_.path() / "new")) << "the test file is removed";
  size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir_.path())) ++entries;
  EXPECT_EQ(entries, 2u) << "keep.pfx and new/ only: no test or probe file is left";
  std::ifstream in(dir_.path() / "keep.pfx");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "old content");
}

// Cancel empties name and password and keeps the folder; a host that cannot show the dialog gives
// 5002 and changes only the placeholder name.
TEST_F(PfxDialogsTest, CancelAndUnavailable) {
  for (const auto& [dialog, driver] : {std::pair<std::string, Driver>{"202", PromptPfxFile},
                                       {"206", PromptPfxExport},
                                       {"207", PromptMobileExport}}) {
    SCOPED_TRACE(dialog);
    auto host = Host("expect " + dialog + "\nset 303 abc\nclick 2\n");
    PfxPromptFields fields;
    fields.folder = Dir();
    fields.file_name = "a.pfx";
    fields.password = "given";
    EXPECT_EQ(driver(*host, fields), Code(ErrorCode::kCancelled));
    EXPECT_TRUE(Logged("show " + dialog + " 輸入憑證檔案資訊")) << Log();
    EXPECT_EQ(fields.folder + "|" + fields.file_name, Dir() + "|");
    EXPECT_TRUE(fields.password.empty());

    NoneHost none;
    PfxPromptFields untouched;
    untouched.folder = "/f";
    untouched.password = "given";
    EXPECT_EQ(driver(none, untouched), Code(ErrorCode::kAllocationFailed));
    EXPECT_EQ(untouched.folder + "|" + untouched.file_name, "/f|*.pfx");
    EXPECT_EQ(untouched.password, "given");
  }
}

TEST_F(PfxDialogsTest, PasswordPrompt) {
  const struct {
    const char *script, *password;
    DialogOutcome outcome;
  } cases[] = {
      {"expect 205\nset 303 typed\nclick 1\n", "typed", DialogOutcome::kOk},
      {"expect 205\nset 303 typed\ncancel\n", "", DialogOutcome::kCancel},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    auto host = Host(c.script);
    SecretString password(std::string_view("before"));
    EXPECT_EQ(PromptPassword(*host, password), c.outcome);
    EXPECT_EQ(password, c.password);
    EXPECT_TRUE(Logged("show 205 執行憑證匯出")) << Log();
  }
  NoneHost none;
  SecretString password(std::string_view("before"));
  EXPECT_EQ(PromptPassword(none, password), DialogOutcome::kUnavailable);
  EXPECT_EQ(password, "before");
}

}  // namespace
}  // namespace kelvadrome
