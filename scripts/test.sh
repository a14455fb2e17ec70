#!/usr/bin/env bash
# Builds everything and runs every test: the unit tests (also under the sanitizers and valgrind),
# the checks of Start.exe's image, and the end-to-end scenarios under Wine. Each phase ends with
# a line "== NAME: N s (load L)": the wall time, and the machine's load average then.
set -euo pipefail
cd "$(dirname "$0")/.."

phase() {
  local name=$1 start=$SECONDS
  shift
  echo "== $name"
  "$@"
  echo "== $name: $((SECONDS - start)) s (load $(cut -d' ' -f1 /proc/loadavg))"
}

phase deps scripts/deps.sh wine

# The native build needs nothing of the win32 one (only its tests do): it is configured while
# win32 builds, a configure being one core's work for the most part.
build_win32() {
  scripts/configure.sh --preset win32 >/dev/null
  scripts/configure.sh --preset native >build/native-configure.log 2>&1 &
  local configuring=$!
  cmake --build --preset win32
  wait "$configuring" || { cat build/native-configure.log; return 1; }
}
phase "build win32" build_win32
phase "build native" cmake --build --preset native

phase "unit tests" ctest --preset native -L unit -j2
phase "image of Start.exe" scripts/check-imports.sh
phase "reproducible Start.exe" scripts/check-reproducible.sh
phase "unit tests under AddressSanitizer and UBSan, fuzzing" scripts/check-sanitizers.sh
phase "unit tests under valgrind" scripts/check-valgrind.sh
# Side by side, as many at once as the machine has cores (e2e/CMakeLists.txt says what may not).
phase "end-to-end under Wine" ctest --test-dir build/native -L e2e --output-on-failure -j "$(nproc)"
