// FilterCertificates: chooses the certificates of a store that a caller may use, by filter text
// (dn_filter.h), key usage and validity at a point in time. Certificate authorities (self-issued
// certificates, or ones whose key usage allows certificate or CRL signing) are never chosen.
//
// Two forms share the rules:
//   - kStore (the personal store or any open store): collects every accepted certificate in store
//     order, or, in choice mode 2, only the best one by the ordering bits;
//   - kPfx (the certificates of a loaded PFX file): stops at the first accepted certificate.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/cert_store.h"
#include "platform/outcome.h"

namespace kelvadrome {

// Bits of the |flags| argument that FilterCertificates reads (others are ignored).
namespace filter_flag {
inline constexpr uint32_t kChoiceModeMask = 0x003;  // 2: keep only the best certificate
inline constexpr uint32_t kCheckValidity = 0x004;
inline constexpr uint32_t kMatchEveryCondition = 0x008;  // see dn_filter.h
inline constexpr uint32_t kEarliestStart = 0x020;        // choice mode 2 orderings, first set wins
inline constexpr uint32_t kLatestEnd = 0x040;
inline constexpr uint32_t kEarliestEnd = 0x080;
}  // namespace filter_flag

enum class FilterForm { kStore, kPfx };

// code: 0 when at least one certificate was accepted; platform_error: the platform's last error
// as the holder should record it.
using FilterResult = Outcome<>;

// FilterCertificates empties |candidates|, then visits the certificates of |store| in enumeration
// order and appends copies of the accepted ones (the caller owns them; |store| is neither changed
// nor closed).
//
// |filter| is a DnFilter text, narrow in the process code page (empty: no text condition); |flags|
// as in filter_flag; |key_usage|, when 1 or more, the key-usage bits (first octet) every candidate
// must have; |comparison_time| the UTC seconds since 1970 at which validity is checked (absent:
// now). Validity bounds are inclusive.
//
// Returns code 0 when a certificate was accepted. Otherwise 5010 when |store| is null or when
// nothing was accepted and no rejection was recorded; or the last rejection recorded while the
// list was empty: 5017 (key usage), 5011 (expired), 5012 (not yet valid). In the store form a
// rejection after an acceptance records nothing.
FilterResult FilterCertificates(CertStore* store, FilterForm form, std::string_view filter,
                                uint32_t flags, int32_t key_usage,
                                std::optional<int64_t> comparison_time,
                                std::vector<StoredCertificate>& candidates);

}  // namespace kelvadrome
