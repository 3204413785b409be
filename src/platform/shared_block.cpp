#include "platform/shared_block.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include <fcntl.h>
#include <semaphore.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/byte_reader.h"
#include "platform/last_error.h"
#include "platform/text.h"

namespace kelvadrome {
namespace {

constexpr uint32_t kMaxNameChars = 39;
constexpr int kMaxOpenAttempts = 64;
constexpr uint32_t kErrorTooManyOpenFiles = 4;
constexpr uint32_t kErrorGeneralFailure = 31;
constexpr uint32_t kErrorBusy = 170;
constexpr uint32_t kErrorNameTooLong = 206;

uint32_t PlatformErrorFromErrno(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
      return platform_error::kAccessDenied;
    case ENOENT:
      return platform_error::kFileNotFound;
    case ENOMEM:
    case ENOSPC:
      return platform_error::kNotEnoughMemory;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    case ENAMETOOLONG:
      return kErrorNameTooLong;
    case EINVAL:
      return platform_error::kInvalidParameter;
    default:
      return kErrorGeneralFailure;
  }
}

uint32_t LoadU32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
         static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

void StoreU32(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
  at[2] = static_cast<uint8_t>(value >> 16);
  at[3] = static_cast<uint8_t>(value >> 24);
}

// The name as the C text it stands for: everything before the first NUL.
std::string_view CText(std::string_view text) {
  return text.substr(0, text.find('\0'));
}

// True when the 80-byte name field at |field| holds exactly |name| (at most 39 units).
bool NameMatches(const uint8_t* field, std::u16string_view name) {
  for (size_t i = 0; i < name.size(); ++i) {
    if (field[2 * i] != static_cast<uint8_t>(name[i]) ||
        field[2 * i + 1] != static_cast<uint8_t>(name[i] >> 8)) {
      return false;
    }
  }
  return field[2 * name.size()] == 0 && field[2 * name.size() + 1] == 0;
}

// What one walk of the item table found. Items are trusted only as far as they lie wholly
// inside |limit|: an item header or data running past it ends the table there, and so does a
// recorded length of 0.
struct TableWalk {
  uint32_t items = 0;                     // whole items walked
  uint32_t end = kSharedBlockHeaderSize;  // offset just past the last of them
  bool found = false;                     // an item named as asked was among them
  uint32_t found_offset = 0;
  uint32_t found_length = 0;
};

// WalkItems walks the table of |view|, bounded by |limit| (at least the header size), looking
// for |name| when it is not null. Every step moves at least one item header forward, so a huge
// recorded count ends when the bound is reached.
TableWalk WalkItems(const uint8_t* view, uint32_t limit, const std::u16string* name) {
  TableWalk walk;
  ByteReader table(std::span<const uint8_t>(view, limit));
  uint32_t count = 0;
  table.ReadU32(count);
  table.Skip(kSharedBlockHeaderSize - 4);
  for (uint32_t i = 0; i < count; ++i) {
    ByteReader item = table;
    std::span<const uint8_t> item_name;
    uint32_t length = 0;
    std::span<const uint8_t> data;
    // AddItem never records a length of 0, so one here is not an item: the zeroed tail of a
    // table whose count overstates it, or damage.
    if (!item.ReadBytes(kSharedItemNameBytes, item_name) || !item.ReadU32(length) || length == 0 ||
        !item.ReadBytes(length, data)) {
      break;
    }
    if (name != nullptr && !walk.found && NameMatches(item_name.data(), *name)) {
      walk.found = true;
      walk.found_offset = static_cast<uint32_t>(table.offset());
      walk.found_length = length;
    }
    table = item;
    ++walk.items;
  }
  walk.end = static_cast<uint32_t>(table.offset());
  return walk;
}

int FlockRetrying(int fd, int operation) {
  int result;
  do {
    result = flock(fd, operation);
  } while (result != 0 && errno == EINTR);
  return result;
}

// Record lock on byte 0, the per-holder hold; |type| F_RDLCK, F_WRLCK or F_UNLCK. Never waits.
bool SetHold(int fd, short type) {
  struct flock hold = {};
  hold.l_type = type;
  hold.l_whence = SEEK_SET;
  hold.l_start = 0;
  hold.l_len = 1;
  return fcntl(fd, F_OFD_SETLK, &hold) == 0;
}

// With the change lock held: true when no other descriptor holds the object. This one is then
// left holding it exclusively (a failed attempt leaves its shared hold, if any, in place).
bool SoleHolder(int fd) {
  return SetHold(fd, F_WRLCK);
}

// Removes |object_name| if it still names the object open on |fd|.
void RemoveName(const std::string& object_name, int fd) {
  struct stat ours = {};
  if (fstat(fd, &ours) != 0) return;
  const int other = shm_open(object_name.c_str(), O_RDONLY, 0);
  if (other < 0) return;
  struct stat named = {};
  const bool same =
      fstat(other, &named) == 0 && named.st_dev == ours.st_dev && named.st_ino == ours.st_ino;
  close(other);
  if (same) shm_unlink(object_name.c_str());
}

// Owns a descriptor until released.
class FdGuard {
 public:
  explicit FdGuard(int fd) : fd_(fd) {}
  ~FdGuard() {
    if (fd_ >= 0) close(fd_);
  }
  FdGuard(const FdGuard&) = delete;
  FdGuard& operator=(const FdGuard&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

}  // namespace

// The change lock of a named block for one operation; a block over memory needs none.
class SharedBlock::ChangeLock {
 public:
  explicit ChangeLock(const SharedBlock& block) : fd_(block.named_ ? block.fd_ : -1) {
    if (fd_ >= 0 && FlockRetrying(fd_, LOCK_EX) != 0) {
      error_ = PlatformErrorFromErrno(errno);
      fd_ = -1;
    }
  }
  ~ChangeLock() {
    if (fd_ >= 0) FlockRetrying(fd_, LOCK_UN);
  }
  ChangeLock(const ChangeLock&) = delete;
  ChangeLock& operator=(const ChangeLock&) = delete;
  bool held() const { return error_ == 0; }
  uint32_t error() const { return error_; }

 private:
  int fd_;
  uint32_t error_ = 0;
};

SharedBlock::SharedBlock(std::string_view name, uint32_t size) : named_(true) {
  block_name_ = std::string(CText(name));
  uid_text_ = std::to_string(geteuid());
  object_name_ = "/" + block_name_ + "." + uid_text_;
  owner_pid_ = getpid();
  Open(size);
}

SharedBlock::SharedBlock(OverMemory, void* memory, size_t size)
    : view_(static_cast<uint8_t*>(memory)), mapped_size_(size) {
  if (memory == nullptr || size < kSharedBlockHeaderSize) {
    Fail(share_error::kNotValid);
    return;
  }
  const uint32_t cap =
      static_cast<uint32_t>(std::min<size_t>(size, std::numeric_limits<uint32_t>::max()));
  total_size_ = std::min(LoadU32(view_ + 4), cap);
  valid_ = true;
}

SharedBlock::~SharedBlock() {
  Close();
}

void SharedBlock::Open(uint32_t size) {
  if (size < kSharedBlockHeaderSize) {
    FailOpen(platform_error::kInvalidParameter);
    return;
  }
  for (int attempt = 0; attempt < kMaxOpenAttempts; ++attempt) {
    if (TryOpen(size) != OpenStep::kRetry) return;
  }
  FailOpen(kErrorBusy);
}

SharedBlock::OpenStep SharedBlock::FailOpen(uint32_t code) {
  Fail(code);
  return OpenStep::kFailed;
}

SharedBlock::OpenStep SharedBlock::TryOpen(uint32_t size) {
  bool created = true;
  FdGuard fd(shm_open(object_name_.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600));
  if (fd.get() < 0 && errno == EEXIST) {
    created = false;
    fd.reset(shm_open(object_name_.c_str(), O_RDWR, 0));
    // Removed by its last holder in between: the name is free again.
    if (fd.get() < 0 && errno == ENOENT) return OpenStep::kRetry;
  }
  if (fd.get() < 0) return FailOpen(PlatformErrorFromErrno(errno));
  // The creation mode went through the umask; make it exactly owner read/write.
  if (created && fchmod(fd.get(), 0600) != 0) return FailOpen(PlatformErrorFromErrno(errno));

  if (FlockRetrying(fd.get(), LOCK_EX) != 0) return FailOpen(PlatformErrorFromErrno(errno));
  // Closing the descriptor (fd's destructor, on every return below) also drops the locks.
  struct stat st = {};
  if (fstat(fd.get(), &st) != 0) return FailOpen(PlatformErrorFromErrno(errno));
  if (st.st_nlink == 0) return OpenStep::kRetry;  // a last closer removed it before we locked
  if (st.st_uid != geteuid()) return FailOpen(platform_error::kAccessDenied);
  const bool sole = SoleHolder(fd.get());
  if ((st.st_mode & 077) != 0) {
    // Others may have opened it while it was open to them; never put items into it.
    if (!sole) return FailOpen(platform_error::kAccessDenied);
    RemoveName(object_name_, fd.get());
    return OpenStep::kRetry;
  }

  size_t map_size;
  if (sole) {
    // Nobody else holds it: any content is stale. Truncating to 0 first drops every old page.
    if (ftruncate(fd.get(), 0) != 0 || ftruncate(fd.get(), size) != 0) {
      const uint32_t code = PlatformErrorFromErrno(errno);
      RemoveName(object_name_, fd.get());
      return FailOpen(code);
    }
    map_size = size;
  } else {
    if (!SetHold(fd.get(), F_RDLCK)) return FailOpen(PlatformErrorFromErrno(errno));
    map_size =
        static_cast<size_t>(std::min<off_t>(st.st_size, std::numeric_limits<uint32_t>::max()));
    // Others hold a block too small for its own header; it cannot be used or repaired.
    if (map_size < kSharedBlockHeaderSize) return FailOpen(share_error::kNotValid);
  }

  void* view = mmap(nullptr, map_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  if (view == MAP_FAILED) {
    const uint32_t code = PlatformErrorFromErrno(errno);
    if (sole) RemoveName(object_name_, fd.get());
    return FailOpen(code);
  }
  view_ = static_cast<uint8_t*>(view);
  mapped_size_ = map_size;
  if (sole) {
    StoreU32(view_, 0);
    StoreU32(view_ + 4, size);
    total_size_ = size;
    created_here_ = true;
    // Turn the exclusive hold into a shared one; converting a record lock is atomic.
    if (!SetHold(fd.get(), F_RDLCK)) {
      const uint32_t code = PlatformErrorFromErrno(errno);
      RemoveName(object_name_, fd.get());
      munmap(view_, mapped_size_);
      view_ = nullptr;
      mapped_size_ = 0;
      created_here_ = false;
      return FailOpen(code);
    }
  } else {
    total_size_ = std::min(LoadU32(view_ + 4), static_cast<uint32_t>(map_size));
  }
  FlockRetrying(fd.get(), LOCK_UN);
  fd_ = fd.release();
  valid_ = true;
  return OpenStep::kOpened;
}

void SharedBlock::Close() {
  if (!named_) return;
  if (fd_ >= 0 && getpid() == owner_pid_ && FlockRetrying(fd_, LOCK_EX) == 0 && SoleHolder(fd_)) {
    // The last holder: nothing published may outlive it.
    const uint32_t wipe = PhysicalSize();
    if (view_ != nullptr && wipe != 0) explicit_bzero(view_, wipe);
    RemoveName(object_name_, fd_);
  }
  if (view_ != nullptr) munmap(view_, mapped_size_);
  view_ = nullptr;
  mapped_size_ = 0;
  if (fd_ >= 0) close(fd_);  // drops the change lock and the hold
  fd_ = -1;
  valid_ = false;
}

bool SharedBlock::Fail(uint32_t code) {
  last_error_.store(code, std::memory_order_relaxed);
  SetLastPlatformError(code);
  return false;
}

bool SharedBlock::Usable() const {
  return valid_ && (!named_ || getpid() == owner_pid_);
}

uint32_t SharedBlock::PhysicalSize() const {
  size_t size = mapped_size_;
  if (named_) {
    struct stat st = {};
    if (fstat(fd_, &st) != 0 || st.st_size < 0) return 0;
    size = std::min(size, static_cast<size_t>(st.st_size));
  }
  return static_cast<uint32_t>(std::min<size_t>(size, std::numeric_limits<uint32_t>::max()));
}

void SharedBlock::SignalEvent(std::string_view base_name) const {
  if (!named_) return;
  const std::string name = "/" + std::string(base_name) + "_Event." + uid_text_;
  sem_t* event = sem_open(name.c_str(), O_CREAT, 0600, 0);
  if (event == SEM_FAILED) return;  // listeners are optional; an unusable name is not an error
  int value = 0;
  if (sem_getvalue(event, &value) == 0 && value == 0) sem_post(event);
  sem_close(event);
}

bool SharedBlock::Bound(const ChangeLock& lock, uint32_t* limit) {
  if (!lock.held()) return Fail(lock.error());
  const uint32_t physical = PhysicalSize();
  // A view shrunk below the header by someone else cannot be used.
  if (physical < kSharedBlockHeaderSize) return Fail(share_error::kNotValid);
  *limit = std::max(std::min(total_size_, physical), kSharedBlockHeaderSize);
  return true;
}

bool SharedBlock::HasItem(std::string_view name) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (!Usable()) return Fail(share_error::kNotValid);
  const std::u16string wide = ConvertToWide(CText(name));
  ChangeLock lock(*this);
  uint32_t limit = 0;
  if (!Bound(lock, &limit)) return false;
  last_error_.store(0, std::memory_order_relaxed);
  return WalkItems(view_, limit, &wide).found;
}

bool SharedBlock::AddItem(std::string_view name, const void* data, uint32_t length) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!Usable()) return Fail(share_error::kNotValid);
    if (length == 0) return Fail(share_error::kBadLength);
    const std::string_view text = CText(name);
    if (text.size() + 1 > kMaxNameChars + 1) return Fail(share_error::kNameTooLong);
    const std::u16string wide = ConvertToWide(text);
    if (wide.size() > kMaxNameChars) return Fail(share_error::kNameTooLong);
    ChangeLock lock(*this);
    uint32_t limit = 0;
    if (!Bound(lock, &limit)) return false;
    if (LoadU32(view_) == 0) {
      std::memset(view_ + kSharedBlockHeaderSize, 0, limit - kSharedBlockHeaderSize);
    }
    const TableWalk walk = WalkItems(view_, limit, &wide);
    if (walk.found) return Fail(share_error::kExists);
    if (uint64_t{walk.end} + kSharedItemHeaderSize + length > limit) {
      return Fail(share_error::kNoRoom);
    }
    // The count written is the number of items actually walked plus one, which also repairs a
    // recorded count that overstated the table.
    StoreU32(view_, walk.items + 1);
    uint8_t* item = view_ + walk.end;
    std::memset(item, 0, kSharedItemNameBytes);
    for (size_t i = 0; i < wide.size(); ++i) {
      item[2 * i] = static_cast<uint8_t>(wide[i]);
      item[2 * i + 1] = static_cast<uint8_t>(wide[i] >> 8);
    }
    StoreU32(item + kSharedItemNameBytes, length);
    if (data != nullptr) {
      std::memcpy(item + kSharedItemHeaderSize, data, length);
    } else {
      std::memset(item + kSharedItemHeaderSize, 0, length);
    }
  }
  SignalEvent(block_name_);
  return true;
}

bool SharedBlock::SetItem(std::string_view name, const void* data, uint32_t length) {
  const std::string_view text = CText(name);
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!Usable()) return Fail(share_error::kNotValid);
    if (length == 0) return Fail(share_error::kBadLength);
    const std::u16string wide = ConvertToWide(text);
    ChangeLock lock(*this);
    uint32_t limit = 0;
    if (!Bound(lock, &limit)) return false;
    const TableWalk walk = WalkItems(view_, limit, &wide);
    if (!walk.found) return Fail(share_error::kNotFound);
    if (length > walk.found_length) return Fail(share_error::kTooMuchData);
    uint8_t* item_data = view_ + walk.found_offset + kSharedItemHeaderSize;
    std::memset(item_data, 0, walk.found_length);
    if (data != nullptr) std::memcpy(item_data, data, length);
  }
  SignalEvent(text);
  return true;
}

bool SharedBlock::GetItem(std::string_view name, void* buffer, uint32_t* length) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (!Usable()) return Fail(share_error::kNotValid);
  if (length == nullptr) return Fail(platform_error::kInvalidParameter);
  const std::u16string wide = ConvertToWide(CText(name));
  ChangeLock lock(*this);
  uint32_t limit = 0;
  if (!Bound(lock, &limit)) return false;
  const TableWalk walk = WalkItems(view_, limit, &wide);
  if (!walk.found) return Fail(share_error::kNotFound);
  if (buffer != nullptr) {
    if (*length < walk.found_length) {
      *length = walk.found_length;
      return Fail(share_error::kBufferTooSmall);
    }
    std::memcpy(buffer, view_ + walk.found_offset + kSharedItemHeaderSize, walk.found_length);
  }
  *length = walk.found_length;
  return true;
}

bool SharedBlock::DeleteItem(std::string_view name) {
  const std::string_view text = CText(name);
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!Usable()) return Fail(share_error::kNotValid);
    const std::u16string wide = ConvertToWide(text);
    ChangeLock lock(*this);
    uint32_t limit = 0;
    if (!Bound(lock, &limit)) return false;
    const TableWalk walk = WalkItems(view_, limit, &wide);
    if (!walk.found) return Fail(share_error::kNotFound);
    const uint32_t item_size = kSharedItemHeaderSize + walk.found_length;
    const uint32_t next = walk.found_offset + item_size;
    std::memmove(view_ + walk.found_offset, view_ + next, walk.end - next);
    std::memset(view_ + walk.end - item_size, 0, item_size);
    StoreU32(view_, walk.items - 1);
  }
  SignalEvent(block_name_);
  SignalEvent(text);
  return true;
}

bool SharedBlock::AddInt(std::string_view name, int32_t value) {
  uint8_t bytes[4];
  StoreU32(bytes, static_cast<uint32_t>(value));
  return AddItem(name, bytes, sizeof bytes);
}

bool SharedBlock::SetInt(std::string_view name, int32_t value) {
  uint8_t bytes[4];
  StoreU32(bytes, static_cast<uint32_t>(value));
  return SetItem(name, bytes, sizeof bytes);
}

int32_t SharedBlock::GetInt(std::string_view name, int32_t default_value) {
  uint8_t bytes[4] = {};
  uint32_t length = sizeof bytes;
  if (!GetItem(name, bytes, &length)) return default_value;
  return static_cast<int32_t>(LoadU32(bytes));
}

}  // namespace kelvadrome
