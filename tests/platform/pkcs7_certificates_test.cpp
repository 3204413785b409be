// The PKCS #7 certificate-set reader: real messages from other producers checked against OpenSSL's
// CMS reader, every truncation of a DER and a BER bag, and hand-made messages for each reading and
// each fault.
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/crypto.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/certificate.h"
#include "platform/last_error.h"
#include "platform/pkcs7_certificates.h"
#include "support/test_support.h"

namespace kelvadrome {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kSentinel = 0x12345678;

// A message file's bytes; a .pem file is unarmoured and Base64-decoded with OpenSSL.
Bytes LoadMessage(const std::string& name) {
  Bytes file = testing::ReadWholeFile(testing::TestDataPath("pkcs7/" + name));
  if (!name.ends_with(".pem")) return file;
  BIO* bio = BIO_new_mem_buf(file.data(), static_cast<int>(file.size()));
  char* label = nullptr;
  char* header = nullptr;
  unsigned char* data = nullptr;
  long length = 0;
  Bytes der;
  if (PEM_read_bio(bio, &label, &header, &data, &length) == 1) der.assign(data, data + length);
  OPENSSL_free(label);
  OPENSSL_free(header);
  OPENSSL_free(data);
  BIO_free(bio);
  return der;
}

// The independent reference: the DER of each certificate OpenSSL's CMS reader finds.
std::vector<Bytes> OpenSslCertificates(const Bytes& message) {
  std::vector<Bytes> out;
  const unsigned char* p = message.data();
  CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(message.size()));
  STACK_OF(X509)* certs = cms ? CMS_get1_certs(cms) : nullptr;
  for (int i = 0; certs && i < sk_X509_num(certs); ++i) {
    unsigned char* der = nullptr;
    const int n = i2d_X509(sk_X509_value(certs, i), &der);
    if (n > 0) out.emplace_back(der, der + n);
    OPENSSL_free(der);
  }
  sk_X509_pop_free(certs, X509_free);
  CMS_ContentInfo_free(cms);
  return out;
}

std::vector<Bytes> Entries(const Pkcs7Certificates& result) {
  std::vector<Bytes> out;
  for (auto entry : result.certificates) out.emplace_back(entry.begin(), entry.end());
  return out;
}

// The data lines of a tab-separated file under tests/data/pkcs7, each split at its tabs.
std::vector<std::vector<std::string>> ReadTable(const std::string& name) {
  std::vector<std::vector<std::string>> rows;
  std::ifstream in(testing::TestDataPath("pkcs7/" + name));
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> fields;
    std::istringstream split(line);
    for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
    rows.push_back(fields);
  }
  return rows;
}

Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; hex != "-" && i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

const std::map<std::string, Pkcs7Reading> kReadings = {
    {"certificates", Pkcs7Reading::kCertificates},
    {"no-certificate-count", Pkcs7Reading::kNoCertificateCount},
    {"not-a-message", Pkcs7Reading::kNotAMessage}};
const std::map<std::string, uint32_t> kErrors = {{"0", 0},
                                                 {"eod", platform_error::kAsn1EndOfData},
                                                 {"badtag", platform_error::kAsn1BadTag},
                                                 {"badtype", platform_error::kInvalidMessageType}};

// ExpectReading reads |message| and checks the reading, the error recorded and the entries listed.
void ExpectReading(const Bytes& message, const std::string& reading, const std::string& error,
                   const std::vector<Bytes>& entries) {
  SetLastPlatformError(kSentinel);
  const Pkcs7Certificates result = ReadPkcs7Certificates(message);
  EXPECT_EQ(result.reading, kReadings.at(reading));
  EXPECT_EQ(LastPlatformError(), kErrors.at(error));
  EXPECT_EQ(Entries(result), entries);
}

TEST(Pkcs7CertificatesTest, ReadsMessagesFromOtherProducersAsOpenSslDoes) {
  const auto rows = ReadTable("cases.tsv");
  ASSERT_EQ(rows.size(), 8u);
  for (const auto& row : rows) {
    ASSERT_EQ(row.size(), 4u);
    SCOPED_TRACE(row[0]);
    const Bytes message = LoadMessage(row[0]);
    ASSERT_FALSE(message.empty());
    const std::vector<Bytes> reference = OpenSslCertificates(message);
    EXPECT_EQ(reference.size(), std::stoul(row[3]));
    ExpectReading(message, row[1], row[2], reference);
  }
}

TEST(Pkcs7CertificatesTest, HandMadeMessages) {
  const auto rows = ReadTable("hand_made.tsv");
  ASSERT_GE(rows.size(), 20u);
  for (const auto& row : rows) {
    ASSERT_EQ(row.size(), 5u);
    SCOPED_TRACE(row[0]);
    std::vector<Bytes> entries;
    std::istringstream split(row[4]);
    for (std::string hex; std::getline(split, hex, ',');) {
      if (hex != "-") entries.push_back(FromHex(hex));
    }
    ExpectReading(FromHex(row[3]), row[1], row[2], entries);
  }
}

TEST(Pkcs7CertificatesTest, EveryCutEndsEarlyAndATrailingByteIsRefused) {
  for (const char* name : {"certbag-amazon-roots-der.p7b", "certbag-amazon-roots-ber.p7b"}) {
    SCOPED_TRACE(name);
    Bytes message = LoadMessage(name);
    ASSERT_FALSE(message.empty());
    for (size_t n = 0; n < message.size(); ++n) {
      const auto result = ReadPkcs7Certificates(std::span(message.data(), n));
      ASSERT_EQ(result.reading, Pkcs7Reading::kNotAMessage) << "cut at " << n;
      ASSERT_EQ(LastPlatformError(), platform_error::kAsn1EndOfData) << "cut at " << n;
    }
    // One byte after the ContentInfo.
    message.push_back(0x00);
    EXPECT_EQ(ReadPkcs7Certificates(message).reading, Pkcs7Reading::kNotAMessage);
    EXPECT_EQ(LastPlatformError(), platform_error::kAsn1BadTag);
  }
}

TEST(Pkcs7CertificatesTest, VeryDeepNestingIsRefusedWithoutExhaustingTheStack) {
  // A data ContentInfo of indefinite length whose content nests 100000 indefinite SEQUENCEs.
  Bytes message{0x30, 0x80, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                0xF7, 0x0D, 0x01, 0x07, 0x01, 0xA0, 0x80};
  for (int i = 0; i < 100000; ++i) message.insert(message.end(), {0x30, 0x80});
  message.resize(message.size() + 2 * 100000 + 4, 0x00);
  EXPECT_EQ(ReadPkcs7Certificates(message).reading, Pkcs7Reading::kNotAMessage);
  EXPECT_EQ(LastPlatformError(), platform_error::kAsn1BadTag);
}

}  // namespace
}  // namespace kelvadrome
