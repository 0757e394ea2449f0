#!/usr/bin/env bash
# The test command: installs what it needs, builds the plain, the
# address+undefined and the thread sanitizer configurations and a Clang build
# that checks the lock annotations (-Wthread-safety), starts a private
# PulseAudio daemon, runs every test in each, runs the sound-server tests of
# the plain build once more against a private PipeWire server, builds the
# Windows DLLs and runs their tests under Wine (scripts/test-windows.sh), then
# runs the fuzz targets.
# The Clang build runs every test but the sound-server and install ones (its
# point is the compiler's checks; the other builds cover the sound server, and
# the install tests build the tree once more, with the checks off).
# Set SORN_CONFIGS to a subset of "plain asan tsan clang" to run fewer builds;
# SORN_PIPEWIRE=0 skips the PipeWire run; its failed tests fail the run like
# any other. SORN_WINDOWS=0 skips the Windows build and its tests.
#
# A sound server that does not start fails the run with its log. After each
# run of tests the server is checked: one that died meanwhile (the PulseAudio
# daemon has been seen to abort when clients come and go quickly) fails the
# run with its log and is started afresh for the next configuration.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/install-deps.sh"

configs=${SORN_CONFIGS:-plain asan tsan clang}
jobs=$(nproc)
server_dir=$(mktemp -d /tmp/sorn-sound.XXXXXX)
pipewire_dir=$(mktemp -d /tmp/sorn-pipewire.XXXXXX)
cleanup() {
  "$root/scripts/sound-server.sh" stop "$pipewire_dir" || true
  "$root/scripts/sound-server.sh" stop "$server_dir" || true
  rm -rf "$server_dir" "$pipewire_dir"
}
trap cleanup EXIT

# Starts a server of `kind` in `dir` and takes on the environment that uses
# it; ends the run when it does not start (sound-server.sh shows its log).
# (Not through eval "$(...)": a failure there would go unnoticed.)
start_server() {
  local dir=$1 kind=$2 environment
  if ! environment=$("$root/scripts/sound-server.sh" start "$dir" "$kind"); then
    echo "== FAILED: the $kind sound server did not start; its log is above" >&2
    exit 1
  fi
  eval "$environment"
}

# True when the server in `dir` still runs; otherwise says so with its log.
server_alive() {
  local dir=$1 what=$2
  if ! "$root/scripts/sound-server.sh" check "$dir"; then
    echo "== FAILED: the sound server died during the $what; its log is above" >&2
    return 1
  fi
}

start_server "$server_dir" pulseaudio
export SORN_REQUIRE_SOUND_SERVER=1

status=0
echo "== layout of the changed lines"
# Reported only, until the branches in flight have been brought to the
# layout; SORN_FORMAT=require lets it fail the run.
if ! "$root/scripts/format-check.sh"; then
  if [ "${SORN_FORMAT:-report}" = require ]; then status=1
  else echo "== WARNING: changed lines off the layout (not counted; SORN_FORMAT=require counts them)" >&2; fi
fi
for config in $configs; do
  compilers=()
  case "$config" in
    plain) flags=(-DSORN_WERROR=ON -DSORN_BUILD_TESTS=ON -DSORN_BUILD_BENCH=ON) ;;
    asan) flags=(-DSORN_WERROR=ON -DSORN_SANITIZE=address -DSORN_BUILD_TESTS=ON -DSORN_BUILD_BENCH=OFF) ;;
    tsan) flags=(-DSORN_WERROR=ON -DSORN_SANITIZE=thread -DSORN_BUILD_TESTS=ON -DSORN_BUILD_BENCH=OFF) ;;
    clang)
      flags=(-DSORN_WERROR=ON -DSORN_THREAD_SAFETY=ON -DSORN_BUILD_TESTS=ON -DSORN_BUILD_BENCH=OFF)
      compilers=(CC=clang CXX=clang++) ;;
    *) echo "unknown configuration $config" >&2; exit 2 ;;
  esac
  dir="$root/build/$config"
  echo "== $config: build"
  env "${compilers[@]}" cmake -S "$root" -B "$dir" -G Ninja "${flags[@]}" >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "== $config: tests"
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tests/tsan.supp"
  # Sound-server tests run in real time against a shared daemon: one that
  # fails is run once more, and fails the run only when it fails again. The
  # rest run once.
  excluded=soundserver
  [ "$config" = clang ] && excluded='soundserver|install'
  if ! ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$jobs" -LE "$excluded"; then status=1; fi
  if [ "$config" != clang ] &&
    ! ctest --test-dir "$dir" --output-on-failure --no-tests=error -L soundserver --repeat until-pass:2; then
    status=1
  fi
  if ! server_alive "$server_dir" "$config tests"; then
    status=1
    "$root/scripts/sound-server.sh" stop "$server_dir" || true
    start_server "$server_dir" pulseaudio
  fi

  if [ "$config" = plain ] && [ "${SORN_PIPEWIRE:-1}" != 0 ]; then
    echo "== plain: sound-server tests on PipeWire"
    pipewire_tests=0
    (
      start_server "$pipewire_dir" pipewire
      result=0
      ctest --test-dir "$dir" --output-on-failure --no-tests=error -L soundserver --repeat until-pass:2 || result=2
      server_alive "$pipewire_dir" "PipeWire tests" || result=1
      exit $result
    ) || pipewire_tests=$?
    "$root/scripts/sound-server.sh" stop "$pipewire_dir" || true
    # A server that does not start or dies, or a failed test, fails the run.
    if [ "$pipewire_tests" != 0 ]; then
      status=1
      [ "$pipewire_tests" = 2 ] && echo "== FAILED: sound-server tests on PipeWire" >&2
    fi
  fi
done

# The Windows DLLs and their tests under Wine, on the same PulseAudio
# (SORN_WINDOWS=0 skips them).
if [ "${SORN_WINDOWS:-1}" != 0 ]; then
  "$root/scripts/test-windows.sh" || status=1
  if ! server_alive "$server_dir" "Windows tests"; then
    status=1
    "$root/scripts/sound-server.sh" stop "$server_dir" || true
    start_server "$server_dir" pulseaudio
  fi
fi

if [ -x "$root/scripts/fuzz.sh" ]; then
  echo "== fuzz"
  "$root/scripts/fuzz.sh" || status=1
fi
exit $status
