// CertComponent: the one object that holds all state between calls and carries one worker per
// interface method. The surfaces only convert arguments and call these workers.
//
// Every worker records its outcome in the ErrorState (errorCode: a catalogue code, 0 = success;
// capiErrorCode: the platform's own code when a platform call was the cause) and returns its
// ordinary result: a text (empty on failure) or an integer. Workers never throw for bad input; they
// may throw std::bad_alloc, which the surfaces' guards turn into an error code.
//
// A component is not thread-safe; the process-wide instance behind the flat exports is serialised
// by its surface.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "frame/method_table.h"
#include "host/system_info.h"
#include "ops/cert_queries.h"
#include "ops/requests.h"
#include "ops/signer_selection.h"
#include "ops/signer_share.h"
#include "ops/signing.h"
#include "ui/page_dialogs.h"

namespace kelvadrome {

class DialogHost;
struct PfxFileRequest;
struct RegistryValuePath;

struct ErrorState {
  int32_t errorCode = 0;       // component code; 0 = success
  uint32_t capiErrorCode = 0;  // platform error or HRESULT; 0 = none
};

// A text argument as the surfaces hand it over: a null pointer is empty text.
class TextArg {
 public:
  TextArg(const char16_t* text) : text_(text != nullptr ? text : u"") {}  // NOLINT: implicit
  TextArg(std::u16string_view text) : text_(text) {}                      // NOLINT: implicit
  TextArg(const std::u16string& text) : text_(text) {}                    // NOLINT: implicit
  std::u16string_view view() const { return text_; }

 private:
  std::u16string_view text_;
};

// What a component needs from its surroundings; the defaults are the real host's.
struct ComponentEnvironment {
  // Reports whether the host runs in a browser's protected mode; asked once, at construction.
  std::function<bool()> protected_mode_probe = HostRunsInProtectedMode;
  // The dialog host workers ask the user through; null means the process's current host.
  DialogHost* dialog_host = nullptr;
  // When not empty, the key path (narrow text) every RegReadHKCU / RegWriteHKCU* path is placed
  // below, so that a caller confined to it (a web page's origin) cannot reach the rest of the
  // current user's registry.
  std::string current_user_branch{};
  // When set, every file or folder path a caller names (HashFile, the PFX workers' folder and
  // name, the export folder, the selection's PFX file) goes through it before it is used: the
  // worker uses the path it returns, and fails as when its own dialog is cancelled (5070) when it
  // refuses. An empty path is not passed: the worker's own dialog asks for one as before.
  PathGate path_gate{};
  // When set, DeleteIECert asks it, with the certificate's subject, before removing anything; a
  // refusal keeps the certificate and gives 5010 with the platform code 1223 (ERROR_CANCELLED).
  DeleteConfirmation confirm_delete{};
};

// CapiErrorMessage returns what GetCapiErrorMsg shows for a platform code: "成功(0)" for 0, else
// the platform's text for the code (empty when it has none) followed by "(0x%08X)".
std::u16string CapiErrorMessage(uint32_t code);

class CertComponent {
 public:
  CertComponent();
  explicit CertComponent(ComponentEnvironment environment);
  ~CertComponent();
  CertComponent(const CertComponent&) = delete;
  CertComponent& operator=(const CertComponent&) = delete;

  // --- Workers, in interface order. ---------------------------------------------------------
  std::u16string GetVersion();
  int32_t GetErrorCode();
  std::u16string GetErrorMsg();
  int32_t GetCapiErrorCode();
  std::u16string GetCapiErrorMsg();
  std::u16string GetMacAddress();
  std::u16string GetOSName();
  std::u16string GetUserHomePath();
  std::u16string RegReadHKCU(TextArg strName);
  int32_t RegWriteHKCUInt(TextArg strName, int32_t dw);
  int32_t RegWriteHKCUStr(TextArg strName, TextArg str);
  std::u16string RegReadHKLM(TextArg strName);
  std::u16string Hash(TextArg strPlainText, int32_t dwFlags);
  std::u16string HashFile(TextArg strFileName, int32_t dwFlags);
  int32_t SetProviderName(TextArg strProviderName);
  std::u16string CreatePKCS10(TextArg commonName, int32_t keyBits, int32_t genKeyFlags);
  int32_t CreatePKCS10Pair(TextArg commonName, int32_t keyBits, int32_t genKeyFlags);
  std::u16string GetCsrForSign();
  std::u16string GetCsrForEncrypt();
  int32_t AcceptPKCS7(TextArg strPkcs7);
  int32_t SetDefaultPfxFileName(TextArg strPrefix);
  int32_t ImportPfxToIE(TextArg strPfxPath, TextArg strPfxName, TextArg strPasswd, int32_t dwFlags,
                        int32_t dwKeyUsage);
  std::u16string GetImportedPfxFilePath();
  std::u16string GetImportedPfxFileName();
  int32_t ExportPfxFromIE(TextArg strSubject, TextArg strPfxPath, TextArg strPassword,
                          int32_t dwFlags, int32_t dwKeyUsage);
  std::u16string GetExportedPfxFilePath();
  std::u16string GetExportedPfxFileName();
  int32_t SelectSigner(TextArg certFilter, int32_t dwFlags, int32_t dwKeyUsage);
  int32_t SelectSignerEx(TextArg certFilter, TextArg strPfxPath, TextArg strPfxName,
                         TextArg strPasswd, TextArg strCompareDate, int32_t dwFlags,
                         int32_t dwKeyUsage);
  std::u16string SignPkcs1(TextArg strContent, int32_t dwFlags);
  std::u16string SignPkcs7(TextArg strContent, int32_t dwFlags);
  std::u16string GetSignerPfxFilePath();
  std::u16string GetSignerPfxFileName();
  int32_t SelectSignerEx2(TextArg certFilter, TextArg strPfxPath, TextArg strPfxName,
                          int32_t dwPort, TextArg strCompareDate, int32_t dwFlags,
                          int32_t dwKeyUsage);
  int32_t GetPortEx();

  // Password length range, PFX password change and query (cert_component_passwords.cpp).
  int32_t PresetPasswdLengthRange(int32_t min, int32_t max);
  int32_t ChangePfxPasswd(TextArg strPfxPath, TextArg strPfxName, TextArg strOldPass,
                          TextArg strNewPass, int32_t dwFlags);
  int32_t ChangePfxPasswdEx(TextArg strPfxPath, TextArg strPfxName, TextArg strOldPass,
                            TextArg strNewPass, int32_t dwPort, int32_t dwFlags);
  int32_t QueryPfxInfo(TextArg strPfxPath, TextArg strPfxName, TextArg strPasswd, int32_t dwFlags,
                       int32_t dwKeyUsage);
  // Mobile export (cert_component_mobile.cpp).
  std::u16string ExportMobileFromPfx(TextArg strPfxPath, TextArg strPfxName, TextArg strPasswd,
                                     int32_t dwFlags, int32_t dwKeyUsage);
  std::u16string ExportMobileFromIE(TextArg strSubject, TextArg strPasswd, int32_t dwFlags,
                                    int32_t dwKeyUsage);
  // Queries on the selected signer's certificate and on "MY" (cert_component_queries.cpp).
  std::u16string GetCertB64();
  std::u16string GetCertSubject();
  std::u16string GetCertSubjectCN();
  std::u16string GetCertIssuer();
  std::u16string GetCertSerial();
  std::u16string GetCertNotBefore();
  std::u16string GetCertNotAfter();
  std::u16string GetCertFinger();
  int32_t GetCertKeyUsage();
  // Encryption and decryption (cert_component_encryption.cpp).
  std::u16string SymEncrypt(TextArg strPlainText, TextArg strPasswdHex, int32_t iAlgorithm,
                            int32_t dwFlags);
  std::u16string SymDecrypt(TextArg strCipher, TextArg strPasswdHex, int32_t iAlgorithm,
                            int32_t dwFlags);
  std::u16string CertEncryptPkcs7(TextArg strPlainText, TextArg strCertB64, int32_t iAlgorithm,
                                  int32_t dwFlags);
  std::u16string CertDecryptPkcs7(TextArg strCipher, int32_t dwFlags);
  // The snapshot of "MY" and its index queries (cert_component_queries.cpp).
  int32_t GetIECertCount();
  std::u16string GetIECertSerial(int32_t dwIndex);
  std::u16string GetIECertCommonName(int32_t dwIndex);
  std::u16string GetIECertSubject(int32_t dwIndex);
  std::u16string GetIECertIssuer(int32_t dwIndex);
  std::u16string GetIECertNotBefore(int32_t dwIndex);
  std::u16string GetIECertNotAfter(int32_t dwIndex);
  std::u16string GetIECertFinger(int32_t dwIndex);
  int32_t DeleteIECert(int32_t dwIndex);

  // --- For the surfaces and tests. -------------------------------------------------------------
  const ErrorState& error_state() const { return errors_; }
  bool protected_mode() const { return protectedMode; }
  // RecordFailure is used by a surface's guard when a worker could not finish (for example memory
  // ran out): the call reports |code| like any worker failure.
  void RecordFailure(int32_t code) { errors_.errorCode = code; }
  int32_t min_password_length() const { return minPasswordLength; }
  int32_t max_password_length() const { return maxPasswordLength; }
  const std::string& default_pfx_file_name() const { return defaultPfxFileName; }
  const KeyRequestEngine& key_request_engine() const { return keyRequestEngine; }
  const SelectedSigner& selected_signer() const { return signer_; }

 private:
  // Enter applies |method|'s reset class to the error slots; it returns false, with errorCode 1500,
  // when the method refuses to work because the host runs in protected mode.
  bool Enter(MethodId method);
  // The two halves of Enter, for workers that check their arguments before the protected-mode
  // refusal: Reset applies the reset class; Refuses sets 1500 and returns true when the method
  // refuses to work in protected mode.
  void Reset(MethodId method);
  bool Refuses(MethodId method);
  // The common start of the registry workers: reset, path check (5005), protected mode (1500).
  bool EnterRegistry(MethodId method, TextArg path, RegistryValuePath* split);
  // GateCallerPath passes a folder and name the caller named through the path gate (see
  // ComponentEnvironment): true with both replaced by the person's pick; false, with errorCode
  // 5070, when the person refused.
  bool GateCallerPath(PathUse use, std::string& folder, std::string& file_name);
  DialogHost& dialogs() const;
  // ResetSigner forgets the selected signer (its password wiped).
  void ResetSigner();
  // The common part of the three selection workers.
  int32_t RunSelection(MethodId method, SignerSelectionRequest& request);
  // The request of the PFX workers that take certificates from a file (import, query), with the
  // preset password length range.
  PfxFileRequest PfxFileRequestOf(TextArg folder, TextArg file_name, TextArg password,
                                  int32_t flags, int32_t key_usage) const;
  // The two password change workers; a |port| above 0 publishes the new password to the
  // instances signing with the file.
  int32_t RunPasswordChange(MethodId method, TextArg folder, TextArg file_name,
                            TextArg old_password, TextArg new_password, int32_t port);
  // Sign runs SignPkcs1 or SignPkcs7 (|method|) for the selected signer.
  std::u16string Sign(MethodId method, TextArg strContent, int32_t dwFlags);
  // The common start of the two request workers: reset, both request slots emptied, argument
  // checks (5005, 5301) and protected mode (1500), then the engine's settings for the next key.
  bool EnterRequest(MethodId method, std::u16string_view common_name, int32_t key_bits,
                    int32_t gen_key_flags);

  // Constructed first: it enumerates the installed providers and needs nothing else.
  KeyRequestEngine keyRequestEngine;
  ComponentEnvironment environment_;
  ErrorState errors_;
  PlatformVersion osVersion;
  // $HOME as it was when the component was made; converted to the process code page when asked
  // for, so that making the component (at library load) does not work the code page out.
  std::string homeVariable;
  int32_t minPasswordLength = 0;
  int32_t maxPasswordLength = 16;
  std::string importedPfxPath;
  std::string importedPfxName;
  std::string exportedPfxPath;
  std::string exportedPfxName;
  std::string defaultPfxFileName;
  std::string csrForSign;
  std::string csrForEncrypt;
  SelectedSigner signer_;
  // The block other instances of the user share their signer through; opened on first use.
  SignerShare signerShare;
  // The store and key a signer from "MY" signs with, kept between signing calls.
  SignerKeyCache signerKeys_;
  // The snapshot GetIECertCount takes of "MY", in enumeration order.
  CertSnapshot IECertList;
  bool protectedMode = false;
};

}  // namespace kelvadrome
