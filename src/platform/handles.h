// One owning handle type per C resource the platform layer uses. Each deleter accepts null and does
// nothing for it, so a handle can always be reset or destroyed. Library types are only declared
// here (their deleters are defined in handles.cpp), so including this header does not pull the
// libraries' own headers into the layers above.
#pragma once

#include <cstdio>
#include <memory>

#include <iconv.h>
#include <ifaddrs.h>
#include <locale.h>
#include <unistd.h>

struct sqlite3;
struct sqlite3_stmt;

namespace kelvadrome {

struct IconvDeleter {
  void operator()(void* cd) const {
    if (cd != nullptr && cd != reinterpret_cast<void*>(-1)) iconv_close(static_cast<iconv_t>(cd));
  }
};
// iconv_t is a pointer type; iconv_open's failure value (iconv_t)-1 must be turned into null by the
// caller before it is stored.
using UniqueIconv = std::unique_ptr<void, IconvDeleter>;

struct LocaleDeleter {
  void operator()(locale_t locale) const {
    if (locale != nullptr) freelocale(locale);
  }
};
using UniqueLocale = std::unique_ptr<std::remove_pointer_t<locale_t>, LocaleDeleter>;

struct IfaddrsDeleter {
  void operator()(ifaddrs* list) const {
    if (list != nullptr) freeifaddrs(list);
  }
};
using UniqueIfaddrs = std::unique_ptr<ifaddrs, IfaddrsDeleter>;

struct FileDeleter {
  void operator()(std::FILE* file) const {
    if (file != nullptr) std::fclose(file);
  }
};
using UniqueFile = std::unique_ptr<std::FILE, FileDeleter>;

// SQLite: a connection is closed with sqlite3_close_v2, a statement finalized.
struct SqliteDeleter {
  void operator()(sqlite3* db) const;
  void operator()(sqlite3_stmt* statement) const;
};
using UniqueSqlite = std::unique_ptr<sqlite3, SqliteDeleter>;
using UniqueSqliteStatement = std::unique_ptr<sqlite3_stmt, SqliteDeleter>;

// A POSIX file descriptor; -1 means none.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Close closes the descriptor now and returns false when close() reported an error (after a
  // write, that can be the first sign that data did not reach the disk). The descriptor is released
  // either way; true when nothing was held.
  bool Close() {
    if (fd_ < 0) return true;
    const int result = ::close(fd_);
    fd_ = -1;
    return result == 0;
  }

 private:
  int fd_ = -1;
};

}  // namespace kelvadrome
