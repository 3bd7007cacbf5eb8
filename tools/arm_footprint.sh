#!/usr/bin/env bash
# Cross-builds both converter families for Cortex-M0+, M3, M4 and M7 as a
# microcontroller project would take them: freestanding, -Os -mthumb, no
# exceptions or RTTI, and linked with no start files and no library at all,
# so that the link fails if a converter needs any symbol from outside itself
# (memset, a division helper, the C++ runtime).  Prints Markdown tables, one
# pair per family: code size per function, section totals and the size of a
# converter's state; stack use per function.
#
#   tools/arm_footprint.sh [-o FILE] [BUILD_DIR]
#
#   -o FILE    also write the tables to FILE
#   BUILD_DIR  objects, images and .su files (default build-arm/footprint)
#
# The families are linked apart (converter/asrc.cpp; converter/asrc_poly.cpp
# with poly_x86.cpp, which is empty off x86-64), each with its own entries
# kept, so that each table is what a project taking that family alone pays.
# One exception to "no library": the polyphase converter on Cortex-M0+,
# whose ARMv6-M has neither a 32 x 32 -> 64-bit multiply nor a divide, calls
# libgcc's __aeabi_lmul and __aeabi_idiv for its 64-bit sums and tap
# bounds; that image alone is linked with libgcc (and nothing else), and
# the table shows the helpers' bytes and stack.  On M3, M4 and M7 it needs
# nothing, as the first family needs nothing anywhere.  The 24-bit
# converter (converter/asrc_q31.cpp) today calls libgcc's __aeabi_uldivmod
# (64-bit divisions) on every core, __aeabi_lmul and __aeabi_idivmod on the
# M0+ as well, and the C library's memset (which GCC emits for a zeroed
# array): its images are linked with libgcc and the C library, and the
# table shows what they bring.
#
# Needs gcc-arm-none-eabi (with binutils-arm-none-eabi).  Each family is
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

for tool in arm-none-eabi-g++ arm-none-eabi-nm arm-none-eabi-size arm-none-eabi-objdump; do
  if ! command -v "$tool" >/dev/null; then
    echo "arm_footprint: $tool not found; install the Debian packages gcc-arm-none-eabi" \
      "and binutils-arm-none-eabi" >&2
    exit 2
  fi
done

cores=(cortex-m0plus cortex-m3 cortex-m4 cortex-m7)
declare -A title=([cortex-m0plus]=Cortex-M0+ [cortex-m3]=Cortex-M3 [cortex-m4]=Cortex-M4
  [cortex-m7]=Cortex-M7)
families=(asrc asrc_poly asrc_q31 asrc_q31_small)
declare -A sources=([asrc]="converter/asrc.cpp"
  [asrc_poly]="converter/asrc_poly.cpp converter/poly_x86.cpp"
  [asrc_q31]="converter/asrc_q31.cpp $(echo converter/q31_*.cpp)"
  [asrc_q31_small]="converter/asrc_q31.cpp $(echo converter/q31_*.cpp)")
# asrc_q31_small: the 24-bit converter without the table's piece-by-piece
# copy (-DASRC_Q31_SMALL), as a microcontroller project takes it.
declare -A defines=([asrc_q31_small]=-DASRC_Q31_SMALL)
entries_asrc=(asrc_init asrc_process_sample asrc_process_block
  asrc_state_init asrc_state_process_sample asrc_state_process_block)
entries_asrc_poly=(asrc_poly_ratio asrc_poly_init asrc_poly_set_ratio asrc_poly_process_block
  asrc_poly_process_block_rows asrc_poly_rows_init
  asrc_poly_input_held)
entries_asrc_q31=(asrc_q31_ratio asrc_q31_delay asrc_q31_memory_words asrc_q31_init
  asrc_q31_set_ratio asrc_q31_process_block asrc_q31_max_output asrc_q31_input_held)
entries_asrc_q31_small=("${entries_asrc_q31[@]}")
declare -A header=([asrc]=asrc.h [asrc_poly]=asrc_poly.h [asrc_q31]=asrc_q31.h
  [asrc_q31_small]=asrc_q31.h)
declare -A state_type=([asrc]=asrc_state [asrc_poly]=asrc_poly_state [asrc_q31]=asrc_q31_state
  [asrc_q31_small]=asrc_q31_state)
# The images allowed a library (see above): libgcc's arithmetic helpers,
# and for the 24-bit converter the C library's memset as well.
declare -A libgcc=([asrc_poly|cortex-m0plus]=1) libc=()
for core in cortex-m0plus cortex-m3 cortex-m4 cortex-m7; do
  for family in asrc_q31 asrc_q31_small; do
    libgcc[$family|$core]=1
    libc[$family|$core]=1
  done
done
# A library's archive member in a link map.
library_member='lib(gcc|c|c_nano)\.a\('
declare -A from_library # function name -> "libgcc" or "C library"

compile_flags=(-mthumb -ffreestanding -fno-exceptions -fno-rtti -std=c++20
  -ffunction-sections -fdata-sections -Wall -Wextra -Wconversion -Werror -Iconverter)
# Every entry is kept as if a caller used it; the first is also the image's
# entry point.  An unresolved symbol is an error.
link_flags=(-mthumb -nostartfiles -nostdlib -Wl,--gc-sections
  -Wl,--unresolved-symbols=report-all -Wl,--fatal-warnings)

# A symbol's name without its namespace and parameters.
short_name() {
  sed -e 's/{anonymous}:://; s/(anonymous namespace):://; s/(.*//; s/.* //; s/[A-Za-z0-9_]*:://g'
}

# The stack a library helper may use: every push, `stmdb sp!`, store with
# a pre-decremented sp and `sub sp` in its code (from its address to the
# next symbol's) added up, plus the most that the library functions it
# calls or branches to may use (an upper bound).  The helper must come from libgcc or the
# C library.
helper_stack() { # ELF MAP NAME
  local start stop own callee deepest=0 each
  grep -Eq "$library_member" <(awk -v name="$3" '/^ \.text/ { section = $0 } $2 == name { print section }' "$2") ||
    { echo "arm_footprint: $3 is from neither libgcc nor the C library" >&2; exit 1; }
  read -r start stop < <(arm-none-eabi-nm -n "$1" | awk -v name="$3" '
    found && $1 != at { print "0x" at, "0x" $1; exit } $3 == name { found = 1; at = $1 }')
  [[ -n $start ]] || { echo "arm_footprint: $3 not found in $1" >&2; exit 1; }
  read -r own < <(arm-none-eabi-objdump -d --start-address=$((start)) --stop-address=$((stop)) "$1" |
    awk '
    /\t(push(\.w)?\t|stmdb(\.w)?\tsp!, )\{/ { n = split($0, r, ","); bytes += 4 * (n - (/stmdb/ ? 1 : 0)) }
    /\[sp, #-[0-9]+\]!/ { match($0, /#-[0-9]+/); bytes += substr($0, RSTART + 2, RLENGTH - 2) }
    /\tsub(\.w)?\tsp, #/ { match($0, /#[0-9]+/); bytes += substr($0, RSTART + 1, RLENGTH - 1) }
    END { print bytes + 0 }')
  for callee in $(arm-none-eabi-objdump -d --start-address=$((start)) --stop-address=$((stop)) "$1" |
    awk '/\t(blx?|b(\.[nw])?)\t/ && match($0, /<[^>+]*>/) { print substr($0, RSTART + 1, RLENGTH - 2) }' |
    sort -u); do
    [[ $callee == "$3" ]] && continue
    each=$(helper_stack "$1" "$2" "$callee")
    ((each > deepest)) && deepest=$each
  done
  echo $((own + deepest))
}

declare -A code stack text rodata data bss state_bytes state_size helpers helper_bytes history_bytes
declare -A rows_of
add_row() { # FAMILY NAME
  local r
  for r in ${rows_of[$1]:-}; do [[ $r == "$2" ]] && return; done
  rows_of[$1]+=" $2"
}

measure() { # FAMILY CORE
  local family=$1 core=$2 dir=$build/$2/$1 level src objects e section size type name
  local -a flags
  local -n entries=entries_$family
  for e in "${entries[@]}"; do add_row "$family" "$e"; done
  flags=("${link_flags[@]}" -Wl,--entry="${entries[0]}")
  for e in "${entries[@]}"; do flags+=(-Wl,--undefined="$e"); done
  local lib=()
  [[ -n ${libc[$family|$core]:-} ]] && lib=(-lc)
  [[ -n ${libgcc[$family|$core]:-} ]] && lib+=(-lgcc)
  mkdir -p "$dir"
  for level in O0 O2 Os; do
    objects=()
    for src in ${sources[$family]}; do
      name=$(basename "$src" .cpp)
      local extra=()
      [[ $level == Os ]] && extra=(-fstack-usage -fcallgraph-info=su)
      arm-none-eabi-g++ -mcpu="$core" -"$level" "${compile_flags[@]}" "${extra[@]}" \
        ${defines[$family]:-} \
        -c "$src" -o "$dir/$name-$level.o"
      objects+=("$dir/$name-$level.o")
    done
    arm-none-eabi-g++ -mcpu="$core" "${flags[@]}" -Wl,-Map="$dir/$family-$level.map" \
      "${objects[@]}" "${lib[@]}" -o "$dir/$family-$level.elf"
  done
  local elf=$dir/$family-Os.elf
  if [[ -n $(arm-none-eabi-nm -u "$elf") ]]; then
    echo "arm_footprint: $core image of $family has undefined symbols:" >&2
    arm-none-eabi-nm -u "$elf" >&2
    exit 1
  fi

  local key="$family|$core"
  while read -r section size _; do
    case $section in
      .text) text[$key]=$size ;;
      .rodata) rodata[$key]=$size ;;
      .data) data[$key]=$size ;;
      .bss) bss[$key]=$size ;;
    esac
  done < <(arm-none-eabi-size -A "$elf")
  : "${text[$key]:=0}" "${rodata[$key]:=0}" "${data[$key]:=0}" "${bss[$key]:=0}"

  # What the converter's objects call from outside themselves (only libgcc
  # can have resolved it), and the bytes of libgcc's code in the image.
  helpers[$key]=$(arm-none-eabi-nm -u "$dir"/*-Os.o | awk '$1 == "U" { print $2 }' | sort -u |
    tr '\n' ' ')
  helper_bytes[$key]=0
  while read -r size; do
    helper_bytes[$key]=$((helper_bytes[$key] + size))
  done < <(awk -v member="$library_member" '/^ \.text[. ]/ && $0 ~ member { print $3 }' \
    "$dir/$family-Os.map")
  for name in ${helpers[$key]}; do
    if grep -Eq "^ \.text[. ].*libgcc\.a\(" <(awk -v name="$name" '
      /^ \.text/ { section = $0 } $2 == name { print section }' "$dir/$family-Os.map"); then
      from_library[$name]=libgcc
    else
      from_library[$name]="C library"
    fi
  done

  state_bytes[$key]=0
  while read -r _ size type name; do
    name=$(short_name <<<"$name")
    [[ -z $name || $name == __* || -n ${from_library[$name]:-} ]] && continue # counted apart
    case $type in
      t|T) code[$key|$name]=$((16#$size)); add_row "$family" "$name" ;;
      b|B|d|D) state_bytes[$key]=$((state_bytes[$key] + 16#$size)) ;;
    esac
  done < <(arm-none-eabi-nm -S -C --defined-only "$elf")

  # Own frame from the .su files; the deepest chain through the callees
  # from the call graph (-fcallgraph-info), which names the same functions
  # and, as nodes without a frame, the libgcc helpers.
  cat "$dir"/*-Os.su >"$dir/$family.su"
  while IFS=$'\t' read -r where bytes qualifier; do
    name=$(short_name <<<"${where#*:*:*:}")
    [[ -n $name ]] || continue
    stack[$key|$name]=$bytes
    [[ $qualifier == static ]] || stack[$key|$name]+=" ($qualifier)"
  done <"$dir/$family.su"
  local helper_frames=
  for name in ${helpers[$key]}; do
    size=$(helper_stack "$elf" "$dir/$family-Os.map" "$name")
    helper_frames+=" $name $size"
    stack[$key|$name]=$size
    add_row "$family" "$name"
  done
  cat "$dir"/*-Os.ci | awk -v helper_frames="$helper_frames" '
    BEGIN { n = split(helper_frames, f, " "); for (i = 1; i < n; i += 2) helper[f[i]] = f[i + 1] }
    /^node:/ {
      match($0, /title: "[^"]*"/); t = substr($0, RSTART + 8, RLENGTH - 9)
      match($0, /label: "[^\\]*/); label[t] = substr($0, RSTART + 8, RLENGTH - 8)
      own[t] = match($0, /[0-9]+ bytes/) ? substr($0, RSTART, RLENGTH) + 0 \
             : t in helper ? helper[t] : -1
    }
    /^edge:/ {
      match($0, /sourcename: "[^"]*"/); s = substr($0, RSTART + 13, RLENGTH - 14)
      match($0, /targetname: "[^"]*"/); d = substr($0, RSTART + 13, RLENGTH - 14)
      callees[s] = callees[s] " " d
    }
    # The call graph has no cycles (the converters do not recurse).
    function deepest(t,   n, i, list, best, c) {
      if (own[t] < 0) { print "arm_footprint: no frame for " t > "/dev/stderr"; exit 1 }
      best = 0
      n = split(callees[t], list, " ")
      for (i = 1; i <= n; ++i) { c = deepest(list[i]); if (c > best) best = c }
      return own[t] + best
    }
    END { for (t in own) if (own[t] >= 0) print deepest(t) "\t" label[t] }
  ' >"$dir/$family.deepest"
  while IFS=$'\t' read -r deepest signature; do
    name=$(short_name <<<"$signature")
    [[ -n $name && -n ${stack[$key|$name]:-} ]] && stack[$key|$name]+=" / $deepest"
  done <"$dir/$family.deepest"

  local probe=$dir/${state_type[$family]}_size.cpp
  printf '%s\n' "#include \"${header[$family]}\"" \
    "extern \"C\" char state_size[sizeof(${state_type[$family]})];" \
    "char state_size[sizeof(${state_type[$family]})];" >"$probe"
  arm-none-eabi-g++ -mcpu="$core" -Os "${compile_flags[@]}" -c "$probe" -o "$probe.o"
  size=$(arm-none-eabi-nm -S "$probe.o" | awk '$4 == "state_size" { print $2 }')
  state_size[$key]=$((16#$size))
  # The 24-bit converter's history, in the caller's RAM: one channel's
  # ASRC_Q31_MEMORY_WORDS for ratios up to 1, 2 and 25.
  if [[ $family == asrc_q31* ]]; then
    local r
    for r in 1 2 25; do
      printf '%s\n' "#include \"asrc_q31.h\"" \
        "extern \"C\" char history[ASRC_Q31_MEMORY_WORDS(1, $r) * sizeof(int32_t)];" \
        "char history[ASRC_Q31_MEMORY_WORDS(1, $r) * sizeof(int32_t)];" >"$probe"
      arm-none-eabi-g++ -mcpu="$core" -Os "${compile_flags[@]}" -c "$probe" -o "$probe.o"
      size=$(arm-none-eabi-nm -S "$probe.o" | awk '$4 == "history" { print $2 }')
      history_bytes[$key|$r]=$((16#$size))
    done
  fi
}

for core in "${cores[@]}"; do
  for family in "${families[@]}"; do
    measure "$family" "$core"
  done
  # Outside symbols only where allowed: the images without libgcc have none.
  for family in "${families[@]}"; do
    if [[ -z ${libgcc[$family|$core]:-} && -n ${helpers[$family|$core]// /} ]]; then
      echo "arm_footprint: $family on $core calls ${helpers[$family|$core]}" >&2
      exit 1
    fi
  done
done

version=$(arm-none-eabi-gcc --version | head -n 1)
is_entry() {
  local -n list=entries_$1
  local e
  for e in "${list[@]}"; do [[ $e == "$2" ]] && return 0; done
  return 1
}
is_helper() { [[ $1 == __* || -n ${from_library[$1]:-} ]]; }
row() { # LABEL KEY-ARRAY FAMILY [SUFFIX-KEY [MISSING]]: one line with a cell per core
  local label=$1 family=$3 cells core
  local -n values=$2
  cells="| $label |"
  for core in "${cores[@]}"; do cells+=" ${values[$family|$core${4:-}]:-${5:-inlined}} |"; done
  echo "$cells"
}
header() {
  local cells="| $1 |" core
  for core in "${cores[@]}"; do cells+=" ${title[$core]} |"; done
  echo "$cells"
  cells="|---|"; for core in "${cores[@]}"; do cells+="---:|"; done; echo "$cells"
}
label_of() { # FAMILY NAME
  if is_entry "$1" "$2"; then
    echo "\`$2\`"
  elif is_helper "$2"; then
    echo "\`$2\` (${from_library[$2]:-libgcc})"
  else
    echo "\`$2\` (internal)"
  fi
}
family_tables() { # FAMILY
  local family=$1 r core missing
  local -A total bss_cell gcc_cell
  for core in "${cores[@]}"; do
    local key="$family|$core"
    total[$key]="**$((text[$key] + rodata[$key] + data[$key] + bss[$key]))**"
    bss_cell[$key]="${bss[$key]} (${state_bytes[$key]})"
    gcc_cell[$key]=${helper_bytes[$key]}
  done
  header "code"
  for r in ${rows_of[$family]}; do
    is_helper "$r" && continue
    row "$(label_of "$family" "$r")" code "$family" "|$r"
  done
  for core in "${cores[@]}"; do
    if [[ -n ${libgcc[$family|$core]:-} ]]; then
      row "library helpers (their stack below)" gcc_cell "$family"
      break
    fi
  done
  row ".text" text "$family"
  row ".rodata$([[ $family != asrc ]] && echo ' (coefficient table)')" rodata "$family"
  row ".data" data "$family"
  row ".bss (module-scope state)" bss_cell "$family"
  row "**total**" total "$family"
  row "\`sizeof(${state_type[$family]})\`$([[ $family == asrc_poly ]] && echo ' (one channel)')" \
    state_size "$family"
  if [[ $family == asrc_q31 ]]; then
    local r
    for r in 1 2 25; do
      row "history per channel, ratios to $r (\`ASRC_Q31_MEMORY_WORDS(1, $r)\` words)" \
        history_bytes "$family" "|$r"
    done
  fi
  echo
  header "stack: own frame / deepest call chain"
  for r in ${rows_of[$family]}; do
    missing=inlined; is_helper "$r" && missing="-"
    row "$(label_of "$family" "$r")" stack "$family" "|$r" "$missing"
  done
}
small_table() { # FAMILY: the totals only
  local family=$1 core
  local -A total
  for core in "${cores[@]}"; do
    total[$family|$core]="**$((text[$family|$core] + rodata[$family|$core] + data[$family|$core] +
      bss[$family|$core]))**"
  done
  header "bytes"
  row ".text (with the library helpers)" text "$family"
  row ".rodata (coefficient table)" rodata "$family"
  row "**total**" total "$family"
}
table() {
  echo "Bytes, made by \`tools/arm_footprint.sh\` with $version"
  echo "at \`-Os -mthumb\`."
  echo
  echo "\`asrc.h\`:"
  echo
  family_tables asrc
  echo
  echo "\`asrc_poly.h\`:"
  echo
  family_tables asrc_poly
  echo
  echo "\`asrc_q31.h\`:"
  echo
  family_tables asrc_q31
  echo
  echo "\`asrc_q31.h\` built with \`-DASRC_Q31_SMALL\` (without the table's piece-by-piece"
  echo "copy, which speeds up the stretched filter; the same results):"
  echo
  small_table asrc_q31_small
  echo
  echo "The own frame is GCC's \`-fstack-usage\`; the deepest chain adds the frames of"
  echo "the functions called (\`-fcallgraph-info=su\`), counting a tail call as a call,"
  echo "so it is an upper bound. A library helper's frame is every push and stack"
  echo "adjustment in its code added up, with the frames of the library functions"
  echo "it calls."
}

if [[ -n $out_file ]]; then
  table | tee "$out_file"
else
  table
fi
