// The card provider end to end on a SoftHSM2 token: the component's own methods make the key on
// the token, an openssl authority issues the certificate, acceptance puts it on the token and in
// "MY", and signing and decryption run on the token; openssl and pkcs11-tool judge the results.
// A program of its own: p11-kit is pointed at the test token before the first token call.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <filesystem>

#include "codec/byte_buffer.h"
#include "frame/call_guard.h"
#include "frame/cert_component.h"
#include "platform/key_container.h"
#include "platform/last_error.h"
#include "platform/pkcs11_tokens.h"
#include "platform/profile.h"
#include "platform/token_certificates.h"
#include "platform/text.h"
#include "support/openssl_ca.h"
#include "support/softhsm.h"
#include "support/scoped_code_page.h"
#include "support/test_support.h"
#include "ui/dialog_host.h"

namespace kelvadrome {
namespace {

using testing::RunCommand;
using testing::ShellQuote;
using testing::Utf16Le;

constexpr char kPin[] = "2468";
constexpr char kCard[] = "Kelvadrome Smart Card Cryptographic Provider";
constexpr char16_t kCard16[] = u"Kelvadrome Smart Card Cryptographic Provider";

testing::SoftHsm* hsm = nullptr;
bool token_ready = false;
std::filesystem::path removable_folder;

// Both tokens are made before the first token call: the software token lists the tokens that
// exist when the process first loads it, and notices only their removal afterwards.
// The tokens go through the test card module, which gives "locking card" a PIN that locks and
// "pin pad card" a PIN pad.
class SoftHsmEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    hsm = new testing::SoftHsm();  // lives as long as the process
    token_ready = hsm->Start(KELVADROME_TEST_CARD_MODULE);
    for (const char* label : {"road token", "locking card", "pin pad card"}) {
      token_ready = token_ready && !hsm->InitToken(label, kPin).empty();
    }
    if (token_ready) removable_folder = hsm->InitToken("removable", kPin);
    token_ready = token_ready && !removable_folder.empty();
    // Every opening of "MY" looks at the tokens, so a test sees a change at once.
    SetTokenRefreshInterval(std::chrono::milliseconds(0));
  }
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new SoftHsmEnvironment);

// The person at the PIN dialog, answering from a script (nullopt: Cancel) and counting questions.
struct PinScript {
  std::deque<std::optional<std::string>> answers;
  bool remember = false;  // the person ticks "keep the PIN"
  int asked = 0;
  TokenPinPrompt Prompt() {
    return [this](const PinRequest&) -> std::optional<PinAnswer> {
      ++asked;
      if (answers.empty() || !answers.front()) return std::nullopt;
      PinAnswer answer{SecretString(*answers.front()), remember};
      answers.pop_front();
      return answer;
    };
  }
};

std::vector<uint8_t> FromBase64(const std::u16string& text) {
  ByteBuffer bytes;
  EXPECT_TRUE(bytes.Base64Decode(Utf16ToUtf8(text).c_str()));
  return std::vector<uint8_t>(bytes.data(), bytes.data() + bytes.length());
}

class TokenRoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!token_ready) GTEST_SKIP() << hsm->why_not();
    component_ = std::make_unique<CertComponent>();
    // After the component installed the dialog prompt: the test answers instead.
    previous_ = SetTokenPinPrompt(pins_.Prompt());
    ForgetTokenPins();
  }
  void TearDown() override {
    if (token_ready) SetTokenPinPrompt(previous_);
  }

  // Enrol makes a key and request for |name| on the token labelled |token| (the person's choice
  // of the tokens present), has the authority issue it and accepts it; returns the certificate's
  // file (empty on failure).
  std::filesystem::path Enrol(const std::u16string& name, const std::string& token) {
    const TokenChooser previous = SetTokenChooser([token](const std::vector<TokenInfo>& tokens) {
      for (size_t i = 0; i < tokens.size(); ++i) {
        if (tokens[i].ref.label == token) return std::optional<size_t>(i);
      }
      return std::optional<size_t>();
    });
    EXPECT_EQ(component_->SetProviderName(kCard16), 0);
    const std::u16string request = component_->CreatePKCS10(name, 2048, 1);
    SetTokenChooser(previous);
    EXPECT_EQ(component_->GetErrorCode(), 0) << std::hex << component_->GetCapiErrorCode();
    if (request.empty()) return {};
    const auto issued = ca_.Issue(Utf16ToUtf8(request), Utf16ToUtf8(name).substr(0, 8));
    EXPECT_EQ(component_->AcceptPKCS7(ConvertToWide(testing::Base64Body(issued))), 0)
        << std::hex << component_->GetCapiErrorCode();
    return issued;
  }

  // OpensslVerifies checks the PKCS #7 |signature| with openssl against the test authority (the
  // signer's certificate |signer| given beside it) and that it carries |text| as UTF-16LE.
  bool OpensslVerifies(const std::u16string& signature, const std::u16string& text,
                       const std::filesystem::path& signer) {
    const auto der = FromBase64(signature);
    const auto message = dir_.WriteFile("message.p7", std::string(der.begin(), der.end()));
    const auto anchors = dir_.WriteFile("anchors.pem", testing::FileText(ca_.root()) + "\n" +
                                                           testing::FileText(ca_.intermediate()));
    const auto out = dir_.path() / "content";
    std::string said;
    const int status = RunCommand(
        "openssl cms -verify -binary -purpose any -inform DER -in " + ShellQuote(message.string()) +
            " -CAfile " + ShellQuote(anchors.string()) + " -certfile " +
            ShellQuote(signer.string()) + " -out " + ShellQuote(out.string()) + " 2>&1",
        &said);
    EXPECT_EQ(status, 0) << said;
    return status == 0 && testing::FileText(out) == Utf16Le(text);
  }

  // OpensslEnvelope returns, in Base64, the PKCS #7 envelope openssl makes of |text| (UTF-16LE)
  // for the certificate in |recipient|.
  std::u16string OpensslEnvelope(const std::u16string& text,
                                 const std::filesystem::path& recipient) {
    const auto content = dir_.WriteFile("secret", Utf16Le(text));
    const auto envelope = dir_.path() / "envelope.der";
    EXPECT_EQ(RunCommand("openssl cms -encrypt -binary -aes256 -outform DER -in " +
                         ShellQuote(content.string()) + " -out " + ShellQuote(envelope.string()) +
                         " " + ShellQuote(recipient.string())),
              0);
    ByteBuffer encoded;
    const auto bytes = testing::ReadWholeFile(envelope);
    EXPECT_TRUE(encoded.Base64Encode(bytes.data(), static_cast<int32_t>(bytes.size())));
    return ConvertToWide(encoded.ToString());
  }

  // Signs through the component's call guard, as every surface does; returns the error code.
  int32_t GuardedSign() {
    return GuardedCall<int32_t>(*component_, [](CertComponent& component) {
      component.SignPkcs7(u"text", 0);
      return component.GetErrorCode();
    });
  }

  testing::TempDir dir_;
  testing::ScopedEnv profile_{"KELVADROME_PROFILE", (dir_.path() / "profile").c_str()};
  testing::ScopedEnv dialogs_{"KELVADROME_DIALOGS", "none"};
  testing::ScopedCodePage utf8_{"UTF-8"};
  testing::OpensslCa ca_{dir_.path()};
  PinScript pins_{{kPin, kPin, kPin, kPin, kPin, kPin}};
  TokenPinPrompt previous_;
  std::unique_ptr<CertComponent> component_;
};

TEST_F(TokenRoadTest, EnrolSignAndDecryptOnTheTokenWithNoPrivateKeyInTheProfile) {
  const auto issued = Enrol(u"Token Holder 憑證", "road token");
  ASSERT_FALSE(issued.empty());

  // The key pair and the certificate are on the token, the key never extractable; the profile
  // holds no private key at all.
  std::string objects;
  ASSERT_EQ(
      hsm->Pkcs11Tool(
          "--token-label 'road token' --list-objects --login --pin " + std::string(kPin), &objects),
      0);
  EXPECT_NE(objects.find("Private Key Object; RSA"), std::string::npos) << objects;
  EXPECT_NE(objects.find("never extractable"), std::string::npos) << objects;
  EXPECT_NE(objects.find("Certificate Object"), std::string::npos) << objects;
  auto profile = ProfileDatabase::OpenUser();
  ASSERT_NE(profile, nullptr);
  ProfileStatement software = profile->Prepare("SELECT count(*) FROM container_keys");
  ASSERT_EQ(software.Step(), ProfileStatement::StepResult::kRow);
  EXPECT_EQ(software.ColumnInt(0), 0);

  // The container answers with the token's key: no flags (a card key is never exportable), and
  // the certificate acceptance stored beside it.
  auto containers = KeyContainerStore::OpenUser();
  const auto listing = containers->List();
  ASSERT_TRUE(listing && listing->size() == 1u);
  EXPECT_EQ(listing->front().provider, kCard);
  auto container = containers->Open(listing->front().name, kCard, 1);
  ASSERT_NE(container, nullptr);
  const auto key = container->DescribeKey(key_spec::kExchange);
  ASSERT_TRUE(key);
  EXPECT_EQ(key->flags, 0u);
  EXPECT_EQ(key->bits, 2048u);
  EXPECT_EQ(container->Certificate(key_spec::kExchange),
            FromBase64(ConvertToWide(testing::Base64Body(issued))));
  EXPECT_FALSE(container->ExportPrivateKeyPkcs8(key_spec::kExchange));

  // Select it from "MY" and sign; openssl verifies.
  ASSERT_EQ(component_->SelectSigner(u"S_CN=Token Holder 憑證", 0x108, 0), 0);
  const std::u16string text = u"簽章 on the token";
  const std::u16string signature = component_->SignPkcs7(text, 0);
  ASSERT_EQ(component_->GetErrorCode(), 0) << std::hex << component_->GetCapiErrorCode();
  EXPECT_TRUE(OpensslVerifies(signature, text, issued));

  // A PKCS #1 signature (Base64, SHA-1 of the UTF-16LE text) made on the token verifies with the
  // certificate's public key.
  const std::u16string pkcs1 = component_->SignPkcs1(text, 0x0100);
  ASSERT_EQ(component_->GetErrorCode(), 0) << std::hex << component_->GetCapiErrorCode();
  const auto raw = FromBase64(pkcs1);
  const auto signature_file = dir_.WriteFile("pkcs1.sig", std::string(raw.begin(), raw.end()));
  const auto signed_file = dir_.WriteFile("pkcs1.txt", Utf16Le(text));
  const auto public_key = dir_.path() / "public.pem";
  std::string said;
  EXPECT_EQ(RunCommand("openssl x509 -pubkey -noout -in " + ShellQuote(issued.string()) + " > " +
                           ShellQuote(public_key.string()) + " && openssl dgst -sha1 -verify " +
                           ShellQuote(public_key.string()) + " -signature " +
                           ShellQuote(signature_file.string()) + " " +
                           ShellQuote(signed_file.string()) + " 2>&1",
                       &said),
            0)
      << said;

  // An envelope openssl made for the certificate opens with the token's key.
  EXPECT_EQ(component_->CertDecryptPkcs7(OpensslEnvelope(u"機密 text", issued), 0), u"機密 text");
  EXPECT_EQ(component_->GetErrorCode(), 0) << std::hex << component_->GetCapiErrorCode();
}

TEST_F(TokenRoadTest, PinAnswersAndAMissingTokenGiveTheCardCodes) {
  // The second token, chosen for this key and taken away later.
  std::optional<TokenRef> removable;
  for (const TokenInfo& token : PresentTokens()) {
    if (token.ref.label == "removable") removable = token.ref;
  }
  ASSERT_TRUE(removable);
  ASSERT_FALSE(Enrol(u"Removable Holder", "removable").empty());
  const auto keys = TokenKeys(*removable);
  ASSERT_TRUE(keys);
  EXPECT_EQ(keys->size(), 1u) << "the person's choice of token was followed";
  ASSERT_EQ(component_->SelectSigner(u"S_CN=Removable Holder", 0x108, 0), 0);

  const struct {
    const char* label;
    std::optional<std::string> answer;  // nullopt: Cancel
    int32_t code;
    uint32_t platform_error;
  } cases[] = {
      {"wrong PIN", "0000", 3206, card_error::kWrongPin},
      {"cancelled", std::nullopt, 5070, card_error::kCancelled},
      {"right PIN", std::string(kPin), 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ForgetTokenPins();  // logged out: the signature needs the PIN
    pins_.answers = {c.answer};
    component_->SignPkcs7(u"text", 0);
    EXPECT_EQ(component_->GetErrorCode(), c.code);
    EXPECT_EQ(static_cast<uint32_t>(component_->GetCapiErrorCode()), c.platform_error);
  }

  // Taken away between selection and signing: the card is not ready, nor is there any signature.
  std::filesystem::remove_all(removable_folder);
  EXPECT_EQ(component_->SignPkcs7(u"text", 0), u"");
  EXPECT_EQ(component_->GetErrorCode(), 5225);
  EXPECT_EQ(static_cast<uint32_t>(component_->GetCapiErrorCode()), card_error::kNoCard);
}

TEST_F(TokenRoadTest, ALockedPinIsNotAskedForAndAPinPadNeedsNoTypedPin) {
  // Three wrong PINs in a row lock the card's PIN; from then on nobody is asked.
  ASSERT_FALSE(Enrol(u"Locking Holder", "locking card").empty());
  ASSERT_EQ(component_->SelectSigner(u"S_CN=Locking Holder", 0x108, 0), 0);
  for (int attempt = 1; attempt <= 3; ++attempt) {
    SCOPED_TRACE(attempt);
    ForgetTokenPins();
    pins_.answers = {"0000"};
    component_->SignPkcs7(u"text", 0);
    EXPECT_EQ(component_->GetErrorCode(), 3206);
  }
  pins_.answers = {kPin};
  const int asked = pins_.asked;
  EXPECT_EQ(component_->SignPkcs7(u"text", 0), u"");
  EXPECT_EQ(component_->GetErrorCode(), 3204);
  EXPECT_EQ(static_cast<uint32_t>(component_->GetCapiErrorCode()), card_error::kPinBlocked);
  EXPECT_EQ(pins_.asked, asked);

  // On a reader with a PIN pad the person types there: the dialog never shows, and the Cancel key
  // of the pad cancels.
  {
    testing::ScopedEnv pad("KELVADROME_TEST_PIN_PAD", kPin);
    ASSERT_FALSE(Enrol(u"Pad Holder", "pin pad card").empty());
    ASSERT_EQ(component_->SelectSigner(u"S_CN=Pad Holder", 0x108, 0), 0);
    EXPECT_EQ(GuardedSign(), 0);
  }
  testing::ScopedEnv pad("KELVADROME_TEST_PIN_PAD", "cancel");
  EXPECT_EQ(GuardedSign(), 5070);
  EXPECT_EQ(static_cast<uint32_t>(component_->GetCapiErrorCode()), card_error::kCancelled);
  EXPECT_EQ(pins_.asked, asked);
}

TEST_F(TokenRoadTest, APinIsAskedForEachCallUnlessThePersonKeepsIt) {
  ASSERT_FALSE(Enrol(u"Keeping Holder", "road token").empty());
  ASSERT_EQ(component_->SelectSigner(u"S_CN=Keeping Holder", 0x108, 0), 0);
  const struct {
    const char* label;
    bool remember;
    int asked;  // questions for three calls
  } cases[] = {{"not kept", false, 3}, {"kept", true, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ForgetTokenPins();
    pins_.remember = c.remember;
    pins_.answers = {kPin, kPin, kPin};
    const int before = pins_.asked;
    for (int call = 0; call < 3; ++call) EXPECT_EQ(GuardedSign(), 0);
    EXPECT_EQ(pins_.asked - before, c.asked);
  }
}

TEST_F(TokenRoadTest, CertificatesOfAPresentTokenAreInMyWhileItIsThere) {
  // Another program put a key pair and its certificate on the token, and an authority's
  // certificate with no key beside it, which stays out of "MY".
  const auto elsewhere = ca_.IssueWithNewKey("elsewhere", "/CN=Issued Elsewhere/O=Interop");
  const auto key = dir_.path() / "key.der";
  const auto public_key = dir_.path() / "public.der";
  const auto certificate = dir_.path() / "certificate.der";
  ASSERT_EQ(RunCommand("openssl pkey -in " + ShellQuote(elsewhere.key.string()) +
                       " -outform DER -out " + ShellQuote(key.string()) + " && openssl pkey -in " +
                       ShellQuote(elsewhere.key.string()) + " -pubout -outform DER -out " +
                       ShellQuote(public_key.string()) + " && openssl x509 -in " +
                       ShellQuote(elsewhere.certificate.string()) + " -outform DER -out " +
                       ShellQuote(certificate.string())),
            0);
  const auto authority = dir_.WriteFile("authority.der", "");
  ASSERT_EQ(RunCommand("openssl x509 -in " + ShellQuote(ca_.root().string()) +
                       " -outform DER -out " + ShellQuote(authority.string())),
            0);
  const int32_t count = component_->GetIECertCount();
  const struct {
    std::filesystem::path file;
    const char* type;
    const char* id;
  } objects[] = {{key, "privkey", "4242"},
                 {public_key, "pubkey", "4242"},
                 {certificate, "cert", "4242"},
                 {authority, "cert", "99"}};
  for (const auto& object : objects) {
    std::string said;
    ASSERT_EQ(hsm->Pkcs11Tool("--token-label removable --login --pin " + std::string(kPin) +
                                  " --write-object " + ShellQuote(object.file.string()) +
                                  " --type " + object.type + " --id " + object.id +
                                  " --label Elsewhere",
                              &said),
              0)
        << said;
  }

  // "MY" shows it, linked to the key on the token: signing and decryption run there, and the key
  // cannot be exported.
  ASSERT_EQ(component_->GetIECertCount(), count + 1);
  ASSERT_EQ(component_->SelectSigner(u"S_CN=Issued Elsewhere", 0x108, 0), 0);
  const std::u16string signature = component_->SignPkcs7(u"signed elsewhere", 0);
  ASSERT_EQ(component_->GetErrorCode(), 0) << std::hex << component_->GetCapiErrorCode();
  EXPECT_TRUE(OpensslVerifies(signature, u"signed elsewhere", elsewhere.certificate));
  EXPECT_EQ(component_->CertDecryptPkcs7(OpensslEnvelope(u"sealed", elsewhere.certificate), 0),
            u"sealed");
  const auto script = dir_.WriteFile("export.script", "expect 206\nset 303 pw\nset 304 pw\nclick 1\n");
  const auto host = MakeDialogHost("script:" + script.string());
  ComponentEnvironment with_dialogs;
  with_dialogs.dialog_host = host.get();
  CertComponent exporter(std::move(with_dialogs));
  EXPECT_EQ(exporter.ExportPfxFromIE(u"S_CN=Issued Elsewhere", ConvertToWide(dir_.path().string()),
                                     u"", 0x8, 0),
            5205);
  EXPECT_EQ(static_cast<uint32_t>(exporter.GetCapiErrorCode()), key_error::kBadKeyState);

  // Taken away, the token's certificate leaves "MY" too.
  std::filesystem::remove_all(removable_folder);
  EXPECT_EQ(component_->GetIECertCount(), count);
  EXPECT_NE(component_->SelectSigner(u"S_CN=Issued Elsewhere", 0x108, 0), 0);
}

}  // namespace
}  // namespace kelvadrome
