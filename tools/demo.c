/*
 * A tour of what the component can do, written as any C program would use it: only the public
 * header and the shared library. Run it on a throwaway profile (scripts/demo.sh does).
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kelvadrome/kelvadrome.h"

/* Prints a UTF-16 string as UTF-8. */
static void PrintText(const char16_t* text) {
  for (size_t i = 0; text != NULL && text[i] != 0; ++i) {
    unsigned long cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    if (cp < 0x80) {
      putchar((int)cp);
    } else if (cp < 0x800) {
      putchar((int)(0xC0 | (cp >> 6)));
      putchar((int)(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      putchar((int)(0xE0 | (cp >> 12)));
      putchar((int)(0x80 | ((cp >> 6) & 0x3F)));
      putchar((int)(0x80 | (cp & 0x3F)));
    } else {
      putchar((int)(0xF0 | (cp >> 18)));
      putchar((int)(0x80 | ((cp >> 12) & 0x3F)));
      putchar((int)(0x80 | ((cp >> 6) & 0x3F)));
      putchar((int)(0x80 | (cp & 0x3F)));
    }
  }
}

/* Widens ASCII or UTF-8 without multi-byte characters beyond the BMP; enough for the demo's texts.
 */
static char16_t* Widen(const char* text) {
  size_t length = strlen(text);
  char16_t* wide = calloc(length + 1, sizeof *wide);
  size_t out = 0;
  for (size_t i = 0; i < length;) {
    unsigned char c = (unsigned char)text[i];
    if (c < 0x80) {
      wide[out++] = c;
      i += 1;
    } else if ((c & 0xE0) == 0xC0 && i + 1 < length) {
      wide[out++] = (char16_t)(((c & 0x1F) << 6) | (text[i + 1] & 0x3F));
      i += 2;
    } else if (i + 2 < length) {
      wide[out++] =
          (char16_t)(((c & 0x0F) << 12) | ((text[i + 1] & 0x3F) << 6) | (text[i + 2] & 0x3F));
      i += 3;
    } else {
      break;
    }
  }
  return wide;
}

/* Prints a text result with a label and frees it. */
static void Show(const char* label, BSTR result) {
  printf("%-34s ", label);
  PrintText(result);
  putchar('\n');
  SysFreeString(result);
}

static void ShowError(void) {
  BSTR message = GetErrorMsg();
  printf("%-34s %d  ", "  -> GetErrorCode / GetErrorMsg", GetErrorCode());
  PrintText(message);
  putchar('\n');
  SysFreeString(message);
}

/* Writes ASCII text held as UTF-16 (a Base64 request) to |path|; 0 on success. */
static int WriteAscii(const char* path, const char16_t* text) {
  FILE* file = fopen(path, "wb");
  if (file == NULL) return -1;
  for (size_t i = 0; text != NULL && text[i] != 0; ++i) fputc((char)text[i], file);
  return fclose(file);
}

/* Reads a whole text file (ASCII: PEM or Base64) as UTF-16; NULL when it cannot be read. */
static char16_t* ReadAsciiFile(const char* path) {
  FILE* file = fopen(path, "rb");
  if (file == NULL) return NULL;
  char buffer[65536];
  size_t length = fread(buffer, 1, sizeof buffer - 1, file);
  fclose(file);
  buffer[length] = 0;
  return Widen(buffer);
}

/* Whether two zero-terminated UTF-16 texts are equal. */
static int StringsEqual(const char16_t* a, const char16_t* b) {
  size_t i = 0;
  for (; a[i] != 0 && a[i] == b[i]; ++i) {
  }
  return a[i] == b[i];
}

/* Prints the first characters of a long text result and frees it. */
static void ShowStart(const char* label, BSTR result) {
  printf("%-34s ", label);
  for (size_t i = 0; result[i] != 0 && i < 48; ++i) putchar((char)result[i]);
  printf("... (%u characters)\n", SysStringLen(result));
  SysFreeString(result);
}

int main(int argc, char** argv) {
  const char* work_folder = argc > 1 ? argv[1] : "/tmp";
  printf("== Component\n");
  Show("GetDllVersion", GetDllVersion());
  ShowError();
  Show("GetOSName", GetOSName());
  Show("GetUserHomePath", GetUserHomePath());
  Show("GetMacAddress", GetMacAddress());
  printf("%-34s %d\n", "GetPortEx", GetPortEx());

  printf("\n== Hash of the text \"abc\"\n");
  char16_t* abc = Widen("abc");
  Show("MD5 of code-page bytes (0x11)", Hash(abc, 0x11));
  Show("SHA-1 of code-page bytes (0x10)", Hash(abc, 0x10));
  Show("SHA-256 of code-page bytes (0x13)", Hash(abc, 0x13));
  Show("SHA-512 of code-page bytes (0x14)", Hash(abc, 0x14));
  Show("MD5 of UTF-16LE units (0x01)", Hash(abc, 0x01));
  free(abc);
  char16_t* chinese = Widen("憑證");
  Show("SHA-256 of \"憑證\" as UTF-16LE (3)", Hash(chinese, 3));
  free(chinese);

  printf("\n== Hash of a file\n");
  char path[4096];
  snprintf(path, sizeof path, "%s/demo-document.txt", work_folder);
  FILE* file = fopen(path, "wb");
  if (file == NULL) {
    perror("cannot write the demo file");
    return 1;
  }
  fputs("The quick brown fox jumps over the lazy dog", file);
  fclose(file);
  char16_t* wide_path = Widen(path);
  printf("file: %s\n", path);
  Show("SHA-1 (0)", HashFile(wide_path, 0));
  Show("SHA-256 (3)", HashFile(wide_path, 3));
  free(wide_path);

  printf("\n== Errors, codes and messages\n");
  Show("Hash of empty text", Hash(u"", 0));
  ShowError();
  snprintf(path, sizeof path, "%s/no-such-file", work_folder);
  wide_path = Widen(path);
  Show("HashFile of a missing file", HashFile(wide_path, 0));
  ShowError();
  free(wide_path);
  wide_path = Widen(work_folder);
  Show("HashFile of a folder", HashFile(wide_path, 0));
  ShowError();
  free(wide_path);

  printf("\n== Asking the user for a file (a scripted user under scripts/demo.sh)\n");
  Show("HashFile with no name: picked", HashFile(NULL, 3));
  ShowError();
  Show("HashFile with no name: cancelled", HashFile(NULL, 3));
  ShowError();
  Show("GetOSName keeps the code", GetOSName());
  ShowError();
  Show("GetCapiErrorMsg", GetCapiErrorMsg());

  printf("\n== Registry (kept in the profile)\n");
  printf("%-34s %d\n", "RegWriteHKCUStr ...\\Greeting",
         RegWriteHKCUStr(u"Software\\ORLA\\QuorixATL\\Greeting", u"憑證元件 says hello"));
  printf("%-34s %d\n", "RegWriteHKCUInt ...\\Level = -5",
         RegWriteHKCUInt(u"Software\\ORLA\\QuorixATL\\Level", -5));
  Show("RegReadHKCU (any letter case)", RegReadHKCU(u"software\\orla\\quorixatl\\GREETING"));
  Show("RegReadHKCU ...\\Level", RegReadHKCU(u"Software\\ORLA\\QuorixATL\\Level"));
  Show("RegReadHKCU of a missing value", RegReadHKCU(u"Software\\ORLA\\QuorixATL\\None"));
  ShowError();
  Show("RegReadHKLM of a missing key", RegReadHKLM(u"Software\\Nothing\\Here"));
  ShowError();
  Show("RegReadHKCU without a backslash", RegReadHKCU(u"Level"));
  ShowError();

  printf("\n== Choosing the provider of the next key\n");
  printf("%-34s %d\n", "SetProviderName (strong provider)",
         SetProviderName(u"Microsoft Strong Cryptographic Provider"));
  printf("%-34s %d\n", "SetProviderName (AES provider)",
         SetProviderName(u"Microsoft Enhanced RSA and AES Cryptographic Provider"));
  printf("%-34s %d\n", "SetProviderName (not installed)", SetProviderName(u"No Such Provider"));
  ShowError();

  printf("\n== Enrolment: a key, a PKCS #10 request, a certificate authority, the certificate\n");
  SetProviderName(u"Microsoft Enhanced Cryptographic Provider v1.0");
  Show("CreatePKCS10 with a 1536-bit key", CreatePKCS10(u"x", 1536, 1));
  ShowError();
  BSTR request = CreatePKCS10(u"Demo 憑證 User", 2048, 1);
  ShowStart("CreatePKCS10 (2048 bits)", SysAllocString(request));
  ShowError();
  ShowStart("GetCsrForSign (the same request)", GetCsrForSign());
  char request_path[4096];
  snprintf(request_path, sizeof request_path, "%s/demo-request.b64", work_folder);
  WriteAscii(request_path, request);
  SysFreeString(request);
  const char* ca = getenv("KELVADROME_DEMO_CA");
  if (ca == NULL) {
    printf(
        "(no certificate authority: set KELVADROME_DEMO_CA to a script, as scripts/demo.sh "
        "does)\n");
  } else {
    char command[8192];
    snprintf(command, sizeof command, "'%s' '%s'", ca, work_folder);
    if (system(command) != 0) printf("the certificate authority failed\n");
    snprintf(path, sizeof path, "%s/demo-response.p7b", work_folder);
    char16_t* response = ReadAsciiFile(path);
    printf("%-34s %d\n", "AcceptPKCS7 (PKCS #7 with chain)", AcceptPKCS7(response));
    ShowError();
    printf("%-34s %d\n", "AcceptPKCS7 again", AcceptPKCS7(response));
    free(response);
  }
  printf("%-34s %d\n", "AcceptPKCS7 of unfinished armour",
         AcceptPKCS7(u"-----BEGIN CERTIFICATE\nMIIB"));
  ShowError();

  printf("\n== Enrolment of a signature key and an exchange key\n");
  printf("%-34s %d\n", "CreatePKCS10Pair (1024 bits)", CreatePKCS10Pair(u"Demo Pair", 1024, 0));
  BSTR for_signing = GetCsrForSign();
  BSTR for_encryption = GetCsrForEncrypt();
  ShowStart("GetCsrForSign", SysAllocString(for_signing));
  ShowStart("GetCsrForEncrypt", SysAllocString(for_encryption));
  snprintf(request_path, sizeof request_path, "%s/demo-pair-sign.b64", work_folder);
  WriteAscii(request_path, for_signing);
  snprintf(request_path, sizeof request_path, "%s/demo-pair-encrypt.b64", work_folder);
  WriteAscii(request_path, for_encryption);
  SysFreeString(for_signing);
  SysFreeString(for_encryption);
  if (ca != NULL) {
    char command[8192];
    snprintf(command, sizeof command, "'%s' '%s'", ca, work_folder);
    if (system(command) != 0) printf("the certificate authority failed\n");
    for (int i = 0; i < 2; ++i) {
      snprintf(path, sizeof path, "%s/demo-pair-%s.pem", work_folder, i == 0 ? "sign" : "encrypt");
      char16_t* issued = ReadAsciiFile(path);
      printf("%-34s %d\n", i == 0 ? "AcceptPKCS7 (signature key)" : "AcceptPKCS7 (exchange key)",
             AcceptPKCS7(issued));
      free(issued);
    }
  }

  printf("\n== PFX files: export the enrolled certificate with its key, import it back\n");
  char16_t* wide_work = Widen(work_folder);
  printf("%-34s %d\n", "SetDefaultPfxFileName(\"demo-export\")",
         SetDefaultPfxFileName(u"demo-export"));
  printf("%-34s %d\n", "ExportPfxFromIE (S_CN=Demo 憑證 User)",
         ExportPfxFromIE(u"S_CN=Demo 憑證 User", wide_work, u"", 0x8, 0));
  ShowError();
  Show("GetExportedPfxFilePath", GetExportedPfxFilePath());
  Show("GetExportedPfxFileName", GetExportedPfxFileName());
  printf("%-34s %d\n", "ImportPfxToIE, wrong password",
         ImportPfxToIE(wide_work, u"demo-export.pfx", u"not-the-password", 1, 0));
  ShowError();
  printf("%-34s %d\n", "ImportPfxToIE, right password",
         ImportPfxToIE(wide_work, u"demo-export.pfx", u"demo-pass", 1, 0));
  ShowError();
  Show("GetImportedPfxFilePath", GetImportedPfxFilePath());
  Show("GetImportedPfxFileName", GetImportedPfxFileName());
  free(wide_work);

  printf("\n== Choosing a signer\n");
  printf("%-34s %d\n", "SelectSigner (S_CN=Demo 憑證 User)",
         SelectSigner(u"S_CN=Demo 憑證 User", 0x108, 0));
  ShowError();
  Show("GetSignerPfxFilePath (store: empty)", GetSignerPfxFilePath());
  wide_work = Widen(work_folder);
  printf("%-34s %d\n", "SelectSignerEx of the PFX file",
         SelectSignerEx(u"", wide_work, u"demo-export.pfx", u"demo-pass", u"", 0x200, 0));
  ShowError();
  Show("GetSignerPfxFilePath", GetSignerPfxFilePath());
  Show("GetSignerPfxFileName", GetSignerPfxFileName());
  BSTR signature = SignPkcs1(u"A document signed by the demo", 0x0800 | 0x0100);
  ShowStart("SignPkcs1 (SHA-1, code page, Base64)", SysAllocString(signature));
  ShowError();
  snprintf(path, sizeof path, "%s/demo-signature.b64", work_folder);
  WriteAscii(path, signature);
  SysFreeString(signature);
  BSTR message = SignPkcs7(u"A document signed by the demo", 0x0800 | 0x0200 | 0x2000);
  ShowStart("SignPkcs7 (chain, signing time)", SysAllocString(message));
  ShowError();
  snprintf(path, sizeof path, "%s/demo-signed.p7.b64", work_folder);
  WriteAscii(path, message);
  SysFreeString(message);
  printf("%-34s %d\n", "SelectSigner (S_CN=Demo 憑證 User)",
         SelectSigner(u"S_CN=Demo 憑證 User", 0x108, 0));
  message = SignPkcs7(u"A document signed by the demo", 0x0800 | 0x0400);
  ShowStart("SignPkcs7 (store signer, detached)", SysAllocString(message));
  ShowError();
  snprintf(path, sizeof path, "%s/demo-detached.p7.b64", work_folder);
  WriteAscii(path, message);
  SysFreeString(message);
  printf("%-34s %d\n", "SelectSignerEx, date in 1999",
         SelectSignerEx(u"S_CN=Demo", u"", u"", u"", u"19990101000000", 0x108, 0));
  ShowError();
  printf("%-34s %d\n", "SelectSignerEx, bad date",
         SelectSignerEx(u"", u"", u"", u"", u"1999-01-01", 0x100, 0));
  ShowError();
  free(wide_work);

  printf("\n== Certificate queries: the selected signer, then a snapshot of MY\n");
  printf("%-34s %d\n", "SelectSigner (S_CN=Demo 憑證 User)",
         SelectSigner(u"S_CN=Demo 憑證 User", 0x108, 0));
  Show("GetCertSubject", GetCertSubject());
  Show("GetCertIssuer", GetCertIssuer());
  Show("GetCertSerial", GetCertSerial());
  Show("GetCertNotAfter (local time)", GetCertNotAfter());
  Show("GetCertFinger", GetCertFinger());
  printf("%-34s 0x%02X\n", "GetCertKeyUsage", GetCertKeyUsage());
  const int32_t count = GetIECertCount();
  printf("%-34s %d\n", "GetIECertCount", count);
  for (int32_t index = 1; index <= count; ++index) {
    char label[40];
    snprintf(label, sizeof label, "  GetIECertCommonName(%d)", index);
    Show(label, GetIECertCommonName(index));
  }
  Show("  GetIECertCommonName(count + 1)", GetIECertCommonName(count + 1));

  printf("\n== Encryption: a shared key, then an envelope for the enrolled certificate\n");
  const char16_t* secret = u"A secret for the demo: 機密文件";
  const char16_t* key_hex = u"00112233445566778899AABBCCDDEEFF0011223344556677";
  BSTR sealed = SymEncrypt(secret, key_hex, 0, 0);
  Show("SymEncrypt (3DES, 24-byte key)", SysAllocString(sealed));
  BSTR opened = SymDecrypt(sealed, key_hex, 0, 0);
  Show("SymDecrypt", SysAllocString(opened));
  printf("%-34s %s\n", "  the same text", StringsEqual(opened, secret) ? "yes" : "NO");
  SysFreeString(sealed);
  SysFreeString(opened);
  BSTR wrong = SymDecrypt(u"not base64 !", key_hex, 0, 0);
  SysFreeString(wrong);
  printf("%-34s\n", "SymDecrypt of text that is not Base64");
  ShowError();
  BSTR recipient = GetCertB64();
  BSTR envelope = CertEncryptPkcs7(secret, recipient, 0, 0x0800);
  ShowStart("CertEncryptPkcs7 (3DES, code page)", SysAllocString(envelope));
  ShowError();
  snprintf(path, sizeof path, "%s/demo-envelope.b64", work_folder);
  WriteAscii(path, envelope);
  opened = CertDecryptPkcs7(envelope, 0x0800);
  Show("CertDecryptPkcs7 (key in MY)", SysAllocString(opened));
  printf("%-34s %s\n", "  the same text", StringsEqual(opened, secret) ? "yes" : "NO");
  SysFreeString(opened);
  SysFreeString(envelope);
  SysFreeString(recipient);

  printf("\n== PFX password change, query and mobile export\n");
  wide_work = Widen(work_folder);
  printf("%-34s %d\n", "ChangePfxPasswd, wrong old password",
         ChangePfxPasswd(wide_work, u"demo-export.pfx", u"not-it", u"demo-pass-2", 0));
  ShowError();
  printf("%-34s %d\n", "ChangePfxPasswd to demo-pass-2",
         ChangePfxPasswd(wide_work, u"demo-export.pfx", u"demo-pass", u"demo-pass-2", 0));
  ShowError();
  printf("%-34s %d\n", "QueryPfxInfo with the new password",
         QueryPfxInfo(wide_work, u"demo-export.pfx", u"demo-pass-2", 0, 0));
  ShowError();
  Show("  GetCertSubjectCN of the file", GetCertSubjectCN());
  BSTR mobile = ExportMobileFromPfx(wide_work, u"demo-export.pfx", u"demo-pass-2", 0, 0);
  ShowStart("ExportMobileFromPfx", SysAllocString(mobile));
  ShowError();
  snprintf(path, sizeof path, "%s/demo-mobile.b64", work_folder);
  WriteAscii(path, mobile);
  SysFreeString(mobile);
  free(wide_work);

  printf("\n== Exports by their Windows names\n");
  typedef BSTR (*HashFunction)(const char16_t*, int32_t);
  HashFunction by_name = (HashFunction)KelvadromeGetExport("_Hash@8");
  printf("%-34s %s\n", "KelvadromeGetExport(\"_Hash@8\")",
         by_name == Hash ? "is Hash" : "NOT FOUND");
  Show("  -> MD5 of u\"a\" (1)", by_name(u"a", 1));
  return by_name == Hash ? 0 : 1;
}
