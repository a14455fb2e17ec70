"""disckit.exe, the Windows build of disckit, checks a disc under Wine as the native build does.

It checks the sample disc (exit code 0) and a broken copy of it (exit code 1) whose faults take
every part of the check that has its own Windows code: reading images, listing folders with
names outside ASCII, and holding names against the ANSI code pages through the Win32 API where
the native build uses iconv. Both builds must report the same findings, word for word.

Wine runs in a prefix of the lab's (winelab.py), under its account, which may not be able to
enter the checkout: disckit.exe and both discs are copied onto the prefix's drive C: first. Run
by harness.py; it skips where this machine cannot run it.
"""

import json
import os
import shutil
import subprocess
import sys
import unittest
from pathlib import Path

import labpath  # noqa: F401 (the lab and the trial's driver)
import winelab
from winelab import Machine

DISCKIT_EXE = winelab.WIN32_BUILD / "disckit.exe"
DISCKIT = "C:\\kit\\disckit.exe"
NATIVE_DISCKIT = Path(os.environ.get("LAUNCHER_NATIVE_DISCKIT",
                                     winelab.ROOT / "build" / "native" / "disckit")).resolve()


def skip_reason():
    for path in (DISCKIT_EXE, NATIVE_DISCKIT):
        if not path.exists():
            return f"{path} is not built (cmake --preset win32 / native, then cmake --build)"
    return winelab.can_run_wine()


class NoReport(AssertionError):
    """A build of disckit printed no report: says which, its exit code and its stderr."""


def reported(who, done):
    """(exit code, text, report) of the two runs of one check: as text, and with --json."""
    text, report = done
    for run in done:
        if run.stderr.strip():
            print(run.stderr.decode("utf-8", "replace"), file=sys.stderr)
    try:
        # The console program writes lines ending in CR LF, as Windows programs do.
        result = (report.returncode, text.stdout.decode("utf-8").replace("\r\n", "\n"),
                  json.loads(report.stdout.decode("utf-8")))
    except ValueError as bad:
        err = report.stderr.decode("utf-8", "replace").strip() or "nothing"
        raise NoReport(f"{who}: no report ({bad}); exit code {report.returncode}, "
                       f"stdout {len(report.stdout)} bytes, stderr: {err}") from None
    if text.returncode != report.returncode:
        raise AssertionError(f"{who}: exit code {text.returncode} for the text, "
                             f"{report.returncode} for the JSON")
    return result


def compare(name, disc, m, expected_rc):
    """disc: the folder on the prefix's drive C: (a Windows path)."""
    native = reported(f"{name}, native build",
                      [subprocess.run([str(NATIVE_DISCKIT), "check", str(m.unix_path(disc)),
                                       *extra], capture_output=True, timeout=winelab.PATIENCE)
                       for extra in ([], ["--json"])])
    windows = reported(f"{name}, Windows build under Wine",
                       [m.wine(DISCKIT, "check", disc, *extra, check=False)
                        for extra in ([], ["--json"])])
    print(f"{name}: native exit {native[0]}, {native[2]['summary']}; "
          f"Windows build under Wine exit {windows[0]}, {windows[2]['summary']}")
    failures = []
    if native[0] != expected_rc or windows[0] != expected_rc:
        failures.append(f"{name}: exit codes {native[0]} (native) and {windows[0]} (Wine), "
                        f"wanted {expected_rc}")
    if native[2]["findings"] != windows[2]["findings"] or native[2]["summary"] != windows[2]["summary"]:
        failures.append(f"{name}: the findings differ:\nnative:\n{json.dumps(native[2], indent=1)}"
                        f"\nWine:\n{json.dumps(windows[2], indent=1)}")
    # The text reports differ only in how the folder was named on their last line.
    body = [r[1].rsplit("\n", 2)[0] for r in (native, windows)]
    if body[0] != body[1]:
        failures.append(f"{name}: the text reports differ:\n{native[1]}\n---\n{windows[1]}")
    return failures


def set_machine(path, machine):
    data = bytearray(path.read_bytes())
    at = int.from_bytes(data[0x3C:0x40], "little") + 4
    data[at:at + 2] = machine.to_bytes(2, "little")
    path.write_bytes(bytes(data))


def broken_copy(target):
    """The sample disc with one fault of each kind that has code of its own on Windows."""
    if target.exists():
        shutil.rmtree(target)
    shutil.copytree(winelab.DISC, target)
    (target / "Panoview.exe").unlink()
    set_machine(target / "Gauge.ocx", 0x8664)
    (target / "lang" / "DEU" / "locale.js").unlink()
    shutil.rmtree(target / "lang" / "KOR")
    for name in ("lang/Eng/Über uns.htm", "lang/Eng/Ωmega.htm", "lang/JPN/ページ.htm",
                 "lang/DEU/ページ.htm", "lang/RUS/Справка.htm", "lang/Eng/Справка.htm"):
        (target / name).write_text("x")
    (target / "PANOVIEW.EXE").write_bytes((winelab.DISC / "Handoff.exe").read_bytes())


def setUpModule():
    reason = skip_reason()
    if reason:
        raise unittest.SkipTest(reason)


class DisckitCheck(unittest.TestCase):
    def test_windows_build_reports_as_native(self):
        # Wine reads Unix file names through the locale's character set: UTF-8, as they are
        # stored.
        with Machine("disckit_check", lang="C.UTF-8") as m:
            m.bring(DISCKIT_EXE, DISCKIT)
            sample = m.bring(winelab.DISC, "C:\\sample-disc")
            broken = "C:\\broken-disc"
            broken_copy(m.unix_path(broken))
            winelab.give(m.unix_path(broken))
            failures = compare("sample disc", sample, m, 0)
            failures += compare("broken copy", broken, m, 1)
        for failure in failures:
            print(failure)
        self.assertEqual(len(failures), 0, "differences between the builds (above)")
