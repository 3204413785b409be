#include "bridge_manifests.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/text.h"
#include "ui/dialog_protocol.h"

namespace kelvadrome::bridge_manifests {

std::vector<Place> Places(const std::string& home, bool system) {
  if (system) {
    return {{"Chromium", "/etc/chromium/native-messaging-hosts", false},
            {"Chrome", "/etc/opt/chrome/native-messaging-hosts", false},
            {"Firefox", "/usr/lib/mozilla/native-messaging-hosts", true}};
  }
  return {{"Chromium", home + "/.config/chromium/NativeMessagingHosts", false},
          {"Chrome", home + "/.config/google-chrome/NativeMessagingHosts", false},
          {"Firefox", home + "/.mozilla/native-messaging-hosts", true}};
}

std::optional<std::string> ManifestText(const std::string& bridge, const Place& place) {
  if (bridge.empty() || bridge.front() != '/' || !IsWellFormedUtf8(bridge)) return std::nullopt;
  for (const unsigned char c : bridge) {
    if (c < 0x20 || c == 0x7F) return std::nullopt;
  }
  std::string text = "{\n  \"name\": ";
  AppendJsonString(text, kHostName);
  text += ",\n  \"description\": \"The certificate component for web pages (kelvadrome-bridge)\"";
  text += ",\n  \"path\": ";
  AppendJsonString(text, bridge);
  text += ",\n  \"type\": \"stdio\",\n";
  if (place.firefox) {
    text += "  \"allowed_extensions\": [";
    AppendJsonString(text, kFirefoxExtensionId);
  } else {
    text += "  \"allowed_origins\": [";
    AppendJsonString(text, "chrome-extension://" + std::string(kChromiumExtensionId) + "/");
  }
  text += "]\n}\n";
  return text;
}

ManifestState StateOf(const Place& place, const std::string& bridge) {
  std::ifstream in(place.File(), std::ios::binary);
  if (!in) return ManifestState::kMissing;
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::optional<std::string> wanted = ManifestText(bridge, place);
  return wanted && text == *wanted ? ManifestState::kCurrent : ManifestState::kDifferent;
}

std::vector<std::string> ConfinedBrowsers(const std::string& home) {
  std::vector<std::string> notes;
  std::error_code error;
  const struct {
    std::string where;
    const char* what;
  } known[] = {
      {"/snap/bin/chromium", "Chromium as a snap"},
      {"/snap/bin/firefox", "Firefox as a snap"},
      {home + "/.var/app/org.chromium.Chromium", "Chromium as a Flatpak"},
      {home + "/.var/app/com.google.Chrome", "Chrome as a Flatpak"},
      {home + "/.var/app/org.mozilla.firefox", "Firefox as a Flatpak"},
  };
  for (const auto& browser : known) {
    if (std::filesystem::exists(browser.where, error)) {
      notes.push_back(std::string(browser.what) + " (" + browser.where +
                      "): confined, it does not read the manifests above; use the loopback "
                      "service, or the desktop's web-extension portal where the browser supports "
                      "it");
    }
  }
  return notes;
}

}  // namespace kelvadrome::bridge_manifests
