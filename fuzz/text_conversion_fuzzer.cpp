// Narrow text of any bytes, read in the code pages callers use, and UTF-16 text of any units, must
// convert without fault; converting UTF-16 to UTF-8 and back must give the text again wherever it
// has no lone surrogates.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const kelvadrome::CodePage kUtf8 = kelvadrome::CodePageNamed("UTF-8");
  static const kelvadrome::CodePage kBig5 = kelvadrome::CodePageNamed("CP950");
  const std::string narrow(reinterpret_cast<const char*>(data), size);
  for (const auto* page : {&kUtf8, &kBig5}) {
    const std::u16string wide = kelvadrome::ConvertToWide(narrow, *page);
    kelvadrome::ConvertToNarrow(wide, *page);
  }
  std::u16string units(size / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  }
  bool lone_surrogate = false;
  for (size_t i = 0; i < units.size(); ++i) {
    const char16_t u = units[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      lone_surrogate = true;
    }
  }
  const std::string utf8 = kelvadrome::ConvertToNarrow(units, kUtf8);
  if (!lone_surrogate && kelvadrome::ConvertToWide(utf8, kUtf8) != units) std::abort();
  kelvadrome::ConvertToNarrow(units, kBig5);
  return 0;
}
