// The dialog the dialog fuzz targets play their input against: edits (one a limited password that
// enables OK, one disabled), buttons opening a nested picker and a message box followed by a folder
// picker, and a list.
#pragma once

#include "ui/dialog_host.h"
#include "ui/dialog_model.h"

namespace fuzzing {

class FuzzModel : public kelvadrome::DialogModel {
 public:
  FuzzModel() : DialogModel("202", "Fuzz") {
    AddStatic("label");
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

}  // namespace fuzzing
