#include "platform/registry.h"

#include <gtest/gtest.h>

#include "platform/last_error.h"
#include "support/scoped_code_page.h"
#include "support/test_support.h"

namespace kelvadrome {
namespace {

RegistryValue Text(std::string_view text) {
  return {registry_type::kString, std::vector<uint8_t>(text.begin(), text.end())};
}

class RegistryTest : public ::testing::Test {
 protected:
  Registry Open() {
    return Registry(
        ProfileDatabase::Open(dir_.path().string(), ProfileDatabase::Access::kReadWrite));
  }
  testing::TempDir dir_;
  testing::ScopedCodePage code_page_{"UTF-8"};
};

TEST_F(RegistryTest, ValuesRoundTripAndKeysAppearAlongThePath) {
  Registry registry = Open();
  const RegistryValue number{registry_type::kDword, {0xFB, 0xFF, 0xFF, 0xFF}};
  ASSERT_TRUE(registry.SetValue("Software\\ORLA\\QuorixATL", "Level", number));
  EXPECT_TRUE(registry.KeyExists("Software"));
  EXPECT_TRUE(registry.KeyExists("Software\\ORLA"));
  auto read = registry.QueryValue("Software\\ORLA\\QuorixATL", "Level");
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->type, registry_type::kDword);
  EXPECT_EQ(read->data, number.data);
  // Replacing keeps one value of that name.
  ASSERT_TRUE(registry.SetValue("Software\\ORLA\\QuorixATL", "Level", Text("x")));
  EXPECT_EQ(registry.Values("Software\\ORLA\\QuorixATL")->size(), 1u);
  // An empty binary value stays a value.
  ASSERT_TRUE(registry.SetValue("Software", "Empty", {registry_type::kBinary, {}}));
  ASSERT_TRUE(registry.QueryValue("Software", "Empty").has_value());
}

TEST_F(RegistryTest, NamesCompareWithoutCaseAndKeepTheirSpelling) {
  Registry registry = Open();
  ASSERT_TRUE(registry.SetValue("Software\\Äpfel", "Größe", Text("1")));
  EXPECT_TRUE(registry.QueryValue("SOFTWARE\\äPFEL", "GRÖßE").has_value());
  ASSERT_TRUE(registry.SetValue("software\\äpfel", "GRÖßE", Text("2")));
  auto values = registry.Values("Software\\Äpfel");
  ASSERT_EQ(values->size(), 1u);
  EXPECT_EQ(values->front().first, "Größe") << "the first spelling stays";
  EXPECT_EQ(values->front().second.data, Text("2").data);
  EXPECT_EQ(*registry.SubkeyNames("SOFTWARE"), std::vector<std::string>{"Äpfel"});
}

TEST_F(RegistryTest, DefaultValueAndRootKey) {
  Registry registry = Open();
  ASSERT_TRUE(registry.SetValue("Key", "", Text("default")));
  ASSERT_TRUE(registry.SetValue("", "AtRoot", Text("root")));
  EXPECT_EQ(registry.QueryValue("Key", "")->data, Text("default").data);
  EXPECT_EQ(registry.QueryValue("", "atroot")->data, Text("root").data);
  EXPECT_FALSE(registry.DeleteKey(""));
  EXPECT_EQ(LastPlatformError(), 5u);
}

TEST_F(RegistryTest, MissingKeysValuesAndBadPaths) {
  Registry registry = Open();
  ASSERT_TRUE(registry.CreateKey("A\\B"));
  const struct {
    const char* name;
    std::string path;
    uint32_t error;
  } cases[] = {
      {"missing key", "A\\C", 2},
      {"missing parent", "X\\B", 2},
      {"empty name between separators", "A\\\\B", 161},
      {"leading separator", "\\A", 161},
      {"trailing separator", "A\\", 161},
      {"name over 255 characters", "A\\" + std::string(256, 'n'), 161},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(registry.KeyExists(c.path));
    EXPECT_EQ(LastPlatformError(), c.error);
  }
  EXPECT_FALSE(registry.QueryValue("A\\B", "missing").has_value());
  EXPECT_EQ(LastPlatformError(), 2u);
  EXPECT_FALSE(registry.DeleteValue("A\\B", "missing"));
  EXPECT_EQ(LastPlatformError(), 2u);
  EXPECT_FALSE(registry.CreateKey("A\\\\B"));
}

TEST_F(RegistryTest, DeletingAKeyTakesItsSubtree) {
  Registry registry = Open();
  ASSERT_TRUE(registry.SetValue("Top\\Mid\\Leaf", "v", Text("1")));
  ASSERT_TRUE(registry.SetValue("Top\\Other", "v", Text("2")));
  ASSERT_TRUE(registry.DeleteKey("top\\mid"));
  EXPECT_FALSE(registry.KeyExists("Top\\Mid\\Leaf"));
  EXPECT_EQ(*registry.SubkeyNames("Top"), std::vector<std::string>{"Other"});
  ASSERT_TRUE(registry.DeleteValue("Top\\Other", "V"));
  EXPECT_TRUE(registry.Values("Top\\Other")->empty());
}

TEST_F(RegistryTest, SubkeysListInAStableOrder) {
  Registry registry = Open();
  for (const char* name : {"delta", "Alpha", "charlie", "Bravo"}) {
    ASSERT_TRUE(registry.CreateKey(std::string("List\\") + name));
  }
  EXPECT_EQ(*registry.SubkeyNames("List"),
            (std::vector<std::string>{"Alpha", "Bravo", "charlie", "delta"}));
}

TEST_F(RegistryTest, TextKeepsItsCharactersAcrossCodePages) {
  {
    testing::ScopedCodePage big5("CP950");
    Registry registry = Open();
    // 憑證 in code page 950, with its terminating zero.
    ASSERT_TRUE(registry.SetValue("\xBE\xCC", "name", Text(std::string("\xBE\xCC\xC3\xD2\0", 5))));
  }
  Registry registry = Open();
  auto value = registry.QueryValue("憑", "name");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->data, Text(std::string("憑證\0", 7)).data);
}

TEST(MachineRegistry, IsReadOnlyAndEmptyWhenMissing) {
  testing::TempDir dir;
  testing::ScopedEnv machine("KELVADROME_MACHINE_PROFILE", (dir.path() / "none").c_str());
  auto registry = Registry::Open(Registry::Root::kLocalMachine);
  ASSERT_NE(registry, nullptr);
  EXPECT_TRUE(registry->KeyExists(""));
  EXPECT_FALSE(registry->KeyExists("Software"));
  EXPECT_FALSE(registry->SetValue("Software", "v", Text("x")));
  EXPECT_EQ(LastPlatformError(), 5u);
}

TEST(MachineRegistry, ReadsWhatAnAdministratorWrote) {
  testing::TempDir dir;
  {
    Registry writer(
        ProfileDatabase::Open(dir.path().string(), ProfileDatabase::Access::kReadWrite));
    ASSERT_TRUE(writer.SetValue("Software\\Vendor", "Setting", Text("on")));
  }
  testing::ScopedEnv machine("KELVADROME_MACHINE_PROFILE", dir.path().c_str());
  auto registry = Registry::Open(Registry::Root::kLocalMachine);
  ASSERT_NE(registry, nullptr);
  EXPECT_EQ(registry->QueryValue("SOFTWARE\\vendor", "setting")->data, Text("on").data);
  EXPECT_FALSE(registry->CreateKey("Software\\Mine"));
}

TEST_F(RegistryTest, SubkeyValuesReadsOneValueOfEverySubkey) {
  Registry registry = Open();
  ASSERT_TRUE(registry.SetValues("Records\\b", {{"Key", Text("second")}, {"Other", Text("x")}}));
  ASSERT_TRUE(registry.SetValue("Records\\A", "KEY", Text("first")));  // any letter case
  ASSERT_TRUE(registry.CreateKey("Records\\c"));                       // without the value
  ASSERT_TRUE(registry.SetValue("Records\\b\\deeper", "Key", Text("not a direct subkey")));
  const auto read = registry.SubkeyValues("Records", "key");
  ASSERT_TRUE(read.has_value());
  ASSERT_EQ(read->size(), 3u);
  EXPECT_EQ((*read)[0].first, "A");
  EXPECT_EQ((*read)[0].second->data, Text("first").data);
  EXPECT_EQ((*read)[1].first, "b");
  EXPECT_EQ((*read)[1].second->data, Text("second").data);
  EXPECT_EQ((*read)[2].first, "c");
  EXPECT_FALSE((*read)[2].second.has_value());
  EXPECT_FALSE(registry.SubkeyValues("Missing", "Key").has_value());
  EXPECT_EQ(LastPlatformError(), 2u);
}

}  // namespace
}  // namespace kelvadrome
