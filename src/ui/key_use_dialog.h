// The dialog that asks the user before a private key marked user-protected is used: it names the
// key container, its provider and what the key is about to do, and the user allows the use (OK) or
// refuses it (Cancel). Scripts and logs know it as "key-use".
#pragma once

#include "platform/key_container.h"
#include "ui/dialog_model.h"

namespace kelvadrome {

inline constexpr std::string_view kKeyUseDialogName = "key-use";

// Control ids of the dialog.
namespace key_use_control {
inline constexpr int kContainer = 1001;
inline constexpr int kProvider = 1002;
inline constexpr int kPurpose = 1003;
}  // namespace key_use_control

class KeyUseDialog final : public DialogModel {
 public:
  explicit KeyUseDialog(const KeyUseRequest& request);
};

// AskForKeyUse shows the dialog on |host|; true only when the user pressed OK. A dialog that
// cannot be shown counts as a refusal.
bool AskForKeyUse(DialogHost& host, const KeyUseRequest& request);

}  // namespace kelvadrome
