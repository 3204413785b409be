// The OpenSSL error queue belongs to the application: a platform call leaves errors the caller
// queued before it in place and leaves none of its own behind, whether it fails or succeeds.
#include "platform/openssl_call.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "platform/cert_chain.h"
#include "platform/rsa_key.h"

namespace kelvadrome {
namespace {

constexpr int kCallersReason = 42;

// A self-signed certificate that no store trusts, so chain building finds problems with it.
std::vector<uint8_t> UntrustedCertificate() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 7);
  X509_gmtime_adj(X509_getm_notBefore(cert), -86400);
  X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>("Nobody trusts me"), -1, -1, 0);
  X509_set_issuer_name(cert, X509_get_subject_name(cert));
  X509_set_pubkey(cert, key);
  X509_sign(cert, key, EVP_sha256());
  unsigned char* der = nullptr;
  const int length = i2d_X509(cert, &der);
  std::vector<uint8_t> out(der, der + length);
  OPENSSL_free(der);
  X509_free(cert);
  EVP_PKEY_free(key);
  return out;
}

TEST(OpensslErrorQueueTest, PlatformCallsKeepTheCallersErrorsAndLeaveNoneOfTheirOwn) {
  const std::vector<uint8_t> untrusted = UntrustedCertificate();
  ASSERT_FALSE(untrusted.empty());
  // A SEQUENCE holding one INTEGER: neither a certificate nor a private key.
  const std::vector<uint8_t> not_pkcs8 = {0x30, 0x03, 0x02, 0x01, 0x05};
  // A PRIVATEKEYBLOB header cut short after its type and version.
  const std::vector<uint8_t> short_blob = {0x07, 0x02};
  struct Case {
    const char* name;
    std::function<bool()> call;  // true when the call did what the case expects
  };
  const Case cases[] = {
      {"chain building with problems",
       [&] {
         const auto chain = BuildCertificateChain(untrusted, time(nullptr), nullptr);
         return chain.has_value() && chain->error_status != 0;
       }},
      {"chain building of what is not a certificate",
       [&] { return !BuildCertificateChain(not_pkcs8, time(nullptr), nullptr).has_value(); }},
      {"PKCS #8 that is not a key", [&] { return !RsaKeyFromPkcs8(not_pkcs8).has_value(); }},
      {"key blob cut short",
       [&] {
         uint32_t algorithm = 0;
         return !RsaKeyFromPrivateBlob(short_blob, &algorithm).has_value();
       }},
      {"a wrapped call that fails",
       [&] {
         const int result = OpensslCall(0x80090020, [] {
           ERR_raise(ERR_LIB_EVP, EVP_R_BAD_DECRYPT);
           return 0;
         });
         return result == 0 && LastPlatformError() == 0x80090020;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ERR_clear_error();
    ERR_raise(ERR_LIB_USER, kCallersReason);
    EXPECT_TRUE(c.call());
    const unsigned long first = ERR_get_error();
    EXPECT_EQ(ERR_GET_LIB(first), ERR_LIB_USER) << "the caller's error was removed";
    EXPECT_EQ(ERR_GET_REASON(first), kCallersReason);
    EXPECT_EQ(ERR_get_error(), 0u) << "the call left errors of its own";
  }
  ERR_clear_error();
}

}  // namespace
}  // namespace kelvadrome
