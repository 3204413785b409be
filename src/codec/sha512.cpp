// SHA-512: a portable block function, and two that compute the message schedule with vector
// instructions (AVX2, or AVX-512 where the CPU has it) while the integer unit runs the rounds.
#include <cstring>
#include <vector>

#include "codec/cpu_features.h"
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

// The vector variants hash two blocks (a pair) at a time. The vector unit computes the message
// schedule of both blocks of a pair at once, one ymm register holding two consecutive words of
// each block, adds the round constants and stores W+K; the integer unit runs the rounds, reading
// W+K from memory. The schedule is software-pipelined: while the rounds of one pair run, the
// vector unit computes the schedule of the next pair, one step every four rounds over both
// blocks, so that its instructions fill issue slots the rounds leave free. (Computing the
// schedule of a pair during its own first block, two rounds per step, crowded that block and
// cost 5-10%.) For SHA-512, W[t] and W[t+1] depend only on words up to W[t-1], never on each
// other, so a pair of words is one independent vector step.
//
// W+K is stored interleaved, one 32-byte row per pair of words: row j holds words 2j, 2j+1 of
// the first block, then words 2j, 2j+1 of the second, as the vector register has them. Two such
// schedules alternate: the one the rounds read, and the one being filled for the next pair.
//
// The rounds and the schedule steps are inline assembly, one statement per round or step, the
// compiler choosing the registers. Written in C, the same operations ran 10-15% slower than
// OpenSSL and differently with each compiler: the compilers reordered the rounds' instructions
// (the order within a round alone moves the speed by up to 10% on the machine this was measured
// on), spilled the schedule's vector registers, and replaced the loads of W+K by extractions from
// vector registers.

// The round constants, each pair twice, so that one 256-bit addition adds them to both blocks.
struct KPairs {
  alignas(32) uint64_t k[160];
};
constexpr KPairs MakeKPairs() {
  KPairs pairs{};
  for (int j = 0; j < 40; ++j) {
    pairs.k[4 * j] = pairs.k[4 * j + 2] = kK[2 * j];
    pairs.k[4 * j + 1] = pairs.k[4 * j + 3] = kK[2 * j + 1];
  }
  return pairs;
}
constexpr KPairs kKPairs = MakeKPairs();

// One round, h += W+K first. On entry |a| lacks Sigma0 of the previous round's a, which |s0|
// holds (adding it at the start takes it off the path from one a to the next), and |bc| holds
// b ^ c. On exit |s0| holds Sigma0(a), |ab| holds a ^ b (the next round's b ^ c: the two
// variables swap roles every round), |bc| is clobbered and h is the next a but for Sigma0.
// Ch(e,f,g) is (e & f) + (~e & g), the two terms having no bit in common; Maj(a,b,c) is
// b ^ ((a ^ b) & (b ^ c)). The order of the instructions was chosen by measurement.
#define SHA512R_ROUND(a, b, c, d, e, f, g, h, bc, ab, wk_t)                                       \
  __asm__(                                                                                        \
      "add %[wk], %[rh]\n\t"                                                                      \
      "rorx $18, %[re], %[t1]\n\t"                                                                \
      "rorx $41, %[re], %[t0]\n\t"                                                                \
      "add %[s0], %[ra]\n\t" /* a is complete */                                                  \
      "xor %[t1], %[t0]\n\t"                                                                      \
      "rorx $14, %[re], %[t1]\n\t"                                                                \
      "xor %[t1], %[t0]\n\t" /* Sigma1(e) */                                                      \
      "andn %[rg], %[re], %[t1]\n\t"                                                              \
      "add %[t1], %[rh]\n\t"                                                                      \
      "add %[t0], %[rh]\n\t"                                                                      \
      "rorx $39, %[ra], %[t0]\n\t"                                                                \
      "mov %[ra], %[rab]\n\t"                                                                     \
      "mov %[rf], %[t1]\n\t"                                                                      \
      "xor %[rb], %[rab]\n\t" /* a ^ b */                                                         \
      "rorx $34, %[ra], %[s0]\n\t"                                                                \
      "and %[rab], %[rbc]\n\t"                                                                    \
      "and %[re], %[t1]\n\t"                                                                      \
      "xor %[t0], %[s0]\n\t"                                                                      \
      "add %[t1], %[rh]\n\t"  /* h = T1 */                                                        \
      "add %[rh], %[rd]\n\t"  /* d += T1: the next e */                                           \
      "xor %[rb], %[rbc]\n\t" /* Maj(a,b,c) */                                                    \
      "add %[rbc], %[rh]\n\t" /* T1 + Maj */                                                      \
      "rorx $28, %[ra], %[t0]\n\t"                                                                \
      "xor %[t0], %[s0]\n\t" /* Sigma0(a) */                                                      \
      : [ra] "+r"(a), [rd] "+r"(d), [rh] "+r"(h), [s0] "+r"(s0), [rbc] "+r"(bc), [rab] "=&r"(ab), \
        [t0] "=&r"(t0), [t1] "=&r"(t1)                                                            \
      : [rb] "r"(b), [re] "r"(e), [rf] "r"(f), [rg] "r"(g), [wk] "m"(wk_t)                        \
      : "cc");

// Rounds t to t+3 of a group of 16 whose W+K rows start at |rows| (the block's lane included),
// with |unit| (a schedule step of the next pair, or nothing) after the first of them.
#define SHA512R_FOUR(t, unit, a, b, c, d, e, f, g, h)                         \
  SHA512R_ROUND(a, b, c, d, e, f, g, h, bc, ab, rows[4 * ((t) / 2)])          \
  unit SHA512R_ROUND(h, a, b, c, d, e, f, g, ab, bc, rows[4 * ((t) / 2) + 1]) \
      SHA512R_ROUND(g, h, a, b, c, d, e, f, bc, ab, rows[4 * ((t) / 2) + 4])  \
          SHA512R_ROUND(f, g, h, a, b, c, d, e, ab, bc, rows[4 * ((t) / 2) + 5])

// Sixteen rounds, with four units spread over them.
#define SHA512R_SIXTEEN(unit0, unit1, unit2, unit3) \
  SHA512R_FOUR(0, unit0, a, b, c, d, e, f, g, h)    \
  SHA512R_FOUR(4, unit1, e, f, g, h, a, b, c, d)    \
  SHA512R_FOUR(8, unit2, a, b, c, d, e, f, g, h)    \
  SHA512R_FOUR(12, unit3, e, f, g, h, a, b, c, d)

// Begins a block: the working variables from the state, W+K from lane 0 (first block) or 1.
#define SHA512R_BEGIN(lane) \
  a = state[0];             \
  b = state[1];             \
  c = state[2];             \
  d = state[3];             \
  e = state[4];             \
  f = state[5];             \
  g = state[6];             \
  h = state[7];             \
  bc = b ^ c;               \
  s0 = 0;                   \
  rows = cur + 2 * (lane);

// Ends a block: a still lacks Sigma0 of the last round.
#define SHA512R_END   \
  state[0] += a + s0; \
  state[1] += b;      \
  state[2] += c;      \
  state[3] += d;      \
  state[4] += e;      \
  state[5] += f;      \
  state[6] += g;      \
  state[7] += h;

// Loads words 2i, 2i+1 of the blocks at |first| and |second| into ring register x and stores
// row i of their W+K in |dst|.
#define SHA512V_LOAD(i, x, dst, first, second)                                        \
  x = _mm256_shuffle_epi8(                                                            \
      _mm256_inserti128_si256(                                                        \
          _mm256_castsi128_si256(                                                     \
              _mm_loadu_si128(reinterpret_cast<const __m128i*>((first) + 16 * (i)))), \
          _mm_loadu_si128(reinterpret_cast<const __m128i*>((second) + 16 * (i))), 1), \
      byteswap);                                                                      \
  _mm256_store_si256(                                                                 \
      reinterpret_cast<__m256i*>((dst) + 4 * (i)),                                    \
      _mm256_add_epi64(x,                                                             \
                       _mm256_load_si256(reinterpret_cast<const __m256i*>(kKPairs.k + 4 * (i)))));

// A schedule step as an assembly statement: ring register v0 holds words w-16, w-15 of each
// block and becomes words w, w+1 (w even); v1, v4, v5 and v7 are the registers 1, 4, 5 and 7
// places on in the ring of eight (v7 holds words w-2, w-1), so that no step moves a register.
// W+K goes to row s of |dst|, the constants coming from row s of |krow|. SHA512V_STEP_TEXT
// computes the new v0 and leaves v0 + K in u0; SHA512V_STEP_INPUTS lists its further inputs.
#define SHA512V_STEP(s, v0, v1, v4, v5, v7, dst, krow)                                           \
  {                                                                                              \
    /* One declaration each: no comma may reach SHA512R_FOUR's argument list. */                 \
    __m256i u0;                                                                                  \
    __m256i u1;                                                                                  \
    __m256i u2;                                                                                  \
    __asm__(SHA512V_STEP_TEXT "vmovdqa %[u0], %[wk]\n\t"                                         \
            : [x0] "+x"(v0), [u0] "=&x"(u0), [u1] "=&x"(u1), [u2] "=&x"(u2),                     \
              [wk] "=m"(*reinterpret_cast<__m256i*>((dst) + 4 * (s)))                            \
            : [x1] "x"(v1), [x4] "x"(v4), [x5] "x"(v5), [x7] "x"(v7),                            \
              [k] "m"(*reinterpret_cast<const __m256i*>((krow) + 4 * (s))) SHA512V_STEP_INPUTS); \
  }

// The steps of the ring's eight positions. Positions 0-3 write rows 0-3 of |dst|, positions 4-7
// too (|dst| has moved on by four rows in between).
#define SHA512V_RING0 SHA512V_STEP(0, x0, x1, x4, x5, x7, dst, krow)
#define SHA512V_RING1 SHA512V_STEP(1, x1, x2, x5, x6, x0, dst, krow)
#define SHA512V_RING2 SHA512V_STEP(2, x2, x3, x6, x7, x1, dst, krow)
#define SHA512V_RING3 SHA512V_STEP(3, x3, x4, x7, x0, x2, dst, krow)
#define SHA512V_RING4 SHA512V_STEP(0, x4, x5, x0, x1, x3, dst, krow)
#define SHA512V_RING5 SHA512V_STEP(1, x5, x6, x1, x2, x4, dst, krow)
#define SHA512V_RING6 SHA512V_STEP(2, x6, x7, x2, x3, x5, dst, krow)
#define SHA512V_RING7 SHA512V_STEP(3, x7, x0, x3, x4, x6, dst, krow)

// The body shared by the AVX2 and AVX-512 variants, which differ in the schedule step's text.
// Each pair's 160 rounds are ten groups of 16 (five per block), each group carrying four units
// of the next pair's schedule: its eight loads in the first two groups, then its 32 steps.
#define SHA512V_BLOCKS_BODY                                                                 \
  if (count == 0) return;                                                                   \
  /* Reverses the bytes of each 64-bit word (the message is big-endian). */                 \
  const __m256i byteswap = _mm256_set_epi64x(0x08090a0b0c0d0e0fLL, 0x0001020304050607LL,    \
                                             0x08090a0b0c0d0e0fLL, 0x0001020304050607LL);   \
  alignas(32) uint64_t wk_a[160];                                                           \
  alignas(32) uint64_t wk_b[160];                                                           \
  uint64_t* cur = wk_a;  /* the schedule the rounds read */                                 \
  uint64_t* next = wk_b; /* the schedule computed meanwhile */                              \
  __m256i x0, x1, x2, x3, x4, x5, x6, x7;                                                   \
  uint64_t a, b, c, d, e, f, g, h, bc, ab, s0, t0, t1;                                      \
  const uint64_t* rows;                                                                     \
  {                                                                                         \
    /* The first pair's schedule, before its rounds. With one block, the second lane */     \
    /* repeats it and its schedule is not used. */                                          \
    const uint8_t* second = count >= 2 ? p + 128 : p;                                       \
    SHA512V_LOAD(0, x0, cur, p, second)                                                     \
    SHA512V_LOAD(1, x1, cur, p, second)                                                     \
    SHA512V_LOAD(2, x2, cur, p, second)                                                     \
    SHA512V_LOAD(3, x3, cur, p, second)                                                     \
    SHA512V_LOAD(4, x4, cur, p, second)                                                     \
    SHA512V_LOAD(5, x5, cur, p, second)                                                     \
    SHA512V_LOAD(6, x6, cur, p, second)                                                     \
    SHA512V_LOAD(7, x7, cur, p, second)                                                     \
    uint64_t* dst = cur + 32;                                                               \
    const uint64_t* krow = kKPairs.k + 32;                                                  \
    for (int i = 0; i < 4; ++i) {                                                           \
      SHA512V_RING0 SHA512V_RING1 SHA512V_RING2 SHA512V_RING3 dst += 16;                    \
      krow += 16;                                                                           \
      SHA512V_RING4 SHA512V_RING5 SHA512V_RING6 SHA512V_RING7 dst += 16;                    \
      krow += 16;                                                                           \
    }                                                                                       \
  }                                                                                         \
  while (true) {                                                                            \
    /* The pair whose schedule is computed alongside: the next one, or after the last */    \
    /* pair this one again (the result is not used). */                                     \
    const uint8_t* first = count > 2 ? p + 256 : p;                                         \
    const uint8_t* second = count > 3 ? p + 384 : first;                                    \
    SHA512R_BEGIN(0)                                                                        \
    if (count == 1) {                                                                       \
      /* A single block: there is no next pair to schedule. */                              \
      for (int i = 0; i < 5; ++i) {                                                         \
        SHA512R_SIXTEEN(, , , )                                                             \
        rows += 32;                                                                         \
      }                                                                                     \
      SHA512R_END                                                                           \
      break;                                                                                \
    }                                                                                       \
    SHA512R_SIXTEEN(                                                                        \
        SHA512V_LOAD(0, x0, next, first, second), SHA512V_LOAD(1, x1, next, first, second), \
        SHA512V_LOAD(2, x2, next, first, second), SHA512V_LOAD(3, x3, next, first, second)) \
    rows += 32;                                                                             \
    SHA512R_SIXTEEN(                                                                        \
        SHA512V_LOAD(4, x4, next, first, second), SHA512V_LOAD(5, x5, next, first, second), \
        SHA512V_LOAD(6, x6, next, first, second), SHA512V_LOAD(7, x7, next, first, second)) \
    rows += 32;                                                                             \
    uint64_t* dst = next + 32;                                                              \
    const uint64_t* krow = kKPairs.k + 32;                                                  \
    for (int i = 0; i < 4; ++i) {                                                           \
      SHA512R_SIXTEEN(SHA512V_RING0, SHA512V_RING1, SHA512V_RING2, SHA512V_RING3)           \
      rows += 32;                                                                           \
      dst += 16;                                                                            \
      krow += 16;                                                                           \
      if (i == 1) {                                                                         \
        /* The first block's 80 rounds are done; the second block's begin. */               \
        SHA512R_END                                                                         \
        SHA512R_BEGIN(1)                                                                    \
      }                                                                                     \
      SHA512R_SIXTEEN(SHA512V_RING4, SHA512V_RING5, SHA512V_RING6, SHA512V_RING7)           \
      rows += 32;                                                                           \
      dst += 16;                                                                            \
      krow += 16;                                                                           \
    }                                                                                       \
    SHA512R_END                                                                             \
    p += 256;                                                                               \
    count -= 2;                                                                             \
    if (count == 0) break;                                                                  \
    uint64_t* const swap = cur;                                                             \
    cur = next;                                                                             \
    next = swap;                                                                            \
  }                                                                                         \
  SecureWipe(wk_a, sizeof(wk_a));                                                           \
  SecureWipe(wk_b, sizeof(wk_b));

#define SHA512_AVX2 __attribute__((target("avx2,bmi,bmi2")))

// AVX2: sigma0(x) = rotr(x,1) ^ rotr(x,8) ^ (x >> 7), the rotation by 8 being a byte shuffle;
// sigma1(x) = rotr(x,19) ^ rotr(x,61) ^ (x >> 6).
#define SHA512V_STEP_TEXT                                       \
  "vpalignr $8, %[x0], %[x1], %[u0]\n\t" /* words w-15, w-14 */ \
  "vpsrlq $1, %[u0], %[u1]\n\t"                                 \
  "vpsllq $63, %[u0], %[u2]\n\t"                                \
  "vpxor %[u2], %[u1], %[u1]\n\t"                               \
  "vpsrlq $7, %[u0], %[u2]\n\t"                                 \
  "vpxor %[u2], %[u1], %[u1]\n\t"                               \
  "vpshufb %[rotate8], %[u0], %[u2]\n\t"                        \
  "vpxor %[u2], %[u1], %[u1]\n\t"                               \
  "vpaddq %[u1], %[x0], %[x0]\n\t"       /* + sigma0 */         \
  "vpalignr $8, %[x4], %[x5], %[u0]\n\t" /* words w-7, w-6 */   \
  "vpaddq %[u0], %[x0], %[x0]\n\t"                              \
  "vpsrlq $19, %[x7], %[u0]\n\t"                                \
  "vpsllq $45, %[x7], %[u1]\n\t"                                \
  "vpxor %[u1], %[u0], %[u0]\n\t"                               \
  "vpsrlq $61, %[x7], %[u1]\n\t"                                \
  "vpxor %[u1], %[u0], %[u0]\n\t"                               \
  "vpsllq $3, %[x7], %[u1]\n\t"                                 \
  "vpxor %[u1], %[u0], %[u0]\n\t"                               \
  "vpsrlq $6, %[x7], %[u1]\n\t"                                 \
  "vpxor %[u1], %[u0], %[u0]\n\t"                               \
  "vpaddq %[u0], %[x0], %[x0]\n\t" /* + sigma1 */               \
  "vpaddq %[k], %[x0], %[u0]\n\t"
#define SHA512V_STEP_INPUTS , [rotate8] "x"(rotate8)

SHA512_AVX2 void Sha512BlocksAvx2(uint64_t* state, const uint8_t* p, size_t count) {
  // Rotates each 64-bit word right by one byte.
  const __m256i rotate8 = _mm256_set_epi64x(0x080f0e0d0c0b0a09LL, 0x0007060504030201LL,
                                            0x080f0e0d0c0b0a09LL, 0x0007060504030201LL);
  SHA512V_BLOCKS_BODY
}

#undef SHA512V_STEP_TEXT
#undef SHA512V_STEP_INPUTS

// AVX-512 (F and VL, on ymm registers): the rotations are single instructions and a three-way
// exclusive or is one (vpternlogq with truth table 0x96). The "x" constraint keeps the
// registers within ymm0-15.
#define SHA512_AVX512 __attribute__((target("avx512f,avx512vl,avx2,bmi,bmi2")))

#define SHA512V_STEP_TEXT                                       \
  "vpalignr $8, %[x0], %[x1], %[u0]\n\t" /* words w-15, w-14 */ \
  "vprorq $1, %[u0], %[u1]\n\t"                                 \
  "vprorq $8, %[u0], %[u2]\n\t"                                 \
  "vpsrlq $7, %[u0], %[u0]\n\t"                                 \
  "vpternlogq $0x96, %[u2], %[u1], %[u0]\n\t"                   \
  "vpaddq %[u0], %[x0], %[x0]\n\t"       /* + sigma0 */         \
  "vpalignr $8, %[x4], %[x5], %[u0]\n\t" /* words w-7, w-6 */   \
  "vpaddq %[u0], %[x0], %[x0]\n\t"                              \
  "vprorq $19, %[x7], %[u1]\n\t"                                \
  "vprorq $61, %[x7], %[u2]\n\t"                                \
  "vpsrlq $6, %[x7], %[u0]\n\t"                                 \
  "vpternlogq $0x96, %[u2], %[u1], %[u0]\n\t"                   \
  "vpaddq %[u0], %[x0], %[x0]\n\t" /* + sigma1 */               \
  "vpaddq %[k], %[x0], %[u0]\n\t"
#define SHA512V_STEP_INPUTS

SHA512_AVX512 void Sha512BlocksAvx512(uint64_t* state, const uint8_t* p, size_t count) {
  SHA512V_BLOCKS_BODY
}

#undef SHA512V_STEP_TEXT
#undef SHA512V_STEP_INPUTS
#undef SHA512V_BLOCKS_BODY
#undef SHA512V_RING0
#undef SHA512V_RING1
#undef SHA512V_RING2
#undef SHA512V_RING3
#undef SHA512V_RING4
#undef SHA512V_RING5
#undef SHA512V_RING6
#undef SHA512V_RING7
#undef SHA512V_STEP
#undef SHA512V_LOAD
#undef SHA512R_END
#undef SHA512R_BEGIN
#undef SHA512R_SIXTEEN
#undef SHA512R_FOUR
#undef SHA512R_ROUND

#endif  // KELVADROME_SHA512_X86

}  // namespace

namespace digest_internal {

std::vector<Sha512BlockFunction> Sha512BlockFunctions() {
  std::vector<Sha512BlockFunction> functions = {{"portable", &Sha512BlocksPortable}};
#if KELVADROME_SHA512_X86
  if (DigestAccelerationAvailable(DigestAlgorithm::kSha512)) {
    functions.push_back({"avx2", &Sha512BlocksAvx2});
    const CpuFeatures& cpu = GetCpuFeatures();
    if (cpu.avx512f && cpu.avx512vl) functions.push_back({"avx512", &Sha512BlocksAvx512});
  }
#endif
  return functions;
}

}  // namespace digest_internal

void Sha512Digest::Begin() {
  // AVX-512 where the CPU has it, else AVX2, else the portable code.
  digest_internal::BlockFunction<uint64_t> function = &Sha512BlocksPortable;
#if KELVADROME_SHA512_X86
  if (GetDigestEngine() == DigestEngine::kAuto &&
      DigestAccelerationAvailable(DigestAlgorithm::kSha512)) {
    const CpuFeatures& cpu = GetCpuFeatures();
    function = cpu.avx512f && cpu.avx512vl ? &Sha512BlocksAvx512 : &Sha512BlocksAvx2;
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
