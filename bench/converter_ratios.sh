#!/usr/bin/env bash
# Runs the converter benchmark with interleaved repetitions and prints each
# entry's median time per input sample as a ratio to the bare recurrence
# measured in the same run.  Timing never fails anything.
#
#   bench/converter_ratios.sh [BUILD_DIR] [REPETITIONS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
reps=${2:-9}
if [[ ! -x $build/bench/converter_bench ]]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DASRC_BUILD_BENCH=ON -DASRC_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j2 >/dev/null
json=$(mktemp)
trap 'rm -f "$json"' EXIT
"$build/bench/converter_bench" --benchmark_repetitions="$reps" \
  --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
  --benchmark_min_time=0.2 --benchmark_format=json >"$json" 2>/dev/null
python3 - "$json" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
med = {r["run_name"]: 1e9 / r["items_per_second"] for r in runs if r.get("aggregate_name") == "median"}
bare = med.pop("BM_BareRecurrence")
print(f"{'entry':40} {'ns/sample':>9} {'x bare':>7}")
print(f"{'BM_BareRecurrence':40} {bare:9.2f} {1.0:7.2f}")
for name, ns in sorted(med.items()):
    print(f"{name:40} {ns:9.2f} {ns / bare:7.2f}")
PY
