#include "codec/certificate_filter.h"

#include <ctime>
#include <string>
#include <utility>

#include "codec/cert_info.h"
#include "codec/certificate_summary.h"
#include "codec/dn_filter.h"
#include "platform/error_codes.h"
#include "platform/last_error.h"
#include "platform/text.h"

namespace kelvadrome {
namespace {

// The ordering of choice mode 2: which validity bound it compares and which way. The first
// ordering bit set wins; without one the newest certificate (latest start) is kept.
struct Ordering {
  bool by_end;
  bool earlier;
};

Ordering OrderingOf(uint32_t flags) {
  if ((flags & filter_flag::kEarliestStart) != 0) return {false, true};
  if ((flags & filter_flag::kLatestEnd) != 0) return {true, false};
  if ((flags & filter_flag::kEarliestEnd) != 0) return {true, true};
  return {false, false};
}

// OrderingText returns the bound |ordering| compares as a date-and-time text "YYYY/MM/DD
// hh:mm:ss" (local time), whose byte order is time order.
std::string OrderingText(const Ordering& ordering, const CertificateSummary& summary) {
  return FormatCertificateTime(ordering.by_end ? summary.not_after : summary.not_before,
                               CertDateFormat::kDateTime);
}

// IsBetter compares the texts byte by byte. Equal times are not better: the first in store order
// stays.
bool IsBetter(const Ordering& ordering, const std::string& candidate, const std::string& best) {
  return ordering.earlier ? candidate < best : candidate > best;
}

// ValidityAt returns -1 before the start of validity, 1 after its end, 0 within (both bounds
// included).
int ValidityAt(const CertificateSummary& summary, int64_t time) {
  if (time < summary.not_before) return -1;
  if (time > summary.not_after) return 1;
  return 0;
}

}  // namespace

FilterResult FilterCertificates(CertStore* store, FilterForm form, std::string_view filter,
                                uint32_t flags, int32_t key_usage,
                                std::optional<int64_t> comparison_time,
                                std::vector<StoredCertificate>& candidates) {
  FilterResult result;
  if (store == nullptr) {
    result.code = Code(ErrorCode::kCertificateNotFound);
    return result;
  }
  candidates.clear();
  // The filter is matched in UTF-8, as the name texts are (dn_filter.h).
  const std::vector<ParsedAlternative> alternatives =
      ParseAlternatives(SplitAlternatives(NarrowToUtf8(filter)));
  const bool pfx = form == FilterForm::kPfx;
  const bool best_only = !pfx && (flags & filter_flag::kChoiceModeMask) == 2;
  const bool check_validity = (flags & filter_flag::kCheckValidity) != 0;
  const int64_t time =
      comparison_time ? *comparison_time : static_cast<int64_t>(std::time(nullptr));
  std::vector<int64_t> chosen;  // ids of the accepted certificates, in store order
  // A rejection is recorded while nothing has been accepted. The PFX form stops at its first
  // acceptance, so for it that always holds.
  const auto record = [&](int32_t code) {
    if (!pfx && !chosen.empty()) return;
    result.code = code;
    result.platform_error = LastPlatformError();
  };
  const Ordering ordering = OrderingOf(flags);
  std::string best;  // the compared bound of the certificate kept in choice mode 2

  // A store that cannot be read lists nothing: the result is then 5010 with the store's error.
  // The certificates are chosen by their summaries; only the chosen ones are read whole.
  std::optional<std::vector<SummarizedCertificate>> all = SummarizeStore(*store);
  if (all) {
    for (const SummarizedCertificate& listed : *all) {
      const CertificateSummary& summary = listed.summary;
      if (summary.IsCaCertificate()) continue;
      if (key_usage >= 1) {
        const uint32_t wanted = static_cast<uint32_t>(key_usage);
        if ((summary.key_usage & wanted) != wanted) {
          record(Code(ErrorCode::kKeyUsageUnfit));
          continue;
        }
      }
      if (!CertificateMatchesFilter(summary, alternatives, flags)) continue;
      if (check_validity) {
        const int validity = ValidityAt(summary, time);
        if (pfx) result.platform_error = LastPlatformError();
        if (validity < 0) {
          record(Code(ErrorCode::kCertificateNotYetValid));
          continue;
        }
        if (validity > 0) {
          record(Code(ErrorCode::kCertificateExpired));
          continue;
        }
      }

      result.platform_error = LastPlatformError();
      if (!best_only) {
        chosen.push_back(listed.id);
        result.code = 0;
        if (pfx) break;
        continue;
      }
      std::string bound = OrderingText(ordering, summary);
      if (chosen.empty() || IsBetter(ordering, bound, best)) {
        chosen.assign(1, listed.id);
        best = std::move(bound);
        result.code = 0;
      }
    }
  }
  // Each candidate gets a copy of its own. One removed meanwhile (by another process) is not
  // offered.
  const uint32_t last_error = LastPlatformError();
  candidates = ReadCertificates(*store, chosen);
  SetLastPlatformError(last_error);

  if (result.code == 0 && candidates.empty()) {
    result.code = Code(ErrorCode::kCertificateNotFound);
    if (!pfx) result.platform_error = LastPlatformError();
  }
  return result;
}

}  // namespace kelvadrome
