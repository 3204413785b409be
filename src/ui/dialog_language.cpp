#include "ui/dialog_language.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>

#include "platform/byte_reader.h"
#include "platform/text.h"

// The catalogues built into the library, one per po/<language>.po (generated at build time).
namespace kelvadrome::dialog_catalogue_data {
struct EmbeddedCatalogue {
  const char* language;
  const uint8_t* image;
  size_t size;
};
extern const EmbeddedCatalogue kCatalogues[];
extern const size_t kCatalogueCount;
}  // namespace kelvadrome::dialog_catalogue_data

namespace kelvadrome {

namespace {

constexpr uint32_t kMagic = 0x950412de;
constexpr uint32_t kSwappedMagic = 0xde120495;
constexpr std::string_view kHole = "%s";

uint32_t Swapped(uint32_t value) {
  return __builtin_bswap32(value);
}

// A .mo string table: |count| pairs of (length, offset), each naming |length| bytes followed by a
// NUL at |offset| of the image.
bool ReadStrings(std::span<const uint8_t> image, uint32_t table, uint32_t count, bool swap,
                 std::vector<std::string_view>& strings) {
  ByteReader reader(image);
  if (!reader.Skip(table)) return false;
  strings.clear();
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t length = 0;
    uint32_t offset = 0;
    if (!reader.ReadU32(length) || !reader.ReadU32(offset)) return false;
    if (swap) length = Swapped(length), offset = Swapped(offset);
    ByteReader at(image);
    std::span<const uint8_t> bytes;
    uint8_t terminator = 1;
    if (!at.Skip(offset) || !at.ReadBytes(length, bytes) || !at.ReadU8(terminator) ||
        terminator != 0) {
      return false;
    }
    strings.emplace_back(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
  return true;
}

std::vector<std::string> SplitAtHoles(std::string_view text) {
  std::vector<std::string> pieces;
  size_t from = 0;
  for (size_t at = text.find(kHole); at != std::string_view::npos; at = text.find(kHole, from)) {
    pieces.emplace_back(text.substr(from, at - from));
    from = at + kHole.size();
  }
  pieces.emplace_back(text.substr(from));
  return pieces;
}

// Matches |text| against the fixed |pieces| (one more than the holes between them), each hole
// taking the shortest text that lets the rest match from there on; the holes' texts go to |holes|.
bool MatchPieces(std::string_view text, const std::vector<std::string>& pieces,
                 std::vector<std::string_view>& holes) {
  holes.clear();
  const std::string& first = pieces.front();
  const std::string& last = pieces.back();
  if (text.size() < first.size() + last.size() || text.substr(0, first.size()) != first ||
      text.substr(text.size() - last.size()) != last) {
    return false;
  }
  std::string_view rest = text.substr(first.size(), text.size() - first.size() - last.size());
  for (size_t i = 1; i + 1 < pieces.size(); ++i) {
    const size_t at = rest.find(pieces[i]);
    if (at == std::string_view::npos) return false;
    holes.push_back(rest.substr(0, at));
    rest = rest.substr(at + pieces[i].size());
  }
  holes.push_back(rest);
  return true;
}

std::string LanguageCode(std::string_view locale) {
  std::string code;
  for (const char c : locale) {
    if (!std::isalpha(static_cast<unsigned char>(c))) break;
    code += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return code;
}

}  // namespace

std::unique_ptr<MessageCatalogue> MessageCatalogue::Parse(std::span<const uint8_t> image) {
  ByteReader header(image);
  uint32_t magic = 0, revision = 0, count = 0, originals = 0, translations = 0;
  if (!header.ReadU32(magic) || (magic != kMagic && magic != kSwappedMagic) ||
      !header.ReadU32(revision) || !header.ReadU32(count) || !header.ReadU32(originals) ||
      !header.ReadU32(translations)) {
    return nullptr;
  }
  const bool swap = magic == kSwappedMagic;
  if (swap) {
    revision = Swapped(revision), count = Swapped(count);
    originals = Swapped(originals), translations = Swapped(translations);
  }
  // Only the major revision matters; a table cannot hold more entries than the image has room for.
  if ((revision >> 16) != 0 || count > image.size() / 16) return nullptr;
  std::vector<std::string_view> ids;
  std::vector<std::string_view> texts;
  if (!ReadStrings(image, originals, count, swap, ids) ||
      !ReadStrings(image, translations, count, swap, texts)) {
    return nullptr;
  }
  auto catalogue = std::make_unique<MessageCatalogue>();
  for (uint32_t i = 0; i < count; ++i) {
    // The header entry (empty msgid) and untranslated entries carry nothing to show.
    if (ids[i].empty() || texts[i].empty()) continue;
    const bool plain = ids[i].find('\0') == std::string_view::npos &&
                       texts[i].find('\0') == std::string_view::npos;
    if (plain && ids[i].find(kHole) != std::string_view::npos) {
      Pattern pattern{SplitAtHoles(ids[i]), SplitAtHoles(texts[i])};
      // A translation that drops or adds a hole cannot place the pieces: it is left out
      // (msgfmt --check refuses such an entry in the first place).
      if (pattern.pieces.size() == pattern.translation_pieces.size()) {
        catalogue->patterns_.push_back(std::move(pattern));
      }
      continue;
    }
    catalogue->exact_.push_back({std::string(ids[i]), std::string(texts[i])});
  }
  std::sort(catalogue->exact_.begin(), catalogue->exact_.end(),
            [](const Entry& a, const Entry& b) { return a.original < b.original; });
  return catalogue;
}

const std::string* MessageCatalogue::FindExact(std::string_view utf8) const {
  const auto found = std::lower_bound(
      exact_.begin(), exact_.end(), utf8,
      [](const Entry& entry, std::string_view text) { return entry.original < text; });
  return found != exact_.end() && found->original == utf8 ? &found->translation : nullptr;
}

std::optional<std::string> MessageCatalogue::Translate(std::string_view utf8) const {
  if (const std::string* exact = FindExact(utf8)) return *exact;
  // Of the patterns that match, the one with the most fixed text is the most specific.
  const Pattern* best = nullptr;
  size_t best_fixed = 0;
  std::vector<std::string_view> holes, best_holes;
  for (const Pattern& pattern : patterns_) {
    if (!MatchPieces(utf8, pattern.pieces, holes)) continue;
    size_t fixed = 0;
    for (const std::string& piece : pattern.pieces) fixed += piece.size();
    if (best != nullptr && fixed <= best_fixed) continue;
    best = &pattern;
    best_fixed = fixed;
    best_holes = holes;
  }
  if (best == nullptr) return std::nullopt;
  std::string out = best->translation_pieces.front();
  for (size_t i = 0; i < best_holes.size(); ++i) {
    // What fills a hole is usually a path or a name; a text of the catalogue ("none given") is
    // translated too.
    const std::string* filled = FindExact(best_holes[i]);
    out += filled != nullptr ? std::string_view(*filled) : best_holes[i];
    out += best->translation_pieces[i + 1];
  }
  return out;
}

const MessageCatalogue* BuiltInCatalogue(std::string_view language) {
  // Parsed once, on first use; the images are part of the library and never change.
  static const auto catalogues = [] {
    std::map<std::string, std::unique_ptr<MessageCatalogue>, std::less<>> parsed;
    for (size_t i = 0; i < dialog_catalogue_data::kCatalogueCount; ++i) {
      const auto& embedded = dialog_catalogue_data::kCatalogues[i];
      auto catalogue = MessageCatalogue::Parse({embedded.image, embedded.size});
      if (catalogue) parsed[embedded.language] = std::move(catalogue);
    }
    return parsed;
  }();
  const auto found = catalogues.find(language);
  return found != catalogues.end() ? found->second.get() : nullptr;
}

std::string DialogLanguageOf(std::string_view locale) {
  const std::string code = LanguageCode(locale);
  if (code == "zh") return code;
  return BuiltInCatalogue(code) != nullptr ? code : "en";
}

std::string UserDialogLanguage() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return DialogLanguageOf(value);
  }
  return DialogLanguageOf("");
}

std::string TranslateDialogText(std::string_view text) {
  const MessageCatalogue* catalogue = BuiltInCatalogue(UserDialogLanguage());
  if (catalogue == nullptr || text.empty()) return std::string(text);
  const std::optional<std::string> translated = catalogue->Translate(NarrowToUtf8(text));
  return translated ? Utf8ToNarrow(*translated) : std::string(text);
}

std::string TranslateDialogUtf8(std::string_view utf8) {
  const MessageCatalogue* catalogue = BuiltInCatalogue(UserDialogLanguage());
  if (catalogue == nullptr) return std::string(utf8);
  return catalogue->Translate(utf8).value_or(std::string(utf8));
}

}  // namespace kelvadrome
