// Certificate chains: from a certificate up to a root, over the user's "ROOT" store (trusted),
// "CA" and "MY" (and an extra store a caller names), reporting what is wrong with the chain as the
// trust-status bits the workers test. Every check the chain fails sets at least one bit: a failure
// without a bit of its own counts as kNotValidForUsage.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/cert_store.h"

namespace kelvadrome {

namespace chain_status {
inline constexpr uint32_t kNotTimeValid = 0x01;       // a certificate is expired or not yet valid
inline constexpr uint32_t kNotTimeNested = 0x02;      // a validity lies outside its issuer's
inline constexpr uint32_t kRevoked = 0x04;            // (no revocation data is consulted)
inline constexpr uint32_t kNotSignatureValid = 0x08;  // a signature does not verify
inline constexpr uint32_t kNotValidForUsage = 0x10;   // a key may not be used as it is
inline constexpr uint32_t kUntrustedRoot = 0x20;      // the chain ends in a root not in "ROOT"
inline constexpr uint32_t kCyclic = 0x80;             // the issuers run in a loop
inline constexpr uint32_t kInvalidExtension = 0x100;  // an extension is malformed or not allowed
inline constexpr uint32_t kInvalidPolicyConstraints = 0x200;     // the policies cannot be satisfied
inline constexpr uint32_t kInvalidBasicConstraints = 0x400;      // an issuer is no CA, or too deep
inline constexpr uint32_t kInvalidNameConstraints = 0x800;       // a name breaks a constraint:
inline constexpr uint32_t kNameConstraintNotSupported = 0x1000;  // a form that is not checked
inline constexpr uint32_t kNameNotPermitted = 0x4000;            // a name outside the permitted
inline constexpr uint32_t kNameExcluded = 0x8000;                // a name inside an excluded one
inline constexpr uint32_t kPartialChain = 0x10000;               // an issuer could not be found
inline constexpr uint32_t kWeakSignature = 0x100000;             // a key or digest too weak
inline constexpr uint32_t kExplicitDistrust = 0x4000000;         // a certificate is rejected
inline constexpr uint32_t kUnsupportedCriticalExtension = 0x8000000;  // with kInvalidExtension
}  // namespace chain_status

struct CertificateChain {
  uint32_t error_status = 0;                   // chain_status bits, 0 for a good chain
  std::vector<std::vector<uint8_t>> elements;  // DER, from the certificate up to the last one found
};

// BuildCertificateChain builds the chain of |der| as at |at_time| (UTC seconds since 1970).
// |extra| (may be null) is searched for issuers beside "CA" and "MY". Returns nullopt, with the
// platform error recorded, when the stores cannot be opened or |der| is not a certificate; a chain
// with problems is still a result, described by its status bits.
std::optional<CertificateChain> BuildCertificateChain(const std::vector<uint8_t>& der,
                                                      int64_t at_time, CertStore* extra);

}  // namespace kelvadrome
