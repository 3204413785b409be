// PKCS #12 (PFX) files: certificates with their private keys under a password. The reader takes
// files from any producer (BER or DER, password-based MACs and the PKCS #12 and PBES2 encryption
// schemes of the loaded providers, nested safe contents); the writer makes files in the one layout
// every mainstream reader accepts (3DES-encrypted certificates and keys, a SHA-1 MAC). All work
// runs in the component's own OpenSSL library context; the thread's OpenSSL error queue is left
// as it was found.
//
// Passwords are UTF-8 and are turned into the BMPString the PKCS #12 key derivation hashes. The
// absent password (nullopt) and the empty one ("") differ: the absent password derives keys from
// no octets at all, the empty one from the two zero octets that end a BMPString. A caller that
// wants to accept both tries one and then the other.
//
// Every function records the platform last error (SetLastPlatformError): 0 on success, else
//   - kAsn1EndOfData when the bytes end before the PFX does (empty input included);
//   - kAsn1BadTag for bytes that are no PFX (wrong tags, version other than 3, bytes after it);
//   - kInvalidPassword (86) when the password does not open the file;
//   - kPkcs12BadData for a private key that is not RSA or cannot be read;
//   - kPkcs12BadAlgorithm for a MAC or an encryption the providers cannot compute (such as a
//     password-based MAC of a scheme this library does not know);
//   - kPkcs12Fail when OpenSSL fails in a way the input does not explain.
// Private keys leave the codec only as SecretBytes; every other copy of key bytes or passwords
// the codec makes is wiped before it is freed.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/secrets.h"

namespace kelvadrome {

namespace platform_error {
inline constexpr uint32_t kPkcs12BadData = 0x80090005;       // NTE_BAD_DATA
inline constexpr uint32_t kPkcs12BadAlgorithm = 0x80090008;  // NTE_BAD_ALGID
inline constexpr uint32_t kPkcs12Fail = 0x80090020;          // NTE_FAIL
}  // namespace platform_error

// The deepest nesting of safeContents bags the reader follows; a file nesting deeper is malformed.
inline constexpr int kPkcs12MaxBagNesting = 8;

// IsPkcs12 returns true when |bytes| are exactly one DER or BER PFX (version 3, an authSafe
// ContentInfo, an optional MacData) with nothing after it. Nothing is decrypted. False records
// kAsn1EndOfData or kAsn1BadTag.
bool IsPkcs12(std::span<const uint8_t> bytes);

// VerifyPkcs12Password returns true when |password| opens the PFX |bytes|: its MAC verifies or,
// for a file without a MAC, every encrypted part (encrypted safe contents and shrouded keys)
// decrypts. A file without a MAC and with nothing encrypted opens with any password. False with
// kInvalidPassword for a wrong password, or with the decoder error when the bytes are no PFX.
bool VerifyPkcs12Password(std::span<const uint8_t> bytes, std::optional<std::string_view> password);

struct Pkcs12Key {
  SecretBytes private_key;            // PKCS #8 PrivateKeyInfo DER (RSA only)
  std::vector<uint8_t> local_key_id;  // empty when absent (the first one when the bag has several)
  std::string friendly_name;          // UTF-8, empty when absent
};

struct Pkcs12Certificate {
  std::vector<uint8_t> der;  // X.509 DER exactly as in the file
  std::vector<uint8_t> local_key_id;
  std::string friendly_name;
  int key_index = -1;  // the key of Pkcs12Contents::keys that belongs to it, or -1
};

struct Pkcs12Contents {
  std::vector<Pkcs12Certificate> certificates;  // in file order
  std::vector<Pkcs12Key> keys;                  // in file order
};

// ReadPkcs12 checks |password| (as VerifyPkcs12Password), decrypts every bag and returns every
// X.509 certificate bag and every key (keyBag and pkcs8ShroudedKeyBag), safe contents nested in
// safeContents bags included; other bags are skipped. Keys come back as plain PKCS #8 DER
// (rsaEncryption, version 0, no attributes). A key belongs to the first certificate without a key
// that shares one of its localKeyId values and whose public key is not a different one; a key left
// over belongs to the first certificate without a key whose public key is the key's. Each key
// belongs to at most one certificate. A key that is not rsaEncryption (RSA-PSS included) or does
// not decode makes the whole read fail with kPkcs12BadData; a certificate bag whose content is no
// certificate fails it with kAsn1BadTag. nullopt with the error recorded on any failure.
std::optional<Pkcs12Contents> ReadPkcs12(std::span<const uint8_t> bytes,
                                         std::optional<std::string_view> password);

struct Pkcs12Entry {
  std::vector<uint8_t> certificate;        // DER
  std::optional<SecretBytes> private_key;  // PKCS #8 DER, for the certificates that carry one
  std::string friendly_name;               // UTF-8; empty: none
};

// WritePkcs12 returns a DER PFX of |entries| (in order) under |password| (UTF-8): the certificates
// in one safe contents encrypted with pbeWithSHAAnd3-KeyTripleDES-CBC, the keys as
// pkcs8ShroudedKeyBags with the same scheme in a plain one, 2048 iterations each, and a SHA-1 MAC
// of 2048 iterations. A key and its certificate share a localKeyId (the SHA-1 of the certificate);
// a non-empty friendly name goes on both bags. Fails (nullopt) with kAsn1BadTag for a certificate
// that does not decode, kPkcs12BadData for a key that is not an RSA PKCS #8 key or is not the
// certificate's, kPkcs12Fail when OpenSSL fails. The caller's key bytes are not changed.
std::optional<std::vector<uint8_t>> WritePkcs12(const std::vector<Pkcs12Entry>& entries,
                                                std::string_view password);

}  // namespace kelvadrome
