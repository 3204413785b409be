#!/usr/bin/env bash
# Installs the built library into a scratch prefix, then builds and runs a C consumer twice: once
# found through pkg-config, once through find_package(Kelvadrome).
set -euo pipefail
build_dir=$1 source_dir=$2 prefix=$3
rm -rf "$prefix"
cmake --install "$build_dir" --prefix "$prefix" >/dev/null
test -f "$prefix/lib/libKelvadromeATL.so"
soname=$(readelf -d "$prefix/lib/libKelvadromeATL.so" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
[ "$soname" = "libKelvadromeATL.so.4" ] || { echo "unexpected SONAME: $soname" >&2; exit 1; }

export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
[ "$(pkg-config --modversion kelvadrome)" = "4.2.0.0" ]
${CC:-cc} ${CONSUMER_FLAGS:-} -std=c11 -Wall -Werror -o "$prefix/consumer-pkgconfig" \
  "$source_dir/tests/abi/consumer/consumer.c" $(pkg-config --cflags --libs kelvadrome) \
  -Wl,-rpath,"$prefix/lib" ${CONSUMER_LIBS:-}
KELVADROME_DIALOGS=none "$prefix/consumer-pkgconfig"

cmake -S "$source_dir/tests/abi/consumer" -B "$prefix/consumer-build" -G Ninja \
  -DCMAKE_C_COMPILER="${CC:-cc}" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_RPATH="$prefix/lib" -DCMAKE_C_FLAGS="${CONSUMER_FLAGS:-}" \
  -DCMAKE_EXE_LINKER_FLAGS="${CONSUMER_FLAGS:-} ${CONSUMER_LIBS:-}" \
  -DCMAKE_C_STANDARD_LIBRARIES="${CONSUMER_LIBS:-}" >/dev/null
cmake --build "$prefix/consumer-build" >/dev/null
KELVADROME_DIALOGS=none "$prefix/consumer-build/consumer"
