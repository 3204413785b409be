// The bridge's request reader: any bytes are refused or parsed within the bounds, and every parsed
// string written back with AppendJsonText reads again as the same UTF-16 units.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "codec/json_value.h"

namespace {

void CheckStrings(const kelvadrome::JsonValue& value) {
  using Kind = kelvadrome::JsonValue::Kind;
  if (value.kind() == Kind::kString) {
    std::string written;
    kelvadrome::AppendJsonText(written, value.text());
    const auto again = kelvadrome::ParseJson(written);
    if (!again || again->text() != value.text()) std::abort();
  }
  for (const auto& item : value.items()) CheckStrings(item);
  for (const auto& member : value.members()) CheckStrings(member.second);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kelvadrome::JsonLimits limits;
  limits.max_text = 64 * 1024;
  const auto value =
      kelvadrome::ParseJson(std::string_view(reinterpret_cast<const char*>(data), size), limits);
  if (value) CheckStrings(*value);
  return 0;
}
