#!/usr/bin/env bash
# Counts the instructions the polyphase converter (asrc_poly.h) executes per
# output sample on a Cortex-M4, and what that means for a stereo stream at
# 48 kHz out: tools/arm/poly_cycles.cpp, built with the converter for the
# core at -O2 and at -Os, runs on qemu's MPS2 AN386 board (Cortex-M4) with
# -icount shift=0, where the virtual clock advances one nanosecond per
# instruction executed, so that the board's timer counts instructions (the
# program calibrates it with a loop of known length and refuses to report if
# the count is off).  Prints a Markdown table (-o FILE also writes it).
#
#   tools/arm_cycles.sh [-o FILE] [BUILD_DIR]     (default build-arm/cycles)
#
# These are instructions, not cycles: qemu does not model the core's
# timing.  On a Cortex-M4 a 64-bit multiply-accumulate (SMLAL) takes one
# cycle, a load two (one when it follows another load), a taken branch
# about three, so the converter's loops run at about 1.3 to 1.5 cycles per
# instruction from zero-wait-state memory (docs/embedded.md).
#
# Needs gcc-arm-none-eabi, libnewlib-arm-none-eabi, libstdc++-arm-none-eabi-dev
# (the C++ headers) and qemu-system-arm; exits 2 when one is missing.
set -euo pipefail
here=$PWD
cd "$(dirname "$0")/.."

out_file=
if [[ ${1:-} == -o ]]; then
  [[ -n ${2:-} ]] || { echo "arm_cycles: -o needs a file name" >&2; exit 2; }
  out_file=$2
  [[ $out_file == /* ]] || out_file=$here/$out_file
  shift 2
fi
build=${1:-build-arm/cycles}

missing() { echo "arm_cycles: $1 not found; install the Debian package $2" >&2; exit 2; }
command -v arm-none-eabi-g++ >/dev/null || missing arm-none-eabi-g++ gcc-arm-none-eabi
command -v qemu-system-arm >/dev/null || missing qemu-system-arm qemu-system-arm
[[ -f $(arm-none-eabi-gcc -print-file-name=rdimon.specs) ]] ||
  missing "newlib's rdimon.specs" libnewlib-arm-none-eabi
printf '#include <cstdint>\n' |
  arm-none-eabi-g++ -mthumb -mcpu=cortex-m4 -std=c++20 -x c++ -fsyntax-only - 2>/dev/null ||
  missing "the C++ headers for newlib" libstdc++-arm-none-eabi-dev

core=cortex-m4
board=mps2-an386
# The builds measured: -O2 and -Os with the folded table, and -O2 with the
# rows split for SMLAD (-DASRC_POLY_SPLIT_ROWS, 192 KiB more table).
levels=(O2 Os O2rows)
mkdir -p "$build"

declare -A per_output
names=()
for level in "${levels[@]}"; do
  elf=$build/poly_cycles-$level.elf
  flags=(-mcpu="$core" -mthumb -"${level%rows}" -ffunction-sections -fdata-sections)
  cxx_flags=(-std=c++20 -fno-exceptions -fno-rtti -Wall -Wextra -Wconversion -Werror -Iconverter)
  [[ $level == *rows ]] && cxx_flags+=(-DASRC_POLY_SPLIT_ROWS)
  arm-none-eabi-gcc "${flags[@]}" -Wall -Wextra -Werror -c tools/arm/vectors.c -o "$elf.vectors.o"
  arm-none-eabi-g++ "${flags[@]}" "${cxx_flags[@]}" -c tools/arm/poly_cycles.cpp -o "$elf.cycles.o"
  arm-none-eabi-g++ "${flags[@]}" "${cxx_flags[@]}" -c converter/asrc_poly.cpp -o "$elf.poly.o"
  arm-none-eabi-g++ "${flags[@]}" "${cxx_flags[@]}" -c converter/poly_dsp.cpp -o "$elf.dsp.o"
  arm-none-eabi-gcc "${flags[@]}" --specs=rdimon.specs -T tools/arm/cortex-m.ld -Wl,--gc-sections \
    "$elf.vectors.o" "$elf.cycles.o" "$elf.poly.o" "$elf.dsp.o" -o "$elf"
  status=0
  output=$(timeout 120 qemu-system-arm -M "$board" -nographic -monitor none -serial none \
    -icount shift=0 -semihosting-config enable=on,target=native -kernel "$elf" 2>&1) || status=$?
  if [[ $status != 0 ]]; then
    echo "$output" >&2
    echo "arm_cycles: the -$level run failed (exit status $status)" >&2
    exit 1
  fi
  # The timer runs at 25 MHz against a virtual clock of one instruction
  # per nanosecond: 40 instructions per tick, exactly, or -icount is not
  # doing what this script relies on.
  calibration=$(awk -F'|' '$1 == "calibration" { print $2 }' <<<"$output")
  if [[ $calibration != 40.0000 ]]; then
    echo "$output" >&2
    echo "arm_cycles: the timer counts $calibration instructions per tick, not 40:" \
      "qemu's -icount does not count instructions here" >&2
    exit 1
  fi
  while IFS='|' read -r kind name ratio stride taps outputs instructions; do
    [[ $kind == case ]] || continue
    key=$name
    if [[ $level == "${levels[0]}" ]]; then
      names+=("$name")
      per_output[$key|ratio]=$ratio
      per_output[$key|stride]=$stride
      per_output[$key|taps]=$taps
    fi
    per_output[$key|$level]=$(awk -v i="$instructions" 'BEGIN { printf "%.0f", i }')
  done <<<"$output"
done

table() {
  local name n
  echo "Instructions per output sample on a Cortex-M4, made by \`tools/arm_cycles.sh\`"
  echo "with $(arm-none-eabi-gcc --version | head -n 1)"
  echo "and qemu $(qemu-system-arm --version | head -n 1 | awk '{ print $4 }')" \
    "(\`-icount shift=0\`, board $board), blocks of 64 inputs. The"
  echo "last three columns are millions of instructions per second for two channels at"
  echo "48 kHz out. \"Split rows\" is -O2 with -DASRC_POLY_SPLIT_ROWS (SMLAD on 16-bit"
  echo "parts of the rows, 192 KiB more table), which changes only the full band."
  echo
  echo "| conversion | ratio | stride | taps | -O2 | -Os | split rows | stereo 48 kHz, -O2 | -Os | split rows |"
  echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
  for name in "${names[@]}"; do
    n=$name
    printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' "$n" "${per_output[$n|ratio]}" \
      "${per_output[$n|stride]}" "${per_output[$n|taps]}" "${per_output[$n|O2]}" \
      "${per_output[$n|Os]}" "${per_output[$n|O2rows]}" \
      "$(awk -v i="${per_output[$n|O2]}" 'BEGIN { printf "%.1f", i * 96000 / 1e6 }')" \
      "$(awk -v i="${per_output[$n|Os]}" 'BEGIN { printf "%.1f", i * 96000 / 1e6 }')" \
      "$(awk -v i="${per_output[$n|O2rows]}" 'BEGIN { printf "%.1f", i * 96000 / 1e6 }')"
  done
}

if [[ -n $out_file ]]; then
  table | tee "$out_file"
else
  table
fi
