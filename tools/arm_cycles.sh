#!/usr/bin/env bash
# Counts the instructions the polyphase converter (asrc_poly.h) executes per
# output sample on a Cortex-M4, and what that means for a stereo stream at
# 48 kHz out; then the same per output frame of the 24-bit converter
# (asrc_q31.h, tools/arm/q31_cycles.cpp), mono and stereo, on the Cortex-M4
# and M7 (board mps2-an500): tools/arm/poly_cycles.cpp, built with the converter for the
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
# instruction from zero-wait-state memory (docs/embedded.md).  The M4 issues
# one instruction a cycle at most, so its cycles are at least the
# instructions (the M7 issues two).  For the 24-bit converter's full band
# the script also estimates the M4's cycles: it takes the innermost loop of
# the full-band sums from the -O2 image and prices each instruction by the
# M4's documented timings (a load 2 cycles, 1 right after another load or
# store; LDRD/STRD 3; LDM/STM/PUSH/POP 1 + N; a taken branch 3; a multiply or
# multiply-accumulate, SMLAL included, 1; anything else 1), which gives
# its cycles per instruction from zero-wait-state memory.
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

# The 24-bit converter on the M4 and M7, at -O2 and -Os.
q31_cores=("cortex-m4 mps2-an386" "cortex-m7 mps2-an500")
# O2small: -O2 with -DASRC_Q31_SMALL (without the table's piece-by-piece copy).
q31_levels=(O2 Os O2small)
declare -A q31
q31_names=()
for target in "${q31_cores[@]}"; do
  read -r q31_core q31_board <<<"$target"
  for level in "${q31_levels[@]}"; do
    elf=$build/q31_cycles-$q31_core-$level.elf
    flags=(-mcpu="$q31_core" -mthumb -"${level%small}" -ffunction-sections -fdata-sections)
    cxx_flags=(-std=c++20 -fno-exceptions -fno-rtti -Wall -Wextra -Wconversion -Werror -Iconverter)
    [[ $level == *small ]] && cxx_flags+=(-DASRC_Q31_SMALL)
    arm-none-eabi-gcc "${flags[@]}" -Wall -Wextra -Werror -c tools/arm/vectors.c -o "$elf.vectors.o"
    arm-none-eabi-g++ "${flags[@]}" "${cxx_flags[@]}" -c tools/arm/q31_cycles.cpp -o "$elf.cycles.o"
    objects=("$elf.vectors.o" "$elf.cycles.o")
    for source in converter/asrc_q31.cpp converter/q31_*.cpp; do
      objects+=("$elf.$(basename "$source" .cpp).o")
      arm-none-eabi-g++ "${flags[@]}" "${cxx_flags[@]}" -c "$source" -o "${objects[-1]}"
    done
    arm-none-eabi-gcc "${flags[@]}" --specs=rdimon.specs -T tools/arm/cortex-m.ld -Wl,--gc-sections \
      "${objects[@]}" -o "$elf"
    status=0
    output=$(timeout 300 qemu-system-arm -M "$q31_board" -nographic -monitor none -serial none \
      -icount shift=0 -semihosting-config enable=on,target=native -kernel "$elf" 2>&1) || status=$?
    calibration=$(awk -F'|' '$1 == "calibration" { print $2 }' <<<"$output")
    if [[ $status != 0 || $calibration != 40.0000 ]]; then
      echo "$output" >&2
      echo "arm_cycles: the 24-bit converter's -$level run on $q31_board failed (exit status" \
        "$status, $calibration instructions per tick)" >&2
      exit 1
    fi
    while IFS='|' read -r kind name channels ratio taps frames instructions; do
      [[ $kind == case ]] || continue
      key="$name|$channels"
      if [[ -z ${q31[$key|ratio]:-} ]]; then
        q31_names+=("$key")
        q31[$key|ratio]=$ratio
        q31[$key|taps]=$taps
      fi
      q31[$key|$q31_core|$level]=$(awk -v i="$instructions" 'BEGIN { printf "%.0f", i }')
    done <<<"$output"
  done
done

# Cycles per instruction of the innermost loop of FUNCTION (a pattern of its
# name) in ELF, by the M4's documented timings (see the top); prints
# "CYCLES INSTRUCTIONS" of one trip.
loop_cycles() { # ELF FUNCTION
  arm-none-eabi-objdump -d --no-show-raw-insn -C "$1" | awk -v fn="$2" '
    function hex(s,   i, v) {
      v = 0
      for (i = 1; i <= length(s); ++i) v = v * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
      return v
    }
    /^[0-9a-f]+ <.*>:$/ { inside = index($0, fn) > 0; next }
    inside && /^ +[0-9a-f]+:\t/ {
      split($0, f, "\t"); gsub(/[ :]/, "", f[1]); addr = hex(f[1])
      n++; at[n] = addr; op[n] = f[2]; arg[n] = f[3]
      if (op[n] ~ /^b(ne|eq|cc|cs|hi|ls|ge|lt|gt|le|mi|pl)?(\.n|\.w)?$/ && match(arg[n], /^[0-9a-f]+/)) {
        target = hex(substr(arg[n], RSTART, RLENGTH))
        if (target < addr && (best == "" || addr - target < best)) { best = addr - target; from = target; to = addr }
      }
    }
    END {
      if (best == "") exit 1
      prev = ""
      for (i = 1; i <= n; ++i) {
        if (at[i] < from || at[i] > to) continue
        o = op[i]; sub(/\.(n|w)$/, "", o); c = 1
        if (o ~ /^(ldr|str)(b|h|sb|sh)?$/) c = prev == "ls" ? 1 : 2
        else if (o ~ /^(ldrd|strd)$/) c = 3
        else if (o ~ /^(ldm|stm|ldmia|stmia|stmdb|ldmdb|push|pop)$/) c = 1 + split(arg[i], r, ",")
        else if (at[i] == to) c = 3
        prev = o ~ /^(ldr|str)(b|h|sb|sh)?$/ ? "ls" : ""
        cycles += c; count++
      }
      print cycles, count
    }'
}
m4_elf=$build/q31_cycles-cortex-m4-O2.elf
read -r loop_c loop_n < <(loop_cycles "$m4_elf" full_band_sums_portable) || {
  echo "arm_cycles: no loop in the 24-bit converter's full-band sums in $m4_elf" >&2
  exit 1
}
full_band_cpi=$(awk -v c="$loop_c" -v n="$loop_n" 'BEGIN { printf "%.2f", c / n }')

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
  echo
  echo "The 24-bit converter (\`asrc_q31.h\`): instructions per output frame on the"
  echo "Cortex-M4 (board mps2-an386) and M7 (mps2-an500), same compiler and qemu,"
  echo "blocks of 64 frames; \"small\" is -O2 with -DASRC_Q31_SMALL (without the table's"
  echo "piece-by-piece copy). \"MIPS at 48 kHz\" is millions of instructions per second"
  echo "at 48 kHz out on the M4 at -O2, which the M4's clock must at least reach"
  echo "(one instruction a cycle at most). \"M4 MHz, est.\" prices the full band's"
  echo "innermost loop by the M4's documented timings: $loop_n instructions in $loop_c"
  echo "cycles, $full_band_cpi cycles per instruction, from zero-wait-state memory; the"
  echo "stretched filter (ratios above 1.002) is left at the bound."
  echo
  echo "| conversion | channels | ratio | taps | M4 -O2 | M4 -Os | M4 small | M7 -O2 | M7 -Os | M7 small | MIPS at 48 kHz, M4 -O2 | M4 MHz, est. |"
  echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
  for n in "${q31_names[@]}"; do
    local i=${q31[$n|cortex-m4|O2]} est=-
    if awk -v r="${q31[$n|ratio]}" 'BEGIN { exit !(r <= 1.002) }'; then
      est=$(awk -v i="$i" -v c="$full_band_cpi" 'BEGIN { printf "%.0f", i * c * 48000 / 1e6 }')
    fi
    printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' "${n%|*}" "${n##*|}" \
      "${q31[$n|ratio]}" "${q31[$n|taps]}" "$i" "${q31[$n|cortex-m4|Os]}" \
      "${q31[$n|cortex-m4|O2small]}" "${q31[$n|cortex-m7|O2]}" "${q31[$n|cortex-m7|Os]}" \
      "${q31[$n|cortex-m7|O2small]}" \
      "$(awk -v i="$i" 'BEGIN { printf "%.1f", i * 48000 / 1e6 }')" "$est"
  done
}

if [[ -n $out_file ]]; then
  table | tee "$out_file"
else
  table
fi
