// EnvelopedData messages: ours opened by openssl cms, openssl's opened by ours, with the private
// key reached through a store certificate's key link.
#include "platform/pkcs7_envelope.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/cert_store.h"
#include "platform/certificate.h"
#include "platform/key_container.h"
#include "platform/last_error.h"
#include "platform/providers.h"
#include "support/openssl_ca.h"
#include "support/test_support.h"

namespace kelvadrome {
namespace {

using testing::RunCommand;
using testing::ShellQuote;

constexpr const char* kProvider = "Microsoft Enhanced Cryptographic Provider v1.0";
constexpr const char* kLegacy = " -provider legacy -provider default";

std::vector<uint8_t> Bytes(std::string_view text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

class Pkcs7EnvelopeTest : public ::testing::Test {
 protected:
  struct Recipient {
    std::string key_pem;
    std::string certificate_pem;
    std::vector<uint8_t> der;
  };

  // Files makes a self-signed certificate (with a subject key identifier) and its key, in PEM
  // files, and reads the certificate's DER.
  Recipient Files(const std::string& name) {
    Recipient made;
    const std::string base = (dir_.path() / name).string();
    made.key_pem = base + ".key";
    made.certificate_pem = base + ".pem";
    EXPECT_EQ(RunCommand("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=" + name +
                         " -keyout " + ShellQuote(made.key_pem) + " -out " +
                         ShellQuote(made.certificate_pem) + " 2>/dev/null && openssl x509 " +
                         "-outform DER -in " + ShellQuote(made.certificate_pem) + " -out " +
                         ShellQuote(base + ".der")),
              0);
    made.der = testing::ReadWholeFile(base + ".der");
    return made;
  }

  // Make is Files, then the key goes into the container |name| as |usage| (exchange or signature
  // key) and the certificate into the memory store with a link to it.
  Recipient Make(const std::string& name, uint32_t usage = key_spec::kExchange) {
    Recipient made = Files(name);
    const std::string pkcs8 = (dir_.path() / (name + ".p8")).string();
    EXPECT_EQ(RunCommand("openssl pkcs8 -topk8 -nocrypt -outform DER -in " +
                         ShellQuote(made.key_pem) + " -out " + ShellQuote(pkcs8)),
              0);
    auto container = containers_->Create(name, kProvider, provider_type::kRsaFull);
    EXPECT_NE(container, nullptr);
    if (container) {
      EXPECT_TRUE(container->ImportPrivateKeyPkcs8(usage, testing::ReadWholeFile(pkcs8), 0));
    }
    const CertificateProperty link{
        cert_property::kKeyProviderInfo,
        EncodeKeyProviderLink({name, kProvider, provider_type::kRsaFull, 0, usage})};
    EXPECT_TRUE(store_->AddWithProperties(made.der, AddDisposition::kAlways, {link}).has_value());
    return made;
  }

  // Decrypt runs DecryptEnvelopedData over the fixture's store.
  std::optional<SecretBytes> Decrypt(const std::vector<uint8_t>& message) {
    CertStore* const stores[] = {nullptr, store_.get()};
    return DecryptEnvelopedData(message, stores);
  }

  // OpensslEnvelope encrypts |content| for |recipient| with `openssl cms -encrypt |options|`.
  std::vector<uint8_t> OpensslEnvelope(const Recipient& recipient, const std::string& options,
                                       const std::string& content) {
    const auto in = dir_.WriteFile("content", content);
    const auto out = dir_.path() / "message.der";
    EXPECT_EQ(RunCommand("openssl cms -encrypt -binary -outform DER" + std::string(kLegacy) + " " +
                         options + " -in " + ShellQuote(in.string()) + " -out " +
                         ShellQuote(out.string()) + " " + ShellQuote(recipient.certificate_pem)),
              0);
    return testing::ReadWholeFile(out);
  }

  // OpensslDecrypt returns what `openssl cms -decrypt` makes of |message| with |recipient|'s key.
  std::string OpensslDecrypt(const Recipient& recipient, const std::vector<uint8_t>& message) {
    const auto in = dir_.WriteFile("message.der", std::string(message.begin(), message.end()));
    std::string output;
    EXPECT_EQ(
        RunCommand("openssl cms -decrypt -binary -inform DER" + std::string(kLegacy) + " -in " +
                       ShellQuote(in.string()) + " -inkey " + ShellQuote(recipient.key_pem) +
                       " -recip " + ShellQuote(recipient.certificate_pem),
                   &output),
        0);
    return output;
  }

  testing::TempDir dir_;
  testing::ScopedEnv profile_{"KELVADROME_PROFILE", (dir_.path() / "profile").c_str()};
  std::unique_ptr<KeyContainerStore> containers_ = KeyContainerStore::OpenUser();
  std::unique_ptr<CertStore> store_ = CertStore::OpenMemory();
};

TEST_F(Pkcs7EnvelopeTest, OurEnvelopesOpenWithOpensslForEveryRecipientAndAlgorithm) {
  const Recipient alice = Make("alice");
  const Recipient bob = Make("bob");
  const std::string content = "seven7!" + std::string(300, 'x') + "end";
  for (const char* algorithm :
       {envelope_algorithm::kDesCbc, envelope_algorithm::kRc4, envelope_algorithm::kDesEde3Cbc}) {
    SCOPED_TRACE(algorithm);
    EnvelopeRequest request;
    const auto bytes = Bytes(content);
    request.content = bytes;
    request.content_algorithm = algorithm;
    request.recipients = {alice.der, bob.der};
    const auto message = EncodeEnvelopedData(request);
    ASSERT_TRUE(message.has_value()) << std::hex << LastPlatformError();
    EXPECT_EQ(OpensslDecrypt(alice, *message), content);
    EXPECT_EQ(OpensslDecrypt(bob, *message), content);
    const auto parsed = ParseEnvelopedData(*message);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->content_algorithm, algorithm);
    EXPECT_EQ(parsed->recipients.size(), 2u);
  }
}

TEST_F(Pkcs7EnvelopeTest, OpensslEnvelopesOpenWithTheLinkedKey) {
  const Recipient carol = Make("carol");
  const struct {
    const char* options;
  } cases[] = {{"-des3"},           {"-des"},    {"-rc4"},    {"-des3 -stream"},
               {"-des3 -keyid"},    {"-aes128"}, {"-aes192"}, {"-aes256"},
               {"-aes256 -stream"}, {""}};  // "": the producer's default cipher
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    for (const std::string& content :
         std::vector<std::string>{"", "a", "12345678", "sixteen bytes!!!",
                                  std::string("\0\xFF\x80", 3), "a somewhat longer message"}) {
      const auto message = OpensslEnvelope(carol, c.options, content);
      const auto plain = Decrypt(message);
      ASSERT_TRUE(plain.has_value()) << std::hex << LastPlatformError();
      EXPECT_EQ(std::string(plain->view().begin(), plain->view().end()), content);
    }
  }
}

TEST_F(Pkcs7EnvelopeTest, FailuresRecordTheDecodersError) {
  const Recipient dave = Make("dave");
  const Recipient signer = Make("signer", key_spec::kSignature);
  const auto good = OpensslEnvelope(dave, "-des3", "content");
  ASSERT_FALSE(good.empty());
  const auto truncated = std::vector<uint8_t>(good.begin(), good.begin() + 40);
  // The IV's OCTET STRING tag turned into a BIT STRING tag: well formed, wrong parameters.
  auto bad_iv = good;
  const uint8_t des3_oid[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x07, 0x04};
  const auto at =
      std::search(bad_iv.begin(), bad_iv.end(), std::begin(des3_oid), std::end(des3_oid));
  ASSERT_NE(at, bad_iv.end());
  at[10] = 0x03;
  // AES-128 content under the AES-256 identifier: the content key is too short for it.
  auto aes_key_too_short = OpensslEnvelope(dave, "-aes128", "content");
  const uint8_t aes128_oid[] = {0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01, 0x02};
  const auto aes_at = std::search(aes_key_too_short.begin(), aes_key_too_short.end(),
                                  std::begin(aes128_oid), std::end(aes128_oid));
  ASSERT_NE(aes_at, aes_key_too_short.end());
  aes_at[10] = 0x2A;
  auto aes_bad_iv = aes_key_too_short;
  aes_bad_iv[aes_at - aes_key_too_short.begin() + 11] = 0x03;  // the IV as a BIT STRING
  aes_bad_iv[aes_at - aes_key_too_short.begin() + 10] = 0x02;  // back to AES-128
  // The last ciphertext byte flipped: the padding no longer checks.
  auto bad_padding = good;
  bad_padding.back() ^= 0x55;
  const auto bag = dir_.path() / "bag.p7b";
  ASSERT_EQ(RunCommand("openssl crl2pkcs7 -nocrl -outform DER -certfile " +
                       ShellQuote(dave.certificate_pem) + " -out " + ShellQuote(bag.string())),
            0);

  const struct {
    const char* label;
    std::vector<uint8_t> message;
    uint32_t error;
  } cases[] = {
      {"no bytes", {}, platform_error::kAsn1EndOfData},
      // The outer SEQUENCE claims more than there is.
      {"truncated", truncated, platform_error::kAsn1EndOfData},
      // A SEQUENCE holding a NULL where the content type belongs.
      {"not a ContentInfo", {0x30, 0x02, 0x05, 0x00}, platform_error::kAsn1BadTag},
      {"a certificate bag", testing::ReadWholeFile(bag), platform_error::kUnexpectedMessageType},
      {"for a certificate not in the store", OpensslEnvelope(Files("erin"), "-des3", "x"),
       platform_error::kNoDecryptCert},
      {"a signature key", OpensslEnvelope(signer, "-des3", "x"), key_error::kBadKey},
      {"Camellia content", OpensslEnvelope(dave, "-camellia128", "x"), key_error::kBadAlgorithm},
      {"IV not an OCTET STRING", bad_iv, key_error::kBadData},
      {"AES IV not an OCTET STRING", aes_bad_iv, key_error::kBadData},
      {"AES key too short for the algorithm", aes_key_too_short, key_error::kBadKey},
      {"bad padding", bad_padding, key_error::kBadData},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_FALSE(Decrypt(c.message).has_value());
    EXPECT_EQ(LastPlatformError(), c.error);
  }
  // AES IVs of other lengths than the 16 bytes of the block.
  const auto parsed = ParseEnvelopedData(OpensslEnvelope(dave, "-aes256", "content"));
  ASSERT_TRUE(parsed.has_value());
  const std::vector<uint8_t> key(32, 0x5A);
  for (const size_t iv_length : {0, 8, 15, 17, 32}) {
    SCOPED_TRACE(iv_length);
    std::vector<uint8_t> iv(2 + iv_length, 0);
    iv[0] = 0x04;
    iv[1] = static_cast<uint8_t>(iv_length);
    ParsedEnvelope odd_iv = *parsed;
    odd_iv.algorithm_parameters = iv;
    EXPECT_FALSE(DecryptEnvelopeContent(odd_iv, key).has_value());
    EXPECT_EQ(LastPlatformError(), key_error::kBadData);
  }
}

TEST_F(Pkcs7EnvelopeTest, EncodingRefusesWhatItCannotEnvelope) {
  const Recipient frank = Make("frank");
  const std::string ec_pem = (dir_.path() / "ec.pem").string();
  ASSERT_EQ(RunCommand("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                       "-days 2 -subj /CN=ec -keyout /dev/null -outform DER -out " +
                       ShellQuote(ec_pem) + " 2>/dev/null"),
            0);
  const auto ec = testing::ReadWholeFile(ec_pem);
  const auto truncated = std::vector<uint8_t>(frank.der.begin(), frank.der.end() - 1);
  const auto content = Bytes("text");
  const struct {
    const char* label;
    const char* algorithm;
    std::vector<std::vector<uint8_t>> recipients;
    uint32_t error;
  } cases[] = {
      {"no recipient", envelope_algorithm::kDesEde3Cbc, {}, platform_error::kInvalidParameter},
      {"AES is not offered", "2.16.840.1.101.3.4.1.2", {frank.der}, key_error::kBadAlgorithm},
      {"an EC key", envelope_algorithm::kDesCbc, {frank.der, ec}, key_error::kBadAlgorithm},
      {"a truncated certificate",
       envelope_algorithm::kRc4,
       {truncated},
       platform_error::kAsn1EndOfData},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EnvelopeRequest request;
    request.content = content;
    request.content_algorithm = c.algorithm;
    for (const auto& recipient : c.recipients) request.recipients.emplace_back(recipient);
    EXPECT_FALSE(EncodeEnvelopedData(request).has_value());
    EXPECT_EQ(LastPlatformError(), c.error);
  }
}

}  // namespace
}  // namespace kelvadrome
