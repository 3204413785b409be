// Connects the key containers' questions to the user, on the process's dialog host: "may this
// user-protected key be used?" (the key-use dialog), a token's PIN (the pin dialog) and which
// token a new card key goes to (the token-choice dialog).
#pragma once

namespace kelvadrome {

// InstallKeyUsePrompt makes those dialogs the process's answers. Only the first call acts; an
// embedding program may install its own answers afterwards.
void InstallKeyUsePrompt();

}  // namespace kelvadrome
