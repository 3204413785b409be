#include "ui/dialog_host.h"

#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <utility>
#include <vector>

#include "ui/gui_host.h"
#include "ui/none_host.h"
#include "ui/script_host.h"
#include "ui/tty_host.h"

namespace kelvadrome {

namespace {

struct HostRegistry {
  std::mutex mutex;
  std::unique_ptr<DialogHost> installed;
  std::unique_ptr<DialogHost> from_environment;
  // Hosts that were replaced. They stay alive so that a reference returned by CurrentDialogHost
  // before the replacement never dangles; installing a host is rare (start-up, tests).
  std::vector<std::unique_ptr<DialogHost>> retired;
};

HostRegistry& Registry() {
  static HostRegistry registry;
  return registry;
}

void Retire(HostRegistry& registry, std::unique_ptr<DialogHost> host) {
  if (host) registry.retired.push_back(std::move(host));
}

std::unique_ptr<DialogHost> MakeTerminalHostOrNone() {
  std::unique_ptr<DialogHost> host =
      TtyHost::OpenTerminal(DialogLog(DialogLogPathFromEnvironment()));
  if (!host) host = std::make_unique<NoneHost>();
  return host;
}

// A graphical session: a Wayland or X display is named.
bool HasGraphicalSession() {
  for (const char* name : {"WAYLAND_DISPLAY", "DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

}  // namespace

std::unique_ptr<DialogHost> MakeDialogHost(std::string_view choice) {
  constexpr std::string_view kScriptPrefix = "script:";
  if (choice == "none") return std::make_unique<NoneHost>();
  if (choice == "tty") return MakeTerminalHostOrNone();
  if (choice == "gui") {
    return GuiHost::ForHelper(FindDialogHelper(), DialogLog(DialogLogPathFromEnvironment()));
  }
  if (choice.substr(0, kScriptPrefix.size()) == kScriptPrefix) {
    return ScriptHost::FromFile(std::string(choice.substr(kScriptPrefix.size())),
                                DialogLog(DialogLogPathFromEnvironment()));
  }
  return nullptr;
}

std::unique_ptr<DialogHost> MakeDefaultDialogHost() {
  const char* choice = std::getenv("KELVADROME_DIALOGS");
  if (choice == nullptr || *choice == '\0') {
    if (HasGraphicalSession()) {
      std::string helper = FindDialogHelper();
      if (!helper.empty() && ::access(helper.c_str(), X_OK) == 0) {
        return GuiHost::ForHelper(std::move(helper), DialogLog(DialogLogPathFromEnvironment()));
      }
    }
    return MakeTerminalHostOrNone();
  }
  std::unique_ptr<DialogHost> host = MakeDialogHost(choice);
  if (!host) host = std::make_unique<NoneHost>();
  return host;
}

DialogHost& CurrentDialogHost() {
  HostRegistry& registry = Registry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  if (registry.installed) return *registry.installed;
  if (!registry.from_environment) registry.from_environment = MakeDefaultDialogHost();
  return *registry.from_environment;
}

void InstallDialogHost(std::unique_ptr<DialogHost> host) {
  HostRegistry& registry = Registry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  Retire(registry, std::move(registry.installed));
  if (host) {
    registry.installed = std::move(host);
  } else {
    Retire(registry, std::move(registry.from_environment));
  }
}

}  // namespace kelvadrome
