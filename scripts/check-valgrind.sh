#!/usr/bin/env bash
# Runs the unit tests of the plain native build under valgrind's memcheck, which also sees what
# the sanitizers cannot: reads of uninitialised memory, in uninstrumented code as well.
set -euo pipefail
cd "$(dirname "$0")/.."

install() { apt-get update -q >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@" >/dev/null; }
command -v valgrind >/dev/null || install valgrind
command -v cmake >/dev/null || install cmake make
command -v g++ >/dev/null || install g++
[ -f /usr/include/gtest/gtest.h ] || install libgtest-dev

# Up to date, so that a stale binary cannot pass for the sources.
cmake --preset native >/dev/null
cmake --build --preset native >/dev/null

start=$SECONDS
status=0
valgrind --leak-check=full --errors-for-leak-kinds=definite,indirect --error-exitcode=1 \
  build/native/unit_tests --gtest_brief=1 || status=$?
echo "valgrind run: $((SECONDS - start)) s, exit status $status"
exit $status
