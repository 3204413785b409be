// Loading the library in a fresh process and making the first call (GetErrorCode through the flat
// export), against loading libcrypto alone the same way, and libcrypto with the library's other
// dependencies. Each iteration starts the small loader
// bench/load_probe.c afresh; its time is the whole process (start, load, call, exit), and the
// counters give the medians over the iterations of that and of the load and call as measured
// inside the loader.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "load_probe_runner.h"

namespace {

constexpr int kProcesses = 50;

void MeasureLoads(benchmark::State& state, const std::vector<std::string>& arguments) {
  std::vector<double> process_ms;
  std::vector<double> inside_us;
  for (auto _ : state) {
    kelvadrome_bench::ProbeRun run;
    if (!kelvadrome_bench::RunLoadProbe(arguments, run)) {
      state.SkipWithError("the loader failed");
      return;
    }
    state.SetIterationTime(run.process_ms / 1e3);
    process_ms.push_back(run.process_ms);
    inside_us.push_back(run.load_us + run.call_us);
  }
  state.counters["process_median_ms"] = kelvadrome_bench::Median(process_ms);
  state.counters["load_and_call_median_us"] = kelvadrome_bench::Median(inside_us);
}

void BM_LoadLibraryAndFirstCall(benchmark::State& state) {
  MeasureLoads(state, {KELVADROME_LIBRARY, "GetErrorCode"});
}

void BM_LoadLibcryptoAlone(benchmark::State& state) {
  MeasureLoads(state, {KELVADROME_LIBCRYPTO});
}

// What the library brings with it besides libcrypto (the C++ runtime and SQLite), loaded without
// the library: the floor under its own load time.
void BM_LoadLibcryptoWithTheOtherDependencies(benchmark::State& state) {
  MeasureLoads(state,
               {"--also", "libstdc++.so.6", "--also", "libsqlite3.so.0", KELVADROME_LIBCRYPTO});
}

BENCHMARK(BM_LoadLibraryAndFirstCall)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(kProcesses);
BENCHMARK(BM_LoadLibcryptoAlone)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(kProcesses);
BENCHMARK(BM_LoadLibcryptoWithTheOtherDependencies)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(kProcesses);

}  // namespace
