// The mobile export through CertComponent. Every record is decrypted with the openssl command
// (triple DES, CBC, zero IV, its own PKCS #5 padding check) under a key the test derives itself,
// and parsed field by field with the test's own reader; the RSA numbers are compared with what
// `openssl rsa -text` prints for the same key file.
#include "ops/mobile_export.h"

#include <openssl/sha.h>
#include <openssl/x509.h>

#include <cctype>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <sstream>

#include <gtest/gtest.h>

#include "frame/cert_component.h"
#include "platform/cert_store.h"
#include "platform/key_container.h"
#include "platform/providers.h"
#include "platform/text.h"
#include "support/openssl_ca.h"
#include "support/scoped_code_page.h"
#include "support/test_support.h"
#include "support/x509_builder.h"
#include "ui/dialog_host.h"

namespace kelvadrome {
namespace {

using testing::RunCommand;
using testing::ShellQuote;

constexpr char kProvider[] = "Microsoft Enhanced Cryptographic Provider v1.0";
// Filter flags: match every condition given (0x8), rather than every part of the name; with choice
// mode 2, the first certificate in store order (earliest start, 0x20; ties keep store order).
constexpr int32_t kByCondition = 0x8;
constexpr int32_t kFirst = kByCondition | 2 | 0x20;

// A key made by openssl, its certificate from the test CA and both in a PFX file (password "pw").
struct KeyFiles {
  int bits = 0;
  std::string common_name;  // UTF-8
  std::filesystem::path key;
  std::filesystem::path pfx;
  std::vector<uint8_t> der;
};

std::string Output(const std::string& command) {
  std::string out;
  EXPECT_EQ(RunCommand(command, &out), 0) << command;
  return out;
}

std::vector<uint8_t> Bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

// The numbers `openssl rsa -text` prints ("modulus:", "prime1:", ...), without leading zeros.
std::map<std::string, std::vector<uint8_t>> OpensslRsaNumbers(const std::filesystem::path& key) {
  std::map<std::string, std::vector<uint8_t>> numbers;
  std::istringstream lines(Output("openssl rsa -text -noout -in " + ShellQuote(key.string())));
  std::string line, label, hex;
  const auto flush = [&] {
    if (label.empty()) return;
    std::vector<uint8_t> value = testing::HexBytes(hex);
    while (!value.empty() && value.front() == 0) value.erase(value.begin());
    numbers[label] = value;
    label.clear();
    hex.clear();
  };
  while (std::getline(lines, line)) {
    if (!line.empty() && line[0] == ' ') {
      for (const char c : line) {
        if (std::isxdigit(static_cast<unsigned char>(c))) hex += c;
      }
    } else {
      flush();
      if (!line.empty() && line.back() == ':') label = line.substr(0, line.size() - 1);
    }
  }
  flush();
  return numbers;
}

// A validity bound of |der| (OpenSSL's reading) as local time on a system at UTC+1, 14 digits.
std::string LocalCompactTime(const ASN1_TIME* time) {
  struct tm utc = {};
  EXPECT_EQ(ASN1_TIME_to_tm(time, &utc), 1);
  const time_t shifted = timegm(&utc) + 3600;
  struct tm local = {};
  gmtime_r(&shifted, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &local);
  return text;
}

// The record as the test reads it: big-endian counts, numbers at the widths the bit length gives.
struct Record {
  std::string magic;
  uint32_t bits = 0, exponent = 0;
  std::vector<uint8_t> numbers[7];  // n, p, q, dp, dq, qinv, d
  std::vector<uint8_t> common_name, serial, thumbprint, certificate;
  std::string not_before, not_after;
};

class RecordReader {
 public:
  explicit RecordReader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  bool Take(size_t n, std::vector<uint8_t>& out) {
    if (bytes_.size() - position_ < n) return false;
    out.assign(bytes_.begin() + static_cast<ptrdiff_t>(position_),
               bytes_.begin() + static_cast<ptrdiff_t>(position_ + n));
    position_ += n;
    return true;
  }
  bool Be32(uint32_t& value) {
    std::vector<uint8_t> b;
    if (!Take(4, b)) return false;
    value = static_cast<uint32_t>(b[0]) << 24 | b[1] << 16 | b[2] << 8 | b[3];
    return true;
  }
  bool Counted(std::vector<uint8_t>& out) {
    uint32_t n = 0;
    return Be32(n) && Take(n, out);
  }
  bool AtEnd() const { return position_ == bytes_.size(); }

 private:
  const std::vector<uint8_t>& bytes_;
  size_t position_ = 0;
};

std::optional<Record> ParseRecord(const std::vector<uint8_t>& plain) {
  Record record;
  RecordReader reader(plain);
  std::vector<uint8_t> magic, before, after;
  if (!reader.Take(4, magic) || !reader.Be32(record.bits) || !reader.Be32(record.exponent)) {
    return std::nullopt;
  }
  record.magic.assign(magic.begin(), magic.end());
  for (size_t i = 0; i < 7; ++i) {
    const size_t width = (i == 0 || i == 6) ? (record.bits + 7) / 8 : (record.bits + 15) / 16;
    if (!reader.Take(width, record.numbers[i])) return std::nullopt;
  }
  if (!reader.Counted(record.common_name) || !reader.Counted(record.serial) ||
      !reader.Take(20, record.thumbprint) || !reader.Take(14, before) || !reader.Take(14, after) ||
      !reader.Counted(record.certificate) || !reader.AtEnd()) {
    return std::nullopt;
  }
  record.not_before.assign(before.begin(), before.end());
  record.not_after.assign(after.begin(), after.end());
  return record;
}

class MobileExportTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    shared_ = std::make_unique<testing::TempDir>();
    testing::OpensslCa ca(shared_->path());
    keys_ = std::make_unique<std::map<std::string, KeyFiles>>();
    const struct {
      const char* name;
      int bits;
      const char* common_name;
    } made[] = {{"k1024", 1024, "Mobile 1024"},  {"k2048", 2048, "Mobile 2048"},
                {"k4096", 4096, "Mobile 4096"},  {"k1032", 1032, "Mobile 1032"},
                {"other", 1024, "Mobile other"}, {"big5", 1024, "王小明"}};
    for (const auto& m : made) {
      KeyFiles files;
      files.bits = m.bits;
      files.common_name = m.common_name;
      files.key = shared_->path() / (std::string(m.name) + ".key");
      files.pfx = shared_->path() / (std::string(m.name) + ".pfx");
      const auto request = shared_->path() / (std::string(m.name) + ".req");
      ASSERT_EQ(RunCommand("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:" +
                           std::to_string(m.bits) + " -out " + ShellQuote(files.key.string()) +
                           " && openssl req -new -utf8 -key " + ShellQuote(files.key.string()) +
                           " -subj " + ShellQuote("/CN=" + files.common_name + "/O=Test") +
                           " -out " + ShellQuote(request.string())),
                0);
      const auto certificate = ca.Issue(testing::Base64Body(request), m.name);
      ASSERT_EQ(
          RunCommand("openssl pkcs12 -export -passout pass:pw -inkey " +
                     ShellQuote(files.key.string()) + " -in " + ShellQuote(certificate.string()) +
                     " -out " + ShellQuote(files.pfx.string())),
          0);
      files.der =
          Bytes(Output("openssl x509 -outform DER -in " + ShellQuote(certificate.string())));
      (*keys_)[m.name] = std::move(files);
    }
  }
  static void TearDownTestSuite() {
    keys_.reset();
    shared_.reset();
  }

  MobileExportTest()
      : profile_("KELVADROME_PROFILE", (dir_.path() / "profile").c_str()),
        dialogs_("KELVADROME_DIALOGS", "none"),
        utc_plus_one_("TZ", "UTC-1") {}

  static const KeyFiles& Key(const std::string& name) { return keys_->at(name); }
  static std::u16string Folder() { return ConvertToWide(shared_->path().string()); }
  static std::u16string Name(const std::string& key) {
    return ConvertToWide(Key(key).pfx.filename().string());
  }

  // A component whose user follows |script|, or has no dialogs at all.
  CertComponent& Component(const std::string& script = {}, bool protected_mode = false) {
    ComponentEnvironment environment;
    environment.protected_mode_probe = [protected_mode] { return protected_mode; };
    host_ =
        MakeDialogHost(script.empty() ? std::string("none")
                                      : "script:" + dir_.WriteFile("user.script", script).string());
    environment.dialog_host = host_.get();
    component_ = std::make_unique<CertComponent>(std::move(environment));
    return *component_;
  }

  // Imports key |name|'s PFX file into "MY" with |flags| (1 exportable, 2 user-protected).
  void Import(const std::string& name, int32_t flags) {
    CertComponent component;
    ASSERT_EQ(component.ImportPfxToIE(Folder(), Name(name), u"pw", flags, 0), 0) << name;
  }

  // Decrypts |text| with openssl under SHA-1(|password|) + "ORLA" and returns the plaintext.
  std::vector<uint8_t> Decrypt(const std::u16string& text, const std::string& password) {
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(password.data()), password.size(), digest);
    std::string key_hex;
    for (const unsigned char byte : digest) {
      char pair[3];
      std::snprintf(pair, sizeof pair, "%02x", byte);
      key_hex += pair;
    }
    key_hex += "4f524c41";  // "ORLA"
    const auto in = dir_.WriteFile("record.b64", std::string(text.begin(), text.end()));
    const auto out = dir_.path() / "record.bin";
    EXPECT_EQ(RunCommand("openssl enc -d -des-ede3-cbc -a -A -K " + key_hex +
                         " -iv 0000000000000000 -in " + ShellQuote(in.string()) + " -out " +
                         ShellQuote(out.string())),
              0);
    const auto plain = testing::ReadWholeFile(out);
    // PKCS #5 always pads: the ciphertext is the plaintext rounded up to the next whole block.
    const size_t cipher_size =
        std::stoul(Output("openssl base64 -d -A -in " + ShellQuote(in.string()) + " | wc -c"));
    EXPECT_EQ(cipher_size, (plain.size() / 8 + 1) * 8);
    return std::vector<uint8_t>(plain.begin(), plain.end());
  }

  // Checks every field of the record in |text| against key |name|'s files.
  void ExpectRecord(const std::u16string& text, const std::string& password,
                    const std::string& name, const std::vector<uint8_t>& common_name) {
    SCOPED_TRACE(name);
    const KeyFiles& files = Key(name);
    ASSERT_FALSE(text.empty());
    const std::vector<uint8_t> plain = Decrypt(text, password);
    const std::optional<Record> record = ParseRecord(plain);
    ASSERT_TRUE(record) << "the record does not parse";
    EXPECT_EQ(record->magic, "ORLA");
    EXPECT_EQ(record->bits, static_cast<uint32_t>(files.bits));
    EXPECT_EQ(record->exponent, 65537u);
    auto numbers = OpensslRsaNumbers(files.key);
    const char* names[] = {"modulus",   "prime1",      "prime2",         "exponent1",
                           "exponent2", "coefficient", "privateExponent"};
    for (size_t i = 0; i < 7; ++i) {
      SCOPED_TRACE(names[i]);
      std::vector<uint8_t> value = record->numbers[i];
      while (!value.empty() && value.front() == 0) value.erase(value.begin());
      EXPECT_FALSE(numbers[names[i]].empty());
      EXPECT_EQ(value, numbers[names[i]]);
    }
    EXPECT_EQ(record->common_name, common_name);
    const unsigned char* cursor = files.der.data();
    X509* x509 = d2i_X509(nullptr, &cursor, static_cast<long>(files.der.size()));
    ASSERT_NE(x509, nullptr);
    unsigned char* serial = nullptr;
    const int serial_size = i2d_ASN1_INTEGER(X509_get0_serialNumber(x509), &serial);
    ASSERT_GT(serial_size, 2);
    EXPECT_EQ(record->serial, std::vector<uint8_t>(serial + 2, serial + serial_size));
    OPENSSL_free(serial);
    EXPECT_EQ(record->not_before, LocalCompactTime(X509_get0_notBefore(x509)));
    EXPECT_EQ(record->not_after, LocalCompactTime(X509_get0_notAfter(x509)));
    X509_free(x509);
    unsigned char thumbprint[SHA_DIGEST_LENGTH];
    SHA1(files.der.data(), files.der.size(), thumbprint);
    EXPECT_EQ(record->thumbprint, std::vector<uint8_t>(thumbprint, thumbprint + 20));
    EXPECT_EQ(record->certificate, files.der);
    if (files.bits % 16 == 0) {
      EXPECT_EQ(plain.size(), 72 + 9 * files.bits / 16 + record->common_name.size() +
                                  record->serial.size() + record->certificate.size());
    }
  }

  static std::unique_ptr<testing::TempDir> shared_;
  static std::unique_ptr<std::map<std::string, KeyFiles>> keys_;
  testing::TempDir dir_;
  testing::ScopedEnv profile_;
  testing::ScopedEnv dialogs_;
  testing::ScopedEnv utc_plus_one_;
  testing::ScopedCodePage utf8_{"UTF-8"};
  std::unique_ptr<DialogHost> host_;
  std::unique_ptr<CertComponent> component_;
};

std::unique_ptr<testing::TempDir> MobileExportTest::shared_;
std::unique_ptr<std::map<std::string, KeyFiles>> MobileExportTest::keys_;

TEST_F(MobileExportTest, EitherSourceGivesTheSameRecordWithEveryField) {
  for (const char* name : {"k1024", "k2048", "k4096", "k1032"}) {
    SCOPED_TRACE(name);
    CertComponent& component = Component();
    const std::u16string text = component.ExportMobileFromPfx(Folder(), Name(name), u"pw", 0, 0);
    EXPECT_EQ(component.GetErrorCode(), 0);
    EXPECT_EQ(component.GetCapiErrorCode(), 0);
    EXPECT_EQ(component.GetExportedPfxFilePath(), Folder());
    EXPECT_EQ(component.GetExportedPfxFileName(), Name(name));
    ExpectRecord(text, "pw", name, Bytes(Key(name).common_name));
    // No salt and no random IV: the same inputs give the same text.
    EXPECT_EQ(component.ExportMobileFromPfx(Folder(), Name(name), u"pw", 0, 0), text);

    Import(name, /*flags=*/1);
    const std::u16string from_store = component.ExportMobileFromIE(
        u"S_CN=" + ConvertToWide(Key(name).common_name), u"pw", kFirst, 0);
    EXPECT_EQ(component.GetErrorCode(), 0);
    EXPECT_EQ(from_store, text);
    EXPECT_EQ(component.GetExportedPfxFilePath(), u"");
  }
}

TEST_F(MobileExportTest, NameAndPasswordAreTakenInTheCodePage) {
  testing::ScopedCodePage big5("CP950");
  const std::vector<uint8_t> name = Bytes(Output("printf '%s' '王小明' | iconv -f UTF-8 -t CP950"));
  const std::string password = Output("printf '%s' '密碼' | iconv -f UTF-8 -t CP950");
  ASSERT_EQ(name.size(), 6u);
  ASSERT_EQ(password.size(), 4u);
  Import("big5", 1);
  CertComponent& component = Component();
  ExpectRecord(component.ExportMobileFromIE(u"S_CN=王小明", u"密碼", kFirst, 0), password, "big5",
               name);
  ExpectRecord(component.ExportMobileFromPfx(Folder(), Name("big5"), u"pw", 0, 0), "pw", "big5",
               name);
}

TEST_F(MobileExportTest, PfxFileAndPasswordComeFromTheDialogOrTheSelectedSigner) {
  const std::u16string reference =
      Component().ExportMobileFromPfx(Folder(), Name("k1024"), u"pw", 0, 0);
  ASSERT_FALSE(reference.empty());
  const std::string pfx = Key("k1024").pfx.string();
  const struct {
    const char* label;
    std::string script;
    std::u16string folder, name;
    int32_t code;
  } cases[] = {
      {"password typed", "expect 207\nset 303 pw\nclick 1\n", Folder(), Name("k1024"), 0},
      {"file browsed, password typed",
       "expect 207\nclick 301\nexpect open-file\nchoose " + pfx + "\nset 303 pw\nclick 1\n", u"",
       u"", 0},
      {"cancelled", "expect 207\nclick 2\n", Folder(), Name("k1024"), 5070},
      {"no dialog can be shown", "", Folder(), Name("k1024"), 5002},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    CertComponent& component = Component(c.script);
    const std::u16string text = component.ExportMobileFromPfx(c.folder, c.name, u"", 0, 0);
    EXPECT_EQ(component.GetErrorCode(), c.code);
    EXPECT_EQ(text, c.code == 0 ? reference : u"");
    EXPECT_EQ(component.GetExportedPfxFileName(), c.code == 0 ? Name("k1024") : u"");
  }
  // 0x4000 takes the file and password of a signer selected from a PFX file: no dialog needed.
  CertComponent& component = Component();
  EXPECT_EQ(component.ExportMobileFromPfx(u"", u"", u"", 0x4000, 0), u"");
  EXPECT_EQ(component.GetErrorCode(), 5002) << "no PFX signer: the arguments are used";
  ASSERT_EQ(component.SelectSignerEx(u"", Folder(), Name("k1024"), u"pw", u"", 0x200, 0), 0);
  EXPECT_EQ(component.ExportMobileFromPfx(u"", u"", u"wrong", 0x4000, 0), reference);
  EXPECT_EQ(component.GetExportedPfxFilePath(), Folder());
}

TEST_F(MobileExportTest, PfxFailuresGiveTheirCodesAndNoText) {
  const auto folder = dir_.path() / "files";
  std::filesystem::create_directories(folder);
  dir_.WriteFile("files/text.pfx", "this is not a PFX file");
  const auto der = dir_.WriteFile("files/k1024.der",
                                  std::string(Key("k1024").der.begin(), Key("k1024").der.end()));
  ASSERT_EQ(RunCommand("openssl x509 -inform DER -in " + ShellQuote(der.string()) +
                       " | openssl pkcs12 -export -nokeys -passout pass:pw -out " +
                       ShellQuote((folder / "nokey.pfx").string())),
            0);
  const std::u16string files = ConvertToWide(folder.string());
  const struct {
    const char* label;
    std::u16string folder, name, password;
    int32_t key_usage, code;
  } cases[] = {
      {"no file at the path", files, u"missing.pfx", u"pw", 0, 5902},
      {"the file is text, not PFX", files, u"text.pfx", u"pw", 0, 5207},
      {"wrong password", Folder(), Name("k1024"), u"wrong", 0, 5208},
      {"a certificate without its key", files, u"nokey.pfx", u"pw", 0, 5010},
      {"keyCertSign asked, the certificate lacks it", Folder(), Name("k1024"), u"pw", 0x04, 5017},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    CertComponent& component = Component();
    EXPECT_EQ(component.ExportMobileFromPfx(c.folder, c.name, c.password, 0, c.key_usage), u"");
    EXPECT_EQ(component.GetErrorCode(), c.code);
  }
  CertComponent& refusing = Component({}, /*protected_mode=*/true);
  EXPECT_EQ(refusing.ExportMobileFromPfx(Folder(), Name("k1024"), u"pw", 0, 0), u"");
  EXPECT_EQ(refusing.GetErrorCode(), 1500);
  EXPECT_EQ(refusing.ExportMobileFromIE(u"", u"pw", 2, 0), u"");
  EXPECT_EQ(refusing.GetErrorCode(), 1500);
}

TEST_F(MobileExportTest, StoreKeysThatCannotBeExportedOrDoNotBelongGiveTheirCodes) {
  Import("k1024", /*flags=*/0);  // not exportable
  Import("other", /*flags=*/3);  // exportable, but each use needs the user's consent
  Import("k2048", /*flags=*/1);
  // The container behind Mobile 2048 gets a new key: it no longer belongs to the certificate.
  {
    auto personal = CertStore::OpenSystem("MY");
    const auto found = personal->Find(CertificateThumbprint(Key("k2048").der));
    ASSERT_TRUE(found);
    const auto value = personal->GetProperty(found->id, cert_property::kKeyProviderInfo);
    ASSERT_TRUE(value);
    const auto link = DecodeKeyProviderLink(*value);
    ASSERT_TRUE(link);
    auto container =
        KeyContainerStore::OpenUser()->Open(link->container, link->provider, link->provider_type);
    ASSERT_TRUE(container);
    ASSERT_TRUE(container->GenerateKey(link->key_spec, 1024, key_flag::kExportable));
  }
  const struct {
    const char* label;
    std::u16string filter;
    int32_t code;
    uint32_t platform_error;
  } cases[] = {
      {"nothing matches", u"S_CN=Nobody", 5010, 0},
      {"not exportable", u"S_CN=Mobile 1024", 5205, 0x8009000B},
      {"user-protected, nobody to consent", u"S_CN=Mobile other", 5205, 1223},
      {"the linked key is another one", u"S_CN=Mobile 2048", 5204, 0x80090015},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    CertComponent& component = Component();
    EXPECT_EQ(component.ExportMobileFromIE(c.filter, u"pw", kFirst, 0), u"");
    EXPECT_EQ(component.GetErrorCode(), c.code);
    EXPECT_EQ(static_cast<uint32_t>(component.GetCapiErrorCode()), c.platform_error);
  }
}

TEST_F(MobileExportTest, StoreCandidatesAndPasswordAreChosenByTheUser) {
  Import("k1024", 1);
  Import("other", 1);
  const std::u16string first =
      Component().ExportMobileFromIE(u"S_CN=Mobile 1024", u"pw", kFirst, 0);
  const std::u16string second =
      Component().ExportMobileFromIE(u"S_CN=Mobile other", u"pw", kFirst, 0);
  const std::u16string typed =
      Component().ExportMobileFromIE(u"S_CN=Mobile 1024", u"typed", kFirst, 0);
  ASSERT_FALSE(first.empty());
  ASSERT_FALSE(second.empty());
  const struct {
    const char* label;
    std::u16string filter, password;
    int32_t flags;
    std::string script;
    int32_t code;
    std::u16string text;
  } cases[] = {
      {"two candidates: the list, second row", u"S_O=Test", u"pw", 0,
       "expect 204\nselect 1\nclick 1\n", 0, second},
      {"choice mode 2 never shows the list", u"S_O=Test", u"pw", 2 | 0x20, "", 0, first},
      {"choice mode 1 shows the list for one", u"S_CN=Mobile other", u"pw", 1,
       "expect 204\nclick 1\n", 0, second},
      {"choice mode 1 without a list to show", u"S_CN=Mobile other", u"pw", 1, "", 5010, u""},
      {"list cancelled", u"S_O=Test", u"pw", 3, "expect 204\nclick 2\n", 5070, u""},
      {"password typed", u"S_CN=Mobile 1024", u"", 0, "expect 205\nset 303 typed\nclick 1\n", 0,
       typed},
      {"password dialog cancelled", u"S_CN=Mobile 1024", u"", 0, "expect 205\nclick 2\n", 5070,
       u""},
      {"no password dialog can be shown", u"S_CN=Mobile 1024", u"", 0, "", 5002, u""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    CertComponent& component = Component(c.script);
    EXPECT_EQ(component.ExportMobileFromIE(c.filter, c.password, c.flags | kByCondition, 0),
              c.text);
    EXPECT_EQ(component.GetErrorCode(), c.code);
  }
}

TEST_F(MobileExportTest, TheRecordBuilderRefusesMissingOrMalformedInput) {
  // A PRIVATEKEYBLOB of the 1024-bit key, made by a volatile key container.
  const std::string pkcs8 = Output("openssl pkcs8 -topk8 -nocrypt -outform DER -in " +
                                   ShellQuote(Key("k1024").key.string()));
  auto container = KeyContainer::CreateVolatile("mobile-record-test", *FindProvider(kProvider));
  ASSERT_TRUE(container);
  ASSERT_TRUE(
      container->ImportPrivateKeyPkcs8(key_spec::kExchange, Bytes(pkcs8), key_flag::kExportable));
  const auto exported = container->ExportPrivateKeyBlob(key_spec::kExchange);
  ASSERT_TRUE(exported);
  const std::vector<uint8_t> blob(exported->data(), exported->data() + exported->size());
  const std::vector<uint8_t>& der = Key("k1024").der;
  ASSERT_EQ(BuildMobileRecord("pw", der, blob).code, 0);

  const auto with = [&](size_t offset, std::vector<uint8_t> bytes) {
    std::vector<uint8_t> changed = blob;
    std::copy(bytes.begin(), bytes.end(), changed.begin() + static_cast<ptrdiff_t>(offset));
    return changed;
  };
  std::vector<uint8_t> der_and_more = der;
  der_and_more.push_back(0);
  const struct {
    const char* label;
    std::vector<uint8_t> certificate, blob;
  } cases[] = {
      {"no certificate", {}, blob},
      {"certificate bytes that are not a certificate", Bytes("not a certificate"), blob},
      {"a byte after the certificate", der_and_more, blob},
      {"no key blob", der, {}},
      {"only the blob's header", der, std::vector<uint8_t>(blob.begin(), blob.begin() + 20)},
      {"the blob one byte short", der, std::vector<uint8_t>(blob.begin(), blob.end() - 1)},
      {"a public-key blob type (6)", der, with(0, {6})},
      {"the public-key magic RSA1", der, with(8, {'R', 'S', 'A', '1'})},
      {"bit length 0", der, with(12, {0, 0, 0, 0})},
      {"bit length 2^32-1, longer than the blob", der, with(12, {0xFF, 0xFF, 0xFF, 0xFF})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const MobileExportOutcome outcome = BuildMobileRecord("pw", c.certificate, c.blob);
    EXPECT_EQ(outcome.code, 5063);
    EXPECT_EQ(outcome.platform_error, 0u);
    EXPECT_EQ(outcome.text, "");
  }
}

}  // namespace
}  // namespace kelvadrome
