#include "ui/token_choice_dialog.h"

#include <string>

#include "platform/text.h"

namespace kelvadrome {

TokenChoiceDialog::TokenChoiceDialog(const std::vector<TokenInfo>& tokens)
    : DialogModel(std::string(kTokenChoiceDialogName), Utf8ToNarrow("選擇憑證載具")),
      tokens_(tokens) {
  AddStatic(Utf8ToNarrow("請選擇要產生新金鑰的憑證載具 :"));
  AddButton({kDialogIdOk, Utf8ToNarrow("確定"), true});
  AddButton({kDialogIdCancel, Utf8ToNarrow("取消"), true});
}

void TokenChoiceDialog::OnInit(DialogHost&) {
  SetList(token_choice_control::kList, {Utf8ToNarrow("載具名稱"), Utf8ToNarrow("序號"),
                                        Utf8ToNarrow("製造商"), Utf8ToNarrow("型號")});
  // What the token reports is UTF-8; the model holds text in the process code page.
  for (const TokenInfo& token : tokens_) {
    AddRow({Utf8ToNarrow(token.ref.label), Utf8ToNarrow(token.ref.serial),
            Utf8ToNarrow(token.manufacturer), Utf8ToNarrow(token.model)});
  }
  chosen_.reset();
  SetSelectedRow(tokens_.empty() ? -1 : 0);
  EnableControl(kDialogIdOk, !tokens_.empty());
}

DialogClose TokenChoiceDialog::OnClick(int id, DialogHost& host) {
  if (id == kDialogIdOk) {
    const int row = SelectedRow();
    if (row < 0) return DialogClose::kStay;
    chosen_ = static_cast<size_t>(row);
    return DialogClose::kOk;
  }
  return DialogModel::OnClick(id, host);
}

void TokenChoiceDialog::OnCancel() {
  chosen_.reset();
}

std::optional<size_t> ChooseToken(DialogHost& host, const std::vector<TokenInfo>& tokens) {
  if (tokens.empty()) return std::nullopt;
  TokenChoiceDialog dialog(tokens);
  if (host.ShowModal(dialog) != DialogOutcome::kOk) return std::nullopt;
  return dialog.chosen();
}

}  // namespace kelvadrome
