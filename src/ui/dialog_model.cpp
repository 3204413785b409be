#include "ui/dialog_model.h"

#include <algorithm>
#include <utility>

#include "platform/secrets.h"
#include "platform/text.h"

namespace kelvadrome {

namespace {

bool IsUtf8Continuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

// Length in bytes of the UTF-8 character that starts |text| (text not empty). A lead byte takes as
// many continuation bytes as it announces and as are present; any other byte (a stray continuation
// byte, C0, C1, F5-FF) is a character of its own, so broken text is still counted and never split
// in the middle of a well-formed character.
size_t Utf8CharacterBytes(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  size_t wanted = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    wanted = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    wanted = 2;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    wanted = 3;
  }
  size_t length = 1;
  while (wanted > 0 && length < text.size() &&
         IsUtf8Continuation(static_cast<unsigned char>(text[length]))) {
    ++length;
    --wanted;
  }
  return length;
}

// Index of the first byte after the first |limit| characters of UTF-8 |text|, or text.size().
size_t Utf8PrefixBytes(std::string_view text, size_t limit) {
  size_t at = 0;
  for (size_t count = 0; count < limit && at < text.size(); ++count) {
    at += Utf8CharacterBytes(text.substr(at));
  }
  return at;
}

bool IsHighSurrogate(char16_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}

// Index of the first UTF-16 unit after the first |limit| characters of |wide|.
size_t Utf16PrefixUnits(std::u16string_view wide, size_t limit) {
  size_t count = 0;
  size_t i = 0;
  while (i < wide.size()) {
    if (count == limit) return i;
    const bool pair = IsHighSurrogate(wide[i]) && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 &&
                      wide[i + 1] <= 0xDFFF;
    i += pair ? 2 : 1;
    ++count;
  }
  return wide.size();
}

void WipeIfSecret(DialogEdit& edit) {
  if (edit.password) SecureWipe(edit.text);
}

}  // namespace

size_t CountCharacters(std::string_view text) {
  const CodePage code_page = ProcessCodePage();
  if (code_page.is_utf8) {
    size_t count = 0;
    for (size_t at = 0; at < text.size(); at += Utf8CharacterBytes(text.substr(at))) ++count;
    return count;
  }
  std::u16string wide = ConvertToWide(text, code_page);
  const size_t count = std::count_if(
      wide.begin(), wide.end(), [](char16_t unit) { return !(unit >= 0xDC00 && unit <= 0xDFFF); });
  SecureWipe(wide.data(), wide.size() * sizeof(char16_t));
  return count;
}

std::string CutToCharacters(std::string_view text, size_t limit) {
  const CodePage code_page = ProcessCodePage();
  if (code_page.is_utf8) return std::string(text.substr(0, Utf8PrefixBytes(text, limit)));
  std::u16string wide = ConvertToWide(text, code_page);
  const size_t units = Utf16PrefixUnits(wide, limit);
  std::string result = units == wide.size()
                           ? std::string(text)
                           : ConvertToNarrow(std::u16string_view(wide).substr(0, units), code_page);
  SecureWipe(wide.data(), wide.size() * sizeof(char16_t));
  return result;
}

const char* DialogInputName(DialogInput input) {
  switch (input) {
    case DialogInput::kApplied:
      return "applied";
    case DialogInput::kNoSuchControl:
      return "no such control";
    case DialogInput::kDisabled:
      return "control disabled";
    case DialogInput::kOutOfRange:
      return "no such row";
  }
  return "unknown";
}

DialogModel::DialogModel(std::string name, std::string caption)
    : name_(std::move(name)), caption_(std::move(caption)) {}

DialogModel::~DialogModel() {
  for (DialogEdit& edit : edits_) WipeIfSecret(edit);
}

const DialogEdit* DialogModel::FindEdit(int id) const {
  for (const DialogEdit& edit : edits_) {
    if (edit.id == id) return &edit;
  }
  return nullptr;
}

const DialogButton* DialogModel::FindButton(int id) const {
  for (const DialogButton& button : buttons_) {
    if (button.id == id) return &button;
  }
  return nullptr;
}

const DialogCheck* DialogModel::FindCheck(int id) const {
  for (const DialogCheck& check : checks_) {
    if (check.id == id) return &check;
  }
  return nullptr;
}

bool DialogModel::IsChecked(int id) const {
  const DialogCheck* check = FindCheck(id);
  return check != nullptr && check->checked;
}

DialogEdit* DialogModel::MutableEdit(int id) {
  return const_cast<DialogEdit*>(FindEdit(id));
}

DialogButton* DialogModel::MutableButton(int id) {
  return const_cast<DialogButton*>(FindButton(id));
}

DialogCheck* DialogModel::MutableCheck(int id) {
  return const_cast<DialogCheck*>(FindCheck(id));
}

const std::string& DialogModel::EditText(int id) const {
  static const std::string kEmpty;
  const DialogEdit* edit = FindEdit(id);
  return edit ? edit->text : kEmpty;
}

void DialogModel::Initialize(DialogHost& host) {
  OnInit(host);
}

DialogInput DialogModel::Type(int id, std::string_view text) {
  DialogEdit* edit = MutableEdit(id);
  if (edit == nullptr) return DialogInput::kNoSuchControl;
  if (!edit->enabled || edit->read_only) return DialogInput::kDisabled;
  std::string typed = edit->limit == 0 ? std::string(text) : CutToCharacters(text, edit->limit);
  WipeIfSecret(*edit);
  edit->text = std::move(typed);
  OnTextChanged(id);
  return DialogInput::kApplied;
}

DialogInput DialogModel::Select(int row) {
  if (!list_) return DialogInput::kNoSuchControl;
  if (row < 0 || static_cast<size_t>(row) >= list_->rows.size()) return DialogInput::kOutOfRange;
  list_->selected = row;
  OnRowSelected(row);
  return DialogInput::kApplied;
}

DialogInput DialogModel::SetChecked(int id, bool checked) {
  DialogCheck* check = MutableCheck(id);
  if (check == nullptr) return DialogInput::kNoSuchControl;
  if (!check->enabled) return DialogInput::kDisabled;
  check->checked = checked;
  OnCheckChanged(id);
  return DialogInput::kApplied;
}

DialogModel::ClickResult DialogModel::Click(int id, DialogHost& host) {
  const DialogButton* button = FindButton(id);
  if (button == nullptr) return {DialogInput::kNoSuchControl, DialogClose::kStay};
  if (!button->enabled) return {DialogInput::kDisabled, DialogClose::kStay};
  const DialogClose close = OnClick(id, host);
  if (close == DialogClose::kCancel) OnCancel();
  return {DialogInput::kApplied, close};
}

void DialogModel::Cancel() {
  OnCancel();
}

void DialogModel::OnInit(DialogHost&) {}
void DialogModel::OnTextChanged(int) {}
void DialogModel::OnRowSelected(int) {}
void DialogModel::OnCheckChanged(int) {}
void DialogModel::OnCancel() {}

DialogClose DialogModel::OnClick(int id, DialogHost&) {
  if (id == kDialogIdOk) return DialogClose::kOk;
  if (id == kDialogIdCancel) return DialogClose::kCancel;
  return DialogClose::kStay;
}

void DialogModel::AddEdit(DialogEdit edit) {
  if (DialogEdit* existing = MutableEdit(edit.id)) {
    WipeIfSecret(*existing);
    *existing = std::move(edit);
    return;
  }
  edits_.push_back(std::move(edit));
}

void DialogModel::AddButton(DialogButton button) {
  if (DialogButton* existing = MutableButton(button.id)) {
    *existing = std::move(button);
    return;
  }
  buttons_.push_back(std::move(button));
}

void DialogModel::AddCheck(DialogCheck check) {
  if (DialogCheck* existing = MutableCheck(check.id)) {
    *existing = std::move(check);
    return;
  }
  checks_.push_back(std::move(check));
}

void DialogModel::SetList(int id, std::vector<std::string> columns) {
  list_.emplace();
  list_->id = id;
  list_->columns = std::move(columns);
}

void DialogModel::AddRow(std::vector<std::string> texts) {
  if (!list_) return;
  texts.resize(list_->columns.size());
  list_->rows.push_back(std::move(texts));
}

bool DialogModel::SetSelectedRow(int row) {
  if (!list_) return false;
  if (row < -1 || (row >= 0 && static_cast<size_t>(row) >= list_->rows.size())) return false;
  list_->selected = row;
  return true;
}

bool DialogModel::SetEditText(int id, std::string text) {
  DialogEdit* edit = MutableEdit(id);
  if (edit == nullptr) return false;
  WipeIfSecret(*edit);
  edit->text = std::move(text);
  OnTextChanged(id);
  return true;
}

bool DialogModel::SetEditLimit(int id, size_t limit) {
  DialogEdit* edit = MutableEdit(id);
  if (edit == nullptr) return false;
  edit->limit = limit;
  return true;
}

bool DialogModel::EnableControl(int id, bool enabled) {
  if (DialogEdit* edit = MutableEdit(id)) {
    edit->enabled = enabled;
    return true;
  }
  if (DialogButton* button = MutableButton(id)) {
    button->enabled = enabled;
    return true;
  }
  if (DialogCheck* check = MutableCheck(id)) {
    check->enabled = enabled;
    return true;
  }
  return false;
}

bool DialogModel::SetButtonLabel(int id, std::string label) {
  DialogButton* button = MutableButton(id);
  if (button == nullptr) return false;
  button->label = std::move(label);
  return true;
}

}  // namespace kelvadrome
