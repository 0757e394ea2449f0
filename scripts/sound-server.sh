#!/usr/bin/env bash
# A private, headless sound server for the integration tests and the demo.
#   sound-server.sh start DIR [pulseaudio|pipewire]
#                               starts one with its runtime under DIR and
#                               prints the environment to use it
#   sound-server.sh check DIR   fails, printing the server's log, when the
#                               server started in DIR is no longer running
#   sound-server.sh stop DIR    stops it
#   sound-server.sh log DIR     prints its log
# The server has one null sink, "sorn_null" (16 kHz mono), as the default
# sink; its monitor is the default source.
#
# pulseaudio (the default): a PulseAudio daemon. SORN_SOUND_KEEPALIVE=1
# keeps a low-latency recorder attached to the sink's monitor, which a
# client should not need: an idle null sink renders in 2-second blocks.
#
# pipewire: PipeWire with WirePlumber and its pulse service, on a 16 kHz
# graph with a quantum of 320 frames (20 ms), so the null sink runs at its
# own rate and nothing is resampled. No D-Bus: WirePlumber's monitors of
# hardware, bluetooth and the portal are switched off.
#
# A start that fails prints the server's log on stderr and exits non-zero.
set -euo pipefail
cmd=${1:?start, check, stop or log}
dir=${2:?runtime folder}
kind=${3:-pulseaudio}
export XDG_RUNTIME_DIR=$dir/runtime XDG_CONFIG_HOME=$dir/config HOME=$dir/home
export XDG_STATE_HOME=$dir/state
export PULSE_SERVER=unix:$XDG_RUNTIME_DIR/pulse/native

logs() { ls "$dir"/*.log 2>/dev/null || true; }
show_log() {
  local file
  for file in $(logs); do
    echo "---- $file (last 60 lines)" >&2
    tail -n 60 "$file" >&2
  done
}
fail_start() {
  echo "sound-server.sh: the $kind server did not start: $*" >&2
  show_log
  exit 1
}

# Whether a process runs; a dead one nobody has reaped yet does not.
alive() {
  local state
  state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null || echo gone)
  [ "$state" != gone ] && [ "$state" != Z ]
}

# The pids of the processes that make up the server, one a line.
server_pids() {
  if [ -f "$dir/pids" ]; then
    cat "$dir/pids"
  elif [ -f "$XDG_RUNTIME_DIR/pulse/pid" ]; then
    cat "$XDG_RUNTIME_DIR/pulse/pid"
  fi
}

wait_answer() {
  for _ in $(seq 1 100); do
    pactl info >/dev/null 2>&1 && return 0
    sleep 0.05
  done
  return 1
}

start_pulseaudio() {
  pulseaudio -n --daemonize=yes --exit-idle-time=-1 --log-target=file:"$dir/pulse.log" \
    --load=module-native-protocol-unix \
    --load="module-null-sink sink_name=sorn_null rate=16000 channels=1 sink_properties=device.description=sorn_null" \
    || fail_start "pulseaudio exited with $?"
  wait_answer || fail_start "pactl info got no answer"
  cat "$XDG_RUNTIME_DIR/pulse/pid" > "$dir/pids"
  pactl set-default-sink sorn_null || fail_start "cannot set the default sink"
  pactl set-default-source sorn_null.monitor || fail_start "cannot set the default source"
}

start_pipewire() {
  mkdir -p "$XDG_STATE_HOME" "$XDG_CONFIG_HOME/pipewire/pipewire.conf.d" \
    "$XDG_CONFIG_HOME/wireplumber/main.lua.d" "$XDG_CONFIG_HOME/wireplumber/bluetooth.lua.d"
  cat > "$XDG_CONFIG_HOME/pipewire/pipewire.conf.d/90-sorn.conf" <<'EOF'
context.properties = {
  default.clock.rate = 16000
  default.clock.allowed-rates = [ 16000 ]
  default.clock.quantum = 320
  default.clock.min-quantum = 320
  default.clock.max-quantum = 320
  clock.power-of-two-quantum = false
}
EOF
  cat > "$XDG_CONFIG_HOME/wireplumber/main.lua.d/60-sorn.lua" <<'EOF'
alsa_monitor.enabled = false
alsa_monitor.properties["alsa.reserve"] = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
default_access.properties["enable-flatpak-portal"] = false
EOF
  echo 'bluez_monitor.enabled = false' > "$XDG_CONFIG_HOME/wireplumber/bluetooth.lua.d/60-sorn.lua"
  : > "$dir/pids"
  nohup pipewire > "$dir/pipewire.log" 2>&1 &
  echo $! >> "$dir/pids"
  for _ in $(seq 1 100); do
    [ -S "$XDG_RUNTIME_DIR/pipewire-0" ] && break
    sleep 0.05
  done
  [ -S "$XDG_RUNTIME_DIR/pipewire-0" ] || fail_start "no pipewire-0 socket"
  nohup wireplumber > "$dir/wireplumber.log" 2>&1 &
  echo $! >> "$dir/pids"
  nohup pipewire-pulse > "$dir/pipewire-pulse.log" 2>&1 &
  echo $! >> "$dir/pids"
  wait_answer || fail_start "pactl info got no answer"
  pactl load-module module-null-sink sink_name=sorn_null rate=16000 channels=1 \
    sink_properties=device.description=sorn_null >/dev/null || fail_start "cannot load the null sink"
  # The sink appears, and the defaults take, a little after the answers.
  # (The drop-ins above sort after the packaged settings and before the
  # packaged 90-enable-all.lua that acts on them.)
  for _ in $(seq 1 40); do
    pactl set-default-sink sorn_null >/dev/null 2>&1 || true
    pactl set-default-source sorn_null.monitor >/dev/null 2>&1 || true
    info=$(pactl info 2>/dev/null || true)
    if grep -q '^Default Sink: sorn_null$' <<<"$info" &&
       grep -q '^Default Source: sorn_null.monitor$' <<<"$info"; then
      return 0
    fi
    sleep 0.05
  done
  fail_start "the null sink did not become the default"
}

case "$cmd" in
start)
  mkdir -p "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME" "$HOME"
  chmod 700 "$XDG_RUNTIME_DIR"
  echo "$kind" > "$dir/kind"
  case "$kind" in
  pulseaudio) start_pulseaudio ;;
  pipewire) start_pipewire ;;
  *) echo "unknown sound server $kind (pulseaudio or pipewire)" >&2; exit 2 ;;
  esac
  if [ "${SORN_SOUND_KEEPALIVE:-0}" = 1 ]; then
    nohup parec -d sorn_null.monitor --latency-msec=20 --raw >/dev/null 2>&1 &
    echo $! > "$dir/keepalive.pid"
  fi
  echo "export XDG_RUNTIME_DIR=$XDG_RUNTIME_DIR XDG_CONFIG_HOME=$XDG_CONFIG_HOME PULSE_SERVER=$PULSE_SERVER"
  ;;
check)
  pids=$(server_pids)
  [ -n "$pids" ] || { echo "sound-server.sh: no server was started in $dir" >&2; exit 1; }
  for pid in $pids; do
    if ! alive "$pid"; then
      echo "sound-server.sh: the $(cat "$dir/kind" 2>/dev/null || echo sound) server's process $pid has died" >&2
      show_log
      exit 1
    fi
  done
  ;;
log) show_log ;;
stop)
  if [ -f "$dir/keepalive.pid" ]; then kill "$(cat "$dir/keepalive.pid")" 2>/dev/null || true; fi
  # The pulse service and the session manager first, the graph last.
  for pid in $(server_pids | tac); do
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do alive "$pid" || break; sleep 0.05; done
  done
  ;;
*) echo "usage: $0 start|check|stop|log DIR [pulseaudio|pipewire]" >&2; exit 2 ;;
esac
