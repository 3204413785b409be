// The dialog that asks for the PIN of a smart card or USB token ("pin") when the token layer needs
// a login, and the prompt the token layer is given to show it.
//
// The token is named (label, and serial number when it has one) in read-only edit 403; the PIN is
// typed into password edit 401; check box 402 keeps the PIN for the rest of the process. When the
// token reports it, a line above the PIN says that the PIN given before was wrong, that few tries
// are left, or that this is the last one before the token locks. OK (1) is enabled only while the
// PIN is not empty; Cancel (2) and closing the window give no PIN.
#pragma once

#include <optional>
#include <string_view>

#include "platform/pkcs11_tokens.h"
#include "platform/secrets.h"
#include "ui/dialog_host.h"
#include "ui/dialog_model.h"

namespace kelvadrome {

inline constexpr std::string_view kPinDialogName = "pin";

namespace pin_control {
inline constexpr int kPin = 401;
inline constexpr int kKeep = 402;
inline constexpr int kToken = 403;
}  // namespace pin_control

// TokenDisplayName returns how a dialog names |token|: its label, with the serial number in
// parentheses when there is one (only the serial when the label is empty), as narrow text in the
// process code page.
std::string TokenDisplayName(const TokenRef& token);

class PinDialog final : public DialogModel {
 public:
  explicit PinDialog(const PinRequest& request);
  ~PinDialog() override;

  // The PIN and the keep choice OK took; empty and false before OK and after a cancel.
  const SecretString& pin() const { return pin_; }
  bool keep() const { return keep_; }

 protected:
  void OnInit(DialogHost& host) override;
  void OnTextChanged(int id) override;
  DialogClose OnClick(int id, DialogHost& host) override;
  void OnCancel() override;

 private:
  SecretString pin_;
  bool keep_ = false;
};

// AskTokenPin shows PinDialog for |request| on |host|: the PIN typed and the keep choice, or
// nullopt when the person cancelled or the dialog cannot be shown.
std::optional<PinAnswer> AskTokenPin(DialogHost& host, const PinRequest& request);

// MakeDialogPinPrompt returns the prompt for SetTokenPinPrompt: it asks through the process's
// dialog host as it is at the time of asking (CurrentDialogHost), not when the prompt was made.
TokenPinPrompt MakeDialogPinPrompt();

}  // namespace kelvadrome
