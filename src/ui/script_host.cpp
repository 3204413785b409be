#include "ui/script_host.h"

#include <utility>

namespace kelvadrome {

ScriptHost::ScriptHost(DialogScript script, DialogLog log)
    : script_(std::move(script)), log_(std::move(log)) {
  for (const DialogScriptError& error : script_.errors) log_.LogScriptError(error);
}

std::unique_ptr<ScriptHost> ScriptHost::FromFile(const std::string& script_path, DialogLog log) {
  DialogScript script;
  std::string reason;
  if (!ReadDialogScriptFile(script_path, &script, &reason)) {
    log.LogNote("unreadable " + EscapeLogText(script_path) + ": " + reason);
  }
  return std::make_unique<ScriptHost>(std::move(script), std::move(log));
}

const DialogAction* ScriptHost::Peek() const {
  return next_ < script_.actions.size() ? &script_.actions[next_] : nullptr;
}

bool ScriptHost::ConsumeExpect(std::string_view name) {
  const DialogAction* action = Peek();
  if (action == nullptr || action->kind != DialogAction::Kind::kExpect) return true;
  if (action->text == name) {
    ++next_;
    return true;
  }
  log_.LogMismatch(action->text, name);
  return false;
}

PickResult ScriptHost::RunPicker(std::string_view picker, const std::string& title) {
  log_.LogPickerShow(picker, title);
  PickResult result{DialogOutcome::kCancel, {}};
  if (ConsumeExpect(picker)) {
    for (;;) {
      const DialogAction* action = Peek();
      if (action == nullptr) {
        log_.LogNote("ended");
        break;
      }
      if (action->kind == DialogAction::Kind::kExpect) break;
      ++next_;
      if (action->kind == DialogAction::Kind::kCancel) break;
      if (action->kind == DialogAction::Kind::kChoose) {
        result = {DialogOutcome::kOk, action->text};
        break;
      }
      log_.LogIgnored(*action, "not for a picker");
    }
  }
  log_.LogPickerClose(picker, result.outcome == DialogOutcome::kOk);
  return result;
}

PickResult ScriptHost::PickOpenFile(const OpenFileRequest& request) {
  return RunPicker(kOpenFileDialogName, request.title);
}

PickResult ScriptHost::BrowseFolder(const std::string& title) {
  return RunPicker(kBrowseFolderDialogName, title);
}

DialogOutcome ScriptHost::ShowModal(DialogModel& model) {
  model.Initialize(*this);
  log_.LogShow(model);
  DialogClose close = DialogClose::kStay;
  if (!ConsumeExpect(model.name())) {
    model.Cancel();
    close = DialogClose::kCancel;
  }
  while (close == DialogClose::kStay) {
    const DialogAction* action = Peek();
    if (action == nullptr) {
      log_.LogNote("ended");
      model.Cancel();
      close = DialogClose::kCancel;
      break;
    }
    if (action->kind == DialogAction::Kind::kExpect) {
      model.Cancel();
      close = DialogClose::kCancel;
      break;
    }
    ++next_;
    DialogInput input = DialogInput::kApplied;
    switch (action->kind) {
      case DialogAction::Kind::kSet:
        input = model.Type(action->id, action->text);
        break;
      case DialogAction::Kind::kSelect:
        input = model.Select(action->id);
        break;
      case DialogAction::Kind::kCheck:
      case DialogAction::Kind::kUncheck:
        input = model.SetChecked(action->id, action->kind == DialogAction::Kind::kCheck);
        break;
      case DialogAction::Kind::kClick: {
        // The click may show nested pickers and messages, which take actions of their own.
        const DialogModel::ClickResult clicked = model.Click(action->id, *this);
        input = clicked.input;
        close = clicked.close;
        break;
      }
      case DialogAction::Kind::kCancel:
        model.Cancel();
        close = DialogClose::kCancel;
        break;
      case DialogAction::Kind::kChoose:
        log_.LogIgnored(*action, "no picker is open");
        break;
      case DialogAction::Kind::kExpect:
        break;
    }
    if (input != DialogInput::kApplied) log_.LogIgnored(*action, DialogInputName(input));
  }
  log_.LogClose(model, close == DialogClose::kOk);
  return close == DialogClose::kOk ? DialogOutcome::kOk : DialogOutcome::kCancel;
}

void ScriptHost::ShowMessage(const std::string& caption, const std::string& text) {
  log_.LogMessage(caption, text);
}

void ScriptHost::ViewFile(const std::string& path) {
  log_.LogView(path);
}

}  // namespace kelvadrome
