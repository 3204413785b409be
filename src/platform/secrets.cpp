#include "platform/secrets.h"

#include <pthread.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <mutex>
#include <new>
#include <type_traits>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KELVADROME_SECRETS_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KELVADROME_SECRETS_ASAN 1
#endif
#ifdef KELVADROME_SECRETS_ASAN
#include <sanitizer/asan_interface.h>
#define POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define POISON(address, size) ((void)(address), (void)(size))
#define UNPOISON(address, size) ((void)(address), (void)(size))
#endif

namespace kelvadrome {

void SecureWipe(void* data, size_t size) {
  if (data != nullptr && size != 0) explicit_bzero(data, size);
}

namespace {

// Secret storage comes from anonymous mappings marked MADV_DONTDUMP. Mapping pages for every block
// would cost two system calls and fresh page faults per password, key copy or decrypted PFX part
// (measured: reading a PFX file got about 30% slower when blocks above 2 KiB had pages of their
// own), so blocks of up to kSecretPoolBlockLimit bytes share pages: one size class per power of
// two from 16 bytes, each with a list of freed blocks (linked through their first bytes, once
// wiped) and the unused rest of the chunk it last mapped. A chunk is mapped and marked once and never unmapped; its pages are touched
// only as blocks are handed out.
constexpr size_t kSmallestBlock = 16;
constexpr size_t kClassCount = 13;  // 16, 32, ..., 65536
constexpr size_t kChunkSize = 64 * 1024;
static_assert(kSmallestBlock << (kClassCount - 1) == kSecretPoolBlockLimit);

struct FreeBlock {
  FreeBlock* next;
};

struct SizeClass {
  FreeBlock* freed = nullptr;
  char* unused = nullptr;  // the part of the last chunk not handed out yet
  char* unused_end = nullptr;
};

struct Pool {
  std::mutex lock;
  std::array<SizeClass, kClassCount> classes{};
};

// Never destroyed: secrets held by static objects are freed during exit, after any destructor of
// the pool would have run.
constinit Pool pool;
static_assert(std::is_trivially_destructible_v<Pool>);

// A child forked while another thread held the pool's lock would wait for it forever: the lock is
// taken around every fork and released again on both sides.
void HoldThePoolAcrossForks() {
  static const int registered = pthread_atfork([] { pool.lock.lock(); },
                                               [] { pool.lock.unlock(); },
                                               [] { pool.lock.unlock(); });
  (void)registered;
}

size_t ClassOf(size_t size) {
  size_t index = 0;
  while ((kSmallestBlock << index) < size) ++index;
  return index;
}

size_t PageSize() {
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

// MapSecretPages maps |size| bytes (a multiple of the page size) of private memory left out of core
// dumps. A kernel that does not know MADV_DONTDUMP still gives memory (the mapping is what matters
// for use; the flag only for dumps).
void* MapSecretPages(size_t size) {
  void* pages = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) throw std::bad_alloc();
  madvise(pages, size, MADV_DONTDUMP);
  return pages;
}

size_t RoundToPages(size_t size) {
  const size_t page = PageSize();
  if (size > SIZE_MAX - page) throw std::bad_alloc();
  return (size + page - 1) / page * page;
}

}  // namespace

void* SecretAllocate(size_t size) {
  if (size == 0) size = 1;
  if (size > kSecretPoolBlockLimit) return MapSecretPages(RoundToPages(size));
  HoldThePoolAcrossForks();
  const size_t index = ClassOf(size);
  const size_t block_size = kSmallestBlock << index;
  std::lock_guard<std::mutex> held(pool.lock);
  SizeClass& size_class = pool.classes[index];
  void* block;
  if (size_class.freed != nullptr) {
    FreeBlock* taken = size_class.freed;
    UNPOISON(taken, sizeof(FreeBlock));
    size_class.freed = taken->next;
    taken->next = nullptr;
    block = taken;
  } else {
    if (size_class.unused == size_class.unused_end) {
      size_class.unused = static_cast<char*>(MapSecretPages(kChunkSize));
      size_class.unused_end = size_class.unused + kChunkSize;
    }
    block = size_class.unused;
    size_class.unused += block_size;
  }
  UNPOISON(block, size);
  return block;
}

void SecretFree(void* block, size_t size) noexcept {
  if (block == nullptr) return;
  if (size == 0) size = 1;
  SecureWipe(block, size);
  if (size > kSecretPoolBlockLimit) {
    munmap(block, RoundToPages(size));
    return;
  }
  const size_t index = ClassOf(size);
  std::lock_guard<std::mutex> held(pool.lock);
  SizeClass& size_class = pool.classes[index];
  auto* freed = static_cast<FreeBlock*>(block);
  UNPOISON(freed, sizeof(FreeBlock));
  freed->next = size_class.freed;
  size_class.freed = freed;
  POISON(block, kSmallestBlock << index);
}

}  // namespace kelvadrome
