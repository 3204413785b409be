// Single-block DES and triple DES (encrypt-decrypt-encrypt) on prepared key schedules. DesCipher
// builds its CBC mode on these; the tests run the block functions directly in both directions.
#pragma once

#include <cstdint>

namespace kelvadrome {

// DesKeySchedule holds the sixteen round keys made from one 8-byte DES key. The low bit of each
// key byte (the parity bit) is ignored. The schedule is wiped when cleared or destroyed, and
// cannot be copied, so that no stray copies of key material are left behind.
class DesKeySchedule {
 public:
  DesKeySchedule() = default;
  // Reads exactly 8 bytes at |key|.
  explicit DesKeySchedule(const uint8_t* key) { Set(key); }
  ~DesKeySchedule() { Clear(); }
  DesKeySchedule(const DesKeySchedule&) = delete;
  DesKeySchedule& operator=(const DesKeySchedule&) = delete;

  // Set builds the round keys from the 8 bytes at |key|.
  void Set(const uint8_t* key);
  // Clear wipes the round keys (the schedule then encrypts with an all-zero key's round keys).
  void Clear();

  // Encrypt and Decrypt transform one block given as a big-endian 64-bit value.
  uint64_t Encrypt(uint64_t block) const { return Crypt(block, false); }
  uint64_t Decrypt(uint64_t block) const { return Crypt(block, true); }

 private:
  uint64_t Crypt(uint64_t block, bool decrypt) const;

  // Round r's 48-bit key as eight 6-bit groups, one per S-box, in the order the S-boxes take them.
  uint8_t round_keys_[16][8] = {};
};

// Triple DES with three schedules: Encrypt is E(k3)(D(k2)(E(k1)(x))), Decrypt its inverse
// D(k1)(E(k2)(D(k3)(x))).
inline uint64_t TripleDesEncrypt(const DesKeySchedule& k1, const DesKeySchedule& k2,
                                 const DesKeySchedule& k3, uint64_t block) {
  return k3.Encrypt(k2.Decrypt(k1.Encrypt(block)));
}
inline uint64_t TripleDesDecrypt(const DesKeySchedule& k1, const DesKeySchedule& k2,
                                 const DesKeySchedule& k3, uint64_t block) {
  return k1.Decrypt(k2.Encrypt(k3.Decrypt(block)));
}

// The 8 bytes at |p| as a big-endian block value, and back.
inline uint64_t LoadDesBlock(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
  return v;
}
inline void StoreDesBlock(uint64_t v, uint8_t* p) {
  for (int i = 7; i >= 0; --i) {
    p[i] = static_cast<uint8_t>(v);
    v >>= 8;
  }
}

}  // namespace kelvadrome
