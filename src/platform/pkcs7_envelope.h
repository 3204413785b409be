// Pkcs7Envelope: making and opening PKCS #7 EnvelopedData messages for RSA recipients.
//
// Making one: a fresh content-encryption key (and IV) encrypts the content with the chosen
// algorithm; the key is encrypted for every recipient with the recipient certificate's RSA key
// (PKCS #1 v1.5 key transport), and each recipient is named by the issuer and serial number of its
// certificate. The message is DER: version 0, key-transport recipient infos (version 0) in DER set
// order, content type data.
//
// Opening one: the message is read as BER (indefinite lengths, constructed strings). The
// recipients are matched, in message order, against the certificates of the given stores, in
// store order; the first certificate found with a reachable private key (its key-provider link)
// decrypts the content-encryption key through its key container, and that key decrypts the
// content. Recipients named by subject key identifier (CMS version 2) are matched too.
//
// Every failure returns nullopt and records the platform error a message decoder gives; see each
// function.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/secrets.h"

namespace kelvadrome {

class CertStore;

// Content-encryption algorithms, as dotted object identifiers. Messages are made with the first
// three; the AES ones are only opened (other producers use them by default).
namespace envelope_algorithm {
inline constexpr const char* kDesCbc = "1.3.14.3.2.7";                // DES-CBC, 8-byte IV
inline constexpr const char* kRc4 = "1.2.840.113549.3.4";             // RC4, 128-bit key made
inline constexpr const char* kDesEde3Cbc = "1.2.840.113549.3.7";      // three-key triple DES CBC
inline constexpr const char* kAes128Cbc = "2.16.840.1.101.3.4.1.2";   // 16-byte key, 16-byte IV
inline constexpr const char* kAes192Cbc = "2.16.840.1.101.3.4.1.22";  // 24-byte key, 16-byte IV
inline constexpr const char* kAes256Cbc = "2.16.840.1.101.3.4.1.42";  // 32-byte key, 16-byte IV
}  // namespace envelope_algorithm

namespace platform_error {
inline constexpr uint32_t kUnexpectedMessageType = 0x8009200A;  // CRYPT_E_UNEXPECTED_MSG_TYPE
}  // namespace platform_error

struct EnvelopeRequest {
  std::span<const uint8_t> content;
  const char* content_algorithm = envelope_algorithm::kDesEde3Cbc;  // one of the three above
  std::vector<std::span<const uint8_t>> recipients;                 // DER certificates
};

// EncodeEnvelopedData returns the DER ContentInfo of an EnvelopedData holding |request|'s content
// for every recipient, one recipient info each (the caller removes duplicates). Nullopt with the
// platform error recorded:
//   - NTE_BAD_ALGID (0x80090008) for an algorithm other than DES, RC4 and triple DES (AES is
//     only opened), for a recipient whose key is not RSA, or when the cryptographic library lacks
//     the cipher (DES and RC4 need its legacy algorithms);
//   - ERROR_INVALID_PARAMETER (87) for no recipient;
//   - the certificate decoder's error for a recipient that is not one DER certificate;
//   - NTE_FAIL (0x80090020) when the library fails to encrypt, CRYPT_E_BAD_ENCODE when the
//     message is too large to encode.
std::optional<std::vector<uint8_t>> EncodeEnvelopedData(const EnvelopeRequest& request);

// One recipient info of a parsed message; the views point into the caller's message bytes.
// Exactly one of |issuer| (with |serial|) and |subject_key_id| names the recipient's certificate.
struct EnvelopeRecipient {
  std::span<const uint8_t> issuer;      // the whole issuer Name element (issuer and serial)
  std::span<const uint8_t> serial;      // content octets of the serial number INTEGER
  std::vector<uint8_t> subject_key_id;  // key identifier octets (the other form)
  std::string key_algorithm;            // dotted key-encryption algorithm
  std::vector<uint8_t> encrypted_key;   // most significant byte first
};

struct ParsedEnvelope {
  std::vector<EnvelopeRecipient> recipients;  // key-transport recipients only, in message order
  std::string content_algorithm;              // dotted
  // The parameters element of the content-encryption algorithm (whole element), empty when
  // absent.
  std::span<const uint8_t> algorithm_parameters;  // a view into the message
  std::vector<uint8_t> encrypted_content;         // the pieces of a constructed string joined
  bool has_encrypted_content = false;
};

// ParseEnvelopedData reads |message| as one ContentInfo holding an EnvelopedData (nothing may
// follow it). Nullopt with the platform error recorded: CRYPT_E_ASN1_EOD (0x80093102) when the
// bytes end early, CRYPT_E_ASN1_BADTAG (0x8009310B) for anything else malformed, and
// CRYPT_E_UNEXPECTED_MSG_TYPE for a well-formed ContentInfo of another content type.
std::optional<ParsedEnvelope> ParseEnvelopedData(std::span<const uint8_t> message);

// DecryptEnvelopeContent decrypts |envelope|'s content with the content-encryption key |key|, for
// every algorithm above. Nullopt with NTE_BAD_ALGID for an unknown algorithm (or one the library
// lacks), NTE_BAD_KEY (0x80090003) for a key of the wrong length, NTE_BAD_DATA (0x80090005) for
// parameters that are not the algorithm's (a block cipher's IV is an OCTET STRING of the block's
// size), missing content, or content that does not decrypt (length or padding).
std::optional<SecretBytes> DecryptEnvelopeContent(const ParsedEnvelope& envelope,
                                                  std::span<const uint8_t> key);

// DecryptEnvelopedData opens |message| with a private key reached through a certificate of
// |stores| (null entries are passed over) and returns the content. Nullopt with the platform error
// recorded: ParseEnvelopedData's errors; CRYPT_E_NO_DECRYPT_CERT (0x8009200C) when no recipient's
// certificate with a reachable private key is in the stores; NTE_BAD_KEY when the certificate's
// key is a signature key (AT_SIGNATURE), which does not decrypt; NTE_BAD_ALGID for a key-encryption
// algorithm other than RSA; the key container's error when the key does not decrypt the
// recipient's block (NTE_BAD_DATA, NTE_BAD_LEN, ERROR_CANCELLED for a refused user-protected key);
// DecryptEnvelopeContent's errors.
std::optional<SecretBytes> DecryptEnvelopedData(std::span<const uint8_t> message,
                                                std::span<CertStore* const> stores);

}  // namespace kelvadrome
