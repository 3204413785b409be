// Connects the key containers' question "may this user-protected key be used?" to the user: the
// key-use dialog on the process's dialog host.
#pragma once

namespace kelvadrome {

// InstallKeyUsePrompt makes the key-use dialog the process's answer to that question. Only the
// first call acts; an embedding program may install its own answer afterwards.
void InstallKeyUsePrompt();

}  // namespace kelvadrome
