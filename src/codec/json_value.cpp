#include "codec/json_value.h"

#include <cerrno>
#include <cstdlib>

#include "platform/secrets.h"
#include "platform/text.h"

namespace kelvadrome {

JsonValue::~JsonValue() {
  if (!text_.empty()) SecureWipe(text_.data(), text_.size() * sizeof(char16_t));
}

const JsonValue* JsonValue::Find(std::u16string_view key) const {
  if (kind_ != Kind::kObject) return nullptr;
  for (const auto& [name, value] : members_) {
    if (name == key) return &value;
  }
  return nullptr;
}

class JsonParser {
 public:
  JsonParser(std::string_view text, const JsonLimits& limits) : text_(text), limits_(limits) {}

  std::optional<JsonValue> Run(JsonError* error) {
    std::optional<JsonValue> result;
    if (text_.size() > limits_.max_text) {
      Fail("text too long");
    } else {
      JsonValue value;
      SkipBlanks();
      if (ParseValue(value, 0)) {
        SkipBlanks();
        if (pos_ != text_.size()) {
          Fail("text after the value");
        } else {
          result = std::move(value);
        }
      }
    }
    if (!result && error != nullptr) *error = {reason_, pos_};
    return result;
  }

 private:
  bool Fail(const char* reason) {
    if (reason_.empty()) reason_ = reason;
    return false;
  }
  bool AtEnd() const { return pos_ >= text_.size(); }
  char Peek() const { return AtEnd() ? '\0' : text_[pos_]; }
  void SkipBlanks() {
    while (!AtEnd() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r')) {
      ++pos_;
    }
  }
  bool Literal(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return Fail("unknown literal");
    pos_ += word.size();
    return true;
  }

  bool ParseValue(JsonValue& value, size_t depth) {
    if (++values_ > limits_.max_values) return Fail("too many values");
    switch (Peek()) {
      case 'n':
        value.kind_ = JsonValue::Kind::kNull;
        return Literal("null");
      case 't':
        value.kind_ = JsonValue::Kind::kBool;
        value.flag_ = true;
        return Literal("true");
      case 'f':
        value.kind_ = JsonValue::Kind::kBool;
        return Literal("false");
      case '"':
        value.kind_ = JsonValue::Kind::kString;
        return ParseString(value.text_);
      case '[':
        return ParseArray(value, depth + 1);
      case '{':
        return ParseObject(value, depth + 1);
      default:
        if (Peek() == '-' || (Peek() >= '0' && Peek() <= '9')) return ParseNumber(value);
        return Fail(AtEnd() ? "unexpected end" : "unexpected character");
    }
  }

  bool ParseArray(JsonValue& value, size_t depth) {
    if (depth > limits_.max_depth) return Fail("nested too deeply");
    value.kind_ = JsonValue::Kind::kArray;
    ++pos_;
    SkipBlanks();
    if (Peek() == ']') {
      ++pos_;
      return true;
    }
    for (;;) {
      SkipBlanks();
      value.items_.emplace_back();
      if (!ParseValue(value.items_.back(), depth)) return false;
      SkipBlanks();
      if (Peek() == ',') {
        ++pos_;
        continue;
      }
      if (Peek() == ']') {
        ++pos_;
        return true;
      }
      return Fail("expected , or ]");
    }
  }

  bool ParseObject(JsonValue& value, size_t depth) {
    if (depth > limits_.max_depth) return Fail("nested too deeply");
    value.kind_ = JsonValue::Kind::kObject;
    ++pos_;
    SkipBlanks();
    if (Peek() == '}') {
      ++pos_;
      return true;
    }
    for (;;) {
      SkipBlanks();
      if (Peek() != '"') return Fail("expected a key");
      std::u16string key;
      if (!ParseString(key)) return false;
      if (value.Find(key) != nullptr) return Fail("repeated key");
      SkipBlanks();
      if (Peek() != ':') return Fail("expected :");
      ++pos_;
      SkipBlanks();
      value.members_.emplace_back(std::move(key), JsonValue{});
      if (!ParseValue(value.members_.back().second, depth)) return false;
      SkipBlanks();
      if (Peek() == ',') {
        ++pos_;
        continue;
      }
      if (Peek() == '}') {
        ++pos_;
        return true;
      }
      return Fail("expected , or }");
    }
  }

  bool ParseNumber(JsonValue& value) {
    const size_t start = pos_;
    bool integral = true;
    if (Peek() == '-') ++pos_;
    if (Peek() == '0') {
      ++pos_;
    } else if (Peek() >= '1' && Peek() <= '9') {
      while (Peek() >= '0' && Peek() <= '9') ++pos_;
    } else {
      return Fail("bad number");
    }
    if (Peek() == '.') {
      integral = false;
      ++pos_;
      if (!(Peek() >= '0' && Peek() <= '9')) return Fail("bad number");
      while (Peek() >= '0' && Peek() <= '9') ++pos_;
    }
    if (Peek() == 'e' || Peek() == 'E') {
      integral = false;
      ++pos_;
      if (Peek() == '+' || Peek() == '-') ++pos_;
      if (!(Peek() >= '0' && Peek() <= '9')) return Fail("bad number");
      while (Peek() >= '0' && Peek() <= '9') ++pos_;
    }
    const std::string digits(text_.substr(start, pos_ - start));
    value.kind_ = JsonValue::Kind::kNumber;
    value.number_ = std::strtod(digits.c_str(), nullptr);
    if (integral) {
      errno = 0;
      const long long whole = std::strtoll(digits.c_str(), nullptr, 10);
      if (errno == 0) value.integer_ = whole;
    }
    return true;
  }

  int Hex4() {
    if (text_.size() - pos_ < 4) return -1;
    int result = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_ + i];
      int digit;
      if (c >= '0' && c <= '9') {
        digit = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        digit = c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        digit = c - 'A' + 10;
      } else {
        return -1;
      }
      result = result * 16 + digit;
    }
    pos_ += 4;
    return result;
  }

  // One UTF-8 character of raw string text, well-formed (no overlong forms, no surrogates).
  bool Utf8Character(std::u16string& out) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text_[pos_ + i]); };
    const unsigned char lead = byte(0);
    size_t length;
    char32_t code;
    char32_t minimum;
    if (lead < 0x80) {
      if (lead < 0x20) return Fail("control character in string");
      out.push_back(lead);
      ++pos_;
      return true;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, code = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, code = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, code = lead & 0x07, minimum = 0x10000;
    } else {
      return Fail("malformed UTF-8");
    }
    if (text_.size() - pos_ < length) return Fail("malformed UTF-8");
    for (size_t i = 1; i < length; ++i) {
      if ((byte(i) & 0xC0) != 0x80) return Fail("malformed UTF-8");
      code = (code << 6) | (byte(i) & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return Fail("malformed UTF-8");
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
    pos_ += length;
    return true;
  }

  bool ParseString(std::u16string& out) {
    ++pos_;  // the opening quote
    for (;;) {
      if (AtEnd()) return Fail("unterminated string");
      const char c = Peek();
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c != '\\') {
        if (!Utf8Character(out)) return false;
        continue;
      }
      ++pos_;
      const char escape = Peek();
      ++pos_;
      switch (escape) {
        case '"':
          out.push_back(u'"');
          break;
        case '\\':
          out.push_back(u'\\');
          break;
        case '/':
          out.push_back(u'/');
          break;
        case 'b':
          out.push_back(u'\b');
          break;
        case 'f':
          out.push_back(u'\f');
          break;
        case 'n':
          out.push_back(u'\n');
          break;
        case 'r':
          out.push_back(u'\r');
          break;
        case 't':
          out.push_back(u'\t');
          break;
        case 'u': {
          // Each escape is one UTF-16 code unit: pairs and lone surrogates alike arrive as given.
          const int unit = Hex4();
          if (unit < 0) return Fail("bad \\u escape");
          out.push_back(static_cast<char16_t>(unit));
          break;
        }
        default:
          --pos_;
          return Fail("bad escape");
      }
    }
  }

  std::string_view text_;
  const JsonLimits& limits_;
  size_t pos_ = 0;
  size_t values_ = 0;
  std::string reason_;
};

std::optional<JsonValue> ParseJson(std::string_view text, const JsonLimits& limits,
                                   JsonError* error) {
  return JsonParser(text, limits).Run(error);
}

void AppendJsonCharacter(std::string& out, char32_t code) {
  switch (code) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    default:
      break;
  }
  if (code < 0x20 || code == 0x7F || (code >= 0xD800 && code <= 0xDFFF)) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kHex[(code >> shift) & 0xF]);
    return;
  }
  AppendUtf8(out, code);
}

void AppendJsonText(std::string& out, std::u16string_view text) {
  out.push_back('"');
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t code = text[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    AppendJsonCharacter(out, code);
  }
  out.push_back('"');
}

}  // namespace kelvadrome
