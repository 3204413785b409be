// The platform certificate decoder: the facts it reads from DER, the string types of name values,
// serials and times at their limits, and the errors it records for input that is not one
// certificate.
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/certificate.h"
#include "platform/crypto_context.h"
#include "platform/last_error.h"
#include "support/test_support.h"
#include "support/x509_builder.h"

namespace kelvadrome {
namespace {

using testing::CertificateSpec;
using testing::HexBytes;
using testing::MakeCertificateDer;
using testing::NameField;

Certificate DecodeOrFail(const std::vector<uint8_t>& der) {
  Certificate certificate;
  EXPECT_TRUE(certificate.Decode(der.data(), der.size()));
  return certificate;
}

TEST(CryptoContextTest, IsOnePrivateContextWithTheProviders) {
  OSSL_LIB_CTX* context = CryptoLibraryContext();
  ASSERT_NE(context, nullptr);
  EXPECT_NE(context, OSSL_LIB_CTX_get0_global_default());
  EXPECT_EQ(OSSL_PROVIDER_available(context, "default"), 1);
  EXPECT_EQ(OSSL_PROVIDER_available(context, "legacy") == 1, LegacyProviderLoaded());
  // Concurrent first use elsewhere gives the same context.
  std::vector<OSSL_LIB_CTX*> seen(4, nullptr);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, i] { seen[i] = CryptoLibraryContext(); });
  }
  for (auto& thread : threads) thread.join();
  for (OSSL_LIB_CTX* other : seen) EXPECT_EQ(other, context);
  // The legacy algorithms are reachable in it when the provider loaded.
  EVP_CIPHER* des = EVP_CIPHER_fetch(context, "DES-CBC", nullptr);
  EXPECT_EQ(des != nullptr, LegacyProviderLoaded());
  EVP_CIPHER_free(des);
  EVP_MD* sha1 = EVP_MD_fetch(context, "SHA1", nullptr);
  EXPECT_NE(sha1, nullptr);
  EVP_MD_free(sha1);
}

TEST(CertificateTest, ReadsNamesSerialDatesAndExtensions) {
  CertificateSpec spec;
  spec.subject = {{"C", "TW", V_ASN1_PRINTABLESTRING},
                  {"O", "Example Org", V_ASN1_UTF8STRING},
                  {"CN", "Alice", V_ASN1_UTF8STRING},
                  {"OU", "Sales", V_ASN1_UTF8STRING, true}};
  spec.issuer = {{"CN", "Issuing CA", V_ASN1_PRINTABLESTRING}};
  spec.serial = {0x01, 0xA2};
  spec.not_before = "111231233000Z";
  spec.not_after = "20500101000000Z";
  spec.key_usage = "critical,digitalSignature,keyEncipherment";
  spec.basic_constraints = "critical,CA:TRUE";
  const std::vector<uint8_t> der = MakeCertificateDer(spec);
  SetLastPlatformError(0x1234);
  const Certificate certificate = DecodeOrFail(der);
  EXPECT_EQ(LastPlatformError(), 0u);
  EXPECT_TRUE(certificate.decoded());
  EXPECT_NE(certificate.x509(), nullptr);
  EXPECT_EQ(certificate.der(), der);

  const DistinguishedName& subject = certificate.subject();
  ASSERT_EQ(subject.size(), 3u);
  ASSERT_EQ(subject[0].size(), 1u);
  EXPECT_EQ(subject[0][0].oid, "2.5.4.6");
  EXPECT_EQ(subject[0][0].value, "TW");
  EXPECT_EQ(subject[1][0].oid, "2.5.4.10");
  // The multi-valued RDN keeps both attributes, in stored order.
  ASSERT_EQ(subject[2].size(), 2u);
  EXPECT_EQ(subject[2][0].oid, "2.5.4.3");
  EXPECT_EQ(subject[2][0].value, "Alice");
  EXPECT_EQ(subject[2][1].oid, "2.5.4.11");
  EXPECT_EQ(subject[2][1].value, "Sales");
  ASSERT_EQ(certificate.issuer().size(), 1u);
  EXPECT_EQ(certificate.issuer()[0][0].value, "Issuing CA");

  EXPECT_EQ(certificate.serial(), (std::vector<uint8_t>{0x01, 0xA2}));
  EXPECT_EQ(certificate.not_before(), 1325374200);  // 2011-12-31 23:30:00 UTC
  EXPECT_EQ(certificate.not_after(), 2524608000);   // 2050-01-01 00:00:00 UTC
  ASSERT_TRUE(certificate.key_usage().has_value());
  EXPECT_EQ(*certificate.key_usage(), 0xA0);
  EXPECT_TRUE(certificate.basic_constraints_ca());
}

TEST(CertificateTest, KeyUsageAndBasicConstraintsVariants) {
  struct Case {
    const char* name;
    std::optional<std::string> key_usage;
    std::optional<std::string> basic_constraints;
    std::optional<uint8_t> expected_usage;
    bool expected_ca;
  };
  const Case cases[] = {
      {"no extensions", std::nullopt, std::nullopt, std::nullopt, false},
      {"keyCertSign", "critical,keyCertSign", "critical,CA:TRUE", 0x04, true},
      {"cRLSign and end entity", "cRLSign", "CA:FALSE", 0x02, false},
      // decipherOnly is the ninth bit: not in the first octet.
      {"ninth bit only", "decipherOnly", std::nullopt, 0x00, false},
      {"encipherOnly and decipherOnly", "encipherOnly,decipherOnly", std::nullopt, 0x01, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CertificateSpec spec;
    spec.key_usage = c.key_usage;
    spec.basic_constraints = c.basic_constraints;
    const Certificate certificate = DecodeOrFail(MakeCertificateDer(spec));
    EXPECT_EQ(certificate.key_usage(), c.expected_usage);
    EXPECT_EQ(certificate.basic_constraints_ca(), c.expected_ca);
  }
}

int StringType(const std::string& name) {
  static const std::pair<const char*, int> kTypes[] = {
      {"BMPSTRING", V_ASN1_BMPSTRING},         {"UTF8STRING", V_ASN1_UTF8STRING},
      {"T61STRING", V_ASN1_T61STRING},         {"PRINTABLESTRING", V_ASN1_PRINTABLESTRING},
      {"IA5STRING", V_ASN1_IA5STRING},         {"UNIVERSALSTRING", V_ASN1_UNIVERSALSTRING},
      {"NUMERICSTRING", V_ASN1_NUMERICSTRING}, {"OCTETSTRING", V_ASN1_OCTET_STRING},
      {"SEQUENCE", V_ASN1_SEQUENCE},
  };
  for (const auto& [text, type] : kTypes) {
    if (name == text) return type;
  }
  ADD_FAILURE() << "unknown type " << name;
  return V_ASN1_UTF8STRING;
}

TEST(CertificateTest, ConvertsEveryStringTypeToUtf8) {
  std::ifstream file(testing::TestDataPath("x509/string_values.tsv"));
  ASSERT_TRUE(file) << "missing string_values.tsv";
  std::string line;
  int cases = 0;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> columns;
    std::stringstream stream(line);
    for (std::string column; std::getline(stream, column, '\t');) columns.push_back(column);
    ASSERT_EQ(columns.size(), 4u) << line;
    SCOPED_TRACE(columns[0]);
    const std::vector<uint8_t> raw = HexBytes(columns[2]);
    // OpenSSL refuses to write some of these values (it checks them), so the certificate is built
    // with a placeholder of the same length and the value octets are put in afterwards; the
    // signature no longer matches, which decoding does not look at.
    const int type = StringType(columns[1]);
    std::string placeholder(raw.size(), '\x5A');
    if (type == V_ASN1_UNIVERSALSTRING) {
      // Placeholder characters must be valid UCS-4: 00 00 00 5A.
      for (size_t i = 0; i < placeholder.size(); ++i) {
        if (i % 4 != 3) placeholder[i] = '\0';
      }
    }
    CertificateSpec spec;
    spec.subject = {
        {"CN", placeholder,
         type == V_ASN1_OCTET_STRING || type == V_ASN1_SEQUENCE ? V_ASN1_PRINTABLESTRING : type}};
    std::vector<uint8_t> der = MakeCertificateDer(spec);
    const auto at = std::search(der.begin(), der.end(), placeholder.begin(), placeholder.end());
    ASSERT_NE(at, der.end());
    std::copy(raw.begin(), raw.end(), at);
    if (type == V_ASN1_OCTET_STRING || type == V_ASN1_SEQUENCE) {
      // Written as a PrintableString (OpenSSL will not write other types into a name); the tag
      // octet before the one-octet length becomes OCTET STRING.
      ASSERT_GE(at - der.begin(), 2);
      *(at - 2) = static_cast<uint8_t>(type == V_ASN1_SEQUENCE ? 0x30 : type);
    }
    ++cases;
    if (columns[3] == "<rejected>") {
      Certificate certificate;
      EXPECT_FALSE(certificate.Decode(der.data(), der.size()));
      EXPECT_EQ(LastPlatformError(), platform_error::kAsn1BadTag);
      continue;
    }
    const Certificate certificate = DecodeOrFail(der);
    if (certificate.subject().size() != 1u) {
      ADD_FAILURE() << "subject has " << certificate.subject().size() << " RDNs";
      continue;
    }
    EXPECT_EQ(certificate.subject()[0][0].value, columns[3]);
  }
  EXPECT_GE(cases, 15);
}

TEST(CertificateTest, KeepsSerialOctetsAsEncoded) {
  struct Case {
    const char* name;
    std::string hex;
  };
  const Case cases[] = {
      {"leading zero digit", "01A2"},
      {"zero", "00"},
      {"minus one", "FF"},
      {"negative", "FF7F"},
      {"positive with sign octet", "00FF"},
      {"twenty octets", "7F0102030405060708090A0B0C0D0E0F10111213"},
      {"twenty-one octets", "00887766554433221100FFEEDDCCBBAA9988776655"},
      {"long negative", "80000000000000000000000000000000000000000000000001"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CertificateSpec spec;
    spec.serial = HexBytes(c.hex);
    const Certificate certificate = DecodeOrFail(MakeCertificateDer(spec));
    EXPECT_EQ(certificate.serial(), HexBytes(c.hex));
  }
}

TEST(CertificateTest, RejectsWhatIsNotExactlyOneCertificate) {
  const std::vector<uint8_t> good = MakeCertificateDer(CertificateSpec());
  ASSERT_GT(good.size(), 10u);
  std::vector<uint8_t> truncated(good.begin(), good.end() - 1);
  std::vector<uint8_t> trailing = good;
  trailing.push_back(0x00);
  std::vector<uint8_t> wrong_outer_tag = good;
  wrong_outer_tag[0] = 0x31;
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    uint32_t error;
  };
  const Case cases[] = {
      // Nothing at all.
      {"empty", {}, platform_error::kAsn1EndOfData},
      // A SEQUENCE tag with no length octet.
      {"tag only", {0x30}, platform_error::kAsn1EndOfData},
      // Text, not DER: 'h' is no SEQUENCE tag.
      {"garbage", {'h', 'e', 'l', 'l', 'o'}, platform_error::kAsn1BadTag},
      // The last byte of a real certificate is missing.
      {"truncated", truncated, platform_error::kAsn1EndOfData},
      // A real certificate followed by one more byte.
      {"trailing byte", trailing, platform_error::kAsn1Corrupt},
      // A SET where the certificate SEQUENCE belongs.
      {"outer SET", wrong_outer_tag, platform_error::kAsn1BadTag},
      // A well-formed SEQUENCE holding one INTEGER: not a certificate.
      {"sequence of integer", {0x30, 0x03, 0x02, 0x01, 0x01}, platform_error::kAsn1BadTag},
      // Indefinite length (BER), not allowed in DER.
      {"indefinite length", {0x30, 0x80, 0x00, 0x00}, platform_error::kAsn1BadTag},
      // A length of five octets, more than any certificate needs.
      {"oversized length field",
       {0x30, 0x85, 0x01, 0x00, 0x00, 0x00, 0x00},
       platform_error::kAsn1BadTag},
      // A long-form length announcing 65535 bytes after 2 bytes of content.
      {"length beyond the data",
       {0x30, 0x82, 0xFF, 0xFF, 0x02, 0x01},
       platform_error::kAsn1EndOfData},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A decoded object must become empty when a later decode fails.
    Certificate certificate = DecodeOrFail(good);
    ERR_clear_error();
    EXPECT_FALSE(certificate.Decode(c.bytes.data(), c.bytes.size()));
    EXPECT_EQ(LastPlatformError(), c.error);
    EXPECT_FALSE(certificate.decoded());
    EXPECT_EQ(certificate.x509(), nullptr);
    EXPECT_TRUE(certificate.der().empty());
    EXPECT_TRUE(certificate.subject().empty());
    EXPECT_TRUE(certificate.serial().empty());
    EXPECT_FALSE(certificate.key_usage().has_value());
    // The decoder's own complaints do not stay in the thread's OpenSSL error queue.
    EXPECT_EQ(ERR_peek_error(), 0u);
  }
  Certificate certificate;
  EXPECT_FALSE(certificate.Decode(nullptr, 5));
  EXPECT_EQ(LastPlatformError(), platform_error::kInvalidParameter);
}

TEST(CertificateTest, EveryTruncationOfARealCertificateFailsCleanly) {
  const std::vector<uint8_t> good = MakeCertificateDer(CertificateSpec());
  for (size_t n = 0; n < good.size(); ++n) {
    Certificate certificate;
    ASSERT_FALSE(certificate.Decode(good.data(), n)) << "prefix of " << n << " bytes";
    // Every proper prefix runs out of data inside the outer SEQUENCE.
    ASSERT_EQ(LastPlatformError(), platform_error::kAsn1EndOfData) << n;
  }
}

}  // namespace
}  // namespace kelvadrome
