#include "platform/cert_store.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>

#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/last_error.h"
#include "support/test_support.h"
#include "support/x509_builder.h"

namespace kelvadrome {
namespace {

// A self-issued certificate named |common_name|, from the shared test builder.
std::vector<uint8_t> MakeCertificate(const std::string& common_name) {
  testing::CertificateSpec spec;
  spec.subject = {{"CN", common_name}};
  spec.issuer = {};
  return testing::MakeCertificateDer(spec);
}

Thumbprint Sha1Of(const std::vector<uint8_t>& der) {
  Thumbprint sha1{};
  SHA1(der.data(), der.size(), sha1.data());
  return sha1;
}

std::vector<std::string> Names(CertStore& store, const std::map<Thumbprint, std::string>& names) {
  std::vector<std::string> listed;
  const auto all = store.Enumerate();
  for (const auto& certificate : *all) listed.push_back(names.at(certificate.sha1));
  return listed;
}

class CertStoreTest : public ::testing::TestWithParam<bool> {
 protected:
  std::unique_ptr<CertStore> Open() {
    return GetParam() ? CertStore::OpenSystem("MY") : CertStore::OpenMemory();
  }
  testing::TempDir dir_;
  testing::ScopedEnv profile_{"KELVADROME_PROFILE", dir_.path().c_str()};
};

TEST_P(CertStoreTest, KeepsInsertionOrderAndFindsByThumbprint) {
  auto store = Open();
  ASSERT_NE(store, nullptr);
  std::map<Thumbprint, std::string> names;
  for (const char* name : {"charlie", "alpha", "bravo"}) {
    const auto der = MakeCertificate(name);
    names[Sha1Of(der)] = name;
    ASSERT_TRUE(store->Add(der, AddDisposition::kNew).has_value());
  }
  EXPECT_EQ(Names(*store, names), (std::vector<std::string>{"charlie", "alpha", "bravo"}));
  const auto bravo =
      std::find_if(names.begin(), names.end(), [](const auto& n) { return n.second == "bravo"; });
  auto found = store->Find(bravo->first);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->sha1, bravo->first);
  EXPECT_EQ(*store->GetProperty(found->id, cert_property::kSha1Hash),
            std::vector<uint8_t>(bravo->first.begin(), bravo->first.end()));
  ASSERT_TRUE(store->Delete(found->id));
  EXPECT_FALSE(store->Find(bravo->first).has_value());
  EXPECT_EQ(LastPlatformError(), 0x80092004u);
  EXPECT_FALSE(store->Delete(found->id));
}

TEST_P(CertStoreTest, DispositionsDecideWhatHappensToADuplicate) {
  auto store = Open();
  const auto der = MakeCertificate("dup");
  const std::vector<uint8_t> friendly = {'f'};
  const auto id = store->Add(der, AddDisposition::kNew);
  ASSERT_TRUE(id.has_value());
  ASSERT_TRUE(store->SetProperty(*id, cert_property::kFriendlyName, &friendly));

  EXPECT_FALSE(store->Add(der, AddDisposition::kNew).has_value());
  EXPECT_EQ(LastPlatformError(), 0x80092005u);
  EXPECT_EQ(store->Add(der, AddDisposition::kUseExisting), id);
  EXPECT_EQ(store->Add(der, AddDisposition::kReplaceExistingInheritProperties), id);
  EXPECT_EQ(*store->GetProperty(*id, cert_property::kFriendlyName), friendly);
  EXPECT_EQ(store->Add(der, AddDisposition::kReplaceExisting), id);
  EXPECT_FALSE(store->GetProperty(*id, cert_property::kFriendlyName).has_value());
  // Adding always: a memory store keeps a copy, a persistent store one certificate.
  store->Add(der, AddDisposition::kAlways);
  EXPECT_EQ(store->Enumerate()->size(), GetParam() ? 1u : 2u);
}

TEST_P(CertStoreTest, RefusesBytesThatAreNotOneCertificate) {
  auto store = Open();
  auto der = MakeCertificate("x");
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
    uint32_t error;
  } cases[] = {
      {"empty", {}, 0x80093102},
      // A complete SEQUENCE holding one INTEGER: DER, but no certificate.
      {"not a certificate", {0x30, 0x03, 0x02, 0x01, 0x01}, 0x8009310B},
      {"truncated certificate", std::vector<uint8_t>(der.begin(), der.end() - 10), 0x80093102},
      {"trailing byte after a certificate",
       [&] {
         auto longer = der;
         longer.push_back(0);
         return longer;
       }(),
       0x80093103},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(store->Add(c.bytes, AddDisposition::kAlways).has_value());
    EXPECT_EQ(LastPlatformError(), c.error);
  }
  EXPECT_TRUE(store->Enumerate()->empty());
}

TEST_P(CertStoreTest, PropertiesSetReplaceAndRemove) {
  auto store = Open();
  const auto id = store->Add(MakeCertificate("p"), AddDisposition::kNew);
  KeyProviderLink link{"container-1", "Microsoft Enhanced Cryptographic Provider v1.0", 1, 0, 2};
  const auto encoded = EncodeKeyProviderLink(link);
  ASSERT_TRUE(store->SetProperty(*id, cert_property::kKeyProviderInfo, &encoded));
  auto decoded = DecodeKeyProviderLink(*store->GetProperty(*id, cert_property::kKeyProviderInfo));
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->container, "container-1");
  EXPECT_EQ(decoded->provider, link.provider);
  EXPECT_EQ(decoded->key_spec, 2u);
  ASSERT_TRUE(store->SetProperty(*id, cert_property::kKeyProviderInfo, nullptr));
  EXPECT_FALSE(store->GetProperty(*id, cert_property::kKeyProviderInfo).has_value());
  EXPECT_FALSE(store->SetProperty(*id + 100, cert_property::kFriendlyName, &encoded));
}

std::string StoreKind(const ::testing::TestParamInfo<bool>& store) {
  return store.param ? "Persistent" : "Memory";
}

INSTANTIATE_TEST_SUITE_P(PersistentAndMemory, CertStoreTest, ::testing::Bool(), StoreKind);

TEST(KeyProviderLink, MalformedValuesAreRefused) {
  const auto good = EncodeKeyProviderLink({"c", "p", 1, 2, 3});
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"empty", {}},
      {"cut in the last number", std::vector<uint8_t>(good.begin(), good.end() - 1)},
      {"a byte too many",
       [&] {
         auto longer = good;
         longer.push_back(0);
         return longer;
       }()},
      {"text length beyond the value", {0xFF, 0xFF, 0xFF, 0x7F, 'c'}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(DecodeKeyProviderLink(c.bytes).has_value());
  }
  EXPECT_TRUE(DecodeKeyProviderLink(good).has_value());
}

TEST(MemoryStores, LinksShareTheOriginalsProperties) {
  testing::TempDir dir;
  testing::ScopedEnv profile("KELVADROME_PROFILE", dir.path().c_str());
  auto my = CertStore::OpenSystem("MY");
  const auto der = MakeCertificate("linked");
  const auto original = my->Add(der, AddDisposition::kNew);
  auto memory = CertStore::OpenMemory();
  const auto link = memory->AddLink(*my, *original);
  ASSERT_TRUE(link.has_value());
  EXPECT_EQ(memory->Get(*link)->der, der);
  const std::vector<uint8_t> name = {'n'};
  ASSERT_TRUE(memory->SetProperty(*link, cert_property::kFriendlyName, &name));
  EXPECT_EQ(*my->GetProperty(*original, cert_property::kFriendlyName), name)
      << "written through the link";
  ASSERT_TRUE(memory->Delete(*link));
  EXPECT_TRUE(my->Get(*original).has_value()) << "deleting the link keeps the original";
  EXPECT_FALSE(my->AddLink(*memory, 1).has_value()) << "persistent stores hold no links";
  EXPECT_FALSE(memory->AddLink(*my, *original + 99).has_value());
}

TEST(SystemStores, SurviveReopeningAndStayApart) {
  testing::TempDir dir;
  testing::ScopedEnv profile("KELVADROME_PROFILE", dir.path().c_str());
  const auto der = MakeCertificate("root");
  ASSERT_TRUE(CertStore::OpenSystem("ROOT")->Add(der, AddDisposition::kNew).has_value());
  EXPECT_EQ(CertStore::OpenSystem("root")->Enumerate()->size(), 1u) << "names ignore case";
  EXPECT_TRUE(CertStore::OpenSystem("CA")->Enumerate()->empty());
}

// Several processes adding to "MY" at once: every add that succeeded is there, once.
TEST(SystemStores, ConcurrentAddersLoseNothing) {
  testing::TempDir dir;
  testing::ScopedEnv profile("KELVADROME_PROFILE", dir.path().c_str());
  constexpr int kAdders = 4;
  // 25 each in every run; KELVADROME_STRESS_CERTS_EACH=1000 gives the full reliability figure.
  const char* scale = std::getenv("KELVADROME_STRESS_CERTS_EACH");
  const int kEach = scale != nullptr ? std::max(1, std::atoi(scale)) : 25;
  std::vector<std::vector<uint8_t>> certificates;
  for (int i = 0; i < kAdders * kEach; ++i)
    certificates.push_back(MakeCertificate(std::to_string(i)));
  std::vector<pid_t> children;
  for (int adder = 0; adder < kAdders; ++adder) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int failures = 0;
      for (int i = 0; i < kEach; ++i) {
        auto store = CertStore::OpenSystem("MY");
        if (!store || !store->Add(certificates[adder * kEach + i], AddDisposition::kNew)) {
          std::fprintf(stderr, "adder %d, certificate %d: %s, error 0x%08X\n", adder, i,
                       store ? "add failed" : "open failed", LastPlatformError());
          ++failures;
        }
      }
      _exit(failures);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }
  auto all = CertStore::OpenSystem("MY")->Enumerate();
  ASSERT_TRUE(all.has_value());
  std::set<Thumbprint> distinct;
  for (const auto& certificate : *all) distinct.insert(certificate.sha1);
  EXPECT_EQ(all->size(), certificates.size());
  EXPECT_EQ(distinct.size(), certificates.size());
}

}  // namespace
}  // namespace kelvadrome
