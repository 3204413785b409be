// Base64 text forms of a ByteBuffer.
//
// Encoding writes standard padded Base64 straight into storage sized up front.
//
// Decoding is lenient, because callers hand in whatever their users pasted: armour lines are
// passed over, CR, LF and space are ignored anywhere, the remaining characters are taken four at
// a time and each group decodes on its own ('=' has the value 64 and marks a short group, a last
// group of fewer than four characters is completed with padding). A character that is neither an
// alphabet character nor CR, LF or space still takes its place in a group and contributes the
// value 0; it never makes decoding fail.
//
// Bodies of plain Base64 (the common case) go through table loops that decode eight or four
// characters at a time; as soon as the next four characters are not four plain digits, one group
// is decoded by the general path and the table loops resume at the next group. Both paths consume
// whole groups, so the result is the same as decoding every group by the general path.
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "codec/byte_buffer.h"
#include "codec/storage_reuse.h"
#include "platform/secrets.h"

namespace kelvadrome {

namespace {

using storage_reuse::ClearAfterContent;
using storage_reuse::ReusableStorage;

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
constexpr uint8_t kPadValue = 64;

// --- Encoding ---------------------------------------------------------------------------------

// Two output characters for every 12-bit value, so three input bytes take two look-ups.
constexpr std::array<char, 2 * 4096> kEncodePairs = [] {
  std::array<char, 2 * 4096> pairs{};
  for (int v = 0; v < 4096; ++v) {
    pairs[2 * v] = kAlphabet[v >> 6];
    pairs[2 * v + 1] = kAlphabet[v & 0x3F];
  }
  return pairs;
}();

// Byte order helper for the wide loops: the first byte in memory becomes the most significant.
inline uint64_t LoadBigEndian64(const uint8_t* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap64(w);
  return w;
}

inline void StoreBigEndian64(uint8_t* p, uint64_t w) {
  if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap64(w);
  std::memcpy(p, &w, 8);
}

// Writes the Base64 text of |n| bytes to |out|, which has room for 4 * ceil(n / 3) characters.
void EncodeInto(const uint8_t* in, size_t n, uint8_t* out) {
  size_t i = 0;
  // Six bytes at a time from one eight-byte load (the last two bytes belong to the next round).
  for (; i + 8 <= n; i += 6) {
    const uint64_t w = LoadBigEndian64(in + i);
    const auto a = static_cast<uint32_t>(w >> 40);
    const auto b = static_cast<uint32_t>(w >> 16) & 0xFFFFFF;
    std::memcpy(out, &kEncodePairs[2 * (a >> 12)], 2);
    std::memcpy(out + 2, &kEncodePairs[2 * (a & 0xFFF)], 2);
    std::memcpy(out + 4, &kEncodePairs[2 * (b >> 12)], 2);
    std::memcpy(out + 6, &kEncodePairs[2 * (b & 0xFFF)], 2);
    out += 8;
  }
  for (; i + 3 <= n; i += 3) {
    const uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
    std::memcpy(out, &kEncodePairs[2 * (v >> 12)], 2);
    std::memcpy(out + 2, &kEncodePairs[2 * (v & 0xFFF)], 2);
    out += 4;
  }
  const size_t rest = n - i;
  if (rest == 0) return;
  const uint32_t v = (uint32_t{in[i]} << 16) | (rest == 2 ? uint32_t{in[i + 1]} << 8 : 0);
  out[0] = static_cast<uint8_t>(kAlphabet[v >> 18]);
  out[1] = static_cast<uint8_t>(kAlphabet[(v >> 12) & 0x3F]);
  out[2] = static_cast<uint8_t>(rest == 2 ? kAlphabet[(v >> 6) & 0x3F] : '=');
  out[3] = '=';
}

// --- Decoding ---------------------------------------------------------------------------------

// What each character is to the general path: its value 0-64, or one of these two marks.
constexpr uint8_t kIgnored = 0x80;  // CR, LF, space: skipped
constexpr uint8_t kOther = 0x81;    // any other character: takes a place, value 0

constexpr std::array<uint8_t, 256> kCharClass = [] {
  std::array<uint8_t, 256> table{};
  table.fill(kOther);
  for (uint8_t v = 0; v <= kPadValue; ++v) table[static_cast<uint8_t>(kAlphabet[v])] = v;
  table['\r'] = kIgnored;
  table['\n'] = kIgnored;
  table[' '] = kIgnored;
  return table;
}();

// Fast path tables: the value of a plain digit already shifted into its place in the 24-bit group
// (position 0 holds the top six bits); anything else sets bit 24, which stops the table loop.
constexpr uint32_t kNotDigit = 1u << 24;

constexpr std::array<uint32_t, 256> MakeShiftedTable(int shift) {
  std::array<uint32_t, 256> table{};
  for (int c = 0; c < 256; ++c) {
    const uint8_t v = kCharClass[c];
    table[c] = v < kPadValue ? uint32_t{v} << shift : kNotDigit;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kShifted0 = MakeShiftedTable(18);
constexpr std::array<uint32_t, 256> kShifted1 = MakeShiftedTable(12);
constexpr std::array<uint32_t, 256> kShifted2 = MakeShiftedTable(6);
constexpr std::array<uint32_t, 256> kShifted3 = MakeShiftedTable(0);

// The 24 bits of four plain digits at |p|, or a value with kNotDigit set if any is not one.
inline uint32_t PlainGroup(const uint8_t* p) {
  return kShifted0[p[0]] | kShifted1[p[1]] | kShifted2[p[2]] | kShifted3[p[3]];
}

// Decodes one group of four values (0-64, 64 being padding) to |out|; returns the byte count.
size_t DecodeGroup(const uint8_t g[4], uint8_t* out) {
  out[0] = static_cast<uint8_t>(((g[0] & 0x3F) << 2) + ((g[1] >> 4) & 3));
  if (g[2] == kPadValue) return 1;
  out[1] = static_cast<uint8_t>(((g[1] & 0x0F) << 4) + ((g[2] >> 2) & 0x0F));
  if (g[3] == kPadValue) return 2;
  out[2] = static_cast<uint8_t>(((g[2] & 3) << 6) + (g[3] & 0x3F));
  return 3;
}

// Gathers the next group of the body [*p, end) for the general path: up to four values, ignored
// characters skipped, other characters as 0, missing places as padding. Advances *p past what it
// used and returns how many characters of the body the group took (0 at the end of the body).
int NextGroup(const uint8_t** p, const uint8_t* end, uint8_t g[4]) {
  int k = 0;
  const uint8_t* q = *p;
  while (q < end && k < 4) {
    const uint8_t c = kCharClass[*q++];
    if (c == kIgnored) continue;
    g[k++] = c == kOther ? 0 : c;
  }
  *p = q;
  for (int i = k; i < 4; ++i) g[i] = kPadValue;
  return k;
}

// Exact number of bytes the body decodes to; used only when the quick bound is too large to
// trust, to tell a body that really does not fit in a buffer from one padded with blanks.
uint64_t CountDecoded(const uint8_t* p, const uint8_t* end) {
  uint64_t total = 0;
  uint8_t g[4];
  uint8_t scratch[3];
  for (;;) {
    while (end - p >= 4 && (PlainGroup(p) & kNotDigit) == 0) {
      total += 3;
      p += 4;
    }
    if (NextGroup(&p, end, g) == 0) break;
    total += DecodeGroup(g, scratch);
  }
  return total;
}

// Decodes the body [p, end) to |out|, which has room for every byte the body yields and the two
// bytes after them; returns the count.
size_t DecodeBody(const uint8_t* p, const uint8_t* end, uint8_t* out) {
  uint8_t* o = out;
  for (;;) {
    // Two groups at a time with one eight-byte store. Its last two bytes are zero and land either
    // under what follows or on the two bytes after the content: every group before took at least
    // four characters for its three bytes, so the room for the output is never overrun.
    while (end - p >= 8) {
      const uint32_t first = PlainGroup(p);
      const uint32_t second = PlainGroup(p + 4);
      if ((first | second) & kNotDigit) break;
      StoreBigEndian64(o, (uint64_t{first} << 40) | (uint64_t{second} << 16));
      o += 6;
      p += 8;
    }
    while (end - p >= 4) {
      const uint32_t v = PlainGroup(p);
      if (v & kNotDigit) break;
      o[0] = static_cast<uint8_t>(v >> 16);
      o[1] = static_cast<uint8_t>(v >> 8);
      o[2] = static_cast<uint8_t>(v);
      o += 3;
      p += 4;
    }
    uint8_t g[4];
    if (NextGroup(&p, end, g) == 0) break;
    o += DecodeGroup(g, o);
  }
  return static_cast<size_t>(o - out);
}

// Finds the body of |text|: the whole text, or, when the text contains "----", what lies between
// the armour line and the next hyphen run. Returns false for armour without such a run.
bool FindBody(std::string_view text, std::string_view* body) {
  constexpr std::string_view kRun = "----";
  if (text.find(kRun) == std::string_view::npos) {
    *body = text;
    return true;
  }
  // Past the hyphens that open the text, to the hyphen run that closes the armour line.
  size_t pos = text.find_first_not_of('-');
  if (pos == std::string_view::npos) return false;
  pos = text.find(kRun, pos);
  if (pos == std::string_view::npos) return false;
  // The body starts after that run and the line breaks following it...
  pos = text.find_first_not_of("-\r\n", pos);
  if (pos == std::string_view::npos) return false;
  // ...and ends at the next hyphen run, the END line.
  const size_t stop = text.find(kRun, pos);
  if (stop == std::string_view::npos) return false;
  *body = text.substr(pos, stop - pos);
  return true;
}

}  // namespace

bool ByteBuffer::Base64Encode(const void* bytes, int32_t n) {
  if (bytes == nullptr || n < 1) {
    Reset();
    return false;
  }
  const int64_t out_length = 4 * ((int64_t{n} + 2) / 3);
  if (out_length > kMaxLength) {
    Reset();
    return false;
  }
  // The text goes to the buffer's own storage when that fits and does not hold the input, else
  // to fresh storage that replaces the content at the end.
  ByteBuffer fresh;
  uint8_t* out = ReusableStorage(data_, capacity_, out_length, bytes, static_cast<size_t>(n));
  if (out == nullptr) {
    if (!fresh.Reserve(out_length)) {
      Reset();
      return false;
    }
    out = fresh.data_;
  }
  EncodeInto(static_cast<const uint8_t*>(bytes), static_cast<size_t>(n), out);
  if (out == data_) {
    ClearAfterContent(data_, out_length, length_);
    length_ = static_cast<int32_t>(out_length);
  } else {
    fresh.length_ = static_cast<int32_t>(out_length);
    *this = std::move(fresh);
  }
  return true;
}

bool ByteBuffer::Base64Decode(const char* text) {
  if (text == nullptr || *text == '\0') {
    Reset();
    return false;
  }
  const std::string_view whole(text);
  std::string_view body;
  if (!FindBody(whole, &body)) {
    Reset();
    return false;
  }
  const auto* begin = reinterpret_cast<const uint8_t*>(body.data());
  const uint8_t* end = begin + body.size();
  // Every group of four body characters gives at most three bytes; when that bound is too large,
  // count exactly before giving up.
  uint64_t bound = (uint64_t{body.size()} + 3) / 4 * 3;
  if (bound > uint64_t{kMaxLength}) bound = CountDecoded(begin, end);
  if (bound > uint64_t{kMaxLength}) {
    Reset();
    return false;
  }
  if (bound == 0) {
    Reset();
    return true;
  }
  // In place when the storage fits and does not hold the text (decoding the buffer's own text
  // takes fresh storage).
  const auto need = static_cast<int64_t>(bound);
  ByteBuffer fresh;
  uint8_t* out = ReusableStorage(data_, capacity_, need, whole.data(), whole.size() + 1);
  if (out == nullptr) {
    if (!fresh.Reserve(need)) {
      Reset();
      return false;
    }
    out = fresh.data_;
  }
  const auto written = static_cast<int64_t>(DecodeBody(begin, end, out));
  if (written == 0) {
    // Only blanks and line breaks: success with an empty buffer.
    Reset();
    return true;
  }
  if (out == data_) {
    ClearAfterContent(data_, written, length_);
    length_ = static_cast<int32_t>(written);
  } else {
    // Storage past the content is still zero from Reserve, the terminator included.
    fresh.length_ = static_cast<int32_t>(written);
    *this = std::move(fresh);
  }
  return true;
}

}  // namespace kelvadrome
