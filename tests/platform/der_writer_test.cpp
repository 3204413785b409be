// The DER builder: lengths filled in on close across every change of length form, whatever length
// was guessed when the element was opened and however its content was written; SET OF ordering.
#include <algorithm>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/der_writer.h"

namespace kelvadrome {
namespace {

std::vector<uint8_t> Expected(std::vector<uint8_t> headers, size_t content_length) {
  headers.resize(headers.size() + content_length, 0xAB);
  return headers;
}

TEST(DerBuilderTest, FillsNestedLengthsInShortestForm) {
  struct Case {
    const char* name;
    std::vector<uint8_t> tags;  // the enclosing elements, outermost first
    size_t content_length;      // of the innermost OCTET STRING
    std::vector<uint8_t> headers;
  };
  const Case cases[] = {
      {"both short", {0x30}, 125, {0x30, 0x7F, 0x04, 0x7D}},
      {"outer reaches 128", {0x30}, 126, {0x30, 0x81, 0x80, 0x04, 0x7E}},
      {"inner at 127", {0x30}, 127, {0x30, 0x81, 0x81, 0x04, 0x7F}},
      {"inner reaches 128", {0x30}, 128, {0x30, 0x81, 0x83, 0x04, 0x81, 0x80}},
      {"outer at 255", {0x30}, 252, {0x30, 0x81, 0xFF, 0x04, 0x81, 0xFC}},
      {"outer reaches 256", {0x30}, 253, {0x30, 0x82, 0x01, 0x00, 0x04, 0x81, 0xFD}},
      {"inner at 255", {0x30}, 255, {0x30, 0x82, 0x01, 0x02, 0x04, 0x81, 0xFF}},
      {"inner reaches 256", {0x30}, 256, {0x30, 0x82, 0x01, 0x04, 0x04, 0x82, 0x01, 0x00}},
      {"outer at 65535", {0x30}, 65531, {0x30, 0x82, 0xFF, 0xFF, 0x04, 0x82, 0xFF, 0xFB}},
      {"outer reaches 65536",
       {0x30},
       65532,
       {0x30, 0x83, 0x01, 0x00, 0x00, 0x04, 0x82, 0xFF, 0xFC}},
      {"inner at 65535", {0x30}, 65535, {0x30, 0x83, 0x01, 0x00, 0x03, 0x04, 0x82, 0xFF, 0xFF}},
      {"inner reaches 65536",
       {0x30},
       65536,
       {0x30, 0x83, 0x01, 0x00, 0x05, 0x04, 0x83, 0x01, 0x00, 0x00}},
      {"two levels, all short", {0xA0, 0x30}, 123, {0xA0, 0x7F, 0x30, 0x7D, 0x04, 0x7B}},
      {"two levels, outermost reaches 128",
       {0xA0, 0x30},
       124,
       {0xA0, 0x81, 0x80, 0x30, 0x7E, 0x04, 0x7C}},
      {"two levels, outermost reaches 256",
       {0xA0, 0x30},
       250,
       {0xA0, 0x82, 0x01, 0x00, 0x30, 0x81, 0xFD, 0x04, 0x81, 0xFA}},
      {"two levels, outermost reaches 65536",
       {0xA0, 0x30},
       65528,
       {0xA0, 0x83, 0x01, 0x00, 0x00, 0x30, 0x82, 0xFF, 0xFC, 0x04, 0x82, 0xFF, 0xF8}},
      {"empty elements", {0x31, 0x30}, 0, {0x31, 0x04, 0x30, 0x02, 0x04, 0x00}},
  };
  // The length guessed on opening (none, the content's, far too much) and the way the content is
  // written (copied in, filled in place) change nothing in the output.
  const size_t guesses[] = {0, 0, 1u << 24};
  for (const auto& c : cases) {
    const std::vector<uint8_t> expected = Expected(c.headers, c.content_length);
    for (size_t g = 0; g < 3; ++g) {
      for (const bool in_place : {false, true}) {
        SCOPED_TRACE(std::string(c.name) + ", guess " + std::to_string(g) +
                     (in_place ? ", filled in place" : ", copied"));
        const size_t guess = g == 1 ? c.content_length : guesses[g];
        DerBuilder builder;
        for (const uint8_t tag : c.tags) builder.Open(tag, guess);
        if (in_place) {
          const std::span<uint8_t> room = builder.AddElementSpace(0x04, c.content_length);
          ASSERT_EQ(room.size(), c.content_length);
          std::fill(room.begin(), room.end(), 0xAB);
        } else {
          builder.AddElement(0x04, std::vector<uint8_t>(c.content_length, 0xAB));
        }
        for (size_t i = 0; i < c.tags.size(); ++i) builder.Close();
        const std::vector<uint8_t> encoded = builder.Finish();
        ASSERT_EQ(encoded.size(), expected.size());
        EXPECT_TRUE(encoded == expected);
      }
    }
  }
}

TEST(DerBuilderTest, OrdersSetOfByEncodingAndLeavesSequencesAlone) {
  const std::vector<std::vector<uint8_t>> children = {
      {0x04, 0x02, 0x01, 0x00}, {0x04, 0x01, 0x02}, {0x30, 0x00}, {0x04, 0x01, 0x01}};
  for (const bool set_of : {false, true}) {
    SCOPED_TRACE(set_of ? "SET OF" : "SEQUENCE");
    DerBuilder builder;
    builder.Open(0x31);
    for (const auto& child : children) builder.AddEncoded(child);
    if (set_of) {
      builder.CloseSetOf();
    } else {
      builder.Close();
    }
    const std::vector<uint8_t> sorted = {0x31, 0x0C, 0x04, 0x01, 0x01, 0x04, 0x01,
                                         0x02, 0x04, 0x02, 0x01, 0x00, 0x30, 0x00};
    const std::vector<uint8_t> as_written = {0x31, 0x0C, 0x04, 0x02, 0x01, 0x00, 0x04,
                                             0x01, 0x02, 0x30, 0x00, 0x04, 0x01, 0x01};
    EXPECT_EQ(builder.Finish(), set_of ? sorted : as_written);
  }
}

TEST(DerBuilderTest, WritesObjectIdentifiersAndRefusesUnbalancedElements) {
  DerBuilder builder;
  builder.AddObjectIdentifier("1.2.840.113549.1.7.2");
  builder.AddObjectIdentifier("2.999.3");
  EXPECT_EQ(builder.Finish(),
            (std::vector<uint8_t>{0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02,
                                  0x06, 0x03, 0x88, 0x37, 0x03}));
  EXPECT_THROW(builder.AddObjectIdentifier("3.1"), std::invalid_argument);
  EXPECT_THROW(builder.AddObjectIdentifier("1"), std::invalid_argument);
  EXPECT_THROW(builder.Close(), std::logic_error);
  builder.Open(0x30);
  EXPECT_THROW(builder.Finish(), std::logic_error);
}

}  // namespace
}  // namespace kelvadrome
