// Key protection: the per-user wrapping key that seals the private keys a profile stores, and the
// seal and unseal primitives (AES-256-GCM in the component's own library context).
//
// A wrapping key is 32 random bytes named by a random 16-byte id. It lives in one of two stores:
//   - the desktop keyring, through the Secret Service (libsecret, loaded at run time with dlopen so
//     the component has no link-time dependency on it): schema "org.kelvadrome.WrappingKey",
//     attribute "id" (lower-case hex of the id), the key stored as lower-case hex text;
//   - a key file, $XDG_CONFIG_HOME/kelvadrome/wrapping-keys/<hex id> (XDG_CONFIG_HOME defaults to
//     ~/.config), the 32 raw bytes, folder 0700 and file 0600, owned by the user.
//
// A sealed record is: version byte (1), nonce (12 bytes, fresh from the generator for every seal),
// ciphertext (as long as the plaintext), tag (16 bytes). The version byte and the caller's
// associated data (where the record belongs: container name and key spec) are authenticated, so a
// record moved to another place, or changed anywhere, does not unseal.
//
// Failures return nullopt and record the thread's platform error (last_error.h):
//   NTE_BAD_KEYSET (0x80090016)  the store has no wrapping key with that id
//   NTE_BAD_DATA (0x80090005)    a record that is malformed or fails authentication
//   NTE_BAD_KEY (0x80090003)     a wrapping key that is not 32 bytes
//   NTE_FAIL (0x80090020)        the crypto library or the random generator failed
//   ERROR_ACCESS_DENIED (5)      a key folder or file that is not the user's own, is a symbolic
//                                link or not a regular file, or that others may read or write
//   ERROR_FILE_CORRUPT (1392)    a key file whose size is not 32 bytes
//   ERROR_MOD_NOT_FOUND (126)    the keyring was asked for but libsecret cannot be loaded
//   ERROR_SERVICE_NOT_ACTIVE (1062)  the Secret Service does not answer, or refused the request
//   ERROR_TIMEOUT (1460)         the Secret Service took longer than its bound (a keyring waiting
//                                for the user to unlock it): the key may well exist, ask again
//   ERROR_INVALID_PARAMETER (87) an id that is not 16 bytes
// Every function is thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/secrets.h"

namespace kelvadrome {

namespace key_protection_error {
inline constexpr uint32_t kKeyNotFound = 0x80090016;    // NTE_BAD_KEYSET
inline constexpr uint32_t kBadRecord = 0x80090005;      // NTE_BAD_DATA
inline constexpr uint32_t kBadKey = 0x80090003;         // NTE_BAD_KEY
inline constexpr uint32_t kCryptoFailed = 0x80090020;   // NTE_FAIL
inline constexpr uint32_t kAccessDenied = 5;            // ERROR_ACCESS_DENIED
inline constexpr uint32_t kKeyFileCorrupt = 1392;       // ERROR_FILE_CORRUPT
inline constexpr uint32_t kKeyringMissing = 126;        // ERROR_MOD_NOT_FOUND
inline constexpr uint32_t kKeyringNotAnswering = 1062;  // ERROR_SERVICE_NOT_ACTIVE
inline constexpr uint32_t kKeyringTimedOut = 1460;      // ERROR_TIMEOUT
inline constexpr uint32_t kInvalidParameter = 87;       // ERROR_INVALID_PARAMETER
}  // namespace key_protection_error

enum class WrappingKeyStore { kKeyring, kKeyFile };

inline constexpr size_t kWrappingKeySize = 32;
inline constexpr size_t kWrappingKeyIdSize = 16;
inline constexpr uint8_t kSealedRecordVersion = 1;
inline constexpr size_t kSealNonceSize = 12;
inline constexpr size_t kSealTagSize = 16;
// Bytes a sealed record adds to its plaintext.
inline constexpr size_t kSealOverhead = 1 + kSealNonceSize + kSealTagSize;

struct WrappingKey {
  WrappingKeyStore store = WrappingKeyStore::kKeyFile;
  std::array<uint8_t, kWrappingKeyIdSize> id{};  // random, names the key in its store
  SecretBytes key;                               // kWrappingKeySize bytes
};

// PreferredWrappingKeyStore tells where a new wrapping key goes: the keyring when the Secret
// Service answers (DBUS_SESSION_BUS_ADDRESS set and a reply within about 2 seconds), else the key
// file. KELVADROME_KEY_STORE=keyring or =file forces one store without asking the other.
WrappingKeyStore PreferredWrappingKeyStore();

// CreateWrappingKey makes a new key with a new id and stores it in the preferred store. A forced
// keyring that does not answer fails; it never falls back to a file silently.
std::optional<WrappingKey> CreateWrappingKey();

// FindWrappingKey loads the key named |id| from |store|.
std::optional<WrappingKey> FindWrappingKey(WrappingKeyStore store, std::span<const uint8_t> id);

// DescribeWrappingKeyStore says in one line of English where keys of |store| live and, for the
// keyring, whether it answers now (asks it, so it may take up to the bound).
std::string DescribeWrappingKeyStore(WrappingKeyStore store);

// WrappingKeyFolder returns the folder of key files (it may not exist yet).
std::string WrappingKeyFolder();

// SealPrivateKey encrypts |plaintext| under |key|, bound to |associated|.
std::optional<std::vector<uint8_t>> SealPrivateKey(const WrappingKey& key,
                                                   std::span<const uint8_t> associated,
                                                   std::span<const uint8_t> plaintext);

// UnsealPrivateKey returns the plaintext of |sealed| when it authenticates under |key| and
// |associated|; nothing of it otherwise (NTE_BAD_DATA).
std::optional<SecretBytes> UnsealPrivateKey(const WrappingKey& key,
                                            std::span<const uint8_t> associated,
                                            std::span<const uint8_t> sealed);

}  // namespace kelvadrome
