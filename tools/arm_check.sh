#!/usr/bin/env bash
# Checks that the converter, built for Cortex-M cores at -O2, gives exactly
# what the plain reference rule gives: tools/arm/bitexact_check.cpp is built
# for each core with newlib's semihosting start-up and run on an emulated
# board of that core, where it feeds many random streams through the
# converter and the reference side by side.  Last, a copy of the converter
# with its fast path's group test broken must fail the same check, so that a
# check that cannot fail does not pass unnoticed.
#
#   tools/arm_check.sh [-s SEED] [-r ROUNDS] [BUILD_DIR]
#
#   SEED       the random streams (default 1); the same on every core
#   ROUNDS     converter calls per core (default 100000)
#   BUILD_DIR  default build-arm/check
#
# Exits 0 when every core agrees with the reference, 1 on a difference or a
# run that does not finish, 2 when a tool is missing or an argument is bad.
#
# The cores run under qemu-system-arm with -semihosting: Cortex-M0+ code on
# the micro:bit model (a Cortex-M0, the same ARMv6-M instruction set; its
# 16 KiB of RAM hold the program), M3, M4 and M7 code on the MPS2 models.
# (Debian 12's user-mode qemu-arm aborts on start for any M-profile CPU.)
# Needs gcc-arm-none-eabi, libnewlib-arm-none-eabi, libstdc++-arm-none-eabi-dev
# (the C++ headers only) and qemu-system-arm; the program is linked without
# the C++ library, so Debian's large libstdc++-arm-none-eabi-newlib is not
# needed.
set -euo pipefail
cd "$(dirname "$0")/.."

seed=1
rounds=100000
while getopts s:r: option; do
  case $option in
    s) seed=$OPTARG ;;
    r) rounds=$OPTARG ;;
    *) echo "usage: tools/arm_check.sh [-s SEED] [-r ROUNDS] [BUILD_DIR]" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
build=${1:-build-arm/check}
[[ $seed =~ ^[0-9]+$ && $rounds =~ ^[1-9][0-9]*$ ]] ||
  { echo "arm_check: SEED and ROUNDS must be decimal numbers, ROUNDS above 0" >&2; exit 2; }

missing() { echo "arm_check: $1 not found; install the Debian package $2" >&2; exit 2; }
command -v arm-none-eabi-g++ >/dev/null || missing arm-none-eabi-g++ gcc-arm-none-eabi
command -v qemu-system-arm >/dev/null || missing qemu-system-arm qemu-system-arm
[[ -f $(arm-none-eabi-gcc -print-file-name=rdimon.specs) ]] ||
  missing "newlib's rdimon.specs" libnewlib-arm-none-eabi
printf '#include <cstdint>\n#include <vector>\n' |
  arm-none-eabi-g++ -mthumb -mcpu=cortex-m3 -std=c++20 -x c++ -fsyntax-only - 2>/dev/null ||
  missing "the C++ headers for newlib" libstdc++-arm-none-eabi-dev

# core, board model, and for a board smaller than MPS2 its memory sizes
targets=("cortex-m0plus microbit --defsym=asrc_code_size=256K,--defsym=asrc_data_size=16K"
  "cortex-m3 mps2-an385"
  "cortex-m4 mps2-an386"
  "cortex-m7 mps2-an500")

# Builds the check for CORE with the converter SOURCE into ELF.
build_check() {
  local core=$1 board=$2 sizes=$3 source=$4 elf=$5 flags cxx_flags
  flags=(-mcpu="$core" -mthumb -O2 -ffunction-sections -fdata-sections)
  cxx_flags=(-std=c++20 -fno-exceptions -fno-rtti -Wall -Wextra -Wconversion -Werror -Wno-psabi
    -Iconverter -Itests)
  arm-none-eabi-gcc "${flags[@]}" -Wall -Wextra -Werror -c tools/arm/vectors.c -o "$elf.vectors.o"
  arm-none-eabi-g++ "${flags[@]}" "${cxx_flags[@]}" -DASRC_CHECK_TARGET="\"$core on $board\"" \
    -c tools/arm/bitexact_check.cpp -o "$elf.check.o"
  arm-none-eabi-g++ "${flags[@]}" "${cxx_flags[@]}" -c "$source" -o "$elf.asrc.o"
  # The C driver links newlib (libc, librdimon) and libgcc but not the C++
  # library, so that a use of it fails the link here instead of needing
  # Debian's libstdc++-arm-none-eabi-newlib; the map shows that nothing
  # brought it in some other way.
  arm-none-eabi-gcc "${flags[@]}" --specs=rdimon.specs -T tools/arm/cortex-m.ld \
    -Wl,--gc-sections -Wl,-Map="$elf.map" ${sizes:+"-Wl,$sizes"} \
    "$elf.vectors.o" "$elf.check.o" "$elf.asrc.o" -o "$elf"
  if grep -E 'lib(std|sup)c\+\+' "$elf.map" >&2; then
    echo "arm_check: $elf was linked with the C++ library (above)" >&2
    exit 1
  fi
}

# Runs ELF on BOARD; prints its output; fails unless it passed.
run_check() {
  local board=$1 elf=$2 output status=0
  output=$(timeout 120 qemu-system-arm -M "$board" -nographic -monitor none -serial none \
    -semihosting-config enable=on,target=native,arg=bitexact_check,arg="$seed",arg="$rounds" \
    -kernel "$elf" 2>&1) || status=$?
  echo "$output"
  [[ $status == 0 && $output == *"bit-exact on "* ]] || {
    echo "(exit status $status)"
    return 1
  }
}

mkdir -p "$build"
failed=0
for target in "${targets[@]}"; do
  read -r core board sizes <<<"$target"
  build_check "$core" "$board" "$sizes" converter/asrc.cpp "$build/check-$core.elf"
  run_check "$board" "$build/check-$core.elf" || failed=1
done

# The group test let one sample too far: a group may then end with its
# phase past one whole sample, where a drop is due.
broken=$build/asrc-broken.cpp
sed 's/return step > 0 ? end <= ASRC_ONE : end >= 0;/return step > 0 ? end <= ASRC_ONE + 1 : end >= 0;/' \
  converter/asrc.cpp >"$broken"
if cmp -s converter/asrc.cpp "$broken"; then
  echo "arm_check: the group test in converter/asrc.cpp has changed; update the broken copy here" >&2
  exit 1
fi
build_check cortex-m3 mps2-an385 "" "$broken" "$build/check-broken.elf"
if run_check mps2-an385 "$build/check-broken.elf" >"$build/check-broken.log"; then
  echo "arm_check: a converter with a broken group test passed the check:" >&2
  cat "$build/check-broken.log" >&2
  failed=1
else
  echo "a converter with a broken group test fails it, as it must: $(grep -m1 FAIL "$build/check-broken.log")"
fi
exit $failed
