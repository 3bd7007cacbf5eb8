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
# 2. tools/arm/bridge_check.cpp, which drives the FIFO and both servo
#    entries through a minute of a simulated stream in integer arithmetic,
#    built natively and for each core (newlib's semihosting start-up) and
#    run under qemu-system-arm: every core must print the host's checksum.
#
#   tools/arm_bridge.sh [-s SEED] [-t SECONDS] [BUILD_DIR]
#
# Exits 0 when all holds, 1 when not, 2 when a tool is missing or an
# argument is bad.  Needs gcc-arm-none-eabi, libnewlib-arm-none-eabi,
# libstdc++-arm-none-eabi-dev (headers only), qemu-system-arm and a native
# g++.  Cores and boards as in tools/arm_check.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

seed=1
seconds=60
while getopts s:t: option; do
  case $option in
    s) seed=$OPTARG ;;
    t) seconds=$OPTARG ;;
    *) echo "usage: tools/arm_bridge.sh [-s SEED] [-t SECONDS] [BUILD_DIR]" >&2; exit 2 ;;
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
entries=(asrc_fifo_init asrc_fifo_write asrc_fifo_write_silence asrc_fifo_read asrc_fifo_discard
  asrc_fifo_fill asrc_fifo_space asrc_fifo_get_counts asrc_servo_defaults asrc_servo_init
  asrc_servo_update asrc_servo_update_step asrc_servo_refill asrc_servo_muted
  asrc_servo_restart)
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
  needs=$(arm-none-eabi-nm -u "${objects[@]}" | awk 'NF == 2 {print $2}' | sort -u | tr '\n' ' ')
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
exit $failed
