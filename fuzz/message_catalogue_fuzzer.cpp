// Compiled message catalogues: the parser must refuse or take any bytes without reading outside
// them, and a catalogue it takes must answer lookups, pattern ones included, from its own copies.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "ui/dialog_language.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A private copy that is released before the lookups: a catalogue must not point into it.
  std::vector<uint8_t> image(data, data + size);
  const auto catalogue = kelvadrome::MessageCatalogue::Parse(image);
  image.clear();
  image.shrink_to_fit();
  if (!catalogue) return 0;
  for (const char* text : {"", "確定", "憑證檔(/tmp/a.pfx) : 錯誤或不存在", "%s", "a%sb"}) {
    const auto translated = catalogue->Translate(text);
    if (translated && translated->empty()) std::abort();  // empty translations are left out
  }
  return 0;
}
