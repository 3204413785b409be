// The keyring road against a real Secret Service: the program runs itself again inside a private
// D-Bus session (dbus-run-session) with a keyring daemon unlocked with an empty password (one empty
// line on its input: with no line at all it creates no login keyring and would ask through a
// graphical prompt), and with home, data and configuration folders of its own, so the user's real
// keyring is never touched.
// Without those tools every test reports itself skipped with the reason.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/key_protection.h"
#include "platform/last_error.h"
#include "support/test_support.h"

namespace kelvadrome {
namespace {

namespace fs = std::filesystem;

constexpr char kSessionMark[] = "KELVADROME_KEYRING_TEST_SESSION";

std::string& SkipReason() {
  static std::string reason;
  return reason;
}

bool OnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= folders.size()) {
    const size_t end = std::min(folders.find(':', start), folders.size());
    const fs::path candidate = fs::path(folders.substr(start, end - start)) / program;
    if (access(candidate.c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

// Runs this program again under dbus-run-session with an unlocked keyring daemon and returns its
// exit status.
int RunInPrivateSession(char** argv) {
  testing::TempDir home;
  for (const char* folder : {"data", "config", "cache", "runtime"}) {
    fs::create_directory(home.path() / folder);
    fs::permissions(home.path() / folder, fs::perms::owner_all);
  }
  setenv("HOME", home.path().c_str(), 1);
  setenv("XDG_DATA_HOME", (home.path() / "data").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home.path() / "config").c_str(), 1);
  setenv("XDG_CACHE_HOME", (home.path() / "cache").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", (home.path() / "runtime").c_str(), 1);
  unsetenv("KELVADROME_KEY_STORE");
  setenv(kSessionMark, "1", 1);
  const pid_t child = fork();
  if (child == 0) {
    std::vector<const char*> command = {
        "dbus-run-session",
        "--",
        "sh",
        "-c",
        "echo | gnome-keyring-daemon --unlock --components=secrets >/dev/null || exit 3; "
        "exec \"$@\"",
        "sh"};
    for (char** arg = argv; *arg != nullptr; ++arg) command.push_back(*arg);
    command.push_back(nullptr);
    execvp(command[0], const_cast<char* const*>(command.data()));
    _exit(127);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return 1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

class KeyringRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SkipReason().empty()) GTEST_SKIP() << SkipReason();
  }
};

TEST_F(KeyringRoad, CreatesAKeyInTheKeyringAndFindsItAgain) {
  EXPECT_EQ(DescribeWrappingKeyStore(WrappingKeyStore::kKeyring),
            "desktop keyring (Secret Service): answers");
  ASSERT_EQ(PreferredWrappingKeyStore(), WrappingKeyStore::kKeyring);
  const auto created = CreateWrappingKey();
  ASSERT_TRUE(created) << LastPlatformError();
  EXPECT_EQ(created->store, WrappingKeyStore::kKeyring);
  ASSERT_EQ(created->key.size(), kWrappingKeySize);
  // The keyring holds it: no key file was written.
  EXPECT_FALSE(fs::exists(WrappingKeyFolder()));

  const auto found = FindWrappingKey(WrappingKeyStore::kKeyring, created->id);
  ASSERT_TRUE(found) << LastPlatformError();
  EXPECT_EQ(found->store, WrappingKeyStore::kKeyring);
  EXPECT_EQ(std::vector<uint8_t>(found->key.data(), found->key.data() + found->key.size()),
            std::vector<uint8_t>(created->key.data(), created->key.data() + created->key.size()));
  const std::vector<uint8_t> place = {'c', '/', '1'};
  const std::vector<uint8_t> secret = {1, 2, 3, 4, 5};
  const auto sealed = SealPrivateKey(*created, place, secret);
  ASSERT_TRUE(sealed);
  const auto opened = UnsealPrivateKey(*found, place, *sealed);
  ASSERT_TRUE(opened);
  EXPECT_EQ(std::vector<uint8_t>(opened->data(), opened->data() + opened->size()), secret);

  // A second key gets its own item: finding one never returns the other.
  const auto second = CreateWrappingKey();
  ASSERT_TRUE(second);
  EXPECT_NE(second->id, created->id);
  const auto found_second = FindWrappingKey(WrappingKeyStore::kKeyring, second->id);
  ASSERT_TRUE(found_second);
  EXPECT_FALSE(UnsealPrivateKey(*found_second, place, *sealed));

  // Ids the keyring does not have, and a keyring id asked of the key file store.
  auto unknown = created->id;
  unknown[0] ^= 1;
  SetLastPlatformError(0);
  EXPECT_FALSE(FindWrappingKey(WrappingKeyStore::kKeyring, unknown));
  EXPECT_EQ(LastPlatformError(), key_protection_error::kKeyNotFound);
  SetLastPlatformError(0);
  EXPECT_FALSE(FindWrappingKey(WrappingKeyStore::kKeyFile, created->id));
  EXPECT_EQ(LastPlatformError(), key_protection_error::kKeyNotFound);
}

}  // namespace
}  // namespace kelvadrome

int main(int argc, char** argv) {
  using kelvadrome::SkipReason;
  if (std::getenv(kelvadrome::kSessionMark) == nullptr) {
    if (!kelvadrome::OnPath("dbus-run-session")) {
      SkipReason() = "dbus-run-session is not installed";
    } else if (!kelvadrome::OnPath("gnome-keyring-daemon")) {
      SkipReason() = "gnome-keyring-daemon is not installed";
    } else {
      return kelvadrome::RunInPrivateSession(argv);
    }
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
