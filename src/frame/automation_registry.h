// The automation class in the registry: its registration entries under HKCU\Software\Classes, and
// the way a client finds and creates a registered class (ProgID or CLSID, HKEY_CLASSES_ROOT, the
// in-process server module, its class factory). This is the part of a COM runtime that an
// in-process automation server and its clients need on this platform.
//
// HKEY_CLASSES_ROOT is the current user's HKCU\Software\Classes over the machine's
// HKLM\Software\Classes: for each key the user's copy is read when it exists, else the machine's.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kelvadrome/automation.h"

namespace kelvadrome {

// The ProgIDs of the class CAPI, and what its registration calls it.
inline constexpr std::string_view kCapiProgId = "KelvadromeATL.CAPI";
inline constexpr std::string_view kCapiVersionedProgId = "KelvadromeATL.CAPI.1";
inline constexpr std::u16string_view kCapiDescription = u"QuorixATL 安控元件組 4.x 版 Class";

// FormatGuid returns |guid| in registry form, "{6B1F0C3E-94D2-4A87-8E15-2C7D04020000}".
std::string FormatGuid(const GUID& guid);

// ParseGuid reads the registry form of a GUID: braces, 8-4-4-4-12 hexadecimal digits of either
// case, nothing else. nullopt for any other text.
std::optional<GUID> ParseGuid(std::u16string_view text);
std::optional<GUID> ParseGuid(std::string_view text);

// One entry the registration writes: below HKCU\Software\Classes, the key |key| with the text
// value |value_name| (empty: the key's default value) set to |text|, or just the key when |text|
// is nullopt.
struct RegistrationEntry {
  std::string key;
  std::string value_name;
  std::optional<std::string> text;
};

// CapiRegistrationEntries returns the entries of the class CAPI served by the module at
// |module_path|, in the order they are written. Texts are in the process code page.
std::vector<RegistrationEntry> CapiRegistrationEntries(std::string_view module_path);

// RegisterCapiServer writes CapiRegistrationEntries(|module_path|) into the current user's
// registry after removing the class's CLSID key whole. Returns S_OK, or SELFREG_E_CLASS when the
// registry cannot be opened or written; what was written is then removed again
// (UnregisterCapiServer). E_OUTOFMEMORY when memory runs out.
HRESULT RegisterCapiServer(std::string_view module_path);

// UnregisterCapiServer removes the class's two ProgID keys and its CLSID key, each with everything
// below it, from the current user's registry; a missing key is no error, and the key CLSID itself
// stays. Returns S_OK, or SELFREG_E_CLASS when the registry cannot be opened or a key not removed.
HRESULT UnregisterCapiServer();

// ClassIdOfName sets |*clsid| to the class |name| stands for: a CLSID in registry form, or a
// ProgID whose CLSID subkey (else that of the ProgID its CurVer names) holds one. Returns S_OK or
// CO_E_CLASSSTRING.
HRESULT ClassIdOfName(std::u16string_view name, GUID* clsid);

// InprocServerOf returns the module registered as the in-process server of |clsid| (the default
// value of CLSID\{...}\InprocServer32), or nullopt.
std::optional<std::string> InprocServerOf(const GUID& clsid);

// CreateRegisteredObject does what KelvadromeCreateObject (kelvadrome/automation.h) documents:
// finds the class |name| names, loads its module (which then stays loaded for the life of the
// process, as objects may outlive any bookkeeping), asks the module's DllGetClassObject for the
// class factory and the factory for the interface |iid| of a new object. Never throws.
HRESULT CreateRegisteredObject(const char16_t* name, const IID* iid, void** object);

}  // namespace kelvadrome
