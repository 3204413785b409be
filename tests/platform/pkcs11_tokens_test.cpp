// The token layer against a SoftHSM2 token, with pkcs11-tool and OpenSSL as the independent
// judges of what the layer made and computed. A program of its own: p11-kit is pointed at the test
// token before the first token call (support/softhsm.h).
#include "platform/pkcs11_tokens.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <algorithm>
#include <deque>
#include <memory>

#include "platform/last_error.h"
#include "support/softhsm.h"

namespace kelvadrome {
namespace {

using testing::SoftHsm;

constexpr char kPin[] = "4711";
constexpr char kLabel[] = "layer test";
constexpr char kGoneLabel[] = "taken away";

SoftHsm* hsm = nullptr;
std::filesystem::path gone_folder;

class SoftHsmEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    hsm = new SoftHsm();  // lives as long as the process; the environment owns nothing else
    if (!hsm->Start()) return;
    if (hsm->InitToken(kLabel, kPin).empty()) return;
    gone_folder = hsm->InitToken(kGoneLabel, kPin);
  }
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new SoftHsmEnvironment);

std::optional<TokenRef> TestToken(const std::string& label) {
  for (const TokenInfo& token : PresentTokens()) {
    if (token.ref.label == label) return token.ref;
  }
  return std::nullopt;
}

#define REQUIRE_SOFTHSM()                                                               \
  do {                                                                                  \
    if (!hsm->why_not().empty() || gone_folder.empty()) GTEST_SKIP() << hsm->why_not(); \
  } while (0)

std::string Hex(std::span<const uint8_t> bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : bytes) {
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

// A prompt that gives the answers of a script in turn and records what it was asked.
struct ScriptedPrompt {
  explicit ScriptedPrompt(std::deque<std::optional<std::string>> script)
      : answers(std::move(script)) {}
  std::deque<std::optional<std::string>> answers;  // nullopt: the person cancels
  bool remember = false;
  std::vector<PinRequest> asked;

  TokenPinPrompt Prompt() {
    return [this](const PinRequest& request) -> std::optional<PinAnswer> {
      asked.push_back(request);
      if (answers.empty() || !answers.front()) return std::nullopt;
      PinAnswer answer{SecretString(*answers.front()), remember};
      answers.pop_front();
      return answer;
    };
  }
};

struct PromptScope {
  explicit PromptScope(TokenPinPrompt prompt) { SetTokenPinPrompt(std::move(prompt)); }
  ~PromptScope() { SetTokenPinPrompt(nullptr); }
};

std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> PublicKey(const TokenKey& key) {
  const unsigned char* cursor = key.public_key_info.data();
  return {d2i_PUBKEY(nullptr, &cursor, static_cast<long>(key.public_key_info.size())),
          &EVP_PKEY_free};
}

// DigestInfo of SHA-256 over |message|.
std::vector<uint8_t> Sha256DigestInfo(const std::string& message) {
  std::vector<uint8_t> info = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                               0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
  unsigned char digest[32];
  unsigned int length = 0;
  EVP_Digest(message.data(), message.size(), digest, &length, EVP_sha256(), nullptr);
  info.insert(info.end(), digest, digest + 32);
  return info;
}

// A certificate for the token key's public half, issued by a key OpenSSL makes here.
std::vector<uint8_t> CertificateFor(const TokenKey& key, const std::string& name) {
  auto subject_key = PublicKey(key);
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> issuer(EVP_RSA_gen(2048), &EVP_PKEY_free);
  std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), &X509_free);
  if (!subject_key || !issuer || !cert) return {};
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 7);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
  X509_NAME* subject = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0);
  X509_set_issuer_name(cert.get(), subject);
  X509_set_pubkey(cert.get(), subject_key.get());
  if (X509_sign(cert.get(), issuer.get(), EVP_sha256()) <= 0) return {};
  unsigned char* der = nullptr;
  const int length = i2d_X509(cert.get(), &der);
  std::vector<uint8_t> bytes(der, der + std::max(length, 0));
  OPENSSL_free(der);
  return bytes;
}

// The objects pkcs11-tool lists for |id| (hex), after logging in.
std::string ToolObjects(const std::string& id) {
  std::string output;
  EXPECT_EQ(hsm->Pkcs11Tool("--token-label '" + std::string(kLabel) + "' --login --pin " + kPin +
                                " --list-objects --id " + id,
                            &output),
            0)
      << output;
  return output;
}

// One key through its whole life: made on the token, judged by pkcs11-tool, used to sign and
// decrypt (checked with OpenSSL), given a certificate, deleted.
TEST(Pkcs11Tokens, KeyLifeOnTheToken) {
  REQUIRE_SOFTHSM();
  const auto token = TestToken(kLabel);
  ASSERT_TRUE(token);
  EXPECT_EQ(token->module, "softhsm2");
  ScriptedPrompt prompt{{kPin}};
  const PromptScope scope(prompt.Prompt());

  const auto key = GenerateTokenKey(*token, 2048, "container one");
  ASSERT_TRUE(key) << std::hex << LastPlatformError();
  EXPECT_EQ(key->bits, 2048u);
  EXPECT_EQ(key->label, "container one");
  EXPECT_TRUE(key->sensitive);
  EXPECT_FALSE(key->extractable);
  EXPECT_TRUE(key->can_sign && key->can_decrypt);
  // CKA_ID is the SHA-1 hash of the modulus.
  auto public_key = PublicKey(*key);
  ASSERT_TRUE(public_key);
  BIGNUM* modulus = nullptr;
  ASSERT_EQ(EVP_PKEY_get_bn_param(public_key.get(), "n", &modulus), 1);
  std::vector<uint8_t> n(BN_num_bytes(modulus));
  BN_bn2bin(modulus, n.data());
  BN_free(modulus);
  unsigned char sha1[20];
  SHA1(n.data(), n.size(), sha1);
  EXPECT_EQ(Hex(key->id), Hex(sha1));

  const std::string id = Hex(key->id);
  const std::string objects = ToolObjects(id);
  EXPECT_NE(objects.find("Private Key Object; RSA"), std::string::npos) << objects;
  EXPECT_NE(objects.find("Public Key Object; RSA 2048 bits"), std::string::npos) << objects;
  EXPECT_NE(objects.find("label:      container one"), std::string::npos) << objects;
  EXPECT_NE(objects.find("Access:     sensitive, always sensitive, never extractable"),
            std::string::npos)
      << objects;

  // Sign: the signature verifies with OpenSSL against the public key the layer reported.
  const auto digest_info = Sha256DigestInfo("sign me");
  const auto signature = SignWithTokenKey(*token, key->id, digest_info);
  ASSERT_TRUE(signature) << std::hex << LastPlatformError();
  ASSERT_EQ(signature->size(), 256u);
  {
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> verify(
        EVP_PKEY_CTX_new(public_key.get(), nullptr), &EVP_PKEY_CTX_free);
    ASSERT_EQ(EVP_PKEY_verify_recover_init(verify.get()), 1);
    ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(verify.get(), RSA_PKCS1_PADDING), 1);
    std::vector<uint8_t> recovered(256);
    size_t length = recovered.size();
    ASSERT_EQ(EVP_PKEY_verify_recover(verify.get(), recovered.data(), &length, signature->data(),
                                      signature->size()),
              1);
    recovered.resize(length);
    EXPECT_EQ(recovered, digest_info);
  }

  // Decrypt: a block OpenSSL encrypted to the public key comes back as it was.
  {
    std::vector<uint8_t> content(32);
    RAND_bytes(content.data(), static_cast<int>(content.size()));
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> encrypt(
        EVP_PKEY_CTX_new(public_key.get(), nullptr), &EVP_PKEY_CTX_free);
    ASSERT_EQ(EVP_PKEY_encrypt_init(encrypt.get()), 1);
    ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(encrypt.get(), RSA_PKCS1_PADDING), 1);
    std::vector<uint8_t> block(256);
    size_t length = block.size();
    ASSERT_EQ(
        EVP_PKEY_encrypt(encrypt.get(), block.data(), &length, content.data(), content.size()), 1);
    const auto plain = DecryptWithTokenKey(*token, key->id, block);
    ASSERT_TRUE(plain) << std::hex << LastPlatformError();
    EXPECT_EQ(std::vector<uint8_t>(plain->view().begin(), plain->view().end()), content);
  }

  // Certificates: stored beside the key, seen by pkcs11-tool and listed; a second one of the same
  // CKA_ID replaces the first.
  const auto first = CertificateFor(*key, "First Holder");
  const auto second = CertificateFor(*key, "Second Holder");
  ASSERT_FALSE(first.empty() || second.empty());
  ASSERT_TRUE(StoreTokenCertificate(*token, key->id, "container one", first));
  ASSERT_TRUE(StoreTokenCertificate(*token, key->id, "container one", second));
  const std::string with_cert = ToolObjects(id);
  EXPECT_NE(with_cert.find("Certificate Object; type = X.509 cert"), std::string::npos)
      << with_cert;
  EXPECT_NE(with_cert.find("CN=Second Holder"), std::string::npos) << with_cert;
  EXPECT_EQ(with_cert.find("CN=First Holder"), std::string::npos) << with_cert;
  const auto certs = TokenCertificates(*token);
  ASSERT_TRUE(certs);
  ASSERT_EQ(certs->size(), 1u);
  EXPECT_EQ(certs->front().der, second);
  EXPECT_EQ(certs->front().id, key->id);
  EXPECT_EQ(certs->front().label, "container one");

  const auto keys = TokenKeys(*token);
  ASSERT_TRUE(keys);
  ASSERT_EQ(keys->size(), 1u);
  EXPECT_EQ(keys->front().public_key_info, key->public_key_info);

  // Deleting takes the pair and its certificate; a second delete finds nothing.
  ASSERT_TRUE(DeleteTokenKey(*token, key->id));
  const std::string after = ToolObjects(id);
  EXPECT_EQ(after.find("Object;"), std::string::npos) << after;
  EXPECT_TRUE(TokenKeys(*token).value_or(std::vector<TokenKey>{{}}).empty());
  EXPECT_FALSE(DeleteTokenKey(*token, key->id));
  EXPECT_EQ(LastPlatformError(), platform_error::kBadKeyset);
  EXPECT_EQ(prompt.asked.size(), 1u);  // one login served every call
}

// The login's ways: what the person answers, what the layer asks, how the use ends.
TEST(Pkcs11Tokens, PinPromptPaths) {
  REQUIRE_SOFTHSM();
  const auto token = TestToken(kLabel);
  ASSERT_TRUE(token);
  std::optional<TokenKey> key;
  {
    ScriptedPrompt setup{{kPin}};
    const PromptScope scope(setup.Prompt());
    key = GenerateTokenKey(*token, 1024, "pin paths");
    ASSERT_TRUE(key) << std::hex << LastPlatformError();
  }
  struct Case {
    const char* name;
    bool install_prompt;
    std::deque<std::optional<std::string>> answers;
    bool signs;
    uint32_t error;                 // when it does not
    std::vector<bool> retry_flags;  // PinRequest::retry of each prompt, in order
  };
  // In order: each use asks once, and a use after a wrong PIN is told so.
  const std::vector<Case> cases = {
      {"right PIN", true, {kPin}, true, 0, {false}},
      {"wrong PIN", true, {"0000"}, false, card_error::kWrongPin, {false}},
      {"the next use says the last was wrong", true, {kPin}, true, 0, {true}},
      {"cancel", true, {std::nullopt}, false, card_error::kCancelled, {false}},
      {"nobody to ask", false, {}, false, card_error::kCancelled, {}},
  };
  const auto digest_info = Sha256DigestInfo("pin paths");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ForgetTokenPins();  // logged out: this use must log in
    ScriptedPrompt prompt{c.answers};
    const PromptScope scope(c.install_prompt ? prompt.Prompt() : nullptr);
    SetLastPlatformError(0);
    const auto signature = SignWithTokenKey(*token, key->id, digest_info);
    EXPECT_EQ(signature.has_value(), c.signs);
    if (!c.signs) {
      EXPECT_EQ(LastPlatformError(), c.error);
    }
    std::vector<bool> retry_flags;
    for (const PinRequest& request : prompt.asked) {
      retry_flags.push_back(request.retry);
      EXPECT_EQ(request.token, *token);
    }
    EXPECT_EQ(retry_flags, c.retry_flags);
  }

  ScriptedPrompt cleanup{{kPin}};
  const PromptScope scope(cleanup.Prompt());
  EXPECT_TRUE(DeleteTokenKey(*token, key->id));
}

// A token whose store disappears while the process holds a session on it.
TEST(Pkcs11Tokens, RemovedToken) {
  REQUIRE_SOFTHSM();
  const auto token = TestToken(kGoneLabel);
  ASSERT_TRUE(token);
  ASSERT_TRUE(TokenKeys(*token));  // a session is now kept for it
  std::filesystem::remove_all(gone_folder);

  std::vector<std::string> labels;
  for (const TokenInfo& info : PresentTokens()) labels.push_back(info.ref.label);
  EXPECT_EQ(std::count(labels.begin(), labels.end(), kGoneLabel), 0);
  EXPECT_EQ(std::count(labels.begin(), labels.end(), kLabel), 1);
  SetLastPlatformError(0);
  EXPECT_FALSE(TokenKeys(*token));
  EXPECT_EQ(LastPlatformError(), card_error::kRemoved);

  // A token that never was is no card.
  const TokenRef unknown{"softhsm2", "0000", "no such token"};
  EXPECT_FALSE(TokenCertificates(unknown));
  EXPECT_EQ(LastPlatformError(), card_error::kNoCard);
}

}  // namespace
}  // namespace kelvadrome
