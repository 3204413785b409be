#include "ui/dialog_model.h"

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/text.h"
#include "support/scoped_code_page.h"
#include "support/test_support.h"
#include "ui/dialog_host.h"

namespace kelvadrome {
namespace {

// A host that records what a model asks of it and answers pickers with a fixed result.
class RecordingHost : public DialogHost {
 public:
  PickResult PickOpenFile(const OpenFileRequest& request) override {
    calls.push_back("open-file " + request.title);
    return pick;
  }
  PickResult BrowseFolder(const std::string& title) override {
    calls.push_back("browse-folder " + title);
    return pick;
  }
  DialogOutcome ShowModal(DialogModel&) override { return DialogOutcome::kUnavailable; }
  void ShowMessage(const std::string& caption, const std::string& text) override {
    calls.push_back("message " + caption + " | " + text);
  }
  void ViewFile(const std::string& path) override { calls.push_back("view " + path); }

  PickResult pick{DialogOutcome::kCancel, {}};
  std::vector<std::string> calls;
};

// A small login-style dialog: a path edit, a password edit limited to 8 characters, OK enabled only
// with at least 3 password characters, a Browse button and a list of accounts.
class LoginModel : public DialogModel {
 public:
  LoginModel() : DialogModel("login", "Log in") {
    AddEdit({.id = 302, .text = "", .limit = 0});
    AddEdit({.id = 303, .text = "", .limit = 8, .password = true});
    AddEdit({.id = 304, .text = "fixed", .read_only = true});
    AddButton({.id = 301, .label = "Browse"});
    AddButton({.id = kDialogIdOk, .label = "OK"});
    AddButton({.id = kDialogIdCancel, .label = "Cancel"});
    SetList(310, {"name", "serial"});
    AddRow({"alice", "01"});
    AddRow({"bob"});                   // missing column: padded
    AddRow({"carol", "03", "extra"});  // extra column: dropped
  }

  using DialogModel::EnableControl;

  int inits = 0;
  int cancels = 0;
  std::vector<int> changed;
  std::vector<int> selected;

 protected:
  void OnInit(DialogHost&) override {
    ++inits;
    SetEditText(302, "/tmp/start.pfx");
    SetEditText(303, "");
  }
  void OnTextChanged(int id) override {
    changed.push_back(id);
    if (id == 303) EnableControl(kDialogIdOk, CountCharacters(EditText(303)) >= 3);
  }
  void OnRowSelected(int row) override { selected.push_back(row); }
  DialogClose OnClick(int id, DialogHost& host) override {
    if (id == 301) {
      const PickResult pick = host.PickOpenFile({.title = "Choose"});
      if (pick.outcome == DialogOutcome::kOk) SetEditText(302, pick.path);
      return DialogClose::kStay;
    }
    if (id == kDialogIdOk && EditText(302).empty()) {
      host.ShowMessage("Error", "no file");
      return DialogClose::kStay;
    }
    return DialogModel::OnClick(id, host);
  }
  void OnCancel() override {
    ++cancels;
    SetEditText(303, "");
  }
};

// Character counting follows the process code page; these cases pin UTF-8.
class DialogModelTest : public ::testing::Test {
 protected:
  testing::ScopedCodePage code_page_{"UTF-8"};
};

TEST_F(DialogModelTest, CutsUtf8AtCharacterBoundaries) {
  const struct {
    const char* name;
    std::string text;
    size_t limit;
    std::string cut;
    size_t count;
  } cases[] = {
      {"ascii longer than limit", "abcdef", 3, "abc", 6},
      {"ascii shorter than limit", "ab", 5, "ab", 2},
      {"limit zero", "ab", 0, "", 2},
      {"three-byte characters", "\xE4\xB8\xAD\xE6\x96\x87\xE5\xAD\x97", 2,
       "\xE4\xB8\xAD\xE6\x96\x87", 3},
      {"mixed widths",
       "a\xC3\xA9"
       "b",
       2, "a\xC3\xA9", 3},
      {"four-byte character", "\xF0\x9F\x94\x91x", 1, "\xF0\x9F\x94\x91", 2},
      // Two stray continuation bytes: each is a character of its own.
      {"stray continuation bytes",
       "\x80\x80"
       "a",
       2, "\x80\x80", 3},
      // A lead byte whose continuation is missing at the end of the text.
      {"truncated character", "a\xE4\xB8", 1, "a", 2},
      // A lead byte followed by more continuation bytes than it announces.
      {"too many continuations", "\xC3\xA9\xA9", 1, "\xC3\xA9", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CutToCharacters(c.text, c.limit), c.cut);
    EXPECT_EQ(CountCharacters(c.text), c.count);
  }
}

TEST_F(DialogModelTest, CountsDoubleByteCodePageCharacters) {
  testing::ScopedCodePage big5("CP950");
  if (ProcessCodePage().is_utf8) GTEST_SKIP() << "iconv lacks CP950";
  const std::string text =
      "\xA4\xA4\xA4\xE5\xA6\x72"
      "a";  // three characters and a letter in CP950
  EXPECT_EQ(CountCharacters(text), 4u);
  EXPECT_EQ(CutToCharacters(text, 2), "\xA4\xA4\xA4\xE5");
  EXPECT_EQ(CutToCharacters(text, 9), text);
}

TEST_F(DialogModelTest, TypingFollowsLimitsAndEnableStates) {
  LoginModel model;
  RecordingHost host;
  model.Initialize(host);
  EXPECT_EQ(model.inits, 1);
  EXPECT_EQ(model.EditText(302), "/tmp/start.pfx");
  EXPECT_FALSE(model.FindButton(kDialogIdOk)->enabled);  // the enable rule ran during init

  // The limit cuts typed text; the change hook sees it and enables OK.
  model.changed.clear();
  EXPECT_EQ(model.Type(303, "secret-password"), DialogInput::kApplied);
  EXPECT_EQ(model.EditText(303), "secret-p");
  EXPECT_EQ(model.changed, std::vector<int>{303});
  EXPECT_TRUE(model.FindButton(kDialogIdOk)->enabled);
  EXPECT_EQ(model.Type(303, "ab"), DialogInput::kApplied);
  EXPECT_FALSE(model.FindButton(kDialogIdOk)->enabled);

  // Unlimited edits take everything; an empty text is a text too.
  const std::string long_path(5000, 'p');
  EXPECT_EQ(model.Type(302, long_path), DialogInput::kApplied);
  EXPECT_EQ(model.EditText(302), long_path);
  EXPECT_EQ(model.Type(302, ""), DialogInput::kApplied);
  EXPECT_EQ(model.EditText(302), "");

  // Read-only and disabled edits ignore typing and run no hook.
  model.changed.clear();
  EXPECT_EQ(model.Type(304, "changed"), DialogInput::kDisabled);
  EXPECT_EQ(model.EditText(304), "fixed");
  model.Type(303, "abc");
  model.changed.clear();
  ASSERT_TRUE(model.EnableControl(303, false));
  EXPECT_EQ(model.Type(303, "zzz"), DialogInput::kDisabled);
  EXPECT_EQ(model.EditText(303), "abc");
  EXPECT_TRUE(model.changed.empty());

  // Buttons and unknown ids are not edits.
  EXPECT_EQ(model.Type(301, "x"), DialogInput::kNoSuchControl);
  EXPECT_EQ(model.Type(999, "x"), DialogInput::kNoSuchControl);
}

TEST_F(DialogModelTest, ButtonsCloseStayOrDoNothing) {
  LoginModel model;
  RecordingHost host;
  model.Initialize(host);

  // A disabled button does nothing: no hook, no host call.
  EXPECT_EQ(model.Click(kDialogIdOk, host).input, DialogInput::kDisabled);
  EXPECT_EQ(model.Click(kDialogIdOk, host).close, DialogClose::kStay);
  EXPECT_EQ(model.Click(404, host).input, DialogInput::kNoSuchControl);
  EXPECT_TRUE(host.calls.empty());

  // Browse reaches the host's picker; a cancelled pick leaves the path, a chosen one replaces it.
  EXPECT_EQ(model.Click(301, host).close, DialogClose::kStay);
  EXPECT_EQ(model.EditText(302), "/tmp/start.pfx");
  host.pick = {DialogOutcome::kOk, "/tmp/other.pfx"};
  EXPECT_EQ(model.Click(301, host).close, DialogClose::kStay);
  EXPECT_EQ(model.EditText(302), "/tmp/other.pfx");
  EXPECT_EQ(host.calls, (std::vector<std::string>{"open-file Choose", "open-file Choose"}));

  // OK with an empty path shows a message through the host and stays open.
  model.Type(303, "abcd");
  model.Type(302, "");
  host.calls.clear();
  EXPECT_EQ(model.Click(kDialogIdOk, host).close, DialogClose::kStay);
  EXPECT_EQ(host.calls, std::vector<std::string>{"message Error | no file"});
  model.Type(302, "/tmp/a.pfx");
  const DialogModel::ClickResult ok = model.Click(kDialogIdOk, host);
  EXPECT_EQ(ok.input, DialogInput::kApplied);
  EXPECT_EQ(ok.close, DialogClose::kOk);
  EXPECT_EQ(model.cancels, 0);
  EXPECT_EQ(model.EditText(303), "abcd");
}

TEST_F(DialogModelTest, EveryCancelRunsTheCancelHook) {
  LoginModel model;
  RecordingHost host;
  model.Initialize(host);
  model.Type(303, "abcd");
  EXPECT_EQ(model.Click(kDialogIdCancel, host).close, DialogClose::kCancel);
  EXPECT_EQ(model.cancels, 1);
  EXPECT_EQ(model.EditText(303), "");

  model.Type(303, "abcd");
  model.Cancel();
  EXPECT_EQ(model.cancels, 2);
  EXPECT_EQ(model.EditText(303), "");
}

TEST_F(DialogModelTest, ListRowsAndSelection) {
  LoginModel model;
  const DialogList* list = model.list();
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->id, 310);
  ASSERT_EQ(list->rows.size(), 3u);
  EXPECT_EQ(list->rows[1], (std::vector<std::string>{"bob", ""}));
  EXPECT_EQ(list->rows[2], (std::vector<std::string>{"carol", "03"}));
  EXPECT_EQ(model.SelectedRow(), -1);

  EXPECT_EQ(model.Select(2), DialogInput::kApplied);
  EXPECT_EQ(model.SelectedRow(), 2);
  EXPECT_EQ(model.selected, std::vector<int>{2});
  for (int row : {-1, 3, 1 << 30}) {
    SCOPED_TRACE("row " + std::to_string(row));
    EXPECT_EQ(model.Select(row), DialogInput::kOutOfRange);
    EXPECT_EQ(model.SelectedRow(), 2);
  }
  EXPECT_EQ(model.selected.size(), 1u);

  DialogModel plain("plain", "No list");
  EXPECT_EQ(plain.list(), nullptr);
  EXPECT_EQ(plain.Select(0), DialogInput::kNoSuchControl);
  EXPECT_EQ(plain.SelectedRow(), -1);
}

}  // namespace
}  // namespace kelvadrome
