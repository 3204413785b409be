// Choosing a signer from "MY" or a PFX file, with the scripted user for the dialogs.
#include "ops/signer_selection.h"

#include <filesystem>
#include <memory>

#include <semaphore.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "codec/cert_info.h"
#include "frame/cert_component.h"
#include "platform/cert_store.h"
#include "platform/text.h"
#include "support/openssl_ca.h"
#include "support/test_support.h"
#include "support/x509_builder.h"
#include "ui/dialog_host.h"

namespace kelvadrome {
namespace {

using testing::RunCommand;
using testing::ShellQuote;

TEST(ParseCompareDate, AcceptsFourteenDigitsOfARealUtcTime) {
  const struct {
    const char* text;
    bool accepted;
    int64_t when;
  } cases[] = {
      {"", true, 0},  // no date
      {"20120229235959", true, 1330559999},
      {"19700101000000", true, 0},
      {"2012022923595", false, 0},   // 13 digits
      {"2012-02-29 235", false, 0},  // separators
      {"20121301000000", false, 0},  // month 13
      {"20120230000000", false, 0},  // 30 February
      {"20110229000000", false, 0},  // not a leap year
      {"20120100000000", false, 0},  // day 0
      {"20120101240000", false, 0},  // hour 24
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::optional<int64_t> when = 99;
    EXPECT_EQ(ParseCompareDate(c.text, &when), c.accepted);
    if (c.accepted && *c.text != '\0') {
      EXPECT_EQ(when, c.when);
    }
    if (*c.text == '\0') {
      EXPECT_FALSE(when.has_value());
    }
  }
  EXPECT_EQ(SignerSourcesOf(0), (SignerSources{true, true}));
  EXPECT_EQ(SignerSourcesOf(0x100), (SignerSources{true, false}));
  EXPECT_EQ(SignerSourcesOf(0x200), (SignerSources{false, true}));
  EXPECT_EQ(SignerSourcesOf(0x300 | 0x8), (SignerSources{true, true}));
}

class SignerSelectionTest : public ::testing::Test {
 protected:
  SignerSelectionTest()
      : profile_("KELVADROME_PROFILE", (dir_.path() / "profile").c_str()),
        dialogs_("KELVADROME_DIALOGS", "none") {}

  CertComponent& Component(const std::string& script = {}) {
    ComponentEnvironment environment;
    if (!script.empty()) {
      host_ = MakeDialogHost("script:" + dir_.WriteFile("user.script", script).string());
      environment.dialog_host = host_.get();
    }
    component_ = std::make_unique<CertComponent>(std::move(environment));
    return *component_;
  }

  std::vector<uint8_t> AddToMy(const std::string& cn,
                               const std::string& not_after = "300101000000Z") {
    testing::CertificateSpec spec;
    spec.subject = {{"CN", cn}};
    spec.not_before = "050101000000Z";
    spec.not_after = not_after;
    spec.serial = {static_cast<uint8_t>(++serial_)};
    auto der = testing::MakeCertificateDer(spec);
    EXPECT_TRUE(CertStore::OpenSystem("MY")->Add(der, AddDisposition::kAlways).has_value());
    return der;
  }

  // A PFX file (password "pfx-pass") holding a key and a certificate for |cn| issued by a test CA.
  std::filesystem::path MakePfx(const std::string& cn) {
    std::filesystem::create_directories(dir_.path() / "ca");
    testing::OpensslCa ca(dir_.path() / "ca");
    const auto [key, certificate] = ca.IssueWithNewKey("signer", "/CN=" + cn);
    const auto pfx = dir_.path() / "signer.pfx";
    EXPECT_EQ(RunCommand("openssl pkcs12 -export -inkey " + ShellQuote(key.string()) + " -in " +
                         ShellQuote(certificate.string()) + " -passout pass:pfx-pass -out " +
                         ShellQuote(pfx.string())),
              0);
    return pfx;
  }

  testing::TempDir dir_;
  testing::ScopedEnv profile_;
  testing::ScopedEnv dialogs_;
  std::unique_ptr<DialogHost> host_;
  std::unique_ptr<CertComponent> component_;
  int serial_ = 0;
};

TEST_F(SignerSelectionTest, TheStoreChoiceFollowsTheChoiceMode) {
  const auto alice = AddToMy("Alice");
  const auto bob = AddToMy("Bob");
  const struct {
    const char* label;
    std::string filter;
    int32_t flags;
    std::string script;  // empty: no dialog may be shown
    std::vector<uint8_t> expected;
  } cases[] = {
      {"one match is taken without a dialog", "S_CN=Bob", 0x100, "", bob},
      {"choice mode 1 shows the list even for one", "S_CN=Bob", 0x101, "expect 204\nclick 1\n",
       bob},
      {"several matches: the user picks the second", "", 0x100, "expect 204\nselect 1\nclick 1\n",
       bob},
      {"choice mode 2 takes the best without a dialog", "", 0x102, "", alice},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    CertComponent& component = Component(c.script);
    EXPECT_EQ(component.SelectSigner(ConvertToWide(c.filter), c.flags, 0), 0);
    EXPECT_EQ(component.selected_signer().source, SignerSource::kStore);
    EXPECT_EQ(component.selected_signer().der, c.expected);
    EXPECT_EQ(
        component.selected_signer().thumbprint,
        CertInfo(c.expected.data(), static_cast<int32_t>(c.expected.size())).GetFingerprint());
    EXPECT_EQ(component.GetSignerPfxFilePath(), u"");
  }
  // Closing the list without a choice takes nothing, and with only the store asked that is 0.
  CertComponent& component = Component("expect 204\nclick 2\n");
  EXPECT_EQ(component.SelectSigner(u"", 0x100, 0), 0);
  EXPECT_TRUE(component.selected_signer().der.empty());
}

TEST_F(SignerSelectionTest, SourcesDatesAndRefusals) {
  AddToMy("Carol", "150101000000Z");  // expired in 2015
  const auto pfx = MakePfx("Dave Signer");
  const auto folder = ConvertToWide(pfx.parent_path().string());
  CertComponent& component = Component();
  // Only the store: its filter's code, and no file is asked for (the none host would give 5002).
  EXPECT_EQ(component.SelectSigner(u"S_CN=Nobody", 0x108, 0), 5010);
  // A date makes the filter check validity: Carol had expired by 2020.
  EXPECT_EQ(component.SelectSignerEx(u"S_CN=Carol", u"", u"", u"", u"20200101000000", 0x108, 0),
            5011);
  EXPECT_EQ(component.SelectSignerEx(u"S_CN=Carol", u"", u"", u"", u"20100101000000", 0x108, 0), 0);
  EXPECT_EQ(component.SelectSignerEx(u"", u"", u"", u"", u"2010010100000", 0, 0), 5005);
  // The PFX source asks for a file, which nobody can give here.
  EXPECT_EQ(component.SelectSigner(u"", 0x200, 0), 5002);
  // An existing file with its password needs no dialog, even when only the store was asked for.
  EXPECT_EQ(
      component.SelectSignerEx(u"S_CN=Dave", folder, u"signer.pfx", u"pfx-pass", u"", 0x108, 0), 0);
  EXPECT_EQ(component.selected_signer().source, SignerSource::kPfxFile);
  EXPECT_EQ(component.GetSignerPfxFilePath(), folder);
  EXPECT_EQ(component.GetSignerPfxFileName(), u"signer.pfx");
  EXPECT_EQ(component.selected_signer().pfx_password, "pfx-pass");
  EXPECT_EQ(component.SelectSignerEx(u"", folder, u"signer.pfx", u"wrong", u"", 0x200, 0), 5208);
  EXPECT_EQ(component.selected_signer().source, SignerSource::kNone)
      << "a failed selection leaves no signer";
  // With an empty password the dialog shows the file; the scripted user types the password.
  CertComponent& prompted = Component("expect 202\nset 303 pfx-pass\nclick 1\n");
  EXPECT_EQ(prompted.SelectSignerEx(u"", folder, u"signer.pfx", u"", u"", 0x200, 0), 0);
  EXPECT_EQ(prompted.selected_signer().pfx_password, "pfx-pass");
}

TEST_F(SignerSelectionTest, AnotherInstanceTakesThePublishedSignerWithoutAsking) {
  const std::string block = "kelvadrome-test-share-" + std::to_string(::getpid());
  testing::ScopedEnv share("KELVADROME_SHARE_NAME", block.c_str());
  AddToMy("Alice");
  const auto bob = AddToMy("Bob");
  // The first instance asks the user, who picks Bob, and publishes him.
  CertComponent& first = Component("expect 204\nselect 1\nclick 1\n");
  ASSERT_EQ(first.SelectSignerEx2(u"", u"", u"", 0, u"", 0x100, 0), 0);
  ASSERT_EQ(first.selected_signer().der, bob);
  // A second instance, with nobody to ask: with dwPort > 0 it takes Bob; without, it would have to
  // ask (two matches) and cannot.
  ComponentEnvironment quiet;
  CertComponent second(std::move(quiet));
  EXPECT_EQ(second.SelectSignerEx2(u"", u"", u"", 1, u"", 0x100, 0), 0);
  EXPECT_EQ(second.selected_signer().der, bob);
  EXPECT_EQ(second.selected_signer().source, SignerSource::kStore);
  CertComponent third{ComponentEnvironment{}};
  EXPECT_EQ(third.SelectSignerEx2(u"", u"", u"", 0, u"", 0x100, 0), 0);
  EXPECT_TRUE(third.selected_signer().der.empty()) << "the list could not be shown";
  // The change events outlive the block; this test's are removed.
  const std::string uid = "." + std::to_string(::getuid());
  for (const std::string& event : {block, std::string("signerMedia"),
                                   std::string("signerCertBytes"), std::string("signerCertHash")}) {
    sem_unlink(("/" + event + "_Event" + uid).c_str());
  }
}

}  // namespace
}  // namespace kelvadrome
