#!/usr/bin/env bash
# Runs a GoogleTest program's tests in shards side by side, each shard a process of its own
# (GTEST_TOTAL_SHARDS, GTEST_SHARD_INDEX): every test runs once, in one of them. For runs that
# cost per process (valgrind, the sanitizers' start-up), where one process per test would cost
# more than the tests.
# Usage: scripts/run-shards.sh SHARDS LOGDIR COMMAND...
#   COMMAND: the test program, behind whatever runs it (valgrind ...). Each shard's output goes to
#   LOGDIR/shard-N.log and is printed when every shard has ended; the exit status is the first
#   failing shard's.
set -euo pipefail
shards=$1 logs=$2
shift 2
((shards >= 1)) || { echo "run-shards.sh: SHARDS must be at least 1" >&2; exit 2; }
rm -rf "$logs"
mkdir -p "$logs"
pids=()
for ((i = 0; i < shards; i++)); do
  GTEST_TOTAL_SHARDS=$shards GTEST_SHARD_INDEX=$i "$@" >"$logs/shard-$i.log" 2>&1 &
  pids+=($!)
done
status=0
for ((i = 0; i < shards; i++)); do
  shard_status=0
  wait "${pids[$i]}" || shard_status=$?
  echo "--- shard $((i + 1)) of $shards: exit status $shard_status"
  cat "$logs/shard-$i.log"
  ((status != 0 || shard_status == 0)) || status=$shard_status
done
exit $status
