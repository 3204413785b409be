#include "ops/requests.h"

#include <cstdio>

#include "codec/byte_buffer.h"
#include "ops/certification_request.h"
#include "platform/error_codes.h"
#include "platform/key_container.h"
#include "platform/last_error.h"
#include "platform/profile.h"
#include "platform/providers.h"
#include "platform/random_name.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace kelvadrome {

namespace {

// Failures to export the public key blob or create the record key carry this code, which the
// catalogue has no text for.
constexpr int32_t kRecordFailed = 5;
constexpr std::string_view kProbeKey = "Software\\ORLA";

RegistryValue TextValue(std::string_view text) {
  return RegistryValue{registry_type::kString, std::vector<uint8_t>(text.begin(), text.end())};
}

}  // namespace

bool WritePendingRequestRecord(Registry& registry, std::string_view container_name,
                               const PendingRequestRecord& record) {
  std::string path(kPendingRequestsKey);
  path += '\\';
  path += container_name;
  if (!registry.CreateKey(path)) return false;
  return registry.SetValues(
      path, {{"ProviderName", TextValue(record.provider_name)},
             {"ProviderType", RegistryValue::Dword(record.provider_type)},
             {"KeySpec", RegistryValue::Dword(record.key_spec)},
             {"PublicKey", RegistryValue{registry_type::kBinary, record.public_key}},
             {"DateTime", TextValue(record.date_time)},
             {"CommonName", TextValue(record.common_name)}});
}

std::string FormatRequestTime(std::time_t when) {
  std::tm local{};
  if (localtime_r(&when, &local) == nullptr) return std::string();
  char text[64];
  std::snprintf(text, sizeof text, "%4d/%02d/%02d %02d:%02d:%02d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

int32_t NormaliseKeyFlagMode(int32_t gen_key_flags) {
  return gen_key_flags == 0 || gen_key_flags == 2 || gen_key_flags == 3 ? gen_key_flags : 1;
}

uint32_t KeyGenerationFlags(int32_t key_bits, int32_t mode, std::string_view provider_name) {
  uint32_t flags = static_cast<uint32_t>(key_bits) << 16;
  if (provider_name.starts_with("Microsoft")) {
    if ((mode & 1) != 0) flags |= key_flag::kExportable;
    if ((mode & 2) != 0) flags |= key_flag::kUserProtected;
  }
  return flags;
}

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
  error_code_ = Code(ErrorCode::kProviderNotChosen);
  platform_error_ = 0;
  if (name.empty()) {
    error_code_ = Code(ErrorCode::kBadArgument);
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

bool KeyRequestEngine::Fail(int32_t code, uint32_t platform_error) {
  error_code_ = code;
  platform_error_ = platform_error;
  return false;
}

bool KeyRequestEngine::CheckRequestArguments(std::u16string_view common_name) {
  uint32_t probe_error = 0;
  if (RegistryRightsProbe(&probe_error) != 0)
    return Fail(Code(ErrorCode::kRightsDenied), probe_error);
  if (common_name.empty()) return Fail(Code(ErrorCode::kBadArgument), 0);
  if (provider_name_.empty()) return Fail(Code(ErrorCode::kProviderNotChosen), 0);
  return true;
}

std::string KeyRequestEngine::MakeKeyAndRequest(std::u16string_view common_name,
                                                const std::string& date_time) {
  const std::string container_name = RequestContainerName();
  // The key is made in memory and stored together with its pending record in one transaction, so
  // that a request that fails or is killed half-way leaves neither a key without a record nor a
  // record without a key, and other processes never see one without the other.
  std::shared_ptr<ProfileDatabase> profile = ProfileDatabase::OpenUser();
  const ProviderInfo* provider =
      profile ? ResolveProvider(provider_name_, provider_type_) : nullptr;
  std::unique_ptr<KeyContainer> container =
      provider ? KeyContainer::CreateVolatile(container_name, *provider) : nullptr;
  if (container == nullptr) {
    const uint32_t error = LastPlatformError();
    const bool unsupported =
        error == provider_error::kKeysetNotDefined || error == provider_error::kBadProviderType;
    Fail(
        unsupported ? Code(ErrorCode::kProviderNotSupported) : Code(ErrorCode::kNoProviderResource),
        error);
    return std::string();
  }
  const uint32_t flags = KeyGenerationFlags(key_length_, key_flag_mode_, provider_name_);
  if (!container->GenerateKey(key_spec_, flags >> 16, flags & 0xFFFF)) {
    Fail(Code(ErrorCode::kKeyGenerationFailed), LastPlatformError());
    return std::string();
  }
  const auto request = BuildCertificationRequest(*container, key_spec_, common_name);
  if (!request) {
    Fail(Code(ErrorCode::kKeyGenerationFailed), LastPlatformError());
    return std::string();
  }
  ByteBuffer base64;
  if (request->size() > static_cast<size_t>(ByteBuffer::kMaxLength) ||
      !base64.Base64Encode(request->data(), static_cast<int32_t>(request->size()))) {
    Fail(Code(ErrorCode::kAllocationFailed), 0);
    return std::string();
  }
  const auto public_key = container->ExportPublicKeyBlob(key_spec_);
  if (!public_key) {
    Fail(kRecordFailed, LastPlatformError());
    return std::string();
  }
  const PendingRequestRecord record{provider_name_, provider_type_, key_spec_,
                                    *public_key,    date_time,      ConvertToNarrow(common_name)};
  KeyContainerStore containers(profile);
  Registry registry(profile);
  bool key_stored = false;
  const bool stored = profile->Transaction([&] {
    key_stored = containers.Persist(*container);
    return key_stored && WritePendingRequestRecord(registry, container_name, record);
  });
  if (!stored) {
    Fail(key_stored ? kRecordFailed : Code(ErrorCode::kNoProviderResource), LastPlatformError());
    return std::string();
  }
  return base64.ToString();
}

std::string KeyRequestEngine::GenerateRequest(std::u16string_view common_name) {
  const std::string date_time = FormatRequestTime(std::time(nullptr));
  if (!CheckRequestArguments(common_name)) return std::string();
  return MakeKeyAndRequest(common_name, date_time);
}

int32_t KeyRequestEngine::GenerateRequestPair(std::u16string_view common_name) {
  request_for_signing_.clear();
  request_for_encryption_.clear();
  const std::string date_time = FormatRequestTime(std::time(nullptr));
  if (!CheckRequestArguments(common_name)) return error_code_;
  // The signature key first, then the exchange key; the first failure ends both.
  key_spec_ = key_spec::kSignature;
  std::string for_signing = MakeKeyAndRequest(common_name, date_time);
  if (error_code_ != 0) return error_code_;
  key_spec_ = key_spec::kExchange;
  std::string for_encryption = MakeKeyAndRequest(common_name, date_time);
  if (error_code_ != 0) return error_code_;
  request_for_signing_ = std::move(for_signing);
  request_for_encryption_ = std::move(for_encryption);
  return 0;
}

int32_t RegistryRightsProbe(uint32_t* platform_error) {
  *platform_error = 0;
  auto registry = Registry::Open(Registry::Root::kCurrentUser);
  const std::string name = RequestContainerName();
  const RegistryValue probe = RegistryValue::Dword(0);
  if (!registry || !registry->CreateKey(kProbeKey) || !registry->SetValue(kProbeKey, name, probe) ||
      !registry->DeleteValue(kProbeKey, name)) {
    *platform_error = LastPlatformError();
    return Code(ErrorCode::kRightsDenied);
  }
  return 0;
}

std::string RequestContainerName() {
  return RandomGuidText();
}

}  // namespace kelvadrome
