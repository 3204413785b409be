#include "platform/profile.h"

#include <fstream>
#include <functional>

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/last_error.h"
#include "platform/registry.h"
#include "support/test_support.h"

namespace kelvadrome {
namespace {

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

mode_t ModeOf(const std::filesystem::path& path) {
  struct stat info {};
  stat(path.c_str(), &info);
  return info.st_mode & 0777;
}

TEST(Profile, CreatesAPrivateFolderAndFile) {
  testing::TempDir dir;
  const auto folder = dir.path() / "nested" / "profile";
  ASSERT_NE(ProfileDatabase::Open(folder.string(), ProfileDatabase::Access::kReadWrite), nullptr);
  EXPECT_EQ(ModeOf(folder), 0700u);
  EXPECT_EQ(ModeOf(folder / "profile.db"), 0600u);
  // A folder someone loosened is made private again.
  chmod(folder.c_str(), 0755);
  ASSERT_NE(ProfileDatabase::Open(folder.string(), ProfileDatabase::Access::kReadWrite), nullptr);
  EXPECT_EQ(ModeOf(folder), 0700u);
}

TEST(Profile, LocationFollowsTheEnvironment) {
  testing::ScopedEnv no_profile("KELVADROME_PROFILE", nullptr);
  {
    testing::ScopedEnv data_home("XDG_DATA_HOME", "/data/home");
    EXPECT_EQ(UserProfileFolder(), "/data/home/kelvadrome");
  }
  testing::ScopedEnv relative_data_home("XDG_DATA_HOME", "relative");  // ignored: not absolute
  testing::ScopedEnv home("HOME", "/home/someone");
  EXPECT_EQ(UserProfileFolder(), "/home/someone/.local/share/kelvadrome");
  testing::ScopedEnv profile("KELVADROME_PROFILE", "/elsewhere");
  EXPECT_EQ(UserProfileFolder(), "/elsewhere");
}

TEST(Profile, RefusesFilesItCannotUseAndLeavesThemUntouched) {
  testing::TempDir dir;
  const struct {
    const char* name;
    std::string content;  // the database file's bytes; empty: made by the test below
    uint32_t error;
  } cases[] = {
      {"garbage bytes", std::string(4096, '\x5A'), 1009},
      // A valid header cut short: the database looks like SQLite but its pages are missing.
      {"truncated database", "", 1009},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto folder = dir.path() / c.name;
    std::filesystem::create_directories(folder);
    std::string content = c.content;
    if (content.empty()) {
      ASSERT_NE(ProfileDatabase::Open(folder.string(), ProfileDatabase::Access::kReadWrite),
                nullptr);
      std::filesystem::remove(folder / "profile.db-wal");
      std::filesystem::remove(folder / "profile.db-shm");
      content = ReadAll(folder / "profile.db").substr(0, 100);
    }
    {
      std::ofstream out(folder / "profile.db", std::ios::binary | std::ios::trunc);
      out << content;
    }
    auto opened = ProfileDatabase::Open(folder.string(), ProfileDatabase::Access::kReadWrite);
    if (opened != nullptr) {
      // SQLite may accept a truncated file at open; it must then fail on first use.
      Registry registry(std::move(opened));
      EXPECT_FALSE(registry.SetValue("Key", "Value", {registry_type::kDword, {1, 0, 0, 0}}));
    }
    EXPECT_EQ(LastPlatformError(), c.error);
    EXPECT_EQ(ReadAll(folder / "profile.db"), content) << "the file must not be rewritten";
  }
}

TEST(Profile, RefusesAProfileOfANewerRelease) {
  testing::TempDir dir;
  {
    ASSERT_NE(ProfileDatabase::Open(dir.path().string(), ProfileDatabase::Access::kReadWrite),
              nullptr);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir.path() / "profile.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version = 99", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  EXPECT_EQ(ProfileDatabase::Open(dir.path().string(), ProfileDatabase::Access::kReadWrite),
            nullptr);
  EXPECT_EQ(LastPlatformError(), 1010u);
}

TEST(Profile, AnOlderProfileMigratesAndKeepsItsData) {
  testing::TempDir dir;
  {
    Registry registry(
        ProfileDatabase::Open(dir.path().string(), ProfileDatabase::Access::kReadWrite));
    ASSERT_TRUE(registry.SetValue("Kept", "v", {registry_type::kDword, {7, 0, 0, 0}}));
  }
  // Turn the profile back into one of the first release: the registry only.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir.path() / "profile.db").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "DROP TABLE key_protection; DROP TABLE token_keys; "
                         "DROP TABLE certificate_summaries; "
                         "DROP TABLE certificate_properties; "
                         "DROP TABLE certificates; "
                         "DROP TABLE cert_stores; DROP TABLE container_keys; "
                         "DROP TABLE key_containers; PRAGMA user_version = 1",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  auto profile = ProfileDatabase::Open(dir.path().string(), ProfileDatabase::Access::kReadWrite);
  ASSERT_NE(profile, nullptr);
  ProfileStatement version = profile->Prepare("PRAGMA user_version");
  ASSERT_EQ(version.Step(), ProfileStatement::StepResult::kRow);
  EXPECT_EQ(version.ColumnInt(0), kProfileSchemaVersion);
  ProfileStatement stores = profile->Prepare("SELECT count(*) FROM cert_stores");
  EXPECT_EQ(stores.Step(), ProfileStatement::StepResult::kRow);
  Registry registry(std::move(profile));
  EXPECT_EQ(registry.QueryValue("Kept", "v")->data, (std::vector<uint8_t>{7, 0, 0, 0}));
}

TEST(Profile, ReadOnlyNeverCreates) {
  testing::TempDir dir;
  EXPECT_EQ(
      ProfileDatabase::Open((dir.path() / "missing").string(), ProfileDatabase::Access::kReadOnly),
      nullptr);
  EXPECT_EQ(LastPlatformError(), 2u);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing"));
}

TEST(Profile, AnotherUsersProfileIsNotUsed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a folder to another user";
  testing::TempDir dir;
  const auto folder = dir.path() / "theirs";
  std::filesystem::create_directories(folder);
  ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
  EXPECT_EQ(ProfileDatabase::Open(folder.string(), ProfileDatabase::Access::kReadWrite), nullptr);
  EXPECT_EQ(LastPlatformError(), 5u);
  EXPECT_FALSE(std::filesystem::exists(folder / "profile.db"));
}

// Several processes writing to one profile at once: every write lands.
TEST(Profile, ConcurrentWritersLoseNothing) {
  testing::TempDir dir;
  const std::string folder = dir.path().string();
  constexpr int kWriters = 4;
  constexpr int kValuesEach = 100;
  std::vector<pid_t> children;
  for (int writer = 0; writer < kWriters; ++writer) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int failures = 0;
      for (int i = 0; i < kValuesEach; ++i) {
        Registry registry(ProfileDatabase::Open(folder, ProfileDatabase::Access::kReadWrite));
        const uint8_t byte = static_cast<uint8_t>(i);
        if (!registry.SetValue("Shared\\Writer" + std::to_string(writer), "v" + std::to_string(i),
                               {registry_type::kBinary, {byte}})) {
          ++failures;
        }
      }
      _exit(failures == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  Registry registry(ProfileDatabase::Open(folder, ProfileDatabase::Access::kReadOnly));
  for (int writer = 0; writer < kWriters; ++writer) {
    auto values = registry.Values("Shared\\Writer" + std::to_string(writer));
    ASSERT_TRUE(values.has_value());
    EXPECT_EQ(values->size(), static_cast<size_t>(kValuesEach));
  }
}

TEST(Profile, TheChangeStampMovesExactlyWhenSomethingWasCommitted) {
  testing::TempDir dir;
  const std::string folder = dir.path().string();
  auto reader = ProfileDatabase::Open(folder, ProfileDatabase::Access::kReadWrite);
  auto other = ProfileDatabase::Open(folder, ProfileDatabase::Access::kReadWrite);
  ASSERT_NE(reader, nullptr);
  ASSERT_NE(other, nullptr);
  const auto write = [](ProfileDatabase& database, const std::string& value) {
    return database.Execute(
        "INSERT OR REPLACE INTO registry_keys(id, parent, name, folded) "
        "VALUES (2, 1, '" +
        value + "', '" + value + "')");
  };
  // Each step runs, then the reader's stamp is read again: whether it moved is what the step's
  // commit (or its absence) must show.
  const struct {
    const char* label;
    std::function<bool()> step;
    bool moves;
  } steps[] = {
      {"nothing happened", [] { return true; }, false},
      {"another connection read", [&] { return other->Execute("SELECT * FROM registry_keys"); },
       false},
      {"another connection committed", [&] { return write(*other, "a"); }, true},
      {"another connection rolled back",
       [&] { return !other->Transaction([&] { return write(*other, "b") && false; }); }, false},
      {"this connection committed", [&] { return write(*reader, "c"); }, true},
      {"another process committed",
       [&] {
         const pid_t pid = fork();
         if (pid == 0) {
           auto own = ProfileDatabase::Open(folder, ProfileDatabase::Access::kReadWrite);
           _exit(own != nullptr && write(*own, "d") ? 0 : 1);
         }
         int status = 0;
         return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
                WEXITSTATUS(status) == 0;
       },
       true},
  };
  auto stamp = reader->ChangeStamp();
  ASSERT_TRUE(stamp.has_value());
  for (const auto& s : steps) {
    SCOPED_TRACE(s.label);
    ASSERT_TRUE(s.step());
    const auto now = reader->ChangeStamp();
    ASSERT_TRUE(now.has_value());
    EXPECT_EQ(*now != *stamp, s.moves);
    stamp = now;
  }
}

}  // namespace
}  // namespace kelvadrome
