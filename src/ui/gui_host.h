// GuiHost: dialogs in windows of the graphical dialog helper, kelvadrome-dialog (tools/), a
// separate program so that the library never links a widget toolkit. The host starts the helper,
// talks to it in JSON lines over a socket (docs/dialog-protocol.md) and keeps every decision in
// the model: the helper shows the state it is sent and reports what the person did; the host feeds
// that to the model as a person's input (Type, Select, Click, Cancel) and sends the new state.
//
// Each top-level request (a dialog, a picker or a message box outside any dialog) runs one helper
// process, which ends when the request does. Pickers and message boxes a dialog's handlers ask for
// while it is shown go to the helper showing that dialog, over its window; a dialog shown from a
// dialog's handler gets a helper of its own.
//
// A helper that cannot be started, exits, breaks the protocol or closes its socket ends the
// request at once: ShowModal gives kUnavailable (after cancelling the model when it was already
// shown), pickers give kUnavailable, a message box returns. Nothing waits on a timer except the
// helper's start (kHelperStartMilliseconds, a helper that never answers) and its exit at the end.
//
// ViewFile of a certificate (DER) during a dialog opens the helper's own certificate viewer with
// the certificate's fields; any other file, and any file outside a dialog, goes to the desktop's
// viewer (LaunchDesktopViewer).
//
// Password texts that pass through the host's buffers (states sent, events received) are wiped
// once used.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ui/dialog_host.h"
#include "ui/dialog_protocol.h"
#include "ui/dialog_script.h"

namespace kelvadrome {

// How long a started helper may take to answer "hello" with "ready".
inline constexpr int kHelperStartMilliseconds = 30000;

// The name of the helper program.
inline constexpr std::string_view kDialogHelperName = "kelvadrome-dialog";

// DialogChannel: one running helper, seen as a line-oriented connection.
class DialogChannel {
 public:
  virtual ~DialogChannel() = default;
  // Send writes |line| and a LF. False when the helper is gone.
  virtual bool Send(std::string_view line) = 0;
  // Receive replaces |*line| with the next line from the helper, waiting at most |timeout_ms|
  // milliseconds (-1: without limit). False when the helper is gone or broke the framing (a line
  // longer than kMaxProtocolLine), or when the time ran out.
  virtual bool Receive(std::string* line, int timeout_ms) = 0;
};

// Makes a channel to a freshly started helper; null when none could be started.
using DialogChannelFactory = std::function<std::unique_ptr<DialogChannel>()>;

// StartDialogHelper starts the program at |path| (the file system's spelling) with its standard
// input and output on one end of a socket pair and returns the channel to it; null with |*reason|
// set when it cannot be started. Descriptors of the caller do not leak into the helper, and writes
// to a helper that is gone report failure instead of raising SIGPIPE. Dropping the channel closes
// the socket and reaps the helper (killing it when it does not exit within a second).
std::unique_ptr<DialogChannel> StartDialogHelper(const std::string& path, std::string* reason);

// FindDialogHelper returns the helper to start: KELVADROME_DIALOG_HELPER when set and not empty;
// else kelvadrome-dialog beside the library (or the program it is linked into), or in ../bin from
// there, or beside the running program; else the first executable kelvadrome-dialog on PATH. ""
// when there is none.
std::string FindDialogHelper();

class GuiHost : public DialogHost {
 public:
  GuiHost(DialogChannelFactory start_helper, DialogLog log);

  // ForHelper makes a host that starts the program at |helper_path|; an empty path gives a host
  // whose every dialog is kUnavailable.
  static std::unique_ptr<GuiHost> ForHelper(std::string helper_path, DialogLog log);

  // The calling program's name, shown in every window's title (default: the running program's
  // short name), and the origin of the page that caused the dialogs, shown in every window when
  // not empty (set by the page bridge).
  void set_program(std::string program) { program_ = std::move(program); }
  void set_origin(std::string origin) { origin_ = std::move(origin); }

  PickResult PickOpenFile(const OpenFileRequest& request) override;
  PickResult BrowseFolder(const std::string& title) override;
  DialogOutcome ShowModal(DialogModel& model) override;
  void ShowMessage(const std::string& caption, const std::string& text) override;
  void ViewFile(const std::string& path) override;

 private:
  // Open starts a helper and completes the greeting; null when either fails.
  std::unique_ptr<DialogChannel> Open();
  // Request sends |line| to the helper of the dialog being shown (or a new one, which it closes
  // afterwards) and waits for an answer of |answer_type|, which it stores in |*answer|. Events
  // for the dialog that arrive meanwhile are dropped. False when no helper could be reached.
  bool Request(const std::string& line, std::string_view answer_type, ProtocolMessage* answer);
  // Receive reads the next well-formed message from |channel|; false when the helper is gone or
  // wrote a line that breaks the protocol.
  bool Receive(DialogChannel& channel, ProtocolMessage* message);
  void NoteSequence(const ProtocolMessage& message);
  PickResult Pick(std::string_view picker, const std::string& title, const std::string& line);

  DialogChannelFactory start_helper_;
  DialogLog log_;
  std::string program_;
  std::string origin_;
  // The helper showing the innermost dialog, for the requests its handlers make; null outside.
  DialogChannel* active_ = nullptr;
  // The highest event number seen from the active helper, echoed in every state ("ack").
  int64_t acknowledged_ = 0;
};

// DialogStateMessage writes the "dialog" message for |model| (docs/dialog-protocol.md), texts
// converted from the process code page to UTF-8, |ack| echoed. The caller wipes the result after
// sending it: it holds the texts of password edits.
std::string DialogStateMessage(const DialogModel& model, int64_t ack);

}  // namespace kelvadrome
