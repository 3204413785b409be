#include "codec/byte_buffer.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/secrets.h"

namespace kelvadrome {

namespace {

void ReleaseStorage(uint8_t* data, int64_t capacity) {
  if (data == nullptr) return;
  SecureWipe(data, static_cast<size_t>(capacity));
  std::free(data);
}

}  // namespace

ByteBuffer::ByteBuffer(int32_t size) {
  Allocate(size);
}

ByteBuffer::~ByteBuffer() {
  Reset();
}

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      length_(std::exchange(other.length_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
  if (this != &other) {
    Reset();
    data_ = std::exchange(other.data_, nullptr);
    length_ = std::exchange(other.length_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

void ByteBuffer::Reset() {
  ReleaseStorage(data_, capacity_);
  data_ = nullptr;
  length_ = 0;
  capacity_ = 0;
}

bool ByteBuffer::Reserve(int64_t total) {
  const int64_t needed = total + 2;
  if (needed <= capacity_) return true;
  int64_t grown = capacity_ + capacity_ / 2;
  if (grown < needed) grown = needed;
  if (grown > int64_t{kMaxLength} + 2) grown = int64_t{kMaxLength} + 2;
  auto* fresh = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(grown), 1));
  if (fresh == nullptr) return false;
  if (data_ != nullptr) std::memcpy(fresh, data_, static_cast<size_t>(length_));
  ReleaseStorage(data_, capacity_);
  data_ = fresh;
  capacity_ = grown;
  return true;
}

bool ByteBuffer::Allocate(int32_t n) {
  Reset();
  if (n < 1 || n > kMaxLength) return false;
  if (!Reserve(n)) return false;
  length_ = n;
  return true;
}

bool ByteBuffer::Append(const void* bytes, int32_t n) {
  if (bytes == nullptr || n < 1) return false;
  const int64_t total = int64_t{length_} + n;
  if (total > kMaxLength) return false;
  // Appending part of the buffer's own content must survive the storage moving.
  const auto* source = static_cast<const uint8_t*>(bytes);
  const bool aliased = data_ != nullptr && source >= data_ && source < data_ + capacity_;
  const ptrdiff_t offset = aliased ? source - data_ : 0;
  if (!Reserve(total)) return false;
  if (aliased) source = data_ + offset;
  std::memmove(data_ + length_, source, static_cast<size_t>(n));
  length_ = static_cast<int32_t>(total);
  // Storage beyond the content is zero from calloc or from an earlier, longer content that was
  // wiped; the terminator is written explicitly all the same.
  data_[length_] = 0;
  data_[length_ + 1] = 0;
  return true;
}

bool ByteBuffer::AssignReversed(const void* bytes, int32_t n) {
  const auto* source = static_cast<const uint8_t*>(bytes);
  if (source != nullptr && n > 0 && data_ != nullptr && source >= data_ &&
      source + n <= data_ + length_) {
    // Reversing (part of) the buffer's own content: work on a copy, since Allocate releases it.
    ByteBuffer copy;
    if (!copy.Append(source, n)) {
      Reset();
      return false;
    }
    return AssignReversed(copy.data(), n);
  }
  if (!Allocate(n)) return false;
  if (source == nullptr) {
    Reset();
    return false;
  }
  for (int32_t i = 0; i < n; ++i) data_[i] = source[n - 1 - i];
  return true;
}

}  // namespace kelvadrome
