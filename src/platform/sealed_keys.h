// Private keys at rest in the user's profile. Every private key a key container keeps in the
// profile is sealed (key_protection.h: AES-256-GCM, a fresh nonce per record) under the profile's
// wrapping key, with the container's folded name and the key spec as associated data, so a record
// copied to another container or spec does not open. The profile records which wrapping key it
// uses (its store and id); the key itself lives in the desktop keyring or the user's key file,
// never in the profile. The first key a profile seals makes its wrapping key.
//
// A wrapping key found once is kept for the process (as the keyring would be asked again for
// every use otherwise). Every failure returns nullopt or false with the platform error recorded:
// the wrapping key missing from its store gives key_protection.h's missing-key error, a record
// that does not open NTE_BAD_DATA; nothing ever falls back to plaintext or to a new key.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/key_protection.h"
#include "platform/profile.h"
#include "platform/secrets.h"

namespace kelvadrome {

// SealProfileKey seals |plaintext| (PKCS #8 DER) as the key of |spec| in the container whose
// folded name is |folded|. Run it inside the transaction that writes the record: making the
// profile's first wrapping key writes the profile too.
std::optional<std::vector<uint8_t>> SealProfileKey(ProfileDatabase& profile,
                                                   std::string_view folded, uint32_t spec,
                                                   std::span<const uint8_t> plaintext);

// UnsealProfileKey opens a record SealProfileKey made.
std::optional<SecretBytes> UnsealProfileKey(ProfileDatabase& profile, std::string_view folded,
                                            uint32_t spec, std::span<const uint8_t> sealed);

// SealStoredKeys seals every key record of the profile that is still in clear (a profile written
// before keys were sealed), inside the caller's transaction.
bool SealStoredKeys(ProfileDatabase& profile);

// RewrapProfileKeys makes a new wrapping key (in the preferred store) and seals every key record
// again under it, in one transaction; the old key stays in its store. A profile with no keys
// gets its new key all the same.
bool RewrapProfileKeys(ProfileDatabase& profile);

// What protects a profile's keys: nullopt with no error recorded when it has no wrapping key yet
// (no key was ever stored), nullopt with the error recorded when the profile cannot be read.
struct ProfileKeyProtection {
  WrappingKeyStore store = WrappingKeyStore::kKeyFile;
  std::vector<uint8_t> id;
  std::string where;      // DescribeWrappingKeyStore
  bool present = false;   // the key is found in its store
  int64_t sealed_keys = 0;
};
std::optional<ProfileKeyProtection> DescribeProfileKeyProtection(ProfileDatabase& profile);

}  // namespace kelvadrome
