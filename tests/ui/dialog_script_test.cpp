#include "ui/dialog_script.h"

#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/scoped_code_page.h"
#include "support/test_support.h"

namespace kelvadrome {
namespace {

using Kind = DialogAction::Kind;

struct ValidLine {
  const char* name;
  std::string line;
  Kind kind;
  int id;
  std::string text;
};

TEST(DialogScriptTest, ParsesEveryActionForm) {
  const std::vector<ValidLine> cases = {
      {"expect a resource number", "expect 202", Kind::kExpect, 0, "202"},
      {"expect with blanks around", "  expect\topen-file  ", Kind::kExpect, 0, "open-file"},
      {"expect key-use", "expect key-use", Kind::kExpect, 0, "key-use"},
      {"set a text", "set 303 secret", Kind::kSet, 303, "secret"},
      {"set without text", "set 303", Kind::kSet, 303, ""},
      {"set with one blank and no text", "set 303 ", Kind::kSet, 303, ""},
      {"set keeps blanks after the separator", "set 303  two  ", Kind::kSet, 303, " two  "},
      {"set keeps a hash in the text", "set 302 a # b", Kind::kSet, 302, "a # b"},
      {"set takes a tab as separator", "set\t303\tx", Kind::kSet, 303, "x"},
      {"set drops the CR of a CRLF line", "set 303 x\r", Kind::kSet, 303, "x"},
      {"set keeps 8-bit text", "set 302 \xE6\x86\x91\xE8\xAD\x89", Kind::kSet, 302,
       "\xE6\x86\x91\xE8\xAD\x89"},
      {"select the first row", "select 0", Kind::kSelect, 0, ""},
      {"select the largest row", "select 2147483647", Kind::kSelect, 2147483647, ""},
      {"click with leading zeros", "click 007", Kind::kClick, 7, ""},
      {"click the largest id", "click 65535 ", Kind::kClick, 65535, ""},
      {"check a box", "check 402", Kind::kCheck, 402, ""},
      {"uncheck a box", " uncheck 402\t", Kind::kUncheck, 402, ""},
      {"choose a path with a blank", "choose /tmp/a b.pfx", Kind::kChoose, 0, "/tmp/a b.pfx"},
      {"cancel", "cancel", Kind::kCancel, 0, ""},
      {"cancel with trailing blanks", "cancel \t", Kind::kCancel, 0, ""},
  };
  for (const ValidLine& c : cases) {
    SCOPED_TRACE(c.name);
    std::string reason = "stale";
    const std::optional<DialogAction> action = ParseDialogAction(c.line, &reason);
    ASSERT_TRUE(action.has_value()) << reason;
    EXPECT_EQ(reason, "");
    EXPECT_EQ(action->kind, c.kind);
    EXPECT_EQ(action->id, c.id);
    EXPECT_EQ(action->text, c.text);
  }
}

TEST(DialogScriptTest, SkipsBlankAndCommentLinesWithoutError) {
  for (const std::string line : {"", "   ", "\t", "\r", "# a comment", "   # indented", "#"}) {
    SCOPED_TRACE("line \"" + line + "\"");
    std::string reason = "stale";
    EXPECT_FALSE(ParseDialogAction(line, &reason).has_value());
    EXPECT_EQ(reason, "");
  }
}

struct BadLine {
  const char* name;
  std::string line;
};

TEST(DialogScriptTest, RejectsMalformedLines) {
  const std::vector<BadLine> cases = {
      // Keywords are lower case only.
      {"upper-case keyword", "Expect 202"},
      // expect without the dialog it waits for.
      {"expect without name", "expect"},
      // Two words where one dialog name belongs.
      {"expect with two names", "expect 20 2"},
      // '/' is not a character of dialog names.
      {"expect with a slash", "expect a/b"},
      // 65 characters, one more than a dialog name may have.
      {"expect with a long name", "expect " + std::string(65, 'a')},
      // set without a control id.
      {"set without id", "set"},
      // The id is not a number.
      {"set with a word id", "set x 1"},
      // Ids have no sign.
      {"set with negative id", "set -1 a"},
      // Above the largest control id.
      {"set with id 65536", "set 65536 a"},
      // The text must be separated from the id by a blank.
      {"set with glued text", "set 303x"},
      // select without a row.
      {"select without row", "select"},
      // One more than the largest row.
      {"select beyond int", "select 2147483648"},
      // Twenty digits would overflow a 64-bit accumulator without the early check.
      {"select with twenty digits", "select 99999999999999999999"},
      // A second number after the row.
      {"select with extra number", "select 1 2"},
      // Numbers have no sign.
      {"select with plus sign", "select +1"},
      // A word after the button id.
      {"click with extra word", "click 1 now"},
      {"check without id", "check"},
      {"check with a state word", "check 402 on"},
      {"uncheck beyond the largest id", "uncheck 65536"},
      // choose with nothing to choose.
      {"choose without path", "choose"},
      // Only blanks where the path belongs.
      {"choose with blank path", "choose   "},
      // cancel takes no argument.
      {"cancel with argument", "cancel now"},
      // No such action.
      {"unknown action", "frobnicate 1"},
      // A keyword glued to its argument is a different (unknown) word.
      {"glued keyword", "click1"},
      // A NUL byte inside the text.
      {"NUL byte", std::string("set 303 a\0b", 11)},
  };
  for (const BadLine& c : cases) {
    SCOPED_TRACE(c.name);
    std::string reason;
    EXPECT_FALSE(ParseDialogAction(c.line, &reason).has_value());
    EXPECT_NE(reason, "");
  }
}

TEST(DialogScriptTest, NumbersLinesAndSkipsBadOnes) {
  const std::string text =
      "\xEF\xBB\xBF"  // byte-order mark, ignored
      "expect 202\r\n"
      "\r\n"
      "# comment\n"
      "bogus line\n"
      "set 303 pw\r\n"
      "click 70000\n"
      "click 1";  // last line without LF
  const DialogScript script = ParseDialogScript(text);
  ASSERT_EQ(script.actions.size(), 3u);
  EXPECT_EQ(script.actions[0].kind, Kind::kExpect);
  EXPECT_EQ(script.actions[0].text, "202");
  EXPECT_EQ(script.actions[0].line, 1u);
  EXPECT_EQ(script.actions[1].kind, Kind::kSet);
  EXPECT_EQ(script.actions[1].text, "pw");
  EXPECT_EQ(script.actions[1].line, 5u);
  EXPECT_EQ(script.actions[2].kind, Kind::kClick);
  EXPECT_EQ(script.actions[2].line, 7u);
  ASSERT_EQ(script.errors.size(), 2u);
  EXPECT_EQ(script.errors[0].line, 4u);
  EXPECT_EQ(script.errors[0].reason, "unknown action \"bogus\"");
  EXPECT_EQ(script.errors[1].line, 6u);
}

TEST(DialogScriptTest, EmptyAndBlankScriptsHaveNoActions) {
  for (const std::string text : {"", "\n", "\n\n\r\n", "\xEF\xBB\xBF"}) {
    SCOPED_TRACE("script of " + std::to_string(text.size()) + " bytes");
    const DialogScript script = ParseDialogScript(text);
    EXPECT_TRUE(script.actions.empty());
    EXPECT_TRUE(script.errors.empty());
  }
}

TEST(DialogScriptTest, ReadsFileOnceAndRefusesUnreadableOrHugeFiles) {
  testing::TempDir dir;
  DialogScript script;
  std::string reason;

  const auto good = dir.WriteFile("good.txt", "expect open-file\nchoose /x\n");
  ASSERT_TRUE(ReadDialogScriptFile(good.string(), &script, &reason)) << reason;
  EXPECT_EQ(script.actions.size(), 2u);

  EXPECT_FALSE(ReadDialogScriptFile((dir.path() / "missing").string(), &script, &reason));
  EXPECT_NE(reason.find("cannot open"), std::string::npos) << reason;
  EXPECT_TRUE(script.actions.empty());

  // A folder opens but cannot be read.
  reason.clear();
  EXPECT_FALSE(ReadDialogScriptFile(dir.path().string(), &script, &reason));
  EXPECT_NE(reason, "");

  std::string huge(kMaxDialogScriptBytes, '\n');
  huge += "cancel\n";
  const auto big = dir.WriteFile("big.txt", huge);
  EXPECT_FALSE(ReadDialogScriptFile(big.string(), &script, &reason));
  EXPECT_NE(reason.find("larger than"), std::string::npos) << reason;
  EXPECT_TRUE(script.actions.empty());

  // Exactly the largest size is still read.
  const auto edge =
      dir.WriteFile("edge.txt", std::string(kMaxDialogScriptBytes - 7, '\n') + "cancel\n");
  EXPECT_TRUE(ReadDialogScriptFile(edge.string(), &script, &reason)) << reason;
  EXPECT_EQ(script.actions.size(), 1u);
}

TEST(DialogScriptTest, EscapesLogTextToOneLine) {
  const struct {
    const char* name;
    std::string text;
    std::string escaped;
  } cases[] = {
      {"plain", "abc def", "abc def"},
      {"backslash", "a\\b", "a\\\\b"},
      {"line ends", "a\r\nb", "a\\r\\nb"},
      {"tab", "a\tb", "a\\tb"},
      {"escape and delete", "\x1b[2J\x7f", "\\x1B[2J\\x7F"},
      {"NUL", std::string("a\0b", 3), "a\\x00b"},
      {"8-bit text untouched", "\xE6\x86\x91\xA4\xA4", "\xE6\x86\x91\xA4\xA4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(EscapeLogText(c.text), c.escaped);
  }
}

TEST(DialogScriptTest, LogEscapingDoublesOnlyBackslashCharactersOfBig5Text) {
  testing::ScopedCodePage big5("CP950");
  // 許 is B3 5C in code page 950: its second byte is no backslash.
  const struct {
    const char* name;
    std::string text;
    std::string escaped;
  } cases[] = {
      {"a character ending in 0x5C", "\xB3\x5C", "\xB3\x5C"},
      {"followed by a backslash", "\xB3\x5C\\", "\xB3\x5C\\\\"},
      {"a backslash between characters", "\xA4\xA4\\\xB3\x5C", "\xA4\xA4\\\\\xB3\x5C"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(EscapeLogText(c.text), c.escaped);
  }
}

TEST(DialogScriptTest, ActionTextNeverCarriesSetText) {
  std::string reason;
  const auto action = ParseDialogAction("set 303 hunter2", &reason);
  ASSERT_TRUE(action.has_value());
  EXPECT_EQ(DialogActionText(*action), "set 303");
  EXPECT_EQ(DialogActionText(*ParseDialogAction("choose /a", &reason)), "choose /a");
}

TEST(DialogScriptTest, LogAppendsWholeLinesToAPrivateFile) {
  testing::TempDir dir;
  const auto path = dir.path() / "log.txt";
  DialogLog first(path.string());
  DialogLog second(path.string());
  first.Write("one");
  second.Write("two");
  first.LogMismatch("205", "a\nb");
  std::ifstream in(path);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "one\ntwo\nmismatch expected 205 got a\\nb\n");
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  // No path: nothing is written anywhere, and nothing fails.
  DialogLog none;
  EXPECT_FALSE(none.enabled());
  none.Write("ignored");
}

}  // namespace
}  // namespace kelvadrome
