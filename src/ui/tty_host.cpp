#include "ui/tty_host.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/secrets.h"
#include "platform/text.h"
#include "ui/dialog_language.h"

extern char** environ;

namespace kelvadrome {

namespace {

// Longest line kept from the terminal; the rest of a longer line is read and dropped.
constexpr size_t kMaxLine = 64 * 1024;
// Longest password kept; its buffer is reserved up front so that no copy of a partial password is
// left behind in storage freed by a reallocation.
constexpr size_t kMaxSecret = 4096;

// Text for the terminal: control characters other than LF are escaped so that texts handed to a
// dialog cannot move the cursor or rewrite what the user sees; LF starts a new line that begins
// with |indent|.
std::string Displayable(std::string_view text, std::string_view indent = {}) {
  std::string shown;
  shown.reserve(text.size());
  size_t start = 0;
  while (start <= text.size()) {
    const size_t end = text.find('\n', start);
    const std::string_view line =
        text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    for (char c : line) {
      if (c == '\\') {
        shown += c;
      } else {
        shown += EscapeLogText(std::string_view(&c, 1));
      }
    }
    if (end == std::string_view::npos) break;
    shown += '\n';
    shown += indent;
    start = end + 1;
  }
  return shown;
}

// Say gives one of this host's own texts (English) in the user's language.
std::string Say(std::string_view english) {
  return TranslateDialogText(english);
}

// SayWith gives one of this host's own texts with "%s" replaced by |value|, in the user's
// language: the catalogue's entry for |pattern|, else the English text.
std::string SayWith(std::string_view pattern, std::string_view value) {
  std::string english(pattern);
  english.replace(english.find("%s"), 2, value);
  return TranslateDialogText(english);
}

// The columns |text| takes on a terminal: East Asian wide characters take two.
size_t DisplayWidth(std::string_view narrow) {
  const std::u16string wide = ConvertToWide(narrow);
  size_t width = 0;
  for (const char16_t unit : wide) {
    if (unit >= 0xDC00 && unit <= 0xDFFF) continue;  // the second half of a pair
    const bool double_width =
        (unit >= 0x1100 && unit <= 0x115F) || (unit >= 0x2E80 && unit <= 0xA4CF) ||
        (unit >= 0xAC00 && unit <= 0xD7A3) || (unit >= 0xF900 && unit <= 0xFAFF) ||
        (unit >= 0xFE30 && unit <= 0xFE4F) || (unit >= 0xFF00 && unit <= 0xFF60) ||
        (unit >= 0xFFE0 && unit <= 0xFFE6);
    width += double_width ? 2 : 1;
  }
  return width;
}

// Parses a positive decimal number of at most nine digits; nullopt for anything else.
std::optional<int> SmallNumber(std::string_view text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

std::string_view Trimmed(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

// The labels of a picker filter "label|pattern|label|pattern||".
std::string FilterLabels(std::string_view filter) {
  std::string labels;
  size_t field = 0;
  while (!filter.empty()) {
    const size_t bar = filter.find('|');
    const std::string_view part = filter.substr(0, bar);
    if (field % 2 == 0 && !part.empty()) {
      if (!labels.empty()) labels += "; ";
      labels += Displayable(part);
    }
    ++field;
    if (bar == std::string_view::npos) break;
    filter.remove_prefix(bar + 1);
  }
  return labels;
}

// Switches the terminal's echo off for the life of the object (when |fd| is a terminal).
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd_(fd) {
    if (::isatty(fd_) == 0 || ::tcgetattr(fd_, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK);
    quiet.c_lflag |= ECHONL;  // the Enter key still moves to a new line
    active_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
  }
  ~EchoOff() {
    if (active_) ::tcsetattr(fd_, TCSANOW, &saved_);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

}  // namespace

TtyHost::TtyHost(int in_fd, int out_fd, DialogLog log)
    : in_fd_(in_fd), out_fd_(out_fd), log_(std::move(log)), viewer_(LaunchDesktopViewer) {}

std::unique_ptr<TtyHost> TtyHost::OpenTerminal(DialogLog log) {
  UniqueFd terminal(::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY));
  if (!terminal.valid()) return nullptr;
  auto host = std::make_unique<TtyHost>(terminal.get(), terminal.get(), std::move(log));
  host->owned_ = std::move(terminal);
  return host;
}

void TtyHost::Print(const std::string& text) const {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t wrote = ::write(out_fd_, text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return;
    done += static_cast<size_t>(wrote);
  }
}

TtyHost::ReadStatus TtyHost::ReadLine(std::string* line) const {
  line->clear();
  bool got_any = false;
  for (;;) {
    char c = 0;
    const ssize_t got = ::read(in_fd_, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (!got_any) {
        ended_mid_line_ = true;
        return ReadStatus::kEnd;
      }
      break;
    }
    got_any = true;
    if (c == '\n') break;
    if (line->size() < kMaxLine) line->push_back(c);
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return ReadStatus::kLine;
}

TtyHost::ReadStatus TtyHost::ReadSecretLine(const std::string& prompt, SecretString* line) const {
  // Echo goes off before the prompt appears, so nothing typed in answer to it is echoed.
  EchoOff quiet(in_fd_);
  Print(prompt);
  line->Wipe();
  // Reserved up front and kept to that size, so the buffer never grows and leaves no copy behind.
  line->reserve(kMaxSecret);
  ReadStatus status = ReadStatus::kEnd;
  for (;;) {
    char c = 0;
    const ssize_t got = ::read(in_fd_, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    status = ReadStatus::kLine;
    if (c == '\n') break;
    if (line->size() < kMaxSecret) line->push_back(c);
  }
  if (!line->empty() && line->view().back() == '\r') line->pop_back();
  if (status == ReadStatus::kEnd) ended_mid_line_ = true;
  return status;
}

PickResult TtyHost::AskPath(std::string_view picker, const std::string& title,
                            const std::string& details, std::string_view prompt) {
  log_.LogPickerShow(picker, title);
  Print("\n" + Displayable(TranslateDialogText(title)) + "\n" + details + Say(prompt));
  PickResult result{DialogOutcome::kCancel, {}};
  std::string line;
  if (ReadLine(&line) == ReadStatus::kLine && !line.empty()) {
    result = {DialogOutcome::kOk, std::move(line)};
  }
  log_.LogPickerClose(picker, result.outcome == DialogOutcome::kOk);
  return result;
}

PickResult TtyHost::PickOpenFile(const OpenFileRequest& request) {
  std::string details;
  const std::string labels = FilterLabels(request.filter);
  if (!labels.empty()) details += "  " + SayWith("File types: %s", labels) + "\n";
  if (!request.initial_name.empty()) {
    details += "  " + SayWith("Suggested name: %s", Displayable(request.initial_name)) + "\n";
  }
  return AskPath(kOpenFileDialogName, request.title, details,
                 "File to open (an empty line cancels): ");
}

PickResult TtyHost::BrowseFolder(const std::string& title) {
  return AskPath(kBrowseFolderDialogName, title, {}, "Folder (an empty line cancels): ");
}

std::optional<bool> TtyHost::AskYesNo(const std::string& question) {
  std::string line;
  for (;;) {
    Print(question + " [y/n]: ");
    if (ReadLine(&line) == ReadStatus::kEnd) return std::nullopt;
    const std::string_view answer = Trimmed(line);
    if (answer == "y" || answer == "Y" || answer == "yes") return true;
    if (answer.empty() || answer == "n" || answer == "N" || answer == "no") return false;
    Print(Say("Answer y or n.") + "\n");
  }
}

TtyHost::Step TtyHost::AskEdit(DialogModel& model, const LayoutRow& row) {
  const DialogEdit* edit = model.FindEdit(row.edit);
  if (edit == nullptr) return Step::kNext;
  const std::string label =
      row.label >= 0 && static_cast<size_t>(row.label) < model.statics().size()
          ? Displayable(TranslateDialogText(model.statics()[static_cast<size_t>(row.label)]))
          : std::string();
  const std::string asked = label.empty() ? Say("Value") : label;
  const bool typable = edit->enabled && !edit->read_only;
  const DialogButton* beside = row.button != 0 ? model.FindButton(row.button) : nullptr;
  const bool browsable = beside != nullptr && beside->enabled;
  if (!typable && !browsable) {
    // Shown, not asked; a password never is.
    if (!edit->password) {
      const std::string shown = row.translated ? TranslateDialogText(edit->text) : edit->text;
      Print((label.empty() ? "" : label + " ") + Displayable(shown, "  ") + "\n");
    }
    return Step::kNext;
  }
  if (edit->password) {
    SecretString secret;
    if (ReadSecretLine(asked + " ", &secret) == ReadStatus::kEnd) return Step::kCancel;
    model.Type(edit->id, secret.view());
    return Step::kNext;
  }
  const std::string current = edit->text;
  std::string prompt = asked;
  if (!current.empty()) prompt += " [" + Displayable(current) + "]";
  if (!typable) prompt += " " + Say("(Enter keeps it, b browses)");
  Print(prompt + " ");
  std::string line;
  if (ReadLine(&line) == ReadStatus::kEnd) return Step::kCancel;
  if (!typable) {
    if (Trimmed(line) == "b") {
      model.Click(beside->id, *this);
      return Step::kAgain;
    }
    return current.empty() && Trimmed(line).empty() ? Step::kCancel : Step::kNext;
  }
  if (line.empty()) return current.empty() ? Step::kCancel : Step::kNext;
  model.Type(edit->id, line);
  const std::string& taken = model.EditText(edit->id);
  if (taken.size() < line.size()) {
    Print(SayWith("(cut to %s characters)", std::to_string(CountCharacters(taken))) + "\n");
  }
  return Step::kNext;
}

TtyHost::Step TtyHost::AskList(DialogModel& model) {
  const DialogList* list = model.list();
  if (list == nullptr) return Step::kNext;
  std::string text;
  for (size_t column = 0; column < list->columns.size(); ++column) {
    text +=
        (column == 0 ? "     " : " | ") + Displayable(TranslateDialogText(list->columns[column]));
  }
  text += "\n";
  for (size_t row = 0; row < list->rows.size(); ++row) {
    const std::string number = std::to_string(row + 1);
    text += std::string(number.size() < 3 ? 3 - number.size() : 0, ' ') + number + ") ";
    for (size_t column = 0; column < list->rows[row].size(); ++column) {
      text += (column == 0 ? "" : " | ") + Displayable(list->rows[row][column]);
    }
    text += "\n";
  }
  Print(text);
  // The button that acts on the selected row ("View"): any other than OK and Cancel.
  const DialogButton* act = nullptr;
  for (const DialogButton& button : model.buttons()) {
    if (button.id != kDialogIdOk && button.id != kDialogIdCancel && button.enabled) {
      act = &button;
      break;
    }
  }
  const size_t count = list->rows.size();
  std::string line;
  for (;;) {
    Print(SayWith(act != nullptr ? "Choose 1-%s (v N views it): " : "Choose 1-%s: ",
                  std::to_string(count)));
    if (ReadLine(&line) == ReadStatus::kEnd) return Step::kCancel;
    std::string_view answer = Trimmed(line);
    if (answer.empty()) return Step::kCancel;
    const bool view = act != nullptr && answer.size() > 1 && answer[0] == 'v';
    if (view) answer = Trimmed(answer.substr(1));
    const std::optional<int> number = SmallNumber(answer);
    if (!number || *number < 1 || static_cast<size_t>(*number) > count) {
      Print(SayWith("Answer a number from 1 to %s.", std::to_string(count)) + "\n");
      continue;
    }
    model.Select(*number - 1);
    if (!view) return Step::kNext;
    model.Click(act->id, *this);
  }
}

TtyHost::Step TtyHost::AskCheck(DialogModel& model, int id) {
  const DialogCheck* check = model.FindCheck(id);
  if (check == nullptr) return Step::kNext;
  const std::string label = Displayable(TranslateDialogText(check->label));
  if (!check->enabled) {
    Print((check->checked ? "[x] " : "[ ] ") + label + "\n");
    return Step::kNext;
  }
  std::string line;
  for (;;) {
    Print(label + (check->checked ? " [Y/n]: " : " [y/N]: "));
    if (ReadLine(&line) == ReadStatus::kEnd) return Step::kCancel;
    const std::string_view answer = Trimmed(line);
    if (answer.empty()) return Step::kNext;
    const bool yes = answer == "y" || answer == "Y" || answer == "yes";
    if (yes || answer == "n" || answer == "N" || answer == "no") {
      model.SetChecked(id, yes);
      return Step::kNext;
    }
    Print(Say("Answer y or n.") + "\n");
  }
}

TtyHost::Step TtyHost::AskRows(DialogModel& model) {
  std::vector<LayoutRow> rows = LayoutFor(model);
  if (rows.empty()) {
    // No layout of its own: the texts, the fields and the list in their order.
    for (size_t i = 0; i < model.statics().size(); ++i)
      rows.push_back({.label = static_cast<int>(i)});
    for (const DialogEdit& edit : model.edits()) rows.push_back({.edit = edit.id});
    if (model.list() != nullptr) rows.push_back({.list = true});
    for (const DialogCheck& check : model.checks()) rows.push_back({.check = check.id});
  }
  for (const LayoutRow& row : rows) {
    Step step = Step::kNext;
    if (row.list) {
      step = AskList(model);
    } else if (row.check != 0) {
      step = AskCheck(model, row.check);
    } else if (row.edit != 0) {
      step = AskEdit(model, row);
    } else if (row.label >= 0 && static_cast<size_t>(row.label) < model.statics().size()) {
      Print(
          Displayable(TranslateDialogText(model.statics()[static_cast<size_t>(row.label)]), "  ") +
          "\n");
    }
    if (step != Step::kNext) return step;
  }
  return Step::kNext;
}

DialogOutcome TtyHost::ShowModal(DialogModel& model) {
  ended_mid_line_ = false;
  model.Initialize(*this);
  log_.LogShow(model);
  const std::string caption = Displayable(TranslateDialogText(model.caption()));
  // Something to type or to choose: the questions, then OK. Nothing: a yes/no question.
  bool asks = model.list() != nullptr;
  for (const DialogEdit& edit : model.edits()) asks = asks || (edit.enabled && !edit.read_only);
  for (const LayoutRow& row : LayoutFor(model)) asks = asks || row.button != 0;
  for (const DialogCheck& check : model.checks()) asks = asks || check.enabled;
  bool ok = false;
  for (bool done = false; !done;) {
    Print("\n" + caption + "\n" + std::string(std::min<size_t>(DisplayWidth(caption), 60), '-') +
          "\n");
    const Step step = AskRows(model);
    if (step == Step::kCancel) break;
    if (step == Step::kAgain) continue;
    if (!asks) {
      const DialogButton* accept = model.FindButton(kDialogIdOk);
      const std::string question =
          accept != nullptr ? Displayable(TranslateDialogText(accept->label)) : caption;
      const std::optional<bool> yes = AskYesNo(question);
      if (!yes || !*yes) break;
    }
    const DialogButton* accept = model.FindButton(kDialogIdOk);
    if (accept != nullptr && !accept->enabled) {
      Print(Say("Not accepted: check the answers.") + "\n");
      continue;
    }
    const DialogModel::ClickResult clicked = model.Click(kDialogIdOk, *this);
    if (clicked.close == DialogClose::kOk) ok = done = true;
    if (clicked.close == DialogClose::kCancel) done = true;
  }
  if (!ok) {
    model.Cancel();
    Print((ended_mid_line_ ? "\n" : "") + Say("Cancelled.") + "\n");
    ended_mid_line_ = false;
  }
  log_.LogClose(model, ok);
  return ok ? DialogOutcome::kOk : DialogOutcome::kCancel;
}

void TtyHost::ShowMessage(const std::string& caption, const std::string& text) {
  log_.LogMessage(caption, text);
  Print("\n" + Displayable(TranslateDialogText(caption)) + ": " +
        Displayable(TranslateDialogText(text), "  ") + "\n" + Say("Press Enter to continue.") +
        " ");
  std::string ignored;
  ReadLine(&ignored);
}

void TtyHost::ViewFile(const std::string& path) {
  log_.LogView(path);
  Print(SayWith("Opening %s in the desktop's viewer.", Displayable(path)) + "\n");
  if (viewer_) viewer_(path);
}

void LaunchDesktopViewer(const std::string& path) {
  // The viewer gets the file system's spelling of the path; one that has none names no file.
  const std::optional<std::string> system_path = SystemPath(path);
  if (!system_path) return;
  // A shell starts the viewer in the background and exits at once, so the viewer is not our child:
  // nothing waits for it and it leaves no zombie. The path travels as an argument, never as shell
  // text.
  const char* command = "xdg-open \"$1\" </dev/null >/dev/null 2>&1 &";
  const char* argv[] = {"sh", "-c", command, "sh", system_path->c_str(), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
    return;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace kelvadrome
