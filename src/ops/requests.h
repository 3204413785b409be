// The key-request engine: the providers usable for enrolment, the one chosen for the next key,
// and (as they are built) the making of keys and PKCS #10 requests. Every component owns one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelvadrome {

// The provider names of the shared constants.
inline constexpr std::string_view kEnhancedProvider =
    "Microsoft Enhanced Cryptographic Provider v1.0";
inline constexpr std::string_view kAesProvider =
    "Microsoft Enhanced RSA and AES Cryptographic Provider";
inline constexpr std::string_view kAesPrototypeProvider =
    "Microsoft Enhanced RSA and AES Cryptographic Provider (Prototype)";

class KeyRequestEngine {
 public:
  // Builds the provider list: the installed providers of type 1 or 24, in their order, each name
  // once. It never fails; an empty list is a valid outcome.
  KeyRequestEngine();

  // SelectProvider chooses the provider of the next key by its exact name (narrow text). The AES
  // provider names stand for the enhanced provider. Returns 0, 5005 for an empty name, or 5046
  // for a name not in the list (the earlier choice stays).
  int32_t SelectProvider(std::string_view name);

  const std::vector<std::string>& provider_list() const { return provider_list_; }
  const std::string& provider_name() const { return provider_name_; }
  uint32_t provider_type() const { return provider_type_; }
  int32_t error_code() const { return error_code_; }
  uint32_t platform_error() const { return platform_error_; }

 private:
  int32_t error_code_ = 0;
  uint32_t platform_error_ = 0;
  std::string provider_name_{kEnhancedProvider};
  uint32_t provider_type_ = 1;
  std::vector<std::string> provider_list_;
};

// RegistryRightsProbe checks that the user's registry can be written where enrolment keeps its
// records: it creates (or opens) "Software\ORLA", writes a 4-byte value under a fresh name and
// deletes it again. Returns 0, or 5906 with |*platform_error| set to the platform's error.
int32_t RegistryRightsProbe(uint32_t* platform_error);

// RequestContainerName returns a fresh name for a key container and its pending-request record:
// 16 random bytes as upper-case hex in the GUID layout (8-4-4-4-12 digits). The bytes come from
// the system's random source (std::random_device), so two names drawn at once differ; throws
// when that source fails.
std::string RequestContainerName();

}  // namespace kelvadrome
