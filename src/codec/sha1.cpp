// SHA-1: a portable block function and one using the CPU's SHA extensions.
#include <cstring>

#include "codec/digest.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KELVADROME_SHA1_X86 1
#endif

namespace kelvadrome {
namespace {

constexpr uint32_t kSha1Initial[5] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u,
                                      0xc3d2e1f0u};

inline uint32_t Rotl(uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}

inline uint32_t LoadBe32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  v = __builtin_bswap32(v);
#endif
  return v;
}

// One round: |e| receives the new value; the caller rotates the roles of a..e by renaming, so no
// values move between registers. |w| is the schedule word, already computed.
#define SHA1_ROUND(a, b, c, d, e, f, k, w) \
  e += Rotl(a, 5) + (f) + (k) + (w);       \
  b = Rotl(b, 30);

#define SHA1_CH(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define SHA1_PARITY(b, c, d) ((b) ^ (c) ^ (d))
#define SHA1_MAJ(b, c, d) (((b) & (c)) | ((d) & ((b) | (c))))

// The message schedule in a ring of 16 words: W[t] for t >= 16 overwrites W[t - 16].
#define SHA1_W(t) \
  (w[(t)&15] = Rotl(w[((t) + 13) & 15] ^ w[((t) + 8) & 15] ^ w[((t) + 2) & 15] ^ w[(t)&15], 1))

#define SHA1_FIVE(t, f, k, W)                          \
  SHA1_ROUND(a, b, c, d, e, f(b, c, d), k, W(t))       \
  SHA1_ROUND(e, a, b, c, d, f(a, b, c), k, W((t) + 1)) \
  SHA1_ROUND(d, e, a, b, c, f(e, a, b), k, W((t) + 2)) \
  SHA1_ROUND(c, d, e, a, b, f(d, e, a), k, W((t) + 3)) \
  SHA1_ROUND(b, c, d, e, a, f(c, d, e), k, W((t) + 4))

#define SHA1_LOADED(t) w[t]

void Sha1BlocksPortable(uint32_t* state, const uint8_t* p, size_t count) {
  uint32_t h0 = state[0], h1 = state[1], h2 = state[2], h3 = state[3], h4 = state[4];
  for (; count != 0; --count, p += 64) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = LoadBe32(p + 4 * i);
    uint32_t a = h0, b = h1, c = h2, d = h3, e = h4;
    SHA1_FIVE(0, SHA1_CH, 0x5a827999u, SHA1_LOADED)
    SHA1_FIVE(5, SHA1_CH, 0x5a827999u, SHA1_LOADED)
    SHA1_FIVE(10, SHA1_CH, 0x5a827999u, SHA1_LOADED)
    SHA1_ROUND(a, b, c, d, e, SHA1_CH(b, c, d), 0x5a827999u, w[15])
    SHA1_ROUND(e, a, b, c, d, SHA1_CH(a, b, c), 0x5a827999u, SHA1_W(16))
    SHA1_ROUND(d, e, a, b, c, SHA1_CH(e, a, b), 0x5a827999u, SHA1_W(17))
    SHA1_ROUND(c, d, e, a, b, SHA1_CH(d, e, a), 0x5a827999u, SHA1_W(18))
    SHA1_ROUND(b, c, d, e, a, SHA1_CH(c, d, e), 0x5a827999u, SHA1_W(19))
    SHA1_FIVE(20, SHA1_PARITY, 0x6ed9eba1u, SHA1_W)
    SHA1_FIVE(25, SHA1_PARITY, 0x6ed9eba1u, SHA1_W)
    SHA1_FIVE(30, SHA1_PARITY, 0x6ed9eba1u, SHA1_W)
    SHA1_FIVE(35, SHA1_PARITY, 0x6ed9eba1u, SHA1_W)
    SHA1_FIVE(40, SHA1_MAJ, 0x8f1bbcdcu, SHA1_W)
    SHA1_FIVE(45, SHA1_MAJ, 0x8f1bbcdcu, SHA1_W)
    SHA1_FIVE(50, SHA1_MAJ, 0x8f1bbcdcu, SHA1_W)
    SHA1_FIVE(55, SHA1_MAJ, 0x8f1bbcdcu, SHA1_W)
    SHA1_FIVE(60, SHA1_PARITY, 0xca62c1d6u, SHA1_W)
    SHA1_FIVE(65, SHA1_PARITY, 0xca62c1d6u, SHA1_W)
    SHA1_FIVE(70, SHA1_PARITY, 0xca62c1d6u, SHA1_W)
    SHA1_FIVE(75, SHA1_PARITY, 0xca62c1d6u, SHA1_W)
    h0 += a;
    h1 += b;
    h2 += c;
    h3 += d;
    h4 += e;
  }
  state[0] = h0;
  state[1] = h1;
  state[2] = h2;
  state[3] = h3;
  state[4] = h4;
}

#undef SHA1_ROUND
#undef SHA1_CH
#undef SHA1_PARITY
#undef SHA1_MAJ
#undef SHA1_W
#undef SHA1_FIVE
#undef SHA1_LOADED

#if KELVADROME_SHA1_X86

// Four rounds per instruction. The schedule is kept in quads of four words, q0..q3 covering the
// last sixteen words; the E value for the next four rounds comes from the A value four rounds back
// (sha1nexte). The round-function selector (0..3) must be an immediate, hence the macros.
#define SHA1NI_QUAD_NEXT(q_new, q1, q2, q3) \
  q_new = _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(q_new, q1), q2), q3)

#define SHA1NI_FOUR(func, q)       \
  e1 = _mm_sha1nexte_epu32(e0, q); \
  e0 = abcd;                       \
  abcd = _mm_sha1rnds4_epu32(abcd, e1, func);

__attribute__((target("sha,sse4.1,ssse3"))) void Sha1BlocksShaNi(uint32_t* state, const uint8_t* p,
                                                                 size_t count) {
  // Byte order: the message words are big-endian, and the instructions want word 0 in the top
  // lane, so the whole 16-byte quad is reversed.
  const __m128i reverse = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
  __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
  __m128i e_state = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);

  for (; count != 0; --count, p += 64) {
    const __m128i abcd_saved = abcd;
    const __m128i e_saved = e_state;
    __m128i q0 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), reverse);
    __m128i q1 =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)), reverse);
    __m128i q2 =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)), reverse);
    __m128i q3 =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)), reverse);
    __m128i e0, e1;

    // Rounds 0-3: E comes straight from the state.
    e1 = _mm_add_epi32(e_state, q0);
    e0 = abcd;
    abcd = _mm_sha1rnds4_epu32(abcd, e1, 0);
    // Rounds 4-15.
    SHA1NI_FOUR(0, q1)
    SHA1NI_FOUR(0, q2)
    SHA1NI_FOUR(0, q3)
    // Rounds 16-79: each quad is computed from the four before it.
    SHA1NI_QUAD_NEXT(q0, q1, q2, q3);
    SHA1NI_FOUR(0, q0)
    SHA1NI_QUAD_NEXT(q1, q2, q3, q0);
    SHA1NI_FOUR(1, q1)
    SHA1NI_QUAD_NEXT(q2, q3, q0, q1);
    SHA1NI_FOUR(1, q2)
    SHA1NI_QUAD_NEXT(q3, q0, q1, q2);
    SHA1NI_FOUR(1, q3)
    SHA1NI_QUAD_NEXT(q0, q1, q2, q3);
    SHA1NI_FOUR(1, q0)
    SHA1NI_QUAD_NEXT(q1, q2, q3, q0);
    SHA1NI_FOUR(1, q1)
    SHA1NI_QUAD_NEXT(q2, q3, q0, q1);
    SHA1NI_FOUR(2, q2)
    SHA1NI_QUAD_NEXT(q3, q0, q1, q2);
    SHA1NI_FOUR(2, q3)
    SHA1NI_QUAD_NEXT(q0, q1, q2, q3);
    SHA1NI_FOUR(2, q0)
    SHA1NI_QUAD_NEXT(q1, q2, q3, q0);
    SHA1NI_FOUR(2, q1)
    SHA1NI_QUAD_NEXT(q2, q3, q0, q1);
    SHA1NI_FOUR(2, q2)
    SHA1NI_QUAD_NEXT(q3, q0, q1, q2);
    SHA1NI_FOUR(3, q3)
    SHA1NI_QUAD_NEXT(q0, q1, q2, q3);
    SHA1NI_FOUR(3, q0)
    SHA1NI_QUAD_NEXT(q1, q2, q3, q0);
    SHA1NI_FOUR(3, q1)
    SHA1NI_QUAD_NEXT(q2, q3, q0, q1);
    SHA1NI_FOUR(3, q2)
    SHA1NI_QUAD_NEXT(q3, q0, q1, q2);
    SHA1NI_FOUR(3, q3)

    // E after round 79 is the rotated A from four rounds back; sha1nexte with the saved E adds it.
    e_state = _mm_sha1nexte_epu32(e0, e_saved);
    abcd = _mm_add_epi32(abcd, abcd_saved);
  }

  abcd = _mm_shuffle_epi32(abcd, 0x1B);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), abcd);
  state[4] = static_cast<uint32_t>(_mm_extract_epi32(e_state, 3));
}

#undef SHA1NI_QUAD_NEXT
#undef SHA1NI_FOUR

#endif  // KELVADROME_SHA1_X86

}  // namespace

void Sha1Digest::Begin() {
  digest_internal::BlockFunction<uint32_t> function = &Sha1BlocksPortable;
#if KELVADROME_SHA1_X86
  if (GetDigestEngine() == DigestEngine::kAuto &&
      DigestAccelerationAvailable(DigestAlgorithm::kSha1)) {
    function = &Sha1BlocksShaNi;
  }
#endif
  stream_.Begin(kSha1Initial, function);
}

void Sha1Digest::Finish() {
  stream_.Finish();
  uint8_t out[20];
  for (int i = 0; i < 5; ++i) {
    const uint32_t w = stream_.state()[i];
    for (int j = 0; j < 4; ++j) out[4 * i + j] = static_cast<uint8_t>(w >> (24 - 8 * j));
  }
  Reset();
  Append(out, sizeof(out));
  Begin();
}

}  // namespace kelvadrome
