// PFX files in and out of the personal store, with files made by other producers (the openssl
// command, Java's keytool, a Windows export) and checked by them.
#include "ops/pfx_transfer.h"

#include <filesystem>
#include <fstream>
#include <memory>

#include <gtest/gtest.h>

#include "codec/cert_info.h"
#include "codec/digest.h"
#include "frame/cert_component.h"
#include "platform/cert_store.h"
#include "platform/certificate_key.h"
#include "platform/key_container.h"
#include "platform/pkcs12.h"
#include "platform/text.h"
#include "support/openssl_ca.h"
#include "support/test_support.h"
#include "ui/dialog_host.h"

namespace kelvadrome {
namespace {

using testing::Base64Body;
using testing::FileText;
using testing::RunCommand;
using testing::ShellQuote;

std::vector<uint8_t> DerOfPem(const std::filesystem::path& pem) {
  ByteBuffer bytes;
  EXPECT_TRUE(bytes.Base64Decode(Base64Body(pem).c_str()));
  return std::vector<uint8_t>(bytes.data(), bytes.data() + bytes.length());
}

// A host that closes every dialog with OK as soon as it is shown, without a person's checks.
class AcceptingHost : public DialogHost {
 public:
  PickResult PickOpenFile(const OpenFileRequest&) override { return {}; }
  PickResult BrowseFolder(const std::string&) override { return {}; }
  DialogOutcome ShowModal(DialogModel& model) override {
    model.Initialize(*this);
    return DialogOutcome::kOk;
  }
  void ShowMessage(const std::string&, const std::string&) override {}
  void ViewFile(const std::string&) override {}
};

class PfxTransferTest : public ::testing::Test {
 protected:
  PfxTransferTest()
      : profile_("KELVADROME_PROFILE", (dir_.path() / "profile").c_str()),
        dialogs_("KELVADROME_DIALOGS", "none") {
    std::filesystem::create_directories(dir_.path() / "ca");
    std::filesystem::create_directories(dir_.path() / "files");
  }

  testing::OpensslCa& ca() {
    if (!ca_) ca_ = std::make_unique<testing::OpensslCa>(dir_.path() / "ca");
    return *ca_;
  }

  // A component whose user follows |script| (the dialog script syntax), or has no dialogs.
  CertComponent& Component(const std::string& script = {}) {
    ComponentEnvironment environment;
    if (!script.empty()) {
      const auto file = dir_.WriteFile("user.script", script);
      host_ = MakeDialogHost("script:" + file.string());
      environment.dialog_host = host_.get();
    }
    component_ = std::make_unique<CertComponent>(std::move(environment));
    return *component_;
  }

  // A key and a certificate issued by the test CA, as PEM files files/<name>.key and
  // files/<name>.pem; returns the certificate path.
  std::filesystem::path IssueWithKey(const std::string& name, const std::string& subject) {
    const auto folder = dir_.path() / "files";
    const auto issued = ca().IssueWithNewKey(name, subject);
    const auto certificate = folder / (name + ".pem");
    const auto overwrite = std::filesystem::copy_options::overwrite_existing;
    std::filesystem::copy_file(issued.key, folder / (name + ".key"), overwrite);
    std::filesystem::copy_file(issued.certificate, certificate, overwrite);
    return certificate;
  }

  // openssl pkcs12 -export of |name|'s key and certificate with |options|, into |file| (default
  // <name>.pfx).
  std::filesystem::path ExportWithOpenssl(const std::string& name, const std::string& options,
                                          const std::string& file = {}) {
    const auto folder = dir_.path() / "files";
    const auto pfx = folder / (file.empty() ? name + ".pfx" : file);
    EXPECT_EQ(RunCommand("openssl pkcs12 -export -inkey " +
                         ShellQuote((folder / (name + ".key")).string()) + " -in " +
                         ShellQuote((folder / (name + ".pem")).string()) + " " + options +
                         " -out " + ShellQuote(pfx.string())),
              0);
    return pfx;
  }

  std::vector<StoredCertificate> Personal() {
    return CertStore::OpenSystem("MY")->Enumerate().value_or(std::vector<StoredCertificate>{});
  }

  size_t ContainerCount() { return KeyContainerStore::OpenUser()->Names()->size(); }

  testing::TempDir dir_;
  testing::ScopedEnv profile_;
  testing::ScopedEnv dialogs_;
  std::unique_ptr<testing::OpensslCa> ca_;
  std::unique_ptr<DialogHost> host_;
  std::unique_ptr<CertComponent> component_;
};

TEST(DefaultPfxFileName, AddsTheExtensionOnlyWhenMissing) {
  const struct {
    std::string configured, common_name, expected;
  } cases[] = {
      {"MyCert", "Alice", "MyCert.pfx"},
      {"backup.PFX", "Alice", "backup.PFX"},
      {"a.pfx.old", "Alice", "a.pfx.old"},  // ".pfx" anywhere counts
      {"", "Alice 憑證", "Alice 憑證.pfx"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.configured);
    EXPECT_EQ(DefaultPfxFileName(c.configured, c.common_name), c.expected);
  }
}

TEST_F(PfxTransferTest, ImportsFilesOfOtherProducersWithTheirKeys) {
  IssueWithKey("alice", "/CN=Alice/O=Interop");
  const auto chain = dir_.path() / "files" / "chain.pem";
  std::ofstream(chain) << FileText(ca().intermediate()) << FileText(ca().root());
  const struct {
    const char* label;
    std::filesystem::path file;
    std::string password;
  } cases[] = {
      {"openssl defaults (AES-256, PBKDF2)",
       ExportWithOpenssl("alice", "-passout pass:s3cret", "default.pfx"), "s3cret"},
      {"openssl -legacy (RC2-40, 3DES)",
       ExportWithOpenssl("alice", "-legacy -passout pass:s3cret", "legacy.pfx"), "s3cret"},
      {"with its chain",
       ExportWithOpenssl("alice", "-passout pass:s3cret -certfile " + ShellQuote(chain.string()),
                         "chain.pfx"),
       "s3cret"},
      {"an empty password", ExportWithOpenssl("alice", "-passout pass:", "empty.pfx"), ""},
      {"a Windows export with no password at all",
       testing::TestDataPath("pfx/windows-azure-tools-nullpwd.p12"), ""},
      {"a Windows export under an empty password",
       testing::TestDataPath("pfx/windows-ias-peap-ldaps.p12"), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    // An empty password opens the dialog, where the scripted user confirms it empty.
    CertComponent& used = c.password.empty() ? Component("expect 202\nclick 1\n") : Component();
    EXPECT_EQ(used.ImportPfxToIE(ConvertToWide(c.file.parent_path().string()),
                                 ConvertToWide(c.file.filename().string()),
                                 ConvertToWide(c.password), 1, 0),
              0)
        << "platform error " << std::hex << used.GetCapiErrorCode();
    EXPECT_EQ(used.GetImportedPfxFilePath(), ConvertToWide(c.file.parent_path().string()));
    EXPECT_EQ(used.GetImportedPfxFileName(), ConvertToWide(c.file.filename().string()));
    auto personal = CertStore::OpenSystem("MY");
    bool found_with_key = false;
    const auto stored_certificates = personal->Enumerate();
    ASSERT_TRUE(stored_certificates.has_value());
    for (const auto& stored : *stored_certificates) {
      if (used.selected_signer().der != stored.der) continue;
      found_with_key = AcquireCertificatePrivateKey(*personal, stored.id, true).has_value();
    }
    EXPECT_TRUE(found_with_key) << "the imported certificate is in MY, linked to its key";
  }
  // Only key-bearing certificates come in: the chain's CA certificates stay out.
  for (const auto& stored : Personal()) {
    const CertInfo info(stored.der.data(), static_cast<int32_t>(stored.der.size()));
    EXPECT_NE(info.GetSubjectCN(), "Test Root CA");
    EXPECT_NE(info.GetSubjectCN(), "Test Issuing CA");
  }
}

TEST_F(PfxTransferTest, EveryKeyBearingCertificateOfAFileImportsWithItsFlags) {
  // Two certificates with their keys in one file, which the openssl command cannot make.
  std::vector<Pkcs12Entry> entries;
  for (const std::string name : {"frank", "grace"}) {
    const auto certificate = IssueWithKey(name, "/CN=" + name + "/O=Interop");
    const auto key_der = dir_.path() / "files" / (name + ".p8");
    ASSERT_EQ(RunCommand("openssl pkcs8 -topk8 -nocrypt -outform DER -in " +
                         ShellQuote((dir_.path() / "files" / (name + ".key")).string()) + " -out " +
                         ShellQuote(key_der.string())),
              0);
    const auto key = testing::ReadWholeFile(key_der);
    entries.push_back({DerOfPem(certificate), SecretBytes(key.data(), key.size()), name});
  }
  const auto pfx = WritePkcs12(entries, "two");
  ASSERT_TRUE(pfx.has_value());
  dir_.WriteFile("two.pfx", std::string(pfx->begin(), pfx->end()));
  // Bit 1: each key asks before it is used, and nobody here can allow it.
  CertComponent& component = Component();
  ASSERT_EQ(component.ImportPfxToIE(ConvertToWide(dir_.path().string()), u"two.pfx", u"two", 3, 0),
            0);
  std::vector<uint8_t> both = entries[0].certificate;
  both.insert(both.end(), entries[1].certificate.begin(), entries[1].certificate.end());
  EXPECT_EQ(component.selected_signer().der, both);
  ASSERT_EQ(Personal().size(), 2u);
  EXPECT_EQ(ContainerCount(), 2u);
  auto personal = CertStore::OpenSystem("MY");
  for (const auto& stored : Personal()) {
    auto key = AcquireCertificatePrivateKey(*personal, stored.id, true);
    ASSERT_TRUE(key.has_value());
    EXPECT_EQ(key->container->DescribeKey(key->key_spec)->flags,
              key_flag::kExportable | key_flag::kUserProtected);
    Sha1Digest digest;
    digest.Compute("x", 1);
    EXPECT_FALSE(key->container
                     ->SignHash(key->key_spec, key_algorithm::kSha1,
                                std::span<const uint8_t>(digest.data(), 20))
                     .has_value());
  }
}

TEST_F(PfxTransferTest, AJavaKeystoreImports) {
  if (RunCommand("command -v keytool") != 0) GTEST_SKIP() << "no keytool";
  const auto store = dir_.path() / "files" / "java.p12";
  ASSERT_EQ(RunCommand("keytool -genkeypair -alias bob -keyalg RSA -keysize 2048 -dname "
                       "'CN=Bob Java,O=Interop' -validity 30 -storetype PKCS12 -keystore " +
                       ShellQuote(store.string()) + " -storepass javapass -keypass javapass"),
            0);
  CertComponent& component = Component();
  EXPECT_EQ(component.ImportPfxToIE(ConvertToWide(store.parent_path().string()), u"java.p12",
                                    u"javapass", 1, 0),
            0);
  ASSERT_EQ(Personal().size(), 1u);
  auto personal = CertStore::OpenSystem("MY");
  EXPECT_TRUE(AcquireCertificatePrivateKey(*personal, Personal()[0].id, true).has_value());
}

TEST_F(PfxTransferTest, AFailedImportLeavesNothingBehind) {
  IssueWithKey("carol", "/CN=Carol/O=Interop");
  const auto pfx = ExportWithOpenssl("carol", "-passout pass:right");
  const auto folder = ConvertToWide(pfx.parent_path().string());
  const auto garbage = dir_.WriteFile("garbage.pfx", "this is not a PFX file at all");
  const auto empty = dir_.WriteFile("empty.pfx", "");
  const auto bytes = testing::ReadWholeFile(pfx);
  const auto truncated =
      dir_.WriteFile("truncated.pfx", std::string(bytes.begin(), bytes.begin() + bytes.size() / 2));
  const auto dir = ConvertToWide(dir_.path().string());
  const struct {
    const char* label;
    std::u16string folder, name, password;
    int32_t key_usage;
    int32_t code;
  } cases[] = {
      {"a wrong password", folder, u"carol.pfx", u"wrong", 0, 5208},
      {"a key usage the certificate lacks (keyCertSign)", folder, u"carol.pfx", u"right", 0x04,
       5017},
      {"no such file", folder, u"missing.pfx", u"right", 0, 5902},
      {"not a PFX file", dir, u"garbage.pfx", u"right", 0, 5207},
      {"an empty file", dir, u"empty.pfx", u"right", 0, 5401},
      {"half a PFX file", dir, u"truncated.pfx", u"right", 0, 5207},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    CertComponent& component = Component();
    EXPECT_EQ(component.ImportPfxToIE(c.folder, c.name, c.password, 1, c.key_usage), c.code);
    EXPECT_EQ(component.GetImportedPfxFileName(), u"");
    EXPECT_TRUE(Personal().empty());
    EXPECT_EQ(ContainerCount(), 0u) << "no key reached the profile";
  }
  // With nobody to ask, a missing password is a dialog that cannot be shown.
  CertComponent& component = Component();
  EXPECT_EQ(component.ImportPfxToIE(folder, u"carol.pfx", u"", 1, 0), 5002);
}

TEST_F(PfxTransferTest, ExportedFilesOpenElsewhereAndRoundTrip) {
  IssueWithKey("dave", "/CN=Dave Export/O=Interop");
  const auto pfx = ExportWithOpenssl("dave", "-passout pass:in");
  // Import exportable, then export through the dialog (password typed twice).
  ASSERT_EQ(Component().ImportPfxToIE(ConvertToWide(pfx.parent_path().string()), u"dave.pfx", u"in",
                                      1, 0),
            0);
  const auto target = dir_.path() / "exported";
  CertComponent& exporter = Component("expect 206\nset 303 out-pass\nset 304 out-pass\nclick 1\n");
  EXPECT_EQ(exporter.ExportPfxFromIE(u"S_CN=Dave", ConvertToWide(target.string()), u"", 0x8, 0), 0);
  EXPECT_EQ(exporter.GetExportedPfxFileName(), u"Dave Export.pfx");
  const auto written = target / "Dave Export.pfx";
  ASSERT_TRUE(std::filesystem::exists(written)) << "the folder was created and the file written";

  std::string info;
  EXPECT_EQ(RunCommand("openssl pkcs12 -info -noout -passin pass:out-pass -in " +
                           ShellQuote(written.string()) + " 2>&1",
                       &info),
            0);
  EXPECT_NE(info.find("MAC: sha1, Iteration 2048"), std::string::npos) << info;
  EXPECT_NE(info.find("pbeWithSHA1And3-KeyTripleDES-CBC, Iteration 2048"), std::string::npos)
      << info;
  // The key in the file is the certificate's.
  const std::string f = ShellQuote(written.string());
  std::string key_modulus, cert_modulus;
  RunCommand("openssl pkcs12 -in " + f +
                 " -passin pass:out-pass -nocerts -nodes | openssl rsa -noout -modulus",
             &key_modulus);
  RunCommand(
      "openssl pkcs12 -in " + f + " -passin pass:out-pass -nokeys | openssl x509 -noout -modulus",
      &cert_modulus);
  EXPECT_FALSE(key_modulus.empty());
  EXPECT_EQ(key_modulus.substr(key_modulus.find('=')), cert_modulus.substr(cert_modulus.find('=')));
  if (RunCommand("command -v keytool") == 0) {
    std::string listing;
    EXPECT_EQ(
        RunCommand("keytool -list -storetype PKCS12 -storepass out-pass -keystore " + f, &listing),
        0);
    EXPECT_NE(listing.find("PrivateKeyEntry"), std::string::npos) << listing;
  }

  // Into a second profile: the same certificate, with a key that signs.
  testing::TempDir second;
  testing::ScopedEnv other("KELVADROME_PROFILE", second.path().c_str());
  ASSERT_EQ(Component().ImportPfxToIE(ConvertToWide(target.string()), u"Dave Export.pfx",
                                      u"out-pass", 0, 0),
            0);
  ASSERT_EQ(Personal().size(), 1u);
  EXPECT_EQ(Personal()[0].der, DerOfPem(dir_.path() / "files" / "dave.pem"));
  auto personal = CertStore::OpenSystem("MY");
  auto key = AcquireCertificatePrivateKey(*personal, Personal()[0].id, true);
  ASSERT_TRUE(key.has_value());
  Sha1Digest digest;
  digest.Compute("x", 1);
  EXPECT_TRUE(key->container
                  ->SignHash(key->key_spec, key_algorithm::kSha1,
                             std::span<const uint8_t>(digest.data(), 20))
                  .has_value());
  EXPECT_FALSE(key->container->ExportPrivateKeyPkcs8(key->key_spec).has_value())
      << "imported with flags 0: not exportable";
}

// The friendly name of a file's bags becomes the certificate's friendly name in "MY" and goes back
// out with it; a file without one sets none, and the export names the certificate by its common
// name as before.
TEST_F(PfxTransferTest, FriendlyNamesOfAFileArriveInMyAndGoBackOut) {
  // The property as the store keeps it: UTF-16LE with a terminating zero unit.
  const auto stored_form = [](const std::string& utf8) {
    std::vector<uint8_t> bytes;
    for (const char16_t unit : Utf8ToUtf16(utf8)) {
      bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
      bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    bytes.insert(bytes.end(), {0, 0});
    return bytes;
  };
  const struct {
    const char* label;
    std::string holder;
    std::string friendly_name;  // in the file; empty: none
    std::string exported_name;  // on the bags of the exported file
  } cases[] = {
      {"an ASCII name", "Holder Ann", "Bob FN", "Bob FN"},
      {"a name beyond ASCII", "Holder Ben", "憑證 Bob é", "憑證 Bob é"},
      {"no name", "Holder Cat", "", "Holder Cat"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string file = c.holder.substr(7);
    const auto certificate = IssueWithKey(file, "/CN=" + c.holder);
    const auto pfx = ExportWithOpenssl(
        file, "-passout pass:pw" +
                  (c.friendly_name.empty() ? "" : " -name " + ShellQuote(c.friendly_name)));
    ASSERT_EQ(Component().ImportPfxToIE(ConvertToWide(pfx.parent_path().string()),
                                        ConvertToWide(pfx.filename().string()), u"pw", 1, 0),
              0);
    auto personal = CertStore::OpenSystem("MY");
    const auto stored = personal->Find(CertificateThumbprint(DerOfPem(certificate)));
    ASSERT_TRUE(stored.has_value());
    const auto property = personal->GetProperty(stored->id, cert_property::kFriendlyName);
    if (c.friendly_name.empty()) {
      EXPECT_FALSE(property.has_value());
    } else {
      ASSERT_TRUE(property.has_value());
      EXPECT_EQ(*property, stored_form(c.friendly_name));
    }

    const auto target = dir_.path() / ("out-" + file);
    CertComponent& exporter = Component("expect 206\nset 303 out\nset 304 out\nclick 1\n");
    ASSERT_EQ(exporter.ExportPfxFromIE(u"S_CN=" + ConvertToWide(c.holder),
                                       ConvertToWide(target.string()), u"", 0x8, 0),
              0);
    const auto written = target / (c.holder + ".pfx");
    const std::vector<uint8_t> bytes = testing::ReadWholeFile(written.string());
    const auto contents = ReadPkcs12(bytes, "out");
    ASSERT_TRUE(contents.has_value());
    ASSERT_EQ(contents->certificates.size(), 1u);
    ASSERT_EQ(contents->keys.size(), 1u);
    EXPECT_EQ(contents->certificates[0].friendly_name, c.exported_name);
    EXPECT_EQ(contents->keys[0].friendly_name, c.exported_name);
    std::string info;
    EXPECT_EQ(RunCommand("openssl pkcs12 -info -nokeys -passin pass:out -in " +
                             ShellQuote(written.string()) + " 2>/dev/null",
                         &info),
              0);
    if (c.exported_name == "Bob FN") {
      EXPECT_NE(info.find("friendlyName: Bob FN\n"), std::string::npos) << info;
    }
  }
}

TEST_F(PfxTransferTest, ExportOptionsAndRefusals) {
  IssueWithKey("erin", "/CN=Erin/O=Interop");
  const auto pfx = ExportWithOpenssl("erin", "-passout pass:in");
  const auto folder = ConvertToWide(pfx.parent_path().string());
  const std::string ok_script = "expect 206\nset 303 pw\nset 304 pw\nclick 1\n";

  // A non-exportable key cannot leave.
  ASSERT_EQ(Component().ImportPfxToIE(folder, u"erin.pfx", u"in", 0, 0), 0);
  EXPECT_EQ(Component(ok_script).ExportPfxFromIE(u"", folder, u"", 0, 0), 5205);

  // Exportable now; with its trusted chain the file holds three certificates.
  ASSERT_EQ(Component().ImportPfxToIE(folder, u"erin.pfx", u"in", 1, 0), 0);
  CertStore::OpenSystem("ROOT")->Add(DerOfPem(ca().root()), AddDisposition::kAlways);
  CertStore::OpenSystem("CA")->Add(DerOfPem(ca().intermediate()), AddDisposition::kAlways);
  const auto with_chain = dir_.path() / "with-chain";
  ASSERT_EQ(
      Component(ok_script).ExportPfxFromIE(u"", ConvertToWide(with_chain.string()), u"", 0x200, 0),
      0);
  std::string certificates;
  RunCommand("openssl pkcs12 -in " + ShellQuote((with_chain / "Erin.pfx").string()) +
                 " -passin pass:pw -nokeys | grep -c 'BEGIN CERTIFICATE'",
             &certificates);
  EXPECT_EQ(certificates, "3\n");

  // A folder path that names a file: the dialog refuses it (the user then cancels) ...
  const auto blocker = dir_.WriteFile("blocker", "a file");
  EXPECT_EQ(
      Component(ok_script).ExportPfxFromIE(u"", ConvertToWide(blocker.string()), u"", 0x1000, 0),
      5070);
  // ... and a host that takes the dialog's values unchecked meets the worker's own check: 1001.
  // Either way the certificate stays in MY despite 0x1000.
  {
    AcceptingHost accepting;
    ComponentEnvironment environment;
    environment.dialog_host = &accepting;
    CertComponent component(std::move(environment));
    EXPECT_EQ(component.ExportPfxFromIE(u"", ConvertToWide(blocker.string()), u"", 0x1000, 0),
              1001);
  }
  EXPECT_EQ(Personal().size(), 1u);
  // Written, then removed from MY.
  EXPECT_EQ(Component(ok_script).ExportPfxFromIE(
                u"", ConvertToWide((dir_.path() / "moved").string()), u"", 0x1000, 0),
            0);
  EXPECT_TRUE(Personal().empty());
  EXPECT_TRUE(std::filesystem::exists(dir_.path() / "moved" / "Erin.pfx"));
  // Nothing left to export; a cancelled dialog writes nothing.
  EXPECT_EQ(Component(ok_script).ExportPfxFromIE(u"", folder, u"", 0, 0), 5010);
  ASSERT_EQ(Component().ImportPfxToIE(folder, u"erin.pfx", u"in", 1, 0), 0);
  EXPECT_EQ(Component("expect 206\nclick 2\n")
                .ExportPfxFromIE(u"", ConvertToWide((dir_.path() / "never").string()), u"", 0, 0),
            5070);
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "never"));
}

}  // namespace
}  // namespace kelvadrome
