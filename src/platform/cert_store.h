// Certificate stores: the user's persistent stores ("MY", "ROOT", "CA", kept in the profile) and
// memory stores. A store holds DER certificates in insertion order, each with properties (the link
// to its private key, a friendly name, ...). A certificate appears at most once in a persistent
// store (identified by its SHA-1 thumbprint); a memory store may hold copies.
//
// Every failure records the platform error a certificate store would give: CRYPT_E_NOT_FOUND
// 0x80092004 for a missing certificate or property, CRYPT_E_EXISTS 0x80092005 when an add that
// wants a new certificate finds it present, the decoder's errors (platform/certificate.h) for bytes
// that are not one certificate, and the profile's own errors.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/profile.h"

namespace kelvadrome {

using Thumbprint = std::array<uint8_t, 20>;

// Property identifiers, as the workers name them.
namespace cert_property {
inline constexpr uint32_t kKeyProviderInfo = 2;
inline constexpr uint32_t kSha1Hash = 3;
// The open key handle and key spec of the certificate's key. It only means something in the
// process that opened the key, so it lives on certificates held in memory.
inline constexpr uint32_t kKeyContext = 5;
inline constexpr uint32_t kFriendlyName = 11;
// The token a certificate was brought in from (its module and serial number, a line feed between
// them): such a certificate stays in "MY" while its token is present (token_certificates.h). The
// value lies above the identifiers callers can name.
inline constexpr uint32_t kTokenSource = 0x10001;
}  // namespace cert_property

// What happens when an added certificate is already in the store.
enum class AddDisposition : uint32_t {
  kNew = 1,              // fail with CRYPT_E_EXISTS
  kUseExisting = 2,      // keep the existing one
  kReplaceExisting = 3,  // replace it; its properties are dropped
  kAlways = 4,           // add anyway (a persistent store replaces, dropping properties)
  kReplaceExistingInheritProperties = 5  // replace it, keeping its properties
};

// The link from a certificate to its private key.
struct KeyProviderLink {
  std::string container;  // narrow text, process code page
  std::string provider;
  uint32_t provider_type = 0;
  uint32_t flags = 0;
  uint32_t key_spec = 0;
};

// Encoding of a link as a property value, and its bounds-checked decoding (nullopt for malformed
// bytes).
std::vector<uint8_t> EncodeKeyProviderLink(const KeyProviderLink& link);
std::optional<KeyProviderLink> DecodeKeyProviderLink(const std::vector<uint8_t>& value);

// The friendly-name property holds UTF-16LE text followed by one zero unit. DecodeFriendlyName
// reads it up to its first zero unit; nullopt for a value of odd length.
std::vector<uint8_t> EncodeFriendlyName(std::u16string_view name);
std::optional<std::u16string> DecodeFriendlyName(const std::vector<uint8_t>& value);

// CertificateThumbprint returns the SHA-1 of |der|.
Thumbprint CertificateThumbprint(const std::vector<uint8_t>& der);

// A property to set on a certificate as it is added.
struct CertificateProperty {
  uint32_t id = 0;
  std::vector<uint8_t> value;
};

struct StoredCertificate {
  int64_t id = 0;  // the certificate's place in its store; ascending in insertion order
  std::vector<uint8_t> der;
  Thumbprint sha1{};
};

// A certificate as a listing walks it: its place and thumbprint, and the summary kept beside it
// (CacheSummaries). Stores that keep no summaries hand out the DER instead.
struct ListedCertificate {
  int64_t id = 0;
  Thumbprint sha1{};
  std::vector<uint8_t> summary;  // empty when none is kept
  std::vector<uint8_t> der;      // empty when the store keeps summaries
};

class CertStore {
 public:
  virtual ~CertStore() = default;

  // OpenSystem opens the user's store |name| ("MY", "ROOT", "CA"; any name works, letter case
  // ignored), creating it when missing. Null with the error recorded when the profile cannot be
  // used.
  static std::unique_ptr<CertStore> OpenSystem(std::string_view name);
  // The same through |profile|, a connection to the user's profile that other stores may share,
  // so that their changes can be joined in one transaction (ProfileDatabase::Transaction).
  static std::unique_ptr<CertStore> OpenSystem(std::string_view name,
                                               std::shared_ptr<ProfileDatabase> profile);

  // OpenMemory makes an empty memory store.
  static std::unique_ptr<CertStore> OpenMemory();

  // Enumerate returns the certificates in insertion order; nullopt on a profile failure.
  virtual std::optional<std::vector<StoredCertificate>> Enumerate() = 0;

  // List returns the certificates in insertion order as ListedCertificate; nullopt on a profile
  // failure. A persistent store reads no DER: the listing costs what the summaries weigh.
  virtual std::optional<std::vector<ListedCertificate>> List();

  // CacheSummaries keeps each (certificate id, summary) pair beside its certificate, replacing
  // what was kept; pairs whose certificate is gone are skipped. Summaries only spare work, so
  // false (a memory store keeps none; the profile may refuse the write) loses nothing.
  virtual bool CacheSummaries(const std::vector<std::pair<int64_t, std::vector<uint8_t>>>&) {
    return false;
  }

  // Find returns the certificate with |sha1|; nullopt (CRYPT_E_NOT_FOUND) when absent.
  virtual std::optional<StoredCertificate> Find(const Thumbprint& sha1) = 0;

  // Get returns the certificate |id|; nullopt (CRYPT_E_NOT_FOUND) when absent.
  virtual std::optional<StoredCertificate> Get(int64_t id) = 0;

  // Add adds |der| under |disposition| and returns the stored certificate's id; nullopt when
  // the bytes are not one certificate (nothing may follow it) or the disposition refuses.
  std::optional<int64_t> Add(const std::vector<uint8_t>& der, AddDisposition disposition) {
    return AddWithProperties(der, disposition, {});
  }

  // AddWithProperties is Add that also sets |properties| on the certificate it stores (replacing
  // properties of the same ids), all in one step: on failure nothing has changed. When the
  // disposition keeps an existing certificate unchanged (kUseExisting) the properties are not set.
  virtual std::optional<int64_t> AddWithProperties(
      const std::vector<uint8_t>& der, AddDisposition disposition,
      const std::vector<CertificateProperty>& properties) = 0;

  // AddLink adds to a memory store a link to certificate |source_id| of |source|: it lists the
  // same certificate and reads and writes the original's properties. |source| must outlive the
  // link. Persistent stores hold no links (ERROR_INVALID_PARAMETER).
  virtual std::optional<int64_t> AddLink(CertStore& source, int64_t source_id) = 0;

  // Delete removes the certificate |id| with its properties; false (CRYPT_E_NOT_FOUND) if absent.
  virtual bool Delete(int64_t id) = 0;

  // GetProperty returns a property of certificate |id|. The SHA-1 hash property is always there.
  virtual std::optional<std::vector<uint8_t>> GetProperty(int64_t id, uint32_t property) = 0;

  // SetProperty sets (or, for null |value|, removes) a property of certificate |id|.
  virtual bool SetProperty(int64_t id, uint32_t property, const std::vector<uint8_t>* value) = 0;

  // WithProperty lists the certificates that carry |property| (not the SHA-1 hash), each id with
  // the property's value, in insertion order; nullopt on a profile failure.
  virtual std::optional<std::vector<std::pair<int64_t, std::vector<uint8_t>>>> WithProperty(
      uint32_t property) = 0;

  // ChangeStamp returns a stamp of the store's state: two equal stamps from one store mean that
  // nothing in the profile changed in between (no certificate or property added, changed or
  // removed, in this process or another), so what was read from the store before is still what
  // it holds. Nullopt when the store cannot tell (memory stores) or the profile cannot be read:
  // the caller then reads again.
  virtual std::optional<ProfileChangeStamp> ChangeStamp() { return std::nullopt; }
};

}  // namespace kelvadrome
