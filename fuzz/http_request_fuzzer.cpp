// The loopback service's request reader: any bytes are refused or parsed within the bounds; a
// complete request never claims more bytes than it was given, and the same request written back in
// canonical form reads again as the same request.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "codec/http_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kelvadrome::HttpLimits limits;
  limits.max_head = 4096;
  limits.max_body = 4096;
  const std::string_view received(reinterpret_cast<const char*>(data), size);
  const auto parsed = kelvadrome::ParseHttpRequest(received, limits);
  if (parsed.status != kelvadrome::HttpParse::kComplete) {
    if (parsed.consumed != 0) std::abort();
    return 0;
  }
  const auto& request = parsed.request;
  if (parsed.consumed > size || request.body.size() > limits.max_body) std::abort();
  std::string written = request.method + " " + request.target + " HTTP/1." +
                        std::to_string(request.minor_version) + "\r\n";
  for (const auto& [name, value] : request.headers) written += name + ": " + value + "\r\n";
  written += "\r\n" + request.body;
  const auto again = kelvadrome::ParseHttpRequest(written, limits);
  if (again.status != kelvadrome::HttpParse::kComplete || again.consumed != written.size() ||
      again.request.headers != request.headers || again.request.body != request.body ||
      again.request.target != request.target || again.request.keep_alive != request.keep_alive) {
    std::abort();
  }
  return 0;
}
