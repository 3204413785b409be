#include "ui/tty_host.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/handles.h"
#include "platform/text.h"
#include "support/scoped_code_page.h"
#include "support/test_support.h"
#include "ui/pfx_dialogs.h"
#include "ui/pin_dialog.h"
#include "ui/sign_confirm_dialog.h"

namespace kelvadrome {
namespace {

// A dialog without a layout of its own: a text, a path edit 302 with a value, a password edit 303
// of at most 6 characters, a disabled edit 304, an empty edit 307, a list whose View button 306
// hands a file to the viewer, OK and Cancel; Cancel empties the password.
class AccountModel : public DialogModel {
 public:
  explicit AccountModel(std::string caption = "Account", std::string label = "Your account:")
      : DialogModel("account", std::move(caption)) {
    AddStatic(std::move(label));
    AddEdit({.id = 302, .text = "/tmp/start"});
    AddEdit({.id = 303, .text = "", .limit = 6, .password = true});
    AddEdit({.id = 304, .text = "locked", .enabled = false});
    AddEdit({.id = 307, .text = ""});
    AddButton({.id = 306, .label = "View"});
    AddButton({.id = kDialogIdOk, .label = "OK"});
    AddButton({.id = kDialogIdCancel, .label = "Cancel"});
    SetList(310, {"holder", "serial"});
    AddRow({"alice", "01"});
    AddRow({"bob", "02"});
  }
  int cancels = 0;

 protected:
  DialogClose OnClick(int id, DialogHost& host) override {
    if (id == 306) {
      host.ViewFile("/tmp/temp.cer");
      return DialogClose::kStay;
    }
    return DialogModel::OnClick(id, host);
  }
  void OnCancel() override {
    ++cancels;
    SetEditText(303, "");
  }
};

// A host fed through two pipes: the test writes all input up front (then end of input) and reads
// what the host printed afterwards.
class PipeTerminal {
 public:
  explicit PipeTerminal(const std::string& input, std::string log_path = {}) {
    int in[2];
    int out[2];
    EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    host_read_ = UniqueFd(in[0]);
    UniqueFd feed(in[1]);
    host_write_ = UniqueFd(out[1]);
    output_ = UniqueFd(out[0]);
    EXPECT_EQ(write(feed.get(), input.data(), input.size()), static_cast<ssize_t>(input.size()));
    host_.emplace(host_read_.get(), host_write_.get(), DialogLog(std::move(log_path)));
    host_->set_viewer([this](const std::string& path) { viewed.push_back(path); });
  }

  TtyHost& host() { return *host_; }

  // Everything the host printed so far (the host must be done writing).
  std::string Output() {
    host_write_.Close();
    std::string text;
    char buffer[4096];
    ssize_t got;
    while ((got = read(output_.get(), buffer, sizeof(buffer))) > 0) text.append(buffer, got);
    return text;
  }

  std::vector<std::string> viewed;

 private:
  UniqueFd host_read_;
  UniqueFd host_write_;
  UniqueFd output_;
  std::optional<TtyHost> host_;
};

class TtyHostTest : public ::testing::Test {
 protected:
  testing::ScopedCodePage code_page_{"UTF-8"};
  // The host's own texts in English, the dialogs' texts translated to English.
  testing::ScopedEnv locale_{"LC_ALL", "C"};
};

TEST_F(TtyHostTest, PickersReadOneLine) {
  const struct {
    const char* name;
    std::string input;
    bool folder;
    DialogOutcome outcome;
    std::string path;
  } cases[] = {
      {"a path", "/tmp/a b.pfx\nrest\n", false, DialogOutcome::kOk, "/tmp/a b.pfx"},
      {"CRLF line end", "/tmp/a\r\n", false, DialogOutcome::kOk, "/tmp/a"},
      {"last line without LF", "/tmp/a", true, DialogOutcome::kOk, "/tmp/a"},
      {"empty line cancels", "\n/tmp/a\n", false, DialogOutcome::kCancel, ""},
      {"end of input cancels", "", true, DialogOutcome::kCancel, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PipeTerminal terminal(c.input);
    const PickResult result =
        c.folder
            ? terminal.host().BrowseFolder("Folder?")
            : terminal.host().PickOpenFile({.title = "File?",
                                            .filter = "PFX (*.pfx)|*.pfx|All Files (*.*)|*.*||",
                                            .initial_name = "a.pfx"});
    EXPECT_EQ(result.outcome, c.outcome);
    EXPECT_EQ(result.path, c.path);
    const std::string output = terminal.Output();
    if (c.folder) {
      EXPECT_NE(output.find("\nFolder?\nFolder (an empty line cancels): "), std::string::npos)
          << output;
    } else {
      EXPECT_NE(output.find("File types: PFX (*.pfx); All Files (*.*)"), std::string::npos)
          << output;
      EXPECT_NE(output.find("Suggested name: a.pfx"), std::string::npos) << output;
    }
  }
}

TEST_F(TtyHostTest, AsksOneQuestionPerFieldThenTheList) {
  testing::TempDir dir;
  const std::string log = (dir.path() / "log").string();
  PipeTerminal terminal(
      "\n"          // keeps /tmp/start
      "hunter22\n"  // the password, cut to 6 characters
      "alice\n"     // the empty edit
      "v 2\n"       // views the second entry
      "9\n"         // no such entry
      "2\n",
      log);
  AccountModel model;
  EXPECT_EQ(terminal.host().ShowModal(model), DialogOutcome::kOk);
  EXPECT_EQ(model.EditText(302), "/tmp/start");
  EXPECT_EQ(model.EditText(303), "hunter");
  EXPECT_EQ(model.EditText(304), "locked");
  EXPECT_EQ(model.EditText(307), "alice");
  EXPECT_EQ(model.SelectedRow(), 1);
  EXPECT_EQ(terminal.viewed, std::vector<std::string>{"/tmp/temp.cer"});

  const std::string output = terminal.Output();
  EXPECT_EQ(output.find("hunter"), std::string::npos) << "password shown: " << output;
  // In order: caption, text, the questions with the current value in brackets, the disabled
  // field shown, the numbered list.
  size_t at = 0;
  for (const char* expected :
       {"\nAccount\n-------\n", "Your account:\n", "Value [/tmp/start] ", "Value ", "locked\n",
        "Value ", "     holder | serial\n  1) alice | 01\n  2) bob | 02\n",
        "Choose 1-2 (v N views it): ", "Opening /tmp/temp.cer in the desktop's viewer.\n",
        "Answer a number from 1 to 2.\n"}) {
    const size_t found = output.find(expected, at);
    EXPECT_NE(found, std::string::npos) << expected << "\n" << output;
    if (found != std::string::npos) at = found + std::strlen(expected);
  }

  // The event log matches the script host's format.
  std::ifstream in(log);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "show account Account");
  EXPECT_NE(std::find(lines.begin(), lines.end(), "view /tmp/temp.cer"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "close account ok"), lines.end());
}

TEST_F(TtyHostTest, EndOfInputOrAnEmptyRequiredAnswerCancels) {
  const struct {
    const char* name;
    std::string input;
  } cases[] = {
      {"no input at all", ""},
      {"after the first answer", "/x\n"},
      {"while the password is asked for", "\n"},
      {"an empty answer to a field without a value", "\nsecret\n\n"},
      {"an empty answer to the list", "\nsecret\nx\n\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PipeTerminal terminal(c.input);
    AccountModel model;
    EXPECT_EQ(terminal.host().ShowModal(model), DialogOutcome::kCancel);
    EXPECT_EQ(model.cancels, 1);
    EXPECT_EQ(model.EditText(303), "");
    EXPECT_NE(terminal.Output().find("Cancelled.\n"), std::string::npos);
  }
}

// A dialog with nothing to type asks yes or no, by the label of its OK button in the user's
// language.
TEST_F(TtyHostTest, AConfirmationIsAYesNoQuestion) {
  const struct {
    std::string input;
    DialogOutcome outcome;
    bool asked_again;
  } cases[] = {
      {"y\n", DialogOutcome::kOk, false},     {"yes\n", DialogOutcome::kOk, false},
      {"n\n", DialogOutcome::kCancel, false}, {"\n", DialogOutcome::kCancel, false},
      {"", DialogOutcome::kCancel, false},    {"maybe\ny\n", DialogOutcome::kOk, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    PipeTerminal terminal(c.input);
    SignConfirmDialog dialog;
    dialog.set_content("pay 100");
    EXPECT_EQ(terminal.host().ShowModal(dialog), c.outcome);
    const std::string output = terminal.Output();
    EXPECT_NE(output.find("Text to be signed\npay 100\n"), std::string::npos) << output;
    EXPECT_NE(output.find("\nSign [y/n]: "), std::string::npos) << output;
    EXPECT_EQ(output.find("Answer y or n.") != std::string::npos, c.asked_again);
  }
}

// A field the person cannot type in but can browse for: "b" runs its Browse button, whose picker
// asks for the path; then the questions come again with the new value.
TEST_F(TtyHostTest, BrowseAnswersAFieldThatCannotBeTyped) {
  testing::TempDir dir;
  PipeTerminal terminal("b\n" + dir.path().string() + "\n\npw\npw\n");
  PfxExportDialog dialog;
  dialog.set_folder_mode(true);
  dialog.set_write_test(true);
  dialog.set_file_name("out.pfx");
  EXPECT_EQ(terminal.host().ShowModal(dialog), DialogOutcome::kOk);
  EXPECT_EQ(dialog.folder(), dir.path().string());
  EXPECT_EQ(dialog.password(), "pw");
  const std::string output = terminal.Output();
  EXPECT_NE(output.find("(Enter keeps it, b browses)"), std::string::npos) << output;
  EXPECT_NE(output.find("Folder (an empty line cancels): "), std::string::npos) << output;
  EXPECT_NE(output.find("Confirm the password\n"), std::string::npos) << output;
}

TEST_F(TtyHostTest, ControlCharactersInTextsAreNotSentToTheTerminal) {
  PipeTerminal terminal("");
  // The caption and a static text try to clear the screen.
  AccountModel model("Bad\x1b[2J\rcaption", "Label\x1b[2J\nsecond line");
  terminal.host().ShowModal(model);
  const std::string output = terminal.Output();
  EXPECT_EQ(output.find('\x1b'), std::string::npos);
  EXPECT_EQ(output.find('\r'), std::string::npos);
  EXPECT_NE(output.find("Bad\\x1B[2J\\rcaption"), std::string::npos) << output;
  EXPECT_NE(output.find("Label\\x1B[2J\n  second line\n"), std::string::npos) << output;
}

// Reads from a pseudo-terminal's master side until |wanted| has appeared at or after |from|; gives
// up after a few seconds so that a broken host cannot hang the test.
bool ReadUntil(int master, const std::string& wanted, std::string* seen, size_t from = 0) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (seen->find(wanted, from) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd ready{master, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[1024];
    const ssize_t got = read(master, buffer, sizeof(buffer));
    if (got <= 0) return false;
    seen->append(buffer, got);
  }
  return true;
}

TEST_F(TtyHostTest, PasswordsAreReadWithoutEchoOnATerminal) {
  UniqueFd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master.valid() || grantpt(master.get()) != 0 || unlockpt(master.get()) != 0) {
    GTEST_SKIP() << "no pseudo-terminals here";
  }
  UniqueFd slave(open(ptsname(master.get()), O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_TRUE(slave.valid());

  TtyHost host(slave.get(), slave.get(), DialogLog());
  AccountModel model;
  DialogOutcome outcome = DialogOutcome::kUnavailable;
  std::thread dialog([&] { outcome = host.ShowModal(model); });

  std::string seen;
  auto type = [&](const std::string& text) {
    EXPECT_EQ(write(master.get(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
  };
  EXPECT_TRUE(ReadUntil(master.get(), "[/tmp/start] ", &seen)) << seen;
  type("/tmp/typed\n");
  const size_t path_answered = seen.size();
  EXPECT_TRUE(ReadUntil(master.get(), "Value ", &seen, path_answered)) << seen;
  const size_t password_asked = seen.size();
  type("s3cret\n");
  EXPECT_TRUE(ReadUntil(master.get(), "Value ", &seen, password_asked)) << seen;
  type("x\n");
  EXPECT_TRUE(ReadUntil(master.get(), "Choose 1-2", &seen)) << seen;
  type("1\n");
  // After a failure the host may still wait for input: hanging up ends its dialog.
  if (HasFailure()) master.Close();
  dialog.join();

  EXPECT_EQ(outcome, DialogOutcome::kOk);
  EXPECT_EQ(model.EditText(303), "s3cret");
  // The path was echoed by the terminal; the password was not.
  EXPECT_NE(seen.find("/tmp/typed"), std::string::npos);
  EXPECT_EQ(seen.find("s3cret"), std::string::npos) << seen;
  termios after{};
  ASSERT_EQ(tcgetattr(slave.get(), &after), 0);
  EXPECT_NE(after.c_lflag & ECHO, 0u) << "echo not restored";
}

// The PIN dialog on a terminal: the token and the warning shown, the PIN read without being shown,
// the keep box asked as y/n whose empty answer keeps it cleared; an empty PIN is not accepted.
TEST_F(TtyHostTest, PinDialogAsksThePinThenTheBox) {
  const struct {
    const char* name;
    std::string input;
    bool answered;
    bool keep;
    const char* said;  // printed somewhere after the PIN question
  } cases[] = {
      {"kept", "4711\ny\n", true, true, "Keep the PIN for this session [y/N]: "},
      {"not kept by default", "4711\n\n", true, false, "Keep the PIN for this session [y/N]: "},
      {"a wrong answer is asked again", "4711\nmaybe\nY\n", true, true, "Answer y or n."},
      {"an empty PIN is not accepted", "\n\n4711\nn\n", true, false,
       "Not accepted: check the answers."},
      {"end of input at the box cancels", "4711\n", false, false, "Cancelled."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PipeTerminal terminal(c.input);
    const std::optional<PinAnswer> answer =
        AskTokenPin(terminal.host(), {{"m", "0123456789AB", "Card of Wang"}, true, false, false});
    ASSERT_EQ(answer.has_value(), c.answered);
    if (answer) {
      EXPECT_EQ(answer->pin, std::string_view("4711"));
      EXPECT_EQ(answer->remember, c.keep);
    }
    const std::string output = terminal.Output();
    EXPECT_EQ(output.find("4711"), std::string::npos) << "PIN shown: " << output;
    const size_t token = output.find("Token: Card of Wang (0123456789AB)\n");
    const size_t warning = output.find("The PIN was wrong; enter it again.\n");
    const size_t pin = output.find("PIN: ");
    EXPECT_LT(token, warning) << output;
    EXPECT_LT(warning, pin) << output;
    EXPECT_NE(output.find(c.said, pin), std::string::npos) << output;
  }
}

TEST_F(TtyHostTest, DesktopViewerGetsThePathAsOneArgument) {
  // A stand-in xdg-open found first on PATH records the argument it was given. The file name holds
  // a blank, quotes and a command substitution, none of which may reach a shell as code.
  testing::TempDir dir;
  const std::string recorded = (dir.path() / "opened").string();
  const auto fake =
      dir.WriteFile("xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > \"" + recorded +
                                    ".tmp\" && mv \"" + recorded + ".tmp\" \"" + recorded + "\"\n");
  ASSERT_EQ(chmod(fake.c_str(), 0700), 0);
  const char* old_path = getenv("PATH");
  testing::ScopedEnv path(
      "PATH", (dir.path().string() + ":" + (old_path ? old_path : "/usr/bin:/bin")).c_str());
  const std::string target = (dir.path() / "a b'c\"$(touch x).cer").string();

  LaunchDesktopViewer(target);
  std::string opened;
  for (int waited = 0; waited < 500 && opened.empty(); ++waited) {
    std::ifstream in(recorded);
    if (in) opened.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (opened.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(opened, target);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "x"));
}

}  // namespace
}  // namespace kelvadrome
