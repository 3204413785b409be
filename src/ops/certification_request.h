// PKCS #10 certification requests for keys the component has just made.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace kelvadrome {

class KeyContainer;

// BuildCertificationRequest returns the DER CertificationRequest for the key of |spec| in
// |container|: version 0; a subject of one RDN holding one commonName whose value is
// |common_name| as a BMPString (its UTF-16 code units as given, surrogates included, two octets
// each, most significant first); the key's SubjectPublicKeyInfo; an empty attribute set; signed
// by the same key with sha1WithRSAEncryption (the algorithm identifier carries a NULL
// parameter). Returns nullopt with the platform error recorded when the key cannot be exported or
// cannot sign (a user-protected key whose use the user refuses included).
std::optional<std::vector<uint8_t>> BuildCertificationRequest(KeyContainer& container,
                                                              uint32_t spec,
                                                              std::u16string_view common_name);

}  // namespace kelvadrome
