// The component's error codes, each defined once: its number, a name that says what happened, and
// the message GetErrorMsg shows for it (UTF-8, Traditional Chinese with a few English texts, ending
// with the code in parentheses through its one "%d"). Every layer that returns a component code
// names it through ErrorCode; the error catalogue is generated from the same rows.
//
// These are the component's own codes (0 and 1001..9006). The platform's last-error values
// (Windows numbers such as 0x80092004 or 1223, see last_error.h) are a separate vocabulary.
#pragma once

#include <cstdint>

namespace kelvadrome {

// KELVADROME_ERROR_CODES(X) calls X(number, name, message template) once per code, in ascending
// order of number.
// clang-format off
#define KELVADROME_ERROR_CODES(X) \
  X(0, kSuccess, "成功(%d)") \
  X(1001, kFolderNotCreated, "無法建立目錄(%d)") \
  X(1002, kFileUnreadable, "檔案無法讀取(%d)") \
  X(1003, kFileNotWritten, "檔案無法寫入(%d)") \
  X(1101, kCertificateFileMissing, "憑證檔不存在(%d)") \
  X(1102, kCertificateFileUnreadable, "憑證檔無法讀取(%d)") \
  X(1103, kCertificateFileNotWritten, "憑證檔無法寫入(%d)") \
  X(1201, kPropertyFileMissing, "PROPERTY 檔不存在(%d)") \
  X(1202, kPropertyFileUnreadable, "PROPERTY 檔無法讀取(%d)") \
  X(1203, kPropertyFileNotWritten, "PROPERTY 檔無法寫入(%d)") \
  X(1500, kProtectedModeRefused, "IE 受保護模式已啟動, 請加入信任網站, 並使用預設保護模式(關閉)(%d)") \
  X(3001, kNotAuthenticated, "尚未認證(%d)") \
  X(3002, kAuthenticationFailed, "認證失敗(%d)") \
  X(3003, kOrderHostUntrusted, "下單主機不受信任, 認證失敗(%d)") \
  X(3004, kAuthenticationIdWrong, "認證(回覆)識別元錯誤, 認證失敗(%d)") \
  X(3005, kAuthenticatedTwice, "重複認證(%d)") \
  X(3201, kCardServiceStopped, "智慧卡服務, 已經停止(%d)") \
  X(3202, kCardInsertionTimedOut, "智慧卡拔插, 作業逾時(%d)") \
  X(3203, kCardInsertionFailed, "智慧卡拔插錯誤(%d)") \
  X(3204, kCardPinBlocked, "智慧卡密碼錯誤次數過多, 已經鎖住(%d)") \
  X(3205, kCardServiceHalted, "智慧卡服務已經停止(%d)") \
  X(3206, kCardPinWrong, "智慧卡密碼錯誤(%d)") \
  X(3207, kCardReaderDisabled, "發現停用的智慧卡載具(裝置), 請先排除此問題(%d)") \
  X(5001, kGeneralError, "一般錯誤(%d)") \
  X(5002, kAllocationFailed, "配置記憶體發生錯誤(%d)") \
  X(5003, kOutOfMemory, "配置記憶體不足(%d)") \
  X(5004, kUnsupported, "不支援的功能(%d)") \
  X(5005, kBadArgument, "錯誤的參數(%d)") \
  X(5006, kBadHandle, "Handle錯誤(%d)") \
  X(5008, kBadBase64, "Base64 編碼錯誤(%d)") \
  X(5010, kCertificateNotFound, "無法在憑證區(或憑證檔)中,找到指定憑證(%d)") \
  X(5011, kCertificateExpired, "憑證已過期(%d)") \
  X(5012, kCertificateNotYetValid, "憑證尚未合法,無法使用(%d)") \
  X(5013, kCertificateMayBeInvalid, "憑證可能過期或無法使用(%d)") \
  X(5014, kBadSubject, "憑證主旨錯誤(%d)") \
  X(5015, kIssuerNotFound, "無法找到憑證發行者(%d)") \
  X(5016, kBadCertificateSignature, "不合法的憑證簽章(%d)") \
  X(5017, kKeyUsageUnfit, "憑證用途(加解密,簽驗章)不合適(%d)") \
  X(5018, kCertificateNotRegistered, "憑證尚未註冊, 無法找到指定憑證(%d)") \
  X(5020, kCertificateRevoked, "憑證已撤銷(%d)") \
  X(5021, kRevokedKeyCompromise, "憑證已撤銷(金鑰洩露)(%d)") \
  X(5022, kRevokedCaCompromise, "憑證已撤銷(CA compromised)(%d)") \
  X(5023, kRevokedAffiliationChanged, "憑證已撤銷(聯盟已變更)(%d)") \
  X(5024, kRevokedSuperseded, "憑證已撤銷(已取代)(%d)") \
  X(5025, kRevokedCessationOfOperation, "憑證已撤銷(已停止)(%d)") \
  X(5026, kCertificateOnHold, "憑證保留或暫禁(%d)") \
  X(5028, kRevokedByCrl, "憑證已被CRL撤銷(%d)") \
  X(5030, kCrlExpired, "CRL已過期(%d)") \
  X(5031, kBadCrl, "不合法的CRL(%d)") \
  X(5032, kCrlNotFound, "無法找到CRL(%d)") \
  X(5034, kBadCrlSignature, "CRL簽章值錯誤(%d)") \
  X(5035, kDigestFailed, "Digest錯誤(%d)") \
  X(5036, kBadSignature, "不合法的簽章(%d)") \
  X(5037, kBadContent, "內容錯誤(%d)") \
  X(5040, kBadCertificate, "憑證格式錯誤(%d)") \
  X(5041, kBadCrlFormat, "CRL格式錯誤(%d)") \
  X(5042, kBadPkcs7, "錯誤的PKCS7格式(%d)") \
  X(5043, kBadKeyFormat, "Key的格式錯誤(%d)") \
  X(5044, kBadPkcs10, "不合法的PKCS10格式(%d)") \
  X(5045, kUnsuitableFormat, "不合適的格式(%d)") \
  X(5046, kProviderNotChosen, "CSP 名稱錯誤 : 未指定(%d)") \
  X(5047, kProviderNotSupported, "作業系統不支援此 CSP(%d)") \
  X(5048, kStrongProviderUnsupported, "強制使用 AES/SHA2 CSP 失敗, 作業系統不支援(%d)") \
  X(5049, kStrongProviderRequired, "強制使用 AES/SHA2 CSP 情況下, 禁止變更使用其他 CSP(%d)") \
  X(5050, kObjectMissing, "物件不存在(%d)") \
  X(5051, kPkcs7WithoutContent, "PKCS7內容沒有包含原文(%d)") \
  X(5052, kPkcs7WithoutCertificate, "PKCS7內容沒有包含憑證(%d)") \
  X(5053, kPkcs7WithoutSignerInfo, "PKCS7內容沒有包含簽章資訊(%d)") \
  X(5060, kKeyMissing, "金鑰不存在(%d)") \
  X(5061, kSigningFailed, "簽章失敗(%d)") \
  X(5062, kVerificationFailed, "驗章失敗(%d)") \
  X(5063, kEncryptionFailed, "加密失敗(%d)") \
  X(5064, kDecryptionFailed, "解密失敗(%d)") \
  X(5065, kKeyNotGenerated, "產生金鑰失敗(%d)") \
  X(5066, kCertificateNotDeleted, "刪除憑證失敗(%d)") \
  X(5067, kNoSignerSelected, "執行簽章時, 尚未選擇簽章憑證(%d)") \
  X(5070, kCancelled, "使用者按下\"取消\"按鈕(%d)") \
  X(5071, kWrongPassword, "密碼錯誤(%d)") \
  X(5080, kXmlNotParsed, "無法剖析XML文件(%d)") \
  X(5081, kXmlTagNotFound, "無法在XML中,找到指定的標籤名稱(%d)") \
  X(5200, kProviderEnumerationFailed, "列舉 CSP 發生錯誤(%d)") \
  X(5201, kPersonalStoreNotOpened, "開啟\"個人憑證區\"失敗(%d)") \
  X(5202, kNoChain, "憑證鏈不存在(%d)") \
  X(5203, kNoProviderResource, "無法取得CSP資源(%d)") \
  X(5204, kNoPrivateKey, "找不到關聯的私密金鑰(%d)") \
  X(5205, kKeyNotExportable, "關聯的私密金鑰已被標記成\"不能匯出\"(%d)") \
  X(5206, kPersonalStoreDenied, "個人憑證區存取被拒(%d)") \
  X(5207, kNotPfx, "PKCS12檔案格式錯誤(%d)") \
  X(5208, kWrongPfxPassword, "PKCS12 密碼錯誤(%d)") \
  X(5209, kPasswordMismatch, "新密碼及確認密碼不一致(%d)") \
  X(5210, kPfxStoreDenied, "PFX 或記憶體憑證區存取被拒(%d)") \
  X(5211, kProviderDenied, "CSP 存取被拒(%d)") \
  X(5221, kRootStoreNotOpened, "開啟\"信任根憑證區\"失敗(%d)") \
  X(5222, kIntermediateStoreNotOpened, "開啟\"信任中繼憑證區\"失敗(%d)") \
  X(5223, kOtherPeopleStoreNotOpened, "開啟\"其他人憑證區\"失敗(%d)") \
  X(5224, kChainUntrusted, "憑證鏈有誤, 無法信任(%d)") \
  X(5225, kCardNotReady, "IC 卡尚未備妥(%d)") \
  X(5226, kMemoryStoreNotOpened, "開啟\"記憶體憑證區\"失敗(%d)") \
  X(5301, kBadKeyLength, "金鑰長度錯誤(%d)") \
  X(5302, kKeyGenerationFailed, "金鑰產生失敗(%d)") \
  X(5303, kPfxNotGenerated, "憑證交換檔產生失敗(%d)") \
  X(5304, kRequestNotGenerated, "憑證請求檔產生失敗(%d)") \
  X(5305, kAsn1EncodingFailed, "ASN1編碼失敗(%d)") \
  X(5400, kPfxFileMissing, "憑證交換檔讀不存在(%d)") \
  X(5401, kPfxFileUnreadable, "憑證交換檔讀取失敗(%d)") \
  X(5402, kPfxFileNotWritten, "憑證交換檔寫入失敗(%d)") \
  X(5901, kUnicodeFailed, "Unicode錯誤(%d)") \
  X(5902, kFileNotFound, "File Not Found(%d)") \
  X(5903, kPathNotFound, "Path Not Found(%d)") \
  X(5904, kNetworkPathNotFound, "Network path was not found(%d)") \
  X(5905, kLogonFailed, "Unknown logon user name or bad password(%d)") \
  X(5906, kRightsDenied, "使用者權限不足(%d)") \
  X(7701, kXmlGeneralError, "一般錯誤(%d)") \
  X(7704, kXmlBadAlgorithm, "所指定的演算法不正確(%d)") \
  X(7705, kXmlSignatureAlgorithmFailed, "執行簽驗章演算法時發生錯誤(%d)") \
  X(7706, kXmlBadSignatureValue, "簽章值錯誤(%d)") \
  X(7707, kXmlBadReferenceDigest, "Reference的摘要值錯誤(%d)") \
  X(7708, kXmlCanonicalizationFailed, "執行正規化演算法時發生錯誤(%d)") \
  X(7709, kXmlTransformFailed, "執行Transform演算法時發生錯誤(%d)") \
  X(7710, kXmlResolverFailed, "執行Resolver時發生錯誤(%d)") \
  X(7711, kXmlSignatureValueMissing, "找不到簽章值(%d)") \
  X(7712, kXmlParseFailed, "解析XML文件時發生錯誤(%d)") \
  X(7713, kXmlDocumentMissing, "所指向的文件不存在或為空值(%d)") \
  X(7714, kXmlCertificateMismatch, "憑證內容與<X509Data>的記載不符合(%d)") \
  X(7715, kXmlDocumentBad, "XML文件不存在或格式錯誤(%d)") \
  X(7716, kXmlBadParameter, "參數不正確(%d)") \
  X(7717, kXmlC14nUnsupported, "不支援此C14N演算法(%d)") \
  X(7718, kXmlSignatureAlgorithmUnsupported, "不支援此簽章演算法(%d)") \
  X(7719, kXmlDigestAlgorithmUnsupported, "不支援此摘要演算法(%d)") \
  X(8706, kPfxNotLoaded, "P12 檔尚未載入(%d)") \
  X(8707, kPfxAlreadyLoaded, "P12 檔早已載入(%d)") \
  X(9001, kCipherBadAlgorithm, "加解密演算法錯誤(%d)") \
  X(9002, kCipherBadFormat, "加解格式錯誤(%d)") \
  X(9003, kCipherBadKeyLength, "加解密密碼長度錯誤(%d)") \
  X(9004, kCipherEncryptFailed, "加密錯誤(%d)") \
  X(9005, kCipherDecryptFailed, "解密錯誤(%d)") \
  X(9006, kNoDecryptCertificate, "解密錯誤, 找不到可用憑證(%d)")
// clang-format on

enum class ErrorCode : int32_t {
#define KELVADROME_ERROR_CODE_ENUMERATOR(number, name, text) name = number,
  KELVADROME_ERROR_CODES(KELVADROME_ERROR_CODE_ENUMERATOR)
#undef KELVADROME_ERROR_CODE_ENUMERATOR
};

// Code returns the number of |code| as the surfaces and the result types carry it.
constexpr int32_t Code(ErrorCode code) {
  return static_cast<int32_t>(code);
}

namespace error_codes_internal {
constexpr int32_t kNumbers[] = {
#define KELVADROME_ERROR_CODE_NUMBER(number, name, text) number,
    KELVADROME_ERROR_CODES(KELVADROME_ERROR_CODE_NUMBER)
#undef KELVADROME_ERROR_CODE_NUMBER
};
constexpr bool StrictlyAscending() {
  int64_t previous = -1;
  for (const int32_t number : kNumbers) {
    if (number <= previous) return false;
    previous = number;
  }
  return true;
}
}  // namespace error_codes_internal

// The catalogue is searched by number, so the rows must stay in strictly ascending order (which
// also keeps every number defined once).
static_assert(error_codes_internal::StrictlyAscending(),
              "KELVADROME_ERROR_CODES rows must be in strictly ascending order of number");

}  // namespace kelvadrome
