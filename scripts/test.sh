#!/usr/bin/env bash
# Sets up, builds and runs every test: the optimised gcc build, then the clang build with
# AddressSanitizer and UndefinedBehaviorSanitizer. Each test runs on a throwaway profile.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
# The wrapping keys of the tests' throwaway profiles go to a throwaway folder, never into the
# person's keyring or configuration.
test_config=$(mktemp -d)
trap 'rm -rf "$test_config"' EXIT
export KELVADROME_KEY_STORE=file XDG_CONFIG_HOME="$test_config"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
for flavour in release asan; do
  echo "== $flavour build"
  "$top/scripts/build.sh" "$flavour"
  echo "== $flavour tests"
  ctest --test-dir "$top/build/$flavour" --output-on-failure -j "$(nproc)"
done
