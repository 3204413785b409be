// Throughput of the component's digests beside OpenSSL's, measured in the same run.
//
// For each algorithm and message size there are three rows: Ours/auto (accelerated block
// functions where the CPU has them), Ours/portable, and OpenSSL (EVP_Digest). Compare the
// bytes_per_second columns; the ratio ours / OpenSSL is the figure of interest.
#include <cstdint>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include "codec/digest.h"

namespace {

using kelvadrome::DigestAlgorithm;
using kelvadrome::DigestEngine;

std::vector<uint8_t> RandomBytes(size_t n) {
  std::mt19937_64 rng(n);
  std::vector<uint8_t> bytes(n);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

void RunOurs(benchmark::State& state, DigestAlgorithm algorithm, DigestEngine engine) {
  const auto message = RandomBytes(static_cast<size_t>(state.range(0)));
  kelvadrome::SetDigestEngine(engine);
  auto digest = kelvadrome::MakeDigest(algorithm);
  for (auto _ : state) {
    digest->Compute(message.data(), static_cast<int32_t>(message.size()));
    benchmark::DoNotOptimize(digest->data());
  }
  kelvadrome::SetDigestEngine(DigestEngine::kAuto);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

const EVP_MD* OpenSslMd(DigestAlgorithm algorithm) {
  switch (algorithm) {
    case DigestAlgorithm::kMd5:
      return EVP_md5();
    case DigestAlgorithm::kSha1:
      return EVP_sha1();
    case DigestAlgorithm::kSha256:
      return EVP_sha256();
    case DigestAlgorithm::kSha512:
      return EVP_sha512();
  }
  return nullptr;
}

void RunOpenSsl(benchmark::State& state, DigestAlgorithm algorithm) {
  const auto message = RandomBytes(static_cast<size_t>(state.range(0)));
  const EVP_MD* md = OpenSslMd(algorithm);
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int out_length = 0;
  for (auto _ : state) {
    if (EVP_Digest(message.data(), message.size(), out, &out_length, md, nullptr) != 1) {
      state.SkipWithError("EVP_Digest failed");
      break;
    }
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

#define DIGEST_BENCHMARKS(Name, algorithm)                                \
  void BM_##Name##_Ours_auto(benchmark::State& state) {                   \
    RunOurs(state, algorithm, DigestEngine::kAuto);                       \
  }                                                                       \
  void BM_##Name##_Ours_portable(benchmark::State& state) {               \
    RunOurs(state, algorithm, DigestEngine::kPortable);                   \
  }                                                                       \
  void BM_##Name##_OpenSSL(benchmark::State& state) {                     \
    RunOpenSsl(state, algorithm);                                         \
  }                                                                       \
  BENCHMARK(BM_##Name##_Ours_auto)->Arg(64)->Arg(4096)->Arg(1 << 20);     \
  BENCHMARK(BM_##Name##_Ours_portable)->Arg(64)->Arg(4096)->Arg(1 << 20); \
  BENCHMARK(BM_##Name##_OpenSSL)->Arg(64)->Arg(4096)->Arg(1 << 20);

DIGEST_BENCHMARKS(Md5, DigestAlgorithm::kMd5)
DIGEST_BENCHMARKS(Sha1, DigestAlgorithm::kSha1)
DIGEST_BENCHMARKS(Sha256, DigestAlgorithm::kSha256)
DIGEST_BENCHMARKS(Sha512, DigestAlgorithm::kSha512)

}  // namespace
