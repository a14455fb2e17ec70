#!/usr/bin/env python3
"""What a trial costs beside the launcher's own run: a template prefix made from nothing, then
warm trials of the sample disc's image (the template made), each timed from the command's start
to its end, next to the launcher's own run as the report measures it (from its start to its
end). Prints figures and how they compare with the goals; it passes or fails nothing.
Uses a lab of its own (build/bench/trial-lab), so that the test runs' templates are left alone.
Usage: trial_bench.py [--rounds N] [--arch win64|win32] [--no-template]"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# The goals: what a warm trial adds to the launcher's run, and a template made from nothing.
OVERHEAD_GOAL = 5.0
TEMPLATE_GOAL = 40.0


def load():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def main(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--arch", choices=("win64", "win32"), default="win64")
    parser.add_argument("--no-template", action="store_true",
                        help="keep the lab's template when there is one")
    a = parser.parse_args(argv)
    os.environ["LAUNCHER_E2E_WORK"] = str(ROOT / "build" / "bench" / "trial-lab")
    sys.path.insert(0, str(ROOT / "lab"))
    import winelab  # noqa: E402  (reads LAUNCHER_E2E_WORK as it is imported)

    disckit = Path(os.environ.get("LAUNCHER_NATIVE_DISCKIT", ROOT / "build/native/disckit"))
    image = winelab.WIN32_BUILD / "disc.iso"
    why = winelab.can_run_wine()
    if why:
        print(f"trial benchmark: skipped: {why}")
        return 0
    # A profile of each kind of prefix: Windows 7 64-bit, XP (32-bit).
    system = "7-x64" if a.arch == "win64" else "xp"
    print(f"trial benchmark ({a.arch}, load {load()})", flush=True)
    if not a.no_template or not winelab.template_ready(a.arch):
        began = time.monotonic()
        winelab.make_template(a.arch)
        made = time.monotonic() - began
        print(f"  template made in {made:.1f} s (goal {TEMPLATE_GOAL:.0f} s: "
              f"{'met' if made <= TEMPLATE_GOAL else 'not met'})", flush=True)
    overheads = []
    for n in range(a.rounds):
        began = time.monotonic()
        done = subprocess.run([str(disckit), "trial", str(image), "--system", system, "--json"],
                              capture_output=True, timeout=900)
        wall = time.monotonic() - began
        try:
            launcher = json.loads(done.stdout)["launcher"]["seconds"]
        except (ValueError, KeyError, TypeError):
            print(f"  round {n + 1}: the trial failed (exit {done.returncode}): "
                  + done.stderr.decode("utf-8", "replace").strip()[-400:])
            continue
        overheads.append(wall - launcher)
        print(f"  round {n + 1}: wall {wall:.2f} s, launcher {launcher:.2f} s, "
              f"beside it {wall - launcher:.2f} s (load {load()})", flush=True)
    if overheads:
        median = statistics.median(overheads)
        print(f"  warm trial beside the launcher's run: median {median:.2f} s of "
              f"{len(overheads)} (goal {OVERHEAD_GOAL:.0f} s: "
              f"{'met' if median <= OVERHEAD_GOAL else 'not met'})")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
