// Certificate queries: the fields of one certificate as the component prints them, and the snapshot
// of the personal store "MY" that the index queries read, with deletion of one of its entries. The
// snapshot holds the certificates' summaries, so that counting and listing thousands of them reads
// and decodes no DER.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "codec/certificate_summary.h"
#include "platform/cert_store.h"

namespace kelvadrome {

// The text fields a query can ask for (CertInfo getters; dates in the compact 14-digit form, local
// time).
enum class CertField {
  kSubject,
  kSubjectCN,
  kIssuer,
  kSerial,
  kFingerprint,
  kNotBefore,
  kNotAfter
};

// CertificateFieldText returns |field| of the certificate encoded in |der| as narrow text in the
// process code page. Returns "" when |der| is empty or is not exactly one certificate.
std::string CertificateFieldText(std::span<const uint8_t> der, CertField field);

// CertificateKeyUsage returns the first octet of the key-usage bits of the certificate in |der|;
// 0 when it has none, or when |der| is empty or does not decode.
uint32_t CertificateKeyUsage(std::span<const uint8_t> der);

// One certificate of a snapshot of "MY": its thumbprint and the fields the index queries print.
struct SnapshotCertificate {
  Thumbprint sha1{};
  CertificateSummary summary;
};
using CertSnapshot = std::vector<SnapshotCertificate>;

// SnapshotPersonalStore replaces |snapshot| with every certificate of the user's "MY" (with or
// without a key, expired or not, CA or not) in the store's enumeration order and returns how many
// it holds. When the store cannot be opened or read, |snapshot| is left empty and 0 is returned.
int32_t SnapshotPersonalStore(CertSnapshot& snapshot);

// SnapshotEntry returns the entry of |snapshot| at the 1-based |index|; null when |index| is below
// 1 or beyond the last entry. The pointer is borrowed from |snapshot|.
const SnapshotCertificate* SnapshotEntry(const CertSnapshot& snapshot, int32_t index);

// SnapshotFieldText returns |field| of a snapshot entry exactly as CertificateFieldText gives it
// for the certificate's DER.
std::string SnapshotFieldText(const SnapshotCertificate& entry, CertField field);

// DeleteFromPersonalStore removes from "MY" the certificate with thumbprint |sha1| (only the store
// entry: its key container is kept). Returns false when the store cannot be opened, no such
// certificate is there, or the store refuses.
bool DeleteFromPersonalStore(const Thumbprint& sha1);

}  // namespace kelvadrome
