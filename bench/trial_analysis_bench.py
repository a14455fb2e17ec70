#!/usr/bin/env python3
"""What the trial's driver spends, after a run, on a Windows directory a disc's programs filled
with sparse files the size of a file of the disc: listing it, reading the changes and comparing
them with the disc's files. Prints figures; the comparison's own bounds decide when it stops.
Usage: trial_analysis_bench.py [files] [MiB each]"""

import os
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "e2e"))
import labpath  # noqa: E402,F401
import trial_run  # noqa: E402
import trial_trace  # noqa: E402


def main(argv):
    files = int(argv[0]) if argv else 4000
    size = (int(argv[1]) if len(argv) > 1 else 4) << 20
    with tempfile.TemporaryDirectory() as tmp:
        root, disc = Path(tmp) / "work", Path(tmp) / "disc"
        (root / "windows").mkdir(parents=True)
        disc.mkdir()
        with open(disc / "Setup.exe", "wb") as f:
            f.truncate(size)
        for i in range(files):
            with open(root / "windows" / f"sparse{i:05d}.bin", "wb") as f:
                f.truncate(size)
        cpu, wall = time.process_time(), time.monotonic()
        after = trial_trace.windows_files(root, "windows")
        notes = []
        changes = trial_run.Trial.windows_changes({}, after, root, "windows", "1252", notes,
                                                  time.monotonic() + trial_run.ANALYSIS_SECONDS)
        trial_run.Trial.name_copies(changes, root, "windows", disc, notes,
                                    time.monotonic() + trial_run.ANALYSIS_SECONDS)
        cpu, wall = time.process_time() - cpu, time.monotonic() - wall
    copies = sum("copyOf" in c for c in changes)
    print(f"trial analysis: {files} sparse files of {size >> 20} MiB: {cpu:.2f} s CPU, "
          f"{wall:.2f} s in all; {copies} found copies of the disc's file")
    for note in notes:
        print(f"  note: {note}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
