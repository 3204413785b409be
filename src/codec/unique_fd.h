// UniqueFd: owns one POSIX file descriptor and closes it when it goes out of scope. A holder of -1
// owns nothing; closing it does nothing.
#pragma once

#include <unistd.h>

#include <utility>

namespace kelvadrome {

class UniqueFd {
 public:
  UniqueFd() = default;
  // Takes ownership of |fd| (-1 for none).
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Close(); }

  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

  // release gives up ownership and returns the descriptor (-1 if none); the caller must close it.
  int release() { return std::exchange(fd_, -1); }

  // Close closes the descriptor now and returns false when close() reported an error, which after
  // a write can mean the data did not reach the file. The descriptor is released either way: on
  // Linux it is gone even when close() fails (EINTR included), so it is never closed twice.
  // Returns true when there was nothing to close.
  bool Close() {
    if (fd_ < 0) return true;
    const int fd = std::exchange(fd_, -1);
    return ::close(fd) == 0;
  }

 private:
  int fd_ = -1;
};

}  // namespace kelvadrome
