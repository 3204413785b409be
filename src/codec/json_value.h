// A strict, bounded JSON reader and the writing half for the bridges between pages and the
// component: requests arrive from another process and are read as untrusted input.
//
// ParseJson accepts one JSON text (RFC 8259) and nothing around it but blanks. Strings are kept as
// UTF-16 exactly as escaped, lone surrogates included (a page's text reaches a worker character for
// character); raw bytes inside strings must be well-formed UTF-8. Numbers keep whether they were
// written as integers that fit 64 bits. Objects refuse repeated keys. Depth, text length and the
// number of values are bounded (JsonLimits); anything outside the grammar or the bounds is refused
// with a reason and the byte offset where reading stopped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelvadrome {

struct JsonLimits {
  size_t max_text = 1024 * 1024;  // bytes of the whole text
  size_t max_depth = 16;          // nesting of arrays and objects
  size_t max_values = 4096;       // values in the whole text, containers included
};

class JsonValue {
 public:
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };

  JsonValue() = default;
  ~JsonValue();
  JsonValue(JsonValue&&) noexcept = default;
  JsonValue& operator=(JsonValue&&) noexcept = default;
  JsonValue(const JsonValue&) = delete;
  JsonValue& operator=(const JsonValue&) = delete;

  Kind kind() const { return kind_; }
  bool flag() const { return flag_; }
  // integer is set for a number written without fraction or exponent that fits 64 bits.
  std::optional<int64_t> integer() const { return integer_; }
  double number() const { return number_; }
  const std::u16string& text() const { return text_; }
  std::u16string& mutable_text() { return text_; }
  const std::vector<JsonValue>& items() const { return items_; }
  const std::vector<std::pair<std::u16string, JsonValue>>& members() const { return members_; }
  // Find returns the member named |key| of an object, or null (also for other kinds).
  const JsonValue* Find(std::u16string_view key) const;

 private:
  friend class JsonParser;
  Kind kind_ = Kind::kNull;
  bool flag_ = false;
  std::optional<int64_t> integer_;
  double number_ = 0;
  std::u16string text_;  // wiped at destruction: request texts may be passwords
  std::vector<JsonValue> items_;
  std::vector<std::pair<std::u16string, JsonValue>> members_;
};

struct JsonError {
  std::string reason;
  size_t offset = 0;
};

// ParseJson parses |text|; nullopt with |*error| set (when not null) for anything refused.
std::optional<JsonValue> ParseJson(std::string_view text, const JsonLimits& limits = {},
                                   JsonError* error = nullptr);

// AppendJsonCharacter appends one character as it stands inside a JSON string: '"', '\\', the
// control characters and DEL escaped, a lone surrogate as its \uXXXX escape (upper-case hex),
// anything else as UTF-8.
void AppendJsonCharacter(std::string& out, char32_t code);

// AppendJsonText appends |text| as a quoted JSON string in UTF-8. Surrogate pairs become their
// character; a lone surrogate is written as its \uXXXX escape, so the output is valid UTF-8 and a
// reader gets the same UTF-16 back. '"', '\\' and control characters are escaped.
void AppendJsonText(std::string& out, std::u16string_view text);

}  // namespace kelvadrome
