// What a web page's calls ask the person before the component touches their files or certificates:
//   "path-pick"       a file or folder path the page named is used only once the person picked it
//                     (the page's suggestion is shown in the editable edit 502, Browse 503 opens
//                     the file or folder picker, OK takes the edit's text);
//   "confirm-delete"  the page wants a certificate removed from "MY" (button 6 removes it, 7 and
//                     Cancel keep it).
// Both show the page's origin read-only in edit 501.
//
// The two hooks a component is given for a page (ComponentEnvironment) have the types below; the
// workers call them, and without them nothing is asked.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "ui/dialog_host.h"
#include "ui/dialog_model.h"

namespace kelvadrome {

// What a worker does with a path a caller named.
enum class PathUse {
  kReadFile,     // open an existing file and read it
  kRewriteFile,  // read an existing file and write it back changed
  kWriteFolder,  // write a new file into the folder
};

// PathUseName returns the short word kept with a pick and shown in logs: "read", "rewrite" or
// "folder".
std::string_view PathUseName(PathUse use);

// PathGate: given the use and the path a caller suggested (narrow text, never empty), returns the
// path the worker uses instead, or nullopt when the person refused (the worker then fails as when
// its own dialog is cancelled).
using PathGate = std::function<std::optional<std::string>(PathUse use, const std::string& path)>;

// DeleteConfirmation: given the subject of the certificate about to be removed (narrow text),
// returns true when the person agreed.
using DeleteConfirmation = std::function<bool(const std::string& subject)>;

// GatePath passes |path| through |gate|: true with |path| replaced by the person's pick, false
// when they refused. Nothing is asked, and true is returned, when |gate| is empty or |path| is.
bool GatePath(const PathGate& gate, PathUse use, std::string& path);

// GateFolderAndName does the same for a path given as folder and name (joined as
// JoinFolderAndName does); on a pick both are replaced by the pick split at its last '/'.
bool GateFolderAndName(const PathGate& gate, PathUse use, std::string& folder, std::string& name);

inline constexpr std::string_view kPathPickDialogName = "path-pick";
inline constexpr std::string_view kConfirmDeleteDialogName = "confirm-delete";

namespace page_control {
inline constexpr int kOrigin = 501;   // read-only: the page's origin
inline constexpr int kSubject = 502;  // path-pick: the path (editable); confirm-delete: the subject
inline constexpr int kBrowse = 503;   // path-pick: the file or folder picker
inline constexpr int kYes = 6;        // confirm-delete: remove the certificate
inline constexpr int kNo = 7;         // confirm-delete: keep it
}  // namespace page_control

// PathPickDialog: OK is enabled while the path edit is not empty and closes with that text as
// picked(); Browse replaces the edit's text with what the picker chose (the file picker starts at
// the shown path); Cancel leaves picked() empty.
class PathPickDialog final : public DialogModel {
 public:
  PathPickDialog(std::string origin, PathUse use, std::string suggestion);
  const std::string& picked() const { return picked_; }

 protected:
  void OnInit(DialogHost& host) override;
  void OnTextChanged(int id) override;
  DialogClose OnClick(int id, DialogHost& host) override;
  void OnCancel() override;

 private:
  std::string origin_;
  PathUse use_;
  std::string suggestion_;
  std::string picked_;
};

// ConfirmDeleteDialog: Yes closes with ok, No and Cancel with cancel.
class ConfirmDeleteDialog final : public DialogModel {
 public:
  ConfirmDeleteDialog(std::string origin, std::string subject);

 protected:
  void OnInit(DialogHost& host) override;
  DialogClose OnClick(int id, DialogHost& host) override;

 private:
  std::string origin_;
  std::string subject_;
};

// AskPathPick shows PathPickDialog on |host| for |origin| (ASCII): the picked path, or nullopt
// when the dialog was cancelled or could not be shown.
std::optional<std::string> AskPathPick(DialogHost& host, std::string_view origin, PathUse use,
                                       std::string_view suggestion);

// AskDeleteConfirmation shows ConfirmDeleteDialog: true only when the person pressed Yes.
bool AskDeleteConfirmation(DialogHost& host, std::string_view origin, std::string_view subject);

}  // namespace kelvadrome
