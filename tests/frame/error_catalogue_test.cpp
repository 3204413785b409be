#include "frame/error_catalogue.h"

#include <climits>
#include <fstream>
#include <map>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace kelvadrome {
namespace {

std::string Filled(std::string text, int32_t code) {
  return text.replace(text.find("%d"), 2, std::to_string(code));
}

// Every defined code with its published template (tests/data/error_catalogue.tsv).
std::map<int32_t, std::string> LoadPublishedCatalogue() {
  std::ifstream in(testing::TestDataPath("error_catalogue.tsv"));
  std::map<int32_t, std::string> rows;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const size_t tab = line.find('\t');
    rows[std::stoi(line.substr(0, tab))] = line.substr(tab + 1);
  }
  return rows;
}

TEST(ErrorCatalogue, EveryPublishedCodeGivesItsMessage) {
  const auto published = LoadPublishedCatalogue();
  ASSERT_EQ(published.size(), 137u);
  ASSERT_EQ(ErrorCatalogue().size(), published.size());
  for (const auto& [code, message_template] : published) {
    SCOPED_TRACE(code);
    EXPECT_EQ(ErrorMessageFor(code), Filled(message_template, code));
  }
}

TEST(ErrorCatalogue, KnownMessages) {
  EXPECT_EQ(ErrorMessageFor(0), "成功(0)");
  EXPECT_EQ(ErrorMessageFor(1500),
            "IE 受保護模式已啟動, 請加入信任網站, 並使用預設保護模式(關閉)(1500)");
  EXPECT_EQ(ErrorMessageFor(7701), "一般錯誤(7701)") << "shares the words of 5001";
  EXPECT_EQ(ErrorMessageFor(5070), "使用者按下\"取消\"按鈕(5070)");
  EXPECT_EQ(ErrorMessageFor(5902), "File Not Found(5902)");
}

TEST(ErrorCatalogue, UndefinedCodesUseTheTemplateWithItsTrailingBlank) {
  const struct {
    int32_t code;
    const char* message;
  } cases[] = {
      {5068, "錯誤碼未定義(5068) "},  // gap inside the 5061-5081 block
      {5069, "錯誤碼未定義(5069) "},
      {7702, "錯誤碼未定義(7702) "},
      {-1, "錯誤碼未定義(-1) "},
      {INT32_MIN, "錯誤碼未定義(-2147483648) "},
      {INT32_MAX, "錯誤碼未定義(2147483647) "},
      {1, "錯誤碼未定義(1) "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(ErrorMessageFor(c.code), c.message);
  }
}

}  // namespace
}  // namespace kelvadrome
