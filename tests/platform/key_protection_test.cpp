#include "platform/key_protection.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include <gtest/gtest.h>

#include "platform/last_error.h"
#include "support/test_support.h"

namespace kelvadrome {
namespace {

namespace fs = std::filesystem;
namespace error = key_protection_error;

std::vector<uint8_t> Bytes(std::string_view text) {
  return {text.begin(), text.end()};
}

WrappingKey KeyOf(uint8_t fill) {
  WrappingKey key;
  key.key = SecretBytes(kWrappingKeySize);
  for (size_t i = 0; i < kWrappingKeySize; ++i) key.key.data()[i] = static_cast<uint8_t>(fill + i);
  return key;
}

std::string Hex(std::span<const uint8_t> bytes) {
  std::string text;
  for (const uint8_t byte : bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

std::vector<uint8_t> View(const SecretBytes& bytes) {
  return {bytes.data(), bytes.data() + bytes.size()};
}

TEST(KeyProtection, SealedRecordsUnsealOnlyUnderTheirKeyAndPlace) {
  const WrappingKey key = KeyOf(1);
  const std::vector<uint8_t> place = Bytes("container-1/2");
  std::vector<uint8_t> pkcs8(1217);
  for (size_t i = 0; i < pkcs8.size(); ++i) pkcs8[i] = static_cast<uint8_t>(i * 7);
  for (const auto& plaintext : {std::vector<uint8_t>{}, Bytes("k"), pkcs8}) {
    SCOPED_TRACE(plaintext.size());
    const auto sealed = SealPrivateKey(key, place, plaintext);
    ASSERT_TRUE(sealed);
    ASSERT_EQ(sealed->size(), plaintext.size() + kSealOverhead);
    EXPECT_EQ((*sealed)[0], kSealedRecordVersion);
    const auto opened = UnsealPrivateKey(key, place, *sealed);
    ASSERT_TRUE(opened);
    EXPECT_EQ(View(*opened), plaintext);
    // A fresh nonce each time: the same key sealed twice gives two different records.
    const auto again = SealPrivateKey(key, place, plaintext);
    ASSERT_TRUE(again);
    EXPECT_NE(*again, *sealed);
  }

  const auto sealed = SealPrivateKey(key, place, pkcs8);
  ASSERT_TRUE(sealed);
  struct Case {
    const char* name;
    const WrappingKey* key;
    std::vector<uint8_t> associated;
    std::vector<uint8_t> record;
    uint32_t error;
  };
  const WrappingKey other_key = KeyOf(2);
  const WrappingKey short_key = [] {
    WrappingKey shorter;
    shorter.key = SecretBytes(16);
    return shorter;
  }();
  std::vector<Case> cases = {
      {"moved to another container", &key, Bytes("container-2/2"), *sealed, error::kBadRecord},
      {"moved to the other key spec", &key, Bytes("container-1/1"), *sealed, error::kBadRecord},
      {"no associated data", &key, {}, *sealed, error::kBadRecord},
      {"another wrapping key", &other_key, place, *sealed, error::kBadRecord},
      {"a wrapping key of 16 bytes", &short_key, place, *sealed, error::kBadKey},
      {"shorter than nonce and tag", &key, place,
       std::vector<uint8_t>(sealed->begin(), sealed->begin() + kSealOverhead - 1),
       error::kBadRecord},
      {"tag cut off", &key, place, std::vector<uint8_t>(sealed->begin(), sealed->end() - 1),
       error::kBadRecord},
      {"extra byte", &key, place,
       [&] {
         auto longer = *sealed;
         longer.push_back(0);
         return longer;
       }(),
       error::kBadRecord},
  };
  // One changed bit anywhere: version, nonce, ciphertext or tag.
  for (size_t position = 0; position < sealed->size(); ++position) {
    auto tampered = *sealed;
    tampered[position] ^= static_cast<uint8_t>(1u << (position % 8));
    cases.push_back({"tampered byte", &key, place, std::move(tampered), error::kBadRecord});
  }
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(std::string(c.name) + " #" + std::to_string(i));
    SetLastPlatformError(0);
    EXPECT_FALSE(UnsealPrivateKey(*c.key, c.associated, c.record));
    EXPECT_EQ(LastPlatformError(), c.error);
  }
}

mode_t ModeOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 0777;
}

// A key file store of its own in a temporary configuration folder.
class KeyFileRoad : public ::testing::Test {
 protected:
  fs::path Folder() const { return dir_.path() / "config" / "kelvadrome" / "wrapping-keys"; }
  fs::path FileOf(const WrappingKey& key) const { return Folder() / Hex(key.id); }

  testing::TempDir dir_;
  testing::ScopedEnv config_{"XDG_CONFIG_HOME", (dir_.path() / "config").c_str()};
  testing::ScopedEnv forced_{"KELVADROME_KEY_STORE", "file"};
};

TEST_F(KeyFileRoad, CreatesAPrivateFileAndFindsItAgain) {
  EXPECT_EQ(WrappingKeyFolder(), Folder().string());
  EXPECT_EQ(PreferredWrappingKeyStore(), WrappingKeyStore::kKeyFile);
  const auto created = CreateWrappingKey();
  ASSERT_TRUE(created);
  EXPECT_EQ(created->store, WrappingKeyStore::kKeyFile);
  ASSERT_EQ(created->key.size(), kWrappingKeySize);
  EXPECT_EQ(ModeOf(Folder()), 0700u);
  EXPECT_EQ(ModeOf(FileOf(*created)), 0600u);
  EXPECT_EQ(testing::ReadWholeFile(FileOf(*created)), View(created->key));
  // Only the key's own file: no temporary left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(Folder()), fs::directory_iterator()), 1);

  const auto found = FindWrappingKey(WrappingKeyStore::kKeyFile, created->id);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->store, WrappingKeyStore::kKeyFile);
  EXPECT_EQ(found->id, created->id);
  EXPECT_EQ(View(found->key), View(created->key));

  const auto second = CreateWrappingKey();
  ASSERT_TRUE(second);
  EXPECT_NE(second->id, created->id);
  EXPECT_NE(View(second->key), View(created->key));
  // A record sealed under the created key opens under the one found again.
  const auto sealed = SealPrivateKey(*created, Bytes("c/1"), Bytes("private"));
  ASSERT_TRUE(sealed);
  const auto opened = UnsealPrivateKey(*found, Bytes("c/1"), *sealed);
  ASSERT_TRUE(opened);
  EXPECT_EQ(View(*opened), Bytes("private"));
}

TEST_F(KeyFileRoad, RefusesKeyFilesItCannotTrust) {
  const std::array<uint8_t, kWrappingKeyIdSize> missing_id{0xAB};
  // Before any key exists the folder is missing too: the key is simply not found.
  SetLastPlatformError(0);
  EXPECT_FALSE(FindWrappingKey(WrappingKeyStore::kKeyFile, missing_id));
  EXPECT_EQ(LastPlatformError(), error::kKeyNotFound);

  const struct {
    const char* name;
    std::function<void(const fs::path& file, const fs::path& folder)> spoil;
    uint32_t error;                          // finding the key
    uint32_t missing = error::kKeyNotFound;  // finding an id that never was
  } cases[] = {
      {"untouched", [](const fs::path&, const fs::path&) {}, 0},
      {"group may read", [](const fs::path& f, const fs::path&) { chmod(f.c_str(), 0640); },
       error::kAccessDenied},
      {"others may read", [](const fs::path& f, const fs::path&) { chmod(f.c_str(), 0604); },
       error::kAccessDenied},
      {"symbolic link to a good key file",
       [](const fs::path& f, const fs::path&) {
         const fs::path moved = f.string() + ".real";
         fs::rename(f, moved);
         fs::create_symlink(moved, f);
       },
       error::kAccessDenied},
      {"a FIFO",
       [](const fs::path& f, const fs::path&) {
         fs::remove(f);
         mkfifo(f.c_str(), 0600);
       },
       error::kAccessDenied},
      {"a byte short",
       [](const fs::path& f, const fs::path&) { fs::resize_file(f, kWrappingKeySize - 1); },
       error::kKeyFileCorrupt},
      {"a byte more",
       [](const fs::path& f, const fs::path&) { fs::resize_file(f, kWrappingKeySize + 1); },
       error::kKeyFileCorrupt},
      {"folder others may write to",
       [](const fs::path&, const fs::path& d) { chmod(d.c_str(), 0777); }, error::kAccessDenied,
       error::kAccessDenied},
      {"folder is a symbolic link",
       [](const fs::path&, const fs::path& d) {
         const fs::path moved = d.string() + "-real";
         fs::rename(d, moved);
         fs::create_symlink(moved, d);
       },
       error::kAccessDenied, error::kAccessDenied},
      {"file removed", [](const fs::path& f, const fs::path&) { fs::remove(f); },
       error::kKeyNotFound},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir_.path() / "config");
    const auto created = CreateWrappingKey();
    ASSERT_TRUE(created);
    c.spoil(FileOf(*created), Folder());
    SetLastPlatformError(0);
    const auto found = FindWrappingKey(WrappingKeyStore::kKeyFile, created->id);
    EXPECT_EQ(found.has_value(), c.error == 0);
    EXPECT_EQ(LastPlatformError(), c.error);
    if (found) {
      EXPECT_EQ(View(found->key), View(created->key));
    }
    SetLastPlatformError(0);
    EXPECT_FALSE(FindWrappingKey(WrappingKeyStore::kKeyFile, missing_id));
    EXPECT_EQ(LastPlatformError(), c.missing);
  }
  SetLastPlatformError(0);
  EXPECT_FALSE(FindWrappingKey(WrappingKeyStore::kKeyFile, std::span(missing_id).first(15)));
  EXPECT_EQ(LastPlatformError(), error::kInvalidParameter);
}

// A session bus that accepts the connection and then never says a word.
class SilentBus {
 public:
  explicit SilentBus(const fs::path& path) {
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    EXPECT_EQ(listen(fd_, 8), 0);
  }
  ~SilentBus() { close(fd_); }

 private:
  int fd_ = -1;
};

TEST(KeyProtectionStores, TheKeyringIsUsedOnlyWhenItAnswers) {
  testing::TempDir dir;
  testing::ScopedEnv config("XDG_CONFIG_HOME", (dir.path() / "config").c_str());
  testing::ScopedEnv auto_store("KELVADROME_KEY_STORE", nullptr);
  {
    testing::ScopedEnv no_bus("DBUS_SESSION_BUS_ADDRESS", nullptr);
    EXPECT_EQ(PreferredWrappingKeyStore(), WrappingKeyStore::kKeyFile);
    EXPECT_NE(DescribeWrappingKeyStore(WrappingKeyStore::kKeyring)
                  .find("does not answer: DBUS_SESSION_BUS_ADDRESS is not set"),
              std::string::npos);
    // Forced to the keyring, creating fails rather than falling back to a file unasked.
    testing::ScopedEnv forced("KELVADROME_KEY_STORE", "keyring");
    EXPECT_EQ(PreferredWrappingKeyStore(), WrappingKeyStore::kKeyring);
    SetLastPlatformError(0);
    EXPECT_FALSE(CreateWrappingKey());
    EXPECT_EQ(LastPlatformError(), error::kKeyringNotAnswering);
    EXPECT_FALSE(fs::exists(dir.path() / "config"));
  }
  // A bus that never replies must not hold the caller: the bound gives up and the key file is
  // chosen.
  SilentBus silent(dir.path() / "bus");
  const std::string address = "unix:path=" + (dir.path() / "bus").string();
  testing::ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", address.c_str());
  EXPECT_EQ(PreferredWrappingKeyStore(), WrappingKeyStore::kKeyFile);
  const auto created = CreateWrappingKey();
  ASSERT_TRUE(created);
  EXPECT_EQ(created->store, WrappingKeyStore::kKeyFile);
  EXPECT_TRUE(
      fs::exists(dir.path() / "config" / "kelvadrome" / "wrapping-keys" / Hex(created->id)));
}

}  // namespace
}  // namespace kelvadrome
