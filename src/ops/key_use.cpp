#include "ops/key_use.h"

#include <mutex>

#include "platform/key_container.h"
#include "ui/dialog_host.h"
#include "ui/key_use_dialog.h"
#include "ui/pin_dialog.h"
#include "ui/token_choice_dialog.h"

namespace kelvadrome {

void InstallKeyUsePrompt() {
  static std::once_flag installed;
  std::call_once(installed, [] {
    SetDefaultKeyUsePrompt(
        [](const KeyUseRequest& request) { return AskForKeyUse(CurrentDialogHost(), request); });
    // A token's PIN, and the token a new card key goes to, are asked the same way.
    SetTokenPinPrompt(MakeDialogPinPrompt());
    SetTokenChooser([](const std::vector<TokenInfo>& tokens) {
      return ChooseToken(CurrentDialogHost(), tokens);
    });
  });
}

}  // namespace kelvadrome
