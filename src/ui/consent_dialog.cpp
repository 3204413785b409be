#include "ui/consent_dialog.h"

#include <utility>

#include "platform/text.h"

namespace kelvadrome {

ConsentDialog::ConsentDialog(std::string origin)
    : DialogModel(std::string(kConsentDialogName), Utf8ToNarrow("網頁要求使用憑證元件")),
      origin_(std::move(origin)) {
  AddStatic(Utf8ToNarrow("下列網站要求使用您的憑證與金鑰:"));
  AddEdit({consent_control::kOrigin, "", 0, true, /*read_only=*/true, false});
  AddButton({consent_control::kAllowSession, Utf8ToNarrow("允許(本次)"), true});
  AddButton({consent_control::kAllowAlways, Utf8ToNarrow("永遠允許"), true});
  AddButton({consent_control::kDeny, Utf8ToNarrow("拒絕"), true});
}

void ConsentDialog::OnInit(DialogHost&) {
  SetEditText(consent_control::kOrigin, Utf8ToNarrow(origin_));
}

DialogClose ConsentDialog::OnClick(int id, DialogHost&) {
  switch (id) {
    case consent_control::kAllowSession:
      answer_ = ConsentAnswer::kAllowSession;
      return DialogClose::kOk;
    case consent_control::kAllowAlways:
      answer_ = ConsentAnswer::kAllowAlways;
      return DialogClose::kOk;
    case consent_control::kDeny:
      answer_ = ConsentAnswer::kDeny;
      return DialogClose::kCancel;
    default:
      return DialogClose::kStay;
  }
}

ConsentAnswer AskConsent(DialogHost& host, std::string_view origin) {
  ConsentDialog dialog{std::string(origin)};
  const DialogOutcome outcome = host.ShowModal(dialog);
  if (outcome == DialogOutcome::kUnavailable) return ConsentAnswer::kDenySession;
  return dialog.answer();
}

}  // namespace kelvadrome
