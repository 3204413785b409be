#include "platform/certificate_key.h"

#include <openssl/x509.h>

#include "platform/handles.h"
#include "platform/last_error.h"
#include "platform/openssl_call.h"

namespace kelvadrome {

namespace {

constexpr uint32_t kNoKeyProperty = 0x8009200B;
constexpr uint32_t kBadPublicKey = 0x80090015;

// The SubjectPublicKeyInfo of the DER certificate |der|; empty when it cannot be read.
std::vector<uint8_t> PublicKeyInfoOf(const std::vector<uint8_t>& der) {
  const unsigned char* cursor = der.data();
  const UniqueX509 certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
  if (!certificate) return {};
  unsigned char* encoded = nullptr;
  const int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate.get()), &encoded);
  if (length <= 0) return {};
  const UniqueOpensslBytes owner(encoded);
  return std::vector<uint8_t>(encoded, encoded + length);
}

}  // namespace

std::optional<CertificateKey> AcquireCertificatePrivateKey(CertStore& store, int64_t id,
                                                           bool compare_public_key) {
  const OpensslErrorScope scope;
  const auto property = store.GetProperty(id, cert_property::kKeyProviderInfo);
  const auto link = property ? DecodeKeyProviderLink(*property) : std::nullopt;
  if (!link) {
    SetLastPlatformError(kNoKeyProperty);
    return std::nullopt;
  }
  auto containers = KeyContainerStore::OpenUser();
  if (!containers) return std::nullopt;
  CertificateKey key{containers->Open(link->container, link->provider, link->provider_type),
                     link->key_spec};
  if (!key.container || !key.container->DescribeKey(key.key_spec)) return std::nullopt;
  if (compare_public_key) {
    const auto certificate = store.Get(id);
    if (!certificate) return std::nullopt;
    const auto key_info = key.container->ExportPublicKeyInfo(key.key_spec);
    if (!key_info || *key_info != PublicKeyInfoOf(certificate->der)) {
      SetLastPlatformError(kBadPublicKey);
      return std::nullopt;
    }
  }
  return key;
}

}  // namespace kelvadrome
