// Registration and creation of the automation class as a client meets them. Everything the test
// calls is the shared library's (DllRegisterServer, KelvadromeCreateObject, the objects); the
// registry is read and prepared through the static core's Registry, independently of the library.
#include <dlfcn.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/crypto.h>

#include "kelvadrome/automation.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "support/test_support.h"

namespace kelvadrome {
namespace {

using testing::ScopedEnv;
using testing::TempDir;

constexpr std::string_view kClasses = "Software\\Classes";
constexpr const char* kCapiClsid = "{6B1F0C3E-94D2-4A87-8E15-2C7D04020000}";

RegistryValue Text(const std::string& text) {
  RegistryValue value{registry_type::kString, std::vector<uint8_t>(text.begin(), text.end())};
  value.data.push_back(0);
  return value;
}

std::string Join(std::string_view key, std::string_view name) {
  return std::string(kClasses) + "\\" + std::string(key) + (name.empty() ? "" : "\\") +
         std::string(name);
}

// One line per key ("key <path>") and per value ("value <path> <name> = <text>") below
// HKCU\Software\Classes; paths relative to it.
void Walk(Registry& registry, const std::string& relative, std::set<std::string>* lines) {
  const std::string path =
      relative.empty() ? std::string(kClasses) : std::string(kClasses) + "\\" + relative;
  if (!relative.empty()) lines->insert("key " + relative);
  for (const auto& [name, value] :
       registry.Values(path).value_or(std::vector<std::pair<std::string, RegistryValue>>{})) {
    const auto* bytes = reinterpret_cast<const char*>(value.data.data());
    const std::string text = value.type == registry_type::kString
                                 ? std::string(bytes, strnlen(bytes, value.data.size()))
                                 : "<type " + std::to_string(value.type) + ">";
    lines->insert("value " + relative + " " + name + " = " + text);
  }
  for (const auto& subkey : registry.SubkeyNames(path).value_or(std::vector<std::string>{})) {
    Walk(registry, relative.empty() ? subkey : relative + "\\" + subkey, lines);
  }
}

std::set<std::string> Snapshot() {
  std::set<std::string> lines;
  auto registry = Registry::Open(Registry::Root::kCurrentUser);
  EXPECT_NE(registry, nullptr);
  if (registry) Walk(*registry, "", &lines);
  return lines;
}

// The lines the registration must add, from the data file, with the module's path in place.
std::set<std::string> ExpectedLines(const std::string& module) {
  std::ifstream in(KELVADROME_REGISTRATION_ENTRIES);
  EXPECT_TRUE(in.good());
  std::set<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const size_t first = line.find('\t');
    const size_t second = line.find('\t', first + 1);
    EXPECT_NE(second, std::string::npos) << line;
    if (second == std::string::npos) continue;
    const std::string key = line.substr(0, first);
    const std::string name = line.substr(first + 1, second - first - 1);
    std::string text = line.substr(second + 1);
    lines.insert("key " + key);
    if (text == "-") continue;
    if (const size_t at = text.find("$MODULE"); at != std::string::npos) {
      text.replace(at, 7, module);
    }
    lines.insert("value " + key + " " + name + " = " + text);
  }
  return lines;
}

std::set<std::string> Minus(const std::set<std::string>& a, const std::set<std::string>& b) {
  std::set<std::string> difference;
  for (const auto& line : a) {
    if (b.count(line) == 0) difference.insert(line);
  }
  return difference;
}

template <typename T>
struct Released {
  void operator()(T* object) const { object->Release(); }
};
template <typename T>
using Ref = std::unique_ptr<T, Released<T>>;

template <typename T>
HRESULT Create(const char16_t* name, const IID& iid, Ref<T>* object) {
  void* raw = reinterpret_cast<void*>(object);  // any non-null value, to see it cleared
  const HRESULT result = KelvadromeCreateObject(name, &iid, &raw);
  object->reset(static_cast<T*>(raw));
  return result;
}

// Calls the method |name| through IDispatch with text and number arguments in order.
std::u16string CallForText(IDispatch* object, const char16_t* name,
                           std::vector<VARIANT> arguments) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  DISPID dispid = DISPID_UNKNOWN;
  EXPECT_EQ(object->GetIDsOfNames(IID_NULL, names, 1, 0, &dispid), S_OK);
  std::vector<VARIANT> reversed(arguments.rbegin(), arguments.rend());
  DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  VARIANT result{};
  EXPECT_EQ(
      object->Invoke(dispid, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr),
      S_OK);
  for (auto& argument : arguments) {
    if (argument.vt == VT_BSTR) SysFreeString(argument.bstrVal);
  }
  EXPECT_EQ(result.vt, VT_BSTR);
  std::u16string text(result.bstrVal, SysStringLen(result.bstrVal));
  SysFreeString(result.bstrVal);
  return text;
}

VARIANT TextArgument(const char16_t* text) {
  VARIANT value{};
  value.vt = VT_BSTR;
  value.bstrVal = SysAllocString(text);
  return value;
}

VARIANT NumberArgument(LONG number) {
  VARIANT value{};
  value.vt = VT_I4;
  value.lVal = number;
  return value;
}

class AutomationServer : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(DllCanUnloadNow(), S_OK); }
  void TearDown() override { EXPECT_EQ(DllCanUnloadNow(), S_OK) << "an object was left alive"; }

  Registry& User() {
    if (!user_) user_ = Registry::Open(Registry::Root::kCurrentUser);
    return *user_;
  }

  TempDir dir_;
  ScopedEnv profile_{"KELVADROME_PROFILE", (dir_.path() / "user").c_str()};
  ScopedEnv machine_{"KELVADROME_MACHINE_PROFILE", (dir_.path() / "machine").c_str()};
  std::unique_ptr<Registry> user_;
};

TEST_F(AutomationServer, RegistrationWritesItsEntriesAndUnregistrationRemovesExactlyThem) {
  // Another server's registration, which must survive both steps.
  ASSERT_TRUE(User().SetValue(Join("Other.Thing\\CLSID", ""), "",
                              Text("{11111111-2222-3333-4444-555555555555}")));
  ASSERT_TRUE(User().SetValue(Join("CLSID\\{11111111-2222-3333-4444-555555555555}", ""),
                              "InprocServer32", Text("/opt/other/libother.so")));
  const auto before = Snapshot();
  // Leftovers of an older registration below the class's key, which registration replaces whole.
  const std::string clsid_key = std::string("CLSID\\") + kCapiClsid;
  ASSERT_TRUE(User().SetValue(Join(clsid_key, "Implemented Categories"), "", Text("old")));
  ASSERT_TRUE(User().SetValue(Join(clsid_key, "InprocServer32"), "", Text("/old/lib.so")));

  ASSERT_EQ(DllRegisterServer(), S_OK);
  const auto registered = Snapshot();
  const auto module = User().QueryValue(Join(clsid_key, "InprocServer32"), "");
  ASSERT_TRUE(module.has_value());
  const std::string module_path(reinterpret_cast<const char*>(module->data.data()));
  EXPECT_TRUE(std::filesystem::path(module_path).is_absolute()) << module_path;
  EXPECT_TRUE(std::filesystem::equivalent(module_path, KELVADROME_LIBRARY_PATH)) << module_path;
  EXPECT_EQ(Minus(registered, before), ExpectedLines(module_path));
  EXPECT_TRUE(Minus(before, registered).empty());

  // Registering again changes nothing.
  ASSERT_EQ(DllRegisterServer(), S_OK);
  EXPECT_EQ(Snapshot(), registered);

  ASSERT_EQ(DllUnregisterServer(), S_OK);
  EXPECT_EQ(Snapshot(), before) << "the CLSID key itself and other classes stay";
  // Unregistering what is not registered is no error.
  EXPECT_EQ(DllUnregisterServer(), S_OK);
  EXPECT_EQ(Snapshot(), before);
}

TEST_F(AutomationServer, ObjectsAreCreatedByProgIdAndByClsidText) {
  ASSERT_EQ(DllRegisterServer(), S_OK);
  const char16_t* names[] = {u"KelvadromeATL.CAPI", u"kelvadromeatl.capi.1",
                             u"{6B1F0C3E-94D2-4A87-8E15-2C7D04020000}",
                             u"{6b1f0c3e-94d2-4a87-8e15-2c7d04020000}"};
  std::vector<Ref<IDispatch>> objects;
  for (const char16_t* name : names) {
    SCOPED_TRACE(std::string(name, name + std::char_traits<char16_t>::length(name)));
    Ref<IDispatch> object;
    ASSERT_EQ(Create(name, IID_IDispatch, &object), S_OK);
    EXPECT_EQ(CallForText(object.get(), u"getversion", {}), u"4.2.0.0");
    EXPECT_EQ(CallForText(object.get(), u"Hash", {TextArgument(u"abc"), NumberArgument(0x10)}),
              u"A9993E364706816ABA3E25717850C26C9CD0D89D");
    for (const auto& earlier : objects) EXPECT_NE(earlier.get(), object.get());
    objects.push_back(std::move(object));
  }
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  objects.clear();

  // Through the dual interface's slots: the object works on the profile's registry.
  Ref<ICAPI> capi;
  ASSERT_EQ(Create(u"KelvadromeATL.CAPI", IID_ICAPI, &capi), S_OK);
  LONG stored = -1;
  ASSERT_EQ(capi->RegWriteHKCUStr(u"Software\\Example\\Greeting", u"憑證", &stored), S_OK);
  EXPECT_EQ(stored, 0);
  EXPECT_EQ(User().QueryValue("Software\\Example", "Greeting")->data, Text("憑證").data);
  capi.reset();

  ASSERT_EQ(DllUnregisterServer(), S_OK);
  Ref<IDispatch> gone;
  EXPECT_EQ(Create(u"KelvadromeATL.CAPI", IID_IDispatch, &gone), CO_E_CLASSSTRING);
  EXPECT_EQ(Create(u"{6B1F0C3E-94D2-4A87-8E15-2C7D04020000}", IID_IDispatch, &gone),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(gone.get(), nullptr);
}

TEST_F(AutomationServer, TheMachineRegistrationServesUnlessTheUserHasItsOwn) {
  const std::string clsid_key = std::string("CLSID\\") + kCapiClsid;
  {
    Registry machine(ProfileDatabase::Open((dir_.path() / "machine").string(),
                                           ProfileDatabase::Access::kReadWrite));
    ASSERT_TRUE(machine.SetValue(Join("KelvadromeATL.CAPI\\CLSID", ""), "", Text(kCapiClsid)));
    ASSERT_TRUE(
        machine.SetValue(Join(clsid_key, "InprocServer32"), "", Text(KELVADROME_LIBRARY_PATH)));
  }
  Ref<IDispatch> object;
  EXPECT_EQ(Create(u"KelvadromeATL.CAPI", IID_IDispatch, &object), S_OK);
  object.reset();
  // A user's ProgID that only names its current version leads to the machine's class.
  ASSERT_TRUE(
      User().SetValue(Join("Kelvadrome.Alias\\CurVer", ""), "", Text("KelvadromeATL.CAPI")));
  EXPECT_EQ(Create(u"Kelvadrome.Alias", IID_IDispatch, &object), S_OK);
  object.reset();
  // The user's key of the class wins over the machine's.
  ASSERT_TRUE(User().SetValue(Join(clsid_key, "InprocServer32"), "", Text("/nonexistent/lib.so")));
  EXPECT_EQ(Create(u"KelvadromeATL.CAPI", IID_IDispatch, &object), CO_E_DLLNOTFOUND);
}

TEST_F(AutomationServer, CreationFailuresSayWhatIsWrong) {
  ASSERT_EQ(DllRegisterServer(), S_OK);
  Dl_info crypto{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&OpenSSL_version), &crypto), 0);
  struct Registered {
    const char* prog_id;
    const char* clsid;
    const char* module;  // null: no InprocServer32
  };
  const Registered registered[] = {
      {"Test.Missing", "{00000000-0000-0000-0000-0000000000A1}", "/nonexistent/libmissing.so"},
      {"Test.NotAServer", "{00000000-0000-0000-0000-0000000000A2}", crypto.dli_fname},
      {"Test.OtherClass", "{00000000-0000-0000-0000-0000000000A3}", KELVADROME_LIBRARY_PATH},
      {"Test.NoServer", "{00000000-0000-0000-0000-0000000000A4}", nullptr},
      {"Test.BadClsid", "{not a class}", nullptr},
  };
  for (const auto& r : registered) {
    ASSERT_TRUE(User().SetValue(Join(std::string(r.prog_id) + "\\CLSID", ""), "", Text(r.clsid)));
    const std::string server = Join(std::string("CLSID\\") + r.clsid, "InprocServer32");
    ASSERT_TRUE(r.module != nullptr ? User().SetValue(server, "", Text(r.module))
                                    : User().CreateKey(Join(std::string("CLSID\\") + r.clsid, "")));
  }
  struct Case {
    const char* label;
    const char16_t* name;
    const IID* iid;
    HRESULT expected;
  };
  const Case cases[] = {
      {"an unknown ProgID", u"No.Such.Thing", &IID_IDispatch, CO_E_CLASSSTRING},
      {"an empty name", u"", &IID_IDispatch, CO_E_CLASSSTRING},
      // A ProgID names one key, never a path below it.
      {"a ProgID with a backslash", u"KelvadromeATL.CAPI\\CLSID", &IID_IDispatch, CO_E_CLASSSTRING},
      {"a ProgID whose CLSID is not one", u"Test.BadClsid", &IID_IDispatch, CO_E_CLASSSTRING},
      // Malformed CLSID texts.
      {"no closing brace", u"{6B1F0C3E-94D2-4A87-8E15-2C7D04020000", &IID_IDispatch,
       CO_E_CLASSSTRING},
      {"a group one digit short", u"{6B1F0C3E-94D2-4A87-8E15-2C7D0402000}", &IID_IDispatch,
       CO_E_CLASSSTRING},
      {"a letter that is no hex digit", u"{6B1F0C3E-94D2-4A87-8E15-2C7D0402000G}", &IID_IDispatch,
       CO_E_CLASSSTRING},
      {"text after the brace", u"{6B1F0C3E-94D2-4A87-8E15-2C7D04020000}x", &IID_IDispatch,
       CO_E_CLASSSTRING},
      {"a hyphen missing", u"{6B1F0C3E94D2-4A87-8E15-2C7D04020000}", &IID_IDispatch,
       CO_E_CLASSSTRING},
      {"a well-formed CLSID nobody registered", u"{00000000-0000-0000-0000-0000000000FF}",
       &IID_IDispatch, REGDB_E_CLASSNOTREG},
      {"a class without InprocServer32", u"Test.NoServer", &IID_IDispatch, REGDB_E_CLASSNOTREG},
      {"a module that does not exist", u"Test.Missing", &IID_IDispatch, CO_E_DLLNOTFOUND},
      {"a library that is no server", u"Test.NotAServer", &IID_IDispatch, CO_E_ERRORINDLL},
      {"our module asked for another class", u"Test.OtherClass", &IID_IDispatch,
       CLASS_E_CLASSNOTAVAILABLE},
      {"an interface the object lacks", u"KelvadromeATL.CAPI", &IID_IOleObject, E_NOINTERFACE},
      {"a null name", nullptr, &IID_IDispatch, E_INVALIDARG},
      {"a null interface", u"KelvadromeATL.CAPI", nullptr, E_INVALIDARG},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    void* object = &object;
    EXPECT_EQ(KelvadromeCreateObject(c.name, c.iid, &object), c.expected);
    EXPECT_EQ(object, nullptr);
  }
  EXPECT_EQ(KelvadromeCreateObject(u"KelvadromeATL.CAPI", &IID_IDispatch, nullptr), E_POINTER);
}

TEST_F(AutomationServer, RegistrationFailsWhenTheProfileCannotBeOpened) {
  // A file where the profile folder should be.
  const auto file = dir_.WriteFile("not-a-folder", "x");
  ScopedEnv broken("KELVADROME_PROFILE", file.c_str());
  EXPECT_EQ(DllRegisterServer(), SELFREG_E_CLASS);
  EXPECT_EQ(DllUnregisterServer(), SELFREG_E_CLASS);
  Ref<IDispatch> object;
  EXPECT_EQ(Create(u"KelvadromeATL.CAPI", IID_IDispatch, &object), CO_E_CLASSSTRING);
}

}  // namespace
}  // namespace kelvadrome
