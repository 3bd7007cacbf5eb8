#!/usr/bin/env bash
# Times the converter of two revisions side by side in one run: each
# revision's converter/asrc.cpp is compiled with the same compiler and flags
# (Release: -O3 -DNDEBUG, no exceptions or RTTI), both are linked into one
# Google Benchmark program with the bare recurrence, and the repetitions are
# interleaved.  Prints each entry's median time per sample as a multiple of
# the bare recurrence's, before and after.  Timing never fails anything.
#
#   bench/converter_compare.sh BEFORE [AFTER] [REPETITIONS]
#
# BEFORE and AFTER are git revisions; AFTER defaults to the working tree.
# Needs libbenchmark-dev.  Example: bench/converter_compare.sh HEAD~1
set -euo pipefail
cd "$(dirname "$0")/.."
[[ $# -ge 1 ]] || { sed -n '2,12p' "$0" >&2; exit 2; }
before=$1
after=${2:-}
reps=${3:-9}
cxx=${CXX:-c++}
flags=(-std=c++20 -O3 -DNDEBUG -fno-exceptions -fno-rtti)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Fills $work/SIDE with that revision's converter/asrc.cpp and asrc.h.
fetch() {
  local side=$1 rev=$2
  mkdir -p "$work/$side"
  for f in asrc.cpp asrc.h; do
    if [[ -z $rev ]]; then
      cp "converter/$f" "$work/$side/$f"
    else
      git show "$rev:converter/$f" >"$work/$side/$f"
    fi
  done
}

build_side() {
  local side=$1 renames=() e
  for e in asrc_init asrc_process_sample asrc_process_block \
           asrc_state_init asrc_state_process_sample asrc_state_process_block; do
    renames+=("-D$e=${side}_$e")
  done
  local state=()
  grep -q asrc_state_process_block "$work/$side/asrc.h" && state=(-DHAS_STATE)
  "$cxx" "${flags[@]}" -DSIDE="$side" "${renames[@]}" "${state[@]}" -I"$work/$side" \
    -c bench/converter_revision.cpp -o "$work/$side.o"
}

fetch before "$before"
fetch after "$after"
build_side before
build_side after
"$cxx" "${flags[@]}" -Ibench bench/converter_compare.cpp "$work/before.o" "$work/after.o" \
  -lbenchmark -lpthread -o "$work/converter_compare"

echo "before: ${before} ($(git rev-parse --short "$before")), after: ${after:-the working tree}"
"$work/converter_compare" --benchmark_repetitions="$reps" \
  --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
  --benchmark_min_time=0.2 --benchmark_format=json >"$work/report.json" 2>/dev/null
python3 bench/bench_ratios.py "$work/report.json"
