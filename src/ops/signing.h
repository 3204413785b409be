// Signing with the selected signer's private key: a bare PKCS #1 v1.5 signature of the caller's
// text, or a PKCS #7 SignedData message.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/cert_store_handle.h"
#include "platform/certificate_key.h"
#include "platform/outcome.h"

namespace kelvadrome {

class DialogHost;
class SignerShare;
struct SelectedSigner;

// Bits of dwFlags the PKCS #1 signing reads.
namespace pkcs1_flag {
inline constexpr int32_t kBase64 = 0x0100;  // Base64 output (else upper-case hex)
inline constexpr int32_t kCodePageBytes =
    0x0800;                                      // sign the text's code-page bytes (else UTF-16LE)
inline constexpr int32_t kMd5 = 0x1000;          // MD5 digest
inline constexpr int32_t kSha1OverMd5 = 0x2000;  // SHA-1 of the MD5 digest (unless kMd5)
inline constexpr int32_t kLeastSignificantFirst = 0x4000;  // the signature as the key gives it
inline constexpr int32_t kConfirm = 0x8000;                // ask the user first
}  // namespace pkcs1_flag

// Bits of dwFlags the PKCS #7 signing reads (kCodePageBytes and kConfirm as above).
namespace pkcs7_flag {
inline constexpr int32_t kNoCertificate = 0x0100;  // carry no certificate
inline constexpr int32_t kChain = 0x0200;          // carry the signer's chain (wins over 0x0100)
inline constexpr int32_t kDetached = 0x0400;       // sign the content without carrying it
inline constexpr int32_t kMd5 = 0x1000;            // MD5 digest (else SHA-1)
inline constexpr int32_t kSigningTime = 0x2000;    // add the signing-time attribute
}  // namespace pkcs7_flag

// What signing keeps between calls for a signer from "MY": the personal store, opened on first use
// and kept open, and the key acquired last, reused while the certificate found again is the same
// one with the same key link. The certificate and its link as last found are used again while the
// store's change stamp shows that nothing in the profile has changed since. Released when another
// signer is selected and after a key fails to sign. (A signer from a PFX file is loaded afresh on
// every call and nothing of it is kept.)
struct SignerKeyCache {
  CertStoreHandle signerKeyStore;
  bool store_open = false;
  std::optional<CertificateKey> signerProvider;
  int64_t certificate_id = -1;
  std::vector<uint8_t> link;  // the key-provider property the key was acquired through

  // The signer's certificate and key link as last found, for the thumbprint |found_hash|, with the
  // store's stamp taken before they were read.
  std::optional<ProfileChangeStamp> found_stamp;
  std::string found_hash;
  StoredCertificate found_certificate;
  std::vector<uint8_t> found_link_value;
  KeyProviderLink found_link;

  void Release();
};

struct SignedText {
  std::string text;  // the result; empty on failure
};

using SigningOutcome = Outcome<SignedText>;

// SignPkcs1Text signs |content| with the key of |signer| (its password may be refreshed from
// |share|, which may be null); |keys| keeps a store signer's store and key between calls. Codes: 0;
// 5005 empty content; 5067 no signer, or its certificate is no longer where it was found; 5201
// "MY"; 1102 the PFX file is gone; 5401/5207/5208 the PFX file; 5206 no key for the certificate
// (5225 for a card provider whose key cannot be reached); 5002/5070 the confirmation could not be
// shown or was refused; 5061 the key did not sign.
SigningOutcome SignPkcs1Text(std::u16string_view content, int32_t flags, SelectedSigner& signer,
                             SignerShare* share, DialogHost& host, SignerKeyCache& keys);

// ChainIsCarried tells whether a chain with the trust-status bits |status| may go into a message:
// a good chain, any chain with a time problem (tested first), and a chain whose only fault is an
// untrusted root; not one with a revoked, badly signed or unusable certificate, nor anything else.
bool ChainIsCarried(uint32_t status);

// SignPkcs7Text signs |content| likewise and returns the Base64 DER of a PKCS #7 SignedData
// message. Codes as SignPkcs1Text, except: 5061 also for a certificate without a key link, and
// for a key that did not sign (3206/3204 for a card PIN refused or blocked, 5070 for a prompt
// cancelled); 5202 when the chain asked for cannot be built or is not trusted enough to carry;
// 5002 when the message is too large to encode as text.
SigningOutcome SignPkcs7Text(std::u16string_view content, int32_t flags, SelectedSigner& signer,
                             SignerShare* share, DialogHost& host, SignerKeyCache& keys);

}  // namespace kelvadrome
