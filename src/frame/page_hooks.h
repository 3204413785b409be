// The hooks a component serving a web page is given (ComponentEnvironment::path_gate and
// confirm_delete): a path the page names is used only once the person picked it for the page's
// origin, and a certificate is removed only once the person agreed. Every dialog names the origin.
#pragma once

#include <string>

#include "ui/page_dialogs.h"

namespace kelvadrome {

class DialogHost;

// MakeOriginPathGate returns the path gate for |origin| (ValidOrigin): a path the person already
// picked for this origin and use (host/origin_picks.h) is used without asking; any other path
// opens the path-pick dialog prefilled with it, and what the person picks there is used and
// remembered for the origin. A cancelled or impossible dialog refuses. |host| null: the process's
// current dialog host at the time of asking.
PathGate MakeOriginPathGate(std::string origin, DialogHost* host = nullptr);

// MakeOriginDeleteConfirmation returns the confirmation for |origin|: the confirm-delete dialog,
// asked every time; true only when the person pressed Yes.
DeleteConfirmation MakeOriginDeleteConfirmation(std::string origin, DialogHost* host = nullptr);

}  // namespace kelvadrome
