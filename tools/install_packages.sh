#!/usr/bin/env bash
# Installs the Debian packages that a piece of the work needs and the machine
# lacks; does nothing (and needs no root) when they are all there.
#
#   tools/install_packages.sh build   compilers, CMake and libsndfile: every
#                                       program (asrc and asrc-audio)
#   tools/install_packages.sh test    + GoogleTest, the encoders that make
#                                       asrc-audio's damaged test files (sox,
#                                       flac, oggenc, opusenc,
#                                       sndfile-convert), pybind11, numpy, scipy,
#                                       matplotlib, pytest, the peer
#                                       resamplers (libsamplerate, speexdsp,
#                                       soxr, zita-resampler) for
#                                       asrc-peer-run, lame for an MP3 of
#                                       estimated length, and JACK (server,
#                                       library, example clients) and ALSA
#                                       with its plugins for asrc-bridge and
#                                       its real-server test: the whole suite
#   tools/install_packages.sh ci      + benchmarks, sox (with its MP3
#                                       support) as asrc-audio's yardstick, clang for the sanitizers
#                                       and fuzzers, mingw-w64 and wine for the
#                                       Windows program, the ARM toolchain and
#                                       qemu
set -euo pipefail
level=${1:-test}

build=(cmake make gcc g++ pkg-config libsndfile1-dev)
test=("${build[@]}" libgtest-dev file
  sox flac vorbis-tools opus-tools sndfile-programs
  python3 python3-dev python3-pybind11 python3-numpy python3-scipy python3-matplotlib
  python3-pytest
  libsamplerate0-dev libspeexdsp-dev libsoxr-dev libzita-resampler-dev lame
  jackd2 libjack-jackd2-dev libasound2-dev libasound2-plugins)
ci=("${test[@]}" libbenchmark-dev time sox libsox-fmt-mp3 clang libclang-rt-14-dev binutils
  g++-mingw-w64-i686-posix wine wine32:i386
  gcc-arm-none-eabi libnewlib-arm-none-eabi libstdc++-arm-none-eabi-dev
  qemu-system-arm)

case $level in
  build) wanted=("${build[@]}") ;;
  test) wanted=("${test[@]}") ;;
  ci) wanted=("${ci[@]}") ;;
  *) echo "usage: $0 build|test|ci" >&2; exit 2 ;;
esac

missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "installing: ${missing[*]}"
sudo=
[[ $(id -u) -ne 0 ]] && sudo=sudo
export DEBIAN_FRONTEND=noninteractive
native=()
foreign=()
for p in "${missing[@]}"; do
  if [[ $p == *:i386 ]]; then foreign+=("$p"); else native+=("$p"); fi
done
# wine32 comes from the i386 architecture.
((${#foreign[@]} == 0)) || $sudo dpkg --add-architecture i386

# install PACKAGE...: a registry that hiccups gets two more tries.  An
# index that fails to download (a mirror in the middle of a sync) fails
# the update without keeping packages from installing from the indexes
# already there, so the install decides.
install() {
  for attempt in 1 2 3; do
    $sudo apt-get update -qq || echo "apt-get update reported an error; trying the install" >&2
    $sudo apt-get install -y -qq --no-install-recommends "$@" >/dev/null && return 0
    ((attempt < 3)) && sleep 10
  done
  return 1
}

# The i386 packages go apart, so that an i386 index out of step with the
# native one (a security update synced for one architecture and not yet
# for the other) cannot keep the rest from installing.  Without them the
# Windows program is still built, and tools/windows_e2e.sh says that it
# could not run it.
if ((${#native[@]} > 0)) && ! install "${native[@]}"; then
  echo "could not install ${native[*]}" >&2
  exit 1
fi
if ((${#foreign[@]} > 0)) && ! install "${foreign[@]}"; then
  echo "could not install ${foreign[*]} (the i386 archive); the Windows program will be built but not run" >&2
fi
exit 0
