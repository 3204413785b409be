// Changing the password of a PFX file in place, telling the other instances of the user about the
// new password, and opening a PFX file only to read its certificates.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ops/pfx_transfer.h"

namespace kelvadrome {

class DialogHost;
class SignerShare;

using PfxRewriteOutcome = Outcome<>;

// RewritePfxFile re-encrypts the PFX file at |path| (narrow text) from |old_password| to
// |new_password| (narrow text, the process code page; the old one is tried as the loader does,
// an empty one also as no password). Every certificate of the file is carried over, with its
// private key and friendly name; the new file is written as the component writes every PFX file
// (3DES, SHA-1 MAC, 2048 iterations). A symbolic link at |path| is followed: the file it names is
// rewritten and the link stays.
//
// The file is replaced atomically, and only after the new content has been read back under the
// new password and found to hold the same certificates and keys: whatever fails, the old file is
// left exactly as it was. Codes: 0; the loader's 5005, 5401, 5207, 5208, and 5906 when the key
// store denied access; 5210 when the content cannot be carried over (also for a file holding a
// private key that belongs to none of its certificates, which the new file could not hold), with
// 5070, 5204 or 5205 in its place for a refused key-use prompt, a missing key or a bad key; 1103
// when the new file cannot be written. platform_error tells the platform's reason where there is
// one.
PfxRewriteOutcome RewritePfxFile(const std::string& path, std::string_view old_password,
                                 const SecretString& new_password);

struct PfxPasswordChangeRequest {
  std::string folder;         // narrow text; empty: asked in the change-password dialog
  std::string file_name;      // narrow text; empty: asked
  SecretString old_password;  // narrow text; empty: asked (and may stay empty)
  SecretString new_password;  // narrow text; empty: asked (and may stay empty)
  int32_t min_password_length = 0;
  int32_t max_password_length = 16;
};

// Set when the file was rewritten: its full path and the password that now protects it.
struct ChangedPfxFile {
  std::string path;
  SecretString new_password;
};

using PfxPasswordChangeOutcome = Outcome<ChangedPfxFile>;

// ChangePfxFilePassword re-encrypts a PFX file under a new password. When any of the four texts
// of |request| is empty the user completes them in the change-password dialog, which enforces
// the length range and whose new password and confirmation must agree; when all four are given
// no dialog is shown and no length rule applies. Codes: those of RewritePfxFile, and 5070/5002
// (dialog cancelled or unavailable), 5209 (new password and confirmation differ; nothing done),
// 5902 (no file at the path).
PfxPasswordChangeOutcome ChangePfxFilePassword(PfxPasswordChangeRequest request, DialogHost& host);

// PublishChangedPfxPassword makes |new_password| the published signer's password when the share
// holds a signer from a PFX file whose folder and file name denote the file at
// |changed_path|, so that the instances signing with that file use the new password. The share is
// opened first if this instance has not opened it yet. "Denote the same file" is decided by the
// file system (the same file, reached by either path), not by comparing the texts. Nothing is
// reported: a share that cannot be used is left as it is.
void PublishChangedPfxPassword(SignerShare& share, const std::string& changed_path,
                               const SecretString& new_password);

using PfxQueryOutcome = Outcome<PfxFileCertificates>;

// QueryPfxFile opens a PFX file only to read the certificates that carry a usable private key
// (and, when key_usage is above 0, every bit of it). Nothing is written to any certificate store
// and the keys are forgotten before it returns. Codes: 0 (at least one certificate taken),
// 5070/5002 (dialog), 5902 (no file at the path), the loader's 5005, 5401, 5207, 5208, 5906
// (the key store denied access), 5204 (no certificate with a usable key), 5017 (key usage), 5010
// (no certificate at all).
PfxQueryOutcome QueryPfxFile(PfxFileRequest request, DialogHost& host);

}  // namespace kelvadrome
