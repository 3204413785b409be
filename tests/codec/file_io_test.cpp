// ReadFileBytes, WriteFileBytes and RemoveFile against real files in a temporary folder.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codec/byte_buffer.h"
#include "support/test_support.h"

namespace kelvadrome {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

std::string ReadAll(const fs::path& path) {
  const auto bytes = testing::ReadWholeFile(path);
  return std::string(bytes.begin(), bytes.end());
}

// Names in the folder, to show that no temporary file is left behind.
std::vector<std::string> Names(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(FileIoTest, ReadsWholeFiles) {
  TempDir dir;
  std::mt19937 generator(9);
  std::uniform_int_distribution<int> byte(0, 255);
  for (size_t size : {size_t{1}, size_t{4096}, size_t{(1 << 20) + 17}}) {
    SCOPED_TRACE("size " + std::to_string(size));
    std::string content(size, '\0');
    for (auto& c : content) c = static_cast<char>(byte(generator));
    const fs::path file = dir.WriteFile("data.bin", content);
    ByteBuffer buffer;
    ASSERT_TRUE(ReadFileBytes(file.string(), buffer));
    EXPECT_EQ(buffer.ToString(), content);
    EXPECT_EQ(buffer.data()[buffer.length()], 0);
    EXPECT_EQ(buffer.data()[buffer.length() + 1], 0);
  }
}

TEST(FileIoTest, ReadRefusesWhatIsNoNonEmptyRegularFile) {
  TempDir dir;
  const fs::path empty_file = dir.WriteFile("empty", "");
  const fs::path full_file = dir.WriteFile("full", "content");
  const fs::path fifo = dir.path() / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // A sparse file one byte longer than a buffer can hold; it takes no disk space.
  const fs::path huge = dir.path() / "huge";
  {
    const int fd = open(huge.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, off_t{ByteBuffer::kMaxLength} + 1), 0);
    close(fd);
  }
  struct Case {
    const char* name;
    std::string path;
  };
  const Case cases[] = {
      {"empty path", ""},
      {"missing file", (dir.path() / "missing").string()},
      {"zero-length file", empty_file.string()},
      {"directory", dir.path().string()},
      // Opening a FIFO must not wait for a writer; it is no regular file.
      {"FIFO", fifo.string()},
      {"character device", "/dev/null"},
      {"larger than a buffer", huge.string()},
      // An embedded NUL would cut the path short to the name of a readable file.
      {"path with a NUL", full_file.string() + std::string(1, '\0') + "x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ByteBuffer buffer;
    ASSERT_TRUE(buffer.Append("old", 3));
    EXPECT_FALSE(ReadFileBytes(c.path, buffer));
    EXPECT_EQ(buffer.data(), nullptr);
    EXPECT_EQ(buffer.length(), 0);
  }
}

TEST(FileIoTest, ReadRefusesUnreadableFile) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not stop root";
  TempDir dir;
  const fs::path file = dir.WriteFile("secret", "content");
  ASSERT_EQ(chmod(file.c_str(), 0), 0);
  ByteBuffer buffer;
  EXPECT_FALSE(ReadFileBytes(file.string(), buffer));
  EXPECT_EQ(buffer.data(), nullptr);
}

// A sysfs attribute claims a size of one page but holds a few bytes: the read ends before the
// size it was promised, as with a file that shrinks while it is read.
TEST(FileIoTest, ReadRefusesFileThatEndsBeforeItsSize) {
  const char* path = "/sys/kernel/mm/transparent_hugepage/enabled";
  struct stat info {};
  if (stat(path, &info) != 0 || info.st_size != 4096) GTEST_SKIP() << "no suitable sysfs file";
  ByteBuffer buffer;
  EXPECT_FALSE(ReadFileBytes(path, buffer));
  EXPECT_EQ(buffer.data(), nullptr);
}

TEST(FileIoTest, WriteCreatesOrReplacesTheFileForTheOwnerOnly) {
  TempDir dir;
  const fs::path file = dir.path() / "out.bin";
  struct Case {
    const char* name;
    std::string content;
  };
  const Case cases[] = {
      {"create", std::string("first\0content", 13)},
      {"replace with longer", std::string(100000, 'L')},
      {"replace with shorter", "short"},
      {"empty buffer gives an empty file", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ByteBuffer buffer;
    if (!c.content.empty()) {
      ASSERT_TRUE(buffer.Append(c.content.data(), static_cast<int32_t>(c.content.size())));
    }
    ASSERT_TRUE(WriteFileBytes(file.string(), buffer));
    EXPECT_EQ(ReadAll(file), c.content);
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"out.bin"});
  }
}

// Replacing a file keeps the mode its owner gave it; a new file, or one replacing a link, is
// private.
TEST(FileIoTest, ReplacedFileKeepsItsMode) {
  TempDir dir;
  ByteBuffer buffer;
  ASSERT_TRUE(buffer.Append("new", 3));
  struct Case {
    const char* name;
    mode_t before;  // 0: no file before
    mode_t after;
  };
  const Case cases[] = {
      {"shared with everyone", 0644, 0644},
      {"shared with the group", 0640, 0640},
      {"read-only for the owner", 0400, 0400},
      {"new file", 0, 0600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path file = dir.path() / (std::string(c.name) + ".pfx");
    if (c.before != 0) {
      dir.WriteFile(file.filename().string(), "old");
      ASSERT_EQ(chmod(file.c_str(), c.before), 0);
    }
    ASSERT_TRUE(WriteFileBytes(file.string(), buffer));
    EXPECT_EQ(ReadAll(file), "new");
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, c.after);
  }
  // A link is replaced by a private file; the file it named keeps its mode and content.
  const fs::path named = dir.WriteFile("named.txt", "named");
  ASSERT_EQ(chmod(named.c_str(), 0644), 0);
  fs::create_symlink(named, dir.path() / "link.txt");
  ASSERT_TRUE(WriteFileBytes((dir.path() / "link.txt").string(), buffer));
  EXPECT_FALSE(fs::is_symlink(dir.path() / "link.txt"));
  struct stat info {};
  ASSERT_EQ(stat((dir.path() / "link.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_EQ(ReadAll(named), "named");
}

// Writers killed at random moments leave either the old or the new file, and no temporary.
TEST(FileIoTest, KilledWriterLeavesNoTemporary) {
  TempDir dir;
  const fs::path file = dir.WriteFile("target.pfx", "old");
  ByteBuffer buffer;
  ASSERT_TRUE(buffer.Allocate(32 << 20));
  std::fill(buffer.data(), buffer.data() + buffer.length(), 0x5A);
  std::mt19937 random(7);
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (;;) WriteFileBytes(file.string(), buffer);
    }
    usleep(std::uniform_int_distribution<useconds_t>(1000, 60000)(random));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"target.pfx"});
  }
}

TEST(FileIoTest, WriteIntoTheWorkingFolderByBareName) {
  TempDir dir;
  const fs::path previous = fs::current_path();
  fs::current_path(dir.path());
  ByteBuffer buffer;
  ASSERT_TRUE(buffer.Append("here", 4));
  const bool written = WriteFileBytes("bare.txt", buffer);
  fs::current_path(previous);
  ASSERT_TRUE(written);
  EXPECT_EQ(ReadAll(dir.path() / "bare.txt"), "here");
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"bare.txt"});
}

TEST(FileIoTest, FailedWriteLeavesTargetAndFolderAsTheyWere) {
  TempDir dir;
  const fs::path target_dir = dir.path() / "a-folder";
  fs::create_directory(target_dir);
  ByteBuffer buffer;
  ASSERT_TRUE(buffer.Append("data", 4));
  struct Case {
    const char* name;
    std::string path;
  };
  const Case cases[] = {
      {"empty path", ""},
      // A folder cannot be replaced by a file.
      {"target is a folder", target_dir.string()},
      // Ends in a slash: no file name.
      {"no file name", dir.path().string() + "/"},
      // The folder does not exist, so neither the temporary nor the file can be made there.
      {"missing folder", (dir.path() / "missing" / "file").string()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(WriteFileBytes(c.path, buffer));
    EXPECT_TRUE(fs::is_directory(target_dir));
    EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"a-folder"});
  }
}

// A write cut short half-way (here by the file size limit, which binds root as well) keeps the old
// content of the target and removes the temporary.
TEST(FileIoTest, WriteCutShortKeepsTheOldContent) {
  TempDir dir;
  const fs::path file = dir.WriteFile("keep.txt", "old content");
  ByteBuffer buffer;
  ASSERT_TRUE(buffer.Allocate(64 * 1024));

  struct rlimit old_limit {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  struct rlimit small = old_limit;
  small.rlim_cur = 4096;
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool written = WriteFileBytes(file.string(), buffer);
  setrlimit(RLIMIT_FSIZE, &old_limit);
  std::signal(SIGXFSZ, old_handler);

  EXPECT_FALSE(written);
  EXPECT_EQ(ReadAll(file), "old content");
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"keep.txt"});
}

TEST(FileIoTest, WrittenFileReadsBackAndRemoves) {
  TempDir dir;
  const std::string file = (dir.path() / "round.bin").string();
  ByteBuffer out;
  ASSERT_TRUE(out.Append("\x00\x01\x02\xff", 4));
  ASSERT_TRUE(WriteFileBytes(file, out));
  ByteBuffer in;
  ASSERT_TRUE(ReadFileBytes(file, in));
  EXPECT_EQ(in.ToString(), out.ToString());

  EXPECT_TRUE(RemoveFile(file));
  EXPECT_FALSE(fs::exists(file));
  struct Case {
    const char* name;
    std::string path;
  };
  const Case refused[] = {
      {"already removed", file},
      {"empty path", ""},
      // unlink does not remove folders.
      {"folder", dir.path().string()},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(RemoveFile(c.path));
  }
  EXPECT_TRUE(fs::is_directory(dir.path()));
}

}  // namespace
TEST(FileIoTest, PathExistsAndEnsureFolder) {
  TempDir dir;
  const auto file = dir.WriteFile("file", "x");
  const std::string folder = dir.path().string();
  const struct {
    std::string path;
    bool exists;
    bool folder_ready;  // EnsureFolder's answer
  } cases[] = {
      {file.string(), true, false},     // a file is no folder
      {folder, true, true},             // an existing folder
      {folder + "/new", false, true},   // one missing level is made
      {folder + "/a/b", false, false},  // two are not
      {"", false, false},               // no path at all
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(PathExists(c.path), c.exists);
    EXPECT_EQ(EnsureFolder(c.path), c.folder_ready);
  }
  EXPECT_TRUE(PathExists(folder + "/new")) << "EnsureFolder made it";
}

}  // namespace kelvadrome
