#include "ui/cert_list_dialog.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include <gtest/gtest.h>

#include "platform/error_codes.h"
#include "support/scoped_code_page.h"
#include "support/test_support.h"
#include "support/x509_builder.h"
#include "ui/none_host.h"
#include "ui/script_host.h"

namespace kelvadrome {
namespace {

class CertListDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Validity at noon UTC, so that the local date is the same in every time zone of the tests.
    testing::CertificateSpec alice;
    alice.subject = {{"C", "TW"}, {"O", "Example Org"}, {"CN", "Alice"}};
    alice.issuer = {{"CN", "Example CA"}};
    alice.serial = {0x0A, 0xBC, 0x01};
    alice.not_before = "200615120000Z";
    alice.not_after = "211231120000Z";
    testing::CertificateSpec nameless;  // no commonName in subject or issuer
    nameless.subject = {{"O", "No Name Ltd"}, {"C", "TW"}};
    nameless.issuer = {{"OU", "Roots"}, {"O", "Issuer Org"}};
    nameless.serial = {0x7F};
    nameless.not_before = "19700102120000Z";
    nameless.not_after = "20500615120000Z";
    candidates_ = {testing::MakeCertificateDer(alice), testing::MakeCertificateDer(nameless),
                   testing::MakeCertificateDer({})};
  }

  std::unique_ptr<ScriptHost> Host(const std::string& script) {
    std::filesystem::remove(LogPath());
    return std::make_unique<ScriptHost>(ParseDialogScript(script), DialogLog(LogPath()));
  }
  std::string LogPath() const { return (dir_.path() / "dialogs.log").string(); }
  std::string Log() const {
    std::ifstream in(LogPath());
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  std::vector<std::vector<uint8_t>> candidates_;
  testing::TempDir dir_;
  testing::ScopedCodePage code_page_{"UTF-8"};
};

TEST_F(CertListDialogTest, ListsOneRowPerCandidateWithTheFirstSelected) {
  CertListDialog dialog(candidates_);
  NoneHost host;
  dialog.Initialize(host);
  ASSERT_NE(dialog.list(), nullptr);
  EXPECT_EQ(dialog.list()->columns,
            (std::vector<std::string>{"憑證持有人", "憑證序號", "起始日", "截止日", "憑證發行者"}));
  const std::vector<std::vector<std::string>> rows = {
      {"Alice", "0ABC01", "2020/06/15", "2021/12/31", "Example CA"},
      // No commonName: the whole distinguished name stands in, for holder and issuer alike.
      {"O=No Name Ltd, C=TW", "7F", "1970/01/02", "2050/06/15", "OU=Roots, O=Issuer Org"},
  };
  ASSERT_EQ(dialog.list()->rows.size(), 3u);
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(dialog.list()->rows[i], rows[i]);
  }
  EXPECT_EQ(dialog.SelectedRow(), 0);
  EXPECT_EQ(dialog.caption(), "選擇憑證匯出至憑證交換檔");
}

TEST_F(CertListDialogTest, DriverResults) {
  const struct {
    const char* script;
    int32_t code;
    int chosen;  // -1: left as it was
  } cases[] = {
      {"expect 204\nclick 1\n", Code(ErrorCode::kSuccess), 0},  // the first row is preselected
      {"expect 204\nselect 2\nclick 1\n", Code(ErrorCode::kSuccess), 2},
      {"expect 204\nselect 2\nclick 2\n", Code(ErrorCode::kCancelled), -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    auto host = Host(c.script);
    int chosen = -1;
    EXPECT_EQ(ChooseCertificate(*host, candidates_, &chosen), c.code) << Log();
    EXPECT_EQ(chosen, c.chosen);
  }
  NoneHost none;
  int chosen = -1;
  EXPECT_EQ(ChooseCertificate(none, candidates_, &chosen), Code(ErrorCode::kCertificateNotFound));
  auto host = Host("expect 204\nclick 1\n");
  EXPECT_EQ(ChooseCertificate(*host, {}, &chosen), Code(ErrorCode::kCertificateNotFound));
  EXPECT_EQ(host->remaining_actions(), 2u) << "an empty list is never shown";
  EXPECT_EQ(chosen, -1);
}

// Each press of View writes the selected certificate to temp.cer, replacing the last one, and
// hands it to the viewer; the dialog stays open.
TEST_F(CertListDialogTest, ViewWritesTheSelectedCertificateToTempCer) {
  testing::TempDir temp;
  testing::ScopedEnv tmpdir("TMPDIR", temp.path().c_str());
  const std::string temp_cer = (temp.path() / "temp.cer").string();
  auto host = Host("expect 204\nselect 0\nclick 302\nselect 1\nclick 302\nclick 1\n");
  int chosen = -1;
  EXPECT_EQ(ChooseCertificate(*host, candidates_, &chosen), Code(ErrorCode::kSuccess));
  EXPECT_EQ(chosen, 1);
  const std::string log = Log();
  const std::string view = "view " + temp_cer + "\n";
  EXPECT_NE(log.find(view), log.rfind(view)) << "viewed twice: " << log;
  EXPECT_EQ(testing::ReadWholeFile(temp_cer), candidates_[1]);
}

}  // namespace
}  // namespace kelvadrome
