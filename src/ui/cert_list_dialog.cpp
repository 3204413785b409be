#include "ui/cert_list_dialog.h"

#include <cstdlib>
#include <limits>

#include "codec/byte_buffer.h"
#include "codec/cert_info.h"
#include "platform/error_codes.h"
#include "platform/text.h"
#include "ui/pfx_dialogs.h"

namespace kelvadrome {

namespace {

std::vector<std::string> RowTexts(const std::vector<uint8_t>& der) {
  CertInfo info;
  if (!der.empty() && der.size() <= static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    info.LoadFromDer(der.data(), static_cast<int32_t>(der.size()));
  }
  std::string holder = info.GetSubjectCN();
  if (holder.empty()) holder = info.GetSubject();
  std::string issuer = info.GetIssuerCN();
  if (issuer.empty()) issuer = info.GetIssuer();
  return {std::move(holder), info.GetSerial(), info.GetNotBefore(CertDateFormat::kDate),
          info.GetNotAfter(CertDateFormat::kDate), std::move(issuer)};
}

}  // namespace

std::string CertViewFilePath() {
  const char* tmpdir = std::getenv("TMPDIR");
  const std::string folder = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
  return JoinFolderAndName(FromSystemPath(folder), "temp.cer");
}

CertListDialog::CertListDialog(const std::vector<std::vector<uint8_t>>& candidates)
    : DialogModel(std::string(kCertListDialogName), Utf8ToNarrow("選擇憑證匯出至憑證交換檔")),
      candidates_(candidates) {
  AddStatic(Utf8ToNarrow("憑證"));
  AddButton({cert_list_control::kView, Utf8ToNarrow("檢視憑證"), true});
  AddButton({kDialogIdOk, Utf8ToNarrow("確定"), true});
  AddButton({kDialogIdCancel, Utf8ToNarrow("取消"), true});
}

void CertListDialog::OnInit(DialogHost&) {
  SetList(cert_list_control::kList,
          {Utf8ToNarrow("憑證持有人"), Utf8ToNarrow("憑證序號"), Utf8ToNarrow("起始日"),
           Utf8ToNarrow("截止日"), Utf8ToNarrow("憑證發行者")});
  for (const std::vector<uint8_t>& der : candidates_) AddRow(RowTexts(der));
  chosen_ = 0;
  SetSelectedRow(candidates_.empty() ? -1 : 0);
}

int32_t CertListDialog::ChosenRow() const {
  const int row = SelectedRow();
  return row < 0 ? 0 : row;
}

DialogClose CertListDialog::OnClick(int id, DialogHost& host) {
  if (id == cert_list_control::kView) {
    View(host);
    return DialogClose::kStay;
  }
  if (id == kDialogIdOk) {
    chosen_ = ChosenRow();
    return DialogClose::kOk;
  }
  return DialogModel::OnClick(id, host);
}

void CertListDialog::View(DialogHost& host) {
  chosen_ = ChosenRow();
  if (static_cast<size_t>(chosen_) >= candidates_.size()) return;
  const std::vector<uint8_t>& der = candidates_[static_cast<size_t>(chosen_)];
  ByteBuffer bytes;
  if (der.empty() || der.size() > static_cast<size_t>(ByteBuffer::kMaxLength) ||
      !bytes.Append(der.data(), static_cast<int32_t>(der.size()))) {
    return;
  }
  const std::string path = CertViewFilePath();
  if (WriteFileBytes(path, bytes)) host.ViewFile(path);
}

DialogOutcome ShowCertificateList(DialogHost& host,
                                  const std::vector<std::vector<uint8_t>>& candidates,
                                  int* chosen) {
  if (candidates.empty() || chosen == nullptr) return DialogOutcome::kUnavailable;
  CertListDialog dialog(candidates);
  const DialogOutcome outcome = host.ShowModal(dialog);
  if (outcome == DialogOutcome::kOk) *chosen = dialog.chosen_index();
  return outcome;
}

int32_t ChooseCertificate(DialogHost& host, const std::vector<std::vector<uint8_t>>& candidates,
                          int* chosen) {
  switch (ShowCertificateList(host, candidates, chosen)) {
    case DialogOutcome::kOk:
      return Code(ErrorCode::kSuccess);
    case DialogOutcome::kCancel:
      return Code(ErrorCode::kCancelled);
    case DialogOutcome::kUnavailable:
      break;
  }
  return Code(ErrorCode::kCertificateNotFound);
}

}  // namespace kelvadrome
