#!/usr/bin/env python3
"""Measures the current build and prints a table (scripts/bench.sh builds everything first).

1. Start.exe's size and the DLLs it imports.
2. Time from starting a program under Wine to the page browser's start, for Start.exe and two
   floors built from bench/: floor_bare.exe (only the browser start) and floor_straight.exe (the
   launcher's system calls up to the browser start, as straight-line C).
3. Peak working set of each of them, through bench/peakmem.c.
4. CPU time of one browser-loop check on 100, 1000 and 5000 processes, through the fake platform
   (bench/process_check_bench.cpp).

    run_bench.py [--rounds N] [--memory-rounds N]     (defaults: 9 and 3)
"""

import argparse
import json
import os
import signal
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BENCH_BUILD = ROOT / "build" / "bench"
# Our own prefixes and template, apart from the test runs' (which remake theirs per run).
os.environ.setdefault("LAUNCHER_E2E_WORK", str(BENCH_BUILD / "e2e"))
sys.path.insert(0, str(ROOT / "e2e"))
import winelab  # noqa: E402  (needs the environment above)

PROGRAMS = ("Start.exe", "floor_straight.exe", "floor_bare.exe")
# Built by scripts/bench.sh from bench/ and put on the disc's image next to Start.exe.
BUILT_HERE = ("floor_straight.exe", "floor_bare.exe", "peakmem.exe")
# Every program of a round, and what they start; all of them must be gone before the next round.
TRANSIENT = {p.lower() for p in PROGRAMS + BUILT_HERE} | {"regsvr32", "regsvr32.exe",
                                                           "panoview.exe"}
NATIVE_BENCH = BENCH_BUILD / "native" / "bench" / "bench_process_check"


# --- 1. The image ------------------------------------------------------------------------------

def image():
    exe = winelab.START_EXE
    out = subprocess.run(["i686-w64-mingw32-objdump", "-p", str(exe)], check=True,
                         capture_output=True, text=True).stdout
    dlls = [line.split(":", 1)[1].strip() for line in out.splitlines()
            if line.strip().startswith("DLL Name:")]
    return exe.stat().st_size, dlls


# --- 2. and 3. Under Wine ---------------------------------------------------------------------

def prefix_processes(m):
    """(Unix pid, Windows program name in lower case) of the prefix's programs we run or start.
    Wine shows a program's command line as the process's argv; the prefix tells ours apart from
    other Wine runs on the machine."""
    marker = b"WINEPREFIX=" + str(m.prefix).encode() + b"\0"
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            if marker not in Path(f"/proc/{pid}/environ").read_bytes():
                continue
            argv = Path(f"/proc/{pid}/cmdline").read_bytes().split(b"\0")
        except OSError:
            continue
        for arg in argv[:4]:
            name = arg.decode("latin-1").replace("\\", "/").rsplit("/", 1)[-1].lower()
            if name in TRANSIENT:
                found.append((int(pid), name))
                break
    return found


def settle(m, timeout=winelab.PATIENCE):
    """Waits until the program, and the registrations it started, have ended on their own; then
    ends the browser (which would run on) and removes the class key the registrations wrote, so
    that every round starts on the same machine: no browser, class not registered."""
    deadline = time.time() + timeout
    while any(name != "panoview.exe" for _, name in prefix_processes(m)):
        if time.time() > deadline:
            raise RuntimeError(f"still running after {timeout} s: {prefix_processes(m)}")
        time.sleep(0.05)
    # Killing the host process is what a forced end does to a Wine process, without starting
    # another Wine program (taskkill) for it.
    while browsers := [pid for pid, name in prefix_processes(m) if name == "panoview.exe"]:
        for pid in browsers:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        if time.time() > deadline:
            raise RuntimeError("the browser does not end")
        time.sleep(0.05)
    m.wine("reg", "delete", f"HKCR\\CLSID\\{winelab.control_clsid()}", "/reg:32", "/f", check=False)


def time_to_browser(m, program):
    """Milliseconds from just before `wine D:\\program` is spawned to the browser's own record of
    its start (both the host's wall clock), and to the probe library's record of its load (None
    for a program that loads none): the part of the time spent before the launch sequence."""
    before = len(m.log())
    started = time.time() * 1000
    proc = m.spawn("D:\\" + program)
    proc.wait(timeout=winelab.PATIENCE)
    deadline = time.time() + winelab.PATIENCE
    while not (browser := [e.ms for e in m.log()[before:] if e[1:3] == ("Panoview", "start")]):
        if time.time() > deadline:
            raise RuntimeError(f"{program} started no browser (exit code {proc.returncode})")
        time.sleep(0.05)
    probe = [e.ms for e in m.log()[before:] if e[1:3] == ("qzm", "load")]
    settle(m)
    return browser[0] - started, (probe[0] - started if probe else None)


def peak_memory(m, program):
    out = m.wine("D:\\peakmem.exe", "D:\\" + program).stdout.decode()
    settle(m)
    return int(out.split("peak_working_set=", 1)[1].split()[0])


def wine_runs(rounds, memory_rounds):
    reason = winelab.can_run_wine()
    if reason:
        raise SystemExit(f"cannot run Wine here: {reason}")
    if not winelab.template_ready("win64"):
        print("making the Wine prefix template (once) ...", flush=True)
        winelab.make_template("win64")
    times = {p: [] for p in PROGRAMS}
    probes = {p: [] for p in PROGRAMS}
    memory = {p: [] for p in PROGRAMS}
    with winelab.Machine("bench") as m:
        # The sample disc's image with the programs built here, read-only in drive D:, as
        # the end-to-end scenarios run it.
        m.insert_disc(remove=("Q7.exe",), add={name: (BENCH_BUILD / "win32" / name).read_bytes()
                                               for name in BUILT_HERE})
        system = (f"Windows {m.report['major']}.{m.report['minor']}.{m.report['build']}, "
                  f"{'64' if m.report['isWow64'] == '1' else '32'}-bit, "
                  f"LANGID {m.report['systemLangId']}")
        # One unmeasured run of each first: the first start of a program in a fresh prefix also
        # pays for loading Wine's libraries from disk and translating their code under emulation.
        for program in PROGRAMS:
            time_to_browser(m, program)
        for r in range(rounds):
            # The order turns each round, so no program always follows the same one.
            order = PROGRAMS[r % 3:] + PROGRAMS[:r % 3]
            for program in order:
                browser, probe = time_to_browser(m, program)
                times[program].append(browser)
                if probe is not None:
                    probes[program].append(probe)
            print(f"  round {r + 1}/{rounds}: " + ", ".join(
                f"{p} {times[p][-1]:.0f} ms" for p in PROGRAMS), flush=True)
        for r in range(memory_rounds):
            for program in PROGRAMS:
                memory[program].append(peak_memory(m, program))
    return system, times, probes, memory


# --- 4. The running check -------------------------------------------------------------------

def process_check():
    out = subprocess.run([str(NATIVE_BENCH), "--benchmark_format=json"], check=True,
                         capture_output=True, text=True).stdout
    result = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("run_type") == "iteration":
            family, count = b["name"].split("/")
            scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3}[b["time_unit"]]
            result.setdefault(family.removeprefix("BM_"), {})[int(count)] = b["cpu_time"] * scale
    return result


# --- The table ------------------------------------------------------------------------------

def verdict(ok):
    return "MET" if ok else "NOT MET"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--memory-rounds", type=int, default=3)
    args = parser.parse_args()

    size, dlls = image()
    print("Measuring one browser-loop check through the fake platform ...", flush=True)
    checks = process_check()
    print(f"Running the three programs under Wine, {args.rounds} rounds ...", flush=True)
    system, times, probes, memory = wine_runs(args.rounds, args.memory_rounds)

    kib = size / 1024
    print("\n== Start.exe")
    print(f"  size     {size} bytes = {kib:.1f} KiB   (target <= 100 KiB: {verdict(kib <= 100)})")
    print(f"  imports  {', '.join(dlls)}")

    print(f"\n== Time from start to the browser's start, under Wine ({system}), "
          f"sample disc without Q7.exe, {args.rounds} rounds")
    print(f"  {'program':20} {'median':>8} {'min':>8} {'max':>8}   to the probe library (median)")
    for p in PROGRAMS:
        t = times[p]
        probe = f"{statistics.median(probes[p]):6.0f} ms" if probes[p] else "     -"
        print(f"  {p:20} {statistics.median(t):6.0f} ms {min(t):5.0f} ms {max(t):5.0f} ms"
              f"   {probe}")
    straight = statistics.median(
        a / b for a, b in zip(times["Start.exe"], times["floor_straight.exe"]))
    bare = statistics.median(a / b for a, b in zip(times["Start.exe"], times["floor_bare.exe"]))
    print(f"  Start.exe / floor_straight.exe (median of the rounds' ratios)  {straight:.2f}"
          f"   (target <= 1.2: {verdict(straight <= 1.2)})")
    print(f"  Start.exe / floor_bare.exe     (median of the rounds' ratios)  {bare:.2f}")

    print(f"\n== Peak working set (median of {args.memory_rounds} runs; under Wine, this is the "
          f"host process's, emulator included)")
    for p in PROGRAMS:
        mib = [b / 2**20 for b in memory[p]]
        print(f"  {p:20} {statistics.median(mib):7.1f} MiB   ({min(mib):.1f} to {max(mib):.1f})")
    extra = statistics.median(memory["Start.exe"]) - statistics.median(memory["floor_straight.exe"])
    print(f"  Start.exe - floor_straight.exe: {extra / 2**20:+.1f} MiB")

    print("\n== One browser-loop check (fill, upper-casing, walk; the 1 s sleep excluded), "
          "CPU time per check")
    counts = sorted(next(iter(checks.values())))
    print(f"  {'list source':24}" + "".join(f"{n:>10} proc" for n in counts)
          + "   5000/1000 (linear: 5)")
    labels = {"SnapshotSource": "snapshot (fake)", "ModuleSource": "module source (fake)"}
    for family, by_count in checks.items():
        growth = by_count[5000] / by_count[1000]
        print(f"  {labels.get(family, family):24}"
              + "".join(f"{by_count[n]:>12.1f} us" for n in counts)
              + f"   {growth:5.1f}   (< 1 ms at 5000: {verdict(by_count[5000] < 1000)})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
