#include "platform/key_container.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/opensslv.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/last_error.h"
#include "support/scoped_code_page.h"
#include "support/test_support.h"

namespace kelvadrome {
namespace {

// Independent checks below use OpenSSL's own default context, not the component's.
struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct BnFree {
  void operator()(BIGNUM* number) const { BN_free(number); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

using Bytes = std::vector<uint8_t>;

constexpr const char* kEnhanced = "Microsoft Enhanced Cryptographic Provider v1.0";

Pkey PublicKeyOf(const Bytes& spki) {
  const unsigned char* cursor = spki.data();
  return Pkey(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(spki.size())));
}

Pkey PrivateKeyOf(const SecretBytes& pkcs8) {
  const unsigned char* cursor = pkcs8.data();
  return Pkey(d2i_AutoPrivateKey(nullptr, &cursor, static_cast<long>(pkcs8.size())));
}

// The parameter |name| of |key| little-endian in |size| bytes.
Bytes LittleEndian(EVP_PKEY* key, const char* name, size_t size) {
  BIGNUM* raw = nullptr;
  EXPECT_EQ(EVP_PKEY_get_bn_param(key, name, &raw), 1) << name;
  std::unique_ptr<BIGNUM, BnFree> number(raw);
  Bytes out(size);
  EXPECT_EQ(BN_bn2lebinpad(number.get(), out.data(), static_cast<int>(size)),
            static_cast<int>(size));
  return out;
}

uint32_t Le32(const uint8_t* bytes) {
  return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

// OpenSSL's own writer of the Microsoft key blobs, as an independent reference.
Bytes OpensslBlob(EVP_PKEY* key, bool private_blob) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
  const int written =
      private_blob ? i2b_PrivateKey_bio(bio.get(), key) : i2b_PublicKey_bio(bio.get(), key);
  EXPECT_GT(written, 0);
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return Bytes(data, data + size);
}

Bytes Digest(const char* name, std::string_view message) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int size = 0;
  EXPECT_EQ(EVP_Digest(message.data(), message.size(), out.data(), &size,
                       EVP_get_digestbyname(name), nullptr),
            1);
  out.resize(size);
  return out;
}

// Verifies a PKCS #1 v1.5 signature given least significant byte first over |message| with
// |digest|, through OpenSSL's complete verifier (hashing, DigestInfo and padding).
bool VerifiesWithOpenssl(EVP_PKEY* key, const char* digest, std::string_view message,
                         const Bytes& little_endian) {
  Bytes signature(little_endian.rbegin(), little_endian.rend());
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> context(EVP_MD_CTX_new());
  EVP_PKEY_CTX* key_context = nullptr;
  if (EVP_DigestVerifyInit(context.get(), &key_context, EVP_get_digestbyname(digest), nullptr,
                           key) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(key_context, RSA_PKCS1_PADDING) != 1) {
    return false;
  }
  return EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                          reinterpret_cast<const unsigned char*>(message.data()),
                          message.size()) == 1;
}

// Encrypts |plain| for |key| with PKCS #1 v1.5 and returns the block least significant byte first.
Bytes EncryptWithOpenssl(EVP_PKEY* key, const Bytes& plain) {
  PkeyCtx context(EVP_PKEY_CTX_new(key, nullptr));
  size_t size = 0;
  EXPECT_EQ(EVP_PKEY_encrypt_init(context.get()), 1);
  EXPECT_EQ(EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING), 1);
  EXPECT_EQ(EVP_PKEY_encrypt(context.get(), nullptr, &size, plain.data(), plain.size()), 1);
  Bytes block(size);
  EXPECT_EQ(EVP_PKEY_encrypt(context.get(), block.data(), &size, plain.data(), plain.size()), 1);
  block.resize(size);
  std::reverse(block.begin(), block.end());
  return block;
}

class KeyContainerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = OpenStore();
    ASSERT_NE(store_, nullptr);
    previous_prompt_ = SetDefaultKeyUsePrompt(nullptr);
  }
  void TearDown() override { SetDefaultKeyUsePrompt(previous_prompt_); }

  // A second, independent connection to the same profile, as another process would have.
  std::unique_ptr<KeyContainerStore> OpenStore() {
    auto database =
        ProfileDatabase::Open(dir_.path().string(), ProfileDatabase::Access::kReadWrite);
    if (database == nullptr) return nullptr;
    return std::make_unique<KeyContainerStore>(std::move(database));
  }

  std::unique_ptr<KeyContainer> CreateWithKey(const char* name, uint32_t spec, uint32_t bits,
                                              uint32_t flags) {
    auto container = store_->Create(name, kEnhanced, 1);
    EXPECT_NE(container, nullptr);
    if (container == nullptr) return nullptr;
    EXPECT_TRUE(container->GenerateKey(spec, bits, flags)) << LastPlatformError();
    return container;
  }

  testing::TempDir dir_;
  testing::ScopedCodePage code_page_{"UTF-8"};
  std::unique_ptr<KeyContainerStore> store_;
  KeyUsePrompt previous_prompt_;
};

TEST_F(KeyContainerTest, CreateOpenDeleteFollowTheNamespaceRules) {
  enum class Op { kCreate, kOpen, kDelete };
  struct Step {
    const char* label;
    Op op;
    const char* name;
    const char* provider;
    uint32_t type;
    uint32_t error;  // 0: succeeds
  };
  const Step steps[] = {
      {"create", Op::kCreate, "Alpha", kEnhanced, 1, 0},
      {"same name, other case", Op::kCreate, "ALPHA", kEnhanced, 1, key_error::kExists},
      {"other provider shares the namespace", Op::kCreate, "alpha",
       "Microsoft Base Cryptographic Provider v1.0", 1, key_error::kExists},
      {"open in other case", Op::kOpen, "aLPHA", kEnhanced, 1, 0},
      {"open through the type-24 provider", Op::kOpen, "Alpha",
       "Microsoft Enhanced RSA and AES Cryptographic Provider", 24, 0},
      {"open missing", Op::kOpen, "Beta", kEnhanced, 1, key_error::kBadKeyset},
      {"delete missing", Op::kDelete, "Beta", kEnhanced, 1, key_error::kBadKeyset},
      {"unknown provider", Op::kCreate, "Gamma", "Acme CSP", 1, provider_error::kKeysetNotDefined},
      {"provider type mismatch", Op::kOpen, "Alpha", kEnhanced, 24,
       provider_error::kProviderTypeNoMatch},
      {"empty name", Op::kCreate, "", kEnhanced, 1, platform_error::kInvalidParameter},
      {"non-ASCII name", Op::kCreate, "Schlüssel", kEnhanced, 1, 0},
      {"non-ASCII name folded", Op::kCreate, "SCHLÜSSEL", kEnhanced, 1, key_error::kExists},
      {"delete in other case", Op::kDelete, "alpha", kEnhanced, 1, 0},
      {"open after delete", Op::kOpen, "Alpha", kEnhanced, 1, key_error::kBadKeyset},
      {"create again after delete", Op::kCreate, "Alpha", kEnhanced, 1, 0},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.label);
    SetLastPlatformError(0);
    bool ok = false;
    switch (step.op) {
      case Op::kCreate:
        ok = store_->Create(step.name, step.provider, step.type) != nullptr;
        break;
      case Op::kOpen:
        ok = store_->Open(step.name, step.provider, step.type) != nullptr;
        break;
      case Op::kDelete:
        ok = store_->Delete(step.name, step.provider, step.type);
        break;
    }
    EXPECT_EQ(ok, step.error == 0);
    if (step.error != 0) {
      EXPECT_EQ(LastPlatformError(), step.error);
    }
  }
  // Names keep their first spelling, in creation order.
  EXPECT_EQ(*store_->Names(), (std::vector<std::string>{"Schlüssel", "Alpha"}));
}

TEST_F(KeyContainerTest, DeleteTakesTheKeysAndStalesOpenHandles) {
  auto container = CreateWithKey("Doomed", key_spec::kExchange, 1024, 0);
  ASSERT_TRUE(store_->Delete("Doomed", kEnhanced, 1));
  EXPECT_FALSE(container->DescribeKey(key_spec::kExchange).has_value());
  EXPECT_EQ(LastPlatformError(), key_error::kBadKeyset);
  EXPECT_FALSE(container->GenerateKey(key_spec::kSignature, 1024, 0));
  EXPECT_EQ(LastPlatformError(), key_error::kBadKeyset);
  // A new container of that name starts empty.
  auto again = store_->Create("Doomed", kEnhanced, 1);
  ASSERT_NE(again, nullptr);
  EXPECT_FALSE(again->DescribeKey(key_spec::kExchange).has_value());
  EXPECT_EQ(LastPlatformError(), key_error::kNoKey);
  EXPECT_TRUE(again->Keys()->empty());
}

TEST_F(KeyContainerTest, GeneratesTheSupportedSizesAndRefusesOthers) {
  struct Case {
    const char* label;
    uint32_t spec;
    uint32_t bits;
    uint32_t flags;
    uint32_t error;  // 0: succeeds
  };
  const Case cases[] = {
      {"1024 exchange", key_spec::kExchange, 1024, 0, 0},
      {"2048 signature, exportable", key_spec::kSignature, 2048, key_flag::kExportable, 0},
      {"1024 signature, both flags", key_spec::kSignature, 1024,
       key_flag::kExportable | key_flag::kUserProtected, 0},
      {"512 bits", key_spec::kExchange, 512, 0, key_error::kBadFlags},
      {"1536 bits", key_spec::kExchange, 1536, 0, key_error::kBadFlags},
      {"3072 bits", key_spec::kExchange, 3072, 0, key_error::kBadFlags},
      {"0 bits", key_spec::kExchange, 0, 0, key_error::kBadFlags},
      {"unknown flag 0x4", key_spec::kExchange, 1024, 0x4, key_error::kBadFlags},
      {"key spec 0", 0, 1024, 0, key_error::kBadAlgorithm},
      {"key spec 3", 3, 1024, 0, key_error::kBadAlgorithm},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto container = store_->Create(c.label, kEnhanced, 1);
    ASSERT_NE(container, nullptr);
    SetLastPlatformError(0);
    EXPECT_EQ(container->GenerateKey(c.spec, c.bits, c.flags), c.error == 0);
    if (c.error != 0) {
      EXPECT_EQ(LastPlatformError(), c.error);
      EXPECT_TRUE(container->Keys()->empty());
      continue;
    }
    auto described = container->DescribeKey(c.spec);
    ASSERT_TRUE(described.has_value());
    EXPECT_EQ(described->bits, c.bits);
    EXPECT_EQ(described->flags, c.flags);
    // The other spec is still empty.
    const uint32_t other =
        c.spec == key_spec::kExchange ? key_spec::kSignature : key_spec::kExchange;
    EXPECT_FALSE(container->DescribeKey(other).has_value());
    EXPECT_EQ(LastPlatformError(), key_error::kNoKey);
    Pkey key = PublicKeyOf(*container->ExportPublicKeyInfo(c.spec));
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(EVP_PKEY_get_bits(key.get()), static_cast<int>(c.bits));
    EXPECT_EQ(LittleEndian(key.get(), OSSL_PKEY_PARAM_RSA_E, 3), (Bytes{0x01, 0x00, 0x01}));
  }
}

TEST_F(KeyContainerTest, RegeneratingReplacesTheKeyAndDropsItsCertificate) {
  auto container = CreateWithKey("Twice", key_spec::kExchange, 1024, 0);
  const Bytes first = *container->ExportPublicKeyInfo(key_spec::kExchange);
  ASSERT_TRUE(container->SetCertificate(key_spec::kExchange, Bytes{0x30, 0x00}));
  ASSERT_TRUE(container->GenerateKey(key_spec::kExchange, 1024, key_flag::kExportable));
  EXPECT_NE(*container->ExportPublicKeyInfo(key_spec::kExchange), first);
  EXPECT_EQ(container->DescribeKey(key_spec::kExchange)->flags, key_flag::kExportable);
  EXPECT_FALSE(container->Certificate(key_spec::kExchange).has_value());
  EXPECT_EQ(container->Keys()->size(), 1u);
}

TEST_F(KeyContainerTest, AHandleSignsWithTheKeyAnotherHandleStoredMeanwhile) {
  // The signing handle keeps the key it parsed; it must notice the replacement, whichever handle
  // made it, and sign with the new key of each spec.
  auto signer = CreateWithKey("Replaced", key_spec::kSignature, 1024, 0);
  ASSERT_TRUE(signer->GenerateKey(key_spec::kExchange, 1024, 0));
  const Bytes hash = Digest("SHA1", "m");
  ASSERT_TRUE(signer->SignHash(key_spec::kSignature, key_algorithm::kSha1, hash).has_value());
  auto other = store_->Open("Replaced", kEnhanced, 1);
  ASSERT_NE(other, nullptr);
  ASSERT_TRUE(other->GenerateKey(key_spec::kSignature, 1024, 0));
  for (const uint32_t spec : {key_spec::kSignature, key_spec::kExchange, key_spec::kSignature}) {
    SCOPED_TRACE(spec);
    Pkey key = PublicKeyOf(*other->ExportPublicKeyInfo(spec));
    EXPECT_TRUE(VerifiesWithOpenssl(key.get(), "SHA1", "m",
                                    *signer->SignHash(spec, key_algorithm::kSha1, hash)));
  }
}

TEST_F(KeyContainerTest, AHandleNoticesWhatAnotherConnectionOrProcessChanged) {
  // The signing handle reuses the key it read while the profile is unchanged; every change made
  // elsewhere must reach its next signature.
  auto signer = CreateWithKey("Watched", key_spec::kSignature, 1024, 0);
  const Bytes hash = Digest("SHA1", "m");
  ASSERT_TRUE(signer->SignHash(key_spec::kSignature, key_algorithm::kSha1, hash).has_value());
  auto elsewhere = OpenStore();
  ASSERT_NE(elsewhere, nullptr);
  const auto regenerate = [&](uint32_t flags) {
    auto container = elsewhere->Open("Watched", kEnhanced, 1);
    return container != nullptr && container->GenerateKey(key_spec::kSignature, 1024, flags);
  };
  const struct {
    const char* label;
    std::function<bool()> change;
    uint32_t error;  // 0: signs with the key the profile holds now
  } steps[] = {
      {"another connection replaced the key", [&] { return regenerate(0); }, 0},
      {"another process replaced the key",
       [&] {
         const pid_t pid = fork();
         if (pid == 0) {
           auto own = OpenStore();
           auto container = own ? own->Open("Watched", kEnhanced, 1) : nullptr;
           _exit(container && container->GenerateKey(key_spec::kSignature, 1024, 0) ? 0 : 1);
         }
         int status = 0;
         return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
                WEXITSTATUS(status) == 0;
       },
       0},
      // Nobody can be asked here, so a user-protected key is refused.
      {"another connection made the key user-protected",
       [&] { return regenerate(key_flag::kUserProtected); }, key_error::kCancelled},
      {"another connection made it usable again", [&] { return regenerate(0); }, 0},
      {"another connection deleted the container",
       [&] { return elsewhere->Delete("Watched", kEnhanced, 1); }, key_error::kBadKeyset},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.label);
    ASSERT_TRUE(step.change());
    const auto signature = signer->SignHash(key_spec::kSignature, key_algorithm::kSha1, hash);
    if (step.error != 0) {
      EXPECT_FALSE(signature.has_value());
      EXPECT_EQ(LastPlatformError(), step.error);
      continue;
    }
    ASSERT_TRUE(signature.has_value());
    Pkey key = PublicKeyOf(
        *elsewhere->Open("Watched", kEnhanced, 1)->ExportPublicKeyInfo(key_spec::kSignature));
    EXPECT_TRUE(VerifiesWithOpenssl(key.get(), "SHA1", "m", *signature));
  }
}

TEST_F(KeyContainerTest, PublicKeyBlobHasTheDocumentedLayout) {
  for (uint32_t spec : {key_spec::kExchange, key_spec::kSignature}) {
    SCOPED_TRACE(spec);
    auto container = CreateWithKey(spec == 1 ? "PubX" : "PubS", spec, 1024, 0);
    const Bytes blob = *container->ExportPublicKeyBlob(spec);
    Pkey key = PublicKeyOf(*container->ExportPublicKeyInfo(spec));
    ASSERT_EQ(blob.size(), 20u + 128u);
    EXPECT_EQ(blob[0], 6);  // PUBLICKEYBLOB
    EXPECT_EQ(blob[1], 2);
    EXPECT_EQ(blob[2], 0);
    EXPECT_EQ(blob[3], 0);
    EXPECT_EQ(Le32(&blob[4]), spec == 1 ? 0xA400u : 0x2400u);
    EXPECT_EQ(std::memcmp(&blob[8], "RSA1", 4), 0);
    EXPECT_EQ(Le32(&blob[12]), 1024u);
    EXPECT_EQ(Le32(&blob[16]), 65537u);
    EXPECT_EQ(Bytes(blob.begin() + 20, blob.end()),
              LittleEndian(key.get(), OSSL_PKEY_PARAM_RSA_N, 128));
    // OpenSSL writes the same blob (it always names the exchange algorithm).
    Bytes reference = OpensslBlob(key.get(), false);
    reference[5] = blob[5];
    EXPECT_EQ(blob, reference);
  }
}

TEST_F(KeyContainerTest, PrivateKeyBlobHasTheDocumentedLayoutAndRoundTrips) {
  auto container = CreateWithKey("Priv", key_spec::kSignature, 2048, key_flag::kExportable);
  auto blob = container->ExportPrivateKeyBlob(key_spec::kSignature);
  ASSERT_TRUE(blob.has_value()) << LastPlatformError();
  Pkey key = PrivateKeyOf(*container->ExportPrivateKeyPkcs8(key_spec::kSignature));
  ASSERT_NE(key, nullptr);
  const uint8_t* b = blob->data();
  ASSERT_EQ(blob->size(), 20u + 2 * 256 + 5 * 128);
  EXPECT_EQ(b[0], 7);  // PRIVATEKEYBLOB
  EXPECT_EQ(b[1], 2);
  EXPECT_EQ(Le32(b + 4), 0x2400u);
  EXPECT_EQ(std::memcmp(b + 8, "RSA2", 4), 0);
  EXPECT_EQ(Le32(b + 12), 2048u);
  EXPECT_EQ(Le32(b + 16), 65537u);
  struct Part {
    const char* name;
    size_t size;
  };
  const Part parts[] = {
      {OSSL_PKEY_PARAM_RSA_N, 256},         {OSSL_PKEY_PARAM_RSA_FACTOR1, 128},
      {OSSL_PKEY_PARAM_RSA_FACTOR2, 128},   {OSSL_PKEY_PARAM_RSA_EXPONENT1, 128},
      {OSSL_PKEY_PARAM_RSA_EXPONENT2, 128}, {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, 128},
      {OSSL_PKEY_PARAM_RSA_D, 256}};
  size_t offset = 20;
  for (const Part& part : parts) {
    SCOPED_TRACE(part.name);
    EXPECT_EQ(Bytes(b + offset, b + offset + part.size),
              LittleEndian(key.get(), part.name, part.size));
    offset += part.size;
  }
  Bytes reference = OpensslBlob(key.get(), true);
  reference[5] = 0x24;  // OpenSSL always writes CALG_RSA_KEYX
  EXPECT_EQ(Bytes(blob->view().begin(), blob->view().end()), reference);

  // Importing the blob elsewhere gives the same key, under the key spec its algorithm names.
  auto copy = store_->Create("PrivCopy", kEnhanced, 1);
  EXPECT_EQ(copy->ImportPrivateKeyBlob(blob->view(), 0), key_spec::kSignature);
  EXPECT_EQ(*copy->ExportPublicKeyInfo(key_spec::kSignature),
            *container->ExportPublicKeyInfo(key_spec::kSignature));
  EXPECT_EQ(copy->DescribeKey(key_spec::kSignature)->bits, 2048u);
  // Not exportable there: it was imported without the flag.
  EXPECT_FALSE(copy->ExportPrivateKeyBlob(key_spec::kSignature).has_value());
  EXPECT_EQ(LastPlatformError(), key_error::kBadKeyState);
  // A blob written by OpenSSL imports as an exchange key.
  auto from_openssl = store_->Create("FromOpenssl", kEnhanced, 1);
  Bytes exchange_blob = OpensslBlob(key.get(), true);
  EXPECT_EQ(from_openssl->ImportPrivateKeyBlob(exchange_blob, key_flag::kExportable),
            key_spec::kExchange);
  EXPECT_EQ(*from_openssl->ExportPrivateKeyBlob(key_spec::kExchange)->data(), 7);
}

TEST_F(KeyContainerTest, NonExportableKeysKeepTheirPrivateHalf) {
  auto container = CreateWithKey("Locked", key_spec::kExchange, 1024, key_flag::kUserProtected);
  int asked = 0;
  container->set_key_use_prompt([&](const KeyUseRequest&) { return ++asked, true; });
  EXPECT_FALSE(container->ExportPrivateKeyBlob(key_spec::kExchange).has_value());
  EXPECT_EQ(LastPlatformError(), key_error::kBadKeyState);
  EXPECT_FALSE(container->ExportPrivateKeyPkcs8(key_spec::kExchange).has_value());
  EXPECT_EQ(LastPlatformError(), key_error::kBadKeyState);
  EXPECT_EQ(asked, 0) << "a refusal by the key's state does not bother the user";
  EXPECT_TRUE(container->ExportPublicKeyBlob(key_spec::kExchange).has_value());
  EXPECT_FALSE(container->ExportPublicKeyBlob(key_spec::kSignature).has_value());
  EXPECT_EQ(LastPlatformError(), key_error::kNoKey);
}

TEST_F(KeyContainerTest, MalformedPrivateKeyBlobsAreRefused) {
  auto source = CreateWithKey("Source", key_spec::kExchange, 1024, key_flag::kExportable);
  auto exported = source->ExportPrivateKeyBlob(key_spec::kExchange);
  ASSERT_TRUE(exported.has_value());
  const Bytes good(exported->view().begin(), exported->view().end());
  struct Case {
    const char* label;
    std::function<void(Bytes&)> damage;
    uint32_t error;
  };
  const Case cases[] = {
      // Cut inside the BLOBHEADER.
      {"header truncated", [](Bytes& b) { b.resize(6); }, key_error::kBadData},
      // A public blob is not a private one.
      {"type 6", [](Bytes& b) { b[0] = 6; }, key_error::kBadBlobType},
      // Only version 2 blobs exist for RSA.
      {"version 3", [](Bytes& b) { b[1] = 3; }, key_error::kBadVersion},
      // aiKeyAlg names a symmetric cipher (CALG_3DES 0x6603).
      {"algorithm 3DES", [](Bytes& b) { b[4] = 0x03, b[5] = 0x66; }, key_error::kBadAlgorithm},
      // The public-key magic in a private blob.
      {"magic RSA1", [](Bytes& b) { b[11] = '1'; }, key_error::kBadData},
      // bitlen says 2048 but the parts are sized for 1024.
      {"bit length too large", [](Bytes& b) { b[13] = 0x08; }, key_error::kBadData},
      // bitlen not a whole number of bytes.
      {"bit length 1020", [](Bytes& b) { b[12] = 0xFC, b[13] = 0x03; }, key_error::kBadData},
      // The private exponent's last byte is missing.
      {"one byte short", [](Bytes& b) { b.pop_back(); }, key_error::kBadData},
      // A stray byte after the private exponent.
      {"one byte long", [](Bytes& b) { b.push_back(0); }, key_error::kBadData},
      // prime1 altered: n is no longer p * q.
      {"prime changed", [](Bytes& b) { b[20 + 128] ^= 0x02; }, key_error::kBadData},
      // private exponent altered: it no longer inverts e.
      {"private exponent changed", [](Bytes& b) { b[b.size() - 5] ^= 0x10; }, key_error::kBadData},
      // Public exponent 0 cannot be a key.
      {"exponent 0", [](Bytes& b) { std::fill(b.begin() + 16, b.begin() + 20, 0); },
       key_error::kBadData},
      // The modulus top byte cleared, so it is shorter than bitlen says.
      {"modulus shorter than bitlen", [](Bytes& b) { b[20 + 127] = 0; }, key_error::kBadData},
  };
  auto target = store_->Create("Target", kEnhanced, 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Bytes blob = good;
    c.damage(blob);
    SetLastPlatformError(0);
    EXPECT_FALSE(target->ImportPrivateKeyBlob(blob, 0).has_value());
    EXPECT_EQ(LastPlatformError(), c.error);
  }
  EXPECT_TRUE(target->Keys()->empty());
  EXPECT_EQ(target->ImportPrivateKeyBlob(good, 0x8), std::nullopt) << "unknown flag";
  EXPECT_EQ(LastPlatformError(), key_error::kBadFlags);
  EXPECT_EQ(target->ImportPrivateKeyBlob(good, 0), key_spec::kExchange);
}

TEST_F(KeyContainerTest, ImportsPkcs8KeysMadeByOpenssl) {
  Pkey made(EVP_RSA_gen(1024));
  ASSERT_NE(made, nullptr);
  std::unique_ptr<PKCS8_PRIV_KEY_INFO, decltype(&PKCS8_PRIV_KEY_INFO_free)> info(
      EVP_PKEY2PKCS8(made.get()), &PKCS8_PRIV_KEY_INFO_free);
  unsigned char* raw = nullptr;
  const int size = i2d_PKCS8_PRIV_KEY_INFO(info.get(), &raw);
  ASSERT_GT(size, 0);
  Bytes der(raw, raw + size);
  OPENSSL_free(raw);
  auto container = store_->Create("Imported", kEnhanced, 1);
  ASSERT_TRUE(container->ImportPrivateKeyPkcs8(key_spec::kExchange, der, key_flag::kExportable));
  unsigned char* spki = nullptr;
  const int spki_size = i2d_PUBKEY(made.get(), &spki);
  EXPECT_EQ(*container->ExportPublicKeyInfo(key_spec::kExchange), Bytes(spki, spki + spki_size));
  OPENSSL_free(spki);
  auto back = container->ExportPrivateKeyPkcs8(key_spec::kExchange);
  EXPECT_EQ(EVP_PKEY_eq(PrivateKeyOf(*back).get(), made.get()), 1);

  Pkey ec(EVP_EC_gen("P-256"));
  std::unique_ptr<PKCS8_PRIV_KEY_INFO, decltype(&PKCS8_PRIV_KEY_INFO_free)> ec_info(
      EVP_PKEY2PKCS8(ec.get()), &PKCS8_PRIV_KEY_INFO_free);
  raw = nullptr;
  const int ec_size = i2d_PKCS8_PRIV_KEY_INFO(ec_info.get(), &raw);
  Bytes ec_der(raw, raw + ec_size);
  OPENSSL_free(raw);
  struct Case {
    const char* label;
    Bytes der;
  };
  Bytes trailing = der;
  trailing.push_back(0);
  const Case bad[] = {
      {"an EC key, not RSA", ec_der},
      {"truncated DER", Bytes(der.begin(), der.end() - 1)},
      {"a byte after the DER", trailing},
      {"empty", {}},
  };
  for (const Case& c : bad) {
    SCOPED_TRACE(c.label);
    EXPECT_FALSE(container->ImportPrivateKeyPkcs8(key_spec::kSignature, c.der, 0));
    EXPECT_EQ(LastPlatformError(), key_error::kBadData);
  }
  EXPECT_FALSE(container->DescribeKey(key_spec::kSignature).has_value());
}

TEST_F(KeyContainerTest, SignaturesOfHashValuesVerifyWithOpenssl) {
  auto container = CreateWithKey("Signer", key_spec::kSignature, 1024, 0);
  Pkey key = PublicKeyOf(*container->ExportPublicKeyInfo(key_spec::kSignature));
  const std::string message = "abc";
  struct Case {
    const char* digest;
    uint32_t algorithm;
  };
  const Case cases[] = {{"MD5", key_algorithm::kMd5},
                        {"SHA1", key_algorithm::kSha1},
                        {"SHA256", key_algorithm::kSha256},
                        {"SHA512", key_algorithm::kSha512}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.digest);
    auto signature =
        container->SignHash(key_spec::kSignature, c.algorithm, Digest(c.digest, message));
    ASSERT_TRUE(signature.has_value()) << LastPlatformError();
    EXPECT_EQ(signature->size(), 128u);
    EXPECT_TRUE(VerifiesWithOpenssl(key.get(), c.digest, message, *signature));
    // The bytes are least significant first: read the other way they do not verify.
    Bytes reversed(signature->rbegin(), signature->rend());
    EXPECT_FALSE(VerifiesWithOpenssl(key.get(), c.digest, message, reversed));
    EXPECT_FALSE(VerifiesWithOpenssl(key.get(), c.digest, "abd", *signature));
  }
  // A SHA-1 sized value offered as MD5, and an algorithm that cannot be signed (CALG_MD2 0x8001).
  EXPECT_FALSE(container->SignHash(key_spec::kSignature, key_algorithm::kMd5, Digest("SHA1", "x")));
  EXPECT_EQ(LastPlatformError(), key_error::kBadHash);
  EXPECT_FALSE(container->SignHash(key_spec::kSignature, 0x8001, Digest("MD5", "x")));
  EXPECT_EQ(LastPlatformError(), key_error::kBadAlgorithm);
  EXPECT_FALSE(container->SignHash(key_spec::kExchange, key_algorithm::kSha1, Digest("SHA1", "x")));
  EXPECT_EQ(LastPlatformError(), key_error::kNoKey);
}

TEST_F(KeyContainerTest, DecryptsKeyTransportBlocksMadeByOpenssl) {
  auto container = CreateWithKey("Recipient", key_spec::kExchange, 2048, 0);
  Pkey key = PublicKeyOf(*container->ExportPublicKeyInfo(key_spec::kExchange));
  for (size_t size : {size_t{8}, size_t{24}, size_t{32}}) {
    SCOPED_TRACE(size);
    Bytes secret(size);
    ASSERT_EQ(RAND_bytes(secret.data(), static_cast<int>(size)), 1);
    auto plain = container->Decrypt(key_spec::kExchange, EncryptWithOpenssl(key.get(), secret));
    ASSERT_TRUE(plain.has_value()) << LastPlatformError();
    EXPECT_EQ(Bytes(plain->view().begin(), plain->view().end()), secret);
  }
  Bytes block = EncryptWithOpenssl(key.get(), Bytes(16, 0x5A));
  // One byte short of the modulus length.
  EXPECT_FALSE(container->Decrypt(key_spec::kExchange, Bytes(block.begin() + 1, block.end())));
  EXPECT_EQ(LastPlatformError(), key_error::kBadLength);
#if OPENSSL_VERSION_NUMBER < 0x30200000L
  // Given most significant byte first, the block decrypts to padding garbage. (Newer OpenSSL
  // releases answer such blocks with a synthetic result instead of an error.)
  Bytes wrong_order(block.rbegin(), block.rend());
  EXPECT_FALSE(container->Decrypt(key_spec::kExchange, wrong_order));
  EXPECT_EQ(LastPlatformError(), key_error::kBadData);
#endif
}

TEST_F(KeyContainerTest, UserProtectedKeysAskOncePerPrivateKeyUse) {
  auto container = CreateWithKey("Guarded", key_spec::kExchange, 1024,
                                 key_flag::kUserProtected | key_flag::kExportable);
  Pkey key = PublicKeyOf(*container->ExportPublicKeyInfo(key_spec::kExchange));
  std::vector<KeyUseRequest> asked;
  bool answer = true;
  container->set_key_use_prompt([&](const KeyUseRequest& request) {
    asked.push_back(request);
    return answer;
  });
  const Bytes hash = Digest("SHA1", "x");
  const Bytes block = EncryptWithOpenssl(key.get(), Bytes(16, 1));
  struct Use {
    const char* label;
    KeyUse use;
    std::function<bool()> run;
  };
  const Use uses[] = {
      {"sign", KeyUse::kSign,
       [&] { return container->SignHash(1, key_algorithm::kSha1, hash).has_value(); }},
      {"decrypt", KeyUse::kDecrypt, [&] { return container->Decrypt(1, block).has_value(); }},
      {"export blob", KeyUse::kExport,
       [&] { return container->ExportPrivateKeyBlob(1).has_value(); }},
      {"export PKCS #8", KeyUse::kExport,
       [&] { return container->ExportPrivateKeyPkcs8(1).has_value(); }},
  };
  for (bool allow : {true, false}) {
    for (const Use& use : uses) {
      SCOPED_TRACE(std::string(use.label) + (allow ? " allowed" : " refused"));
      answer = allow;
      asked.clear();
      SetLastPlatformError(0);
      EXPECT_EQ(use.run(), allow);
      ASSERT_EQ(asked.size(), 1u);
      EXPECT_EQ(asked[0].container, "Guarded");
      EXPECT_EQ(asked[0].provider, kEnhanced);
      EXPECT_EQ(asked[0].key_spec, 1u);
      EXPECT_EQ(asked[0].use, use.use);
      if (!allow) {
        EXPECT_EQ(LastPlatformError(), key_error::kCancelled);
      }
    }
  }
  // Public-key work never asks.
  asked.clear();
  EXPECT_TRUE(container->ExportPublicKeyBlob(1).has_value());
  EXPECT_TRUE(container->DescribeKey(1).has_value());
  EXPECT_TRUE(asked.empty());
}

TEST_F(KeyContainerTest, WithoutAPromptUserProtectedKeysAreRefused) {
  auto protected_key =
      CreateWithKey("NoPrompt", key_spec::kSignature, 1024, key_flag::kUserProtected);
  auto plain_key = CreateWithKey("Plain", key_spec::kSignature, 1024, 0);
  const Bytes hash = Digest("MD5", "x");
  EXPECT_FALSE(protected_key->SignHash(2, key_algorithm::kMd5, hash).has_value());
  EXPECT_EQ(LastPlatformError(), key_error::kCancelled);
  int default_asked = 0;
  SetDefaultKeyUsePrompt([&](const KeyUseRequest&) { return ++default_asked, true; });
  EXPECT_TRUE(protected_key->SignHash(2, key_algorithm::kMd5, hash).has_value());
  EXPECT_TRUE(plain_key->SignHash(2, key_algorithm::kMd5, hash).has_value());
  EXPECT_EQ(default_asked, 1) << "only the protected key asks";
  // A handle's own prompt takes precedence over the default.
  protected_key->set_key_use_prompt([](const KeyUseRequest&) { return false; });
  EXPECT_FALSE(protected_key->SignHash(2, key_algorithm::kMd5, hash).has_value());
  EXPECT_EQ(default_asked, 1);
}

TEST_F(KeyContainerTest, CertificatesAreStoredOnKeys) {
  auto container = CreateWithKey("WithCert", key_spec::kExchange, 1024, 0);
  const Bytes certificate = {0x30, 0x03, 0x02, 0x01, 0x05};
  EXPECT_FALSE(container->Certificate(key_spec::kExchange).has_value());
  EXPECT_EQ(LastPlatformError(), key_error::kNotFound);
  EXPECT_FALSE(container->SetCertificate(key_spec::kSignature, certificate));
  EXPECT_EQ(LastPlatformError(), key_error::kNoKey);
  ASSERT_TRUE(container->SetCertificate(key_spec::kExchange, certificate));
  auto reopened = OpenStore()->Open("withcert", kEnhanced, 1);
  EXPECT_EQ(*reopened->Certificate(key_spec::kExchange), certificate);
  ASSERT_TRUE(reopened->SetCertificate(key_spec::kExchange, {}));
  EXPECT_FALSE(container->Certificate(key_spec::kExchange).has_value());
}

TEST_F(KeyContainerTest, KeysSurviveReopeningTheProfile) {
  Bytes spki;
  {
    auto container = CreateWithKey("Lasting", key_spec::kSignature, 1024, key_flag::kExportable);
    spki = *container->ExportPublicKeyInfo(key_spec::kSignature);
  }
  store_.reset();
  auto store = OpenStore();
  auto container = store->Open("LASTING", kEnhanced, 1);
  ASSERT_NE(container, nullptr);
  EXPECT_EQ(container->name(), "LASTING");
  EXPECT_EQ(*container->ExportPublicKeyInfo(key_spec::kSignature), spki);
  const auto keys = *container->Keys();
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0].spec, key_spec::kSignature);
  EXPECT_EQ(keys[0].bits, 1024u);
  EXPECT_EQ(keys[0].flags, key_flag::kExportable);
  Pkey key = PublicKeyOf(spki);
  EXPECT_TRUE(VerifiesWithOpenssl(
      key.get(), "SHA1", "m",
      *container->SignHash(key_spec::kSignature, key_algorithm::kSha1, Digest("SHA1", "m"))));
}

TEST_F(KeyContainerTest, VolatileContainersStayOutOfTheProfileUntilPersisted) {
  const ProviderInfo& provider = *FindProvider(kEnhanced);
  auto owner = KeyContainer::CreateVolatile("PfxKey-1", provider);
  ASSERT_NE(owner, nullptr);
  EXPECT_TRUE(owner->is_volatile());
  ASSERT_TRUE(owner->GenerateKey(key_spec::kExchange, 1024, key_flag::kExportable));
  ASSERT_TRUE(owner->SetCertificate(key_spec::kExchange, Bytes{0x30, 0x00}));
  EXPECT_EQ(KeyContainer::CreateVolatile("pfxkey-1", provider), nullptr);
  EXPECT_EQ(LastPlatformError(), key_error::kExists);

  // Found by name in this process, but the profile knows nothing of it.
  auto by_name = store_->Open("PFXKEY-1", kEnhanced, 1);
  ASSERT_NE(by_name, nullptr);
  EXPECT_TRUE(by_name->is_volatile());
  EXPECT_TRUE(store_->Names()->empty());
  EXPECT_FALSE(store_->Delete("PfxKey-1", kEnhanced, 1));
  EXPECT_EQ(LastPlatformError(), key_error::kBadKeyset);

  const Bytes hash = Digest("SHA1", "persist");
  const Bytes signature = *owner->SignHash(key_spec::kExchange, key_algorithm::kSha1, hash);
  ASSERT_TRUE(store_->Persist(*owner));
  EXPECT_EQ(*store_->Names(), std::vector<std::string>{"PfxKey-1"});
  const auto listing = store_->List();
  ASSERT_EQ(listing->size(), 1u);
  EXPECT_EQ(listing->front().provider, kEnhanced) << "the provider is recorded";
  EXPECT_FALSE(store_->Persist(*owner));
  EXPECT_EQ(LastPlatformError(), key_error::kExists);
  auto profile_container = store_->Open("Other", kEnhanced, 1);
  EXPECT_EQ(profile_container, nullptr);
  auto created = store_->Create("Other", kEnhanced, 1);
  EXPECT_FALSE(store_->Persist(*created)) << "only volatile containers are persisted";
  EXPECT_EQ(LastPlatformError(), platform_error::kInvalidParameter);

  // Releasing the owner forgets the volatile container; the profile copy remains with the same
  // key (PKCS #1 v1.5 signatures are deterministic), its flags and its certificate.
  owner.reset();
  EXPECT_TRUE(by_name->DescribeKey(key_spec::kExchange).has_value()) << "held handles keep keys";
  by_name.reset();
  auto persisted = store_->Open("PfxKey-1", kEnhanced, 1);
  ASSERT_NE(persisted, nullptr);
  EXPECT_FALSE(persisted->is_volatile());
  EXPECT_EQ(*persisted->SignHash(key_spec::kExchange, key_algorithm::kSha1, hash), signature);
  EXPECT_EQ(persisted->DescribeKey(key_spec::kExchange)->flags, key_flag::kExportable);
  EXPECT_EQ(*persisted->Certificate(key_spec::kExchange), (Bytes{0x30, 0x00}));

  // A volatile container never persisted is gone once released.
  auto transient = KeyContainer::CreateVolatile("PfxKey-2", provider);
  ASSERT_TRUE(transient->GenerateKey(key_spec::kSignature, 1024, 0));
  transient.reset();
  EXPECT_EQ(store_->Open("PfxKey-2", kEnhanced, 1), nullptr);
  EXPECT_EQ(LastPlatformError(), key_error::kBadKeyset);
  EXPECT_NE(KeyContainer::CreateVolatile("PfxKey-2", provider), nullptr) << "the name is free";
}

TEST_F(KeyContainerTest, A4096BitKeyWorksEndToEnd) {
  // The only 4096-bit key of the suite: generation at this size is slow.
  auto container = CreateWithKey("Big", key_spec::kExchange, 4096, key_flag::kExportable);
  EXPECT_EQ(container->DescribeKey(key_spec::kExchange)->bits, 4096u);
  EXPECT_EQ(container->ExportPublicKeyBlob(key_spec::kExchange)->size(), 20u + 512u);
  EXPECT_EQ(container->ExportPrivateKeyBlob(key_spec::kExchange)->size(),
            20u + 2 * 512u + 5 * 256u);
  Pkey key = PublicKeyOf(*container->ExportPublicKeyInfo(key_spec::kExchange));
  EXPECT_TRUE(VerifiesWithOpenssl(
      key.get(), "SHA1", "big",
      *container->SignHash(key_spec::kExchange, key_algorithm::kSha1, Digest("SHA1", "big"))));
}

TEST_F(KeyContainerTest, ConcurrentCreatorsOfOneNameGetOneWinner) {
  constexpr int kProcesses = 4;
  constexpr int kOwnNames = 10;
  std::vector<pid_t> children;
  for (int i = 0; i < kProcesses; ++i) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // Child: its own connection, like a separate process of the user. Exit codes: 0 won the
      // shared name, 1 lost it with NTE_EXISTS, 2 anything else.
      auto store = OpenStore();
      int code = 2;
      if (store != nullptr) {
        for (int n = 0; n < kOwnNames; ++n) {
          const std::string name = "Own-" + std::to_string(i) + "-" + std::to_string(n);
          if (store->Create(name, kEnhanced, 1) == nullptr) _exit(2);
        }
        if (store->Create("Contested", kEnhanced, 1) != nullptr) {
          code = 0;
        } else if (LastPlatformError() == key_error::kExists) {
          code = 1;
        }
      }
      _exit(code);
    }
    children.push_back(pid);
  }
  int winners = 0;
  int losers = 0;
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 0) ++winners;
    if (WEXITSTATUS(status) == 1) ++losers;
  }
  EXPECT_EQ(winners, 1);
  EXPECT_EQ(losers, kProcesses - 1);
  EXPECT_EQ(OpenStore()->Names()->size(), static_cast<size_t>(kProcesses * kOwnNames + 1));
}

}  // namespace
}  // namespace kelvadrome
