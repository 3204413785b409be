// Feeds arbitrary bytes to the dialog script reader, then plays the parsed script through a script
// host against a dialog with edits, buttons (one opening a nested picker, one a message box) and a
// list, so that the host's handling of every action sequence is exercised as well.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ui/dialog_script.h"
#include "ui/script_host.h"

namespace {

class FuzzModel : public kelvadrome::DialogModel {
 public:
  FuzzModel() : DialogModel("202", "Fuzz") {
    AddEdit({.id = 302, .text = "x", .limit = 0});
    AddEdit({.id = 303, .text = "", .limit = 4, .password = true});
    AddEdit({.id = 304, .text = "", .enabled = false});
    AddButton({.id = 301, .label = "Browse"});
    AddButton({.id = 305, .label = "Check"});
    AddButton({.id = kelvadrome::kDialogIdOk, .label = "OK"});
    AddButton({.id = kelvadrome::kDialogIdCancel, .label = "Cancel"});
    SetList(310, {"a", "b"});
    AddRow({"1", "2"});
    AddRow({"3", "4"});
  }

 protected:
  void OnTextChanged(int id) override {
    if (id == 303) EnableControl(kelvadrome::kDialogIdOk, !EditText(303).empty());
  }
  kelvadrome::DialogClose OnClick(int id, kelvadrome::DialogHost& host) override {
    if (id == 301) {
      const kelvadrome::PickResult pick = host.PickOpenFile({.title = "Pick"});
      if (pick.outcome == kelvadrome::DialogOutcome::kOk) SetEditText(302, pick.path);
      return kelvadrome::DialogClose::kStay;
    }
    if (id == 305) {
      host.ShowMessage("Check", EditText(302));
      if (host.BrowseFolder("Folder").outcome == kelvadrome::DialogOutcome::kOk) {
        return kelvadrome::DialogClose::kOk;
      }
      return kelvadrome::DialogClose::kStay;
    }
    return DialogModel::OnClick(id, host);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  kelvadrome::DialogScript script = kelvadrome::ParseDialogScript(text);
  for (const kelvadrome::DialogAction& action : script.actions) {
    (void)kelvadrome::DialogActionText(action);
  }
  kelvadrome::ScriptHost host(std::move(script), kelvadrome::DialogLog());
  for (int shown = 0; shown < 8 && host.remaining_actions() > 0; ++shown) {
    FuzzModel model;
    host.ShowModal(model);
  }
  (void)kelvadrome::EscapeLogText(text);
  return 0;
}
