#!/usr/bin/env bash
# Sets up, builds and runs every test: the optimised gcc build, then the clang build with
# AddressSanitizer and UndefinedBehaviorSanitizer. Each test runs on a throwaway profile.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
for flavour in release asan; do
  echo "== $flavour build"
  "$top/scripts/build.sh" "$flavour"
  echo "== $flavour tests"
  ctest --test-dir "$top/build/$flavour" --output-on-failure -j "$(nproc)"
done
