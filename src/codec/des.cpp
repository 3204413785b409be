// DES (FIPS 46-3) block function, triple DES, and the CBC + PKCS #5 DesCipher.
//
// The round function uses combined S-box/P tables: for S-box i and a 6-bit input, the 32-bit
// word that the S-box output becomes after the P permutation. The initial and final
// permutations use one table per input nibble. All tables are computed at compile time from the
// published definitions below, so the code carries the definitions rather than derived numbers.
#include "codec/des.h"

#include <array>
#include <cstring>

#include "codec/des_core.h"
#include "platform/secrets.h"

namespace kelvadrome {
namespace {

// Bit positions are numbered from 1 at the most significant bit, as in the DES definition.

constexpr uint8_t kInitialPermutation[64] = {
    58, 50, 42, 34, 26, 18, 10, 2,  60, 52, 44, 36, 28, 20, 12, 4,  62, 54, 46, 38, 30, 22,
    14, 6,  64, 56, 48, 40, 32, 24, 16, 8,  57, 49, 41, 33, 25, 17, 9,  1,  59, 51, 43, 35,
    27, 19, 11, 3,  61, 53, 45, 37, 29, 21, 13, 5,  63, 55, 47, 39, 31, 23, 15, 7};

constexpr uint8_t kPermutedChoice1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
                                          10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
                                          63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
                                          14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

constexpr uint8_t kPermutedChoice2[48] = {
    14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
    41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

constexpr uint8_t kRotations[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

constexpr uint8_t kPermutationP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23,
                                       26, 5, 18, 31, 10, 2,  8,  24, 14, 32, 27,
                                       3,  9, 19, 13, 30, 6,  22, 11, 4,  25};

// S-boxes: four rows of sixteen; the row is chosen by the first and last input bits, the column
// by the middle four.
constexpr uint8_t kSBoxes[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8, 3, 10, 6, 12, 5,  9,  0,  7,  0,  15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5, 3, 8,  4, 1,  14, 8,  13, 6,  2,  11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2, 4, 9,  1, 7,  5,  11, 3,  14, 10, 0,  6,  13},
    {15, 1,  8,  14, 6,  11, 3,  4, 9,  7,  2, 13, 12, 0,  5,  10, 3,  13, 4,  7, 15, 2,
     8,  14, 12, 0,  1,  10, 6,  9, 11, 5,  0, 14, 7,  11, 10, 4,  13, 1,  5,  8, 12, 6,
     9,  3,  2,  15, 13, 8,  10, 1, 3,  15, 4, 2,  11, 6,  7,  12, 0,  5,  14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7, 11, 4,  2,  8,  13, 7, 0,  9, 3, 4,
     6,  10, 2,  8,  5, 14, 12, 11, 15, 1,  13, 6, 4,  9,  8,  15, 3,  0, 11, 1, 2, 12,
     5,  10, 14, 7,  1, 10, 13, 0,  6,  9,  8,  7, 4,  15, 14, 3,  11, 5, 2,  12},
    {7, 13, 14, 3, 0, 6,  9, 10, 1,  2, 8,  5, 11, 12, 4,  15, 13, 8,  11, 5, 6, 15,
     0, 3,  4,  7, 2, 12, 1, 10, 14, 9, 10, 6, 9,  0,  12, 11, 7,  13, 15, 1, 3, 14,
     5, 2,  8,  4, 3, 15, 0, 6,  10, 1, 13, 8, 9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4, 1,  7,  10, 11, 6, 8, 5,  3, 15, 13, 0,  14, 9,  14, 11, 2,  12, 4,  7,
     13, 1,  5, 0,  15, 10, 3,  9, 8, 6,  4, 2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,
     6,  3,  0, 14, 11, 8,  12, 7, 1, 14, 2, 13, 6,  15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9,  2,  6, 8,  0, 13, 3,  4,  14, 7,  5, 11, 10, 15, 4, 2, 7, 12,
     9,  5,  6,  1,  13, 14, 0, 11, 3, 8,  9,  14, 15, 5,  2, 8,  12, 3,  7, 0, 4, 10,
     1,  13, 11, 6,  4,  3,  2, 12, 9, 5,  15, 10, 11, 14, 1, 7,  6,  0,  8, 13},
    {4, 11, 2,  14, 15, 0,  8,  13, 3, 12, 9,  7, 5,  10, 6,  1,  13, 0,  11, 7,  4, 9,
     1, 10, 14, 3,  5,  12, 2,  15, 8, 6,  1,  4, 11, 13, 12, 3,  7,  14, 10, 15, 6, 8,
     0, 5,  9,  2,  6,  11, 13, 8,  1, 4,  10, 7, 9,  5,  0,  15, 14, 2,  3,  12},
    {13, 2, 8,  4, 6, 15, 11, 1,  10, 9,  3, 14, 5,  0,  12, 7,  1,  15, 13, 8, 10, 3,
     7,  4, 12, 5, 6, 11, 0,  14, 9,  2,  7, 11, 4,  1,  9,  12, 14, 2,  0,  6, 10, 13,
     15, 3, 5,  8, 2, 1,  14, 7,  4,  10, 8, 13, 15, 12, 9,  0,  3,  5,  6,  11}};

// Each row of each S-box is a permutation of 0..15; a typing slip in the table breaks that.
constexpr bool SBoxRowsArePermutations() {
  for (const auto& box : kSBoxes) {
    for (int row = 0; row < 4; ++row) {
      unsigned seen = 0;
      for (int col = 0; col < 16; ++col) seen |= 1u << box[row * 16 + col];
      if (seen != 0xFFFFu) return false;
    }
  }
  return true;
}
static_assert(SBoxRowsArePermutations());

template <size_t N>
constexpr bool IsPermutationOf1To(const uint8_t (&table)[N]) {
  uint64_t seen = 0;
  for (uint8_t v : table) {
    if (v < 1 || v > N) return false;
    seen |= uint64_t{1} << (v - 1);
  }
  return seen == (N == 64 ? ~uint64_t{0} : (uint64_t{1} << N) - 1);
}
static_assert(IsPermutationOf1To(kInitialPermutation));
static_assert(IsPermutationOf1To(kPermutationP));

using SpTable = std::array<std::array<uint32_t, 64>, 8>;

constexpr SpTable MakeSpTable() {
  SpTable sp{};
  for (int box = 0; box < 8; ++box) {
    for (int input = 0; input < 64; ++input) {
      const int row = ((input >> 4) & 2) | (input & 1);
      const int col = (input >> 1) & 15;
      // The S-box output occupies positions 4*box+1 .. 4*box+4 before P.
      const uint32_t before_p = uint32_t{kSBoxes[box][row * 16 + col]} << (28 - 4 * box);
      uint32_t after_p = 0;
      for (int j = 0; j < 32; ++j) {
        const uint32_t bit = (before_p >> (32 - kPermutationP[j])) & 1u;
        after_p |= bit << (31 - j);
      }
      sp[box][input] = after_p;
    }
  }
  return sp;
}

constexpr SpTable kSp = MakeSpTable();

// A 64-bit permutation as sixteen tables, one per input nibble (nibble 0 is the most
// significant): the output is the OR of the sixteen table entries.
using NibbleTables = std::array<std::array<uint64_t, 16>, 16>;

// |source_of[j]| is the input position (1-based) that output position j+1 takes.
constexpr NibbleTables MakeNibbleTables(const uint8_t (&source_of)[64]) {
  NibbleTables tables{};
  for (int j = 0; j < 64; ++j) {
    const int input_index = source_of[j] - 1;  // 0 = most significant
    const int nibble = input_index / 4;
    const int bit_in_nibble = 3 - input_index % 4;
    for (int value = 0; value < 16; ++value) {
      if ((value >> bit_in_nibble) & 1) tables[nibble][value] |= uint64_t{1} << (63 - j);
    }
  }
  return tables;
}

struct FinalPermutation {
  uint8_t source_of[64] = {};
  constexpr FinalPermutation() {
    // The final permutation is the inverse of the initial one.
    for (int j = 0; j < 64; ++j)
      source_of[kInitialPermutation[j] - 1] = static_cast<uint8_t>(j + 1);
  }
};

constexpr NibbleTables kIpTables = MakeNibbleTables(kInitialPermutation);
constexpr NibbleTables kFpTables = MakeNibbleTables(FinalPermutation().source_of);

inline uint64_t Permute(const NibbleTables& tables, uint64_t x) {
  uint64_t out = 0;
  for (int nibble = 0; nibble < 16; ++nibble) {
    out |= tables[nibble][(x >> (60 - 4 * nibble)) & 15];
  }
  return out;
}

inline uint32_t Rotl32(uint32_t x, int n) {
  return (x << n) | (x >> ((32 - n) & 31));
}

// The cipher function f(R, K): expansion (each 6-bit group is four bits of R plus one neighbour
// on each side, taken by rotation), key mixing, S-boxes and P through the combined tables.
inline uint32_t RoundFunction(uint32_t r, const uint8_t* key) {
  uint32_t f = 0;
  for (int box = 0; box < 8; ++box) {
    const uint32_t group = Rotl32(r, (4 * box + 5) & 31) & 0x3F;
    f |= kSp[box][group ^ key[box]];
  }
  return f;
}

}  // namespace

void DesKeySchedule::Set(const uint8_t* key) {
  const uint64_t k = LoadDesBlock(key);
  uint64_t cd = 0;  // 56 bits: C in the upper 28, D in the lower 28
  for (int j = 0; j < 56; ++j) cd |= ((k >> (64 - kPermutedChoice1[j])) & 1) << (55 - j);
  uint32_t c = static_cast<uint32_t>(cd >> 28) & 0x0FFFFFFFu;
  uint32_t d = static_cast<uint32_t>(cd) & 0x0FFFFFFFu;
  for (int round = 0; round < 16; ++round) {
    const int n = kRotations[round];
    c = ((c << n) | (c >> (28 - n))) & 0x0FFFFFFFu;
    d = ((d << n) | (d >> (28 - n))) & 0x0FFFFFFFu;
    const uint64_t joined = (uint64_t{c} << 28) | d;
    for (int group = 0; group < 8; ++group) {
      uint8_t bits = 0;
      for (int i = 0; i < 6; ++i) {
        const int position = kPermutedChoice2[group * 6 + i];  // 1..56 within C||D
        bits = static_cast<uint8_t>((bits << 1) | ((joined >> (56 - position)) & 1));
      }
      round_keys_[round][group] = bits;
    }
  }
}

void DesKeySchedule::Clear() {
  SecureWipe(round_keys_, sizeof(round_keys_));
}

uint64_t DesKeySchedule::Crypt(uint64_t block, bool decrypt) const {
  const uint64_t permuted = Permute(kIpTables, block);
  uint32_t left = static_cast<uint32_t>(permuted >> 32);
  uint32_t right = static_cast<uint32_t>(permuted);
  for (int round = 0; round < 16; ++round) {
    const uint8_t* key = round_keys_[decrypt ? 15 - round : round];
    const uint32_t next = left ^ RoundFunction(right, key);
    left = right;
    right = next;
  }
  // The halves are swapped once more after the last round.
  return Permute(kFpTables, (uint64_t{right} << 32) | left);
}

DesCipher::DesCipher() = default;

DesCipher::~DesCipher() = default;  // key_ wipes itself on release

void DesCipher::SetAlgorithm(uint32_t alg_id) {
  algorithm_ = (alg_id == kCalg3Des || alg_id == kCalg3Des112) ? alg_id : kCalgDes;
}

void DesCipher::SetKey(const void* bytes, int32_t n) {
  key_.Reset();
  if (bytes != nullptr && n > 0) key_.Append(bytes, n);
}

bool DesCipher::EncryptAll(const void* bytes, int32_t n) {
  Reset();
  if (bytes == nullptr || n <= 0) return false;
  const int32_t key_bytes = algorithm_ == kCalg3Des ? 24 : algorithm_ == kCalg3Des112 ? 16 : 8;
  if (key_.length() < key_bytes) return false;
  const int64_t whole_blocks = n / 8;
  const int64_t output_length = 8 * (whole_blocks + 1);
  if (output_length > kMaxLength || !Allocate(static_cast<int32_t>(output_length))) return false;

  const uint8_t* key = key_.data();
  DesKeySchedule k1(key);
  DesKeySchedule k2;
  DesKeySchedule k3;
  const bool triple = algorithm_ != kCalgDes;
  if (triple) {
    k2.Set(key + 8);
    k3.Set(algorithm_ == kCalg3Des ? key + 16 : key);
  }
  auto encrypt = [&](uint64_t block) {
    return triple ? TripleDesEncrypt(k1, k2, k3, block) : k1.Encrypt(block);
  };

  const auto* in = static_cast<const uint8_t*>(bytes);
  uint8_t* out = data();
  uint64_t chain = 0;  // the IV: eight zero bytes
  for (int64_t i = 0; i < whole_blocks; ++i) {
    chain = encrypt(LoadDesBlock(in) ^ chain);
    StoreDesBlock(chain, out);
    in += 8;
    out += 8;
  }
  // PKCS #5: the r leftover bytes, then 8 - r bytes of value 8 - r (a whole block of 8s when r
  // is 0).
  const int remainder = static_cast<int>(n % 8);
  uint8_t last[8];
  std::memset(last, 8 - remainder, sizeof(last));
  if (remainder != 0) std::memcpy(last, in, static_cast<size_t>(remainder));
  chain = encrypt(LoadDesBlock(last) ^ chain);
  StoreDesBlock(chain, out);
  SecureWipe(last, sizeof(last));
  return true;
}

}  // namespace kelvadrome
