// Key containers: named sets of RSA keys, each holding at most one exchange key (key spec 1) and
// one signature key (key spec 2).
//
// A container created through a card provider (a name without "Microsoft") keeps its keys on a
// token (pkcs11_tokens.h): the key pair is generated there, private and not extractable, and the
// profile keeps only which token and key it is and the public half; signing and decryption are
// done by the token, and a certificate set on such a key is stored on the token beside it. While
// the token is absent its keys cannot be described or used (the card errors of pkcs11_tokens.h).
// A card container written by an earlier release keeps its software key and goes on working.
//
// Persistent containers live in the user's profile (KeyContainerStore). Their names are one
// namespace for all providers and compare without regard to letter case; the provider a container
// was opened through is only remembered by the handle. Volatile containers (CreateVolatile) hold
// the keys of a loaded PFX file in memory only; they can be opened by name in this process while
// their owner holds them, are copied into the profile by KeyContainerStore::Persist, and vanish
// when the owner releases them.
//
// Private keys are kept as PKCS #8 DER, sealed in the profile under the user's wrapping key
// (sealed_keys.h), and every copy made while using one is wiped afterwards. A profile whose
// wrapping key cannot be found keeps its keys but cannot use them: loading one fails with the
// missing-key error of key_protection.h.
// Operations that use a user-protected key's private half (signing, decrypting, exporting) first
// ask the user through a KeyUsePrompt; see SetDefaultKeyUsePrompt.
//
// Byte orders follow the platform the component was written for: key blobs, signatures and
// encrypted key-transport blocks are little-endian (least significant byte first).
//
// Every failure returns null, nullopt or false and records the platform error (Windows numeric
// value) with SetLastPlatformError; the values are listed in key_error below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/handles.h"
#include "platform/pkcs11_tokens.h"
#include "platform/profile.h"
#include "platform/providers.h"
#include "platform/secrets.h"

namespace kelvadrome {

struct RsaKeyMaterial;

namespace key_spec {
inline constexpr uint32_t kExchange = 1;   // AT_KEYEXCHANGE
inline constexpr uint32_t kSignature = 2;  // AT_SIGNATURE
}  // namespace key_spec

namespace key_flag {
inline constexpr uint32_t kExportable = 0x1;     // CRYPT_EXPORTABLE
inline constexpr uint32_t kUserProtected = 0x2;  // CRYPT_USER_PROTECTED
}  // namespace key_flag

// Algorithm identifiers of the key blobs and of the hash values that can be signed.
namespace key_algorithm {
inline constexpr uint32_t kRsaSign = 0x2400;      // CALG_RSA_SIGN
inline constexpr uint32_t kRsaExchange = 0xA400;  // CALG_RSA_KEYX
inline constexpr uint32_t kMd5 = 0x8003;          // CALG_MD5
inline constexpr uint32_t kSha1 = 0x8004;         // CALG_SHA1
inline constexpr uint32_t kSha256 = 0x800C;       // CALG_SHA_256
inline constexpr uint32_t kSha512 = 0x800E;       // CALG_SHA_512
}  // namespace key_algorithm

// Platform error values recorded by containers and keys.
namespace key_error {
inline constexpr uint32_t kBadHash = 0x80090002;       // NTE_BAD_HASH: hash value of wrong length
inline constexpr uint32_t kBadKey = 0x80090003;        // NTE_BAD_KEY: a key the library rejects
inline constexpr uint32_t kBadLength = 0x80090004;     // NTE_BAD_LEN: input of the wrong size
inline constexpr uint32_t kBadData = 0x80090005;       // NTE_BAD_DATA: malformed blob or block
inline constexpr uint32_t kBadVersion = 0x80090007;    // NTE_BAD_VER: blob version not 2
inline constexpr uint32_t kBadAlgorithm = 0x80090008;  // NTE_BAD_ALGID: also key spec not 1/2
inline constexpr uint32_t kBadFlags = 0x80090009;      // NTE_BAD_FLAGS: also unsupported key sizes
inline constexpr uint32_t kBadBlobType = 0x8009000A;   // NTE_BAD_TYPE: blob type not 7
inline constexpr uint32_t kBadKeyState = 0x8009000B;   // NTE_BAD_KEY_STATE: key not exportable
inline constexpr uint32_t kNoKey = 0x8009000D;         // NTE_NO_KEY: no key of that spec
inline constexpr uint32_t kNoMemory = 0x8009000E;      // NTE_NO_MEMORY
inline constexpr uint32_t kExists = 0x8009000F;        // NTE_EXISTS: container name taken
inline constexpr uint32_t kNotFound = 0x80090011;      // NTE_NOT_FOUND: no certificate on the key
inline constexpr uint32_t kBadKeyset = 0x80090016;     // NTE_BAD_KEYSET: no such container
inline constexpr uint32_t kFail = 0x80090020;          // NTE_FAIL: the crypto library failed
inline constexpr uint32_t kCancelled = 1223;           // ERROR_CANCELLED: the user refused
}  // namespace key_error

// What a private-key use is for, as shown to the user.
enum class KeyUse { kSign, kDecrypt, kExport };

struct KeyUseRequest {
  std::string container;  // container name, as the caller spelled it when opening
  std::string provider;   // provider name the container was opened through
  uint32_t key_spec = 0;
  KeyUse use = KeyUse::kSign;
};

// A KeyUsePrompt asks the user whether a user-protected key may be used once; true allows it.
using KeyUsePrompt = std::function<bool(const KeyUseRequest&)>;

// SetDefaultKeyUsePrompt installs the prompt every container uses unless it has its own
// (KeyContainer::set_key_use_prompt) and returns the one it replaces. With no prompt installed a
// user-protected key is never used: every private-key use is refused with ERROR_CANCELLED, so a
// process that cannot ask the user cannot use such a key silently. Thread-safe.
KeyUsePrompt SetDefaultKeyUsePrompt(KeyUsePrompt prompt);

// A TokenChooser picks the token for a new key of a card provider when several are present: an
// index into |tokens|, or nullopt when the person cancelled.
using TokenChooser = std::function<std::optional<size_t>(const std::vector<TokenInfo>& tokens)>;

// SetTokenChooser installs the chooser and returns the one it replaces. Without one, a new card
// key goes to the first present token. Thread-safe.
TokenChooser SetTokenChooser(TokenChooser chooser);

// What is known about a key without touching its private half.
struct KeyDescription {
  uint32_t spec = 0;
  uint32_t bits = 0;
  uint32_t flags = 0;  // key_flag bits
};

class KeyContainerStore;

class KeyContainer {
 public:
  // Where the keys live (the profile or memory); defined and used only by the implementation.
  struct State;

  ~KeyContainer();
  KeyContainer(const KeyContainer&) = delete;
  KeyContainer& operator=(const KeyContainer&) = delete;

  // CreateVolatile makes an empty in-memory container named |name| for |provider|, owned by the
  // returned handle: while it lives, KeyContainerStore::Open finds the container by name in this
  // process; when it is destroyed the name is forgotten (handles opened by name keep their keys
  // until they are released). Null with NTE_EXISTS when a volatile container of that name already
  // exists in this process, ERROR_INVALID_PARAMETER for an empty name. The profile is never
  // touched.
  static std::unique_ptr<KeyContainer> CreateVolatile(std::string_view name,
                                                      const ProviderInfo& provider);

  const std::string& name() const { return name_; }
  const std::string& provider_name() const { return provider_name_; }
  uint32_t provider_type() const { return provider_type_; }
  bool is_volatile() const;

  // set_key_use_prompt gives this handle its own prompt, used instead of the default one. An empty
  // function returns the handle to the default.
  void set_key_use_prompt(KeyUsePrompt prompt) { prompt_ = std::move(prompt); }

  // GenerateKey makes a new RSA key (public exponent 65537) of |bits| (1024, 2048 or 4096) for
  // |spec| with |flags| (key_flag bits), replacing any key of that spec together with its
  // certificate. Other sizes and unknown flag bits give NTE_BAD_FLAGS, a spec other than 1 or 2
  // NTE_BAD_ALGID (as for every function taking a spec), a container deleted meanwhile
  // NTE_BAD_KEYSET.
  bool GenerateKey(uint32_t spec, uint32_t bits, uint32_t flags);

  // DescribeKey returns the key of |spec|; nullopt with NTE_NO_KEY when the container has none.
  std::optional<KeyDescription> DescribeKey(uint32_t spec);

  // Keys lists the keys the container holds, exchange key first; nullopt when the container
  // cannot be read.
  std::optional<std::vector<KeyDescription>> Keys();

  // ExportPublicKeyInfo returns the DER SubjectPublicKeyInfo of the key of |spec|.
  std::optional<std::vector<uint8_t>> ExportPublicKeyInfo(uint32_t spec);

  // ExportPublicKeyBlob returns the key's PUBLICKEYBLOB: BLOBHEADER (type 6, version 2, reserved
  // 0, CALG_RSA_KEYX for spec 1 or CALG_RSA_SIGN for spec 2), RSAPUBKEY ("RSA1", bit length,
  // public exponent) and the modulus, all little-endian.
  std::optional<std::vector<uint8_t>> ExportPublicKeyBlob(uint32_t spec);

  // ExportPrivateKeyBlob returns the key's PRIVATEKEYBLOB (type 7, "RSA2", then modulus, prime1,
  // prime2, exponent1, exponent2, coefficient and private exponent, each little-endian, the primes
  // and their exponents and the coefficient half the modulus length). Only an exportable key is
  // exported (else NTE_BAD_KEY_STATE); a user-protected one asks the user first (ERROR_CANCELLED
  // when refused).
  std::optional<SecretBytes> ExportPrivateKeyBlob(uint32_t spec);

  // ExportPrivateKeyPkcs8 returns the key as PKCS #8 PrivateKeyInfo DER, with the same rules as
  // ExportPrivateKeyBlob.
  std::optional<SecretBytes> ExportPrivateKeyPkcs8(uint32_t spec);

  // ImportPrivateKeyBlob stores the key of a PRIVATEKEYBLOB under the key spec its algorithm names
  // (CALG_RSA_KEYX: 1, CALG_RSA_SIGN: 2) with |flags|, replacing a key of that spec, and returns
  // the key spec. A malformed blob gives NTE_BAD_TYPE, NTE_BAD_VER, NTE_BAD_ALGID or NTE_BAD_DATA;
  // a key whose parts do not belong together NTE_BAD_DATA. Any RSA size from 512 to 16384 bits in
  // whole bytes is accepted, since imported keys come from other software.
  std::optional<uint32_t> ImportPrivateKeyBlob(std::span<const uint8_t> blob, uint32_t flags);

  // ImportPrivateKeyPkcs8 stores an RSA key given as PKCS #8 PrivateKeyInfo DER under |spec| with
  // |flags|. A key that is not RSA or not well formed gives NTE_BAD_DATA.
  bool ImportPrivateKeyPkcs8(uint32_t spec, std::span<const uint8_t> der, uint32_t flags);

  // SignHash returns the PKCS #1 v1.5 signature of the hash value |hash| made with |algorithm|
  // (key_algorithm::kMd5, kSha1, kSha256, kSha512), wrapped in its DigestInfo, least significant
  // byte first. An unknown algorithm gives NTE_BAD_ALGID, a value of the wrong length NTE_BAD_HASH.
  std::optional<std::vector<uint8_t>> SignHash(uint32_t spec, uint32_t algorithm,
                                               std::span<const uint8_t> hash);

  // Decrypt recovers the content of a PKCS #1 v1.5 encrypted block given least significant byte
  // first (as key-transport blocks are passed to the platform), returning it in its own order. A
  // block that is not as long as the modulus gives NTE_BAD_LEN, one that does not decrypt
  // NTE_BAD_DATA.
  std::optional<SecretBytes> Decrypt(uint32_t spec, std::span<const uint8_t> block);

  // SetCertificate stores |der| on the key of |spec| (NTE_NO_KEY when there is none); an empty
  // |der| removes it. Certificate returns it, NTE_NOT_FOUND when the key has none.
  bool SetCertificate(uint32_t spec, std::span<const uint8_t> der);
  std::optional<std::vector<uint8_t>> Certificate(uint32_t spec);

 private:
  friend class KeyContainerStore;
  // Only this class and the store can name it, so only they make containers.
  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  KeyContainer(Passkey, std::shared_ptr<State> state, std::string name,
               const ProviderInfo& provider, bool owner);

 private:
  // AllowUse asks the user before a private-key use of a user-protected key (|flags| of the key
  // of |spec|); false with ERROR_CANCELLED when the answer is no or nobody can be asked.
  bool AllowUse(uint32_t spec, uint32_t flags, KeyUse use);

  // GenerateOnToken makes the key of |spec| on a token (the card providers' keys).
  bool GenerateOnToken(uint32_t spec, uint32_t bits);

  // StoreNewKey keeps |material| as the key of |spec| with |flags|, replacing any key there.
  bool StoreNewKey(uint32_t spec, uint32_t flags, RsaKeyMaterial&& material);

  // The private key last parsed for a signature or a decryption, kept with the PKCS #8 bytes it
  // came from and reused while the stored key of that spec is the same: parsing a key and
  // preparing it for private operations costs more than the operation itself.
  struct ParsedKey;
  evp_pkey_st* ParsedPrivateKey(uint32_t spec, const SecretBytes& private_key);

  // UsablePrivateKey returns the parsed private key of |spec| once |use| is allowed (AllowUse).
  // The key is read again unless the profile has not changed since it was last read (the stamp
  // kept with the parsed key), in which case the parsed key and the flags read with it serve.
  evp_pkey_st* UsablePrivateKey(uint32_t spec, KeyUse use);

  std::shared_ptr<State> state_;
  std::string name_;
  std::string provider_name_;
  uint32_t provider_type_ = 0;
  bool owner_ = false;  // the volatile container's owner forgets its name when released
  KeyUsePrompt prompt_;
  std::unique_ptr<ParsedKey> parsed_;
};

// KeyContainerStore reaches the containers of one profile database. Container names arrive in the
// process code page and are stored as UTF-8. A store and the containers it opened share its
// database connection: use them from one thread at a time (open a store per thread otherwise).
// Volatile containers may be shared between threads.
struct ContainerListing {
  std::string name;
  std::string provider;
};

class KeyContainerStore {
 public:
  // OpenUser opens the store of the current user's profile; null (error recorded) when the
  // profile cannot be opened.
  static std::unique_ptr<KeyContainerStore> OpenUser();

  // The store uses |database| (must not be null); containers it opens share it, and so may other
  // stores, so that their changes can be joined in one transaction (ProfileDatabase::Transaction).
  explicit KeyContainerStore(std::shared_ptr<ProfileDatabase> database);

  // Create makes a new, empty container |name| for the provider |provider_name| of
  // |provider_type| (resolved with ResolveProvider, whose errors it records). NTE_EXISTS when a
  // container of that name (in any letter case) exists; ERROR_INVALID_PARAMETER for an empty name.
  std::unique_ptr<KeyContainer> Create(std::string_view name, std::string_view provider_name,
                                       uint32_t provider_type);

  // Open opens the container |name|: a volatile one of this process first, else the profile's.
  // NTE_BAD_KEYSET when neither exists.
  std::unique_ptr<KeyContainer> Open(std::string_view name, std::string_view provider_name,
                                     uint32_t provider_type);

  // Delete removes the profile container |name| with its keys (NTE_BAD_KEYSET when missing).
  // Handles still open on it then fail with NTE_BAD_KEYSET.
  bool Delete(std::string_view name, std::string_view provider_name, uint32_t provider_type);

  // Names lists the profile's container names in creation order; nullopt when it cannot be read.
  std::optional<std::vector<std::string>> Names();

  // List gives the same containers with the provider each was created through (empty for one
  // created before providers were recorded).
  std::optional<std::vector<ContainerListing>> List();

  // AdoptTokenKey returns the container that holds the key pair |key_id| of |token|, making one of
  // the card provider when none does yet: named "token-<serial>-<CKA_ID in hex>", with the key as
  // its exchange key and |public_key| (SubjectPublicKeyInfo DER) as its public half. Nullopt with
  // the error recorded when |public_key| is not an RSA key (NTE_BAD_KEY) or the profile fails.
  struct AdoptedKey {
    std::string container;  // narrow text, as KeyProviderLink names it
    uint32_t spec = 0;
  };
  std::optional<AdoptedKey> AdoptTokenKey(const TokenRef& token, std::span<const uint8_t> key_id,
                                          std::span<const uint8_t> public_key);

  // Persist copies the volatile |container| with all its keys and certificates into the profile
  // under its name, in one transaction: NTE_EXISTS when the profile has that name already,
  // ERROR_INVALID_PARAMETER when |container| is not volatile. The volatile container stays as it
  // was; opening the name in another process now finds the profile copy.
  bool Persist(KeyContainer& container);

 private:
  std::shared_ptr<ProfileDatabase> database_;
};

}  // namespace kelvadrome
