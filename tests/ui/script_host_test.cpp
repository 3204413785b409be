#include "ui/script_host.h"

#include <atomic>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/text.h"
#include "support/scoped_code_page.h"
#include "support/test_support.h"
#include "ui/dialog_host.h"
#include "ui/gui_host.h"
#include "ui/none_host.h"
#include "ui/tty_host.h"

namespace kelvadrome {
namespace {

using Lines = std::vector<std::string>;

// A login-style dialog: path edit 302, password edit 303 (at most 8 characters), Browse 301, OK
// enabled from 3 password characters, OK with an empty path shows a message and stays open,
// Cancel empties the password.
class LoginModel : public DialogModel {
 public:
  explicit LoginModel(std::string name = "login") : DialogModel(std::move(name), "Log in") {
    AddEdit({.id = 302, .text = ""});
    AddEdit({.id = 303, .text = "", .limit = 8, .password = true});
    AddButton({.id = 301, .label = "Browse"});
    AddButton({.id = kDialogIdOk, .label = "OK"});
    AddButton({.id = kDialogIdCancel, .label = "Cancel"});
  }
  using DialogModel::SetEditText;
  int inits = 0;

 protected:
  void OnInit(DialogHost&) override {
    ++inits;
    OnTextChanged(303);
  }
  void OnTextChanged(int id) override {
    if (id == 303) EnableControl(kDialogIdOk, CountCharacters(EditText(303)) >= 3);
  }
  DialogClose OnClick(int id, DialogHost& host) override {
    if (id == 301) {
      const PickResult pick = host.PickOpenFile({.title = "Choose a file"});
      if (pick.outcome == DialogOutcome::kOk) SetEditText(302, pick.path);
      return DialogClose::kStay;
    }
    if (id == kDialogIdOk && EditText(302).empty()) {
      host.ShowMessage("Error", "no file chosen");
      return DialogClose::kStay;
    }
    return DialogModel::OnClick(id, host);
  }
  void OnCancel() override { SetEditText(303, ""); }
};

// A certificate-list-style dialog: a list of three rows, View 302 hands a file to the viewer.
class ListModel : public DialogModel {
 public:
  ListModel() : DialogModel("204", "Choose a certificate") {
    SetList(301, {"holder", "serial"});
    AddRow({"alice", "01"});
    AddRow({"bob", "02"});
    AddRow({"carol", "03"});
    SetSelectedRow(0);
    AddButton({.id = 302, .label = "View"});
    AddButton({.id = kDialogIdOk, .label = "OK"});
    AddButton({.id = kDialogIdCancel, .label = "Cancel"});
  }

 protected:
  DialogClose OnClick(int id, DialogHost& host) override {
    if (id == 302) {
      host.ViewFile("/tmp/temp.cer");
      return DialogClose::kStay;
    }
    return DialogModel::OnClick(id, host);
  }
};

class ScriptHostTest : public ::testing::Test {
 protected:
  std::string LogPath() const { return (dir_.path() / "dialogs.log").string(); }

  std::unique_ptr<ScriptHost> Host(const std::string& script) const {
    return std::make_unique<ScriptHost>(ParseDialogScript(script), DialogLog(LogPath()));
  }

  Lines LogLines() const {
    Lines lines;
    std::ifstream in(LogPath());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  testing::TempDir dir_;
  testing::ScopedCodePage code_page_{"UTF-8"};
};

TEST_F(ScriptHostTest, PlaysADialogWithNestedPickerAndMessage) {
  auto host = Host(
      "expect login\n"
      "click 1\n"  // OK is still disabled: ignored
      "set 303 secret-password\n"
      "click 1\n"  // no file yet: message, stays open
      "click 301\r\n"
      "expect open-file\n"
      "choose /tmp/x.pfx\n"
      "click 1\n");
  LoginModel model;
  EXPECT_EQ(host->ShowModal(model), DialogOutcome::kOk);
  EXPECT_EQ(model.EditText(302), "/tmp/x.pfx");
  EXPECT_EQ(model.EditText(303), "secret-p");  // cut to the limit of 8
  EXPECT_EQ(host->remaining_actions(), 0u);
  EXPECT_EQ(LogLines(), (Lines{
                            "show login Log in",
                            "field 302 ",
                            "enabled 302 1",
                            "field 303 ",
                            "enabled 303 1",
                            "enabled 301 1",
                            "enabled 1 0",
                            "enabled 2 1",
                            "ignored line 2: click 1 (control disabled)",
                            "message Error | no file chosen",
                            "show open-file Choose a file",
                            "close open-file ok",
                            "close login ok",
                            "field 302 /tmp/x.pfx",
                            "field 303 ********",
                        }));
}

TEST_F(ScriptHostTest, MismatchCancelsAndLeavesTheExpectForTheNextDialog) {
  auto host = Host("expect 205\nset 303 abc\nclick 1\n");
  LoginModel wrong;
  EXPECT_EQ(host->ShowModal(wrong), DialogOutcome::kCancel);
  EXPECT_EQ(host->remaining_actions(), 3u);
  Lines log = LogLines();
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(log[log.size() - 4], "mismatch expected 205 got login");
  EXPECT_EQ(log[log.size() - 3], "close login cancel");

  LoginModel right("205");
  right.SetEditText(302, "/tmp/y.pfx");
  EXPECT_EQ(host->ShowModal(right), DialogOutcome::kOk);
  EXPECT_EQ(right.EditText(303), "abc");
  EXPECT_EQ(host->remaining_actions(), 0u);
}

TEST_F(ScriptHostTest, DialogEndsWhenTheScriptMovesOnOrRunsOut) {
  auto host = Host(
      "expect login\n"
      "set 303 abc\n"
      "expect 204\n"  // login is still open: it is cancelled here
      "select 2\n"
      "select 9\n"  // no such row: ignored
      "click 302\n"
      "click 1\n"
      "set 303 xyz\n");  // then the script runs out with the second login open
  LoginModel login;
  EXPECT_EQ(host->ShowModal(login), DialogOutcome::kCancel);
  EXPECT_EQ(login.EditText(303), "");  // the cancel hook ran
  ListModel list;
  EXPECT_EQ(host->ShowModal(list), DialogOutcome::kOk);
  EXPECT_EQ(list.SelectedRow(), 2);
  LoginModel again;
  EXPECT_EQ(host->ShowModal(again), DialogOutcome::kCancel);
  EXPECT_EQ(again.EditText(303), "");

  const Lines log = LogLines();
  ASSERT_GE(log.size(), 21u);
  const Lines list_part(log.begin() + 11, log.begin() + 21);
  EXPECT_EQ(list_part, (Lines{
                           "show 204 Choose a certificate",
                           "enabled 302 1",
                           "enabled 1 1",
                           "enabled 2 1",
                           "row 0 alice | 01",
                           "row 1 bob | 02",
                           "row 2 carol | 03",
                           "ignored line 5: select 9 (no such row)",
                           "view /tmp/temp.cer",
                           "close 204 ok",
                       }));
  EXPECT_EQ(log[log.size() - 4], "script ended");
  EXPECT_EQ(log[log.size() - 3], "close login cancel");
  EXPECT_EQ(log.back(), "field 303 ");
}

TEST_F(ScriptHostTest, PickersTakeChooseOrCancel) {
  const struct {
    const char* name;
    const char* script;
    bool folder;
    DialogOutcome outcome;
    const char* path;
    size_t left;  // actions not consumed
  } cases[] = {
      {"choose after expect", "expect open-file\nchoose /a b\n", false, DialogOutcome::kOk, "/a b",
       0},
      {"choose without expect", "choose /a\n", false, DialogOutcome::kOk, "/a", 0},
      {"folder chosen", "expect browse-folder\nchoose /tmp\n", true, DialogOutcome::kOk, "/tmp", 0},
      {"cancel", "cancel\nchoose /a\n", false, DialogOutcome::kCancel, "", 1},
      {"inputs for dialogs are skipped", "set 1 x\nclick 1\nchoose /b\n", false, DialogOutcome::kOk,
       "/b", 0},
      {"empty script", "", true, DialogOutcome::kCancel, "", 0},
      // The script waits for the folder picker; the file picker is cancelled.
      {"expect of the other picker", "expect browse-folder\nchoose /a\n", false,
       DialogOutcome::kCancel, "", 2},
      // The next expect belongs to a later dialog.
      {"expect after matching expect", "expect open-file\nexpect 202\n", false,
       DialogOutcome::kCancel, "", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto host = Host(c.script);
    const PickResult result =
        c.folder ? host->BrowseFolder("Where") : host->PickOpenFile({.title = "Which"});
    EXPECT_EQ(result.outcome, c.outcome);
    EXPECT_EQ(result.path, c.path);
    EXPECT_EQ(host->remaining_actions(), c.left);
  }
}

TEST_F(ScriptHostTest, BadLinesAndUnreadableScriptsAreLoggedNotFatal) {
  const auto script = dir_.WriteFile("script.txt",
                                     "bogus\n"
                                     "expect login\n"
                                     "click 1 2\n"
                                     "cancel\n");
  auto host = ScriptHost::FromFile(script.string(), DialogLog(LogPath()));
  LoginModel model;
  EXPECT_EQ(host->ShowModal(model), DialogOutcome::kCancel);
  Lines log = LogLines();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[0], "script line 1: unknown action \"bogus\"");
  EXPECT_EQ(log[1].rfind("script line 3: ", 0), 0u) << log[1];
  EXPECT_EQ(log[2], "show login Log in");

  std::filesystem::remove(LogPath());
  const std::string missing = (dir_.path() / "no-such-script").string();
  auto cancelling = ScriptHost::FromFile(missing, DialogLog(LogPath()));
  LoginModel other;
  EXPECT_EQ(cancelling->ShowModal(other), DialogOutcome::kCancel);
  EXPECT_EQ(cancelling->PickOpenFile({}).outcome, DialogOutcome::kCancel);
  log = LogLines();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log[0].rfind("script unreadable " + missing + ": cannot open", 0), 0u) << log[0];
}

TEST_F(ScriptHostTest, LogKeepsSecretsOutAndEventsOnOneLine) {
  class Multi : public DialogModel {
   public:
    Multi() : DialogModel("201", "Sign\nthis") {
      AddEdit({.id = 301, .text = "line one\nline two", .read_only = true});
      AddEdit({.id = 303, .text = "\xE5\xAF\x86\xE7\xA2\xBC", .password = true});  // 2 characters
      AddButton({.id = kDialogIdOk, .label = "OK"});
    }
  } model;
  auto host = Host("set 301 changed\nset 303 x\xC3\xA9y\nclick 1\n");
  EXPECT_EQ(host->ShowModal(model), DialogOutcome::kOk);
  EXPECT_EQ(model.EditText(301), "line one\nline two");
  EXPECT_EQ(LogLines(), (Lines{
                            "show 201 Sign\\nthis",
                            "field 301 line one\\nline two",
                            "enabled 301 1",
                            "field 303 **",
                            "enabled 303 1",
                            "enabled 1 1",
                            "ignored line 1: set 301 (control disabled)",
                            "close 201 ok",
                            "field 301 line one\\nline two",
                            "field 303 ***",
                        }));
}

TEST(NoneHostTest, EverythingIsUnavailableAndNothingIsInitialised) {
  NoneHost host;
  LoginModel model;
  EXPECT_EQ(host.ShowModal(model), DialogOutcome::kUnavailable);
  EXPECT_EQ(model.inits, 0);
  EXPECT_EQ(host.PickOpenFile({}).outcome, DialogOutcome::kUnavailable);
  EXPECT_EQ(host.BrowseFolder("x").outcome, DialogOutcome::kUnavailable);
}

// Restores the process's host choice after each test of the registry.
class DialogHostRegistryTest : public ::testing::Test {
 protected:
  void TearDown() override { InstallDialogHost(nullptr); }
  testing::TempDir dir_;
};

TEST_F(DialogHostRegistryTest, NamesMakeTheirHosts) {
  const auto script = dir_.WriteFile("s.txt", "cancel\n");
  EXPECT_NE(dynamic_cast<NoneHost*>(MakeDialogHost("none").get()), nullptr);
  EXPECT_NE(dynamic_cast<ScriptHost*>(MakeDialogHost("script:" + script.string()).get()), nullptr);
  // The script host exists even when its file does not; it then cancels everything.
  EXPECT_NE(dynamic_cast<ScriptHost*>(MakeDialogHost("script:").get()), nullptr);
  const auto tty = MakeDialogHost("tty");
  ASSERT_NE(tty, nullptr);
  EXPECT_TRUE(dynamic_cast<TtyHost*>(tty.get()) != nullptr ||
              dynamic_cast<NoneHost*>(tty.get()) != nullptr);
  // "gui" names the helper's host, found or not (without a helper its dialogs are unavailable).
  EXPECT_NE(dynamic_cast<GuiHost*>(MakeDialogHost("gui").get()), nullptr);
  for (const char* unknown : {"", "NONE", "script", "tty ", "GUI", " none"}) {
    SCOPED_TRACE(std::string("name \"") + unknown + "\"");
    EXPECT_EQ(MakeDialogHost(unknown), nullptr);
  }
}

TEST_F(DialogHostRegistryTest, EnvironmentChoiceAndInstalledHosts) {
  const auto script = dir_.WriteFile("s.txt", "choose /from/env\n");
  {
    testing::ScopedEnv dialogs("KELVADROME_DIALOGS", ("script:" + script.string()).c_str());
    InstallDialogHost(nullptr);  // forget any host made from an earlier environment
    DialogHost& from_env = CurrentDialogHost();
    EXPECT_EQ(&CurrentDialogHost(), &from_env);  // made once, then kept
    EXPECT_EQ(from_env.PickOpenFile({}).path, "/from/env");

    auto installed = std::make_unique<NoneHost>();
    DialogHost* installed_address = installed.get();
    InstallDialogHost(std::move(installed));
    EXPECT_EQ(&CurrentDialogHost(), installed_address);
    // The reference handed out before stays usable (the host was kept, not destroyed).
    EXPECT_EQ(from_env.PickOpenFile({}).outcome, DialogOutcome::kCancel);

    InstallDialogHost(std::make_unique<NoneHost>());
    EXPECT_NE(&CurrentDialogHost(), installed_address);
    EXPECT_EQ(CurrentDialogHost().ShowModal(*std::make_unique<LoginModel>()),
              DialogOutcome::kUnavailable);
  }
  {
    testing::ScopedEnv dialogs("KELVADROME_DIALOGS", "bogus");
    InstallDialogHost(nullptr);  // the environment is read again
    EXPECT_NE(dynamic_cast<NoneHost*>(&CurrentDialogHost()), nullptr);
  }
  {
    testing::ScopedEnv dialogs("KELVADROME_DIALOGS", "none");
    InstallDialogHost(nullptr);
    EXPECT_NE(dynamic_cast<NoneHost*>(&CurrentDialogHost()), nullptr);
  }
}

TEST_F(DialogHostRegistryTest, ConcurrentUseAndInstallation) {
  testing::ScopedEnv dialogs("KELVADROME_DIALOGS", "none");
  InstallDialogHost(nullptr);
  std::atomic<int> unavailable{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &unavailable] {
      for (int i = 0; i < 200; ++i) {
        if (t == 0 && i % 10 == 0) {
          InstallDialogHost(i % 20 == 0 ? std::make_unique<NoneHost>() : nullptr);
        }
        // Every host in play is a none host, so every pick is unavailable.
        if (CurrentDialogHost().BrowseFolder("x").outcome == DialogOutcome::kUnavailable) {
          ++unavailable;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(unavailable.load(), 800);
}

}  // namespace
}  // namespace kelvadrome
