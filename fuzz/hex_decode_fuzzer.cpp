// Hex decoding of arbitrary text. Checks the length rule (even-length, non-empty text decodes to
// half its length, anything else fails with an empty buffer), the buffer's invariants, and that
// the bytes survive a round trip through the encoder.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "codec/byte_buffer.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const size_t length = std::strlen(text.c_str());
  kelvadrome::ByteBuffer decoded;
  const bool ok = decoded.HexDecode(text.c_str());
  Check(ok == (length != 0 && length % 2 == 0));
  if (!ok) {
    Check(decoded.data() == nullptr && decoded.length() == 0);
    return 0;
  }
  Check(static_cast<size_t>(decoded.length()) == length / 2);
  Check(decoded.data()[decoded.length()] == 0 && decoded.data()[decoded.length() + 1] == 0);

  kelvadrome::ByteBuffer encoded;
  Check(encoded.HexEncode(decoded.data(), decoded.length()));
  Check(static_cast<size_t>(encoded.length()) == length);
  kelvadrome::ByteBuffer again;
  Check(again.HexDecode(encoded.c_str()));
  Check(std::memcmp(again.data(), decoded.data(), static_cast<size_t>(decoded.length())) == 0);
  return 0;
}
