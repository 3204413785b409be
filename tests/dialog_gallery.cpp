// Shows one of the component's dialogs, as its worker would, on the host KELVADROME_DIALOGS names
// (the gui host for scripts/screenshots.sh), and prints the driver's result code.
//   kelvadrome_dialog_gallery pfx-file|pfx-export|change-password|cert-list|sign-confirm|key-use|
//                             consent|path-pick|confirm-delete|pin|token-choice
//                             <folder> [certificate.der ...]
// <folder> holds the PFX file "demo.pfx" the path dialogs start with; the certificates fill the
// certificate list, and the first one is the signer of the signing confirmation.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/key_container.h"
#include "ui/cert_list_dialog.h"
#include "ui/consent_dialog.h"
#include "ui/change_password_dialog.h"
#include "ui/dialog_host.h"
#include "ui/key_use_dialog.h"
#include "ui/page_dialogs.h"
#include "ui/pfx_dialogs.h"
#include "ui/pin_dialog.h"
#include "ui/sign_confirm_dialog.h"
#include "ui/token_choice_dialog.h"

using namespace kelvadrome;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <dialog> <folder> [certificate.der ...]\n", argv[0]);
    return 2;
  }
  const std::string which = argv[1];
  const std::string folder = argv[2];
  std::vector<std::vector<uint8_t>> certificates;
  for (int i = 3; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    certificates.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  DialogHost& host = CurrentDialogHost();
  int32_t code = -1;
  if (which == "pfx-file" || which == "pfx-export") {
    PfxPromptFields fields;
    fields.folder = folder;
    fields.file_name = "demo.pfx";
    fields.min_length = 4;
    code = which == "pfx-file" ? PromptPfxFile(host, fields) : PromptPfxExport(host, fields);
  } else if (which == "change-password") {
    ChangePasswordFields fields;
    fields.folder = folder;
    fields.file_name = "demo.pfx";
    fields.min_length = 4;
    code = PromptChangePassword(host, fields);
  } else if (which == "cert-list") {
    int chosen = -1;
    code = ChooseCertificate(host, certificates, &chosen);
  } else if (which == "sign-confirm" && !certificates.empty()) {
    code = static_cast<int32_t>(
        ConfirmSigning(host, "轉帳 NT$ 1,000 至帳號 012-345678", certificates[0]));
  } else if (which == "key-use") {
    KeyUseRequest request;
    request.container = "王小明的簽章金鑰";
    request.provider = "Kelvadrome Smart Card Cryptographic Provider";
    request.use = KeyUse::kSign;
    code = AskForKeyUse(host, request) ? 0 : 1;
  } else if (which == "consent") {
    // The answer's number: 0 allow this time, 1 always, 2 deny, 3 closed without an answer.
    code = static_cast<int32_t>(AskConsent(host, "https://shop.example"));
  } else if (which == "path-pick") {
    // 0 when a path was picked, 1 when not.
    code = AskPathPick(host, "https://shop.example", PathUse::kReadFile, folder + "/demo.pfx")
               ? 0
               : 1;
  } else if (which == "confirm-delete") {
    code = AskDeleteConfirmation(host, "https://shop.example", "C=TW, O=範例公司, CN=王小明") ? 0 : 1;
  } else if (which == "pin") {
    // After a wrong PIN, with few tries left. The PIN's length, plus 100 when it is to be kept;
    // -1 when cancelled.
    PinRequest request;
    request.token = {"softtoken", "0123456789AB", "王小明的憑證卡"};
    request.retry = true;
    request.count_low = true;
    const std::optional<PinAnswer> answer = AskTokenPin(host, request);
    code = !answer ? -1 : static_cast<int32_t>(answer->pin.size()) + (answer->remember ? 100 : 0);
  } else if (which == "token-choice") {
    // The chosen index, or -1 when cancelled.
    std::vector<TokenInfo> tokens(3);
    tokens[0].ref = {"softtoken", "0123456789AB", "王小明的憑證卡"};
    tokens[0].manufacturer = "範例卡片公司";
    tokens[0].model = "SC-3000";
    tokens[1].ref = {"usbkey", "KEY-00042", "USB 金鑰"};
    tokens[1].manufacturer = "Example Tokens Ltd.";
    tokens[1].model = "UT-2";
    tokens[2].ref = {"softtoken", "77AC01", "測試用載具"};
    tokens[2].manufacturer = "範例卡片公司";
    tokens[2].model = "SC-3000";
    const std::optional<size_t> chosen = ChooseToken(host, tokens);
    code = chosen ? static_cast<int32_t>(*chosen) : -1;
  } else {
    std::fprintf(stderr, "unknown dialog %s\n", which.c_str());
    return 2;
  }
  std::printf("%d\n", code);
  return 0;
}
