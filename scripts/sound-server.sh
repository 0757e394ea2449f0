#!/usr/bin/env bash
# A private, headless PulseAudio daemon for the integration tests and the demo.
#   sound-server.sh start DIR   starts it with its runtime under DIR and
#                               prints the environment to use it
#   sound-server.sh stop DIR    stops it
# The daemon has one null sink, "sorn_null" (16 kHz mono), as the default
# sink; its monitor is the default source. A low-latency recorder stays
# attached so that the idle sink does not render in 2-second blocks.
set -euo pipefail
cmd=${1:?start or stop}
dir=${2:?runtime folder}
export XDG_RUNTIME_DIR=$dir/runtime XDG_CONFIG_HOME=$dir/config HOME=$dir/home
export PULSE_SERVER=unix:$XDG_RUNTIME_DIR/pulse/native

case "$cmd" in
start)
  mkdir -p "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME" "$HOME"
  chmod 700 "$XDG_RUNTIME_DIR"
  pulseaudio -n --daemonize=yes --exit-idle-time=-1 --log-target=file:"$dir/pulse.log" \
    --load=module-native-protocol-unix \
    --load="module-null-sink sink_name=sorn_null rate=16000 channels=1 sink_properties=device.description=sorn_null"
  for _ in $(seq 1 100); do
    pactl info >/dev/null 2>&1 && break
    sleep 0.05
  done
  pactl info >/dev/null
  pactl set-default-sink sorn_null
  pactl set-default-source sorn_null.monitor
  nohup parec -d sorn_null.monitor --latency-msec=20 --raw >/dev/null 2>&1 &
  echo $! > "$dir/keepalive.pid"
  echo "export XDG_RUNTIME_DIR=$XDG_RUNTIME_DIR XDG_CONFIG_HOME=$XDG_CONFIG_HOME PULSE_SERVER=$PULSE_SERVER"
  ;;
stop)
  if [ -f "$dir/keepalive.pid" ]; then kill "$(cat "$dir/keepalive.pid")" 2>/dev/null || true; fi
  if [ -f "$XDG_RUNTIME_DIR/pulse/pid" ]; then
    pid=$(cat "$XDG_RUNTIME_DIR/pulse/pid")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  fi
  ;;
*) echo "usage: $0 start|stop DIR" >&2; exit 2 ;;
esac
