#include "ui/dialog_script.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/handles.h"
#include "platform/secrets.h"
#include "platform/text.h"

namespace kelvadrome {

namespace {

constexpr size_t kMaxDialogNameLength = 64;
constexpr int kMaxControlId = 65535;

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

bool IsNameCharacter(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
         c == '_' || c == '-';
}

// A bounds-checked reader over one line. A read that fails leaves the position unchanged.
class LineCursor {
 public:
  explicit LineCursor(std::string_view text) : text_(text) {}

  bool AtEnd() const { return at_ == text_.size(); }
  std::string_view Rest() const { return text_.substr(at_); }

  void SkipBlanks() {
    while (at_ < text_.size() && IsBlank(text_[at_])) ++at_;
  }

  // ReadBlank consumes exactly one blank; false (nothing consumed) when there is none.
  bool ReadBlank() {
    if (AtEnd() || !IsBlank(text_[at_])) return false;
    ++at_;
    return true;
  }

  // ReadWord consumes characters up to the next blank or the end.
  std::string_view ReadWord() {
    const size_t start = at_;
    while (at_ < text_.size() && !IsBlank(text_[at_])) ++at_;
    return text_.substr(start, at_ - start);
  }

  // ReadNumber consumes a decimal number no greater than |max|. On failure nothing is consumed.
  bool ReadNumber(int max, int* value) {
    size_t end = at_;
    long long number = 0;
    while (end < text_.size() && text_[end] >= '0' && text_[end] <= '9') {
      number = number * 10 + (text_[end] - '0');
      if (number > max) return false;
      ++end;
    }
    if (end == at_) return false;
    at_ = end;
    *value = static_cast<int>(number);
    return true;
  }

 private:
  std::string_view text_;
  size_t at_ = 0;
};

// A keyword as shown in an error: escaped and cut, since it comes from outside.
std::string Quoted(std::string_view word) {
  constexpr size_t kShown = 32;
  std::string shown = EscapeLogText(word.substr(0, kShown));
  if (word.size() > kShown) shown += "...";
  return "\"" + shown + "\"";
}

std::optional<DialogAction> Fail(std::string* reason, std::string text) {
  if (reason != nullptr) *reason = std::move(text);
  return std::nullopt;
}

// The argument of expect, select, click, check, uncheck and cancel must be followed by nothing but
// blanks.
bool OnlyBlanksLeft(LineCursor& cursor) {
  cursor.SkipBlanks();
  return cursor.AtEnd();
}

std::optional<DialogAction> ParseNumberAction(DialogAction::Kind kind, std::string_view keyword,
                                              int max, LineCursor& cursor, std::string* reason) {
  DialogAction action;
  action.kind = kind;
  cursor.SkipBlanks();
  if (!cursor.ReadNumber(max, &action.id)) {
    return Fail(reason, std::string(keyword) + " needs a number from 0 to " + std::to_string(max));
  }
  if (!OnlyBlanksLeft(cursor)) return Fail(reason, "text after the number of " + Quoted(keyword));
  return action;
}

}  // namespace

DialogScript::~DialogScript() {
  for (DialogAction& action : actions) SecureWipe(action.text);
}

DialogScript& DialogScript::operator=(DialogScript&& other) noexcept {
  if (this != &other) {
    for (DialogAction& action : actions) SecureWipe(action.text);
    actions = std::move(other.actions);
    errors = std::move(other.errors);
  }
  return *this;
}

std::optional<DialogAction> ParseDialogAction(std::string_view line, std::string* reason) {
  if (reason != nullptr) reason->clear();
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.find('\0') != std::string_view::npos) return Fail(reason, "NUL byte in the line");

  LineCursor cursor(line);
  cursor.SkipBlanks();
  if (cursor.AtEnd() || cursor.Rest().front() == '#') return std::nullopt;

  const std::string_view keyword = cursor.ReadWord();
  if (keyword == "expect") {
    cursor.SkipBlanks();
    const std::string_view name = cursor.ReadWord();
    if (name.empty()) return Fail(reason, "expect needs a dialog name");
    if (name.size() > kMaxDialogNameLength) return Fail(reason, "dialog name too long");
    for (char c : name) {
      if (!IsNameCharacter(c)) return Fail(reason, "bad dialog name " + Quoted(name));
    }
    if (!OnlyBlanksLeft(cursor)) return Fail(reason, "text after the dialog name");
    DialogAction action;
    action.kind = DialogAction::Kind::kExpect;
    action.text = std::string(name);
    return action;
  }
  if (keyword == "set") {
    DialogAction action;
    action.kind = DialogAction::Kind::kSet;
    cursor.SkipBlanks();
    if (!cursor.ReadNumber(kMaxControlId, &action.id)) {
      return Fail(reason, "set needs a control id from 0 to " + std::to_string(kMaxControlId));
    }
    // The text starts after exactly one blank, so leading blanks of a text are kept.
    if (!cursor.AtEnd() && !cursor.ReadBlank()) return Fail(reason, "no blank after the id of set");
    action.text = std::string(cursor.Rest());
    return action;
  }
  if (keyword == "select") {
    return ParseNumberAction(DialogAction::Kind::kSelect, keyword, std::numeric_limits<int>::max(),
                             cursor, reason);
  }
  if (keyword == "click") {
    return ParseNumberAction(DialogAction::Kind::kClick, keyword, kMaxControlId, cursor, reason);
  }
  if (keyword == "check" || keyword == "uncheck") {
    return ParseNumberAction(
        keyword == "check" ? DialogAction::Kind::kCheck : DialogAction::Kind::kUncheck, keyword,
        kMaxControlId, cursor, reason);
  }
  if (keyword == "choose") {
    cursor.SkipBlanks();
    if (cursor.AtEnd()) return Fail(reason, "choose needs a path");
    DialogAction action;
    action.kind = DialogAction::Kind::kChoose;
    action.text = std::string(cursor.Rest());
    return action;
  }
  if (keyword == "cancel") {
    if (!OnlyBlanksLeft(cursor)) return Fail(reason, "text after cancel");
    DialogAction action;
    action.kind = DialogAction::Kind::kCancel;
    return action;
  }
  return Fail(reason, "unknown action " + Quoted(keyword));
}

DialogScript ParseDialogScript(std::string_view text) {
  DialogScript script;
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    text.remove_prefix(kByteOrderMark.size());
  }
  size_t line_number = 0;
  while (!text.empty()) {
    ++line_number;
    const size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);

    std::string reason;
    std::optional<DialogAction> action = ParseDialogAction(line, &reason);
    if (action) {
      action->line = line_number;
      script.actions.push_back(std::move(*action));
    } else if (!reason.empty()) {
      script.errors.push_back({line_number, std::move(reason)});
    }
  }
  return script;
}

bool ReadDialogScriptFile(const std::string& path, DialogScript* script, std::string* reason) {
  *script = DialogScript();
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid()) {
    *reason = std::string("cannot open: ") + std::strerror(errno);
    return false;
  }
  std::string content;
  char chunk[4096];
  bool ok = true;
  for (;;) {
    const ssize_t got = ::read(fd.get(), chunk, sizeof(chunk));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *reason = std::string("cannot read: ") + std::strerror(errno);
      ok = false;
      break;
    }
    if (got == 0) break;
    if (content.size() + static_cast<size_t>(got) > kMaxDialogScriptBytes) {
      *reason = "larger than " + std::to_string(kMaxDialogScriptBytes) + " bytes";
      ok = false;
      break;
    }
    content.append(chunk, static_cast<size_t>(got));
  }
  if (ok) *script = ParseDialogScript(content);
  SecureWipe(chunk, sizeof(chunk));
  SecureWipe(content);
  return ok;
}

std::string DialogActionText(const DialogAction& action) {
  switch (action.kind) {
    case DialogAction::Kind::kExpect:
      return "expect " + action.text;
    case DialogAction::Kind::kSet:
      return "set " + std::to_string(action.id);
    case DialogAction::Kind::kSelect:
      return "select " + std::to_string(action.id);
    case DialogAction::Kind::kClick:
      return "click " + std::to_string(action.id);
    case DialogAction::Kind::kCheck:
      return "check " + std::to_string(action.id);
    case DialogAction::Kind::kUncheck:
      return "uncheck " + std::to_string(action.id);
    case DialogAction::Kind::kChoose:
      return "choose " + action.text;
    case DialogAction::Kind::kCancel:
      return "cancel";
  }
  return "?";
}

std::string EscapeLogText(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  // Only a '\\' that is a character of its own is doubled: in a double-byte code page (950) it can
  // be the second byte of a character (許 is B3 5C), which is written as it is. Every other byte
  // escaped here is below 0x20 or 0x7F and never part of a character.
  std::vector<bool> backslash(text.size(), false);
  if (text.find('\\') != std::string_view::npos) {
    const std::vector<size_t> starts = CharacterStarts(text);
    for (size_t i = 0; i < starts.size(); ++i) {
      const size_t end = i + 1 < starts.size() ? starts[i + 1] : text.size();
      if (end - starts[i] == 1 && text[starts[i]] == '\\') backslash[starts[i]] = true;
    }
  }
  std::string escaped;
  escaped.reserve(text.size());
  for (size_t at = 0; at < text.size(); ++at) {
    const char c = text[at];
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\\':
        escaped += backslash[at] ? "\\\\" : "\\";
        break;
      case '\r':
        escaped += "\\r";
        break;
      case '\n':
        escaped += "\\n";
        break;
      case '\t':
        escaped += "\\t";
        break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          escaped += "\\x";
          escaped += kHex[byte >> 4];
          escaped += kHex[byte & 0x0F];
        } else {
          escaped += c;
        }
    }
  }
  return escaped;
}

void DialogLog::Write(std::string_view line) const {
  if (path_.empty()) return;
  UniqueFd fd(::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600));
  if (!fd.valid()) return;
  std::string record(line);
  record += '\n';
  // One write() carries the whole line, so lines of processes sharing the file do not interleave;
  // the loop only finishes a write that a signal or a full disk cut short.
  size_t done = 0;
  while (done < record.size()) {
    const ssize_t wrote = ::write(fd.get(), record.data() + done, record.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) break;
    done += static_cast<size_t>(wrote);
  }
}

namespace {

std::string FieldText(const DialogEdit& edit) {
  if (edit.password) return std::string(CountCharacters(edit.text), '*');
  return EscapeLogText(edit.text);
}

}  // namespace

void DialogLog::LogShow(const DialogModel& model) const {
  if (!enabled()) return;
  Write("show " + EscapeLogText(model.name()) + " " + EscapeLogText(model.caption()));
  for (const DialogEdit& edit : model.edits()) {
    Write("field " + std::to_string(edit.id) + " " + FieldText(edit));
    Write("enabled " + std::to_string(edit.id) + (edit.enabled ? " 1" : " 0"));
  }
  for (const DialogButton& button : model.buttons()) {
    Write("enabled " + std::to_string(button.id) + (button.enabled ? " 1" : " 0"));
  }
  for (const DialogCheck& check : model.checks()) {
    Write("checked " + std::to_string(check.id) + (check.checked ? " 1" : " 0"));
    Write("enabled " + std::to_string(check.id) + (check.enabled ? " 1" : " 0"));
  }
  if (const DialogList* list = model.list()) {
    for (size_t i = 0; i < list->rows.size(); ++i) {
      std::string line = "row " + std::to_string(i) + " ";
      for (size_t column = 0; column < list->rows[i].size(); ++column) {
        if (column > 0) line += " | ";
        line += EscapeLogText(list->rows[i][column]);
      }
      Write(line);
    }
  }
}

void DialogLog::LogClose(const DialogModel& model, bool ok) const {
  if (!enabled()) return;
  Write("close " + EscapeLogText(model.name()) + (ok ? " ok" : " cancel"));
  for (const DialogEdit& edit : model.edits()) {
    Write("field " + std::to_string(edit.id) + " " + FieldText(edit));
  }
  for (const DialogCheck& check : model.checks()) {
    Write("checked " + std::to_string(check.id) + (check.checked ? " 1" : " 0"));
  }
}

void DialogLog::LogPickerShow(std::string_view picker, std::string_view title) const {
  if (!enabled()) return;
  Write("show " + std::string(picker) + " " + EscapeLogText(title));
}

void DialogLog::LogPickerClose(std::string_view picker, bool ok) const {
  if (!enabled()) return;
  Write("close " + std::string(picker) + (ok ? " ok" : " cancel"));
}

void DialogLog::LogMessage(std::string_view caption, std::string_view text) const {
  if (!enabled()) return;
  Write("message " + EscapeLogText(caption) + " | " + EscapeLogText(text));
}

void DialogLog::LogView(std::string_view path) const {
  if (!enabled()) return;
  Write("view " + EscapeLogText(path));
}

void DialogLog::LogMismatch(std::string_view expected, std::string_view actual) const {
  if (!enabled()) return;
  Write("mismatch expected " + EscapeLogText(expected) + " got " + EscapeLogText(actual));
}

void DialogLog::LogIgnored(const DialogAction& action, std::string_view why) const {
  if (!enabled()) return;
  Write("ignored line " + std::to_string(action.line) + ": " +
        EscapeLogText(DialogActionText(action)) + " (" + std::string(why) + ")");
}

void DialogLog::LogScriptError(const DialogScriptError& error) const {
  if (!enabled()) return;
  Write("script line " + std::to_string(error.line) + ": " + error.reason);
}

void DialogLog::LogNote(std::string_view note) const {
  if (!enabled()) return;
  Write("script " + std::string(note));
}

std::string DialogLogPathFromEnvironment() {
  const char* path = std::getenv("KELVADROME_DIALOG_LOG");
  return path != nullptr ? std::string(path) : std::string();
}

}  // namespace kelvadrome
