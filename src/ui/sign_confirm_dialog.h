// The dialog that asks the user to confirm a signature ("201"): it shows the text about to be
// signed and four facts about the signer certificate (serial number, common name, start and end of
// validity), all read-only, and the user agrees (OK) or refuses (Cancel). It has no other buttons
// and changes none of its fields. The content edit is multi-line: a long text with line breaks is
// kept whole and hosts let the user scroll through it.
//
// Texts are narrow strings in the process code page; the content passes through unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ui/dialog_host.h"
#include "ui/dialog_model.h"

namespace kelvadrome {

class CertInfo;

inline constexpr std::string_view kSignConfirmDialogName = "201";

// Control ids of the dialog (OK and Cancel are kDialogIdOk and kDialogIdCancel).
namespace sign_confirm_control {
inline constexpr int kContent = 301;     // multi-line, scrolls both ways
inline constexpr int kSerial = 302;      // serial number, upper-case hex
inline constexpr int kCommonName = 303;  // subject common name
inline constexpr int kNotBefore = 304;   // start of validity, "YYYYMMDDhhmmss" local time
inline constexpr int kNotAfter = 305;    // end of validity, same form
}  // namespace sign_confirm_control

// SignConfirmDialog: the fields are set before the dialog is shown and copied into the read-only
// edits when it is initialised; the dialog never writes them back.
class SignConfirmDialog final : public DialogModel {
 public:
  SignConfirmDialog();

  const std::string& content() const { return content_; }
  void set_content(std::string content) { content_ = std::move(content); }
  const std::string& common_name() const { return common_name_; }
  void set_common_name(std::string common_name) { common_name_ = std::move(common_name); }
  const std::string& serial_number() const { return serial_number_; }
  void set_serial_number(std::string serial_number) { serial_number_ = std::move(serial_number); }
  const std::string& not_before() const { return not_before_; }
  void set_not_before(std::string not_before) { not_before_ = std::move(not_before); }
  const std::string& not_after() const { return not_after_; }
  void set_not_after(std::string not_after) { not_after_ = std::move(not_after); }

  // SetSigner replaces serial number, common name, not-before and not-after with what |signer|
  // gives (GetSerial, GetSubjectCN and the compact local-time dates). A |signer| with nothing
  // loaded empties the four fields. The content is left as it is.
  void SetSigner(const CertInfo& signer);

 protected:
  // Puts content, serial number, common name, not-before and not-after into 301..305.
  void OnInit(DialogHost& host) override;

 private:
  std::string content_;
  std::string common_name_;
  std::string serial_number_;
  std::string not_before_;
  std::string not_after_;
};

// ConfirmSigning shows the dialog for |content| (narrow text) and the signer certificate |der|:
// kOk when the user agrees, kCancel when they refuse, kUnavailable when no dialog can be shown.
// A |der| that cannot be decoded still shows the dialog, with the four certificate fields empty.
// Nothing is kept after the call.
DialogOutcome ConfirmSigning(DialogHost& host, std::string_view content,
                             const std::vector<uint8_t>& der);

}  // namespace kelvadrome
