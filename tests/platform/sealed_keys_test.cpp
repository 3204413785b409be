// Private keys at rest: what the profile's files hold after keys are made, imported, persisted,
// migrated and deleted, and what happens to a sealed record that was moved, changed, or whose
// wrapping key is gone. The wrapping key lives in a key file of the test's own configuration
// folder.
#include "platform/sealed_keys.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/key_container.h"
#include "platform/last_error.h"
#include "platform/profile.h"
#include "support/openssl_ca.h"
#include "support/test_support.h"

namespace kelvadrome {
namespace {

using testing::RunCommand;
using testing::ShellQuote;

constexpr char kProvider[] = "Microsoft Enhanced Cryptographic Provider v1.0";

// The big-endian private exponent of a PKCS #8 RSA key: raw key bytes a dump would show.
std::vector<uint8_t> PrivateExponent(const SecretBytes& pkcs8) {
  const unsigned char* cursor = pkcs8.data();
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      d2i_AutoPrivateKey(nullptr, &cursor, static_cast<long>(pkcs8.size())), &EVP_PKEY_free);
  BIGNUM* d = nullptr;
  if (key == nullptr || EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_D, &d) != 1) return {};
  std::vector<uint8_t> bytes(static_cast<size_t>(BN_num_bytes(d)));
  BN_bn2bin(d, bytes.data());
  BN_clear_free(d);
  return bytes;
}

class SealedKeysTest : public ::testing::Test {
 protected:
  std::filesystem::path Folder() const { return dir_.path() / "profile"; }

  // FilesHold tells whether the profile's database or its log holds |needle| anywhere.
  bool FilesHold(std::span<const uint8_t> needle) const {
    for (const char* name : {"profile.db", "profile.db-wal"}) {
      std::error_code error;
      if (!std::filesystem::exists(Folder() / name, error)) continue;
      const auto bytes = testing::ReadWholeFile(Folder() / name);
      if (std::search(bytes.begin(), bytes.end(), needle.begin(), needle.end()) != bytes.end()) {
        return true;
      }
    }
    return false;
  }

  // ExpectNothingInClear checks that neither the PKCS #8 form nor the private exponent of any of
  // |keys| is in the profile's files.
  void ExpectNothingInClear(const std::vector<SecretBytes>& keys) {
    for (const SecretBytes& key : keys) {
      EXPECT_FALSE(FilesHold(key.view()));
      const auto d = PrivateExponent(key);
      ASSERT_FALSE(d.empty());
      EXPECT_FALSE(FilesHold(d));
    }
  }

  std::shared_ptr<ProfileDatabase> Profile() {
    std::shared_ptr<ProfileDatabase> profile = ProfileDatabase::OpenUser();
    EXPECT_NE(profile, nullptr) << std::hex << LastPlatformError();
    return profile;
  }

  testing::TempDir dir_;
  testing::ScopedEnv profile_{"KELVADROME_PROFILE", (dir_.path() / "profile").c_str()};
  testing::ScopedEnv config_{"XDG_CONFIG_HOME", (dir_.path() / "config").c_str()};
  testing::ScopedEnv store_{"KELVADROME_KEY_STORE", "file"};
};

TEST_F(SealedKeysTest, NoKeyIsInClearAfterGenerationImportPersistingOrDeletion) {
  auto profile = Profile();
  ASSERT_NE(profile, nullptr);
  KeyContainerStore store(profile);
  std::vector<SecretBytes> keys;

  auto generated = store.Create("generated", kProvider, 1);
  ASSERT_TRUE(generated && generated->GenerateKey(key_spec::kExchange, 1024, key_flag::kExportable));
  auto exported = generated->ExportPrivateKeyPkcs8(key_spec::kExchange);
  ASSERT_TRUE(exported);
  keys.push_back(std::move(*exported));

  // A key another program made, imported; and one of a loaded PFX file, persisted.
  const auto pem = dir_.path() / "imported.pem";
  const auto der = dir_.path() / "imported.der";
  ASSERT_EQ(RunCommand("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out " +
                       ShellQuote(pem.string()) + " 2>/dev/null && openssl pkcs8 -topk8 -nocrypt -in " +
                       ShellQuote(pem.string()) + " -outform DER -out " + ShellQuote(der.string())),
                0);
  const auto outside = testing::ReadWholeFile(der);
  auto imported = store.Create("imported", kProvider, 1);
  ASSERT_TRUE(imported && imported->ImportPrivateKeyPkcs8(key_spec::kSignature, outside, 0));
  keys.emplace_back(outside.data(), outside.size());
  auto from_pfx = KeyContainer::CreateVolatile("from a pfx", *ResolveProvider(kProvider, 1));
  ASSERT_TRUE(from_pfx && from_pfx->GenerateKey(key_spec::kExchange, 1024, key_flag::kExportable));
  ASSERT_TRUE(store.Persist(*from_pfx));
  exported = from_pfx->ExportPrivateKeyPkcs8(key_spec::kExchange);
  ASSERT_TRUE(exported);
  keys.push_back(std::move(*exported));

  // Still usable from the profile, and nowhere in its files in clear.
  auto reopened = store.Open("from a pfx", kProvider, 1);
  ASSERT_NE(reopened, nullptr);
  EXPECT_EQ(reopened->ExportPrivateKeyPkcs8(key_spec::kExchange)->view().size(), keys[2].size());
  ExpectNothingInClear(keys);

  for (const char* name : {"generated", "imported", "from a pfx"}) {
    ASSERT_TRUE(store.Delete(name, kProvider, 1)) << name;
  }
  ExpectNothingInClear(keys);
}

TEST_F(SealedKeysTest, ASealedRecordOpensOnlyWhereItWasWrittenAndUnchanged) {
  auto profile = Profile();
  ASSERT_NE(profile, nullptr);
  KeyContainerStore store(profile);
  for (const char* name : {"first", "second"}) {
    auto container = store.Create(name, kProvider, 1);
    ASSERT_TRUE(container);
    for (uint32_t spec : {key_spec::kExchange, key_spec::kSignature}) {
      ASSERT_TRUE(container->GenerateKey(spec, 1024, key_flag::kExportable));
    }
  }
  // Each case replaces the sealed record of the exchange key of "second", then uses the key.
  auto record = [&](const char* container, uint32_t spec) {
    ProfileStatement read = profile->Prepare(
        "SELECT private_key FROM container_keys WHERE spec = ?2 AND container ="
        " (SELECT id FROM key_containers WHERE name = ?1)");
    EXPECT_TRUE(read.BindText(1, container) && read.BindInt(2, spec));
    EXPECT_EQ(read.Step(), ProfileStatement::StepResult::kRow);
    return read.ColumnBlob(0);
  };
  std::vector<uint8_t> changed = record("second", key_spec::kExchange);
  ASSERT_GT(changed.size(), 100u);
  changed[100] ^= 0x01;  // one bit in the middle of the record
  const struct {
    const char* label;
    std::vector<uint8_t> replacement;
  } cases[] = {
      {"moved from another container", record("first", key_spec::kExchange)},
      {"moved from the other key spec", record("second", key_spec::kSignature)},
      {"changed", changed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ProfileStatement write = profile->Prepare(
        "UPDATE container_keys SET private_key = ?1 WHERE spec = 1 AND container ="
        " (SELECT id FROM key_containers WHERE name = 'second')");
    ASSERT_TRUE(write.BindBlob(1, c.replacement.data(), c.replacement.size()));
    ASSERT_EQ(write.Step(), ProfileStatement::StepResult::kDone);
    auto second = store.Open("second", kProvider, 1);
    ASSERT_TRUE(second);
    SetLastPlatformError(0);
    EXPECT_FALSE(second->ExportPrivateKeyPkcs8(key_spec::kExchange));
    EXPECT_EQ(LastPlatformError(), key_error::kBadData);
    const uint8_t hash[20] = {};
    EXPECT_FALSE(second->SignHash(key_spec::kExchange, key_algorithm::kSha1, hash));
  }
}

TEST_F(SealedKeysTest, AMissingWrappingKeyFailsCleanlyAndNoNewKeyIsMade) {
  auto profile = Profile();
  ASSERT_NE(profile, nullptr);
  KeyContainerStore store(profile);
  auto container = store.Create("kept", kProvider, 1);
  ASSERT_TRUE(container && container->GenerateKey(key_spec::kExchange, 1024, key_flag::kExportable));
  const auto before = DescribeProfileKeyProtection(*profile);
  ASSERT_TRUE(before && before->present);

  // The profile now names a wrapping key its store does not have (a keyring that was reset).
  ASSERT_TRUE(profile->Execute("UPDATE key_protection SET key_id = zeroblob(length(key_id))"));
  const auto after = DescribeProfileKeyProtection(*profile);
  ASSERT_TRUE(after);
  EXPECT_FALSE(after->present);
  SetLastPlatformError(0);
  EXPECT_FALSE(container->ExportPrivateKeyPkcs8(key_spec::kExchange));
  EXPECT_EQ(LastPlatformError(), key_protection_error::kKeyNotFound);
  // A new key is not sealed under some other key either; the profile still names the lost one.
  EXPECT_FALSE(container->GenerateKey(key_spec::kSignature, 1024, 0));
  EXPECT_EQ(DescribeProfileKeyProtection(*profile)->id, after->id);
}

TEST_F(SealedKeysTest, AProfileOfTheEarlierSchemaIsSealedWhenFirstOpened) {
  std::filesystem::create_directories(Folder());
  const auto database = Folder() / "profile.db";
  ASSERT_EQ(RunCommand("sqlite3 " + ShellQuote(database.string()) + " < " +
                       ShellQuote(testing::TestDataPath("profiles/release-schema5-with-keys.sql")
                                      .string())),
            0);
  // The keys as the earlier release kept them, in clear.
  std::string listing;
  ASSERT_EQ(RunCommand("sqlite3 " + ShellQuote(database.string()) +
                           " \"SELECT name || ' ' || hex(private_key) FROM container_keys"
                           " JOIN key_containers ON id = container ORDER BY id\"",
                       &listing),
            0);
  std::vector<std::pair<std::string, SecretBytes>> keys;
  std::istringstream lines(listing);
  for (std::string name, hex; lines >> name >> hex;) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
      bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    keys.emplace_back(name, SecretBytes(std::move(bytes)));
  }
  ASSERT_EQ(keys.size(), 2u);

  auto profile = Profile();
  ASSERT_NE(profile, nullptr);
  KeyContainerStore store(profile);
  std::vector<SecretBytes> plain;
  for (const auto& [name, key] : keys) {
    SCOPED_TRACE(name);
    auto container = store.Open(name, "", 1);
    ASSERT_TRUE(container);
    const auto exported = container->ExportPrivateKeyPkcs8(key_spec::kExchange);
    ASSERT_TRUE(exported);
    EXPECT_TRUE(std::equal(exported->view().begin(), exported->view().end(), key.view().begin(),
                           key.view().end()));
    plain.push_back(key.Copy());
  }
  ExpectNothingInClear(plain);
  ProfileStatement version = profile->Prepare("PRAGMA user_version");
  ASSERT_EQ(version.Step(), ProfileStatement::StepResult::kRow);
  EXPECT_EQ(version.ColumnInt(0), kProfileSchemaVersion);
}

TEST_F(SealedKeysTest, RewrapMovesEveryKeyUnderANewWrappingKey) {
  auto profile = Profile();
  ASSERT_NE(profile, nullptr);
  KeyContainerStore store(profile);
  auto container = store.Create("moving", kProvider, 1);
  ASSERT_TRUE(container && container->GenerateKey(key_spec::kExchange, 1024, key_flag::kExportable));
  const auto key = container->ExportPrivateKeyPkcs8(key_spec::kExchange);
  const auto before = DescribeProfileKeyProtection(*profile);
  ASSERT_TRUE(key && before);

  ASSERT_TRUE(RewrapProfileKeys(*profile));
  const auto after = DescribeProfileKeyProtection(*profile);
  ASSERT_TRUE(after && after->present);
  EXPECT_NE(after->id, before->id);
  const auto again = container->ExportPrivateKeyPkcs8(key_spec::kExchange);
  ASSERT_TRUE(again);
  EXPECT_TRUE(std::equal(again->view().begin(), again->view().end(), key->view().begin(),
                         key->view().end()));
}

}  // namespace
}  // namespace kelvadrome
