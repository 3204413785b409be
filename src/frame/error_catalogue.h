// The error catalogue: every component error code and the message GetErrorMsg shows for it.
// Messages are Traditional Chinese (a few English) and end with the code in parentheses, so a
// caller can show the text unchanged and still see the number. The table is generated at build
// time from the rows of platform/error_codes.h.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kelvadrome {

struct CatalogueEntry {
  int32_t code;
  std::string_view message_template;  // UTF-8, contains exactly one "%d"
};

// Template for codes the catalogue does not define; note the blank after the parenthesis.
inline constexpr std::string_view kUndefinedCodeTemplate = "錯誤碼未定義(%d) ";

// Every defined code, in ascending order.
std::span<const CatalogueEntry> ErrorCatalogue();

// ErrorMessageFor returns the message for |code| as UTF-8 text: its template (or the undefined-code
// template) with the code written as a signed decimal in place of "%d". Never fails.
std::string ErrorMessageFor(int32_t code);

}  // namespace kelvadrome
