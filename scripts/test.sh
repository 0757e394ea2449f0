#!/usr/bin/env bash
# The test command: installs what it needs, builds the plain, the
# address+undefined and the thread sanitizer configurations, starts a private
# sound server, runs every test in each, then runs the fuzz targets.
# Set SORN_CONFIGS to a subset of "plain asan tsan" to run fewer builds.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/install-deps.sh"

configs=${SORN_CONFIGS:-plain asan tsan}
jobs=$(nproc)
server_dir=$(mktemp -d /tmp/sorn-sound.XXXXXX)
cleanup() { "$root/scripts/sound-server.sh" stop "$server_dir" || true; rm -rf "$server_dir"; }
trap cleanup EXIT
eval "$("$root/scripts/sound-server.sh" start "$server_dir")"
export SORN_REQUIRE_SOUND_SERVER=1

status=0
for config in $configs; do
  case "$config" in
    plain) flags=(-DSORN_BUILD_TESTS=ON -DSORN_BUILD_BENCH=ON) ;;
    asan) flags=(-DSORN_SANITIZE=address -DSORN_BUILD_TESTS=ON -DSORN_BUILD_BENCH=OFF) ;;
    tsan) flags=(-DSORN_SANITIZE=thread -DSORN_BUILD_TESTS=ON -DSORN_BUILD_BENCH=OFF) ;;
    *) echo "unknown configuration $config" >&2; exit 2 ;;
  esac
  dir="$root/build/$config"
  echo "== $config: build"
  cmake -S "$root" -B "$dir" -G Ninja "${flags[@]}" >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "== $config: tests"
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tests/tsan.supp"
  if ! ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$jobs"; then status=1; fi
done

if [ -x "$root/scripts/fuzz.sh" ]; then
  echo "== fuzz"
  "$root/scripts/fuzz.sh" || status=1
fi
exit $status
