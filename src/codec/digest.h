// The component's own message digests: MD5, SHA-1, SHA-256 and SHA-512.
//
// A digest object is a ByteBuffer whose content is the digest of the last computation (empty
// before the first). Compute hashes one message held in memory; Begin/Update/Finish hash a
// message that arrives in pieces (files). Compute is exactly Begin + Update + Finish.
//
// Each algorithm has a portable block function and, where the CPU offers it, an accelerated one
// (SHA extensions for SHA-1 and SHA-256, AVX2 or AVX-512 for the SHA-512 message schedule). The
// choice is made at Begin from the process-wide DigestEngine and the CPU's features, so one
// computation always runs with one block function.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "codec/byte_buffer.h"
#include "platform/secrets.h"

namespace kelvadrome {

enum class DigestAlgorithm { kMd5, kSha1, kSha256, kSha512 };

// Which block functions run. kAuto picks, at run time, the CPU's SHA extensions or vector units
// where present, else the portable code; kPortable forces the portable code.
enum class DigestEngine { kAuto, kPortable };

// SetDigestEngine sets the engine for every digest computation begun afterwards, process-wide
// (tests and benchmarks). A computation already begun keeps its block function.
void SetDigestEngine(DigestEngine engine);
DigestEngine GetDigestEngine();

// DigestAccelerationAvailable returns true when kAuto would run a non-portable block function for
// |algorithm| on this CPU (whatever the current engine setting is).
bool DigestAccelerationAvailable(DigestAlgorithm algorithm);

namespace digest_internal {

// Processes |count| whole blocks at |blocks| into the chaining state |state|.
template <typename Word>
using BlockFunction = void (*)(Word* state, const uint8_t* blocks, size_t count);

// The SHA-512 block functions this CPU can run, the portable one first, each with a short name.
// Sha512Digest runs the last of them (kAuto) or the first (kPortable); tests run every one.
struct Sha512BlockFunction {
  const char* name;
  BlockFunction<uint64_t> function;
};
std::vector<Sha512BlockFunction> Sha512BlockFunctions();

// The buffering and padding common to the four algorithms (Merkle-Damgard with a 0x80 byte,
// zeros and the message length in bits at the end of the last block). kLengthBytes is the size of
// the length field (8, or 16 for SHA-512); kBigEndian selects its byte order.
template <typename Word, size_t kStateWords, size_t kBlockBytes, size_t kLengthBytes,
          bool kBigEndian>
class BlockStream {
 public:
  ~BlockStream() { Wipe(); }

  void Begin(const Word (&initial)[kStateWords], BlockFunction<Word> function) {
    std::memcpy(state_, initial, sizeof(state_));
    function_ = function;
    pending_ = 0;
    total_ = 0;
  }

  void Update(const void* bytes, size_t n) {
    if (n == 0) return;
    const auto* p = static_cast<const uint8_t*>(bytes);
    total_ += n;  // wraps modulo 2^64 bytes; only SHA-512 can tell, see Finish
    if (total_ < n) ++total_high_;
    if (pending_ != 0) {
      size_t take = kBlockBytes - pending_;
      if (take > n) take = n;
      std::memcpy(block_ + pending_, p, take);
      pending_ += take;
      p += take;
      n -= take;
      if (pending_ < kBlockBytes) return;
      function_(state_, block_, 1);
      pending_ = 0;
    }
    if (n >= kBlockBytes) {
      size_t whole = n / kBlockBytes;
      function_(state_, p, whole);
      p += whole * kBlockBytes;
      n -= whole * kBlockBytes;
    }
    if (n != 0) {
      std::memcpy(block_, p, n);
      pending_ = n;
    }
  }

  // Pads, processes the last block(s) and leaves the final chaining state in state(). The
  // buffered message bytes are wiped.
  void Finish() {
    block_[pending_++] = 0x80;
    if (pending_ > kBlockBytes - kLengthBytes) {
      std::memset(block_ + pending_, 0, kBlockBytes - pending_);
      function_(state_, block_, 1);
      pending_ = 0;
    }
    std::memset(block_ + pending_, 0, kBlockBytes - pending_);
    // The length in bits: total_ * 8, with the carry out of 64 bits (for the 128-bit field).
    const uint64_t bits_low = total_ << 3;
    const uint64_t bits_high = (total_high_ << 3) | (total_ >> 61);
    uint8_t* field = block_ + kBlockBytes - kLengthBytes;
    for (size_t i = 0; i < 8; ++i) {
      const uint8_t low_byte = static_cast<uint8_t>(bits_low >> (8 * i));
      if (kBigEndian) {
        field[kLengthBytes - 1 - i] = low_byte;
        if (kLengthBytes == 16) field[7 - i] = static_cast<uint8_t>(bits_high >> (8 * i));
      } else {
        field[i] = low_byte;
      }
    }
    function_(state_, block_, 1);
    SecureWipe(block_, sizeof(block_));
    pending_ = 0;
    total_ = 0;
    total_high_ = 0;
  }

  const Word* state() const { return state_; }

  void Wipe() {
    SecureWipe(state_, sizeof(state_));
    SecureWipe(block_, sizeof(block_));
    pending_ = 0;
    total_ = 0;
    total_high_ = 0;
  }

 private:
  Word state_[kStateWords] = {};
  uint8_t block_[kBlockBytes] = {};
  size_t pending_ = 0;       // bytes waiting in block_
  uint64_t total_ = 0;       // message length in bytes, modulo 2^64
  uint64_t total_high_ = 0;  // carries out of total_
  BlockFunction<Word> function_ = nullptr;
};

}  // namespace digest_internal

// A digest object: the content is the digest of the last computation (empty before).
class MessageDigest : public ByteBuffer {
 public:
  virtual ~MessageDigest() = default;

  // Compute replaces the content with the digest of the |n| bytes at |bytes| (|bytes| may be null
  // when n == 0), computed from a fresh state. A negative n is taken as 0. Always returns true.
  bool Compute(const void* bytes, int32_t n) {
    Begin();
    if (bytes != nullptr && n > 0) Update(bytes, static_cast<size_t>(n));
    Finish();
    return true;
  }

  // Streaming form: Begin starts a fresh computation (the content is left as it is), Update adds
  // |n| bytes (|bytes| may be null when n == 0), Finish replaces the content with the digest and
  // begins a fresh computation, so Update may follow it directly.
  virtual void Begin() = 0;
  virtual void Update(const void* bytes, size_t n) = 0;
  virtual void Finish() = 0;
  // Digest length in bytes: 16, 20, 32 or 64.
  virtual size_t DigestSize() const = 0;
};

class Md5Digest final : public MessageDigest {
 public:
  Md5Digest() { Begin(); }
  void Begin() override;
  void Update(const void* bytes, size_t n) override { stream_.Update(bytes, n); }
  void Finish() override;
  size_t DigestSize() const override { return 16; }

 private:
  digest_internal::BlockStream<uint32_t, 4, 64, 8, false> stream_;
};

class Sha1Digest final : public MessageDigest {
 public:
  Sha1Digest() { Begin(); }
  void Begin() override;
  void Update(const void* bytes, size_t n) override { stream_.Update(bytes, n); }
  void Finish() override;
  size_t DigestSize() const override { return 20; }

 private:
  digest_internal::BlockStream<uint32_t, 5, 64, 8, true> stream_;
};

class Sha256Digest final : public MessageDigest {
 public:
  Sha256Digest() { Begin(); }
  void Begin() override;
  void Update(const void* bytes, size_t n) override { stream_.Update(bytes, n); }
  void Finish() override;
  size_t DigestSize() const override { return 32; }

 private:
  digest_internal::BlockStream<uint32_t, 8, 64, 8, true> stream_;
};

class Sha512Digest final : public MessageDigest {
 public:
  Sha512Digest() { Begin(); }
  void Begin() override;
  void Update(const void* bytes, size_t n) override { stream_.Update(bytes, n); }
  void Finish() override;
  size_t DigestSize() const override { return 64; }

 private:
  digest_internal::BlockStream<uint64_t, 8, 128, 16, true> stream_;
};

// MakeDigest returns a new digest object of the given kind (never null for the four values).
// The caller owns it.
inline std::unique_ptr<MessageDigest> MakeDigest(DigestAlgorithm algorithm) {
  switch (algorithm) {
    case DigestAlgorithm::kMd5:
      return std::make_unique<Md5Digest>();
    case DigestAlgorithm::kSha1:
      return std::make_unique<Sha1Digest>();
    case DigestAlgorithm::kSha256:
      return std::make_unique<Sha256Digest>();
    case DigestAlgorithm::kSha512:
      return std::make_unique<Sha512Digest>();
  }
  return nullptr;
}

}  // namespace kelvadrome
