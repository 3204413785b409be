// MD5 (RFC 1321). Portable code only: the algorithm is one long dependency chain, which vector
// units cannot shorten, so the work goes into keeping that chain short.
#include <cstring>

#include "codec/digest.h"

namespace kelvadrome {
namespace {

constexpr uint32_t kMd5Initial[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};

inline uint32_t Rotl(uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}

inline uint32_t LoadLe32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap32(v);
#endif
  return v;
}

// The round steps. Each adds the message word and constant first (independent of b, c, d), and
// splits the boolean function so that the part that does not involve b, the value most recently
// computed, can start early.
//   F(b,c,d) = (b & c) | (~b & d) = d ^ (b & (c ^ d))
//   G(b,c,d) = (b & d) | (c & ~d), the two terms have no common bits, so | may be +
//   H(b,c,d) = b ^ c ^ d
//   I(b,c,d) = c ^ (b | ~d)
#define MD5_F(a, b, c, d, x, s, k) \
  a += (x) + (k);                  \
  a += (d) ^ ((b) & ((c) ^ (d)));  \
  a = Rotl(a, s) + (b);
#define MD5_G(a, b, c, d, x, s, k) \
  a += (x) + (k) + ((c) & ~(d));   \
  a += (b) & (d);                  \
  a = Rotl(a, s) + (b);
#define MD5_H(a, b, c, d, x, s, k) \
  a += (x) + (k);                  \
  a += (b) ^ (c) ^ (d);            \
  a = Rotl(a, s) + (b);
#define MD5_I(a, b, c, d, x, s, k) \
  a += (x) + (k);                  \
  a += (c) ^ ((b) | ~(d));         \
  a = Rotl(a, s) + (b);

void Md5BlocksPortable(uint32_t* state, const uint8_t* p, size_t count) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (; count != 0; --count, p += 64) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = LoadLe32(p + 4 * i);
    const uint32_t a0 = a, b0 = b, c0 = c, d0 = d;

    MD5_F(a, b, c, d, x[0], 7, 0xd76aa478u)
    MD5_F(d, a, b, c, x[1], 12, 0xe8c7b756u)
    MD5_F(c, d, a, b, x[2], 17, 0x242070dbu)
    MD5_F(b, c, d, a, x[3], 22, 0xc1bdceeeu)
    MD5_F(a, b, c, d, x[4], 7, 0xf57c0fafu)
    MD5_F(d, a, b, c, x[5], 12, 0x4787c62au)
    MD5_F(c, d, a, b, x[6], 17, 0xa8304613u)
    MD5_F(b, c, d, a, x[7], 22, 0xfd469501u)
    MD5_F(a, b, c, d, x[8], 7, 0x698098d8u)
    MD5_F(d, a, b, c, x[9], 12, 0x8b44f7afu)
    MD5_F(c, d, a, b, x[10], 17, 0xffff5bb1u)
    MD5_F(b, c, d, a, x[11], 22, 0x895cd7beu)
    MD5_F(a, b, c, d, x[12], 7, 0x6b901122u)
    MD5_F(d, a, b, c, x[13], 12, 0xfd987193u)
    MD5_F(c, d, a, b, x[14], 17, 0xa679438eu)
    MD5_F(b, c, d, a, x[15], 22, 0x49b40821u)

    MD5_G(a, b, c, d, x[1], 5, 0xf61e2562u)
    MD5_G(d, a, b, c, x[6], 9, 0xc040b340u)
    MD5_G(c, d, a, b, x[11], 14, 0x265e5a51u)
    MD5_G(b, c, d, a, x[0], 20, 0xe9b6c7aau)
    MD5_G(a, b, c, d, x[5], 5, 0xd62f105du)
    MD5_G(d, a, b, c, x[10], 9, 0x02441453u)
    MD5_G(c, d, a, b, x[15], 14, 0xd8a1e681u)
    MD5_G(b, c, d, a, x[4], 20, 0xe7d3fbc8u)
    MD5_G(a, b, c, d, x[9], 5, 0x21e1cde6u)
    MD5_G(d, a, b, c, x[14], 9, 0xc33707d6u)
    MD5_G(c, d, a, b, x[3], 14, 0xf4d50d87u)
    MD5_G(b, c, d, a, x[8], 20, 0x455a14edu)
    MD5_G(a, b, c, d, x[13], 5, 0xa9e3e905u)
    MD5_G(d, a, b, c, x[2], 9, 0xfcefa3f8u)
    MD5_G(c, d, a, b, x[7], 14, 0x676f02d9u)
    MD5_G(b, c, d, a, x[12], 20, 0x8d2a4c8au)

    MD5_H(a, b, c, d, x[5], 4, 0xfffa3942u)
    MD5_H(d, a, b, c, x[8], 11, 0x8771f681u)
    MD5_H(c, d, a, b, x[11], 16, 0x6d9d6122u)
    MD5_H(b, c, d, a, x[14], 23, 0xfde5380cu)
    MD5_H(a, b, c, d, x[1], 4, 0xa4beea44u)
    MD5_H(d, a, b, c, x[4], 11, 0x4bdecfa9u)
    MD5_H(c, d, a, b, x[7], 16, 0xf6bb4b60u)
    MD5_H(b, c, d, a, x[10], 23, 0xbebfbc70u)
    MD5_H(a, b, c, d, x[13], 4, 0x289b7ec6u)
    MD5_H(d, a, b, c, x[0], 11, 0xeaa127fau)
    MD5_H(c, d, a, b, x[3], 16, 0xd4ef3085u)
    MD5_H(b, c, d, a, x[6], 23, 0x04881d05u)
    MD5_H(a, b, c, d, x[9], 4, 0xd9d4d039u)
    MD5_H(d, a, b, c, x[12], 11, 0xe6db99e5u)
    MD5_H(c, d, a, b, x[15], 16, 0x1fa27cf8u)
    MD5_H(b, c, d, a, x[2], 23, 0xc4ac5665u)

    MD5_I(a, b, c, d, x[0], 6, 0xf4292244u)
    MD5_I(d, a, b, c, x[7], 10, 0x432aff97u)
    MD5_I(c, d, a, b, x[14], 15, 0xab9423a7u)
    MD5_I(b, c, d, a, x[5], 21, 0xfc93a039u)
    MD5_I(a, b, c, d, x[12], 6, 0x655b59c3u)
    MD5_I(d, a, b, c, x[3], 10, 0x8f0ccc92u)
    MD5_I(c, d, a, b, x[10], 15, 0xffeff47du)
    MD5_I(b, c, d, a, x[1], 21, 0x85845dd1u)
    MD5_I(a, b, c, d, x[8], 6, 0x6fa87e4fu)
    MD5_I(d, a, b, c, x[15], 10, 0xfe2ce6e0u)
    MD5_I(c, d, a, b, x[6], 15, 0xa3014314u)
    MD5_I(b, c, d, a, x[13], 21, 0x4e0811a1u)
    MD5_I(a, b, c, d, x[4], 6, 0xf7537e82u)
    MD5_I(d, a, b, c, x[11], 10, 0xbd3af235u)
    MD5_I(c, d, a, b, x[2], 15, 0x2ad7d2bbu)
    MD5_I(b, c, d, a, x[9], 21, 0xeb86d391u)

    a += a0;
    b += b0;
    c += c0;
    d += d0;
  }
  state[0] = a;
  state[1] = b;
  state[2] = c;
  state[3] = d;
}

#undef MD5_F
#undef MD5_G
#undef MD5_H
#undef MD5_I

}  // namespace

void Md5Digest::Begin() {
  stream_.Begin(kMd5Initial, &Md5BlocksPortable);
}

void Md5Digest::Finish() {
  stream_.Finish();
  uint8_t out[16];
  for (int i = 0; i < 4; ++i) {
    const uint32_t w = stream_.state()[i];
    for (int j = 0; j < 4; ++j) out[4 * i + j] = static_cast<uint8_t>(w >> (8 * j));
  }
  Reset();
  Append(out, sizeof(out));
  Begin();
}

}  // namespace kelvadrome
