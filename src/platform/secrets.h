// Secrets in memory: passwords, private keys, decrypted keys and plaintext. SecureWipe is the one
// wipe function; SecretBytes and SecretString own their storage and wipe every byte of it when it
// is released (destroyed, replaced, shortened, grown into new storage, moved from), so that no copy
// survives in freed memory. Storage is wiped, not hidden: a secret is still readable while its
// owner holds it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelvadrome {

// SecureWipe overwrites |size| bytes at |data| in a way the compiler may not drop as a dead store;
// null or zero bytes do nothing.
void SecureWipe(void* data, size_t size);

// SecureWipe for a plain string that held a secret: wipes its whole storage and empties it.
inline void SecureWipe(std::string& text) {
  SecureWipe(text.data(), text.capacity());
  text.clear();
}

// WipingAllocator wipes every block before it is freed, so a container that grows leaves no copy
// of its old content behind.
template <typename T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() noexcept = default;
  template <typename U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}
  T* allocate(size_t count) { return std::allocator<T>().allocate(count); }
  void deallocate(T* block, size_t count) noexcept {
    SecureWipe(block, count * sizeof(T));
    std::allocator<T>().deallocate(block, count);
  }
  template <typename U>
  bool operator==(const WipingAllocator<U>&) const noexcept {
    return true;
  }
};

// BasicSecretString: text that is a secret (a password, a hex key). The allocator covers storage
// on the heap; the destructor, Wipe and the moves also wipe the string's inline buffer, where
// short texts (most passwords) live.
template <typename Char>
class BasicSecretString {
 public:
  using Storage = std::basic_string<Char, std::char_traits<Char>, WipingAllocator<Char>>;
  using View = std::basic_string_view<Char>;

  BasicSecretString() = default;
  explicit BasicSecretString(View text) : text_(text.data(), text.size()) {}
  BasicSecretString(const BasicSecretString& other) : text_(other.text_) {}
  BasicSecretString(BasicSecretString&& other) noexcept : text_(std::move(other.text_)) {
    other.Wipe();
  }
  BasicSecretString& operator=(const BasicSecretString& other) {
    if (this != &other) assign(other.view());
    return *this;
  }
  BasicSecretString& operator=(BasicSecretString&& other) noexcept {
    if (this != &other) {
      Wipe();
      text_ = std::move(other.text_);
      other.Wipe();
    }
    return *this;
  }
  // Assigning plain text is assign(): the old text is wiped first.
  BasicSecretString& operator=(View text) {
    assign(text);
    return *this;
  }
  ~BasicSecretString() { Wipe(); }

  View view() const { return View(text_.data(), text_.size()); }
  const Char* c_str() const { return text_.c_str(); }
  const Char* data() const { return text_.data(); }
  size_t size() const { return text_.size(); }
  bool empty() const { return text_.empty(); }

  // assign replaces the text; the old one is wiped first, also where the new one is shorter.
  void assign(View text) {
    Wipe();
    text_.append(text.data(), text.size());
  }
  void append(const Char* text, size_t count) { text_.append(text, count); }
  void append(View text) { text_.append(text.data(), text.size()); }
  void push_back(Char c) { text_.push_back(c); }
  void reserve(size_t count) { text_.reserve(count); }
  // pop_back removes the last character and wipes the place it held.
  void pop_back() {
    if (text_.empty()) return;
    text_.pop_back();
    SecureWipe(text_.data() + text_.size(), sizeof(Char));
  }

  // Wipe clears every character of the storage and leaves the text empty.
  void Wipe() {
    SecureWipe(text_.data(), text_.capacity() * sizeof(Char));
    text_.clear();
  }

  friend bool operator==(const BasicSecretString& a, const BasicSecretString& b) {
    return a.view() == b.view();
  }
  friend bool operator==(const BasicSecretString& a, View b) { return a.view() == b; }

 private:
  Storage text_;
};

using SecretString = BasicSecretString<char>;
using SecretU16String = BasicSecretString<char16_t>;

// SecretBytes: an owned byte buffer for secrets (private keys, decrypted keys) with the same
// wiping guarantees.
class SecretBytes {
 public:
  SecretBytes() = default;
  explicit SecretBytes(size_t size) : bytes_(size) {}
  SecretBytes(const uint8_t* data, size_t size) : bytes_(data, data + size) {}
  // Takes the bytes of a plain vector, whose storage is wiped and emptied.
  explicit SecretBytes(std::vector<uint8_t>&& bytes) : bytes_(bytes.begin(), bytes.end()) {
    SecureWipe(bytes.data(), bytes.capacity());
    bytes.clear();
  }
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
  ~SecretBytes() { Wipe(); }

  uint8_t* data() { return bytes_.data(); }
  const uint8_t* data() const { return bytes_.data(); }
  size_t size() const { return bytes_.size(); }
  bool empty() const { return bytes_.empty(); }
  std::span<const uint8_t> view() const { return {bytes_.data(), bytes_.size()}; }

  // Copy returns a second buffer holding the same bytes.
  SecretBytes Copy() const { return SecretBytes(bytes_.data(), bytes_.size()); }

  // Truncate shortens the buffer to |size| bytes (no effect when it is not longer), wiping the
  // bytes cut off.
  void Truncate(size_t size) {
    if (size >= bytes_.size()) return;
    SecureWipe(bytes_.data() + size, bytes_.size() - size);
    bytes_.resize(size);
  }

  // Wipe clears the bytes and leaves the buffer empty.
  void Wipe() {
    SecureWipe(bytes_.data(), bytes_.size());
    bytes_.clear();
  }

 private:
  std::vector<uint8_t, WipingAllocator<uint8_t>> bytes_;
};

}  // namespace kelvadrome
