#include "ui/change_password_dialog.h"

#include <filesystem>
#include <fstream>
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

namespace control = change_password_control;

class ChangePasswordDialogTest : public ::testing::Test {
 protected:
  std::unique_ptr<ScriptHost> Host(const std::string& script) {
    std::filesystem::remove(LogPath());
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

TEST_F(ChangePasswordDialogTest, ControlsAndTheLengthRange) {
  ChangePasswordDialog dialog;
  EXPECT_EQ(dialog.name() + "|" + dialog.caption(), "203|變更憑證檔案密碼");
  EXPECT_EQ(dialog.statics(), (std::vector<std::string>{"憑證檔案儲存路徑 :", "輸入原憑證密碼 :",
                                                        "輸入新憑證密碼 :", "確認新憑證密碼 :"}));
  EXPECT_FALSE(dialog.FindButton(kDialogIdOk)->enabled) << "OK starts disabled";
  EXPECT_TRUE(dialog.FindEdit(control::kPath)->read_only);
  dialog.SetPasswordLengthRange(12, 4);  // swapped into 4..12
  NoneHost host;
  dialog.Initialize(host);
  // OK waits for four characters in each of the three edits; typing stops at twelve.
  const struct {
    int id;
    const char *typed, *kept;
    bool ok;
  } steps[] = {
      {control::kOldPassword, "old1", "old1", false},
      {control::kNewPassword, "new1", "new1", false},
      {control::kConfirmation, "new1", "new1", true},
      {control::kNewPassword, "abc", "abc", false},
      {control::kNewPassword, "1234567890123", "123456789012", true},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.typed);
    EXPECT_TRUE(dialog.FindEdit(step.id)->password) << "typed characters are masked";
    EXPECT_EQ(dialog.Type(step.id, step.typed), DialogInput::kApplied);
    EXPECT_EQ(dialog.EditText(step.id), step.kept);
    EXPECT_EQ(dialog.FindButton(kDialogIdOk)->enabled, step.ok);
  }
}

// What initialisation locks: Browse when the given file exists, each password the caller supplied
// with at least the minimum length. OK follows all three edits, counted in characters.
TEST_F(ChangePasswordDialogTest, InitialisationLocksSuppliedValues) {
  const std::string existing = dir_.WriteFile("a.pfx", "pfx").string();
  const struct {
    const char* name;
    std::string folder, file_name, old_password, new_password, confirmation;
    int32_t min_length;
    std::string path;
    bool browse, old_enabled, new_enabled, confirmation_enabled, ok;
  } cases[] = {
      {"existing file, old password given", Dir(), "a.pfx", "secret", "", "", 4, existing, false,
       false, true, true, false},
      {"no folder: nothing shown", "", "a.pfx", "", "", "", 0, "", true, true, true, true, true},
      {"confirmation too short", Dir(), "b.pfx", "oldpass", "newpass", "new", 4, Dir() + "/b.pfx",
       true, false, false, true, false},
      // Shorter than the minimum: the user must be able to correct it.
      {"short old password stays editable", Dir(), "a.pfx", "abc", "", "", 4, existing, false, true,
       true, true, false},
      {"characters, not bytes", Dir(), "a.pfx", "密碼密碼", "新密碼四", "新密碼四", 4, existing,
       false, false, false, false, true},
  };
  NoneHost host;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ChangePasswordDialog dialog;
    dialog.set_folder(c.folder);
    dialog.set_file_name(c.file_name);
    dialog.set_old_password(c.old_password);
    dialog.set_new_password(c.new_password);
    dialog.set_confirmation(c.confirmation);
    dialog.SetPasswordLengthRange(c.min_length, 16);
    dialog.Initialize(host);
    EXPECT_EQ(dialog.EditText(control::kPath), c.path);
    EXPECT_EQ(dialog.FindButton(control::kBrowse)->enabled, c.browse);
    EXPECT_EQ(dialog.FindEdit(control::kOldPassword)->enabled, c.old_enabled);
    EXPECT_EQ(dialog.FindEdit(control::kNewPassword)->enabled, c.new_enabled);
    EXPECT_EQ(dialog.FindEdit(control::kConfirmation)->enabled, c.confirmation_enabled);
    EXPECT_EQ(dialog.EditText(control::kOldPassword), c.old_password);
    EXPECT_EQ(dialog.FindButton(kDialogIdOk)->enabled, c.ok);
  }
}

// The driver: the new password fills both edits; OK needs an existing file; the confirmation is
// compared only after the dialog closed; Cancel empties everything; no host gives 5002.
TEST_F(ChangePasswordDialogTest, DriverOutcomes) {
  const std::string chosen = dir_.WriteFile("chosen.p12", "pfx").string();
  dir_.WriteFile("given.pfx", "pfx");
  const std::string not_found = "message 錯誤訊息 | 憑證檔(";
  const struct {
    const char* name;
    std::string folder, file_name, old_password, new_password, script;
    int32_t code;
    std::string want_folder, want_name, want_old, want_new, logged;
  } cases[] = {
      {"typed twice", Dir(), "given.pfx", "old", "",
       "expect 203\nset 304 fresh\nset 305 fresh\nclick 1\n", Code(ErrorCode::kSuccess), Dir(),
       "given.pfx", "old", "fresh", "enabled 301 0"},
      // Differ in one character: the dialog closes normally and the driver reports it.
      {"confirmation differs", Dir(), "given.pfx", "old", "",
       "expect 203\nset 304 fresh\nset 305 fresH\nclick 1\n", Code(ErrorCode::kPasswordMismatch),
       Dir(), "given.pfx", "old", "", "close 203 ok"},
      {"new password given fills both edits", Dir(), "", "", "newpw",
       "expect 203\nset 303 typed-old\nclick 301\nexpect open-file\nchoose " + chosen +
           "\nclick 1\n",
       Code(ErrorCode::kSuccess), Dir(), "chosen.p12", "typed-old", "newpw", "field 305 *****"},
      {"placeholder name is not a file", Dir(), "", "old", "new", "click 1\ncancel\n",
       Code(ErrorCode::kCancelled), Dir(), "*.pfx", "old", "new",
       not_found + Dir() + "/*.pfx) : 錯誤或不存在"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto host = Host(c.script);
    ChangePasswordFields fields;
    fields.folder = c.folder;
    fields.file_name = c.file_name;
    fields.old_password = c.old_password;
    fields.new_password = c.new_password;
    EXPECT_EQ(PromptChangePassword(*host, fields), c.code) << Log();
    EXPECT_EQ(fields.folder, c.want_folder);
    EXPECT_EQ(fields.file_name, c.want_name);
    EXPECT_EQ(fields.old_password, c.want_old);
    EXPECT_EQ(fields.new_password, c.want_new);
    EXPECT_TRUE(Logged(c.logged)) << Log();
    EXPECT_EQ(host->remaining_actions(), 0u) << Log();
  }

  // Cancel empties all five texts of the dialog itself.
  NoneHost none;
  ChangePasswordDialog dialog;
  dialog.set_folder(Dir());
  dialog.set_file_name("given.pfx");
  dialog.set_old_password("old");
  dialog.set_new_password("new");
  dialog.set_confirmation("new");
  dialog.Initialize(none);
  EXPECT_EQ(dialog.Click(kDialogIdCancel, none).close, DialogClose::kCancel);
  EXPECT_EQ(dialog.folder() + dialog.file_name(), "");
  EXPECT_TRUE(dialog.old_password().empty() && dialog.new_password().empty() &&
              dialog.confirmation().empty());

  ChangePasswordFields untouched;
  untouched.folder = "/f";
  untouched.old_password = "old";
  EXPECT_EQ(PromptChangePassword(none, untouched), Code(ErrorCode::kAllocationFailed));
  EXPECT_EQ(untouched.folder + "|" + untouched.file_name, "/f|*.pfx");
  EXPECT_EQ(untouched.old_password, "old");
}

}  // namespace
}  // namespace kelvadrome
