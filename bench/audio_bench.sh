#!/usr/bin/env bash
# asrc-audio on a recording engineer's job, side by side in one run: a
# 24-bit stereo 44.1 kHz WAV of sine sweeps converted to 48 kHz, 24-bit out,
# against a plain libsndfile copy of that file writing 24 bits
# (bench/sndfile_copy) and against `sox IN -r 48000 OUT` (its default
# rate effect, 24-bit out with its dither); runs alternate, and the median
# wall and CPU (user + system) times are printed with their ratios.  Then
# the quality of both converters on 10 s tones: the SINAD of a -1 dBFS
# 997 Hz tone, and the level of everything but the tone (noise floor) with
# a -120 dBFS one.  Last, a batch of 8 such files (--out-dir) against 8
# runs one after the other.  Timing never fails anything.
#
#   bench/audio_bench.sh [BUILD_DIR] [RUNS] [SECONDS]
#
# BUILD_DIR must be configured with -DASRC_BUILD_BENCH=ON (default:
# build-bench, configured and built here if missing); SECONDS of audio
# (default 600: a 10-minute file of 152 MB).  Needs sox (Debian: sox).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
runs=${2:-5}
seconds=${3:-600}

if [[ ! -x $build/bench/sndfile_copy || ! -x $build/bench/tone_wav ]]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DASRC_BUILD_BENCH=ON -DASRC_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j2 >/dev/null
audio=$PWD/$build/asrc-audio
copy=$PWD/$build/bench/sndfile_copy
tone=$PWD/$build/bench/tone_wav
command -v sox >/dev/null || { echo "sox is not installed (Debian: sox)"; exit 1; }

work=$(mktemp -d "${AUDIO_BENCH_DIR:-${TMPDIR:-/tmp}}/audio_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$build/bench/make_sweep_wav" "$work/in.wav" "$seconds" 2 44100
echo "machine: $(nproc) cores; $("$audio" --version | head -1); $(sox --version | sed 's/.*SoX/SoX/')"
echo "input: $seconds s of 24-bit stereo at 44.1 kHz, $(du -m "$work/in.wav" | cut -f1) MB, to 48 kHz 24-bit; $runs runs each"

# "wall user+system" seconds of one run.  Each run starts without an output
# file, so that none pays for removing the one before.
run_once() {
  local TIMEFORMAT='%R %U %S'
  rm -rf "$work/out.wav" "$work/out"
  { time "$@" >/dev/null 2>&1; } 2>&1 | awk '{ printf "%s %.3f\n", $1, $2 + $3 }'
}
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

: >"$work/t_copy"; : >"$work/t_audio"; : >"$work/t_sox"
for ((i = 0; i < runs; i++)); do
  run_once "$copy" "$work/in.wav" "$work/out.wav" >>"$work/t_copy"
  run_once "$audio" -q --to 48000 "$work/in.wav" "$work/out.wav" >>"$work/t_audio"
  run_once sox "$work/in.wav" -r 48000 "$work/out.wav" >>"$work/t_sox"
done
"$audio" --to 48000 "$work/in.wav" "$work/out.wav"

row() { # name file
  printf "%-22s %7.3f s wall %7.3f s CPU   %5.2fx copy's wall  %5.2fx sox's wall\n" "$1" \
    "$(cut -d' ' -f1 "$2" | median)" "$(cut -d' ' -f2 "$2" | median)" \
    "$(awk -v a="$(cut -d' ' -f1 "$2" | median)" -v c="$(cut -d' ' -f1 "$work/t_copy" | median)" 'BEGIN{print a/c}')" \
    "$(awk -v a="$(cut -d' ' -f1 "$2" | median)" -v c="$(cut -d' ' -f1 "$work/t_sox" | median)" 'BEGIN{print a/c}')"
}
echo "wall times, asrc-audio: $(cut -d' ' -f1 "$work/t_audio" | sort -g | tr '\n' ' ')"
echo "wall times, sox:        $(cut -d' ' -f1 "$work/t_sox" | sort -g | tr '\n' ' ')"
echo "wall times, copy:       $(cut -d' ' -f1 "$work/t_copy" | sort -g | tr '\n' ' ')"
row "libsndfile copy 24-bit" "$work/t_copy"
row "asrc-audio --to 48000" "$work/t_audio"
row "sox -r 48000" "$work/t_sox"

echo "quality, 10 s tones at 44.1 kHz to 48 kHz, 24-bit out (channel 0, middle 80%):"
for db in -1 -120; do
  "$tone" make "$work/tone.wav" 10 44100 997 "$db"
  "$audio" -q --to 48000 "$work/tone.wav" "$work/a.wav"
  "$audio" -q --no-dither --to 48000 "$work/tone.wav" "$work/r.wav"
  sox "$work/tone.wav" -r 48000 "$work/s.wav"
  echo "  $db dBFS input:                  $("$tone" measure "$work/tone.wav" 997)"
  echo "  $db dBFS asrc-audio:             $("$tone" measure "$work/a.wav" 997)"
  echo "  $db dBFS asrc-audio --no-dither: $("$tone" measure "$work/r.wav" 997)"
  echo "  $db dBFS sox:                    $("$tone" measure "$work/s.wav" 997)"
done
rm -f "$work/tone.wav" "$work/a.wav" "$work/r.wav" "$work/s.wav"

echo "batch: 8 such files, --out-dir against 8 runs one after the other"
mkdir -p "$work/in8"
for i in 1 2 3 4 5 6 7 8; do ln "$work/in.wav" "$work/in8/take$i.wav"; done
run_batch() { mkdir -p "$work/out"; "$audio" -q --to 48000 "$work"/in8/*.wav --out-dir "$work/out"; }
run_sequential() {
  mkdir -p "$work/out"
  for f in "$work"/in8/*.wav; do "$audio" -q --to 48000 "$f" "$work/out/$(basename "$f")"; done
}
export -f run_batch run_sequential
export audio work
run_once bash -c run_sequential >"$work/t_seq"
run_once bash -c run_batch >"$work/t_batch"
awk '{ printf "8 sequential runs:     %7.3f s wall %7.3f s CPU\n", $1, $2 }' "$work/t_seq"
awk '{ printf "batch of 8 (--out-dir): %6.3f s wall %7.3f s CPU\n", $1, $2 }' "$work/t_batch"
