#include <gtest/gtest.h>

#include "frame/cert_component.h"
#include "platform/registry.h"
#include "support/scoped_code_page.h"
#include "support/test_support.h"

namespace kelvadrome {
namespace {

// Each test works on a fresh user profile and an empty machine profile.
class RegistryWorkersTest : public ::testing::Test {
 protected:
  CertComponent MakeComponent(bool protected_mode = false) {
    ComponentEnvironment environment;
    environment.protected_mode_probe = [protected_mode] { return protected_mode; };
    return CertComponent(std::move(environment));
  }
  Registry UserRegistry() {
    return Registry(ProfileDatabase::Open((dir_.path() / "user").string(),
                                          ProfileDatabase::Access::kReadWrite));
  }

  testing::TempDir dir_;
  testing::ScopedEnv profile_{"KELVADROME_PROFILE", (dir_.path() / "user").c_str()};
  testing::ScopedEnv machine_{"KELVADROME_MACHINE_PROFILE", (dir_.path() / "machine").c_str()};
  testing::ScopedCodePage code_page_{"UTF-8"};
};

TEST_F(RegistryWorkersTest, NumbersAndTextsRoundTrip) {
  CertComponent component = MakeComponent();
  EXPECT_EQ(component.RegWriteHKCUInt(u"Software\\ORLA\\QuorixATL\\Level", -5), 0);
  EXPECT_EQ(component.RegReadHKCU(u"Software\\ORLA\\QuorixATL\\Level"), u"-5");
  EXPECT_EQ(component.RegWriteHKCUStr(u"Software\\ORLA\\QuorixATL\\Name", u"憑證 ok"), 0);
  EXPECT_EQ(component.RegReadHKCU(u"software\\orla\\quorixatl\\NAME"), u"憑證 ok");
  EXPECT_EQ(component.GetErrorCode(), 0);
  // Stored as a 32-bit number and as text with its terminating zero.
  auto number = UserRegistry().QueryValue("Software\\ORLA\\QuorixATL", "Level");
  EXPECT_EQ(number->type, registry_type::kDword);
  EXPECT_EQ(number->data, (std::vector<uint8_t>{0xFB, 0xFF, 0xFF, 0xFF}));
  auto text = UserRegistry().QueryValue("Software\\ORLA\\QuorixATL", "Name");
  EXPECT_EQ(text->type, registry_type::kString);
  EXPECT_EQ(text->data.back(), 0);
}

TEST_F(RegistryWorkersTest, PathRulesComeBeforeProtectedMode) {
  const struct {
    const char* name;
    std::u16string path;
    int32_t normal, protected_mode;
  } cases[] = {
      {"no backslash", u"NoBackslash", 5005, 5005},
      {"empty path", u"", 5005, 5005},
      {"well-formed path", u"Software\\Value", 0, 1500},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CertComponent normal = MakeComponent(false);
    CertComponent sandboxed = MakeComponent(true);
    EXPECT_EQ(normal.RegWriteHKCUStr(c.path.c_str(), u"v"), c.normal);
    EXPECT_EQ(sandboxed.RegWriteHKCUStr(c.path.c_str(), u"v"), c.protected_mode);
    EXPECT_EQ(sandboxed.RegReadHKCU(c.path.c_str()), u"");
    EXPECT_EQ(sandboxed.GetErrorCode(), c.protected_mode);
    EXPECT_EQ(sandboxed.RegReadHKLM(c.path.c_str()), u"");
    EXPECT_EQ(sandboxed.GetErrorCode(), c.protected_mode);
  }
  CertComponent null_path = MakeComponent();
  EXPECT_EQ(null_path.RegReadHKCU(nullptr), u"");
  EXPECT_EQ(null_path.GetErrorCode(), 5005);
}

TEST_F(RegistryWorkersTest, ReadsThatFindNothingUsefulGiveEmptyTextAndCodeZero) {
  Registry registry = UserRegistry();
  ASSERT_TRUE(registry.SetValue("Key", "Binary", {registry_type::kBinary, {1, 2}}));
  ASSERT_TRUE(
      registry.SetValue("Key", "Long", {registry_type::kString, std::vector<uint8_t>(256, 'x')}));
  ASSERT_TRUE(registry.SetValue("Key", "ShortDword", {registry_type::kDword, {1, 2}}));
  CertComponent component = MakeComponent();
  for (const char16_t* path : {u"Key\\Missing", u"Key\\Binary", u"Key\\Long", u"Key\\ShortDword"}) {
    SCOPED_TRACE(Utf16ToUtf8(path));
    EXPECT_EQ(component.RegReadHKCU(path), u"");
    EXPECT_EQ(component.GetErrorCode(), 0);
  }
  // A missing key is a key that cannot be opened.
  EXPECT_EQ(component.RegReadHKCU(u"NoSuchKey\\Value"), u"");
  EXPECT_EQ(component.GetErrorCode(), 5906);
  EXPECT_EQ(component.RegReadHKLM(u"Software\\Value"), u"");
  EXPECT_EQ(component.GetErrorCode(), 5906);
}

TEST_F(RegistryWorkersTest, TextWithoutTerminatorReadsAsItsStoredBytes) {
  Registry registry = UserRegistry();
  ASSERT_TRUE(registry.SetValue("Key", "Bare", {registry_type::kString, {'a', 'b', 'c'}}));
  ASSERT_TRUE(registry.SetValue("Key", "Inner", {registry_type::kString, {'a', 0, 'c'}}));
  ASSERT_TRUE(
      registry.SetValue("Key", "Max", {registry_type::kString, std::vector<uint8_t>(255, 'y')}));
  CertComponent component = MakeComponent();
  EXPECT_EQ(component.RegReadHKCU(u"Key\\Bare"), u"abc");
  EXPECT_EQ(component.RegReadHKCU(u"Key\\Inner"), u"a");
  EXPECT_EQ(component.RegReadHKCU(u"Key\\Max"), std::u16string(255, u'y'));
}

TEST_F(RegistryWorkersTest, TrailingBackslashNamesTheDefaultValue) {
  CertComponent component = MakeComponent();
  EXPECT_EQ(component.RegWriteHKCUStr(u"Software\\Example\\", u"default"), 0);
  EXPECT_EQ(component.RegReadHKCU(u"Software\\Example\\"), u"default");
  EXPECT_EQ(UserRegistry().QueryValue("Software\\Example", "")->type, registry_type::kString);
  // A path whose only backslash is the first names a value of the root key.
  EXPECT_EQ(component.RegWriteHKCUInt(u"\\AtRoot", 7), 0);
  EXPECT_EQ(component.RegReadHKCU(u"\\AtRoot"), u"7");
}

TEST_F(RegistryWorkersTest, Big5NamesWhoseSecondByteIsABackslashStayWhole) {
  // 許, 功 and 蓋 end in the byte 0x5C ('\\') in code page 950.
  const struct {
    std::u16string path, text;
    std::string key, name;  // where the value must be stored, in UTF-8
  } cases[] = {
      {u"Software\\Audit5C\\許", u"v1", "Software\\Audit5C", "許"},
      {u"Software\\Audit5C\\功能\\蓋章", u"v2", "Software\\Audit5C\\功能", "蓋章"},
      {u"Software\\Audit5C\\許功蓋\\", u"v3", "Software\\Audit5C\\許功蓋", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key + " / " + c.name);
    {
      testing::ScopedCodePage big5("CP950");
      CertComponent component = MakeComponent();
      EXPECT_EQ(component.RegWriteHKCUStr(c.path, c.text), 0);
      EXPECT_EQ(component.RegReadHKCU(c.path), c.text);
      EXPECT_EQ(component.GetErrorCode(), 0);
    }
    CertComponent component = MakeComponent();
    EXPECT_EQ(component.RegReadHKCU(c.path), c.text);
    EXPECT_EQ(component.GetErrorCode(), 0);
    std::vector<std::string> names;
    for (const auto& [name, value] : UserRegistry().Values(c.key).value_or(
             std::vector<std::pair<std::string, RegistryValue>>{})) {
      names.push_back(name);
    }
    EXPECT_EQ(names, std::vector<std::string>{c.name});
  }
  // Nothing was made under the first byte of a character.
  EXPECT_EQ(*UserRegistry().SubkeyNames("Software\\Audit5C"),
            (std::vector<std::string>{"功能", "許功蓋"}));
}

TEST_F(RegistryWorkersTest, CapiCodeIsLeftAsItWas) {
  CertComponent component = MakeComponent();
  component.RegReadHKCU(u"NoSuchKey\\Value");
  EXPECT_EQ(component.GetErrorCode(), 5906);
  EXPECT_EQ(component.GetCapiErrorCode(), 0);
}

TEST_F(RegistryWorkersTest, AnUnusableProfileIsDeniedRights) {
  // A file where the profile folder should be: nothing can be created there.
  const auto blocked = dir_.WriteFile("blocked", "not a folder");
  testing::ScopedEnv profile("KELVADROME_PROFILE", blocked.c_str());
  CertComponent component = MakeComponent();
  EXPECT_EQ(component.RegWriteHKCUInt(u"Software\\Value", 1), 5906);
  EXPECT_EQ(component.RegReadHKCU(u"Software\\Value"), u"");
  EXPECT_EQ(component.GetErrorCode(), 5906);
}

}  // namespace
}  // namespace kelvadrome
