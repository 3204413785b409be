#include "ops/requests.h"

#include <regex>
#include <set>

#include <gtest/gtest.h>

#include "frame/cert_component.h"
#include "platform/registry.h"
#include "support/test_support.h"

namespace kelvadrome {
namespace {

TEST(KeyRequestEngine, ListsTheInstalledRsaProvidersOfTypes1And24) {
  KeyRequestEngine engine;
  const std::vector<std::string> expected = {
      "Microsoft Base Cryptographic Provider v1.0", "Microsoft Strong Cryptographic Provider",
      "Microsoft Enhanced Cryptographic Provider v1.0",
      "Microsoft Enhanced RSA and AES Cryptographic Provider",
      "Kelvadrome Smart Card Cryptographic Provider"};  // the SChannel provider (type 12) is left
                                                        // out
  EXPECT_EQ(engine.provider_list(), expected);
  EXPECT_EQ(engine.provider_name(), kEnhancedProvider);
}

TEST(KeyRequestEngine, SelectsOnlyListedNamesExactly) {
  const struct {
    const char* name;
    std::string given;
    int32_t code;
    std::string chosen;  // the provider in force afterwards
  } cases[] = {
      {"a listed provider", "Microsoft Strong Cryptographic Provider", 0,
       "Microsoft Strong Cryptographic Provider"},
      {"the AES provider stands for the enhanced one", std::string(kAesProvider), 0,
       std::string(kEnhancedProvider)},
      {"so does its prototype, which is not installed", std::string(kAesPrototypeProvider), 0,
       std::string(kEnhancedProvider)},
      {"another letter case", "microsoft strong cryptographic provider", 5046,
       std::string(kEnhancedProvider)},
      {"a provider of another type", "Microsoft RSA SChannel Cryptographic Provider", 5046,
       std::string(kEnhancedProvider)},
      {"an empty name", "", 5005, std::string(kEnhancedProvider)},
      {"a card provider", "Kelvadrome Smart Card Cryptographic Provider", 0,
       "Kelvadrome Smart Card Cryptographic Provider"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    KeyRequestEngine engine;
    EXPECT_EQ(engine.SelectProvider(c.given), c.code);
    EXPECT_EQ(engine.error_code(), c.code);
    EXPECT_EQ(engine.provider_name(), c.chosen);
  }
  KeyRequestEngine engine;
  ASSERT_EQ(engine.SelectProvider("Microsoft Base Cryptographic Provider v1.0"), 0);
  EXPECT_EQ(engine.SelectProvider("No Such Provider"), 5046);
  EXPECT_EQ(engine.provider_name(), "Microsoft Base Cryptographic Provider v1.0")
      << "a refused name leaves the earlier choice";
}

TEST(RequestContainerName, IsAFreshGuidShapedNameEveryTime) {
  // Names drawn in a tight loop: a clock-seeded generator would repeat within one tick.
  const std::regex shape("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
  std::set<std::string> names;
  for (int i = 0; i < 5000; ++i) {
    const std::string name = RequestContainerName();
    EXPECT_TRUE(std::regex_match(name, shape)) << name;
    names.insert(name);
  }
  EXPECT_EQ(names.size(), 5000u) << "names drawn in quick succession never repeat";
}

TEST(RegistryRightsProbe, PassesOnAWritableProfileAndLeavesNothingBehind) {
  testing::TempDir dir;
  testing::ScopedEnv profile("KELVADROME_PROFILE", dir.path().c_str());
  uint32_t platform_error = 99;
  EXPECT_EQ(RegistryRightsProbe(&platform_error), 0);
  EXPECT_EQ(platform_error, 0u);
  Registry registry(
      ProfileDatabase::Open(dir.path().string(), ProfileDatabase::Access::kReadWrite));
  EXPECT_TRUE(registry.KeyExists("Software\\ORLA"));
  EXPECT_TRUE(registry.Values("Software\\ORLA")->empty()) << "the probe value is deleted";
}

TEST(RegistryRightsProbe, AnUnwritableProfileIsDeniedRights) {
  testing::TempDir dir;
  const auto blocked = dir.WriteFile("blocked", "a file where the profile folder should be");
  testing::ScopedEnv profile("KELVADROME_PROFILE", blocked.c_str());
  uint32_t platform_error = 0;
  EXPECT_EQ(RegistryRightsProbe(&platform_error), 5906);
  EXPECT_EQ(platform_error, 5u);
}

TEST(SetProviderName, ChecksTheNameBeforeTheProtectedModeRefusal) {
  for (const bool protected_mode : {false, true}) {
    SCOPED_TRACE(protected_mode);
    ComponentEnvironment environment;
    environment.protected_mode_probe = [protected_mode] { return protected_mode; };
    CertComponent component(std::move(environment));
    EXPECT_EQ(component.SetProviderName(u""), 5005);
    EXPECT_EQ(component.SetProviderName(nullptr), 5005);
    EXPECT_EQ(component.SetProviderName(u"Microsoft Strong Cryptographic Provider"),
              protected_mode ? 1500 : 0);
    EXPECT_EQ(component.GetErrorCode(), protected_mode ? 1500 : 0);
    EXPECT_EQ(component.key_request_engine().provider_name(),
              protected_mode ? std::string(kEnhancedProvider)
                             : "Microsoft Strong Cryptographic Provider");
    EXPECT_EQ(component.SetProviderName(u"Unknown"), protected_mode ? 1500 : 5046);
    EXPECT_EQ(component.GetErrorMsg(),
              protected_mode
                  ? u"IE 受保護模式已啟動, 請加入信任網站, 並使用預設保護模式(關閉)(1500)"
                  : u"CSP 名稱錯誤 : 未指定(5046)");
  }
}

}  // namespace
}  // namespace kelvadrome
