#!/usr/bin/env bash
# Instructions per 10 ms window of each pitch kernel, counted by callgrind
# (repeatable on a busy machine, unlike the timings of pitch_bench): one pass
# of BM_Kernel per instruction set, with and without the transform, on speech
# and on the sweep, counting only inside ExtractPitchWith (its clones,
# which the compiler may split off, by the exact signature). Valgrind does not
# run AVX-512 code, so only the sets it reports are counted.
# Usage: bench/pitch/count-instructions.sh [BUILD_DIR]   (default build/plain)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
bench=${1:-$root/build/plain}/bench/pitch/pitch_bench
work=$(mktemp -d /tmp/sorn-pitch-count.XXXXXX)
trap 'rm -rf "$work"' EXIT
printf '%-8s %-10s %-7s %12s\n' isa path signal instr/window
for isa in 2 1 0; do
  for fft in 1 0; do
    for sweep in 0 1; do
      name="BM_Kernel/isa:$isa/fft:$fft/sweep:$sweep"
      out="$work/callgrind.out"
      valgrind --tool=callgrind --callgrind-out-file="$out" --toggle-collect='SornPitch::ExtractPitchWith(SornPitch::Isa, bool, float const*, int, short, float, short*, int)' \
        "$bench" --benchmark_filter="^$name\$" --benchmark_min_time=0 --benchmark_format=json \
        >"$work/bench.json" 2>"$work/valgrind.log" || { tail -n 20 "$work/valgrind.log"; exit 1; }
      if grep -q '"error_occurred": true' "$work/bench.json"; then
        label=$(sed -n 's/.*"error_message": "\(.*\)".*/\1/p' "$work/bench.json")
        printf '%-8s %-10s %-7s %12s\n' "isa:$isa" "fft:$fft" "sweep:$sweep" "(${label:-skipped})"
        continue
      fi
      label=$(sed -n 's/.*"label": "\(.*\)".*/\1/p' "$work/bench.json")
      iterations=$(sed -n 's/.*"iterations": \([0-9]*\).*/\1/p' "$work/bench.json" | head -n 1)
      windows=$(sed -n 's/.*"windows": \([0-9.e+]*\).*/\1/p' "$work/bench.json" | head -n 1)
      total=$(sed -n 's/^totals: *\([0-9]*\).*/\1/p' "$out")
      read -r kind path signal <<<"$label"
      awk -v t="$total" -v i="$iterations" -v w="$windows" -v a="$kind" -v p="$path" -v s="$signal" \
        'BEGIN { printf "%-8s %-10s %-7s %12.0f\n", a, p, s, t / (i * w) }'
    done
  done
done
