#include "platform/providers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/last_error.h"

namespace kelvadrome {
namespace {

TEST(ProvidersTest, EnumerationListsEveryProviderThenEnds) {
  std::vector<std::pair<std::string, uint32_t>> listed;
  size_t index = 0;
  while (auto provider = EnumProvider(index++)) {
    listed.emplace_back(std::string(provider->name), provider->type);
  }
  EXPECT_EQ(LastPlatformError(), provider_error::kNoMoreItems);
  const std::vector<std::pair<std::string, uint32_t>> expected = {
      {"Microsoft Base Cryptographic Provider v1.0", 1},
      {"Microsoft Strong Cryptographic Provider", 1},
      {"Microsoft Enhanced Cryptographic Provider v1.0", 1},
      {"Microsoft Enhanced RSA and AES Cryptographic Provider", 24},
      {"Microsoft RSA SChannel Cryptographic Provider", 12},
      {"Kelvadrome Smart Card Cryptographic Provider", 1},
  };
  EXPECT_EQ(listed, expected);
  // A caller keeping only RSA-full and RSA-with-AES providers drops exactly one.
  size_t kept = 0;
  for (const ProviderInfo& provider : BuiltInProviders()) {
    if (provider.type == provider_type::kRsaFull || provider.type == provider_type::kRsaAes) ++kept;
  }
  EXPECT_EQ(kept, listed.size() - 1);
}

TEST(ProvidersTest, ResolveAnswersWhichProviderACallerGets) {
  struct Case {
    const char* label;
    std::string name;
    uint32_t type;
    const char* expected;  // null: refused
    uint32_t error;
  };
  const Case cases[] = {
      {"exact name and type", "Microsoft Strong Cryptographic Provider", 1,
       "Microsoft Strong Cryptographic Provider", 0},
      {"type 24 provider", "Microsoft Enhanced RSA and AES Cryptographic Provider", 24,
       "Microsoft Enhanced RSA and AES Cryptographic Provider", 0},
      {"card provider", "Kelvadrome Smart Card Cryptographic Provider", 1,
       "Kelvadrome Smart Card Cryptographic Provider", 0},
      {"default of type 1", "", 1, "Microsoft Base Cryptographic Provider v1.0", 0},
      {"default of type 24", "", 24, "Microsoft Enhanced RSA and AES Cryptographic Provider", 0},
      {"no provider of type 13", "", 13, nullptr, provider_error::kProviderTypeNotDefined},
      {"unknown name", "Acme Provider", 1, nullptr, provider_error::kKeysetNotDefined},
      {"names are case-sensitive", "microsoft strong cryptographic provider", 1, nullptr,
       provider_error::kKeysetNotDefined},
      {"trailing space", "Microsoft Strong Cryptographic Provider ", 1, nullptr,
       provider_error::kKeysetNotDefined},
      {"known name, other type", "Microsoft Strong Cryptographic Provider", 24, nullptr,
       provider_error::kProviderTypeNoMatch},
      {"type 0", "Microsoft Strong Cryptographic Provider", 0, nullptr,
       provider_error::kBadProviderType},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SetLastPlatformError(0);
    const ProviderInfo* provider = ResolveProvider(c.name, c.type);
    if (c.expected == nullptr) {
      EXPECT_EQ(provider, nullptr);
      EXPECT_EQ(LastPlatformError(), c.error);
    } else {
      ASSERT_NE(provider, nullptr);
      EXPECT_EQ(provider->name, c.expected);
    }
  }
}

TEST(ProvidersTest, OnlyMicrosoftNamesAreSoftwareProviders) {
  EXPECT_TRUE(IsSoftwareProvider("Microsoft Enhanced Cryptographic Provider v1.0"));
  EXPECT_FALSE(IsSoftwareProvider("Kelvadrome Smart Card Cryptographic Provider"));
  EXPECT_FALSE(IsSoftwareProvider("microsoft lower case"));
  EXPECT_EQ(FindProvider("Kelvadrome Smart Card Cryptographic Provider")->type, 1u);
  EXPECT_EQ(FindProvider("Nothing"), nullptr);
}

}  // namespace
}  // namespace kelvadrome
