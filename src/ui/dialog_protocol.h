// The JSON-lines protocol between the gui host and the graphical dialog helper (kelvadrome-dialog);
// docs/dialog-protocol.md describes every message. This file holds the two halves the library
// needs: writing JSON text, and reading the helper's lines strictly.
//
// The helper is another process, so what it writes is read as untrusted input: lines are bounded
// (kMaxProtocolLine), a message is one flat JSON object whose values are strings, integers,
// booleans or null (the helper's events need nothing else), keys are unique, strings are
// well-formed UTF-8 after unescaping, integers fit 32 bits. Anything else is refused with a reason.
//
// Texts travel as UTF-8. Password texts pass through these buffers: ProtocolMessage and
// ProtocolLineReader wipe what they held when they are destroyed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvadrome {

// The protocol version the library speaks; the helper's "ready" message must name it.
inline constexpr int kDialogProtocolVersion = 1;

// Longest line accepted from the helper, line end excluded.
inline constexpr size_t kMaxProtocolLine = 256 * 1024;
// Most fields in one message.
inline constexpr size_t kMaxProtocolFields = 32;

// AppendJsonString appends |utf8| as a quoted JSON string: '"' and '\\' escaped, control
// characters as \n, \t, \r or \u00XX. Bytes that are not well-formed UTF-8 become U+FFFD, so the
// output is always valid JSON.
void AppendJsonString(std::string& out, std::string_view utf8);

struct ProtocolValue {
  enum class Kind { kString, kInteger, kBool, kNull };
  std::string key{};
  Kind kind = Kind::kNull;
  std::string text{};  // kString
  int64_t number = 0;  // kInteger
  bool flag = false;   // kBool
};

// One message from the helper: its fields in the order written. The texts are wiped at
// destruction.
class ProtocolMessage {
 public:
  ProtocolMessage() = default;
  ~ProtocolMessage();
  ProtocolMessage(ProtocolMessage&& other) noexcept = default;
  ProtocolMessage& operator=(ProtocolMessage&& other) noexcept;
  ProtocolMessage(const ProtocolMessage&) = delete;
  ProtocolMessage& operator=(const ProtocolMessage&) = delete;

  const std::vector<ProtocolValue>& values() const { return values_; }
  const ProtocolValue* Find(std::string_view key) const;
  // The message's "type" string; "" when it has none (ParseProtocolLine refuses such a line).
  std::string_view type() const;
  // Typed look-ups: nullopt (or null) when the key is missing or holds another kind.
  std::optional<int64_t> Integer(std::string_view key) const;
  std::optional<bool> Bool(std::string_view key) const;
  const std::string* String(std::string_view key) const;
  // MutableString lets the caller move a secret out (and wipe it) before the message is dropped.
  std::string* MutableString(std::string_view key);

 private:
  friend std::optional<ProtocolMessage> ParseProtocolLine(std::string_view line,
                                                          std::string* reason);
  void Wipe();
  std::vector<ProtocolValue> values_;
};

// ParseProtocolLine parses one line (without its LF). nullopt with |*reason| set (when |reason| is
// not null) for a line that is not one flat JSON object of the kinds above, has no string "type",
// repeats a key, has more than kMaxProtocolFields fields or is longer than kMaxProtocolLine.
std::optional<ProtocolMessage> ParseProtocolLine(std::string_view line, std::string* reason);

// ProtocolLineReader cuts a byte stream into lines. Bytes are fed as they arrive; NextLine hands
// out complete lines (LF removed, a CR before it too). A line longer than kMaxProtocolLine makes
// the reader fail for good: the stream cannot be trusted to be in step any more.
class ProtocolLineReader {
 public:
  ProtocolLineReader() = default;
  ~ProtocolLineReader();
  ProtocolLineReader(const ProtocolLineReader&) = delete;
  ProtocolLineReader& operator=(const ProtocolLineReader&) = delete;

  enum class Next { kLine, kNeedMore, kTooLong };
  void Feed(std::string_view bytes);
  // NextLine replaces |*line| (wiping what it held) with the next complete line.
  Next NextLine(std::string* line);
  bool failed() const { return failed_; }

 private:
  std::string buffer_;
  size_t start_ = 0;  // where the unread part of buffer_ begins
  bool failed_ = false;
};

}  // namespace kelvadrome
