// The platform's last error: every platform service records the numeric value Windows would give
// for the situation (a Win32 error or an HRESULT), per thread, so workers can report it in the
// component's capiErrorCode slot with the numbers its callers test for.
#pragma once

#include <cstdint>
#include <string>

namespace kelvadrome {

// Common values the platform layer records.
namespace platform_error {
inline constexpr uint32_t kFileNotFound = 2;
inline constexpr uint32_t kPathNotFound = 3;
inline constexpr uint32_t kAccessDenied = 5;
inline constexpr uint32_t kNotEnoughMemory = 8;
inline constexpr uint32_t kInvalidPassword = 86;
inline constexpr uint32_t kInvalidParameter = 87;
inline constexpr uint32_t kCancelled = 1223;
inline constexpr uint32_t kBadKeyset = 0x80090016;
inline constexpr uint32_t kPermissionDenied = 0x80090010;  // NTE_PERM
inline constexpr uint32_t kNoDecryptCert = 0x8009200C;
}  // namespace platform_error

// SetLastPlatformError records |code| as this thread's last platform error.
void SetLastPlatformError(uint32_t code);

// LastPlatformError returns this thread's last recorded platform error (0 when none).
uint32_t LastPlatformError();

// PlatformErrorText returns the short English text for |code|, ending in CR LF as platform
// messages do; empty text for a code the table does not know.
std::string PlatformErrorText(uint32_t code);

}  // namespace kelvadrome
