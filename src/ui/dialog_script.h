// The text protocol of a scripted user: the actions a script (or a person at the terminal) gives,
// and the event log a host writes.
//
// Script syntax, one action per line (lines may end in CRLF; blank lines and lines whose first
// non-blank character is '#' are skipped; leading blanks are allowed; keywords are lower case):
//   expect <dialog>        the next dialog to appear must be <dialog> ("201".."207", "open-file",
//                          "browse-folder", "key-use", or another name of letters, digits, '.',
//                          '_' and '-', at most 64 characters)
//   set <id> <text>        replace the text of edit <id>; the text is everything after the one
//                          space that follows the id, up to the end of the line, and may be empty
//                          ("set 303" and "set 303 " both set an empty text)
//   select <row>           select row <row> (0-based) of the list control
//   click <id>             press button <id>
//   check <id>             tick check box <id>
//   uncheck <id>           clear check box <id>
//   choose <path>          answer a picker; the path runs to the end of the line and is not empty
//   cancel                 cancel the current dialog or picker
// Control ids are decimal numbers from 0 to 65535, rows from 0 to 2^31-1. Nothing may follow the
// argument of expect, select, click, check, uncheck or cancel except blanks. A line that breaks
// these rules is reported with its number and skipped; a NUL byte makes its line unparsable.
//
// Event log (KELVADROME_DIALOG_LOG): one line per event, each appended with one write() to a file
// opened in append mode for that event, so several processes may share the file. Texts are written
// as they are except that '\\' is written "\\\\", CR "\\r", LF "\\n", TAB "\\t" and other control
// characters "\\xHH", so that every event stays on one line. Password edits log one '*' per
// character.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ui/dialog_model.h"

namespace kelvadrome {

struct DialogAction {
  enum class Kind { kExpect, kSet, kSelect, kClick, kCheck, kUncheck, kChoose, kCancel };
  Kind kind = Kind::kCancel;
  int id = 0;        // kSet, kClick, kCheck, kUncheck: control id; kSelect: row
  std::string text;  // kExpect: dialog name; kSet: the text; kChoose: the path
  size_t line = 0;   // 1-based line number in the script (0 when parsed alone)
};

struct DialogScriptError {
  size_t line = 0;
  std::string reason;
};

// A parsed script. Destroying it wipes the texts of its actions (they may hold passwords).
struct DialogScript {
  DialogScript() = default;
  ~DialogScript();
  DialogScript(DialogScript&&) = default;
  DialogScript& operator=(DialogScript&& other) noexcept;  // wipes the texts it replaces
  DialogScript(const DialogScript&) = delete;
  DialogScript& operator=(const DialogScript&) = delete;

  std::vector<DialogAction> actions;
  std::vector<DialogScriptError> errors;  // the skipped lines, in order
};

// Largest script file read; a longer one is refused as a whole.
inline constexpr size_t kMaxDialogScriptBytes = 1 << 20;

// ParseDialogAction parses one line (without its line end; a trailing CR is dropped). Returns the
// action; std::nullopt with |*reason| set (when |reason| is not null) for a line that breaks the
// syntax, and std::nullopt with an empty reason for a blank or comment line.
std::optional<DialogAction> ParseDialogAction(std::string_view line, std::string* reason);

// ParseDialogScript parses a whole script text. Lines are split at LF; a UTF-8 byte-order mark at
// the start is ignored. Never fails: unparsable lines land in |errors|.
DialogScript ParseDialogScript(std::string_view text);

// ReadDialogScriptFile reads and parses |path| once. Returns false with |*reason| set when the file
// cannot be read or is larger than kMaxDialogScriptBytes; |*script| is then empty.
bool ReadDialogScriptFile(const std::string& path, DialogScript* script, std::string* reason);

// DialogActionText renders |action| back into script syntax for logs and messages; the text of a
// set action is left out (it may be a password): "set 303".
std::string DialogActionText(const DialogAction& action);

// EscapeLogText applies the log's escaping (see above) to |text|.
std::string EscapeLogText(std::string_view text);

// DialogLog writes events to the log file named at construction; an empty path writes nothing.
// Failures to open or write the file are ignored: logging never changes what a dialog does.
class DialogLog {
 public:
  DialogLog() = default;
  explicit DialogLog(std::string path) : path_(std::move(path)) {}

  bool enabled() const { return !path_.empty(); }
  const std::string& path() const { return path_; }

  // Write appends |line| and a LF in one write().
  void Write(std::string_view line) const;

  // LogShow writes "show <name> <caption>" and the state of every control: "field <id> <text>" and
  // "enabled <id> 0|1" for each edit, "enabled <id> 0|1" for each button, "checked <id> 0|1" and
  // "enabled <id> 0|1" for each check box, "row <i> <texts joined by " | ">" for each list row.
  void LogShow(const DialogModel& model) const;
  // LogClose writes "close <name> ok|cancel" and the "field" and "checked" lines as they stand.
  void LogClose(const DialogModel& model, bool ok) const;
  void LogPickerShow(std::string_view picker, std::string_view title) const;
  void LogPickerClose(std::string_view picker, bool ok) const;
  void LogMessage(std::string_view caption, std::string_view text) const;
  void LogView(std::string_view path) const;
  // LogMismatch writes "mismatch expected <expected> got <actual>".
  void LogMismatch(std::string_view expected, std::string_view actual) const;
  // LogIgnored writes "ignored line <n>: <action> (<why>)" for an action that did not apply.
  void LogIgnored(const DialogAction& action, std::string_view why) const;
  // LogScriptError writes "script line <n>: <reason>".
  void LogScriptError(const DialogScriptError& error) const;
  // LogNote writes "script <note>" (the script ran out, the file could not be read, ...).
  void LogNote(std::string_view note) const;

 private:
  std::string path_;
};

// DialogLogPathFromEnvironment returns KELVADROME_DIALOG_LOG, or "" when unset.
std::string DialogLogPathFromEnvironment();

}  // namespace kelvadrome
