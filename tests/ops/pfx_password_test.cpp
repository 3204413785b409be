// PFX password change and query through the component, with files from the openssl command and
// other producers; the rewritten files are judged by the openssl command.
#include "ops/pfx_password.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

#include "codec/byte_buffer.h"
#include "frame/cert_component.h"
#include "ops/signer_share.h"
#include "platform/cert_store.h"
#include "platform/pkcs12.h"
#include "platform/text.h"
#include "support/openssl_ca.h"
#include "support/scoped_code_page.h"
#include "support/test_support.h"
#include "ui/dialog_host.h"

namespace kelvadrome {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using testing::RunCommand;
using testing::ShellQuote;

// What the openssl command reads from a PFX file: its certificates (DER, in output order) and the
// modulus of its first RSA key ("" when there is none).
struct OpensslView {
  bool opened = false;
  std::vector<Bytes> certificates;
  std::string modulus;
};

OpensslView OpensslRead(const fs::path& pfx, const std::string& password, bool legacy = false) {
  OpensslView view;
  const fs::path pem = pfx.string() + ".pem";
  view.opened = RunCommand("openssl pkcs12 -in " + ShellQuote(pfx.string()) + " -passin " +
                           ShellQuote("pass:" + password) + " -nodes" + (legacy ? " -legacy" : "") +
                           " -out " + ShellQuote(pem.string()) + " 2>/dev/null") == 0;
  if (!view.opened) return view;
  const std::string text = testing::FileText(pem);
  const std::string begin = "-----BEGIN CERTIFICATE-----", end = "-----END CERTIFICATE-----";
  for (size_t at = text.find(begin); at != std::string::npos; at = text.find(begin, at + 1)) {
    std::string body = text.substr(at + begin.size(), text.find(end, at) - at - begin.size());
    std::erase_if(body, [](char c) { return c == '\n' || c == '\r'; });
    ByteBuffer der;
    EXPECT_TRUE(der.Base64Decode(body.c_str()));
    view.certificates.emplace_back(der.data(), der.data() + der.length());
  }
  RunCommand("openssl rsa -in " + ShellQuote(pem.string()) + " -noout -modulus 2>/dev/null",
             &view.modulus);
  fs::remove(pem);
  return view;
}

// The modulus of a PKCS #8 RSA key as "Modulus=<upper-case hex>\n", as openssl rsa prints it.
std::string ModulusOf(const SecretBytes& pkcs8) {
  const unsigned char* p = pkcs8.data();
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(pkcs8.size())), &EVP_PKEY_free);
  BIGNUM* n = nullptr;
  if (!key || EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_N, &n) != 1) return "";
  char* hex = BN_bn2hex(n);
  const std::string text = "Modulus=" + std::string(hex) + "\n";
  OPENSSL_free(hex);
  BN_free(n);
  return text;
}

class PfxPasswordTest : public ::testing::Test {
 protected:
  PfxPasswordTest()
      : profile_("KELVADROME_PROFILE", (dir_.path() / "profile").c_str()),
        dialogs_("KELVADROME_DIALOGS", "none") {
    MakeCa();
  }

  // A component whose user follows |script|, or has no dialogs.
  CertComponent& Component(const std::string& script = {}, bool protected_mode = false) {
    ComponentEnvironment environment;
    environment.protected_mode_probe = [protected_mode] { return protected_mode; };
    if (!script.empty()) {
      hosts_.push_back(MakeDialogHost("script:" + dir_.WriteFile("user.script", script).string()));
      environment.dialog_host = hosts_.back().get();
    }
    components_.push_back(std::make_unique<CertComponent>(std::move(environment)));
    return *components_.back();
  }

  // The test CA and the chain file of its two certificates; a key with a certificate it issued.
  void MakeCa() {
    fs::create_directories(dir_.path() / "ca");
    ca_ = std::make_unique<testing::OpensslCa>(dir_.path() / "ca");
    issued_ = ca_->IssueWithNewKey("holder", "/CN=Holder/O=Interop");
    chain_ = dir_.WriteFile(
        "chain.pem", testing::FileText(ca_->intermediate()) + testing::FileText(ca_->root()));
  }

  // The key and certificate of MakeCa exported by openssl pkcs12 with |options| to |file| in the
  // test folder.
  fs::path Export(const std::string& file, const std::string& options) {
    const fs::path pfx = dir_.path() / file;
    EXPECT_EQ(RunCommand("openssl pkcs12 -export -inkey " + ShellQuote(issued_.key.string()) +
                         " -in " + ShellQuote(issued_.certificate.string()) + " " + options +
                         " -out " + ShellQuote(pfx.string()) + " 2>/dev/null"),
              0);
    return pfx;
  }

  std::u16string Folder() const { return ConvertToWide(dir_.path().string()); }
  static std::u16string Name(const fs::path& file) {
    return ConvertToWide(file.filename().string());
  }

  testing::TempDir dir_;
  testing::ScopedEnv profile_;
  testing::ScopedEnv dialogs_;
  testing::ScopedCodePage utf8_{"UTF-8"};
  std::unique_ptr<testing::OpensslCa> ca_;
  testing::OpensslCa::IssuedKey issued_;
  fs::path chain_;
  std::vector<std::unique_ptr<DialogHost>> hosts_;
  std::vector<std::unique_ptr<CertComponent>> components_;
};

TEST_F(PfxPasswordTest, TheLengthRangeIsNormalisedAndBindsOnlyTheDialog) {
  const struct {
    int32_t min, max, want_min, want_max;
  } ranges[] = {{8, 4, 4, 8}, {0, 0, 0, 16}, {10, -1, 0, 10}, {6, 12, 6, 12}};
  CertComponent& component = Component("", /*protected_mode=*/true);  // never refused
  for (const auto& r : ranges) {
    SCOPED_TRACE(::testing::Message() << r.min << "," << r.max);
    component.RecordFailure(5001);
    EXPECT_EQ(component.PresetPasswdLengthRange(r.min, r.max), 0);
    EXPECT_EQ(component.GetErrorCode(), 0);
    EXPECT_EQ(component.min_password_length(), r.want_min);
    EXPECT_EQ(component.max_password_length(), r.want_max);
  }
  const fs::path pfx = Export("ranged.pfx", "-passout pass:oldpass");
  // With 6..12 the dialog's OK stays disabled for five characters, so the click is ignored and the
  // dialog ends cancelled; six characters go through.
  for (const auto& [typed, code] :
       {std::pair<std::string, int32_t>{"12345", 5070}, {"123456", 0}}) {
    SCOPED_TRACE(typed);
    CertComponent& asked =
        Component("expect 203\nset 304 " + typed + "\nset 305 " + typed + "\nclick 1\n");
    asked.PresetPasswdLengthRange(6, 12);
    EXPECT_EQ(asked.ChangePfxPasswd(Folder(), Name(pfx), u"oldpass", u"", 0), code);
    EXPECT_EQ(OpensslRead(pfx, typed).opened, code == 0);
  }
  // All four texts given: no dialog, and a password longer than the maximum is taken.
  CertComponent& direct = Component();
  direct.PresetPasswdLengthRange(6, 12);
  EXPECT_EQ(
      direct.ChangePfxPasswd(Folder(), Name(pfx), u"123456", u"a-very-long-password-indeed", 0), 0);
  EXPECT_TRUE(OpensslRead(pfx, "a-very-long-password-indeed").opened);
}

// Files the openssl command made, with its defaults and its legacy algorithms, with a chain and
// under an empty password: after the change openssl opens them under the new password only, with
// the same certificates and key.
TEST_F(PfxPasswordTest, OpensslReadsTheRewrittenFileUnderTheNewPasswordOnly) {
  const struct {
    const char* label;
    fs::path file;
    std::string old_password, script;
    bool legacy;
  } cases[] = {
      {"defaults", Export("default.pfx", "-passout pass:s3cret"), "s3cret", "", false},
      {"legacy", Export("legacy.pfx", "-legacy -passout pass:s3cret"), "s3cret", "", true},
      {"chain",
       Export("chain.pfx", "-passout pass:s3cret -certfile " + ShellQuote(chain_.string())),
       "s3cret", "", false},
      // An empty old password is completed in the dialog, where it may stay empty.
      {"empty password", Export("empty.pfx", "-passout pass:"), "", "expect 203\nclick 1\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const OpensslView before = OpensslRead(c.file, c.old_password, c.legacy);
    ASSERT_TRUE(before.opened);
    CertComponent& component = Component(c.script);
    ASSERT_EQ(component.ChangePfxPasswd(Folder(), Name(c.file), ConvertToWide(c.old_password),
                                        u"n3w pass", 0),
              0)
        << std::hex << component.GetCapiErrorCode();
    EXPECT_FALSE(OpensslRead(c.file, c.old_password, true).opened);
    const OpensslView after = OpensslRead(c.file, "n3w pass");
    ASSERT_TRUE(after.opened);
    EXPECT_EQ(after.certificates, before.certificates);
    EXPECT_FALSE(after.modulus.empty());
    EXPECT_EQ(after.modulus, before.modulus);
    EXPECT_EQ(fs::status(c.file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
  }
  // A new password left empty in the dialog is an empty password openssl takes.
  const fs::path file = dir_.path() / "default.pfx";
  CertComponent& component = Component("expect 203\nclick 1\n");
  ASSERT_EQ(component.ChangePfxPasswd(Folder(), Name(file), u"n3w pass", u"", 0), 0);
  EXPECT_TRUE(OpensslRead(file, "").opened);
}

// Files of other producers (tests/data/pkcs12/files.tsv): what the component can read is carried
// over whole, friendly names included; what it cannot read is refused and left as it was.
TEST_F(PfxPasswordTest, FilesOfOtherProducersSurviveAChange) {
  std::ifstream table(testing::TestDataPath("pkcs12/files.tsv"));
  int rows = 0;
  for (std::string line; std::getline(table, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f;
    std::istringstream split(line);
    for (std::string field; std::getline(split, field, '\t');) f.push_back(field);
    ASSERT_EQ(f.size(), 8u) << line;
    SCOPED_TRACE(f[0]);
    ++rows;
    const fs::path file = dir_.path() / f[0];
    fs::copy_file(testing::TestDataPath("pkcs12/" + f[0]), file);
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
    const Bytes original = testing::ReadWholeFile(file);
    // "-" (no password) and "\"\"" (empty) are both given as empty text, in the dialog.
    const std::string old_password = f[1] == "-" || f[1] == "\"\"" ? "" : f[1];
    const auto contents = ReadPkcs12(
        original, f[1] == "-" ? std::nullopt : std::optional<std::string_view>(old_password));
    CertComponent& component = Component(old_password.empty() ? "expect 203\nclick 1\n" : "");
    const int32_t code =
        component.ChangePfxPasswd(Folder(), Name(file), Utf8ToUtf16(old_password), u"n3w-pass", 0);
    if (f[3] != "0") {
      EXPECT_EQ(code, 5208);
      EXPECT_EQ(testing::ReadWholeFile(file), original);
      continue;
    }
    ASSERT_EQ(code, 0) << std::hex << component.GetCapiErrorCode();
    ASSERT_TRUE(contents.has_value());
    const OpensslView after = OpensslRead(file, "n3w-pass");
    ASSERT_TRUE(after.opened);
    ASSERT_EQ(after.certificates.size(), contents->certificates.size());
    for (size_t i = 0; i < after.certificates.size(); ++i) {
      EXPECT_EQ(after.certificates[i], contents->certificates[i].der) << i;
    }
    EXPECT_EQ(after.modulus,
              contents->keys.empty() ? "" : ModulusOf(contents->keys[0].private_key));
    const auto rewritten = ReadPkcs12(testing::ReadWholeFile(file), "n3w-pass");
    ASSERT_TRUE(rewritten.has_value());
    const int holder = std::stoi(f[6]);
    if (holder >= 0) {
      EXPECT_EQ(rewritten->certificates[holder].key_index, 0);
      EXPECT_EQ(rewritten->certificates[holder].friendly_name, f[7] == "-" ? "" : f[7]);
    }
  }
  EXPECT_EQ(rows, 12);
}

TEST_F(PfxPasswordTest, RefusalsLeaveTheFileAsItWas) {
  const fs::path good = Export("good.pfx", "-passout pass:right");
  const fs::path keyless = dir_.path() / "key-only.pfx";
  ASSERT_EQ(
      RunCommand("openssl pkcs12 -export -nocerts -inkey " + ShellQuote(issued_.key.string()) +
                 " -passout pass:right -out " + ShellQuote(keyless.string()) + " 2>/dev/null"),
      0);
  dir_.WriteFile("garbage.pfx", "this is not a PFX file at all");
  dir_.WriteFile("empty.pfx", "");
  const struct {
    const char* label;
    std::u16string folder, name, old_password;
    int32_t code;
    uint32_t platform_error;
  } cases[] = {
      {"wrong old password", Folder(), u"good.pfx", u"wrong", 5208, 86},
      {"missing file", Folder(), u"missing.pfx", u"right", 5902, 0},
      {"garbage", Folder(), u"garbage.pfx", u"right", 5207, 0x8009310B},
      {"empty file", Folder(), u"empty.pfx", u"right", 5401, 0},
      // The new file could hold the key only with a certificate: rewriting would lose it.
      {"a key without a certificate", Folder(), u"key-only.pfx", u"right", 5210, 0x80090005},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const fs::path file = ConvertToNarrow(c.folder) + "/" + ConvertToNarrow(c.name);
    const Bytes before = fs::exists(file) ? testing::ReadWholeFile(file) : Bytes{};
    CertComponent& component = Component();
    EXPECT_EQ(component.ChangePfxPasswd(c.folder, c.name, c.old_password, u"new", 0), c.code);
    EXPECT_EQ(component.GetCapiErrorCode(), static_cast<int32_t>(c.platform_error));
    if (!before.empty()) {
      EXPECT_EQ(testing::ReadWholeFile(file), before);
    }
  }
  // Protected mode refuses before anything is read.
  EXPECT_EQ(Component("", true).ChangePfxPasswd(Folder(), u"good.pfx", u"right", u"new", 0), 1500);
  // The dialog: no host, cancelled, and a confirmation that differs in one character.
  const Bytes before = testing::ReadWholeFile(good);
  EXPECT_EQ(Component().ChangePfxPasswd(Folder(), u"good.pfx", u"right", u"", 0), 5002);
  EXPECT_EQ(Component("expect 203\ncancel\n").ChangePfxPasswd(Folder(), u"good.pfx", u"", u"", 0),
            5070);
  EXPECT_EQ(Component("expect 203\nset 304 fresh\nset 305 fresH\nclick 1\n")
                .ChangePfxPasswd(Folder(), u"good.pfx", u"right", u"", 0),
            5209);
  EXPECT_EQ(testing::ReadWholeFile(good), before);
  // A file that was queried, then replaced by garbage.
  ASSERT_EQ(Component().QueryPfxInfo(Folder(), u"good.pfx", u"right", 0, 0), 0);
  dir_.WriteFile("good.pfx", "garbage now");
  EXPECT_EQ(Component().ChangePfxPasswd(Folder(), u"good.pfx", u"right", u"new", 0), 5207);
}

// The write fails half-way (the file size limit stands in for a full disk), reported or as a
// crash of the process: the old file stays whole, under its old password.
TEST_F(PfxPasswordTest, AFailedWriteLeavesTheOldFile) {
  const fs::path pfx = Export("kept.pfx", "-passout pass:old");
  const Bytes before = testing::ReadWholeFile(pfx);
  for (const bool crash : {false, true}) {
    SCOPED_TRACE(crash ? "killed while writing" : "write refused");
    CertComponent& component = Component();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      signal(SIGXFSZ, crash ? SIG_DFL : SIG_IGN);
      const rlimit limit{512, 512};
      setrlimit(RLIMIT_FSIZE, &limit);
      _exit(component.ChangePfxPasswd(Folder(), u"kept.pfx", u"old", u"new", 0) == 1103 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (crash) {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ);
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "1103 reported";
    }
    EXPECT_EQ(testing::ReadWholeFile(pfx), before);
    EXPECT_TRUE(OpensslRead(pfx, "old").opened);
  }
}

TEST_F(PfxPasswordTest, ChangePfxPasswdExPublishesToInstancesSigningWithTheSameFile) {
  const std::string block = "kelvadrome-test-password-share-" + std::to_string(::getpid());
  testing::ScopedEnv share("KELVADROME_SHARE_NAME", block.c_str());
  const fs::path signer = Export("signer.pfx", "-passout pass:pw");
  fs::copy_file(signer, dir_.path() / "SIGNER.pfx");  // another file on a case-sensitive system
  fs::create_symlink(signer, dir_.path() / "link.pfx");
  CertComponent& first = Component("expect 202\nset 303 pw\nclick 1\n");
  ASSERT_EQ(first.SelectSignerEx2(u"", Folder(), u"signer.pfx", 0, u"", 0x200, 0), 0);
  SignerShare reader;
  reader.Open();
  const struct {
    const char* label;
    std::u16string folder, name, old_password, new_password;
    int32_t port, code;
    std::string published;
  } steps[] = {
      {"another file", Folder(), u"SIGNER.pfx", u"pw", u"other", 1, 0, "pw"},
      {"port 0", Folder(), u"signer.pfx", u"pw", u"zero", 0, 0, "pw"},
      {"wrong old password", Folder(), u"signer.pfx", u"pw", u"x", 1, 5208, "pw"},
      {"the same file by another path", Folder() + u"/.", u"signer.pfx", u"zero", u"new", 1, 0,
       "new"},
      {"through a link", Folder(), u"link.pfx", u"new", u"linked", 1, 0, "linked"},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.label);
    // A fresh instance, which never opened the share before.
    CertComponent& changer = Component();
    EXPECT_EQ(
        changer.ChangePfxPasswdEx(s.folder, s.name, s.old_password, s.new_password, s.port, 0),
        s.code);
    const std::optional<PublishedPfxFile> published = reader.ReadPfxFile();
    ASSERT_TRUE(published.has_value());
    EXPECT_EQ(published->password, s.published);
  }
  EXPECT_TRUE(fs::is_symlink(dir_.path() / "link.pfx")) << "the link stays a link";
  EXPECT_TRUE(OpensslRead(signer, "linked").opened);
  // The first instance signs with the file under the password it learnt from the share.
  EXPECT_NE(first.SignPkcs1(u"text", 0), u"");
  EXPECT_EQ(first.GetErrorCode(), 0);
}

TEST_F(PfxPasswordTest, QueryPfxInfoReadsTheKeyBearingCertificatesOnly) {
  Export("plain.pfx", "-passout pass:pw");
  Export("chain.pfx", "-passout pass:pw -certfile " + ShellQuote(chain_.string()));
  Export("empty.pfx", "-passout pass:");
  fs::copy_file(testing::TestDataPath("pkcs12/java-keytool-certonly-nomac.p12"),
                dir_.path() / "certonly.p12");
  ByteBuffer der;
  ASSERT_TRUE(der.Base64Decode(testing::Base64Body(issued_.certificate).c_str()));
  const Bytes holder(der.data(), der.data() + der.length());
  const struct {
    const char* label;
    std::u16string name, password;
    int32_t flags, key_usage;
    std::string script;
    int32_t code;
    bool taken;
  } cases[] = {
      {"the holder, not its CAs", u"chain.pfx", u"pw", 0, 0, "", 0, true},
      {"user-protected keys", u"plain.pfx", u"pw", 2, 0xA0, "", 0, true},
      {"an empty password in the dialog", u"empty.pfx", u"", 0, 0, "expect 202\nclick 1\n", 0,
       true},
      {"keyCertSign wanted", u"plain.pfx", u"pw", 0, 0x04, "", 5017, false},
      {"no key at all", u"certonly.p12", u"any", 0, 0, "", 5204, false},
      {"wrong password", u"plain.pfx", u"bad", 0, 0, "", 5208, false},
      {"cancelled", u"plain.pfx", u"", 0, 0, "expect 202\ncancel\n", 5070, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    CertComponent& component = Component(c.script);
    ASSERT_EQ(component.QueryPfxInfo(Folder(), u"plain.pfx", u"pw", 0, 0), 0);  // replaced below
    EXPECT_EQ(component.QueryPfxInfo(Folder(), c.name, c.password, c.flags, c.key_usage), c.code);
    const SelectedSigner& signer = component.selected_signer();
    EXPECT_EQ(signer.der, c.taken ? holder : Bytes{});
    EXPECT_EQ(component.GetSignerPfxFilePath(), c.taken ? Folder() : u"");
    EXPECT_EQ(component.GetSignerPfxFileName(), c.taken ? c.name : u"");
    EXPECT_EQ(signer.source, SignerSource::kNone);
    EXPECT_EQ(signer.pfx_password, "");
  }
  EXPECT_TRUE(CertStore::OpenSystem("MY")->Enumerate()->empty()) << "nothing is imported";
  EXPECT_EQ(Component("", true).QueryPfxInfo(Folder(), u"plain.pfx", u"pw", 0, 0), 1500);
}

}  // namespace
}  // namespace kelvadrome
