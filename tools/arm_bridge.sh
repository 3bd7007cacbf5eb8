#!/usr/bin/env bash
# The bridge (bridge/asrc_fifo.cpp, bridge/asrc_servo.cpp) on Cortex-M
# cores, in two parts:
#
# 1. As a microcontroller project would build it: freestanding, -Os
#    -mthumb, no exceptions or RTTI.  For each core it prints the code size
#    of each entry and of all the code (.text, internal routines included)
#    and the symbols the objects need from outside: these may
#    only be memcpy and memset (the FIFO's copies) and libgcc's integer
#    helpers (__aeabi_*: 64-bit multiply, shifts, and the division in
#    asrc_servo_init).  A floating-point helper, an __atomic_ or __sync_
#    call (a read-modify-write that ARMv6-M cannot do lock-free) or anything
#    of the C++ runtime fails the check.  It also checks that the FIFO's
#    write and read carry the DMB barriers of their release and acquire.
# 2. tools/arm/bridge_check.cpp, which drives the FIFO and the servo's
#    entries (fill-only, its step, timestamped) through a minute of a
#    simulated stream in integer arithmetic, built natively and for each
#    core (newlib's semihosting start-up) and run under qemu-system-arm:
#    every core must print the host's checksum.
# 3. tools/arm/bridge_cycles.cpp, which counts the instructions of each
#    per-block call (mean and most per call) at -O2 and -Os on each core,
#    under qemu's -icount shift=0 on the MPS2 boards (the Cortex-M0+ build
#    on the M3's board: the same ARMv6-M instructions), and prints them as a
#    Markdown table (-o FILE also writes it).
#
#   tools/arm_bridge.sh [-s SEED] [-t SECONDS] [-o FILE] [BUILD_DIR]
#
# Exits 0 when all holds, 1 when not, 2 when a tool is missing or an
# argument is bad.  Needs gcc-arm-none-eabi, libnewlib-arm-none-eabi,
# libstdc++-arm-none-eabi-dev (headers only), qemu-system-arm and a native
# g++.  Cores and boards as in tools/arm_check.sh.
set -euo pipefail
here=$PWD
cd "$(dirname "$0")/.."

seed=1
seconds=60
out_file=
while getopts s:t:o: option; do
  case $option in
    s) seed=$OPTARG ;;
    t) seconds=$OPTARG ;;
    o) out_file=$OPTARG; [[ $out_file == /* ]] || out_file=$here/$out_file ;;
    *) echo "usage: tools/arm_bridge.sh [-s SEED] [-t SECONDS] [-o FILE] [BUILD_DIR]" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
build=${1:-build-arm/bridge}
[[ $seed =~ ^[0-9]+$ && $seconds =~ ^[1-9][0-9]*$ ]] ||
  { echo "arm_bridge: SEED and SECONDS must be decimal numbers, SECONDS above 0" >&2; exit 2; }

missing() { echo "arm_bridge: $1 not found; install the Debian package $2" >&2; exit 2; }
command -v arm-none-eabi-g++ >/dev/null || missing arm-none-eabi-g++ gcc-arm-none-eabi
command -v qemu-system-arm >/dev/null || missing qemu-system-arm qemu-system-arm
command -v g++ >/dev/null || missing g++ g++
[[ -f $(arm-none-eabi-gcc -print-file-name=rdimon.specs) ]] ||
  missing "newlib's rdimon.specs" libnewlib-arm-none-eabi
printf '#include <cstdint>\n#include <atomic>\n' |
  arm-none-eabi-g++ -mthumb -mcpu=cortex-m3 -std=c++20 -x c++ -fsyntax-only - 2>/dev/null ||
  missing "the C++ headers for newlib" libstdc++-arm-none-eabi-dev

targets=("cortex-m0plus microbit --defsym=asrc_code_size=256K,--defsym=asrc_data_size=16K"
  "cortex-m3 mps2-an385"
  "cortex-m4 mps2-an386"
  "cortex-m7 mps2-an500")
sources=(bridge/asrc_fifo.cpp bridge/asrc_servo.cpp)
cxx_flags=(-std=c++20 -fno-exceptions -fno-rtti -Wall -Wextra -Wconversion -Werror -Wno-psabi
  -Ibridge -Iconverter)
mkdir -p "$build"
failed=0

echo "== freestanding at -Os: code bytes per entry, and what the objects need"
entries=(asrc_fifo_init asrc_fifo_write asrc_fifo_write_silence asrc_fifo_read asrc_fifo_read_at
  asrc_fifo_init32 asrc_fifo_write32 asrc_fifo_read32 asrc_fifo_read32_at
  asrc_fifo_discard asrc_fifo_fill asrc_fifo_space asrc_fifo_get_counts asrc_fifo_get_stamp
  asrc_fifo_set_read_period
  asrc_servo_defaults asrc_servo_capacity_needed asrc_servo_init asrc_servo_update
  asrc_servo_update_step asrc_servo_update_at asrc_servo_update_step_at asrc_servo_refill
  asrc_servo_muted asrc_servo_restart asrc_servo_target asrc_servo_capacity_wanted
  asrc_servo_read_period)
declare -A size
needs_of=()
for target in "${targets[@]}"; do
  read -r core _ <<<"$target"
  objects=()
  for src in "${sources[@]}"; do
    obj=$build/$core-$(basename "$src" .cpp).o
    arm-none-eabi-g++ -mcpu="$core" -mthumb -Os -ffreestanding -ffunction-sections \
      "${cxx_flags[@]}" -c "$src" -o "$obj"
    objects+=("$obj")
  done
  while read -r bytes _ _ name; do
    size[$core,$name]=$((10#$bytes))
  done < <(arm-none-eabi-nm --size-sort -S -t d "${objects[@]}" 2>/dev/null | grep -E ' [Tt] ' |
    awk '{print $2, $1, $3, $4}')
  # All the code, internal routines included.
  size[$core,.text]=$(arm-none-eabi-size -t "${objects[@]}" | awk 'END {print $1}')
  # What the objects need from outside: undefined in one and defined in none
  # (the servo calls the FIFO's functions).
  defined=$(arm-none-eabi-nm --defined-only "${objects[@]}" | awk 'NF == 3 {print $3}' | sort -u)
  needs=$(arm-none-eabi-nm -u "${objects[@]}" | awk 'NF == 2 {print $2}' | sort -u |
    comm -23 - <(echo "$defined") | tr '\n' ' ')
  needs_of+=("$core: ${needs% }")
  for n in $needs; do
    case $n in
      memcpy | memset | __aeabi_lmul | __aeabi_llsl | __aeabi_llsr | __aeabi_lasr | \
        __aeabi_uldivmod | __aeabi_ldivmod | __aeabi_uidiv | __aeabi_uidivmod | \
        __aeabi_idiv | __aeabi_idivmod | __aeabi_memcpy* | __aeabi_memset* | __aeabi_memclr*) ;;
      *) echo "arm_bridge: $core: the bridge needs $n" >&2; failed=1 ;;
    esac
  done
  # The positions' acquire loads and release stores are plain accesses
  # with DMB barriers: at least one in the write path's release, one in the
  # read path's release and one after a load (at -Os the acquire load may
  # be one small function that all share); no exclusive access anywhere.
  listing=$(arm-none-eabi-objdump -d "$build/$core-asrc_fifo.o" | awk -F'\t' '{print $3}')
  barriers=$(grep -cx dmb <<<"$listing" || true)
  if ((barriers < 3)) || grep -qxE 'ldrex|strex' <<<"$listing"; then
    echo "arm_bridge: $core: the FIFO has $barriers DMB barriers (3 or more expected)" \
      "or an exclusive access" >&2
    failed=1
  fi
  needs_of[-1]+="; $barriers DMB in the FIFO, no LDREX/STREX"
  # No division in the per-block calls: only set-up code may call a
  # division helper.
  dividers=$(arm-none-eabi-objdump -dr "$build/$core-asrc_servo.o" |
    awk '/^[0-9a-f]+ <.*>:$/ {fn = $2} /R_ARM_THM_(CALL|JUMP24).*__aeabi_.*div/ {print fn}' |
    sort -u | grep -vE 'asrc_servo_(init|defaults|capacity_needed|read_period)>|nearest_shift|shift_for|line_shift' || true)
  if [[ -n $dividers ]]; then
    echo "arm_bridge: $core: a division in $dividers" >&2
    failed=1
  fi
done
printf '| entry | %s |\n|---|%s\n' "$(printf '%s | ' "${targets[@]%% *}" | sed 's/ | $//')" \
  "$(printf -- '---:|%.0s' "${targets[@]}")"
for e in "${entries[@]}" .text; do
  row="| \`$e\`"
  for target in "${targets[@]}"; do
    core=${target%% *}
    row+=" | ${size[$core,$e]:-inline}"
  done
  echo "$row |"
done
printf '%s\n' "${needs_of[@]}"

echo "== the same minute of a stream on the host and on each core"
g++ -O2 "${cxx_flags[@]}" tools/arm/bridge_check.cpp "${sources[@]}" -o "$build/check-host"
want=$("$build/check-host" "$seed" "$seconds")
echo "$want"
for target in "${targets[@]}"; do
  read -r core board sizes <<<"$target"
  elf=$build/check-$core.elf
  flags=(-mcpu="$core" -mthumb -O2 -ffunction-sections -fdata-sections)
  arm-none-eabi-gcc "${flags[@]}" -Wall -Wextra -Werror -c tools/arm/vectors.c -o "$elf.vectors.o"
  arm-none-eabi-g++ "${flags[@]}" "${cxx_flags[@]}" -DASRC_CHECK_TARGET="\"$core on $board\"" \
    -c tools/arm/bridge_check.cpp -o "$elf.check.o"
  objs=("$elf.vectors.o" "$elf.check.o")
  for src in "${sources[@]}"; do
    arm-none-eabi-g++ "${flags[@]}" "${cxx_flags[@]}" -c "$src" -o "$elf.$(basename "$src" .cpp).o"
    objs+=("$elf.$(basename "$src" .cpp).o")
  done
  arm-none-eabi-gcc "${flags[@]}" --specs=rdimon.specs -T tools/arm/cortex-m.ld \
    -Wl,--gc-sections -Wl,-Map="$elf.map" ${sizes:+"-Wl,$sizes"} "${objs[@]}" -o "$elf"
  if grep -E 'lib(std|sup)c\+\+' "$elf.map" >&2; then
    echo "arm_bridge: $elf was linked with the C++ library (above)" >&2
    failed=1
  fi
  status=0
  got=$(timeout 300 qemu-system-arm -M "$board" -nographic -monitor none -serial none \
    -semihosting-config enable=on,target=native,arg=bridge_check,arg="$seed",arg="$seconds" \
    -kernel "$elf" 2>&1) || status=$?
  echo "$got"
  if [[ $status != 0 || ${got/ on $core on $board:/ on host:} != "$want" ]]; then
    echo "arm_bridge: $core differs from the host (exit status $status)" >&2
    failed=1
  fi
done
echo "== instructions per call on each core (qemu -icount shift=0)"
# board for each core's count: the MPS2 boards have the timer; the M0+
# code runs on the M3's.
declare -A count
cores=(cortex-m0plus cortex-m3 cortex-m4 cortex-m7)
declare -A count_board=([cortex-m0plus]=mps2-an385 [cortex-m3]=mps2-an385 [cortex-m4]=mps2-an386
  [cortex-m7]=mps2-an500)
calls=()
for core in "${cores[@]}"; do
  for level in O2 Os; do
    elf=$build/cycles-$core-$level.elf
    flags=(-mcpu="$core" -mthumb -"$level" -ffunction-sections -fdata-sections)
    arm-none-eabi-gcc "${flags[@]}" -Wall -Wextra -Werror -c tools/arm/vectors.c -o "$elf.vectors.o"
    objs=("$elf.vectors.o")
    for src in tools/arm/bridge_cycles.cpp "${sources[@]}"; do
      arm-none-eabi-g++ "${flags[@]}" "${cxx_flags[@]}" -c "$src" -o "$elf.$(basename "$src" .cpp).o"
      objs+=("$elf.$(basename "$src" .cpp).o")
    done
    arm-none-eabi-gcc "${flags[@]}" --specs=rdimon.specs -T tools/arm/cortex-m.ld \
      -Wl,--gc-sections "${objs[@]}" -o "$elf"
    status=0
    got=$(timeout 300 qemu-system-arm -M "${count_board[$core]}" -nographic -monitor none \
      -serial none -icount shift=0 -semihosting-config enable=on,target=native \
      -kernel "$elf" 2>&1) || status=$?
    calibration=$(awk -F'|' '$1 == "calibration" { print $2 }' <<<"$got")
    state=$(awk -F'|' '$1 == "state" { print $2 $3 $4 }' <<<"$got")
    if [[ $status != 0 || $calibration != 40.0000 || $state != 220 ]]; then
      # (the timestamped and the fill-only servo tracking, no gap)
      echo "$got" >&2
      echo "arm_bridge: $core -$level: the count failed (status $status, $calibration" \
        "instructions per tick, modes and gaps $state instead of 2 2 0)" >&2
      failed=1
      continue
    fi
    while IFS='|' read -r kind name _ mean most; do
      [[ $kind == call ]] || continue
      [[ $core == "${cores[0]}" && $level == O2 ]] && calls+=("$name")
      count[$core,$level,$name]="$mean ($most)"
    done <<<"$got"
  done
done
count_table() {
  echo "Instructions per call, mean (most), made by \`tools/arm_bridge.sh\` with"
  echo "$(arm-none-eabi-gcc --version | head -n 1) and qemu"
  echo "$(qemu-system-arm --version | head -n 1 | awk '{ print $4 }') (\`-icount shift=0\`), over"
  echo "10,000 updates and 7,500 reads of a tracking stream (48 frames in, 64 out per"
  echo "millisecond); the most is to the timer's 40 instructions."
  echo
  printf '| call |'
  for core in "${cores[@]}"; do printf ' %s -O2 | -Os |' "${core#cortex-}"; done
  printf '\n|---|'
  for core in "${cores[@]}"; do printf -- '---:|---:|'; done
  printf '\n'
  for name in "${calls[@]}"; do
    printf '| `%s` |' "$name"
    for core in "${cores[@]}"; do
      printf ' %s | %s |' "${count[$core,O2,$name]:-}" "${count[$core,Os,$name]:-}"
    done
    printf '\n'
  done
}
if [[ -n $out_file ]]; then
  count_table | tee "$out_file"
else
  count_table
fi
exit $failed
