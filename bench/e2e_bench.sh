#!/usr/bin/env bash
# End-to-end benchmark: the program against a plain stdio transcription
# (one fscanf "%d" per number, one fprintf "%d\n" per sample), side by side
# on the same 10-million-sample TEST24.TXT, runs alternating.  Prints the
# median wall time of each, the ratio, samples per second and the peak
# memory of the program at 1 and 10 million samples, and checks that both
# write byte-identical files.  Timing never fails anything.
#
#   bench/e2e_bench.sh [BUILD_DIR] [RUNS] [OFFSET]
#
# BUILD_DIR must be configured with -DASRC_BUILD_BENCH=ON (default: build-bench,
# configured and built here if missing).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
runs=${2:-7}
offset=${3:-0.01}

if [[ ! -x $build/bench/stdio_baseline ]]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DASRC_BUILD_BENCH=ON -DASRC_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j2 >/dev/null
asrc=$PWD/$build/asrc
base=$PWD/$build/bench/stdio_baseline
gen=$PWD/$build/tools/make_test24

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/big" "$work/small"
# 10,000,000 and 1,000,000 samples of the sweep: 24-bit values, one per line.
"$gen" "$work/big/TEST24.TXT" 208.333334
"$gen" "$work/small/TEST24.TXT" 20.8333334
echo "input: $(wc -l < "$work/big/TEST24.TXT") samples, $(du -m "$work/big/TEST24.TXT" | cut -f1) MB; offset $offset; $runs runs each"

# Seconds of wall time of one run of $1 in $2.
# Each run starts without an output file, so that neither program waits on
# the write-back of the file the run before it left.
run_once() {
  local TIMEFORMAT=%R
  rm -f "$2/TEST24_ASRC.TXT"
  { time (cd "$2" && "$1" "$offset" >/dev/null); } 2>&1
}
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

: >"$work/t_asrc"; : >"$work/t_base"
for ((i = 0; i < runs; i++)); do
  run_once "$base" "$work/big" >>"$work/t_base"
  cp "$work/big/TEST24_ASRC.TXT" "$work/base_output.txt"
  run_once "$asrc" "$work/big" >>"$work/t_asrc"
done
cmp -s "$work/big/TEST24_ASRC.TXT" "$work/base_output.txt" ||
  { echo "OUTPUTS DIFFER"; exit 1; }
echo "outputs: byte-identical ($(wc -l < "$work/base_output.txt") lines)"

t_asrc=$(median <"$work/t_asrc")
t_base=$(median <"$work/t_base")
awk -v a="$t_asrc" -v b="$t_base" 'BEGIN {
  printf "stdio baseline: %.3f s  (%.1f M samples/s)\n", b, 10 / b
  printf "asrc:           %.3f s  (%.1f M samples/s)\n", a, 10 / a
  printf "ratio:          %.1fx\n", b / a }'

# GNU time (package time) reports the peak resident set size.
peak() { (cd "$1" && /usr/bin/time -f "%M" "$asrc" "$offset" 2>&1 >/dev/null | tail -1); }
if [[ -x /usr/bin/time ]]; then
  echo "peak memory (max RSS): $(peak "$work/small") KB at 1M samples, $(peak "$work/big") KB at 10M samples"
else
  echo "peak memory: not measured (install the package time for /usr/bin/time)"
fi
