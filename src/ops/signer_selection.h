// Choosing the signer the signing workers use: a certificate of the personal store "MY" or of a
// PFX file, narrowed by the certificate filter, key usage and validity at a date, picked by the
// user in the certificate list dialog where several remain.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/outcome.h"
#include "platform/secrets.h"
#include "ui/page_dialogs.h"

namespace kelvadrome {

class DialogHost;
class SignerShare;

// Where the selected signer's certificate was found. The numbers are what other instances read
// from the shared signer record.
enum class SignerSource : int32_t {
  kNone = -1,
  kStore = 1,    // the personal store "MY"
  kPfxFile = 2,  // a PFX file
};

// The signer the signing workers use, and what is known of where it came from.
struct SelectedSigner {
  SignerSource source = SignerSource::kNone;
  std::string thumbprint;     // SHA-1, 40 upper-case hex digits
  std::vector<uint8_t> der;   // the certificate (several, one after another, after an import)
  SecretString pfx_password;  // the PFX file's password (kPfxFile)
  std::string pfx_folder;     // the PFX file's folder (kPfxFile)
  std::string pfx_name;       // the PFX file's name (kPfxFile)
};

// ParseCompareDate reads a comparison date: empty text is no date (nullopt in |*when|, true);
// otherwise exactly 14 digits YYYYMMDDhhmmss, a UTC time with month 1-12, day 1 to the month's
// last, hour 0-23, minute and second 0-59. False for anything else.
bool ParseCompareDate(std::string_view text, std::optional<int64_t>* when);

// The sources a selection tries, store first.
struct SignerSources {
  bool store = false;
  bool pfx_file = false;
  bool operator==(const SignerSources&) const = default;
};

// SignerSourcesOf returns the sources dwFlags asks for: 0x100 the store, 0x200 a PFX file; both
// when neither bit is set.
SignerSources SignerSourcesOf(int32_t flags);

struct SignerSelectionRequest {
  enum class Variant { kSelectSigner, kSelectSignerEx, kSelectSignerEx2 };
  Variant variant = Variant::kSelectSigner;
  std::string filter;        // certificate filter text (narrow)
  std::string pfx_folder;    // Ex, Ex2
  std::string pfx_name;      // Ex, Ex2
  SecretString password;     // Ex
  std::string compare_date;  // Ex, Ex2
  int32_t port = 0;          // Ex2: above 0 takes the signer another instance published
  int32_t flags = 0;
  int32_t key_usage = 0;
  int32_t min_password_length = 0;
  int32_t max_password_length = 16;
  // Ex, Ex2: when set, the PFX file the request names is used only as the gate returns it, asked
  // when the selection comes to the file (a refusal gives 5070).
  PathGate path_gate{};
};

using SignerSelectionOutcome = Outcome<>;

// SelectSignerFor runs a selection into |signer| (emptied by the caller first). |share| is the
// component's signer share, used by the Ex2 variant only (null: sharing inactive). Codes: 0 (also
// when the user closed the list without choosing and only the store was asked), 5005 (comparison
// date), 5010, 5011, 5012, 5017 (filter), 5201 ("MY"), 5070/5002 (PFX dialog), 5401, 5207, 5208
// (PFX file), 5906 (the key store denied access), 5070 (the path gate refused the named file).
SignerSelectionOutcome SelectSignerFor(const SignerSelectionRequest& request, DialogHost& host,
                                       SignerShare* share, SelectedSigner& signer);

}  // namespace kelvadrome
