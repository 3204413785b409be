// PlatformCipher: the cipher object behind SymEncrypt and SymDecrypt. DES and triple DES in CBC
// mode with an all-zero IV and PKCS #5 padding, encrypting and decrypting whole messages.
//
// It keeps the leading fields of DesCipher (output, mode, algorithm) with the same setters, and
// encrypts through DesCipher itself, so both produce the same ciphertext for the same key. Each
// EncryptAll or DecryptAll opens a session for the key (the key schedules), runs the blocks and
// closes the session again, whatever the outcome; a failure records the platform error in
// last_error().
#pragma once

#include <cstdint>

#include "codec/byte_buffer.h"
#include "codec/des.h"

namespace kelvadrome {

// Cipher modes SetMode accepts, as the platform numbers them. Only CBC is run; see EncryptAll.
namespace cipher_mode {
inline constexpr int32_t kCbc = 1;
inline constexpr int32_t kEcb = 2;
inline constexpr int32_t kOfb = 3;
inline constexpr int32_t kCfb = 4;
}  // namespace cipher_mode

class PlatformCipher {
 public:
  PlatformCipher() = default;
  // Wipes the key copies; the output is wiped by ByteBuffer.
  ~PlatformCipher() = default;
  PlatformCipher(const PlatformCipher&) = delete;
  PlatformCipher& operator=(const PlatformCipher&) = delete;

  // output holds the result of the last EncryptAll or DecryptAll; empty after a failed one.
  const ByteBuffer& output() const { return output_; }
  ByteBuffer& output() { return output_; }

  // SetMode takes 1 to 4 (cipher_mode); any other value sets CBC. Initially CBC.
  void SetMode(int32_t mode);
  int32_t mode() const { return mode_; }

  // SetAlgorithm keeps kCalgDes, kCalg3Des and kCalg3Des112; any other value selects kCalgDes
  // (DesCipher's rule). Initially kCalgDes.
  void SetAlgorithm(uint32_t alg_id) { des_.SetAlgorithm(alg_id); }
  uint32_t algorithm() const { return des_.algorithm(); }

  // SetKey wipes the previous key and copies the |n| bytes at |bytes| when |bytes| is non-null
  // and n > 0 (else no key is left). The length is checked when a session opens.
  void SetKey(const void* bytes, int32_t n);

  // last_error returns the platform error of the last failure (0 initially).
  uint32_t last_error() const { return last_error_; }

  // EncryptAll replaces the output with the CBC encryption of the |n| bytes at |bytes| followed by
  // PKCS #5 padding: 8 * (n / 8 + 1) bytes. Returns false, with the output empty, for null bytes
  // or n <= 0 (no error recorded), and with last_error() set for: no key, or a key whose length is
  // not the algorithm's (8, 16 or 24 bytes), NTE_BAD_KEY; a mode other than CBC, NTE_BAD_ALGID;
  // output that cannot be stored, NTE_NO_MEMORY.
  bool EncryptAll(const void* bytes, int32_t n);

  // DecryptAll replaces the output with the CBC decryption of the |n| bytes at |bytes|, the
  // padding checked and removed. Returns false, with the output empty, for null bytes or n <= 0,
  // and with last_error() set for the key and mode faults above and NTE_BAD_DATA when n is not a
  // multiple of 8 or the last block does not end in valid padding (1 to 8 bytes, each holding the
  // pad length), which is what a wrong key usually gives.
  bool DecryptAll(const void* bytes, int32_t n);

 private:
  // KeyFits checks the session's preconditions (key length, mode); false with last_error() set.
  bool KeyFits();

  ByteBuffer output_;
  int32_t mode_ = cipher_mode::kCbc;
  uint32_t last_error_ = 0;
  // The algorithm and the key as DesCipher keeps them; encryption runs there.
  DesCipher des_;
  // A second copy of the key for decryption, which DesCipher does not offer (wiped on release).
  ByteBuffer key_;
};

// KeyLengthFor returns the key length in bytes that |alg_id| uses: 8 (DES), 16 (two-key triple
// DES) or 24 (three-key triple DES); 8 for any other value, as SetAlgorithm maps it to DES.
int32_t KeyLengthFor(uint32_t alg_id);

}  // namespace kelvadrome
