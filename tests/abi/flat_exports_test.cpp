// The flat C surface as a program sees it: the public header and the shared library only, plus the
// method table to check that header, table and exports agree.
#include <dlfcn.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "frame/method_table.h"
#include "kelvadrome/kelvadrome.h"
#include "support/test_support.h"

namespace {

// Takes ownership of a text result and returns its characters.
std::u16string Take(BSTR text) {
  EXPECT_NE(text, nullptr) << "text results are never null";
  std::u16string copy = text != nullptr ? std::u16string(text, SysStringLen(text)) : u"";
  SysFreeString(text);
  return copy;
}

std::set<std::string> HeaderFunctions(const std::string& header = KELVADROME_PUBLIC_HEADER) {
  std::ifstream in(header);
  std::stringstream all;
  all << in.rdbuf();
  const std::string text = all.str();
  const std::regex declaration(R"(KELVADROME_API\s+[\w\s\*]+?\b(\w+)\s*\()");
  std::set<std::string> names;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), declaration);
       it != std::sregex_iterator(); ++it) {
    names.insert((*it)[1]);
  }
  return names;
}

std::set<std::string> DynamicSymbols() {
  const std::string command =
      std::string("nm -D --defined-only --format=just-symbols ") + KELVADROME_LIBRARY_PATH;
  std::set<std::string> names;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return names;
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::string name(line);
    while (!name.empty() && (name.back() == '\n' || name.back() == ' ')) name.pop_back();
    names.insert(name);
  }
  pclose(pipe);
  return names;
}

const std::set<std::string> kSupportFunctions = {
    "SysAllocString", "SysAllocStringLen", "SysStringLen", "SysFreeString", "KelvadromeGetExport"};

TEST(FlatSurface, HeaderTableAndLibraryExportTheSameFunctions) {
  std::set<std::string> expected = kSupportFunctions;
  for (const auto& method : kelvadrome::kMethods) {
    expected.insert(std::string(method.export_name));
  }
  EXPECT_EQ(HeaderFunctions(), expected);
  // The automation server's entry points, declared in the header beside this one, are exported too.
  const std::string automation_header =
      (std::filesystem::path(KELVADROME_PUBLIC_HEADER).parent_path() / "automation.h").string();
  const auto automation_functions = HeaderFunctions(automation_header);
  EXPECT_FALSE(automation_functions.empty());
  expected.insert(automation_functions.begin(), automation_functions.end());
  // The library exports exactly these C functions; anything else it shows is a linker symbol.
  std::set<std::string> exported;
  for (const auto& name : DynamicSymbols()) {
    if (name.rfind("_Z", 0) == 0) ADD_FAILURE() << "C++ symbol leaks: " << name;
    // The Java natives have a test of their own (jni_exports_test).
    if (name.rfind("Java_com_Quorix_QuorixATLApplet_", 0) == 0) continue;
    if (name != "_init" && name != "_fini" && name.rfind("__", 0) != 0) exported.insert(name);
  }
  EXPECT_EQ(exported, expected);
}

TEST(FlatSurface, ExportLookupResolvesPlainAndDecoratedNames) {
  void* library = dlopen(KELVADROME_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(library, nullptr);
  for (const auto& method : kelvadrome::kMethods) {
    SCOPED_TRACE(std::string(method.name));
    const std::string plain(method.export_name);
    void* by_plain = KelvadromeGetExport(plain.c_str());
    void* by_decorated = KelvadromeGetExport(method.DecoratedName().c_str());
    EXPECT_NE(by_plain, nullptr);
    EXPECT_EQ(by_plain, by_decorated);
    EXPECT_EQ(by_plain, dlsym(library, plain.c_str()));
  }
  EXPECT_EQ(KelvadromeGetExport("_Hash@8"), reinterpret_cast<void*>(&Hash));
  EXPECT_EQ(KelvadromeGetExport("_GetDllVersion@0"), reinterpret_cast<void*>(&GetDllVersion));
  // Wrong byte counts, the method name behind GetDllVersion, and null are unknown.
  for (const char* unknown : {"_Hash@4", "_Hash@", "Hash@8", "GetVersion", "_GetVersion@0", ""}) {
    EXPECT_EQ(KelvadromeGetExport(unknown), nullptr) << unknown;
  }
  EXPECT_EQ(KelvadromeGetExport(nullptr), nullptr);
  dlclose(library);
}

TEST(FlatSurface, VersionAndSuccessMessage) {
  EXPECT_EQ(Take(GetDllVersion()), u"4.2.0.0");
  EXPECT_EQ(GetErrorCode(), 0);
  EXPECT_EQ(Take(GetErrorMsg()), u"成功(0)");
  EXPECT_EQ(GetPortEx(), 65537);
}

TEST(FlatSurface, ClassSixKeepsTheCodeOfAFailedCall) {
  EXPECT_EQ(Take(HashFile(u"/nonexistent/kelvadrome", 0)), u"");
  EXPECT_EQ(GetErrorCode(), 5902);
  EXPECT_EQ(Take(GetErrorMsg()), u"File Not Found(5902)");
  Take(GetOSName());
  EXPECT_EQ(GetErrorCode(), 5902);
  Take(GetDllVersion());
  EXPECT_EQ(GetErrorCode(), 0);
}

TEST(FlatSurface, NullTextIsEmptyText) {
  EXPECT_EQ(Take(Hash(nullptr, 0)), u"");
  EXPECT_EQ(GetErrorCode(), 5005);
  EXPECT_EQ(Take(Hash(u"", 0)), u"");
  EXPECT_EQ(GetErrorCode(), 5005);
  // No dialog can be created in the tests (KELVADROME_DIALOGS=none): the picker counts as
  // cancelled.
  EXPECT_EQ(Take(HashFile(nullptr, 0)), u"");
  EXPECT_EQ(GetErrorCode(), 5070);
}

TEST(FlatSurface, HugeTextHashesWithoutTrouble) {
  std::u16string huge(8 * 1024 * 1024, u'憑');
  EXPECT_EQ(Take(Hash(huge.c_str(), 3)).size(), 64u);
  EXPECT_EQ(GetErrorCode(), 0);
}

TEST(FlatSurface, ConcurrentCallersGetTheirOwnResults) {
  const std::u16string expected_md5 = u"900150983CD24FB0D6963F7D28E17F72";
  const std::u16string expected_sha1 = u"A9993E364706816ABA3E25717850C26C9CD0D89D";
  auto worker = [](int32_t flags, const std::u16string& expected, int* mismatches) {
    for (int i = 0; i < 2000; ++i) {
      if (Take(Hash(u"abc", flags)) != expected) ++*mismatches;
    }
  };
  int mismatches_a = 0, mismatches_b = 0;
  std::thread a(worker, 0x11, expected_md5, &mismatches_a);
  std::thread b(worker, 0x10, expected_sha1, &mismatches_b);
  a.join();
  b.join();
  EXPECT_EQ(mismatches_a, 0);
  EXPECT_EQ(mismatches_b, 0);
}

TEST(FlatSurface, RegistryValuesPersistInTheProfile) {
  kelvadrome::testing::TempDir dir;
  kelvadrome::testing::ScopedEnv profile("KELVADROME_PROFILE", dir.path().c_str());
  EXPECT_EQ(RegWriteHKCUInt(u"Software\\ORLA\\QuorixATL\\Level", -5), 0);
  EXPECT_EQ(RegWriteHKCUStr(u"Software\\ORLA\\QuorixATL\\Name", u"憑證"), 0);
  EXPECT_EQ(Take(RegReadHKCU(u"SOFTWARE\\orla\\QuorixATL\\level")), u"-5");
  EXPECT_EQ(Take(RegReadHKCU(u"Software\\ORLA\\QuorixATL\\Name")), u"憑證");
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "profile.db"));
  // A null second text is empty text; a null path is a bad argument.
  EXPECT_EQ(RegWriteHKCUStr(u"Software\\Empty", nullptr), 0);
  EXPECT_EQ(Take(RegReadHKCU(u"Software\\Empty")), u"");
  EXPECT_EQ(RegWriteHKCUStr(nullptr, u"x"), 5005);
  EXPECT_EQ(GetErrorCode(), 5005);
}

TEST(FlatSurface, AutomationStringsMatchTheOleLayout) {
  BSTR text = SysAllocString(u"abc");
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(SysStringLen(text), 3u);
  uint32_t bytes;
  std::memcpy(&bytes, reinterpret_cast<const char*>(text) - 4, 4);
  EXPECT_EQ(bytes, 6u);
  EXPECT_EQ(text[3], 0);
  SysFreeString(text);
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  BSTR empty = SysAllocStringLen(nullptr, 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(SysStringLen(empty), 0u);
  SysFreeString(empty);
  SysFreeString(nullptr);
}

}  // namespace
