#!/usr/bin/env bash
# Cross-builds the 32-bit Windows program and runs the end-to-end cases
# against it under wine, comparing every output with the native program's;
# then runs the polyphase converter's schedule (tools/poly_hash) of four
# seeds in the Windows build and requires the native build's line, hash and
# all: the i686 build runs the portable sums with 64-bit arithmetic on a
# 32-bit machine, the native one on x86-64 the vector sums.  The same for
# the 24-bit converter (tools/q31_hash): the native build and the Windows
# build, each on its best sums and, with ASRC_Q31_SUMS, on AVX2 and on the
# portable ones, must print one line.
#
#   tools/windows_e2e.sh [NATIVE_BUILD_DIR] [WINDOWS_BUILD_DIR]
#
# Needs a native build with its tests (default: build) and the packages
# g++-mingw-w64-i686-posix, wine and wine32 (see .ci/run).
set -euo pipefail
cd "$(dirname "$0")/.."
native=${1:-build}
windows=${2:-build-win}

cmake -S . -B "$windows" -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake -DASRC_WERROR=ON
cmake --build "$windows" -j2
for exe in asrc.exe tools/poly_hash.exe tools/q31_hash.exe; do
  file "$windows/$exe" | grep -q 'PE32 executable (console) Intel 80386' ||
    { echo "$windows/$exe is not a 32-bit Windows console program"; exit 1; }
done

# Without wine32 (tools/install_packages.sh could not install it: the i386
# archive out of step with the native one) the programs are built and
# checked above but cannot run; say so plainly rather than fail the run on
# a mirror's state.
if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'ok installed'; then
  echo "windows_e2e: NOT RUN: wine32 is not installed; the Windows programs were built, not run" >&2
  exit 0
fi

# One wine server for all cases, in a prefix of our own; no debug chatter,
# and no offer to install Mono or Gecko.
export WINEPREFIX=${WINEPREFIX:-$PWD/$windows/wineprefix}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
wineserver -k 2>/dev/null || true
wineserver -p
trap 'wineserver -k || true' EXIT
timeout 300 wineboot --init >/dev/null 2>&1

ASRC_EXE="$PWD/$windows/asrc.exe" ASRC_RUNNER=wine ASRC_EXPECT_CRLF=1 \
ASRC_NATIVE_EXE="$PWD/$native/asrc" \
  "$native/tests/e2e_test" --gtest_brief=1

# Everything after the machine's name must agree.
for seed in 1 2 3 4; do
  want=$("$native/tools/poly_hash" "$seed" 2000) || { echo "$want"; exit 1; }
  got=$(wine "$windows/tools/poly_hash.exe" "$seed" 2000) || { echo "$got"; exit 1; }
  got=${got%$'\r'}
  echo "$got"
  [[ $got == "poly hash on "*" hash 0x"* && ${got#*: } == "${want#*: }" ]] ||
    { echo "poly_hash: the Windows build differs from the native one: $want"; exit 1; }
done

# The 24-bit converter: everything after "(SUMS): " must agree, on the best
# sums this processor has and on each lesser one (ASRC_Q31_SUMS).
for seed in 1 2 3 4; do
  want=$("$native/tools/q31_hash" "$seed" 1000) || { echo "$want"; exit 1; }
  echo "$want"
  for sums in "" avx2 portable; do
    if [[ -n $sums ]]; then
      got=$(ASRC_Q31_SUMS=$sums "$native/tools/q31_hash" "$seed" 1000) || { echo "$got"; exit 1; }
      echo "$got"
      [[ ${got#*): } == "${want#*): }" ]] ||
        { echo "q31_hash: the native build's $sums sums differ from its best ones"; exit 1; }
    fi
    got=$(ASRC_Q31_SUMS=$sums wine "$windows/tools/q31_hash.exe" "$seed" 1000) ||
      { echo "$got"; exit 1; }
    got=${got%$'\r'}
    echo "$got"
    [[ $got == "q31 hash on "*" hash 0x"* && ${got#*): } == "${want#*): }" ]] ||
      { echo "q31_hash: the Windows build differs from the native one"; exit 1; }
  done
done
