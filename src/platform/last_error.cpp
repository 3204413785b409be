#include "platform/last_error.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace kelvadrome {

namespace {

thread_local uint32_t t_last_error = 0;

struct ErrorText {
  uint32_t code;
  std::string_view text;
};

// The platform values this component can produce, with the project's own short descriptions.
// Kept in ascending order of code.
constexpr auto kErrorTexts = std::to_array<ErrorText>({
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {5, "Access is denied."},
    {8, "Not enough memory resources are available to process this command."},
    {13, "The data is invalid."},
    {32, "The process cannot access the file because it is being used by another process."},
    {80, "The file exists."},
    {86, "The specified network password is not correct."},
    {87, "The parameter is incorrect."},
    {112, "There is not enough space on the disk."},
    {122, "The data area passed to a system call is too small."},
    {161, "The specified path is invalid."},
    {170, "The requested resource is in use."},
    {183, "Cannot create a file when that file already exists."},
    {234, "More data is available."},
    {259, "No more data is available."},
    {1009, "The profile database is corrupt."},
    {1010, "The profile was written by a newer release and cannot be used."},
    {1016, "An I/O operation on the profile database failed."},
    {1223, "The operation was canceled by the user."},
    {0x80004005, "Unspecified error"},
    {0x8007000E, "Not enough memory resources are available to complete this operation."},
    {0x80070057, "The parameter is incorrect."},
    {0x80090001, "Bad UID."},
    {0x80090002, "Bad Hash."},
    {0x80090003, "Bad Key."},
    {0x80090004, "Bad Length."},
    {0x80090005, "Bad Data."},
    {0x80090006, "Invalid Signature."},
    {0x80090007, "Bad Version of provider."},
    {0x80090008, "Invalid algorithm specified."},
    {0x80090009, "Invalid flags specified."},
    {0x8009000A, "Invalid type specified."},
    {0x8009000B, "Key not valid for use in specified state."},
    {0x8009000D, "Key does not exist."},
    {0x8009000E, "Insufficient memory available for the operation."},
    {0x8009000F, "Object already exists."},
    {0x80090010, "Access denied."},
    {0x80090011, "Object was not found."},
    {0x80090014, "Invalid provider type specified."},
    {0x80090015, "Bad public key."},
    {0x80090016, "Keyset does not exist"},
    {0x80090017, "Provider type not defined."},
    {0x80090019, "The keyset is not defined."},
    {0x8009001B, "Provider type does not match registered value."},
    {0x80090020, "An internal error occurred."},
    {0x80091004, "Invalid cryptographic message type."},
    {0x80092002, "An error occurred during encode or decode operation."},
    {0x80092004, "Cannot find object or property."},
    {0x80092005, "The object or property already exists."},
    {0x80092007, "The specified certificate is self signed."},
    {0x8009200A, "The cryptographic message is not of the expected type."},
    {0x8009200B, "The certificate does not have a property that references a private key."},
    {0x8009200C, "Cannot find the certificate and private key to use for decryption."},
    {0x80093102, "ASN1 unexpected end of data."},
    {0x80093103, "ASN1 corrupted data."},
    {0x8009310B, "ASN1 bad tag value met."},
    {0x800B0101, "A required certificate is not within its validity period."},
    {0x800B0109, "A certificate chain processed, but terminated in an untrusted root certificate."},
    {0x800B010A, "A certificate chain could not be built to a trusted root authority."},
});

static_assert(std::is_sorted(kErrorTexts.begin(), kErrorTexts.end(),
                             [](const ErrorText& a, const ErrorText& b) {
                               return a.code < b.code;
                             }));

}  // namespace

void SetLastPlatformError(uint32_t code) {
  t_last_error = code;
}

uint32_t LastPlatformError() {
  return t_last_error;
}

std::string PlatformErrorText(uint32_t code) {
  auto entry = std::lower_bound(kErrorTexts.begin(), kErrorTexts.end(), code,
                                [](const ErrorText& e, uint32_t value) { return e.code < value; });
  if (entry == kErrorTexts.end() || entry->code != code) return {};
  std::string text(entry->text);
  text += "\r\n";
  return text;
}

}  // namespace kelvadrome
