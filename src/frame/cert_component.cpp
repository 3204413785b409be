#include "frame/cert_component.h"

#include <cstdio>

#include "frame/error_catalogue.h"
#include "host/registry_access.h"
#include "ops/hash.h"
#include "ops/key_use.h"
#include "ops/pfx_transfer.h"
#include "ops/signing.h"
#include "platform/error_codes.h"
#include "platform/key_container.h"
#include "platform/last_error.h"
#include "platform/secrets.h"
#include "platform/text.h"
#include "ui/dialog_host.h"

namespace kelvadrome {

namespace {

std::u16string AsciiToWide(std::string_view ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

}  // namespace

CertComponent::CertComponent() : CertComponent(ComponentEnvironment{}) {}

CertComponent::CertComponent(ComponentEnvironment environment)
    : environment_(std::move(environment)) {
  // Construction order: the key-request engine (the first member, which lists the providers),
  // then the protected-mode check, the platform version and the home folder.
  protectedMode = environment_.protected_mode_probe ? environment_.protected_mode_probe() : false;
  // Private keys marked user-protected ask the user through the dialog host before each use.
  InstallKeyUsePrompt();
  osVersion = ReadPlatformVersion();
  homeVariable = HomeVariable();
}

CertComponent::~CertComponent() {
  // Text fields may hold paths of key files; nothing of them stays behind in freed memory.
  for (std::string* field : {&importedPfxPath, &importedPfxName, &exportedPfxPath, &exportedPfxName,
                             &defaultPfxFileName}) {
    SecureWipe(*field);
  }
  ResetSigner();
}

void CertComponent::ResetSigner() {
  // The file's place goes the way of the password: nothing of it stays in freed memory.
  SecureWipe(signer_.pfx_folder);
  SecureWipe(signer_.pfx_name);
  signer_ = SelectedSigner{};
  signerKeys_.Release();
}

int32_t CertComponent::RunSelection(MethodId method, SignerSelectionRequest& request) {
  ResetSigner();
  Reset(method);
  if (Refuses(method)) return errors_.errorCode;
  request.min_password_length = minPasswordLength;
  request.max_password_length = maxPasswordLength;
  const SignerSelectionOutcome outcome = SelectSignerFor(request, dialogs(), &signerShare, signer_);
  errors_.errorCode = outcome.code;
  errors_.capiErrorCode = outcome.platform_error;
  return errors_.errorCode;
}

int32_t CertComponent::SelectSigner(TextArg certFilter, int32_t dwFlags, int32_t dwKeyUsage) {
  SignerSelectionRequest request;
  request.variant = SignerSelectionRequest::Variant::kSelectSigner;
  request.filter = ConvertToNarrow(certFilter.view());
  request.flags = dwFlags;
  request.key_usage = dwKeyUsage;
  return RunSelection(MethodId::SelectSigner, request);
}

int32_t CertComponent::SelectSignerEx(TextArg certFilter, TextArg strPfxPath, TextArg strPfxName,
                                      TextArg strPasswd, TextArg strCompareDate, int32_t dwFlags,
                                      int32_t dwKeyUsage) {
  SignerSelectionRequest request;
  request.variant = SignerSelectionRequest::Variant::kSelectSignerEx;
  request.filter = ConvertToNarrow(certFilter.view());
  request.pfx_folder = ConvertToNarrow(strPfxPath.view());
  request.pfx_name = ConvertToNarrow(strPfxName.view());
  request.password = ConvertSecretToNarrow(strPasswd.view());
  request.compare_date = ConvertToNarrow(strCompareDate.view());
  request.flags = dwFlags;
  request.key_usage = dwKeyUsage;
  request.path_gate = environment_.path_gate;
  return RunSelection(MethodId::SelectSignerEx, request);
}

int32_t CertComponent::SelectSignerEx2(TextArg certFilter, TextArg strPfxPath, TextArg strPfxName,
                                       int32_t dwPort, TextArg strCompareDate, int32_t dwFlags,
                                       int32_t dwKeyUsage) {
  SignerSelectionRequest request;
  request.variant = SignerSelectionRequest::Variant::kSelectSignerEx2;
  request.filter = ConvertToNarrow(certFilter.view());
  request.pfx_folder = ConvertToNarrow(strPfxPath.view());
  request.pfx_name = ConvertToNarrow(strPfxName.view());
  request.port = dwPort;
  request.compare_date = ConvertToNarrow(strCompareDate.view());
  request.flags = dwFlags;
  request.key_usage = dwKeyUsage;
  request.path_gate = environment_.path_gate;
  return RunSelection(MethodId::SelectSignerEx2, request);
}

void CertComponent::Reset(MethodId method) {
  const ResetClass reset = Describe(method).reset_class;
  if (ClearsErrorCode(reset)) errors_.errorCode = 0;
  if (ClearsCapiErrorCode(reset)) errors_.capiErrorCode = 0;
}

bool CertComponent::Refuses(MethodId method) {
  if (!RefusesInProtectedMode(Describe(method).reset_class) || !protectedMode) return false;
  errors_.errorCode = Code(ErrorCode::kProtectedModeRefused);
  return true;
}

bool CertComponent::Enter(MethodId method) {
  Reset(method);
  return !Refuses(method);
}

bool CertComponent::EnterRegistry(MethodId method, TextArg path, RegistryValuePath* split) {
  Reset(method);
  if (!SplitRegistryValuePath(ConvertToNarrow(path.view()), split)) {
    errors_.errorCode = Code(ErrorCode::kBadArgument);
    return false;
  }
  // A confined component's current-user paths all lie below its own branch.
  if (method != MethodId::RegReadHKLM && !environment_.current_user_branch.empty()) {
    split->key = split->key.empty() ? environment_.current_user_branch
                                    : environment_.current_user_branch + "\\" + split->key;
  }
  return !Refuses(method);
}

bool CertComponent::GateCallerPath(PathUse use, std::string& folder, std::string& file_name) {
  if (GateFolderAndName(environment_.path_gate, use, folder, file_name)) return true;
  errors_.errorCode = Code(ErrorCode::kCancelled);
  return false;
}

DialogHost& CertComponent::dialogs() const {
  return environment_.dialog_host != nullptr ? *environment_.dialog_host : CurrentDialogHost();
}

std::u16string CertComponent::GetVersion() {
  Enter(MethodId::GetVersion);
  // The version is compiled into the module, so reading it cannot fail.
  return AsciiToWide(KELVADROME_VERSION_TEXT);
}

int32_t CertComponent::GetErrorCode() {
  return errors_.errorCode;
}

std::u16string CertComponent::GetErrorMsg() {
  return Utf8ToUtf16(ErrorMessageFor(errors_.errorCode));
}

int32_t CertComponent::GetCapiErrorCode() {
  return static_cast<int32_t>(errors_.capiErrorCode);
}

std::u16string CapiErrorMessage(uint32_t code) {
  if (code == 0) return Utf8ToUtf16(ErrorMessageFor(0));
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, "(0x%08X)", code);
  return Utf8ToUtf16(PlatformErrorText(code) + suffix);
}

std::u16string CertComponent::GetCapiErrorMsg() {
  return CapiErrorMessage(errors_.capiErrorCode);
}

std::u16string CertComponent::GetMacAddress() {
  if (!Enter(MethodId::GetMacAddress)) return {};
  auto addresses = ReadAdapterAddresses();
  if (!addresses) {
    errors_.errorCode = Code(ErrorCode::kGeneralError);
    return {};
  }
  return AsciiToWide(FormatAdapterAddresses(*addresses));
}

std::u16string CertComponent::GetOSName() {
  return Utf8ToUtf16(OperatingSystemName(osVersion));
}

std::u16string CertComponent::GetUserHomePath() {
  Enter(MethodId::GetUserHomePath);
  return ConvertToWide(HomeFolder(homeVariable));
}

std::u16string CertComponent::RegReadHKCU(TextArg strName) {
  RegistryValuePath path;
  if (!EnterRegistry(MethodId::RegReadHKCU, strName, &path)) return {};
  RegistryOutcome outcome = ReadRegistryText(RegistryRootChoice::kCurrentUser, path);
  errors_.errorCode = outcome.code;
  return ConvertToWide(outcome.text);
}

int32_t CertComponent::RegWriteHKCUInt(TextArg strName, int32_t dw) {
  RegistryValuePath path;
  if (!EnterRegistry(MethodId::RegWriteHKCUInt, strName, &path)) return errors_.errorCode;
  errors_.errorCode = WriteRegistryNumber(path, dw);
  return errors_.errorCode;
}

int32_t CertComponent::RegWriteHKCUStr(TextArg strName, TextArg str) {
  RegistryValuePath path;
  if (!EnterRegistry(MethodId::RegWriteHKCUStr, strName, &path)) return errors_.errorCode;
  errors_.errorCode = WriteRegistryText(path, ConvertToNarrow(str.view()));
  return errors_.errorCode;
}

std::u16string CertComponent::RegReadHKLM(TextArg strName) {
  RegistryValuePath path;
  if (!EnterRegistry(MethodId::RegReadHKLM, strName, &path)) return {};
  RegistryOutcome outcome = ReadRegistryText(RegistryRootChoice::kLocalMachine, path);
  errors_.errorCode = outcome.code;
  return ConvertToWide(outcome.text);
}

std::u16string CertComponent::Hash(TextArg strPlainText, int32_t dwFlags) {
  Enter(MethodId::Hash);
  HashResult result = HashText(strPlainText.view(), dwFlags);
  errors_.errorCode = result.code;
  return AsciiToWide(result.hex);
}

std::u16string CertComponent::HashFile(TextArg strFileName, int32_t dwFlags) {
  Enter(MethodId::HashFile);
  std::string path = ConvertToNarrow(strFileName.view());
  if (!GatePath(environment_.path_gate, PathUse::kReadFile, path)) {
    errors_.errorCode = Code(ErrorCode::kCancelled);
    return {};
  }
  HashResult result = HashFileAt(std::move(path), dwFlags, dialogs());
  errors_.errorCode = result.code;
  return AsciiToWide(result.hex);
}

int32_t CertComponent::SetProviderName(TextArg strProviderName) {
  // The name is checked before the protected-mode refusal.
  Reset(MethodId::SetProviderName);
  const std::string name = ConvertToNarrow(strProviderName.view());
  if (name.empty()) {
    errors_.errorCode = Code(ErrorCode::kBadArgument);
    return errors_.errorCode;
  }
  if (Refuses(MethodId::SetProviderName)) return errors_.errorCode;
  errors_.errorCode = keyRequestEngine.SelectProvider(name);
  errors_.capiErrorCode = keyRequestEngine.platform_error();
  return errors_.errorCode;
}

bool CertComponent::EnterRequest(MethodId method, std::u16string_view common_name, int32_t key_bits,
                                 int32_t gen_key_flags) {
  Reset(method);
  csrForSign.clear();
  csrForEncrypt.clear();
  if (common_name.empty()) {
    errors_.errorCode = Code(ErrorCode::kBadArgument);
    return false;
  }
  if (Refuses(method)) return false;
  if (key_bits != 1024 && key_bits != 2048 && key_bits != 4096) {
    errors_.errorCode = Code(ErrorCode::kBadKeyLength);
    return false;
  }
  keyRequestEngine.set_key_length(key_bits);
  keyRequestEngine.set_key_flag_mode(gen_key_flags);
  keyRequestEngine.ClearErrors();
  keyRequestEngine.set_key_spec(key_spec::kExchange);
  return true;
}

std::u16string CertComponent::CreatePKCS10(TextArg commonName, int32_t keyBits,
                                           int32_t genKeyFlags) {
  if (!EnterRequest(MethodId::CreatePKCS10, commonName.view(), keyBits, genKeyFlags)) return {};
  csrForSign = keyRequestEngine.GenerateRequest(commonName.view());
  errors_.errorCode = keyRequestEngine.error_code();
  errors_.capiErrorCode = keyRequestEngine.platform_error();
  return ConvertToWide(csrForSign);
}

int32_t CertComponent::CreatePKCS10Pair(TextArg commonName, int32_t keyBits, int32_t genKeyFlags) {
  if (!EnterRequest(MethodId::CreatePKCS10Pair, commonName.view(), keyBits, genKeyFlags)) {
    return errors_.errorCode;
  }
  keyRequestEngine.GenerateRequestPair(commonName.view());
  errors_.errorCode = keyRequestEngine.error_code();
  errors_.capiErrorCode = keyRequestEngine.platform_error();
  csrForSign = keyRequestEngine.request_for_signing();
  csrForEncrypt = keyRequestEngine.request_for_encryption();
  return errors_.errorCode;
}

int32_t CertComponent::AcceptPKCS7(TextArg strPkcs7) {
  Reset(MethodId::AcceptPKCS7);
  const std::string text = ConvertToNarrow(strPkcs7.view());
  if (text.empty()) {
    errors_.errorCode = Code(ErrorCode::kBadArgument);
    return errors_.errorCode;
  }
  if (Refuses(MethodId::AcceptPKCS7)) return errors_.errorCode;
  errors_.errorCode = keyRequestEngine.AcceptCertificate(text);
  errors_.capiErrorCode = keyRequestEngine.platform_error();
  return errors_.errorCode;
}

std::u16string CertComponent::GetCsrForSign() {
  return ConvertToWide(csrForSign);
}
std::u16string CertComponent::GetCsrForEncrypt() {
  return ConvertToWide(csrForEncrypt);
}

int32_t CertComponent::SetDefaultPfxFileName(TextArg strPrefix) {
  Enter(MethodId::SetDefaultPfxFileName);
  defaultPfxFileName = ConvertToNarrow(strPrefix.view());
  return 0;
}

PfxFileRequest CertComponent::PfxFileRequestOf(TextArg folder, TextArg file_name, TextArg password,
                                               int32_t flags, int32_t key_usage) const {
  PfxFileRequest request;
  request.folder = ConvertToNarrow(folder.view());
  request.file_name = ConvertToNarrow(file_name.view());
  request.password = ConvertSecretToNarrow(password.view());
  request.flags = flags;
  request.key_usage = key_usage;
  request.min_password_length = minPasswordLength;
  request.max_password_length = maxPasswordLength;
  return request;
}

int32_t CertComponent::ImportPfxToIE(TextArg strPfxPath, TextArg strPfxName, TextArg strPasswd,
                                     int32_t dwFlags, int32_t dwKeyUsage) {
  Reset(MethodId::ImportPfxToIE);
  ResetSigner();
  importedPfxPath.clear();
  importedPfxName.clear();
  if (Refuses(MethodId::ImportPfxToIE)) return errors_.errorCode;
  PfxFileRequest request = PfxFileRequestOf(strPfxPath, strPfxName, strPasswd, dwFlags, dwKeyUsage);
  if (!GateCallerPath(PathUse::kReadFile, request.folder, request.file_name)) {
    return errors_.errorCode;
  }
  PfxImportOutcome outcome = ImportPfxFile(std::move(request), dialogs());
  errors_.errorCode = outcome.code;
  errors_.capiErrorCode = outcome.platform_error;
  if (outcome.code == 0) {
    importedPfxPath = std::move(outcome.folder);
    importedPfxName = std::move(outcome.file_name);
    signer_.der = std::move(outcome.certificates);
  }
  return errors_.errorCode;
}

int32_t CertComponent::ExportPfxFromIE(TextArg strSubject, TextArg strPfxPath, TextArg strPassword,
                                       int32_t dwFlags, int32_t dwKeyUsage) {
  Reset(MethodId::ExportPfxFromIE);
  exportedPfxPath.clear();
  exportedPfxName.clear();
  if (Refuses(MethodId::ExportPfxFromIE)) return errors_.errorCode;
  PfxExportRequest request;
  request.subject_filter = ConvertToNarrow(strSubject.view());
  request.folder = ConvertToNarrow(strPfxPath.view());
  request.password = ConvertSecretToNarrow(strPassword.view());
  request.default_file_name = defaultPfxFileName;
  request.flags = dwFlags;
  request.key_usage = dwKeyUsage;
  request.min_password_length = minPasswordLength;
  request.max_password_length = maxPasswordLength;
  request.path_gate = environment_.path_gate;
  PfxExportOutcome outcome = ExportPfxFile(request, dialogs());
  errors_.errorCode = outcome.code;
  errors_.capiErrorCode = outcome.platform_error;
  if (outcome.code == 0) {
    exportedPfxPath = std::move(outcome.folder);
    exportedPfxName = std::move(outcome.file_name);
  }
  return errors_.errorCode;
}

std::u16string CertComponent::SignPkcs1(TextArg strContent, int32_t dwFlags) {
  return Sign(MethodId::SignPkcs1, strContent, dwFlags);
}

std::u16string CertComponent::SignPkcs7(TextArg strContent, int32_t dwFlags) {
  return Sign(MethodId::SignPkcs7, strContent, dwFlags);
}

std::u16string CertComponent::Sign(MethodId method, TextArg strContent, int32_t dwFlags) {
  // The content is checked before the protected-mode refusal. Every character becomes at least
  // one byte of code-page text, so the text is empty exactly when its code-page form is.
  Reset(method);
  if (strContent.view().empty()) {
    errors_.errorCode = Code(ErrorCode::kBadArgument);
    return {};
  }
  if (Refuses(method)) return {};
  const SigningOutcome outcome =
      method == MethodId::SignPkcs1
          ? SignPkcs1Text(strContent.view(), dwFlags, signer_, &signerShare, dialogs(), signerKeys_)
          : SignPkcs7Text(strContent.view(), dwFlags, signer_, &signerShare, dialogs(),
                          signerKeys_);
  errors_.errorCode = outcome.code;
  errors_.capiErrorCode = outcome.platform_error;
  return AsciiToWide(outcome.text);
}

std::u16string CertComponent::GetImportedPfxFilePath() {
  return ConvertToWide(importedPfxPath);
}
std::u16string CertComponent::GetImportedPfxFileName() {
  return ConvertToWide(importedPfxName);
}
std::u16string CertComponent::GetExportedPfxFilePath() {
  return ConvertToWide(exportedPfxPath);
}
std::u16string CertComponent::GetExportedPfxFileName() {
  return ConvertToWide(exportedPfxName);
}
std::u16string CertComponent::GetSignerPfxFilePath() {
  return ConvertToWide(signer_.pfx_folder);
}
std::u16string CertComponent::GetSignerPfxFileName() {
  return ConvertToWide(signer_.pfx_name);
}

int32_t CertComponent::GetPortEx() {
  return 65537;
}

}  // namespace kelvadrome
