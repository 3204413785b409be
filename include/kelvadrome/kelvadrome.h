/*
 * kelvadrome.h: the flat C interface of libKelvadromeATL.
 *
 * Every function acts on one process-wide component, created when the library is loaded and
 * destroyed when it is unloaded. Calls from several threads are serialised inside the library.
 *
 * Conventions shared by every function below:
 *  - Text parameters are zero-terminated UTF-16 strings owned by the caller and only read; a null
 *    pointer means empty text.
 *  - Integer parameters and results are signed 32-bit values.
 *  - A text result is a new BSTR owned by the caller, who frees it with SysFreeString. An empty
 *    result is an allocated empty string; null only when memory ran out.
 *  - Functions do not fail by their result alone: after any call, GetErrorCode and GetErrorMsg tell
 *    the component's error code (0 = success) and its message, GetCapiErrorCode and
 *    GetCapiErrorMsg the platform's code behind it. Which calls clear these codes is documented in
 *    docs/api.md.
 *
 * The declaration of each method is written from the component's method table by
 * tools/generate_interface_headers.cpp, and a test checks that it still matches; the comment above
 * each one is written by hand.
 */
#ifndef KELVADROME_KELVADROME_H_
#define KELVADROME_KELVADROME_H_

#include <stdint.h>
#ifndef __cplusplus
#include <uchar.h>
#endif

#if defined(__GNUC__)
#define KELVADROME_API __attribute__((visibility("default")))
#else
#define KELVADROME_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef char16_t OLECHAR;
typedef OLECHAR* BSTR;

/* ---- Automation strings ------------------------------------------------------------------- */
/* Layout as OLE defines it: a 32-bit byte length just before the characters and a zero character
 * after them, so a BSTR can be read as a zero-terminated UTF-16 string. */

/* SysAllocString returns a new copy of the zero-terminated |text|; null for null text or when
 * memory runs out. */
KELVADROME_API BSTR SysAllocString(const OLECHAR* text);

/* SysAllocStringLen returns a new string of |length| characters copied from |text| (zeros when
 * |text| is null) plus a terminator; null when memory runs out. */
KELVADROME_API BSTR SysAllocStringLen(const OLECHAR* text, uint32_t length);

/* SysStringLen returns the number of characters of |text|; 0 for null. */
KELVADROME_API uint32_t SysStringLen(BSTR text);

/* SysFreeString frees a string returned by this library; null does nothing. */
KELVADROME_API void SysFreeString(BSTR text);

/* KelvadromeGetExport returns the function named |name|, given either as its plain name
 * ("Hash", "GetDllVersion") or as the decorated name a 32-bit Windows caller knows
 * ("_Hash@8", "_GetDllVersion@0"); null for an unknown name. Cast it to the declared type. */
KELVADROME_API void* KelvadromeGetExport(const char* name);

/* ---- Component and errors ----------------------------------------------------------------- */

/* GetDllVersion returns the component version, "4.2.0.0". Clears the error code. */
KELVADROME_API BSTR GetDllVersion(void);

/* GetErrorCode returns the component error code of the last operation (0 = success). */
KELVADROME_API int32_t GetErrorCode(void);

/* GetErrorMsg returns the message for the current error code, for example "成功(0)". */
KELVADROME_API BSTR GetErrorMsg(void);

/* GetCapiErrorCode returns the platform error code behind the last failure (0 = none). */
KELVADROME_API int32_t GetCapiErrorCode(void);

/* GetCapiErrorMsg returns the platform's text for that code followed by "(0x%08X)", or "成功(0)"
 * when the code is 0. */
KELVADROME_API BSTR GetCapiErrorMsg(void);

/* ---- Host facts --------------------------------------------------------------------------- */

/* GetMacAddress returns the hardware addresses of the network adapters as "XX-XX-XX-XX-XX-XX",
 * one per line; empty text with code 5001 when they cannot be read. */
KELVADROME_API BSTR GetMacAddress(void);

/* GetOSName returns the operating-system name. Leaves the error codes as they are. */
KELVADROME_API BSTR GetOSName(void);

/* GetUserHomePath returns the user's home folder as it was when the library was loaded. */
KELVADROME_API BSTR GetUserHomePath(void);

/* GetPortEx returns 65537. */
KELVADROME_API int32_t GetPortEx(void);

/* ---- Registry ---------------------------------------------------------------------------- */
/* |strName| names a value as key path, backslash, value name ("Software\\Example\\Level"); an
 * empty value name is the key's default value. Keys and names compare without regard to case. A
 * path that is empty or has no backslash fails with 5005; a key that cannot be opened or created,
 * or a value that cannot be stored, with 5906. The platform error code is left as it was. */

/* RegReadHKCU returns the current user's value as text: a text value as it is, a 32-bit number in
 * decimal. A missing value, one of another type, or a text of more than 255 bytes gives empty text
 * with code 0. */
KELVADROME_API BSTR RegReadHKCU(const char16_t* strName);

/* RegWriteHKCUInt stores |dw| as a 32-bit number, creating missing keys; returns the error code. */
KELVADROME_API int32_t RegWriteHKCUInt(const char16_t* strName, int32_t dw);

/* RegWriteHKCUStr stores |str| as text, creating missing keys; returns the error code. */
KELVADROME_API int32_t RegWriteHKCUStr(const char16_t* strName, const char16_t* str);

/* RegReadHKLM reads a machine-wide value, as RegReadHKCU does; the machine registry is only read.
 */
KELVADROME_API BSTR RegReadHKLM(const char16_t* strName);

/* ---- Enrolment ------------------------------------------------------------------------------ */

/* SetProviderName chooses, by its exact name (letter case counts), the cryptographic provider of
 * the keys made next. The AES provider names stand for "Microsoft Enhanced Cryptographic Provider
 * v1.0". Returns the error code: 0, 5005 for an empty name, 5046 for a provider that is not
 * installed (the earlier choice stays), 1500 in a browser's protected mode. */
KELVADROME_API int32_t SetProviderName(const char16_t* strProviderName);

/* CreatePKCS10 makes a new key container holding an RSA exchange key of |keyBits| (1024, 2048 or
 * 4096) with the chosen provider, and returns a PKCS #10 request for it as one line of Base64 DER
 * (subject: one commonName, |commonName| as a BMPString; signed with SHA-1 and RSA). |genKeyFlags|:
 * 0 none, 2 user-protected, 3 exportable and user-protected, anything else exportable (only for
 * providers whose name begins with "Microsoft"). A pending-request record under
 * HKCU\Software\ORLA\QuorixATL remembers the key for AcceptPKCS7. On failure the result is empty
 * and GetErrorCode tells why: 5005 empty name, 5301 other key length, 5906 registry not writable,
 * 5203/5047 container, 5302 key or request, 5 record. The request is also kept for GetCsrForSign.
 */
KELVADROME_API BSTR CreatePKCS10(const char16_t* commonName, int32_t keyBits, int32_t genKeyFlags);

/* CreatePKCS10Pair makes two keys as CreatePKCS10 does, a signature key and then an exchange key,
 * each in its own container with its own record; their requests are then returned by
 * GetCsrForSign and GetCsrForEncrypt. Returns the error code; after a failure both are empty. */
KELVADROME_API int32_t CreatePKCS10Pair(const char16_t* commonName, int32_t keyBits,
                                        int32_t genKeyFlags);

/* GetCsrForSign and GetCsrForEncrypt return the requests of the last CreatePKCS10 (sign only) or
 * CreatePKCS10Pair call; empty text when there is none. They never fail. */
KELVADROME_API BSTR GetCsrForSign(void);
KELVADROME_API BSTR GetCsrForEncrypt(void);

/* AcceptPKCS7 installs what a certificate authority issued for a request: Base64 text (PEM armour
 * and line breaks allowed) of one DER certificate or of a PKCS #7 bundle with its chain. Chain
 * certificates go to the user's "ROOT" (self-signed) or "CA" store; the issued certificate is
 * linked to the key whose pending record holds its public key and added to "MY" with its common
 * name as friendly name. Returns the error code: 0, 5005 empty text, 5008 not Base64, 5040 not a
 * certificate, 5060 no issued certificate in the bundle, 5010 no key for it, 5906, 5201, 5203,
 * 5206, 5211. Chain certificates stay installed when a later step fails. */
KELVADROME_API int32_t AcceptPKCS7(const char16_t* strPkcs7);

/* ---- PFX files ------------------------------------------------------------------------------ */

/* ImportPfxToIE copies the certificates of the PFX file |strPfxName| in the folder |strPfxPath|
 * that carry a private key into the user's "MY", each linked to its key (copied into the profile).
 * |strPasswd| opens the file (an empty password also tries the file without one). When the folder,
 * the name or the password is empty the user is asked in the PFX file dialog. dwFlags bit 0 makes
 * the keys exportable, bit 1 user-protected; dwKeyUsage > 0 takes only certificates whose key usage
 * has all its bits. Returns the error code: 0, 5070 cancelled, 5002 no dialog, 5902 no such file,
 * 5401 unreadable, 5207 not a PFX file, 5208 wrong password, 5204 no certificate with a key, 5017
 * key usage, 5010 nothing imported. GetImportedPfxFilePath/FileName then give the folder and name.
 */
KELVADROME_API int32_t ImportPfxToIE(const char16_t* strPfxPath, const char16_t* strPfxName,
                                     const char16_t* strPasswd, int32_t dwFlags,
                                     int32_t dwKeyUsage);
KELVADROME_API BSTR GetImportedPfxFilePath(void);
KELVADROME_API BSTR GetImportedPfxFileName(void);

/* ExportPfxFromIE writes a certificate of "MY" chosen by the filter |strSubject| (the user picks in
 * a list when several match) with its private key to a new PFX file. The PFX export dialog is
 * always shown, prefilled with |strPfxPath|, the default file name and |strPassword|; the password
 * is asked twice. dwFlags: the filter's bits, 0x200 adds the certificate's chain, 0x1000 removes
 * the certificate from "MY" once the file is written. Returns the error code: 0, 5010 no
 * certificate, 5070 cancelled, 5205 key not exportable, 1001 folder cannot be made, 5402 file not
 * written, and the filter's 5011, 5012, 5017. GetExportedPfxFilePath/FileName then give the folder
 * and name. */
KELVADROME_API int32_t ExportPfxFromIE(const char16_t* strSubject, const char16_t* strPfxPath,
                                       const char16_t* strPassword, int32_t dwFlags,
                                       int32_t dwKeyUsage);
KELVADROME_API BSTR GetExportedPfxFilePath(void);
KELVADROME_API BSTR GetExportedPfxFileName(void);

/* SetDefaultPfxFileName sets the file name ExportPfxFromIE offers (".pfx" is added unless the name
 * contains it in any letter case); empty text offers the certificate's common name. Returns 0. */
KELVADROME_API int32_t SetDefaultPfxFileName(const char16_t* strPrefix);

/* PresetPasswdLengthRange sets the shortest and longest password the PFX password dialogs and the
 * change-password dialog accept: swapped when max is below min, a min below 1 becomes 0, a max of 0
 * or below becomes 16. Passwords given as arguments are never checked against it. Returns 0. */
KELVADROME_API int32_t PresetPasswdLengthRange(int32_t min, int32_t max);

/* ChangePfxPasswd re-encrypts the PFX file |strPfxName| in the folder |strPfxPath| from
 * |strOldPass| to |strNewPass|, keeping every certificate with its key and friendly name; dwFlags
 * is not used. When any text is empty the user completes them in the change-password dialog, which
 * applies the length range and asks for the new password twice. The file is replaced atomically:
 * on any failure it is left as it was. Returns the error code: 0, 5070 cancelled, 5002 no dialog,
 * 5209 new password and confirmation differ, 5902 no such file, 5401 unreadable, 5207 not a PFX
 * file, 5208 wrong old password, 5210 content cannot be carried over (also a key without a
 * certificate), 5204, 5205, 1103 file not written. */
KELVADROME_API int32_t ChangePfxPasswd(const char16_t* strPfxPath, const char16_t* strPfxName,
                                       const char16_t* strOldPass, const char16_t* strNewPass,
                                       int32_t dwFlags);

/* ChangePfxPasswdEx is ChangePfxPasswd that, once the file is written and dwPort > 0, also
 * publishes the new password to the other instances of the user whose shared signer is this same
 * file, so that they keep signing with it. Publishing never changes the result. */
KELVADROME_API int32_t ChangePfxPasswdEx(const char16_t* strPfxPath, const char16_t* strPfxName,
                                         const char16_t* strOldPass, const char16_t* strNewPass,
                                         int32_t dwPort, int32_t dwFlags);

/* QueryPfxInfo opens the PFX file |strPfxName| in |strPfxPath| with |strPasswd| only to read it:
 * the certificates carrying a usable private key (and, when dwKeyUsage > 0, all its key-usage
 * bits) become readable through the certificate getters, and GetSignerPfxFilePath/FileName give
 * the folder and name. Nothing is imported and the password is not kept; the previous signer
 * choice is cleared. An empty folder, name or password asks in the PFX file dialog. dwFlags bit 0
 * exportable, bit 1 user-protected keys while the file is open. Returns the error code: 0, 5070,
 * 5002, 5902, 5401, 5207, 5208, 5204 no certificate with a key, 5017 key usage, 5010 no
 * certificate. */
KELVADROME_API int32_t QueryPfxInfo(const char16_t* strPfxPath, const char16_t* strPfxName,
                                    const char16_t* strPasswd, int32_t dwFlags, int32_t dwKeyUsage);

/* ---- Signer selection ---------------------------------------------------------------------- */

/* SelectSigner chooses the certificate the signing functions use: from "MY" (dwFlags 0x100), a
 * PFX file the user picks (0x200), or both, store first (neither bit). |certFilter| and the other
 * dwFlags bits go to the certificate filter (0x003 choice: 1 always the list, 2 the best match
 * without a dialog; 0x004 validity; 0x008 conditions); dwKeyUsage > 0 requires those key-usage
 * bits. Returns the error code: 0, 5010 nothing matched, 5011 expired, 5012 not yet valid, 5017
 * key usage, 5201 "MY", 5070 cancelled, 5002 no dialog, 5401/5207/5208 the PFX file. A failed
 * selection leaves no signer. */
KELVADROME_API int32_t SelectSigner(const char16_t* certFilter, int32_t dwFlags,
                                    int32_t dwKeyUsage);

/* SelectSignerEx is SelectSigner with a PFX file named by |strPfxPath| and |strPfxName| (opened
 * without a dialog when it exists and |strPasswd| is given; an existing file is used even when
 * only the store was asked for) and a comparison date |strCompareDate|, empty or 14 digits
 * YYYYMMDDhhmmss in UTC, at which validity is checked (5005 when malformed). */
KELVADROME_API int32_t SelectSignerEx(const char16_t* certFilter, const char16_t* strPfxPath,
                                      const char16_t* strPfxName, const char16_t* strPasswd,
                                      const char16_t* strCompareDate, int32_t dwFlags,
                                      int32_t dwKeyUsage);

/* GetSignerPfxFilePath and GetSignerPfxFileName give the folder and name of the selected signer's
 * PFX file; empty text for a signer from "MY" or none. */
KELVADROME_API BSTR GetSignerPfxFilePath(void);
KELVADROME_API BSTR GetSignerPfxFileName(void);

/* SelectSignerEx2 is SelectSignerEx without a password (a PFX file is always opened through the
 * dialog) that shares its choice with the user's other instances: with dwPort > 0 it first takes
 * the signer another instance published, when that certificate is still where it was found, and
 * otherwise selects as usual and publishes what it selected. */
KELVADROME_API int32_t SelectSignerEx2(const char16_t* certFilter, const char16_t* strPfxPath,
                                       const char16_t* strPfxName, int32_t dwPort,
                                       const char16_t* strCompareDate, int32_t dwFlags,
                                       int32_t dwKeyUsage);

/* ---- Signing -------------------------------------------------------------------------------- */

/* SignPkcs1 signs |strContent| with the selected signer's private key and returns the PKCS #1
 * v1.5 signature: upper-case hex, or Base64 with dwFlags 0x0100; most significant byte first, or
 * as the key gives it (least significant first) with 0x4000. The signed bytes are the text's
 * UTF-16LE code units, or its code-page bytes with 0x0800; the digest SHA-1, MD5 with 0x1000, or
 * SHA-1 of the MD5 digest with 0x2000. 0x8000 asks the user to confirm first. Empty on failure;
 * GetErrorCode: 5005 empty text, 5067 no signer (or it is gone), 5206 no key, 5070 refused, 5061
 * the key did not sign, and the PFX file's codes for a signer from a file. */
KELVADROME_API BSTR SignPkcs1(const char16_t* strContent, int32_t dwFlags);

/* SignPkcs7 signs |strContent| with the selected signer's private key and returns the Base64 DER
 * of a PKCS #7 SignedData message (content type data, SHA-1, or MD5 with dwFlags 0x1000). The
 * message carries the signer's certificate, none with 0x0100, or its chain with 0x0200 (which
 * wins); 0x0400 leaves the content out (a detached signature); 0x2000 adds the signing time with
 * the content-type and message-digest attributes, and without it there are no authenticated
 * attributes. The signed bytes and 0x8000 are as for SignPkcs1. Empty on failure; GetErrorCode:
 * 5005 empty text, 5067 no signer (or it is gone), 5061 no key link or the key did not sign,
 * 5206/5225 the key cannot be reached, 5202 the chain cannot be built or is not trusted, 5070
 * refused, 3206/3204 a card's PIN wrong or blocked, and the PFX file's codes. */
KELVADROME_API BSTR SignPkcs7(const char16_t* strContent, int32_t dwFlags);

/* ---- Certificate queries ------------------------------------------------------------------- */

/* GetCertB64 returns the selected signer's certificate as Base64 DER on one line, no armour;
 * empty text when no signer is selected. Leaves the error codes as they were. */
KELVADROME_API BSTR GetCertB64(void);

/* GetCertSubject, GetCertSubjectCN, GetCertIssuer, GetCertSerial, GetCertNotBefore,
 * GetCertNotAfter and GetCertFinger return a field of the selected signer's certificate: subject
 * and issuer as "C=.., O=.., CN=.." text (names in stored order, values unquoted), the subject's
 * common name, the serial number as upper-case hex in encoded order, the validity bounds in local
 * time as 14 digits YYYYMMDDhhmmss, the SHA-1 thumbprint as 40 upper-case hex digits. Empty text
 * when no signer is selected. Each sets the error code to 0. */
KELVADROME_API BSTR GetCertSubject(void);
KELVADROME_API BSTR GetCertSubjectCN(void);
KELVADROME_API BSTR GetCertIssuer(void);
KELVADROME_API BSTR GetCertSerial(void);
KELVADROME_API BSTR GetCertNotBefore(void);
KELVADROME_API BSTR GetCertNotAfter(void);
KELVADROME_API BSTR GetCertFinger(void);

/* GetCertKeyUsage returns the first octet of the selected signer's key-usage bits (0x80
 * digitalSignature ... 0x01 encipherOnly); 0 without a signer or without the extension. Sets the
 * error code to 0. */
KELVADROME_API int32_t GetCertKeyUsage(void);

/* GetIECertCount takes a snapshot of the current user's personal store "MY" (every certificate, in
 * store order) and returns how many it holds; 0 when the store cannot be read. The index queries
 * and DeleteIECert read this snapshot: later changes to the store are seen only after the next
 * GetIECertCount. Error code 0, or 1500 in a browser's protected mode (the snapshot is kept). */
KELVADROME_API int32_t GetIECertCount(void);

/* GetIECertSerial, GetIECertCommonName, GetIECertSubject, GetIECertIssuer, GetIECertNotBefore,
 * GetIECertNotAfter and GetIECertFinger return a field, in the forms of GetCertSubject and the
 * others, of certificate |dwIndex| (1 to the count) of the snapshot. Empty text for an index
 * outside the snapshot, before any GetIECertCount and after a successful DeleteIECert. They leave
 * the previous call's error code, except 1500 in protected mode. */
KELVADROME_API BSTR GetIECertSerial(int32_t dwIndex);
KELVADROME_API BSTR GetIECertCommonName(int32_t dwIndex);
KELVADROME_API BSTR GetIECertSubject(int32_t dwIndex);
KELVADROME_API BSTR GetIECertIssuer(int32_t dwIndex);
KELVADROME_API BSTR GetIECertNotBefore(int32_t dwIndex);
KELVADROME_API BSTR GetIECertNotAfter(int32_t dwIndex);
KELVADROME_API BSTR GetIECertFinger(int32_t dwIndex);

/* DeleteIECert removes certificate |dwIndex| of the snapshot from "MY" (its key container is kept)
 * and returns the error code: 0, 5010 when the index is outside the snapshot or "MY" no longer
 * holds that certificate, 1500 in protected mode. A deletion empties the snapshot: call
 * GetIECertCount again before the next index query. */
KELVADROME_API int32_t DeleteIECert(int32_t dwIndex);

/* ---- Mobile export ------------------------------------------------------------------------- */

/* ExportMobileFromPfx returns the certificate and RSA private key of a PFX file as one
 * password-protected text for a mobile device: the record described in docs/api.md, encrypted with
 * three-key triple DES (CBC, zero IV, PKCS #5 padding) under the SHA-1 of the password's code-page
 * bytes followed by "ORLA", in Base64. The file is |strPfxPath| joined with |strPfxName| and opened
 * with |strPasswd|; when one of them is empty the user is asked in the mobile export dialog.
 * dwFlags 0x4000 takes the file and password of a signer selected from a PFX file instead. The
 * first certificate with its key (and, when dwKeyUsage > 0, all of its key-usage bits) is
 * exported; nothing is written. Empty on failure; GetErrorCode: 5070 cancelled, 5002 no dialog,
 * 5902 no such file, 5401/5207/5208 the file, 5010 no certificate with its key, 5017 key usage,
 * 5204 key unreachable, 5205 not exportable, 5063 record not made, 1500 protected mode.
 * GetExportedPfxFilePath/FileName then give the file's folder and name. */
KELVADROME_API BSTR ExportMobileFromPfx(const char16_t* strPfxPath, const char16_t* strPfxName,
                                        const char16_t* strPasswd, int32_t dwFlags,
                                        int32_t dwKeyUsage);

/* ExportMobileFromIE is ExportMobileFromPfx for a certificate of "MY" chosen by the filter
 * |strSubject| (dwFlags and dwKeyUsage as for SelectSigner): dwFlags & 3 = 1 always shows the
 * list, 2 takes the first candidate, 0 and 3 show the list when several match. An empty |strPasswd|
 * is asked in the password dialog. The key must be exportable and belong to the certificate.
 * Empty on failure; GetErrorCode: 5201 "MY" not opened, 5010 nothing matches or no list can be
 * shown, the filter's 5011/5012/5017, 5070 cancelled, 5002 no dialog, 5204 key unreachable or not
 * the certificate's, 5205 not exportable (GetCapiErrorCode 1223 when the user refused the use of a
 * protected key), 5063, 1500. */
KELVADROME_API BSTR ExportMobileFromIE(const char16_t* strSubject, const char16_t* strPasswd,
                                       int32_t dwFlags, int32_t dwKeyUsage);

/* ---- Encryption ---------------------------------------------------------------------------- */

/* SymEncrypt encrypts |strPlainText| with DES or triple DES in CBC mode (all-zero IV, PKCS #5
 * padding) under the key |strPasswdHex| (hex digits) and returns the ciphertext as Base64.
 * iAlgorithm 0 takes a 16-byte (two-key) or 24-byte (three-key) triple-DES key, 1 an 8-byte DES
 * key. The encrypted bytes are the text's UTF-16LE code units, or its code-page bytes with dwFlags
 * 0x0800. Empty on failure; GetErrorCode: 5005 empty text, or a key text that is empty, of odd
 * length or not hex; 1500 protected mode (checked before the key); 9001 another iAlgorithm; 9003 a
 * key length that does not fit it; 9004 the cipher failed (GetCapiErrorCode says why). */
KELVADROME_API BSTR SymEncrypt(const char16_t* strPlainText, const char16_t* strPasswdHex,
                               int32_t iAlgorithm, int32_t dwFlags);

/* SymDecrypt decrypts the Base64 ciphertext |strCipher| made as by SymEncrypt (same key and
 * iAlgorithm) and returns the text: the plaintext read as UTF-16LE up to the first zero code unit,
 * or with dwFlags 0x0800 as code-page text up to the first zero byte. Empty on failure;
 * GetErrorCode: 5005 empty ciphertext or a bad key text and 9002 ciphertext that is not Base64
 * (both checked before protected mode, 1500); 9001 and 9003 as for SymEncrypt; 9005 the ciphertext
 * does not decrypt: wrong key, bad padding or a length that is not a multiple of 8
 * (GetCapiErrorCode 0x80090005). */
KELVADROME_API BSTR SymDecrypt(const char16_t* strCipher, const char16_t* strPasswdHex,
                               int32_t iAlgorithm, int32_t dwFlags);

/* CertEncryptPkcs7 encrypts |strPlainText| for the certificates of |strCertB64| and returns the
 * Base64 DER of a PKCS #7 EnvelopedData (RSA key transport, recipients named by issuer and serial
 * number). |strCertB64| is one certificate in Base64, bare or between "-----BEGIN CERTIFICATE-----"
 * lines, or a PKCS #7 certificate bag (Base64, or between "-----BEGIN PKCS #7-----" lines) whose
 * every certificate becomes a recipient; a certificate given twice is used once. iAlgorithm 1
 * encrypts with DES-CBC, 2 with RC4 (128-bit key), any other value with three-key triple DES; the
 * bytes follow dwFlags 0x0800 as for SymEncrypt. Empty on failure; GetErrorCode: 5005 empty text or
 * certificate text; 1500 protected mode; 5040 the certificate text is no certificate or bag, or
 * holds no usable certificate (GetCapiErrorCode the decoder's error where there is one); 9004 the
 * envelope cannot be made (for example a key that is not RSA). */
KELVADROME_API BSTR CertEncryptPkcs7(const char16_t* strPlainText, const char16_t* strCertB64,
                                     int32_t iAlgorithm, int32_t dwFlags);

/* CertDecryptPkcs7 opens the Base64 EnvelopedData |strCipher| with a private key of a certificate
 * in the user's "MY" store and returns the text, read as SymDecrypt reads it (dwFlags 0x0800).
 * When no certificate in "MY" fits, it shows the PFX file dialog and tries the keys of the chosen
 * file, which are forgotten afterwards; the selected signer is not changed. Empty on failure;
 * GetErrorCode: 5005 empty text and 9002 not Base64 (checked before protected mode, 1500); 9006
 * no certificate with a usable key (also after the PFX file); 5017 the matching key is a signature
 * key; 5042 not an EnvelopedData, or an unknown content cipher; 9005 any other decryption failure;
 * 5070/5002 the dialog was cancelled or cannot be shown; 5010 the chosen PFX file does not open
 * (GetCapiErrorCode says why). */
KELVADROME_API BSTR CertDecryptPkcs7(const char16_t* strCipher, int32_t dwFlags);

/* ---- Digests ------------------------------------------------------------------------------ */

/* Hash returns the digest of |strPlainText| as upper-case hex. dwFlags & 7 selects the algorithm:
 * 1 MD5, 3 SHA-256, 4 SHA-512, anything else SHA-1. With bit 0x10 the text is hashed as bytes of
 * the process code page (up to its first NUL), else as UTF-16LE code units. Empty text fails with
 * 5005 and an empty result. */
KELVADROME_API BSTR Hash(const char16_t* strPlainText, int32_t dwFlags);

/* HashFile returns the digest of the file's bytes as upper-case hex (algorithm as for Hash). An
 * empty |strFileName| asks the user for a file; cancelling fails with 5070. A missing file fails
 * with 5902; an unreadable, empty or non-regular file with 1002. */
KELVADROME_API BSTR HashFile(const char16_t* strFileName, int32_t dwFlags);

#ifdef __cplusplus
}
#endif

#endif /* KELVADROME_KELVADROME_H_ */
