#include "frame/page_hooks.h"

#include <utility>

#include "host/origin_picks.h"
#include "ui/dialog_host.h"

namespace kelvadrome {

PathGate MakeOriginPathGate(std::string origin, DialogHost* host) {
  return [origin = std::move(origin), host](PathUse use,
                                            const std::string& path) -> std::optional<std::string> {
    const std::string_view use_name = PathUseName(use);
    if (IsPickedPath(origin, use_name, path)) return path;
    std::optional<std::string> picked =
        AskPathPick(host != nullptr ? *host : CurrentDialogHost(), origin, use, path);
    // A pick that cannot be kept is still the person's answer for this call.
    if (picked) RememberPickedPath(origin, use_name, *picked);
    return picked;
  };
}

DeleteConfirmation MakeOriginDeleteConfirmation(std::string origin, DialogHost* host) {
  return [origin = std::move(origin), host](const std::string& subject) {
    return AskDeleteConfirmation(host != nullptr ? *host : CurrentDialogHost(), origin, subject);
  };
}

}  // namespace kelvadrome
