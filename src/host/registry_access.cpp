#include "host/registry_access.h"

#include <cstring>

#include "platform/error_codes.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace kelvadrome {

namespace {

constexpr size_t kTextValueLimit = 255;

Registry::Root ToRoot(RegistryRootChoice root) {
  return root == RegistryRootChoice::kCurrentUser ? Registry::Root::kCurrentUser
                                                  : Registry::Root::kLocalMachine;
}

int32_t Store(const RegistryValuePath& path, const RegistryValue& value) {
  auto registry = Registry::Open(Registry::Root::kCurrentUser);
  if (!registry || !registry->CreateKey(path.key)) return Code(ErrorCode::kRightsDenied);
  return registry->SetValue(path.key, path.value, value) ? 0 : Code(ErrorCode::kRightsDenied);
}

}  // namespace

bool SplitRegistryValuePath(std::string_view path, RegistryValuePath* split) {
  // By characters: a '\\' byte can be the second byte of a double-byte character.
  const size_t last = FindLastCharacter(path, '\\');
  if (path.empty() || last == std::string_view::npos) return false;
  split->key = std::string(path.substr(0, last));
  split->value = std::string(path.substr(last + 1));
  return true;
}

RegistryOutcome ReadRegistryText(RegistryRootChoice root, const RegistryValuePath& path) {
  auto registry = Registry::Open(ToRoot(root));
  if (!registry || !registry->KeyExists(path.key)) return {Code(ErrorCode::kRightsDenied), {}};
  const auto value = registry->QueryValue(path.key, path.value);
  if (!value) return {};
  if (value->type == registry_type::kString) {
    if (value->data.size() > kTextValueLimit) return {};
    const auto* bytes = reinterpret_cast<const char*>(value->data.data());
    return {0, std::string(bytes, strnlen(bytes, value->data.size()))};
  }
  if (value->type == registry_type::kDword && value->AsDword()) {
    return {0, std::to_string(static_cast<int32_t>(*value->AsDword()))};
  }
  return {};
}

int32_t WriteRegistryNumber(const RegistryValuePath& path, int32_t number) {
  return Store(path, RegistryValue::Dword(static_cast<uint32_t>(number)));
}

int32_t WriteRegistryText(const RegistryValuePath& path, std::string_view text) {
  RegistryValue value{registry_type::kString, std::vector<uint8_t>(text.begin(), text.end())};
  value.data.push_back(0);  // stored with its terminating zero
  return Store(path, value);
}

}  // namespace kelvadrome
