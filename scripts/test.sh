#!/usr/bin/env bash
# Builds everything and runs every test: the unit tests (also under the sanitizers and valgrind),
# the checks of Start.exe's image, and the end-to-end scenarios under Wine. Each phase ends with
# a line "== NAME: N s, C s of processor time (load L)": on a machine shared with other work the
# wall time says as much of the others as of the tests; the processor time does not.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/beside.sh
# The processor seconds (user and system) of every child of this shell that has ended, in
# children_cpu. `times` runs here, not in a subshell, whose own children it would count.
times_file=$(mktemp)
trap 'end_beside; rm -f "$times_file"' EXIT
children_cpu() {
  times >"$times_file"
  children_cpu=$(awk 'NR == 2 { for (i = 1; i <= 2; i++) { split($i, t, /[ms]/); s += t[1] * 60 + t[2] }
                              printf "%d", s }' "$times_file")
}
phase() {
  local name=$1 start=$SECONDS cpu
  shift
  children_cpu
  cpu=$children_cpu
  echo "== $name"
  "$@"
  children_cpu
  echo "== $name: $((SECONDS - start)) s, $((children_cpu - cpu)) s of processor time" \
    "(load $(cut -d' ' -f1 /proc/loadavg))"
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

# The unit tests' longest, the sandbox's, waits on its programs for half a minute: Start.exe's
# image is checked, and built twice more for its reproducibility, meanwhile.
unit_tests() {
  local checks status=0 checks_status=0
  beside bash -c 'scripts/check-imports.sh && scripts/check-reproducible.sh' \
    >build/image-checks.log 2>&1
  checks=$!
  ctest --preset native -L unit -j2 || status=$?
  joined "$checks" || checks_status=$?
  echo "== Start.exe's image and its reproducibility"
  cat build/image-checks.log
  ((status != 0)) || status=$checks_status
  return "$status"
}
phase "unit tests, and Start.exe's image and its reproducibility beside them" unit_tests
phase "unit tests under AddressSanitizer and UBSan, fuzzing" scripts/check-sanitizers.sh
phase "unit tests under valgrind" scripts/check-valgrind.sh
# Side by side, as many at once as the machine has cores (e2e/CMakeLists.txt says what may not).
phase "end-to-end under Wine" ctest --test-dir build/native -L e2e --output-on-failure -j "$(nproc)"
