#!/usr/bin/env bash
# Cross-checks the macOS build on Linux: configures the project's own
# CMakeLists with cmake/macos-cross.cmake for arm64 and for x86_64,
# compiles the logic and the macOS backend with every warning an error,
# links each into a Mach-O executable against the SDK's .tbd stubs, joins
# them into one universal quorvel with llvm-lipo and checks the result
# with llvm-objdump. Nothing here can run a Mach-O binary.
#
#   QUORVEL_MACOS_SDK=/path/to/MacOSX13.0.sdk scripts/check-macos.sh
#   QUORVEL_MACOS_SDK=/path/to/MacOSX13.0.sdk.tar.xz scripts/check-macos.sh
#
# A tarball is unpacked once into build-macos/sdk/. Without an SDK the
# script says so and exits 0. Output: build-macos/Quorvel.app.
set -euo pipefail
cd "$(dirname "$0")/.."

sdk="${QUORVEL_MACOS_SDK:-}"
if [ -z "$sdk" ]; then
  echo "check-macos: no macOS SDK given (set QUORVEL_MACOS_SDK to a" \
    "MacOSX13.0.sdk folder or its .tar.xz); nothing checked"
  exit 0
fi
if [ ! -e "$sdk" ]; then
  echo "check-macos: QUORVEL_MACOS_SDK=$sdk does not exist" >&2
  exit 1
fi

packages=(clang-14 lld-14 llvm-14 cmake ninja-build xz-utils python3)
scripts/apt-install.sh "${packages[@]}"

out=build-macos
mkdir -p "$out"
if [ -f "$sdk" ]; then
  # Unpacked again only when the tarball changes; never inside the sources.
  cache="$out/sdk"
  stamp="$cache/.unpacked-from"
  tarball="$(realpath "$sdk")"
  wanted="$tarball $(stat -c '%s %Y' "$tarball")"
  if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$wanted" ]; then
    echo "check-macos: unpacking $tarball"
    rm -rf "$cache"
    mkdir -p "$cache"
    tar -xJf "$tarball" -C "$cache"
    echo "$wanted" > "$stamp"
  fi
  sdk="$(find "$cache" -mindepth 1 -maxdepth 1 -type d -name '*.sdk' | head -n 1)"
fi
sdk="$(realpath "$sdk")"
if [ ! -d "$sdk/usr/include" ] || [ ! -d "$sdk/System/Library/Frameworks" ]; then
  echo "check-macos: $sdk is not a macOS SDK" >&2
  exit 1
fi
echo "check-macos: SDK $sdk"

archs=(arm64 x86_64)
for arch in "${archs[@]}"; do
  echo "check-macos: building $arch"
  cmake -S . -B "$out/$arch" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/macos-cross.cmake" \
    -DQUORVEL_MACOS_SDK="$sdk" -DCMAKE_OSX_ARCHITECTURES="$arch" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_COMPILE_WARNING_AS_ERROR=ON > /dev/null
  # A LIBRARY_PATH meant for the build machine would reach the Mach-O link.
  env -u LIBRARY_PATH cmake --build "$out/$arch" -j2
done

app="$out/Quorvel.app"
binary="$app/Contents/MacOS/quorvel"
rm -rf "$app"
mkdir -p "$app/Contents/MacOS"
cp "$out/arm64/Quorvel.app/Contents/Info.plist" "$app/Contents/Info.plist"
llvm-lipo-14 -create "$out/arm64/Quorvel.app/Contents/MacOS/quorvel" \
  "$out/x86_64/Quorvel.app/Contents/MacOS/quorvel" -output "$binary"

failures=0
check() {  # check <description> <command...>: runs the command quietly
  local description="$1"
  shift
  if "$@" > /dev/null 2>&1; then
    echo "ok    $description"
  else
    echo "FAIL  $description"
    failures=$((failures + 1))
  fi
}

# Every logic and macOS source, and no Linux one, was compiled per arch:
# all of app/, events/, listener/, permissions/, phrases/ and platform/ but
# the Linux mains, platform/linux/ and the ICU normaliser that macOS's ICU
# lacks.
expected="$(mktemp)"
trap 'rm -f "$expected"' EXIT
find app events listener permissions phrases platform -type f \( -name '*.cc' -o -name '*.mm' \) |
  grep -v -E '^platform/linux/|^app/.*_main\.cc$|^listener/canonical_decomposition_icu\.cc$' |
  sort > "$expected"
flags="-Wall -Wextra -Werror -Werror=unguarded-availability-new"
compiled() {  # compiled <arch>: the sources that build compiled with $flags
  python3 - "$out/$1/compile_commands.json" "$PWD" "$flags" <<'EOF'
import json, os, shlex, sys
root = os.path.realpath(sys.argv[2]) + "/"
for entry in json.load(open(sys.argv[1])):
    if set(sys.argv[3].split()) <= set(shlex.split(entry["command"])):
        print(os.path.realpath(entry["file"]).replace(root, "", 1))
EOF
}
for arch in "${archs[@]}"; do
  check "$arch: compiled all $(wc -l < "$expected") logic and macOS sources with $flags, no Linux one" \
    diff "$expected" <(compiled "$arch" | sort)
done

joined="$(llvm-lipo-14 -archs "$binary" | tr ' ' '\n' | sort | xargs)"
check "quorvel is universal: $joined" test "$joined" = "arm64 x86_64"
check "Quorvel.app/Contents/Info.plist is bundle/Info.plist" \
  cmp bundle/Info.plist "$app/Contents/Info.plist"
for arch in "${archs[@]}"; do
  headers="$(llvm-objdump-14 --macho --private-headers --arch="$arch" "$binary")"
  check "$arch: a Mach-O executable" \
    grep -qE '^ *MH_MAGIC_64 .* EXECUTE ' <<< "$headers"
  build="$(grep -A5 'cmd LC_BUILD_VERSION' <<< "$headers")"
  platform="$(awk '$1 == "platform" { print $2 }' <<< "$build")"
  minos="$(awk '$1 == "minos" { print $2 }' <<< "$build")"
  check "$arch: LC_BUILD_VERSION platform '$platform' is macos" \
    test "$platform" = macos
  check "$arch: LC_BUILD_VERSION minos '$minos' is 13.0" test "$minos" = 13.0
  section="$(grep -A1 'sectname __info_plist$' <<< "$headers")"
  check "$arch: section __info_plist in segment __TEXT" \
    grep -qE 'segname __TEXT$' <<< "$section"
  check "$arch: __TEXT,__info_plist holds bundle/Info.plist, byte for byte" \
    cmp bundle/Info.plist <(llvm-objdump-14 --macho --arch="$arch" \
      --section=__TEXT,__info_plist --no-leading-headers "$binary")
  for framework in AppKit Speech AVFoundation AVFAudio Foundation; do
    check "$arch: links $framework.framework" \
      grep -qE "name /System/Library/Frameworks/$framework\.framework/" <<< "$headers"
  done
done

if [ "$failures" -gt 0 ]; then
  echo "check-macos: $failures check(s) failed"
  exit 1
fi
echo "check-macos: universal $binary built and checked"
