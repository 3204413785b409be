// The language a person reads the component's dialogs in. The dialog models hold the component's
// own Traditional Chinese texts; a host that shows them to a person (the terminal, the graphical
// helper) passes each text through TranslateDialogText, which gives it in the user's language:
// Chinese under a Chinese locale (zh_*), else the language of a catalogue built into the library
// for the locale's language, else English. Scripted hosts and the error texts callers compare
// (GetErrorMsg) never change with the locale.
//
// The catalogues are gettext message catalogues (po/<language>.po, compiled with msgfmt and built
// into the library): a msgid is a text as the component has it, in UTF-8. An entry whose msgid
// holds "%s" matches a text made of its fixed parts with anything in place of each "%s", and the
// pieces found are put in place of the msgstr's "%s" in order: texts that carry a path or a name
// translate as a whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelvadrome {

// MessageCatalogue: one compiled gettext catalogue (.mo) read with a bounds-checked cursor.
class MessageCatalogue {
 public:
  MessageCatalogue() = default;  // empty; Parse fills one
  // Parse reads a .mo image (either byte order, format revision 0). Returns null for anything
  // malformed: a bad magic number or revision, a table or string outside the image, a string
  // without its NUL. Entries with plural forms or a context are kept but match only their exact
  // msgid. The image may be released after the call.
  static std::unique_ptr<MessageCatalogue> Parse(std::span<const uint8_t> image);

  // Translate returns the translation of |utf8|, or nullopt when the catalogue has none (an entry
  // with an empty msgstr counts as none). A pattern's holes that are texts of the catalogue
  // themselves are translated too.
  std::optional<std::string> Translate(std::string_view utf8) const;

  size_t size() const { return exact_.size() + patterns_.size(); }

 private:
  const std::string* FindExact(std::string_view utf8) const;

  struct Entry {
    std::string original;
    std::string translation;
  };
  struct Pattern {
    std::vector<std::string> pieces;  // the fixed parts around each "%s"; one more than holes
    std::vector<std::string> translation_pieces;
  };

  std::vector<Entry> exact_;  // sorted by original
  std::vector<Pattern> patterns_;
};

// DialogLanguageOf returns the language code the dialogs use for a locale name as the environment
// gives it ("zh_TW.UTF-8", "en_GB", "C", ""): "zh" for Chinese, else the locale's language when a
// catalogue for it is built in, else "en".
std::string DialogLanguageOf(std::string_view locale);

// UserDialogLanguage is DialogLanguageOf the first of LC_ALL, LC_MESSAGES and LANG that is set
// and not empty (read at each call: tests change them).
std::string UserDialogLanguage();

// TranslateDialogText returns |text| (narrow text in the process code page) in the user's
// language, in the process code page; |text| itself under Chinese or when no translation exists.
std::string TranslateDialogText(std::string_view text);

// TranslateDialogUtf8 is TranslateDialogText for a text in UTF-8 (the component's own literals),
// giving UTF-8.
std::string TranslateDialogUtf8(std::string_view utf8);

// BuiltInCatalogue returns the catalogue built in for |language|, or null.
const MessageCatalogue* BuiltInCatalogue(std::string_view language);

}  // namespace kelvadrome
