#!/usr/bin/env bash
# Builds the core, the fake platform and the unit tests with AddressSanitizer and UBSan (preset
# native-asan) and runs the unit tests: any memory error, leak or undefined behaviour fails them.
set -euo pipefail
cd "$(dirname "$0")/.."

"$(dirname "$0")/deps.sh" build

cmake --preset native-asan >/dev/null
cmake --build --preset native-asan >/dev/null
echo "built build/native-asan with -fsanitize=address,undefined"

# abort_on_error and halt_on_error make the first report fail its test rather than scroll past.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build/native-asan -L unit --output-on-failure -j2
