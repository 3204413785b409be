#include "host/origin_picks.h"

#include "platform/registry.h"

namespace kelvadrome {

namespace {

std::string PickValueName(std::string_view use, std::string_view path) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string name(use);
  name.push_back(':');
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    name.push_back(kDigits[byte >> 4]);
    name.push_back(kDigits[byte & 0x0F]);
  }
  return name;
}

}  // namespace

std::string OriginPicksKey(std::string_view origin) {
  return std::string(kOriginPicksKey) + "\\" + std::string(origin);
}

bool IsPickedPath(std::string_view origin, std::string_view use, std::string_view path) {
  if (origin.empty() || path.empty()) return false;
  auto registry = Registry::Open(Registry::Root::kCurrentUser);
  if (!registry) return false;
  const auto value = registry->QueryValue(OriginPicksKey(origin), PickValueName(use, path));
  // The value's text is compared too: only a value written by RememberPickedPath counts.
  return value && value->type == registry_type::kString &&
         std::string_view(reinterpret_cast<const char*>(value->data.data()), value->data.size()) ==
             path;
}

bool RememberPickedPath(std::string_view origin, std::string_view use, std::string_view path) {
  if (origin.empty() || path.empty()) return false;
  auto registry = Registry::Open(Registry::Root::kCurrentUser);
  RegistryValue value{registry_type::kString, std::vector<uint8_t>(path.begin(), path.end())};
  return registry != nullptr &&
         registry->SetValue(OriginPicksKey(origin), PickValueName(use, path), value);
}

bool ForgetOriginPicks(std::string_view origin) {
  if (origin.empty()) return false;
  auto registry = Registry::Open(Registry::Root::kCurrentUser);
  const std::string key = OriginPicksKey(origin);
  return registry != nullptr && registry->KeyExists(key) && registry->DeleteKey(key);
}

}  // namespace kelvadrome
