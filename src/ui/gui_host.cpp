#include "ui/gui_host.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <span>
#include <utility>

#include "codec/byte_buffer.h"
#include "codec/cert_info.h"
#include "platform/handles.h"
#include "platform/secrets.h"
#include "platform/text.h"
#include "ui/cert_list_dialog.h"
#include "ui/change_password_dialog.h"
#include "ui/dialog_language.h"
#include "ui/dialog_layout.h"
#include "ui/pfx_dialogs.h"
#include "ui/sign_confirm_dialog.h"
#include "ui/token_choice_dialog.h"
#include "ui/tty_host.h"

extern char** environ;

namespace kelvadrome {

namespace {

// --- The helper process ------------------------------------------------------------------------

int64_t MonotonicMilliseconds() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

class ProcessChannel final : public DialogChannel {
 public:
  ProcessChannel(UniqueFd socket, pid_t pid) : socket_(std::move(socket)), pid_(pid) {}
  ~ProcessChannel() override {
    socket_.reset();
    Reap();
  }
  ProcessChannel(const ProcessChannel&) = delete;
  ProcessChannel& operator=(const ProcessChannel&) = delete;

  bool Send(std::string_view line) override {
    if (gone_) return false;
    std::string framed;
    framed.reserve(line.size() + 1);
    framed.append(line);
    framed.push_back('\n');
    const bool sent = SendAll(framed);
    SecureWipe(framed.data(), framed.capacity());
    return sent;
  }

  bool Receive(std::string* line, int timeout_ms) override {
    const int64_t deadline = timeout_ms < 0 ? -1 : MonotonicMilliseconds() + timeout_ms;
    for (;;) {
      switch (reader_.NextLine(line)) {
        case ProtocolLineReader::Next::kLine:
          return true;
        case ProtocolLineReader::Next::kTooLong:
          gone_ = true;
          return false;
        case ProtocolLineReader::Next::kNeedMore:
          break;
      }
      if (gone_) return false;
      int wait = -1;
      if (deadline >= 0) {
        const int64_t left = deadline - MonotonicMilliseconds();
        if (left <= 0) return false;
        wait = static_cast<int>(left);
      }
      pollfd fd{socket_.get(), POLLIN, 0};
      const int ready = ::poll(&fd, 1, wait);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) {
        gone_ = true;
        return false;
      }
      if (ready == 0) continue;  // the deadline is checked above
      if (!ReadSome()) return false;
    }
  }

 private:
  // ReadSome reads what the socket holds into the line reader; false (and gone) at end of stream
  // or on an error.
  bool ReadSome() {
    char chunk[4096];
    for (;;) {
      const ssize_t got = ::recv(socket_.get(), chunk, sizeof chunk, MSG_DONTWAIT);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
      if (got <= 0) {
        gone_ = true;
        return false;
      }
      reader_.Feed(std::string_view(chunk, static_cast<size_t>(got)));
      SecureWipe(chunk, sizeof chunk);
      return true;
    }
  }

  // SendAll writes |data| without blocking on a full socket: while waiting to write it also reads
  // what the helper writes, so that neither side can wait forever on the other.
  bool SendAll(std::string_view data) {
    size_t done = 0;
    while (done < data.size()) {
      const ssize_t wrote = ::send(socket_.get(), data.data() + done, data.size() - done,
                                   MSG_NOSIGNAL | MSG_DONTWAIT);
      if (wrote > 0) {
        done += static_cast<size_t>(wrote);
        continue;
      }
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        gone_ = true;
        return false;
      }
      pollfd fd{socket_.get(), POLLIN | POLLOUT, 0};
      if (::poll(&fd, 1, -1) < 0 && errno != EINTR) {
        gone_ = true;
        return false;
      }
      if ((fd.revents & POLLIN) != 0 && !ReadSome()) return false;
      if ((fd.revents & (POLLERR | POLLNVAL)) != 0) {
        gone_ = true;
        return false;
      }
    }
    return true;
  }

  // Reap collects the helper's exit. The socket is closed by now, so a working helper exits at
  // once; one that does not within a second is killed.
  void Reap() {
    if (pid_ <= 0) return;
    for (int waited = 0; waited < 1000; waited += 5) {
      const pid_t done = ::waitpid(pid_, nullptr, WNOHANG);
      if (done == pid_ || (done < 0 && errno == ECHILD)) return;
      ::usleep(5000);
    }
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }

  UniqueFd socket_;
  pid_t pid_;
  ProtocolLineReader reader_;
  bool gone_ = false;
};

// Spawn attributes and file actions, destroyed on every path.
class SpawnSetup {
 public:
  SpawnSetup() {
    actions_ok_ = posix_spawn_file_actions_init(&actions_) == 0;
    attributes_ok_ = posix_spawnattr_init(&attributes_) == 0;
  }
  ~SpawnSetup() {
    if (actions_ok_) posix_spawn_file_actions_destroy(&actions_);
    if (attributes_ok_) posix_spawnattr_destroy(&attributes_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  bool ok() const { return actions_ok_ && attributes_ok_; }
  posix_spawn_file_actions_t* actions() { return &actions_; }
  posix_spawnattr_t* attributes() { return &attributes_; }

 private:
  posix_spawn_file_actions_t actions_{};
  posix_spawnattr_t attributes_{};
  bool actions_ok_ = false;
  bool attributes_ok_ = false;
};

bool IsExecutableFile(const std::string& path) {
  return !path.empty() && ::access(path.c_str(), X_OK) == 0;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string ProgramShortName() {
  return program_invocation_short_name != nullptr ? program_invocation_short_name : "";
}

// --- What is sent ------------------------------------------------------------------------------

void AppendKey(std::string& out, std::string_view key) {
  if (out.back() != '{') out.push_back(',');
  AppendJsonString(out, key);
  out.push_back(':');
}

void AppendNarrow(std::string& out, std::string_view key, std::string_view narrow) {
  AppendKey(out, key);
  std::string utf8 = NarrowToUtf8(narrow);
  AppendJsonString(out, utf8);
  SecureWipe(utf8.data(), utf8.capacity());
}

void AppendNumber(std::string& out, std::string_view key, int64_t value) {
  AppendKey(out, key);
  out += std::to_string(value);
}

void AppendBool(std::string& out, std::string_view key, bool value) {
  AppendKey(out, key);
  out += value ? "true" : "false";
}

void AppendNarrowArray(std::string& out, const std::vector<std::string>& texts) {
  out.push_back('[');
  for (size_t i = 0; i < texts.size(); ++i) {
    if (i != 0) out.push_back(',');
    AppendJsonString(out, NarrowToUtf8(texts[i]));
  }
  out.push_back(']');
}

void AppendLayout(std::string& out, const DialogModel& model) {
  AppendKey(out, "layout");
  out.push_back('[');
  bool first = true;
  for (const LayoutRow& row : LayoutFor(model)) {
    if (!first) out.push_back(',');
    first = false;
    out.push_back('{');
    if (row.label >= 0) AppendNumber(out, "label", row.label);
    if (row.edit != 0) AppendNumber(out, "edit", row.edit);
    if (row.button != 0) AppendNumber(out, "button", row.button);
    if (row.lines > 1) AppendNumber(out, "lines", row.lines);
    if (row.list) AppendBool(out, "list", true);
    if (row.check != 0) AppendNumber(out, "check", row.check);
    out.push_back('}');
  }
  out.push_back(']');
}

std::string Hello(const std::string& program, const std::string& origin) {
  std::string line = "{";
  AppendKey(line, "type");
  AppendJsonString(line, "hello");
  AppendNumber(line, "version", kDialogProtocolVersion);
  AppendKey(line, "program");
  AppendJsonString(line, program);
  AppendNarrow(line, "origin", origin);
  line.push_back('}');
  return line;
}

// The certificate viewer's rows for the DER certificate in |bytes|; empty when it is none.
std::vector<std::pair<std::string, std::string>> CertificateFields(const ByteBuffer& bytes) {
  CertInfo info;
  if (bytes.length() < 1 || !info.LoadFromDer(bytes.data(), bytes.length())) return {};
  return {
      {"憑證持有人 (Subject)", NarrowToUtf8(info.GetSubject())},
      {"一般名稱 (Common name)", NarrowToUtf8(info.GetSubjectCN())},
      {"憑證發行者 (Issuer)", NarrowToUtf8(info.GetIssuer())},
      {"憑證序號 (Serial number)", NarrowToUtf8(info.GetSerial())},
      {"起始日 (Valid from)", NarrowToUtf8(info.GetNotBefore(CertDateFormat::kDateTime))},
      {"截止日 (Valid to)", NarrowToUtf8(info.GetNotAfter(CertDateFormat::kDateTime))},
      {"SHA-1 指紋 (Fingerprint)", NarrowToUtf8(info.GetFingerprint())},
  };
}

}  // namespace

// --- Starting and finding the helper -------------------------------------------------------------

std::unique_ptr<DialogChannel> StartDialogHelper(const std::string& path, std::string* reason) {
  std::string ignored;
  std::string& why = reason != nullptr ? *reason : ignored;
  if (path.empty()) {
    why = "no dialog helper was found";
    return nullptr;
  }
  int ends[2] = {-1, -1};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    why = std::string("socketpair: ") + std::strerror(errno);
    return nullptr;
  }
  UniqueFd ours(ends[0]);
  UniqueFd theirs(ends[1]);
  SpawnSetup setup;
  if (!setup.ok()) {
    why = "posix_spawn set-up failed";
    return nullptr;
  }
  // dup2 onto 0 and 1 clears close-on-exec there; every other descriptor of the caller is closed
  // in the helper, whether or not its owner marked it close-on-exec.
  posix_spawn_file_actions_adddup2(setup.actions(), theirs.get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(setup.actions(), theirs.get(), STDOUT_FILENO);
  posix_spawn_file_actions_addclosefrom_np(setup.actions(), STDERR_FILENO + 1);
  // The helper starts with default signal handling whatever the caller ignores or blocks.
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(setup.attributes(), &signals);
  sigaddset(&signals, SIGPIPE);
  sigaddset(&signals, SIGCHLD);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  posix_spawnattr_setsigdefault(setup.attributes(), &signals);
  posix_spawnattr_setflags(setup.attributes(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::string program = path;
  char* argv[] = {program.data(), nullptr};
  pid_t pid = 0;
  const int failed =
      posix_spawn(&pid, path.c_str(), setup.actions(), setup.attributes(), argv, environ);
  if (failed != 0) {
    why = "cannot start " + path + ": " + std::strerror(failed);
    return nullptr;
  }
  return std::make_unique<ProcessChannel>(std::move(ours), pid);
}

std::string FindDialogHelper() {
  const char* configured = std::getenv("KELVADROME_DIALOG_HELPER");
  if (configured != nullptr && *configured != '\0') return configured;
  const std::string name(kDialogHelperName);
  std::vector<std::string> folders;
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&FindDialogHelper), &info) != 0 &&
      info.dli_fname != nullptr) {
    if (char* resolved = ::realpath(info.dli_fname, nullptr)) {
      const std::string folder = FolderOf(resolved);
      std::free(resolved);
      folders.push_back(folder);
      folders.push_back(folder + "/../bin");
    }
  }
  if (char* self = ::realpath("/proc/self/exe", nullptr)) {
    folders.push_back(FolderOf(self));
    std::free(self);
  }
  for (const std::string& folder : folders) {
    const std::string candidate = folder + "/" + name;
    if (IsExecutableFile(candidate)) return candidate;
  }
  const char* path = std::getenv("PATH");
  std::string_view rest = path != nullptr ? path : "";
  while (!rest.empty()) {
    const size_t colon = rest.find(':');
    const std::string_view folder = rest.substr(0, colon);
    if (!folder.empty()) {
      const std::string candidate = std::string(folder) + "/" + name;
      if (IsExecutableFile(candidate)) return candidate;
    }
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  return "";
}

// --- The state message ---------------------------------------------------------------------------

// The texts of a dialog a person reads, in the user's language (ui/dialog_language.h). Field texts
// and list rows are data and go as they are.
struct ShownTexts {
  std::string caption;
  std::vector<std::string> statics;
  std::vector<std::string> labels;   // one per button
  std::vector<std::string> checks;   // one per check box
  std::vector<std::string> columns;  // one per list column
  std::map<int, std::string> edits;  // edits that show one of the component's texts, by id
};

ShownTexts TranslatedTexts(const DialogModel& model) {
  ShownTexts shown;
  shown.caption = TranslateDialogText(model.caption());
  for (const std::string& text : model.statics())
    shown.statics.push_back(TranslateDialogText(text));
  for (const DialogButton& button : model.buttons()) {
    shown.labels.push_back(TranslateDialogText(button.label));
  }
  for (const DialogCheck& check : model.checks()) {
    shown.checks.push_back(TranslateDialogText(check.label));
  }
  if (const DialogList* list = model.list()) {
    for (const std::string& column : list->columns) {
      shown.columns.push_back(TranslateDialogText(column));
    }
  }
  for (const LayoutRow& row : LayoutFor(model)) {
    const DialogEdit* edit = row.translated ? model.FindEdit(row.edit) : nullptr;
    if (edit != nullptr) shown.edits[edit->id] = TranslateDialogText(edit->text);
  }
  return shown;
}

// StateCapacity bounds the length of the state message, so that it can be reserved at once and
// never reallocated with password texts in it: a narrow byte becomes at most 6 bytes of JSON
// (a control character escaped as \u00XX; otherwise at most 3 bytes of UTF-8), and each control,
// cell and layout row adds less than 160 bytes of keys and numbers.
size_t StateCapacity(const DialogModel& model, const ShownTexts& shown) {
  size_t texts = model.name().size() + shown.caption.size();
  size_t items = model.edits().size() + model.buttons().size() + model.checks().size() + 16;
  for (const std::string& text : shown.statics) texts += text.size();
  items += shown.statics.size();
  for (const DialogEdit& edit : model.edits()) texts += edit.text.size();
  for (const std::string& label : shown.labels) texts += label.size();
  for (const std::string& label : shown.checks) texts += label.size();
  for (const auto& [id, text] : shown.edits) texts += text.size();
  if (const DialogList* list = model.list()) {
    for (const std::string& column : shown.columns) texts += column.size();
    items += list->columns.size() * 2;
    for (const auto& row : list->rows) {
      for (const std::string& cell : row) texts += cell.size();
      items += row.size() + 1;
    }
  }
  return 6 * texts + 160 * items + 1024;
}

std::string DialogStateMessage(const DialogModel& model, int64_t ack) {
  const ShownTexts shown = TranslatedTexts(model);
  std::string line;
  line.reserve(StateCapacity(model, shown));
  line.push_back('{');
  AppendKey(line, "type");
  AppendJsonString(line, "dialog");
  AppendNarrow(line, "name", model.name());
  AppendNarrow(line, "caption", shown.caption);
  AppendNumber(line, "ack", ack);
  AppendKey(line, "statics");
  AppendNarrowArray(line, shown.statics);
  AppendKey(line, "edits");
  line.push_back('[');
  for (size_t i = 0; i < model.edits().size(); ++i) {
    const DialogEdit& edit = model.edits()[i];
    line += i == 0 ? "{" : ",{";
    AppendNumber(line, "id", edit.id);
    const auto translated = shown.edits.find(edit.id);
    AppendNarrow(line, "text", translated != shown.edits.end() ? translated->second : edit.text);
    AppendNumber(line, "limit", static_cast<int64_t>(std::min<size_t>(edit.limit, INT32_MAX)));
    AppendBool(line, "enabled", edit.enabled);
    AppendBool(line, "read_only", edit.read_only);
    AppendBool(line, "password", edit.password);
    line.push_back('}');
  }
  line.push_back(']');
  AppendKey(line, "buttons");
  line.push_back('[');
  for (size_t i = 0; i < model.buttons().size(); ++i) {
    const DialogButton& button = model.buttons()[i];
    line += i == 0 ? "{" : ",{";
    AppendNumber(line, "id", button.id);
    AppendNarrow(line, "label", shown.labels[i]);
    AppendBool(line, "enabled", button.enabled);
    AppendBool(line, "default", button.id == kDialogIdOk);
    line.push_back('}');
  }
  line.push_back(']');
  AppendKey(line, "checks");
  line.push_back('[');
  for (size_t i = 0; i < model.checks().size(); ++i) {
    const DialogCheck& check = model.checks()[i];
    line += i == 0 ? "{" : ",{";
    AppendNumber(line, "id", check.id);
    AppendNarrow(line, "label", shown.checks[i]);
    AppendBool(line, "checked", check.checked);
    AppendBool(line, "enabled", check.enabled);
    line.push_back('}');
  }
  line.push_back(']');
  AppendKey(line, "list");
  if (const DialogList* list = model.list()) {
    line.push_back('{');
    AppendNumber(line, "id", list->id);
    AppendKey(line, "columns");
    AppendNarrowArray(line, shown.columns);
    std::span<const int> widths;
    if (model.name() == kCertListDialogName) widths = kCertListColumnWidths;
    if (model.name() == kTokenChoiceDialogName) widths = kTokenChoiceColumnWidths;
    if (!widths.empty()) {
      AppendKey(line, "widths");
      line.push_back('[');
      for (size_t i = 0; i < widths.size(); ++i) {
        if (i != 0) line.push_back(',');
        line += std::to_string(widths[i]);
      }
      line.push_back(']');
    }
    AppendKey(line, "rows");
    line.push_back('[');
    for (size_t i = 0; i < list->rows.size(); ++i) {
      if (i != 0) line.push_back(',');
      AppendNarrowArray(line, list->rows[i]);
    }
    line.push_back(']');
    AppendNumber(line, "selected", list->selected);
    line.push_back('}');
  } else {
    line += "null";
  }
  AppendLayout(line, model);
  line.push_back('}');
  return line;
}

// --- The host ------------------------------------------------------------------------------------

GuiHost::GuiHost(DialogChannelFactory start_helper, DialogLog log)
    : start_helper_(std::move(start_helper)), log_(std::move(log)), program_(ProgramShortName()) {}

std::unique_ptr<GuiHost> GuiHost::ForHelper(std::string helper_path, DialogLog log) {
  DialogLog notes = log;
  return std::make_unique<GuiHost>(
      [path = std::move(helper_path), notes]() -> std::unique_ptr<DialogChannel> {
        std::string reason;
        std::unique_ptr<DialogChannel> channel = StartDialogHelper(path, &reason);
        if (!channel) notes.Write("gui " + EscapeLogText(reason));
        return channel;
      },
      std::move(log));
}

std::unique_ptr<DialogChannel> GuiHost::Open() {
  std::unique_ptr<DialogChannel> channel = start_helper_ ? start_helper_() : nullptr;
  if (!channel) return nullptr;
  std::string line;
  if (!channel->Send(Hello(program_, origin_)) ||
      !channel->Receive(&line, kHelperStartMilliseconds)) {
    log_.Write("gui helper did not answer");
    return nullptr;
  }
  std::string reason;
  std::optional<ProtocolMessage> ready = ParseProtocolLine(line, &reason);
  if (!ready || ready->type() != "ready" || ready->Integer("version") != kDialogProtocolVersion) {
    log_.Write("gui helper greeting refused: " +
               EscapeLogText(ready ? "wrong type or version" : reason));
    return nullptr;
  }
  return channel;
}

bool GuiHost::Receive(DialogChannel& channel, ProtocolMessage* message) {
  std::string line;
  if (!channel.Receive(&line, -1)) {
    log_.Write("gui helper gone");
    return false;
  }
  std::string reason;
  std::optional<ProtocolMessage> parsed = ParseProtocolLine(line, &reason);
  SecureWipe(line.data(), line.capacity());
  if (!parsed) {
    log_.Write("gui protocol error: " + EscapeLogText(reason));
    return false;
  }
  *message = std::move(*parsed);
  return true;
}

void GuiHost::NoteSequence(const ProtocolMessage& message) {
  const std::optional<int64_t> seq = message.Integer("seq");
  if (seq && *seq > acknowledged_) acknowledged_ = *seq;
}

bool GuiHost::Request(const std::string& line, std::string_view answer_type,
                      ProtocolMessage* answer) {
  std::unique_ptr<DialogChannel> own;
  DialogChannel* channel = active_;
  if (channel == nullptr) {
    own = Open();
    channel = own.get();
  }
  if (channel == nullptr || !channel->Send(line)) return false;
  for (;;) {
    if (!Receive(*channel, answer)) return false;
    if (channel == active_) NoteSequence(*answer);
    if (answer->type() == answer_type) return true;
  }
}

PickResult GuiHost::Pick(std::string_view picker, const std::string& title,
                         const std::string& line) {
  log_.LogPickerShow(picker, title);
  PickResult result{DialogOutcome::kCancel, {}};
  ProtocolMessage answer;
  if (!Request(line, "picked", &answer)) {
    result.outcome = DialogOutcome::kUnavailable;
  } else if (answer.Bool("ok") == true && answer.String("path") != nullptr &&
             !answer.String("path")->empty()) {
    result = {DialogOutcome::kOk, FromSystemPath(*answer.String("path"))};
  }
  log_.LogPickerClose(picker, result.outcome == DialogOutcome::kOk);
  return result;
}

PickResult GuiHost::PickOpenFile(const OpenFileRequest& request) {
  std::string line = "{";
  AppendKey(line, "type");
  AppendJsonString(line, kOpenFileDialogName);
  AppendNarrow(line, "title", TranslateDialogText(request.title));
  AppendNarrow(line, "filter", request.filter);
  AppendNarrow(line, "default_extension", request.default_extension);
  AppendNarrow(line, "initial_name", request.initial_name);
  line.push_back('}');
  return Pick(kOpenFileDialogName, request.title, line);
}

PickResult GuiHost::BrowseFolder(const std::string& title) {
  std::string line = "{";
  AppendKey(line, "type");
  AppendJsonString(line, kBrowseFolderDialogName);
  AppendNarrow(line, "title", TranslateDialogText(title));
  line.push_back('}');
  return Pick(kBrowseFolderDialogName, title, line);
}

void GuiHost::ShowMessage(const std::string& caption, const std::string& text) {
  log_.LogMessage(caption, text);
  std::string line = "{";
  AppendKey(line, "type");
  AppendJsonString(line, "message");
  AppendNarrow(line, "caption", TranslateDialogText(caption));
  AppendNarrow(line, "text", TranslateDialogText(text));
  line.push_back('}');
  ProtocolMessage answer;
  Request(line, "acknowledged", &answer);
}

void GuiHost::ViewFile(const std::string& path) {
  log_.LogView(path);
  ByteBuffer bytes;
  std::vector<std::pair<std::string, std::string>> fields;
  if (active_ != nullptr && ReadFileBytes(path, bytes)) fields = CertificateFields(bytes);
  if (fields.empty()) {
    LaunchDesktopViewer(path);
    return;
  }
  std::string line = "{";
  AppendKey(line, "type");
  AppendJsonString(line, "view-certificate");
  AppendKey(line, "title");
  AppendJsonString(line, TranslateDialogUtf8("憑證 (Certificate)"));
  AppendKey(line, "fields");
  line.push_back('[');
  for (size_t i = 0; i < fields.size(); ++i) {
    line += i == 0 ? "[" : ",[";
    AppendJsonString(line, TranslateDialogUtf8(fields[i].first));
    line.push_back(',');
    AppendJsonString(line, fields[i].second);
    line.push_back(']');
  }
  line += "]}";
  // The viewer stays open beside the dialog; nothing is awaited.
  active_->Send(line);
}

DialogOutcome GuiHost::ShowModal(DialogModel& model) {
  std::unique_ptr<DialogChannel> channel = Open();
  if (!channel) return DialogOutcome::kUnavailable;
  // Handlers of this dialog talk to its helper; an enclosing dialog's helper is restored after.
  DialogChannel* const outer = active_;
  const int64_t outer_acknowledged = acknowledged_;
  active_ = channel.get();
  acknowledged_ = 0;

  model.Initialize(*this);
  log_.LogShow(model);
  DialogClose close = DialogClose::kStay;
  bool lost = false;
  const auto send_state = [&] {
    std::string state = DialogStateMessage(model, acknowledged_);
    lost = !channel->Send(state);
    SecureWipe(state.data(), state.capacity());
  };
  send_state();
  while (!lost && close == DialogClose::kStay) {
    ProtocolMessage event;
    if (!Receive(*channel, &event)) {
      lost = true;
      break;
    }
    NoteSequence(event);
    const std::string_view type = event.type();
    DialogInput input = DialogInput::kApplied;
    if (type == "text") {
      const std::optional<int64_t> id = event.Integer("id");
      std::string* text = event.MutableString("text");
      if (!id || text == nullptr) {
        log_.Write("gui protocol error: text event without id or text");
        lost = true;
        break;
      }
      std::string narrow = Utf8ToNarrow(*text);
      input = model.Type(static_cast<int>(*id), narrow);
      SecureWipe(narrow.data(), narrow.capacity());
    } else if (type == "select") {
      const std::optional<int64_t> row = event.Integer("row");
      input = row ? model.Select(static_cast<int>(*row)) : DialogInput::kOutOfRange;
    } else if (type == "check") {
      const std::optional<int64_t> id = event.Integer("id");
      const std::optional<bool> checked = event.Bool("checked");
      input = id && checked ? model.SetChecked(static_cast<int>(*id), *checked)
                            : DialogInput::kNoSuchControl;
    } else if (type == "click") {
      const std::optional<int64_t> id = event.Integer("id");
      if (id) {
        const DialogModel::ClickResult clicked = model.Click(static_cast<int>(*id), *this);
        input = clicked.input;
        close = clicked.close;
      }
    } else if (type == "cancel") {
      model.Cancel();
      close = DialogClose::kCancel;
    }
    if (input != DialogInput::kApplied) {
      log_.Write("gui ignored " + std::string(type) + " (" + DialogInputName(input) + ")");
    }
    // Every event gets the state back, also one that changed nothing: the helper then shows
    // what the model holds (a cut text, a disabled button's unchanged dialog).
    if (close == DialogClose::kStay) send_state();
  }
  active_ = outer;
  acknowledged_ = outer_acknowledged;
  if (lost) {
    model.Cancel();
    log_.LogClose(model, false);
    return DialogOutcome::kUnavailable;
  }
  const bool ok = close == DialogClose::kOk;
  log_.LogClose(model, ok);
  return ok ? DialogOutcome::kOk : DialogOutcome::kCancel;
}

}  // namespace kelvadrome
