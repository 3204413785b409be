#include "codec/certificate_summary.h"

#include <algorithm>
#include <unordered_map>

#include "codec/cert_info.h"
#include "platform/byte_reader.h"
#include "platform/certificate.h"
#include "platform/last_error.h"

namespace kelvadrome {
namespace {

// The stored form: one version octet, the key usage, both validity bounds, then the four texts,
// each as a 32-bit length and its bytes. Numbers are little-endian. A change of what a field holds
// (a name formatted another way) takes a new version, so that older summaries are worked out again.
constexpr uint8_t kSummaryVersion = 1;

// Texts longer than this are not from a certificate the decoder takes in a store.
constexpr uint32_t kMaxTextLength = 1u << 20;

// Reading more than this many certificates one query each costs more than walking the store once.
constexpr size_t kMostSingleReads = 32;

void AppendUint64(std::vector<uint8_t>& out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void AppendText(std::vector<uint8_t>& out, const std::string& text) {
  const auto length = static_cast<uint32_t>(text.size());
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(length >> (8 * i)));
  out.insert(out.end(), text.begin(), text.end());
}

}  // namespace

std::string CertificateSummary::NarrowSubject() const {
  return CutNarrowText(subject, CertInfo::kMaxNameLength);
}

std::string CertificateSummary::NarrowIssuer() const {
  return CutNarrowText(issuer, CertInfo::kMaxNameLength);
}

std::string CertificateSummary::NarrowSubjectCN() const {
  return CutNarrowText(subject_cn, CertInfo::kMaxCommonNameLength);
}

bool CertificateSummary::IsCaCertificate() const {
  // Equal whole texts stay equal once converted and cut; only unequal ones need the narrow forms,
  // which a cut or a character the code page lacks can make equal.
  if (subject == issuer || NarrowIssuer() == NarrowSubject()) return true;
  return (key_usage & 0x06) != 0;
}

CertificateSummary SummarizeCertificate(const Certificate& certificate) {
  CertificateSummary summary;
  summary.subject = FormatDistinguishedName(certificate.subject());
  summary.issuer = FormatDistinguishedName(certificate.issuer());
  summary.subject_cn = FirstCommonName(certificate.subject());
  const CertInfo info(certificate);
  summary.serial = info.GetSerial();
  summary.not_before = certificate.not_before();
  summary.not_after = certificate.not_after();
  summary.key_usage = certificate.key_usage().value_or(0);
  return summary;
}

std::vector<uint8_t> EncodeCertificateSummary(const CertificateSummary& summary) {
  std::vector<uint8_t> out;
  out.reserve(1 + 1 + 16 + 16 + summary.subject.size() + summary.issuer.size() +
              summary.subject_cn.size() + summary.serial.size());
  out.push_back(kSummaryVersion);
  out.push_back(static_cast<uint8_t>(summary.key_usage));
  AppendUint64(out, static_cast<uint64_t>(summary.not_before));
  AppendUint64(out, static_cast<uint64_t>(summary.not_after));
  AppendText(out, summary.subject);
  AppendText(out, summary.issuer);
  AppendText(out, summary.subject_cn);
  AppendText(out, summary.serial);
  return out;
}

std::optional<CertificateSummary> DecodeCertificateSummary(std::span<const uint8_t> bytes) {
  ByteReader reader(bytes);
  uint8_t version = 0;
  uint8_t key_usage = 0;
  uint64_t not_before = 0;
  uint64_t not_after = 0;
  CertificateSummary summary;
  if (!reader.ReadU8(version) || version != kSummaryVersion || !reader.ReadU8(key_usage) ||
      !reader.ReadU64(not_before) || !reader.ReadU64(not_after) ||
      !reader.ReadU32PrefixedText(summary.subject, kMaxTextLength) ||
      !reader.ReadU32PrefixedText(summary.issuer, kMaxTextLength) ||
      !reader.ReadU32PrefixedText(summary.subject_cn, kMaxTextLength) ||
      !reader.ReadU32PrefixedText(summary.serial, kMaxTextLength) || !reader.empty()) {
    return std::nullopt;
  }
  summary.not_before = static_cast<int64_t>(not_before);
  summary.not_after = static_cast<int64_t>(not_after);
  summary.key_usage = key_usage;
  return summary;
}

std::optional<std::vector<SummarizedCertificate>> SummarizeStore(CertStore& store) {
  std::optional<std::vector<ListedCertificate>> listed = store.List();
  if (!listed) return std::nullopt;
  const uint32_t listing_error = LastPlatformError();
  std::vector<SummarizedCertificate> summarized;
  summarized.reserve(listed->size());
  std::vector<std::pair<int64_t, std::vector<uint8_t>>> worked_out;
  for (ListedCertificate& entry : *listed) {
    std::optional<CertificateSummary> summary = DecodeCertificateSummary(entry.summary);
    if (!summary) {
      if (entry.der.empty()) {
        std::optional<StoredCertificate> stored = store.Get(entry.id);
        if (!stored) continue;  // gone since it was listed
        entry.der = std::move(stored->der);
      }
      Certificate certificate;
      if (!certificate.Decode(entry.der.data(), entry.der.size())) continue;
      summary = SummarizeCertificate(certificate);
      worked_out.emplace_back(entry.id, EncodeCertificateSummary(*summary));
    }
    summarized.push_back({entry.id, entry.sha1, std::move(*summary)});
  }
  store.CacheSummaries(worked_out);
  SetLastPlatformError(summarized.empty() ? listing_error : 0);
  return summarized;
}

std::vector<StoredCertificate> ReadCertificates(CertStore& store, const std::vector<int64_t>& ids) {
  std::vector<StoredCertificate> found;
  found.reserve(ids.size());
  if (ids.size() <= kMostSingleReads) {
    for (const int64_t id : ids) {
      std::optional<StoredCertificate> stored = store.Get(id);
      if (stored) found.push_back(std::move(*stored));
    }
    return found;
  }
  std::optional<std::vector<StoredCertificate>> all = store.Enumerate();
  if (!all) return found;
  std::unordered_map<int64_t, size_t> place;
  place.reserve(all->size());
  for (size_t i = 0; i < all->size(); ++i) place.emplace((*all)[i].id, i);
  for (const int64_t id : ids) {
    const auto it = place.find(id);
    if (it != place.end()) found.push_back(std::move((*all)[it->second]));
  }
  return found;
}

}  // namespace kelvadrome
