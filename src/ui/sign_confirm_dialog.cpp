#include "ui/sign_confirm_dialog.h"

#include <limits>
#include <utility>

#include "codec/cert_info.h"
#include "platform/text.h"

namespace kelvadrome {

namespace {

DialogEdit ReadOnlyEdit(int id) {
  return {id, "", 0, true, /*read_only=*/true, false};
}

}  // namespace

SignConfirmDialog::SignConfirmDialog()
    : DialogModel(std::string(kSignConfirmDialogName),
                  Utf8ToNarrow("執行簽章(Sign with this Certificate)")) {
  // Group titles and labels in layout order: the content group, then the certificate group with
  // one label per field (validity has a title and "From :", the end bound its own "to :").
  AddStatic(Utf8ToNarrow("簽章內容(Plain Text tobe sign)"));
  AddStatic(Utf8ToNarrow("簽章憑證 (Certificate information)"));
  AddStatic(Utf8ToNarrow("憑證序號(Serial) : "));
  AddStatic(Utf8ToNarrow("用戶名(CommonName) :"));
  AddStatic(Utf8ToNarrow("憑證效期(Validity):"));
  AddStatic("From :");
  AddStatic("to :");
  AddEdit(ReadOnlyEdit(sign_confirm_control::kContent));
  AddEdit(ReadOnlyEdit(sign_confirm_control::kSerial));
  AddEdit(ReadOnlyEdit(sign_confirm_control::kCommonName));
  AddEdit(ReadOnlyEdit(sign_confirm_control::kNotBefore));
  AddEdit(ReadOnlyEdit(sign_confirm_control::kNotAfter));
  AddButton({kDialogIdOk, Utf8ToNarrow("確定(Ok)"), true});  // the default button
  AddButton({kDialogIdCancel, Utf8ToNarrow("取消(Cancel)"), true});
}

void SignConfirmDialog::SetSigner(const CertInfo& signer) {
  serial_number_ = signer.GetSerial();
  common_name_ = signer.GetSubjectCN();
  not_before_ = signer.GetNotBefore(CertDateFormat::kCompact);
  not_after_ = signer.GetNotAfter(CertDateFormat::kCompact);
}

void SignConfirmDialog::OnInit(DialogHost&) {
  SetEditText(sign_confirm_control::kContent, content_);
  SetEditText(sign_confirm_control::kSerial, serial_number_);
  SetEditText(sign_confirm_control::kCommonName, common_name_);
  SetEditText(sign_confirm_control::kNotBefore, not_before_);
  SetEditText(sign_confirm_control::kNotAfter, not_after_);
}

DialogOutcome ConfirmSigning(DialogHost& host, std::string_view content,
                             const std::vector<uint8_t>& der) {
  CertInfo signer;
  if (!der.empty() && der.size() <= static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    signer.LoadFromDer(der.data(), static_cast<int32_t>(der.size()));
  }
  SignConfirmDialog dialog;
  dialog.set_content(std::string(content));
  dialog.SetSigner(signer);
  return host.ShowModal(dialog);
}

}  // namespace kelvadrome
