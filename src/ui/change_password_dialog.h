// The dialog that collects what a PFX password change needs when the caller did not give all of it
// ("203"): the file (shown read-only in edit 302, chosen with Browse), its current password (303)
// and the new password typed twice (304, 305).
//
// OK is enabled only while each of the three password edits holds at least the minimum number of
// characters, and closes the dialog only when the shown path names an existing file; otherwise
// the user is told "憑證檔(<path>) : 錯誤或不存在" and the dialog stays open. A password the caller
// supplied (non-empty and at least the minimum length) cannot be changed, and Browse is disabled
// when the given folder and name already name an existing file. The dialog does not compare the
// new password with its confirmation: PromptChangePassword does that after the dialog closed.
//
// Texts are narrow strings in the process code page. The three passwords are wiped when they are
// replaced and when the dialog (or ChangePasswordFields) is destroyed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/secrets.h"
#include "ui/dialog_host.h"
#include "ui/dialog_model.h"

namespace kelvadrome {

inline constexpr std::string_view kChangePasswordDialogName = "203";

// Control ids of the dialog (OK and Cancel are kDialogIdOk and kDialogIdCancel).
namespace change_password_control {
inline constexpr int kBrowse = 301;
inline constexpr int kPath = 302;          // read-only, multi-line: the full path of the file
inline constexpr int kOldPassword = 303;   // the file's current password
inline constexpr int kNewPassword = 304;   // the new password
inline constexpr int kConfirmation = 305;  // the new password again
}  // namespace change_password_control

// ChangePasswordDialog: the fields are set before the dialog is shown and read after it closes.
// Browse replaces folder and file name at once; OK replaces the three passwords with the texts of
// their edits; Cancel empties all five fields.
class ChangePasswordDialog final : public DialogModel {
 public:
  ChangePasswordDialog();
  ~ChangePasswordDialog() override;

  const std::string& folder() const { return folder_; }
  void set_folder(std::string folder) { folder_ = std::move(folder); }
  const std::string& file_name() const { return file_name_; }
  void set_file_name(std::string file_name) { file_name_ = std::move(file_name); }
  const SecretString& old_password() const { return old_password_; }
  void set_old_password(std::string_view password);
  const SecretString& new_password() const { return new_password_; }
  void set_new_password(std::string_view password);
  const SecretString& confirmation() const { return confirmation_; }
  void set_confirmation(std::string_view password);

  // SetPasswordLengthRange stores the range after NormalisePasswordLengthRange (ui/pfx_dialogs.h).
  void SetPasswordLengthRange(int32_t min_length, int32_t max_length);
  int32_t min_length() const { return min_length_; }
  int32_t max_length() const { return max_length_; }

  // DisplayPath returns what edit 302 shows for the current folder and name: the two joined, or ""
  // while the folder is empty.
  std::string DisplayPath() const;

 protected:
  void OnInit(DialogHost& host) override;
  void OnTextChanged(int id) override;
  DialogClose OnClick(int id, DialogHost& host) override;
  void OnCancel() override;

 private:
  void UpdateOkButton();
  void Browse(DialogHost& host);
  DialogClose Ok(DialogHost& host);

  std::string folder_;
  std::string file_name_;
  SecretString old_password_;
  SecretString new_password_;
  SecretString confirmation_;
  int32_t min_length_ = 0;
  int32_t max_length_ = 16;
};

// What PromptChangePassword hands to the dialog and gets back.
struct ChangePasswordFields {
  std::string folder;
  std::string file_name;
  SecretString old_password;
  SecretString new_password;
  int32_t min_length = 0;
  int32_t max_length = 16;
};

// PromptChangePassword shows ChangePasswordDialog on |host|, filled from |fields| (an empty file
// name is first replaced by "*.pfx", also in |fields|; the new password goes into both the new and
// the confirmation edit). Returns 0 when the user pressed OK with a confirmation equal (byte for
// byte) to the new password: folder, file name, old and new password of |fields| are then replaced
// by the dialog's. Returns 5209 when the two differ (folder, name and old password are still
// taken from the dialog, the new password is left as it was), 5070 on Cancel and 5002 when the host
// cannot show the dialog, with |fields| otherwise unchanged. The range fields are only read.
int32_t PromptChangePassword(DialogHost& host, ChangePasswordFields& fields);

}  // namespace kelvadrome
