// Where browsers look for the page bridge's native-messaging host manifest, what the manifest
// says, and whether a browser will find the bridge: for `kelvadrome bridge install-manifests` and
// `kelvadrome bridge status`.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvadrome::bridge_manifests {

// The host name the extension connects to, and the extension ids a manifest lets in: the
// Chromium family's (from the public key in browser/extension/manifest.json) and Firefox's.
inline constexpr std::string_view kHostName = "org.kelvadrome.bridge";
inline constexpr std::string_view kChromiumExtensionId = "bonjecimildmmljjofiladbpekmdhnio";
inline constexpr std::string_view kFirefoxExtensionId = "page-bridge@kelvadrome";

struct Place {
  std::string browser;  // "Chromium", "Chrome", "Firefox"
  std::string folder;   // where the browser reads host manifests
  bool firefox = false;
  // The file the manifest is in.
  std::string File() const { return folder + "/" + std::string(kHostName) + ".json"; }
};

// Places returns the user's places (below |home|) or the system's.
std::vector<Place> Places(const std::string& home, bool system);

// ManifestText returns the manifest that names the bridge program at |bridge| for a browser of
// |place|'s family; nullopt when |bridge| is not an absolute path in UTF-8 without control
// characters (a manifest is JSON, and browsers start only absolute paths).
std::optional<std::string> ManifestText(const std::string& bridge, const Place& place);

enum class ManifestState { kMissing, kCurrent, kDifferent };

// StateOf compares the manifest file of |place| with the one that names |bridge|: kCurrent only
// when it is that manifest byte for byte (nothing of another writer's file is interpreted).
ManifestState StateOf(const Place& place, const std::string& bridge);

// ConfinedBrowsers returns a note for each snap or Flatpak browser found (below |home| and in
// the system's snap folder): such a browser does not read the places above.
std::vector<std::string> ConfinedBrowsers(const std::string& home);

}  // namespace kelvadrome::bridge_manifests
