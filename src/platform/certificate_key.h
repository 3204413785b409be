// Reaching the private key of a store certificate through its key-provider link.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/cert_store.h"
#include "platform/key_container.h"

namespace kelvadrome {

struct CertificateKey {
  std::unique_ptr<KeyContainer> container;
  uint32_t key_spec = 0;
};

// AcquireCertificatePrivateKey opens the key container that certificate |id| of |store| is linked
// to and returns it with the key spec of the link. When |compare_public_key| is set, the key's
// public half must be the certificate's. Failures, with the platform error recorded:
// CRYPT_E_NO_KEY_PROPERTY (0x8009200B) for a certificate without a link (or a malformed one),
// NTE_BAD_KEYSET for a container that no longer exists, NTE_NO_KEY for a container without the
// key, NTE_BAD_PUBLIC_KEY (0x80090015) when the key does not belong to the certificate.
std::optional<CertificateKey> AcquireCertificatePrivateKey(CertStore& store, int64_t id,
                                                           bool compare_public_key);

}  // namespace kelvadrome
