#include "frame/error_catalogue.h"

#include <algorithm>
#include <iterator>

#include "platform/error_codes.h"

namespace kelvadrome {

namespace {

// Templates exactly as shown to users, in ascending code order (error_codes.h checks it) for the
// binary search below.
constexpr CatalogueEntry kCatalogue[] = {
#define KELVADROME_CATALOGUE_ENTRY(number, name, text) {number, text},
    KELVADROME_ERROR_CODES(KELVADROME_CATALOGUE_ENTRY)
#undef KELVADROME_CATALOGUE_ENTRY
};

// ErrorMessageFor puts the code where the template's "%d" is, so every template has exactly one.
constexpr bool HasOnePlaceholder(const CatalogueEntry& entry) {
  const size_t first = entry.message_template.find("%d");
  return first != std::string_view::npos &&
         entry.message_template.find("%d", first + 2) == std::string_view::npos;
}
static_assert(std::all_of(std::begin(kCatalogue), std::end(kCatalogue), HasOnePlaceholder));

}  // namespace

std::span<const CatalogueEntry> ErrorCatalogue() {
  return kCatalogue;
}

std::string ErrorMessageFor(int32_t code) {
  auto entry =
      std::lower_bound(std::begin(kCatalogue), std::end(kCatalogue), code,
                       [](const CatalogueEntry& e, int32_t value) { return e.code < value; });
  const std::string_view text = (entry != std::end(kCatalogue) && entry->code == code)
                                    ? entry->message_template
                                    : kUndefinedCodeTemplate;
  const size_t placeholder = text.find("%d");
  std::string message(text.substr(0, placeholder));
  message += std::to_string(code);
  message += text.substr(placeholder + 2);
  return message;
}

}  // namespace kelvadrome
