#include "codec/dn_filter.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "codec/cert_info.h"
#include "support/test_support.h"
#include "support/x509_builder.h"

namespace kelvadrome {
namespace {

// |joined| cut at every |separator|; "(none)" is no item.
std::vector<std::string> Items(const std::string& joined, char separator = '|') {
  std::vector<std::string> items;
  if (joined == "(none)") return items;
  size_t start = 0;
  for (size_t at; (at = joined.find(separator, start)) != std::string::npos; start = at + 1) {
    items.push_back(joined.substr(start, at - start));
  }
  items.push_back(joined.substr(start));
  return items;
}

// Rows of a tab-separated file under tests/data/filter; lines starting with "#" are comments.
std::vector<std::vector<std::string>> ReadRows(const std::string& name, size_t columns) {
  std::vector<std::vector<std::string>> rows;
  std::ifstream file(testing::TestDataPath("filter/" + name));
  EXPECT_TRUE(file) << "missing " << name;
  for (std::string line; std::getline(file, line);) {
    if (line.empty() || line[0] == '#') continue;
    rows.push_back(Items(line, '\t'));
    EXPECT_EQ(rows.back().size(), columns) << line;
    if (rows.back().size() != columns) rows.pop_back();
  }
  return rows;
}

std::string Unescaped(std::string text) {
  for (const auto& [token, character] : {std::pair{"<CR>", "\r"}, std::pair{"<LF>", "\n"}}) {
    for (size_t at; (at = text.find(token)) != std::string::npos;) text.replace(at, 4, character);
  }
  return text;
}

TEST(DnFilterTest, SplitsFiltersNamesAndConditions) {
  const auto rows = ReadRows("split_cases.tsv", 3);
  ASSERT_GE(rows.size(), 20u);
  for (const auto& row : rows) {
    const std::string input = Unescaped(row[1]);
    SCOPED_TRACE(row[0] + " of \"" + row[1] + "\"");
    std::vector<std::string> actual;
    if (row[0] == "alternatives") {
      actual = SplitAlternatives(input);
    } else if (row[0] == "name") {
      actual = SplitName(input);
    } else {
      actual = ParseConditions(input, row[0]);
    }
    EXPECT_EQ(actual, Items(row[2]));
  }
}

TEST(DnFilterTest, ConditionsWithoutPartsNeverMatch) {
  for (auto match : {MatchEveryCondition, MatchEveryComponent}) {
    EXPECT_TRUE(match({}, {})) << "no condition: nothing to check";
    EXPECT_FALSE(match({"CN=Alice"}, {}));
  }
}

TEST(DnFilterTest, MatchesCertificatesLikeTheExamples) {
  const auto rows = ReadRows("match_cases.tsv", 7);
  ASSERT_GE(rows.size(), 30u);
  for (const auto& row : rows) {
    SCOPED_TRACE(row[0] + ": filter \"" + row[1] + "\"");
    testing::CertificateSpec spec;
    for (auto [name, text] : {std::pair{&spec.subject, row[3]}, std::pair{&spec.issuer, row[4]}}) {
      name->clear();
      for (const std::string& item : Items(text, ';')) {
        name->push_back({item.substr(0, item.find('=')), item.substr(item.find('=') + 1)});
      }
    }
    spec.serial = testing::HexBytes(row[5]);
    const std::vector<uint8_t> der = testing::MakeCertificateDer(spec);
    const CertInfo info(der.data(), static_cast<int32_t>(der.size()));
    ASSERT_TRUE(info.loaded());
    const uint32_t flags = static_cast<uint32_t>(std::stoul(row[2], nullptr, 16));
    EXPECT_EQ(CertificateMatchesFilter(info, SplitAlternatives(Unescaped(row[1])), flags),
              row[6] == "1");
  }
}

}  // namespace
}  // namespace kelvadrome
