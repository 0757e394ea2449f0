#!/usr/bin/env bash
# CPU seconds of the `sorn pitch` pipeline (bench/cli/pitch_pipeline: read
# through the module's WAV codec, track, text output, one process) next to
# aubiopitch (yinfft, 1024-sample buffer, 160-sample hop) and Praat's
# "To Pitch (ac)" with a 10 ms step, on the same ten minutes of 16 kHz speech
# made with espeak-ng. Each program runs RUNS times (default 3); the table
# shows the least user+system time of each, and how many times less the
# pipeline needs than the fastest of the others.
#
#   bench/cli/compare-pitch.sh [BUILD_DIR]    (default build/plain)
#
# Installs espeak-ng, sox, aubio-tools and praat when missing (the test
# command needs none of them).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build/plain}
runs=${RUNS:-3}

need=()
for p in espeak-ng sox aubio-tools praat; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "installing: ${need[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

if [ ! -x "$build/bench/cli/pitch_pipeline" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DSORN_BUILD_BENCH=ON >/dev/null
  cmake --build "$build" --target pitch_pipeline -j 2 >/dev/null
fi
pipeline=$build/bench/cli/pitch_pipeline

work=$(mktemp -d /tmp/sorn-compare-pitch.XXXXXX)
trap 'rm -rf "$work"' EXIT
speech=$work/speech16k.wav

# Ten minutes of speech: sentences drawn with a fixed seed, spoken by
# espeak-ng (22050 Hz), cut to 600 s and converted to 16 kHz 16-bit mono.
awk 'BEGIN {
  srand(7);
  n = split("the quick brown fox jumps over a lazy dog while seven bright singers hum along under " \
            "the old bridge near our quiet river and many voices rise and fall in gentle patterns of speech", w, " ");
  for (s = 0; s < 400; s++) {
    k = 6 + int(rand() * 9); line = "";
    for (i = 0; i < k; i++) line = line (i ? " " : "") w[1 + int(rand() * n)];
    printf "%s. ", line;
  }
}' > "$work/text.txt"
espeak-ng -f "$work/text.txt" -w "$work/spoken.wav"
sox -V1 "$work/spoken.wav" -r 16000 -b 16 -c 1 "$speech" trim 0 600
seconds=$(soxi -D "$speech")

cat > "$work/pitch.praat" <<EOF
sound = Read from file: "$speech"
pitch = To Pitch (ac): 0.01, 75, 15, "no", 0.03, 0.45, 0.01, 0.35, 0.14, 600
EOF

# Least user+system CPU seconds of RUNS runs of the command.
cpu() {
  local best="" t
  for _ in $(seq "$runs"); do
    t=$( { TIMEFORMAT='%3U %3S'; time "$@" >/dev/null 2>&1; } 2>&1 | awk '{ printf "%.3f", $1 + $2 }')
    if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$t; fi
  done
  echo "$best"
}

sorn=$(cpu "$pipeline" "$speech")
aubio=$(cpu aubiopitch -p yinfft -B 1024 -H 160 -i "$speech")
praat=$(cpu praat --run "$work/pitch.praat")

printf 'speech: %s s at 16 kHz; least CPU of %s runs each\n' "$seconds" "$runs"
printf '%-42s %8s\n' "program" "CPU s"
printf '%-42s %8s\n' "sorn pitch pipeline (read, track, text)" "$sorn"
printf '%-42s %8s\n' "aubiopitch -p yinfft -B 1024 -H 160" "$aubio"
printf '%-42s %8s\n' "praat To Pitch (ac), 10 ms step" "$praat"
awk -v s="$sorn" -v a="$aubio" -v p="$praat" 'BEGIN {
  f = (a < p) ? a : p;
  printf "the pipeline needs %.1f times less CPU than the fastest other (%.3f s)\n", f / s, f
}'
