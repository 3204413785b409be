// HashFile over a large file (512 MiB unless KELVADROME_BENCH_FILE_MB says otherwise), in the page
// cache, against the `openssl dgst` command on the same file, in the same run. Both sides are
// measured in wall time. Also reports the growth of the peak resident set while HashFile runs, to
// show that memory stays bounded.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "ops/hash.h"
#include "ui/dialog_host.h"

namespace {

class NoDialogs : public kelvadrome::DialogHost {
 public:
  kelvadrome::PickResult PickOpenFile(const kelvadrome::OpenFileRequest&) override { return {}; }
  kelvadrome::PickResult BrowseFolder(const std::string&) override { return {}; }
  kelvadrome::DialogOutcome ShowModal(kelvadrome::DialogModel&) override {
    return kelvadrome::DialogOutcome::kUnavailable;
  }
  void ShowMessage(const std::string&, const std::string&) override {}
  void ViewFile(const std::string&) override {}
};

// The benchmark file, written once per run and removed at exit.
class LargeFile {
 public:
  LargeFile() {
    const char* megabytes = std::getenv("KELVADROME_BENCH_FILE_MB");
    size_ = (megabytes != nullptr ? std::strtoull(megabytes, nullptr, 10) : 512) << 20;
    path_ = std::filesystem::temp_directory_path() /
            ("kelvadrome-bench-" + std::to_string(::getpid()) + ".bin");
    std::ofstream out(path_, std::ios::binary);
    std::vector<char> block(1 << 20);
    std::mt19937_64 random(1);
    for (auto& c : block) c = static_cast<char>(random());
    for (uint64_t written = 0; written < size_; written += block.size()) {
      block[0] = static_cast<char>(written >> 20);  // no two blocks alike
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    out.close();
    // Read once, so that every measured run finds the file in the page cache.
    std::ifstream in(path_, std::ios::binary);
    while (in.read(block.data(), static_cast<std::streamsize>(block.size()))) {
    }
  }
  ~LargeFile() { std::filesystem::remove(path_); }
  const std::string path() const { return path_.string(); }
  uint64_t size() const { return size_; }

 private:
  std::filesystem::path path_;
  uint64_t size_;
};

LargeFile& File() {
  static LargeFile file;
  return file;
}

long PeakResidentKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

void BM_HashFile(benchmark::State& state) {
  NoDialogs dialogs;
  const auto flags = static_cast<int32_t>(state.range(0));
  const std::string path = File().path();
  const long peak_before = PeakResidentKiB();
  for (auto _ : state) {
    auto result = kelvadrome::HashFileAt(path, flags, dialogs);
    if (result.code != 0) state.SkipWithError("HashFile failed");
    benchmark::DoNotOptimize(result.hex);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * File().size()));
  state.counters["peak_rss_growth_KiB"] = static_cast<double>(PeakResidentKiB() - peak_before);
}

void BM_OpensslDgst(benchmark::State& state) {
  static const char* kNames[] = {"sha1", "md5", "sha1", "sha256", "sha512"};
  const std::string command =
      std::string("openssl dgst -") + kNames[state.range(0)] + " " + File().path() + " > /dev/null";
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) state.SkipWithError("openssl dgst failed");
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * File().size()));
}

// Arguments are the flags' algorithm selector: 1 MD5, 0 SHA-1, 3 SHA-256, 4 SHA-512.
BENCHMARK(BM_HashFile)
    ->Arg(1)
    ->Arg(0)
    ->Arg(3)
    ->Arg(4)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);
BENCHMARK(BM_OpensslDgst)
    ->Arg(1)
    ->Arg(0)
    ->Arg(3)
    ->Arg(4)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(3);

}  // namespace
