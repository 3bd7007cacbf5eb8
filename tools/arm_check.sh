#!/usr/bin/env bash
# Checks both converter families, built for Cortex-M cores at -O2, bit for
# bit on emulated boards of those cores:
#
# - asrc.h: tools/arm/bitexact_check.cpp feeds many random streams through
#   the converter and the plain reference rule side by side, on the core.
# - asrc_poly.h: tools/poly_hash.cpp runs a seeded schedule of random
#   ratios (0.5 to 2, full band and stretched), ratio changes, block lengths
#   and samples (with full-scale squares that clip) and prints a hash of
#   every output and the final states; each core must print the line that
#   the same program built for this machine prints (tests/poly_port_test.cpp
#   holds that one to the reference, tools/windows_e2e.sh the i686 Windows
#   build to it).
# - asrc_q31.h: tools/q31_hash.cpp does the same for the 24-bit converter:
#   two converters of 1 to 8 channels, ratios from 1:25 to 25:1 (across the
#   full band's edge, and refused ones), re-initialisations, blocks of up to
#   300 frames, full-scale squares that clip; each core must print the line
#   of this machine's build, whose vector and portable sums must agree with
#   each other first (tests/q31_port_test.cpp holds that line to the plain
#   reference).  Its history for 8 channels at ratio 25 (300 KiB a
#   converter) does not fit the micro:bit's 16 KiB of RAM, so the Cortex-M0+
#   code runs on the AN385 board (a Cortex-M3, which executes every ARMv6-M
#   instruction as an M0+ does), over a quarter of the calls: its 64-bit
#   products go through libgcc's __aeabi_lmul, about ten times slower.  The
#   M4 and the host also run it built with -DASRC_Q31_SMALL (without the
#   table's piece-by-piece copy), and the M0+, the M4 and the host built
#   with -DQ31_HASH_ROWS (converters on rows of their own when
#   downsampling, ratios up to 2).
#
# Last, each check must catch a broken converter, so that a check that
# cannot fail does not pass unnoticed: a copy of asrc.cpp whose fast path's
# group test lets one sample too far, and a copy of asrc_poly.cpp whose
# rounding point is moved by 2^-11 of a step (which changes 55 of the
# 156,370 outputs of the default run, each by one), and a copy of
# asrc_q31.cpp whose positive clipping gives 2^31 - 2.
#
#   tools/arm_check.sh [-s SEED] [-r ROUNDS] [-c CALLS] [-q CALLS] [BUILD_DIR]
#
#   SEED       the random streams (default 1); the same on every core
#   ROUNDS     asrc calls per core (default 100000)
#   CALLS      asrc_poly calls per core (default 2000: 156,370 outputs at seed 1)
#   -q CALLS   asrc_q31 calls per core (default 1000; a quarter on Cortex-M0+)
#   BUILD_DIR  default build-arm/check
#
# Exits 0 when every core agrees, 1 on a difference or a run that does not
# finish, 2 when a tool is missing or an argument is bad.
#
# The cores run under qemu-system-arm with -semihosting: Cortex-M0+ code on
# the micro:bit model (a Cortex-M0, the same ARMv6-M instruction set; its
# 16 KiB of RAM hold the program), M3, M4 and M7 code on the MPS2 models.
# (Debian 12's user-mode qemu-arm aborts on start for any M-profile CPU.)
# Needs gcc-arm-none-eabi, libnewlib-arm-none-eabi, libstdc++-arm-none-eabi-dev
# (the C++ headers only), qemu-system-arm and a host g++; the programs are
# linked without the C++ library, so Debian's large
# libstdc++-arm-none-eabi-newlib is not needed.
set -euo pipefail
cd "$(dirname "$0")/.."

seed=1
rounds=100000
calls=2000
q31_calls=1000
while getopts s:r:c:q: option; do
  case $option in
    s) seed=$OPTARG ;;
    r) rounds=$OPTARG ;;
    c) calls=$OPTARG ;;
    q) q31_calls=$OPTARG ;;
    *) echo "usage: tools/arm_check.sh [-s SEED] [-r ROUNDS] [-c CALLS] [-q CALLS] [BUILD_DIR]" >&2
      exit 2 ;;
  esac
done
shift $((OPTIND - 1))
build=${1:-build-arm/check}
[[ $seed =~ ^[0-9]+$ && $rounds =~ ^[1-9][0-9]*$ && $calls =~ ^[1-9][0-9]*$ &&
  $q31_calls =~ ^[1-9][0-9]*$ ]] || {
  echo "arm_check: SEED, ROUNDS and the CALLS must be decimal numbers, all but SEED above 0" >&2
  exit 2
}

missing() { echo "arm_check: $1 not found; install the Debian package $2" >&2; exit 2; }
command -v arm-none-eabi-g++ >/dev/null || missing arm-none-eabi-g++ gcc-arm-none-eabi
command -v qemu-system-arm >/dev/null || missing qemu-system-arm qemu-system-arm
command -v g++ >/dev/null || missing g++ g++
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

# Builds PROGRAM (a source under tools/) for CORE with the converter
# SOURCES (one or more, separated by spaces) into ELF, with DEFINES (if
# any) for the converter.
build_check() {
  # defines: for the library's sources; program_defines: for the program.
  local core=$1 board=$2 sizes=$3 program=$4 sources=$5 elf=$6 defines=${7:-}
  local program_defines=${8:-} flags cxx_flags
  local -a objects=()
  flags=(-mcpu="$core" -mthumb -O2 -ffunction-sections -fdata-sections)
  cxx_flags=(-std=c++20 -fno-exceptions -fno-rtti -Wall -Wextra -Wconversion -Werror -Wno-psabi
    -Iconverter -Itests -Itools)
  arm-none-eabi-gcc "${flags[@]}" -Wall -Wextra -Werror -c tools/arm/vectors.c -o "$elf.vectors.o"
  arm-none-eabi-g++ "${flags[@]}" "${cxx_flags[@]}" -DASRC_CHECK_TARGET="\"$core on $board\"" \
    $program_defines -c "$program" -o "$elf.check.o"
  for source in $sources; do
    objects+=("$elf.$(basename "$source" .cpp).o")
    arm-none-eabi-g++ "${flags[@]}" "${cxx_flags[@]}" $defines -c "$source" -o "${objects[-1]}"
  done
  # The C driver links newlib (libc, librdimon) and libgcc but not the C++
  # library, so that a use of it fails the link here instead of needing
  # Debian's libstdc++-arm-none-eabi-newlib; the map shows that nothing
  # brought it in some other way.
  arm-none-eabi-gcc "${flags[@]}" --specs=rdimon.specs -T tools/arm/cortex-m.ld \
    -Wl,--gc-sections -Wl,-Map="$elf.map" ${sizes:+"-Wl,$sizes"} \
    "$elf.vectors.o" "$elf.check.o" "${objects[@]}" -o "$elf"
  if grep -E 'lib(std|sup)c\+\+' "$elf.map" >&2; then
    echo "arm_check: $elf was linked with the C++ library (above)" >&2
    exit 1
  fi
}

# Runs ELF on BOARD with ARGS (argv[0] first); prints its output; fails
# unless it exits 0 with a line that contains PASS.
run_check() {
  local board=$1 elf=$2 pass=$3 output status=0 semihosting=enable=on,target=native arg
  shift 3
  for arg; do semihosting+=",arg=$arg"; done
  output=$(timeout 300 qemu-system-arm -M "$board" -nographic -monitor none -serial none \
    -semihosting-config "$semihosting" -kernel "$elf" 2>&1) || status=$?
  echo "$output"
  [[ $status == 0 && $output == *"$pass"* ]] || {
    echo "(exit status $status)"
    return 1
  }
}

mkdir -p "$build"
failed=0

echo "== asrc.h against the reference rule"
for target in "${targets[@]}"; do
  read -r core board sizes <<<"$target"
  build_check "$core" "$board" "$sizes" tools/arm/bitexact_check.cpp converter/asrc.cpp \
    "$build/check-$core.elf"
  run_check "$board" "$build/check-$core.elf" "bit-exact on " bitexact_check "$seed" "$rounds" ||
    failed=1
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
build_check cortex-m3 mps2-an385 "" tools/arm/bitexact_check.cpp "$broken" "$build/check-broken.elf"
if run_check mps2-an385 "$build/check-broken.elf" "bit-exact on " bitexact_check "$seed" "$rounds" \
  >"$build/check-broken.log"; then
  echo "arm_check: a converter with a broken group test passed the check:" >&2
  cat "$build/check-broken.log" >&2
  failed=1
else
  echo "a converter with a broken group test fails it, as it must: $(grep -m1 FAIL "$build/check-broken.log")"
fi

echo "== asrc_poly.h against this machine's build"
# The host's line: x86-64 (or whatever this is) with its own kernels.
g++ -std=c++20 -O2 -Wall -Wextra -Wconversion -Werror -Iconverter -Itools \
  -DASRC_CHECK_TARGET="\"$(uname -m) host\"" tools/poly_hash.cpp converter/asrc_poly.cpp \
  converter/poly_x86.cpp converter/cpu_x86.cpp -o "$build/poly_hash-host"
host_line=$("$build/poly_hash-host" "$seed" "$calls") || {
  echo "$host_line"
  echo "arm_check: poly_hash failed on this machine" >&2
  exit 1
}
echo "$host_line"
want=${host_line#*: }
# Runs the poly check for CORE on BOARD from ELF; fails unless its line
# after the target's name is the host's.
poly_check() {
  local core=$1 board=$2 elf=$3 line
  line=$(run_check "$board" "$elf" "poly hash on " poly_hash "$seed" "$calls") || {
    echo "$line"
    return 1
  }
  echo "$line"
  [[ ${line#*: } == "$want" ]] || {
    echo "FAIL on $core on $board: not the host's line"
    return 1
  }
}
for target in "${targets[@]}"; do
  read -r core board sizes <<<"$target"
  build_check "$core" "$board" "$sizes" tools/poly_hash.cpp converter/asrc_poly.cpp \
    "$build/poly-$core.elf"
  poly_check "$core" "$board" "$build/poly-$core.elf" || failed=1
done

# With the rows split for SMLAD, on the cores that have it: the same line.
for target in "${targets[@]}"; do
  read -r core board sizes <<<"$target"
  [[ $core == cortex-m4 || $core == cortex-m7 ]] || continue
  build_check "$core" "$board" "$sizes" tools/poly_hash.cpp \
    "converter/asrc_poly.cpp converter/poly_dsp.cpp" "$build/poly-rows-$core.elf" \
    -DASRC_POLY_SPLIT_ROWS
  printf '(split rows) '
  poly_check "$core" "$board" "$build/poly-rows-$core.elf" || failed=1
done

# Rounded at 0.5 - 2^-11 of a step instead of 0.5: a few outputs in ten
# thousand come out one lower.
broken=$build/asrc_poly-broken.cpp
rounding='const int64_t y = (x \* stride + (int64_t{1} << 42)) >> 43;'
moved='const int64_t y = (x * stride + (int64_t{1} << 42) - (int64_t{1} << 32)) >> 43;'
sed "s/$rounding/$moved/" converter/asrc_poly.cpp >"$broken"
if cmp -s converter/asrc_poly.cpp "$broken"; then
  echo "arm_check: the rounding in converter/asrc_poly.cpp has changed;" \
    "update the broken copy here" >&2
  exit 1
fi
build_check cortex-m4 mps2-an386 "" tools/poly_hash.cpp "$broken" "$build/poly-broken.elf"
if poly_check cortex-m4 mps2-an386 "$build/poly-broken.elf" >"$build/poly-broken.log"; then
  echo "arm_check: a polyphase converter with a moved rounding point passed the check:" >&2
  cat "$build/poly-broken.log" >&2
  failed=1
elif ! grep -q 'not the host.s line' "$build/poly-broken.log"; then
  # It must run to the end and give another hash, not crash.
  echo "arm_check: the polyphase converter with a moved rounding point did not run through:" >&2
  cat "$build/poly-broken.log" >&2
  failed=1
else
  echo "a polyphase converter with a moved rounding point fails it, as it must:" \
    "$(grep -m1 -o 'hash 0x.*' "$build/poly-broken.log") on cortex-m4 against ${host_line##*: }"
fi

echo "== asrc_q31.h against this machine's build, on its vector and portable sums"
# Every source of the 24-bit converter (the x86 one is empty elsewhere).
q31_sources="converter/asrc_q31.cpp $(echo converter/q31_*.cpp) converter/cpu_x86.cpp"
g++ -std=c++20 -O2 -Wall -Wextra -Wconversion -Werror -Iconverter -Itools \
  -DASRC_CHECK_TARGET="\"$(uname -m) host\"" tools/q31_hash.cpp $q31_sources \
  -o "$build/q31_hash-host"
m0_calls=$(((q31_calls + 3) / 4))
# The host's vector sums by one name, whichever this processor has (AVX2,
# AVX-512), so that the transcript in docs/embedded.md does not depend on it.
vector_sums() { sed -E 's/ \((avx512|avx2)(, own rows)?\): / (vector sums\2): /'; }
# Runs the host's BIN on its vector and portable sums over both call counts,
# prints each line, and keeps in the array named WANT, by call count, the
# part that every machine must print; the two paths must agree.
host_lines() { # BIN WANT
  local bin=$1 n sums line
  local -n want=$2
  for n in "$q31_calls" "$m0_calls"; do
    for sums in "" portable; do
      line=$(ASRC_Q31_SUMS=$sums "$bin" "$seed" "$n" | vector_sums) || {
        echo "$line"
        echo "arm_check: $(basename "$bin") failed on this machine" >&2
        exit 1
      }
      echo "$line"
      if [[ -z ${want[$n]:-} ]]; then
        want[$n]=${line#*): }
      elif [[ ${line#*): } != "${want[$n]}" ]]; then
        echo "FAIL: this machine's paths disagree ($(basename "$bin"))"
        failed=1
      fi
    done
  done
}
declare -A q31_want
host_lines "$build/q31_hash-host" q31_want
# Runs the q31 check for CORE on BOARD from ELF over N calls; fails unless
# its line after the target's name is the host's.
q31_check() {
  local core=$1 board=$2 elf=$3 n=$4 line
  line=$(run_check "$board" "$elf" "q31 hash on " q31_hash "$seed" "$n") || {
    echo "$line"
    return 1
  }
  echo "$line"
  [[ ${line#*): } == "${q31_want[$n]}" ]] || {
    echo "FAIL on $core on $board: not the host's line"
    return 1
  }
}
q31_targets=("cortex-m0plus mps2-an385 $m0_calls"
  "cortex-m3 mps2-an385 $q31_calls"
  "cortex-m4 mps2-an386 $q31_calls"
  "cortex-m7 mps2-an500 $q31_calls")
for target in "${q31_targets[@]}"; do
  read -r core board n <<<"$target"
  build_check "$core" "$board" "" tools/q31_hash.cpp "$q31_sources" "$build/q31-$core.elf"
  q31_check "$core" "$board" "$build/q31-$core.elf" "$n" || failed=1
done

# Without the table's piece-by-piece copy (-DASRC_Q31_SMALL, as a
# microcontroller project may build it), here and on the M4: the same line.
g++ -std=c++20 -O2 -Wall -Wextra -Wconversion -Werror -Iconverter -Itools -DASRC_Q31_SMALL \
  -DASRC_CHECK_TARGET="\"$(uname -m) host, -DASRC_Q31_SMALL\"" tools/q31_hash.cpp $q31_sources \
  -o "$build/q31_hash-host-small"
line=$("$build/q31_hash-host-small" "$seed" "$q31_calls" | vector_sums) || line="FAIL: $line"
echo "$line"
[[ ${line#*): } == "${q31_want[$q31_calls]}" ]] || { echo "FAIL: not the host's line"; failed=1; }
build_check cortex-m4 mps2-an386 "" tools/q31_hash.cpp "$q31_sources" "$build/q31-small-cortex-m4.elf" \
  -DASRC_Q31_SMALL
printf '(-DASRC_Q31_SMALL) '
q31_check cortex-m4 mps2-an386 "$build/q31-small-cortex-m4.elf" "$q31_calls" || failed=1

# On rows of its own (-DQ31_HASH_ROWS: ratios up to 2, the downsampling
# path that the plain reference does not compute): the host's vector and
# portable sums agree, and the M0+ and M4 give the host's line.
g++ -std=c++20 -O2 -Wall -Wextra -Wconversion -Werror -Iconverter -Itools -DQ31_HASH_ROWS \
  -DASRC_CHECK_TARGET="\"$(uname -m) host\"" tools/q31_hash.cpp $q31_sources \
  -o "$build/q31_hash-host-rows"
declare -A rows_want
host_lines "$build/q31_hash-host-rows" rows_want
for target in "cortex-m0plus mps2-an385 $m0_calls" "cortex-m4 mps2-an386 $q31_calls"; do
  read -r core board n <<<"$target"
  build_check "$core" "$board" "" tools/q31_hash.cpp "$q31_sources" "$build/q31-rows-$core.elf" \
    "" -DQ31_HASH_ROWS
  line=$(run_check "$board" "$build/q31-rows-$core.elf" "q31 hash on " q31_hash "$seed" "$n") || {
    echo "$line"
    failed=1
    continue
  }
  echo "$line"
  [[ ${line#*): } == "${rows_want[$n]}" ]] || {
    echo "FAIL on $core on $board: not the host's line (rows)"
    failed=1
  }
done

# Positive overshoot clipped to 2^31 - 2 instead of 2^31 - 1.
broken=$build/asrc_q31-broken.cpp
clip='return y > 0 ? INT32_MAX : INT32_MIN;'
moved='return y > 0 ? INT32_MAX - 1 : INT32_MIN;'
sed "s/$clip/$moved/" converter/asrc_q31.cpp >"$broken"
if cmp -s converter/asrc_q31.cpp "$broken"; then
  echo "arm_check: the clipping in converter/asrc_q31.cpp has changed;" \
    "update the broken copy here" >&2
  exit 1
fi
build_check cortex-m4 mps2-an386 "" tools/q31_hash.cpp \
  "$broken ${q31_sources#converter/asrc_q31.cpp }" "$build/q31-broken.elf"
if q31_check cortex-m4 mps2-an386 "$build/q31-broken.elf" "$q31_calls" \
  >"$build/q31-broken.log"; then
  echo "arm_check: a 24-bit converter with a wrong clipping level passed the check:" >&2
  cat "$build/q31-broken.log" >&2
  failed=1
elif ! grep -q 'not the host.s line' "$build/q31-broken.log"; then
  echo "arm_check: the 24-bit converter with a wrong clipping level did not run through:" >&2
  cat "$build/q31-broken.log" >&2
  failed=1
else
  echo "a 24-bit converter with a wrong clipping level fails it, as it must:" \
    "$(grep -m1 -o 'hash 0x.*' "$build/q31-broken.log") on cortex-m4 against" \
    "${q31_want[$q31_calls]##*: }"
fi
exit $failed
