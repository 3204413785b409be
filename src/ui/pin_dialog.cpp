#include "ui/pin_dialog.h"

#include <string>
#include <utility>

#include "platform/text.h"

namespace kelvadrome {

std::string TokenDisplayName(const TokenRef& token) {
  std::string name = token.label;
  if (!token.serial.empty()) name += name.empty() ? token.serial : " (" + token.serial + ")";
  return Utf8ToNarrow(name);
}

PinDialog::PinDialog(const PinRequest& request)
    : DialogModel(std::string(kPinDialogName), Utf8ToNarrow("輸入憑證載具 PIN 碼")) {
  AddStatic(Utf8ToNarrow("憑證載具 :"));
  AddStatic(Utf8ToNarrow("PIN 碼 :"));
  // The warnings, each a line of its own above the PIN: what happened, then what is at stake (the
  // last try says more than a low count).
  if (request.retry) AddStatic(Utf8ToNarrow("PIN 碼錯誤，請重新輸入。"));
  if (request.final_try) {
    AddStatic(Utf8ToNarrow("最後一次機會：再輸入錯誤，憑證載具將被鎖定。"));
  } else if (request.count_low) {
    AddStatic(Utf8ToNarrow("PIN 碼已多次輸入錯誤，剩餘的嘗試次數不多。"));
  }
  AddEdit(
      {pin_control::kToken, TokenDisplayName(request.token), 0, true, /*read_only=*/true, false});
  AddEdit({pin_control::kPin, "", 0, true, false, /*password=*/true});
  AddCheck({pin_control::kKeep, Utf8ToNarrow("在本次工作階段保留 PIN 碼"), false, true});
  AddButton({kDialogIdOk, Utf8ToNarrow("確定"), true});
  AddButton({kDialogIdCancel, Utf8ToNarrow("取消"), true});
}

PinDialog::~PinDialog() = default;

void PinDialog::OnInit(DialogHost&) {
  OnTextChanged(pin_control::kPin);
}

void PinDialog::OnTextChanged(int id) {
  if (id == pin_control::kPin) EnableControl(kDialogIdOk, !EditText(pin_control::kPin).empty());
}

DialogClose PinDialog::OnClick(int id, DialogHost& host) {
  if (id == kDialogIdOk) {
    pin_.assign(EditText(pin_control::kPin));
    keep_ = IsChecked(pin_control::kKeep);
    return DialogClose::kOk;
  }
  return DialogModel::OnClick(id, host);
}

void PinDialog::OnCancel() {
  pin_.Wipe();
  keep_ = false;
}

std::optional<PinAnswer> AskTokenPin(DialogHost& host, const PinRequest& request) {
  PinDialog dialog(request);
  if (host.ShowModal(dialog) != DialogOutcome::kOk) return std::nullopt;
  std::optional<PinAnswer> answer(std::in_place);
  answer->pin = dialog.pin();
  answer->remember = dialog.keep();
  return answer;
}

TokenPinPrompt MakeDialogPinPrompt() {
  return [](const PinRequest& request) { return AskTokenPin(CurrentDialogHost(), request); };
}

}  // namespace kelvadrome
