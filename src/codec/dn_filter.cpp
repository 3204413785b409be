#include "codec/dn_filter.h"

#include <algorithm>

#include "codec/cert_info.h"
#include "codec/certificate_summary.h"
#include "platform/text.h"

namespace kelvadrome {
namespace {

enum class Key { kNone, kC, kO, kOU, kCN, kSN };

// KeyOf returns the known key |text| starts with (upper case only).
Key KeyOf(std::string_view text) {
  if (text.starts_with("C=")) return Key::kC;
  if (text.starts_with("O=")) return Key::kO;
  if (text.starts_with("OU=")) return Key::kOU;
  if (text.starts_with("CN=")) return Key::kCN;
  if (text.starts_with("SN=")) return Key::kSN;
  return Key::kNone;
}

std::string_view KeyText(Key key) {
  switch (key) {
    case Key::kC:
      return "C=";
    case Key::kO:
      return "O=";
    case Key::kOU:
      return "OU=";
    case Key::kCN:
      return "CN=";
    case Key::kSN:
      return "SN=";
    case Key::kNone:
      break;
  }
  return {};
}

// ReplaceAll replaces every occurrence of |from| (not empty) in |text|, scanning left to right in
// one pass: text produced by a replacement is not looked at again.
void ReplaceAll(std::string& text, std::string_view from, std::string_view to) {
  if (text.find(from) == std::string::npos) return;
  std::string out;
  out.reserve(text.size());
  size_t start = 0;
  for (size_t found = text.find(from); found != std::string::npos; found = text.find(from, start)) {
    out.append(text, start, found - start);
    out.append(to);
    start = found + from.size();
  }
  out.append(text, start, std::string::npos);
  text.swap(out);
}

bool IsWhiteSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string Trimmed(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsWhiteSpace(text[begin])) ++begin;
  while (end > begin && IsWhiteSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::string WithoutPercent(std::string_view text) {
  std::string out(text);
  std::erase(out, '%');
  return out;
}

char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return AsciiLower(x) == AsciiLower(y);
         });
}

bool Contains(std::string_view text, std::string_view piece) {
  return text.find(piece) != std::string_view::npos;
}

// Satisfies tells whether |part| satisfies |condition|, whose known key is |key|.
bool Satisfies(Key key, const std::string& condition, const std::string& part) {
  switch (key) {
    case Key::kC:
      return part == condition;
    case Key::kO:
    case Key::kOU: {
      if (!Contains(condition, "%")) return part == condition;
      const std::string_view key_text = KeyText(key);
      const std::string value = WithoutPercent(std::string_view(condition).substr(key_text.size()));
      return Contains(part, key_text) && Contains(part, value);
    }
    case Key::kCN: {
      // Where the value first occurs must not be the part's first character: an empty value
      // (found at 0) never matches, nor does one the part starts with.
      const std::string value = WithoutPercent(std::string_view(condition).substr(3));
      const size_t found = part.find(value);
      return Contains(part, "CN=") && found != std::string::npos && found != 0;
    }
    case Key::kSN:
      return Contains(part, "SN=") && EqualsIgnoringCase(part, condition);
    case Key::kNone:
      break;
  }
  return false;
}

// AlternativeMatches applies one alternative to the parts of a certificate's names.
bool AlternativeMatches(const ParsedAlternative& alternative,
                        const std::vector<std::string>& subject_parts,
                        const std::vector<std::string>& issuer_parts, bool every_condition) {
  if (!every_condition) return MatchEveryComponent(alternative.subject, subject_parts);
  return MatchEveryCondition(alternative.issuer, issuer_parts) &&
         MatchEveryCondition(alternative.subject, subject_parts);
}

}  // namespace

std::vector<std::string> SplitAlternatives(std::string_view filter) {
  std::vector<std::string> alternatives;
  if (filter.size() < 2) return alternatives;
  size_t start = 0;
  while (true) {
    const size_t found = filter.find("//", start);
    const std::string_view piece = filter.substr(
        start, found == std::string_view::npos ? std::string_view::npos : found - start);
    if (piece.size() > 3) alternatives.emplace_back(piece);
    if (found == std::string_view::npos) break;
    start = found + 2;
  }
  return alternatives;
}

std::vector<std::string> SplitName(std::string_view text) {
  std::string normal(text);
  ReplaceAll(normal, "\\n", ",");
  std::erase(normal, '\r');
  std::replace(normal.begin(), normal.end(), '\n', ',');
  ReplaceAll(normal, " =", "=");
  ReplaceAll(normal, "= ", "=");

  std::vector<std::string> items;
  std::string accumulator;
  size_t start = 0;
  while (start <= normal.size()) {
    size_t end = normal.find(',', start);
    if (end == std::string::npos) end = normal.size();
    const std::string_view piece = std::string_view(normal).substr(start, end - start);
    start = end + 1;
    if (piece.empty()) continue;
    const size_t equals = piece.find('=');
    if (equals != std::string_view::npos && equals >= 1) {
      // A new item. The one before is kept when it holds anything, even if only white space
      // (it is then kept as an empty item).
      if (!accumulator.empty()) items.push_back(Trimmed(accumulator));
      accumulator.assign(piece);
    } else {
      if (!accumulator.empty()) accumulator += ',';
      accumulator.append(piece);
    }
  }
  // The last item is kept only when something is left of it once trimmed.
  std::string last = Trimmed(accumulator);
  if (!last.empty()) items.push_back(std::move(last));
  return items;
}

std::vector<std::string> ParseConditions(std::string_view alternative, std::string_view prefix) {
  std::vector<std::string> conditions;
  for (std::string& item : SplitName(alternative)) {
    if (!item.starts_with(prefix)) continue;
    item.erase(0, prefix.size());
    conditions.push_back(std::move(item));
  }
  return conditions;
}

bool MatchEveryCondition(const std::vector<std::string>& conditions,
                         const std::vector<std::string>& parts) {
  if (conditions.empty()) return true;
  if (parts.empty()) return false;
  bool result = false;
  for (const std::string& condition : conditions) {
    const Key key = KeyOf(condition);
    if (key == Key::kNone) continue;
    const bool satisfied = std::any_of(parts.begin(), parts.end(), [&](const std::string& part) {
      return Satisfies(key, condition, part);
    });
    if (!satisfied) return false;
    result = true;
  }
  return result;
}

bool MatchEveryComponent(const std::vector<std::string>& conditions,
                         const std::vector<std::string>& parts) {
  if (conditions.empty()) return true;
  if (parts.empty()) return false;
  bool result = false;
  for (const std::string& part : parts) {
    const Key key = KeyOf(part);
    if (key == Key::kNone || key == Key::kSN) continue;
    if (std::find(conditions.begin(), conditions.end(), part) == conditions.end()) return false;
    result = true;
  }
  return result;
}

std::vector<ParsedAlternative> ParseAlternatives(const std::vector<std::string>& alternatives) {
  std::vector<ParsedAlternative> parsed;
  parsed.reserve(alternatives.size());
  for (const std::string& alternative : alternatives) {
    parsed.push_back({ParseConditions(alternative, "S_"), ParseConditions(alternative, "I_")});
  }
  return parsed;
}

bool CertificateMatchesFilter(const CertInfo& info, const std::vector<std::string>& alternatives,
                              uint32_t flags) {
  return CertificateMatchesFilter(info, ParseAlternatives(alternatives), flags);
}

namespace {

// The match over the certificate's narrow texts; |issuer| gives the issuer text, read only when
// the mode needs it.
template <typename IssuerText>
bool NamesMatchFilter(const std::string& subject, const IssuerText& issuer,
                      const std::string& serial,
                      const std::vector<ParsedAlternative>& alternatives, uint32_t flags) {
  if (alternatives.empty()) return true;
  const bool every_condition = (flags & kFilterMatchEveryCondition) != 0;
  std::vector<std::string> subject_parts = SplitName(NarrowToUtf8(subject));
  subject_parts.push_back("SN=" + serial);
  // Without bit 0x008 only the subject counts.
  std::vector<std::string> issuer_parts;
  if (every_condition) issuer_parts = SplitName(NarrowToUtf8(issuer()));
  return std::any_of(
      alternatives.begin(), alternatives.end(), [&](const ParsedAlternative& alternative) {
        return AlternativeMatches(alternative, subject_parts, issuer_parts, every_condition);
      });
}

}  // namespace

bool CertificateMatchesFilter(const CertInfo& info,
                              const std::vector<ParsedAlternative>& alternatives, uint32_t flags) {
  if (alternatives.empty()) return true;
  return NamesMatchFilter(
      info.GetSubject(), [&] { return info.GetIssuer(); }, info.GetSerial(), alternatives, flags);
}

bool CertificateMatchesFilter(const CertificateSummary& summary,
                              const std::vector<ParsedAlternative>& alternatives, uint32_t flags) {
  if (alternatives.empty()) return true;
  return NamesMatchFilter(
      summary.NarrowSubject(), [&] { return summary.NarrowIssuer(); }, summary.serial,
      alternatives, flags);
}

}  // namespace kelvadrome
