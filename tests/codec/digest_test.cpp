// Tests of the component's digests: the NIST and RFC 1321 known answers, the NIST Monte Carlo
// chains, and differential runs against libcrypto (every short length, large messages, streamed
// input with random split points). Everything runs with both engines, so the accelerated block
// functions (where this CPU has them) and the portable ones are both checked.
#include "codec/digest.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "support/nist_vectors.h"
#include "support/test_support.h"

namespace kelvadrome {
namespace {

using testing::BytesToHex;
using testing::HexToBytes;
using testing::NistRecord;
using testing::ReadNistFile;
using testing::TestDataPath;

constexpr DigestEngine kEngines[] = {DigestEngine::kAuto, DigestEngine::kPortable};

const char* EngineName(DigestEngine engine) {
  return engine == DigestEngine::kAuto ? "auto" : "portable";
}

// Selects an engine for the life of the object; the default (auto) is restored after.
class ScopedEngine {
 public:
  explicit ScopedEngine(DigestEngine engine) { SetDigestEngine(engine); }
  ~ScopedEngine() { SetDigestEngine(DigestEngine::kAuto); }
  ScopedEngine(const ScopedEngine&) = delete;
  ScopedEngine& operator=(const ScopedEngine&) = delete;
};

struct AlgorithmInfo {
  DigestAlgorithm algorithm;
  const char* name;
  size_t digest_size;
  const EVP_MD* (*reference)();
};

constexpr AlgorithmInfo kAlgorithms[] = {
    {DigestAlgorithm::kMd5, "MD5", 16, &EVP_md5},
    {DigestAlgorithm::kSha1, "SHA-1", 20, &EVP_sha1},
    {DigestAlgorithm::kSha256, "SHA-256", 32, &EVP_sha256},
    {DigestAlgorithm::kSha512, "SHA-512", 64, &EVP_sha512},
};

std::string OurDigestHex(const MessageDigest& digest) {
  return BytesToHex(digest.data(), static_cast<size_t>(digest.length()));
}

std::string ReferenceHex(const AlgorithmInfo& info, const uint8_t* bytes, size_t n) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int out_length = 0;
  if (EVP_Digest(bytes, n, out, &out_length, info.reference(), nullptr) != 1) {
    ADD_FAILURE() << "EVP_Digest failed";
    return {};
  }
  return BytesToHex(out, out_length);
}

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> bytes(n);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

std::vector<NistRecord> LoadVectors(const std::string& relative) {
  std::vector<NistRecord> records;
  std::string error;
  EXPECT_TRUE(ReadNistFile(TestDataPath(relative), &records, &error)) << error;
  return records;
}

// --- Known answers ----------------------------------------------------------------------------

struct MessageFile {
  const char* file;
  DigestAlgorithm algorithm;
  size_t records;  // as published; a reader that drops records fails here
};

TEST(DigestTest, KnownAnswerFilesWithBothEngines) {
  const MessageFile kFiles[] = {
      {"vectors/hashes/MD5-RFC1321.txt", DigestAlgorithm::kMd5, 7},
      {"vectors/hashes/SHA1ShortMsg.rsp", DigestAlgorithm::kSha1, 65},
      {"vectors/hashes/SHA1LongMsg.rsp", DigestAlgorithm::kSha1, 64},
      {"vectors/hashes/SHA256ShortMsg.rsp", DigestAlgorithm::kSha256, 65},
      {"vectors/hashes/SHA256LongMsg.rsp", DigestAlgorithm::kSha256, 64},
      {"vectors/hashes/SHA512ShortMsg.rsp", DigestAlgorithm::kSha512, 129},
      {"vectors/hashes/SHA512LongMsg.rsp", DigestAlgorithm::kSha512, 128},
  };
  for (const MessageFile& file : kFiles) {
    const std::vector<NistRecord> records = LoadVectors(file.file);
    ASSERT_EQ(records.size(), file.records) << file.file;
    for (DigestEngine engine : kEngines) {
      SCOPED_TRACE(std::string(file.file) + " engine " + EngineName(engine));
      ScopedEngine scoped(engine);
      auto digest = MakeDigest(file.algorithm);
      for (const NistRecord& record : records) {
        SCOPED_TRACE("line " + std::to_string(record.line));
        const size_t bits = std::stoul(record.Get("Len"));
        ASSERT_EQ(bits % 8, 0u) << "only byte-oriented messages are expected";
        auto message = HexToBytes(record.Get("Msg"));
        ASSERT_TRUE(message.has_value());
        if (bits == 0) message->clear();  // "Msg = 00" stands for the empty message
        ASSERT_EQ(message->size(), bits / 8);
        if (!record.section.empty()) {
          EXPECT_EQ(record.section, "L = " + std::to_string(digest->DigestSize()));
        }
        EXPECT_TRUE(digest->Compute(message->data(), static_cast<int32_t>(message->size())));
        EXPECT_EQ(OurDigestHex(*digest), record.Get("MD"));
      }
    }
  }
}

// The Monte Carlo chain: each checkpoint is 1000 digests on, each of the concatenation of the
// three previous digests, and seeds the next checkpoint.
TEST(DigestTest, MonteCarloFilesWithBothEngines) {
  const MessageFile kFiles[] = {
      {"vectors/hashes/SHA1Monte.rsp", DigestAlgorithm::kSha1, 101},
      {"vectors/hashes/SHA256Monte.rsp", DigestAlgorithm::kSha256, 101},
      {"vectors/hashes/SHA512Monte.rsp", DigestAlgorithm::kSha512, 101},
  };
  for (const MessageFile& file : kFiles) {
    const std::vector<NistRecord> records = LoadVectors(file.file);
    ASSERT_EQ(records.size(), file.records) << file.file;  // the seed, then 100 checkpoints
    for (DigestEngine engine : kEngines) {
      SCOPED_TRACE(std::string(file.file) + " engine " + EngineName(engine));
      ScopedEngine scoped(engine);
      auto digest = MakeDigest(file.algorithm);
      const size_t size = digest->DigestSize();
      auto seed = HexToBytes(records[0].Get("Seed"));
      ASSERT_TRUE(seed.has_value());
      ASSERT_EQ(seed->size(), size);
      std::vector<uint8_t> window(3 * size);  // MD[i-3] || MD[i-2] || MD[i-1]
      for (size_t count = 1; count < records.size(); ++count) {
        SCOPED_TRACE("COUNT " + records[count].Get("COUNT"));
        for (size_t k = 0; k < 3; ++k) std::copy(seed->begin(), seed->end(), &window[k * size]);
        for (int i = 3; i <= 1002; ++i) {
          digest->Compute(window.data(), static_cast<int32_t>(window.size()));
          std::copy(window.begin() + size, window.end(), window.begin());
          std::copy(digest->data(), digest->data() + size, window.end() - size);
        }
        ASSERT_EQ(OurDigestHex(*digest), records[count].Get("MD"));
        seed->assign(digest->data(), digest->data() + size);
      }
    }
  }
}

// --- Differential runs against libcrypto ------------------------------------------------------

// Every length from 0 to 3000 bytes crosses each padding boundary (55/56/63/64 and
// 111/112/127/128) many times; the start offset varies so that unaligned input is covered too.
TEST(DigestTest, EveryShortLengthMatchesLibcrypto) {
  constexpr size_t kMaxLength = 3000;
  const std::vector<uint8_t> buffer = RandomBytes(kMaxLength + 8, 1);
  for (const AlgorithmInfo& info : kAlgorithms) {
    for (DigestEngine engine : kEngines) {
      SCOPED_TRACE(std::string(info.name) + " engine " + EngineName(engine));
      ScopedEngine scoped(engine);
      auto digest = MakeDigest(info.algorithm);
      int failures = 0;
      for (size_t n = 0; n <= kMaxLength && failures < 5; ++n) {
        const uint8_t* message = buffer.data() + n % 8;
        digest->Compute(message, static_cast<int32_t>(n));
        ASSERT_EQ(static_cast<size_t>(digest->length()), info.digest_size);
        if (OurDigestHex(*digest) != ReferenceHex(info, message, n)) {
          ADD_FAILURE() << "digest differs for length " << n;
          ++failures;
        }
      }
    }
  }
}

TEST(DigestTest, LargeMessagesMatchLibcrypto) {
  const size_t kLengths[] = {4u << 20, (5u << 20) + 13};
  const std::vector<uint8_t> buffer = RandomBytes(kLengths[1], 2);
  for (const AlgorithmInfo& info : kAlgorithms) {
    for (size_t n : kLengths) {
      const std::string expected = ReferenceHex(info, buffer.data(), n);
      for (DigestEngine engine : kEngines) {
        SCOPED_TRACE(std::string(info.name) + " length " + std::to_string(n) + " engine " +
                     EngineName(engine));
        ScopedEngine scoped(engine);
        auto digest = MakeDigest(info.algorithm);
        digest->Compute(buffer.data(), static_cast<int32_t>(n));
        EXPECT_EQ(OurDigestHex(*digest), expected);
      }
    }
  }
}

// Update chunking must not change the result: random messages fed in random pieces, including
// empty pieces, pieces smaller than a block and pieces spanning several blocks.
TEST(DigestTest, StreamingWithRandomSplitsMatchesLibcrypto) {
  std::mt19937 rng(3);
  for (const AlgorithmInfo& info : kAlgorithms) {
    for (DigestEngine engine : kEngines) {
      SCOPED_TRACE(std::string(info.name) + " engine " + EngineName(engine));
      ScopedEngine scoped(engine);
      auto digest = MakeDigest(info.algorithm);
      for (int trial = 0; trial < 60; ++trial) {
        const size_t length = rng() % 20000;
        const std::vector<uint8_t> message = RandomBytes(length, rng());
        const size_t max_piece = trial % 3 == 0 ? 7 : trial % 3 == 1 ? 300 : 5000;
        digest->Begin();
        size_t offset = 0;
        while (offset < length) {
          const size_t piece = std::min<size_t>(rng() % (max_piece + 1), length - offset);
          digest->Update(message.data() + offset, piece);
          offset += piece;
        }
        digest->Update(nullptr, 0);
        digest->Finish();
        ASSERT_EQ(OurDigestHex(*digest), ReferenceHex(info, message.data(), length))
            << "trial " << trial << ", length " << length;
      }
    }
  }
}

// --- Every SHA-512 block function this CPU can run -----------------------------------------------

// Sha512Digest runs one accelerated block function on a given CPU (AVX-512 where present, else
// AVX2); this runs each of them against the portable one through the same buffering. The vector
// functions work on pairs of blocks and compute the next pair's schedule during the current one,
// so the cases are chosen around pairs: every length from 0 to 1100 bytes (up to nine blocks,
// an odd block left over or not, every padding boundary), each fed whole and in pieces (one byte
// at a time makes every call a single block), and direct calls with 0 to 12 blocks from an
// unaligned address.
TEST(DigestTest, Sha512BlockFunctionsAgreeWithPortable) {
  using Stream = digest_internal::BlockStream<uint64_t, 8, 128, 16, true>;
  using State = std::array<uint64_t, 8>;
  const std::vector<digest_internal::Sha512BlockFunction> functions =
      digest_internal::Sha512BlockFunctions();
  ASSERT_FALSE(functions.empty());
  ASSERT_STREQ(functions[0].name, "portable");
  if (functions.size() == 1) GTEST_SKIP() << "this CPU runs only the portable SHA-512 code";

  constexpr uint64_t kStart[8] = {
      0x0123456789abcdefull, 0xfedcba9876543210ull, 0x8000000000000001ull, 0x7fffffffffffffffull,
      0x0f0f0f0f0f0f0f0full, 0xf0f0f0f0f0f0f0f0ull, 0x5555555555555555ull, 0xaaaaaaaaaaaaaaaaull};
  constexpr size_t kMaxLength = 1100;
  const std::vector<uint8_t> buffer = RandomBytes(kMaxLength + 8, 5);
  const auto streamed = [&](digest_internal::BlockFunction<uint64_t> function, const uint8_t* bytes,
                            size_t n, size_t piece) {
    Stream stream;
    stream.Begin(kStart, function);
    for (size_t offset = 0; offset < n; offset += piece) {
      stream.Update(bytes + offset, std::min(piece, n - offset));
    }
    stream.Finish();
    State state;
    std::memcpy(state.data(), stream.state(), sizeof(state));
    return state;
  };

  for (size_t k = 1; k < functions.size(); ++k) {
    SCOPED_TRACE(functions[k].name);
    int failures = 0;
    for (size_t n = 0; n <= kMaxLength && failures < 5; ++n) {
      const uint8_t* message = buffer.data() + n % 8;
      const State expected = streamed(functions[0].function, message, n, kMaxLength);
      for (size_t piece : {kMaxLength, size_t{1}, size_t{7}, size_t{128}, size_t{300}}) {
        if (streamed(functions[k].function, message, n, piece) != expected) {
          ADD_FAILURE() << "length " << n << " in pieces of " << piece;
          ++failures;
        }
      }
    }
    const std::vector<uint8_t> blocks = RandomBytes(12 * 128 + 3, 6);
    for (size_t count = 0; count <= 12; ++count) {
      SCOPED_TRACE("direct call with " + std::to_string(count) + " blocks");
      State expected, actual;
      std::memcpy(expected.data(), kStart, sizeof(kStart));
      std::memcpy(actual.data(), kStart, sizeof(kStart));
      // The blocks end where the buffer ends, so that a read beyond them is a fault under the
      // address sanitizer; with no blocks the pointer is one past the end.
      const uint8_t* first = blocks.data() + blocks.size() - 128 * count;
      functions[0].function(expected.data(), first, count);
      functions[k].function(actual.data(), first, count);
      EXPECT_EQ(actual, expected);
    }
  }
}

// --- The object's contract ----------------------------------------------------------------------

TEST(DigestTest, ObjectLifecycle) {
  const std::string abc = "abc";
  const std::string longer(200, 'x');
  for (const AlgorithmInfo& info : kAlgorithms) {
    SCOPED_TRACE(info.name);
    auto digest = MakeDigest(info.algorithm);
    ASSERT_NE(digest, nullptr);
    EXPECT_EQ(digest->DigestSize(), info.digest_size);
    EXPECT_TRUE(digest->empty()) << "content before the first computation";

    const auto* abc_bytes = reinterpret_cast<const uint8_t*>(abc.data());
    const auto* longer_bytes = reinterpret_cast<const uint8_t*>(longer.data());
    const std::string empty_digest = ReferenceHex(info, nullptr, 0);
    const std::string abc_digest = ReferenceHex(info, abc_bytes, abc.size());
    const std::string longer_digest = ReferenceHex(info, longer_bytes, longer.size());

    // Compute replaces the content rather than adding to it, and null with 0 is the empty
    // message.
    EXPECT_TRUE(digest->Compute(abc.data(), 3));
    EXPECT_TRUE(digest->Compute(nullptr, 0));
    EXPECT_EQ(OurDigestHex(*digest), empty_digest);

    // A streamed computation leaves the content alone until Finish.
    digest->Compute(abc.data(), 3);
    digest->Begin();
    digest->Update(longer.data(), 100);
    EXPECT_EQ(OurDigestHex(*digest), abc_digest);
    digest->Update(longer.data() + 100, 100);
    digest->Finish();
    EXPECT_EQ(OurDigestHex(*digest), longer_digest);

    // After Finish a new computation may start without Begin.
    digest->Update(abc.data(), 3);
    digest->Finish();
    EXPECT_EQ(OurDigestHex(*digest), abc_digest);

    // Begin abandons a computation in progress.
    digest->Update(longer.data(), 150);
    digest->Begin();
    digest->Update(abc.data(), 3);
    digest->Finish();
    EXPECT_EQ(OurDigestHex(*digest), abc_digest);

    // Compute in the middle of a streamed computation starts afresh as well.
    digest->Update(longer.data(), 70);
    digest->Compute(abc.data(), 3);
    EXPECT_EQ(OurDigestHex(*digest), abc_digest);
  }
}

// The engine is chosen when a computation begins; switching it in the middle of one must not
// hand one block function's state to the other (their internal state layouts may differ).
TEST(DigestTest, EngineSwitchDuringComputation) {
  const std::vector<uint8_t> message = RandomBytes(1000, 4);
  for (const AlgorithmInfo& info : kAlgorithms) {
    SCOPED_TRACE(info.name);
    const std::string expected = ReferenceHex(info, message.data(), message.size());
    for (DigestEngine first : kEngines) {
      ScopedEngine scoped(first);
      auto digest = MakeDigest(info.algorithm);
      digest->Begin();
      digest->Update(message.data(), 300);
      SetDigestEngine(first == DigestEngine::kAuto ? DigestEngine::kPortable : DigestEngine::kAuto);
      digest->Update(message.data() + 300, 700);
      digest->Finish();
      EXPECT_EQ(OurDigestHex(*digest), expected) << "began with " << EngineName(first);
    }
  }
}

}  // namespace
}  // namespace kelvadrome
