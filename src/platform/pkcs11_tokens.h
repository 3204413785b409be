// Smart cards and USB tokens, reached through the PKCS #11 modules the system registers with
// p11-kit (the system's /etc/pkcs11/modules/ and the user's ~/.config/pkcs11/modules/). This is
// the only part of the component that speaks PKCS #11; the card provider's key containers and the
// certificates of present tokens are built on it.
//
// A token is named by a TokenRef (its module, serial number and label). A key on a token is named
// by its CKA_ID; the component's own keys also carry the container name as CKA_LABEL, and their
// CKA_ID is the SHA-1 hash of the modulus, as other PKCS #11 software expects, so that a
// certificate stored beside the key (same CKA_ID) is found by any program.
//
// Private keys never leave the token: they are generated there sensitive and not extractable, and
// signing and decryption are done by the token. When a token needs a login, the PIN is asked
// through the prompt installed with SetTokenPinPrompt (nobody installed: the use fails as
// cancelled), unless the reader has its own PIN pad (CKF_PROTECTED_AUTHENTICATION_PATH); a PIN is
// kept for the process only when the person asked for it, and always wiped. Otherwise the login
// lasts until EndTokenUse. Each use asks once:
// a wrong PIN fails that use with kWrongPin, and the next question tells the person the last PIN
// was wrong (PinRequest::retry).
//
// Every failure returns nullopt, false or an empty list and records the platform error with
// SetLastPlatformError, mapped from the PKCS #11 result:
//   CKR_PIN_INCORRECT, CKR_PIN_INVALID, CKR_PIN_LEN_RANGE            -> card_error::kWrongPin
//   CKR_PIN_LOCKED                                                  -> card_error::kPinBlocked
//   PIN prompt cancelled or nobody to ask                           -> card_error::kCancelled
//   CKR_TOKEN_NOT_PRESENT, CKR_DEVICE_REMOVED, CKR_SESSION_HANDLE_INVALID, CKR_SESSION_CLOSED,
//   CKR_SLOT_ID_INVALID, CKR_TOKEN_NOT_RECOGNIZED, and a token this process used that is no
//   longer present                                                 -> card_error::kRemoved
//   a token that is not present and was not in use                  -> card_error::kNoCard
//   CKR_FUNCTION_CANCELED (the reader's PIN pad was cancelled)      -> card_error::kCancelled
//   anything else                                                  -> card_error::kCardFailure
// All functions are safe to call from several threads; calls into one module are serialised, the
// PIN prompt included: a prompt must not call back into these functions.
//
// Modules marked `trust-policy: yes` in their p11-kit configuration (the system's certificate
// authorities) and tokens not initialised (CKF_TOKEN_INITIALIZED clear) are not listed.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/secrets.h"

namespace kelvadrome {

// The platform's smart-card error values (Windows numeric values).
namespace card_error {
inline constexpr uint32_t kWrongPin = 0x8010006B;     // SCARD_W_WRONG_CHV
inline constexpr uint32_t kPinBlocked = 0x8010006C;   // SCARD_W_CHV_BLOCKED
inline constexpr uint32_t kCancelled = 0x8010006E;    // SCARD_W_CANCELLED_BY_USER
inline constexpr uint32_t kNoCard = 0x8010000C;       // SCARD_E_NO_SMARTCARD: no token present
inline constexpr uint32_t kRemoved = 0x80100069;      // SCARD_W_REMOVED_CARD: token went away
inline constexpr uint32_t kCardFailure = 0x8010001F;  // SCARD_E_UNEXPECTED: the module failed
}  // namespace card_error

struct TokenRef {
  std::string module;  // the p11-kit module name ("softhsm2", "opensc")
  std::string serial;  // CK_TOKEN_INFO serialNumber, blanks trimmed
  std::string label;   // CK_TOKEN_INFO label, blanks trimmed
  bool operator==(const TokenRef&) const = default;
};

struct TokenInfo {
  TokenRef ref;
  std::string manufacturer;
  std::string model;
  bool pin_pad = false;         // CKF_PROTECTED_AUTHENTICATION_PATH: the reader asks the PIN
  bool login_required = false;  // CKF_LOGIN_REQUIRED
  bool pin_count_low = false;   // CKF_USER_PIN_COUNT_LOW
  bool pin_final_try = false;   // CKF_USER_PIN_FINAL_TRY
};

struct TokenKey {
  std::vector<uint8_t> id;               // CKA_ID
  std::string label;                     // CKA_LABEL (UTF-8)
  uint32_t bits = 0;                     // modulus length
  bool sensitive = true;                 // CKA_SENSITIVE of the private key
  bool extractable = false;              // CKA_EXTRACTABLE of the private key
  bool can_sign = false;                 // CKA_SIGN
  bool can_decrypt = false;              // CKA_DECRYPT
  std::vector<uint8_t> public_key_info;  // DER SubjectPublicKeyInfo (from modulus and exponent)
};

struct TokenCertificate {
  std::vector<uint8_t> id;  // CKA_ID (the key's, when the certificate belongs to a key)
  std::string label;
  std::vector<uint8_t> der;
  bool has_key = false;  // a key object of the same non-empty CKA_ID is visible without a login
};

// What the PIN prompt is told, and what it answers.
struct PinRequest {
  TokenRef token;
  bool retry = false;  // the last PIN given for this token in this process was wrong
  bool count_low = false;
  bool final_try = false;
};
struct PinAnswer {
  SecretString pin;
  bool remember = false;  // keep the PIN for this process
};
// A TokenPinPrompt asks the person; nullopt when they cancelled.
using TokenPinPrompt = std::function<std::optional<PinAnswer>(const PinRequest&)>;

// SetTokenPinPrompt installs the prompt and returns the one it replaces.
TokenPinPrompt SetTokenPinPrompt(TokenPinPrompt prompt);

// TokenModules lists the names of the modules p11-kit registers (empty when none or p11-kit
// cannot load them). The first call of any function here loads and initialises the modules,
// unless the environment variable KELVADROME_TOKENS is "none": then no module is loaded and no
// token is ever present (for programs that must not see the machine's tokens).
std::vector<std::string> TokenModules();

// PresentTokens lists the tokens present now, in module and slot order.
std::vector<TokenInfo> PresentTokens();

// TokenKeys lists the RSA key pairs on |token| (private keys with their public halves). Listing
// needs no login unless the token hides its private objects until one.
std::optional<std::vector<TokenKey>> TokenKeys(const TokenRef& token);

// TokenCertificates lists the X.509 certificates on |token|; it never logs in.
std::optional<std::vector<TokenCertificate>> TokenCertificates(const TokenRef& token);

// GenerateTokenKey makes an RSA key pair of |bits| (public exponent 65537) on |token|, the
// private key sensitive, not extractable, private, for signing and decryption, CKA_LABEL |label|,
// CKA_ID the SHA-1 hash of the modulus. Logs in first.
std::optional<TokenKey> GenerateTokenKey(const TokenRef& token, uint32_t bits,
                                         const std::string& label);

// SignWithTokenKey returns the PKCS #1 v1.5 signature (CKM_RSA_PKCS, most significant byte first)
// of |digest_info| (a DER DigestInfo) with the private key |id|. Logs in first.
std::optional<std::vector<uint8_t>> SignWithTokenKey(const TokenRef& token,
                                                     std::span<const uint8_t> id,
                                                     std::span<const uint8_t> digest_info);

// DecryptWithTokenKey recovers the content of a PKCS #1 v1.5 block (CKM_RSA_PKCS, most
// significant byte first) with the private key |id|. Logs in first.
std::optional<SecretBytes> DecryptWithTokenKey(const TokenRef& token, std::span<const uint8_t> id,
                                               std::span<const uint8_t> block);

// StoreTokenCertificate stores |der| on |token| as a CKO_CERTIFICATE with CKA_ID |id| and
// CKA_LABEL |label|, replacing a certificate of that CKA_ID. Logs in first.
bool StoreTokenCertificate(const TokenRef& token, std::span<const uint8_t> id,
                           const std::string& label, std::span<const uint8_t> der);

// DeleteTokenKey removes the key pair |id| and its certificates from |token|. Logs in first.
// Nothing of that CKA_ID on the token: false with platform_error::kBadKeyset.
bool DeleteTokenKey(const TokenRef& token, std::span<const uint8_t> id);

// EndTokenUse ends what one call of the component did with tokens: a token logged in with a PIN
// the person did not ask to keep, or on the reader's PIN pad, is logged out, so the next call asks
// again. The component's call guard calls it after every call.
void EndTokenUse() noexcept;

// ForgetTokenPins wipes every kept PIN and logs every session out.
void ForgetTokenPins();

}  // namespace kelvadrome
