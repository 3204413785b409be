// Feeds arbitrary bytes to the dialog script reader, then plays the parsed script through a script
// host against a dialog with edits, buttons (one opening a nested picker, one a message box) and a
// list, so that the host's handling of every action sequence is exercised as well.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ui/dialog_script.h"
#include "ui/script_host.h"

#include "fuzz_dialog_model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  kelvadrome::DialogScript script = kelvadrome::ParseDialogScript(text);
  for (const kelvadrome::DialogAction& action : script.actions) {
    (void)kelvadrome::DialogActionText(action);
  }
  kelvadrome::ScriptHost host(std::move(script), kelvadrome::DialogLog());
  for (int shown = 0; shown < 8 && host.remaining_actions() > 0; ++shown) {
    fuzzing::FuzzModel model;
    host.ShowModal(model);
  }
  (void)kelvadrome::EscapeLogText(text);
  return 0;
}
