#!/usr/bin/env bash
# CPU seconds of the `sorn pitch` pipeline (bench/cli/pitch_pipeline: read
# through the module's WAV codec, track, text output, one process) next to
# aubiopitch (yinfft, 1024-sample buffer, 10 ms hop) and Praat's
# "To Pitch (ac)" with a 10 ms step, on the same ten minutes of 16 kHz speech
# made with espeak-ng; then the pipeline (which resamples to 16 kHz) and
# aubiopitch (hop 441) on a 44.1 kHz copy of the same speech. Each program
# runs RUNS times (default 3), the programs taking turns; the table shows
# the least user+system time of each, and how many times less the pipeline
# needs than aubiopitch at each rate and than the fastest other at 16 kHz.
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
. "$(dirname "$0")/speech-text.sh"
speech_text 7 400 > "$work/text.txt"
espeak-ng -f "$work/text.txt" -w "$work/spoken.wav"
sox -V1 "$work/spoken.wav" -r 16000 -b 16 -c 1 "$speech" trim 0 600
speech44=$work/speech44k.wav
sox -V1 "$work/spoken.wav" -r 44100 -b 16 -c 1 "$speech44" trim 0 600
seconds=$(soxi -D "$speech")

cat > "$work/pitch.praat" <<EOF
sound = Read from file: "$speech"
pitch = To Pitch (ac): 0.01, 75, 15, "no", 0.03, 0.45, 0.01, 0.35, 0.14, 600
EOF

# User+system CPU seconds of one run of the command.
cpu() {
  { TIMEFORMAT='%3U %3S'; time "$@" >/dev/null 2>&1; } 2>&1 | awk '{ printf "%.3f", $1 + $2 }'
}
# The least of RUNS rounds; every round runs each program once, in turn.
declare -A best
for _ in $(seq "$runs"); do
  for job in sorn16 aubio16 praat16 sorn44 aubio44; do
    case $job in
      sorn16) t=$(cpu "$pipeline" "$speech") ;;
      aubio16) t=$(cpu aubiopitch -p yinfft -B 1024 -H 160 -i "$speech") ;;
      praat16) t=$(cpu praat --run "$work/pitch.praat") ;;
      sorn44) t=$(cpu "$pipeline" "$speech44") ;;
      aubio44) t=$(cpu aubiopitch -p yinfft -B 1024 -H 441 -i "$speech44") ;;
    esac
    if [ -z "${best[$job]:-}" ] || awk -v a="$t" -v b="${best[$job]}" 'BEGIN { exit !(a < b) }'; then best[$job]=$t; fi
  done
done

printf 'speech: %s s at 16 kHz and a 44.1 kHz copy; least CPU of %s rounds each\n' "$seconds" "$runs"
printf '%-50s %8s\n' "program" "CPU s"
printf '%-50s %8s\n' "16 kHz: sorn pitch pipeline (read, track, text)" "${best[sorn16]}"
printf '%-50s %8s\n' "16 kHz: aubiopitch -p yinfft -B 1024 -H 160" "${best[aubio16]}"
printf '%-50s %8s\n' "16 kHz: praat To Pitch (ac), 10 ms step" "${best[praat16]}"
printf '%-50s %8s\n' "44.1 kHz: sorn pitch pipeline (read, resample, ...)" "${best[sorn44]}"
printf '%-50s %8s\n' "44.1 kHz: aubiopitch -p yinfft -B 1024 -H 441" "${best[aubio44]}"
awk -v s="${best[sorn16]}" -v a="${best[aubio16]}" -v p="${best[praat16]}" \
    -v s44="${best[sorn44]}" -v a44="${best[aubio44]}" 'BEGIN {
  f = (a < p) ? a : p;
  printf "16 kHz: the pipeline needs %.1f times less CPU than aubiopitch, %.1f than the fastest other (%.3f s)\n", a / s, f / s, f
  printf "44.1 kHz: the pipeline needs %.1f times less CPU than aubiopitch\n", a44 / s44
}'
