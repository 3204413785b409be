// The dialog in which the person picks the smart card or token a new key is made on
// ("token-choice"), when more than one is present. Each token is one row of list 601: its label,
// serial number, manufacturer and model. OK (1) takes the selected row, Cancel (2) none.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/pkcs11_tokens.h"
#include "ui/dialog_host.h"
#include "ui/dialog_model.h"

namespace kelvadrome {

inline constexpr std::string_view kTokenChoiceDialogName = "token-choice";

namespace token_choice_control {
inline constexpr int kList = 601;
}  // namespace token_choice_control

// Widths in pixels of the four columns, for hosts that lay the list out.
inline constexpr std::array<int, 4> kTokenChoiceColumnWidths = {170, 130, 150, 130};

// TokenChoiceDialog lists |tokens| (borrowed: the vector must outlive the dialog and stay
// unchanged), the first one selected.
class TokenChoiceDialog final : public DialogModel {
 public:
  explicit TokenChoiceDialog(const std::vector<TokenInfo>& tokens);

  // The row OK took; nullopt before OK, after a cancel, or when no row was selected.
  std::optional<size_t> chosen() const { return chosen_; }

 protected:
  void OnInit(DialogHost& host) override;
  DialogClose OnClick(int id, DialogHost& host) override;
  void OnCancel() override;

 private:
  const std::vector<TokenInfo>& tokens_;
  std::optional<size_t> chosen_;
};

// ChooseToken shows TokenChoiceDialog for |tokens| on |host|: the index of the chosen token, or
// nullopt when the person cancelled, the dialog cannot be shown, or |tokens| is empty (then
// nothing is shown).
std::optional<size_t> ChooseToken(DialogHost& host, const std::vector<TokenInfo>& tokens);

}  // namespace kelvadrome
