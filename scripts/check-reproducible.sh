#!/usr/bin/env bash
# Builds Start.exe twice, from clean build directories at different paths and at different times,
# and fails unless the two are identical byte for byte: nothing of the build machine, the build
# path or the clock may end up in the image.
set -euo pipefail
cd "$(dirname "$0")/.."

"$(dirname "$0")/deps.sh" build

# Each build gets its own copy of the sources as well, so a source path that slips in (__FILE__,
# debug info) shows up too; the paths differ in length, so such a path also shifts what follows.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
a=$tmp/repro-a
b=$tmp/repro-bb/x
for dir in "$a" "$b"; do
  mkdir -p "$dir/src"
  tar --exclude=./build --exclude=./.git -cf - . | tar -xf - -C "$dir/src"
done

# Each build is a configure (one core, mostly the compilers' checks) and a few objects: the two
# overlap, the second started two seconds after the first, so that their clocks still differ.
build() {
  cmake -G Ninja -S "$1/src" -B "$1/build" --toolchain cmake/mingw-i686.cmake \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DLAUNCHER_WERROR=ON &&
    cmake --build "$1/build" --target Start -j1
}
build "$a" >"$a/log" 2>&1 &
first=$!
sleep 2
status_b=0
build "$b" >"$b/log" 2>&1 || status_b=$?
status_a=0
wait "$first" || status_a=$?
for run in "$a:$status_a" "$b:$status_b"; do
  if [ "${run##*:}" != 0 ]; then
    cat "${run%:*}/log"
    echo "FAIL: build in ${run%:*}"
    exit 1
  fi
done

sha256sum "$a/build/Start.exe" "$b/build/Start.exe" | sed "s#$tmp/##"
if cmp "$a/build/Start.exe" "$b/build/Start.exe"; then
  echo "ok:   Start.exe is reproducible"
else
  echo "FAIL: Start.exe differs between the two builds"
  exit 1
fi
