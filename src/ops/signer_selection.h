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

namespace kelvadrome {

class DialogHost;
class SignerShare;

// The signer the signing workers use, and what is known of where it came from.
struct SelectedSigner {
  int32_t signerMedia = -1;              // -1 none, 1 the personal store "MY", 2 a PFX file
  std::string signerCertHash;            // SHA-1 thumbprint, 40 upper-case hex digits
  std::vector<uint8_t> signerCertBytes;  // DER (several, one after another, after an import)
  std::string signerCertPasswd;          // the PFX file's password (media 2)
  std::string signerCertFilePath;        // the PFX file's folder (media 2)
  std::string signerCertFileName;        // the PFX file's name (media 2)

  // Clear forgets everything, wiping the password and the file's place.
  void Clear();
};

namespace signer_source {
inline constexpr uint32_t kStore = 1;
inline constexpr uint32_t kPfxFile = 2;
}  // namespace signer_source

// ParseCompareDate reads a comparison date: empty text is no date (nullopt in |*when|, true);
// otherwise exactly 14 digits YYYYMMDDhhmmss, a UTC time with month 1-12, day 1 to the month's
// last, hour 0-23, minute and second 0-59. False for anything else.
bool ParseCompareDate(std::string_view text, std::optional<int64_t>* when);

// SignerSourceMask returns the sources dwFlags asks for: 0x100 the store, 0x200 a PFX file;
// both sources (store first) when neither bit is set.
uint32_t SignerSourceMask(int32_t flags);

struct SignerSelectionRequest {
  enum class Variant { kSelectSigner, kSelectSignerEx, kSelectSignerEx2 };
  Variant variant = Variant::kSelectSigner;
  std::string filter;        // certificate filter text (narrow)
  std::string pfx_folder;    // Ex, Ex2
  std::string pfx_name;      // Ex, Ex2
  std::string password;      // Ex
  std::string compare_date;  // Ex, Ex2
  int32_t port = 0;          // Ex2: above 0 takes the signer another instance published
  int32_t flags = 0;
  int32_t key_usage = 0;
  int32_t min_password_length = 0;
  int32_t max_password_length = 16;
  ~SignerSelectionRequest();
};

using SignerSelectionOutcome = Outcome<>;

// SelectSignerFor runs a selection into |signer| (emptied by the caller first). |share| is the
// component's signer share, used by the Ex2 variant only (null: sharing inactive). Codes: 0 (also
// when the user closed the list without choosing and only the store was asked), 5005 (comparison
// date), 5010, 5011, 5012, 5017 (filter), 5201 ("MY"), 5070/5002 (PFX dialog), 5401, 5207, 5208
// (PFX file), 5906 (the key store denied access).
SignerSelectionOutcome SelectSignerFor(const SignerSelectionRequest& request, DialogHost& host,
                                       SignerShare* share, SelectedSigner& signer);

}  // namespace kelvadrome
