// SymEncrypt, SymDecrypt, CertEncryptPkcs7 and CertDecryptPkcs7 through the component, checked
// against openssl enc and openssl cms on a throwaway profile.
#include "ops/encryption.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codec/byte_buffer.h"
#include "frame/cert_component.h"
#include "platform/cert_store.h"
#include "platform/key_container.h"
#include "platform/pkcs7_envelope.h"
#include "platform/text.h"
#include "support/openssl_ca.h"
#include "support/scoped_code_page.h"
#include "support/test_support.h"
#include "ui/script_host.h"

namespace kelvadrome {
namespace {

using testing::RunCommand;
using testing::ShellQuote;
using testing::Utf16Le;

constexpr const char* kLegacy = " -provider legacy -provider default";
constexpr const char16_t* kKey24 = u"0123456789ABCDEFFEDCBA987654321089abcdef01234567";
constexpr const char16_t* kKey16 = u"0123456789ABCDEFFEDCBA9876543210";
constexpr const char16_t* kKey8 = u"133457799BBCDFF1";

std::string Narrow(std::u16string_view text) {
  return std::string(text.begin(), text.end());
}

std::string FromBase64(std::u16string_view text) {
  ByteBuffer bytes;
  EXPECT_TRUE(bytes.Base64Decode(Narrow(text).c_str()));
  return std::string(bytes.c_str(), static_cast<size_t>(bytes.length()));
}

std::u16string ToBase64(const std::string& bytes) {
  ByteBuffer text;
  EXPECT_TRUE(text.Base64Encode(bytes.data(), static_cast<int32_t>(bytes.size())));
  return ConvertToWide(text.ToString());
}

class EncryptionTest : public ::testing::Test {
 protected:
  EncryptionTest() {
    alice_ = ca_.IssueWithNewKey("alice", "/CN=Alice");
    bob_ = ca_.IssueWithNewKey("bob", "/CN=Bob");
    for (const auto& [issued, name] : {std::pair{alice_, "alice.pfx"}, {bob_, "bob.pfx"}}) {
      EXPECT_EQ(RunCommand("openssl pkcs12 -export -passout pass:pw -inkey " +
                           ShellQuote(issued.key.string()) + " -in " +
                           ShellQuote(issued.certificate.string()) + " -out " +
                           ShellQuote((dir_.path() / name).string())),
                0);
    }
  }

  CertComponent& Component(const std::string& script = {}, bool protected_mode = false) {
    ComponentEnvironment environment;
    environment.protected_mode_probe = [protected_mode] { return protected_mode; };
    if (!script.empty()) {
      host_ = ScriptHost::FromFile(dir_.WriteFile("user.script", script).string(), DialogLog{});
      environment.dialog_host = host_.get();
    }
    component_ = std::make_unique<CertComponent>(std::move(environment));
    return *component_;
  }

  // Runs |command| with |input| in a file named by {in}, and returns its standard output.
  std::string Run(const std::string& command, const std::string& input) {
    const auto in = dir_.WriteFile("input", input);
    std::string command_line = command;
    command_line.replace(command_line.find("{in}"), 4, ShellQuote(in.string()));
    std::string output;
    EXPECT_EQ(RunCommand(command_line, &output), 0) << command_line;
    return output;
  }

  std::string CmsDecrypt(std::u16string_view message,
                         const testing::OpensslCa::IssuedKey& recipient) {
    return Run(std::string("openssl cms -decrypt -binary -inform DER") + kLegacy +
                   " -in {in} -inkey " + ShellQuote(recipient.key.string()),
               FromBase64(message));
  }

  std::u16string CmsEncrypt(const std::string& options, const std::string& content,
                            const std::filesystem::path& certificate) {
    return ToBase64(Run(std::string("openssl cms -encrypt -binary -outform DER") + kLegacy + " " +
                            options + " -in {in} " + ShellQuote(certificate.string()),
                        content));
  }

  size_t PersonalCount() { return CertStore::OpenSystem("MY")->Enumerate()->size(); }

  testing::TempDir dir_;
  testing::ScopedEnv profile_{"KELVADROME_PROFILE", (dir_.path() / "profile").c_str()};
  testing::ScopedEnv dialogs_{"KELVADROME_DIALOGS", "none"};
  testing::ScopedCodePage utf8_{"UTF-8"};
  testing::OpensslCa ca_{dir_.path()};
  testing::OpensslCa::IssuedKey alice_;
  testing::OpensslCa::IssuedKey bob_;
  std::unique_ptr<ScriptHost> host_;
  std::unique_ptr<CertComponent> component_;
};

struct SymmetricCase {
  const char* cipher;  // openssl enc's name
  const char16_t* key;
  int32_t algorithm;
};
constexpr SymmetricCase kSymmetricCases[] = {
    {"-des-ede3-cbc", kKey24, 0}, {"-des-ede-cbc", kKey16, 0}, {"-des-cbc", kKey8, 1}};

TEST_F(EncryptionTest, SymmetricCiphertextAgreesWithOpensslEncBothWays) {
  CertComponent& component = Component();
  const struct {
    std::u16string text;
    int32_t flags;
    std::string bytes;  // what is encrypted
  } texts[] = {
      {u"abc", 0x0800, "abc"},
      {u"abc", 0, Utf16Le(u"abc")},
      {u"12345678", 0x0800, "12345678"},  // a whole block of padding follows
      {u"王小明 pays 100", 0, Utf16Le(u"王小明 pays 100")},
      {u"王小明 pays 100", 0x0800, "\xE7\x8E\x8B\xE5\xB0\x8F\xE6\x98\x8E pays 100"},
  };
  for (const auto& c : kSymmetricCases) {
    for (const auto& t : texts) {
      SCOPED_TRACE(std::string(c.cipher) + " " + Utf16ToUtf8(t.text));
      const std::string enc = std::string("openssl enc ") + c.cipher + kLegacy + " -K " +
                              Narrow(c.key) + " -iv 0000000000000000 -in {in}";
      const std::u16string ours = component.SymEncrypt(t.text, c.key, c.algorithm, t.flags);
      ASSERT_EQ(component.GetErrorCode(), 0);
      EXPECT_EQ(FromBase64(ours).size(), 8 * (t.bytes.size() / 8 + 1));
      EXPECT_EQ(Run(enc + " -d", FromBase64(ours)), t.bytes);
      EXPECT_EQ(component.SymDecrypt(ToBase64(Run(enc, t.bytes)), c.key, c.algorithm, t.flags),
                t.text);
      EXPECT_EQ(component.GetErrorCode(), 0);
    }
  }
  EXPECT_EQ(component.SymEncrypt(u"abc", kKey8, 1, 0x0800).size(), 12u);
}

TEST_F(EncryptionTest, SymmetricRefusalsGiveTheirCodesAndNoText) {
  CertComponent& component = Component();
  CertComponent protected_component{ComponentEnvironment{[] { return true; }, nullptr}};
  const std::u16string abc = component.SymEncrypt(u"abc", kKey24, 0, 0x0800);
  const std::u16string abc_des = component.SymEncrypt(u"abc", kKey8, 1, 0x0800);
  const std::u16string nine_bytes = ToBase64("123456789");
  using Call = std::function<std::u16string(CertComponent&)>;
  const struct {
    const char* label;
    Call call;
    bool in_protected_mode;
    int32_t code;
    uint32_t platform_error;
  } cases[] = {
      {"empty text", [](CertComponent& c) { return c.SymEncrypt(u"", kKey8, 1, 0); }, false, 5005,
       0},
      {"empty key", [](CertComponent& c) { return c.SymEncrypt(u"a", u"", 1, 0); }, false, 5005, 0},
      // Fifteen hex digits: one is missing.
      {"odd key", [](CertComponent& c) { return c.SymEncrypt(u"a", u"0123456789ABCDE", 1, 0); },
       false, 5005, 0},
      // 'G' is no hex digit; the lenient decoder would have made it 0x10.
      {"non-hex key",
       [](CertComponent& c) { return c.SymEncrypt(u"a", u"0G23456789ABCDEF", 1, 0); }, false, 5005,
       0},
      {"16-byte key for DES", [](CertComponent& c) { return c.SymEncrypt(u"a", kKey16, 1, 0); },
       false, 9003, 0},
      {"8-byte key for triple DES",
       [](CertComponent& c) { return c.SymEncrypt(u"a", kKey8, 0, 0); }, false, 9003, 0},
      {"25-byte key",
       [](CertComponent& c) { return c.SymEncrypt(u"a", u"00" + std::u16string(kKey24), 0, 0); },
       false, 9003, 0},
      {"algorithm 2", [](CertComponent& c) { return c.SymEncrypt(u"a", kKey8, 2, 0); }, false, 9001,
       0},
      {"protected mode before the key",
       [](CertComponent& c) { return c.SymEncrypt(u"a", u"odd", 1, 0); }, true, 1500, 0},
      {"empty text before protected mode",
       [](CertComponent& c) { return c.SymEncrypt(u"", kKey8, 1, 0); }, true, 5005, 0},
      // '@' and '!' are not Base64: checked before protected mode.
      {"not Base64", [](CertComponent& c) { return c.SymDecrypt(u"@@@@!!!!", kKey8, 1, 0); }, true,
       9002, 0},
      {"armour without its end",
       [](CertComponent& c) { return c.SymDecrypt(u"-----BEGIN X-----\nAAAA", kKey8, 1, 0); },
       false, 9002, 0},
      // Blanks decode to no bytes, which do not decrypt.
      {"only blanks", [](CertComponent& c) { return c.SymDecrypt(u" \r\n ", kKey8, 1, 0); }, false,
       9005, 0},
      {"empty ciphertext", [](CertComponent& c) { return c.SymDecrypt(u"", kKey8, 1, 0); }, false,
       5005, 0},
      {"odd key before protected mode",
       [&](CertComponent& c) { return c.SymDecrypt(abc, u"123", 0, 0); }, true, 5005, 0},
      {"protected mode", [&](CertComponent& c) { return c.SymDecrypt(abc, kKey24, 0, 0); }, true,
       1500, 0},
      // Nine bytes: not a whole number of blocks.
      {"wrong length", [&](CertComponent& c) { return c.SymDecrypt(nine_bytes, kKey8, 1, 0); },
       false, 9005, key_error::kBadData},
      {"another key",
       [&](CertComponent& c) {
         return c.SymDecrypt(abc, kKey16 + std::u16string(u"0011223344556677"), 0, 0x0800);
       },
       false, 9005, key_error::kBadData},
      {"DES ciphertext under triple DES",
       [&](CertComponent& c) { return c.SymDecrypt(abc_des, kKey24, 0, 0x0800); }, false, 9005,
       key_error::kBadData},
      {"8-byte key for triple DES",
       [&](CertComponent& c) { return c.SymDecrypt(abc, kKey8, 0, 0); }, false, 9003, 0},
      {"algorithm 5", [&](CertComponent& c) { return c.SymDecrypt(abc, kKey8, 5, 0); }, false, 9001,
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    CertComponent& used = c.in_protected_mode ? protected_component : component;
    EXPECT_EQ(c.call(used), u"");
    EXPECT_EQ(used.GetErrorCode(), c.code);
    EXPECT_EQ(static_cast<uint32_t>(used.GetCapiErrorCode()), c.platform_error);
  }
  // A success clears what a failure left.
  EXPECT_EQ(component.SymDecrypt(abc, kKey24, 0, 0x0800), u"abc");
  EXPECT_EQ(component.GetErrorCode(), 0);
  EXPECT_EQ(component.GetCapiErrorCode(), 0);
}

// Ciphertext text made only of blanks and line breaks is Base64 of no bytes: it is read without a
// format error and then fails as a decryption, while text that is not Base64 still fails as a
// format.
TEST_F(EncryptionTest, BlankCiphertextDecodesToNoBytesAndFailsAsADecryption) {
  const struct {
    const char* label;
    std::u16string_view text;
    int32_t code;
  } readings[] = {
      {"blanks and a line break", u"  \r\n ", 0},
      {"line breaks only", u"\r\n\n", 0},
      {"armour around blanks", u"-----BEGIN X-----\r\n \r\n-----END X-----\r\n", 0},
      {"a tab is no Base64 character", u" \t ", 9002},
      {"armour without its end", u"-----BEGIN X-----\r\n ", 9002},
      {"empty text", u"", 5005},
  };
  for (const auto& r : readings) {
    SCOPED_TRACE(r.label);
    ByteBuffer bytes;
    ASSERT_TRUE(bytes.Allocate(4));  // earlier content never survives a reading
    EXPECT_EQ(ReadCiphertextText(r.text, bytes), r.code);
    EXPECT_TRUE(bytes.empty());
  }

  CertComponent& component = Component();
  EXPECT_EQ(component.SymDecrypt(u"  \r\n ", kKey8, 1, 0x0800), u"");
  EXPECT_EQ(component.GetErrorCode(), 9005);
  EXPECT_EQ(component.GetCapiErrorCode(), 0);
  // The envelope decoder gets the empty message and finds no ContentInfo in it.
  EXPECT_EQ(component.CertDecryptPkcs7(u"  \r\n ", 0), u"");
  EXPECT_EQ(component.GetErrorCode(), 9005);
  EXPECT_EQ(component.GetCapiErrorCode(), 0);
}

TEST_F(EncryptionTest, EnvelopesForEveryRecipientFormOpenWithOpenssl) {
  CertComponent& component = Component();
  const std::string pem = testing::FileText(alice_.certificate);
  std::string crlf_pem;
  for (const char c : pem) crlf_pem += c == '\n' ? std::string("\r\n") : std::string(1, c);
  const auto twice = ca_.Bundle({alice_.certificate, alice_.certificate}, "twice");
  const auto both = ca_.Bundle({alice_.certificate, bob_.certificate, alice_.certificate}, "both");
  std::string pkcs7_armoured = "-----BEGIN PKCS #7-----\r\n";
  const std::string both_body = testing::Base64Body(both);
  for (size_t at = 0; at < both_body.size(); at += 64) {
    pkcs7_armoured += both_body.substr(at, 64) + "\r\n";
  }
  pkcs7_armoured += "-----END PKCS #7-----\r\n";
  const struct {
    const char* label;
    std::string text;
    size_t recipients;
  } forms[] = {
      {"bare Base64", testing::Base64Body(alice_.certificate), 1},
      {"PEM with CR LF", crlf_pem, 1},
      {"bag holding it twice", testing::Base64Body(twice), 1},
      {"armoured bag of two", pkcs7_armoured, 2},
  };
  const std::u16string text = u"機密 message";
  for (const auto& form : forms) {
    for (const int32_t algorithm : {0, 1, 2, 7}) {
      SCOPED_TRACE(std::string(form.label) + " algorithm " + std::to_string(algorithm));
      const std::u16string message =
          component.CertEncryptPkcs7(text, ConvertToWide(form.text), algorithm, 0);
      ASSERT_EQ(component.GetErrorCode(), 0) << std::hex << component.GetCapiErrorCode();
      EXPECT_EQ(CmsDecrypt(message, alice_), Utf16Le(text));
      if (form.recipients == 2) {
        EXPECT_EQ(CmsDecrypt(message, bob_), Utf16Le(text));
      }
      const std::string der = FromBase64(message);
      const auto parsed =
          ParseEnvelopedData({reinterpret_cast<const uint8_t*>(der.data()), der.size()});
      ASSERT_TRUE(parsed.has_value());
      EXPECT_EQ(parsed->recipients.size(), form.recipients);
      EXPECT_EQ(parsed->content_algorithm, EnvelopeAlgorithmFor(algorithm));
    }
  }
}

TEST_F(EncryptionTest, RecipientTextsThatAreNoCertificateGive5040) {
  CertComponent& component = Component();
  const std::string body = testing::Base64Body(alice_.certificate);
  std::string hex_dump;
  ASSERT_EQ(RunCommand("openssl x509 -outform DER -in " + ShellQuote(alice_.certificate.string()) +
                           " | od -An -tx1 | tr -d ' \\n'",
                       &hex_dump),
            0);
  std::string empty_bag;
  ASSERT_EQ(RunCommand("openssl crl2pkcs7 -nocrl -outform DER | base64 -w0", &empty_bag), 0);
  std::string data_message;
  ASSERT_EQ(
      RunCommand("printf x | openssl cms -data_create -outform DER | base64 -w0", &data_message),
      0);
  const auto bag = ca_.Bundle({alice_.certificate}, "bag");
  std::string ec_certificate;
  ASSERT_EQ(RunCommand("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                       "-days 2 -subj /CN=ec -keyout /dev/null -outform DER 2>/dev/null | "
                       "base64 -w0",
                       &ec_certificate),
            0);
  const struct {
    const char* label;
    std::string text;
    int32_t code;
    uint32_t platform_error;
  } cases[] = {
      {"empty", "", 5005, 0},
      // A hex dump of the DER starts with 3, not M: refused before decoding.
      {"hex dump", hex_dump, 5040, 0},
      // The certificate cut after 600 characters: its SEQUENCE claims more.
      {"truncated certificate", body.substr(0, 600), 5040, 0x80093102},
      {"bag without certificates", empty_bag, 5040, 0},
      {"a data message", data_message, 5040, 0x80091004},
      {"armour only", "-----BEGIN CERTIFICATE-----\n-----END CERTIFICATE-----\n", 5040, 0},
      {"an EC key", ec_certificate, 9004, 0},
      // Armour is removed only with the labels CERTIFICATE and "PKCS #7".
      {"armour labelled PKCS7", testing::FileText(bag), 5040, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(component.CertEncryptPkcs7(u"text", ConvertToWide(c.text), 0, 0), u"");
    EXPECT_EQ(component.GetErrorCode(), c.code);
    EXPECT_EQ(static_cast<uint32_t>(component.GetCapiErrorCode()), c.platform_error);
  }
  EXPECT_EQ(component.CertEncryptPkcs7(u"", ConvertToWide(body), 0, 0), u"");
  EXPECT_EQ(component.GetErrorCode(), 5005);
  CertComponent protected_component{ComponentEnvironment{[] { return true; }, nullptr}};
  EXPECT_EQ(protected_component.CertEncryptPkcs7(u"text", u"not even a certificate", 0, 0), u"");
  EXPECT_EQ(protected_component.GetErrorCode(), 1500);
}

TEST_F(EncryptionTest, EnvelopesForAKeyInMyOpenWithoutADialog) {
  CertComponent& component = Component();
  ASSERT_EQ(component.ImportPfxToIE(ConvertToWide(dir_.path().string()), u"alice.pfx", u"pw", 0, 0),
            0);
  const std::u16string text = u"王小明 한국어 café";
  const std::string utf16 = Utf16Le(text);
  // With KELVADROME_DIALOGS=none a dialog would end the call with 5002.
  for (const char* options : {"-des3", "-des", "-rc4", "-aes128", "-aes256"}) {
    SCOPED_TRACE(options);
    EXPECT_EQ(component.CertDecryptPkcs7(CmsEncrypt(options, utf16, alice_.certificate), 0), text);
    EXPECT_EQ(component.GetErrorCode(), 0);
  }
  // Our own envelopes come back exactly, whichever form the text travels in, also under a code page
  // that lacks some of its characters: those are lost only when the caller asks for code-page
  // bytes.
  testing::ScopedCodePage big5("CP950");
  const std::u16string certificate = ConvertToWide(testing::Base64Body(alice_.certificate));
  EXPECT_EQ(component.CertDecryptPkcs7(component.CertEncryptPkcs7(text, certificate, 0, 0), 0),
            text);
  EXPECT_EQ(component.GetErrorCode(), 0);
  EXPECT_EQ(
      component.CertDecryptPkcs7(component.CertEncryptPkcs7(text, certificate, 1, 0x0800), 0x0800),
      u"王小明 ??? caf?");
  EXPECT_EQ(component.GetErrorCode(), 0);
}

TEST_F(EncryptionTest, AKeyOnlyInAPfxFileIsReachedThroughTheDialogOnce) {
  const std::u16string message = CmsEncrypt("-des3", Utf16Le(u"for bob"), bob_.certificate);
  const std::u16string des_message = CmsEncrypt("-des", Utf16Le(u"for bob"), bob_.certificate);
  const std::string bob_pfx = (dir_.path() / "bob.pfx").string();
  const std::string alice_pfx = (dir_.path() / "alice.pfx").string();
  const size_t personal = PersonalCount();
  const struct {
    const char* label;
    std::string script;
    std::u16string text;
    int32_t code;
    uint32_t platform_error;
    const std::u16string* envelope = nullptr;
  } cases[] = {
      {"the right file", "expect 202\nset 302 " + bob_pfx + "\nset 303 pw\nclick 1\n", u"for bob",
       0, 0},
      {"the right file, DES", "expect 202\nset 302 " + bob_pfx + "\nset 303 pw\nclick 1\n",
       u"for bob", 0, 0, &des_message},
      {"cancelled", "expect 202\nclick 2\n", u"", 5070, 0},
      {"wrong password", "expect 202\nset 302 " + bob_pfx + "\nset 303 nope\nclick 1\n", u"", 5010,
       86},
      {"a file without the key", "expect 202\nset 302 " + alice_pfx + "\nset 303 pw\nclick 1\n",
       u"", 9006, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    CertComponent& component = Component(c.script);
    EXPECT_EQ(component.CertDecryptPkcs7(c.envelope != nullptr ? *c.envelope : message, 0), c.text);
    EXPECT_EQ(component.GetErrorCode(), c.code);
    EXPECT_EQ(static_cast<uint32_t>(component.GetCapiErrorCode()), c.platform_error);
    EXPECT_EQ(host_->remaining_actions(), 0u) << "the dialog is shown exactly once";
    EXPECT_EQ(component.selected_signer().source, SignerSource::kNone);
  }
  // Nothing of the files stayed behind: "MY" and the profile's key containers are as they were.
  EXPECT_EQ(PersonalCount(), personal);
  EXPECT_TRUE(KeyContainerStore::OpenUser()->Names()->empty());
  // Nobody to ask.
  CertComponent& alone = Component();
  EXPECT_EQ(alone.CertDecryptPkcs7(message, 0), u"");
  EXPECT_EQ(alone.GetErrorCode(), 5002);
}

TEST_F(EncryptionTest, EnvelopeRefusalsGiveTheirCodes) {
  CertComponent& component = Component();
  ASSERT_EQ(component.ImportPfxToIE(ConvertToWide(dir_.path().string()), u"alice.pfx", u"pw", 0, 0),
            0);
  // Bob's certificate in "MY" with his key as a signature key, which does not decrypt.
  const std::string pkcs8 = (dir_.path() / "bob.p8").string();
  ASSERT_EQ(RunCommand("openssl pkcs8 -topk8 -nocrypt -outform DER -in " +
                       ShellQuote(bob_.key.string()) + " -out " + ShellQuote(pkcs8)),
            0);
  const char* provider = "Microsoft Enhanced Cryptographic Provider v1.0";
  auto container = KeyContainerStore::OpenUser()->Create("bob-signing", provider, 1);
  ASSERT_NE(container, nullptr);
  ASSERT_TRUE(
      container->ImportPrivateKeyPkcs8(key_spec::kSignature, testing::ReadWholeFile(pkcs8), 0));
  ByteBuffer bob_der;
  ASSERT_TRUE(bob_der.Base64Decode(testing::Base64Body(bob_.certificate).c_str()));
  const CertificateProperty link{
      cert_property::kKeyProviderInfo,
      EncodeKeyProviderLink({"bob-signing", provider, 1, 0, key_spec::kSignature})};
  ASSERT_TRUE(CertStore::OpenSystem("MY")
                  ->AddWithProperties({bob_der.data(), bob_der.data() + bob_der.length()},
                                      AddDisposition::kAlways, {link})
                  .has_value());

  const std::u16string good = CmsEncrypt("-des3", "content", alice_.certificate);
  std::string tampered = FromBase64(good);
  tampered.back() ^= 0x55;  // the padding of the last block no longer checks
  const struct {
    const char* label;
    std::u16string message;
    int32_t code;
  } cases[] = {
      // A certificate is no ContentInfo at all; a bag is one of the wrong type.
      {"a certificate", ConvertToWide(testing::Base64Body(alice_.certificate)), 9005},
      {"a certificate bag",
       ToBase64(Run("openssl crl2pkcs7 -nocrl -outform DER -certfile {in}",
                    testing::FileText(alice_.certificate))),
       5042},
      {"a signed message",
       ToBase64(Run("openssl cms -sign -binary -outform DER -nodetach -in {in} -signer " +
                        ShellQuote(alice_.certificate.string()) + " -inkey " +
                        ShellQuote(alice_.key.string()),
                    "x")),
       5042},
      {"Camellia content", CmsEncrypt("-camellia128", "x", alice_.certificate), 5042},
      {"bad padding", ToBase64(tampered), 9005},
      {"a signature key", CmsEncrypt("-des3", "x", bob_.certificate), 5017},
      {"not Base64", u"MII%%%", 9002},
      {"empty", u"", 5005},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(component.CertDecryptPkcs7(c.message, 0), u"");
    EXPECT_EQ(component.GetErrorCode(), c.code);
    EXPECT_EQ(component.GetCapiErrorCode(), 0);
  }
  CertComponent protected_component{ComponentEnvironment{[] { return true; }, nullptr}};
  EXPECT_EQ(protected_component.CertDecryptPkcs7(good, 0), u"");
  EXPECT_EQ(protected_component.GetErrorCode(), 1500);
  EXPECT_EQ(protected_component.CertDecryptPkcs7(u"M@@@", 0), u"");
  EXPECT_EQ(protected_component.GetErrorCode(), 9002) << "the format is checked first";
}

}  // namespace
}  // namespace kelvadrome
