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
  libicu-dev libplist-dev libsndfile1-dev libspeexdsp-dev libespeak-ng-dev
  libpulse-dev pulseaudio pulseaudio-utils
  libpocketsphinx-dev libsphinxbase-dev pocketsphinx pocketsphinx-en-us
  pocketsphinx-testdata flite sox nlohmann-json3-dev
  python3 python3-jsonschema mandoc file dpkg-dev
  python3-setuptools python3-wheel python3-venv python3-build
)
# The Node client's tests need Node 18 or later: Debian's, unless one is
# already on the PATH.
command -v node > /dev/null || packages+=(nodejs)
scripts/apt-install.sh "${packages[@]}"

build="build${sanitize:+-$sanitize}"
cmake -S . -B "$build" -G Ninja -DQUORVEL_SANITIZE="$sanitize" > /dev/null

# The sherpa-onnx runtime that runs the English transducer: two libraries
# from the pinned npm package, checked against their published hashes. The
# package is only fetched and unpacked (npm pack, tar), never installed, so
# none of its scripts runs. Without npm or the registry the build goes on
# and quorvel recognises with PocketSphinx instead.
sherpa_version=1.13.8
sherpa_tarball_sha256=13291bcd825da5858ca27a35443e9a2c229a40616c0910086de2db12c5c9312c
sherpa_libraries=(
  "libsherpa-onnx-c-api.so b1019f8c9583e3e576c2ba6032b580677fcf6e2230c241a8b423c65aceded021"
  "libonnxruntime.so 4b3607aebd1784b26b6f9b20e4bd974c7ab8287043e4d095cb7d2cb40b5e566e"
)
runtime="$build/lib/quorvel"
runtime_present() {
  local entry
  for entry in "${sherpa_libraries[@]}"; do
    set -- $entry
    [ -f "$runtime/$1" ] && echo "$2  $runtime/$1" | sha256sum --quiet -c - > /dev/null 2>&1 || return 1
  done
}
# Fetches the package into $1 and unpacks the two libraries into the
# runtime folder. Status 2: the tarball is not the published one.
fetch_runtime() {
  local download="$1" entry members=()
  if ! command -v npm > /dev/null; then
    scripts/apt-install.sh npm || return 1
  fi
  (cd "$download" && npm pack --silent "sherpa-onnx-linux-x64@$sherpa_version" > /dev/null) ||
    return 1
  local tarball="$download/sherpa-onnx-linux-x64-$sherpa_version.tgz"
  if ! echo "$sherpa_tarball_sha256  $tarball" | sha256sum --quiet -c - > /dev/null 2>&1; then
    echo "setup: $tarball does not have the published sha256; not used" >&2
    return 2
  fi
  for entry in "${sherpa_libraries[@]}"; do
    set -- $entry
    members+=("package/$1")
  done
  tar -xzf "$tarball" -C "$download" --no-same-owner "${members[@]}" || return 1
  mkdir -p "$runtime"
  for entry in "${sherpa_libraries[@]}"; do
    set -- $entry
    install -m 644 "$download/package/$1" "$runtime/$1" || return 1
  done
  runtime_present
}
if ! runtime_present; then
  download=$(mktemp -d)
  status=0
  fetch_runtime "$download" || status=$?
  rm -rf "$download"
  if [ "$status" -eq 2 ]; then exit 1; fi
  if [ "$status" -ne 0 ]; then
    echo "setup: no sherpa-onnx $sherpa_version runtime (npm or the registry unavailable);" \
      "quorvel will recognise with PocketSphinx" >&2
  fi
fi

cmake --build "$build" -j2
