#include "ui/key_use_dialog.h"

#include "platform/text.h"
#include "ui/dialog_host.h"

namespace kelvadrome {

namespace {

std::string_view PurposeText(KeyUse use) {
  switch (use) {
    case KeyUse::kSign:
      return "以私密金鑰簽章";
    case KeyUse::kDecrypt:
      return "以私密金鑰解密";
    case KeyUse::kExport:
      return "匯出私密金鑰";
  }
  return "";
}

}  // namespace

KeyUseDialog::KeyUseDialog(const KeyUseRequest& request)
    : DialogModel(std::string(kKeyUseDialogName), Utf8ToNarrow("私密金鑰使用確認")) {
  AddStatic(Utf8ToNarrow("金鑰容器 :"));
  AddStatic(Utf8ToNarrow("CSP :"));
  AddStatic(Utf8ToNarrow("用途 :"));
  AddEdit({key_use_control::kContainer, request.container, 0, true, /*read_only=*/true, false});
  AddEdit({key_use_control::kProvider, request.provider, 0, true, /*read_only=*/true, false});
  AddEdit({key_use_control::kPurpose, Utf8ToNarrow(PurposeText(request.use)), 0, true,
           /*read_only=*/true, false});
  AddButton({kDialogIdOk, Utf8ToNarrow("允許"), true});
  AddButton({kDialogIdCancel, Utf8ToNarrow("拒絕"), true});
}

bool AskForKeyUse(DialogHost& host, const KeyUseRequest& request) {
  KeyUseDialog dialog(request);
  return host.ShowModal(dialog) == DialogOutcome::kOk;
}

}  // namespace kelvadrome
