#include "platform/certificate_key.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <gtest/gtest.h>

#include "platform/last_error.h"
#include "platform/providers.h"
#include "support/test_support.h"

namespace kelvadrome {
namespace {

constexpr const char* kProvider = "Microsoft Enhanced Cryptographic Provider v1.0";

// A certificate for the public key |public_key_info| (SubjectPublicKeyInfo DER), self-signed by a
// throwaway key: only the public key matters here.
std::vector<uint8_t> CertificateFor(const std::vector<uint8_t>& public_key_info) {
  const unsigned char* cursor = public_key_info.data();
  EVP_PKEY* subject_key = d2i_PUBKEY(nullptr, &cursor, static_cast<long>(public_key_info.size()));
  EVP_PKEY* signer = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 7);
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>("linked"), -1, -1, 0);
  X509_set_issuer_name(cert, X509_get_subject_name(cert));
  X509_set_pubkey(cert, subject_key);
  X509_sign(cert, signer, EVP_sha256());
  unsigned char* der = nullptr;
  const int length = i2d_X509(cert, &der);
  std::vector<uint8_t> bytes(der, der + length);
  OPENSSL_free(der);
  X509_free(cert);
  EVP_PKEY_free(signer);
  EVP_PKEY_free(subject_key);
  return bytes;
}

class CertificateKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto containers = KeyContainerStore::OpenUser();
    ASSERT_NE(containers, nullptr);
    for (const char* name : {"owner", "stranger"}) {
      auto container = containers->Create(name, kProvider, provider_type::kRsaFull);
      ASSERT_NE(container, nullptr);
      ASSERT_TRUE(container->GenerateKey(key_spec::kSignature, 1024, 0));
    }
    auto owner = containers->Open("owner", kProvider, provider_type::kRsaFull);
    certificate_ = CertificateFor(*owner->ExportPublicKeyInfo(key_spec::kSignature));
    store_ = CertStore::OpenSystem("MY");
    id_ = *store_->Add(certificate_, AddDisposition::kNew);
  }

  void Link(const std::string& container) {
    const auto link = EncodeKeyProviderLink(
        {container, kProvider, provider_type::kRsaFull, 0, key_spec::kSignature});
    ASSERT_TRUE(store_->SetProperty(id_, cert_property::kKeyProviderInfo, &link));
  }

  testing::TempDir dir_;
  testing::ScopedEnv profile_{"KELVADROME_PROFILE", dir_.path().c_str()};
  std::vector<uint8_t> certificate_;
  std::unique_ptr<CertStore> store_;
  int64_t id_ = 0;
};

TEST_F(CertificateKeyTest, TheLinkLeadsToAKeyThatSigns) {
  Link("owner");
  auto key = AcquireCertificatePrivateKey(*store_, id_, /*compare_public_key=*/true);
  ASSERT_TRUE(key.has_value());
  EXPECT_EQ(key->container->name(), "owner");
  EXPECT_EQ(key->key_spec, key_spec::kSignature);
  EXPECT_TRUE(
      key->container->SignHash(key->key_spec, key_algorithm::kSha1, std::vector<uint8_t>(20, 1))
          .has_value());
}

TEST_F(CertificateKeyTest, FailuresSayWhatIsMissing) {
  const struct {
    const char* name;
    std::optional<std::string> link;  // nullopt: no link at all
    bool compare;
    uint32_t error;
  } cases[] = {
      {"no link", std::nullopt, true, 0x8009200B},
      {"container deleted", "gone", true, 0x80090016},
      // Another container's key is refused only when the keys are compared.
      {"someone else's key", "stranger", true, 0x80090015},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.link) Link(*c.link);
    EXPECT_FALSE(AcquireCertificatePrivateKey(*store_, id_, c.compare).has_value());
    EXPECT_EQ(LastPlatformError(), c.error);
  }
  Link("stranger");
  EXPECT_TRUE(AcquireCertificatePrivateKey(*store_, id_, /*compare_public_key=*/false));
  // A malformed link value counts as none.
  const std::vector<uint8_t> garbage = {1, 2, 3};
  ASSERT_TRUE(store_->SetProperty(id_, cert_property::kKeyProviderInfo, &garbage));
  EXPECT_FALSE(AcquireCertificatePrivateKey(*store_, id_, false).has_value());
  EXPECT_EQ(LastPlatformError(), 0x8009200Bu);
}

}  // namespace
}  // namespace kelvadrome
