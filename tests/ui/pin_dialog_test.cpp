#include "ui/pin_dialog.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/scoped_code_page.h"
#include "support/test_support.h"
#include "ui/dialog_layout.h"
#include "ui/none_host.h"
#include "ui/script_host.h"
#include "ui/token_choice_dialog.h"

namespace kelvadrome {
namespace {

const TokenRef kCard{"softtoken", "0123456789AB", "王小明的憑證卡"};

class TokenDialogTest : public ::testing::Test {
 protected:
  std::unique_ptr<ScriptHost> Host(const std::string& script) {
    std::filesystem::remove(LogPath());
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

TEST_F(TokenDialogTest, ScriptedPersonAnswersThePinDialog) {
  const struct {
    const char* name;
    const char* script;
    bool answered;
    const char* pin;
    bool keep;
    const char* logged;  // a line the event log must hold
  } cases[] = {
      {"PIN and OK", "expect pin\nset 401 4711\nclick 1\n", true, "4711", false, "close pin ok\n"},
      {"PIN kept for the session", "set 401 0000\ncheck 402\nclick 1\n", true, "0000", true,
       "checked 402 1\n"},
      {"box ticked and cleared again", "check 402\nset 401 9\nuncheck 402\nclick 1\n", true, "9",
       false, "checked 402 0\n"},
      {"the token's name cannot be typed over", "set 403 other\nset 401 1\nclick 1\n", true, "1",
       false, "close pin ok\nfield 403 王小明的憑證卡 (0123456789AB)\n"},
      {"OK is disabled while the PIN is empty", "check 402\nclick 1\n", false, "", false,
       "ignored line 2: click 1 (control disabled)\n"},
      {"a PIN typed and erased disables OK again", "set 401 12\nset 401\nclick 1\n", false, "",
       false, "ignored line 3: click 1 (control disabled)\n"},
      {"Cancel", "set 401 4711\ncheck 402\nclick 2\n", false, "", false, "close pin cancel\n"},
      {"the window closed", "set 401 4711\ncancel\n", false, "", false, "close pin cancel\n"},
      {"another dialog was expected", "expect token-choice\n", false, "", false,
       "mismatch expected token-choice got pin\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto host = Host(c.script);
    const std::optional<PinAnswer> answer = AskTokenPin(*host, {kCard, false, false, false});
    ASSERT_EQ(answer.has_value(), c.answered);
    if (answer) {
      EXPECT_EQ(answer->pin, std::string_view(c.pin));
      EXPECT_EQ(answer->remember, c.keep);
    }
    const std::string log = Log();
    EXPECT_NE(log.find(c.logged), std::string::npos) << log;
    for (const char* pin : {"4711", "0000"}) {
      EXPECT_EQ(log.find(pin), std::string::npos) << "the PIN reached the log";
    }
  }
  NoneHost none;
  EXPECT_FALSE(AskTokenPin(none, {kCard, false, false, false}).has_value());
}

// The warning lines name what the token reported, stand between the token and the PIN, and the
// token is named by label and serial as far as it has them.
TEST_F(TokenDialogTest, PinDialogWarnsAsTheTokenReports) {
  const std::string wrong = "PIN 碼錯誤，請重新輸入。";
  const std::string low = "PIN 碼已多次輸入錯誤，剩餘的嘗試次數不多。";
  const std::string last = "最後一次機會：再輸入錯誤，憑證載具將被鎖定。";
  const struct {
    const char* name;
    PinRequest request;
    std::vector<std::string> warnings;
    std::string token;
  } cases[] = {
      {"first ask", {kCard, false, false, false}, {}, "王小明的憑證卡 (0123456789AB)"},
      {"after a wrong PIN", {kCard, true, false, false}, {wrong}, "王小明的憑證卡 (0123456789AB)"},
      {"few tries left", {{"m", "", "Card"}, false, true, false}, {low}, "Card"},
      {"the last try outweighs a low count",
       {{"m", "77", ""}, true, true, true},
       {wrong, last},
       "77"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PinDialog dialog(c.request);
    NoneHost none;
    dialog.Initialize(none);
    EXPECT_EQ(dialog.EditText(pin_control::kToken), c.token);
    const DialogEdit* pin = dialog.FindEdit(pin_control::kPin);
    ASSERT_NE(pin, nullptr);
    EXPECT_TRUE(pin->password);
    EXPECT_FALSE(dialog.FindButton(kDialogIdOk)->enabled);
    // The layout's rows: the token, each warning, the PIN, the box.
    std::vector<std::string> shown;
    bool token_row_first = false;
    bool pin_after_warnings = false;
    const std::vector<LayoutRow> rows = LayoutFor(dialog);
    for (size_t i = 0; i < rows.size(); ++i) {
      const LayoutRow& row = rows[i];
      if (i == 0) token_row_first = row.edit == pin_control::kToken;
      if (row.edit == pin_control::kPin) pin_after_warnings = shown.size() == c.warnings.size();
      if (row.edit == 0 && row.check == 0 && row.label >= 0) {
        shown.push_back(dialog.statics()[static_cast<size_t>(row.label)]);
      }
    }
    EXPECT_EQ(shown, c.warnings);
    EXPECT_TRUE(token_row_first);
    EXPECT_TRUE(pin_after_warnings);
    EXPECT_EQ(rows.back().check, pin_control::kKeep);
  }
}

// The prompt asks whichever host is current when the token layer asks, not when it was made.
TEST_F(TokenDialogTest, PinPromptAsksTheCurrentHost) {
  const TokenPinPrompt prompt = MakeDialogPinPrompt();
  InstallDialogHost(Host("set 401 first\nclick 1\n"));
  std::optional<PinAnswer> answer = prompt({kCard, false, false, false});
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->pin, std::string_view("first"));
  InstallDialogHost(Host("set 401 second\ncheck 402\nclick 1\n"));
  answer = prompt({kCard, true, false, false});
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->pin, std::string_view("second"));
  EXPECT_TRUE(answer->remember);
  InstallDialogHost(std::make_unique<NoneHost>());
  EXPECT_FALSE(prompt({kCard, false, false, false}).has_value());
  InstallDialogHost(nullptr);
}

TEST_F(TokenDialogTest, TokenChoiceReturnsTheChosenIndex) {
  std::vector<TokenInfo> tokens(3);
  tokens[0].ref = kCard;
  tokens[0].manufacturer = "範例卡片公司";
  tokens[0].model = "SC-3000";
  tokens[1].ref = {"usbkey", "KEY-00042", "USB 金鑰"};
  tokens[1].manufacturer = "Example Tokens Ltd.";
  tokens[1].model = "UT-2";
  tokens[2].ref = {"softtoken", "77AC01", "測試用載具"};
  const struct {
    const char* name;
    const char* script;
    std::optional<size_t> chosen;
  } cases[] = {
      {"OK takes the first row", "expect token-choice\nclick 1\n", 0},
      {"the selected row", "select 2\nclick 1\n", 2},
      {"a row that does not exist leaves the selection", "select 1\nselect 3\nclick 1\n", 1},
      {"Cancel", "select 1\nclick 2\n", std::nullopt},
      {"the window closed", "select 1\ncancel\n", std::nullopt},
      {"nobody answers", "", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto host = Host(c.script);
    EXPECT_EQ(ChooseToken(*host, tokens), c.chosen);
    const std::string log = Log();
    EXPECT_NE(log.find("row 1 USB 金鑰 | KEY-00042 | Example Tokens Ltd. | UT-2\n"),
              std::string::npos)
        << log;
  }
  auto host = Host("click 1\n");
  EXPECT_EQ(ChooseToken(*host, {}), std::nullopt);
  EXPECT_EQ(Log(), "") << "no dialog for no token";
}

}  // namespace
}  // namespace kelvadrome
