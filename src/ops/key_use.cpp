#include "ops/key_use.h"

#include <mutex>

#include "platform/key_container.h"
#include "ui/dialog_host.h"
#include "ui/key_use_dialog.h"

namespace kelvadrome {

void InstallKeyUsePrompt() {
  static std::once_flag installed;
  std::call_once(installed, [] {
    SetDefaultKeyUsePrompt(
        [](const KeyUseRequest& request) { return AskForKeyUse(CurrentDialogHost(), request); });
  });
}

}  // namespace kelvadrome
