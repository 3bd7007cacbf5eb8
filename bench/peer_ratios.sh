#!/usr/bin/env bash
# Runs the polyphase converter against the field's resamplers (poly_bench)
# with interleaved repetitions and prints its Markdown tables: the median
# ns per input sample of each setting at each ratio, as a multiple of
# asrc-poly's time in the same run, and the SINAD each reaches.  Timing
# never fails anything.
#
#   bench/peer_ratios.sh [BUILD_DIR] [REPETITIONS] [BLOCK]
#
# Needs libbenchmark-dev and, for the peers, libsamplerate0-dev,
# libspeexdsp-dev, libsoxr-dev and libzita-resampler-dev (a missing one is
# named and left out).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
reps=${2:-5}
block=${3:-1024}
if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DASRC_BUILD_BENCH=ON -DASRC_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j2 --target poly_bench >/dev/null
echo "poly_bench: $reps interleaved repetitions, medians; $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')"
"$build/bench/poly_bench" --summary_only --peer_block="$block" \
  --benchmark_repetitions="$reps" --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true --benchmark_min_time=0.2
