// PKCS #1 signatures by the selected signer, checked with the openssl command.
#include "ops/signing.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <semaphore.h>

#include <gtest/gtest.h>

#include "codec/byte_buffer.h"
#include "codec/digest.h"
#include "frame/cert_component.h"
#include "ops/signer_share.h"
#include "platform/cert_chain.h"
#include "platform/cert_store.h"
#include "platform/pkcs7_certificates.h"
#include "platform/profile.h"
#include "platform/text.h"
#include "support/openssl_ca.h"
#include "support/scoped_code_page.h"
#include "support/test_support.h"
#include "ui/dialog_host.h"

namespace kelvadrome {
namespace {

using testing::RunCommand;
using testing::ShellQuote;
using testing::Utf16Le;

class SigningTest : public ::testing::Test {
 protected:
  SigningTest()
      : profile_("KELVADROME_PROFILE", (dir_.path() / "profile").c_str()),
        dialogs_("KELVADROME_DIALOGS", "none") {
    // A key and a certificate from a test CA, in a PFX file with password "pw", and in a second
    // file together with the intermediate and the root.
    std::filesystem::create_directories(dir_.path() / "ca");
    testing::OpensslCa ca(dir_.path() / "ca");
    root_ = ca.root();
    intermediate_ = ca.intermediate();
    const auto [key, certificate] = ca.IssueWithNewKey("signer", "/CN=Signer");
    certificate_ = certificate;
    EXPECT_EQ(RunCommand("openssl x509 -pubkey -noout -in " + ShellQuote(certificate.string()) +
                         " > " + ShellQuote(public_key_.string())),
              0);
    const std::string export_key = "openssl pkcs12 -export -passout pass:pw -inkey " +
                                   ShellQuote(key.string()) + " -in " +
                                   ShellQuote(certificate.string());
    EXPECT_EQ(RunCommand(export_key + " -out " + ShellQuote((dir_.path() / "signer.pfx").string())),
              0);
    const auto chain = dir_.WriteFile(
        "chain.pem", testing::FileText(ca.intermediate()) + testing::FileText(ca.root()));
    EXPECT_EQ(RunCommand(export_key + " -certfile " + ShellQuote(chain.string()) + " -out " +
                         ShellQuote((dir_.path() / "chain.pfx").string())),
              0);
  }

  CertComponent& Component(const std::string& script = {}) {
    ComponentEnvironment environment;
    if (!script.empty()) {
      host_ = MakeDialogHost("script:" + dir_.WriteFile("user.script", script).string());
      environment.dialog_host = host_.get();
    }
    component_ = std::make_unique<CertComponent>(std::move(environment));
    return *component_;
  }

  std::u16string Folder() const { return ConvertToWide(dir_.path().string()); }

  // Whether openssl verifies |signature| (big-endian bytes) over |data| with |digest|.
  bool Verifies(const std::vector<uint8_t>& signature, const std::string& data,
                const std::string& digest) {
    const auto data_file = dir_.WriteFile("data", data);
    const auto signature_file =
        dir_.WriteFile("signature", std::string(signature.begin(), signature.end()));
    return RunCommand("openssl dgst -" + digest + " -verify " + ShellQuote(public_key_.string()) +
                      " -signature " + ShellQuote(signature_file.string()) + " " +
                      ShellQuote(data_file.string())) == 0;
  }

  testing::TempDir dir_;
  testing::ScopedEnv profile_;
  testing::ScopedEnv dialogs_;
  testing::ScopedCodePage utf8_{"UTF-8"};
  std::filesystem::path public_key_ = dir_.path() / "signer-public.pem";
  std::filesystem::path root_;
  std::filesystem::path intermediate_;
  std::filesystem::path certificate_;
  std::unique_ptr<DialogHost> host_;
  std::unique_ptr<CertComponent> component_;
};

std::vector<uint8_t> Decode(const std::u16string& text, bool base64) {
  ByteBuffer bytes;
  const std::string narrow(text.begin(), text.end());
  EXPECT_TRUE(base64 ? bytes.Base64Decode(narrow.c_str()) : bytes.HexDecode(narrow.c_str()));
  return std::vector<uint8_t>(bytes.data(), bytes.data() + bytes.length());
}

TEST_F(SigningTest, SignaturesVerifyWithOpensslOverTheBytesTheFlagsSelect) {
  const std::u16string content = u"Pay 100 to 王小明";
  const std::string code_page_bytes = Utf16ToUtf8(content);  // the fixture's code page is UTF-8
  ByteBuffer md5_of_code_page;
  {
    Md5Digest md5;
    md5.Compute(code_page_bytes.data(), static_cast<int32_t>(code_page_bytes.size()));
    md5_of_code_page.Append(md5.data(), md5.length());
  }
  const struct {
    const char* label;
    int32_t flags;
    std::string signed_data;  // what openssl must verify the signature over
    const char* digest;
  } cases[] = {
      {"SHA-1 of UTF-16LE, hex", 0, Utf16Le(content), "sha1"},
      {"Base64", 0x0100, Utf16Le(content), "sha1"},
      {"code-page bytes", 0x0800, code_page_bytes, "sha1"},
      {"MD5", 0x1000 | 0x0800, code_page_bytes, "md5"},
      {"SHA-1 over MD5", 0x2000 | 0x0800, md5_of_code_page.ToString(), "sha1"},
      {"MD5 wins over SHA-1 over MD5", 0x3000 | 0x0800, code_page_bytes, "md5"},
      {"least significant byte first", 0x4000 | 0x0100, Utf16Le(content), "sha1"},
  };
  CertComponent& component = Component();
  ASSERT_EQ(component.SelectSignerEx(u"", Folder(), u"signer.pfx", u"pw", u"", 0x200, 0), 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const std::u16string text = component.SignPkcs1(content, c.flags);
    ASSERT_EQ(component.GetErrorCode(), 0);
    std::vector<uint8_t> signature = Decode(text, (c.flags & 0x0100) != 0);
    EXPECT_EQ(signature.size(), 256u);
    if ((c.flags & 0x4000) != 0) std::reverse(signature.begin(), signature.end());
    EXPECT_TRUE(Verifies(signature, c.signed_data, c.digest));
  }
  // A signer from "MY" signs the same way.
  ASSERT_EQ(component.ImportPfxToIE(Folder(), u"signer.pfx", u"pw", 0, 0), 0);
  ASSERT_EQ(component.SelectSigner(u"S_CN=Signer", 0x108, 0), 0);
  const std::u16string text = component.SignPkcs1(content, 0x0100);
  ASSERT_EQ(component.GetErrorCode(), 0);
  EXPECT_TRUE(Verifies(Decode(text, true), Utf16Le(content), "sha1"));
}

TEST_F(SigningTest, RefusalsGiveTheirCodesAndNoSignature) {
  CertComponent& component = Component();
  EXPECT_EQ(component.SignPkcs1(u"text", 0), u"");
  EXPECT_EQ(component.GetErrorCode(), 5067) << "no signer selected";
  ASSERT_EQ(component.SelectSignerEx(u"", Folder(), u"signer.pfx", u"pw", u"", 0x200, 0), 0);
  EXPECT_EQ(component.SignPkcs1(u"", 0), u"");
  EXPECT_EQ(component.GetErrorCode(), 5005);
  // Nobody can confirm: the dialog cannot be shown.
  EXPECT_EQ(component.SignPkcs1(u"text", 0x8000), u"");
  EXPECT_EQ(component.GetErrorCode(), 5002);
  // The file went away after the selection.
  std::filesystem::rename(dir_.path() / "signer.pfx", dir_.path() / "moved.pfx");
  EXPECT_EQ(component.SignPkcs1(u"text", 0), u"");
  EXPECT_EQ(component.GetErrorCode(), 1102);
  std::filesystem::rename(dir_.path() / "moved.pfx", dir_.path() / "signer.pfx");

  // A user who refuses, and one who agrees.
  CertComponent& refusing = Component("expect 201\nclick 2\n");
  ASSERT_EQ(refusing.SelectSignerEx(u"", Folder(), u"signer.pfx", u"pw", u"", 0x200, 0), 0);
  EXPECT_EQ(refusing.SignPkcs1(u"text", 0x8000), u"");
  EXPECT_EQ(refusing.GetErrorCode(), 5070);
  CertComponent& agreeing = Component("expect 201\nclick 1\n");
  ASSERT_EQ(agreeing.SelectSignerEx(u"", Folder(), u"signer.pfx", u"pw", u"", 0x200, 0), 0);
  EXPECT_NE(agreeing.SignPkcs1(u"text", 0x8000), u"");
  EXPECT_EQ(agreeing.GetErrorCode(), 0);
}

TEST_F(SigningTest, AStoreSignerFollowsWhatAnotherConnectionChangedInMy) {
  // Between signatures the signer's store and key are kept, and the certificate and link found
  // are reused while nothing changed in the profile; a change made elsewhere must be seen.
  CertComponent& component = Component();
  ASSERT_EQ(component.ImportPfxToIE(Folder(), u"signer.pfx", u"pw", 0, 0), 0);
  ASSERT_EQ(component.SelectSigner(u"S_CN=Signer", 0x108, 0), 0);
  const auto remove_signer = [] {
    auto personal = CertStore::OpenSystem("MY");
    auto listed = personal ? personal->Enumerate() : std::nullopt;
    return listed && listed->size() == 1 && personal->Delete(listed->front().id);
  };
  const auto import_again = [&] {
    CertComponent other;
    return other.ImportPfxToIE(Folder(), u"signer.pfx", u"pw", 0, 0) == 0;
  };
  const struct {
    const char* label;
    std::function<bool()> change;
    int32_t code;
  } steps[] = {
      {"nothing changed", [] { return true; }, 0},
      {"the certificate was deleted", remove_signer, 5067},
      {"it was imported again, with a new key container", import_again, 0},
      {"nothing changed since", [] { return true; }, 0},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.label);
    ASSERT_TRUE(step.change());
    const std::u16string text = component.SignPkcs1(u"text", 0x0100);
    EXPECT_EQ(component.GetErrorCode(), step.code);
    if (step.code == 0) {
      EXPECT_TRUE(Verifies(Decode(text, true), Utf16Le(u"text"), "sha1"));
    }
  }
}

TEST_F(SigningTest, AStoreKeyWhoseWrappingKeyIsGoneCannotBeReached) {
  CertComponent& component = Component();
  ASSERT_EQ(component.ImportPfxToIE(Folder(), u"signer.pfx", u"pw", 0, 0), 0);
  ASSERT_EQ(component.SelectSigner(u"S_CN=Signer", 0x108, 0), 0);
  // The profile names a wrapping key its store no longer has (a keyring that was reset).
  auto profile = ProfileDatabase::OpenUser();
  ASSERT_TRUE(profile && profile->Execute("UPDATE key_protection SET key_id = zeroblob(16)"));
  EXPECT_EQ(component.SignPkcs1(u"text", 0), u"");
  EXPECT_EQ(component.GetErrorCode(), 5206);
  EXPECT_EQ(static_cast<uint32_t>(component.GetCapiErrorCode()), 0x80090016u);
}

// The DER of a PEM certificate file.
std::vector<uint8_t> DerOf(const std::filesystem::path& pem) {
  ByteBuffer der;
  EXPECT_TRUE(der.Base64Decode(testing::Base64Body(pem).c_str()));
  return std::vector<uint8_t>(der.data(), der.data() + der.length());
}

class Pkcs7SigningTest : public SigningTest {
 protected:
  // Rewrites the PFX file |name| under the password "new" (it was "pw").
  void ChangePassword(const std::string& name) {
    const std::string pfx = (dir_.path() / name).string();
    const std::string pem = (dir_.path() / "plain.pem").string();
    ASSERT_EQ(RunCommand("openssl pkcs12 -in " + ShellQuote(pfx) + " -passin pass:pw -nodes -out " +
                         ShellQuote(pem) + " && openssl pkcs12 -export -passout pass:new -in " +
                         ShellQuote(pem) + " -out " + ShellQuote(pfx)),
              0);
    std::filesystem::remove(pem);
  }

  // Verifies the Base64 message |text| with openssl, the test root and intermediate as anchors and
  // the signer's certificate given separately (for messages that carry none); |content| is given
  // for a detached message. The message's DER is left in |der|, openssl's printout of it in
  // |printed|.
  bool OpensslVerifies(const std::u16string& text, const std::string& signed_bytes, bool detached,
                       std::vector<uint8_t>& der, std::string& printed) {
    der = Decode(text, true);
    const auto message = dir_.WriteFile("message.p7", std::string(der.begin(), der.end()));
    const auto content = dir_.WriteFile("content", signed_bytes);
    const auto anchors = dir_.WriteFile(
        "anchors.pem", testing::FileText(root_) + "\n" + testing::FileText(intermediate_));
    const auto out = dir_.path() / "verified";
    std::filesystem::remove(out);
    EXPECT_EQ(
        RunCommand("openssl cms -cmsout -print -inform DER -in " + ShellQuote(message.string()),
                   &printed),
        0);
    std::string verify_output;
    const int verified =
        RunCommand("openssl cms -verify -binary -purpose any -inform DER -in " +
                       ShellQuote(message.string()) + " -CAfile " + ShellQuote(anchors.string()) +
                       " -certfile " + ShellQuote(certificate_.string()) +
                       (detached ? " -content " + ShellQuote(content.string()) : std::string()) +
                       " -out " + ShellQuote(out.string()) + " 2>&1",
                   &verify_output);
    if (verified != 0) ADD_FAILURE() << "openssl cms -verify: " << verify_output;
    const std::vector<unsigned char> output = testing::ReadWholeFile(out);
    return verified == 0 && std::string(output.begin(), output.end()) == signed_bytes;
  }
};

TEST_F(Pkcs7SigningTest, MessagesVerifyWithOpensslForEveryFlag) {
  const std::u16string content = u"Pay 100 to 王小明";
  const std::vector<uint8_t> signer = DerOf(certificate_);
  const std::vector<std::vector<uint8_t>> chain = {signer, DerOf(intermediate_), DerOf(root_)};
  const struct {
    const char* label;
    int32_t flags;
    size_t certificates;  // carried: none, the signer, or the chain of three
    const char* digest;   // as openssl prints the digest algorithm
  } cases[] = {
      {"the signer's certificate, SHA-1", 0, 1, "sha1"},
      {"no certificate", 0x0100, 0, "sha1"},
      {"the chain", 0x0200, 3, "sha1"},
      {"the chain wins over no certificate", 0x0300, 3, "sha1"},
      {"detached", 0x0400, 1, "sha1"},
      {"code-page bytes", 0x0800, 1, "sha1"},
      {"signing time", 0x2000, 1, "sha1"},
      {"detached with signing time and the chain", 0x2600, 3, "sha1"},
      {"MD5", 0x1000, 1, "md5WithRSAEncryption"},
      {"MD5 with signing time, code page, detached", 0x3C00, 1, "md5WithRSAEncryption"},
  };
  CertComponent& component = Component();
  ASSERT_EQ(component.SelectSignerEx(u"", Folder(), u"chain.pfx", u"pw", u"", 0x200, 0), 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const std::u16string text = component.SignPkcs7(content, c.flags);
    ASSERT_EQ(component.GetErrorCode(), 0);
    ASSERT_EQ(text.find_first_of(u"\r\n"), std::u16string::npos) << "one line of Base64";
    const std::string signed_bytes =
        (c.flags & 0x0800) != 0 ? Utf16ToUtf8(content) : Utf16Le(content);
    const bool detached = (c.flags & 0x0400) != 0;
    std::vector<uint8_t> der;
    std::string printed;
    EXPECT_TRUE(OpensslVerifies(text, signed_bytes, detached, der, printed)) << printed;

    const Pkcs7Certificates carried = ReadPkcs7Certificates(der);
    ASSERT_EQ(carried.reading, Pkcs7Reading::kCertificates);
    ASSERT_EQ(carried.certificates.size(), c.certificates);
    for (size_t i = 0; i < c.certificates; ++i) {
      EXPECT_TRUE(std::equal(carried.certificates[i].begin(), carried.certificates[i].end(),
                             chain[i].begin(), chain[i].end()))
          << "certificate " << i << " in chain order";
    }
    EXPECT_NE(printed.find("algorithm: " + std::string(c.digest)), std::string::npos);
    // The content is carried exactly when the signature is not detached.
    const std::string content_hex = "eContent: <ABSENT>";
    EXPECT_EQ(printed.find(content_hex) != std::string::npos, detached);
    // Authenticated attributes: the signing time with content type and message digest, or none.
    const bool timed = (c.flags & 0x2000) != 0;
    EXPECT_EQ(printed.find("object: signingTime") != std::string::npos, timed);
    EXPECT_EQ(printed.find("object: contentType") != std::string::npos, timed);
    EXPECT_EQ(printed.find("object: messageDigest") != std::string::npos, timed);
    EXPECT_EQ(printed.find("\n        signedAttrs:\n          <ABSENT>") != std::string::npos,
              !timed);
  }
  // Characters the code page lacks are signed as '?', as the code-page text shows them.
  testing::ScopedCodePage big5("CP950");
  const std::u16string text = component.SignPkcs7(u"A\U0001F600\u20ACB", 0x0800);
  ASSERT_EQ(component.GetErrorCode(), 0);
  std::vector<uint8_t> der;
  std::string printed;
  EXPECT_TRUE(OpensslVerifies(text,
                              "A?\xA3\xE1"
                              "B",
                              false, der, printed));
}

TEST_F(Pkcs7SigningTest, TheChainIsCarriedOnlyWhenItCanBeBuiltAndTrusted) {
  CertComponent& component = Component();
  ASSERT_EQ(component.ImportPfxToIE(Folder(), u"signer.pfx", u"pw", 0, 0), 0);
  ASSERT_EQ(component.SelectSigner(u"S_CN=Signer", 0x108, 0), 0);
  // The intermediate is nowhere: the chain is partial and refused, with no platform error.
  EXPECT_EQ(component.SignPkcs7(u"text", 0x0200), u"");
  EXPECT_EQ(component.GetErrorCode(), 5202);
  EXPECT_EQ(component.GetCapiErrorCode(), 0);
  // With the intermediate in "CA" the chain ends in a root not in "ROOT": carried all the same.
  ASSERT_TRUE(CertStore::OpenSystem("CA")->Add(DerOf(intermediate_), AddDisposition::kAlways));
  ASSERT_TRUE(CertStore::OpenSystem("CA")->Add(DerOf(root_), AddDisposition::kAlways));
  const std::u16string text = component.SignPkcs7(u"text", 0x0200);
  ASSERT_EQ(component.GetErrorCode(), 0);
  EXPECT_EQ(ReadPkcs7Certificates(Decode(text, true)).certificates.size(), 3u);

  // The trust-status rules: the time bits are tested first, then the refusing bits, then an
  // untrusted root alone is accepted; anything else is refused.
  const struct {
    uint32_t status;
    bool carried;
  } rules[] = {
      {0, true},
      {chain_status::kRevoked | chain_status::kNotTimeValid, true},
      {chain_status::kNotTimeNested | chain_status::kPartialChain, true},
      {chain_status::kRevoked, false},
      {chain_status::kNotSignatureValid | chain_status::kUntrustedRoot, false},
      {chain_status::kNotValidForUsage, false},
      {chain_status::kUntrustedRoot, true},
      {chain_status::kPartialChain, false},
  };
  for (const auto& rule : rules) {
    SCOPED_TRACE(rule.status);
    EXPECT_EQ(ChainIsCarried(rule.status), rule.carried);
  }
}

TEST_F(Pkcs7SigningTest, AChainThroughAnIssuerThatMayNotIssueIsNotCarried) {
  // The signer's key certified again below issuers made with the extensions of each case, each
  // issuer certified by the one before it (the first by the test intermediate).
  const auto ca = dir_.path() / "ca";
  const auto extensions = dir_.WriteFile(
      "issuers.cnf",
      "[end_entity]\nbasicConstraints=CA:false\nkeyUsage=digitalSignature,keyEncipherment\n"
      "[no_cert_sign]\nbasicConstraints=critical,CA:true\nkeyUsage=critical,digitalSignature\n"
      "[no_sub_ca]\nbasicConstraints=critical,CA:true,pathlen:0\nkeyUsage=critical,keyCertSign\n"
      "[ca]\nbasicConstraints=critical,CA:true\nkeyUsage=critical,keyCertSign\n"
      "[ee]\nbasicConstraints=CA:false\nkeyUsage=critical,digitalSignature\n");
  int serial = 500;
  // Each certificate is valid for a day less than its issuer, so that validities nest.
  const auto issue = [&](const std::string& request, const std::string& issuer,
                         const std::string& section, int days, const std::string& out) {
    return "openssl x509 -req -in " + ShellQuote(request) + " -CA " + ShellQuote(issuer + ".pem") +
           " -CAkey " + ShellQuote(issuer + ".key") + " -set_serial " + std::to_string(++serial) +
           " -days " + std::to_string(days) + " -sha256 -extfile " +
           ShellQuote(extensions.string()) + " -extensions " + section + " -out " +
           ShellQuote(out + ".pem");
  };
  ASSERT_TRUE(CertStore::OpenSystem("ROOT")->Add(DerOf(root_), AddDisposition::kAlways));
  ASSERT_TRUE(CertStore::OpenSystem("CA")->Add(DerOf(intermediate_), AddDisposition::kAlways));

  const struct {
    const char* label;
    std::vector<std::string> issuers;  // extension sections, from the top down
    uint32_t status;
    size_t carried;  // 0: refused with 5202
  } cases[] = {
      {"issued by an end entity (no CA, no certificate signing)",
       {"end_entity"},
       chain_status::kInvalidBasicConstraints | chain_status::kNotValidForUsage,
       0},
      {"an issuer whose key usage lacks certificate signing",
       {"no_cert_sign"},
       chain_status::kNotValidForUsage,
       0},
      {"an issuer below a CA allowed no CA below it",
       {"no_sub_ca", "ca"},
       chain_status::kInvalidBasicConstraints,
       0},
      {"issued by the intermediate", {}, 0, 3},
      {"issued by a CA below the intermediate", {"ca"}, 0, 4},
  };
  int number = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string name = "case" + std::to_string(++number);
    std::string issuer = (ca / "intermediate").string();
    int days = 30;  // the intermediate's
    for (const std::string& section : c.issuers) {
      const std::string made = (ca / (name + "-" + section)).string();
      ASSERT_EQ(RunCommand("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                           "-keyout " +
                           ShellQuote(made + ".key") + " -subj " +
                           ShellQuote("/CN=" + name + " " + section) + " -out " +
                           ShellQuote(made + ".csr") + " && " +
                           issue(made + ".csr", issuer, section, --days, made)),
                0)
          << section;
      ASSERT_TRUE(CertStore::OpenSystem("CA")->Add(DerOf(made + ".pem"), AddDisposition::kAlways));
      issuer = made;
    }
    const std::string signer = (dir_.path() / name).string();
    ASSERT_EQ(RunCommand(issue((ca / "signer-new.csr").string(), issuer, "ee", --days, signer) +
                         " && openssl pkcs12 -export -passout pass:pw -inkey " +
                         ShellQuote((ca / "signer.key").string()) + " -in " +
                         ShellQuote(signer + ".pem") + " -out " + ShellQuote(signer + ".pfx")),
              0);
    const auto chain = BuildCertificateChain(DerOf(signer + ".pem"),
                                             static_cast<int64_t>(std::time(nullptr)), nullptr);
    ASSERT_TRUE(chain.has_value());
    EXPECT_EQ(chain->error_status, c.status);

    CertComponent& component = Component();
    ASSERT_EQ(
        component.SelectSignerEx(u"", Folder(), ConvertToWide(name + ".pfx"), u"pw", u"", 0x200, 0),
        0);
    const std::u16string text = component.SignPkcs7(u"text", 0x0200);
    if (c.carried == 0) {
      EXPECT_TRUE(text.empty()) << "a message of " << text.size() << " characters";
      EXPECT_EQ(component.GetErrorCode(), 5202);
    } else {
      ASSERT_EQ(component.GetErrorCode(), 0);
      EXPECT_EQ(ReadPkcs7Certificates(Decode(text, true)).certificates.size(), c.carried);
    }
  }
}

TEST_F(Pkcs7SigningTest, RefusalsGiveTheirCodesAndNoMessage) {
  CertComponent& component = Component();
  EXPECT_EQ(component.SignPkcs7(u"text", 0), u"");
  EXPECT_EQ(component.GetErrorCode(), 5067) << "no signer selected";
  ASSERT_EQ(component.SelectSignerEx(u"", Folder(), u"signer.pfx", u"pw", u"", 0x200, 0), 0);
  EXPECT_EQ(component.SignPkcs7(u"", 0), u"");
  EXPECT_EQ(component.GetErrorCode(), 5005);
  EXPECT_EQ(component.SignPkcs7(u"text", 0x8000), u"");
  EXPECT_EQ(component.GetErrorCode(), 5002) << "nobody can confirm";
  // The file now has another password, which nobody published.
  ChangePassword("signer.pfx");
  EXPECT_EQ(component.SignPkcs7(u"text", 0), u"");
  EXPECT_EQ(component.GetErrorCode(), 5208);

  // A user-protected key with nobody to ask: the key refuses (ERROR_CANCELLED), which the message
  // signature reports as a cancelled prompt and the bare signature as a failed one.
  ASSERT_EQ(component.ImportPfxToIE(Folder(), u"chain.pfx", u"pw", 3, 0), 0);
  ASSERT_EQ(component.SelectSigner(u"S_CN=Signer", 0x108, 0), 0);
  EXPECT_EQ(component.SignPkcs7(u"text", 0), u"");
  EXPECT_EQ(component.GetErrorCode(), 5070);
  EXPECT_EQ(component.GetCapiErrorCode(), 1223);
  EXPECT_EQ(component.SignPkcs1(u"text", 0), u"");
  EXPECT_EQ(component.GetErrorCode(), 5061);
  // The certificate is deleted from "MY" after the selection.
  {
    const auto my = CertStore::OpenSystem("MY");
    const auto certificates = my->Enumerate().value();
    for (const auto& certificate : certificates) ASSERT_TRUE(my->Delete(certificate.id));
  }
  EXPECT_EQ(component.SignPkcs7(u"text", 0), u"");
  EXPECT_EQ(component.GetErrorCode(), 5067);
}

TEST_F(Pkcs7SigningTest, AnotherProcessSignsWithThePublishedSignerAndItsNewPassword) {
  const std::string block = "kelvadrome-test-share-" + std::to_string(::getpid());
  testing::ScopedEnv share("KELVADROME_SHARE_NAME", block.c_str());
  // The first instance asks for the file's password and publishes the signer.
  CertComponent& first = Component("expect 202\nset 303 pw\nclick 1\n");
  ASSERT_EQ(first.SelectSignerEx2(u"", Folder(), u"chain.pfx", 0, u"", 0x200, 0), 0);
  // An instance that selected the same file on its own, without the share.
  CertComponent alone{ComponentEnvironment{}};
  ASSERT_EQ(alone.SelectSignerEx(u"", Folder(), u"chain.pfx", u"pw", u"", 0x200, 0), 0);

  // A second process, with nobody to ask, takes the published signer and signs.
  const auto signed_by_child = dir_.path() / "child.p7";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    CertComponent second{ComponentEnvironment{}};
    int status = second.SelectSignerEx2(u"", u"", u"", 1, u"", 0x200, 0) != 0 ? 1 : 0;
    const std::u16string text = second.SignPkcs7(u"from the child", 0x0800);
    if (status == 0 && second.GetErrorCode() == 0) {
      ByteBuffer bytes;
      const std::string narrow(text.begin(), text.end());
      status = bytes.Append(narrow.data(), static_cast<int32_t>(narrow.size())) &&
                       WriteFileBytes(signed_by_child.string(), bytes)
                   ? 0
                   : 2;
    } else {
      status = 3;
    }
    _exit(status);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  const std::vector<unsigned char> child_text = testing::ReadWholeFile(signed_by_child);
  std::vector<uint8_t> der;
  std::string printed;
  EXPECT_TRUE(OpensslVerifies(std::u16string(child_text.begin(), child_text.end()),
                              "from the child", false, der, printed));

  // Someone changes the file's password and publishes the new one: the instances that hold the
  // share keep signing; the one that never opened it has the stale password.
  ChangePassword("chain.pfx");
  SignerShare publisher;
  publisher.Open();
  publisher.PublishPfxPassword(SecretString(std::string_view("new")));
  EXPECT_NE(first.SignPkcs7(u"text", 0), u"");
  EXPECT_EQ(first.GetErrorCode(), 0);
  EXPECT_EQ(first.selected_signer().pfx_password, "new");
  EXPECT_EQ(alone.SignPkcs7(u"text", 0), u"");
  EXPECT_EQ(alone.GetErrorCode(), 5208);
  // A published path naming another file leaves the password alone.
  std::optional<SelectedSigner> record = publisher.Read();
  ASSERT_TRUE(record.has_value());
  record->pfx_name = "other.pfx";
  record->pfx_password = "stale";
  publisher.Publish(*record);
  EXPECT_NE(first.SignPkcs7(u"text", 0), u"");
  EXPECT_EQ(first.selected_signer().pfx_password, "new");

  const std::string uid = "." + std::to_string(::getuid());
  for (const std::string& event :
       {block, std::string("signerMedia"), std::string("signerCertBytes"),
        std::string("signerCertHash"), std::string("signerCertPasswd"),
        std::string("signerCertFilePath"), std::string("signerCertFileName")}) {
    sem_unlink(("/" + event + "_Event" + uid).c_str());
  }
}

}  // namespace
}  // namespace kelvadrome
