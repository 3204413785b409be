// Starting bench/load_probe.c in a fresh process and reading its figures, for the benchmarks that
// measure what happens once per process (loading the library, the first call).
#pragma once

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

extern char** environ;

namespace kelvadrome_bench {

struct ProbeRun {
  double process_ms = 0;  // the whole process: start, load, call, exit (wall time)
  double load_us = 0;     // the dlopen, measured inside the process
  double call_us = 0;     // the call, measured inside the process
};

// RunLoadProbe starts the loader with |arguments| (environment inherited) and waits for it; false
// when it could not be started or reported a failure.
inline bool RunLoadProbe(const std::vector<std::string>& arguments, ProbeRun& run) {
  int pipe_ends[2];
  if (::pipe(pipe_ends) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);
  std::string probe = KELVADROME_LOAD_PROBE;
  std::vector<std::string> copies = arguments;
  std::vector<char*> argv{probe.data()};
  for (auto& argument : copies) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  pid_t child = 0;
  const int spawned = posix_spawn(&child, probe.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_ends[1]);
  if (spawned != 0) {
    ::close(pipe_ends[0]);
    return false;
  }
  char text[128] = {};
  size_t got = 0;
  for (ssize_t n = 0; got + 1 < sizeof text &&
                      (n = ::read(pipe_ends[0], text + got, sizeof text - 1 - got)) > 0;) {
    got += static_cast<size_t>(n);
  }
  ::close(pipe_ends[0]);
  int status = 0;
  if (::waitpid(child, &status, 0) != child) return false;
  run.process_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
         std::sscanf(text, "%lf %lf", &run.load_us, &run.call_us) == 2;
}

inline double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace kelvadrome_bench
