#include "codec/json_value.h"

#include <string>

#include <gtest/gtest.h>

namespace kelvadrome {
namespace {

TEST(JsonValueTest, StringsKeepEveryUtf16UnitAndWriteBackToTheSameUnits) {
  const struct {
    const char* label;
    std::string json;
    std::u16string text;
    std::string written;  // AppendJsonText of |text|
  } cases[] = {
      {"lone high surrogate", "\"a\\uD800b\"",
       u"a\xD800"
       u"b",
       "\"a\\uD800b\""},
      {"lone low surrogate at the end", "\"\\udc00\"", u"\xDC00", "\"\\uDC00\""},
      {"escaped pair joins", "\"\\uD83D\\uDE00\"", u"\U0001F600", "\"\xF0\x9F\x98\x80\""},
      {"raw four-byte UTF-8", "\"\xF0\x9F\x98\x80\"", u"\U0001F600", "\"\xF0\x9F\x98\x80\""},
      {"reversed pair stays two lone units", "\"\\uDE00\\uD83D\"", u"\xDE00\xD83D",
       "\"\\uDE00\\uD83D\""},
      {"zero character", "\"a\\u0000b\"", std::u16string(u"a\0b", 3), "\"a\\u0000b\""},
      {"escapes", "\"\\\"\\\\\\/\\n\\t\"", u"\"\\/\n\t", "\"\\\"\\\\/\\n\\t\""},
      {"CJK", "\"\xE6\x86\x91\"", u"\u6191", "\"\xE6\x86\x91\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const auto value = ParseJson(c.json);
    ASSERT_TRUE(value);
    EXPECT_EQ(value->text(), c.text);
    std::string written;
    AppendJsonText(written, c.text);
    EXPECT_EQ(written, c.written);
    const auto again = ParseJson(written);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->text(), c.text);
  }
}

TEST(JsonValueTest, RefusesWhatIsOutsideTheGrammarOrTheBounds) {
  JsonLimits small;
  small.max_text = 64;
  small.max_depth = 3;
  small.max_values = 6;
  const struct {
    const char* label;
    std::string json;
    bool accepted;
    std::string reason;
  } cases[] = {
      {"nested to the bound", "[[[1]]]", true, ""},
      {"nested past the bound", "[[[[1]]]]", false, "nested too deeply"},
      {"values to the bound", "[1,2,3,4,5]", true, ""},
      {"values past the bound", "[1,2,3,4,5,6]", false, "too many values"},
      {"text past the bound", "\"" + std::string(70, 'a') + "\"", false, "text too long"},
      {"repeated key", "{\"a\":1,\"a\":2}", false, "repeated key"},
      {"leading zero", "01", false, "text after the value"},
      {"bare fraction", "1.", false, "bad number"},
      {"plus sign", "+1", false, "unexpected character"},
      {"raw control character", "\"a\x01\"", false, "control character in string"},
      {"overlong UTF-8", "\"\xC0\xAF\"", false, "malformed UTF-8"},
      {"surrogate as raw UTF-8", "\"\xED\xA0\x80\"", false, "malformed UTF-8"},
      {"truncated UTF-8", "\"\xE6\x86", false, "malformed UTF-8"},
      {"short \\u escape", "\"\\u12\"", false, "bad \\u escape"},
      {"unknown escape", "\"\\x\"", false, "bad escape"},
      {"trailing comma", "[1,]", false, "unexpected character"},
      {"unterminated", "[\"a", false, "unterminated string"},
      {"empty text", "", false, "unexpected end"},
      {"blanks around", " \t{\"a\" : [true, false, null]}\r\n", true, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    JsonError error;
    const auto value = ParseJson(c.json, small, &error);
    EXPECT_EQ(value.has_value(), c.accepted);
    if (!c.accepted) {
      EXPECT_EQ(error.reason, c.reason);
    }
  }
}

TEST(JsonValueTest, NumbersKnowWhetherTheyAreWholeAndFit64Bits) {
  const struct {
    const char* json;
    bool whole;
    int64_t integer;
  } cases[] = {
      {"0", true, 0},
      {"-2147483649", true, -2147483649LL},
      {"9223372036854775807", true, INT64_MAX},
      {"9223372036854775808", false, 0},
      {"1.0", false, 0},
      {"1e2", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    const auto value = ParseJson(c.json);
    ASSERT_TRUE(value);
    EXPECT_EQ(value->kind(), JsonValue::Kind::kNumber);
    EXPECT_EQ(value->integer().has_value(), c.whole);
    if (c.whole) {
      EXPECT_EQ(*value->integer(), c.integer);
    }
  }
}

}  // namespace
}  // namespace kelvadrome
