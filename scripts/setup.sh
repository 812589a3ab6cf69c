#!/usr/bin/env bash
# Installs the Debian 12 packages quorvel needs (only those missing) and
# builds it. Safe to run again and again.
#   scripts/setup.sh                   build into build/
#   scripts/setup.sh --sanitize thread build into build-thread/ with TSan
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=""
if [ "${1:-}" = "--sanitize" ]; then sanitize="${2:?address or thread}"; fi

packages=(
  build-essential cmake ninja-build pkg-config binutils clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libicu-dev libplist-dev libsndfile1-dev libsamplerate0-dev
  libpulse-dev pulseaudio pulseaudio-utils
  libpocketsphinx-dev libsphinxbase-dev pocketsphinx pocketsphinx-en-us
  pocketsphinx-testdata flite sox nlohmann-json3-dev
  python3 python3-jsonschema mandoc file dpkg-dev
)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

build="build${sanitize:+-$sanitize}"
cmake -S . -B "$build" -G Ninja -DQUORVEL_SANITIZE="$sanitize" > /dev/null
cmake --build "$build" -j2
