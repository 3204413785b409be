// CertInfo: the text forms of certificate fields (names, common names, serials, thumbprints,
// local-time dates), their limits, loading and clearing, and agreement with OpenSSL's own printout
// for real certificates.
#include <iconv.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codec/byte_buffer.h"
#include "codec/cert_info.h"
#include "platform/certificate.h"
#include "platform/last_error.h"
#include "support/scoped_code_page.h"
#include "support/test_support.h"
#include "support/x509_builder.h"

namespace kelvadrome {
namespace {

using testing::CertificateSpec;
using testing::HexBytes;
using testing::MakeCertificateDer;
using testing::NameField;
using testing::ScopedCodePage;
using testing::ScopedEnv;

// Sets TZ for the life of the object, then restores it. The C library is not asked to read it:
// the component must notice a change of TZ on its own, however soon after the last date it wrote.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) : variable_(std::in_place, "TZ", zone) {}
  ~ScopedTimeZone() {
    variable_.reset();
    tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::optional<ScopedEnv> variable_;
};

bool Load(CertInfo& info, const std::vector<uint8_t>& der) {
  return info.LoadFromDer(der.data(), static_cast<int32_t>(der.size()));
}

std::string Repeat(const std::string& piece, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += piece;
  return out;
}

bool IsValidUtf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    size_t length = c < 0x80           ? 1
                    : (c >> 5) == 0x6  ? 2
                    : (c >> 4) == 0xE  ? 3
                    : (c >> 3) == 0x1E ? 4
                                       : 0;
    if (length == 0 || i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

// UTF-8 text in another code page, converted by iconv directly (not by the component).
std::string IconvFromUtf8(const std::string& text, const char* code_page) {
  iconv_t cd = iconv_open(code_page, "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    ADD_FAILURE() << "iconv lacks " << code_page;
    return std::string();
  }
  std::string in = text;
  std::string out(text.size() * 4 + 4, '\0');
  char* in_ptr = in.data();
  size_t in_left = in.size();
  char* out_ptr = out.data();
  size_t out_left = out.size();
  if (iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) == static_cast<size_t>(-1)) {
    ADD_FAILURE() << "iconv cannot convert";
  }
  iconv_close(cd);
  out.resize(out.size() - out_left);
  return out;
}

std::vector<std::pair<std::string, std::string>> ReadShortNames() {
  std::vector<std::pair<std::string, std::string>> names;
  std::ifstream file(testing::TestDataPath("x509/short_names.tsv"));
  EXPECT_TRUE(file) << "missing short_names.tsv";
  std::string line;
  while (std::getline(file, line)) {
    const size_t tab = line.find('\t');
    if (line.empty() || tab == std::string::npos) continue;
    names.emplace_back(line.substr(0, tab), line.substr(tab + 1));
  }
  return names;
}

TEST(CertInfoTest, WritesNamesInTheX500Form) {
  ScopedCodePage pinned("UTF-8");
  // Every attribute of the short-name table, each in its own RDN and in table order, then one
  // attribute the table does not know.
  const auto short_names = ReadShortNames();
  ASSERT_EQ(short_names.size(), 18u);
  CertificateSpec spec;
  spec.subject.clear();
  std::string expected;
  int index = 0;
  for (const auto& [openssl_name, short_name] : short_names) {
    const std::string value = "v" + std::to_string(index++);
    spec.subject.push_back({openssl_name, value, V_ASN1_UTF8STRING});
    expected += (expected.empty() ? "" : ", ") + short_name + "=" + value;
  }
  spec.subject.push_back({"1.3.6.1.4.1.99999.7", "other", V_ASN1_UTF8STRING});
  expected += ", OID.1.3.6.1.4.1.99999.7=other";
  // Values are not quoted, even with commas, plus signs, quotes or leading blanks.
  spec.issuer = {{"O", " Acme, \"Inc\" + Co", V_ASN1_UTF8STRING},
                 {"CN", "Alice", V_ASN1_UTF8STRING},
                 {"OU", "Sales", V_ASN1_UTF8STRING, true}};
  CertInfo info;
  ASSERT_TRUE(Load(info, MakeCertificateDer(spec)));
  EXPECT_EQ(info.GetSubject(), expected);
  EXPECT_EQ(info.GetIssuer(), "O= Acme, \"Inc\" + Co, CN=Alice + OU=Sales");
  EXPECT_EQ(info.GetIssuerCN(), "Alice");
  EXPECT_EQ(info.GetSubjectCN(), "v0");
}

TEST(CertInfoTest, ConvertsValuesToTheProcessCodePage) {
  CertificateSpec spec;
  // BMPString and TeletexString values next to UTF-8 ones.
  const std::string chinese = "\xE4\xB8\xAD\xE6\x96\x87";  // 中文 in UTF-8
  spec.subject = {{"C", "TW", V_ASN1_PRINTABLESTRING},
                  {"O", std::string("\x4E\x2D\x65\x87", 4), V_ASN1_BMPSTRING},
                  {"CN", chinese, V_ASN1_UTF8STRING}};
  spec.issuer = {{"CN", "M\xFCller", V_ASN1_T61STRING}};
  const std::vector<uint8_t> der = MakeCertificateDer(spec);
  struct Case {
    const char* code_page;
    std::string subject;
    std::string subject_cn;
    std::string issuer;
  };
  const Case cases[] = {
      {"UTF-8", "C=TW, O=" + chinese + ", CN=" + chinese, chinese, "CN=M\xC3\xBCller"},
      {"CP950",
       "C=TW, O=" + IconvFromUtf8(chinese, "CP950") + ", CN=" + IconvFromUtf8(chinese, "CP950"),
       IconvFromUtf8(chinese, "CP950"), "CN=M?ller"},
      {"ISO-8859-1", "C=TW, O=??, CN=??", "??", "CN=M\xFCller"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code_page);
    ScopedCodePage pinned(c.code_page);
    CertInfo info;
    ASSERT_TRUE(Load(info, der));
    EXPECT_EQ(info.GetSubject(), c.subject);
    EXPECT_EQ(info.GetSubjectCN(), c.subject_cn);
    EXPECT_EQ(info.GetIssuer(), c.issuer);
  }
  // The CP950 form of 中文 is the two Big5 pairs A4A4 A4E5.
  EXPECT_EQ(IconvFromUtf8(chinese, "CP950"), "\xA4\xA4\xA4\xE5");
}

TEST(CertInfoTest, CutsLongNamesWithoutSplittingCharacters) {
  const std::string zhong = "\xE4\xB8\xAD";  // 中: three bytes in UTF-8, two in CP950
  struct Case {
    const char* name;
    const char* code_page;
    std::string common_name;
    size_t subject_length;  // bytes of GetSubject
    size_t cn_length;       // bytes of GetSubjectCN
  };
  const Case cases[] = {
      // "CN=" + 600 ASCII letters: 511 kept, CN 99.
      {"ascii", "UTF-8", std::string(600, 'a'), 511, 99},
      // 3 + 3k: 169 characters fill 510 bytes; the 170th would straddle the limit.
      {"three-byte characters", "UTF-8", Repeat(zhong, 200), 510, 99},
      // "CN=x" + 3k fits 169 characters exactly in 511 bytes; CN "x" + 32 characters = 97 bytes.
      {"three-byte characters shifted", "UTF-8", "x" + Repeat(zhong, 200), 511, 97},
      // Double-byte code page: "CN=" + 254 pairs = 511; CN 49 pairs = 98.
      {"double-byte code page", "CP950", Repeat(zhong, 300), 511, 98},
      {"double-byte code page shifted", "CP950", "x" + Repeat(zhong, 300), 510, 99},
      // Exactly at the limits: nothing is cut.
      {"exact", "UTF-8", std::string(99, 'b'), 102, 99},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedCodePage pinned(c.code_page);
    CertificateSpec spec;
    spec.subject = {{"CN", c.common_name, V_ASN1_UTF8STRING}};
    CertInfo info;
    ASSERT_TRUE(Load(info, MakeCertificateDer(spec)));
    const std::string full_subject = IconvFromUtf8("CN=" + c.common_name, c.code_page);
    const std::string subject = info.GetSubject();
    const std::string cn = info.GetSubjectCN();
    EXPECT_EQ(subject.size(), c.subject_length);
    EXPECT_EQ(cn.size(), c.cn_length);
    // Each cut is a prefix of the whole text, ending on a character boundary.
    EXPECT_EQ(full_subject.compare(0, subject.size(), subject), 0);
    EXPECT_EQ(full_subject.compare(3, cn.size(), cn), 0);
    if (std::string(c.code_page) == "UTF-8") {
      EXPECT_TRUE(IsValidUtf8(subject));
      EXPECT_TRUE(IsValidUtf8(cn));
    }
  }
}

TEST(CertInfoTest, CommonNameIsTheFirstInStoredOrderOrEmpty) {
  ScopedCodePage pinned("UTF-8");
  struct Case {
    const char* name;
    std::vector<NameField> subject;
    std::string expected;
  };
  const Case cases[] = {
      {"no common name", {{"O", "Org"}, {"OU", "Unit"}}, ""},
      {"two common names", {{"DC", "com"}, {"CN", "Users"}, {"CN", "Bob"}}, "Users"},
      {"inside a multi-valued RDN", {{"O", "Org"}, {"CN", "Eve", V_ASN1_UTF8STRING, true}}, "Eve"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CertificateSpec spec;
    spec.subject = c.subject;
    CertInfo info;
    ASSERT_TRUE(Load(info, MakeCertificateDer(spec)));
    EXPECT_EQ(info.GetSubjectCN(), c.expected);
  }
}

TEST(CertInfoTest, FormatsDatesInLocalTime) {
  struct Case {
    const char* name;
    const char* zone;
    const char* encoded;
    const char* compact;
    const char* date;
    const char* date_time;
  };
  const Case cases[] = {
      {"UTC+1 crosses the year", "CET-1", "111231233000Z", "20120101003000", "2012/01/01",
       "2012/01/01 00:30:00"},
      {"named zone in winter", "Europe/Paris", "111231233000Z", "20120101003000", "2012/01/01",
       "2012/01/01 00:30:00"},
      {"named zone in summer", "Europe/Paris", "120701223000Z", "20120702003000", "2012/07/02",
       "2012/07/02 00:30:00"},
      {"west of UTC", "EST5", "19700101000000Z", "19691231190000", "1969/12/31",
       "1969/12/31 19:00:00"},
      {"before 1970", "UTC0", "19690720201740Z", "19690720201740", "1969/07/20",
       "1969/07/20 20:17:40"},
      {"UTCTime 1950", "UTC0", "500101120100Z", "19500101120100", "1950/01/01",
       "1950/01/01 12:01:00"},
      {"first second after 2038", "UTC0", "20380119031408Z", "20380119031408", "2038/01/19",
       "2038/01/19 03:14:08"},
      {"2100 is no leap year", "UTC0", "21000301000000Z", "21000301000000", "2100/03/01",
       "2100/03/01 00:00:00"},
      {"2400 is one", "UTC0", "24000229120000Z", "24000229120000", "2400/02/29",
       "2400/02/29 12:00:00"},
      {"year 9998", "UTC0", "99981130000000Z", "99981130000000", "9998/11/30",
       "9998/11/30 00:00:00"},
      {"first day the platform knows", "UTC0", "16010101000000Z", "16010101000000", "1601/01/01",
       "1601/01/01 00:00:00"},
      // Before 1601 the platform's time conversions fail: empty text.
      {"before 1601", "UTC0", "16001231235959Z", "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedTimeZone zone(c.zone);
    CertificateSpec spec;
    spec.not_before = c.encoded;
    spec.not_after = c.encoded;
    CertInfo info;
    ASSERT_TRUE(Load(info, MakeCertificateDer(spec)));
    EXPECT_EQ(info.GetNotBefore(CertDateFormat::kCompact), c.compact);
    EXPECT_EQ(info.GetNotBefore(CertDateFormat::kDate), c.date);
    EXPECT_EQ(info.GetNotBefore(CertDateFormat::kDateTime), c.date_time);
    EXPECT_EQ(info.GetNotAfter(CertDateFormat::kCompact), c.compact);
    EXPECT_EQ(info.GetNotAfter(CertDateFormat::kDateTime), c.date_time);
  }
}

TEST(CertInfoTest, SerialFingerprintAndBase64) {
  struct Case {
    const char* name;
    std::string serial_hex;
  };
  const Case cases[] = {
      {"leading zero digit kept", "01A2"},
      {"twenty-one octets", "00887766554433221100FFEEDDCCBBAA9988776655"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CertificateSpec spec;
    spec.serial = HexBytes(c.serial_hex);
    const std::vector<uint8_t> der = MakeCertificateDer(spec);
    CertInfo info;
    ASSERT_TRUE(Load(info, der));
    EXPECT_EQ(info.GetSerial(), c.serial_hex);

    // Independent references: OpenSSL's SHA-1 and Base64.
    unsigned char sha1[SHA_DIGEST_LENGTH];
    SHA1(der.data(), der.size(), sha1);
    std::string expected_fingerprint;
    for (unsigned char b : sha1) {
      char pair[3];
      std::snprintf(pair, sizeof pair, "%02X", b);
      expected_fingerprint += pair;
    }
    EXPECT_EQ(info.GetFingerprint(), expected_fingerprint);
    std::string base64(4 * ((der.size() + 2) / 3) + 1, '\0');
    const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(base64.data()), der.data(),
                                        static_cast<int>(der.size()));
    base64.resize(static_cast<size_t>(written));
    EXPECT_EQ(info.GetBase64(), base64);
  }
}

TEST(CertInfoTest, KeyUsageAndCaDecision) {
  struct Case {
    const char* name;
    bool self_issued;
    std::optional<std::string> key_usage;
    uint32_t expected_usage;
    bool expected_ca;
  };
  const Case cases[] = {
      {"self-signed end entity without key usage", true, std::nullopt, 0, true},
      {"issued end entity without key usage", false, std::nullopt, 0, false},
      {"keyCertSign", false, "critical,keyCertSign", 0x04, true},
      {"cRLSign only", false, "cRLSign", 0x02, true},
      {"signature and encipherment", false, "digitalSignature,keyEncipherment", 0xA0, false},
      {"self-signed with signature only", true, "digitalSignature", 0x80, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CertificateSpec spec;
    if (c.self_issued) spec.issuer.clear();
    spec.key_usage = c.key_usage;
    CertInfo info;
    ASSERT_TRUE(Load(info, MakeCertificateDer(spec)));
    EXPECT_EQ(info.GetKeyUsage(), c.expected_usage);
    EXPECT_EQ(info.IsCaCertificate(), c.expected_ca);
  }
}

void ExpectEmpty(const CertInfo& info) {
  EXPECT_FALSE(info.loaded());
  EXPECT_EQ(info.certificate(), nullptr);
  EXPECT_TRUE(info.der().empty());
  EXPECT_EQ(info.GetBase64(), "");
  EXPECT_EQ(info.GetSubject(), "");
  EXPECT_EQ(info.GetIssuer(), "");
  EXPECT_EQ(info.GetSubjectCN(), "");
  EXPECT_EQ(info.GetIssuerCN(), "");
  EXPECT_EQ(info.GetSerial(), "");
  EXPECT_EQ(info.GetFingerprint(), "");
  EXPECT_EQ(info.GetNotBefore(CertDateFormat::kCompact), "");
  EXPECT_EQ(info.GetNotAfter(CertDateFormat::kDateTime), "");
  EXPECT_EQ(info.GetKeyUsage(), 0u);
  // Two empty names compare equal.
  EXPECT_TRUE(info.IsCaCertificate());
}

TEST(CertInfoTest, FailedLoadsLeaveItEmpty) {
  CertificateSpec spec;
  spec.key_usage = "keyCertSign";
  const std::vector<uint8_t> good = MakeCertificateDer(spec);
  const uint8_t garbage[] = {'n', 'o', 't', ' ', 'D', 'E', 'R'};
  struct Case {
    const char* name;
    const void* bytes;
    int32_t n;
    uint32_t error;  // last_error() afterwards
  };
  const Case cases[] = {
      // No bytes at all: nothing is decoded, so nothing is recorded.
      {"null bytes", nullptr, 10, 0},
      {"zero length", good.data(), 0, 0},
      {"negative length", good.data(), -1, 0},
      // Text where DER belongs.
      {"garbage", garbage, sizeof garbage, platform_error::kAsn1BadTag},
      // A certificate without its last byte.
      {"truncated", good.data(), static_cast<int32_t>(good.size()) - 1,
       platform_error::kAsn1EndOfData},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CertInfo info;
    ASSERT_TRUE(Load(info, good));  // loading again first clears
    EXPECT_EQ(info.last_error(), 0u);
    EXPECT_FALSE(info.LoadFromDer(c.bytes, c.n));
    EXPECT_EQ(info.last_error(), c.error);
    ExpectEmpty(info);
  }
  CertInfo constructed(garbage, sizeof garbage);
  EXPECT_EQ(constructed.last_error(), platform_error::kAsn1BadTag);
  ExpectEmpty(constructed);
  CertInfo cleared(good.data(), static_cast<int32_t>(good.size()));
  EXPECT_TRUE(cleared.loaded());
  cleared.Clear();
  ExpectEmpty(cleared);
  ExpectEmpty(CertInfo());
}

TEST(CertInfoTest, KeepsItsOwnCopyOfTheDer) {
  std::vector<uint8_t> der = MakeCertificateDer(CertificateSpec());
  CertInfo info;
  ASSERT_TRUE(Load(info, der));
  const std::string fingerprint = info.GetFingerprint();
  const std::string base64 = info.GetBase64();
  std::fill(der.begin(), der.end(), 0);
  EXPECT_EQ(info.GetFingerprint(), fingerprint);
  EXPECT_EQ(info.GetBase64(), base64);
}

TEST(CertInfoTest, BorrowsACertificateWithoutReleasingIt) {
  ScopedCodePage pinned("UTF-8");
  CertificateSpec spec;
  spec.subject = {{"O", "Org"}, {"CN", "Borrowed"}};
  spec.serial = {0x01, 0xA2};
  spec.key_usage = "digitalSignature";
  const std::vector<uint8_t> der = MakeCertificateDer(spec);
  Certificate certificate;
  ASSERT_TRUE(certificate.Decode(der.data(), der.size()));
  CertInfo owned;
  ASSERT_TRUE(Load(owned, der));
  {
    CertInfo borrowed(certificate);
    ASSERT_TRUE(borrowed.loaded());
    EXPECT_EQ(borrowed.certificate(), &certificate);
    EXPECT_EQ(borrowed.GetSubject(), owned.GetSubject());
    EXPECT_EQ(borrowed.GetSubject(), "O=Org, CN=Borrowed");
    EXPECT_EQ(borrowed.GetSerial(), "01A2");
    EXPECT_EQ(borrowed.GetFingerprint(), owned.GetFingerprint());
    EXPECT_EQ(borrowed.GetKeyUsage(), 0x80u);
    ASSERT_EQ(borrowed.der().length(), static_cast<int32_t>(der.size()));
    EXPECT_EQ(std::memcmp(borrowed.der().data(), der.data(), der.size()), 0);
    borrowed.Clear();
    ExpectEmpty(borrowed);
    EXPECT_TRUE(borrowed.LoadFromCertificate(certificate));
  }
  // The borrowed certificate is intact after the CertInfo is gone (a sanitized build would catch
  // a release here).
  EXPECT_TRUE(certificate.decoded());
  EXPECT_NE(X509_get_subject_name(certificate.x509()), nullptr);
  CertInfo again(certificate);
  EXPECT_EQ(again.GetSubjectCN(), "Borrowed");

  // A certificate that holds nothing cannot be borrowed.
  Certificate empty;
  CertInfo info;
  EXPECT_FALSE(info.LoadFromCertificate(empty));
  ExpectEmpty(info);
}

// ---- Real certificates against OpenSSL's printout -----------------------------------------------

// Splits an RFC 2253 name as OpenSSL prints it (sep_comma_plus_space, \XX escapes) into
// attributes and the separators between them, undoing the escapes.
struct PrintedName {
  std::vector<std::pair<std::string, std::string>> attributes;  // type, value
  std::vector<std::string> separators;                          // ", " or " + "
};

PrintedName ParsePrintedName(const std::string& text) {
  PrintedName name;
  std::string current;
  auto finish = [&name, &current] {
    const size_t equals = current.find('=');
    EXPECT_NE(equals, std::string::npos) << current;
    name.attributes.emplace_back(current.substr(0, equals), current.substr(equals + 1));
    current.clear();
  };
  for (size_t i = 0; i < text.size();) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      if (i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
          std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
        current += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
        i += 3;
      } else {
        current += text[i + 1];
        i += 2;
      }
    } else if (text.compare(i, 2, ", ") == 0 || text.compare(i, 3, " + ") == 0) {
      const bool plus = text[i] == ' ';
      finish();
      name.separators.push_back(plus ? " + " : ", ");
      i += plus ? 3 : 2;
    } else {
      current += text[i++];
    }
  }
  if (!current.empty()) finish();
  return name;
}

// The X.500 form of a name OpenSSL printed in RFC 2253 order (last RDN first): the order is
// reversed back and each type becomes its short name or OID.<dotted number>.
std::string ExpectedX500(const std::string& printed,
                         const std::vector<std::pair<std::string, std::string>>& short_names) {
  PrintedName name = ParsePrintedName(printed);
  std::reverse(name.attributes.begin(), name.attributes.end());
  std::reverse(name.separators.begin(), name.separators.end());
  std::string out;
  for (size_t i = 0; i < name.attributes.size(); ++i) {
    if (i != 0) out += name.separators[i - 1];
    const std::string& type = name.attributes[i].first;
    std::string short_name;
    for (const auto& [openssl_name, ours] : short_names) {
      if (openssl_name == type) short_name = ours;
    }
    if (short_name.empty()) {
      const int nid = OBJ_txt2nid(type.c_str());
      EXPECT_NE(nid, NID_undef) << type;
      char dotted[128];
      OBJ_obj2txt(dotted, sizeof dotted, OBJ_nid2obj(nid), 1);
      short_name = std::string("OID.") + dotted;
    }
    out += short_name + "=" + name.attributes[i].second;
  }
  return out;
}

// The INTEGER content octets, as upper-case hex, of a serial OpenSSL printed as sign and
// magnitude ("-01", "88D2...").
std::string EncodedSerial(const std::string& printed) {
  const bool negative = !printed.empty() && printed[0] == '-';
  std::vector<uint8_t> octets = HexBytes(negative ? printed.substr(1) : printed);
  if (!negative) {
    if (octets.empty() || (octets[0] & 0x80) != 0) octets.insert(octets.begin(), 0x00);
  } else {
    // Two's complement of the magnitude, then the shortest form that keeps the sign.
    for (uint8_t& b : octets) b = static_cast<uint8_t>(~b);
    for (size_t i = octets.size(); i-- > 0;) {
      if (++octets[i] != 0) break;
    }
    if ((octets[0] & 0x80) == 0) octets.insert(octets.begin(), 0xFF);
    while (octets.size() > 1 && octets[0] == 0xFF && (octets[1] & 0x80) != 0) {
      octets.erase(octets.begin());
    }
  }
  std::string hex;
  for (uint8_t b : octets) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02X", b);
    hex += pair;
  }
  return hex;
}

// "Jan  1 08:30:00 2010 GMT" as "20100101083000".
std::string CompactFromPrinted(const std::string& printed) {
  static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char month[4] = {};
  int day = 0, hour = 0, minute = 0, second = 0, year = 0;
  if (std::sscanf(printed.c_str(), "%3s %d %d:%d:%d %d", month, &day, &hour, &minute, &second,
                  &year) != 6) {
    ADD_FAILURE() << "unreadable date " << printed;
    return std::string();
  }
  int month_number = 0;
  for (int m = 0; m < 12; ++m) {
    if (std::strcmp(kMonths[m], month) == 0) month_number = m + 1;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", year, month_number, day, hour,
                minute, second);
  return text;
}

uint32_t KeyUsageFromPrinted(const std::string& line) {
  static const std::pair<const char*, uint32_t> kBits[] = {
      {"Digital Signature", 0x80}, {"Non Repudiation", 0x40}, {"Key Encipherment", 0x20},
      {"Data Encipherment", 0x10}, {"Key Agreement", 0x08},   {"Certificate Sign", 0x04},
      {"CRL Sign", 0x02},          {"Encipher Only", 0x01}};
  uint32_t bits = 0;
  for (const auto& [name, bit] : kBits) {
    if (line.find(name) != std::string::npos) bits |= bit;
  }
  return bits;
}

std::filesystem::path RealCertificateFolder() {
  // KELVADROME_X509_DIR points the test at a larger collection laid out the same way.
  const char* override_dir = std::getenv("KELVADROME_X509_DIR");
  if (override_dir != nullptr && *override_dir != '\0') return override_dir;
  return testing::TestDataPath("x509/real");
}

TEST(CertInfoTest, RealCertificatesAgreeWithOpenSslPrintout) {
  ScopedCodePage pinned("UTF-8");
  ScopedTimeZone zone("UTC0");
  const auto short_names = ReadShortNames();
  int checked = 0;
  for (const auto& entry : std::filesystem::directory_iterator(RealCertificateFolder())) {
    if (entry.path().extension() != ".pem") continue;
    std::filesystem::path printout = entry.path();
    printout.replace_extension(".txt");
    if (!std::filesystem::exists(printout)) continue;
    SCOPED_TRACE(entry.path().filename().string());
    const std::vector<unsigned char> pem = testing::ReadWholeFile(entry.path());
    ByteBuffer der;
    ASSERT_TRUE(der.Base64Decode(std::string(pem.begin(), pem.end()).c_str()));
    CertInfo info;
    ASSERT_TRUE(info.LoadFromDer(der.data(), der.length())) << info.last_error();

    std::map<std::string, std::string> fields;
    std::ifstream file(printout);
    std::string line;
    uint32_t key_usage = 0;
    bool in_key_usage = false;
    while (std::getline(file, line)) {
      if (in_key_usage) {
        key_usage = KeyUsageFromPrinted(line);
        in_key_usage = false;
        continue;
      }
      if (line.rfind("X509v3 Key Usage:", 0) == 0) in_key_usage = true;
      const size_t equals = line.find('=');
      if (equals != std::string::npos) fields[line.substr(0, equals)] = line.substr(equals + 1);
    }
    std::string fingerprint = fields["sha1 Fingerprint"];
    fingerprint.erase(std::remove(fingerprint.begin(), fingerprint.end(), ':'), fingerprint.end());

    EXPECT_EQ(info.GetSubject(), ExpectedX500(fields["subject"], short_names));
    EXPECT_EQ(info.GetIssuer(), ExpectedX500(fields["issuer"], short_names));
    EXPECT_EQ(info.GetSerial(), EncodedSerial(fields["serial"]));
    EXPECT_EQ(info.GetNotBefore(CertDateFormat::kCompact), CompactFromPrinted(fields["notBefore"]));
    EXPECT_EQ(info.GetNotAfter(CertDateFormat::kCompact), CompactFromPrinted(fields["notAfter"]));
    EXPECT_EQ(info.GetFingerprint(), fingerprint);
    EXPECT_EQ(info.GetKeyUsage(), key_usage);
    ++checked;
  }
  EXPECT_GE(checked, 10);
}

}  // namespace
}  // namespace kelvadrome
