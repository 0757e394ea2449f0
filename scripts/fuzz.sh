#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer everywhere, libFuzzer's coverage in every
# library, its driver only in the fuzz_* executables) and runs every fuzz_*
# executable for a bounded time on a scratch copy of its seed corpus, so the
# committed corpus never grows. Prints executions per second and the total
# executions of each target; fails on any crash or broken rule, leaving the
# input that did it under the build folder's fuzz-findings/.
#
# SORN_FUZZ_SECONDS: total time for all targets (default 60, at least 10 s
# each). SORN_FUZZ_BUILD_DIR: the build folder (default build/fuzz).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${SORN_FUZZ_BUILD_DIR:-$root/build/fuzz}
total=${SORN_FUZZ_SECONDS:-60}

echo "== fuzz: build in $dir"
CC=clang CXX=clang++ cmake -S "$root" -B "$dir" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSORN_BUILD_FUZZ=ON -DSORN_BUILD_TESTS=OFF -DSORN_BUILD_BENCH=OFF \
  -DSORN_SANITIZE=address \
  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$dir" -j "$(nproc)" --target sorn_fuzz_all

mapfile -t targets < <(find "$dir/fuzz/bin" -maxdepth 1 -type f -name 'fuzz_*' -perm -u+x | sort)
if [ ${#targets[@]} -eq 0 ]; then
  echo "no fuzz targets"
  exit 0
fi
each=$(( total / ${#targets[@]} ))
[ "$each" -lt 10 ] && each=10

work=$(mktemp -d /tmp/sorn-fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT
findings="$dir/fuzz-findings"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TMPDIR="$work"

status=0
for exe in "${targets[@]}"; do
  name=$(basename "$exe")
  corpus="$work/$name-corpus"
  mkdir -p "$corpus" "$findings"
  seeds=$(find "$root/fuzz" -type d -path "*/corpus/$name" -print -quit)
  [ -n "$seeds" ] && cp -r "$seeds/." "$corpus/"
  args=(-max_total_time="$each" -print_final_stats=1 -artifact_prefix="$findings/$name-")
  dict=$(find "$root/fuzz" -type f -name "$name.dict" -print -quit)
  [ -n "$dict" ] && args+=(-dict="$dict")
  log="$work/$name.log"
  if "$exe" "${args[@]}" "$corpus" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    echo "$name: ${runs:-?} executions in ${each} s, ${rate:-?} per second, corpus $(ls "$corpus" | wc -l) inputs"
  else
    status=1
    echo "$name: FAILED; the input is in $findings/ (keep it as a regression test of its area)"
    tail -n 40 "$log"
  fi
done
exit $status
