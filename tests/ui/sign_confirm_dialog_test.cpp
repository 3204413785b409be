#include "ui/sign_confirm_dialog.h"

#include <time.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "support/scoped_code_page.h"
#include "support/test_support.h"
#include "support/x509_builder.h"
#include "ui/none_host.h"
#include "ui/script_host.h"

namespace kelvadrome {
namespace {

namespace control = sign_confirm_control;

class SignConfirmDialogTest : public ::testing::Test {
 protected:
  // Runs the driver with a scripted user; the event log of that run is kept for Logged.
  DialogOutcome Confirm(const std::string& script, std::string_view content,
                        const std::vector<uint8_t>& der) {
    std::filesystem::remove(LogPath());
    ScriptHost host(ParseDialogScript(script), DialogLog(LogPath()));
    return ConfirmSigning(host, content, der);
  }
  std::string LogPath() const { return (dir_.path() / "dialogs.log").string(); }
  std::string Log() const {
    std::ifstream in(LogPath());
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  bool Logged(const std::string& line) const {
    return Log().find(line + "\n") != std::string::npos;
  }

  testing::TempDir dir_;
  testing::ScopedCodePage code_page_{"UTF-8"};
};

TEST_F(SignConfirmDialogTest, TextsAndReadOnlyEdits) {
  SignConfirmDialog dialog;
  dialog.set_content("content");
  NoneHost host;
  dialog.Initialize(host);
  EXPECT_EQ(dialog.name() + "|" + dialog.caption(), "201|執行簽章(Sign with this Certificate)");
  EXPECT_EQ(
      dialog.statics(),
      (std::vector<std::string>{
          "簽章內容(Plain Text tobe sign)", "簽章憑證 (Certificate information)",
          "憑證序號(Serial) : ", "用戶名(CommonName) :", "憑證效期(Validity):", "From :", "to :"}));
  ASSERT_EQ(dialog.buttons().size(), 2u);
  EXPECT_EQ(dialog.FindButton(kDialogIdOk)->label, "確定(Ok)");
  EXPECT_EQ(dialog.FindButton(kDialogIdCancel)->label, "取消(Cancel)");
  ASSERT_EQ(dialog.edits().size(), 5u);
  for (const DialogEdit& edit : dialog.edits()) {
    SCOPED_TRACE(edit.id);
    EXPECT_GE(edit.id, control::kContent);
    EXPECT_LE(edit.id, control::kNotAfter);
    const std::string before = edit.text;
    EXPECT_EQ(dialog.Type(edit.id, "typed"), DialogInput::kDisabled);
    EXPECT_EQ(dialog.EditText(edit.id), before);
  }
  EXPECT_EQ(dialog.EditText(control::kContent), "content");
}

// Serial, common name and the compact local-time validity come from the signer certificate.
TEST_F(SignConfirmDialogTest, FillsTheFieldsFromTheSignerCertificate) {
  testing::CertificateSpec spec;
  spec.subject = {{"O", "Example Org"}, {"CN", "王小明"}, {"CN", "Second CN"}};
  spec.serial = {0x0A, 0xBC, 0x01, 0xEF};
  spec.not_before = "200615170502Z";
  spec.not_after = "20501231230000Z";
  const std::vector<uint8_t> der = testing::MakeCertificateDer(spec);
  const std::vector<uint8_t> truncated(der.begin(), der.begin() + 40);  // DER cut short
  const struct {
    const char *name, *zone;
    const std::vector<uint8_t>* der;
    const char* fields;  // the log lines of 302..305
  } cases[] = {
      {"UTC", "UTC0", &der,
       "field 302 0ABC01EF\nfield 303 王小明\nfield 304 20200615170502\nfield 305 20501231230000"},
      // Eight hours east of UTC moves both bounds past midnight, the end into the next year.
      {"UTC+8", "CST-8", &der,
       "field 302 0ABC01EF\nfield 303 王小明\nfield 304 20200616010502\nfield 305 20510101070000"},
      {"undecodable certificate", "UTC0", &truncated,
       "field 302 \nfield 303 \nfield 304 \nfield 305 "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ScopedEnv zone("TZ", c.zone);
    tzset();
    ASSERT_EQ(Confirm("expect 201\nclick 1\n", "to be signed", *c.der), DialogOutcome::kOk);
    EXPECT_TRUE(Logged(std::string("field 301 to be signed\n") + c.fields)) << Log();
  }
  tzset();  // back to the zone of the environment
}

TEST_F(SignConfirmDialogTest, OnlyOkAgrees) {
  const std::vector<uint8_t> der = testing::MakeCertificateDer({});
  const struct {
    const char *name, *script;
    DialogOutcome outcome;
  } cases[] = {
      {"agrees", "expect 201\nclick 1\n", DialogOutcome::kOk},
      {"refuses", "expect 201\nclick 2\n", DialogOutcome::kCancel},
      {"typing changes nothing", "set 301 forged\nclick 2\n", DialogOutcome::kCancel},
      {"the script ends unanswered", "expect 201\n", DialogOutcome::kCancel},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Confirm(c.script, "original", der), c.outcome);
    EXPECT_TRUE(Logged("field 301 original")) << Log();
    EXPECT_EQ(Log().find("forged"), std::string::npos) << "read-only content was changed";
  }
  NoneHost none;
  EXPECT_EQ(ConfirmSigning(none, "original", der), DialogOutcome::kUnavailable);
}

// A long content with both line ends, tabs and bytes that are not UTF-8 is shown whole.
TEST_F(SignConfirmDialogTest, LongMultiLineContentPassesThroughUnchanged) {
  std::string content;
  for (int i = 0; i < 5000; ++i) {
    content += "line " + std::to_string(i) + (i % 2 == 0 ? "\tsum\r\n" : "\xB1\x60\n");
  }
  SignConfirmDialog dialog;
  dialog.set_content(content);
  std::filesystem::remove(LogPath());
  ScriptHost host(ParseDialogScript("expect 201\nclick 1\n"), DialogLog(LogPath()));
  ASSERT_EQ(host.ShowModal(dialog), DialogOutcome::kOk);
  EXPECT_TRUE(dialog.EditText(control::kContent) == content);
}

}  // namespace
}  // namespace kelvadrome
