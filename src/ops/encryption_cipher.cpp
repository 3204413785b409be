#include "ops/encryption_cipher.h"

#include "codec/des_core.h"
#include "platform/key_container.h"

namespace kelvadrome {

int32_t KeyLengthFor(uint32_t alg_id) {
  switch (alg_id) {
    case kCalg3Des:
      return 24;
    case kCalg3Des112:
      return 16;
    default:
      return 8;
  }
}

void PlatformCipher::SetMode(int32_t mode) {
  mode_ = (mode >= cipher_mode::kCbc && mode <= cipher_mode::kCfb) ? mode : cipher_mode::kCbc;
}

void PlatformCipher::SetKey(const void* bytes, int32_t n) {
  key_.Reset();
  des_.SetKey(bytes, n);
  if (bytes != nullptr && n > 0) key_.Append(bytes, n);
}

bool PlatformCipher::KeyFits() {
  if (key_.length() != KeyLengthFor(algorithm())) {
    last_error_ = key_error::kBadKey;
    return false;
  }
  // Only chaining is offered: the workers always ask for CBC.
  if (mode_ != cipher_mode::kCbc) {
    last_error_ = key_error::kBadAlgorithm;
    return false;
  }
  return true;
}

bool PlatformCipher::EncryptAll(const void* bytes, int32_t n) {
  output_.Reset();
  if (bytes == nullptr || n <= 0) return false;
  if (!KeyFits()) return false;
  if (!des_.EncryptAll(bytes, n)) {
    // The key was checked above, so only storage can have failed.
    last_error_ = key_error::kNoMemory;
    return false;
  }
  output_ = std::move(static_cast<ByteBuffer&>(des_));
  return true;
}

bool PlatformCipher::DecryptAll(const void* bytes, int32_t n) {
  output_.Reset();
  if (bytes == nullptr || n <= 0) return false;
  if (!KeyFits()) return false;
  if (n % 8 != 0) {
    last_error_ = key_error::kBadData;
    return false;
  }

  const uint32_t algorithm = this->algorithm();
  const uint8_t* key = key_.data();
  DesKeySchedule k1(key);
  DesKeySchedule k2;
  DesKeySchedule k3;
  const bool triple = algorithm != kCalgDes;
  if (triple) {
    k2.Set(key + 8);
    k3.Set(algorithm == kCalg3Des ? key + 16 : key);
  }

  // The plaintext is at most n - 1 bytes (the padding takes 1 to 8); it is written in place and
  // the buffer cut to the right length after the padding check.
  ByteBuffer plain;
  if (!plain.Allocate(n)) {
    last_error_ = key_error::kNoMemory;
    return false;
  }
  const auto* in = static_cast<const uint8_t*>(bytes);
  uint8_t* out = plain.data();
  uint64_t chain = 0;  // the IV: eight zero bytes
  for (int32_t offset = 0; offset < n; offset += 8) {
    const uint64_t block = LoadDesBlock(in + offset);
    const uint64_t decrypted = triple ? TripleDesDecrypt(k1, k2, k3, block) : k1.Decrypt(block);
    StoreDesBlock(decrypted ^ chain, out + offset);
    chain = block;
  }

  // PKCS #5: the last byte gives the pad length p (1 to 8), and the last p bytes all hold p.
  const uint8_t pad = out[n - 1];
  bool padded = pad >= 1 && pad <= 8;
  for (int i = 1; padded && i <= pad; ++i) padded = out[n - i] == pad;
  const int32_t length = padded ? n - pad : 0;
  if (!padded) {
    last_error_ = key_error::kBadData;
    return false;
  }
  // Only the padding block remains when the plaintext was empty; that is a success with no output.
  if (length > 0 && !output_.Append(out, length)) {
    last_error_ = key_error::kNoMemory;
    return false;
  }
  return true;
}

}  // namespace kelvadrome
