#!/usr/bin/env bash
# The Windows build and its tests: cross-compiles SornCore.dll,
# SornCoreWin.dll and the Windows test programs with MinGW-w64, and runs them
# under Wine in a throwaway prefix, headless, against a sound server (the
# one PULSE_SERVER names, else a private PulseAudio started here), through
# which Wine's own multimedia API plays and records.
# Needs g++-mingw-w64-x86-64 and wine (scripts/install-deps.sh installs
# them). SORN_WINDOWS_BUILD names the build folder (build/win).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${SORN_WINDOWS_BUILD:-$root/build/win}
jobs=$(nproc)
started=$(date +%s)

for tool in x86_64-w64-mingw32-g++-posix wine wineboot wineserver; do
  if ! command -v "$tool" >/dev/null; then
    echo "test-windows: $tool is missing (scripts/install-deps.sh installs it)" >&2
    exit 1
  fi
done

prefix=$(mktemp -d /tmp/sorn-wine.XXXXXX)
server_dir=""
cleanup() {
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
  rm -rf "$prefix"
  if [ -n "$server_dir" ]; then
    "$root/scripts/sound-server.sh" stop "$server_dir" || true
    rm -rf "$server_dir"
  fi
}
trap cleanup EXIT

echo "== windows: build"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/mingw-w64-x86_64.cmake" \
  -DSORN_WERROR=ON -DSORN_BUILD_TESTS=ON >/dev/null
cmake --build "$dir" -j "$jobs"

if [ -z "${PULSE_SERVER:-}" ]; then
  server_dir=$(mktemp -d /tmp/sorn-sound.XXXXXX)
  if ! environment=$("$root/scripts/sound-server.sh" start "$server_dir" pulseaudio); then
    echo "== FAILED: the sound server did not start; its log is above" >&2
    exit 1
  fi
  eval "$environment"
fi

# A fresh prefix: no desktop, no .NET or HTML engine to offer, no debug noise.
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=""
echo "== windows: Wine prefix"
wineboot -i >/dev/null 2>&1
# Wine's PulseAudio driver only: with no sound card its ALSA driver would
# only fill the log.
wine reg add 'HKCU\Software\Wine\Drivers' /v Audio /d pulse /f >/dev/null 2>&1
echo "   $(wine --version) in $prefix"

echo "== windows: tests under Wine"
status=0
ctest --test-dir "$dir" --output-on-failure --no-tests=error -LE soundserver || status=1
# Real-time tests on the shared server get a second chance, as on Linux.
ctest --test-dir "$dir" --output-on-failure -L soundserver --repeat until-pass:2 || status=1
echo "== windows: $(( $(date +%s) - started )) s in all"
exit $status
