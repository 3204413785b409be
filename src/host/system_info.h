// Facts about the machine the component runs on: the operating-system name, the network adapters'
// hardware addresses, the user's home folder, and the protected-mode probe.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kelvadrome {

// The version numbers the operating-system name table is keyed on. Only a Windows host has them;
// on any other system |is_windows| is false and the table gives its "unrecognised system" text.
struct PlatformVersion {
  bool is_windows = false;
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t platform_id = 0;  // 1: Windows 9x family, 2: NT family
  uint8_t product_type = 0;  // 1: workstation
  bool server_r2 = false;    // the "server R2 build" indicator
};

// ReadPlatformVersion returns the running system's version record (never Windows here).
PlatformVersion ReadPlatformVersion();

// OperatingSystemName returns the name the table gives for |version| as UTF-8 text: a Windows
// product name, empty text for a version the table has no row for, or the unrecognised-system text
// for any other major version (and for a system that is not Windows).
std::string OperatingSystemName(const PlatformVersion& version);

using HardwareAddress = std::array<uint8_t, 6>;

// ReadAdapterAddresses returns the link-layer addresses of the non-loopback network interfaces in
// the kernel's order, the first six bytes of each (shorter addresses are padded with zeros), or
// nullopt when the list cannot be read.
std::optional<std::vector<HardwareAddress>> ReadAdapterAddresses();

// FormatAdapterAddresses writes each address as "%02X-%02X-%02X-%02X-%02X-%02X" with one line feed
// between entries and none at the end; empty text for no adapters.
std::string FormatAdapterAddresses(const std::vector<HardwareAddress>& addresses);

// HomeVariable returns $HOME as the environment holds it (empty when it is not set). HomeFolder
// returns the user's home folder as narrow text in the process code page: FromSystemPath of
// |home_variable|, by default HomeVariable().
std::string HomeVariable();
std::string HomeFolder(std::string_view home_variable);
std::string HomeFolder();

// HostRunsInProtectedMode reports whether the host process runs sandboxed in a browser's protected
// mode. No such browser sandbox loads this library here, so it is never detected.
bool HostRunsInProtectedMode();

}  // namespace kelvadrome
