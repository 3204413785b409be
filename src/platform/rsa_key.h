// RSA key material for key containers: generation, PKCS #8 and SubjectPublicKeyInfo forms, the
// little-endian key blobs, PKCS #1 v1.5 signing of hash values and decryption of key-transport
// blocks. All work runs in the component's own OpenSSL context. Internal to the platform layer.
//
// Every failure returns nullopt and records the platform error (the key_error values of
// key_container.h); the OpenSSL error queue is cleared.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/handles.h"
#include "platform/secrets.h"

namespace kelvadrome {

struct RsaKeyMaterial {
  SecretBytes private_key;          // PKCS #8 PrivateKeyInfo DER
  std::vector<uint8_t> public_key;  // SubjectPublicKeyInfo DER
  uint32_t bits = 0;
};

// GenerateRsaKey makes a key of |bits| with public exponent 65537 (no size check here).
std::optional<RsaKeyMaterial> GenerateRsaKey(uint32_t bits);

// RsaKeyFromPkcs8 reads a PKCS #8 RSA private key; NTE_BAD_DATA when |der| is not one (trailing
// bytes included).
std::optional<RsaKeyMaterial> RsaKeyFromPkcs8(std::span<const uint8_t> der);

// RsaKeyFromPrivateBlob reads a PRIVATEKEYBLOB and sets |*algorithm| to its aiKeyAlg.
std::optional<RsaKeyMaterial> RsaKeyFromPrivateBlob(std::span<const uint8_t> blob,
                                                    uint32_t* algorithm);

// RsaPublicBlob makes the PUBLICKEYBLOB of the key |public_key| (SubjectPublicKeyInfo DER) with
// |algorithm| as aiKeyAlg.
std::optional<std::vector<uint8_t>> RsaPublicBlob(std::span<const uint8_t> public_key,
                                                  uint32_t algorithm);

// RsaPublicKeyBits returns the modulus length of the RSA key |public_key| (SubjectPublicKeyInfo
// DER); NTE_BAD_KEY when it is not one.
std::optional<uint32_t> RsaPublicKeyBits(std::span<const uint8_t> public_key);

// RsaPrivateBlob makes the PRIVATEKEYBLOB of |private_key| (PKCS #8 DER).
std::optional<SecretBytes> RsaPrivateBlob(std::span<const uint8_t> private_key, uint32_t algorithm);

// RsaSignHash signs |hash| (a value of the CALG_* |algorithm|) with PKCS #1 v1.5 and returns the
// signature least significant byte first.
std::optional<std::vector<uint8_t>> RsaSignHash(std::span<const uint8_t> private_key,
                                                uint32_t algorithm, std::span<const uint8_t> hash);

// RsaDecryptPkcs1 decrypts the PKCS #1 v1.5 block |block|, given least significant byte first.
std::optional<SecretBytes> RsaDecryptPkcs1(std::span<const uint8_t> private_key,
                                           std::span<const uint8_t> block);

// DigestInfoFor wraps |hash| (a value of the CALG_* |algorithm|) in its DER DigestInfo, the input
// of a PKCS #1 v1.5 signature made elsewhere (a token). NTE_BAD_ALGID for an unknown algorithm,
// NTE_BAD_HASH for a value of the wrong length.
std::optional<std::vector<uint8_t>> DigestInfoFor(uint32_t algorithm,
                                                  std::span<const uint8_t> hash);

// ParseRsaPrivateKey parses |private_key| (PKCS #8 DER) for repeated use: OpenSSL keeps its
// per-key precomputation (Montgomery forms, blinding) with the parsed key, so a key that signs
// again need not pay for it again. Null with NTE_BAD_KEY when it is not an RSA key.
UniqueEvpPkey ParseRsaPrivateKey(std::span<const uint8_t> private_key);

// The two private-key operations above, with a parsed key (not null).
std::optional<std::vector<uint8_t>> RsaSignHash(evp_pkey_st* key, uint32_t algorithm,
                                                std::span<const uint8_t> hash);
std::optional<SecretBytes> RsaDecryptPkcs1(evp_pkey_st* key, std::span<const uint8_t> block);

}  // namespace kelvadrome
