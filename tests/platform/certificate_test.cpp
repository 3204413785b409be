// The platform certificate decoder: the facts it reads from DER, the string types of name values,
// serials and times at their limits, and the errors it records for input that is not one
// certificate.
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <ctime>
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
    // Found with its tag and length in front, so that the same bytes elsewhere (the 'Z' of a
    // time) cannot be taken for it.
    const int written_type =
        type == V_ASN1_OCTET_STRING || type == V_ASN1_SEQUENCE ? V_ASN1_PRINTABLESTRING : type;
    std::vector<uint8_t> element = {static_cast<uint8_t>(written_type),
                                    static_cast<uint8_t>(placeholder.size())};
    element.insert(element.end(), placeholder.begin(), placeholder.end());
    auto at = std::search(der.begin(), der.end(), element.begin(), element.end());
    ASSERT_NE(at, der.end());
    at += 2;
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

// ---- Structure edits: an element of a real certificate replaced, lengths around it fixed -------

struct Header {
  size_t header = 0;
  size_t length = 0;
};

Header ReadTestHeader(const uint8_t* p, size_t n) {
  Header h;
  if (n < 2) return h;
  if (p[1] < 0x80) return Header{2, p[1]};
  const size_t count = p[1] & 0x7F;
  h.header = 2 + count;
  for (size_t i = 0; i < count && 2 + i < n; ++i) h.length = (h.length << 8) | p[2 + i];
  return h;
}

void AppendTestLength(std::vector<uint8_t>& out, size_t length) {
  if (length < 0x80) {
    out.push_back(static_cast<uint8_t>(length));
  } else if (length < 0x100) {
    out.insert(out.end(), {0x81, static_cast<uint8_t>(length)});
  } else {
    out.insert(out.end(), {0x82, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
  }
}

// Re-encodes the elements in the |n| bytes at |p| with the element at index path |path| (child
// numbers from the outermost element down) replaced by |with| (any bytes, even none); every
// element holding it gets its length fixed.
std::vector<uint8_t> Replace(const uint8_t* p, size_t n, const std::vector<size_t>& path,
                             size_t depth, const std::vector<uint8_t>& with) {
  std::vector<uint8_t> out;
  size_t index = 0;
  for (size_t i = 0; i < n; ++index) {
    const Header h = ReadTestHeader(p + i, n - i);
    const size_t end = i + h.header + h.length;
    if (h.header == 0 || end > n) {
      ADD_FAILURE() << "bad test input";
      return out;
    }
    if (index != path[depth]) {
      out.insert(out.end(), p + i, p + end);
    } else if (depth + 1 == path.size()) {
      out.insert(out.end(), with.begin(), with.end());
    } else {
      const std::vector<uint8_t> inner = Replace(p + i + h.header, h.length, path, depth + 1, with);
      out.push_back(p[i]);
      AppendTestLength(out, inner.size());
      out.insert(out.end(), inner.begin(), inner.end());
    }
    i = end;
  }
  return out;
}

std::vector<uint8_t> Replace(const std::vector<uint8_t>& der, const std::vector<size_t>& path,
                             const std::vector<uint8_t>& with) {
  return Replace(der.data(), der.size(), path, 0, with);
}

// The element at |path|, header included.
std::vector<uint8_t> ElementAt(const std::vector<uint8_t>& der, const std::vector<size_t>& path) {
  const uint8_t* p = der.data();
  size_t n = der.size();
  for (size_t depth = 0; depth < path.size(); ++depth) {
    size_t i = 0;
    for (size_t index = 0;; ++index) {
      const Header h = ReadTestHeader(p + i, n - i);
      if (h.header == 0 || i + h.header + h.length > n) return {};
      if (index == path[depth]) {
        if (depth + 1 == path.size()) return {p + i, p + i + h.header + h.length};
        p += i + h.header;
        n = h.length;
        break;
      }
      i += h.header + h.length;
    }
  }
  return {};
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

std::vector<uint8_t> Tlv(uint8_t tag, const std::vector<uint8_t>& content) {
  std::vector<uint8_t> out = {tag};
  AppendTestLength(out, content.size());
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

// Paths into the test certificates: Certificate SEQUENCE, then TBSCertificate's children.
const std::vector<size_t> kTbs = {0, 0};
std::vector<size_t> TbsChild(size_t n) {
  return {0, 0, n};
}
constexpr size_t kSerial = 1, kSignature = 2, kValidity = 4, kSubject = 5, kKeyInfo = 6,
                 kExtensions = 7;

TEST(CertificateTest, RefusesEncodingsThatAreNotDerInside) {
  CertificateSpec spec;
  spec.key_usage = "digitalSignature";
  const std::vector<uint8_t> good = MakeCertificateDer(spec);
  const std::vector<uint8_t> tbs = ElementAt(good, kTbs);
  const std::vector<uint8_t> validity = ElementAt(good, TbsChild(kValidity));
  const std::vector<uint8_t> not_before = ElementAt(good, {0, 0, kValidity, 0});
  const std::vector<uint8_t> subject_value = ElementAt(good, {0, 0, kSubject, 0, 0, 1});
  const std::vector<uint8_t> key_info = ElementAt(good, TbsChild(kKeyInfo));
  const std::vector<uint8_t> algorithm = ElementAt(good, TbsChild(kSignature));
  const std::vector<uint8_t> extension = ElementAt(good, {0, 0, kExtensions, 0, 0});
  ASSERT_EQ(not_before.size(), 15u);
  ASSERT_EQ(subject_value[0], 0x0C);
  struct Case {
    const char* name;
    std::vector<uint8_t> der;
  };
  const Case cases[] = {
      // The serial's length in the long form though it is below 128.
      {"long-form short length", Replace(good, TbsChild(kSerial), {0x02, 0x81, 0x01, 0x01})},
      // The serial padded with a zero octet.
      {"padded serial", Replace(good, TbsChild(kSerial), {0x02, 0x02, 0x00, 0x01})},
      // A serial with no content octets.
      {"empty serial", Replace(good, TbsChild(kSerial), {0x02, 0x00})},
      // No serial at all.
      {"serial missing", Replace(good, TbsChild(kSerial), {})},
      // The validity as an indefinite-length SEQUENCE closed by end-of-contents.
      {"indefinite validity",
       Replace(good, TbsChild(kValidity),
               Concat({{0x30, 0x80}, {validity.begin() + 2, validity.end()}, {0x00, 0x00}}))},
      // Three times in the validity.
      {"three times", Replace(good, {0, 0, kValidity, 1}, Concat({not_before, not_before}))},
      // The subject's UTF8String value as a constructed string holding one segment (BER).
      {"constructed name string",
       Replace(good, {0, 0, kSubject, 0, 0, 1}, Tlv(0x2C, subject_value))},
      // The attribute type and value with an extra element after the value.
      {"attribute with extra element",
       Replace(good, {0, 0, kSubject, 0, 0, 1}, Concat({subject_value, {0x05, 0x00}}))},
      // The signature algorithm with two parameter elements.
      {"algorithm with two parameters",
       Replace(good, TbsChild(kSignature),
               Tlv(0x30,
                   Concat({{algorithm.begin() + 2, algorithm.end()}, {0x05, 0x00, 0x05, 0x00}})))},
      // The public key info without its BIT STRING.
      {"key info without key", Replace(good, {0, 0, kKeyInfo, 1}, {})},
      // The key BIT STRING claiming eight unused bits.
      {"key bits with eight unused", Replace(good, {0, 0, kKeyInfo, 1}, {0x03, 0x02, 0x08, 0x00})},
      // An issuerUniqueID whose unused-bit count is 8.
      {"bad unique id",
       Replace(good, TbsChild(kExtensions),
               Concat({{0x81, 0x02, 0x08, 0x00}, ElementAt(good, TbsChild(kExtensions))}))},
      // The extensions [3] before the public key info: out of order.
      {"extensions before key",
       Replace(Replace(good, TbsChild(kExtensions), {}), TbsChild(kKeyInfo),
               Concat({ElementAt(good, TbsChild(kExtensions)), key_info}))},
      // An element after the extensions in the TBSCertificate.
      {"element after extensions",
       Replace(good, TbsChild(kExtensions),
               Concat({ElementAt(good, TbsChild(kExtensions)), {0x05, 0x00}}))},
      // An extension whose critical flag has two octets.
      {"critical flag too long",
       Replace(good, {0, 0, kExtensions, 0, 0, 1},
               Concat({{0x01, 0x02, 0x00, 0xFF}, ElementAt(good, {0, 0, kExtensions, 0, 0, 1})}))},
      // An extension without its value.
      {"extension without value", Replace(good, {0, 0, kExtensions, 0, 0, 1}, {})},
      // An element after the signature.
      {"element after signature",
       Replace(good, {0, 2}, Concat({ElementAt(good, {0, 2}), {0x05, 0x00}}))},
  };
  ASSERT_FALSE(tbs.empty());
  ASSERT_FALSE(extension.empty());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NE(c.der, good);
    Certificate certificate;
    EXPECT_FALSE(certificate.Decode(c.der.data(), c.der.size()));
    EXPECT_EQ(LastPlatformError(), platform_error::kAsn1BadTag);
  }
  // The untouched certificate and a well-formed pair of unique identifiers both decode.
  DecodeOrFail(good);
  DecodeOrFail(Replace(good, TbsChild(kExtensions),
                       Concat({{0x81, 0x02, 0x00, 0xAA, 0x82, 0x01, 0x00},
                               ElementAt(good, TbsChild(kExtensions))})));
}

// Seconds since 1970 of what OpenSSL reads from the time text, or nothing when it refuses it.
std::optional<int64_t> OpenSslTime(int type, const std::string& text) {
  ASN1_STRING* time = ASN1_STRING_type_new(type);
  ASN1_STRING_set(time, text.data(), static_cast<int>(text.size()));
  struct tm fields = {};
  const bool ok = ASN1_TIME_to_tm(time, &fields) == 1;
  ASN1_STRING_free(time);
  if (!ok) return std::nullopt;
  return static_cast<int64_t>(timegm(&fields));
}

TEST(CertificateTest, ReadsValidityTimesAsOpenSslDoes) {
  const std::vector<uint8_t> good = MakeCertificateDer(CertificateSpec());
  struct Case {
    bool generalized;
    const char* text;
  };
  const Case cases[] = {
      {false, "200101000000Z"},      {false, "2001011230Z"},    // seconds left out
      {false, "491231235959Z"},      {false, "500101000000Z"},  // the century switch
      {false, "200101123000+0130"},  {false, "200101123000-0500"},
      {false, "200229000000Z"},      // a leap day
      {false, "210229000000Z"},      // no leap day in 2021
      {false, "200431000000Z"},      // April has 30 days
      {false, "200101240000Z"},      // hour 24
      {false, "200101000060Z"},      // second 60
      {false, "200101000000"},       // no time zone
      {false, "200101000000+01"},    // a short offset
      {false, "200101000000+1300"},  // an offset beyond 12 hours
      {false, "2001010000Z0"},       // something after the zone
      {false, "20010100Z"},          // too short
      {false, "2001a1000000Z"},      // a letter in the month
      {true, "20200101123000Z"},     {true, "202001011230Z"},
      {true, "20200101123000.5Z"},   {true, "20200101123000.125+0100"},
      {true, "20200101123000.Z"},  // a point without digits
      {true, "20200101123000.5"},  // a fraction and no zone
      {true, "99991231235959Z"},     {true, "19000101000000Z"},
      {true, "19000101000000+0100"},  // an hour before 1900 once moved to UTC
      {true, "99991231235959-0100"},  // past 9999 once moved to UTC
      {true, "21000229000000Z"},      // 2100 is no leap year
      {true, "20000229000000Z"},      // 2000 is one
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string text = c.text;
    const std::vector<uint8_t> element =
        Tlv(c.generalized ? 0x18 : 0x17, std::vector<uint8_t>(text.begin(), text.end()));
    const std::vector<uint8_t> der = Replace(good, {0, 0, kValidity, 0}, element);
    const std::optional<int64_t> expected =
        OpenSslTime(c.generalized ? V_ASN1_GENERALIZEDTIME : V_ASN1_UTCTIME, text);
    Certificate certificate;
    ASSERT_EQ(certificate.Decode(der.data(), der.size()), expected.has_value());
    if (!expected) {
      EXPECT_EQ(LastPlatformError(), platform_error::kAsn1BadTag);
      continue;
    }
    EXPECT_EQ(certificate.not_before(), *expected);
  }
}

// The first key-usage octet and cA flag OpenSSL reads from the certificate's own object.
std::optional<uint8_t> OpenSslKeyUsage(X509* x509) {
  ASN1_BIT_STRING* bits =
      static_cast<ASN1_BIT_STRING*>(X509_get_ext_d2i(x509, NID_key_usage, nullptr, nullptr));
  if (bits == nullptr) return std::nullopt;
  const uint8_t first = ASN1_STRING_length(bits) > 0 ? ASN1_STRING_get0_data(bits)[0] : 0;
  ASN1_BIT_STRING_free(bits);
  return first;
}

bool OpenSslCa(X509* x509) {
  BASIC_CONSTRAINTS* constraints = static_cast<BASIC_CONSTRAINTS*>(
      X509_get_ext_d2i(x509, NID_basic_constraints, nullptr, nullptr));
  const bool ca = constraints != nullptr && constraints->ca != 0;
  BASIC_CONSTRAINTS_free(constraints);
  return ca;
}

TEST(CertificateTest, ReadsExtensionValuesAsOpenSslDoes) {
  CertificateSpec spec;
  spec.key_usage = "digitalSignature";
  spec.basic_constraints = "CA:TRUE";
  const std::vector<uint8_t> good = MakeCertificateDer(spec);
  const std::vector<uint8_t> key_usage = ElementAt(good, {0, 0, kExtensions, 0, 0});
  const std::vector<uint8_t> constraints = ElementAt(good, {0, 0, kExtensions, 0, 1});
  auto with_value = [](const std::vector<uint8_t>& oid, const std::vector<uint8_t>& value) {
    return Tlv(0x30, Concat({oid, Tlv(0x04, value)}));
  };
  const std::vector<uint8_t> ku_oid = {0x06, 0x03, 0x55, 0x1D, 0x0F};
  const std::vector<uint8_t> bc_oid = {0x06, 0x03, 0x55, 0x1D, 0x13};
  struct Case {
    const char* name;
    std::vector<uint8_t> extensions;
  };
  const Case cases[] = {
      {"as built", Concat({key_usage, constraints})},
      {"key usage twice", Concat({key_usage, key_usage, constraints})},
      {"constraints twice", Concat({key_usage, constraints, constraints})},
      {"bits set in the unused part", with_value(ku_oid, {0x03, 0x02, 0x03, 0xFF})},
      {"two octets of bits", with_value(ku_oid, {0x03, 0x03, 0x07, 0x86, 0x80})},
      {"no bits", with_value(ku_oid, {0x03, 0x01, 0x00})},
      {"bytes after the bits", with_value(ku_oid, {0x03, 0x02, 0x00, 0x84, 0x05, 0x00})},
      // Not a BIT STRING: unreadable, the certificate still decodes.
      {"usage as octet string", with_value(ku_oid, {0x04, 0x01, 0x80})},
      {"empty usage value", with_value(ku_oid, {})},
      {"cA written as one", with_value(bc_oid, {0x30, 0x03, 0x01, 0x01, 0x01})},
      {"cA false written out", with_value(bc_oid, {0x30, 0x03, 0x01, 0x01, 0x00})},
      {"cA and path length", with_value(bc_oid, {0x30, 0x06, 0x01, 0x01, 0xFF, 0x02, 0x01, 0x03})},
      {"path length padded",
       with_value(bc_oid, {0x30, 0x07, 0x01, 0x01, 0xFF, 0x02, 0x02, 0x00, 0x03})},
      {"constraints with extra element",
       with_value(bc_oid, {0x30, 0x05, 0x01, 0x01, 0xFF, 0x05, 0x00})},
      {"constraints not a sequence", with_value(bc_oid, {0x01, 0x01, 0xFF})},
      {"critical constraints",
       Tlv(0x30, Concat({bc_oid, {0x01, 0x01, 0xFF}, Tlv(0x04, {0x30, 0x03, 0x01, 0x01, 0xFF})}))},
      {"no extensions in the sequence", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> der =
        Replace(good, TbsChild(kExtensions), Tlv(0xA3, Tlv(0x30, c.extensions)));
    const Certificate certificate = DecodeOrFail(der);
    X509* x509 = certificate.x509();
    ASSERT_NE(x509, nullptr);
    EXPECT_EQ(certificate.key_usage(), OpenSslKeyUsage(x509));
    EXPECT_EQ(certificate.basic_constraints_ca(), OpenSslCa(x509));
  }
}

TEST(CertificateTest, MakesTheOpenSslObjectOnDemandAndKeepsIt) {
  Certificate empty;
  EXPECT_EQ(empty.x509(), nullptr);
  const std::vector<uint8_t> der = MakeCertificateDer(CertificateSpec());
  Certificate certificate = DecodeOrFail(der);
  X509* first = certificate.x509();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(certificate.x509(), first);
  unsigned char* encoded = nullptr;
  const int length = i2d_X509(first, &encoded);
  ASSERT_GT(length, 0);
  EXPECT_EQ(std::vector<uint8_t>(encoded, encoded + length), der);
  OPENSSL_free(encoded);
  // The object moves with the certificate.
  Certificate moved = std::move(certificate);
  EXPECT_EQ(moved.x509(), first);
  EXPECT_TRUE(moved.decoded());
  // Threads asking at once all get the same object.
  Certificate shared = DecodeOrFail(der);
  std::vector<X509*> seen(4, nullptr);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&shared, &seen, i] { seen[i] = shared.x509(); });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_NE(seen[0], nullptr);
  for (X509* x509 : seen) EXPECT_EQ(x509, seen[0]);
  // A new decode drops the old object.
  ASSERT_TRUE(shared.Decode(der.data(), der.size()));
  EXPECT_NE(shared.x509(), nullptr);
}

TEST(CertificateTest, WhatItAcceptsOpenSslAcceptsWithTheSameFacts) {
  // Every single-octet change of a certificate: when the decoder takes it, OpenSSL takes it too and
  // reads the same serial and validity.
  CertificateSpec spec;
  spec.key_usage = "keyCertSign";
  spec.basic_constraints = "CA:TRUE";
  const std::vector<uint8_t> good = MakeCertificateDer(spec);
  int accepted = 0;
  for (size_t at = 0; at < good.size(); ++at) {
    for (int bit = 0; bit < 8; ++bit) {
      const uint8_t change = static_cast<uint8_t>(1 << bit);
      std::vector<uint8_t> der = good;
      der[at] ^= change;
      Certificate certificate;
      if (!certificate.Decode(der.data(), der.size())) continue;
      ++accepted;
      SCOPED_TRACE("octet " + std::to_string(at) + " xor " + std::to_string(change));
      X509* x509 = certificate.x509();
      ASSERT_NE(x509, nullptr);
      const ASN1_INTEGER* serial = X509_get0_serialNumber(x509);
      unsigned char* encoded = nullptr;
      const int length = i2d_ASN1_INTEGER(serial, &encoded);
      ASSERT_GT(length, 2);
      EXPECT_EQ(std::vector<uint8_t>(encoded + 2, encoded + length), certificate.serial());
      OPENSSL_free(encoded);
      struct tm fields = {};
      ASSERT_EQ(ASN1_TIME_to_tm(X509_get0_notBefore(x509), &fields), 1);
      EXPECT_EQ(certificate.not_before(), static_cast<int64_t>(timegm(&fields)));
      EXPECT_EQ(certificate.key_usage(), OpenSslKeyUsage(x509));
      EXPECT_EQ(certificate.basic_constraints_ca(), OpenSslCa(x509));
    }
  }
  EXPECT_GT(accepted, 50);
}

}  // namespace
}  // namespace kelvadrome
