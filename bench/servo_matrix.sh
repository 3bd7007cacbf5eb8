#!/usr/bin/env bash
# The rate controller over the corners it is held to: asrc-bridge-sim at
# every pair of block sizes below (producer/consumer frames), lateness of
# 0, 1 and 2 ms, and offsets of -1000, -100, +100 and +1000 ppm (the
# latency chosen by the servo, the default +-20 ppm wander), one run of
# HOURS each, as many at once as there are cores.  Prints, per block pair
# and lateness, the worst of the four offsets: lock_s, ratio_jitter_ppm
# (rms of 1-s means against the clocks' true ratio) and FIFO under- plus
# overruns over the whole run, each marked "!" where it misses what the
# controller is held to (lock within 5 s, 10 s for 256/1024 blocks;
# jitter below 1 ppm; no under- or overrun).  Nothing here fails: it is a
# measurement, and the runs' own lines are kept in OUT for a second look.
#
#   bench/servo_matrix.sh [BUILD_DIR] [HOURS] [OUT]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
hours=${2:-0.5}
out=${3:-bench-servo-matrix.txt}
sim="$build/asrc-bridge-sim"
[ -x "$sim" ] || { echo "servo_matrix: $sim not built" >&2; exit 2; }

# One run, its settings first: expanded by the inner sh, whose echo keeps a
# run's own status (1 where it never locks) out of xargs'.
# shellcheck disable=SC2016
one='echo "$3 $4 $5 $6 $("$1" --hours "$2" --in-block "$3" --out-block "$4" --jitter-ms "$5" --ppm "$6")"'
for blocks in "16 16" "48 64" "256 1024" "1024 16" "16 1024"; do
  for lateness in 0 1 2; do
    for ppm in -1000 -100 100 1000; do
      echo "$blocks $lateness $ppm"
    done
  done
done | xargs -P "$(nproc)" -L1 sh -c "$one" _ "$sim" "$hours" > "$out.tmp"
sort -n -k1,1 -k2,2 -k3,3 -k4,4 "$out.tmp" > "$out" && rm -f "$out.tmp"

awk -v hours="$hours" '
function field(name,   i, kv) {
  for (i = 5; i <= NF; ++i) { split($i, kv, "="); if (kv[1] == name) return kv[2] }
  return "n/a"
}
{
  key = $1 "/" $2 " " $3
  if (!(key in seen)) { order[++n] = key; seen[key] = 1; lock[key] = 0; jit[key] = 0; xr[key] = 0 }
  l = field("lock_s"); j = field("ratio_jitter_ppm")
  x = field("underruns_total") + field("overruns_total")
  if (l < 0 || l == "n/a") never[key] = 1; else if (l + 0 > lock[key]) lock[key] = l + 0
  if (j != "n/a" && j + 0 > jit[key]) jit[key] = j + 0
  xr[key] += x
  limit[key] = ($1 == 256 && $2 == 1024) ? 10 : 5
}
END {
  printf "%d runs of %s h each; worst of -1000, -100, +100 and +1000 ppm; \"!\" misses the goal\n", NR, hours
  printf "%-10s %-9s %10s %14s %12s\n", "blocks", "lateness", "lock_s", "jitter_ppm", "under+over"
  for (i = 1; i <= n; ++i) {
    k = order[i]; split(k, part, " ")
    ls = (k in never) ? "never" : sprintf("%.1f", lock[k])
    lm = ((k in never) || lock[k] > limit[k]) ? "!" : " "
    jm = jit[k] >= 1 ? "!" : " "
    xm = xr[k] > 0 ? "!" : " "
    printf "%-10s %-9s %9s%s %13.3f%s %11d%s\n", part[1], part[2] " ms", ls, lm, jit[k], jm, xr[k], xm
    bad += (lm == "!") + (jm == "!") + (xm == "!")
    cells += 3
  }
  printf "%d of %d cells miss the goal\n", bad, cells
}' "$out"
