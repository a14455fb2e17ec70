"""What a scenario's launcher runs met and did, kept for the simulation to be held against.

A scenario whose system and disc `disckit simulate` can describe records, beside its own checks,
one JSON file (RECORDS/<scenario>.json) with a part per launcher run, or per group of launchers
that run at once: what the run ran on (the system as OsProbe reported it, the disc folder the
launcher ran from, copied beside the record, read-only or writable media, the install directory,
whether the controls' class was registered) and what Wine recorded (every stand-in process
created in the run's time, with its program file and command line, in creation order; the boxes
and the disc's library loads, with the times they were recorded; the files of the Windows
directory that the run created, changed or removed, with their bytes; each launcher's exit code,
or that it still runs). simulation_compare.py reads them.

    rec = Recording(m)                   # at the scenario's start: forgets an earlier record
    part = rec.part(d)                   # just before the launcher starts
    run = m.run_launcher(d)
    ...                                  # the scenario's own checks
    part.ran(run)                        # a Run, or a Launcher, with what it was told
    rec.save()                           # after the last check

A scenario that skips here leaves a record that says so and why (skipped(), called by the
scenarios' runner). A part is observed once the scenario has checked it: when the next part
begins (before its launcher starts, so the next run's files do not count) or on save. Recording
changes nothing a scenario checks. It waits only for what it reads: for the started stand-ins'
first records, and, when it reads the class key itself, for the registration tools still running
from an earlier run to end, which would otherwise change the key under the launcher.
"""

import base64
import json
import os
import shutil
import subprocess

import labpath  # noqa: F401 (the lab and the trial's driver)
import winelab

RECORDS = winelab.WORK / "simulation-records"


def _text(data, ansi):
    """Bytes of the launcher's code page as text that keeps every byte (JSON escapes the rest)."""
    return data.decode(ansi, "surrogateescape")


def _windows_files(folder):
    """The files directly in a folder: name -> (inode, change time, size), what a write moves."""
    files = {}
    with os.scandir(folder) as entries:
        for entry in entries:
            if entry.is_file(follow_symlinks=False):
                st = entry.stat(follow_symlinks=False)
                files[entry.name] = (st.st_ino, st.st_ctime_ns, st.st_size)
    return files


class Part:
    """One launcher run, or launchers that run at once, on one system and disc."""

    def __init__(self, recording, index, install_dir, registered):
        m = recording.machine
        self.recording, self.machine = recording, m
        self.launchers = []
        self.host_browsers = []
        self.observed = None
        if registered is None:
            # The class key as the launcher will meet it: registrations still running from an
            # earlier run would change it under the launcher.
            m.wait_gone("regsvr32.exe")
            registered = m.class_key_present()
        windows = m.report["windowsDir"]
        self.windows = m.unix_path(windows + "\\")
        self.windows_before = _windows_files(self.windows)
        disc = f"{m.name}-{index}"
        target = RECORDS / disc
        if target.exists():
            shutil.rmtree(target)
        shutil.copytree(m.unix_path(install_dir), target, symlinks=True,
                        copy_function=shutil.copyfile)
        subprocess.run(["chmod", "-R", "u+w", str(target)], check=True, timeout=60)
        self.record = {
            "system": dict(m.report),
            "ansi": m.ansi,
            "installDir": install_dir,
            # The lab's D: is a CD-ROM drive holding an image's files; a copy goes on C:.
            "media": "readonly" if install_dir[:2].upper() == "D:" else "writable",
            "disc": disc,
            "registered": registered,
            "windowsDir": windows,
        }

    def ran(self, launcher, browser=None, instance_running=False):
        """A launcher of this part: a Run (ended) or a Launcher (it may still run). browser:
        "never" when the browser it starts never shows up as a process; instance_running: it
        was started while another launcher of the same file ran."""
        self.launchers.append((launcher, browser, instance_running))

    def host_browser(self, browser):
        """A winelab.HostBrowser in place of the disc's browser: its starts are recorded from its
        own lines, as starts of the file it replaced, with the arguments it was given (a program
        of the host sees no command line, only the arguments Wine split it into). Put in place
        after the part began, so that the part's copy keeps the disc's own browser: the
        simulation is told of a browser that never shows up (ran(browser="never")), which is
        what the host's is to the launcher; a file that is no Windows image would not start on
        Windows at all."""
        self.host_browsers.append(browser)

    def observe(self):
        if self.observed is not None:
            return
        m = self.machine
        running = [l for l, _, _ in self.launchers
                   if isinstance(l, winelab.Launcher) and l.running()]
        # Every stand-in the run started has written its first record. A launcher that keeps
        # starting its browser may always have one on its way: then the registrations only.
        log = m.settle(names=("regsvr32.exe",) if running else winelab.STANDIN_PROCESSES)
        now = winelab.now_ms()
        launchers, start, end = [], None, 0
        for launcher, browser, instance_running in self.launchers:
            if isinstance(launcher, winelab.Run):
                rc, started, ended = launcher.rc, launcher.started, launcher.ended
            elif launcher.running():
                rc, started, ended = None, launcher.started, None
            else:
                rc, started, ended = launcher.proc.returncode, launcher.started, launcher.ended
            options = {}
            if browser:
                options["browser"] = browser
            if instance_running:
                options["instanceRunning"] = True
            launchers.append({"options": options, "exitCode": rc, "started": started,
                              "ended": ended})
            start = started if start is None else min(start, started)
            end = max(end, ended if ended is not None else now)
        ansi = m.ansi
        inside = [e for e in log if start <= e.created <= end]
        processes = []
        for e in inside:
            if e.event == "process":
                image, _, command = e.detail.partition(b"\x1f")
                processes.append({"pid": e.pid, "created": e.created,
                                  "image": _text(image, ansi), "commandLine": _text(command, ansi)})
        for browser in self.host_browsers:
            for ticks, pid, program, args in browser.starts():
                created = browser.created_ms(ticks)
                if start <= created <= end:
                    image = browser.program if browser.started_from(program) else \
                        program.decode("utf-8", "replace")
                    processes.append({"pid": pid, "created": created, "image": image,
                                      "arguments": [a.decode("utf-8", "surrogateescape")
                                                    for a in args]})
        processes.sort(key=lambda p: p["created"])
        loads = [{"ms": e.ms, "path": _text(e.detail, ansi)} for e in inside if e.event == "load"]
        boxes = []
        for e in log:
            if (e.program, e.event) == ("BoxWatcher", "box") and start <= e.ms <= end:
                caption, _, text = e.detail.partition(b"\x1f")
                boxes.append({"ms": e.ms, "caption": _text(caption, ansi),
                              "text": _text(text, ansi)})
        after = _windows_files(self.windows)
        files = []
        for name in sorted(after):
            if self.windows_before.get(name) == after[name]:
                continue
            path = self.windows / name
            files.append({"path": self.record["windowsDir"] + "\\" + name,
                          "readOnly": not path.stat().st_mode & 0o200,
                          "bytes": base64.b64encode(path.read_bytes()).decode("ascii")})
        removed = [self.record["windowsDir"] + "\\" + name
                   for name in sorted(set(self.windows_before) - set(after))]
        self.record.update({"launchers": launchers, "window": [start, end],
                            "processes": processes, "boxes": boxes, "loads": loads,
                            "files": files, "removed": removed})
        self.observed = self.record


def skipped(scenario, reason):
    """Notes that the scenario skipped here, so that nobody runs it again to find out."""
    RECORDS.mkdir(parents=True, exist_ok=True)
    _write(RECORDS / f"{scenario}.json", {"scenario": scenario, "skipped": reason})


def _write(path, record):
    partial = path.with_suffix(".partial")
    partial.write_text(json.dumps(record, indent=1, ensure_ascii=True))
    partial.replace(path)


class Recording:
    """The record of one scenario, made as it runs and written only once it has passed."""

    def __init__(self, machine):
        self.machine = machine
        self.path = RECORDS / f"{machine.name}.json"
        self.parts = []
        RECORDS.mkdir(parents=True, exist_ok=True)
        if self.path.exists():
            self.path.unlink()

    def part(self, install_dir, registered=None, short_install_dir=None):
        """Begins a part just before its launchers start. registered: whether the controls'
        class is registered, when the scenario has just checked it; otherwise it is read.
        short_install_dir: the folder's short name, as the system gives it, when the launcher
        is to work under it."""
        for earlier in self.parts:
            earlier.observe()
        part = Part(self, len(self.parts) + 1, install_dir, registered)
        if short_install_dir:
            part.record["shortInstallDir"] = short_install_dir
        self.parts.append(part)
        return part

    def save(self):
        for part in self.parts:
            part.observe()
        _write(self.path, {"scenario": self.machine.name,
                           "parts": [p.observed for p in self.parts]})
