#!/usr/bin/env python3
"""disckit as installed: cmake --install into a temporary prefix, then the installed copy's
--version, check, simulate and trial on a copy of the sample disc, run where the checkout and
the build folders are out of reach (hidden behind empty folders by bubblewrap). Only the lab's
work folder stays, for the prefix templates the fixture made. Run by harness.py.
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

import labpath  # noqa: F401 (the lab and the trial's driver)
import winelab
from scenarios import check, equal

# The native build's folder, which the installed copy may not name.
BUILD = Path(os.environ.get("LAUNCHER_NATIVE_DISCKIT",
                            winelab.ROOT / "build" / "native" / "disckit")).resolve().parent


def setUpModule():
    reason = winelab.can_run_wine()
    if reason is None and shutil.which("bwrap") is None:
        reason = "bwrap is not installed (scripts/deps.sh wine installs bubblewrap)"
    if reason:
        raise unittest.SkipTest(reason)


class InstalledCopy(unittest.TestCase):
    def test_runs_with_the_checkout_hidden(self):
        build = BUILD
        work = winelab.WORK
        with tempfile.TemporaryDirectory(prefix="disckit-installed-") as temp:
            temp = Path(temp)
            prefix = temp / "usr"
            subprocess.run(["cmake", "--install", str(build), "--prefix", str(prefix), "--strip"],
                           check=True, timeout=300, capture_output=True)
            # Nothing installed may name a folder that a user of the package does not have.
            hidden = sorted({winelab.ROOT, build, winelab.WIN32_BUILD})
            for file in sorted(p for p in prefix.rglob("*") if p.is_file()):
                data = file.read_bytes()
                for folder in hidden:
                    check(str(folder).encode() not in data, f"{file} names {folder}")
            for path in ("bin/disckit", "lib/disckit/trial.py", "lib/disckit/winelab.py",
                         "lib/disckit/machine.py", "lib/disckit/trialbox.py",
                         "lib/disckit/trial_run.py",
                         "lib/disckit/Start.exe", "lib/disckit/tools/OsProbe.exe",
                         "share/man/man1/disckit.1.gz", "share/bash-completion/completions/disckit"):
                check((prefix / path).is_file(), f"{path} is not installed")
            disc = temp / "disc"
            shutil.copytree(winelab.DISC, disc)

            sandbox = ["bwrap", "--dev-bind", "/", "/", "--die-with-parent"]
            for folder in hidden:
                sandbox += ["--tmpfs", str(folder)]
            sandbox += ["--bind", str(work), str(work), "--chdir", str(temp), "--"]

            def disckit(*args):
                run = subprocess.run(sandbox + [str(prefix / "bin" / "disckit"), *args],
                                     capture_output=True, text=True, timeout=3 * winelab.PATIENCE)
                print(f"disckit {' '.join(args)}: exit {run.returncode}")
                sys.stdout.write(run.stderr)
                return run

            hidden_file = subprocess.run(sandbox + ["test", "-e", str(winelab.START_EXE)])
            check(hidden_file.returncode != 0, "the sandbox does not hide the build")
            version = disckit("--version")
            check(re.fullmatch(r"disckit \d+\.\d+\.\d+\n", version.stdout), version.stdout)
            checked = disckit("check", str(disc), "--json")
            equal(checked.returncode, 0, "check's exit code")
            equal(json.loads(checked.stdout)["summary"]["errors"], 0, "check's errors")
            simulated = disckit("simulate", str(disc), "--json")
            equal(simulated.returncode, 0, "simulate's exit code")
            equal(json.loads(simulated.stdout)["outcome"]["result"], "browser-running",
                  "the simulation's outcome")
            # init copies the stock launcher that is installed beside it, with the build hidden.
            new_disc = temp / "new disc"
            made = disckit("init", str(new_disc), "--lang", "de-DE")
            equal(made.returncode, 0, "init's exit code")
            check((new_disc / "Start.exe").read_bytes() ==
                  (prefix / "lib" / "disckit" / "Start.exe").read_bytes(),
                  "init's Start.exe is not the installed stock launcher")
            tried = disckit("trial", str(disc), "--json", "--out", str(temp / "shots"),
                            "--timeout", str(int(winelab.PATIENCE)))
            equal(tried.returncode, 0, "trial's exit code")
            equal(json.loads(tried.stdout)["outcome"]["result"], "browser-running",
                  "the trial's outcome")
