#!/usr/bin/env bash
# Runs the converter benchmark with interleaved repetitions and prints each
# entry's median time per input sample as a ratio to the bare recurrence
# measured in the same run, then one line with the per-sample and block
# entries of both families at step 163.  Timing never fails anything.
#
#   bench/converter_ratios.sh [BUILD_DIR] [REPETITIONS] [FILTER]
#
# FILTER is a --benchmark_filter regex; the bare recurrence is always run.
# `bench/converter_ratios.sh build 5 summary` runs only what the summary
# line needs (CI does, in about ten seconds).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
reps=${2:-9}
filter=${3:-.}
if [[ $filter == summary ]]; then
  filter='Process(Sample/step:163$|Block/step:163/block:16$)'
fi
if [[ ! -x $build/bench/converter_bench ]]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DASRC_BUILD_BENCH=ON -DASRC_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j2 --target converter_bench >/dev/null
json=$(mktemp)
trap 'rm -f "$json"' EXIT
"$build/bench/converter_bench" --benchmark_filter="BM_BareRecurrence|$filter" \
  --benchmark_repetitions="$reps" --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true --benchmark_min_time=0.2 \
  --benchmark_format=json >"$json" 2>/dev/null
if [[ ${3:-} != summary ]]; then
  python3 bench/bench_ratios.py "$json"
fi
python3 bench/bench_ratios.py "$json" --summary
