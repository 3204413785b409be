#include "frame/automation_registry.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>

#include "platform/registry.h"
#include "platform/text.h"

namespace kelvadrome {

namespace {

constexpr std::string_view kClassesRoot = "Software\\Classes";

std::string ClassesPath(std::string_view key) {
  return std::string(kClassesRoot) + "\\" + std::string(key);
}

std::string ClsidKey(const GUID& clsid) {
  return "CLSID\\" + FormatGuid(clsid);
}

RegistryValue TextValue(std::string_view text) {
  RegistryValue value{registry_type::kString, std::vector<uint8_t>(text.begin(), text.end())};
  value.data.push_back(0);  // stored with its terminating zero, as text values are
  return value;
}

// ReadClassesText reads the text value |name| of |key| in HKEY_CLASSES_ROOT: from the current
// user's key when it exists, else from the machine's. nullopt when the value is missing or not
// text.
std::optional<std::string> ReadClassesText(std::string_view key, std::string_view name) {
  const std::string path = ClassesPath(key);
  for (const auto root : {Registry::Root::kCurrentUser, Registry::Root::kLocalMachine}) {
    auto registry = Registry::Open(root);
    if (!registry || !registry->KeyExists(path)) continue;
    const auto value = registry->QueryValue(path, name);
    if (!value ||
        (value->type != registry_type::kString && value->type != registry_type::kExpandString)) {
      return std::nullopt;
    }
    const auto* bytes = reinterpret_cast<const char*>(value->data.data());
    return std::string(bytes, strnlen(bytes, value->data.size()));
  }
  return std::nullopt;
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// ReadHex reads |digits| hexadecimal digits at |*at| into |*value|; false (|*at| unchanged) when
// any of them is not one.
bool ReadHex(std::u16string_view text, size_t* at, int digits, uint64_t* value) {
  if (text.size() - *at < static_cast<size_t>(digits)) return false;
  uint64_t read = 0;
  for (int i = 0; i < digits; ++i) {
    const int digit = HexDigit(text[*at + i]);
    if (digit < 0) return false;
    read = (read << 4) | static_cast<uint64_t>(digit);
  }
  *at += digits;
  *value = read;
  return true;
}

bool ReadChar(std::u16string_view text, size_t* at, char16_t expected) {
  if (*at >= text.size() || text[*at] != expected) return false;
  ++*at;
  return true;
}

using DllGetClassObjectFunction = HRESULT (*)(const CLSID*, const IID*, void**);

// LoadServer loads the module at |path| (once per path) and returns its DllGetClassObject. The
// module is never unloaded: objects it made may be alive anywhere in the process.
HRESULT LoadServer(const std::string& path, DllGetClassObjectFunction* entry) {
  static std::mutex mutex;
  static std::map<std::string, DllGetClassObjectFunction> loaded;
  std::lock_guard lock(mutex);
  if (const auto found = loaded.find(path); found != loaded.end()) {
    *entry = found->second;
    return S_OK;
  }
  // The registry holds the path as narrow text; the loader takes the file system's spelling.
  const std::optional<std::string> system_path = SystemPath(path);
  if (!system_path) return CO_E_DLLNOTFOUND;
  void* module = dlopen(system_path->c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) return CO_E_DLLNOTFOUND;
  void* symbol = dlsym(module, "DllGetClassObject");
  if (symbol == nullptr) {
    dlclose(module);
    return CO_E_ERRORINDLL;
  }
  *entry = reinterpret_cast<DllGetClassObjectFunction>(symbol);
  loaded.emplace(path, *entry);
  return S_OK;
}

}  // namespace

std::string FormatGuid(const GUID& guid) {
  char text[39];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1,
                guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
                guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

std::optional<GUID> ParseGuid(std::u16string_view text) {
  GUID guid{};
  size_t at = 0;
  uint64_t part = 0;
  if (!ReadChar(text, &at, u'{') || !ReadHex(text, &at, 8, &part)) return std::nullopt;
  guid.Data1 = static_cast<uint32_t>(part);
  if (!ReadChar(text, &at, u'-') || !ReadHex(text, &at, 4, &part)) return std::nullopt;
  guid.Data2 = static_cast<uint16_t>(part);
  if (!ReadChar(text, &at, u'-') || !ReadHex(text, &at, 4, &part)) return std::nullopt;
  guid.Data3 = static_cast<uint16_t>(part);
  if (!ReadChar(text, &at, u'-')) return std::nullopt;
  for (int i = 0; i < 8; ++i) {
    if (i == 2 && !ReadChar(text, &at, u'-')) return std::nullopt;
    if (!ReadHex(text, &at, 2, &part)) return std::nullopt;
    guid.Data4[i] = static_cast<uint8_t>(part);
  }
  if (!ReadChar(text, &at, u'}') || at != text.size()) return std::nullopt;
  return guid;
}

std::optional<GUID> ParseGuid(std::string_view text) {
  std::u16string wide;
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
    wide.push_back(static_cast<char16_t>(c));
  }
  return ParseGuid(std::u16string_view(wide));
}

std::vector<RegistrationEntry> CapiRegistrationEntries(std::string_view module_path) {
  const std::string description = ConvertToNarrow(kCapiDescription);
  const std::string clsid = FormatGuid(CLSID_CAPI);
  const std::string clsid_key = ClsidKey(CLSID_CAPI);
  const std::string module(module_path);
  const std::string versioned(kCapiVersionedProgId);
  const std::string independent(kCapiProgId);
  return {
      {versioned, "", description},
      {versioned + "\\CLSID", "", clsid},
      {independent, "", description},
      {independent + "\\CLSID", "", clsid},
      {independent + "\\CurVer", "", versioned},
      {clsid_key, "", description},
      {clsid_key + "\\ProgID", "", versioned},
      {clsid_key + "\\VersionIndependentProgID", "", independent},
      {clsid_key + "\\Programmable", "", std::nullopt},
      {clsid_key + "\\InprocServer32", "", module},
      {clsid_key + "\\InprocServer32", "ThreadingModel", "Apartment"},
      {clsid_key + "\\Control", "", std::nullopt},
      {clsid_key + "\\Insertable", "", std::nullopt},
      {clsid_key + "\\ToolboxBitmap32", "", module + ", 102"},
      {clsid_key + "\\MiscStatus", "", "0"},
      {clsid_key + "\\MiscStatus\\1", "", "131473"},  // 0x20191: the control's OLEMISC flags
      // No binary type library exists on this platform; the class names its identity only.
      {clsid_key + "\\TypeLib", "", FormatGuid(LIBID_KELVADROMEATLLib)},
      {clsid_key + "\\Version", "", "1.0"},
  };
}

HRESULT RegisterCapiServer(std::string_view module_path) {
  try {
    auto registry = Registry::Open(Registry::Root::kCurrentUser);
    if (!registry) return SELFREG_E_CLASS;
    const std::string clsid_path = ClassesPath(ClsidKey(CLSID_CAPI));
    bool written = !registry->KeyExists(clsid_path) || registry->DeleteKey(clsid_path);
    for (const auto& entry : CapiRegistrationEntries(module_path)) {
      if (!written) break;
      const std::string path = ClassesPath(entry.key);
      written = entry.text ? registry->SetValue(path, entry.value_name, TextValue(*entry.text))
                           : registry->CreateKey(path);
    }
    if (written) return S_OK;
    UnregisterCapiServer();
    return SELFREG_E_CLASS;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT UnregisterCapiServer() {
  try {
    auto registry = Registry::Open(Registry::Root::kCurrentUser);
    if (!registry) return SELFREG_E_CLASS;
    bool removed = true;
    for (const std::string& key :
         {std::string(kCapiVersionedProgId), std::string(kCapiProgId), ClsidKey(CLSID_CAPI)}) {
      const std::string path = ClassesPath(key);
      if (registry->KeyExists(path) && !registry->DeleteKey(path)) removed = false;
    }
    return removed ? S_OK : SELFREG_E_CLASS;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT ClassIdOfName(std::u16string_view name, GUID* clsid) {
  if (!name.empty() && name.front() == u'{') {
    const auto parsed = ParseGuid(name);
    if (!parsed) return CO_E_CLASSSTRING;
    *clsid = *parsed;
    return S_OK;
  }
  std::string prog_id = ConvertToNarrow(name);
  // A ProgID names one key; a ProgID without CLSID may name its current version in CurVer.
  for (int hop = 0; hop < 2; ++hop) {
    // By characters: a '\\' byte can be the second byte of a double-byte character.
    if (prog_id.empty() || FindLastCharacter(prog_id, '\\') != std::string::npos) break;
    if (const auto text = ReadClassesText(prog_id + "\\CLSID", "")) {
      const auto parsed = ParseGuid(std::string_view(*text));
      if (!parsed) break;
      *clsid = *parsed;
      return S_OK;
    }
    const auto current = ReadClassesText(prog_id + "\\CurVer", "");
    if (!current) break;
    prog_id = *current;
  }
  return CO_E_CLASSSTRING;
}

std::optional<std::string> InprocServerOf(const GUID& clsid) {
  auto path = ReadClassesText(ClsidKey(clsid) + "\\InprocServer32", "");
  if (!path || path->empty()) return std::nullopt;
  return path;
}

HRESULT CreateRegisteredObject(const char16_t* name, const IID* iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (name == nullptr || iid == nullptr) return E_INVALIDARG;
  try {
    GUID clsid;
    HRESULT result = ClassIdOfName(name, &clsid);
    if (FAILED(result)) return result;
    const auto module = InprocServerOf(clsid);
    if (!module) return REGDB_E_CLASSNOTREG;
    DllGetClassObjectFunction get_class_object = nullptr;
    result = LoadServer(*module, &get_class_object);
    if (FAILED(result)) return result;
    IClassFactory* factory = nullptr;
    result = get_class_object(&clsid, &IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(result)) return result;
    if (factory == nullptr) return E_UNEXPECTED;
    result = factory->CreateInstance(nullptr, *iid, object);
    factory->Release();
    if (FAILED(result)) *object = nullptr;
    return result;
  } catch (...) {
    // Only memory can run out here; nothing may leave through the C entry point.
    *object = nullptr;
    return E_OUTOFMEMORY;
  }
}

}  // namespace kelvadrome
