#include "platform/shared_block.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <semaphore.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/last_error.h"

namespace kelvadrome {
namespace {

using Bytes = std::vector<uint8_t>;

// The bytes of a block's shared-memory object, read straight from it; empty when it is absent.
// With |locked| the read is done under the block's change lock.
Bytes Peek(const std::string& object_name, bool locked = false) {
  const int fd = shm_open(object_name.c_str(), O_RDONLY, 0);
  if (fd < 0) return {};
  Bytes bytes(kSharedBlockSize);
  if (locked) flock(fd, LOCK_EX);
  bytes.resize(static_cast<size_t>(std::max<ssize_t>(pread(fd, bytes.data(), bytes.size(), 0), 0)));
  close(fd);
  return bytes;
}

// Writes |value| at |offset| straight into the object, as a careless process of the user might.
void Poke(const std::string& object_name, off_t offset, uint32_t value) {
  const int fd = shm_open(object_name.c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(pwrite(fd, &value, 4, offset), 4);
  close(fd);
}

// The 80-byte name field of an item: the name in UTF-16LE (ASCII here), zero-padded.
Bytes NameField(const std::string& name) {
  Bytes field(80, 0);
  for (size_t i = 0; i < name.size(); ++i) field[2 * i] = static_cast<uint8_t>(name[i]);
  return field;
}

uint32_t U32(const Bytes& bytes, size_t offset) {
  uint32_t value;
  std::memcpy(&value, bytes.data() + offset, 4);
  return value;
}

// Each test uses a block and item names that start with this process's own prefix; at the end it
// checks that its block is gone and removes the event semaphores its names produced.
class SharedBlockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    block_ = prefix_ + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    object_ = "/" + block_ + "." + std::to_string(geteuid());
  }
  void TearDown() override {
    EXPECT_NE(access(("/dev/shm" + object_).c_str(), F_OK), 0) << "block left behind";
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm")) {
      const std::string file = entry.path().filename();
      if (file.starts_with("sem." + prefix_)) sem_unlink(("/" + file.substr(4)).c_str());
    }
  }
  std::string Event(const std::string& base) const {
    return "/" + base + "_Event." + std::to_string(geteuid());
  }

  const std::string prefix_ = "kv" + std::to_string(getpid()) + "-";
  std::string block_, object_;
};

TEST_F(SharedBlockTest, FreshBlockIsZeroedPrivateAndShared) {
  SharedBlock first(block_, kSharedBlockSize);
  ASSERT_TRUE(first.valid());
  EXPECT_TRUE(first.created_here());
  Bytes expected(kSharedBlockSize, 0);
  std::memcpy(expected.data() + 4, &kSharedBlockSize, 4);
  EXPECT_EQ(Peek(object_), expected);
  struct stat st = {};
  ASSERT_EQ(stat(("/dev/shm" + object_).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  const std::string name = prefix_ + "a";
  ASSERT_TRUE(first.AddInt(name, 0x01020304));
  SharedBlock second(block_, 100);  // the size of an existing block stays
  ASSERT_TRUE(second.valid());
  EXPECT_FALSE(second.created_here());
  EXPECT_EQ(second.total_size(), kSharedBlockSize);
  EXPECT_EQ(second.GetInt(name, -1), 0x01020304);
  // count 1, then the item: UTF-16LE name zero-padded to 80 bytes, length 4, the value
  std::memcpy(expected.data(), "\1\0\0\0", 4);
  const Bytes field = NameField(name);
  std::copy(field.begin(), field.end(), expected.begin() + 8);
  std::memcpy(expected.data() + 88, "\4\0\0\0\4\3\2\1", 8);
  EXPECT_EQ(Peek(object_), expected);
}

TEST_F(SharedBlockTest, OperationsReportTheirErrors) {
  SharedBlock block(block_, kSharedBlockSize);
  const std::string four = prefix_ + "four", missing = prefix_ + "missing";
  ASSERT_TRUE(block.AddInt(four, 0x11223344));
  const uint8_t data[5] = {7, 8, 9, 10, 11};
  uint8_t small[2];
  uint32_t small_length = sizeof small, probe_length = 0;
  const std::string n39 = (prefix_ + std::string(40, 'n')).substr(0, 39), n40 = n39 + "n";
  const struct {
    const char* what;
    std::function<bool()> call;
    uint32_t error;  // 0: succeeds
  } cases[] = {
      {"39-character name", [&] { return block.AddItem(n39, data, 5); }, 0},
      {"40-character name", [&] { return block.AddItem(n40, data, 5); }, 1743},
      {"existing name", [&] { return block.AddItem(four, data, 5); }, 183},
      {"add with length 0", [&] { return block.AddItem(missing, data, 0); }, 24},
      {"set with length 0", [&] { return block.SetItem(four, data, 0); }, 24},
      {"set more than recorded", [&] { return block.SetItem(four, data, 5); }, 8},
      {"set absent item", [&] { return block.SetItem(missing, data, 1); }, 2},
      {"set shorter data", [&] { return block.SetItem(four, data, 3); }, 0},
      {"get into 2 bytes", [&] { return block.GetItem(four, small, &small_length); }, 122},
      {"get length only", [&] { return block.GetItem(four, nullptr, &probe_length); }, 0},
      {"get absent item", [&] { return block.GetItem(missing, nullptr, &probe_length); }, 2},
      {"delete absent item", [&] { return block.DeleteItem(missing); }, 2},
      {"delete 39-character name", [&] { return block.DeleteItem(n39); }, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetLastPlatformError(0);
    EXPECT_EQ(c.call(), c.error == 0);
    if (c.error != 0) {
      EXPECT_EQ(block.last_error(), c.error);
    }
    EXPECT_EQ(LastPlatformError(), c.error);
  }
  EXPECT_EQ(small_length, 4u) << "a too-small buffer still learns the length";
  EXPECT_EQ(probe_length, 4u);
  EXPECT_EQ(block.GetInt(four, -1), 0x00090807) << "shorter data is followed by zeroes";
  EXPECT_EQ(block.GetInt(missing, -7), -7);
  EXPECT_FALSE(block.HasItem(missing));
  EXPECT_EQ(block.last_error(), 0u) << "HasItem clears the last error";
}

TEST_F(SharedBlockTest, DeleteMovesItemsDownAndNoRoomChangesNothing) {
  SharedBlock block(block_, kSharedBlockSize);
  const std::string first = prefix_ + "1", middle = prefix_ + "2", third = prefix_ + "3";
  ASSERT_TRUE(block.AddItem(first, "ab", 2));
  ASSERT_TRUE(block.AddItem(middle, nullptr, 30));
  ASSERT_TRUE(block.AddItem(third, "xyz", 3));
  const Bytes before = Peek(object_);
  ASSERT_TRUE(block.DeleteItem(middle));
  // The third item now starts where the middle one did; everything after it is zero.
  Bytes expected(before.begin(), before.begin() + 94);
  expected.insert(expected.end(), before.begin() + 94 + 114, before.begin() + 94 + 114 + 87);
  expected.resize(kSharedBlockSize, 0);
  expected[0] = 2;
  EXPECT_EQ(Peek(object_), expected);

  // 8 + (84 + 2) + (84 + 3) bytes are used; an item of 84 + n bytes fits exactly up to the end.
  const uint32_t fits = kSharedBlockSize - (8 + 86 + 87) - 84;
  EXPECT_FALSE(block.AddItem(middle, nullptr, fits + 1));
  EXPECT_EQ(block.last_error(), share_error::kNoRoom);
  EXPECT_EQ(Peek(object_), expected);
  EXPECT_TRUE(block.AddItem(middle, nullptr, fits));
}

TEST_F(SharedBlockTest, ChangesSetTheirEvents) {
  SharedBlock block(block_, kSharedBlockSize);
  const std::string item = prefix_ + "evented";
  // Whether the event was set, resetting it as a listener would.
  auto taken = [&](const std::string& base) {
    sem_t* event = sem_open(Event(base).c_str(), O_CREAT, 0600, 0);
    const bool set = event != SEM_FAILED && sem_trywait(event) == 0;
    if (event != SEM_FAILED) sem_close(event);
    return set;
  };
  ASSERT_TRUE(block.AddInt(item, 1));
  EXPECT_TRUE(taken(block_));
  EXPECT_FALSE(taken(item));
  ASSERT_TRUE(block.SetInt(item, 2) && block.SetInt(item, 3));
  EXPECT_FALSE(taken(block_));
  EXPECT_TRUE(taken(item));
  EXPECT_FALSE(taken(item)) << "setting twice signals once";
  EXPECT_FALSE(block.AddInt(item, 4));
  EXPECT_FALSE(taken(block_)) << "a refused change signals nothing";
  ASSERT_TRUE(block.DeleteItem(item));
  EXPECT_TRUE(taken(block_) && taken(item));
}

TEST_F(SharedBlockTest, ContentLastsWhileSomeoneHoldsTheBlock) {
  const std::string secret = prefix_ + "secret";
  {
    auto first = std::make_unique<SharedBlock>(block_, kSharedBlockSize);
    SharedBlock second(block_, kSharedBlockSize);
    ASSERT_TRUE(first->AddInt(secret, 42));
    first.reset();
    EXPECT_EQ(second.GetInt(secret, -1), 42);
  }
  EXPECT_TRUE(Peek(object_).empty()) << "the last holder removed it";

  // A holder that dies without closing leaves the object behind, but the next opener finds
  // nobody holding it and starts afresh.
  const pid_t crasher = fork();
  ASSERT_GE(crasher, 0);
  if (crasher == 0) {
    SharedBlock held(block_, kSharedBlockSize);
    _exit(held.AddInt(secret, 42) ? 0 : 1);  // no destructor runs
  }
  int status = 0;
  ASSERT_EQ(waitpid(crasher, &status, 0), crasher);
  ASSERT_EQ(WEXITSTATUS(status), 0);
  ASSERT_FALSE(Peek(object_).empty());
  SharedBlock after(block_, kSharedBlockSize);
  EXPECT_TRUE(after.created_here());
  EXPECT_FALSE(after.HasItem(secret));

  // An object inherited by a forked child is refused there, and ending it there removes nothing.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const bool refused = !after.HasItem(secret) && after.last_error() == share_error::kNotValid;
    after.~SharedBlock();
    _exit(refused ? 0 : 1);
  }
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(after.AddInt(secret, 1));
}

TEST_F(SharedBlockTest, OpenersRacingTheLastCloserAlwaysGetTheNamedBlock) {
  // Processes open and close the block over and over, so openers often meet a last closer. While
  // an opener holds the block, the object under the name must be the one it writes into.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
  std::vector<pid_t> children;
  for (int c = 0; c < 3; ++c) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      const std::string mine = prefix_ + std::to_string(c);
      const Bytes field = NameField(mine);
      int bad = 0;
      while (std::chrono::steady_clock::now() < deadline) {
        SharedBlock block(block_, kSharedBlockSize);
        if (!block.HasItem(mine)) block.AddInt(mine, c);
        const Bytes named = Peek(object_, true);
        bad += std::search(named.begin(), named.end(), field.begin(), field.end()) == named.end();
      }
      _exit(bad == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "an opener wrote into a block no longer named";
  }
}

TEST_F(SharedBlockTest, AnObjectOthersMayReachIsRemadeOrRefused) {
  for (const bool held : {false, true}) {
    SCOPED_TRACE(held ? "held" : "not held");
    const int fd = shm_open(object_.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fchmod(fd, 0666), 0);
    struct flock hold = {};
    hold.l_type = F_RDLCK;
    hold.l_len = 1;
    if (held) {
      ASSERT_EQ(fcntl(fd, F_OFD_SETLK, &hold), 0);
    }
    SharedBlock block(block_, kSharedBlockSize);
    EXPECT_EQ(block.valid(), !held);
    EXPECT_EQ(block.last_error(), held ? platform_error::kAccessDenied : 0);
    struct stat old_st = {}, new_st = {};
    fstat(fd, &old_st);
    ASSERT_EQ(stat(("/dev/shm" + object_).c_str(), &new_st), 0);
    EXPECT_EQ(new_st.st_ino == old_st.st_ino, held);
    EXPECT_EQ(new_st.st_mode & 0777, held ? 0666u : 0600u);
    close(fd);
    if (held) shm_unlink(object_.c_str());
  }
  SharedBlock tiny(block_, 4);
  EXPECT_FALSE(tiny.valid()) << "a size below the header";
  EXPECT_FALSE(tiny.HasItem("x"));
  EXPECT_EQ(tiny.last_error(), share_error::kNotValid);
}

TEST_F(SharedBlockTest, CorruptedContentIsReadWithinBounds) {
  const std::string a = prefix_ + "a", b = prefix_ + "b", c = prefix_ + "c";
  // a (4 bytes) lies at offset 8 and b (4 bytes) at 96, b's recorded length at 176.
  const struct {
    const char* what;
    off_t offset;
    uint32_t value;
    bool a_seen, b_seen;
  } cases[] = {
      // the count claims far more items than the block holds: the zero tail ends the table
      {"count 0xFFFFFFFF", 0, 0xFFFFFFFF, true, true},
      // b's length runs far past the end of the block
      {"length past the end", 176, 0xFFFFFFF0, true, false},
      // b's data would end one byte past the end of the block
      {"length one past the end", 176, kSharedBlockSize - 180 + 1, true, false},
      // b's recorded length is 0, which no item can have
      {"length 0", 176, 0, true, false},
      // the count leaves b out of the table
      {"count 1", 0, 1, true, false},
      // the header's total size is far beyond the mapping: capped at the mapping
      {"total size 0xFFFFFFFF", 4, 0xFFFFFFFF, true, true},
      // the header's total size is smaller than the header itself: an empty, full table
      {"total size 3", 4, 3, false, false},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    SharedBlock holder(block_, kSharedBlockSize);
    ASSERT_TRUE(holder.AddInt(a, 1) && holder.AddInt(b, 2));
    Poke(object_, k.offset, k.value);
    SharedBlock later(block_, kSharedBlockSize);
    ASSERT_TRUE(later.valid());
    EXPECT_LE(later.total_size(), kSharedBlockSize);
    EXPECT_EQ(later.HasItem(a), k.a_seen);
    EXPECT_EQ(later.GetInt(b, -1), k.b_seen ? 2 : -1);
    // A new item goes after the last whole one, and the count becomes the items walked + 1.
    EXPECT_EQ(later.AddInt(c, 3), k.a_seen);
    if (k.a_seen) {
      EXPECT_EQ(U32(Peek(object_), 0), k.b_seen ? 3u : 2u);
    }
    EXPECT_EQ(later.DeleteItem(a), k.a_seen);
    EXPECT_EQ(later.GetInt(c, -1), k.a_seen ? 3 : -1);
  }
}

// Concurrency data: 4 bytes of a sequence number, then bytes derived from it, so that a reader can
// tell whether it got one writer's data whole.
Bytes Payload(uint32_t seq, size_t length) {
  Bytes data(length);
  std::memcpy(data.data(), &seq, 4);
  for (size_t i = 4; i < length; ++i) data[i] = static_cast<uint8_t>(seq * 31 + i * 7);
  return data;
}

bool Whole(const uint8_t* data, size_t length) {
  uint32_t seq;
  std::memcpy(&seq, data, 4);
  return Bytes(data, data + length) == Payload(seq, length);
}

TEST_F(SharedBlockTest, ConcurrentWritersNeverTearTheTable) {
  constexpr int kWriters = 4, kNames = 6;
  // Item k is named with the prefix and the letter 'A' + k, and always holds 16 + 24k bytes.
  const auto length_of = [](size_t k) { return static_cast<uint32_t>(16 + 24 * k); };
  const auto name_of = [&](size_t k) { return prefix_ + char('A' + k); };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  SharedBlock parent(block_, kSharedBlockSize);
  std::vector<pid_t> writers;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      SharedBlock block(block_, kSharedBlockSize);
      std::mt19937 random(w + 1);
      uint32_t seq = static_cast<uint32_t>(w) << 24, bad = block.valid() ? 0 : 1;
      while (std::chrono::steady_clock::now() < deadline) {
        const size_t k = random() % kNames;
        const Bytes data = Payload(++seq, length_of(k));
        if (!block.HasItem(name_of(k))) {
          block.AddItem(name_of(k), data.data(), length_of(k));
        } else if (random() % 2 != 0) {
          block.SetItem(name_of(k), data.data(), length_of(k));
        } else {
          block.DeleteItem(name_of(k));
        }
        uint8_t got[512];
        uint32_t length = sizeof got;
        if (block.GetItem(name_of(k), got, &length)) {
          bad += length != length_of(k) || !Whole(got, length);
        }
      }
      _exit(bad == 0 ? 0 : 1);
    }
    writers.push_back(pid);
  }
  // Meanwhile, walk the table under the change lock: each item is one of the names with its
  // length and whole data, the count matches the items, and the rest is zero.
  int walks = 0, torn = 0;
  for (; std::chrono::steady_clock::now() < deadline; ++walks, usleep(200)) {
    const Bytes raw = Peek(object_, true);
    size_t offset = 8, items = 0;
    for (; offset + 84 <= raw.size() && raw[offset] != 0; ++items) {
      const size_t k = static_cast<size_t>(raw[offset + 2 * prefix_.size()] - 'A');
      if (k >= kNames || Bytes(&raw[offset], &raw[offset + 80]) != NameField(name_of(k)) ||
          U32(raw, offset + 80) != length_of(k) || !Whole(&raw[offset + 84], length_of(k))) {
        break;
      }
      offset += 84 + length_of(k);
    }
    const bool zero_tail =
        std::all_of(raw.begin() + offset, raw.end(), [](uint8_t x) { return !x; });
    torn += !(zero_tail && U32(raw, 0) == items);
  }
  for (pid_t pid : writers) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "a writer read torn data";
  }
  EXPECT_EQ(torn, 0) << "of " << walks << " walks";
  EXPECT_GT(walks, 100);
}

}  // namespace
}  // namespace kelvadrome
