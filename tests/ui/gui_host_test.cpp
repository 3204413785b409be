// The gui host without a display: a fake helper (a shell script speaking the protocol) plays a
// person at a real PFX dialog; the transcript of what the host sent is checked afterwards.
#include "ui/gui_host.h"

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/scoped_code_page.h"
#include "support/test_support.h"
#include "ui/dialog_host.h"
#include "ui/none_host.h"
#include "ui/pfx_dialogs.h"
#include "ui/pin_dialog.h"
#include "ui/tty_host.h"

namespace kelvadrome {
namespace {

namespace fs = std::filesystem;

std::string ReadText(const fs::path& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Writes an executable script that greets the host with |greeting|, then for each step writes the
// step's line (or, for "die" and "close", kills itself or closes its socket and lingers; for
// "then-close <line>", writes the line and closes its socket at once) and
// records the host's next line; at the end it records everything the host still sends. Every line
// the host sends lands in |transcript|. A line the host owes and does not send within 5 s ends the
// script, so a host that fails to answer fails the case instead of hanging it.
fs::path WriteFakeHelper(const testing::TempDir& dir, const std::vector<std::string>& steps,
                         const std::string& greeting = R"({"type":"ready","version":1})") {
  const std::string transcript = (dir.path() / "transcript").string();
  std::string script = "#!/bin/bash\nt='" + transcript + "'\n";
  script += "record() { IFS= read -r -t 5 l || exit 0; printf '%s\\n' \"$l\" >> \"$t\"; }\n";
  script += "record\nprintf '%s\\n' '" + greeting + "'\nrecord\n";
  for (const std::string& step : steps) {
    if (step == "die") {
      script += "kill -KILL $$\n";
    } else if (step == "close") {
      script += "exec 0<&- 1>&- 2>&-\nsleep 30\n";
    } else if (step.rfind("then-close ", 0) == 0) {
      // The line, then the socket closed at once: the host's answer meets a closed socket.
      script += "printf '%s\\n' '" + step.substr(11) + "'\nexec 0<&- 1>&- 2>&-\nsleep 30\n";
    } else {
      script += "printf '%s\\n' '" + step + "'\nrecord\n";
    }
  }
  script += "while true; do record; done\n";
  const fs::path path = dir.WriteFile("fake-helper", script);
  ::chmod(path.c_str(), 0700);
  return path;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

TEST(GuiHostTest, FakeHelperDrivesThePfxDialog) {
  testing::ScopedCodePage code_page("UTF-8");
  // The model's own texts, as a Chinese locale shows them.
  testing::ScopedEnv locale("LC_ALL", "zh_TW.UTF-8");
  testing::TempDir pfx_dir;
  const std::string existing = pfx_dir.WriteFile("a.pfx", "x").string();
  struct Case {
    const char* name;
    std::vector<std::string> steps;
    DialogOutcome outcome;
    std::string password;   // the dialog's password field afterwards
    std::string file_name;  // the dialog's file name afterwards
    // Lines the transcript must hold (substrings), in order, and must not hold.
    std::vector<std::string> sent;
    std::vector<std::string> not_sent;
  };
  const std::string path_event = R"({"type":"text","id":302,"text":")" + existing + R"(","seq":1})";
  const Case cases[] = {
      {"typed fields, password cut to the limit, OK",
       {path_event, R"({"type":"text","id":303,"text":"p\u00e4sswordTooLong","seq":2})",
        R"({"type":"click","id":1,"seq":3})"},
       DialogOutcome::kOk,
       "pässwor",
       "a.pfx",
       {R"("type":"hello","version":1,"program":"demo-app","origin":"https://page.test")",
        R"("ack":1,)", R"("ack":2,)", R"("id":303,"text":"pässwor","limit":7)"},
       {"sswordTooLong"}},
      {"a disabled OK is ignored; cancel by the window",
       {path_event, R"({"type":"text","id":303,"text":"ab","seq":2})",
        R"({"type":"click","id":1,"seq":3})", R"({"type":"cancel","seq":4})"},
       DialogOutcome::kCancel,
       "",
       "",
       {R"({"id":1,"label":"確定","enabled":false)", R"("ack":3,)"},
       {}},
      {"Browse asks the helper's file picker over the dialog",
       {R"({"type":"click","id":301,"seq":1})",
        R"({"type":"picked","ok":true,"path":")" + existing + R"("})",
        R"({"type":"text","id":303,"text":"secret","seq":2})",
        R"({"type":"click","id":1,"seq":3})"},
       DialogOutcome::kOk,
       "secret",
       "a.pfx",
       {R"({"type":"open-file","title":)", R"("id":302,"text":")" + existing + "\""},
       {}},
      {"a picker cancelled leaves the path; an unknown control is ignored",
       {R"({"type":"click","id":301,"seq":1})", R"({"type":"picked","ok":false})",
        R"({"type":"click","id":999,"seq":2})", R"({"type":"text","id":999,"text":"x","seq":3})",
        R"({"type":"select","row":0,"seq":4})", R"({"type":"cancel","seq":5})"},
       DialogOutcome::kCancel,
       "",
       "",
       {R"("ack":4,)"},
       {}},
      {"the helper dies mid-dialog",
       {path_event, "die"},
       DialogOutcome::kUnavailable,
       "",
       "",
       {},
       {}},
      {"the helper closes its socket but lives on",
       {path_event, "close"},
       DialogOutcome::kUnavailable,
       "",
       "",
       {},
       {}},
      {"the helper writes an event and closes its socket at once",
       {path_event, R"(then-close {"type":"text","id":303,"text":"abc","seq":2})"},
       DialogOutcome::kUnavailable,
       "",
       "",
       {},
       {}},
      {"the helper writes a broken line",
       {path_event, R"({"type":"text","id":303,)"},
       DialogOutcome::kUnavailable,
       "",
       "",
       {},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    const fs::path helper = WriteFakeHelper(dir, c.steps);
    std::unique_ptr<GuiHost> host = GuiHost::ForHelper(helper.string(), DialogLog());
    host->set_program("demo-app");
    host->set_origin("https://page.test");
    PfxFileDialog dialog;
    dialog.SetPasswordLengthRange(3, 7);
    dialog.set_file_name("old.pfx");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(host->ShowModal(dialog), c.outcome);
    // A lost helper is noticed at once; the lingering one is killed a second after its socket
    // closed. Far below the 30 s the lingering fake would otherwise keep the host waiting.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(dialog.password(), c.password);
    if (c.outcome != DialogOutcome::kUnavailable) {
      EXPECT_EQ(dialog.file_name(), c.file_name);
    }
    const std::string transcript = ReadText(dir.path() / "transcript");
    size_t at = 0;
    for (const std::string& sent : c.sent) {
      const size_t found = transcript.find(sent, at);
      EXPECT_NE(found, std::string::npos) << "missing: " << sent << "\nin:\n" << transcript;
      if (found != std::string::npos) at = found;
    }
    for (const std::string& not_sent : c.not_sent) {
      EXPECT_EQ(transcript.find(not_sent), std::string::npos) << not_sent;
    }
    // Every line the host sent is one protocol object with a type.
    for (const std::string& line : Lines(transcript)) {
      EXPECT_EQ(line.rfind(R"({"type":")", 0), 0u) << line;
    }
  }
}

TEST(GuiHostTest, HelperThatCannotServeIsUnavailableBeforeTheDialogStarts) {
  testing::ScopedCodePage code_page("UTF-8");
  testing::TempDir dir;
  const struct {
    const char* name;
    std::string helper;
  } cases[] = {
      {"missing program", (dir.path() / "no-such-helper").string()},
      {"no program found", ""},
      {"wrong protocol version",
       WriteFakeHelper(dir, {}, R"({"type":"ready","version":2})").string()},
      {"exits at once", dir.WriteFile("exits", "#!/bin/sh\nexit 3\n").string()},
      {"not a program", dir.WriteFile("empty", "").string()},
  };
  ::chmod((dir.path() / "exits").c_str(), 0700);
  ::chmod((dir.path() / "empty").c_str(), 0700);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<GuiHost> host = GuiHost::ForHelper(c.helper, DialogLog());
    PfxFileDialog dialog;
    dialog.set_folder("/start");
    EXPECT_EQ(host->ShowModal(dialog), DialogOutcome::kUnavailable);
    // Not initialised: the path edit never got the folder.
    EXPECT_EQ(dialog.EditText(pfx_control::kPath), "");
    EXPECT_EQ(host->PickOpenFile({.title = "t"}).outcome, DialogOutcome::kUnavailable);
    EXPECT_EQ(host->BrowseFolder("t").outcome, DialogOutcome::kUnavailable);
  }
}

// Writing to a helper that has closed its socket fails instead of raising SIGPIPE, which would end
// the calling program. The helper tells through a file when its socket is closed.
TEST(GuiHostTest, WritingToAClosedHelperFailsWithoutASignal) {
  testing::TempDir dir;
  const fs::path closed = dir.path() / "closed";
  const fs::path helper =
      dir.WriteFile("closer", "#!/bin/bash\nIFS= read -r l\nexec 0<&- 1>&- 2>&-\n: > '" +
                                  closed.string() + "'\nsleep 30\n");
  ::chmod(helper.c_str(), 0700);
  std::string reason;
  std::unique_ptr<DialogChannel> channel = StartDialogHelper(helper.string(), &reason);
  ASSERT_NE(channel, nullptr) << reason;
  EXPECT_TRUE(channel->Send(R"({"type":"hello","version":1})"));
  for (int waited = 0; waited < 10000 && !fs::exists(closed); waited += 10) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(fs::exists(closed));
  EXPECT_FALSE(channel->Send(std::string(64 * 1024, 'x')));
  std::string line;
  EXPECT_FALSE(channel->Receive(&line, -1));
}

TEST(GuiHostTest, DefaultHostFollowsTheSessionAndTheHelper) {
  testing::TempDir dir;
  const std::string helper = WriteFakeHelper(dir, {}).string();
  const std::string not_executable = dir.WriteFile("plain", "").string();
  const struct {
    const char* name;
    const char* dialogs;
    const char* display;
    const char* wayland;
    const char* helper;
    bool gui;
  } cases[] = {
      {"X display and a helper", nullptr, ":5", nullptr, helper.c_str(), true},
      {"Wayland display and a helper", "", nullptr, "wayland-0", helper.c_str(), true},
      {"no graphical session", nullptr, nullptr, nullptr, helper.c_str(), false},
      {"helper not executable", nullptr, ":5", nullptr, not_executable.c_str(), false},
      {"overridden to none", "none", ":5", nullptr, helper.c_str(), false},
      {"gui asked for without a session", "gui", nullptr, nullptr, helper.c_str(), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ScopedEnv dialogs("KELVADROME_DIALOGS", c.dialogs);
    testing::ScopedEnv display("DISPLAY", c.display);
    testing::ScopedEnv wayland("WAYLAND_DISPLAY", c.wayland);
    testing::ScopedEnv helper_env("KELVADROME_DIALOG_HELPER", c.helper);
    std::unique_ptr<DialogHost> host = MakeDefaultDialogHost();
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(dynamic_cast<GuiHost*>(host.get()) != nullptr, c.gui);
  }
}

// The helper shows the texts a person reads in the user's language; what a field holds goes as it
// is.
// A check box travels both ways: the state names it (label, mark, enabled) and places it in the
// layout, and the helper's check events reach the model as a person's clicks.
TEST(GuiHostTest, FakeHelperTicksThePinDialogsBox) {
  testing::ScopedCodePage code_page("UTF-8");
  testing::ScopedEnv locale("LC_ALL", "zh_TW.UTF-8");
  const std::string pin = R"({"type":"text","id":401,"text":"4711","seq":1})";
  const struct {
    const char* name;
    std::vector<std::string> steps;
    bool answered;
    bool keep;
    std::vector<std::string> sent;  // in order
  } cases[] = {
      {"ticked",
       {pin, R"({"type":"check","id":402,"checked":true,"seq":2})",
        R"({"type":"click","id":1,"seq":3})"},
       true,
       true,
       {R"("checks":[{"id":402,"label":"在本次工作階段保留 PIN 碼","checked":false,"enabled":true}])",
        R"({"check":402})", R"("ack":2,)", R"("checked":true)"}},
      {"ticked and cleared",
       {R"({"type":"check","id":402,"checked":true,"seq":1})",
        R"({"type":"check","id":402,"checked":false,"seq":2})",
        R"({"type":"text","id":401,"text":"4711","seq":3})", R"({"type":"click","id":1,"seq":4})"},
       true,
       false,
       {R"("checked":true)", R"("ack":2,)", R"("checked":false)"}},
      {"a box that is not there, or no mark, changes nothing",
       {pin, R"({"type":"check","id":999,"checked":true,"seq":2})",
        R"({"type":"check","id":402,"seq":3})", R"({"type":"click","id":1,"seq":4})"},
       true,
       false,
       {R"("ack":3,)"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    const fs::path helper = WriteFakeHelper(dir, c.steps);
    std::unique_ptr<GuiHost> host = GuiHost::ForHelper(helper.string(), DialogLog());
    const std::optional<PinAnswer> answer =
        AskTokenPin(*host, {{"m", "01", "Card"}, false, false, false});
    ASSERT_EQ(answer.has_value(), c.answered);
    if (answer) {
      EXPECT_EQ(answer->pin, std::string_view("4711"));
      EXPECT_EQ(answer->remember, c.keep);
    }
    const std::string transcript = ReadText(dir.path() / "transcript");
    size_t at = 0;
    for (const std::string& sent : c.sent) {
      const size_t found = transcript.find(sent, at);
      EXPECT_NE(found, std::string::npos) << "missing: " << sent << "\nin:\n" << transcript;
      if (found != std::string::npos) at = found;
    }
  }
}

TEST(GuiHostTest, StateMessageTextsFollowTheUserLanguage) {
  testing::ScopedCodePage code_page("UTF-8");
  PfxFileDialog dialog;
  dialog.set_folder("/tmp/憑證");
  dialog.set_file_name("a.pfx");
  NoneHost none;
  dialog.Initialize(none);
  const struct {
    const char* locale;
    std::vector<std::string> present;
  } cases[] = {
      {"C", {R"("caption":"Certificate file")", R"("label":"OK")", R"("Password:")",
             R"("text":"/tmp/憑證/a.pfx")"}},
      {"zh_TW.UTF-8", {R"("caption":"輸入憑證檔案資訊")", R"("label":"確定")",
                       R"("text":"/tmp/憑證/a.pfx")"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.locale);
    testing::ScopedEnv locale("LC_ALL", c.locale);
    const std::string message = DialogStateMessage(dialog, 0);
    for (const std::string& text : c.present) {
      EXPECT_NE(message.find(text), std::string::npos) << text << "\n" << message;
    }
  }
}

TEST(DialogProtocolTest, StrictParsing) {
  const struct {
    const char* line;
    const char* reason;  // nullptr: accepted
  } cases[] = {
      {R"({"type":"text","id":303,"text":"a\"b\\c\u00e9\ud83d\ude00","seq":-2})", nullptr},
      {R"(  { "type" : "cancel" , "ok" : true, "path": null }  )", nullptr},
      {R"({"type":"x","id":2147483647})", nullptr},
      {R"({"type":"x","id":2147483648})", "out of range"},
      {R"({"type":"x","id":1.5})", "only integers"},
      {R"({"type":"x","id":01})", "leading zero"},
      {R"({"type":"x","type":"y"})", "repeated key"},
      {R"({"type":"x","v":{"a":1}})", "nested"},
      {R"({"type":"x","v":[1]})", "nested"},
      {R"({"id":1})", "no \"type\""},
      {R"({"type":1})", "no \"type\""},
      {R"({"type":"x"} x)", "text after"},
      {R"({"type":"x",})", "expected a string"},
      {R"({"type":"a)", "unterminated"},
      {"{\"type\":\"a\tb\"}", "control character"},
      {"{\"type\":\"\xC3\x28\"}", "malformed UTF-8"},
      {"{\"type\":\"\xED\xA0\x80\"}", "malformed UTF-8"},  // an encoded surrogate
      {R"({"type":"\ud800"})", "unpaired high"},
      {R"({"type":"\udc00"})", "unpaired low"},
      {R"({"type":"\q"})", "unknown escape"},
      {R"({"type":"x","v":tru})", "unknown value"},
      {"", "expected '{'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    std::string reason;
    const std::optional<ProtocolMessage> message = ParseProtocolLine(c.line, &reason);
    if (c.reason == nullptr) {
      ASSERT_TRUE(message.has_value()) << reason;
      EXPECT_FALSE(message->type().empty());
    } else {
      EXPECT_FALSE(message.has_value());
      EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
    }
  }
  const std::optional<ProtocolMessage> text = ParseProtocolLine(cases[0].line, nullptr);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(*text->String("text"), "a\"b\\c\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(text->Integer("seq"), -2);
  EXPECT_EQ(text->Integer("text"), std::nullopt);

  // Too many fields, and a line over the limit.
  std::string many = R"({"type":"x")";
  for (size_t i = 0; i < kMaxProtocolFields; ++i) many += ",\"k" + std::to_string(i) + "\":1";
  std::string reason;
  EXPECT_FALSE(ParseProtocolLine(many + "}", &reason).has_value());
  EXPECT_NE(reason.find("too many"), std::string::npos) << reason;
  EXPECT_FALSE(ParseProtocolLine(std::string(kMaxProtocolLine + 1, ' '), &reason).has_value());
}

TEST(DialogProtocolTest, WrittenStringsParseBackAndLinesAreBounded) {
  const struct {
    std::string in;
    std::string back;
  } cases[] = {
      {"plain", "plain"},
      {"quote\" slash\\ nl\n tab\t cr\r bell\x07 del\x7F",
       "quote\" slash\\ nl\n tab\t cr\r bell\x07 del\x7F"},
      {"中文 \xF0\x9F\x98\x80", "中文 \xF0\x9F\x98\x80"},
      {"bad \xFF end \xC3", "bad \xEF\xBF\xBD end \xEF\xBF\xBD"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    std::string line = R"({"type":)";
    AppendJsonString(line, c.in);
    line += "}";
    std::string reason;
    const std::optional<ProtocolMessage> message = ParseProtocolLine(line, &reason);
    ASSERT_TRUE(message.has_value()) << reason << " in " << line;
    EXPECT_EQ(message->type(), c.back);
  }

  ProtocolLineReader reader;
  std::string line;
  reader.Feed("{\"a\":1}\r\n{\"b\"");
  EXPECT_EQ(reader.NextLine(&line), ProtocolLineReader::Next::kLine);
  EXPECT_EQ(line, "{\"a\":1}");
  EXPECT_EQ(reader.NextLine(&line), ProtocolLineReader::Next::kNeedMore);
  reader.Feed(":2}\n");
  EXPECT_EQ(reader.NextLine(&line), ProtocolLineReader::Next::kLine);
  EXPECT_EQ(line, "{\"b\":2}");
  // A line that never ends within the bound fails the reader for good.
  reader.Feed(std::string(kMaxProtocolLine + 1, 'x'));
  EXPECT_EQ(reader.NextLine(&line), ProtocolLineReader::Next::kTooLong);
  reader.Feed("\n{\"c\":3}\n");
  EXPECT_EQ(reader.NextLine(&line), ProtocolLineReader::Next::kTooLong);
  EXPECT_TRUE(reader.failed());
}

}  // namespace
}  // namespace kelvadrome
