// Base64 encoding and lenient decoding of ByteBuffer, and StripPemArmour.
#include <openssl/evp.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codec/byte_buffer.h"
#include "support/test_support.h"

namespace kelvadrome {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

Bytes Content(const ByteBuffer& buffer) {
  return Bytes(buffer.data(), buffer.data() + buffer.length());
}

// Checks the buffer's invariants: empty means null data; content is followed by two zero bytes.
void ExpectWellFormed(const ByteBuffer& buffer) {
  if (buffer.length() == 0) {
    EXPECT_EQ(buffer.data(), nullptr);
    return;
  }
  ASSERT_NE(buffer.data(), nullptr);
  EXPECT_EQ(buffer.data()[buffer.length()], 0);
  EXPECT_EQ(buffer.data()[buffer.length() + 1], 0);
}

// The decoding algorithm written out step by step, as the reference for the table-driven decoder.
// A character outside the alphabet (other than CR, LF and space) counts as the value 0.
bool ReferenceDecode(const std::string& text, Bytes* out) {
  out->clear();
  if (text.empty()) return false;
  std::string body = text;
  if (text.find("----") != std::string::npos) {
    size_t pos = 0;
    while (pos < text.size() && text[pos] == '-') ++pos;
    pos = text.find("----", pos);
    if (pos == std::string::npos) return false;
    while (pos < text.size() && (text[pos] == '-' || text[pos] == '\r' || text[pos] == '\n')) {
      ++pos;
    }
    const size_t stop = text.find("----", pos);
    if (stop == std::string::npos) return false;
    body = text.substr(pos, stop - pos);
  }
  static const std::string kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
  std::vector<int> values;
  for (char c : body) {
    if (c == '\r' || c == '\n' || c == ' ') continue;
    const size_t at = kAlphabet.find(c);
    values.push_back(at == std::string::npos ? 0 : static_cast<int>(at));
  }
  while (values.size() % 4 != 0) values.push_back(64);
  for (size_t i = 0; i < values.size(); i += 4) {
    const int first = values[i], second = values[i + 1], third = values[i + 2],
              fourth = values[i + 3];
    out->push_back(static_cast<uint8_t>((((first & 0x3F) << 2) + ((second >> 4) & 3)) % 256));
    if (third == 64) continue;
    out->push_back(static_cast<uint8_t>(((second & 0x0F) << 4) + ((third >> 2) & 0x0F)));
    if (fourth == 64) continue;
    out->push_back(static_cast<uint8_t>(((third & 3) << 6) + (fourth & 0x3F)));
  }
  return true;
}

std::string OpenSslEncode(const Bytes& bytes) {
  std::string text((bytes.size() + 2) / 3 * 4 + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                                static_cast<int>(bytes.size()));
  text.resize(static_cast<size_t>(n));
  return text;
}

Bytes RandomBytes(std::mt19937& generator, size_t size) {
  std::uniform_int_distribution<int> byte(0, 255);
  Bytes bytes(size);
  for (auto& b : bytes) b = static_cast<uint8_t>(byte(generator));
  return bytes;
}

// --- Encoding -----------------------------------------------------------------------------------

TEST(Base64Test, KnownAnswersEncodeAndDecode) {
  std::ifstream in(testing::TestDataPath("codec/base64_rfc4648.txt"));
  ASSERT_TRUE(in) << "missing codec/base64_rfc4648.txt";
  std::string line;
  int cases = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const size_t space = line.find(' ');
    ASSERT_NE(space, std::string::npos) << line;
    const Bytes input = FromHex(line.substr(0, space));
    const std::string text = line.substr(space + 1);
    SCOPED_TRACE(text);

    ByteBuffer encoded;
    ASSERT_TRUE(encoded.Base64Encode(input.data(), static_cast<int32_t>(input.size())));
    EXPECT_EQ(encoded.ToString(), text);
    // The text reads as a NUL-terminated string of exactly its length.
    EXPECT_EQ(std::strlen(encoded.c_str()), static_cast<size_t>(encoded.length()));
    ExpectWellFormed(encoded);

    ByteBuffer decoded;
    ASSERT_TRUE(decoded.Base64Decode(text.c_str()));
    EXPECT_EQ(Content(decoded), input);
    ExpectWellFormed(decoded);
    ++cases;
  }
  EXPECT_GE(cases, 10);
}

// Every tail length, checked against OpenSSL's encoder, and back through the decoder.
TEST(Base64Test, AgreesWithOpenSslAtEveryLength) {
  std::mt19937 generator(7);
  for (size_t size = 1; size <= 300; ++size) {
    SCOPED_TRACE("size " + std::to_string(size));
    const Bytes input = RandomBytes(generator, size);
    ByteBuffer buffer;
    ASSERT_TRUE(buffer.Base64Encode(input.data(), static_cast<int32_t>(size)));
    ASSERT_EQ(buffer.ToString(), OpenSslEncode(input));
    ExpectWellFormed(buffer);
    ASSERT_TRUE(buffer.Base64Decode(buffer.c_str()));  // its own text
    EXPECT_EQ(Content(buffer), input);
  }
}

TEST(Base64Test, RefusalsLeaveTheBufferEmpty) {
  const uint8_t byte = 0x41;
  struct Case {
    const char* name;
    bool (*call)(ByteBuffer&, const uint8_t*);
  };
  const Case cases[] = {
      {"encode null bytes",
       [](ByteBuffer& b, const uint8_t*) { return b.Base64Encode(nullptr, 3); }},
      {"encode zero bytes", [](ByteBuffer& b, const uint8_t* x) { return b.Base64Encode(x, 0); }},
      {"encode negative length",
       [](ByteBuffer& b, const uint8_t* x) { return b.Base64Encode(x, -1); }},
      {"decode null text", [](ByteBuffer& b, const uint8_t*) { return b.Base64Decode(nullptr); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ByteBuffer buffer;
    ASSERT_TRUE(buffer.Append("old", 3));
    EXPECT_FALSE(c.call(buffer, &byte));
    EXPECT_EQ(buffer.length(), 0);
    EXPECT_EQ(buffer.data(), nullptr);
  }
}

// Storage large enough for the result is written in place: the input must still be read intact
// when it lies in that storage, and nothing of longer old content may show after the new.
TEST(Base64Test, InPlaceResultsReadTheirInputAndKeepNothingOld) {
  std::mt19937 generator(1);
  const Bytes input = RandomBytes(generator, 100);
  ByteBuffer buffer;
  for (int32_t n : {45, 60, 72}) {
    SCOPED_TRACE("first " + std::to_string(n) + " of 100 bytes");
    ASSERT_TRUE(buffer.Allocate(100));
    std::memcpy(buffer.data(), input.data(), 100);
    ASSERT_TRUE(buffer.Base64Encode(buffer.data(), n));
    EXPECT_EQ(buffer.ToString(), OpenSslEncode(Bytes(input.begin(), input.begin() + n)));
    ExpectWellFormed(buffer);
  }
  const std::string filler(100, 'Z');
  const std::string sparse = std::string(64, ' ') + "YWJj" + std::string(64, ' ');
  for (const std::string& text :
       {OpenSslEncode(Bytes(input.begin(), input.begin() + 60)), sparse}) {
    SCOPED_TRACE(text);
    ASSERT_TRUE(buffer.Allocate(100));
    std::memcpy(buffer.data(), filler.data(), 100);
    ASSERT_TRUE(buffer.Base64Decode(text.c_str()));
    Bytes expected;
    ASSERT_TRUE(ReferenceDecode(text, &expected));
    EXPECT_EQ(Content(buffer), expected);
    ExpectWellFormed(buffer);
  }
}

// --- Decoding -----------------------------------------------------------------------------------

struct DecodeCase {
  const char* name;
  const char* text;
  bool ok;
  const char* hex;  // expected content when ok
};

TEST(Base64Test, DecodesLenientText) {
  const DecodeCase cases[] = {
      {"plain", "YWJj", true, "616263"},
      {"trailing CR LF adds nothing", "YWJj\r\n", true, "616263"},
      {"line break inside a group", "YW\r\nJj", true, "616263"},
      {"spaces around", " YWJj ", true, "616263"},
      {"bare LF lines", "YWJj\nYWJj\n", true, "616263616263"},
      {"padding missing", "YWI", true, "6162"},
      {"one padding character", "YWI=", true, "6162"},
      {"two padding characters", "YQ==", true, "61"},
      {"two characters, padding missing", "YQ", true, "61"},
      {"padded groups in a row", "QQ==QQ==", true, "4141"},
      {"padded group before a full one", "YQ==YWJj", true, "61616263"},
      {"line breaks and spaces only", "\r\n \r\n", true, ""},
      // A lone character is completed with three padding places and still yields one byte.
      {"single character", "Q", true, "40"},
      // Padding in the first places contributes no bits.
      {"padding only", "====", true, "00"},
      // '*' is no Base64 character: it takes its place in the group with the value 0.
      {"junk character inside a group", "YW*j", true, "616023"},
      // A tab is not one of the ignored characters: it takes a place, so the groups shift.
      {"tab is not ignored", "YW\tJj", true, "6160098C"},
      {"armour with any label", "-----BEGIN SOMETHING-----\nYWJj\n-----END SOMETHING-----\n", true,
       "616263"},
      {"PKCS #7 armour", "-----BEGIN PKCS #7-----\r\nYWJj\r\n-----END PKCS #7-----\r\n", true,
       "616263"},
      {"hyphen run after leading text", "label ----\r\nYWJj\r\n----", true, "616263"},
      // Empty text: nothing to decode.
      {"empty text", "", false, ""},
      // The BEGIN line is the only hyphen run: the body has no end.
      {"armour without END line", "-----BEGIN CERTIFICATE-----\r\nYWJj\r\n", false, ""},
      // Only hyphens: no armour line after the leading run.
      {"hyphens only", "--------", false, ""},
      // The armour line is not closed by a second run of four hyphens.
      {"unclosed armour line", "-----BEGIN CERTIFICATE--\r\nYWJj", false, ""},
  };
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(c.name);
    ByteBuffer buffer;
    ASSERT_TRUE(buffer.Append("old content", 11));
    EXPECT_EQ(buffer.Base64Decode(c.text), c.ok);
    EXPECT_EQ(Content(buffer), FromHex(c.hex));
    ExpectWellFormed(buffer);
    // The reference agrees on every case.
    Bytes reference;
    EXPECT_EQ(ReferenceDecode(c.text, &reference), c.ok);
    if (c.ok) {
      EXPECT_EQ(reference, FromHex(c.hex));
    }
  }
}

TEST(Base64Test, PemCertificateDecodesToExactlyItsDer) {
  const auto pem_bytes = testing::ReadWholeFile(testing::TestDataPath("codec/cert.pem"));
  const auto der = testing::ReadWholeFile(testing::TestDataPath("codec/cert.der"));
  ASSERT_FALSE(pem_bytes.empty());
  ASSERT_FALSE(der.empty());
  const std::string pem_lf(pem_bytes.begin(), pem_bytes.end());
  std::string pem_crlf;
  for (char c : pem_lf) {
    if (c == '\n') pem_crlf += '\r';
    pem_crlf += c;
  }
  struct Case {
    const char* name;
    std::string text;
  };
  const Case cases[] = {{"LF lines", pem_lf},
                        {"CR LF lines", pem_crlf},
                        {"no final line break", pem_crlf.substr(0, pem_crlf.size() - 2)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ByteBuffer buffer;
    ASSERT_TRUE(buffer.Base64Decode(c.text.c_str()));
    EXPECT_EQ(Content(buffer), Bytes(der.begin(), der.end()));
    ExpectWellFormed(buffer);
    // Stripped of its armour, the text starts as every DER SEQUENCE does and still decodes.
    std::string stripped = c.text;
    StripPemArmour(stripped);
    ASSERT_FALSE(stripped.empty());
    EXPECT_EQ(stripped[0], 'M');
    ASSERT_TRUE(buffer.Base64Decode(stripped.c_str()));
    EXPECT_EQ(Content(buffer), Bytes(der.begin(), der.end()));
  }
}

TEST(Base64Test, RoundTripsThroughLinesOfEveryWidth) {
  std::mt19937 generator(3);
  for (size_t width : {1, 3, 4, 63, 64, 76}) {
    for (size_t size : {1, 2, 3, 47, 48, 49, 1000, 4099}) {
      SCOPED_TRACE("width " + std::to_string(width) + ", size " + std::to_string(size));
      const Bytes input = RandomBytes(generator, size);
      ByteBuffer encoded;
      ASSERT_TRUE(encoded.Base64Encode(input.data(), static_cast<int32_t>(size)));
      const std::string flat = encoded.ToString();
      std::string lines = "-----BEGIN DATA-----\r\n";
      for (size_t i = 0; i < flat.size(); i += width) lines += flat.substr(i, width) + "\r\n";
      lines += "-----END DATA-----\r\n";
      ByteBuffer decoded;
      ASSERT_TRUE(decoded.Base64Decode(lines.c_str()));
      EXPECT_EQ(Content(decoded), input);
    }
  }
}

// Random text over the alphabet, padding, ignored characters, hyphens and junk, compared with
// the step-by-step reference: the table loop and the general path must agree on every input.
TEST(Base64Test, DecodeAgreesWithReferenceOnRandomText) {
  static const std::string kDigits =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  static const std::string kJunk = std::string("*.\t_!~\x7f\x80\xc3\xff", 10);
  std::mt19937 generator(2024);
  std::uniform_int_distribution<int> percent(0, 99);
  std::uniform_int_distribution<size_t> digit(0, kDigits.size() - 1);
  std::uniform_int_distribution<size_t> junk(0, kJunk.size() - 1);
  std::uniform_int_distribution<size_t> length(0, 160);
  int successes = 0;
  for (int round = 0; round < 20000; ++round) {
    // Rounds differ in how rare the special characters are, so long plain runs occur too.
    const int special = round % 4 == 0 ? 40 : round % 4 == 1 ? 10 : round % 4 == 2 ? 3 : 1;
    std::string text;
    if (percent(generator) < 15) text += "-----BEGIN X-----\r\n";
    const size_t n = length(generator);
    for (size_t i = 0; i < n; ++i) {
      if (percent(generator) >= special) {
        text += kDigits[digit(generator)];
        continue;
      }
      switch (percent(generator) % 7) {
        case 0:
          text += '=';
          break;
        case 1:
          text += '\r';
          break;
        case 2:
          text += '\n';
          break;
        case 3:
          text += ' ';
          break;
        case 4:
          text += '-';
          break;
        case 5:
          text += "\r\n";
          break;
        default:
          text += kJunk[junk(generator)];
          break;
      }
    }
    if (percent(generator) < 15) text += "\r\n-----END X-----\r\n";
    SCOPED_TRACE("round " + std::to_string(round) + ": " + text);
    Bytes expected;
    const bool expected_ok = ReferenceDecode(text, &expected);
    ByteBuffer buffer;
    ASSERT_EQ(buffer.Base64Decode(text.c_str()), expected_ok);
    ASSERT_EQ(Content(buffer), expected);
    ExpectWellFormed(buffer);
    if (expected_ok) ++successes;
  }
  // Most rounds decode; the failures come from unclosed armour.
  EXPECT_GT(successes, 15000);
}

// --- PEM armour ---------------------------------------------------------------------------------

TEST(StripPemArmourTest, RemovesMarkersAndLineBreaksFromArmouredText) {
  struct Case {
    const char* name;
    std::string text;
    std::string expected;
  };
  const Case cases[] = {
      {"certificate with CR LF",
       "-----BEGIN CERTIFICATE-----\r\nMIIB\r\nAAAA\r\n-----END CERTIFICATE-----\r\n", "MIIBAAAA"},
      {"certificate with LF", "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----",
       "MIIB"},
      {"PKCS #7", "-----BEGIN PKCS #7-----\r\nMIIC\r\n-----END PKCS #7-----\r\n", "MIIC"},
      {"two certificates",
       "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n"
       "-----BEGIN CERTIFICATE-----\nMIIC\n-----END CERTIFICATE-----\n",
       "MIIBMIIC"},
      // Other labels are not removed; only the line breaks go.
      {"other label kept", "-----BEGIN X509 CRL-----\nMIIB\n-----END X509 CRL-----\n",
       "-----BEGIN X509 CRL-----MIIB-----END X509 CRL-----"},
      // Markers are removed before line breaks, so a marker split by a line break stays.
      {"marker split by a line break",
       "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIF\nICATE-----",
       "MIIB-----END CERTIFICATE-----"},
      // A marker formed only by removing another one is not searched for again.
      {"marker formed by a removal",
       "-----END CERTIFICATE----------BEGIN CERT-----END CERTIFICATE-----IFICATE-----",
       "-----BEGIN CERTIFICATE-----"},
      {"text without armour", "MIIB\r\nAAAA\r\n", "MIIB\r\nAAAA\r\n"},
      // Four hyphens are not enough to count as armour.
      {"four leading hyphens", "----BEGIN CERTIFICATE-----\nMIIB\n",
       "----BEGIN CERTIFICATE-----\nMIIB\n"},
      {"armour not at the start", "\n-----BEGIN CERTIFICATE-----\nMIIB\n",
       "\n-----BEGIN CERTIFICATE-----\nMIIB\n"},
      {"shorter than five characters", "---", "---"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text = c.text;
    StripPemArmour(text);
    EXPECT_EQ(text, c.expected);
  }
}

}  // namespace
}  // namespace kelvadrome
