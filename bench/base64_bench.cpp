// Base64 encode and decode throughput of ByteBuffer beside OpenSSL's block encoder and decoder on
// the same input. Every figure is bytes_per_second of binary data (the decoded size), so the
// ratio of ours to OpenSSL's can be read straight off. The ByteBuffer figures include obtaining
// and releasing (wiping) the result storage; OpenSSL writes into a buffer prepared once.
#include <openssl/evp.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "codec/byte_buffer.h"

namespace {

std::vector<uint8_t> RandomBytes(size_t size) {
  std::mt19937 generator(static_cast<uint32_t>(size));
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<uint8_t> bytes(size);
  for (auto& b : bytes) b = static_cast<uint8_t>(byte(generator));
  return bytes;
}

std::string EncodedText(size_t size) {
  const auto bytes = RandomBytes(size);
  kelvadrome::ByteBuffer text;
  text.Base64Encode(bytes.data(), static_cast<int32_t>(bytes.size()));
  return text.ToString();
}

// PEM-style body: lines of 64 characters ending in CR LF.
std::string EncodedLines(size_t size) {
  const std::string flat = EncodedText(size);
  std::string lines;
  for (size_t i = 0; i < flat.size(); i += 64) lines += flat.substr(i, 64) + "\r\n";
  return lines;
}

void BM_Base64Encode_ByteBuffer(benchmark::State& state) {
  const auto bytes = RandomBytes(static_cast<size_t>(state.range(0)));
  kelvadrome::ByteBuffer text;
  for (auto _ : state) {
    if (!text.Base64Encode(bytes.data(), static_cast<int32_t>(bytes.size()))) {
      state.SkipWithError("Base64Encode failed");
      break;
    }
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Base64Encode_OpenSSL(benchmark::State& state) {
  const auto bytes = RandomBytes(static_cast<size_t>(state.range(0)));
  std::vector<unsigned char> text((bytes.size() + 2) / 3 * 4 + 1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        EVP_EncodeBlock(text.data(), bytes.data(), static_cast<int>(bytes.size())));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Base64Decode_ByteBuffer(benchmark::State& state) {
  const std::string text = EncodedText(static_cast<size_t>(state.range(0)));
  kelvadrome::ByteBuffer bytes;
  for (auto _ : state) {
    if (!bytes.Base64Decode(text.c_str())) {
      state.SkipWithError("Base64Decode failed");
      break;
    }
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Base64Decode_OpenSSL(benchmark::State& state) {
  const std::string text = EncodedText(static_cast<size_t>(state.range(0)));
  std::vector<unsigned char> bytes(text.size() / 4 * 3);
  for (auto _ : state) {
    const int n = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    if (n < 0) {
      state.SkipWithError("EVP_DecodeBlock failed");
      break;
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// Text in 64-character lines, as in PEM files; OpenSSL's streaming decoder is the one that
// accepts line breaks.
void BM_Base64DecodeLines_ByteBuffer(benchmark::State& state) {
  const std::string text = EncodedLines(static_cast<size_t>(state.range(0)));
  kelvadrome::ByteBuffer bytes;
  for (auto _ : state) {
    if (!bytes.Base64Decode(text.c_str())) {
      state.SkipWithError("Base64Decode failed");
      break;
    }
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Base64DecodeLines_OpenSSL(benchmark::State& state) {
  const std::string text = EncodedLines(static_cast<size_t>(state.range(0)));
  std::vector<unsigned char> bytes(text.size());
  EVP_ENCODE_CTX* context = EVP_ENCODE_CTX_new();
  for (auto _ : state) {
    EVP_DecodeInit(context);
    int n = 0;
    int tail = 0;
    if (EVP_DecodeUpdate(context, bytes.data(), &n,
                         reinterpret_cast<const unsigned char*>(text.data()),
                         static_cast<int>(text.size())) < 0 ||
        EVP_DecodeFinal(context, bytes.data() + n, &tail) < 0) {
      state.SkipWithError("EVP_DecodeUpdate failed");
      break;
    }
    benchmark::ClobberMemory();
  }
  EVP_ENCODE_CTX_free(context);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void Sizes(benchmark::internal::Benchmark* bench) {
  bench->Arg(64)->Arg(4 << 10)->Arg(1 << 20);
}

BENCHMARK(BM_Base64Encode_ByteBuffer)->Apply(Sizes);
BENCHMARK(BM_Base64Encode_OpenSSL)->Apply(Sizes);
BENCHMARK(BM_Base64Decode_ByteBuffer)->Apply(Sizes);
BENCHMARK(BM_Base64Decode_OpenSSL)->Apply(Sizes);
BENCHMARK(BM_Base64DecodeLines_ByteBuffer)->Apply(Sizes);
BENCHMARK(BM_Base64DecodeLines_OpenSSL)->Apply(Sizes);

}  // namespace
