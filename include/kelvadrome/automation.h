/*
 * automation.h: the automation object of libKelvadromeATL.
 *
 * The library is an in-process automation server for one class, CAPI (ProgID
 * "KelvadromeATL.CAPI"), whose default interface ICAPI is dual: every method can be called through
 * its virtual slot or by DISPID through IDispatch::Invoke. The types below have the binary layout
 * automation clients know from Windows, on this 64-bit platform: HRESULT, LONG, ULONG and DISPID
 * are 32 bits, a GUID 16 bytes, a VARIANT 24 bytes with its type at offset 0 and its value at
 * offset 8. Interfaces are C++ structs of pure virtual functions in vtable order, so each vtable
 * is the COM one: `this` first, the platform's ordinary calling convention.
 *
 * The plain types, identifiers and entry points are usable from C; the interfaces need C++17.
 * No method of ICAPI fails by its HRESULT: each returns S_OK and reports a failure through
 * GetErrorCode and GetErrorMsg of the same object, as documented in docs/api.md.
 */
#ifndef KELVADROME_AUTOMATION_H_
#define KELVADROME_AUTOMATION_H_

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "kelvadrome.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Plain types ------------------------------------------------------------------------ */

typedef int32_t HRESULT;
typedef int32_t SCODE;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef unsigned int UINT;
typedef int BOOL;
typedef int32_t DISPID;
typedef uint32_t LCID;
typedef uint16_t VARTYPE;
typedef int16_t VARIANT_BOOL;
typedef double DATE;
typedef OLECHAR* LPOLESTR;

typedef struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID;
typedef GUID IID;
typedef GUID CLSID;

#ifdef __cplusplus
struct IUnknown;
struct IDispatch;
#else
typedef struct IUnknown IUnknown; /* the interfaces are C++ only; C sees opaque pointers */
typedef struct IDispatch IDispatch;
#endif

/* The two pointers of a record value; present so that VARIANT has its full size. */
typedef struct BRECORD {
  void* pvRecord;
  void* pRecInfo;
} BRECORD;

typedef struct VARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    int64_t llVal;
    LONG lVal;
    uint8_t bVal;
    int16_t iVal;
    float fltVal;
    double dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    DATE date;
    BSTR bstrVal;
    IUnknown* punkVal;
    IDispatch* pdispVal;
    uint8_t* pbVal;
    int16_t* piVal;
    LONG* plVal;
    int64_t* pllVal;
    float* pfltVal;
    double* pdblVal;
    VARIANT_BOOL* pboolVal;
    SCODE* pscode;
    DATE* pdate;
    BSTR* pbstrVal;
    IUnknown** ppunkVal;
    IDispatch** ppdispVal;
    struct VARIANT* pvarVal;
    void* byref;
    char cVal;
    uint16_t uiVal;
    ULONG ulVal;
    uint64_t ullVal;
    int intVal;
    unsigned int uintVal;
    char* pcVal;
    uint16_t* puiVal;
    ULONG* pulVal;
    uint64_t* pullVal;
    int* pintVal;
    unsigned int* puintVal;
    BRECORD brecVal;
  };
} VARIANT;
typedef VARIANT VARIANTARG;

typedef struct DISPPARAMS {
  VARIANTARG* rgvarg;        /* the arguments, last one first */
  DISPID* rgdispidNamedArgs; /* DISPIDs of the named arguments (none are accepted) */
  UINT cArgs;
  UINT cNamedArgs;
} DISPPARAMS;

typedef struct EXCEPINFO {
  WORD wCode;
  WORD wReserved;
  BSTR bstrSource;
  BSTR bstrDescription;
  BSTR bstrHelpFile;
  DWORD dwHelpContext;
  void* pvReserved;
  HRESULT (*pfnDeferredFillIn)(struct EXCEPINFO*);
  SCODE scode;
} EXCEPINFO;

#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu && \
    (defined(__cplusplus) || (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L))
#ifdef __cplusplus
#define KELVADROME_LAYOUT_ASSERT(condition, what) static_assert(condition, what)
#else
#define KELVADROME_LAYOUT_ASSERT(condition, what) _Static_assert(condition, what)
#endif
KELVADROME_LAYOUT_ASSERT(sizeof(GUID) == 16, "GUID is 16 bytes");
KELVADROME_LAYOUT_ASSERT(sizeof(VARIANT) == 24, "VARIANT is 24 bytes");
KELVADROME_LAYOUT_ASSERT(offsetof(VARIANT, lVal) == 8, "a VARIANT's value is at offset 8");
KELVADROME_LAYOUT_ASSERT(sizeof(DISPPARAMS) == 24, "DISPPARAMS is 24 bytes");
KELVADROME_LAYOUT_ASSERT(sizeof(EXCEPINFO) == 64, "EXCEPINFO is 64 bytes");
KELVADROME_LAYOUT_ASSERT(offsetof(EXCEPINFO, scode) == 56, "EXCEPINFO ends with its SCODE");
#undef KELVADROME_LAYOUT_ASSERT
#endif

/* ---- Constants -------------------------------------------------------------------------- */

#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOTIMPL ((HRESULT)0x80004001)
#define E_NOINTERFACE ((HRESULT)0x80004002)
#define E_POINTER ((HRESULT)0x80004003)
#define E_FAIL ((HRESULT)0x80004005)
#define E_UNEXPECTED ((HRESULT)0x8000FFFF)
#define E_OUTOFMEMORY ((HRESULT)0x8007000E)
#define E_INVALIDARG ((HRESULT)0x80070057)
#define DISP_E_UNKNOWNINTERFACE ((HRESULT)0x80020001)
#define DISP_E_MEMBERNOTFOUND ((HRESULT)0x80020003)
#define DISP_E_TYPEMISMATCH ((HRESULT)0x80020005)
#define DISP_E_UNKNOWNNAME ((HRESULT)0x80020006)
#define DISP_E_NONAMEDARGS ((HRESULT)0x80020007)
#define DISP_E_OVERFLOW ((HRESULT)0x8002000A)
#define DISP_E_BADINDEX ((HRESULT)0x8002000B)
#define DISP_E_BADPARAMCOUNT ((HRESULT)0x8002000E)
#define CLASS_E_NOAGGREGATION ((HRESULT)0x80040110)
#define CLASS_E_CLASSNOTAVAILABLE ((HRESULT)0x80040111)
#define REGDB_E_CLASSNOTREG ((HRESULT)0x80040154)
#define SELFREG_E_CLASS ((HRESULT)0x80040201)
#define CO_E_CLASSSTRING ((HRESULT)0x800401F3)
#define CO_E_DLLNOTFOUND ((HRESULT)0x800401F8)
#define CO_E_ERRORINDLL ((HRESULT)0x800401F9)

/* Variant types. */
enum VARENUM {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000
};

#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

#define DISPATCH_METHOD 0x1
#define DISPATCH_PROPERTYGET 0x2
#define DISPATCH_PROPERTYPUT 0x4
#define DISPATCH_PROPERTYPUTREF 0x8
#define DISPID_UNKNOWN ((DISPID)-1)

#define INTERFACESAFE_FOR_UNTRUSTED_CALLER 0x00000001
#define INTERFACESAFE_FOR_UNTRUSTED_DATA 0x00000002
#define GUIDKIND_DEFAULT_SOURCE_DISP_IID 1

/* ---- The methods of ICAPI --------------------------------------------------------------- */
/* One row per method, in vtable order (the first at slot 7, after IUnknown and IDispatch):
 *   X(name, DISPID, (parameters))
 * Text parameters are zero-terminated UTF-16 strings the caller owns and the object only reads
 * (null is empty text); the last parameter, Ret, receives the result: a new BSTR the caller frees
 * with SysFreeString, or a 32-bit integer. */
/* BEGIN generated by generate_interface_headers from the method table: edit the table */
/* clang-format off */
#define KELVADROME_ICAPI_METHODS(X) \
  X(GetVersion, 1, (BSTR* Ret)) \
  X(GetErrorCode, 2, (LONG* Ret)) \
  X(GetErrorMsg, 3, (BSTR* Ret)) \
  X(GetCapiErrorCode, 4, (LONG* Ret)) \
  X(GetCapiErrorMsg, 5, (BSTR* Ret)) \
  X(GetMacAddress, 6, (BSTR* Ret)) \
  X(GetOSName, 7, (BSTR* Ret)) \
  X(GetUserHomePath, 8, (BSTR* Ret)) \
  X(RegReadHKCU, 20, (const OLECHAR* strName, BSTR* Ret)) \
  X(RegWriteHKCUInt, 21, (const OLECHAR* strName, LONG dw, LONG* Ret)) \
  X(RegWriteHKCUStr, 22, (const OLECHAR* strName, const OLECHAR* str, LONG* Ret)) \
  X(RegReadHKLM, 23, (const OLECHAR* strName, BSTR* Ret)) \
  X(Hash, 30, (const OLECHAR* strPlainText, LONG dwFlags, BSTR* Ret)) \
  X(HashFile, 31, (const OLECHAR* strFileName, LONG dwFlags, BSTR* Ret)) \
  X(SetProviderName, 40, (const OLECHAR* strProviderName, LONG* Ret)) \
  X(CreatePKCS10, 41, (const OLECHAR* commonName, LONG keyBits, LONG genKeyFlags, BSTR* Ret)) \
  X(CreatePKCS10Pair, 42, (const OLECHAR* commonName, LONG keyBits, LONG genKeyFlags, LONG* Ret)) \
  X(GetCsrForSign, 43, (BSTR* Ret)) \
  X(GetCsrForEncrypt, 44, (BSTR* Ret)) \
  X(AcceptPKCS7, 45, (const OLECHAR* strPkcs7, LONG* Ret)) \
  X(SetDefaultPfxFileName, 50, (const OLECHAR* strPrefix, LONG* Ret)) \
  X(PresetPasswdLengthRange, 51, (LONG min, LONG max, LONG* Ret)) \
  X(ChangePfxPasswd, 52, (const OLECHAR* strPfxPath, const OLECHAR* strPfxName, const OLECHAR* strOldPass, const OLECHAR* strNewPass, LONG dwFlags, LONG* Ret)) \
  X(ChangePfxPasswdEx, 53, (const OLECHAR* strPfxPath, const OLECHAR* strPfxName, const OLECHAR* strOldPass, const OLECHAR* strNewPass, LONG dwPort, LONG dwFlags, LONG* Ret)) \
  X(QueryPfxInfo, 54, (const OLECHAR* strPfxPath, const OLECHAR* strPfxName, const OLECHAR* strPasswd, LONG dwFlags, LONG dwKeyUsage, LONG* Ret)) \
  X(ImportPfxToIE, 55, (const OLECHAR* strPfxPath, const OLECHAR* strPfxName, const OLECHAR* strPasswd, LONG dwFlags, LONG dwKeyUsage, LONG* Ret)) \
  X(GetImportedPfxFilePath, 56, (BSTR* Ret)) \
  X(GetImportedPfxFileName, 57, (BSTR* Ret)) \
  X(ExportPfxFromIE, 60, (const OLECHAR* strSubject, const OLECHAR* strPfxPath, const OLECHAR* strPassword, LONG dwFlags, LONG dwKeyUsage, LONG* Ret)) \
  X(ExportMobileFromPfx, 61, (const OLECHAR* strPfxPath, const OLECHAR* strPfxName, const OLECHAR* strPasswd, LONG dwFlags, LONG dwKeyUsage, BSTR* Ret)) \
  X(ExportMobileFromIE, 62, (const OLECHAR* strSubject, const OLECHAR* strPasswd, LONG dwFlags, LONG dwKeyUsage, BSTR* Ret)) \
  X(GetExportedPfxFilePath, 63, (BSTR* Ret)) \
  X(GetExportedPfxFileName, 64, (BSTR* Ret)) \
  X(SelectSigner, 70, (const OLECHAR* certFilter, LONG dwFlags, LONG dwKeyUsage, LONG* Ret)) \
  X(SelectSignerEx, 71, (const OLECHAR* certFilter, const OLECHAR* strPfxPath, const OLECHAR* strPfxName, const OLECHAR* strPasswd, const OLECHAR* strCompareDate, LONG dwFlags, LONG dwKeyUsage, LONG* Ret)) \
  X(GetSignerPfxFilePath, 72, (BSTR* Ret)) \
  X(GetSignerPfxFileName, 73, (BSTR* Ret)) \
  X(SignPkcs1, 74, (const OLECHAR* strContent, LONG dwFlags, BSTR* Ret)) \
  X(SignPkcs7, 75, (const OLECHAR* strContent, LONG dwFlags, BSTR* Ret)) \
  X(SelectSignerEx2, 76, (const OLECHAR* certFilter, const OLECHAR* strPfxPath, const OLECHAR* strPfxName, LONG dwPort, const OLECHAR* strCompareDate, LONG dwFlags, LONG dwKeyUsage, LONG* Ret)) \
  X(GetPortEx, 77, (LONG* Ret)) \
  X(GetCertB64, 80, (BSTR* Ret)) \
  X(GetCertSubject, 81, (BSTR* Ret)) \
  X(GetCertSubjectCN, 82, (BSTR* Ret)) \
  X(GetCertIssuer, 83, (BSTR* Ret)) \
  X(GetCertSerial, 84, (BSTR* Ret)) \
  X(GetCertNotBefore, 85, (BSTR* Ret)) \
  X(GetCertNotAfter, 86, (BSTR* Ret)) \
  X(GetCertFinger, 87, (BSTR* Ret)) \
  X(GetCertKeyUsage, 88, (LONG* Ret)) \
  X(SymEncrypt, 90, (const OLECHAR* strPlainText, const OLECHAR* strPasswdHex, LONG iAlgorithm, LONG dwFlags, BSTR* Ret)) \
  X(SymDecrypt, 91, (const OLECHAR* strCipher, const OLECHAR* strPasswdHex, LONG iAlgorithm, LONG dwFlags, BSTR* Ret)) \
  X(CertEncryptPkcs7, 92, (const OLECHAR* strPlainText, const OLECHAR* strCertB64, LONG iAlgorithm, LONG dwFlags, BSTR* Ret)) \
  X(CertDecryptPkcs7, 93, (const OLECHAR* strCipher, LONG dwFlags, BSTR* Ret)) \
  X(GetIECertCount, 101, (LONG* Ret)) \
  X(GetIECertSerial, 102, (LONG dwIndex, BSTR* Ret)) \
  X(GetIECertCommonName, 103, (LONG dwIndex, BSTR* Ret)) \
  X(GetIECertSubject, 104, (LONG dwIndex, BSTR* Ret)) \
  X(GetIECertIssuer, 105, (LONG dwIndex, BSTR* Ret)) \
  X(GetIECertNotBefore, 106, (LONG dwIndex, BSTR* Ret)) \
  X(GetIECertNotAfter, 107, (LONG dwIndex, BSTR* Ret)) \
  X(GetIECertFinger, 108, (LONG dwIndex, BSTR* Ret)) \
  X(DeleteIECert, 109, (LONG dwIndex, LONG* Ret))
/* clang-format on */
/* END generated */

/* KELVADROME_DISPID_<name>: the DISPID of each method, for Invoke. */
enum KelvadromeCapiDispid {
#define KELVADROME_ICAPI_DISPID(name, dispid, parameters) KELVADROME_DISPID_##name = dispid,
  KELVADROME_ICAPI_METHODS(KELVADROME_ICAPI_DISPID)
#undef KELVADROME_ICAPI_DISPID
};

/* ---- Entry points ----------------------------------------------------------------------- */

/* DllGetClassObject stores in |*ppv| the class factory of CAPI asked for as |riid| (IClassFactory
 * or IUnknown) and returns S_OK; CLASS_E_CLASSNOTAVAILABLE for any other class, E_NOINTERFACE for
 * another interface, E_POINTER or E_INVALIDARG for null pointers (|*ppv| is then null). The caller
 * releases the factory. */
KELVADROME_API HRESULT DllGetClassObject(const CLSID* rclsid, const IID* riid, void** ppv);

/* DllCanUnloadNow returns S_OK when no object of the module is alive and no server lock is held
 * (IClassFactory::LockServer), S_FALSE otherwise. */
KELVADROME_API HRESULT DllCanUnloadNow(void);

/* DllRegisterServer registers the class for the current user, under HKCU\Software\Classes of the
 * profile's registry: the ProgIDs "KelvadromeATL.CAPI" and "KelvadromeATL.CAPI.1" and the key
 * CLSID\{6B1F0C3E-94D2-4A87-8E15-2C7D04020000} (replaced whole), with this module's path as its
 * InprocServer32. Returns S_OK, or SELFREG_E_CLASS when the registry cannot be written (what was
 * written is then removed again). */
KELVADROME_API HRESULT DllRegisterServer(void);

/* DllUnregisterServer removes the two ProgID keys and the CLSID key of the class from the current
 * user's registry (keys that are missing are no error); CLSID itself stays. Returns S_OK, or
 * SELFREG_E_CLASS when the registry cannot be opened or a key cannot be removed. */
KELVADROME_API HRESULT DllUnregisterServer(void);

/* KelvadromeCreateObject creates an object of a registered class, as a script's CreateObject
 * does. |name| is a ProgID ("KelvadromeATL.CAPI") or a CLSID in braces; the class is looked up in
 * HKEY_CLASSES_ROOT (the current user's HKCU\Software\Classes over the machine's
 * HKLM\Software\Classes), the module named by its InprocServer32 is loaded (and stays loaded), and
 * its class factory makes the object. On success |*object| holds the interface |iid|, which the
 * caller releases. Failures, with |*object| null: E_POINTER (null |object|), E_INVALIDARG (null
 * |name| or |iid|), CO_E_CLASSSTRING (unknown ProgID, malformed CLSID), REGDB_E_CLASSNOTREG (no
 * InprocServer32), CO_E_DLLNOTFOUND (the module cannot be loaded), CO_E_ERRORINDLL (it has no
 * DllGetClassObject), or what the module's factory returns (E_NOINTERFACE, ...). */
KELVADROME_API HRESULT KelvadromeCreateObject(const OLECHAR* name, const IID* iid, void** object);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* ---- Identifiers ------------------------------------------------------------------------ */

#ifdef __cplusplus
#define KELVADROME_DEFINE_GUID(name, l, w1, w2, b0, b1, b2, b3, b4, b5, b6, b7) \
  inline constexpr GUID name = {l, w1, w2, {b0, b1, b2, b3, b4, b5, b6, b7}}
#else
#define KELVADROME_DEFINE_GUID(name, l, w1, w2, b0, b1, b2, b3, b4, b5, b6, b7) \
  static const GUID name __attribute__((unused)) = {l, w1, w2, {b0, b1, b2, b3, b4, b5, b6, b7}}
#endif

/* The component: class CAPI, interface ICAPI, type library KELVADROMEATLLib 1.0. */
KELVADROME_DEFINE_GUID(CLSID_CAPI, 0x6B1F0C3E, 0x94D2, 0x4A87, 0x8E, 0x15, 0x2C, 0x7D, 0x04, 0x02,
                       0x00, 0x00);
KELVADROME_DEFINE_GUID(IID_ICAPI, 0x9D2B6E30, 0x71A4, 0x4C58, 0xB3, 0xE9, 0x1F, 0x6A, 0x04, 0x02,
                       0x00, 0x00);
KELVADROME_DEFINE_GUID(LIBID_KELVADROMEATLLib, 0xA83E5D71, 0x0B6C, 0x4F39, 0xB2, 0xD4, 0x7E, 0x91,
                       0x04, 0x02, 0x00, 0x00);

/* The platform's interfaces. */
KELVADROME_DEFINE_GUID(IID_NULL, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
KELVADROME_DEFINE_GUID(IID_IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00,
                       0x00, 0x46);
KELVADROME_DEFINE_GUID(IID_IClassFactory, 0x00000001, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00,
                       0x00, 0x00, 0x46);
KELVADROME_DEFINE_GUID(IID_IDispatch, 0x00020400, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00,
                       0x00, 0x00, 0x46);
KELVADROME_DEFINE_GUID(IID_ITypeInfo, 0x00020401, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00,
                       0x00, 0x00, 0x46);
KELVADROME_DEFINE_GUID(IID_IObjectSafety, 0xCB5BDC81, 0x93C1, 0x11CF, 0x8F, 0x20, 0x00, 0x80, 0x5F,
                       0x2C, 0xD0, 0x64);
KELVADROME_DEFINE_GUID(IID_IProvideClassInfo, 0xB196B283, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA,
                       0x00, 0x34, 0x1D, 0x07);
KELVADROME_DEFINE_GUID(IID_IProvideClassInfo2, 0xA6BC3AC0, 0xDBAA, 0x11CE, 0x9D, 0xE3, 0x00, 0xAA,
                       0x00, 0x4B, 0xB8, 0x51);
KELVADROME_DEFINE_GUID(IID_IPersistStreamInit, 0x7FD52380, 0x4E07, 0x101B, 0xAE, 0x2D, 0x08, 0x00,
                       0x2B, 0x2E, 0xC7, 0x13);
KELVADROME_DEFINE_GUID(IID_IPersistStorage, 0x0000010A, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00,
                       0x00, 0x00, 0x00, 0x46);
KELVADROME_DEFINE_GUID(IID_IPersistPropertyBag, 0x37D84F60, 0x42CB, 0x11CE, 0x81, 0x35, 0x00, 0xAA,
                       0x00, 0x4B, 0xB8, 0x51);
KELVADROME_DEFINE_GUID(IID_IOleObject, 0x00000112, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00,
                       0x00, 0x00, 0x46);

/* KelvadromeGuidEqual returns 1 when |a| and |b| are the same identifier, else 0. */
static inline int KelvadromeGuidEqual(const GUID* a, const GUID* b) {
  return memcmp(a, b, sizeof(GUID)) == 0;
}

/* ---- Interfaces (C++) ------------------------------------------------------------------- */
#ifdef __cplusplus

inline bool operator==(const GUID& a, const GUID& b) {
  return KelvadromeGuidEqual(&a, &b) != 0;
}
inline bool operator!=(const GUID& a, const GUID& b) {
  return !(a == b);
}

typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

/* Interfaces have no virtual destructor, so that each vtable holds exactly the COM slots; an
 * object is destroyed by its last Release, never by delete through an interface. */
struct IUnknown {
  virtual HRESULT QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};

/* Type information is not available on this platform (there are no type libraries): ITypeInfo is
 * declared only so that the methods that would return it have their COM signatures. */
struct ITypeInfo;

struct IDispatch : IUnknown {
  virtual HRESULT GetTypeInfoCount(UINT* pctinfo) = 0;
  virtual HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) = 0;
  virtual HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                DISPID* rgDispId) = 0;
  virtual HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                         DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                         UINT* puArgErr) = 0;

 protected:
  ~IDispatch() = default;
};

/* ICAPI: the component's dual interface; see KELVADROME_ICAPI_METHODS for its slots. */
struct ICAPI : IDispatch {
#define KELVADROME_ICAPI_SLOT(name, dispid, parameters) virtual HRESULT name parameters = 0;
  KELVADROME_ICAPI_METHODS(KELVADROME_ICAPI_SLOT)
#undef KELVADROME_ICAPI_SLOT

 protected:
  ~ICAPI() = default;
};

struct IObjectSafety : IUnknown {
  virtual HRESULT GetInterfaceSafetyOptions(REFIID riid, DWORD* pdwSupportedOptions,
                                            DWORD* pdwEnabledOptions) = 0;
  virtual HRESULT SetInterfaceSafetyOptions(REFIID riid, DWORD dwOptionSetMask,
                                            DWORD dwEnabledOptions) = 0;

 protected:
  ~IObjectSafety() = default;
};

struct IProvideClassInfo : IUnknown {
  virtual HRESULT GetClassInfo(ITypeInfo** ppTI) = 0;

 protected:
  ~IProvideClassInfo() = default;
};

struct IProvideClassInfo2 : IProvideClassInfo {
  virtual HRESULT GetGUID(DWORD dwGuidKind, GUID* pGUID) = 0;

 protected:
  ~IProvideClassInfo2() = default;
};

struct IClassFactory : IUnknown {
  virtual HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
  virtual HRESULT LockServer(BOOL fLock) = 0;

 protected:
  ~IClassFactory() = default;
};

#endif /* __cplusplus */

#endif /* KELVADROME_AUTOMATION_H_ */
