"""disckit.exe, the Windows build of disckit, checks a disc under Wine as the native build does.

It checks the sample disc (exit code 0) and a broken copy of it (exit code 1) whose faults take
every part of the check that has its own Windows code: reading images, listing folders with
names outside ASCII, and holding names against the ANSI code pages through the Win32 API where
the native build uses iconv. Both builds must report the same findings, word for word.

Wine runs in a prefix of the lab's (winelab.py), under its account. Exit code 77 when this
machine cannot run it.
"""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import winelab
from winelab import Machine

DISCKIT_EXE = winelab.WIN32_BUILD / "disckit.exe"
NATIVE_DISCKIT = Path(os.environ.get("LAUNCHER_NATIVE_DISCKIT",
                                     winelab.ROOT / "build" / "native" / "disckit")).resolve()
SKIP = 77


def skip_reason():
    for path in (DISCKIT_EXE, NATIVE_DISCKIT):
        if not path.exists():
            return f"{path} is not built (cmake --preset win32 / native, then cmake --build)"
    return winelab.can_run_wine()


def windows_path(path):
    """The path as the prefix's drive Z: (the Unix root) shows it."""
    return "Z:" + str(path).replace("/", "\\")


def reported(done):
    """(exit code, text, report) of the two runs of one check: as text, and with --json."""
    text, report = done
    if text.returncode != report.returncode:
        raise AssertionError(f"exit code {text.returncode} for the text, "
                             f"{report.returncode} for the JSON")
    for run in done:
        if run.stderr.strip():
            print(run.stderr.decode("utf-8", "replace"), file=sys.stderr)
    # The console program writes lines ending in CR LF, as Windows programs do.
    return (report.returncode, text.stdout.decode("utf-8").replace("\r\n", "\n"),
            json.loads(report.stdout.decode("utf-8")))


def compare(name, disc, m, expected_rc):
    native = reported([subprocess.run([str(NATIVE_DISCKIT), "check", str(disc), *extra],
                                      capture_output=True, timeout=winelab.PATIENCE)
                       for extra in ([], ["--json"])])
    windows = reported([m.wine(windows_path(DISCKIT_EXE), "check", windows_path(disc), *extra,
                               check=False) for extra in ([], ["--json"])])
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


def main():
    reason = skip_reason()
    if reason:
        print(f"skipped: {reason}")
        return SKIP
    # Wine reads Unix file names through the locale's character set: UTF-8, as they are stored.
    with Machine("disckit_check", lang="C.UTF-8") as m:
        broken = m.dir / "broken-disc"
        broken_copy(broken)
        failures = compare("sample disc", winelab.DISC, m, 0)
        failures += compare("broken copy", broken, m, 1)
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
