// Text at the component's boundaries. Callers hand in and get back UTF-16; inside, text fields hold
// narrow text in the process code page, the way the component keeps names, paths and passwords.
//
// The process code page is KELVADROME_CODEPAGE when set (an iconv name such as "CP950" or
// "UTF-8"), else the codeset of the environment's LC_CTYPE locale (read without changing the
// process locale). A plain ASCII locale (C/POSIX) counts as UTF-8 so that every message and name
// survives, and an unknown name falls back to UTF-8 too.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/secrets.h"

namespace kelvadrome {

struct CodePage {
  std::string name;  // iconv name
  bool is_utf8 = true;
  // Every byte below 0x80 is the character of the same code, both ways (true of UTF-8 and of the
  // code pages the component meets, but not of every iconv code set), so ASCII text needs no
  // conversion.
  bool ascii_transparent = true;
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

// NarrowToUtf8 returns narrow text in the process code page as UTF-8 (ConvertToWide, then UTF-8).
// Byte-wise searches for ASCII characters are safe in the result: in UTF-8 a byte below 0x80 is
// always a character of its own, while in a double-byte code page such as 950 the second byte of a
// character can be '\\', '|', '@' or a letter. Utf8ToNarrow is the way back (ConvertToNarrow).
std::string NarrowToUtf8(std::string_view text);
// IsAsciiText: no byte of |text| is 0x80 or above. IsWellFormedUtf8: |text| is UTF-8 without
// overlong forms, surrogates or codes beyond U+10FFFF, so that it converts to UTF-16 and back
// unchanged.
bool IsAsciiText(std::string_view text);
bool IsWellFormedUtf8(std::string_view text);
std::string Utf8ToNarrow(std::string_view text);

// The conversions a secret takes, straight into wiped storage with every intermediate wiped:
// ConvertSecretToNarrow is ConvertToNarrow for a password argument; SecretNarrowToUtf8 is
// NarrowToUtf8 for a password handed to a key derivation that takes UTF-8.
SecretString ConvertSecretToNarrow(std::u16string_view text);
SecretString SecretNarrowToUtf8(std::string_view text);

// CharacterStarts returns the offsets at which the characters of |text| (narrow, in the process
// code page) start, in order: character i spans from the i-th offset to the next one (or the end).
// A byte the code page does not define counts as a character of its own.
std::vector<size_t> CharacterStarts(std::string_view text);

// FindLastCharacter returns the offset in |text| (narrow, in the process code page) of the last
// character that is the ASCII character |c|, walking the text by characters: a byte of that value
// inside a multibyte character does not count. npos when there is none.
size_t FindLastCharacter(std::string_view text, char c);

// Paths. The component keeps paths as narrow text in the process code page; file names on the
// system are UTF-8. Every call that hands a path to the system converts it with SystemPath, and
// every path read from the system (the environment, a resolved link) comes back through
// FromSystemPath.
//
// SystemPath returns |path| as the file system spells it. nullopt when the path can name no file:
// it is empty, holds a NUL or a byte sequence the code page does not define, or, in a code page
// other than UTF-8, holds '?'. A '?' is what ConvertToNarrow leaves for a character the code page
// lacks, so there a path holding one cannot be told from a path that lost a character on its way
// in; refusing it keeps such a path from reaching another file. In a UTF-8 code page nothing is
// lost that way and the bytes are taken as they are.
std::optional<std::string> SystemPath(std::string_view path);

// FromSystemPath returns a path read from the system as narrow text in the process code page; a
// character the code page lacks becomes '?' (which SystemPath then refuses). In a UTF-8 code page
// the bytes are kept as they are.
std::string FromSystemPath(std::string_view path);

}  // namespace kelvadrome
