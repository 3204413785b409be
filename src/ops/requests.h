// The key-request engine: the providers usable for enrolment, the one chosen for the next key,
// the making of keys with their PKCS #10 requests and pending-request records, and the
// installation of the certificates a certificate authority issues for them. Every component
// owns one.
//
// Each operation records its outcome in the engine's two error slots (a component code, 0 for
// success, and the platform error that caused a failure), which the component copies into its own
// error state.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvadrome {

class Certificate;
class Registry;

// The provider names of the shared constants.
inline constexpr std::string_view kEnhancedProvider =
    "Microsoft Enhanced Cryptographic Provider v1.0";
inline constexpr std::string_view kAesProvider =
    "Microsoft Enhanced RSA and AES Cryptographic Provider";
inline constexpr std::string_view kAesPrototypeProvider =
    "Microsoft Enhanced RSA and AES Cryptographic Provider (Prototype)";

// Where the pending-request records live, below the current user's registry root: one subkey per
// key container, named like it.
inline constexpr std::string_view kPendingRequestsKey = "Software\\ORLA\\QuorixATL";

// What is remembered of a key made for a request until its certificate arrives.
struct PendingRequestRecord {
  std::string provider_name;  // narrow text
  uint32_t provider_type = 0;
  uint32_t key_spec = 0;
  std::vector<uint8_t> public_key;  // PUBLICKEYBLOB
  std::string date_time;            // "YYYY/MM/DD hh:mm:ss", local time
  std::string common_name;          // narrow text
};

// WritePendingRequestRecord creates the record key |container_name| below kPendingRequestsKey in
// |registry| and stores the six values ProviderName, ProviderType, KeySpec, PublicKey, DateTime and
// CommonName, in that order, in one step. Returns false with the platform error recorded when the
// key cannot be created or the values cannot be stored (then none is).
bool WritePendingRequestRecord(Registry& registry, std::string_view container_name,
                               const PendingRequestRecord& record);

// FormatRequestTime returns |when| in local time as "%4d/%02d/%02d %02d:%02d:%02d".
std::string FormatRequestTime(std::time_t when);

// NormaliseKeyFlagMode maps a caller's genKeyFlags to the key-flag mode: 0, 2 and 3 stay, every
// other value becomes 1.
int32_t NormaliseKeyFlagMode(int32_t gen_key_flags);

// KeyGenerationFlags returns the flags word of a key generation: |key_bits| in the high 16 bits;
// in the low bits, only for a provider whose name begins with "Microsoft", bit 0 of |mode| as the
// exportable flag (0x1) and bit 1 as the user-protected flag (0x2).
uint32_t KeyGenerationFlags(int32_t key_bits, int32_t mode, std::string_view provider_name);

class KeyRequestEngine {
 public:
  // Builds the provider list: the installed providers of type 1 or 24, in their order, each name
  // once. It never fails; an empty list is a valid outcome.
  KeyRequestEngine();

  // SelectProvider chooses the provider of the next key by its exact name (narrow text). The AES
  // provider names stand for the enhanced provider. Returns 0, 5005 for an empty name, or 5046
  // for a name not in the list (the earlier choice stays).
  int32_t SelectProvider(std::string_view name);

  // The settings of the next request. set_key_flag_mode normalises with NormaliseKeyFlagMode.
  void set_key_length(int32_t bits) { key_length_ = bits; }
  void set_key_flag_mode(int32_t gen_key_flags) {
    key_flag_mode_ = NormaliseKeyFlagMode(gen_key_flags);
  }
  void set_key_spec(uint32_t spec) { key_spec_ = spec; }
  void ClearErrors() {
    error_code_ = 0;
    platform_error_ = 0;
  }

  // GenerateRequest makes a new container with a key of the current spec, length and flags, and
  // returns the Base64 DER request for it (empty on failure, with the code set), writing the
  // key's pending-request record. Codes: 5906 (registry not writable), 5005 (empty common name),
  // 5046 (no provider), 5203 or 5047 (container), 5302 (key or request), 5 (public key blob or
  // record key), 5002 (Base64). A container made before a failure stays.
  std::string GenerateRequest(std::u16string_view common_name);

  // GenerateRequestPair makes a signature key and then an exchange key, each in its own container
  // with its own record (both records carry the same time), and keeps their requests as the
  // requests for signing and for encryption; after any failure both are empty. Returns the code.
  int32_t GenerateRequestPair(std::u16string_view common_name);

  // AcceptCertificate installs a certificate authority's answer given as Base64 text (PEM armour,
  // line breaks and blanks allowed): one DER certificate, or a PKCS #7 message whose certificate
  // set holds the issued certificate and its chain. Chain certificates go to "ROOT" (self-signed)
  // and "CA" (allowed to sign certificates); the last other certificate is linked to the key of
  // the pending record whose public key it carries and added to "MY" with its common name as
  // friendly name. Returns the code: 5906, 5005, 5008, 5040, 5060, 5010, 5206, 5203, 5211, 5201.
  int32_t AcceptCertificate(std::string_view text);

  const std::vector<std::string>& provider_list() const { return provider_list_; }
  const std::string& provider_name() const { return provider_name_; }
  uint32_t provider_type() const { return provider_type_; }
  int32_t key_length() const { return key_length_; }
  int32_t key_flag_mode() const { return key_flag_mode_; }
  uint32_t key_spec() const { return key_spec_; }
  const std::string& request_for_signing() const { return request_for_signing_; }
  const std::string& request_for_encryption() const { return request_for_encryption_; }
  int32_t error_code() const { return error_code_; }
  uint32_t platform_error() const { return platform_error_; }

 private:
  // Checks common to both request operations, after the rights probe; false with the code set.
  bool CheckRequestArguments(std::u16string_view common_name);
  // MakeKeyAndRequest makes one container, key, request and record for the current key spec.
  std::string MakeKeyAndRequest(std::u16string_view common_name, const std::string& date_time);
  // The two halves of acceptance.
  bool InstallChainCertificate(const Certificate& certificate);
  bool InstallPersonalCertificate(const Certificate& certificate);
  // Fail records |code| with |platform_error| and returns false.
  bool Fail(int32_t code, uint32_t platform_error);

  int32_t error_code_ = 0;
  uint32_t platform_error_ = 0;
  int32_t key_length_ = 2048;
  std::string provider_name_{kEnhancedProvider};
  uint32_t provider_type_ = 1;
  uint32_t key_spec_ = 1;
  int32_t key_flag_mode_ = 1;
  std::vector<std::string> provider_list_;
  std::string request_for_signing_;
  std::string request_for_encryption_;
};

// RegistryRightsProbe checks that the user's registry can be written where enrolment keeps its
// records: it creates (or opens) "Software\ORLA", writes a 4-byte value under a fresh name and
// deletes it again. Returns 0, or 5906 with |*platform_error| set to the platform's error.
int32_t RegistryRightsProbe(uint32_t* platform_error);

// RequestContainerName returns a fresh name for a key container and its pending-request record:
// 16 random bytes as upper-case hex in the GUID layout (8-4-4-4-12 digits), drawn from the
// system's cryptographically secure generator (RandomGuidText), so two names drawn at once differ;
// throws when the generator fails.
std::string RequestContainerName();

}  // namespace kelvadrome
