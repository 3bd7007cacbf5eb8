#!/usr/bin/env bash
# Cross-builds the converter (converter/asrc.cpp) for Cortex-M0+, M3, M4 and
# M7 as a microcontroller project would take it: freestanding, -Os -mthumb,
# no exceptions or RTTI, and linked with no start files and no library at
# all, so that the link fails if the converter needs any symbol from outside
# itself (memset, a division helper, the C++ runtime).  Prints a Markdown
# table of code size per function, section totals, stack use per function
# and sizeof(asrc_state) for each core.
#
#   tools/arm_footprint.sh [-o FILE] [BUILD_DIR]
#
#   -o FILE    also write the table to FILE
#   BUILD_DIR  objects, images and .su files (default build-arm/footprint)
#
# Needs gcc-arm-none-eabi (with binutils-arm-none-eabi).  The converter is
# also linked at -O0 and -O2 to show that no optimisation level needs an
# outside symbol either; those builds are not measured.
set -euo pipefail
here=$PWD
cd "$(dirname "$0")/.."

out_file=
if [[ ${1:-} == -o ]]; then
  [[ -n ${2:-} ]] || { echo "arm_footprint: -o needs a file name" >&2; exit 2; }
  out_file=$2
  [[ $out_file == /* ]] || out_file=$here/$out_file
  shift 2
fi
build=${1:-build-arm/footprint}

for tool in arm-none-eabi-g++ arm-none-eabi-nm arm-none-eabi-size; do
  if ! command -v "$tool" >/dev/null; then
    echo "arm_footprint: $tool not found; install the Debian packages gcc-arm-none-eabi" \
      "and binutils-arm-none-eabi" >&2
    exit 2
  fi
done

cores=(cortex-m0plus cortex-m3 cortex-m4 cortex-m7)
declare -A title=([cortex-m0plus]=Cortex-M0+ [cortex-m3]=Cortex-M3 [cortex-m4]=Cortex-M4
  [cortex-m7]=Cortex-M7)
entries=(asrc_init asrc_process_sample asrc_process_block
  asrc_state_init asrc_state_process_sample asrc_state_process_block)
compile_flags=(-mthumb -ffreestanding -fno-exceptions -fno-rtti -std=c++20
  -ffunction-sections -fdata-sections -Wall -Wextra -Wconversion -Werror -Iconverter)
# Every entry is kept as if a caller used it; the first is also the image's
# entry point.  An unresolved symbol is an error.
link_flags=(-mthumb -nostartfiles -nostdlib -Wl,--gc-sections -Wl,--entry="${entries[0]}"
  -Wl,--unresolved-symbols=report-all -Wl,--fatal-warnings)
for e in "${entries[@]}"; do link_flags+=(-Wl,--undefined="$e"); done

# A symbol's name without its namespace and parameters.
short_name() { sed -e 's/{anonymous}:://; s/(anonymous namespace):://; s/(.*//; s/.* //'; }

declare -A code stack text data bss state_bytes state_size
rows=()
add_row() { local r; for r in "${rows[@]}"; do [[ $r == "$1" ]] && return; done; rows+=("$1"); }
for e in "${entries[@]}"; do add_row "$e"; done

for core in "${cores[@]}"; do
  dir=$build/$core
  mkdir -p "$dir"
  for level in O0 O2; do
    arm-none-eabi-g++ -mcpu="$core" -"$level" "${compile_flags[@]}" \
      -c converter/asrc.cpp -o "$dir/asrc-$level.o"
    arm-none-eabi-g++ -mcpu="$core" "${link_flags[@]}" "$dir/asrc-$level.o" -o "$dir/asrc-$level.elf"
  done
  arm-none-eabi-g++ -mcpu="$core" -Os "${compile_flags[@]}" -fstack-usage -fcallgraph-info=su \
    -c converter/asrc.cpp -o "$dir/asrc.o"
  arm-none-eabi-g++ -mcpu="$core" "${link_flags[@]}" -Wl,-Map="$dir/asrc.map" \
    "$dir/asrc.o" -o "$dir/asrc.elf"
  if [[ -n $(arm-none-eabi-nm -u "$dir/asrc.elf") ]]; then
    echo "arm_footprint: $core image has undefined symbols:" >&2
    arm-none-eabi-nm -u "$dir/asrc.elf" >&2
    exit 1
  fi

  while read -r section size _; do
    case $section in
      .text) text[$core]=$size ;;
      .data) data[$core]=$size ;;
      .bss) bss[$core]=$size ;;
    esac
  done < <(arm-none-eabi-size -A "$dir/asrc.elf")
  : "${text[$core]:=0}" "${data[$core]:=0}" "${bss[$core]:=0}"

  state_bytes[$core]=0
  while read -r _ size type name; do
    name=$(short_name <<<"$name")
    case $type in
      t|T) code[$core|$name]=$((16#$size)); add_row "$name" ;;
      b|B|d|D) state_bytes[$core]=$((state_bytes[$core] + 16#$size)) ;;
    esac
  done < <(arm-none-eabi-nm -S -C --defined-only "$dir/asrc.elf")

  # Own frame from the .su file; the deepest chain through the callees from
  # the call graph (-fcallgraph-info), which names the same functions.
  while IFS=$'\t' read -r where bytes qualifier; do
    name=$(short_name <<<"${where#*:*:*:}")
    stack[$core|$name]=$bytes
    [[ $qualifier == static ]] || stack[$core|$name]+=" ($qualifier)"
  done <"$dir/asrc.su"
  while IFS=$'\t' read -r deepest signature; do
    name=$(short_name <<<"$signature")
    [[ -n ${stack[$core|$name]:-} ]] && stack[$core|$name]+=" / $deepest"
  done < <(awk '
    /^node:/ {
      match($0, /title: "[^"]*"/); t = substr($0, RSTART + 8, RLENGTH - 9)
      match($0, /label: "[^\\]*/); label[t] = substr($0, RSTART + 8, RLENGTH - 8)
      own[t] = match($0, /[0-9]+ bytes/) ? substr($0, RSTART, RLENGTH) + 0 : -1
    }
    /^edge:/ {
      match($0, /sourcename: "[^"]*"/); s = substr($0, RSTART + 13, RLENGTH - 14)
      match($0, /targetname: "[^"]*"/); d = substr($0, RSTART + 13, RLENGTH - 14)
      callees[s] = callees[s] " " d
    }
    # The call graph has no cycles (the converter does not recurse).
    function deepest(t,   n, i, list, best, c) {
      best = 0
      n = split(callees[t], list, " ")
      for (i = 1; i <= n; ++i) { c = deepest(list[i]); if (c > best) best = c }
      return own[t] + best
    }
    END { for (t in own) if (own[t] >= 0) print deepest(t) "\t" label[t] }
  ' "$dir/asrc.ci")

  probe=$dir/state_size.cpp
  printf '%s\n' '#include "asrc.h"' \
    'extern "C" char asrc_state_size[sizeof(asrc_state)];' \
    'char asrc_state_size[sizeof(asrc_state)];' >"$probe"
  arm-none-eabi-g++ -mcpu="$core" -Os "${compile_flags[@]}" -c "$probe" -o "$dir/state_size.o"
  size=$(arm-none-eabi-nm -S "$dir/state_size.o" | awk '$4 == "asrc_state_size" { print $2 }')
  state_size[$core]=$((16#$size))
done

version=$(arm-none-eabi-gcc --version | head -n 1)
is_entry() { local e; for e in "${entries[@]}"; do [[ $e == "$1" ]] && return 0; done; return 1; }
row() { # LABEL KEY-ARRAY [SUFFIX-KEY]: one line with a cell per core
  local label=$1 cells core
  local -n values=$2
  cells="| $label |"
  for core in "${cores[@]}"; do cells+=" ${values[$core${3:-}]:-inlined} |"; done
  echo "$cells"
}
header() {
  local cells="| $1 |" core
  for core in "${cores[@]}"; do cells+=" ${title[$core]} |"; done
  echo "$cells"
  cells="|---|"; for core in "${cores[@]}"; do cells+="---:|"; done; echo "$cells"
}
table() {
  local r label core
  local -A total bss_cell
  for core in "${cores[@]}"; do
    total[$core]="**$((text[$core] + data[$core] + bss[$core]))**"
    bss_cell[$core]="${bss[$core]} (${state_bytes[$core]})"
  done
  echo "Bytes, made by \`tools/arm_footprint.sh\` with $version"
  echo "at \`-Os -mthumb\`."
  echo
  header "code"
  for r in "${rows[@]}"; do
    label="\`$r\`"; is_entry "$r" || label+=" (internal)"
    row "$label" code "|$r"
  done
  row ".text" text
  row ".data" data
  row ".bss (module-scope state)" bss_cell
  row "**total**" total
  row "\`sizeof(asrc_state)\`" state_size
  echo
  header "stack: own frame / deepest call chain"
  for r in "${rows[@]}"; do
    label="\`$r\`"; is_entry "$r" || label+=" (internal)"
    row "$label" stack "|$r"
  done
  echo
  echo "The own frame is GCC's \`-fstack-usage\`; the deepest chain adds the frames of"
  echo "the functions called (\`-fcallgraph-info=su\`), counting a tail call as a call,"
  echo "so it is an upper bound."
}

if [[ -n $out_file ]]; then
  table | tee "$out_file"
else
  table
fi
