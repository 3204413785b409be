// Pkcs7SignedData: encoding a PKCS #7 (version 1.5) SignedData message with one signer, whose key
// is in software or on a card, in the form verifiers of such messages expect: content of type
// data, attached or detached; the digest algorithm identifier the caller names (with a NULL
// parameter); rsaEncryption as the signature algorithm; the signer identified by issuer and serial
// number; certificates carried in the order given; no CRLs.
//
// With a signing time the signer gets authenticated attributes: content type (data), the signing
// time and the message digest, in DER set order; the signature then covers the DER encoding of
// that set. Without one there are no authenticated attributes and the signature covers the content
// itself.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace kelvadrome {

namespace platform_error {
inline constexpr uint32_t kBadEncode = 0x80092002;  // CRYPT_E_BAD_ENCODE
}  // namespace platform_error

struct SignedDataRequest {
  std::span<const uint8_t> content;
  bool detached = false;                        // the content is signed but not carried
  const char* digest_algorithm = "";            // dotted identifier placed in the message
  std::span<const uint8_t> content_digest;      // the digest of |content| by that algorithm
  std::span<const uint8_t> signer_certificate;  // DER; its issuer and serial identify the signer
  std::vector<std::span<const uint8_t>> certificates;  // carried, in this order
  std::optional<int64_t> signing_time;  // seconds since 1970 (UTC); adds the attributes
};

// SignData returns the signature (most significant byte first) of |to_be_signed|: it digests the
// bytes with the request's algorithm and signs the digest. Nullopt, with the platform error
// recorded, when the key does not sign.
using SignData =
    std::function<std::optional<std::vector<uint8_t>>(std::span<const uint8_t> to_be_signed)>;

// EncodeSignedData returns the DER ContentInfo of the SignedData message. Nullopt when the signer
// certificate cannot be read (CRYPT_E_BAD_ENCODE recorded), when a part is too long for a
// definite length (CRYPT_E_BAD_ENCODE), or when |sign| fails (its error kept).
std::optional<std::vector<uint8_t>> EncodeSignedData(const SignedDataRequest& request,
                                                     const SignData& sign);

// EncodeSigningTime returns the DER time value of the signing-time attribute for |seconds|
// (since 1970, UTC): UTCTime for the years 1950 to 2049, GeneralizedTime otherwise, to the second.
// Nullopt for a time the calendar of the C library cannot express.
std::optional<std::vector<uint8_t>> EncodeSigningTime(int64_t seconds);

}  // namespace kelvadrome
