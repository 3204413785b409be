// PKCS #1 signatures by the selected signer, checked with the openssl command.
#include "ops/signing.h"

#include <algorithm>
#include <filesystem>
#include <memory>

#include <gtest/gtest.h>

#include "codec/byte_buffer.h"
#include "codec/digest.h"
#include "frame/cert_component.h"
#include "platform/text.h"
#include "support/openssl_ca.h"
#include "support/scoped_code_page.h"
#include "support/test_support.h"
#include "ui/dialog_host.h"

namespace kelvadrome {
namespace {

using testing::RunCommand;
using testing::ShellQuote;

class SigningTest : public ::testing::Test {
 protected:
  SigningTest()
      : profile_("KELVADROME_PROFILE", (dir_.path() / "profile").c_str()),
        dialogs_("KELVADROME_DIALOGS", "none") {
    // A key and a certificate from a test CA, in a PFX file with password "pw".
    std::filesystem::create_directories(dir_.path() / "ca");
    testing::OpensslCa ca(dir_.path() / "ca");
    const auto [key, certificate] = ca.IssueWithNewKey("signer", "/CN=Signer");
    EXPECT_EQ(RunCommand("openssl x509 -pubkey -noout -in " + ShellQuote(certificate.string()) +
                         " > " + ShellQuote(public_key_.string())),
              0);
    EXPECT_EQ(RunCommand("openssl pkcs12 -export -inkey " + ShellQuote(key.string()) + " -in " +
                         ShellQuote(certificate.string()) + " -passout pass:pw -out " +
                         ShellQuote((dir_.path() / "signer.pfx").string())),
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
  std::unique_ptr<DialogHost> host_;
  std::unique_ptr<CertComponent> component_;
};

std::vector<uint8_t> Decode(const std::u16string& text, bool base64) {
  ByteBuffer bytes;
  const std::string narrow(text.begin(), text.end());
  EXPECT_TRUE(base64 ? bytes.Base64Decode(narrow.c_str()) : bytes.HexDecode(narrow.c_str()));
  return std::vector<uint8_t>(bytes.data(), bytes.data() + bytes.length());
}

std::string Utf16Le(std::u16string_view text) {
  std::string bytes;
  for (const char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
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

}  // namespace
}  // namespace kelvadrome
