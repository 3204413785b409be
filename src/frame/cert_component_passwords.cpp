// The password length range, the PFX password change and the PFX query of CertComponent.
#include "frame/cert_component.h"
#include "ops/pfx_password.h"
#include "platform/text.h"
#include "ui/pfx_dialogs.h"

namespace kelvadrome {

int32_t CertComponent::PresetPasswdLengthRange(int32_t min, int32_t max) {
  Reset(MethodId::PresetPasswdLengthRange);
  NormalisePasswordLengthRange(min, max);
  minPasswordLength = min;
  maxPasswordLength = max;
  errors_.errorCode = 0;
  return 0;
}

// dwFlags is not used by either change worker: the keys are always taken in exportable, which the
// rewrite needs.
int32_t CertComponent::ChangePfxPasswd(TextArg strPfxPath, TextArg strPfxName, TextArg strOldPass,
                                       TextArg strNewPass, int32_t /*dwFlags*/) {
  return RunPasswordChange(MethodId::ChangePfxPasswd, strPfxPath, strPfxName, strOldPass,
                           strNewPass, 0);
}

int32_t CertComponent::ChangePfxPasswdEx(TextArg strPfxPath, TextArg strPfxName, TextArg strOldPass,
                                         TextArg strNewPass, int32_t dwPort, int32_t /*dwFlags*/) {
  return RunPasswordChange(MethodId::ChangePfxPasswdEx, strPfxPath, strPfxName, strOldPass,
                           strNewPass, dwPort);
}

int32_t CertComponent::RunPasswordChange(MethodId method, TextArg folder, TextArg file_name,
                                         TextArg old_password, TextArg new_password, int32_t port) {
  Reset(method);
  if (Refuses(method)) return errors_.errorCode;
  PfxPasswordChangeRequest request;
  request.folder = ConvertToNarrow(folder.view());
  request.file_name = ConvertToNarrow(file_name.view());
  request.old_password = ConvertSecretToNarrow(old_password.view());
  request.new_password = ConvertSecretToNarrow(new_password.view());
  request.min_password_length = minPasswordLength;
  request.max_password_length = maxPasswordLength;
  if (!GateCallerPath(PathUse::kRewriteFile, request.folder, request.file_name)) {
    return errors_.errorCode;
  }
  const PfxPasswordChangeOutcome outcome = ChangePfxFilePassword(std::move(request), dialogs());
  errors_.errorCode = outcome.code;
  errors_.capiErrorCode = outcome.platform_error;
  // Instances signing with this very file learn its new password; the result stays as it is.
  if (outcome.code == 0 && port > 0) {
    PublishChangedPfxPassword(signerShare, outcome.path, outcome.new_password);
  }
  return errors_.errorCode;
}

int32_t CertComponent::QueryPfxInfo(TextArg strPfxPath, TextArg strPfxName, TextArg strPasswd,
                                    int32_t dwFlags, int32_t dwKeyUsage) {
  Reset(MethodId::QueryPfxInfo);
  ResetSigner();
  if (Refuses(MethodId::QueryPfxInfo)) return errors_.errorCode;
  PfxFileRequest request = PfxFileRequestOf(strPfxPath, strPfxName, strPasswd, dwFlags, dwKeyUsage);
  if (!GateCallerPath(PathUse::kReadFile, request.folder, request.file_name)) {
    return errors_.errorCode;
  }
  PfxQueryOutcome outcome = QueryPfxFile(std::move(request), dialogs());
  errors_.errorCode = outcome.code;
  errors_.capiErrorCode = outcome.platform_error;
  // The certificate getters and the signer's file getters report the file; the signer's source
  // stays "none" and its password is not kept.
  if (outcome.code == 0) {
    signer_.pfx_folder = std::move(outcome.folder);
    signer_.pfx_name = std::move(outcome.file_name);
    signer_.der = std::move(outcome.certificates);
  }
  return errors_.errorCode;
}

}  // namespace kelvadrome
