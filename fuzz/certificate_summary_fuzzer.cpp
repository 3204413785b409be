// Certificate summaries as a profile holds them, which anything that writes the profile file can
// alter: decoding must refuse all but exactly one summary, a summary it takes must encode back to
// the very bytes it came from, and every text derived from it must be computable.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "codec/certificate_summary.h"
#include "codec/dn_filter.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  const auto summary = kelvadrome::DecodeCertificateSummary(bytes);
  if (!summary) return 0;
  Check(kelvadrome::EncodeCertificateSummary(*summary) ==
        std::vector<uint8_t>(bytes.begin(), bytes.end()));
  summary->NarrowSubject();
  summary->NarrowSubjectCN();
  summary->IsCaCertificate();
  const auto alternatives = kelvadrome::ParseAlternatives({"S_CN=a,I_O=b", "S_SN=01"});
  kelvadrome::CertificateMatchesFilter(*summary, alternatives, 0x008);
  kelvadrome::CertificateMatchesFilter(*summary, alternatives, 0);
  return 0;
}
