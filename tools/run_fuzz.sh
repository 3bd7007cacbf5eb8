#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, replays the kept regression
# inputs, then fuzzes each target for a fixed time from its seed corpus.
# A finding fails the run; its input is left in BUILD_DIR/findings/ (copy
# it to fuzz/regressions/TARGET/ to keep it as a regression case).
#
#   tools/run_fuzz.sh [SECONDS_PER_TARGET] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
build=${2:-build-fuzz}

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DASRC_FUZZ=ON -DASRC_BUILD_TESTS=OFF \
  -DASRC_WERROR=ON >/dev/null
cmake --build "$build" -j2 >/dev/null
mkdir -p "$build/findings"

for target in converter reader poly q31; do
  exe=$build/fuzz/fuzz_$target
  regressions=(fuzz/regressions/$target/*)
  if [[ -e ${regressions[0]} ]]; then
    echo "fuzz_$target: replaying ${#regressions[@]} regression inputs"
    "$exe" "${regressions[@]}" 2>&1 | tail -1
  fi
  # Work on a copy, so that the run does not grow the seed corpus in the tree.
  corpus=$build/corpus/$target
  mkdir -p "$corpus"
  cp fuzz/corpus/$target/* "$corpus/"
  echo "fuzz_$target: ${seconds}s"
  "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$build/findings/$target-" "$corpus" 2>&1 |
    grep -E '^(stat::number_of_executed_units|==|SUMMARY|Done)|ERROR|deadly' || true
  if compgen -G "$build/findings/$target-*" >/dev/null; then
    echo "fuzz_$target: FINDING kept in $build/findings/"
    # Into the log as well, since a CI machine's files do not outlive it.
    for f in "$build/findings/$target-"*; do
      echo "$f (hex):"
      od -An -tx1 -v "$f" | head -n 200
    done
    exit 1
  fi
done
echo "fuzzing: no findings"
