#!/usr/bin/env bash
# The ALSA backend beside alsa-utils on the same ALSA device, 16 kHz mono
# 16-bit in real time: CPU per second of audio of playback and capture
# (bench/audio/audio_bench's PlaybackCpu and CaptureCpu with
# SORN_BENCH_BACKEND=alsa:DEVICE; aplay and arecord on the same PCM, through
# the plug layer as the backend opens it), and the backend's completion
# latency (CompletionLatency). With DEVICE "pulse" (alsa-lib's pulse
# plugin, the default, for a machine without a card) the sound-server
# backend's own figures are shown beside them.
#
#   bench/alsa-beside-aplay.sh [DEVICE] [BUILD_DIR]   (default: pulse, build/plain)
#
# DEVICE pulse needs a sound server: without PULSE_SERVER a private one is
# started (scripts/sound-server.sh) and stopped at the end. AUDIO_SECONDS
# (default 4) is the length of aplay's and arecord's runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
device=${1:-pulse}
build=${2:-$root/build/plain}
seconds=${AUDIO_SECONDS:-4}
bench=$build/bench/audio/audio_bench
[ -x "$bench" ] || { echo "no $bench: build the plain tree with -DSORN_BUILD_BENCH=ON" >&2; exit 2; }
for tool in aplay arecord sox python3; do
  command -v $tool >/dev/null || { echo "needs $tool (scripts/install-deps.sh)" >&2; exit 2; }
done

work=$(mktemp -d)
server=""
cleanup() {
  [ -n "$server" ] && "$root/scripts/sound-server.sh" stop "$server" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
if [ "$device" = pulse ] && [ -z "${PULSE_SERVER:-}" ]; then
  server=$work/server
  mkdir -p "$server"
  # A recorder kept on the null sink's monitor: alsa-lib's pulse plugin
  # asks the server for no particular latency, and an idle null sink
  # renders in 2-second blocks, which the delay it reports (and so every
  # completion) would follow.
  eval "$(SORN_SOUND_KEEPALIVE=1 "$root/scripts/sound-server.sh" start "$server")"
fi
# libpulse without shared memory, as in the tests (tests/backend_alsa/client.conf.in).
printf 'enable-shm = no\nenable-memfd = no\nautospawn = no\n' > "$work/client.conf"
export PULSE_CLIENTCONFIG=$work/client.conf

# The PCM as the backend opens it (platform/backends/alsa: PluggedName).
case "$device" in
  default|plug*) pcm=$device ;;
  *) pcm="plug:'$device'" ;;
esac

sox -n -r 16000 -c 1 -b 16 -e signed-integer "$work/tone.wav" synth "$seconds" sine 440 vol 0.25

# CPU milliseconds per second of audio of a command that streams
# `seconds` of it: user + system time (GNU time) over the audio's length.
cpu_ms() {
  local times
  /usr/bin/time -o "$work/time" -f '%U %S' "$@" >/dev/null 2>&1
  times=$(tail -n 1 "$work/time")
  python3 -c "import sys; u, s = map(float, sys.argv[1].split()); print(f'{(u + s) * 1000 / $seconds:.1f}')" "$times"
}
aplay_ms=$(cpu_ms aplay -q -D "$pcm" "$work/tone.wav")
arecord_ms=$(cpu_ms arecord -q -D "$pcm" -f S16_LE -r 16000 -c 1 -d "$seconds" /dev/null)

# The backend's figures from audio_bench (JSON counters).
run_bench() {
  SORN_BENCH_BACKEND=$1 "$bench" --benchmark_filter='PlaybackCpu|CaptureCpu|CompletionLatency' \
    --benchmark_format=json 2>/dev/null
}
figures() {
  python3 -c '
import json, sys
runs = {b["name"].split("/")[0]: b for b in json.load(sys.stdin)["benchmarks"]}
def get(name, key):
    b = runs.get(name, {})
    return f"{b[key]:.1f}" if key in b else "-"
print(get("BM_PlaybackCpu", "cpu_ms_per_audio_s"), get("BM_CaptureCpu", "cpu_ms_per_audio_s"),
      get("BM_CompletionLatency", "median_ms"), get("BM_CompletionLatency", "p90_ms"),
      get("BM_CompletionLatency", "max_ms"))'
}
read -r alsa_play alsa_capture alsa_median alsa_p90 alsa_max < <(run_bench "alsa:$device" | figures)

echo "device: $device (PCM $pcm), 16 kHz mono 16-bit, CPU ms per second of audio"
printf '%-28s %10s %10s %22s\n' "" playback capture "completion median/p90/max ms"
printf '%-28s %10s %10s %22s\n' "sorn, ALSA backend" "$alsa_play" "$alsa_capture" "$alsa_median/$alsa_p90/$alsa_max"
printf '%-28s %10s %10s %22s\n' "aplay / arecord" "$aplay_ms" "$arecord_ms" "-"
if [ "$device" = pulse ]; then
  read -r pulse_play pulse_capture pulse_median pulse_p90 pulse_max < <(run_bench pulse | figures)
  printf '%-28s %10s %10s %22s\n' "sorn, sound-server backend" "$pulse_play" "$pulse_capture" \
    "$pulse_median/$pulse_p90/$pulse_max"
fi
