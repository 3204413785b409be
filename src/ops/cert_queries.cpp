#include "ops/cert_queries.h"

#include <algorithm>
#include <limits>
#include <memory>

#include "codec/cert_info.h"
#include "platform/cert_store.h"
#include "platform/certificate.h"

namespace kelvadrome {

namespace {

// Loads |der| into |info|; false for no bytes, too many bytes for a buffer, or bytes that are not
// one certificate.
bool Load(std::span<const uint8_t> der, CertInfo& info) {
  if (der.empty() || der.size() > static_cast<size_t>(ByteBuffer::kMaxLength)) return false;
  return info.LoadFromDer(der.data(), static_cast<int32_t>(der.size()));
}

}  // namespace

std::string CertificateFieldText(std::span<const uint8_t> der, CertField field) {
  CertInfo info;
  if (!Load(der, info)) return std::string();
  switch (field) {
    case CertField::kSubject:
      return info.GetSubject();
    case CertField::kSubjectCN:
      return info.GetSubjectCN();
    case CertField::kIssuer:
      return info.GetIssuer();
    case CertField::kSerial:
      return info.GetSerial();
    case CertField::kFingerprint:
      return info.GetFingerprint();
    case CertField::kNotBefore:
      return info.GetNotBefore(CertDateFormat::kCompact);
    case CertField::kNotAfter:
      return info.GetNotAfter(CertDateFormat::kCompact);
  }
  return std::string();
}

uint32_t CertificateKeyUsage(std::span<const uint8_t> der) {
  CertInfo info;
  if (!Load(der, info)) return 0;
  return info.GetKeyUsage();
}

int32_t SnapshotPersonalStore(CertSnapshot& snapshot) {
  snapshot.clear();
  std::unique_ptr<CertStore> personal = CertStore::OpenSystem("MY");
  if (!personal) return 0;
  auto listed = personal->Enumerate();
  if (!listed) return 0;
  // A count the interface's 32-bit result cannot carry is cut there; the entries beyond it could
  // not be addressed by an index anyway.
  const size_t limit = static_cast<size_t>(std::numeric_limits<int32_t>::max());
  snapshot.reserve(std::min(listed->size(), limit));
  for (StoredCertificate& certificate : *listed) {
    if (snapshot.size() == limit) break;
    snapshot.push_back(std::move(certificate.der));
  }
  return static_cast<int32_t>(snapshot.size());
}

const std::vector<uint8_t>* SnapshotEntry(const CertSnapshot& snapshot, int32_t index) {
  if (index < 1 || static_cast<size_t>(index) > snapshot.size()) return nullptr;
  return &snapshot[static_cast<size_t>(index) - 1];
}

bool DeleteFromPersonalStore(const std::vector<uint8_t>& der) {
  Certificate decoded;
  if (!decoded.Decode(der.data(), der.size())) return false;
  std::unique_ptr<CertStore> personal = CertStore::OpenSystem("MY");
  if (!personal) return false;
  // A certificate is held at most once in a persistent store, under its SHA-1 thumbprint; the
  // entry found must also be byte for byte the same encoding.
  const auto found = personal->Find(CertificateThumbprint(der));
  if (!found || found->der != der) return false;
  return personal->Delete(found->id);
}

}  // namespace kelvadrome
