// The dialogs that ask for a PFX file location and its password, and the drivers the workers call.
//
// Three dialogs form one family: a path display (edit 302), a Browse button (301) and one or two
// password edits (303, and 304 for the confirmation):
//   "202" PfxFileDialog       pick an existing PFX file; one password; the path can be typed.
//   "206" PfxExportDialog     pick a target folder; the password twice; OK checks that the file
//                             can be written there.
//   "207" MobileExportDialog  pick an existing PFX file; one password; the path is read-only.
// The fourth, "205" PasswordDialog, asks for a password only.
//
// Paths use '/': JoinFolderAndName and SplitFolderAndName below are the rules every dialog uses.
// Texts are narrow strings in the process code page. Passwords are wiped when they are replaced
// and when the dialog (or PfxPromptFields) is destroyed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/secrets.h"
#include "ui/dialog_host.h"
#include "ui/dialog_model.h"

namespace kelvadrome {

inline constexpr std::string_view kPfxFileDialogName = "202";
inline constexpr std::string_view kPasswordDialogName = "205";
inline constexpr std::string_view kPfxExportDialogName = "206";
inline constexpr std::string_view kMobileExportDialogName = "207";

// Control ids shared by the four dialogs (OK and Cancel are kDialogIdOk and kDialogIdCancel).
namespace pfx_control {
inline constexpr int kBrowse = 301;
inline constexpr int kPath = 302;
inline constexpr int kPassword = 303;
inline constexpr int kConfirmation = 304;
}  // namespace pfx_control

// The file name the drivers put in for a missing one.
inline constexpr std::string_view kDefaultPfxFileName = "*.pfx";

// Picker flags of Browse in file mode: hide read-only (0x4), overwrite prompt (0x2), no
// validation (0x100).
inline constexpr uint32_t kPfxBrowseFlags = 0x106;

// NormalisePasswordLengthRange applies the range rule in this order: swap when |max_length| is
// below |min_length|, a minimum below 1 becomes 0, a maximum of 0 or below becomes 16. Afterwards
// 0 <= min_length <= max_length and max_length >= 1.
void NormalisePasswordLengthRange(int32_t& min_length, int32_t& max_length);

// LongEnough tells whether |text| has at least |min_length| characters (CountCharacters): the
// rule every password edit's OK button follows.
bool LongEnough(std::string_view text, int32_t min_length);

// JoinFolderAndName returns |folder| and |name| with one '/' between them; no '/' is added when
// |folder| is empty or already ends with '/'.
std::string JoinFolderAndName(std::string_view folder, std::string_view name);

// SplitFolderAndName splits |path| at its last '/': |name| is the text after it, |folder| the text
// before it, except that a file directly under '/' has the folder "/". A path without '/' gives an
// empty folder and the whole path as name. Both outputs are replaced.
void SplitFolderAndName(std::string_view path, std::string& folder, std::string& name);

// PfxPathDialog: what the three family dialogs share. Fields are set before the dialog is shown
// and read after it closes; the dialog changes them on Browse, OK and Cancel as described at each
// concrete dialog.
class PfxPathDialog : public DialogModel {
 public:
  ~PfxPathDialog() override;

  // set_title replaces the caption when |title| is not empty (read at initialisation).
  void set_title(std::string title) { title_ = std::move(title); }
  const std::string& folder() const { return folder_; }
  void set_folder(std::string folder) { folder_ = std::move(folder); }
  const std::string& file_name() const { return file_name_; }
  void set_file_name(std::string file_name) { file_name_ = std::move(file_name); }
  const SecretString& password() const { return password_; }
  void set_password(std::string_view password);

  // SetPasswordLengthRange stores the range after NormalisePasswordLengthRange.
  void SetPasswordLengthRange(int32_t min_length, int32_t max_length);
  int32_t min_length() const { return min_length_; }
  int32_t max_length() const { return max_length_; }

  // Folder mode: Browse picks a folder, and OK checks that the folder exists or can be made.
  bool folder_mode() const { return folder_mode_; }
  void set_folder_mode(bool on) { folder_mode_ = on; }
  // Existence check (file mode): OK closes only when the shown path names an existing file.
  bool existence_check() const { return existence_check_; }
  void set_existence_check(bool on) { existence_check_ = on; }
  // Write test (folder mode): OK closes only when a file can be created at the shown path.
  bool write_test() const { return write_test_; }
  void set_write_test(bool on) { write_test_ = on; }

  // DisplayPath returns the path edit 302 shows: folder and name joined, or "" while the folder
  // is empty.
  std::string DisplayPath() const;

 protected:
  enum class Variant { kPfxFile, kPfxExport, kMobileExport };
  PfxPathDialog(Variant variant, std::string name);

  void OnInit(DialogHost& host) override;
  void OnTextChanged(int id) override;
  DialogClose OnClick(int id, DialogHost& host) override;
  // Cancel empties the file name and the password; the folder stays.
  void OnCancel() override;

 private:
  bool has_confirmation() const { return variant_ == Variant::kPfxExport; }
  void UpdateOkButton();
  void Browse(DialogHost& host);
  DialogClose Ok(DialogHost& host);
  DialogClose OkFolderMode(DialogHost& host);

  Variant variant_;
  std::string title_;
  std::string folder_;
  std::string file_name_;
  SecretString password_;
  int32_t min_length_ = 0;
  int32_t max_length_ = 16;
  bool folder_mode_ = false;
  bool existence_check_ = false;
  bool write_test_ = false;
};

// PfxFileDialog ("202"): the path edit can be typed in. Browse starts the file picker in the
// folder (when set) and shows the chosen path; OK splits the shown path into folder and name once
// the existence check passed. A password supplied with at least the minimum length cannot be
// changed (edit 303 is disabled).
class PfxFileDialog final : public PfxPathDialog {
 public:
  PfxFileDialog();
};

// PfxExportDialog ("206"): Browse picks the folder. OK refuses a confirmation that differs from
// the password ("密碼不一致"), a folder that neither exists nor can be made one level deep, and a
// path where no file can be created (the folder message). The write test never changes an
// existing file of that name: it creates the target with O_CREAT|O_EXCL and removes only what it
// created; when a file already has that name, it creates and removes a uniquely named probe file
// in the same folder instead. A name with the wildcards '*' or '?' (such as the placeholder
// "*.pfx") is a pattern, not a file name, and fails the test.
class PfxExportDialog final : public PfxPathDialog {
 public:
  PfxExportDialog();
};

// MobileExportDialog ("207"): the path edit is read-only. Browse shows the chosen path and splits
// it into folder and name at once; OK checks that the shown path exists and does not split again.
class MobileExportDialog final : public PfxPathDialog {
 public:
  MobileExportDialog();
};

// PasswordDialog ("205"): one password edit without a typing limit; OK takes its text.
class PasswordDialog final : public DialogModel {
 public:
  PasswordDialog();
  ~PasswordDialog() override;

  void set_title(std::string title) { title_ = std::move(title); }
  const SecretString& password() const { return password_; }
  void SetPasswordLengthRange(int32_t min_length, int32_t max_length);
  int32_t min_length() const { return min_length_; }
  int32_t max_length() const { return max_length_; }

 protected:
  void OnInit(DialogHost& host) override;
  void OnTextChanged(int id) override;
  DialogClose OnClick(int id, DialogHost& host) override;
  void OnCancel() override;

 private:
  std::string title_;
  SecretString password_;
  int32_t min_length_ = 0;
  int32_t max_length_ = 16;
};

// What a family driver hands to its dialog and gets back.
struct PfxPromptFields {
  std::string folder;
  std::string file_name;
  SecretString password;
  int32_t min_length = 0;
  int32_t max_length = 16;
};

// PromptPfxFile, PromptPfxExport and PromptMobileExport show their dialog on |host| with the
// fields of |fields| (an empty file name is first replaced by "*.pfx", also in |fields|). Return
// 0 on OK and 5070 on Cancel, with folder, file name and password of |fields| replaced by what
// the dialog left (a cancelled dialog leaves an empty name and password); 5002 when the host
// cannot show the dialog, with |fields| otherwise unchanged. The range fields are only read.
int32_t PromptPfxFile(DialogHost& host, PfxPromptFields& fields);
int32_t PromptPfxExport(DialogHost& host, PfxPromptFields& fields);
int32_t PromptMobileExport(DialogHost& host, PfxPromptFields& fields);

// CompletePfxFileFields asks the user through |prompt| (PromptPfxFile or PromptMobileExport) for
// the file and its password when any of |folder|, |file_name| and |password| is empty, and then
// replaces all three with the dialog's answers (the old password wiped). Returns 0 when nothing
// had to be asked or the user answered, else the dialog's code (5070, 5002) with the three
// unchanged. The range bounds only the dialog.
int32_t CompletePfxFileFields(DialogHost& host, int32_t (*prompt)(DialogHost&, PfxPromptFields&),
                              std::string& folder, std::string& file_name, SecretString& password,
                              int32_t min_length, int32_t max_length);

// PromptPassword shows PasswordDialog on |host|: kOk with |password| replaced by the typed text,
// kCancel with |password| emptied (wiped), kUnavailable with |password| unchanged.
DialogOutcome PromptPassword(DialogHost& host, SecretString& password);

}  // namespace kelvadrome
