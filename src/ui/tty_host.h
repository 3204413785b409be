// TtyHost: dialogs on a terminal, asked the way terminal tools ask. It talks to the controlling
// terminal (/dev/tty), never to standard input and output, which the calling program may be using.
// Tests and embedders can hand it any pair of descriptors instead (a pipe, a socket pair or a
// pseudo-terminal).
//
// A dialog prints its caption and texts in the user's language (ui/dialog_language.h) and asks
// one question per line, in the order the dialog lays its fields out (ui/dialog_layout.h):
//   - a field shows its current value in brackets; an empty answer keeps it, and an empty answer
//     to a field without a value cancels the dialog;
//   - a password is read with echo off and never shown; a dialog with a confirmation asks twice;
//   - a field the person cannot type in but can browse for asks "b" to browse, Enter to keep;
//   - a list is numbered from 1; the answer is a number, or "v N" to view entry N first;
//   - a check box asks y/n, its current state in capitals ([y/N]); an empty answer keeps it;
//   - a dialog with nothing to type (a confirmation, the key-use question) asks y/n.
// Then the dialog's OK runs; when the dialog stays open (a message told why) the questions come
// again. End of input (Ctrl-D) cancels at any question. Pickers ask for one path, an empty line
// cancels; message boxes wait for Enter. Control characters in any text shown are escaped
// ("\x1B"), never written raw. When an event log is set (KELVADROME_DIALOG_LOG) the host writes
// the same events as the script host.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/handles.h"
#include "platform/secrets.h"
#include "ui/dialog_host.h"
#include "ui/dialog_layout.h"
#include "ui/dialog_script.h"

namespace kelvadrome {

class TtyHost : public DialogHost {
 public:
  // How a file is handed to the desktop's viewer.
  using FileViewer = std::function<void(const std::string& path)>;

  // Reads from |in_fd| and writes to |out_fd|, which stay owned by the caller and must outlive the
  // host. Echo is switched off for passwords only when |in_fd| is a terminal. Files are viewed
  // with LaunchDesktopViewer unless set_viewer says otherwise.
  TtyHost(int in_fd, int out_fd, DialogLog log);

  // OpenTerminal opens /dev/tty for reading and writing and returns a host owning it; null when
  // the process has no controlling terminal.
  static std::unique_ptr<TtyHost> OpenTerminal(DialogLog log);

  void set_viewer(FileViewer viewer) { viewer_ = std::move(viewer); }

  PickResult PickOpenFile(const OpenFileRequest& request) override;
  PickResult BrowseFolder(const std::string& title) override;
  DialogOutcome ShowModal(DialogModel& model) override;
  void ShowMessage(const std::string& caption, const std::string& text) override;
  void ViewFile(const std::string& path) override;

 private:
  enum class ReadStatus { kLine, kEnd };
  enum class Step { kNext, kAgain, kCancel };

  void Print(const std::string& text) const;
  // ReadLine reads one line (without its LF or CRLF). Lines longer than a limit are cut; kEnd at
  // end of input or on a read error when nothing was read.
  ReadStatus ReadLine(std::string* line) const;
  // ReadSecretLine prints |prompt| and reads a line as ReadLine does, with the terminal's echo off
  // (when the input is a terminal). Input typed ahead of the prompt is discarded.
  ReadStatus ReadSecretLine(const std::string& prompt, SecretString* line) const;
  PickResult AskPath(std::string_view picker, const std::string& title, const std::string& details,
                     std::string_view prompt);
  // One pass over the dialog's rows: prints what is to be read, asks what is to be answered.
  Step AskRows(DialogModel& model);
  Step AskEdit(DialogModel& model, const LayoutRow& row);
  Step AskList(DialogModel& model);
  // AskCheck asks for check box |id| as a y/n question whose empty answer keeps its state; a
  // disabled box is only shown.
  Step AskCheck(DialogModel& model, int id);
  // AskYesNo asks |question| [y/n] until it gets one; nullopt at end of input.
  std::optional<bool> AskYesNo(const std::string& question);

  // Set when input ended in the middle of a line: the cursor still stands after a question.
  mutable bool ended_mid_line_ = false;
  UniqueFd owned_;  // the terminal opened by OpenTerminal
  int in_fd_;
  int out_fd_;
  DialogLog log_;
  FileViewer viewer_;
};

// LaunchDesktopViewer asks the desktop to open |path| (narrow text in the process code page, handed
// on in the file system's spelling) with its default application (xdg-open), detached: it returns
// at once and does not report failures. Output of the viewer is discarded.
void LaunchDesktopViewer(const std::string& path);

}  // namespace kelvadrome
