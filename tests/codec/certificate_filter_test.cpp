#include "codec/certificate_filter.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "codec/cert_store_handle.h"
#include "platform/certificate.h"
#include "platform/last_error.h"
#include "platform/text.h"
#include "support/scoped_code_page.h"
#include "support/x509_builder.h"

namespace kelvadrome {
namespace {

using testing::CertificateSpec;

constexpr uint32_t kCheckValidity = 0x004;

int64_t Utc(int year, unsigned month, unsigned day) {
  return DaysFromCivil(year, month, day) * 86400;
}

CertificateSpec Holder(const std::string& cn, const std::string& not_before = "200101000000Z",
                       const std::string& not_after = "300101000000Z") {
  CertificateSpec spec;
  spec.subject = {{"CN", cn}};
  spec.not_before = not_before;
  spec.not_after = not_after;
  spec.key_usage = "digitalSignature,nonRepudiation";  // 0xC0
  return spec;
}

using NamedSpecs = std::vector<std::pair<std::string, CertificateSpec>>;

// A memory store filled with named certificates, in order.
class Store {
 public:
  explicit Store(const NamedSpecs& certificates) {
    for (const auto& [name, spec] : certificates) {
      const auto id = store_->Add(testing::MakeCertificateDer(spec), AddDisposition::kAlways);
      EXPECT_TRUE(id.has_value()) << name;
      names_[id.value_or(-1)] = name;
    }
  }
  CertStore* get() { return store_.get(); }
  // The names of |candidates| joined, checking each is an unchanged copy of its store certificate.
  std::string Names(const std::vector<StoredCertificate>& candidates) {
    std::string names;
    for (const StoredCertificate& candidate : candidates) {
      EXPECT_EQ(store_->Get(candidate.id)->der, candidate.der);
      names += names_[candidate.id];
    }
    return names;
  }

 private:
  std::unique_ptr<CertStore> store_ = CertStore::OpenMemory();
  std::map<int64_t, std::string> names_;
};

// Certificates by letter, for the filter "S_CN=Alice" with key-usage mask 0x80: a acceptable
// (0xC0, 2020 to 2030), k wrong key usage, e expired, n not yet valid, f refused by the text
// filter, and authorities never chosen: s self-issued, c with keyCertSign, r with cRLSign.
CertificateSpec Kind(char letter) {
  CertificateSpec spec = Holder(letter == 'f' ? "Bob" : "Alice");
  if (letter == 'k') spec.key_usage = "keyEncipherment";
  if (letter == 'e') spec = Holder("Alice", "000101000000Z", "010101000000Z");
  if (letter == 'n') spec = Holder("Alice", "20900101000000Z", "20990101000000Z");
  if (letter == 's') spec.issuer.clear();
  if (letter == 'c') spec.key_usage = "digitalSignature,keyCertSign";
  if (letter == 'r') spec.key_usage = "digitalSignature,cRLSign";
  return spec;
}

TEST(CertificateFilterTest, AcceptsOrReportsTheLastRejectionBeforeAnyAcceptance) {
  const int64_t start = Utc(2020, 1, 1);
  const int64_t end = Utc(2030, 1, 1);
  const struct Row {
    const char* letters;
    int32_t code;
    const char* kept = "";
    FilterForm form = FilterForm::kStore;
    int32_t key_usage = 0x80;
    uint32_t flags = kCheckValidity;
    std::optional<int64_t> time = Utc(2025, 6, 1);
  } rows[] = {
      {"", 5010},
      {"f", 5010},
      {"scr", 5010},
      {"scra", 0, "a"},
      {"fk", 5017},
      {"ke", 5011},
      {"ek", 5017},
      {"en", 5012},
      {"ka", 0, "a"},
      {"ae", 0, "a"},
      {"akna", 0, "aa"},
      {"ek", 5017, "", FilterForm::kPfx},
      {"kn", 5012, "", FilterForm::kPfx},
      {"fkaa", 0, "a", FilterForm::kPfx},
      {"sca", 0, "a", FilterForm::kPfx},
      // The key-usage mask needs every one of its bits; 0 and below check nothing.
      {"a", 0, "a", FilterForm::kStore, 0xC0},
      {"a", 5017, "", FilterForm::kStore, 0x20},
      {"a", 5017, "", FilterForm::kStore, 0xA0},
      {"a", 0, "a", FilterForm::kStore, 0},
      {"a", 0, "a", FilterForm::kStore, -1},
      // Validity bounds are inclusive.
      {"a", 0, "a", FilterForm::kStore, 0x80, kCheckValidity, start},
      {"a", 5012, "", FilterForm::kStore, 0x80, kCheckValidity, start - 1},
      {"a", 0, "a", FilterForm::kStore, 0x80, kCheckValidity, end},
      {"a", 5011, "", FilterForm::kStore, 0x80, kCheckValidity, end + 1},
      {"a", 0, "a", FilterForm::kStore, 0x80, 0, end + 1},
      {"e", 5011, "", FilterForm::kStore, 0x80, kCheckValidity, std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.form == FilterForm::kStore ? "store \"" : "PFX \"") + row.letters +
                 "\" key usage " + std::to_string(row.key_usage) + " flags " +
                 std::to_string(row.flags) + " time " + std::to_string(row.time.value_or(-1)));
    NamedSpecs certificates;
    for (const char* letter = row.letters; *letter != '\0'; ++letter) {
      certificates.emplace_back(std::string(1, *letter), Kind(*letter));
    }
    Store store(certificates);
    std::vector<StoredCertificate> candidates(1);  // emptied first
    const FilterResult result = FilterCertificates(store.get(), row.form, "S_CN=Alice", row.flags,
                                                   row.key_usage, row.time, candidates);
    EXPECT_EQ(result.code, row.code);
    EXPECT_EQ(store.Names(candidates), row.kept);
  }
}

TEST(CertificateFilterTest, Big5FiltersMatchWholeCharacters) {
  testing::ScopedCodePage big5("CP950");
  // In code page 950 the second byte of 乙 (A4 41) is 'A' and that of 許 (B3 5C) is '\\', and
  // 奶仇 (A5 A4 A4 B3) holds the two bytes of 中 (A4 A4) across its two characters.
  Store store({{"中文", Holder("中文")},
               {"奶仇", Holder("奶仇")},
               {"乙", Holder("乙")},
               {"許n", Holder("許n")},
               {"許x", Holder("許x")}});
  const struct {
    const char* filter;  // UTF-8, handed over in code page 950
    uint32_t flags;
    const char* kept;
  } rows[] = {
      {"S_CN=中", 0x8, "中文"},             // not across the two characters of 奶仇
      {"S_CN=A", 0x8, ""},                  // not the second byte of 乙
      {"S_CN=許n", 0x8, "許n"},             // "\\n" inside 許n is no line break
      {"S_CN=許x//S_CN=乙", 0x8, "乙許x"},  // alternatives, in store order
      {"S_CN=許n", 0, "許n"},               // every component, exactly
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.filter);
    std::vector<StoredCertificate> candidates;
    FilterCertificates(store.get(), FilterForm::kStore, ConvertToNarrow(Utf8ToUtf16(row.filter)),
                       row.flags, 0, std::nullopt, candidates);
    EXPECT_EQ(store.Names(candidates), row.kept);
  }
}

TEST(CertificateFilterTest, ChoiceModeTwoKeepsTheBestByTheFirstOrderingBitSet) {
  // Start and end years: a 2010-2030, b 2012-2025, c 2011-2035, d 2012-2040 (starts with b).
  Store store({{"a", Holder("A", "100101000000Z", "300101000000Z")},
               {"b", Holder("B", "120101000000Z", "250101000000Z")},
               {"c", Holder("C", "110101000000Z", "350101000000Z")},
               {"d", Holder("D", "120101000000Z", "400101000000Z")}});
  const struct {
    FilterForm form;
    uint32_t flags;
    const char* expected;
  } rows[] = {
      {FilterForm::kStore, 0x002, "b"},  // latest start; d ties and b came first
      {FilterForm::kStore, 0x022, "a"},  // earliest start
      {FilterForm::kStore, 0x042, "d"},  // latest end
      {FilterForm::kStore, 0x082, "b"},  // earliest end
      {FilterForm::kStore, 0x0E2, "a"},  // 0x020 is looked at first
      {FilterForm::kStore, 0x0C2, "d"},  // then 0x040
      {FilterForm::kStore, 0x000, "abcd"}, {FilterForm::kStore, 0x003, "abcd"},
      {FilterForm::kPfx, 0x042, "a"},  // the first acceptance ends
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.form == FilterForm::kStore ? "store " : "PFX ") +
                 std::to_string(row.flags));
    std::vector<StoredCertificate> candidates;
    EXPECT_EQ(FilterCertificates(store.get(), row.form, "", row.flags, 0, {}, candidates).code, 0);
    EXPECT_EQ(store.Names(candidates), row.expected);
  }
}

TEST(CertificateFilterTest, RecordsThePlatformErrorAsEachFormDoes) {
  Store empty{NamedSpecs()};
  std::vector<StoredCertificate> candidates;
  SetLastPlatformError(0x1234);
  EXPECT_EQ(
      FilterCertificates(empty.get(), FilterForm::kStore, "", 0, 0, {}, candidates).platform_error,
      0x1234u)
      << "the final 5010 of the store form reads the platform error";
  EXPECT_EQ(
      FilterCertificates(empty.get(), FilterForm::kPfx, "", 0, 0, {}, candidates).platform_error,
      0u)
      << "the PFX form leaves it as it was";

  CertStoreHandle handle;
  EXPECT_EQ(handle.FilterCertificates("", 0, 0, {}, candidates), 5010) << "no store is open";
  ASSERT_EQ(handle.OpenMemory(), 0);
  EXPECT_EQ(handle.FilterCertificates("", 0, 0, {}, candidates), 5010);
  EXPECT_EQ(handle.last_error(), 0x1234u) << "the handle keeps the filter's error";
  ASSERT_TRUE(
      handle.store()->Add(testing::MakeCertificateDer(Holder("Alice")), AddDisposition::kAlways));
  EXPECT_EQ(handle.FilterCertificates("S_CN=Alice", 0, 0, {}, candidates), 0);
  EXPECT_EQ(candidates.size(), 1u);
}

}  // namespace
}  // namespace kelvadrome
