// DesCipher: DES and triple DES encryption in CBC mode with an all-zero IV and PKCS #5 padding,
// the component's own code (no platform provider). Encryption only.
#pragma once

#include <cstdint>

#include "codec/byte_buffer.h"

namespace kelvadrome {

// Algorithm identifiers accepted by DesCipher::SetAlgorithm.
inline constexpr uint32_t kCalgDes = 0x6601;      // single DES, 8-byte key
inline constexpr uint32_t kCalg3Des = 0x6603;     // triple DES, 24-byte key K1 K2 K3
inline constexpr uint32_t kCalg3Des112 = 0x6609;  // triple DES, 16-byte key K1 K2 (K3 = K1)

// The content is the ciphertext of the last EncryptAll (empty before it, and after a failed one).
class DesCipher : public ByteBuffer {
 public:
  DesCipher();
  // Wipes the key (the output is wiped by ByteBuffer).
  ~DesCipher();
  DesCipher(const DesCipher&) = delete;
  DesCipher& operator=(const DesCipher&) = delete;

  // The mode is kept for callers that set it on every cipher object; it is not consulted
  // (always CBC). Initially 1.
  void SetMode(int32_t mode) { mode_ = mode; }
  int32_t mode() const { return mode_; }

  // SetAlgorithm keeps kCalgDes, kCalg3Des and kCalg3Des112; any other value selects kCalgDes.
  void SetAlgorithm(uint32_t alg_id);
  uint32_t algorithm() const { return algorithm_; }

  // SetKey wipes the previous key and stores a copy of the |n| bytes at |bytes|; null or n <= 0
  // leaves no key. Any length is accepted here; EncryptAll checks it.
  void SetKey(const void* bytes, int32_t n);

  // EncryptAll replaces the content with the CBC encryption (IV all zero) of the |n| bytes at
  // |bytes| followed by PKCS #5 padding: 8 * (n / 8 + 1) bytes. The key's first 8, 16 or 24
  // bytes are used (DES, 3DES-112, 3DES) and any further bytes ignored. Returns false, with the
  // content empty, for null |bytes|, n <= 0, no key or a key shorter than the algorithm needs,
  // or when the output cannot be stored.
  bool EncryptAll(const void* bytes, int32_t n);

 private:
  int32_t mode_ = 1;
  uint32_t algorithm_ = kCalgDes;
  ByteBuffer key_;  // wiped when released
};

}  // namespace kelvadrome
