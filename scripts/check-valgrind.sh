#!/usr/bin/env bash
# Runs the unit tests of the plain native build under valgrind's memcheck, which also sees what
# the sanitizers cannot: reads of uninitialised memory, in uninstrumented code as well.
# memcheck runs a program on one core, so the tests are split into as many shards as the machine
# has cores (VALGRIND_SHARDS), each a process of its own under valgrind: every test runs, once.
set -euo pipefail
cd "$(dirname "$0")/.."

"$(dirname "$0")/deps.sh" build

# Up to date, so that a stale binary cannot pass for the sources.
scripts/configure.sh --preset native >/dev/null
cmake --build --preset native --target unit_tests >/dev/null

start=$SECONDS
status=0
scripts/run-shards.sh "${VALGRIND_SHARDS:-$(nproc)}" build/native/valgrind \
  valgrind --leak-check=full --errors-for-leak-kinds=definite,indirect --error-exitcode=1 \
    --suppressions=scripts/valgrind.supp \
    build/native/unit_tests --gtest_brief=1 || status=$?
echo "valgrind run: $((SECONDS - start)) s, exit status $status"
exit $status
