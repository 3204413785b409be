// The dialog in which the user picks one certificate out of several candidates ("204"), and the
// list-choice driver the workers call. Each candidate is one row: holder, serial number, validity
// and issuer. The view button writes the selected candidate to "temp.cer" in the temporary folder
// and hands that file to the host's viewer.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ui/dialog_host.h"
#include "ui/dialog_model.h"

namespace kelvadrome {

inline constexpr std::string_view kCertListDialogName = "204";

namespace cert_list_control {
inline constexpr int kList = 301;
inline constexpr int kView = 302;
}  // namespace cert_list_control

// Widths in pixels of the five columns, for hosts that lay the list out.
inline constexpr std::array<int, 5> kCertListColumnWidths = {150, 110, 110, 110, 180};

// CertViewFilePath returns where the view button writes: "temp.cer" in $TMPDIR, or in /tmp when
// TMPDIR is unset or empty, as narrow text in the process code page like every path the component
// keeps.
std::string CertViewFilePath();

// CertListDialog lists |candidates| (DER certificates, borrowed: the vector must outlive the
// dialog and stay unchanged). A candidate that cannot be decoded gets a row of empty texts.
class CertListDialog final : public DialogModel {
 public:
  explicit CertListDialog(const std::vector<std::vector<uint8_t>>& candidates);

  // chosen_index returns the index OK (or the view button) last computed: the selected row, or 0
  // when no row is selected. 0 before either was pressed.
  int32_t chosen_index() const { return chosen_; }

 protected:
  // Fills the list (one row per candidate, in order) and selects the first row.
  void OnInit(DialogHost& host) override;
  DialogClose OnClick(int id, DialogHost& host) override;

 private:
  int32_t ChosenRow() const;
  // View writes the chosen candidate to CertViewFilePath() and hands it to the host's viewer. A
  // failed write is not reported, and then nothing is viewed (an older temp.cer would show the
  // wrong certificate).
  void View(DialogHost& host);

  const std::vector<std::vector<uint8_t>>& candidates_;
  int32_t chosen_ = 0;
};

// ShowCertificateList shows CertListDialog for |candidates| on |host|: kOk with |*chosen| set to
// the chosen index, kCancel, or kUnavailable (the host cannot show it). An empty list, or a null
// |chosen|, gives kUnavailable without showing anything. |*chosen| is only written on kOk.
DialogOutcome ShowCertificateList(DialogHost& host,
                                  const std::vector<std::vector<uint8_t>>& candidates, int* chosen);

// ChooseCertificate is the list-choice driver: 0 with |*chosen| set, 5070 when the user cancels,
// 5010 for an empty list, a null |chosen| or a dialog that cannot be shown.
int32_t ChooseCertificate(DialogHost& host, const std::vector<std::vector<uint8_t>>& candidates,
                          int* chosen);

}  // namespace kelvadrome
