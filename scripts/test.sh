#!/usr/bin/env bash
# Builds everything and runs every test: the unit tests (also under the sanitizers and valgrind),
# the checks of Start.exe's image, and the end-to-end scenarios under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh wine

cmake --preset win32 >/dev/null
cmake --build --preset win32
cmake --preset native >/dev/null
cmake --build --preset native

echo "== unit tests"
ctest --preset native -L unit -j2
echo "== image of Start.exe"
scripts/check-imports.sh
scripts/check-reproducible.sh
echo "== unit tests under AddressSanitizer and UBSan"
scripts/check-sanitizers.sh
echo "== unit tests under valgrind"
scripts/check-valgrind.sh
echo "== end-to-end under Wine"
# Side by side, as many at once as the machine has cores (e2e/CMakeLists.txt says what may not).
ctest --test-dir build/native -L e2e --output-on-failure -j "$(nproc)"
