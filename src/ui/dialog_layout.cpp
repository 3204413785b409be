#include "ui/dialog_layout.h"

#include "ui/cert_list_dialog.h"
#include "ui/change_password_dialog.h"
#include "ui/consent_dialog.h"
#include "ui/key_use_dialog.h"
#include "ui/page_dialogs.h"
#include "ui/pfx_dialogs.h"
#include "ui/pin_dialog.h"
#include "ui/sign_confirm_dialog.h"
#include "ui/token_choice_dialog.h"

namespace kelvadrome {

std::vector<LayoutRow> LayoutFor(const DialogModel& model) {
  const std::string& name = model.name();
  if (name == kPasswordDialogName) return {{.label = 0, .edit = pfx_control::kPassword}};
  if (name == kPfxFileDialogName) {
    return {{.label = 0, .edit = pfx_control::kPath, .button = pfx_control::kBrowse},
            {.label = 1, .edit = pfx_control::kPassword}};
  }
  if (name == kPfxExportDialogName || name == kMobileExportDialogName) {
    std::vector<LayoutRow> rows = {{.label = 0},
                                   {.edit = pfx_control::kPath, .button = pfx_control::kBrowse},
                                   {.label = 1},
                                   {.edit = pfx_control::kPassword}};
    if (name == kPfxExportDialogName) {
      rows.push_back({.label = 2});
      rows.push_back({.edit = pfx_control::kConfirmation});
    }
    return rows;
  }
  if (name == kChangePasswordDialogName) {
    namespace c = change_password_control;
    return {{.label = 0, .edit = c::kPath, .button = c::kBrowse, .lines = 2},
            {.label = 1, .edit = c::kOldPassword},
            {.label = 2, .edit = c::kNewPassword},
            {.label = 3, .edit = c::kConfirmation}};
  }
  if (name == kSignConfirmDialogName) {
    namespace c = sign_confirm_control;
    return {{.label = 0},
            {.edit = c::kContent, .lines = 6},
            {.label = 1},
            {.label = 2, .edit = c::kSerial},
            {.label = 3, .edit = c::kCommonName},
            {.label = 4},
            {.label = 5, .edit = c::kNotBefore},
            {.label = 6, .edit = c::kNotAfter}};
  }
  if (name == kCertListDialogName) return {{.label = 0}, {.list = true}};
  if (name == kKeyUseDialogName) {
    namespace c = key_use_control;
    return {{.label = 0, .edit = c::kContainer},
            {.label = 1, .edit = c::kProvider},
            {.label = 2, .edit = c::kPurpose, .translated = true}};
  }
  if (name == kConsentDialogName) return {{.label = 0}, {.edit = consent_control::kOrigin}};
  // The page's origin under the first label; the path or subject under the second.
  if (name == kPathPickDialogName) {
    return {{.label = 0},
            {.edit = page_control::kOrigin},
            {.label = 1},
            {.edit = page_control::kSubject, .button = page_control::kBrowse}};
  }
  if (name == kConfirmDeleteDialogName) {
    return {{.label = 0},
            {.edit = page_control::kOrigin},
            {.label = 1},
            {.edit = page_control::kSubject}};
  }
  // The token, the warnings (statics from 2 on, when the token reported any), the PIN, the box.
  if (name == kPinDialogName) {
    std::vector<LayoutRow> rows = {{.label = 0, .edit = pin_control::kToken}};
    for (size_t i = 2; i < model.statics().size(); ++i) {
      rows.push_back({.label = static_cast<int>(i)});
    }
    rows.push_back({.label = 1, .edit = pin_control::kPin});
    rows.push_back({.check = pin_control::kKeep});
    return rows;
  }
  if (name == kTokenChoiceDialogName) return {{.label = 0}, {.list = true}};
  return {};
}

}  // namespace kelvadrome
