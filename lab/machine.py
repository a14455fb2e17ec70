"""One Wine prefix, as the end-to-end scenarios and disckit trial ask things of it.

Machine holds what does not depend on how Wine is run: the Wine version setting, the system's
report (OsProbe), the process table (ProcList), bounded waits and where a drive's path lives on
the host. Its subclasses say how Wine runs: winelab.Machine as the lab's account, for one
scenario; trialbox.Machine inside a trial's sandbox. Both read what the lab's tools print as
hostile: a Windows program of the disc runs in the same prefix and may have replaced a tool, or
written to the console it shares, so a line that is not a record is skipped and at most
MAX_LINES are read.
"""

import collections
import os
import shutil
import subprocess
import time
from pathlib import Path

# Wine's 64-bit loader (not on PATH): in a 64-bit prefix Wine's own 64-bit programs, its registry
# tool among them, start in a fraction of the time the 32-bit ones take where 32-bit code is
# emulated.
WINE64 = "/usr/lib/wine/wine64"
# Seconds to wait for something that must happen (a program's start, a record, an end).
# Generous for machines that emulate 32-bit code, where one Wine process takes seconds to start.
PATIENCE = float(os.environ.get("LAUNCHER_E2E_PATIENCE", "180"))
# The Python codec of each ANSI code page a scenario or a trial meets; others read as 1252.
ANSI = {"932": "cp932", "936": "gbk", "1254": "cp1254", "1252": "cp1252"}
# Lines of a lab tool's output read at the most (a real process table holds a few dozen).
MAX_LINES = 10000

# One running process: its id, executable name and creation time (ms since 1970, 0 if unknown).
Process = collections.namedtuple("Process", "pid name created")


class ProgramFailed(subprocess.CalledProcessError):
    """A Windows program ended with a failure: says its exit code and what it wrote to stderr,
    where a bare CalledProcessError would hide the reason."""

    def __str__(self):
        err = (self.stderr or b"").decode("utf-8", "replace").strip()
        if len(err) > 2000:
            err = "..." + err[-2000:]
        return (f"{' '.join(map(str, self.cmd))} ended with exit code {self.returncode}"
                + (f"; stderr:\n{err}" if err else ", nothing on stderr"))


def parse_report(out):
    """OsProbe's output (bytes) as a dict of its key=value lines; other lines are skipped."""
    report = {}
    for line in out.decode("latin-1").splitlines()[:MAX_LINES]:
        key, equals, value = line.strip().partition("=")
        if key and equals:
            report[key] = value
    return report


def parse_process_table(text):
    """ProcList's output (text) as Processes: id, name and creation time, tab-separated; a line
    that is not one is skipped."""
    table = []
    for line in text.splitlines()[:MAX_LINES]:
        fields = line.rstrip("\r").split("\t")
        try:
            table.append(Process(int(fields[0]), fields[1], int(fields[2] or 0)))
        except (ValueError, IndexError):
            continue
    return table


def native_wine(arch):
    """The Wine loader of the prefix's own kind: a 64-bit prefix's programs of the system (reg,
    cmd) are 64-bit, and run through wine64 without the emulation 32-bit code may need here.
    Where it is missing, or the prefix is a 32-bit one, "wine"."""
    if arch == "win64":
        for candidate in (shutil.which("wine64"), WINE64):
            if candidate and os.access(candidate, os.X_OK):
                return candidate
    return "wine"


def wait(predicate, timeout, interval=0.25):
    """Whether predicate() came true within timeout seconds (asked once more at the end)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()


class Machine:
    """One Wine prefix (dir/prefix) whose drive D: is dir/disc. A subclass gives wine() (a
    Windows program run to its end, its output returned) and sets the prefix up, then calls
    use_version() for the first report."""

    def __init__(self, folder):
        self.dir = Path(folder)
        self.prefix = self.dir / "prefix"
        self.disc_dir = None
        self.report = {}
        self.ansi = "cp1252"
        self.background = []

    def wine(self, *args, timeout=None, env=None, check=True):
        """Runs a Windows program to its end: a CompletedProcess with its output as bytes;
        ProgramFailed when check and it failed."""
        raise NotImplementedError

    # --- What the system reports ----------------------------------------------------------

    def reg(self, *args, check=True):
        """Wine's registry tool (reg ARGS): a CompletedProcess. A subclass may run the prefix's
        native one where it starts faster than the 32-bit one; the registry it sees is the same."""
        return self.wine("reg", *args, check=check)

    def set_version(self, version):
        self.reg("add", "HKCU\\Software\\Wine", "/v", "Version", "/d", version, "/f")

    def probe_output(self, *args):
        return self.wine("C:\\lab\\OsProbe.exe", *args).stdout

    def probe(self, drive=None):
        """What Wine tells a program about the system (OsProbe's keys); with a drive, about it
        too."""
        return parse_report(self.probe_output(*([drive] if drive else [])))

    def use_version(self, setting):
        """Sets a Wine version setting (None: the prefix's own) and reads the report again, and
        with it the code page the tools' output is read in. Returns the report."""
        if setting is not None:
            self.set_version(setting)
        self.report = self.probe()
        self.ansi = ANSI.get(self.report.get("acp", "1252"), "cp1252")
        return self.report

    def process_table(self):
        out = self.wine("C:\\lab\\ProcList.exe").stdout
        return parse_process_table(out.decode(self.ansi, "replace"))

    def processes(self):
        return [p.name for p in self.process_table()]

    def wait_for(self, predicate, timeout=None, interval=0.25):
        """Whether predicate() came true within timeout seconds (PATIENCE when not given)."""
        return wait(predicate, PATIENCE if timeout is None else timeout, interval)

    # --- Paths ----------------------------------------------------------------------------------

    def unix_path(self, windows_path):
        """Where a path on drive C: or D: lives on the host."""
        drive, rest = windows_path[:3].upper(), windows_path[3:].replace("\\", "/")
        assert drive in ("C:\\", "D:\\"), windows_path
        return (self.prefix / "drive_c" if drive == "C:\\" else self.dir / "disc") / rest
