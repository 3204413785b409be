#include "ui/page_dialogs.h"

#include <utility>

#include "platform/text.h"
#include "ui/pfx_dialogs.h"

namespace kelvadrome {

namespace {

// What the page asks to do with the path, shown above it.
std::string_view UseText(PathUse use) {
  switch (use) {
    case PathUse::kReadFile:
      return "讀取下列檔案 (可修改路徑或瀏覽選擇其他檔案):";
    case PathUse::kRewriteFile:
      return "修改下列檔案 (可修改路徑或瀏覽選擇其他檔案):";
    case PathUse::kWriteFolder:
      return "在下列目錄寫入檔案 (可修改路徑或瀏覽選擇其他目錄):";
  }
  return {};
}

DialogEdit ReadOnlyEdit(int id) {
  return {id, "", 0, true, /*read_only=*/true, false};
}

}  // namespace

std::string_view PathUseName(PathUse use) {
  switch (use) {
    case PathUse::kReadFile:
      return "read";
    case PathUse::kRewriteFile:
      return "rewrite";
    case PathUse::kWriteFolder:
      return "folder";
  }
  return {};
}

bool GatePath(const PathGate& gate, PathUse use, std::string& path) {
  if (!gate || path.empty()) return true;
  std::optional<std::string> picked = gate(use, path);
  if (!picked) return false;
  path = std::move(*picked);
  return true;
}

bool GateFolderAndName(const PathGate& gate, PathUse use, std::string& folder, std::string& name) {
  std::string path = JoinFolderAndName(folder, name);
  if (!gate || path.empty()) return true;
  if (!GatePath(gate, use, path)) return false;
  SplitFolderAndName(path, folder, name);
  return true;
}

// --- path-pick --------------------------------------------------------------------------------

PathPickDialog::PathPickDialog(std::string origin, PathUse use, std::string suggestion)
    : DialogModel(std::string(kPathPickDialogName), Utf8ToNarrow("網頁要求使用檔案")),
      origin_(std::move(origin)),
      use_(use),
      suggestion_(std::move(suggestion)) {
  AddStatic(Utf8ToNarrow("下列網站要求使用您的檔案:"));
  AddStatic(Utf8ToNarrow(UseText(use_)));
  AddEdit(ReadOnlyEdit(page_control::kOrigin));
  AddEdit({page_control::kSubject, "", 0, true, false, false});
  AddButton({page_control::kBrowse, Utf8ToNarrow("瀏覽"), true});
  AddButton({kDialogIdOk, Utf8ToNarrow("確定"), true});
  AddButton({kDialogIdCancel, Utf8ToNarrow("取消"), true});
}

void PathPickDialog::OnInit(DialogHost&) {
  SetEditText(page_control::kOrigin, Utf8ToNarrow(origin_));
  SetEditText(page_control::kSubject, suggestion_);
}

void PathPickDialog::OnTextChanged(int id) {
  if (id == page_control::kSubject) {
    EnableControl(kDialogIdOk, !EditText(page_control::kSubject).empty());
  }
}

DialogClose PathPickDialog::OnClick(int id, DialogHost& host) {
  if (id == page_control::kBrowse) {
    PickResult chosen;
    if (use_ == PathUse::kWriteFolder) {
      chosen = host.BrowseFolder(Utf8ToNarrow("選擇憑證檔案儲存路徑 :"));
    } else {
      OpenFileRequest request;
      request.title = Utf8ToNarrow("請選擇檔案");
      request.filter = "All Files (*.*)|*.*||";
      request.default_extension = "*.*";
      request.initial_name = EditText(page_control::kSubject);
      request.flags = kPfxBrowseFlags;
      chosen = host.PickOpenFile(request);
    }
    if (chosen.outcome == DialogOutcome::kOk && !chosen.path.empty()) {
      SetEditText(page_control::kSubject, chosen.path);
    }
    return DialogClose::kStay;
  }
  if (id == kDialogIdOk) {
    picked_ = EditText(page_control::kSubject);
    return DialogClose::kOk;
  }
  return DialogModel::OnClick(id, host);
}

void PathPickDialog::OnCancel() {
  picked_.clear();
}

std::optional<std::string> AskPathPick(DialogHost& host, std::string_view origin, PathUse use,
                                       std::string_view suggestion) {
  PathPickDialog dialog{std::string(origin), use, std::string(suggestion)};
  if (host.ShowModal(dialog) != DialogOutcome::kOk || dialog.picked().empty()) return std::nullopt;
  return dialog.picked();
}

// --- confirm-delete ---------------------------------------------------------------------------

ConfirmDeleteDialog::ConfirmDeleteDialog(std::string origin, std::string subject)
    : DialogModel(std::string(kConfirmDeleteDialogName), Utf8ToNarrow("網頁要求刪除憑證")),
      origin_(std::move(origin)),
      subject_(std::move(subject)) {
  AddStatic(Utf8ToNarrow("下列網站要求從您的個人憑證區刪除憑證:"));
  AddStatic(Utf8ToNarrow("憑證主旨:"));
  AddEdit(ReadOnlyEdit(page_control::kOrigin));
  AddEdit(ReadOnlyEdit(page_control::kSubject));
  AddButton({page_control::kYes, Utf8ToNarrow("刪除"), true});
  AddButton({page_control::kNo, Utf8ToNarrow("保留"), true});
}

void ConfirmDeleteDialog::OnInit(DialogHost&) {
  SetEditText(page_control::kOrigin, Utf8ToNarrow(origin_));
  SetEditText(page_control::kSubject, subject_);
}

DialogClose ConfirmDeleteDialog::OnClick(int id, DialogHost& host) {
  if (id == page_control::kYes) return DialogClose::kOk;
  if (id == page_control::kNo) return DialogClose::kCancel;
  return DialogModel::OnClick(id, host);
}

bool AskDeleteConfirmation(DialogHost& host, std::string_view origin, std::string_view subject) {
  ConfirmDeleteDialog dialog{std::string(origin), std::string(subject)};
  return host.ShowModal(dialog) == DialogOutcome::kOk;
}

}  // namespace kelvadrome
