#!/usr/bin/env bash
# Corpus throughput of `sorn pitch`: FILES files of SECONDS_EACH s of 16 kHz
# speech (cut from espeak-ng's reading of fixed sentences, each file from its
# own offset) tracked by one `sorn pitch DIR --out OUT` on every core, next
# to the same files done one process each in a shell loop. Prints files and
# audio seconds per wall second for both, the least wall time of RUNS runs
# (default 3), and checks that every file got its contour.
#
#   bench/cli/corpus-pitch.sh [BUILD_DIR]    (default build/plain)
#   FILES=100 SECONDS_EACH=6 RUNS=3
#
# Needs espeak-ng and sox (the test command needs neither).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build/plain}
files=${FILES:-100}
length=${SECONDS_EACH:-6}
runs=${RUNS:-3}
sorn=$build/tools/sorn
if [ ! -x "$sorn" ]; then
  cmake -S "$root" -B "$build" -G Ninja >/dev/null
  cmake --build "$build" --target sorn -j 2 >/dev/null
fi

work=$(mktemp -d /tmp/sorn-corpus-pitch.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus" "$work/out" "$work/loop"

. "$(dirname "$0")/speech-text.sh"
speech_text 11 200 > "$work/text.txt"
espeak-ng -f "$work/text.txt" -w "$work/spoken.wav"
sox -V1 "$work/spoken.wav" -r 16000 -b 16 -c 1 "$work/speech.wav"
total=$(soxi -D "$work/speech.wav")
for i in $(seq "$files"); do
  start=$(awk -v i="$i" -v n="$files" -v t="$total" -v l="$length" 'BEGIN { printf "%.2f", (i - 1) * (t - l) / n }')
  sox -V1 "$work/speech.wav" "$work/corpus/$(printf 'clip%03d' "$i").wav" trim "$start" "$length"
done
audio=$(awk -v n="$files" -v l="$length" 'BEGIN { print n * l }')

# Least wall seconds of RUNS runs of the command.
wall() {
  local best="" t
  for _ in $(seq "$runs"); do
    t=$( { TIMEFORMAT='%3R'; time "$@" >/dev/null 2>&1; } 2>&1)
    if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$t; fi
  done
  echo "$best"
}

loop() {
  for f in "$work"/corpus/*.wav; do
    "$sorn" pitch "$f" >"$work/loop/$(basename "$f" .wav).txt"
  done
}

corpus=$(wall "$sorn" pitch "$work/corpus" --out "$work/out")
single=$(wall loop)
made=$(find "$work/out" -name '*.pitch.txt' | wc -l)
if [ "$made" -ne "$files" ]; then
  echo "corpus run wrote $made contours for $files files" >&2
  exit 1
fi
for f in "$work"/loop/*.txt; do
  cmp -s "$f" "$work/out/$(basename "$f" .txt).pitch.txt" || { echo "contours differ: $(basename "$f")" >&2; exit 1; }
done

printf '%s files of %s s of 16 kHz speech (%s s of audio), %s cores; least wall time of %s runs\n' \
  "$files" "$length" "$audio" "$(nproc)" "$runs"
awk -v n="$files" -v a="$audio" -v c="$corpus" -v s="$single" 'BEGIN {
  printf "%-44s %8s %10s %14s\n", "", "wall s", "files/s", "audio s per s"
  printf "%-44s %8.3f %10.1f %14.0f\n", "sorn pitch DIR --out OUT (every core)", c, n / c, a / c
  printf "%-44s %8.3f %10.1f %14.0f\n", "one sorn pitch per file, shell loop", s, n / s, a / s
}'
