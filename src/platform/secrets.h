// Secrets in memory: passwords, private keys, decrypted keys and plaintext. SecureWipe is the one
// wipe function; SecretBytes and SecretString own their storage and wipe every byte of it when it
// is released (destroyed, replaced, shortened, grown into new storage, moved from), so that no copy
// survives in freed memory. Storage is wiped, not hidden: a secret is still readable while its
// owner holds it, but the storage is kept out of core dumps (SecretAllocate).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
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

// SecretAllocate returns |size| bytes (at least one), aligned to 16, in pages marked
// MADV_DONTDUMP so that a core dump of the process leaves them out: blocks of up to
// kSecretPoolBlockLimit bytes come from a pool of such pages (kept for reuse, never returned to the
// system), larger ones are pages mapped for the block alone. Throws std::bad_alloc when no memory
// can be had. SecretFree wipes the |size| bytes of a block from SecretAllocate and gives it back.
// Thread-safe.
inline constexpr size_t kSecretPoolBlockLimit = 64 * 1024;
void* SecretAllocate(size_t size);
void SecretFree(void* block, size_t size) noexcept;

// WipingAllocator takes its blocks from SecretAllocate and wipes every block before it is freed,
// so a container that grows leaves no copy of its old content behind.
template <typename T>
struct WipingAllocator {
  static_assert(alignof(T) <= 16, "SecretAllocate aligns to 16 bytes");
  using value_type = T;
  WipingAllocator() noexcept = default;
  template <typename U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}
  T* allocate(size_t count) {
    if (count > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(SecretAllocate(count * sizeof(T)));
  }
  void deallocate(T* block, size_t count) noexcept { SecretFree(block, count * sizeof(T)); }
  template <typename U>
  bool operator==(const WipingAllocator<U>&) const noexcept {
    return true;
  }
};

// BasicSecretString: text that is a secret (a password, a hex key). Every text, however short, is
// kept in storage from the allocator (kept out of core dumps), never in the string's inline buffer:
// each way of giving the string text reserves more than the inline buffer holds first. The
// destructor, Wipe and the moves wipe what the string still owns.
template <typename Char>
class BasicSecretString {
 public:
  using Storage = std::basic_string<Char, std::char_traits<Char>, WipingAllocator<Char>>;
  using View = std::basic_string_view<Char>;

  BasicSecretString() = default;
  explicit BasicSecretString(View text) { append(text); }
  BasicSecretString(const BasicSecretString& other) { append(other.view()); }
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
    append(text);
  }
  void append(const Char* text, size_t count) {
    LeaveInlineBuffer();
    text_.append(text, count);
  }
  void append(View text) { append(text.data(), text.size()); }
  void push_back(Char c) {
    LeaveInlineBuffer();
    text_.push_back(c);
  }
  void reserve(size_t count) {
    LeaveInlineBuffer();
    text_.reserve(count);
  }
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
  // The capacity of an empty string is its inline buffer's (the standard library keeps short texts
  // there); reserving one more moves the string into allocated storage.
  void LeaveInlineBuffer() {
    static const size_t inline_capacity = Storage().capacity();
    if (text_.capacity() <= inline_capacity) text_.reserve(inline_capacity + 1);
  }

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
