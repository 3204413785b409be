// The files and folders the person picked for web page origins, kept per user in the profile's
// registry so that a page that names the same path again is not asked about it again. The picks
// lie below kOriginPicksKey, outside every origin's own branch (kOriginBranchKey), which the page
// itself can write.
//
// Each origin has one key, kOriginPicksKey\<origin>; each pick is one REG_SZ value holding the path
// (narrow text, as the workers use it), named "<use>:<hex of the path's bytes>": the name is exact
// although registry names compare without regard to letter case, and a pick for one use (reading a
// file) grants no other (rewriting it).
#pragma once

#include <string>
#include <string_view>

namespace kelvadrome {

inline constexpr std::string_view kOriginPicksKey = "Software\\Kelvadrome\\Bridge\\Picks";

// OriginPicksKey returns the current-user key path that holds |origin|'s picks.
std::string OriginPicksKey(std::string_view origin);

// IsPickedPath tells whether the person picked exactly |path| for |use| (a PathUseName word) for
// |origin|.
bool IsPickedPath(std::string_view origin, std::string_view use, std::string_view path);

// RememberPickedPath keeps that pick; false when the profile cannot be written.
bool RememberPickedPath(std::string_view origin, std::string_view use, std::string_view path);

// ForgetOriginPicks removes every pick of |origin|; false when none was kept.
bool ForgetOriginPicks(std::string_view origin);

}  // namespace kelvadrome
