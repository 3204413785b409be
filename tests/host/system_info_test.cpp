#include "host/system_info.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

namespace kelvadrome {
namespace {

PlatformVersion Windows(uint32_t major, uint32_t minor, uint32_t platform_id = 2,
                        uint8_t product_type = 1, bool r2 = false) {
  return PlatformVersion{true, major, minor, platform_id, product_type, r2};
}

TEST(OperatingSystemName, FollowsTheNameTable) {
  const struct {
    PlatformVersion version;
    const char* name;
  } cases[] = {
      {Windows(4, 0, 2), "Microsoft Windows NT 4.0"},
      {Windows(4, 0, 1), "Microsoft Windows 95"},
      {Windows(4, 0, 0), ""},
      {Windows(4, 10), "Microsoft Windows 98"},
      {Windows(4, 90), "Microsoft Windows Me"},
      {Windows(4, 3), ""},
      {Windows(5, 0), "Microsoft Windows 2000"},
      {Windows(5, 1), "Microsoft Windows XP"},
      {Windows(5, 2, 2, 1), "Microsoft Windows XP Professional x64 Edition"},
      {Windows(5, 2, 2, 1, true), "Microsoft Windows XP Professional x64 Edition"},
      {Windows(5, 2, 2, 3, true), "Microsoft Windows Server 2003 R2"},
      {Windows(5, 2, 2, 3, false), "Microsoft Windows Server 2003"},
      {Windows(5, 3), ""},
      {Windows(6, 0, 2, 1), "Microsoft Windows Vista"},
      {Windows(6, 0, 2, 2), "Microsoft Windows Server 2008"},
      {Windows(6, 1, 2, 1), "Microsoft Windows 7"},
      {Windows(6, 1, 2, 3), "Microsoft Windows Server 2008 R2"},
      {Windows(6, 2), ""},
      {Windows(6, 3), ""},
      {Windows(10, 0), "Windows 系統無法識別"},
      {Windows(3, 51), "Windows 系統無法識別"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.version.major) + "." + std::to_string(c.version.minor));
    EXPECT_EQ(OperatingSystemName(c.version), c.name);
  }
}

TEST(OperatingSystemName, ThisSystemIsNotInTheTable) {
  EXPECT_EQ(OperatingSystemName(ReadPlatformVersion()), "Windows 系統無法識別");
}

TEST(AdapterAddresses, FormatWithOneLineFeedBetweenEntries) {
  EXPECT_EQ(FormatAdapterAddresses({}), "");
  EXPECT_EQ(FormatAdapterAddresses({{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}}), "00-1A-2B-3C-4D-5E");
  EXPECT_EQ(FormatAdapterAddresses({{1, 2, 3, 4, 5, 6}, {0xff, 0xee, 0xdd, 0xcc, 0xbb, 0xaa}}),
            "01-02-03-04-05-06\nFF-EE-DD-CC-BB-AA");
}

// The kernel lists the same interfaces in /sys/class/net with their addresses.
TEST(AdapterAddresses, MatchTheKernelsInterfaceList) {
  auto addresses = ReadAdapterAddresses();
  ASSERT_TRUE(addresses.has_value());
  std::vector<std::string> from_kernel;
  for (const auto& entry : std::filesystem::directory_iterator("/sys/class/net")) {
    std::ifstream type_file(entry.path() / "type");
    int type = 0;
    type_file >> type;
    if (type == 772) continue;  // loopback
    std::ifstream address_file(entry.path() / "address");
    std::string address;
    address_file >> address;
    std::string formatted;
    for (size_t i = 0; i < 6; ++i) {
      std::string octet = i * 3 + 1 < address.size() ? address.substr(i * 3, 2) : "00";
      std::transform(octet.begin(), octet.end(), octet.begin(), ::toupper);
      formatted += (i ? "-" : "") + octet;
    }
    from_kernel.push_back(formatted);
  }
  std::vector<std::string> ours;
  for (const auto& a : *addresses) ours.push_back(FormatAdapterAddresses({a}));
  std::sort(from_kernel.begin(), from_kernel.end());
  std::sort(ours.begin(), ours.end());
  EXPECT_EQ(ours, from_kernel);
}

}  // namespace
}  // namespace kelvadrome
