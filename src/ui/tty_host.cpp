#include "ui/tty_host.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/secrets.h"
#include "platform/text.h"

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

std::string EditFlags(const DialogEdit& edit) {
  std::string flags;
  if (edit.password) flags += " [password]";
  if (edit.read_only) flags += " [read-only]";
  if (!edit.enabled) flags += " [disabled]";
  if (edit.limit != 0) flags += " [at most " + std::to_string(edit.limit) + " characters]";
  return flags;
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
      if (!got_any) return ReadStatus::kEnd;
      break;
    }
    got_any = true;
    if (c == '\n') break;
    if (line->size() < kMaxLine) line->push_back(c);
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return ReadStatus::kLine;
}

TtyHost::ReadStatus TtyHost::ReadSecretLine(const std::string& prompt, std::string* line) const {
  // Echo goes off before the prompt appears, so nothing typed in answer to it is echoed.
  EchoOff quiet(in_fd_);
  Print(prompt);
  std::string secret;
  secret.reserve(kMaxSecret);
  ReadStatus status = ReadStatus::kEnd;
  // Kept to the reserved size, so the buffer never grows and leaves no copy behind.
  for (;;) {
    char c = 0;
    const ssize_t got = ::read(in_fd_, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    status = ReadStatus::kLine;
    if (c == '\n') break;
    if (secret.size() < kMaxSecret) secret.push_back(c);
  }
  if (!secret.empty() && secret.back() == '\r') secret.pop_back();
  SecureWipe(*line);
  *line = secret;
  SecureWipe(secret.data(), secret.capacity());
  return status;
}

void TtyHost::PrintDialog(const DialogModel& model) const {
  std::string text =
      "\n== " + Displayable(model.caption()) + " ==  (dialog " + Displayable(model.name()) + ")\n";
  for (const std::string& line : model.statics()) text += "  " + Displayable(line, "  ") + "\n";
  for (const DialogEdit& edit : model.edits()) {
    const std::string label = "  edit " + std::to_string(edit.id) + EditFlags(edit) + ": ";
    const std::string value = edit.password
                                  ? std::string(CountCharacters(edit.text), '*')
                                  : Displayable(edit.text, std::string(label.size(), ' '));
    text += label + value + "\n";
  }
  if (const DialogList* list = model.list()) {
    text += "  list " + std::to_string(list->id) + ":";
    for (size_t column = 0; column < list->columns.size(); ++column) {
      text += (column == 0 ? " " : " | ") + Displayable(list->columns[column]);
    }
    text += "\n";
    for (size_t row = 0; row < list->rows.size(); ++row) {
      text += static_cast<int>(row) == list->selected ? "  * " : "    ";
      text += std::to_string(row) + ":";
      for (size_t column = 0; column < list->rows[row].size(); ++column) {
        text += (column == 0 ? " " : " | ") + Displayable(list->rows[row][column]);
      }
      text += "\n";
    }
  }
  if (!model.buttons().empty()) {
    text += "  buttons:";
    for (const DialogButton& button : model.buttons()) {
      text += " [" + std::to_string(button.id) + " " + Displayable(button.label) +
              (button.enabled ? "]" : " (disabled)]");
    }
    text += "\n";
  }
  text +=
      "Commands: set <id> <text> (a password: set <id>), select <row>, click <id>, cancel; an "
      "empty line shows the dialog again.\n";
  Print(text);
}

PickResult TtyHost::AskPath(std::string_view picker, const std::string& title,
                            const std::string& details, const char* prompt) {
  log_.LogPickerShow(picker, title);
  Print("\n== " + Displayable(title) + " ==\n" + details + prompt);
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
  if (!labels.empty()) details += "  file types: " + labels + "\n";
  if (!request.initial_name.empty()) {
    details += "  suggested name: " + Displayable(request.initial_name) + "\n";
  }
  return AskPath(kOpenFileDialogName, request.title, details,
                 "File to open (an empty line cancels): ");
}

PickResult TtyHost::BrowseFolder(const std::string& title) {
  return AskPath(kBrowseFolderDialogName, title, {}, "Folder (an empty line cancels): ");
}

DialogClose TtyHost::RunCommand(DialogModel& model, std::string& line) {
  if (line.find_first_not_of(" \t") == std::string::npos) {
    PrintDialog(model);
    return DialogClose::kStay;
  }
  std::string reason;
  std::optional<DialogAction> action = ParseDialogAction(line, &reason);
  if (!action) {
    if (!reason.empty()) Print("? " + reason + "\n");
    return DialogClose::kStay;
  }
  DialogInput input = DialogInput::kApplied;
  DialogClose close = DialogClose::kStay;
  switch (action->kind) {
    case DialogAction::Kind::kSet: {
      const DialogEdit* edit = model.FindEdit(action->id);
      if (edit != nullptr && edit->password) {
        if (!action->text.empty()) {
          Print("? type \"set " + std::to_string(action->id) +
                "\" alone: the password is then asked without echo\n");
          SecureWipe(action->text);
          return DialogClose::kStay;
        }
        if (!edit->enabled || edit->read_only) {
          input = DialogInput::kDisabled;
          break;
        }
        std::string secret;
        if (ReadSecretLine("Password for edit " + std::to_string(action->id) + ": ", &secret) ==
            ReadStatus::kEnd) {
          Print("\n");
          model.Cancel();
          return DialogClose::kCancel;
        }
        input = model.Type(action->id, secret);
        SecureWipe(secret);
      } else {
        input = model.Type(action->id, action->text);
      }
      SecureWipe(action->text);
      break;
    }
    case DialogAction::Kind::kSelect:
      input = model.Select(action->id);
      break;
    case DialogAction::Kind::kClick: {
      const DialogModel::ClickResult clicked = model.Click(action->id, *this);
      input = clicked.input;
      close = clicked.close;
      break;
    }
    case DialogAction::Kind::kCancel:
      model.Cancel();
      return DialogClose::kCancel;
    case DialogAction::Kind::kExpect:
      Print("? expect is for scripts\n");
      return DialogClose::kStay;
    case DialogAction::Kind::kChoose:
      Print("? choose answers a file or folder prompt; none is open\n");
      return DialogClose::kStay;
  }
  if (input != DialogInput::kApplied) {
    Print(std::string("? ignored: ") + DialogInputName(input) + "\n");
  } else if (close == DialogClose::kStay) {
    PrintDialog(model);
  }
  return close;
}

DialogOutcome TtyHost::ShowModal(DialogModel& model) {
  model.Initialize(*this);
  log_.LogShow(model);
  PrintDialog(model);
  DialogClose close = DialogClose::kStay;
  std::string line;
  while (close == DialogClose::kStay) {
    Print("> ");
    if (ReadLine(&line) == ReadStatus::kEnd) {
      Print("\n");
      model.Cancel();
      close = DialogClose::kCancel;
      break;
    }
    close = RunCommand(model, line);
    SecureWipe(line);
  }
  const bool ok = close == DialogClose::kOk;
  log_.LogClose(model, ok);
  Print(ok ? "(" + Displayable(model.caption()) + ": ok)\n"
           : "(" + Displayable(model.caption()) + ": cancelled)\n");
  return ok ? DialogOutcome::kOk : DialogOutcome::kCancel;
}

void TtyHost::ShowMessage(const std::string& caption, const std::string& text) {
  log_.LogMessage(caption, text);
  Print("\n[" + Displayable(caption) + "] " + Displayable(text, "  ") +
        "\nPress Enter to continue. ");
  std::string ignored;
  ReadLine(&ignored);
}

void TtyHost::ViewFile(const std::string& path) {
  log_.LogView(path);
  Print("Opening " + Displayable(path) + " in the desktop's viewer.\n");
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
