#include "ui/dialog_protocol.h"

#include <algorithm>
#include <utility>

#include "codec/json_value.h"
#include "platform/text.h"

namespace kelvadrome {

namespace {

// DecodeUtf8 reads one well-formed UTF-8 character at the start of |text|: its length (1..4) and
// code point, or 0 when the bytes there are not one (overlong forms, surrogates and code points
// beyond U+10FFFF included).
size_t DecodeUtf8(std::string_view text, char32_t* cp) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) {
    *cp = lead;
    return 1;
  }
  size_t length = 0;
  char32_t value = 0;
  char32_t least = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    value = lead & 0x1F;
    least = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    value = lead & 0x0F;
    least = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    value = lead & 0x07;
    least = 0x10000;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    value = (value << 6) | (byte(i) & 0x3F);
  }
  if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *cp = value;
  return length;
}

// A strict parser of one flat JSON object.
class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  bool Fail(std::string reason) {
    if (reason_.empty()) reason_ = std::move(reason) + " at offset " + std::to_string(pos_);
    return false;
  }
  const std::string& reason() const { return reason_; }

  void SkipSpace() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t')) ++pos_;
  }
  bool AtEnd() const { return pos_ >= text_.size(); }
  char Peek() const { return AtEnd() ? '\0' : text_[pos_]; }
  bool Expect(char c) {
    SkipSpace();
    if (Peek() != c) return Fail(std::string("expected '") + c + "'");
    ++pos_;
    return true;
  }

  bool ParseString(std::string* out) {
    if (Peek() != '"') return Fail("expected a string");
    ++pos_;
    // The text decoded is never longer than its escaped form: reserving that much up front means
    // the string never grows, so no partial copy of a password is left in freed storage.
    size_t end = pos_;
    while (end < text_.size() && text_[end] != '"') end += text_[end] == '\\' ? 2 : 1;
    out->reserve(std::min(end, text_.size()) - pos_);
    for (;;) {
      if (AtEnd()) return Fail("unterminated string");
      const char c = text_[pos_];
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (static_cast<unsigned char>(c) < 0x20) return Fail("control character in a string");
      if (c != '\\') {
        char32_t cp = 0;
        const size_t length = DecodeUtf8(text_.substr(pos_), &cp);
        if (length == 0) return Fail("malformed UTF-8 in a string");
        out->append(text_.substr(pos_, length));
        pos_ += length;
        continue;
      }
      ++pos_;
      if (AtEnd()) return Fail("unterminated escape");
      const char escape = text_[pos_++];
      switch (escape) {
        case '"':
          out->push_back('"');
          break;
        case '\\':
          out->push_back('\\');
          break;
        case '/':
          out->push_back('/');
          break;
        case 'b':
          out->push_back('\b');
          break;
        case 'f':
          out->push_back('\f');
          break;
        case 'n':
          out->push_back('\n');
          break;
        case 'r':
          out->push_back('\r');
          break;
        case 't':
          out->push_back('\t');
          break;
        case 'u': {
          char32_t cp = 0;
          if (!ParseHex4(&cp)) return false;
          if (cp >= 0xDC00 && cp <= 0xDFFF) return Fail("unpaired low surrogate");
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            char32_t low = 0;
            if (Peek() != '\\' || pos_ + 1 >= text_.size() || text_[pos_ + 1] != 'u') {
              return Fail("unpaired high surrogate");
            }
            pos_ += 2;
            if (!ParseHex4(&low)) return false;
            if (low < 0xDC00 || low > 0xDFFF) return Fail("unpaired high surrogate");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          AppendUtf8(*out, cp);
          break;
        }
        default:
          return Fail("unknown escape");
      }
    }
  }

  bool ParseHex4(char32_t* cp) {
    if (text_.size() - pos_ < 4) return Fail("short \\u escape");
    char32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_++];
      value <<= 4;
      if (c >= '0' && c <= '9') {
        value |= static_cast<char32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        value |= static_cast<char32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        value |= static_cast<char32_t>(c - 'A' + 10);
      } else {
        return Fail("bad hex digit in \\u escape");
      }
    }
    *cp = value;
    return true;
  }

  // Integers only: -?(0|[1-9][0-9]*), within 32 bits.
  bool ParseInteger(int64_t* out) {
    const bool negative = Peek() == '-';
    if (negative) ++pos_;
    if (AtEnd() || text_[pos_] < '0' || text_[pos_] > '9') return Fail("expected a digit");
    if (text_[pos_] == '0' && pos_ + 1 < text_.size() && text_[pos_ + 1] >= '0' &&
        text_[pos_ + 1] <= '9') {
      return Fail("leading zero");
    }
    int64_t value = 0;
    while (!AtEnd() && text_[pos_] >= '0' && text_[pos_] <= '9') {
      value = value * 10 + (text_[pos_++] - '0');
      if (value > int64_t{1} << 31) return Fail("integer out of range");
    }
    if (Peek() == '.' || Peek() == 'e' || Peek() == 'E') return Fail("only integers are allowed");
    value = negative ? -value : value;
    if (value > INT32_MAX || value < INT32_MIN) return Fail("integer out of range");
    *out = value;
    return true;
  }

  bool ParseWord(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return Fail("unknown value");
    pos_ += word.size();
    return true;
  }

  bool ParseValue(ProtocolValue* value) {
    SkipSpace();
    const char c = Peek();
    if (c == '"') {
      value->kind = ProtocolValue::Kind::kString;
      return ParseString(&value->text);
    }
    if (c == '-' || (c >= '0' && c <= '9')) {
      value->kind = ProtocolValue::Kind::kInteger;
      return ParseInteger(&value->number);
    }
    if (c == 't' || c == 'f') {
      value->kind = ProtocolValue::Kind::kBool;
      value->flag = c == 't';
      return ParseWord(c == 't' ? "true" : "false");
    }
    if (c == 'n') {
      value->kind = ProtocolValue::Kind::kNull;
      return ParseWord("null");
    }
    if (c == '{' || c == '[') return Fail("nested values are not part of the protocol");
    return Fail("expected a value");
  }

  bool ParseObject(std::vector<ProtocolValue>* values) {
    if (!Expect('{')) return false;
    SkipSpace();
    if (Peek() == '}') {
      ++pos_;
    } else {
      for (;;) {
        if (values->size() == kMaxProtocolFields) return Fail("too many fields");
        ProtocolValue value;
        SkipSpace();
        if (!ParseString(&value.key)) return false;
        for (const ProtocolValue& other : *values) {
          if (other.key == value.key) return Fail("repeated key \"" + value.key + "\"");
        }
        if (!Expect(':')) return false;
        const bool parsed = ParseValue(&value);
        values->push_back(std::move(value));
        if (!parsed) return false;
        SkipSpace();
        if (Peek() == ',') {
          ++pos_;
          continue;
        }
        if (!Expect('}')) return false;
        break;
      }
    }
    SkipSpace();
    if (!AtEnd()) return Fail("text after the object");
    return true;
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
  std::string reason_;
};

}  // namespace

void AppendJsonString(std::string& out, std::string_view utf8) {
  out.push_back('"');
  while (!utf8.empty()) {
    char32_t cp = 0;
    const size_t length = DecodeUtf8(utf8, &cp);
    // U+FFFD for a byte that starts no character.
    AppendJsonCharacter(out, length == 0 ? U'\uFFFD' : cp);
    utf8.remove_prefix(length == 0 ? 1 : length);
  }
  out.push_back('"');
}

ProtocolMessage::~ProtocolMessage() {
  Wipe();
}

ProtocolMessage& ProtocolMessage::operator=(ProtocolMessage&& other) noexcept {
  if (this != &other) {
    Wipe();
    values_ = std::move(other.values_);
  }
  return *this;
}

void ProtocolMessage::Wipe() {
  for (ProtocolValue& value : values_) SecureWipe(value.text.data(), value.text.capacity());
  values_.clear();
}

const ProtocolValue* ProtocolMessage::Find(std::string_view key) const {
  for (const ProtocolValue& value : values_) {
    if (value.key == key) return &value;
  }
  return nullptr;
}

std::string_view ProtocolMessage::type() const {
  const std::string* type = String("type");
  return type != nullptr ? std::string_view(*type) : std::string_view();
}

std::optional<int64_t> ProtocolMessage::Integer(std::string_view key) const {
  const ProtocolValue* value = Find(key);
  if (value == nullptr || value->kind != ProtocolValue::Kind::kInteger) return std::nullopt;
  return value->number;
}

std::optional<bool> ProtocolMessage::Bool(std::string_view key) const {
  const ProtocolValue* value = Find(key);
  if (value == nullptr || value->kind != ProtocolValue::Kind::kBool) return std::nullopt;
  return value->flag;
}

const std::string* ProtocolMessage::String(std::string_view key) const {
  const ProtocolValue* value = Find(key);
  if (value == nullptr || value->kind != ProtocolValue::Kind::kString) return nullptr;
  return &value->text;
}

std::string* ProtocolMessage::MutableString(std::string_view key) {
  return const_cast<std::string*>(String(key));
}

std::optional<ProtocolMessage> ParseProtocolLine(std::string_view line, std::string* reason) {
  std::string ignored;
  std::string& why = reason != nullptr ? *reason : ignored;
  why.clear();
  if (line.size() > kMaxProtocolLine) {
    why = "line longer than " + std::to_string(kMaxProtocolLine) + " bytes";
    return std::nullopt;
  }
  ProtocolMessage message;
  // Reserved so that the values never move: a short text lives inside its value, and a move
  // would leave a copy behind.
  message.values_.reserve(kMaxProtocolFields);
  Parser parser(line);
  if (!parser.ParseObject(&message.values_)) {
    why = parser.reason();
    return std::nullopt;
  }
  if (message.type().empty()) {
    why = "no \"type\" string";
    return std::nullopt;
  }
  return message;
}

ProtocolLineReader::~ProtocolLineReader() {
  SecureWipe(buffer_.data(), buffer_.capacity());
}

void ProtocolLineReader::Feed(std::string_view bytes) {
  if (failed_) return;
  if (start_ > 0 && start_ == buffer_.size()) {
    SecureWipe(buffer_.data(), buffer_.size());
    buffer_.clear();
    start_ = 0;
  }
  // The buffer is about to grow: a reallocation would leave the old storage behind unwiped, so
  // grow it here, wiping the old copy first.
  if (buffer_.size() + bytes.size() > buffer_.capacity()) {
    std::string bigger;
    bigger.reserve(std::max(buffer_.capacity() * 2, buffer_.size() - start_ + bytes.size()));
    bigger.append(buffer_, start_, std::string::npos);
    SecureWipe(buffer_.data(), buffer_.capacity());
    buffer_.swap(bigger);
    start_ = 0;
  }
  buffer_.append(bytes);
}

ProtocolLineReader::Next ProtocolLineReader::NextLine(std::string* line) {
  if (failed_) return Next::kTooLong;
  const size_t end = buffer_.find('\n', start_);
  if (end == std::string::npos) {
    if (buffer_.size() - start_ > kMaxProtocolLine) {
      failed_ = true;
      return Next::kTooLong;
    }
    return Next::kNeedMore;
  }
  size_t length = end - start_;
  if (length > 0 && buffer_[end - 1] == '\r') --length;
  if (length > kMaxProtocolLine) {
    failed_ = true;
    return Next::kTooLong;
  }
  SecureWipe(line->data(), line->capacity());
  line->assign(buffer_, start_, length);
  SecureWipe(buffer_.data() + start_, end + 1 - start_);
  start_ = end + 1;
  return Next::kLine;
}

}  // namespace kelvadrome
