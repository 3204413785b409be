// The dialog that asks the person whether a web page's origin may use the component ("consent"):
// the origin is shown read-only in edit 501; the person allows it for this session (button 1),
// always (button 3) or denies it (button 2). Cancel and closing the window deny.
#pragma once

#include <string>
#include <string_view>

#include "ui/dialog_host.h"
#include "ui/dialog_model.h"

namespace kelvadrome {

inline constexpr std::string_view kConsentDialogName = "consent";

namespace consent_control {
inline constexpr int kOrigin = 501;
inline constexpr int kAllowSession = 1;
inline constexpr int kDeny = 2;
inline constexpr int kAllowAlways = 3;
}  // namespace consent_control

// kDeny: the person pressed deny (kept for later sessions); kDenySession: the dialog was
// cancelled, closed or could not be shown (this session only).
enum class ConsentAnswer { kAllowSession, kAllowAlways, kDeny, kDenySession };

class ConsentDialog final : public DialogModel {
 public:
  explicit ConsentDialog(std::string origin);
  ConsentAnswer answer() const { return answer_; }

 protected:
  void OnInit(DialogHost& host) override;
  DialogClose OnClick(int id, DialogHost& host) override;

 private:
  std::string origin_;
  ConsentAnswer answer_ = ConsentAnswer::kDenySession;
};

// AskConsent shows the dialog for |origin| (UTF-8) on |host|: the button pressed, or kDenySession
// when the dialog was cancelled, closed or could not be shown.
ConsentAnswer AskConsent(DialogHost& host, std::string_view origin);

}  // namespace kelvadrome
