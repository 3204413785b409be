// The certificates of present tokens in the user's "MY" store, as a desktop shows the
// certificates of an inserted smart card. Each certificate on a present token whose key pair is
// beside it (a key object of the same CKA_ID) is added to "MY" with a key-provider link to a card
// container naming that key (KeyContainerStore::AdoptTokenKey) and marked with
// cert_property::kTokenSource; a marked certificate whose token is no longer present is removed.
// A certificate that was in "MY" before (one the component enrolled on the token, say) is left as
// it is, and certificates without the mark are never removed. Tokens are read without logging in,
// so this never asks for a PIN.
#pragma once

#include <chrono>
#include <memory>

#include "platform/cert_store.h"
#include "platform/profile.h"

namespace kelvadrome {

// SyncTokenCertificates brings |my| (the user's "MY" store, open through |profile|) up to date
// with the tokens present now. False with the error recorded when the profile cannot be read or
// written; a token that cannot be read keeps what it had in the store.
bool SyncTokenCertificates(CertStore& my, const std::shared_ptr<ProfileDatabase>& profile);

// RefreshTokenCertificates calls SyncTokenCertificates unless this process did so less than the
// refresh interval ago (2 s: opening "MY" calls it, and one call of the component may open the
// store several times). It records no error: the last error is what it was before.
void RefreshTokenCertificates(CertStore& my, const std::shared_ptr<ProfileDatabase>& profile);

// SetTokenRefreshInterval sets that interval for the process and returns the one it replaces.
std::chrono::milliseconds SetTokenRefreshInterval(std::chrono::milliseconds interval);

}  // namespace kelvadrome
