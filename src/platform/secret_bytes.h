// SecretBytes: an owned byte buffer for secrets (private keys, decrypted keys) that is wiped when
// it is destroyed, assigned over or shortened, so that the bytes do not survive in freed storage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace kelvadrome {

// WipeMemory overwrites |size| bytes at |data| in a way the compiler may not drop; null does
// nothing.
void WipeMemory(void* data, size_t size);

class SecretBytes {
 public:
  SecretBytes() = default;
  explicit SecretBytes(size_t size) : bytes_(size) {}
  SecretBytes(const uint8_t* data, size_t size) : bytes_(data, data + size) {}
  // Takes over |bytes| (whose storage is wiped with this object).
  explicit SecretBytes(std::vector<uint8_t>&& bytes) : bytes_(std::move(bytes)) {}
  ~SecretBytes() { Wipe(); }
  SecretBytes(SecretBytes&& other) noexcept : bytes_(std::move(other.bytes_)) {}
  SecretBytes& operator=(SecretBytes&& other) noexcept {
    if (this != &other) {
      Wipe();
      bytes_ = std::move(other.bytes_);
    }
    return *this;
  }
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;

  uint8_t* data() { return bytes_.data(); }
  const uint8_t* data() const { return bytes_.data(); }
  size_t size() const { return bytes_.size(); }
  bool empty() const { return bytes_.empty(); }
  std::span<const uint8_t> view() const { return bytes_; }

  // Copy returns a second buffer holding the same bytes.
  SecretBytes Copy() const { return SecretBytes(bytes_.data(), bytes_.size()); }

  // Truncate shortens the buffer to |size| bytes (no effect when it is not longer), wiping the
  // bytes cut off.
  void Truncate(size_t size) {
    if (size >= bytes_.size()) return;
    WipeMemory(bytes_.data() + size, bytes_.size() - size);
    bytes_.resize(size);
  }

  // Wipe clears the bytes and leaves the buffer empty.
  void Wipe() {
    WipeMemory(bytes_.data(), bytes_.size());
    bytes_.clear();
  }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace kelvadrome
