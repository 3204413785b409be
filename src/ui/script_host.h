// ScriptHost: a scripted user, for tests and automation (KELVADROME_DIALOGS=script:<file>). The
// script (syntax in ui/dialog_script.h) is read once when the host is made; its actions are
// consumed in order by every dialog, picker and nested picker the process shows. Events go to the
// dialog log (KELVADROME_DIALOG_LOG) when one is set.
//
// How a dialog plays out:
//  - The dialog is initialised and logged ("show", "field", "enabled", "row" lines).
//  - If the next action is "expect <name>", it is consumed when <name> matches the dialog; when it
//    names another dialog, the host logs "mismatch expected <name> got <dialog>" and cancels this
//    dialog, leaving the expect in place for the next dialog. A dialog without an expect in front
//    simply takes the actions that follow.
//  - Then actions are taken one by one until the dialog closes:
//      set / select / click  feed the model as a person would; a click that closes ends the dialog;
//                            an input that does not apply (unknown control, disabled control, row
//                            out of range) is logged as "ignored line <n>: ..." and play goes on;
//      cancel                cancels the dialog;
//      expect <other>        the script has moved on to the next dialog: this one is cancelled and
//                            the expect is left for the next dialog;
//      choose                does not apply to a dialog: logged as ignored;
//      (end of the script)   "script ended" is logged and the dialog is cancelled.
//  - A picker is the same with "choose <path>" answering it; set, select and click do not apply to
//    a picker and are logged as ignored.
// Message boxes need no action: they are logged ("message <caption> | <text>") and acknowledged.
// ViewFile only logs "view <path>". Closing is logged as "close <dialog> ok|cancel" followed, for a
// model, by its "field" lines as they stand at closing.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "ui/dialog_host.h"
#include "ui/dialog_script.h"

namespace kelvadrome {

class ScriptHost : public DialogHost {
 public:
  // Plays |script| and writes events to |log|. The parse errors of |script| are logged at once as
  // "script line <n>: <reason>".
  ScriptHost(DialogScript script, DialogLog log);

  // FromFile reads the script at |script_path| once. When it cannot be read, the reason is logged
  // as "script unreadable <path>: <reason>" and the host has no actions, so it cancels everything.
  // Never null.
  static std::unique_ptr<ScriptHost> FromFile(const std::string& script_path, DialogLog log);

  PickResult PickOpenFile(const OpenFileRequest& request) override;
  PickResult BrowseFolder(const std::string& title) override;
  DialogOutcome ShowModal(DialogModel& model) override;
  void ShowMessage(const std::string& caption, const std::string& text) override;
  void ViewFile(const std::string& path) override;

  // remaining_actions returns how many actions have not been consumed yet.
  size_t remaining_actions() const { return script_.actions.size() - next_; }

 private:
  const DialogAction* Peek() const;
  // ConsumeExpect handles an "expect" in front of dialog |name|: true when play may go on (no
  // expect, or a matching one, consumed), false after logging a mismatch.
  bool ConsumeExpect(std::string_view name);
  PickResult RunPicker(std::string_view picker, const std::string& title);

  DialogScript script_;
  size_t next_ = 0;
  DialogLog log_;
};

}  // namespace kelvadrome
