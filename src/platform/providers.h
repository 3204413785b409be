// The cryptographic providers the component offers. The software providers keep RSA keys in the
// user's profile, the card provider keeps them on tokens (see key_container.h); all of them share
// one key-container namespace per user, and callers choose by name and type and record both beside
// their keys.
//
// The built-in list, in enumeration order:
//   0 "Microsoft Base Cryptographic Provider v1.0"            type 1  (RSA full)
//   1 "Microsoft Strong Cryptographic Provider"               type 1
//   2 "Microsoft Enhanced Cryptographic Provider v1.0"        type 1
//   3 "Microsoft Enhanced RSA and AES Cryptographic Provider" type 24 (RSA with AES)
//   4 "Microsoft RSA SChannel Cryptographic Provider"         type 12 (RSA SChannel)
//   5 "Kelvadrome Smart Card Cryptographic Provider"          type 1
// Entry 4 has a type that callers looking for RSA full or RSA-with-AES providers must skip, so a
// type filter always has something to filter. Entry 5 stands for a card or token: a provider whose
// name lacks "Microsoft" is treated that way by the component (for example key-generation flags
// are not applied to it), and a realistic card provider is of type 1, so it is listed alongside the
// software ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace kelvadrome {

namespace provider_type {
inline constexpr uint32_t kRsaFull = 1;       // PROV_RSA_FULL
inline constexpr uint32_t kRsaSchannel = 12;  // PROV_RSA_SCHANNEL
inline constexpr uint32_t kRsaAes = 24;       // PROV_RSA_AES
}  // namespace provider_type

// Error values recorded by the provider functions (Windows numeric values).
namespace provider_error {
inline constexpr uint32_t kNoMoreItems = 259;                    // ERROR_NO_MORE_ITEMS
inline constexpr uint32_t kBadProviderType = 0x80090014;         // NTE_BAD_PROV_TYPE: type 0
inline constexpr uint32_t kProviderTypeNotDefined = 0x80090017;  // NTE_PROV_TYPE_NOT_DEF
inline constexpr uint32_t kKeysetNotDefined = 0x80090019;        // NTE_KEYSET_NOT_DEF: unknown name
inline constexpr uint32_t kProviderTypeNoMatch = 0x8009001B;     // NTE_PROV_TYPE_NO_MATCH
}  // namespace provider_error

struct ProviderInfo {
  std::string_view name;
  uint32_t type = 0;
};

// BuiltInProviders returns the whole list above, in enumeration order. The storage is static.
std::span<const ProviderInfo> BuiltInProviders();

// EnumProvider returns the provider at |index|; nullopt with ERROR_NO_MORE_ITEMS (259) recorded
// past the end of the list.
std::optional<ProviderInfo> EnumProvider(size_t index);

// FindProvider returns the provider named exactly |name| (case-sensitive, as provider names are
// matched byte for byte); null when there is none. Records nothing.
const ProviderInfo* FindProvider(std::string_view name);

// ResolveProvider answers which provider a caller asking for |name| of |type| gets, as a context
// is acquired. An empty |name| picks the type's default provider (the first of that type in the
// list). Returns null with the error recorded: type 0 gives NTE_BAD_PROV_TYPE, an empty name with
// a type no provider has gives NTE_PROV_TYPE_NOT_DEF, an unknown name NTE_KEYSET_NOT_DEF, and a
// known name with another type NTE_PROV_TYPE_NO_MATCH. The result points into static storage.
const ProviderInfo* ResolveProvider(std::string_view name, uint32_t type);

// IsSoftwareProvider returns true when |name| contains "Microsoft": such a provider keeps its keys
// in software; any other name stands for a card or token.
bool IsSoftwareProvider(std::string_view name);

// CardProvider returns the card provider of the list (entry 5).
const ProviderInfo& CardProvider();

}  // namespace kelvadrome
