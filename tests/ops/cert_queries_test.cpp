// The certificate queries through CertComponent: fields of the selected signer's certificate, the
// snapshot of "MY" read by index, and deletion from "MY". Expected fingerprints and Base64 come
// from OpenSSL; names, serials and dates from the certificates the tests build.
#include "ops/cert_queries.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <climits>
#include <cstdio>
#include <memory>

#include <gtest/gtest.h>

#include "frame/cert_component.h"
#include "platform/cert_store.h"
#include "platform/profile.h"
#include "platform/text.h"
#include "support/scoped_code_page.h"
#include "support/test_support.h"
#include "support/x509_builder.h"

namespace kelvadrome {
namespace {

using testing::CertificateSpec;
using testing::MakeCertificateDer;

// A certificate the tests put into "MY", with the texts the queries must give for it on a system
// at UTC+1.
struct Listed {
  const char* label;
  CertificateSpec spec;
  std::u16string subject, common_name, issuer, serial, not_before, not_after;
};

std::vector<Listed> ThreeCertificates() {
  std::vector<Listed> listed(3);
  listed[0].label = "plain names, GeneralizedTime crossing midnight";
  listed[0].spec.subject = {{"C", "TW"}, {"O", "Example"}, {"CN", "Alice"}};
  listed[0].spec.serial = {0x01, 0xA2};
  listed[0].spec.not_before = "20111231233000Z";
  listed[0].spec.not_after = "20300630233000Z";
  listed[0].spec.key_usage = "critical,digitalSignature,keyEncipherment";
  listed[0].subject = u"C=TW, O=Example, CN=Alice";
  listed[0].common_name = u"Alice";
  listed[0].issuer = u"CN=Test issuer";
  listed[0].serial = u"01A2";
  listed[0].not_before = u"20120101003000";
  listed[0].not_after = u"20300701003000";

  listed[1].label = "non-ASCII common name, serial with a sign octet, UTCTime";
  listed[1].spec.subject = {{"OU", "Unit 7"}, {"CN", "王小明"}};
  listed[1].spec.issuer = {{"O", "Issuer"}, {"CN", "Other CA"}};
  listed[1].spec.serial = {0x00, 0x80};
  listed[1].spec.not_before = "200101000000Z";
  listed[1].spec.not_after = "491231230000Z";
  listed[1].subject = u"OU=Unit 7, CN=王小明";
  listed[1].common_name = u"王小明";
  listed[1].issuer = u"O=Issuer, CN=Other CA";
  listed[1].serial = u"0080";
  listed[1].not_before = u"20200101010000";
  listed[1].not_after = u"20500101000000";

  listed[2].label = "self-issued, no common name, 20-octet serial";
  listed[2].spec.subject = {{"O", "No Name"}};
  listed[2].spec.issuer = {};
  listed[2].spec.serial = {0x7F, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19};
  listed[2].spec.key_usage = "keyCertSign";
  listed[2].subject = u"O=No Name";
  listed[2].common_name = u"";
  listed[2].issuer = u"O=No Name";
  listed[2].serial = u"7F0102030405060708090A0B0C0D0E0F10111213";
  listed[2].not_before = u"20200101010000";
  listed[2].not_after = u"20300101010000";
  return listed;
}

// The SHA-1 of |der| in upper-case hex, computed by OpenSSL.
std::u16string OpensslFingerprint(const std::vector<uint8_t>& der) {
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(der.data(), der.size(), digest);
  std::u16string hex;
  for (const unsigned char byte : digest) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02X", byte);
    hex += static_cast<char16_t>(pair[0]);
    hex += static_cast<char16_t>(pair[1]);
  }
  return hex;
}

// The Base64 text of |der| as OpenSSL writes it (one line, padded).
std::u16string OpensslBase64(const std::vector<uint8_t>& der) {
  std::string text(4 * ((der.size() + 2) / 3) + 1, '\0');
  text.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                                  der.data(), static_cast<int>(der.size()))));
  return std::u16string(text.begin(), text.end());
}

class CertQueriesTest : public ::testing::Test {
 protected:
  CertQueriesTest()
      : profile_("KELVADROME_PROFILE", (dir_.path() / "profile").c_str()),
        dialogs_("KELVADROME_DIALOGS", "none"),
        utc_plus_one_("TZ", "UTC-1") {}

  CertComponent& Component(bool protected_mode = false) {
    ComponentEnvironment environment;
    environment.protected_mode_probe = [protected_mode] { return protected_mode; };
    component_ = std::make_unique<CertComponent>(std::move(environment));
    return *component_;
  }

  // Puts the certificates of |listed| into "MY" in order and returns their DER.
  std::vector<std::vector<uint8_t>> Fill(const std::vector<Listed>& listed) {
    auto personal = CertStore::OpenSystem("MY");
    std::vector<std::vector<uint8_t>> ders;
    for (const Listed& entry : listed) {
      ders.push_back(MakeCertificateDer(entry.spec));
      EXPECT_TRUE(personal->Add(ders.back(), AddDisposition::kNew));
    }
    return ders;
  }

  std::vector<std::vector<uint8_t>> Personal() {
    auto listed = CertStore::OpenSystem("MY")->Enumerate();
    EXPECT_TRUE(listed);
    std::vector<std::vector<uint8_t>> ders;
    for (auto& stored : listed.value_or(std::vector<StoredCertificate>{})) {
      ders.push_back(std::move(stored.der));
    }
    return ders;
  }

  // A call that leaves error code 5010, to see which queries keep the previous code.
  static void LeaveNotFound(CertComponent& component) {
    EXPECT_EQ(component.DeleteIECert(0), 5010);
  }

  testing::TempDir dir_;
  testing::ScopedEnv profile_;
  testing::ScopedEnv dialogs_;
  testing::ScopedEnv utc_plus_one_;
  std::unique_ptr<CertComponent> component_;
};

using IndexQuery = std::u16string (CertComponent::*)(int32_t);
const struct {
  const char* name;
  IndexQuery query;
} kIndexQueries[] = {
    {"GetIECertSerial", &CertComponent::GetIECertSerial},
    {"GetIECertCommonName", &CertComponent::GetIECertCommonName},
    {"GetIECertSubject", &CertComponent::GetIECertSubject},
    {"GetIECertIssuer", &CertComponent::GetIECertIssuer},
    {"GetIECertNotBefore", &CertComponent::GetIECertNotBefore},
    {"GetIECertNotAfter", &CertComponent::GetIECertNotAfter},
    {"GetIECertFinger", &CertComponent::GetIECertFinger},
};

// Indexes that address nothing in a snapshot of three certificates.
const struct {
  const char* label;
  int32_t index;
} kOutsideThree[] = {
    {"zero: indexes start at 1", 0}, {"negative", -1},         {"count + 1", 4},
    {"INT32_MIN", INT32_MIN},        {"INT32_MAX", INT32_MAX},
};

using SignerQuery = std::u16string (CertComponent::*)();
const struct {
  const char* name;
  SignerQuery query;
} kSignerQueries[] = {
    {"GetCertSubject", &CertComponent::GetCertSubject},
    {"GetCertSubjectCN", &CertComponent::GetCertSubjectCN},
    {"GetCertIssuer", &CertComponent::GetCertIssuer},
    {"GetCertSerial", &CertComponent::GetCertSerial},
    {"GetCertNotBefore", &CertComponent::GetCertNotBefore},
    {"GetCertNotAfter", &CertComponent::GetCertNotAfter},
    {"GetCertFinger", &CertComponent::GetCertFinger},
};

TEST_F(CertQueriesTest, IndexQueriesGiveEveryFieldInStoreOrderUnderEitherCodePage) {
  const std::vector<Listed> listed = ThreeCertificates();
  const auto ders = Fill(listed);
  for (const char* code_page : {"UTF-8", "CP950"}) {
    SCOPED_TRACE(code_page);
    testing::ScopedCodePage pinned(code_page);
    CertComponent& component = Component();
    ASSERT_EQ(component.GetIECertCount(), 3);
    EXPECT_EQ(component.GetErrorCode(), 0);
    for (int32_t index = 1; index <= 3; ++index) {
      const Listed& expected = listed[static_cast<size_t>(index - 1)];
      SCOPED_TRACE(expected.label);
      EXPECT_EQ(component.GetIECertSerial(index), expected.serial);
      EXPECT_EQ(component.GetIECertCommonName(index), expected.common_name);
      EXPECT_EQ(component.GetIECertSubject(index), expected.subject);
      EXPECT_EQ(component.GetIECertIssuer(index), expected.issuer);
      EXPECT_EQ(component.GetIECertNotBefore(index), expected.not_before);
      EXPECT_EQ(component.GetIECertNotAfter(index), expected.not_after);
      EXPECT_EQ(component.GetIECertFinger(index),
                OpensslFingerprint(ders[static_cast<size_t>(index - 1)]));
    }
  }
}

TEST_F(CertQueriesTest, IndexesOutsideTheSnapshotGiveEmptyTextAndKeepThePreviousCode) {
  Fill(ThreeCertificates());
  CertComponent& component = Component();
  // Before any GetIECertCount there is no snapshot: index 1 addresses nothing yet.
  LeaveNotFound(component);
  for (const auto& query : kIndexQueries) {
    SCOPED_TRACE(query.name);
    EXPECT_EQ((component.*query.query)(1), u"");
    EXPECT_EQ(component.GetErrorCode(), 5010);
  }
  ASSERT_EQ(component.GetIECertCount(), 3);
  LeaveNotFound(component);
  for (const auto& c : kOutsideThree) {
    SCOPED_TRACE(c.label);
    for (const auto& query : kIndexQueries) {
      SCOPED_TRACE(query.name);
      EXPECT_EQ((component.*query.query)(c.index), u"");
      EXPECT_EQ(component.GetErrorCode(), 5010);
    }
  }
  // A good index reads its entry and still leaves the previous call's code.
  EXPECT_EQ(component.GetIECertCommonName(1), u"Alice");
  EXPECT_EQ(component.GetErrorCode(), 5010);
}

TEST_F(CertQueriesTest, DeletionRemovesTheIdenticalStoreEntryAndEmptiesTheSnapshot) {
  const std::vector<Listed> listed = ThreeCertificates();
  const auto ders = Fill(listed);
  CertComponent& component = Component();
  // No snapshot yet: nothing to delete.
  EXPECT_EQ(component.DeleteIECert(1), 5010);
  ASSERT_EQ(component.GetIECertCount(), 3);

  for (const auto& c : kOutsideThree) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(component.DeleteIECert(c.index), 5010);
    EXPECT_EQ(component.GetErrorCode(), 5010);
    // The snapshot and the store are untouched.
    EXPECT_EQ(component.GetIECertSerial(3), listed[2].serial);
    EXPECT_EQ(Personal().size(), 3u);
  }

  EXPECT_EQ(component.DeleteIECert(2), 0);
  EXPECT_EQ(component.GetErrorCode(), 0);
  EXPECT_EQ(Personal(), (std::vector<std::vector<uint8_t>>{ders[0], ders[2]}));
  // The snapshot is gone until the next count, which sees the store as it is now.
  for (const auto& query : kIndexQueries) {
    SCOPED_TRACE(query.name);
    EXPECT_EQ((component.*query.query)(1), u"");
  }
  EXPECT_EQ(component.DeleteIECert(1), 5010);
  EXPECT_EQ(Personal().size(), 2u);
  ASSERT_EQ(component.GetIECertCount(), 2);
  EXPECT_EQ(component.GetIECertCommonName(1), u"Alice");
  EXPECT_EQ(component.GetIECertSubject(2), u"O=No Name");
}

TEST_F(CertQueriesTest, TheSnapshotIgnoresChangesBehindIt) {
  const auto ders = Fill(ThreeCertificates());
  CertComponent& component = Component();
  ASSERT_EQ(component.GetIECertCount(), 3);
  {
    auto personal = CertStore::OpenSystem("MY");
    const auto second = personal->Find(CertificateThumbprint(ders[1]));
    ASSERT_TRUE(second);
    ASSERT_TRUE(personal->Delete(second->id));
    ASSERT_TRUE(personal->Add(MakeCertificateDer(CertificateSpec{}), AddDisposition::kNew));
  }
  // The snapshot still reads the deleted certificate and does not see the new one.
  EXPECT_EQ(component.GetIECertCommonName(2), u"王小明");
  EXPECT_EQ(component.GetIECertFinger(2), OpensslFingerprint(ders[1]));
  EXPECT_EQ(component.GetIECertSubject(4), u"");
  // Deleting it finds no identical certificate: 5010, the snapshot stays.
  EXPECT_EQ(component.DeleteIECert(2), 5010);
  EXPECT_EQ(component.GetIECertCommonName(1), u"Alice");
  EXPECT_EQ(Personal().size(), 3u);
  ASSERT_EQ(component.GetIECertCount(), 3);
  EXPECT_EQ(component.GetIECertSubject(2), u"O=No Name");
  EXPECT_EQ(component.GetIECertSubject(3), u"CN=Test subject");
}

// The profile keeps each certificate's listed fields beside it. What it keeps must never be shown
// for another certificate: summaries that are damaged or of another version are worked out again
// (and rewritten), and a certificate added under the id of a deleted one is not shown with the
// deleted one's fields.
TEST_F(CertQueriesTest, KeptSummariesAreCheckedAndFollowTheirCertificate) {
  const std::vector<Listed> listed = ThreeCertificates();
  const auto ders = Fill(listed);
  CertComponent& component = Component();
  ASSERT_EQ(component.GetIECertCount(), 3);  // works the summaries out and keeps them
  auto profile = ProfileDatabase::OpenUser();
  ASSERT_NE(profile, nullptr);
  const auto id_of = [&](const std::vector<uint8_t>& der) {
    return CertStore::OpenSystem("MY")->Find(CertificateThumbprint(der)).value().id;
  };
  ASSERT_TRUE(profile->Execute(
      // not a summary at all
      "UPDATE certificate_summaries SET summary = x'00ff' WHERE certificate = " +
      std::to_string(id_of(ders[0])) + ";" +
      // another version's layout, read with this one's it would be a plausible summary
      "UPDATE certificate_summaries SET summary = x'02' || substr(summary, 2) "
      "WHERE certificate = " +
      std::to_string(id_of(ders[1]))));
  ASSERT_EQ(component.GetIECertCount(), 3);
  for (int32_t index = 1; index <= 2; ++index) {
    SCOPED_TRACE(index);
    const Listed& expected = listed[static_cast<size_t>(index - 1)];
    EXPECT_EQ(component.GetIECertSubject(index), expected.subject);
    EXPECT_EQ(component.GetIECertNotAfter(index), expected.not_after);
  }
  ProfileStatement rewritten = profile->Prepare(
      "SELECT count(*) FROM certificate_summaries WHERE substr(summary, 1, 1) = x'01'");
  ASSERT_EQ(rewritten.Step(), ProfileStatement::StepResult::kRow);
  EXPECT_EQ(rewritten.ColumnInt(0), 3);

  // The last certificate's id is handed out again once it is deleted.
  const int64_t last_id = id_of(ders[2]);
  ASSERT_EQ(component.DeleteIECert(3), 0);
  CertificateSpec replacement;
  replacement.subject = {{"CN", "Newcomer"}};
  const auto newcomer = MakeCertificateDer(replacement);
  ASSERT_TRUE(CertStore::OpenSystem("MY")->Add(newcomer, AddDisposition::kNew));
  ASSERT_EQ(id_of(newcomer), last_id);
  ASSERT_EQ(component.GetIECertCount(), 3);
  EXPECT_EQ(component.GetIECertSubject(3), u"CN=Newcomer");
  EXPECT_EQ(component.GetIECertFinger(3), OpensslFingerprint(newcomer));
}

TEST_F(CertQueriesTest, ProtectedModeRefusesTheStoreQueriesOnly) {
  Fill(ThreeCertificates());
  CertComponent& component = Component(/*protected_mode=*/true);
  EXPECT_EQ(component.GetIECertCount(), 0);
  EXPECT_EQ(component.GetErrorCode(), 1500);
  for (const auto& query : kIndexQueries) {
    SCOPED_TRACE(query.name);
    component.GetCertSubject();  // clears the code
    ASSERT_EQ(component.GetErrorCode(), 0);
    EXPECT_EQ((component.*query.query)(1), u"");
    EXPECT_EQ(component.GetErrorCode(), 1500);
  }
  component.GetCertSubject();
  EXPECT_EQ(component.DeleteIECert(1), 1500);
  EXPECT_EQ(component.GetErrorCode(), 1500);
  EXPECT_EQ(Personal().size(), 3u);
}

TEST_F(CertQueriesTest, SignerQueriesWithoutASignerGiveEmptyResults) {
  CertComponent& component = Component();
  LeaveNotFound(component);
  EXPECT_EQ(component.GetCertB64(), u"");
  EXPECT_EQ(component.GetErrorCode(), 5010) << "GetCertB64 leaves the code as it was";
  for (const auto& query : kSignerQueries) {
    SCOPED_TRACE(query.name);
    LeaveNotFound(component);
    EXPECT_EQ((component.*query.query)(), u"");
    EXPECT_EQ(component.GetErrorCode(), 0);
  }
  LeaveNotFound(component);
  EXPECT_EQ(component.GetCertKeyUsage(), 0);
  EXPECT_EQ(component.GetErrorCode(), 0);
}

TEST_F(CertQueriesTest, SignerQueriesReadTheSelectedSignersCertificate) {
  const std::vector<Listed> listed = ThreeCertificates();
  const auto ders = Fill({listed[0]});
  testing::ScopedCodePage pinned("CP950");
  CertComponent& component = Component();
  // From "MY" only (0x100), the best candidate without a list (choice mode 2).
  ASSERT_EQ(component.SelectSigner(u"", 0x100 | 2, 0), 0);
  ASSERT_EQ(component.selected_signer().der, ders[0]);

  LeaveNotFound(component);
  EXPECT_EQ(component.GetCertB64(), OpensslBase64(ders[0]));
  EXPECT_EQ(component.GetErrorCode(), 5010) << "GetCertB64 leaves the code as it was";

  const std::u16string expected[] = {
      listed[0].subject,    listed[0].common_name, listed[0].issuer,           listed[0].serial,
      listed[0].not_before, listed[0].not_after,   OpensslFingerprint(ders[0])};
  for (size_t i = 0; i < std::size(kSignerQueries); ++i) {
    SCOPED_TRACE(kSignerQueries[i].name);
    LeaveNotFound(component);
    EXPECT_EQ((component.*kSignerQueries[i].query)(), expected[i]);
    EXPECT_EQ(component.GetErrorCode(), 0);
  }
  // digitalSignature (0x80) and keyEncipherment (0x20).
  EXPECT_EQ(component.GetCertKeyUsage(), 0xA0);
}

}  // namespace
}  // namespace kelvadrome
