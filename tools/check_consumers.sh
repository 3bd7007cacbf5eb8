#!/usr/bin/env bash
# Builds and runs a library user's C and C++ programs (tests/consumers/)
# against the converter and the bridge (asrc::bridge, asrc-bridge.pc)
# through each route a project can take them:
#   1. installed, static, found by find_package(asrc)
#   2. installed, static, through pkg-config, compiled and linked by the
#      plain cc and c++ drivers
#   3. installed, shared (-DBUILD_SHARED_LIBS=ON), by both of the above
#   4. the source tree, by add_subdirectory
# Each program compares what it converts with known values.
#
#   tools/check_consumers.sh [SCRATCH_DIR]
#
# Needs cmake, a C and a C++ compiler and pkg-config.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
scratch=${1:-$(mktemp -d)}
mkdir -p "$scratch"
scratch=$(cd "$scratch" && pwd)
consumers=$src/tests/consumers

run() { echo "-- $*"; "$@"; }

for kind in static shared; do
  shared=$([[ $kind == shared ]] && echo ON || echo OFF)
  prefix=$scratch/prefix-$kind
  rm -rf "$scratch/lib-$kind" "$prefix"
  cmake -S "$src" -B "$scratch/lib-$kind" -DBUILD_SHARED_LIBS=$shared \
    -DASRC_BUILD_TESTS=OFF -DASRC_BUILD_PROGRAMS=OFF >/dev/null
  cmake --build "$scratch/lib-$kind" -j2 >/dev/null
  cmake --install "$scratch/lib-$kind" --prefix "$prefix" >/dev/null
  # Exactly the public headers, directly under include/: none of
  # converter/internal/ goes out.
  installed=$(cd "$prefix/include" && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ')
  public="asrc.h asrc_fifo.h asrc_poly.h asrc_q31.h asrc_servo.h "
  if [[ $installed != "$public" ]]; then
    echo "installed headers: $installed; expected exactly: $public"
    exit 1
  fi

  echo "== $kind library, find_package(asrc)"
  rm -rf "$scratch/fp-$kind"
  cmake -S "$consumers" -B "$scratch/fp-$kind" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
  cmake --build "$scratch/fp-$kind" >/dev/null
  run "$scratch/fp-$kind/consumer_c"
  run "$scratch/fp-$kind/consumer_cpp"
  run "$scratch/fp-$kind/bridge_consumer_c"
  run "$scratch/fp-$kind/bridge_consumer_cpp"

  echo "== $kind library, pkg-config"
  pc=$(find "$prefix" -name asrc.pc)
  export PKG_CONFIG_PATH=$(dirname "$pc")
  flags=$(pkg-config --cflags asrc)
  libs=$(pkg-config --libs asrc)
  rpath=
  [[ $kind == shared ]] && rpath="-Wl,-rpath,$(pkg-config --variable=libdir asrc)"
  # shellcheck disable=SC2086 # the flags are words
  cc -std=c99 -Wall -Wextra -pedantic -Werror $flags "$consumers/consumer.c" $libs $rpath \
    -o "$scratch/pc-$kind-c"
  # shellcheck disable=SC2086
  c++ -std=c++11 -Wall -Wextra -pedantic -Werror $flags "$consumers/consumer.cpp" $libs $rpath \
    -o "$scratch/pc-$kind-cpp"
  run "$scratch/pc-$kind-c"
  run "$scratch/pc-$kind-cpp"
  # The bridge's .pc requires asrc's, so one name brings both libraries.
  flags=$(pkg-config --cflags asrc-bridge)
  libs=$(pkg-config --libs asrc-bridge)
  # shellcheck disable=SC2086
  cc -std=c99 -Wall -Wextra -pedantic -Werror $flags "$consumers/bridge_consumer.c" $libs $rpath \
    -o "$scratch/pc-$kind-bridge-c"
  # shellcheck disable=SC2086
  c++ -std=c++11 -Wall -Wextra -pedantic -Werror $flags "$consumers/bridge_consumer.cpp" $libs \
    $rpath -o "$scratch/pc-$kind-bridge-cpp"
  run "$scratch/pc-$kind-bridge-c"
  run "$scratch/pc-$kind-bridge-cpp"
  if [[ $kind == shared ]]; then
    for name in libasrc libasrc_bridge; do
      lib=$(find "$prefix" -name "$name.so.*" -type f | head -n1)
      if readelf -d "$lib" | grep -q 'libstdc++'; then
        echo "the shared library $name needs libstdc++"; exit 1
      fi
    done
  fi
  unset PKG_CONFIG_PATH
done

echo "== the source tree, add_subdirectory"
rm -rf "$scratch/sub"
cmake -S "$consumers" -B "$scratch/sub" -DASRC_ROUTE=add_subdirectory \
  -DASRC_SOURCE_DIR="$src" >/dev/null
cmake --build "$scratch/sub" >/dev/null
run "$scratch/sub/consumer_c"
run "$scratch/sub/consumer_cpp"
run "$scratch/sub/bridge_consumer_c"
run "$scratch/sub/bridge_consumer_cpp"
echo "all consumer routes passed"
