// The mobile export workers: a certificate and its private key from a PFX file or from "MY" as
// one password-protected Base64 text.
#include "frame/cert_component.h"
#include "ops/mobile_export.h"
#include "ops/signer_selection.h"
#include "platform/text.h"

namespace kelvadrome {

namespace {

// ExportMobileFromPfx: take the PFX file, name and password of a signer selected from a PFX file.
constexpr int32_t kUseSignerPfxFlag = 0x4000;

std::u16string AsciiToWide(std::string_view ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

}  // namespace

std::u16string CertComponent::ExportMobileFromPfx(TextArg strPfxPath, TextArg strPfxName,
                                                  TextArg strPasswd, int32_t dwFlags,
                                                  int32_t dwKeyUsage) {
  Reset(MethodId::ExportMobileFromPfx);
  exportedPfxPath.clear();
  exportedPfxName.clear();
  if (Refuses(MethodId::ExportMobileFromPfx)) return {};
  MobilePfxRequest request;
  if ((dwFlags & kUseSignerPfxFlag) != 0 && signer_.source == SignerSource::kPfxFile) {
    request.folder = signer_.pfx_folder;
    request.file_name = signer_.pfx_name;
    request.password = signer_.pfx_password;
  } else {
    request.folder = ConvertToNarrow(strPfxPath.view());
    request.file_name = ConvertToNarrow(strPfxName.view());
    request.password = ConvertSecretToNarrow(strPasswd.view());
    // The signer's own file was gated when it was selected; a file named here is gated now.
    if (!GateCallerPath(PathUse::kReadFile, request.folder, request.file_name)) return {};
  }
  request.key_usage = dwKeyUsage;
  request.min_password_length = minPasswordLength;
  request.max_password_length = maxPasswordLength;
  MobileExportOutcome outcome = ExportMobileFromPfxFile(request, dialogs());
  errors_.errorCode = outcome.code;
  errors_.capiErrorCode = outcome.platform_error;
  if (outcome.code != 0) return {};
  exportedPfxPath = std::move(outcome.folder);
  exportedPfxName = std::move(outcome.file_name);
  return AsciiToWide(outcome.text);
}

std::u16string CertComponent::ExportMobileFromIE(TextArg strSubject, TextArg strPasswd,
                                                 int32_t dwFlags, int32_t dwKeyUsage) {
  Reset(MethodId::ExportMobileFromIE);
  exportedPfxPath.clear();
  exportedPfxName.clear();
  if (Refuses(MethodId::ExportMobileFromIE)) return {};
  MobileStoreRequest request;
  request.subject_filter = ConvertToNarrow(strSubject.view());
  request.password = ConvertSecretToNarrow(strPasswd.view());
  request.flags = dwFlags;
  request.key_usage = dwKeyUsage;
  const MobileExportOutcome outcome = ExportMobileFromStore(request, dialogs());
  errors_.errorCode = outcome.code;
  errors_.capiErrorCode = outcome.platform_error;
  if (outcome.code != 0) return {};
  return AsciiToWide(outcome.text);
}

}  // namespace kelvadrome
