// CertificateSummary: the fields of a certificate that filters and listings read, worked out once
// from the DER and kept beside the certificate in the profile (CertStore::CacheSummaries), so that
// choosing among or listing thousands of certificates reads neither their DER nor decodes it.
//
// A summary holds texts before any code-page conversion or length cut (UTF-8, whole); readers
// apply the same conversion and cut CertInfo's getters apply, so a summary gives the very texts
// CertInfo gives, in whatever code page the reading process has.
//
// The stored form is versioned: a summary of another version, or bytes that are not exactly one
// summary (a damaged or altered profile), decode to nothing, and the caller works the summary out
// from the DER again.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/cert_store.h"

namespace kelvadrome {

class Certificate;

struct CertificateSummary {
  std::string subject;     // FormatDistinguishedName of the subject (UTF-8, uncut)
  std::string issuer;      // the same of the issuer
  std::string subject_cn;  // the subject's first common name (UTF-8, uncut; "" when none)
  std::string serial;      // the serial number's octets as upper-case hex
  int64_t not_before = 0;  // UTC seconds since 1970
  int64_t not_after = 0;
  uint32_t key_usage = 0;  // first octet of the key-usage bits; 0 without the extension

  // The texts as CertInfo's getters give them: narrow in the process code page, cut at
  // CertInfo::kMaxNameLength (names) or kMaxCommonNameLength (common name).
  std::string NarrowSubject() const;
  std::string NarrowIssuer() const;
  std::string NarrowSubjectCN() const;
  // As CertInfo::IsCaCertificate: issuer text equal to subject text, or key usage with
  // keyCertSign or cRLSign.
  bool IsCaCertificate() const;
};

// SummarizeCertificate works the summary out from a decoded certificate.
CertificateSummary SummarizeCertificate(const Certificate& certificate);

// EncodeCertificateSummary gives the stored form; DecodeCertificateSummary reads it back, nullopt
// for anything but exactly one summary of the current version.
std::vector<uint8_t> EncodeCertificateSummary(const CertificateSummary& summary);
std::optional<CertificateSummary> DecodeCertificateSummary(std::span<const uint8_t> bytes);

// A certificate of a store with its summary.
struct SummarizedCertificate {
  int64_t id = 0;
  Thumbprint sha1{};
  CertificateSummary summary;
};

// SummarizeStore lists |store| in order with every certificate's summary: the kept one where it
// decodes, else one worked out from the DER, which is then kept for the next reader (a store that
// keeps none, or a profile that refuses the write, loses nothing). A certificate whose DER does
// not decode is left out, as a decoder failure leaves CertInfo empty. Nullopt when the store
// cannot be read. The platform last error is left as decoding the listed certificates would
// leave it (0 after any; as the listing left it after none), whatever the caching did.
std::optional<std::vector<SummarizedCertificate>> SummarizeStore(CertStore& store);

// ReadCertificates returns the stored certificates with the ids in |ids|, in that order; a
// certificate gone since it was listed is left out. Reads one by one when few are asked for, else
// walks the store once.
std::vector<StoredCertificate> ReadCertificates(CertStore& store, const std::vector<int64_t>& ids);

}  // namespace kelvadrome
