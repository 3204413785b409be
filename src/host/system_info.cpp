#include "host/system_info.h"

#include <cstdio>
#include <cstdlib>

#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>

#include "platform/handles.h"
#include "platform/text.h"

namespace kelvadrome {

PlatformVersion ReadPlatformVersion() {
  return PlatformVersion{};
}

std::string OperatingSystemName(const PlatformVersion& version) {
  constexpr const char* kUnrecognised = "Windows 系統無法識別";
  if (!version.is_windows) return kUnrecognised;
  const bool workstation = version.product_type == 1;
  switch (version.major) {
    case 4:
      if (version.minor == 0) {
        if (version.platform_id == 2) return "Microsoft Windows NT 4.0";
        if (version.platform_id == 1) return "Microsoft Windows 95";
        return "";
      }
      if (version.minor == 10) return "Microsoft Windows 98";
      if (version.minor == 90) return "Microsoft Windows Me";
      return "";
    case 5:
      if (version.minor == 0) return "Microsoft Windows 2000";
      if (version.minor == 1) return "Microsoft Windows XP";
      if (version.minor == 2) {
        if (workstation) return "Microsoft Windows XP Professional x64 Edition";
        return version.server_r2 ? "Microsoft Windows Server 2003 R2"
                                 : "Microsoft Windows Server 2003";
      }
      return "";
    case 6:
      if (version.minor == 0) {
        return workstation ? "Microsoft Windows Vista" : "Microsoft Windows Server 2008";
      }
      if (version.minor == 1) {
        return workstation ? "Microsoft Windows 7" : "Microsoft Windows Server 2008 R2";
      }
      return "";
    default:
      return kUnrecognised;
  }
}

std::optional<std::vector<HardwareAddress>> ReadAdapterAddresses() {
  ifaddrs* raw = nullptr;
  if (getifaddrs(&raw) != 0) return std::nullopt;
  UniqueIfaddrs list(raw);
  std::vector<HardwareAddress> addresses;
  for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
    // Each interface appears once with its link-layer (AF_PACKET) address, in the kernel's order.
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_PACKET) continue;
    if ((entry->ifa_flags & IFF_LOOPBACK) != 0) continue;
    const auto* link = reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr);
    HardwareAddress address{};
    const size_t length = link->sll_halen < address.size() ? link->sll_halen : address.size();
    for (size_t i = 0; i < length; ++i) address[i] = link->sll_addr[i];
    addresses.push_back(address);
  }
  return addresses;
}

std::string FormatAdapterAddresses(const std::vector<HardwareAddress>& addresses) {
  std::string text;
  for (const auto& a : addresses) {
    if (!text.empty()) text += '\n';
    char entry[18];
    std::snprintf(entry, sizeof entry, "%02X-%02X-%02X-%02X-%02X-%02X", a[0], a[1], a[2], a[3],
                  a[4], a[5]);
    text += entry;
  }
  return text;
}

std::string HomeVariable() {
  const char* home = std::getenv("HOME");
  return home != nullptr ? std::string(home) : std::string();
}

std::string HomeFolder(std::string_view home_variable) {
  return home_variable.empty() ? std::string() : FromSystemPath(home_variable);
}

std::string HomeFolder() {
  return HomeFolder(HomeVariable());
}

bool HostRunsInProtectedMode() {
  return false;
}

}  // namespace kelvadrome
