// SHA-512: a portable block function and one that computes the message schedule with AVX2.
#include <cstring>

#include "codec/digest.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define KELVADROME_SHA512_X86 1
#endif

namespace kelvadrome {
namespace {

constexpr uint64_t kSha512Initial[8] = {
    0x6a09e667f3bcc908ull, 0xbb67ae8584caa73bull, 0x3c6ef372fe94f82bull, 0xa54ff53a5f1d36f1ull,
    0x510e527fade682d1ull, 0x9b05688c2b3e6c1full, 0x1f83d9abfb41bd6bull, 0x5be0cd19137e2179ull};

alignas(64) constexpr uint64_t kK[80] = {
    0x428a2f98d728ae22ull, 0x7137449123ef65cdull, 0xb5c0fbcfec4d3b2full, 0xe9b5dba58189dbbcull,
    0x3956c25bf348b538ull, 0x59f111f1b605d019ull, 0x923f82a4af194f9bull, 0xab1c5ed5da6d8118ull,
    0xd807aa98a3030242ull, 0x12835b0145706fbeull, 0x243185be4ee4b28cull, 0x550c7dc3d5ffb4e2ull,
    0x72be5d74f27b896full, 0x80deb1fe3b1696b1ull, 0x9bdc06a725c71235ull, 0xc19bf174cf692694ull,
    0xe49b69c19ef14ad2ull, 0xefbe4786384f25e3ull, 0x0fc19dc68b8cd5b5ull, 0x240ca1cc77ac9c65ull,
    0x2de92c6f592b0275ull, 0x4a7484aa6ea6e483ull, 0x5cb0a9dcbd41fbd4ull, 0x76f988da831153b5ull,
    0x983e5152ee66dfabull, 0xa831c66d2db43210ull, 0xb00327c898fb213full, 0xbf597fc7beef0ee4ull,
    0xc6e00bf33da88fc2ull, 0xd5a79147930aa725ull, 0x06ca6351e003826full, 0x142929670a0e6e70ull,
    0x27b70a8546d22ffcull, 0x2e1b21385c26c926ull, 0x4d2c6dfc5ac42aedull, 0x53380d139d95b3dfull,
    0x650a73548baf63deull, 0x766a0abb3c77b2a8ull, 0x81c2c92e47edaee6ull, 0x92722c851482353bull,
    0xa2bfe8a14cf10364ull, 0xa81a664bbc423001ull, 0xc24b8b70d0f89791ull, 0xc76c51a30654be30ull,
    0xd192e819d6ef5218ull, 0xd69906245565a910ull, 0xf40e35855771202aull, 0x106aa07032bbd1b8ull,
    0x19a4c116b8d2d0c8ull, 0x1e376c085141ab53ull, 0x2748774cdf8eeb99ull, 0x34b0bcb5e19b48a8ull,
    0x391c0cb3c5c95a63ull, 0x4ed8aa4ae3418acbull, 0x5b9cca4f7763e373ull, 0x682e6ff3d6b2b8a3ull,
    0x748f82ee5defb2fcull, 0x78a5636f43172f60ull, 0x84c87814a1f0ab72ull, 0x8cc702081a6439ecull,
    0x90befffa23631e28ull, 0xa4506cebde82bde9ull, 0xbef9a3f7b2c67915ull, 0xc67178f2e372532bull,
    0xca273eceea26619cull, 0xd186b8c721c0c207ull, 0xeada7dd6cde0eb1eull, 0xf57d4f7fee6ed178ull,
    0x06f067aa72176fbaull, 0x0a637dc5a2c898a6ull, 0x113f9804bef90daeull, 0x1b710b35131c471bull,
    0x28db77f523047d84ull, 0x32caab7b40c72493ull, 0x3c9ebe0a15c9bebcull, 0x431d67c49c100d4cull,
    0x4cc5d4becb3e42b6ull, 0x597f299cfc657e2aull, 0x5fcb6fab3ad6faecull, 0x6c44198c4a475817ull};

inline uint64_t Rotr(uint64_t x, int n) {
  return (x >> n) | (x << (64 - n));
}

inline uint64_t LoadBe64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  return v;
}

// One round with the working variables renamed instead of moved, Maj sharing a ^ b with the next
// round (see SHA-256).
#define SHA512_ROUND(a, b, c, d, e, f, g, h, kw)                                                \
  {                                                                                             \
    const uint64_t t1 =                                                                         \
        ((h) + (kw)) + (Rotr(e, 14) ^ Rotr(e, 18) ^ Rotr(e, 41)) + ((g) ^ ((e) & ((f) ^ (g)))); \
    const uint64_t ab = (a) ^ (b);                                                              \
    const uint64_t t2 = (Rotr(a, 28) ^ Rotr(a, 34) ^ Rotr(a, 39)) + ((b) ^ (ab & bc));          \
    bc = ab;                                                                                    \
    d += t1;                                                                                    \
    h = t1 + t2;                                                                                \
  }

#define SHA512_SIGMA0(x) (Rotr(x, 1) ^ Rotr(x, 8) ^ ((x) >> 7))
#define SHA512_SIGMA1(x) (Rotr(x, 19) ^ Rotr(x, 61) ^ ((x) >> 6))

#define SHA512_W(t) \
  (w[(t)&15] +=     \
   SHA512_SIGMA1(w[((t) + 14) & 15]) + w[((t) + 9) & 15] + SHA512_SIGMA0(w[((t) + 1) & 15]))

#define SHA512_EIGHT(t, W)                                       \
  SHA512_ROUND(a, b, c, d, e, f, g, h, kK[(t)] + W((t)))         \
  SHA512_ROUND(h, a, b, c, d, e, f, g, kK[(t) + 1] + W((t) + 1)) \
  SHA512_ROUND(g, h, a, b, c, d, e, f, kK[(t) + 2] + W((t) + 2)) \
  SHA512_ROUND(f, g, h, a, b, c, d, e, kK[(t) + 3] + W((t) + 3)) \
  SHA512_ROUND(e, f, g, h, a, b, c, d, kK[(t) + 4] + W((t) + 4)) \
  SHA512_ROUND(d, e, f, g, h, a, b, c, kK[(t) + 5] + W((t) + 5)) \
  SHA512_ROUND(c, d, e, f, g, h, a, b, kK[(t) + 6] + W((t) + 6)) \
  SHA512_ROUND(b, c, d, e, f, g, h, a, kK[(t) + 7] + W((t) + 7))

#define SHA512_LOADED(t) w[t]

void Sha512BlocksPortable(uint64_t* state, const uint8_t* p, size_t count) {
  for (; count != 0; --count, p += 128) {
    uint64_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = LoadBe64(p + 8 * i);
    uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint64_t e = state[4], f = state[5], g = state[6], h = state[7];
    uint64_t bc = b ^ c;
    SHA512_EIGHT(0, SHA512_LOADED)
    SHA512_EIGHT(8, SHA512_LOADED)
    for (int t = 16; t < 80; t += 16) {
      SHA512_EIGHT(t, SHA512_W)
      SHA512_EIGHT(t + 8, SHA512_W)
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
}

#if KELVADROME_SHA512_X86

// The AVX2 variant works on two blocks at a time. The vector unit computes the message schedule
// (plus the round constants) of both blocks at once, one ymm register holding two consecutive
// words of each block; the integer unit runs the rounds, reading W+K from memory. The schedule
// of both blocks is computed while the rounds of the first block run, so the two kinds of work
// overlap. For SHA-512, W[t] and W[t+1] depend only on words up to W[t-1], never on each other,
// so a pair of words is one independent vector step.

#define SHA512_AVX2 __attribute__((target("avx2,bmi,bmi2")))

// sigma0(x) = rotr(x,1) ^ rotr(x,8) ^ (x >> 7); the rotation by 8 is a byte shuffle.
#define SHA512V_SIGMA0(x)                                                               \
  _mm256_xor_si256(_mm256_xor_si256(_mm256_srli_epi64(x, 1), _mm256_slli_epi64(x, 63)), \
                   _mm256_xor_si256(_mm256_shuffle_epi8(x, rotate8), _mm256_srli_epi64(x, 7)))
// sigma1(x) = rotr(x,19) ^ rotr(x,61) ^ (x >> 6).
#define SHA512V_SIGMA1(x)                                                                    \
  _mm256_xor_si256(                                                                          \
      _mm256_xor_si256(_mm256_xor_si256(_mm256_srli_epi64(x, 19), _mm256_slli_epi64(x, 45)), \
                       _mm256_xor_si256(_mm256_srli_epi64(x, 61), _mm256_slli_epi64(x, 3))), \
      _mm256_srli_epi64(x, 6))

// Schedule step: x[k] holds words 2j-16, 2j-15 of each block and becomes words 2j, 2j+1; the
// ring index k is j mod 8, a constant so that the ring stays in registers.
#define SHA512V_STEP(k, j)                                                        \
  {                                                                               \
    const __m256i s0 = _mm256_alignr_epi8(x[((k) + 1) & 7], x[k], 8);             \
    const __m256i w7 = _mm256_alignr_epi8(x[((k) + 5) & 7], x[((k) + 4) & 7], 8); \
    const __m256i s1 = x[((k) + 7) & 7];                                          \
    x[k] = _mm256_add_epi64(_mm256_add_epi64(x[k], SHA512V_SIGMA0(s0)),           \
                            _mm256_add_epi64(w7, SHA512V_SIGMA1(s1)));            \
    SHA512V_STORE(k, j)                                                           \
  }

// Adds the constants for words 2j, 2j+1 and stores the first block's pair in wk_first, the
// second block's in wk_second.
#define SHA512V_STORE(k, j)                                                                      \
  {                                                                                              \
    const __m256i wk = _mm256_add_epi64(                                                         \
        x[k], _mm256_broadcastsi128_si256(                                                       \
                  _mm_load_si128(reinterpret_cast<const __m128i*>(kK + 2 * (j)))));              \
    _mm_store_si128(reinterpret_cast<__m128i*>(wk_first + 2 * (j)), _mm256_castsi256_si128(wk)); \
    _mm_store_si128(reinterpret_cast<__m128i*>(wk_second + 2 * (j)),                             \
                    _mm256_extracti128_si256(wk, 1));                                            \
  }

// A round as in the portable code, with W+K read from memory, Maj computed as
// b ^ ((a ^ b) & (b ^ c)) where b ^ c is the previous round's a ^ b (carried in bc), and h + W+K
// summed apart from the chain through e.
#define SHA512R_ROUND(a, b, c, d, e, f, g, h, wk_t)                                              \
  {                                                                                              \
    const uint64_t t1 =                                                                          \
        ((h) + (wk_t)) + ((e) & (f)) + (~(e) & (g)) + (Rotr(e, 14) ^ Rotr(e, 18) ^ Rotr(e, 41)); \
    const uint64_t ab = (a) ^ (b);                                                               \
    const uint64_t t2 = (Rotr(a, 28) ^ Rotr(a, 34) ^ Rotr(a, 39)) + ((b) ^ (ab & bc));           \
    bc = ab;                                                                                     \
    d += t1;                                                                                     \
    h = t1 + t2;                                                                                 \
  }

#define SHA512R_EIGHT(wk, t)                           \
  SHA512R_ROUND(a, b, c, d, e, f, g, h, (wk)[(t)])     \
  SHA512R_ROUND(h, a, b, c, d, e, f, g, (wk)[(t) + 1]) \
  SHA512R_ROUND(g, h, a, b, c, d, e, f, (wk)[(t) + 2]) \
  SHA512R_ROUND(f, g, h, a, b, c, d, e, (wk)[(t) + 3]) \
  SHA512R_ROUND(e, f, g, h, a, b, c, d, (wk)[(t) + 4]) \
  SHA512R_ROUND(d, e, f, g, h, a, b, c, (wk)[(t) + 5]) \
  SHA512R_ROUND(c, d, e, f, g, h, a, b, (wk)[(t) + 6]) \
  SHA512R_ROUND(b, c, d, e, f, g, h, a, (wk)[(t) + 7])

// Eight rounds of the first block interleaved with four schedule steps (two rounds per step).
#define SHA512R_EIGHT_WITH_STEPS(t, k0, j0)                \
  SHA512R_ROUND(a, b, c, d, e, f, g, h, wk_first[(t)])     \
  SHA512R_ROUND(h, a, b, c, d, e, f, g, wk_first[(t) + 1]) \
  SHA512V_STEP(k0, (j0))                                   \
  SHA512R_ROUND(g, h, a, b, c, d, e, f, wk_first[(t) + 2]) \
  SHA512R_ROUND(f, g, h, a, b, c, d, e, wk_first[(t) + 3]) \
  SHA512V_STEP((k0) + 1, (j0) + 1)                         \
  SHA512R_ROUND(e, f, g, h, a, b, c, d, wk_first[(t) + 4]) \
  SHA512R_ROUND(d, e, f, g, h, a, b, c, wk_first[(t) + 5]) \
  SHA512V_STEP((k0) + 2, (j0) + 2)                         \
  SHA512R_ROUND(c, d, e, f, g, h, a, b, wk_first[(t) + 6]) \
  SHA512R_ROUND(b, c, d, e, f, g, h, a, wk_first[(t) + 7]) \
  SHA512V_STEP((k0) + 3, (j0) + 3)

SHA512_AVX2 void Sha512RoundsFromSchedule(uint64_t* state, const uint64_t* wk) {
  uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint64_t e = state[4], f = state[5], g = state[6], h = state[7];
  uint64_t bc = b ^ c;
  for (int t = 0; t < 80; t += 16) {
    SHA512R_EIGHT(wk, t)
    SHA512R_EIGHT(wk, t + 8)
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

SHA512_AVX2 void Sha512BlocksAvx2(uint64_t* state, const uint8_t* p, size_t count) {
  // Reverses the bytes of each 64-bit word (the message is big-endian).
  const __m256i byteswap = _mm256_set_epi64x(0x08090a0b0c0d0e0fLL, 0x0001020304050607LL,
                                             0x08090a0b0c0d0e0fLL, 0x0001020304050607LL);
  // Rotates each 64-bit word right by one byte.
  const __m256i rotate8 = _mm256_set_epi64x(0x080f0e0d0c0b0a09LL, 0x0007060504030201LL,
                                            0x080f0e0d0c0b0a09LL, 0x0007060504030201LL);
  alignas(32) uint64_t wk_first[80];
  alignas(32) uint64_t wk_second[80];

  while (count != 0) {
    // With one block left, the second lane repeats it and its schedule is not used.
    const uint8_t* second = count >= 2 ? p + 128 : p;
    __m256i x[8];
    for (int i = 0; i < 8; ++i) {
      const __m256i both = _mm256_inserti128_si256(
          _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i))),
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(second + 16 * i)), 1);
      x[i] = _mm256_shuffle_epi8(both, byteswap);
    }
    SHA512V_STORE(0, 0)
    SHA512V_STORE(1, 1)
    SHA512V_STORE(2, 2)
    SHA512V_STORE(3, 3)
    SHA512V_STORE(4, 4)
    SHA512V_STORE(5, 5)
    SHA512V_STORE(6, 6)
    SHA512V_STORE(7, 7)

    {
      uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
      uint64_t e = state[4], f = state[5], g = state[6], h = state[7];
      uint64_t bc = b ^ c;
      for (int t = 0; t < 64; t += 16) {
        const int j = t / 2 + 8;  // schedule pairs 8 ahead of the rounds
        SHA512R_EIGHT_WITH_STEPS(t, 0, j)
        SHA512R_EIGHT_WITH_STEPS(t + 8, 4, j + 4)
      }
      SHA512R_EIGHT(wk_first, 64)
      SHA512R_EIGHT(wk_first, 72)
      state[0] += a;
      state[1] += b;
      state[2] += c;
      state[3] += d;
      state[4] += e;
      state[5] += f;
      state[6] += g;
      state[7] += h;
    }
    if (count >= 2) {
      Sha512RoundsFromSchedule(state, wk_second);
      p += 256;
      count -= 2;
    } else {
      p += 128;
      count -= 1;
    }
  }
  SecureWipe(wk_first, sizeof(wk_first));
  SecureWipe(wk_second, sizeof(wk_second));
}

#undef SHA512V_SIGMA0
#undef SHA512V_SIGMA1
#undef SHA512V_STEP
#undef SHA512V_STORE
#undef SHA512R_ROUND
#undef SHA512R_EIGHT
#undef SHA512R_EIGHT_WITH_STEPS

#endif  // KELVADROME_SHA512_X86

}  // namespace

void Sha512Digest::Begin() {
  digest_internal::BlockFunction<uint64_t> function = &Sha512BlocksPortable;
#if KELVADROME_SHA512_X86
  if (GetDigestEngine() == DigestEngine::kAuto &&
      DigestAccelerationAvailable(DigestAlgorithm::kSha512)) {
    function = &Sha512BlocksAvx2;
  }
#endif
  stream_.Begin(kSha512Initial, function);
}

void Sha512Digest::Finish() {
  stream_.Finish();
  uint8_t out[64];
  for (int i = 0; i < 8; ++i) {
    const uint64_t w = stream_.state()[i];
    for (int j = 0; j < 8; ++j) out[8 * i + j] = static_cast<uint8_t>(w >> (56 - 8 * j));
  }
  Reset();
  Append(out, sizeof(out));
  Begin();
}

}  // namespace kelvadrome
