#include "ops/cert_queries.h"

#include <algorithm>
#include <limits>
#include <memory>

#include "codec/byte_buffer.h"
#include "codec/cert_info.h"
#include "codec/certificate_summary.h"
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
  // The same formatting as the snapshot's entries, so the signer's fields and the listed ones
  // cannot drift apart.
  return SnapshotFieldText({CertificateThumbprint(info.certificate()->der()),
                            SummarizeCertificate(*info.certificate())},
                           field);
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
  auto listed = SummarizeStore(*personal);
  if (!listed) return 0;
  // A count the interface's 32-bit result cannot carry is cut there; the entries beyond it could
  // not be addressed by an index anyway.
  const size_t limit = static_cast<size_t>(std::numeric_limits<int32_t>::max());
  snapshot.reserve(std::min(listed->size(), limit));
  for (SummarizedCertificate& certificate : *listed) {
    if (snapshot.size() == limit) break;
    snapshot.push_back({certificate.sha1, std::move(certificate.summary)});
  }
  return static_cast<int32_t>(snapshot.size());
}

const SnapshotCertificate* SnapshotEntry(const CertSnapshot& snapshot, int32_t index) {
  if (index < 1 || static_cast<size_t>(index) > snapshot.size()) return nullptr;
  return &snapshot[static_cast<size_t>(index) - 1];
}

std::string SnapshotFieldText(const SnapshotCertificate& entry, CertField field) {
  const CertificateSummary& summary = entry.summary;
  switch (field) {
    case CertField::kSubject:
      return summary.NarrowSubject();
    case CertField::kSubjectCN:
      return summary.NarrowSubjectCN();
    case CertField::kIssuer:
      return summary.NarrowIssuer();
    case CertField::kSerial:
      return summary.serial;
    case CertField::kFingerprint: {
      ByteBuffer text;
      if (!text.HexEncode(entry.sha1.data(), static_cast<int32_t>(entry.sha1.size()))) return {};
      return text.ToString();
    }
    case CertField::kNotBefore:
      return FormatCertificateTime(summary.not_before, CertDateFormat::kCompact);
    case CertField::kNotAfter:
      return FormatCertificateTime(summary.not_after, CertDateFormat::kCompact);
  }
  return std::string();
}

bool DeleteFromPersonalStore(const Thumbprint& sha1) {
  std::unique_ptr<CertStore> personal = CertStore::OpenSystem("MY");
  if (!personal) return false;
  // A certificate is held at most once in a persistent store, under its SHA-1 thumbprint.
  const auto found = personal->Find(sha1);
  return found && personal->Delete(found->id);
}

}  // namespace kelvadrome
