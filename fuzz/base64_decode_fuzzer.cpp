// Lenient Base64 decoding of arbitrary text. Checks that the result keeps the buffer's invariants,
// that a failure leaves the buffer empty, and that the decoded bytes survive a round trip through
// the encoder and the decoder's table loop unchanged.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "codec/byte_buffer.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckWellFormed(const kelvadrome::ByteBuffer& buffer) {
  if (buffer.length() == 0) {
    Check(buffer.data() == nullptr);
    return;
  }
  Check(buffer.data() != nullptr);
  Check(buffer.data()[buffer.length()] == 0 && buffer.data()[buffer.length() + 1] == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The decoder takes NUL-terminated text: an embedded NUL ends it, as it would for a caller.
  const std::string text(reinterpret_cast<const char*>(data), size);
  kelvadrome::ByteBuffer decoded;
  const bool ok = decoded.Base64Decode(text.c_str());
  CheckWellFormed(decoded);
  if (!ok) {
    Check(decoded.length() == 0);
    return 0;
  }
  // Every body character yields at most one byte.
  Check(static_cast<size_t>(decoded.length()) <= std::strlen(text.c_str()));
  if (decoded.length() == 0) return 0;

  kelvadrome::ByteBuffer encoded;
  Check(encoded.Base64Encode(decoded.data(), decoded.length()));
  CheckWellFormed(encoded);
  Check(encoded.length() == (decoded.length() + 2) / 3 * 4);
  Check(std::strlen(encoded.c_str()) == static_cast<size_t>(encoded.length()));

  kelvadrome::ByteBuffer again;
  Check(again.Base64Decode(encoded.c_str()));
  Check(again.length() == decoded.length());
  Check(std::memcmp(again.data(), decoded.data(), static_cast<size_t>(decoded.length())) == 0);
  return 0;
}
