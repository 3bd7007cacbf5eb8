#!/usr/bin/env bash
# Runs the 24-bit converter against soxr HQ and VHQ and the bare arithmetic
# of its filter (q31_bench) at every ratio its quality is promised at, for
# one and two channels, at 32 and at 16 bits, and prints the Markdown
# tables: ns per input sample per channel and our time as a multiple of
# soxr HQ's (below 1.00x: faster).  Timing never fails anything.
#
#   bench/q31_ratios.sh [BUILD_DIR] [REPETITIONS] [quick]
#
# With REPETITIONS > 1 the benchmarks run interleaved in random order and
# the tables hold medians; "quick" (CI) converts 16384 frames per pass and
# times each setting for 0.02 s, about 20 s in all, where the default is
# 65536 frames and 0.2 s.  Needs libbenchmark-dev and libsoxr-dev (without
# soxr the converter's figures are printed alone).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
reps=${2:-3}
mode=${3:-full}
if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DASRC_BUILD_BENCH=ON -DASRC_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j2 --target q31_bench >/dev/null
frames=65536
min_time=0.2
if [[ $mode == quick ]]; then
  frames=16384
  min_time=0.02
fi
echo "q31_bench: $reps repetition(s), medians; $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')"
"$build/bench/q31_bench" --summary_only --frames="$frames" \
  --benchmark_repetitions="$reps" --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true --benchmark_min_time="$min_time"
