#!/usr/bin/env bash
# Builds what the benchmarks need and runs them (README, "Benchmarks"): Start.exe's size and
# imports; its time to the page browser under Wine next to two floor programs built from bench/;
# its peak working set next to theirs; the CPU cost of one browser-loop check through the fake
# platform; disckit check on discs made large where it looks names and exports up; the trial's
# analysis of a Windows directory filled with sparse files; a whole trial beside the launcher's
# own run, and the template it starts from made from nothing. Not part of
# the test run: timings are figures to read, not pass/fail checks.
# Usage: scripts/bench.sh [--rounds N] [--memory-rounds N]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh wine
# Google Benchmark, for the check's benchmark; deps.sh installs only what the tests need.
if ! dpkg-query -W -f='${Status}' libbenchmark-dev 2>/dev/null | grep -q 'ok installed'; then
  echo "bench: installing libbenchmark-dev"
  apt-get update -q >/dev/null
  DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends libbenchmark-dev >/dev/null
fi

echo "bench: building Start.exe, the sample disc and the floor programs"
scripts/configure.sh --preset win32 >/dev/null
cmake --build --preset win32 >/dev/null
# The floors are built here, not by Start.exe's build, with the flags of a minimal C program.
out=build/bench/win32
mkdir -p "$out"
cc="i686-w64-mingw32-gcc -std=c11 -Wall -Wextra -Werror -static -Os -s"
$cc -mwindows -o "$out/floor_bare.exe" bench/floor_bare.c
# The control's class id comes from the launcher's own names, through the win32 build.
$cc -mwindows -I build/win32/generated -o "$out/floor_straight.exe" bench/floor_straight.c
$cc -mconsole -o "$out/peakmem.exe" bench/peakmem.c

# The check's benchmark in an optimised copy of the native build (the native preset is a debug
# build, whose figures would say little about the launcher's code).
echo "bench: building the native benchmark"
scripts/configure.sh --preset native -B build/bench/native -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench/native --target bench_process_check bench_check_disc -j2 >/dev/null

LAUNCHER_CONTROL_CLSID=$(sed -n 's/^#define CONTROL_CLSID "\(.*\)"$/\1/p' build/win32/generated/ControlClass.h) \
  python3 bench/run_bench.py "$@"
echo
build/bench/native/bench/bench_check_disc
echo
python3 bench/trial_analysis_bench.py
echo
# A whole trial: needs the native build's disckit (the debug build the tests use).
scripts/configure.sh --preset native >/dev/null
cmake --build --preset native --target disckit >/dev/null
python3 bench/trial_bench.py
