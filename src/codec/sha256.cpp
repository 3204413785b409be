// SHA-256: a portable block function and one using the CPU's SHA extensions.
#include <cstring>

#include "codec/digest.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KELVADROME_SHA256_X86 1
#endif

namespace kelvadrome {
namespace {

constexpr uint32_t kSha256Initial[8] = {0x6a09e667u, 0xbb67ae85u, 0x3c6ef372u, 0xa54ff53au,
                                        0x510e527fu, 0x9b05688cu, 0x1f83d9abu, 0x5be0cd19u};

alignas(64) constexpr uint32_t kK[64] = {
    0x428a2f98u, 0x71374491u, 0xb5c0fbcfu, 0xe9b5dba5u, 0x3956c25bu, 0x59f111f1u, 0x923f82a4u,
    0xab1c5ed5u, 0xd807aa98u, 0x12835b01u, 0x243185beu, 0x550c7dc3u, 0x72be5d74u, 0x80deb1feu,
    0x9bdc06a7u, 0xc19bf174u, 0xe49b69c1u, 0xefbe4786u, 0x0fc19dc6u, 0x240ca1ccu, 0x2de92c6fu,
    0x4a7484aau, 0x5cb0a9dcu, 0x76f988dau, 0x983e5152u, 0xa831c66du, 0xb00327c8u, 0xbf597fc7u,
    0xc6e00bf3u, 0xd5a79147u, 0x06ca6351u, 0x14292967u, 0x27b70a85u, 0x2e1b2138u, 0x4d2c6dfcu,
    0x53380d13u, 0x650a7354u, 0x766a0abbu, 0x81c2c92eu, 0x92722c85u, 0xa2bfe8a1u, 0xa81a664bu,
    0xc24b8b70u, 0xc76c51a3u, 0xd192e819u, 0xd6990624u, 0xf40e3585u, 0x106aa070u, 0x19a4c116u,
    0x1e376c08u, 0x2748774cu, 0x34b0bcb5u, 0x391c0cb3u, 0x4ed8aa4au, 0x5b9cca4fu, 0x682e6ff3u,
    0x748f82eeu, 0x78a5636fu, 0x84c87814u, 0x8cc70208u, 0x90befffau, 0xa4506cebu, 0xbef9a3f7u,
    0xc67178f2u};

inline uint32_t Rotr(uint32_t x, int n) {
  return (x >> n) | (x << (32 - n));
}

inline uint32_t LoadBe32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  v = __builtin_bswap32(v);
#endif
  return v;
}

// One round with the eight working variables renamed instead of moved: the new a goes where h
// was, and d receives e's new value, so the caller rotates the argument order each round.
// Maj(a,b,c) is computed as b ^ ((a ^ b) & (b ^ c)), where b ^ c is the previous round's a ^ b,
// carried in bc; h + K + W does not wait for e.
#define SHA256_ROUND(a, b, c, d, e, f, g, h, kw)                                               \
  {                                                                                            \
    const uint32_t t1 =                                                                        \
        ((h) + (kw)) + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((g) ^ ((e) & ((f) ^ (g)))); \
    const uint32_t ab = (a) ^ (b);                                                             \
    const uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((b) ^ (ab & bc));          \
    bc = ab;                                                                                   \
    d += t1;                                                                                   \
    h = t1 + t2;                                                                               \
  }

#define SHA256_SIGMA0(x) (Rotr(x, 7) ^ Rotr(x, 18) ^ ((x) >> 3))
#define SHA256_SIGMA1(x) (Rotr(x, 17) ^ Rotr(x, 19) ^ ((x) >> 10))

// W[t] for t >= 16 in a ring of sixteen words.
#define SHA256_W(t) \
  (w[(t)&15] +=     \
   SHA256_SIGMA1(w[((t) + 14) & 15]) + w[((t) + 9) & 15] + SHA256_SIGMA0(w[((t) + 1) & 15]))

#define SHA256_EIGHT(t, W)                                       \
  SHA256_ROUND(a, b, c, d, e, f, g, h, kK[(t)] + W((t)))         \
  SHA256_ROUND(h, a, b, c, d, e, f, g, kK[(t) + 1] + W((t) + 1)) \
  SHA256_ROUND(g, h, a, b, c, d, e, f, kK[(t) + 2] + W((t) + 2)) \
  SHA256_ROUND(f, g, h, a, b, c, d, e, kK[(t) + 3] + W((t) + 3)) \
  SHA256_ROUND(e, f, g, h, a, b, c, d, kK[(t) + 4] + W((t) + 4)) \
  SHA256_ROUND(d, e, f, g, h, a, b, c, kK[(t) + 5] + W((t) + 5)) \
  SHA256_ROUND(c, d, e, f, g, h, a, b, kK[(t) + 6] + W((t) + 6)) \
  SHA256_ROUND(b, c, d, e, f, g, h, a, kK[(t) + 7] + W((t) + 7))

#define SHA256_LOADED(t) w[t]

void Sha256BlocksPortable(uint32_t* state, const uint8_t* p, size_t count) {
  for (; count != 0; --count, p += 64) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = LoadBe32(p + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    uint32_t bc = b ^ c;
    SHA256_EIGHT(0, SHA256_LOADED)
    SHA256_EIGHT(8, SHA256_LOADED)
    SHA256_EIGHT(16, SHA256_W)
    SHA256_EIGHT(24, SHA256_W)
    SHA256_EIGHT(32, SHA256_W)
    SHA256_EIGHT(40, SHA256_W)
    SHA256_EIGHT(48, SHA256_W)
    SHA256_EIGHT(56, SHA256_W)
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

#undef SHA256_ROUND
#undef SHA256_SIGMA0
#undef SHA256_SIGMA1
#undef SHA256_W
#undef SHA256_EIGHT
#undef SHA256_LOADED

#if KELVADROME_SHA256_X86

// sha256rnds2 runs two rounds on the state split as ABEF and CDGH, taking W+K for the two rounds
// from the low half of its third operand. Sixteen groups of four rounds; the schedule lives in
// four quads q0..q3 holding the last sixteen words.
#define SHA256NI_FOUR(q, t)                                                                    \
  {                                                                                            \
    __m128i wk = _mm_add_epi32(q, _mm_load_si128(reinterpret_cast<const __m128i*>(kK + (t)))); \
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);                                              \
    wk = _mm_shuffle_epi32(wk, 0x0E);                                                          \
    abef = _mm_sha256rnds2_epu32(abef, cdgh, wk);                                              \
  }

// q_new (holding W[t-16..t-13]) becomes W[t..t+3]: sigma0 terms (sha256msg1), plus W[t-7..t-4],
// plus sigma1 terms (sha256msg2, which handles the dependencies inside the quad).
#define SHA256NI_QUAD_NEXT(q_new, q1, q2, q3) \
  q_new = _mm_sha256msg2_epu32(               \
      _mm_add_epi32(_mm_sha256msg1_epu32(q_new, q1), _mm_alignr_epi8(q3, q2, 4)), q3)

__attribute__((target("sha,sse4.1,ssse3"))) void Sha256BlocksShaNi(uint32_t* state,
                                                                   const uint8_t* p, size_t count) {
  const __m128i byteswap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  // state holds A..H in order; rearrange into ABEF and CDGH (most significant lane first).
  __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

  for (; count != 0; --count, p += 64) {
    const __m128i abef_saved = abef;
    const __m128i cdgh_saved = cdgh;
    __m128i q0 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), byteswap);
    __m128i q1 =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)), byteswap);
    __m128i q2 =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)), byteswap);
    __m128i q3 =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)), byteswap);

    SHA256NI_FOUR(q0, 0)
    SHA256NI_FOUR(q1, 4)
    SHA256NI_FOUR(q2, 8)
    SHA256NI_FOUR(q3, 12)
    SHA256NI_QUAD_NEXT(q0, q1, q2, q3);
    SHA256NI_FOUR(q0, 16)
    SHA256NI_QUAD_NEXT(q1, q2, q3, q0);
    SHA256NI_FOUR(q1, 20)
    SHA256NI_QUAD_NEXT(q2, q3, q0, q1);
    SHA256NI_FOUR(q2, 24)
    SHA256NI_QUAD_NEXT(q3, q0, q1, q2);
    SHA256NI_FOUR(q3, 28)
    SHA256NI_QUAD_NEXT(q0, q1, q2, q3);
    SHA256NI_FOUR(q0, 32)
    SHA256NI_QUAD_NEXT(q1, q2, q3, q0);
    SHA256NI_FOUR(q1, 36)
    SHA256NI_QUAD_NEXT(q2, q3, q0, q1);
    SHA256NI_FOUR(q2, 40)
    SHA256NI_QUAD_NEXT(q3, q0, q1, q2);
    SHA256NI_FOUR(q3, 44)
    SHA256NI_QUAD_NEXT(q0, q1, q2, q3);
    SHA256NI_FOUR(q0, 48)
    SHA256NI_QUAD_NEXT(q1, q2, q3, q0);
    SHA256NI_FOUR(q1, 52)
    SHA256NI_QUAD_NEXT(q2, q3, q0, q1);
    SHA256NI_FOUR(q2, 56)
    SHA256NI_QUAD_NEXT(q3, q0, q1, q2);
    SHA256NI_FOUR(q3, 60)

    abef = _mm_add_epi32(abef, abef_saved);
    cdgh = _mm_add_epi32(cdgh, cdgh_saved);
  }

  // Back to A..H order.
  __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  dcba = _mm_blend_epi16(feba, dchg, 0xF0);
  hgfe = _mm_alignr_epi8(dchg, feba, 8);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), dcba);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), hgfe);
}

#undef SHA256NI_FOUR
#undef SHA256NI_QUAD_NEXT

#endif  // KELVADROME_SHA256_X86

}  // namespace

void Sha256Digest::Begin() {
  digest_internal::BlockFunction<uint32_t> function = &Sha256BlocksPortable;
#if KELVADROME_SHA256_X86
  if (GetDigestEngine() == DigestEngine::kAuto &&
      DigestAccelerationAvailable(DigestAlgorithm::kSha256)) {
    function = &Sha256BlocksShaNi;
  }
#endif
  stream_.Begin(kSha256Initial, function);
}

void Sha256Digest::Finish() {
  stream_.Finish();
  uint8_t out[32];
  for (int i = 0; i < 8; ++i) {
    const uint32_t w = stream_.state()[i];
    for (int j = 0; j < 4; ++j) out[4 * i + j] = static_cast<uint8_t>(w >> (24 - 8 * j));
  }
  Reset();
  Append(out, sizeof(out));
  Begin();
}

}  // namespace kelvadrome
