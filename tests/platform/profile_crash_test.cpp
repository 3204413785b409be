// A writer killed at any moment: the profile opens afterwards and holds every write that returned
// success before the kill.
#include <csignal>
#include <random>
#include <set>
#include <string>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/registry.h"
#include "support/test_support.h"

namespace kelvadrome {
namespace {

// Runs in the child: writes values without end and reports each success on |report|.
[[noreturn]] void WriteUntilKilled(const std::string& folder, int report, int round) {
  Registry registry(ProfileDatabase::Open(folder, ProfileDatabase::Access::kReadWrite));
  for (int i = 0;; ++i) {
    const std::string name = std::to_string(round) + "-" + std::to_string(i);
    if (registry.SetValue("Crash\\Round" + std::to_string(round), name,
                          {registry_type::kBinary, std::vector<uint8_t>(64, 0xAB)})) {
      const std::string line = name + "\n";
      if (write(report, line.data(), line.size()) < 0) _exit(1);
    }
  }
}

TEST(ProfileCrash, KilledWritersLoseNoCommittedWrite) {
  testing::TempDir dir;
  const std::string folder = dir.path().string();
  std::mt19937 random(2026);
  constexpr int kRounds = 200;
  size_t confirmed_total = 0;
  int rounds_with_writes = 0;
  for (int round = 0; round < kRounds; ++round) {
    int pipe_ends[2];
    ASSERT_EQ(pipe2(pipe_ends, O_CLOEXEC), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(pipe_ends[0]);
      WriteUntilKilled(folder, pipe_ends[1], round);
    }
    close(pipe_ends[1]);
    usleep(std::uniform_int_distribution<useconds_t>(0, 30000)(random));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    std::string reported;
    char buffer[4096];
    for (ssize_t got; (got = read(pipe_ends[0], buffer, sizeof buffer)) > 0;) {
      reported.append(buffer, static_cast<size_t>(got));
    }
    close(pipe_ends[0]);

    auto database = ProfileDatabase::Open(folder, ProfileDatabase::Access::kReadWrite);
    ASSERT_NE(database, nullptr) << "round " << round;
    Registry registry(std::move(database));
    std::set<std::string> present;
    if (auto values = registry.Values("Crash\\Round" + std::to_string(round))) {
      for (const auto& [name, value] : *values) present.insert(name);
    }
    // Only complete lines were confirmed; a line cut by the kill may or may not have landed.
    size_t start = 0;
    if (reported.find('\n') != std::string::npos) ++rounds_with_writes;
    for (size_t end; (end = reported.find('\n', start)) != std::string::npos; start = end + 1) {
      const std::string name = reported.substr(start, end - start);
      EXPECT_TRUE(present.count(name)) << "round " << round << " lost " << name;
      ++confirmed_total;
    }
  }
  // The test means something only if many rounds were killed after writes had landed (a kill
  // may also come before the first write, while the profile is being opened).
  EXPECT_GE(rounds_with_writes, kRounds / 10);
  RecordProperty("confirmed_writes", static_cast<int>(confirmed_total));
}

}  // namespace
}  // namespace kelvadrome
