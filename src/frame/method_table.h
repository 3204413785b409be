// The component's interface, described once. Every surface (the flat exports, the JNI natives,
// the automation object and the command line) and the public headers' method declarations are
// generated from, or checked against, this table.
//
// One row per method, in interface (vtable) order:
//   X(Name, ExportName, DISPID, ResetClass, Result, (parameters), (arguments))
// Name        the method's name, also the CertComponent member that does the work;
// ExportName  the flat export's name (equal to Name except GetVersion -> GetDllVersion);
// DISPID      the automation dispatch identifier;
// ResetClass  what the method does with the error slots on entry: a ResetClass enumerator
//             without its k (see reset_class.h);
// Result      Bstr (a new UTF-16 automation string) or int32_t;
// parameters  as the flat export declares them: texts are const char16_t*, integers int32_t;
// arguments   the parameter names again, for forwarding.
// Adding or changing a method is an edit of its one row.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "frame/reset_class.h"
#include "platform/bstr.h"

// clang-format off
#define KELVADROME_METHODS(X) \
  X(GetVersion, GetDllVersion, 1, ClearCode, Bstr, (), ()) \
  X(GetErrorCode, GetErrorCode, 2, KeepBoth, int32_t, (), ()) \
  X(GetErrorMsg, GetErrorMsg, 3, KeepBoth, Bstr, (), ()) \
  X(GetCapiErrorCode, GetCapiErrorCode, 4, KeepBoth, int32_t, (), ()) \
  X(GetCapiErrorMsg, GetCapiErrorMsg, 5, KeepBoth, Bstr, (), ()) \
  X(GetMacAddress, GetMacAddress, 6, ClearBothRefuseProtected, Bstr, (), ()) \
  X(GetOSName, GetOSName, 7, KeepBoth, Bstr, (), ()) \
  X(GetUserHomePath, GetUserHomePath, 8, ClearBoth, Bstr, (), ()) \
  X(RegReadHKCU, RegReadHKCU, 20, ClearCodeRefuseProtected, Bstr, (const char16_t* strName), (strName)) \
  X(RegWriteHKCUInt, RegWriteHKCUInt, 21, ClearCodeRefuseProtected, int32_t, (const char16_t* strName, int32_t dw), (strName, dw)) \
  X(RegWriteHKCUStr, RegWriteHKCUStr, 22, ClearCodeRefuseProtected, int32_t, (const char16_t* strName, const char16_t* str), (strName, str)) \
  X(RegReadHKLM, RegReadHKLM, 23, ClearCodeRefuseProtected, Bstr, (const char16_t* strName), (strName)) \
  X(Hash, Hash, 30, ClearCode, Bstr, (const char16_t* strPlainText, int32_t dwFlags), (strPlainText, dwFlags)) \
  X(HashFile, HashFile, 31, ClearCode, Bstr, (const char16_t* strFileName, int32_t dwFlags), (strFileName, dwFlags)) \
  X(SetProviderName, SetProviderName, 40, ClearBothRefuseProtected, int32_t, (const char16_t* strProviderName), (strProviderName)) \
  X(CreatePKCS10, CreatePKCS10, 41, ClearBothRefuseProtected, Bstr, (const char16_t* commonName, int32_t keyBits, int32_t genKeyFlags), (commonName, keyBits, genKeyFlags)) \
  X(CreatePKCS10Pair, CreatePKCS10Pair, 42, ClearBothRefuseProtected, int32_t, (const char16_t* commonName, int32_t keyBits, int32_t genKeyFlags), (commonName, keyBits, genKeyFlags)) \
  X(GetCsrForSign, GetCsrForSign, 43, KeepBoth, Bstr, (), ()) \
  X(GetCsrForEncrypt, GetCsrForEncrypt, 44, KeepBoth, Bstr, (), ()) \
  X(AcceptPKCS7, AcceptPKCS7, 45, ClearBothRefuseProtected, int32_t, (const char16_t* strPkcs7), (strPkcs7)) \
  X(SetDefaultPfxFileName, SetDefaultPfxFileName, 50, ClearCode, int32_t, (const char16_t* strPrefix), (strPrefix)) \
  X(PresetPasswdLengthRange, PresetPasswdLengthRange, 51, ClearCode, int32_t, (int32_t min, int32_t max), (min, max)) \
  X(ChangePfxPasswd, ChangePfxPasswd, 52, ClearBothRefuseProtected, int32_t, (const char16_t* strPfxPath, const char16_t* strPfxName, const char16_t* strOldPass, const char16_t* strNewPass, int32_t dwFlags), (strPfxPath, strPfxName, strOldPass, strNewPass, dwFlags)) \
  X(ChangePfxPasswdEx, ChangePfxPasswdEx, 53, ClearBothRefuseProtected, int32_t, (const char16_t* strPfxPath, const char16_t* strPfxName, const char16_t* strOldPass, const char16_t* strNewPass, int32_t dwPort, int32_t dwFlags), (strPfxPath, strPfxName, strOldPass, strNewPass, dwPort, dwFlags)) \
  X(QueryPfxInfo, QueryPfxInfo, 54, ClearBothRefuseProtected, int32_t, (const char16_t* strPfxPath, const char16_t* strPfxName, const char16_t* strPasswd, int32_t dwFlags, int32_t dwKeyUsage), (strPfxPath, strPfxName, strPasswd, dwFlags, dwKeyUsage)) \
  X(ImportPfxToIE, ImportPfxToIE, 55, ClearBothRefuseProtected, int32_t, (const char16_t* strPfxPath, const char16_t* strPfxName, const char16_t* strPasswd, int32_t dwFlags, int32_t dwKeyUsage), (strPfxPath, strPfxName, strPasswd, dwFlags, dwKeyUsage)) \
  X(GetImportedPfxFilePath, GetImportedPfxFilePath, 56, KeepBoth, Bstr, (), ()) \
  X(GetImportedPfxFileName, GetImportedPfxFileName, 57, KeepBoth, Bstr, (), ()) \
  X(ExportPfxFromIE, ExportPfxFromIE, 60, ClearBothRefuseProtected, int32_t, (const char16_t* strSubject, const char16_t* strPfxPath, const char16_t* strPassword, int32_t dwFlags, int32_t dwKeyUsage), (strSubject, strPfxPath, strPassword, dwFlags, dwKeyUsage)) \
  X(ExportMobileFromPfx, ExportMobileFromPfx, 61, ClearBothRefuseProtected, Bstr, (const char16_t* strPfxPath, const char16_t* strPfxName, const char16_t* strPasswd, int32_t dwFlags, int32_t dwKeyUsage), (strPfxPath, strPfxName, strPasswd, dwFlags, dwKeyUsage)) \
  X(ExportMobileFromIE, ExportMobileFromIE, 62, ClearBothRefuseProtected, Bstr, (const char16_t* strSubject, const char16_t* strPasswd, int32_t dwFlags, int32_t dwKeyUsage), (strSubject, strPasswd, dwFlags, dwKeyUsage)) \
  X(GetExportedPfxFilePath, GetExportedPfxFilePath, 63, KeepBoth, Bstr, (), ()) \
  X(GetExportedPfxFileName, GetExportedPfxFileName, 64, KeepBoth, Bstr, (), ()) \
  X(SelectSigner, SelectSigner, 70, ClearBothRefuseProtected, int32_t, (const char16_t* certFilter, int32_t dwFlags, int32_t dwKeyUsage), (certFilter, dwFlags, dwKeyUsage)) \
  X(SelectSignerEx, SelectSignerEx, 71, ClearBothRefuseProtected, int32_t, (const char16_t* certFilter, const char16_t* strPfxPath, const char16_t* strPfxName, const char16_t* strPasswd, const char16_t* strCompareDate, int32_t dwFlags, int32_t dwKeyUsage), (certFilter, strPfxPath, strPfxName, strPasswd, strCompareDate, dwFlags, dwKeyUsage)) \
  X(GetSignerPfxFilePath, GetSignerPfxFilePath, 72, KeepBoth, Bstr, (), ()) \
  X(GetSignerPfxFileName, GetSignerPfxFileName, 73, KeepBoth, Bstr, (), ()) \
  X(SignPkcs1, SignPkcs1, 74, ClearBothRefuseProtected, Bstr, (const char16_t* strContent, int32_t dwFlags), (strContent, dwFlags)) \
  X(SignPkcs7, SignPkcs7, 75, ClearBothRefuseProtected, Bstr, (const char16_t* strContent, int32_t dwFlags), (strContent, dwFlags)) \
  X(SelectSignerEx2, SelectSignerEx2, 76, ClearBothRefuseProtected, int32_t, (const char16_t* certFilter, const char16_t* strPfxPath, const char16_t* strPfxName, int32_t dwPort, const char16_t* strCompareDate, int32_t dwFlags, int32_t dwKeyUsage), (certFilter, strPfxPath, strPfxName, dwPort, strCompareDate, dwFlags, dwKeyUsage)) \
  X(GetPortEx, GetPortEx, 77, KeepBoth, int32_t, (), ()) \
  X(GetCertB64, GetCertB64, 80, KeepBoth, Bstr, (), ()) \
  X(GetCertSubject, GetCertSubject, 81, ClearCode, Bstr, (), ()) \
  X(GetCertSubjectCN, GetCertSubjectCN, 82, ClearCode, Bstr, (), ()) \
  X(GetCertIssuer, GetCertIssuer, 83, ClearCode, Bstr, (), ()) \
  X(GetCertSerial, GetCertSerial, 84, ClearCode, Bstr, (), ()) \
  X(GetCertNotBefore, GetCertNotBefore, 85, ClearCode, Bstr, (), ()) \
  X(GetCertNotAfter, GetCertNotAfter, 86, ClearCode, Bstr, (), ()) \
  X(GetCertFinger, GetCertFinger, 87, ClearCode, Bstr, (), ()) \
  X(GetCertKeyUsage, GetCertKeyUsage, 88, ClearCode, int32_t, (), ()) \
  X(SymEncrypt, SymEncrypt, 90, ClearBothRefuseProtected, Bstr, (const char16_t* strPlainText, const char16_t* strPasswdHex, int32_t iAlgorithm, int32_t dwFlags), (strPlainText, strPasswdHex, iAlgorithm, dwFlags)) \
  X(SymDecrypt, SymDecrypt, 91, ClearBothRefuseProtected, Bstr, (const char16_t* strCipher, const char16_t* strPasswdHex, int32_t iAlgorithm, int32_t dwFlags), (strCipher, strPasswdHex, iAlgorithm, dwFlags)) \
  X(CertEncryptPkcs7, CertEncryptPkcs7, 92, ClearBothRefuseProtected, Bstr, (const char16_t* strPlainText, const char16_t* strCertB64, int32_t iAlgorithm, int32_t dwFlags), (strPlainText, strCertB64, iAlgorithm, dwFlags)) \
  X(CertDecryptPkcs7, CertDecryptPkcs7, 93, ClearBothRefuseProtected, Bstr, (const char16_t* strCipher, int32_t dwFlags), (strCipher, dwFlags)) \
  X(GetIECertCount, GetIECertCount, 101, ClearCodeRefuseProtected, int32_t, (), ()) \
  X(GetIECertSerial, GetIECertSerial, 102, KeepBothRefuseProtected, Bstr, (int32_t dwIndex), (dwIndex)) \
  X(GetIECertCommonName, GetIECertCommonName, 103, KeepBothRefuseProtected, Bstr, (int32_t dwIndex), (dwIndex)) \
  X(GetIECertSubject, GetIECertSubject, 104, KeepBothRefuseProtected, Bstr, (int32_t dwIndex), (dwIndex)) \
  X(GetIECertIssuer, GetIECertIssuer, 105, KeepBothRefuseProtected, Bstr, (int32_t dwIndex), (dwIndex)) \
  X(GetIECertNotBefore, GetIECertNotBefore, 106, KeepBothRefuseProtected, Bstr, (int32_t dwIndex), (dwIndex)) \
  X(GetIECertNotAfter, GetIECertNotAfter, 107, KeepBothRefuseProtected, Bstr, (int32_t dwIndex), (dwIndex)) \
  X(GetIECertFinger, GetIECertFinger, 108, KeepBothRefuseProtected, Bstr, (int32_t dwIndex), (dwIndex)) \
  X(DeleteIECert, DeleteIECert, 109, KeepBothRefuseProtected, int32_t, (int32_t dwIndex), (dwIndex))
// clang-format on

namespace kelvadrome {

enum class MethodId : uint8_t {
#define KELVADROME_METHOD_ID(name, ...) name,
  KELVADROME_METHODS(KELVADROME_METHOD_ID)
#undef KELVADROME_METHOD_ID
};

enum class ValueKind : uint8_t { kText, kInteger };

struct MethodDescriptor {
  MethodId id;
  std::string_view name;
  std::string_view export_name;
  int32_t dispid;
  ResetClass reset_class;
  ValueKind result;
  uint8_t parameter_count;
  std::array<ValueKind, 7> parameters;
  std::string_view
      parameter_list;  // the declaration text, e.g. "(const char16_t* strName, int32_t dw)"

  // Bytes of arguments a 32-bit stdcall caller pushes: 4 per parameter.
  int32_t FlatArgumentBytes() const { return 4 * parameter_count; }
  // The JNI natives also receive the environment and the object: 8 more bytes.
  int32_t JniArgumentBytes() const { return 8 + 4 * parameter_count; }
  // The decorated Windows name of the flat export, e.g. "_Hash@8".
  std::string DecoratedName() const {
    return "_" + std::string(export_name) + "@" + std::to_string(FlatArgumentBytes());
  }
  // The parameter names in order, e.g. {"strPlainText", "dwFlags"}.
  std::vector<std::string> ParameterNames() const;
};

namespace method_table_detail {

template <typename T>
constexpr ValueKind KindOf() {
  static_assert(
      std::is_same_v<T, const char16_t*> || std::is_same_v<T, Bstr> || std::is_same_v<T, int32_t>,
      "interface values are texts or 32-bit integers");
  return std::is_same_v<T, int32_t> ? ValueKind::kInteger : ValueKind::kText;
}

template <typename Signature>
struct SignatureTraits;

template <typename R, typename... P>
struct SignatureTraits<R(P...)> {
  static constexpr ValueKind result = KindOf<R>();
  static constexpr uint8_t count = sizeof...(P);
  static constexpr std::array<ValueKind, 7> parameters = [] {
    std::array<ValueKind, 7> kinds{};
    size_t i = 0;
    ((kinds[i++] = KindOf<P>()), ...);
    return kinds;
  }();
};

}  // namespace method_table_detail

inline constexpr std::array kMethods = {
#define KELVADROME_METHOD_ROW(name_, export_, dispid_, class_, result_, params_, args_) \
  MethodDescriptor{MethodId::name_,                                                     \
                   #name_,                                                              \
                   #export_,                                                            \
                   dispid_,                                                             \
                   ResetClass::k##class_,                                               \
                   method_table_detail::SignatureTraits<result_ params_>::result,       \
                   method_table_detail::SignatureTraits<result_ params_>::count,        \
                   method_table_detail::SignatureTraits<result_ params_>::parameters,   \
                   #params_},
    KELVADROME_METHODS(KELVADROME_METHOD_ROW)
#undef KELVADROME_METHOD_ROW
};

inline constexpr size_t kMethodCount = kMethods.size();

constexpr const MethodDescriptor& Describe(MethodId id) {
  return kMethods[static_cast<size_t>(id)];
}

// FindMethod returns the method named |name| (exact spelling), or null.
const MethodDescriptor* FindMethod(std::string_view name);

}  // namespace kelvadrome
