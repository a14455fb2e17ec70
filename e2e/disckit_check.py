"""disckit.exe, the Windows build of disckit, checks a disc under Wine as the native build does.

It checks the sample disc (exit code 0) and a broken copy of it (exit code 1) whose faults take
every part of the check that has its own Windows code: reading images, listing folders with
names outside ASCII, and holding names against the ANSI code pages through the Win32 API where
the native build uses iconv. Both builds must report the same findings, word for word.

Wine runs in a prefix of its own, made for this run and removed after it. Exit code 77 when this
machine cannot run it.
"""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
WIN32_BUILD = Path(os.environ.get("LAUNCHER_WIN32_BUILD", ROOT / "build" / "win32")).resolve()
DISCKIT_EXE = WIN32_BUILD / "disckit.exe"
DISC = WIN32_BUILD / "disc"
NATIVE_DISCKIT = Path(os.environ.get("LAUNCHER_NATIVE_DISCKIT",
                                     ROOT / "build" / "native" / "disckit")).resolve()
WORK = Path(os.environ.get("LAUNCHER_E2E_WORK", ROOT / "build" / "e2e")).resolve() / "disckit-check"
# Seconds for one Wine command: a prefix takes about 20 s to make here, a check a second; on
# machines that emulate 32-bit code every Wine process takes seconds more.
PATIENCE = float(os.environ.get("LAUNCHER_E2E_PATIENCE", "400"))
SKIP = 77

ENV = {
    "WINEDEBUG": "-all",
    "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
    # Wine reads Unix file names through the locale's character set: UTF-8, as they are stored.
    "LC_ALL": "C.UTF-8",
}


class WineHung(Exception):
    """Wine itself hung while the prefix was being made, before disckit ran."""


def skip_reason():
    if shutil.which("wine") is None:
        return "wine is not installed (scripts/deps.sh wine installs it)"
    for path in (DISCKIT_EXE, DISC / "Start.exe"):
        if not path.exists():
            return f"{path} is not built (cmake --preset win32 && cmake --build --preset win32)"
    if not NATIVE_DISCKIT.exists():
        return f"{NATIVE_DISCKIT} is not built (cmake --preset native && cmake --build --preset native)"
    try:
        subprocess.run(["/lib/ld-linux.so.2", "--version"], capture_output=True, check=True,
                       timeout=30)
    except (OSError, subprocess.SubprocessError):
        return "this machine cannot run 32-bit x86 code (scripts/deps.sh wine sets up emulation)"
    return None


def wine_env(prefix):
    env = dict(os.environ, **ENV, WINEPREFIX=str(prefix))
    env.pop("DISPLAY", None)
    env.pop("WINEARCH", None)
    return env


def end_wine(prefix):
    subprocess.run(["wineserver", "-k"], env=wine_env(prefix), capture_output=True, timeout=60)


def make_prefix(prefix):
    if prefix.exists():
        end_wine(prefix)
        shutil.rmtree(prefix)
    prefix.mkdir(parents=True)
    env = wine_env(prefix)
    try:
        subprocess.run(["wineboot", "-i"], env=env, check=True, timeout=PATIENCE,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=env, check=True, timeout=PATIENCE)
    except subprocess.TimeoutExpired as hang:
        end_wine(prefix)
        raise WineHung(str(hang)) from hang


def windows_path(path):
    """The path as the prefix's drive Z: (the Unix root) shows it."""
    return "Z:" + str(path).replace("/", "\\")


def check(command, env=None):
    """disckit check on a folder, as human text and as JSON: (exit code, text, report)."""
    runs = []
    for extra in ([], ["--json"]):
        done = subprocess.run(command + extra, env=env, capture_output=True, timeout=PATIENCE)
        runs.append(done)
        if done.stderr.strip():
            print(done.stderr.decode("utf-8", "replace"), file=sys.stderr)
    text, report = runs
    if text.returncode != report.returncode:
        raise AssertionError(f"{command}: exit code {text.returncode} for the text, "
                             f"{report.returncode} for the JSON")
    # The console program writes lines ending in CR LF, as Windows programs do.
    return (report.returncode, text.stdout.decode("utf-8").replace("\r\n", "\n"),
            json.loads(report.stdout.decode("utf-8")))


def compare(name, disc, prefix, expected_rc):
    native = check([str(NATIVE_DISCKIT), "check", str(disc)])
    windows = check(["wine", str(DISCKIT_EXE), "check", windows_path(disc)], wine_env(prefix))
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
    shutil.copytree(DISC, target)
    (target / "Panoview.exe").unlink()
    set_machine(target / "Gauge.ocx", 0x8664)
    (target / "lang" / "DEU" / "locale.js").unlink()
    shutil.rmtree(target / "lang" / "KOR")
    for name in ("lang/Eng/Über uns.htm", "lang/Eng/Ωmega.htm", "lang/JPN/ページ.htm",
                 "lang/DEU/ページ.htm", "lang/RUS/Справка.htm", "lang/Eng/Справка.htm"):
        (target / name).write_text("x")
    (target / "PANOVIEW.EXE").write_bytes((DISC / "Handoff.exe").read_bytes())


def main():
    reason = skip_reason()
    if reason:
        print(f"skipped: {reason}")
        return SKIP
    WORK.mkdir(parents=True, exist_ok=True)
    prefix = WORK / "prefix"
    try:
        try:
            make_prefix(prefix)
        except WineHung:
            # Wine's own start-up, not disckit: one more try in a fresh prefix.
            print("Wine hung while making the prefix; trying once more")
            make_prefix(prefix)
        broken = WORK / "broken-disc"
        broken_copy(broken)
        failures = compare("sample disc", DISC, prefix, 0)
        failures += compare("broken copy", broken, prefix, 1)
    finally:
        if prefix.exists():
            end_wine(prefix)
            shutil.rmtree(prefix, ignore_errors=True)
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
