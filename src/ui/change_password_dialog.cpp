#include "ui/change_password_dialog.h"

#include <sys/stat.h>

#include <iterator>
#include <optional>
#include <utility>

#include "codec/byte_buffer.h"
#include "platform/error_codes.h"
#include "platform/secrets.h"
#include "platform/text.h"
#include "ui/pfx_dialogs.h"

namespace kelvadrome {

namespace {

namespace control = change_password_control;

DialogEdit PasswordEdit(int id) {
  return {id, "", 0, true, false, /*password=*/true};
}

constexpr int kPasswordEdits[] = {control::kOldPassword, control::kNewPassword,
                                  control::kConfirmation};

}  // namespace

ChangePasswordDialog::ChangePasswordDialog()
    : DialogModel(std::string(kChangePasswordDialogName), Utf8ToNarrow("變更憑證檔案密碼")) {
  AddStatic(Utf8ToNarrow("憑證檔案儲存路徑 :"));
  AddStatic(Utf8ToNarrow("輸入原憑證密碼 :"));
  AddStatic(Utf8ToNarrow("輸入新憑證密碼 :"));
  AddStatic(Utf8ToNarrow("確認新憑證密碼 :"));
  AddButton({control::kBrowse, Utf8ToNarrow("瀏覽"), true});
  AddEdit({control::kPath, "", 0, true, /*read_only=*/true, false});
  for (const int id : kPasswordEdits) AddEdit(PasswordEdit(id));
  AddButton({kDialogIdOk, Utf8ToNarrow("確定"), /*enabled=*/false});  // the default button
  AddButton({kDialogIdCancel, Utf8ToNarrow("取消"), true});
}

ChangePasswordDialog::~ChangePasswordDialog() = default;

void ChangePasswordDialog::set_old_password(std::string_view password) {
  old_password_.assign(password);
}

void ChangePasswordDialog::set_new_password(std::string_view password) {
  new_password_.assign(password);
}

void ChangePasswordDialog::set_confirmation(std::string_view password) {
  confirmation_.assign(password);
}

void ChangePasswordDialog::SetPasswordLengthRange(int32_t min_length, int32_t max_length) {
  NormalisePasswordLengthRange(min_length, max_length);
  min_length_ = min_length;
  max_length_ = max_length;
}

std::string ChangePasswordDialog::DisplayPath() const {
  return folder_.empty() ? std::string() : JoinFolderAndName(folder_, file_name_);
}

void ChangePasswordDialog::OnInit(DialogHost&) {
  if (!folder_.empty()) {
    const std::string path = DisplayPath();
    SetEditText(control::kPath, path);
    // The caller named an existing file: it is fixed.
    if (IsExistingFile(path)) EnableControl(control::kBrowse, false);
  }
  const SecretString* texts[] = {&old_password_, &new_password_, &confirmation_};
  for (size_t i = 0; i < std::size(kPasswordEdits); ++i) {
    const int id = kPasswordEdits[i];
    SetEditLimit(id, static_cast<size_t>(max_length_));
    SetEditText(id, std::string(texts[i]->view()));
    // A value the caller supplied is kept as it is.
    const bool supplied = !texts[i]->empty() && LongEnough(texts[i]->view(), min_length_);
    EnableControl(id, !supplied);
  }
  UpdateOkButton();
}

void ChangePasswordDialog::OnTextChanged(int id) {
  for (const int password_id : kPasswordEdits) {
    if (id == password_id) UpdateOkButton();
  }
}

void ChangePasswordDialog::UpdateOkButton() {
  bool ok = true;
  for (const int id : kPasswordEdits) ok = ok && LongEnough(EditText(id), min_length_);
  EnableControl(kDialogIdOk, ok);
}

DialogClose ChangePasswordDialog::OnClick(int id, DialogHost& host) {
  if (id == control::kBrowse) {
    Browse(host);
    return DialogClose::kStay;
  }
  if (id == kDialogIdOk) return Ok(host);
  return DialogModel::OnClick(id, host);
}

void ChangePasswordDialog::Browse(DialogHost& host) {
  OpenFileRequest request;
  request.title = Utf8ToNarrow("選擇憑證檔案");
  request.filter = "PFX Files (*.pfx;*.p12)|*.pfx; *.p12|All Files (*.*)|*.*||";
  request.flags = kPfxBrowseFlags;
  // The picker has no separate start folder: a name ending in '/' starts it in that folder.
  if (!folder_.empty()) request.initial_name = JoinFolderAndName(folder_, "");
  const PickResult picked = host.PickOpenFile(request);
  if (picked.outcome != DialogOutcome::kOk) return;
  SplitFolderAndName(picked.path, folder_, file_name_);
  SetEditText(control::kPath, picked.path);
}

DialogClose ChangePasswordDialog::Ok(DialogHost& host) {
  old_password_.assign(EditText(control::kOldPassword));
  new_password_.assign(EditText(control::kNewPassword));
  confirmation_.assign(EditText(control::kConfirmation));
  const std::string& path = EditText(control::kPath);
  if (IsExistingFile(path)) return DialogClose::kOk;
  host.ShowMessage(Utf8ToNarrow("錯誤訊息"), Utf8ToNarrow("憑證檔(") +
                                                 (path.empty() ? Utf8ToNarrow("未指定") : path) +
                                                 Utf8ToNarrow(") : 錯誤或不存在"));
  return DialogClose::kStay;
}

void ChangePasswordDialog::OnCancel() {
  folder_.clear();
  file_name_.clear();
  old_password_.Wipe();
  new_password_.Wipe();
  confirmation_.Wipe();
}

int32_t PromptChangePassword(DialogHost& host, ChangePasswordFields& fields) {
  if (fields.file_name.empty()) fields.file_name = std::string(kDefaultPfxFileName);
  ChangePasswordDialog dialog;
  dialog.set_folder(fields.folder);
  dialog.set_file_name(fields.file_name);
  dialog.SetPasswordLengthRange(fields.min_length, fields.max_length);
  dialog.set_old_password(fields.old_password.view());
  dialog.set_new_password(fields.new_password.view());
  dialog.set_confirmation(fields.new_password.view());
  const DialogOutcome outcome = host.ShowModal(dialog);
  // A dialog that cannot be shown counts as a resource the component could not allocate (5002).
  if (outcome == DialogOutcome::kUnavailable) return Code(ErrorCode::kAllocationFailed);
  if (outcome != DialogOutcome::kOk) return Code(ErrorCode::kCancelled);
  fields.folder = dialog.folder();
  fields.file_name = dialog.file_name();
  fields.old_password = dialog.old_password();
  if (dialog.new_password() != dialog.confirmation()) return Code(ErrorCode::kPasswordMismatch);
  fields.new_password = dialog.new_password();
  return Code(ErrorCode::kSuccess);
}

}  // namespace kelvadrome
