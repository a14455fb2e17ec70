#!/usr/bin/env bash
# Runs the unit tests of the plain native build under valgrind's memcheck, which also sees what
# the sanitizers cannot: reads of uninitialised memory, in uninstrumented code as well.
# memcheck runs a program on one core, so the tests are split into shards (VALGRIND_SHARDS, twice
# as many as the machine has cores), each a process of its own under valgrind, all at once: every
# test runs, once. The tests' costs are uneven; with smaller shards than one a core, the cores
# wait less on the last one.
set -euo pipefail
cd "$(dirname "$0")/.."

"$(dirname "$0")/deps.sh" build

# Up to date, so that a stale binary cannot pass for the sources.
scripts/configure.sh --preset native >/dev/null
cmake --build --preset native --target unit_tests >/dev/null

start=$SECONDS
status=0
scripts/run-shards.sh "${VALGRIND_SHARDS:-$((2 * $(nproc)))}" build/native/valgrind \
  valgrind --leak-check=full --errors-for-leak-kinds=definite,indirect --error-exitcode=1 \
    --suppressions=scripts/valgrind.supp \
    build/native/unit_tests --gtest_brief=1 || status=$?
echo "valgrind run: $((SECONDS - start)) s, exit status $status"
exit $status
