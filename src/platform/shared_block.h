// SharedBlock: a small table of named items in shared memory, through which the component
// instances of one user hand a selected signer to each other.
//
// Layout (32-bit little-endian integers, no padding):
//   offset 0  item count
//   offset 4  total size of the block in bytes (written by whoever initialised the block)
//   offset 8  the items, packed one after another; each item is
//               80 bytes  name, UTF-16LE, zero-terminated and zero-padded (at most 39 characters)
//                4 bytes  recorded data length n
//                n bytes  data
//             and the next item begins right after the data. Every byte after the last item up
//             to the end of the block is zero.
//
// Objects behind a block named N, for the user with numeric uid U:
//   - the block: POSIX shared memory "/N.U", mode 0600, mapped read/write and shared;
//   - change events: POSIX named semaphores "/N_Event.U" (posted after an item is added or
//     deleted) and "/<item name>_Event.U" (posted after an item is overwritten or deleted).
//     An event is set by posting its semaphore when its value is 0, so it behaves like a
//     manual-reset event that is either signalled (1) or not (0) rather than a counter. Nothing in
//     the component waits on them; they are for listeners outside it, and they stay in place.
//
// Exclusion. Every process of the user that opens the block takes one exclusive change lock,
// flock(LOCK_EX) on its own descriptor of the shared-memory object, around every change and every
// read that takes more than one step (the header at open, HasItem, GetItem, AddItem, SetItem,
// DeleteItem). Readers therefore never see a half-written item table and writers never
// interleave. The kernel drops the lock when its holder dies, so a crashed process cannot wedge
// the others. Inside one process the object also serialises its own callers with a mutex, since
// threads sharing one descriptor are not excluded from each other by flock.
//
// Lifetime. The block's content lasts exactly while some process holds the block open:
//   - Every open object keeps a shared hold: an open-file-description record lock (F_OFD_SETLK,
//     F_RDLCK) on byte 0 of the shared-memory object. It is independent of the flock change lock
//     on the same descriptor and is also dropped by the kernel when the holder dies.
//   - On close, a holder takes the change lock and tries to turn its hold into an exclusive one
//     without waiting. That succeeds only when no other descriptor holds the block: this holder is
//     the last, so it wipes the content and removes the name (shm_unlink) before it lets go of the
//     change lock. Otherwise it just unmaps and closes.
//   - On open, a process opens the object (creating it with O_EXCL when the name is free), takes
//     the change lock, and checks that the object still has a name (st_nlink != 0): a last closer
//     may have removed it between the open and the lock, and the opener then starts over and
//     finds the name free or created anew. Still under the change lock it tests for other holders
//     the same way a closer does. When there are none, whatever the object holds is stale (it was
//     just created, or its last holder died without closing), so the opener sizes it afresh,
//     zeroed, writes the header and reports created_here(). Then it takes its own hold, so a
//     closer that comes after it sees the hold and leaves the block in place.
//
// Trust. The per-user name and mode 0600 keep other users out. An object under the name that
// belongs to another user is refused (access denied); one of ours that others may read or write
// is removed and made anew when nobody holds it, and refused otherwise. Content written by other
// processes of the same user is still untrusted: every walk of the item table is bounded by the
// total size, the mapped size and the object's current size, and an item whose header or data
// would run past that bound ends the table there. The total size read from the header of an
// existing block is capped by the mapped size.
//
// Errors: every failing operation returns false (GetInt returns its default), records the error
// number in last_error() and hands it to SetLastPlatformError. Item names are narrow text in the
// process code page (up to the first NUL byte), converted with ConvertToWide for storing and
// comparing; names compare exactly.
//
// An object belongs to the process that opened it: after fork() the child opens its own. In a
// child an inherited object fails every operation with kNotValid, and destroying it there only
// unmaps and closes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include <sys/types.h>

namespace kelvadrome {

namespace share_error {
inline constexpr uint32_t kNotValid = 4312;       // the block could not be opened
inline constexpr uint32_t kBadLength = 24;        // data length 0 given to AddItem or SetItem
inline constexpr uint32_t kNameTooLong = 1743;    // name's byte count + 1 exceeds 40
inline constexpr uint32_t kExists = 183;          // AddItem of a name that exists
inline constexpr uint32_t kNoRoom = 14;           // the new item would end past the total size
inline constexpr uint32_t kNotFound = 2;          // no item of that name
inline constexpr uint32_t kTooMuchData = 8;       // SetItem with more data than recorded
inline constexpr uint32_t kBufferTooSmall = 122;  // GetItem buffer shorter than the data
}  // namespace share_error

inline constexpr std::string_view kSharedBlockName = "QuorixATL Module";
inline constexpr uint32_t kSharedBlockSize = 20480;

// Sizes of the layout's parts.
inline constexpr uint32_t kSharedBlockHeaderSize = 8;
inline constexpr uint32_t kSharedItemNameBytes = 80;
inline constexpr uint32_t kSharedItemHeaderSize = 84;

class SharedBlock {
 public:
  // Opens the block |name| of this user, creating it with |size| bytes (at least 8) when nobody
  // holds it. On failure the object is not valid, last_error() holds the platform error (access
  // denied for an object another user owns), and every operation fails with kNotValid.
  SharedBlock(std::string_view name, uint32_t size);

  // Test-only seam: an unlocked, unnamed block over |memory| (|size| bytes, caller-owned, must
  // outlive the object), taken as it is: the total size comes from its header, capped by |size|.
  // Signals no events. Not valid (kNotValid) when |size| is below 8. Meant for fuzzing the
  // item-table walks over arbitrary bytes.
  struct OverMemory {};
  SharedBlock(OverMemory, void* memory, size_t size);

  // Closes the block; the last holder of a named block wipes and removes it.
  ~SharedBlock();
  SharedBlock(const SharedBlock&) = delete;
  SharedBlock& operator=(const SharedBlock&) = delete;

  bool valid() const { return valid_; }
  // True when this object initialised the block (nobody else held it).
  bool created_here() const { return created_here_; }
  uint32_t last_error() const { return last_error_.load(std::memory_order_relaxed); }
  uint32_t total_size() const { return total_size_; }
  // The shared-memory object's name ("/<name>.<uid>"), empty for a block over memory.
  const std::string& object_name() const { return object_name_; }

  // HasItem returns whether an item |name| exists and clears last_error(); false with kNotValid
  // when the block is not valid.
  bool HasItem(std::string_view name);

  // AddItem appends an item |name| holding |length| bytes from |data| (zeroes when |data| is
  // null). Fails with kNotValid, kBadLength, kNameTooLong, kExists or kNoRoom (block unchanged).
  // Posts the block's event.
  bool AddItem(std::string_view name, const void* data, uint32_t length);

  // SetItem overwrites the data of item |name| in place: its recorded length stays, and |length|
  // bytes from |data| are followed by zeroes. Fails with kNotValid, kBadLength, kNotFound or
  // kTooMuchData. Posts the item's event.
  bool SetItem(std::string_view name, const void* data, uint32_t length);

  // GetItem sets |*length| to the item's recorded length and, when |buffer| is not null, copies
  // the data into it provided |*length| was at least that long (else kBufferTooSmall, with
  // |*length| still set). Fails with kNotValid or kNotFound leaving |*length| alone, or with
  // platform_error::kInvalidParameter when |length| is null.
  bool GetItem(std::string_view name, void* buffer, uint32_t* length);

  // DeleteItem removes item |name|, moving the following items down and zeroing the freed tail.
  // Fails with kNotValid or kNotFound. Posts the block's event, then the item's.
  bool DeleteItem(std::string_view name);

  // AddInt / SetInt: AddItem / SetItem with the 4 little-endian bytes of |value|.
  bool AddInt(std::string_view name, int32_t value);
  bool SetInt(std::string_view name, int32_t value);
  // GetInt returns the item read into a zeroed 4-byte buffer, or |default_value| when that fails.
  int32_t GetInt(std::string_view name, int32_t default_value);

 private:
  class ChangeLock;
  enum class OpenStep { kOpened, kRetry, kFailed };

  void Open(uint32_t size);
  OpenStep TryOpen(uint32_t size);
  OpenStep FailOpen(uint32_t code);
  void Close();
  bool Fail(uint32_t code);
  bool Usable() const;
  // Bound checks, for an operation under |lock|: the lock is held and the view still holds the
  // header. Sets |*limit| to the bound of the item table (from 8 up to total and physical size).
  bool Bound(const ChangeLock& lock, uint32_t* limit);
  // Bytes of the view that may be touched now: the mapped size, capped by the object's current
  // size (0 when it cannot be read).
  uint32_t PhysicalSize() const;
  void SignalEvent(std::string_view base_name) const;

  std::mutex mutex_;
  std::string block_name_;
  std::string object_name_;
  std::string uid_text_;
  bool valid_ = false;
  bool created_here_ = false;
  bool named_ = false;  // false for a block over caller memory
  std::atomic<uint32_t> last_error_{0};
  int fd_ = -1;
  pid_t owner_pid_ = 0;
  uint8_t* view_ = nullptr;
  size_t mapped_size_ = 0;
  uint32_t total_size_ = 0;
};

}  // namespace kelvadrome
