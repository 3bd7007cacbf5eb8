#!/usr/bin/env bash
# The rate controller's corners and limits, one run of HOURS each (the
# table "Corners and limits" of docs/bridge.md is this script's output at
# 1 hour): asrc-bridge-sim at each setting below, as many at once as there
# are cores, printed as that table's Markdown rows in the order below.
# Nothing here fails: a run that never locks (the last) is a row too.
#
#   bench/servo_corners.sh [BUILD_DIR] [HOURS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
hours=${2:-1}
sim="$build/asrc-bridge-sim"
[ -x "$sim" ] || { echo "servo_corners: $sim not built" >&2; exit 2; }

corners=(
  "--ppm -100 --wander 0 --jitter-ms 0 --target-ms 1.3"
  "--ppm -100 --wander 0 --jitter-ms 0"
  "--ppm 100 --wander 0 --jitter-ms 0 --target-ms 1.3"
  "--ppm -200 --step-ppm 500 --step-at 600"
  "--ppm 1000 --step-ppm -1000 --step-at 600 --jitter-ms 2"
  "--ppm 100 --in-block 256 --out-block 1024"
  "--ppm 100 --in-block 256 --out-block 1024 --wander 0"
  "--ppm 100 --usb yes --jitter-ms 0.3"
  "--ppm -873 --wander 35 --jitter-ms 0.8"
  "--ppm 300 --stall-ms 20 --stall-every 10"
  "--ppm -9900 --wander 0"
  "--ppm 1000 --in-block 1024 --out-block 16"
  "--ppm -1000 --in-block 16 --out-block 16 --jitter-ms 2"
  "--ppm 1000 --wander 500"
  "--ppm 1000 --in-block 44 --out-block 441"
  "--ppm 1000 --lose-ms 1 --lose-every 60"
  "--ppm 1000 --lose-ms 2 --lose-every 10"
)

# Each run's line into a file of its own, as many runs at once as there
# are cores; a run that never locks (status 1) still gives its row.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for i in "${!corners[@]}"; do
  # shellcheck disable=SC2086 # the settings are words
  ("$sim" --hours "$hours" ${corners[$i]} > "$tmp/$i" || true) &
  while [ "$(jobs -rp | wc -l)" -ge "$(nproc)" ]; do wait -n; done
done
wait
for i in "${!corners[@]}"; do
  echo "${corners[$i]} | $(cat "$tmp/$i")"
done | awk -F' [|] ' '
function field(name,   i, kv, n, a) {
  n = split($2, a, " ")
  for (i = 1; i <= n; ++i) { split(a[i], kv, "="); if (kv[1] == name) return kv[2] }
  return ""
}
{
  step = field("step_overshoot_ppm"); if (step == "") step = "-"
  printf "| `%s` | %s | %s, %s | %s .. +%s | %d (%d) | %s, %s | %s | %s (%s) | %s (%s) | %s, %s |\n",
    $1, field("target_frames"), field("first_lock_s"), field("lock_s"),
    field("fill_min"), field("fill_max"),
    field("underruns") + field("overruns"), field("underruns_total") + field("overruns_total"),
    field("ratio_jitter_ppm"), field("ratio_wander_ppm"), step,
    field("sinad_db"), field("sinad_min_db"), field("sinad_1s_db"), field("sinad_1s_min_db"),
    field("flutter_peak_ppm"), field("flutter_rms_ppm")
}'
