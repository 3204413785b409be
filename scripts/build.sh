#!/usr/bin/env bash
# Configures and builds one flavour of the project into build/<flavour>.
#   release  gcc, optimised, warnings as errors (the demo and benchmarks use it)
#   asan     clang with AddressSanitizer and UndefinedBehaviorSanitizer, warnings as errors
#   fuzz     clang with libFuzzer and both sanitizers (fuzz targets)
set -euo pipefail
flavour=${1:-release}
top=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
case "$flavour" in
  release)
    CC=gcc CXX=g++ cmake -S "$top" -B "$top/build/release" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DKELVADROME_WERROR=ON -DKELVADROME_BENCH="${KELVADROME_BENCH:-OFF}" >/dev/null ;;
  asan)
    CC=clang CXX=clang++ cmake -S "$top" -B "$top/build/asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
      -DKELVADROME_WERROR=ON -DKELVADROME_SANITIZE=ON >/dev/null ;;
  fuzz)
    CC=clang CXX=clang++ cmake -S "$top" -B "$top/build/fuzz" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
      -DKELVADROME_SANITIZE=ON -DKELVADROME_FUZZ=ON >/dev/null ;;
  *) echo "unknown flavour: $flavour" >&2; exit 2 ;;
esac
cmake --build "$top/build/$flavour" -j "$jobs"
