// The PKCS #12 codec: files from other producers (tests/data/pkcs12/files.tsv), files the openssl
// command and Java's keytool make at test time, malformed input, and round trips of what the
// writer makes through openssl, keytool and the reader.
#include "platform/pkcs12.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/certificate.h"
#include "platform/last_error.h"
#include "support/openssl_ca.h"
#include "support/test_support.h"

namespace kelvadrome {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::RunCommand;
using testing::ShellQuote;
namespace error = platform_error;

std::optional<std::string_view> PasswordOf(const std::string& field) {
  if (field == "-") return std::nullopt;
  if (field == "\"\"") return std::string_view();
  return field;
}

// OpenSSL as the independent judge: does |pkcs8| hold the private key of |certificate|?
bool KeyMatches(const SecretBytes& pkcs8, const Bytes& certificate) {
  const unsigned char* p = pkcs8.data();
  EVP_PKEY* key = d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(pkcs8.size()));
  const unsigned char* c = certificate.data();
  X509* x509 = d2i_X509(nullptr, &c, static_cast<long>(certificate.size()));
  const bool match = key != nullptr && x509 != nullptr && X509_check_private_key(x509, key) == 1;
  EVP_PKEY_free(key);
  X509_free(x509);
  ERR_clear_error();
  return match;
}

Bytes ReadFile(const std::filesystem::path& path) {
  return testing::ReadWholeFile(path);
}

TEST(Pkcs12Interop, FilesFromOtherProducers) {
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
    const Bytes file = ReadFile(testing::TestDataPath("pkcs12/" + f[0]));
    const auto password = PasswordOf(f[1]);
    EXPECT_TRUE(IsPkcs12(file));
    EXPECT_EQ(VerifyPkcs12Password(file, password), f[2] == "1");
    const auto contents = ReadPkcs12(file, password);
    EXPECT_EQ(LastPlatformError(), std::stoul(f[3], nullptr, 16));
    EXPECT_EQ(ERR_peek_error(), 0u) << "the OpenSSL error queue is left clean";
    if (f[3] != "0") {
      EXPECT_FALSE(contents.has_value());
      continue;
    }
    ASSERT_TRUE(contents.has_value());
    ASSERT_EQ(contents->certificates.size(), std::stoul(f[4]));
    ASSERT_EQ(contents->keys.size(), std::stoul(f[5]));
    const int holder = std::stoi(f[6]);
    for (size_t i = 0; i < contents->certificates.size(); ++i) {
      EXPECT_EQ(contents->certificates[i].key_index, static_cast<int>(i) == holder ? 0 : -1) << i;
    }
    if (holder >= 0) {
      const Pkcs12Certificate& certificate = contents->certificates[holder];
      EXPECT_TRUE(KeyMatches(contents->keys[0].private_key, certificate.der));
      EXPECT_EQ(certificate.friendly_name, f[7] == "-" ? "" : f[7]);
    }
  }
  EXPECT_EQ(rows, 12);
}

TEST(Pkcs12Interop, EmptyAndAbsentPasswordsDiffer) {
  struct Case {
    const char* file;
    std::optional<std::string_view> password;
    bool opens;
  } cases[] = {
      {"windows-azure-tools-nullpwd.p12", std::nullopt, true},
      {"windows-azure-tools-nullpwd.p12", "", false},
      {"openssl-testing-at-example-emptypwd.p12", "", true},
      {"openssl-testing-at-example-emptypwd.p12", std::nullopt, false},
      // No MAC and nothing encrypted: no password is needed, so every one opens it.
      {"bc-raw-keybag-nomac.p12", "anything", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + (c.password ? " '" + std::string(*c.password) + "'" : " -"));
    const Bytes file = ReadFile(testing::TestDataPath(std::string("pkcs12/") + c.file));
    EXPECT_EQ(VerifyPkcs12Password(file, c.password), c.opens);
    EXPECT_EQ(LastPlatformError(), c.opens ? 0u : error::kInvalidPassword);
    EXPECT_EQ(ReadPkcs12(file, c.password).has_value(), c.opens);
  }
}

TEST(Pkcs12Malformed, NotAPfx) {
  const Bytes good =
      ReadFile(testing::TestDataPath("pkcs12/openssl-testing-at-example-emptypwd.p12"));
  Bytes trailing = good;
  trailing.push_back(0x00);
  Bytes version2 = good;
  version2[6] = 0x02;  // the version INTEGER's content octet (30 82 xx xx 02 01 03)
  ASSERT_EQ(version2[4], 0x02);
  struct Case {
    const char* name;
    Bytes bytes;
    uint32_t error;
  } cases[] = {
      {"empty input", {}, error::kAsn1EndOfData},
      {"cut in half", Bytes(good.begin(), good.begin() + good.size() / 2), error::kAsn1EndOfData},
      {"last octet missing", Bytes(good.begin(), good.end() - 1), error::kAsn1EndOfData},
      // Fine as a PFX, but one more octet follows it.
      {"trailing octet", trailing, error::kAsn1BadTag},
      // The version is 2, not 3.
      {"version 2", version2, error::kAsn1BadTag},
      // An OCTET STRING where the PFX SEQUENCE should be.
      {"wrong outer tag", {0x04, 0x03, 0x02, 0x01, 0x03}, error::kAsn1BadTag},
      // A SEQUENCE claiming 2 GiB of content that is not there.
      {"huge length",
       {0x30, 0x84, 0x7F, 0xFF, 0xFF, 0xFF, 0x02, 0x01, 0x03},
       error::kAsn1EndOfData},
      // Version and an authSafe that is an empty SEQUENCE (no content type).
      {"empty authSafe", {0x30, 0x05, 0x02, 0x01, 0x03, 0x30, 0x00}, error::kAsn1BadTag},
      // Four MiB of zero octets: tag 0 is no element.
      {"zeros", Bytes(4 << 20, 0x00), error::kAsn1BadTag},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetLastPlatformError(0);
    EXPECT_FALSE(IsPkcs12(c.bytes));
    EXPECT_EQ(LastPlatformError(), c.error);
    EXPECT_FALSE(ReadPkcs12(c.bytes, "").has_value());
    EXPECT_EQ(LastPlatformError(), c.error);
    EXPECT_FALSE(VerifyPkcs12Password(c.bytes, std::nullopt));
    EXPECT_EQ(LastPlatformError(), c.error);
    EXPECT_EQ(ERR_peek_error(), 0u);
  }
}

// Keys and certificates made once with the openssl command: a root, a leaf it issued, and an
// unrelated self-signed certificate, each with its key as PEM and DER files.
class Pkcs12Generated : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new testing::TempDir();
    const std::string d = ShellQuote(dir_->path().string()) + "/";
    const std::string commands =
        "cd " + d +
        " && openssl req -x509 -newkey rsa:2048 -nodes -keyout root.key -out root.pem"
        " -subj /CN=Root -days 30"
        " && openssl req -newkey rsa:2048 -nodes -keyout leaf.key -out leaf.csr -subj /CN=Leaf"
        " && openssl x509 -req -in leaf.csr -CA root.pem -CAkey root.key -set_serial 7 -days 30"
        " -out leaf.pem"
        " && openssl req -x509 -newkey rsa:2048 -nodes -keyout other.key -out other.pem"
        " -subj /CN=Other -days 30"
        " && for n in root leaf other; do openssl x509 -in $n.pem -outform DER -out $n.der &&"
        " openssl pkcs8 -topk8 -nocrypt -in $n.key -outform DER -out $n.p8; done";
    ASSERT_EQ(RunCommand(commands), 0);
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::filesystem::path Path(const std::string& name) { return dir_->path() / name; }
  static std::string Quoted(const std::string& name) { return ShellQuote(Path(name).string()); }
  static Bytes Der(const std::string& name) { return ReadFile(Path(name + ".der")); }
  static SecretBytes Key(const std::string& name) {
    Bytes bytes = ReadFile(Path(name + ".p8"));
    return SecretBytes(std::move(bytes));
  }

  static testing::TempDir* dir_;
};
testing::TempDir* Pkcs12Generated::dir_ = nullptr;

TEST_F(Pkcs12Generated, FilesTheOpensslCommandMakes) {
  struct Case {
    const char* name;
    const char* options;  // besides -in leaf.pem -inkey leaf.key
    const char* password;
    size_t certificates;
    bool wrong_password_fails;
  } cases[] = {
      {"default AES-256, PBKDF2, SHA-256 MAC", "-passout pass:pw1", "pw1", 1, true},
      {"legacy RC2-40 and 3DES", "-legacy -passout pass:pw1", "pw1", 1, true},
      {"empty password", "-passout pass:", "", 1, true},
      {"no MAC: checked by decrypting", "-nomac -passout pass:pw1", "pw1", 1, true},
      {"chain: leaf and root", "-certfile root.pem -passout pass:pw1", "pw1", 2, true},
      {"nothing encrypted, no MAC", "-keypbe NONE -certpbe NONE -nomac -passout pass:", "", 1,
       false},
  };
  const Bytes leaf = Der("leaf");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(RunCommand("cd " + Quoted("") +
                         " && openssl pkcs12 -export -in leaf.pem -inkey"
                         " leaf.key -out made.p12 " +
                         c.options),
              0);
    const Bytes file = ReadFile(Path("made.p12"));
    const auto contents = ReadPkcs12(file, c.password);
    ASSERT_TRUE(contents.has_value()) << std::hex << LastPlatformError();
    ASSERT_EQ(contents->certificates.size(), c.certificates);
    ASSERT_EQ(contents->keys.size(), 1u);
    EXPECT_EQ(contents->certificates[0].der, leaf);
    EXPECT_EQ(contents->certificates[0].key_index, 0);
    if (c.certificates > 1) {
      EXPECT_EQ(contents->certificates[1].key_index, -1);
    }
    EXPECT_TRUE(KeyMatches(contents->keys[0].private_key, leaf));
    EXPECT_EQ(VerifyPkcs12Password(file, "wrong"), !c.wrong_password_fails);
    EXPECT_EQ(ReadPkcs12(file, "wrong").has_value(), !c.wrong_password_fails);
    if (c.wrong_password_fails) {
      EXPECT_EQ(LastPlatformError(), error::kInvalidPassword);
    }
  }
}

TEST_F(Pkcs12Generated, KeytoolKeystore) {
  if (RunCommand("command -v keytool") != 0) GTEST_SKIP() << "keytool is not installed";
  ASSERT_EQ(RunCommand("keytool -genkeypair -alias javakey -keyalg RSA -keysize 2048 -dname"
                       " CN=Java -validity 30 -storetype PKCS12 -keystore " +
                       Quoted("java.p12") + " -storepass secret1 -keypass secret1"),
            0);
  const auto contents = ReadPkcs12(ReadFile(Path("java.p12")), "secret1");
  ASSERT_TRUE(contents.has_value()) << std::hex << LastPlatformError();
  ASSERT_EQ(contents->certificates.size(), 1u);
  ASSERT_EQ(contents->keys.size(), 1u);
  EXPECT_EQ(contents->certificates[0].key_index, 0);
  EXPECT_EQ(contents->certificates[0].friendly_name, "javakey");
  EXPECT_TRUE(KeyMatches(contents->keys[0].private_key, contents->certificates[0].der));
}

// The leaf's key beside one certificate, assembled with OpenSSL's bag functions: a key goes to
// the certificate with its public key, and a shared localKeyId does not pair it with another's.
TEST_F(Pkcs12Generated, KeyPairing) {
  struct Case {
    const char* certificate;
    bool shared_id;
    int key_index;
  } cases[] = {{"leaf", false, 0}, {"other", false, -1}, {"leaf", true, 0}, {"other", true, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.certificate) + (c.shared_id ? ", shared id" : ", no id"));
    const SecretBytes key_der = Key("leaf");
    const unsigned char* k = key_der.data();
    EVP_PKEY* key = d2i_AutoPrivateKey(nullptr, &k, static_cast<long>(key_der.size()));
    const Bytes der = Der(c.certificate);
    const unsigned char* p = der.data();
    X509* certificate = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    unsigned char id[] = {0x01, 0x00, 0x00, 0x00};
    STACK_OF(PKCS12_SAFEBAG)* bags = nullptr;
    PKCS12_SAFEBAG* cert_bag = PKCS12_add_cert(&bags, certificate);
    PKCS12_SAFEBAG* key_bag = PKCS12_add_key(&bags, key, 0, 1, -1, nullptr);  // plain keyBag
    ASSERT_TRUE(cert_bag != nullptr && key_bag != nullptr);
    if (c.shared_id) {
      PKCS12_add_localkeyid(cert_bag, id, sizeof(id));
      PKCS12_add_localkeyid(key_bag, id, sizeof(id));
    }
    STACK_OF(PKCS7)* safes = nullptr;
    ASSERT_EQ(PKCS12_add_safe(&safes, bags, -1, 0, nullptr), 1);
    PKCS12* pfx = PKCS12_add_safes(safes, 0);
    ASSERT_EQ(PKCS12_set_mac(pfx, "pw", -1, nullptr, 0, 1, nullptr), 1);
    unsigned char* encoded = nullptr;
    const int size = i2d_PKCS12(pfx, &encoded);
    const Bytes file(encoded, encoded + size);
    OPENSSL_free(encoded);
    PKCS12_free(pfx);
    sk_PKCS7_pop_free(safes, PKCS7_free);
    sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free);
    X509_free(certificate);
    EVP_PKEY_free(key);

    const auto contents = ReadPkcs12(file, "pw");
    ASSERT_TRUE(contents.has_value()) << std::hex << LastPlatformError();
    ASSERT_EQ(contents->certificates.size(), 1u);
    EXPECT_EQ(contents->certificates[0].local_key_id.size(), c.shared_id ? sizeof(id) : 0u);
    EXPECT_EQ(contents->certificates[0].key_index, c.key_index);
  }
}

TEST_F(Pkcs12Generated, RoundTripThroughOpensslKeytoolAndReader) {
  struct Case {
    const char* password;
  } cases[] = {{"secret"}, {""}, {"pässwörd ü"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.password);
    std::vector<Pkcs12Entry> entries(3);
    entries[0] = {Der("leaf"), Key("leaf"), "Leaf ü"};
    entries[1] = {Der("root"), std::nullopt, ""};
    entries[2] = {Der("other"), Key("other"), "Other"};
    const auto written = WritePkcs12(entries, c.password);
    ASSERT_TRUE(written.has_value()) << std::hex << LastPlatformError();
    std::ofstream(Path("written.p12"), std::ios::binary)
        .write(reinterpret_cast<const char*>(written->data()), written->size());

    const std::string in = " -in " + Quoted("written.p12") + " -passin " +
                           ShellQuote(std::string("pass:") + c.password);
    std::string info;
    ASSERT_EQ(RunCommand("openssl pkcs12 -info -noout" + in + " 2>&1", &info), 0) << info;
    EXPECT_NE(info.find("MAC: sha1, Iteration 2048"), std::string::npos) << info;
    EXPECT_NE(info.find("PKCS7 Encrypted data: pbeWithSHA1And3-KeyTripleDES-CBC, Iteration 2048"),
              std::string::npos)
        << info;
    EXPECT_NE(info.find("Shrouded Keybag: pbeWithSHA1And3-KeyTripleDES-CBC, Iteration 2048"),
              std::string::npos)
        << info;
    // OpenSSL's own reader finds the leaf with its key and name, and the two other certificates.
    const unsigned char* p = written->data();
    PKCS12* pfx = d2i_PKCS12(nullptr, &p, static_cast<long>(written->size()));
    EVP_PKEY* key = nullptr;
    X509* certificate = nullptr;
    STACK_OF(X509)* others = nullptr;
    ASSERT_EQ(PKCS12_parse(pfx, c.password, &key, &certificate, &others), 1);
    EXPECT_EQ(X509_check_private_key(certificate, key), 1);
    unsigned char* leaf = nullptr;
    const int leaf_size = i2d_X509(certificate, &leaf);
    EXPECT_EQ(Bytes(leaf, leaf + std::max(leaf_size, 0)), entries[0].certificate);
    OPENSSL_free(leaf);
    EXPECT_STREQ(reinterpret_cast<const char*>(X509_alias_get0(certificate, nullptr)), "Leaf ü");
    EXPECT_EQ(sk_X509_num(others), 2);
    sk_X509_pop_free(others, X509_free);
    X509_free(certificate);
    EVP_PKEY_free(key);
    PKCS12_free(pfx);
    const std::string password(c.password);
    if (password.size() >= 6 && std::all_of(password.begin(), password.end(),
                                            [](char ch) { return ch > 0 && ch < 0x7F; })) {
      std::string listing;
      EXPECT_EQ(RunCommand("keytool -list -storetype PKCS12 -keystore " + Quoted("written.p12") +
                               " -storepass " + ShellQuote(password),
                           &listing),
                0);
      EXPECT_NE(listing.find("PrivateKeyEntry"), std::string::npos) << listing;
    }

    const auto contents = ReadPkcs12(*written, c.password);
    ASSERT_TRUE(contents.has_value()) << std::hex << LastPlatformError();
    ASSERT_EQ(contents->certificates.size(), 3u);
    ASSERT_EQ(contents->keys.size(), 2u);
    const int expected_index[] = {0, -1, 1};
    for (size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(contents->certificates[i].der, entries[i].certificate) << i;
      EXPECT_EQ(contents->certificates[i].friendly_name, entries[i].friendly_name) << i;
      EXPECT_EQ(contents->certificates[i].key_index, expected_index[i]) << i;
    }
    // Keys come back in the plain PKCS #8 form openssl itself writes.
    EXPECT_TRUE(
        std::ranges::equal(contents->keys[0].private_key.view(), entries[0].private_key->view()));
    EXPECT_TRUE(KeyMatches(contents->keys[1].private_key, entries[2].certificate));
    EXPECT_EQ(contents->keys[0].local_key_id, contents->certificates[0].local_key_id);
    EXPECT_NE(contents->keys[0].local_key_id, contents->keys[1].local_key_id);
    EXPECT_FALSE(VerifyPkcs12Password(*written, "Secret"));
  }
}

TEST_F(Pkcs12Generated, WriterRefusesBadEntries) {
  Bytes garbage = Der("leaf");
  garbage.resize(garbage.size() / 2);
  SecretBytes truncated_key = Key("leaf");
  truncated_key.Truncate(truncated_key.size() - 1);
  struct Case {
    const char* name;
    Pkcs12Entry entry;
    uint32_t error;
  } cases[] = {
      // The certificate bytes stop half-way.
      {"truncated certificate", {garbage, std::nullopt, ""}, error::kAsn1BadTag},
      // The key is another certificate's.
      {"key of another certificate", {Der("leaf"), Key("other"), ""}, error::kPkcs12BadData},
      // The PKCS #8 key lacks its last octet.
      {"truncated key", {Der("leaf"), std::move(truncated_key), ""}, error::kPkcs12BadData},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Pkcs12Entry> entries;
    entries.push_back(std::move(c.entry));
    EXPECT_FALSE(WritePkcs12(entries, "pw").has_value());
    EXPECT_EQ(LastPlatformError(), c.error);
    EXPECT_EQ(ERR_peek_error(), 0u);
  }
}

}  // namespace
}  // namespace kelvadrome
