// Fresh names for key containers and other per-key objects.
#pragma once

#include <string>

namespace kelvadrome {

// RandomGuidText returns 16 bytes of the system's cryptographically secure generator (getrandom)
// as upper-case hex in the GUID layout, 8-4-4-4-12 digits, e.g.
// "3F2504E0-4F89-11D3-9A0C-0305E82C3301". Names drawn at the same moment differ. Throws
// std::system_error when the generator fails.
std::string RandomGuidText();

}  // namespace kelvadrome
