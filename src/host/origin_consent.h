// What the person decided for web page origins, kept per user in the profile's registry: an origin
// is always allowed or always denied until the decision is revoked. Origins are ASCII texts such
// as "https://example.test" (ValidOrigin); each has its own branch of the current user's registry
// for the registry methods a page calls.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelvadrome {

enum class OriginDecision { kAllow, kDeny };

// Where the bridge's loopback service listens unless told otherwise (its socket unit too).
inline constexpr uint16_t kBridgeLoopbackPort = 47471;

// ValidOrigin: 1..256 printable ASCII characters without blanks or backslashes.
bool ValidOrigin(std::string_view origin);

// The key below the current user's root where decisions are kept (one REG_DWORD value per origin:
// 1 allow, 0 deny), and the key below which each origin's own branch lies.
inline constexpr std::string_view kOriginDecisionKey = "Software\\Kelvadrome\\Bridge\\Origins";
inline constexpr std::string_view kOriginBranchKey = "Software\\Kelvadrome\\Bridge\\Pages";

// OriginBranch returns the current-user key path that is |origin|'s own registry branch.
std::string OriginBranch(std::string_view origin);

// StoredOriginDecision returns the kept decision for |origin|, or nullopt.
std::optional<OriginDecision> StoredOriginDecision(std::string_view origin);
// StoreOriginDecision keeps |decision| for |origin|; false when the profile cannot be written.
bool StoreOriginDecision(std::string_view origin, OriginDecision decision);
// StoredOriginDecisions lists every kept decision (empty when there are none).
std::vector<std::pair<std::string, OriginDecision>> StoredOriginDecisions();
// RevokeOriginDecision forgets the decision for |origin|; false when none was kept.
bool RevokeOriginDecision(std::string_view origin);

}  // namespace kelvadrome
