// The bounds-checked DER cursor: headers (what is DER and what is not), typed reads, that a failed
// read leaves the cursor in place, and object identifier text against OpenSSL's.
#include <openssl/asn1.h>
#include <openssl/objects.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/der_reader.h"

namespace kelvadrome {
namespace {

std::vector<uint8_t> WithContent(std::vector<uint8_t> header, size_t content_length) {
  header.resize(header.size() + content_length, 0xAB);
  return header;
}

TEST(DerReaderTest, ReadsHeadersAndRefusesWhatIsNotDer) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    DerStatus status;
    size_t content_length;
    size_t header_length;
  };
  const Case cases[] = {
      {"short form", {0x04, 0x02, 0xAA, 0xBB}, DerStatus::kOk, 2, 2},
      {"empty content", {0x05, 0x00}, DerStatus::kOk, 0, 2},
      {"one length octet", WithContent({0x04, 0x81, 0x80}, 0x80), DerStatus::kOk, 0x80, 3},
      {"two length octets", WithContent({0x04, 0x82, 0x01, 0x00}, 0x100), DerStatus::kOk, 0x100, 4},
      // Bytes after the element stay for the next read.
      {"element then more", {0x01, 0x01, 0xFF, 0x05, 0x00}, DerStatus::kOk, 1, 2},
      // Nothing at all.
      {"empty input", {}, DerStatus::kTruncated, 0, 0},
      // A tag with no length octet.
      {"tag only", {0x30}, DerStatus::kTruncated, 0, 0},
      // The content announced is one octet longer than what follows.
      {"content cut short", {0x04, 0x03, 0xAA, 0xBB}, DerStatus::kTruncated, 0, 0},
      // The long form announces one length octet that is missing.
      {"length octet missing", {0x04, 0x81}, DerStatus::kTruncated, 0, 0},
      // Two length octets announced, one given.
      {"length octets cut short", {0x04, 0x82, 0x01}, DerStatus::kTruncated, 0, 0},
      // A length of 2^32 - 1 over four octets, far beyond the bytes.
      {"huge length", {0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}, DerStatus::kTruncated, 0, 0},
      // Low tag bits all set: a multi-octet tag number.
      {"high tag number", {0x1F, 0x01, 0x00}, DerStatus::kMalformed, 0, 0},
      // 0x80: the indefinite length of BER.
      {"indefinite length", {0x30, 0x80, 0x00, 0x00}, DerStatus::kMalformed, 0, 0},
      // A length below 128 in the long form.
      {"long form for a short length", {0x04, 0x81, 0x01, 0xAA}, DerStatus::kMalformed, 0, 0},
      // A leading zero length octet.
      {"padded length", WithContent({0x04, 0x82, 0x00, 0x80}, 0x80), DerStatus::kMalformed, 0, 0},
      // Five length octets: more than any input read here.
      {"five length octets",
       {0x04, 0x85, 0x01, 0x00, 0x00, 0x00, 0x00},
       DerStatus::kMalformed,
       0,
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DerReader reader(c.bytes.data(), c.bytes.size());
    uint8_t tag = 0x77;
    DerReader contents(reinterpret_cast<const uint8_t*>("x"), 1);
    size_t header = 99;
    ASSERT_EQ(reader.ReadAnyElement(tag, contents, &header), c.status);
    if (c.status != DerStatus::kOk) {
      // Neither the cursor nor the outputs move.
      EXPECT_EQ(reader.data(), c.bytes.data());
      EXPECT_EQ(reader.size(), c.bytes.size());
      EXPECT_EQ(tag, 0x77);
      EXPECT_EQ(contents.size(), 1u);
      EXPECT_EQ(header, 99u);
      continue;
    }
    EXPECT_EQ(tag, c.bytes[0]);
    EXPECT_EQ(header, c.header_length);
    EXPECT_EQ(contents.data(), c.bytes.data() + c.header_length);
    EXPECT_EQ(contents.size(), c.content_length);
    EXPECT_EQ(reader.data(), c.bytes.data() + c.header_length + c.content_length);
    EXPECT_EQ(reader.size(), c.bytes.size() - c.header_length - c.content_length);
  }
}

TEST(DerReaderTest, WalksASequenceByTag) {
  // SEQUENCE { INTEGER 5, [0] { NULL }, OCTET STRING 'A' } followed by a BOOLEAN.
  const std::vector<uint8_t> bytes = {0x30, 0x0A, 0x02, 0x01, 0x05, 0xA0, 0x02, 0x05,
                                      0x00, 0x04, 0x01, 0x41, 0x01, 0x01, 0xFF};
  DerReader input(bytes.data(), bytes.size());
  DerReader sequence;
  // A wrong tag reads nothing.
  EXPECT_FALSE(input.ReadElement(der_tag::kSet, sequence));
  EXPECT_EQ(input.size(), bytes.size());
  DerReader whole;
  DerReader copy = input;
  ASSERT_TRUE(copy.ReadWholeElement(der_tag::kSequence, whole));
  EXPECT_EQ(whole.data(), bytes.data());
  EXPECT_EQ(whole.size(), 12u);
  ASSERT_TRUE(input.ReadElement(der_tag::kSequence, sequence));
  EXPECT_EQ(sequence.size(), 10u);

  uint8_t tag = 0;
  ASSERT_TRUE(sequence.PeekTag(tag));
  EXPECT_EQ(tag, der_tag::kInteger);
  EXPECT_TRUE(sequence.NextTagIs(der_tag::kInteger));
  bool present = true;
  DerReader optional;
  // An absent optional element is no failure and reads nothing.
  ASSERT_TRUE(sequence.ReadOptionalElement(der_tag::ContextConstructed(0), optional, present));
  EXPECT_FALSE(present);
  EXPECT_EQ(sequence.size(), 10u);
  ASSERT_TRUE(sequence.SkipElement(der_tag::kInteger));
  ASSERT_TRUE(sequence.ReadOptionalElement(der_tag::ContextConstructed(0), optional, present));
  EXPECT_TRUE(present);
  EXPECT_TRUE(optional.SkipElement(der_tag::kNull));
  EXPECT_TRUE(optional.empty());
  EXPECT_TRUE(sequence.SkipAnyElement());
  EXPECT_TRUE(sequence.empty());
  EXPECT_FALSE(sequence.PeekTag(tag));
  EXPECT_FALSE(sequence.SkipAnyElement());

  bool value = false;
  ASSERT_TRUE(input.ReadBoolean(value));
  EXPECT_TRUE(value);
  EXPECT_TRUE(input.empty());
}

TEST(DerReaderTest, OptionalElementWithItsTagMustBeWellFormed) {
  // [1] announcing three octets, two given.
  const std::vector<uint8_t> bytes = {0x81, 0x03, 0x00, 0x01};
  DerReader reader(bytes.data(), bytes.size());
  DerReader contents;
  bool present = false;
  EXPECT_FALSE(reader.ReadOptionalElement(der_tag::ContextPrimitive(1), contents, present));
  EXPECT_EQ(reader.size(), bytes.size());
}

// One typed read: which function, the whole element, and what it should give.
enum class Kind { kInteger, kBoolean, kBitString, kObjectIdentifier };

struct TypedCase {
  const char* name;
  Kind kind;
  std::vector<uint8_t> bytes;
  bool ok;
  size_t content_offset = 0;  // where the value handed back starts, when ok
  uint8_t extra = 0;          // the boolean read, or the unused-bit count
};

TEST(DerReaderTest, TypedReadsCheckTheirContent) {
  const TypedCase cases[] = {
      {"integer one octet", Kind::kInteger, {0x02, 0x01, 0x00}, true, 2},
      {"integer sign octet needed", Kind::kInteger, {0x02, 0x02, 0x00, 0x80}, true, 2},
      {"integer negative", Kind::kInteger, {0x02, 0x02, 0xFF, 0x7F}, true, 2},
      // No content octets.
      {"integer empty", Kind::kInteger, {0x02, 0x00}, false},
      // 0x00 before an octet whose top bit is clear: not the shortest form.
      {"integer padded with zero", Kind::kInteger, {0x02, 0x02, 0x00, 0x7F}, false},
      // 0xFF before an octet whose top bit is set: not the shortest form.
      {"integer padded with ones", Kind::kInteger, {0x02, 0x02, 0xFF, 0x80}, false},
      // An ENUMERATED tag where the INTEGER belongs.
      {"integer wrong tag", Kind::kInteger, {0x0A, 0x01, 0x01}, false},
      {"boolean true", Kind::kBoolean, {0x01, 0x01, 0xFF}, true, 2, 1},
      {"boolean false", Kind::kBoolean, {0x01, 0x01, 0x00}, true, 2, 0},
      {"boolean other nonzero", Kind::kBoolean, {0x01, 0x01, 0x01}, true, 2, 1},
      // Two content octets.
      {"boolean too long", Kind::kBoolean, {0x01, 0x02, 0x00, 0xFF}, false},
      // No content octet.
      {"boolean empty", Kind::kBoolean, {0x01, 0x00}, false},
      {"bits none", Kind::kBitString, {0x03, 0x01, 0x00}, true, 3, 0},
      {"bits with unused", Kind::kBitString, {0x03, 0x02, 0x07, 0x80}, true, 3, 7},
      // Not even the unused-bit count.
      {"bits empty", Kind::kBitString, {0x03, 0x00}, false},
      // Eight unused bits would be a whole octet.
      {"bits eight unused", Kind::kBitString, {0x03, 0x02, 0x08, 0x00}, false},
      // Unused bits counted in an empty string.
      {"bits unused without octets", Kind::kBitString, {0x03, 0x01, 0x03}, false},
      // A constructed BIT STRING (BER).
      {"bits constructed", Kind::kBitString, {0x23, 0x03, 0x03, 0x01, 0x00}, false},
      {"oid", Kind::kObjectIdentifier, {0x06, 0x03, 0x55, 0x04, 0x03}, true, 2},
      {"oid long arc", Kind::kObjectIdentifier, {0x06, 0x03, 0x2A, 0x86, 0x48}, true, 2},
      // No content octets.
      {"oid empty", Kind::kObjectIdentifier, {0x06, 0x00}, false},
      // The last octet says another follows.
      {"oid unfinished", Kind::kObjectIdentifier, {0x06, 0x02, 0x2A, 0x86}, false},
      // A sub-identifier starting with 0x80: a leading zero digit.
      {"oid padded arc", Kind::kObjectIdentifier, {0x06, 0x03, 0x2A, 0x80, 0x01}, false},
      // The first sub-identifier padded the same way.
      {"oid padded first arc", Kind::kObjectIdentifier, {0x06, 0x02, 0x80, 0x01}, false},
  };
  for (const TypedCase& c : cases) {
    SCOPED_TRACE(c.name);
    DerReader reader(c.bytes.data(), c.bytes.size());
    DerReader value;
    bool flag = false;
    uint8_t unused = 0xEE;
    bool ok = false;
    switch (c.kind) {
      case Kind::kInteger:
        ok = reader.ReadInteger(value);
        break;
      case Kind::kBoolean:
        ok = reader.ReadBoolean(flag);
        break;
      case Kind::kBitString:
        ok = reader.ReadBitString(value, unused);
        break;
      case Kind::kObjectIdentifier:
        ok = reader.ReadObjectIdentifier(value);
        break;
    }
    ASSERT_EQ(ok, c.ok);
    if (!ok) {
      EXPECT_EQ(reader.size(), c.bytes.size());
      continue;
    }
    EXPECT_TRUE(reader.empty());
    if (c.kind == Kind::kBoolean) {
      EXPECT_EQ(flag, c.extra != 0);
      continue;
    }
    EXPECT_EQ(value.data(), c.bytes.data() + c.content_offset);
    EXPECT_EQ(value.size(), c.bytes.size() - c.content_offset);
    if (c.kind == Kind::kBitString) {
      EXPECT_EQ(unused, c.extra);
    }
  }
}

// Encodes |arcs| (at least two) as OBJECT IDENTIFIER content octets.
std::vector<uint8_t> EncodeOid(const std::vector<uint64_t>& arcs) {
  std::vector<uint8_t> out;
  auto put = [&out](uint64_t value) {
    uint8_t digits[10];
    size_t count = 0;
    do {
      digits[count++] = static_cast<uint8_t>(value & 0x7F);
      value >>= 7;
    } while (value != 0);
    while (count > 1) out.push_back(static_cast<uint8_t>(digits[--count] | 0x80));
    out.push_back(digits[0]);
  };
  put(arcs[0] * 40 + arcs[1]);
  for (size_t i = 2; i < arcs.size(); ++i) put(arcs[i]);
  return out;
}

std::string OpenSslOidText(const std::vector<uint8_t>& content) {
  std::vector<uint8_t> element(2 + content.size());
  element[0] = 0x06;
  element[1] = static_cast<uint8_t>(content.size());
  std::copy(content.begin(), content.end(), element.begin() + 2);
  const unsigned char* p = element.data();
  ASN1_OBJECT* object = d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(element.size()));
  if (object == nullptr) return "<refused>";
  std::string text(1024, '\0');
  const int n = OBJ_obj2txt(text.data(), static_cast<int>(text.size()), object, 1);
  ASN1_OBJECT_free(object);
  if (n < 0) return "<refused>";
  text.resize(static_cast<size_t>(n));
  return text;
}

TEST(DerReaderTest, ObjectIdentifierTextAgreesWithOpenSsl) {
  std::vector<std::vector<uint8_t>> inputs = {
      EncodeOid({2, 5, 4, 3}),
      EncodeOid({0, 0}),
      EncodeOid({0, 39}),
      EncodeOid({1, 0}),
      EncodeOid({1, 39, 0}),
      EncodeOid({2, 0}),
      EncodeOid({2, 999, 3}),
      EncodeOid({1, 2, 840, 113549, 1, 1, 11}),
      // Arcs at and past 64 bits, and a first arc of 2 that does not fit 64 bits.
      EncodeOid({1, 3, 0xFFFFFFFFFFFFFFFFull, 0x8000000000000000ull}),
      {0x01, 0x82, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00},
      {0x88, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x4F, 0x01},
      // The last octet continues: not valid.
      {0x55, 0x84},
      // A padded sub-identifier: not valid.
      {0x55, 0x80, 0x04},
  };
  std::mt19937_64 random(20261208);
  for (int i = 0; i < 200; ++i) {
    std::vector<uint64_t> arcs = {random() % 3, 0};
    arcs[1] = arcs[0] < 2 ? random() % 40 : random() % 100000;
    const size_t more = random() % 8;
    for (size_t k = 0; k < more; ++k) arcs.push_back(random() >> (random() % 64));
    inputs.push_back(EncodeOid(arcs));
  }
  for (const auto& content : inputs) {
    std::string hex;
    for (uint8_t octet : content) {
      static constexpr char kDigits[] = "0123456789ABCDEF";
      hex += kDigits[octet >> 4];
      hex += kDigits[octet & 0x0F];
    }
    SCOPED_TRACE(hex);
    const std::string expected = OpenSslOidText(content);
    const std::string text = ObjectIdentifierToText(content.data(), content.size());
    EXPECT_EQ(IsValidObjectIdentifier(content.data(), content.size()), expected != "<refused>");
    EXPECT_EQ(text.empty() ? "<refused>" : text, expected);
  }
  // Past the size limit the text is empty even for a valid identifier.
  std::vector<uint8_t> huge(kMaxObjectIdentifierText + 1, 0x01);
  EXPECT_TRUE(IsValidObjectIdentifier(huge.data(), huge.size()));
  EXPECT_EQ(ObjectIdentifierToText(huge.data(), huge.size()), "");
  huge.pop_back();
  EXPECT_EQ(ObjectIdentifierToText(huge.data(), huge.size()).size(), 2 * huge.size() + 1);
}

}  // namespace
}  // namespace kelvadrome
