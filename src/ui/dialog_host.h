// DialogHost: how the component's workers ask the user for input. A host shows file and folder
// pickers, modal dialogs described by a DialogModel, and message boxes, and hands files to the
// desktop's viewer. The hosts provided are:
//   "gui"            windows of the graphical dialog helper kelvadrome-dialog (ui/gui_host.h);
//   "tty"            the controlling terminal (/dev/tty), line by line (ui/tty_host.h);
//   "none"           no dialog can be created: every dialog answers kUnavailable (ui/none_host.h);
//   "script:<file>"  a scripted user reading its actions from <file> (ui/script_host.h).
// KELVADROME_DIALOGS picks one for the process; without it the helper's windows are used in a
// graphical session (WAYLAND_DISPLAY or DISPLAY set) when the helper is found, else the terminal
// when /dev/tty can be opened, and "none" otherwise. An embedding application can install a host of
// its own.
//
// Texts are narrow strings in the process code page; hosts pass them through unchanged.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "ui/dialog_model.h"

namespace kelvadrome {

enum class DialogOutcome {
  kOk,
  kCancel,
  kUnavailable,  // the dialog could not be created
};

struct OpenFileRequest {
  std::string title{};   // e.g. the worker's prompt text
  std::string filter{};  // "All Files (*.*)|*.*||": pairs of label|pattern, ends with "||"
  std::string default_extension{};  // may be "*.*"
  std::string initial_name{};       // may be empty
  uint32_t flags = 0;               // the worker's picker flags; informational
};

struct PickResult {
  DialogOutcome outcome = DialogOutcome::kCancel;
  std::string path{};  // the chosen path when outcome is kOk, else empty
};

// The name scripts and logs use for the two pickers.
inline constexpr std::string_view kOpenFileDialogName = "open-file";
inline constexpr std::string_view kBrowseFolderDialogName = "browse-folder";

// A host is used by one call at a time (dialogs are modal); a model's hooks may call back into the
// host that shows it (message boxes and pickers nested in a dialog).
class DialogHost {
 public:
  virtual ~DialogHost() = default;
  // PickOpenFile asks for a file to open; kOk with the chosen path, kCancel, or kUnavailable.
  virtual PickResult PickOpenFile(const OpenFileRequest& request) = 0;
  // BrowseFolder asks for a folder; kOk with the chosen folder, kCancel, or kUnavailable.
  virtual PickResult BrowseFolder(const std::string& title) = 0;
  // ShowModal shows |model| until it closes: runs its initialisation, feeds it the user's input,
  // and returns how it closed (kOk or kCancel), or kUnavailable when it could not be shown (then
  // the model was not initialised).
  virtual DialogOutcome ShowModal(DialogModel& model) = 0;
  // ShowMessage shows a message box and returns once the user acknowledged it.
  virtual void ShowMessage(const std::string& caption, const std::string& text) = 0;
  // ViewFile hands |path| to the desktop's viewer and returns without waiting for the viewer;
  // failures are not reported.
  virtual void ViewFile(const std::string& path) = 0;
};

// CurrentDialogHost returns the host the component uses: the installed one, else the one named by
// KELVADROME_DIALOGS (made at first use and kept). An unknown KELVADROME_DIALOGS value gives the
// "none" host. The reference stays valid for the life of the process, even after another host is
// installed (replaced hosts are retired, not destroyed). Safe to call from several threads.
DialogHost& CurrentDialogHost();

// InstallDialogHost installs |host| for the process (embedders, tests). Null removes the installed
// host and forgets the host made from the environment, so that the next CurrentDialogHost reads
// KELVADROME_DIALOGS again. Safe to call from several threads.
void InstallDialogHost(std::unique_ptr<DialogHost> host);

// MakeDialogHost makes the host that |choice| names: "gui", "tty", "none" or "script:<file>".
// Returns null for an unknown name. "tty" gives the "none" host when /dev/tty cannot be opened;
// "gui" without a helper (FindDialogHelper) gives a gui host whose dialogs are all kUnavailable.
// The event log named by KELVADROME_DIALOG_LOG (if set) is attached to gui, tty and script hosts.
std::unique_ptr<DialogHost> MakeDialogHost(std::string_view choice);

// MakeDefaultDialogHost makes the host KELVADROME_DIALOGS names, or the default when it is unset or
// empty: "gui" when WAYLAND_DISPLAY or DISPLAY is set and an executable helper is found, else
// "tty" when /dev/tty can be opened, else "none". Never null.
std::unique_ptr<DialogHost> MakeDefaultDialogHost();

}  // namespace kelvadrome
