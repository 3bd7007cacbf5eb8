#!/usr/bin/env bash
# asrc-bridge between two dummy JACK servers (48 kHz into 44.1 kHz, their
# PERIODS default 1024,1024 frames), S seconds without and then with a CPU
# load beside it (one busy loop per core), each run measured by
# rtbridge/tests/real_servers.py
# (lock, mean ratio against the servers' true ratio, ratio jitter, latency,
# FIFO under- and overruns, the servers' own xruns, SINAD of the recording,
# CPU time per second of audio); then asrc-bridge-sim at the nearest
# settings it has (its consumer is fixed at 48 kHz: writes and reads of
# the two periods, timestamps and its own latency as the bridge's, the
# offset the servers showed).  CONVERTER is the bridge's: q31 (the
# 24-bit one, default) or poly.
# Prints one key=value line per run; keeps the logs and recordings in
# OUT (default bench-rtbridge/) and draws OUT/ratio_fill.png from the
# unloaded run.  Timing never fails anything.
#
#   bench/rtbridge_bench.sh [BUILD_DIR] [SECONDS] [OUT] [CONVERTER] [PERIODS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${2:-600}
out=${3:-bench-rtbridge}
converter=${4:-q31}
periods=${5:-1024,1024}
mkdir -p "$out/idle" "$out/loaded"
py=/usr/bin/python3

echo "== asrc-bridge --converter $converter, ${seconds} s, no load beside it"
$py rtbridge/tests/real_servers.py "$build" --seconds "$seconds" --alsa-seconds 0 \
  --converter "$converter" --periods "$periods" --out "$out/idle" --no-check | tee "$out/idle.txt"
echo "== asrc-bridge --converter $converter, ${seconds} s, two busy loops beside it"
$py rtbridge/tests/real_servers.py "$build" --seconds "$seconds" --alsa-seconds 0 --load 2 \
  --converter "$converter" --periods "$periods" --out "$out/loaded" --no-check | tee "$out/loaded.txt"

# The simulator at the nearest settings: the offset the idle run measured,
# timestamps and its own latency, as the bridge runs.
ppm=$(sed -n 's/.* true_ppm=\([-0-9.]*\).*/\1/p' "$out/idle.txt" | head -1)
in_block=${periods%,*}
out_block=${periods#*,}
echo "== asrc-bridge-sim --ppm ${ppm:-0} --in-block $in_block --out-block $out_block --target-ms auto --wander 0"
"$build/asrc-bridge-sim" --ppm "${ppm:-0}" --wander 0 --in-block "$in_block" --out-block "$out_block" \
  --target-ms auto --timestamps yes --hours "$($py -c "print($seconds / 3600)")" | tee "$out/sim.txt"

$py bench/plot_rtbridge.py "$out/idle" "$out/ratio_fill.png"
echo "picture: $out/ratio_fill.png"
