#include "platform/providers.h"

#include <array>

#include "platform/last_error.h"

namespace kelvadrome {

namespace {

constexpr std::array<ProviderInfo, 6> kProviders = {{
    {"Microsoft Base Cryptographic Provider v1.0", provider_type::kRsaFull},
    {"Microsoft Strong Cryptographic Provider", provider_type::kRsaFull},
    {"Microsoft Enhanced Cryptographic Provider v1.0", provider_type::kRsaFull},
    {"Microsoft Enhanced RSA and AES Cryptographic Provider", provider_type::kRsaAes},
    {"Microsoft RSA SChannel Cryptographic Provider", provider_type::kRsaSchannel},
    {"Kelvadrome Smart Card Cryptographic Provider", provider_type::kRsaFull},
}};

}  // namespace

std::span<const ProviderInfo> BuiltInProviders() {
  return kProviders;
}

std::optional<ProviderInfo> EnumProvider(size_t index) {
  if (index >= kProviders.size()) {
    SetLastPlatformError(provider_error::kNoMoreItems);
    return std::nullopt;
  }
  return kProviders[index];
}

const ProviderInfo* FindProvider(std::string_view name) {
  for (const ProviderInfo& provider : kProviders) {
    if (provider.name == name) return &provider;
  }
  return nullptr;
}

const ProviderInfo* ResolveProvider(std::string_view name, uint32_t type) {
  if (type == 0) {
    SetLastPlatformError(provider_error::kBadProviderType);
    return nullptr;
  }
  if (name.empty()) {
    for (const ProviderInfo& provider : kProviders) {
      if (provider.type == type) return &provider;
    }
    SetLastPlatformError(provider_error::kProviderTypeNotDefined);
    return nullptr;
  }
  const ProviderInfo* provider = FindProvider(name);
  if (provider == nullptr) {
    SetLastPlatformError(provider_error::kKeysetNotDefined);
    return nullptr;
  }
  if (provider->type != type) {
    SetLastPlatformError(provider_error::kProviderTypeNoMatch);
    return nullptr;
  }
  return provider;
}

bool IsSoftwareProvider(std::string_view name) {
  return name.find("Microsoft") != std::string_view::npos;
}

const ProviderInfo& CardProvider() {
  static_assert(kProviders.size() == 6);
  return kProviders[5];
}

}  // namespace kelvadrome
