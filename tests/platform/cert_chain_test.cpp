#include "platform/cert_chain.h"

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <gtest/gtest.h>

#include "platform/last_error.h"
#include "support/test_support.h"

namespace kelvadrome {
namespace {

constexpr int64_t kDay = 86400;
constexpr int64_t kNow = 1800000000;  // 2027-01-15

// One certificate of a test PKI: its own key, signed by its issuer's (or its own) key.
struct Issued {
  EVP_PKEY* key = nullptr;
  std::string name;
  std::vector<uint8_t> der;
};

Issued Issue(const std::string& name, const Issued* issuer, int64_t not_before, int64_t not_after,
             bool ca) {
  Issued issued{EVP_EC_gen("P-256"), name, {}};
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert),
                   static_cast<long>(std::hash<std::string>{}(name)&0xFFFFFF));
  ASN1_TIME_set(X509_getm_notBefore(cert), static_cast<time_t>(not_before));
  ASN1_TIME_set(X509_getm_notAfter(cert), static_cast<time_t>(not_after));
  X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0);
  const std::string issuer_name = issuer != nullptr ? issuer->name : name;
  X509_NAME_add_entry_by_txt(X509_get_issuer_name(cert), "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(issuer_name.c_str()), -1, -1,
                             0);
  X509_set_pubkey(cert, issued.key);
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* constraints = X509V3_EXT_conf_nid(nullptr, &context, NID_basic_constraints,
                                                    ca ? "critical,CA:TRUE" : "CA:FALSE");
  X509_add_ext(cert, constraints, -1);
  X509_EXTENSION_free(constraints);
  X509_sign(cert, issuer != nullptr ? issuer->key : issued.key, EVP_sha256());
  unsigned char* der = nullptr;
  const int length = i2d_X509(cert, &der);
  issued.der.assign(der, der + length);
  OPENSSL_free(der);
  X509_free(cert);
  return issued;
}

class CertChainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = Issue("Test Root", nullptr, kNow - 1000 * kDay, kNow + 1000 * kDay, true);
    intermediate_ = Issue("Test Intermediate", &root_, kNow - 500 * kDay, kNow + 500 * kDay, true);
    leaf_ = Issue("Test Leaf", &intermediate_, kNow - 10 * kDay, kNow + 10 * kDay, false);
  }
  void TearDown() override {
    for (Issued* issued : {&root_, &intermediate_, &leaf_}) EVP_PKEY_free(issued->key);
  }
  void Put(const char* store, const Issued& issued) {
    ASSERT_TRUE(CertStore::OpenSystem(store)->Add(issued.der, AddDisposition::kNew));
  }

  testing::TempDir dir_;
  testing::ScopedEnv profile_{"KELVADROME_PROFILE", dir_.path().c_str()};
  Issued root_, intermediate_, leaf_;
};

TEST_F(CertChainTest, AGoodChainRunsToATrustedRoot) {
  Put("ROOT", root_);
  Put("CA", intermediate_);
  auto chain = BuildCertificateChain(leaf_.der, kNow, nullptr);
  ASSERT_TRUE(chain.has_value());
  EXPECT_EQ(chain->error_status, 0u);
  ASSERT_EQ(chain->elements.size(), 3u);
  EXPECT_EQ(chain->elements[0], leaf_.der);
  EXPECT_EQ(chain->elements[1], intermediate_.der);
  EXPECT_EQ(chain->elements[2], root_.der);
}

TEST_F(CertChainTest, ProblemsShowAsStatusBits) {
  Put("ROOT", root_);
  Put("CA", intermediate_);
  const Issued outlives = Issue("Long Leaf", &intermediate_, kNow - kDay, kNow + 900 * kDay, false);
  std::vector<uint8_t> tampered = leaf_.der;
  tampered[tampered.size() - 5] ^= 0x01;  // a byte of the signature
  const struct {
    const char* name;
    std::vector<uint8_t> der;
    int64_t at;
    uint32_t status;
  } cases[] = {
      {"expired", leaf_.der, kNow + 20 * kDay, chain_status::kNotTimeValid},
      {"not yet valid", leaf_.der, kNow - 20 * kDay, chain_status::kNotTimeValid},
      {"valid longer than its issuer", outlives.der, kNow, chain_status::kNotTimeNested},
      {"signature altered", tampered, kNow, chain_status::kNotSignatureValid},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto chain = BuildCertificateChain(c.der, c.at, nullptr);
    ASSERT_TRUE(chain.has_value());
    EXPECT_EQ(chain->error_status, c.status);
  }
  EVP_PKEY_free(outlives.key);
}

TEST_F(CertChainTest, MissingIssuersAndUntrustedRoots) {
  // Nothing in the stores: the chain stops at the certificate.
  auto alone = BuildCertificateChain(leaf_.der, kNow, nullptr);
  ASSERT_TRUE(alone.has_value());
  EXPECT_EQ(alone->error_status, chain_status::kPartialChain);
  EXPECT_EQ(alone->elements.size(), 1u);
  // The root is known, but not as trusted.
  Put("CA", intermediate_);
  Put("CA", root_);
  auto untrusted = BuildCertificateChain(leaf_.der, kNow, nullptr);
  ASSERT_TRUE(untrusted.has_value());
  EXPECT_EQ(untrusted->error_status, chain_status::kUntrustedRoot);
  EXPECT_EQ(untrusted->elements.size(), 3u);
}

TEST_F(CertChainTest, AnExtraStoreSuppliesIssuers) {
  Put("ROOT", root_);
  auto extra = CertStore::OpenMemory();
  ASSERT_TRUE(extra->Add(intermediate_.der, AddDisposition::kNew));
  auto chain = BuildCertificateChain(leaf_.der, kNow, extra.get());
  ASSERT_TRUE(chain.has_value());
  EXPECT_EQ(chain->error_status, 0u);
  EXPECT_EQ(chain->elements.size(), 3u);
}

TEST_F(CertChainTest, BytesThatAreNotACertificateAreRefused) {
  EXPECT_FALSE(BuildCertificateChain({0x30, 0x00}, kNow, nullptr).has_value());
  EXPECT_EQ(LastPlatformError(), 0x8009310Bu);
}

}  // namespace
}  // namespace kelvadrome
