#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo use.
# Quiet and idempotent: apt runs only when something is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang libclang-rt-14-dev clang-format
  libpulse-dev pulseaudio pulseaudio-utils
  libasound2-dev libasound2-plugins alsa-utils
  pipewire pipewire-pulse wireplumber
  espeak-ng sox
  libsoxr-dev libcli11-dev help2man
  g++-mingw-w64-x86-64 wine wine64
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
