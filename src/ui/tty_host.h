// TtyHost: dialogs on a terminal, line by line. It talks to the controlling terminal (/dev/tty),
// never to standard input and output, which the calling program may be using. Tests and embedders
// can hand it any pair of descriptors instead (a pipe, a socket pair or a pseudo-terminal).
//
// Pickers print their title (and the filter's labels) and read one line: the path; an empty line
// cancels. A dialog prints its caption, edits, buttons and list rows, then reads commands in the
// script syntax of ui/dialog_script.h ("set <id> <text>", "select <row>", "click <id>", "cancel")
// until the dialog closes; an empty line shows the dialog again. For a password edit the command is
// "set <id>" alone and the text is then read with echo turned off; password texts are never
// printed (they show as one '*' per character). End of input on the terminal cancels the dialog or
// picker. Message boxes print the caption and text and wait for Enter. When an event log is set
// (KELVADROME_DIALOG_LOG) the host writes the same events as the script host.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/handles.h"
#include "ui/dialog_host.h"
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

  void Print(const std::string& text) const;
  // ReadLine reads one line (without its LF or CRLF). Lines longer than a limit are cut; kEnd at
  // end of input or on a read error when nothing was read.
  ReadStatus ReadLine(std::string* line) const;
  // ReadSecretLine prints |prompt| and reads a line as ReadLine does, with the terminal's echo off
  // (when the input is a terminal). Input typed ahead of the prompt is discarded.
  ReadStatus ReadSecretLine(const std::string& prompt, std::string* line) const;
  void PrintDialog(const DialogModel& model) const;
  PickResult AskPath(std::string_view picker, const std::string& title, const std::string& details,
                     const char* prompt);
  // Handles one command line for an open dialog; returns how the dialog stands afterwards.
  DialogClose RunCommand(DialogModel& model, std::string& line);

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
