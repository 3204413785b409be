// DnFilter: the component's small language for choosing certificates by subject and issuer. A
// filter text is a list of alternatives separated by "//"; an alternative is a comma-separated list
// of KEY=VALUE conditions, each prefixed by "S_" (about the subject) or "I_" (about the issuer).
// Conditions are matched against the parts of the name texts CertInfo produces ("C=FR, O=Acme,
// CN=Name"), the subject's parts being followed by one extra part "SN=<serial hex>".
//
// Keys with meaning are "C=", "O=", "OU=", "CN=" and "SN=" (upper case, at the start of a condition
// or part). Two matching modes exist, chosen by bit 0x008 of the caller's flags:
//   - set (MatchEveryCondition): every condition with a known key must be satisfied by some part;
//     CN is a substring match, O and OU are substring matches when the value holds "%", SN ignores
//     letter case;
//   - clear (MatchEveryComponent): every C, O, OU and CN part of the subject must be listed,
//     exactly, among the conditions.
//
// The text functions work on UTF-8: the caller converts a filter with NarrowToUtf8 before
// SplitAlternatives, and CertificateMatchesFilter reads the certificate's name texts (narrow, in
// the process code page) the same way. In UTF-8 a byte below 0x80 is always a character of its own
// and a match of whole characters starts on a character, so the byte-wise splitting ("//", ",",
// "\\n") and substring matching here never cut a character or match across two; in code page 950
// the second byte of a character can be '\\', '@' or a letter. None fails, and any input, however
// malformed, yields some (possibly empty) result.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelvadrome {

class CertInfo;
struct CertificateSummary;

// The flag bit that selects MatchEveryCondition over MatchEveryComponent.
inline constexpr uint32_t kFilterMatchEveryCondition = 0x008;

// SplitAlternatives cuts |filter| at every "//" and returns, in order, the pieces longer than 3
// characters. A filter shorter than 2 characters gives an empty list. An empty list means the
// filter imposes no condition.
std::vector<std::string> SplitAlternatives(std::string_view filter);

// SplitName splits a subject or issuer text into its KEY=VALUE parts, trimmed of white space. A
// piece without "=" (or starting with "=") continues the previous part, so "O=Acme, Inc." stays
// one part.
std::vector<std::string> SplitName(std::string_view text);

// ParseConditions splits |alternative| as SplitName does and keeps, in order, the items that start
// with |prefix| ("S_" or "I_", case-sensitive), with the prefix removed.
std::vector<std::string> ParseConditions(std::string_view alternative, std::string_view prefix);

// MatchEveryCondition returns true when |conditions| is empty, or when at least one condition has a
// known key and every such condition is satisfied by some element of |parts|. Conditions with
// unknown keys are skipped; conditions without parts never match.
bool MatchEveryCondition(const std::vector<std::string>& conditions,
                         const std::vector<std::string>& parts);

// MatchEveryComponent returns true when |conditions| is empty, or when |parts| has at least one C,
// O, OU or CN part and every such part equals (case-sensitively) one of |conditions|. Other parts
// are skipped.
bool MatchEveryComponent(const std::vector<std::string>& conditions,
                         const std::vector<std::string>& parts);

// CertificateMatchesFilter returns true when |alternatives| (from SplitAlternatives of the UTF-8
// filter) is empty or
// when the certificate in |info| matches one of them, in order, under the matching mode of bit
// 0x008 of |flags|. With nothing loaded in |info| the name texts are empty.
bool CertificateMatchesFilter(const CertInfo& info, const std::vector<std::string>& alternatives,
                              uint32_t flags);

// One alternative with its conditions parsed, for callers that match many certificates against
// the same filter.
struct ParsedAlternative {
  std::vector<std::string> subject;  // ParseConditions(alternative, "S_")
  std::vector<std::string> issuer;   // ParseConditions(alternative, "I_")
};

// ParseAlternatives parses every alternative of |alternatives| (from SplitAlternatives), in order.
std::vector<ParsedAlternative> ParseAlternatives(const std::vector<std::string>& alternatives);

// CertificateMatchesFilter is the form above over alternatives already parsed.
bool CertificateMatchesFilter(const CertInfo& info,
                              const std::vector<ParsedAlternative>& alternatives, uint32_t flags);
// The same over a certificate's summary, which gives the texts CertInfo gives.
bool CertificateMatchesFilter(const CertificateSummary& summary,
                              const std::vector<ParsedAlternative>& alternatives, uint32_t flags);

}  // namespace kelvadrome
