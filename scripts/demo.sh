#!/usr/bin/env bash
# The main job: builds the library and the sorn host and runs its demo, on the
# sound server when one answers, else on the virtual device.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build/plain" -G Ninja >/dev/null
cmake --build "$root/build/plain" -j "$(nproc)" --target sorn
exec "$root/build/plain/tools/sorn" demo "$@"
