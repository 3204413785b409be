// Tests of DES / triple DES: the NIST known-answer and multi-block files through the block
// functions in both directions (ECB, and CBC with the files' IVs), then DesCipher (CBC, zero IV,
// PKCS #5 padding) against libcrypto and its own contract.
#include "codec/des.h"

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include "codec/des_core.h"
#include "support/nist_vectors.h"
#include "support/test_support.h"

namespace kelvadrome {
namespace {

using testing::BytesToHex;
using testing::HexToBytes;
using testing::NistRecord;
using testing::ReadNistFile;
using testing::TestDataPath;

std::vector<uint8_t> Hex(const std::string& text) {
  auto bytes = HexToBytes(text);
  EXPECT_TRUE(bytes.has_value()) << "bad hex: " << text;
  return bytes.value_or(std::vector<uint8_t>{});
}

std::vector<uint8_t> RandomBytes(std::mt19937& rng, size_t n) {
  std::vector<uint8_t> bytes(n);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

std::string ContentHex(const ByteBuffer& buffer) {
  return BytesToHex(buffer.data(), static_cast<size_t>(buffer.length()));
}

// The three schedules of a NIST TDES record: KEYs means all three keys are the same (single
// DES), otherwise KEY1, KEY2, KEY3.
struct RecordKeys {
  DesKeySchedule k1, k2, k3;
  explicit RecordKeys(const NistRecord& record) {
    const std::string* same = record.Find("KEYs");
    const std::vector<uint8_t> key1 = Hex(same ? *same : record.Get("KEY1"));
    const std::vector<uint8_t> key2 = Hex(same ? *same : record.Get("KEY2"));
    const std::vector<uint8_t> key3 = Hex(same ? *same : record.Get("KEY3"));
    if (key1.size() != 8 || key2.size() != 8 || key3.size() != 8) {
      ADD_FAILURE() << "keys must be 8 bytes";
      return;
    }
    k1.Set(key1.data());
    k2.Set(key2.data());
    k3.Set(key3.data());
  }
};

// ECB over whole blocks, or CBC when |iv| is given.
std::vector<uint8_t> Transform(const RecordKeys& keys, const std::vector<uint8_t>& input,
                               bool encrypt, const std::vector<uint8_t>* iv) {
  std::vector<uint8_t> output(input.size());
  uint64_t chain = iv ? LoadDesBlock(iv->data()) : 0;
  for (size_t i = 0; i + 8 <= input.size(); i += 8) {
    const uint64_t block = LoadDesBlock(&input[i]);
    uint64_t result;
    if (encrypt) {
      result = TripleDesEncrypt(keys.k1, keys.k2, keys.k3, block ^ chain);
      if (iv) chain = result;
    } else {
      result = TripleDesDecrypt(keys.k1, keys.k2, keys.k3, block) ^ chain;
      if (iv) chain = block;
    }
    StoreDesBlock(result, &output[i]);
  }
  return output;
}

struct VectorFile {
  const char* file;
  size_t records;  // encrypt + decrypt records as published
};

// Every record is run both ways: the section's direction and its inverse.
void RunVectorFiles(const VectorFile* files, size_t count, bool cbc) {
  for (size_t f = 0; f < count; ++f) {
    SCOPED_TRACE(files[f].file);
    std::vector<NistRecord> records;
    std::string error;
    ASSERT_TRUE(ReadNistFile(TestDataPath(files[f].file), &records, &error)) << error;
    ASSERT_EQ(records.size(), files[f].records);
    for (const NistRecord& record : records) {
      SCOPED_TRACE(record.section + " record at line " + std::to_string(record.line));
      ASSERT_TRUE(record.section == "ENCRYPT" || record.section == "DECRYPT");
      const RecordKeys keys(record);
      const std::vector<uint8_t> plaintext = Hex(record.Get("PLAINTEXT"));
      const std::vector<uint8_t> ciphertext = Hex(record.Get("CIPHERTEXT"));
      ASSERT_EQ(plaintext.size(), ciphertext.size());
      ASSERT_EQ(plaintext.size() % 8, 0u);
      std::vector<uint8_t> iv;
      if (cbc) {
        iv = Hex(record.Get("IV"));
        ASSERT_EQ(iv.size(), 8u);
      }
      const std::vector<uint8_t>* iv_or_null = cbc ? &iv : nullptr;
      EXPECT_EQ(BytesToHex(Transform(keys, plaintext, true, iv_or_null).data(), plaintext.size()),
                record.Get("CIPHERTEXT"));
      EXPECT_EQ(BytesToHex(Transform(keys, ciphertext, false, iv_or_null).data(), plaintext.size()),
                record.Get("PLAINTEXT"));
    }
  }
}

TEST(DesCoreTest, NistEcbFilesBothDirections) {
  const VectorFile kFiles[] = {
      {"vectors/des/TECBvarkey.rsp", 112},  {"vectors/des/TECBvartext.rsp", 128},
      {"vectors/des/TECBinvperm.rsp", 128}, {"vectors/des/TECBpermop.rsp", 64},
      {"vectors/des/TECBsubtab.rsp", 38},   {"vectors/des/TECBMMT1.rsp", 20},
      {"vectors/des/TECBMMT2.rsp", 20},     {"vectors/des/TECBMMT3.rsp", 20},
  };
  RunVectorFiles(kFiles, std::size(kFiles), false);
}

TEST(DesCoreTest, NistCbcFilesBothDirections) {
  const VectorFile kFiles[] = {
      {"vectors/des/TCBCvarkey.rsp", 112},  {"vectors/des/TCBCvartext.rsp", 128},
      {"vectors/des/TCBCinvperm.rsp", 128}, {"vectors/des/TCBCpermop.rsp", 64},
      {"vectors/des/TCBCsubtab.rsp", 38},   {"vectors/des/TCBCMMT1.rsp", 20},
      {"vectors/des/TCBCMMT2.rsp", 20},     {"vectors/des/TCBCMMT3.rsp", 20},
  };
  RunVectorFiles(kFiles, std::size(kFiles), true);
}

// --- DesCipher against libcrypto -----------------------------------------------------------------

// libcrypto's CBC with PKCS #5 padding and a zero IV. Single DES lives in the legacy provider;
// when that cannot be loaded, three equal keys give single DES through the default provider.
std::vector<uint8_t> ReferenceEncrypt(uint32_t algorithm, const std::vector<uint8_t>& key,
                                      const std::vector<uint8_t>& plaintext) {
  static OSSL_PROVIDER* const legacy = OSSL_PROVIDER_load(nullptr, "legacy");
  static OSSL_PROVIDER* const fallback = OSSL_PROVIDER_load(nullptr, "default");
  (void)fallback;
  std::vector<uint8_t> key_bytes = key;
  const char* name = algorithm == kCalg3Des ? "DES-EDE3-CBC" : "DES-EDE-CBC";
  if (algorithm == kCalgDes) {
    key_bytes.resize(8);
    if (legacy != nullptr) {
      name = "DES-CBC";
    } else {
      name = "DES-EDE3-CBC";
      for (int i = 0; i < 2; ++i) key_bytes.insert(key_bytes.end(), key.begin(), key.begin() + 8);
    }
  }
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, name, nullptr);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  const uint8_t iv[8] = {};
  std::vector<uint8_t> out(plaintext.size() + 16);
  int length = 0;
  int final_length = 0;
  const bool ok = cipher != nullptr && ctx != nullptr &&
                  EVP_EncryptInit_ex2(ctx, cipher, key_bytes.data(), iv, nullptr) == 1 &&
                  EVP_EncryptUpdate(ctx, out.data(), &length, plaintext.data(),
                                    static_cast<int>(plaintext.size())) == 1 &&
                  EVP_EncryptFinal_ex(ctx, out.data() + length, &final_length) == 1;
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
  if (!ok) {
    ADD_FAILURE() << "libcrypto " << name << " failed";
    return {};
  }
  out.resize(static_cast<size_t>(length + final_length));
  return out;
}

struct AlgorithmCase {
  uint32_t algorithm;
  const char* name;
  size_t key_bytes;
};

constexpr AlgorithmCase kAlgorithmCases[] = {
    {kCalgDes, "DES", 8},
    {kCalg3Des112, "3DES-112", 16},
    {kCalg3Des, "3DES", 24},
};

TEST(DesCipherTest, MatchesLibcryptoForLengths0To100) {
  std::mt19937 rng(11);
  for (const AlgorithmCase& c : kAlgorithmCases) {
    for (int key_round = 0; key_round < 4; ++key_round) {
      const std::vector<uint8_t> key = RandomBytes(rng, c.key_bytes);
      DesCipher cipher;
      cipher.SetAlgorithm(c.algorithm);
      cipher.SetKey(key.data(), static_cast<int32_t>(key.size()));
      for (int32_t n = 0; n <= 100; ++n) {
        SCOPED_TRACE(std::string(c.name) + " key " + BytesToHex(key.data(), key.size()) +
                     " length " + std::to_string(n));
        std::vector<uint8_t> plaintext = RandomBytes(rng, static_cast<size_t>(n));
        plaintext.reserve(1);  // keep data() non-null for n == 0
        if (n == 0) {
          // An empty input is refused: false and no output.
          EXPECT_FALSE(cipher.EncryptAll(plaintext.data(), 0));
          EXPECT_TRUE(cipher.empty());
          continue;
        }
        ASSERT_TRUE(cipher.EncryptAll(plaintext.data(), n));
        EXPECT_EQ(cipher.length(), 8 * (n / 8 + 1));
        const std::vector<uint8_t> expected = ReferenceEncrypt(c.algorithm, key, plaintext);
        EXPECT_EQ(ContentHex(cipher), BytesToHex(expected.data(), expected.size()));
      }
    }
  }
}

// --- DesCipher's contract ---------------------------------------------------------------------

std::string EncryptHex(uint32_t algorithm, const std::vector<uint8_t>& key,
                       const std::vector<uint8_t>& plaintext) {
  DesCipher cipher;
  cipher.SetAlgorithm(algorithm);
  cipher.SetKey(key.data(), static_cast<int32_t>(key.size()));
  EXPECT_TRUE(cipher.EncryptAll(plaintext.data(), static_cast<int32_t>(plaintext.size())));
  return ContentHex(cipher);
}

TEST(DesCipherTest, InitialState) {
  DesCipher cipher;
  EXPECT_EQ(cipher.mode(), 1);
  EXPECT_EQ(cipher.algorithm(), kCalgDes);
  EXPECT_TRUE(cipher.empty());
  const uint8_t block[8] = {};
  EXPECT_FALSE(cipher.EncryptAll(block, 8)) << "no key has been set";
  EXPECT_TRUE(cipher.empty());
}

TEST(DesCipherTest, AlgorithmSelection) {
  std::mt19937 rng(12);
  const std::vector<uint8_t> key = RandomBytes(rng, 24);
  const std::vector<uint8_t> plaintext = RandomBytes(rng, 29);
  const std::string single_des = EncryptHex(kCalgDes, key, plaintext);
  struct Case {
    uint32_t requested;
    uint32_t kept;
  };
  const Case kCases[] = {
      {kCalgDes, kCalgDes},    {kCalg3Des, kCalg3Des}, {kCalg3Des112, kCalg3Des112},
      {0, kCalgDes},           {0x6602, kCalgDes},  // a neighbouring cipher identifier
      {0x6604, kCalgDes},      {0x660E, kCalgDes},  // an AES identifier
      {0x8004, kCalgDes},                           // a hash identifier
      {0xFFFFFFFFu, kCalgDes},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE("requested " + std::to_string(c.requested));
    DesCipher cipher;
    cipher.SetAlgorithm(kCalg3Des);  // any earlier choice is replaced
    cipher.SetAlgorithm(c.requested);
    EXPECT_EQ(cipher.algorithm(), c.kept);
    if (c.kept == kCalgDes) {
      EXPECT_EQ(EncryptHex(c.requested, key, plaintext), single_des);
    }
  }
}

// How the key bytes are used: exactly as many as the algorithm needs, parity bits ignored, and
// 3DES-112 is 3DES with the first key again in the third stage.
TEST(DesCipherTest, KeyUse) {
  std::mt19937 rng(13);
  const std::vector<uint8_t> plaintext = RandomBytes(rng, 40);
  const std::vector<uint8_t> k1 = RandomBytes(rng, 8);
  const std::vector<uint8_t> k2 = RandomBytes(rng, 8);
  const std::vector<uint8_t> k3 = RandomBytes(rng, 8);
  auto join = [](std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
  };
  auto flip_parity = [](std::vector<uint8_t> key) {
    for (auto& b : key) b ^= 1;
    return key;
  };

  const std::string two_key = EncryptHex(kCalg3Des112, join({k1, k2}), plaintext);
  EXPECT_EQ(two_key, EncryptHex(kCalg3Des, join({k1, k2, k1}), plaintext));
  EXPECT_EQ(two_key, EncryptHex(kCalg3Des112, join({k1, k2, k3}), plaintext))
      << "bytes after the 16th are ignored";
  EXPECT_NE(two_key, EncryptHex(kCalg3Des, join({k1, k2, k3}), plaintext));

  const std::string single = EncryptHex(kCalgDes, k1, plaintext);
  EXPECT_EQ(single, EncryptHex(kCalgDes, join({k1, k2, k3}), plaintext));
  EXPECT_EQ(single, EncryptHex(kCalg3Des, join({k1, k1, k1}), plaintext))
      << "EDE with three equal keys is single DES";
  EXPECT_EQ(single, EncryptHex(kCalgDes, flip_parity(k1), plaintext));
  EXPECT_EQ(EncryptHex(kCalg3Des, join({k1, k2, k3}), plaintext),
            EncryptHex(kCalg3Des, flip_parity(join({k1, k2, k3})), plaintext));
}

TEST(DesCipherTest, RepeatedCallsAndKeyCopy) {
  std::mt19937 rng(14);
  std::vector<uint8_t> key = RandomBytes(rng, 24);
  const std::vector<uint8_t> plaintext = RandomBytes(rng, 33);
  const std::string expected = EncryptHex(kCalg3Des, key, plaintext);

  DesCipher cipher;
  cipher.SetAlgorithm(kCalg3Des);
  cipher.SetKey(key.data(), static_cast<int32_t>(key.size()));
  std::fill(key.begin(), key.end(), 0);  // the cipher holds its own copy
  ASSERT_TRUE(cipher.EncryptAll(plaintext.data(), 33));
  EXPECT_EQ(ContentHex(cipher), expected);
  // Each call starts again from the zero IV and replaces the output.
  ASSERT_TRUE(cipher.EncryptAll(plaintext.data(), 33));
  EXPECT_EQ(ContentHex(cipher), expected);
  // The mode is not consulted: the cipher stays in CBC.
  cipher.SetMode(2);
  EXPECT_EQ(cipher.mode(), 2);
  ASSERT_TRUE(cipher.EncryptAll(plaintext.data(), 33));
  EXPECT_EQ(ContentHex(cipher), expected);
  // A new key replaces the old one.
  const std::vector<uint8_t> other_key = RandomBytes(rng, 24);
  cipher.SetKey(other_key.data(), 24);
  ASSERT_TRUE(cipher.EncryptAll(plaintext.data(), 33));
  EXPECT_EQ(ContentHex(cipher), EncryptHex(kCalg3Des, other_key, plaintext));
}

// Every failure returns false and leaves the output empty, even after an earlier success.
TEST(DesCipherTest, FailuresLeaveEmptyOutput) {
  std::mt19937 rng(15);
  const std::vector<uint8_t> key = RandomBytes(rng, 24);
  const std::vector<uint8_t> plaintext = RandomBytes(rng, 16);
  struct Case {
    const char* name;
    uint32_t algorithm;
    const uint8_t* key;
    int32_t key_length;
    const uint8_t* input;
    int32_t input_length;
  };
  const Case kCases[] = {
      // The input is missing although a length is given.
      {"null input", kCalgDes, key.data(), 8, nullptr, 16},
      // Nothing to encrypt.
      {"zero length", kCalgDes, key.data(), 8, plaintext.data(), 0},
      // A negative length.
      {"negative length", kCalgDes, key.data(), 8, plaintext.data(), -8},
      // SetKey with a null pointer clears the key.
      {"null key", kCalgDes, nullptr, 8, plaintext.data(), 16},
      // SetKey with a zero or negative length clears the key.
      {"zero-length key", kCalgDes, key.data(), 0, plaintext.data(), 16},
      {"negative key length", kCalg3Des, key.data(), -24, plaintext.data(), 16},
      // Keys one byte shorter than each algorithm reads.
      {"DES with 7 key bytes", kCalgDes, key.data(), 7, plaintext.data(), 16},
      {"3DES-112 with 15 key bytes", kCalg3Des112, key.data(), 15, plaintext.data(), 16},
      {"3DES with 23 key bytes", kCalg3Des, key.data(), 23, plaintext.data(), 16},
      // A two-key length is not enough for three-key triple DES.
      {"3DES with 16 key bytes", kCalg3Des, key.data(), 16, plaintext.data(), 16},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    DesCipher cipher;
    cipher.SetAlgorithm(c.algorithm);
    cipher.SetKey(key.data(), 24);
    ASSERT_TRUE(cipher.EncryptAll(plaintext.data(), 16));
    ASSERT_EQ(cipher.length(), 24);
    cipher.SetKey(c.key, c.key_length);
    EXPECT_FALSE(cipher.EncryptAll(c.input, c.input_length));
    EXPECT_TRUE(cipher.empty());
    EXPECT_EQ(cipher.data(), nullptr);
  }
}

}  // namespace
}  // namespace kelvadrome
