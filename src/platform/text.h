// Text at the component's boundaries. Callers hand in and get back UTF-16; inside, text fields hold
// narrow text in the process code page, the way the component keeps names, paths and passwords.
//
// The process code page is KELVADROME_CODEPAGE when set (an iconv name such as "CP950" or
// "UTF-8"), else the codeset of the environment's LC_CTYPE locale (read without changing the
// process locale). A plain ASCII locale (C/POSIX) counts as UTF-8 so that every message and name
// survives, and an unknown name falls back to UTF-8 too.
#pragma once

#include <string>
#include <string_view>

namespace kelvadrome {

struct CodePage {
  std::string name;  // iconv name
  bool is_utf8 = true;
};

// CodePageNamed returns the code page for an iconv name; ASCII names and names iconv does not know
// give UTF-8.
CodePage CodePageNamed(std::string_view name);

// ProcessCodePage returns the process code page, worked out on first use and then kept.
CodePage ProcessCodePage();

// ReloadProcessCodePage works the process code page out again from the environment (tests change
// KELVADROME_CODEPAGE between cases).
void ReloadProcessCodePage();

// ConvertToNarrow converts UTF-16 text to the code page. A character the code page lacks, and an
// unpaired surrogate, become one '?'. Throws std::bad_alloc only.
std::string ConvertToNarrow(std::u16string_view text, const CodePage& code_page);
std::string ConvertToNarrow(std::u16string_view text);

// ConvertToWide converts narrow text in the code page to UTF-16. A byte sequence that is not valid
// in the code page becomes U+FFFD. Throws std::bad_alloc only.
std::u16string ConvertToWide(std::string_view text, const CodePage& code_page);
std::u16string ConvertToWide(std::string_view text);

// UTF-8 forms, for the component's own texts (messages, names), which must reach callers as the
// same characters whatever the process code page is.
std::u16string Utf8ToUtf16(std::string_view text);

// AppendUtf8 appends the UTF-8 form of the code point |cp| (at most U+10FFFF) to |out|.
void AppendUtf8(std::string& out, char32_t cp);
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace kelvadrome
