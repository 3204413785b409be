#include "host/origin_consent.h"

#include "platform/registry.h"

namespace kelvadrome {

bool ValidOrigin(std::string_view origin) {
  if (origin.empty() || origin.size() > 256) return false;
  for (const char c : origin) {
    if (c <= 0x20 || c >= 0x7F || c == '\\') return false;
  }
  return true;
}

std::string OriginBranch(std::string_view origin) {
  return std::string(kOriginBranchKey) + "\\" + std::string(origin);
}

std::optional<OriginDecision> StoredOriginDecision(std::string_view origin) {
  auto registry = Registry::Open(Registry::Root::kCurrentUser);
  if (!registry) return std::nullopt;
  const auto value = registry->QueryValue(kOriginDecisionKey, origin);
  if (!value || value->type != registry_type::kDword || value->data.size() != 4) {
    return std::nullopt;
  }
  return value->data[0] == 1 ? OriginDecision::kAllow : OriginDecision::kDeny;
}

bool StoreOriginDecision(std::string_view origin, OriginDecision decision) {
  auto registry = Registry::Open(Registry::Root::kCurrentUser);
  return registry != nullptr &&
         registry->SetValue(kOriginDecisionKey, origin,
                            RegistryValue::Dword(decision == OriginDecision::kAllow ? 1 : 0));
}

std::vector<std::pair<std::string, OriginDecision>> StoredOriginDecisions() {
  std::vector<std::pair<std::string, OriginDecision>> decisions;
  auto registry = Registry::Open(Registry::Root::kCurrentUser);
  if (!registry) return decisions;
  const auto values = registry->Values(kOriginDecisionKey);
  if (!values) return decisions;
  for (const auto& [name, value] : *values) {
    if (value.type != registry_type::kDword || value.data.size() != 4) continue;
    decisions.emplace_back(name,
                           value.data[0] == 1 ? OriginDecision::kAllow : OriginDecision::kDeny);
  }
  return decisions;
}

bool RevokeOriginDecision(std::string_view origin) {
  auto registry = Registry::Open(Registry::Root::kCurrentUser);
  return registry != nullptr && registry->DeleteValue(kOriginDecisionKey, origin);
}

}  // namespace kelvadrome
