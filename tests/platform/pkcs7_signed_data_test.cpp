// The SignedData encoder's own rules: the signing-time form on either side of the UTCTime range,
// and a signer certificate that cannot be read stopping the encoding before anything is signed.
// Messages themselves are checked against the openssl command in the signing tests.
#include "platform/pkcs7_signed_data.h"

#include <string>

#include <gtest/gtest.h>

#include "platform/last_error.h"

namespace kelvadrome {
namespace {

TEST(EncodeSigningTime, UtcTimeFrom1950To2049AndGeneralizedTimeOutside) {
  const struct {
    int64_t seconds;
    uint8_t tag;
    const char* text;
  } cases[] = {
      {-631152001, 0x18, "19491231235959Z"},  // the last second before UTCTime's range
      {-631152000, 0x17, "500101000000Z"},   {0, 0x17, "700101000000Z"},
      {1796083200, 0x17, "261201000000Z"},   {2524607999, 0x17, "491231235959Z"},
      {2524608000, 0x18, "20500101000000Z"},  // the first second after it
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto encoded = EncodeSigningTime(c.seconds);
    ASSERT_TRUE(encoded.has_value());
    const std::string text(c.text);
    ASSERT_EQ(encoded->size(), 2 + text.size());
    EXPECT_EQ((*encoded)[0], c.tag);
    EXPECT_EQ((*encoded)[1], text.size());
    EXPECT_EQ(std::string(encoded->begin() + 2, encoded->end()), text);
  }
  EXPECT_FALSE(EncodeSigningTime(INT64_MAX).has_value()) << "beyond any calendar year";
}

TEST(EncodeSignedData, UnreadableSignerCertificateIsRefusedBeforeSigning) {
  const std::vector<uint8_t> not_a_certificate = {0x30, 0x03, 0x02, 0x01, 0x01};
  const std::vector<uint8_t> content = {'a', 'b', 'c'};
  SignedDataRequest request;
  request.content = content;
  request.digest_algorithm = "1.3.14.3.2.26";
  request.signer_certificate = not_a_certificate;
  bool signed_anything = false;
  const auto message = EncodeSignedData(
      request, [&](std::span<const uint8_t>) -> std::optional<std::vector<uint8_t>> {
        signed_anything = true;
        return std::vector<uint8_t>(256, 1);
      });
  EXPECT_FALSE(message.has_value());
  EXPECT_FALSE(signed_anything);
  EXPECT_EQ(LastPlatformError(), platform_error::kBadEncode);
}

}  // namespace
}  // namespace kelvadrome
