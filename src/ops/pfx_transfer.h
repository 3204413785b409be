// Moving certificates with their keys between the user's personal store "MY" and PFX files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/outcome.h"
#include "platform/secrets.h"
#include "ui/page_dialogs.h"

namespace kelvadrome {

class DialogHost;
class PfxStore;

using PfxLoading = Outcome<>;

// LoadUserPfxFile loads the PFX file |path| into |pfx| for the workers that move keys: as
// PfxStore::Load (0, 5005, 5401, 5207, 5208), except that a key store denying access gives 5906.
PfxLoading LoadUserPfxFile(PfxStore& pfx, const std::string& path, std::string_view password,
                           uint32_t flags);

// OpenRequestedPfxFile asks for the file and its password in the PFX file dialog when any of
// |folder|, |file_name| and |password| is empty (replacing them with the answers), gives 5902 when
// no file is at the path, and then loads it as LoadUserPfxFile does. The dialog's 5070/5002 are
// passed on.
PfxLoading OpenRequestedPfxFile(DialogHost& host, std::string& folder, std::string& file_name,
                                SecretString& password, int32_t min_password_length,
                                int32_t max_password_length, uint32_t flags, PfxStore& pfx);

// CertificateHasKeyUsage is true when |key_usage| is 0 or below, or when every one of its bits is
// in the key usage of the certificate |der|.
bool CertificateHasKeyUsage(const std::vector<uint8_t>& der, int32_t key_usage);

// A PFX file a worker opens to take certificates from (importing them, or only reading them).
struct PfxFileRequest {
  std::string folder;     // narrow text; empty: asked in the PFX file dialog
  std::string file_name;  // narrow text; empty: asked
  SecretString password;  // narrow text; empty: asked (and may stay empty)
  int32_t flags = 0;      // bit 0: keys exportable, bit 1: keys user-protected
  int32_t key_usage = 0;  // when above 0, every bit must be in the certificate's key usage
  int32_t min_password_length = 0;
  int32_t max_password_length = 16;
};

// What a worker took from a PFX file, set when it took at least one certificate: the folder and
// name in use (after any dialog) and the DER of every certificate taken, one after another.
struct PfxFileCertificates {
  std::string folder;
  std::string file_name;
  std::vector<uint8_t> certificates;

  // Take adds |der|, taken from the file |request| names.
  void Take(const PfxFileRequest& request, const std::vector<uint8_t>& der);
};

using PfxImportOutcome = Outcome<PfxFileCertificates>;

// ImportPfxFile copies the key-bearing certificates of a PFX file into "MY", each linked to its
// key, which is copied into the profile. Codes: 0 (at least one imported), 5070/5002 (dialog
// cancelled or unavailable), 5902 (no file at the path), 5401/5207/5208 (file), 5906 (the key store
// denied access), 5201 ("MY"), 5204 (no certificate with a usable key), 5017 (key usage), 5010
// (nothing to import, or "MY" refused the certificate). Nothing is left behind by a failed import.
PfxImportOutcome ImportPfxFile(PfxFileRequest request, DialogHost& host);

struct PfxExportRequest {
  std::string subject_filter;     // the certificate filter text
  std::string folder;             // proposed target folder
  SecretString password;          // proposed password
  std::string default_file_name;  // the component's default PFX file name
  int32_t flags = 0;              // filter bits; 0x200 with the chain; 0x1000 remove from "MY"
  int32_t key_usage = 0;
  int32_t min_password_length = 0;
  int32_t max_password_length = 16;
  // When set, a target folder the caller named is used only as the gate returns it (a refusal
  // gives 5070), and the default file name cannot lead out of that folder: only its last part is
  // used.
  PathGate path_gate{};
};

struct PfxExportPlace {
  std::string folder;  // where the file went, on success
  std::string file_name;
};

using PfxExportOutcome = Outcome<PfxExportPlace>;

// ExportPfxFile writes a certificate of "MY" chosen by the filter (the user picks when several
// match), with its private key and optionally its chain, to a new PFX file under a password the
// user confirms in the PFX export dialog. Codes: 0, 5201, the filter's codes (5010, 5011, 5012,
// 5017), 5070 (cancelled, or a key-use prompt refused), 5002 (dialog unavailable), 5226, 5206,
// 5205 (the key cannot be exported), 5402 (file not written), 1001 (folder). The file is written
// atomically; with 0x1000 the certificate leaves "MY" only after the file is written.
PfxExportOutcome ExportPfxFile(const PfxExportRequest& request, DialogHost& host);

// DefaultPfxFileName returns the name offered for an exported file: |configured| with ".pfx"
// appended unless its lower-case form contains ".pfx"; when |configured| is empty,
// |common_name| + ".pfx".
std::string DefaultPfxFileName(const std::string& configured, const std::string& common_name);

}  // namespace kelvadrome
