#include "ops/requests.h"

#include <cstdio>
#include <random>

#include "platform/last_error.h"
#include "platform/providers.h"
#include "platform/registry.h"

namespace kelvadrome {

namespace {

constexpr int32_t kBadArgument = 5005;
constexpr int32_t kProviderNotChosen = 5046;
constexpr int32_t kRightsDenied = 5906;
constexpr std::string_view kProbeKey = "Software\\ORLA";

}  // namespace

KeyRequestEngine::KeyRequestEngine() {
  for (size_t index = 0;; ++index) {
    const auto provider = EnumProvider(index);
    if (!provider) break;
    if (provider->type != provider_type::kRsaFull && provider->type != provider_type::kRsaAes) {
      continue;
    }
    const std::string name(provider->name);
    bool listed = false;
    for (const auto& known : provider_list_) listed = listed || known == name;
    if (!listed) provider_list_.push_back(name);
  }
}

int32_t KeyRequestEngine::SelectProvider(std::string_view name) {
  error_code_ = kProviderNotChosen;
  platform_error_ = 0;
  if (name.empty()) {
    error_code_ = kBadArgument;
    return error_code_;
  }
  if (name == kAesProvider || name == kAesPrototypeProvider) {
    name = kEnhancedProvider;
    provider_type_ = provider_type::kRsaFull;
  }
  for (const auto& known : provider_list_) {
    if (known == name) {
      provider_name_ = known;
      error_code_ = 0;
      break;
    }
  }
  return error_code_;
}

int32_t RegistryRightsProbe(uint32_t* platform_error) {
  *platform_error = 0;
  auto registry = Registry::Open(Registry::Root::kCurrentUser);
  const std::string name = RequestContainerName();
  const RegistryValue probe{registry_type::kDword, {0, 0, 0, 0}};
  if (!registry || !registry->CreateKey(kProbeKey) || !registry->SetValue(kProbeKey, name, probe) ||
      !registry->DeleteValue(kProbeKey, name)) {
    *platform_error = LastPlatformError();
    return kRightsDenied;
  }
  return 0;
}

std::string RequestContainerName() {
  std::random_device source;
  unsigned char bytes[16];
  for (size_t i = 0; i < sizeof bytes; i += 4) {
    const uint32_t word = source();
    for (size_t k = 0; k < 4; ++k) bytes[i + k] = static_cast<unsigned char>(word >> (8 * k));
  }
  std::string name;
  char pair[3];
  for (size_t i = 0; i < sizeof bytes; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) name += '-';
    std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
    name += pair;
  }
  return name;
}

}  // namespace kelvadrome
