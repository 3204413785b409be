// The filter language on arbitrary text: splits the input into alternatives, conditions and name
// parts and matches them against each other. Checks the shapes the splitters promise (no "//"
// left inside an alternative, pieces longer than 3 characters, parts trimmed and free of line
// breaks, conditions a subset of the items) and that a part list always satisfies itself in the
// per-component mode.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "codec/dn_filter.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool IsWhiteSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool HasComponentKey(const std::string& item) {
  return item.starts_with("C=") || item.starts_with("O=") || item.starts_with("OU=") ||
         item.starts_with("CN=");
}

// Items never hold line breaks; parts are also trimmed (a condition is not: what follows its
// prefix is kept as it is).
void CheckItems(const std::vector<std::string>& items, bool trimmed) {
  for (const std::string& item : items) {
    Check(item.find('\r') == std::string::npos && item.find('\n') == std::string::npos);
    if (!trimmed || item.empty()) continue;
    Check(!IsWhiteSpace(item.front()) && !IsWhiteSpace(item.back()));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const std::vector<std::string> alternatives = kelvadrome::SplitAlternatives(text);
  size_t total = 0;
  for (const std::string& alternative : alternatives) {
    Check(alternative.size() > 3 && alternative.find("//") == std::string::npos);
    total += alternative.size();
  }
  Check(total <= text.size());

  const std::vector<std::string> parts = kelvadrome::SplitName(text);
  CheckItems(parts, true);
  bool any_component = false;
  for (const std::string& part : parts) any_component = any_component || HasComponentKey(part);
  Check(kelvadrome::MatchEveryComponent(parts, parts) == (parts.empty() || any_component));

  for (const std::string& alternative : alternatives) {
    const auto subject = kelvadrome::ParseConditions(alternative, "S_");
    const auto issuer = kelvadrome::ParseConditions(alternative, "I_");
    Check(subject.size() + issuer.size() <= kelvadrome::SplitName(alternative).size());
    CheckItems(subject, false);
    kelvadrome::MatchEveryCondition(subject, parts);
    kelvadrome::MatchEveryCondition(issuer, parts);
    kelvadrome::MatchEveryComponent(subject, parts);
  }
  return 0;
}
