#!/usr/bin/env bash
# asrc-audio against a plain libsndfile copy (bench/sndfile_copy: read as
# integers, write as many 16-bit frames, nothing else), side by side on the
# same 24-bit stereo 48 kHz WAV, runs alternating; and the polyphase
# converter's --to 48000 on a 24-bit stereo 44.1 kHz WAV of the same length
# against the copy of that file.  Prints the median wall
# time of each, their ratio, and the median CPU time (user + system) of
# each, since asrc-audio converts on a second thread.  Timing never fails
# anything.
#
#   bench/audio_bench.sh [BUILD_DIR] [RUNS] [SECONDS] [OFFSET]
#
# BUILD_DIR must be configured with -DASRC_BUILD_BENCH=ON (default:
# build-bench, configured and built here if missing); SECONDS of audio
# (default 600, a 10-minute file of 173 MB).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
runs=${2:-9}
seconds=${3:-600}
offset=${4:-0.01}

if [[ ! -x $build/bench/sndfile_copy ]]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DASRC_BUILD_BENCH=ON -DASRC_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j2 >/dev/null
audio=$PWD/$build/asrc-audio
copy=$PWD/$build/bench/sndfile_copy

work=$(mktemp -d "${AUDIO_BENCH_DIR:-${TMPDIR:-/tmp}}/audio_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$build/bench/make_sweep_wav" "$work/in.wav" "$seconds" 2
"$build/bench/make_sweep_wav" "$work/in44.wav" "$seconds" 2 44100
echo "input: $seconds s of 24-bit stereo at 48 kHz, $(du -m "$work/in.wav" | cut -f1) MB; offset $offset; $runs runs each"
echo "       and at 44.1 kHz, $(du -m "$work/in44.wav" | cut -f1) MB, converted with --to 48000"

# "wall user+system" seconds of one run.  Each run starts without an output
# file, so that neither program pays for removing the one before.
run_once() {
  local TIMEFORMAT='%R %U %S'
  rm -f "$work/out.wav"
  { time "$@" >/dev/null 2>&1; } 2>&1 | awk '{ printf "%s %.3f\n", $1, $2 + $3 }'
}
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

: >"$work/t_audio"; : >"$work/t_copy"; : >"$work/t_to"; : >"$work/t_copy44"
for ((i = 0; i < runs; i++)); do
  run_once "$copy" "$work/in.wav" "$work/out.wav" >>"$work/t_copy"
  run_once "$audio" -q "$offset" "$work/in.wav" "$work/out.wav" >>"$work/t_audio"
  run_once "$copy" "$work/in44.wav" "$work/out.wav" >>"$work/t_copy44"
  run_once "$audio" -q --to 48000 "$work/in44.wav" "$work/out.wav" >>"$work/t_to"
done
"$audio" "$offset" "$work/in.wav" "$work/out.wav"
"$audio" --to 48000 "$work/in44.wav" "$work/out.wav"

wall_audio=$(cut -d' ' -f1 "$work/t_audio" | median)
wall_copy=$(cut -d' ' -f1 "$work/t_copy" | median)
cpu_audio=$(cut -d' ' -f2 "$work/t_audio" | median)
cpu_copy=$(cut -d' ' -f2 "$work/t_copy" | median)
echo "wall times, asrc-audio: $(cut -d' ' -f1 "$work/t_audio" | sort -g | tr '\n' ' ')"
echo "wall times, copy:       $(cut -d' ' -f1 "$work/t_copy" | sort -g | tr '\n' ' ')"
awk -v a="$wall_audio" -v c="$wall_copy" -v ua="$cpu_audio" -v uc="$cpu_copy" 'BEGIN {
  printf "libsndfile copy: %.3f s wall, %.3f s CPU\n", c, uc
  printf "asrc-audio:      %.3f s wall, %.3f s CPU\n", a, ua
  printf "ratio:           %.2fx wall, %.2fx CPU\n", a / c, ua / uc }'
awk -v a="$(cut -d' ' -f1 "$work/t_to" | median)" -v c="$(cut -d' ' -f1 "$work/t_copy44" | median)" \
    -v ua="$(cut -d' ' -f2 "$work/t_to" | median)" -v uc="$(cut -d' ' -f2 "$work/t_copy44" | median)" 'BEGIN {
  printf "44.1 kHz copy:   %.3f s wall, %.3f s CPU\n", c, uc
  printf "--to 48000:      %.3f s wall, %.3f s CPU\n", a, ua
  printf "ratio:           %.2fx wall, %.2fx CPU\n", a / c, ua / uc }'
