#include "platform/text.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>

#include <langinfo.h>

#include "platform/handles.h"
#include "platform/secrets.h"

namespace kelvadrome {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

bool IsAsciiCodesetName(std::string_view name) {
  return name == "ANSI_X3.4-1968" || name == "ASCII" || name == "US-ASCII" || name == "646";
}

bool IsUtf8Name(std::string_view name) {
  std::string upper;
  for (char c : name) {
    if (c != '-' && c != '_')
      upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return upper == "UTF8";
}

UniqueIconv OpenIconv(const char* to, const char* from) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return nullptr;
  return UniqueIconv(cd);
}

std::string LocaleCodeset() {
  UniqueLocale locale(newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr)));
  if (!locale) return {};
  const char* codeset = nl_langinfo_l(CODESET, locale.get());
  return codeset != nullptr ? codeset : "";
}

CodePage DetectProcessCodePage() {
  const char* configured = std::getenv("KELVADROME_CODEPAGE");
  if (configured != nullptr && *configured != '\0') return CodePageNamed(configured);
  return CodePageNamed(LocaleCodeset());
}

std::mutex& CodePageMutex() {
  static std::mutex mutex;
  return mutex;
}

CodePage& CachedCodePage() {
  static CodePage code_page = DetectProcessCodePage();
  return code_page;
}

// Decodes one code point of UTF-16 at |i|; unpaired surrogates decode as -1.
int32_t NextUtf16(std::u16string_view text, size_t& i) {
  const char16_t unit = text[i++];
  if (unit >= 0xD800 && unit <= 0xDBFF) {
    if (i < text.size() && text[i] >= 0xDC00 && text[i] <= 0xDFFF) {
      const char16_t low = text[i++];
      return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }
    return -1;
  }
  if (unit >= 0xDC00 && unit <= 0xDFFF) return -1;
  return unit;
}

template <typename Out>
void AppendUtf16(Out& out, int32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

// Decodes one UTF-8 sequence at |i|; malformed, overlong, surrogate or out-of-range sequences
// consume one byte and decode as -1.
int32_t NextUtf8(std::string_view text, size_t& i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  if (lead < 0x80) {
    ++i;
    return lead;
  }
  int extra;
  int32_t cp;
  int32_t minimum;
  if ((lead & 0xE0) == 0xC0) {
    extra = 1, cp = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, cp = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, cp = lead & 0x07, minimum = 0x10000;
  } else {
    ++i;
    return -1;
  }
  if (i + extra >= text.size()) {  // the sequence runs past the end
    ++i;
    return -1;
  }
  for (int k = 1; k <= extra; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) {
      ++i;
      return -1;
    }
    cp = (cp << 6) | (next & 0x3F);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return -1;
  }
  i += extra + 1;
  return cp;
}

// CharacterBytes returns the length in bytes of the character |text| (not empty) starts with, as
// |cd| (from the code page to UTF-16LE) reads it: one for a byte the code page does not define.
// Converting into room for exactly one character makes iconv stop after it.
size_t CharacterBytes(iconv_t cd, std::string_view text) {
  for (size_t room : {size_t{2}, size_t{4}}) {  // one unit, then a surrogate pair
    char out[4];
    char* in_ptr = const_cast<char*>(text.data());
    size_t in_left = text.size();
    char* out_ptr = out;
    size_t out_left = room;
    const size_t result = iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left);
    const int error = errno;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    const size_t used = text.size() - in_left;
    if (used > 0) return used;
    if (result != static_cast<size_t>(-1) || error != E2BIG) break;
  }
  return 1;
}

template <typename Out>
void AppendUtf8To(Out& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// The conversions below write into any string-like |out| (std::string, std::u16string or a
// SecretString), so that a secret converts straight into wiped storage. Their own buffers are
// wiped before they return, whatever text passed through them.

template <typename Out>
void AppendUtf16AsUtf8(std::u16string_view text, Out& out) {
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const int32_t cp = NextUtf16(text, i);
    if (cp < 0) {
      out.push_back('?');
    } else {
      AppendUtf8To(out, static_cast<char32_t>(cp));
    }
  }
}

template <typename Out>
void AppendUtf8AsUtf16(std::string_view text, Out& out) {
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const int32_t cp = NextUtf8(text, i);
    AppendUtf16(out, cp < 0 ? kReplacement : cp);
  }
}

template <typename Out>
void AppendAsNarrow(std::u16string_view text, const CodePage& code_page, Out& out) {
  if (code_page.is_utf8) return AppendUtf16AsUtf8(text, out);
  UniqueIconv cd = OpenIconv(code_page.name.c_str(), "UTF-16LE");
  if (!cd) return AppendUtf16AsUtf8(text, out);
  out.reserve(text.size() * 2);
  char buffer[8];
  unsigned char le[4];
  // One character at a time keeps the '?' substitution exact: iconv either converts the whole
  // character or reports that the code page lacks it.
  for (size_t i = 0; i < text.size();) {
    const size_t start = i;
    const int32_t cp = NextUtf16(text, i);
    if (cp < 0) {
      out.push_back('?');
      continue;
    }
    const size_t count = i - start;  // one unit, or two for a surrogate pair
    for (size_t k = 0; k < count; ++k) {
      le[2 * k] = static_cast<unsigned char>(text[start + k] & 0xFF);
      le[2 * k + 1] = static_cast<unsigned char>(text[start + k] >> 8);
    }
    char* in_ptr = reinterpret_cast<char*>(le);
    size_t in_left = count * 2;
    char* out_ptr = buffer;
    size_t out_left = sizeof buffer;
    if (iconv(static_cast<iconv_t>(cd.get()), &in_ptr, &in_left, &out_ptr, &out_left) ==
            static_cast<size_t>(-1) ||
        in_left != 0) {
      out.push_back('?');
    } else {
      out.append(buffer, static_cast<size_t>(out_ptr - buffer));
    }
    // Return to the initial shift state between characters.
    iconv(static_cast<iconv_t>(cd.get()), nullptr, nullptr, nullptr, nullptr);
  }
  SecureWipe(buffer, sizeof buffer);
  SecureWipe(le, sizeof le);
}

template <typename Out>
void AppendAsWide(std::string_view text, const CodePage& code_page, Out& out) {
  if (code_page.is_utf8) return AppendUtf8AsUtf16(text, out);
  UniqueIconv cd = OpenIconv("UTF-16LE", code_page.name.c_str());
  if (!cd) return AppendUtf8AsUtf16(text, out);
  out.reserve(text.size());
  char scratch[4096];
  size_t used = 0;
  char* in_ptr = const_cast<char*>(text.data());
  size_t in_left = text.size();
  while (in_left > 0) {
    char* out_ptr = scratch;
    size_t out_left = sizeof scratch;
    const size_t result =
        iconv(static_cast<iconv_t>(cd.get()), &in_ptr, &in_left, &out_ptr, &out_left);
    const int error = errno;
    const size_t produced = static_cast<size_t>(out_ptr - scratch);
    used = std::max(used, produced);
    for (size_t k = 0; k + 1 < produced; k += 2) {
      out.push_back(static_cast<char16_t>(static_cast<unsigned char>(scratch[k]) |
                                          (static_cast<unsigned char>(scratch[k + 1]) << 8)));
    }
    if (result != static_cast<size_t>(-1)) break;
    if (error == E2BIG) continue;
    // An invalid or truncated sequence: replace one byte and go on after it.
    out.push_back(kReplacement);
    ++in_ptr;
    --in_left;
    iconv(static_cast<iconv_t>(cd.get()), nullptr, nullptr, nullptr, nullptr);
  }
  SecureWipe(scratch, used);
}

}  // namespace

void AppendUtf8(std::string& out, char32_t cp) {
  AppendUtf8To(out, cp);
}

CodePage CodePageNamed(std::string_view name) {
  if (name.empty() || IsAsciiCodesetName(name) || IsUtf8Name(name)) return CodePage{"UTF-8", true};
  std::string owned(name);
  if (!OpenIconv("UTF-16LE", owned.c_str()) || !OpenIconv(owned.c_str(), "UTF-16LE")) {
    return CodePage{"UTF-8", true};
  }
  CodePage code_page{owned, false, false};
  std::u16string ascii;
  for (char16_t c = 1; c < 0x80; ++c) ascii.push_back(c);
  const std::string narrow = ConvertToNarrow(ascii, code_page);
  code_page.ascii_transparent = narrow.size() == ascii.size() &&
                                std::equal(narrow.begin(), narrow.end(), ascii.begin()) &&
                                ConvertToWide(narrow, code_page) == ascii;
  return code_page;
}

CodePage ProcessCodePage() {
  std::lock_guard lock(CodePageMutex());
  return CachedCodePage();
}

void ReloadProcessCodePage() {
  std::lock_guard lock(CodePageMutex());
  CachedCodePage() = DetectProcessCodePage();
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  AppendUtf16AsUtf8(text, out);
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  AppendUtf8AsUtf16(text, out);
  return out;
}

std::string ConvertToNarrow(std::u16string_view text, const CodePage& code_page) {
  std::string out;
  AppendAsNarrow(text, code_page, out);
  return out;
}

std::string ConvertToNarrow(std::u16string_view text) {
  return ConvertToNarrow(text, ProcessCodePage());
}

std::u16string ConvertToWide(std::string_view text, const CodePage& code_page) {
  std::u16string out;
  AppendAsWide(text, code_page, out);
  return out;
}

std::u16string ConvertToWide(std::string_view text) {
  return ConvertToWide(text, ProcessCodePage());
}

bool IsAsciiText(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

bool IsWellFormedUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    if (NextUtf8(text, i) < 0) return false;
  }
  return true;
}

// Text that converts to itself: ASCII in a code page that keeps ASCII, well-formed UTF-8 in UTF-8.
// Names and paths are nearly always one or the other, and listings convert thousands of them.
static bool ConvertsUnchanged(std::string_view text, const CodePage& code_page) {
  if (code_page.ascii_transparent && IsAsciiText(text)) return true;
  return code_page.is_utf8 && IsWellFormedUtf8(text);
}

std::string NarrowToUtf8(std::string_view text) {
  const CodePage code_page = ProcessCodePage();
  if (ConvertsUnchanged(text, code_page)) return std::string(text);
  return Utf16ToUtf8(ConvertToWide(text, code_page));
}

SecretString ConvertSecretToNarrow(std::u16string_view text) {
  SecretString out;
  AppendAsNarrow(text, ProcessCodePage(), out);
  return out;
}

SecretString SecretNarrowToUtf8(std::string_view text) {
  const CodePage code_page = ProcessCodePage();
  if (ConvertsUnchanged(text, code_page)) return SecretString(text);
  SecretU16String wide;
  AppendAsWide(text, code_page, wide);
  SecretString out;
  AppendUtf16AsUtf8(wide.view(), out);
  return out;
}

std::string Utf8ToNarrow(std::string_view text) {
  const CodePage code_page = ProcessCodePage();
  if (ConvertsUnchanged(text, code_page)) return std::string(text);
  return ConvertToNarrow(Utf8ToUtf16(text), code_page);
}

std::vector<size_t> CharacterStarts(std::string_view text) {
  std::vector<size_t> starts;
  const CodePage code_page = ProcessCodePage();
  UniqueIconv cd;
  if (!code_page.is_utf8) cd = OpenIconv("UTF-16LE", code_page.name.c_str());
  for (size_t at = 0; at < text.size();) {
    starts.push_back(at);
    if (cd) {
      at += CharacterBytes(static_cast<iconv_t>(cd.get()), text.substr(at));
    } else {
      NextUtf8(text, at);  // a malformed sequence advances by one byte
    }
  }
  return starts;
}

size_t FindLastCharacter(std::string_view text, char c) {
  // In UTF-8 a byte below 0x80 is always a character of its own.
  if (ProcessCodePage().is_utf8) return text.rfind(c);
  const std::vector<size_t> starts = CharacterStarts(text);
  for (auto at = starts.rbegin(); at != starts.rend(); ++at) {
    const size_t next = at == starts.rbegin() ? text.size() : *std::prev(at);
    if (next - *at == 1 && text[*at] == c) return *at;
  }
  return std::string_view::npos;
}

std::optional<std::string> SystemPath(std::string_view path) {
  const CodePage code_page = ProcessCodePage();
  std::string out;
  if (code_page.is_utf8) {
    out.assign(path);
  } else {
    UniqueIconv cd = OpenIconv("UTF-8", code_page.name.c_str());
    if (!cd) return std::nullopt;
    char* in_ptr = const_cast<char*>(path.data());
    size_t in_left = path.size();
    std::string scratch(4 * path.size() + 16, '\0');
    while (in_left > 0) {
      char* out_ptr = scratch.data();
      size_t out_left = scratch.size();
      const size_t result =
          iconv(static_cast<iconv_t>(cd.get()), &in_ptr, &in_left, &out_ptr, &out_left);
      const int error = errno;
      // An invalid or truncated sequence: the path names nothing that can be reached.
      if (result == static_cast<size_t>(-1) && error != E2BIG) return std::nullopt;
      out.append(scratch.data(), static_cast<size_t>(out_ptr - scratch.data()));
    }
  }
  // Checked in UTF-8, where these bytes are always the characters themselves. Under another code
  // page a '?' may stand for a character the caller's text lost on its way into the code page, so
  // such a path could name another file than the caller meant: it names none. Under UTF-8 nothing
  // is lost that way, and a file whose name holds '?' stays reachable.
  if (out.empty() || out.find('\0') != std::string::npos ||
      (!code_page.is_utf8 && out.find('?') != std::string::npos)) {
    return std::nullopt;
  }
  return out;
}

std::string FromSystemPath(std::string_view path) {
  if (ProcessCodePage().is_utf8) return std::string(path);
  return Utf8ToNarrow(path);
}

}  // namespace kelvadrome
