#include "ui/pfx_dialogs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <utility>

#include "codec/byte_buffer.h"
#include "platform/error_codes.h"
#include "platform/secrets.h"
#include "platform/text.h"

namespace kelvadrome {

namespace {

constexpr std::string_view kFamilyCaption = "輸入憑證檔案資訊";
constexpr std::string_view kPasswordCaption = "執行憑證匯出";
constexpr std::string_view kErrorCaption = "錯誤訊息";
constexpr std::string_view kNotGiven = "未指定";
constexpr std::string_view kPickFileTitle = "選擇憑證檔案";
constexpr std::string_view kPickFolderTitle = "選擇憑證檔案儲存路徑 :";
constexpr std::string_view kPfxFilter =
    "PFX Files (*.pfx;*.p12)|*.pfx; *.p12|All Files (*.*)|*.*||";

enum class WriteProbe { kWritable, kNotWritable, kLeftBehind };

// CreateAndRemove creates a new file at |path| (the file system's spelling; never opening an
// existing one) and removes it.
WriteProbe CreateAndRemove(const std::string& path, int* create_errno) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    *create_errno = errno;
    return WriteProbe::kNotWritable;
  }
  ::close(fd);
  return ::unlink(path.c_str()) == 0 ? WriteProbe::kWritable : WriteProbe::kLeftBehind;
}

// ProbeWrite tells whether a file can be created at |path| without touching whatever already has
// that name: the target itself is created exclusively and removed again; when something exists
// there, a uniquely named probe in the same folder answers instead (replacing a file needs only
// the folder's permission), unless the existing entry is a folder. A path that cannot be said in
// the file system's spelling is not writable.
WriteProbe ProbeWrite(const std::string& narrow_path) {
  const std::optional<std::string> system_path = SystemPath(narrow_path);
  if (!system_path) return WriteProbe::kNotWritable;
  const std::string& path = *system_path;
  std::string folder;
  std::string name;
  SplitFolderAndName(path, folder, name);
  if (name.empty() || name.find_first_of("*?") != std::string::npos) {
    return WriteProbe::kNotWritable;
  }
  int create_errno = 0;
  const WriteProbe direct = CreateAndRemove(path, &create_errno);
  if (direct != WriteProbe::kNotWritable || create_errno != EEXIST) return direct;
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) return WriteProbe::kNotWritable;
  std::string probe = JoinFolderAndName(folder.empty() ? "." : folder, ".kelvadrome-probe-XXXXXX");
  const int fd = ::mkostemp(probe.data(), O_CLOEXEC);
  if (fd < 0) return WriteProbe::kNotWritable;
  ::close(fd);
  return ::unlink(probe.c_str()) == 0 ? WriteProbe::kWritable : WriteProbe::kLeftBehind;
}

// OrNotGiven returns |text|, or the "not given" word when it is empty.
std::string OrNotGiven(const std::string& text) {
  return text.empty() ? Utf8ToNarrow(kNotGiven) : text;
}

std::string FileErrorText(const std::string& path) {
  return Utf8ToNarrow("憑證檔(") + OrNotGiven(path) + Utf8ToNarrow(") : 錯誤或不存在");
}

std::string FolderErrorText(const std::string& folder) {
  return Utf8ToNarrow("憑證目錄 (") + OrNotGiven(folder) + Utf8ToNarrow(") : 錯誤或沒有寫入權限");
}

std::vector<std::string> FamilyStatics(bool export_dialog, bool mobile_dialog) {
  if (!export_dialog && !mobile_dialog) {
    return {Utf8ToNarrow("憑證檔案儲存路徑 :"), Utf8ToNarrow("輸入憑證密碼 :")};
  }
  std::vector<std::string> statics = {
      Utf8ToNarrow("指定您要匯出的檔案名稱及路徑： \n(預設儲存路徑為桌面)"),
      Utf8ToNarrow("設定憑證密碼,\n憑證匯出, 需驗證憑證密碼"),
  };
  if (export_dialog) statics.push_back(Utf8ToNarrow("確認憑證密碼"));
  return statics;
}

}  // namespace

bool LongEnough(std::string_view text, int32_t min_length) {
  return CountCharacters(text) >= static_cast<size_t>(min_length);
}

void NormalisePasswordLengthRange(int32_t& min_length, int32_t& max_length) {
  if (max_length < min_length) std::swap(min_length, max_length);
  if (min_length < 1) min_length = 0;
  if (max_length <= 0) max_length = 16;
}

std::string JoinFolderAndName(std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (!path.empty() && path.back() != '/') path.push_back('/');
  path.append(name);
  return path;
}

void SplitFolderAndName(std::string_view path, std::string& folder, std::string& name) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) {
    folder.clear();
    name.assign(path);
    return;
  }
  folder.assign(slash == 0 ? path.substr(0, 1) : path.substr(0, slash));
  name.assign(path.substr(slash + 1));
}

// --- The family ------------------------------------------------------------------------------

PfxPathDialog::PfxPathDialog(Variant variant, std::string name)
    : DialogModel(std::move(name), Utf8ToNarrow(kFamilyCaption)), variant_(variant) {
  for (auto& text :
       FamilyStatics(variant == Variant::kPfxExport, variant == Variant::kMobileExport)) {
    AddStatic(std::move(text));
  }
  const bool path_editable = variant == Variant::kPfxFile;
  AddButton({pfx_control::kBrowse, Utf8ToNarrow("瀏覽"), true});
  AddEdit({pfx_control::kPath, "", 0, true, /*read_only=*/!path_editable, false});
  AddEdit({pfx_control::kPassword, "", 0, true, false, /*password=*/true});
  if (has_confirmation()) {
    AddEdit({pfx_control::kConfirmation, "", 0, true, false, /*password=*/true});
  }
  AddButton({kDialogIdOk, Utf8ToNarrow("確定"), true});
  AddButton({kDialogIdCancel, Utf8ToNarrow("取消"), true});
}

PfxPathDialog::~PfxPathDialog() = default;

void PfxPathDialog::set_password(std::string_view password) {
  password_.assign(password);
}

void PfxPathDialog::SetPasswordLengthRange(int32_t min_length, int32_t max_length) {
  NormalisePasswordLengthRange(min_length, max_length);
  min_length_ = min_length;
  max_length_ = max_length;
}

std::string PfxPathDialog::DisplayPath() const {
  return folder_.empty() ? std::string() : JoinFolderAndName(folder_, file_name_);
}

void PfxPathDialog::OnInit(DialogHost&) {
  if (!title_.empty()) set_caption(title_);
  SetEditText(pfx_control::kPath, DisplayPath());
  SetEditText(pfx_control::kPassword, std::string(password_.view()));
  SetEditLimit(pfx_control::kPassword, static_cast<size_t>(max_length_));
  if (has_confirmation()) SetEditText(pfx_control::kConfirmation, "");
  // A password the caller supplied is kept as it is; the user may still pick another file.
  const bool supplied = !password_.empty() && LongEnough(password_.view(), min_length_);
  EnableControl(pfx_control::kPassword, !(variant_ == Variant::kPfxFile && supplied));
  UpdateOkButton();
}

void PfxPathDialog::OnTextChanged(int id) {
  if (id == pfx_control::kPassword || id == pfx_control::kConfirmation) UpdateOkButton();
}

void PfxPathDialog::UpdateOkButton() {
  bool ok = LongEnough(EditText(pfx_control::kPassword), min_length_);
  if (has_confirmation()) ok = ok && LongEnough(EditText(pfx_control::kConfirmation), min_length_);
  EnableControl(kDialogIdOk, ok);
}

DialogClose PfxPathDialog::OnClick(int id, DialogHost& host) {
  if (id == pfx_control::kBrowse) {
    Browse(host);
    return DialogClose::kStay;
  }
  if (id == kDialogIdOk) return Ok(host);
  return DialogModel::OnClick(id, host);
}

void PfxPathDialog::Browse(DialogHost& host) {
  if (folder_mode_) {
    const PickResult picked = host.BrowseFolder(Utf8ToNarrow(kPickFolderTitle));
    if (picked.outcome != DialogOutcome::kOk) return;
    folder_ = picked.path;
    SetEditText(pfx_control::kPath, JoinFolderAndName(folder_, file_name_));
    return;
  }
  OpenFileRequest request;
  request.title = Utf8ToNarrow(kPickFileTitle);
  request.filter = std::string(kPfxFilter);
  request.flags = kPfxBrowseFlags;
  // The picker has no separate start folder: a name ending in '/' starts it in that folder.
  if (variant_ == Variant::kPfxFile && !folder_.empty()) {
    request.initial_name = JoinFolderAndName(folder_, "");
  }
  const PickResult picked = host.PickOpenFile(request);
  if (picked.outcome != DialogOutcome::kOk) return;
  SetEditText(pfx_control::kPath, picked.path);
  if (variant_ == Variant::kMobileExport) SplitFolderAndName(picked.path, folder_, file_name_);
}

DialogClose PfxPathDialog::Ok(DialogHost& host) {
  password_.assign(EditText(pfx_control::kPassword));
  if (folder_mode_) return OkFolderMode(host);
  const std::string path = EditText(pfx_control::kPath);
  if (existence_check_ && !IsExistingFile(path)) {
    host.ShowMessage(Utf8ToNarrow(kErrorCaption), FileErrorText(path));
    return DialogClose::kStay;
  }
  // The mobile dialog keeps the folder and name it was given or that Browse split.
  if (variant_ != Variant::kMobileExport) SplitFolderAndName(path, folder_, file_name_);
  return DialogClose::kOk;
}

DialogClose PfxPathDialog::OkFolderMode(DialogHost& host) {
  if (has_confirmation() &&
      EditText(pfx_control::kConfirmation) != EditText(pfx_control::kPassword)) {
    host.ShowMessage(Utf8ToNarrow(kErrorCaption), Utf8ToNarrow("密碼不一致"));
    return DialogClose::kStay;
  }
  if (!EnsureFolder(folder_)) {
    host.ShowMessage(Utf8ToNarrow(kErrorCaption), FolderErrorText(folder_));
    return DialogClose::kStay;
  }
  if (!write_test_) return DialogClose::kOk;
  switch (ProbeWrite(EditText(pfx_control::kPath))) {
    case WriteProbe::kWritable:
      return DialogClose::kOk;
    case WriteProbe::kNotWritable:
      host.ShowMessage(Utf8ToNarrow(kErrorCaption), FolderErrorText(folder_));
      return DialogClose::kStay;
    case WriteProbe::kLeftBehind:
      break;  // the test file could not be removed: stay open, nothing to tell the user
  }
  return DialogClose::kStay;
}

void PfxPathDialog::OnCancel() {
  file_name_.clear();
  password_.Wipe();
}

PfxFileDialog::PfxFileDialog()
    : PfxPathDialog(Variant::kPfxFile, std::string(kPfxFileDialogName)) {}

PfxExportDialog::PfxExportDialog()
    : PfxPathDialog(Variant::kPfxExport, std::string(kPfxExportDialogName)) {}

MobileExportDialog::MobileExportDialog()
    : PfxPathDialog(Variant::kMobileExport, std::string(kMobileExportDialogName)) {}

// --- The password dialog ---------------------------------------------------------------------

PasswordDialog::PasswordDialog()
    : DialogModel(std::string(kPasswordDialogName), Utf8ToNarrow(kPasswordCaption)) {
  AddStatic(Utf8ToNarrow("輸入憑證密碼 :"));
  AddEdit({pfx_control::kPassword, "", 0, true, false, /*password=*/true});
  AddButton({kDialogIdOk, Utf8ToNarrow("確定"), true});
  AddButton({kDialogIdCancel, Utf8ToNarrow("取消"), true});
}

PasswordDialog::~PasswordDialog() = default;

void PasswordDialog::SetPasswordLengthRange(int32_t min_length, int32_t max_length) {
  NormalisePasswordLengthRange(min_length, max_length);
  min_length_ = min_length;
  max_length_ = max_length;
}

void PasswordDialog::OnInit(DialogHost&) {
  if (!title_.empty()) set_caption(title_);
  OnTextChanged(pfx_control::kPassword);
}

void PasswordDialog::OnTextChanged(int id) {
  if (id == pfx_control::kPassword) {
    EnableControl(kDialogIdOk, LongEnough(EditText(pfx_control::kPassword), min_length_));
  }
}

DialogClose PasswordDialog::OnClick(int id, DialogHost& host) {
  if (id == kDialogIdOk) {
    password_.assign(EditText(pfx_control::kPassword));
    return DialogClose::kOk;
  }
  return DialogModel::OnClick(id, host);
}

void PasswordDialog::OnCancel() {
  password_.Wipe();
}

// --- Drivers ---------------------------------------------------------------------------------

namespace {

// RunFamilyDialog fills |dialog| from |fields|, shows it and copies back what it left.
int32_t RunFamilyDialog(DialogHost& host, PfxPathDialog& dialog, PfxPromptFields& fields) {
  if (fields.file_name.empty()) fields.file_name = std::string(kDefaultPfxFileName);
  dialog.set_folder(fields.folder);
  dialog.set_file_name(fields.file_name);
  dialog.set_password(fields.password.view());
  dialog.SetPasswordLengthRange(fields.min_length, fields.max_length);
  const DialogOutcome outcome = host.ShowModal(dialog);
  // A dialog that cannot be shown counts as a resource the component could not allocate (5002).
  if (outcome == DialogOutcome::kUnavailable) return Code(ErrorCode::kAllocationFailed);
  fields.folder = dialog.folder();
  fields.file_name = dialog.file_name();
  fields.password = dialog.password();
  return outcome == DialogOutcome::kOk ? Code(ErrorCode::kSuccess) : Code(ErrorCode::kCancelled);
}

}  // namespace

int32_t PromptPfxFile(DialogHost& host, PfxPromptFields& fields) {
  PfxFileDialog dialog;
  dialog.set_folder_mode(false);
  dialog.set_existence_check(true);
  return RunFamilyDialog(host, dialog, fields);
}

int32_t PromptPfxExport(DialogHost& host, PfxPromptFields& fields) {
  PfxExportDialog dialog;
  dialog.set_folder_mode(true);
  dialog.set_write_test(true);
  return RunFamilyDialog(host, dialog, fields);
}

int32_t PromptMobileExport(DialogHost& host, PfxPromptFields& fields) {
  MobileExportDialog dialog;
  dialog.set_folder_mode(false);
  dialog.set_existence_check(true);
  return RunFamilyDialog(host, dialog, fields);
}

int32_t CompletePfxFileFields(DialogHost& host, int32_t (*prompt)(DialogHost&, PfxPromptFields&),
                              std::string& folder, std::string& file_name, SecretString& password,
                              int32_t min_length, int32_t max_length) {
  if (!folder.empty() && !file_name.empty() && !password.empty()) return 0;
  PfxPromptFields fields;
  fields.folder = folder;
  fields.file_name = file_name;
  fields.password = password;
  fields.min_length = min_length;
  fields.max_length = max_length;
  const int32_t code = prompt(host, fields);
  if (code != 0) return code;
  folder = fields.folder;
  file_name = fields.file_name;
  password = fields.password;
  return 0;
}

DialogOutcome PromptPassword(DialogHost& host, SecretString& password) {
  PasswordDialog dialog;
  const DialogOutcome outcome = host.ShowModal(dialog);
  if (outcome != DialogOutcome::kUnavailable) password = dialog.password();
  return outcome;
}

}  // namespace kelvadrome
