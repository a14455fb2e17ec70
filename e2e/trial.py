#!/usr/bin/env python3
"""The driver of `disckit trial`: runs a disc's own Start.exe under Wine, watched from outside.

disckit (kit/Trial.cpp) checks the command line against the kit's tables (the system profiles,
the languages, the launcher's names) and runs this program with what they resolve to; every
option below comes from there. Exit code 0: the browser was left running and the launcher ended
with 0; 1: the trial found a fault; 2: the trial could not run (the reason on stderr).

The machine is a sandbox (trialbox.py): a real copy of a template prefix of the profile's bitness
(the lab's, winelab.py, when run by root, which then runs everything inside as the lab's
unprivileged account; else the user's own), its own X server, the disc's image unpacked into a
read-only CD-ROM drive D:, and no drive that maps the host. Whatever the disc's programs could
have written is read as hostile data, bounded. The Wine version setting is the first of the profile's candidates
whose report (OsProbe) is exactly the profile's; the language is the locale's, checked the same
way. Nothing is learnt from a log that the disc's programs write:

- processes: Wine's own trace (WINEDEBUG) of the launcher and of everything started from it,
  however deep, since every program inherits the variable and the trace's file: each
  CreateProcess with the program, the exact command line and the new process's id (+process),
  the libraries each process loads from outside the Windows directory (+loaddll), every line
  stamped with Wine's tick count and the process's id (+timestamp, +pid);
- message boxes: the lab's box watcher records each box and holds it until its screenshot has
  been taken (BoxWatcher's acknowledgement folder);
- the Windows directory: its files before and after the run;
- the registry: the prefix's registry files, which the Wine server writes out when it stops,
  before and after the run;
- the browser: its starts from the trace; at the end, whether a process runs under the name the
  launcher looks for (the process table), and the windows on the screen (WaitReady).

The run is watched until the launcher ends, until it has started the browser --max-starts times
(it keeps starting it), or until --timeout seconds have passed since it was started, whichever
comes first. Then everything is stopped and the prefix removed (unless --keep).
"""

import argparse
import codecs
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import trial_check
import trial_html
import trialbox

# The lab's folders follow LAUNCHER_E2E_WORK and LAUNCHER_LAB_TOOLS, which must be set before it
# is imported.
winelab = None

TRACE_CHANNELS = "-all,+process,+loaddll,+timestamp,+pid"
ACK_FOLDER = "C:\\lab\\ack"
BOX_LOG = "C:\\lab\\boxes.log"
# How long what a stopped launcher started gets to settle, at the least.
SETTLE_SECONDS = 30
LAB_TOOLS = ("OsProbe.exe", "BoxWatcher.exe", "ProcList.exe", "WaitReady.exe")
# Everything below is read from what the disc's programs could write, and bounded: process
# starts and library loads kept from the trace, boxes answered, lines of the box log read, files
# of the Windows directory compared, bytes of a registry file.
MAX_STARTS = 5000
MAX_LOADS = 5000
MAX_BOXES = 20
BOX_LOG_CAP = 1 << 20
MAX_WINDOWS_FILES = 200000
REGISTRY_CAP = 64 << 20


class CannotRun(Exception):
    """The trial cannot be run here or on this disc (exit code 2)."""


def raw_ms():
    """The host's raw monotonic clock in ms: the clock Wine's tick count reads."""
    return int(time.clock_gettime(time.CLOCK_MONOTONIC_RAW) * 1000)


def ascii_upper(name):
    # The launcher upper-cases the listed names in the system's code page and compares them with
    # an upper-case ASCII name: only the ASCII letters' case can make a name match it.
    return "".join(chr(ord(c) - 32) if "a" <= c <= "z" else c for c in name)


def basename(windows_path):
    return windows_path.rsplit("\\", 1)[-1]


def same_name(a, b):
    return ascii_upper(a) == ascii_upper(b)


# --- Wine's trace --------------------------------------------------------------------------------

# "5221.535:010c:0110:trace:process:CreateProcessInternalW app L"..." cmdline L"...""
TRACE_LINE = re.compile(r"^\s*(\d+)\.(\d{3}):([0-9a-f]+):([0-9a-f]+):(\w+):(\w+):(\w+) (.*)$")
STARTED = re.compile(r"^started process pid ([0-9a-f]+) tid ([0-9a-f]+)")
LOADED = re.compile(r"^Loaded (.*) at [0-9A-Fa-f]+: (native|builtin)")
ESCAPES = {"\\": "\\", '"': '"', "n": "\n", "r": "\r", "t": "\t"}


def wine_string(text):
    """Reads a string at the start of text as Wine's traces write it: L"..." with C escapes and
    \\xxxx (four hex digits) for everything outside printable ASCII, "..." after the closing
    quote when it was cut short, (null) for none. Returns (string or None, complete, the rest
    of text); raises ValueError when text does not start with one."""
    if text.startswith("(null)"):
        return None, True, text[6:]
    if not text.startswith('L"'):
        raise ValueError(text)
    out, i = [], 2
    while i < len(text):
        c = text[i]
        if c == '"':
            rest = text[i + 1:]
            cut = rest.startswith("...")
            return "".join(out), not cut, rest[3:] if cut else rest
        if c == "\\" and text[i + 1:i + 2] in ESCAPES:
            out.append(ESCAPES[text[i + 1]])
            i += 2
        elif c == "\\" and re.fullmatch(r"[0-9a-fA-F]{4}", text[i + 1:i + 5]):
            out.append(chr(int(text[i + 1:i + 5], 16)))
            i += 5
        else:
            out.append(c)
            i += 1
    raise ValueError(text)


def creation(rest):
    """(program, command line, complete) of a CreateProcessInternalW line, None for another."""
    if not rest.startswith("app "):
        return None
    try:
        app, _, rest = wine_string(rest[4:])
        if not rest.startswith(" cmdline "):
            return None
        command, complete, _ = wine_string(rest[9:])
    except ValueError:
        return None
    program = app or (command or "").split(" ", 1)[0].strip('"')
    return program, command, complete


class Trace:
    """What Wine's trace of the run says, read as it grows."""

    def __init__(self, path, launcher_path, spawned_ms, windows_dir, cap=trialbox.FILE_LIMIT,
                 opened=None):
        self.path, self.launcher_path, self.spawned_ms = path, launcher_path, spawned_ms
        self.cap = cap            # bytes read at the most
        self.dropped = 0          # starts and loads past the caps
        self.system = windows_dir.lower().rstrip("\\") + "\\"  # its libraries are not listed
        self.offset = 0
        self.partial = b""
        self.root = None          # the launcher's process id
        self.processes = {}       # pid -> {"program", "commandLine", "parent", "seconds", ...}
        self.starts = []          # every CreateProcess, in order
        self.loads = []           # libraries loaded from outside the Windows directory
        self.pending = {}         # (pid, tid) -> the start that thread is making
        self.file = os.fdopen(opened, "rb") if opened is not None else None

    def seconds(self, tick):
        # The tick count is 32 bits of ms and wraps; the run is far shorter than a wrap.
        delta = (tick - self.spawned_ms) % (1 << 32)
        if delta >= 1 << 31:
            delta -= 1 << 32
        return round(delta / 1000, 3)

    def update(self):
        # The file was opened once, when the run began: whatever the disc's programs put in its
        # place later is not read. What they write into it is parsed as the rest is.
        if self.file is None:
            try:
                fd = trialbox.open_regular(self.path.parent, self.path.name)
            except trialbox.Hostile:
                fd = None
            if fd is None:
                return
            self.file = os.fdopen(fd, "rb")
        self.file.seek(self.offset)
        # A bounded piece at a time, so that the watch loop keeps checking its bounds.
        data = self.file.read(min(max(self.cap - self.offset, 0), 8 << 20))
        self.offset += len(data)
        lines = (self.partial + data).split(b"\n")
        self.partial = lines.pop()
        for raw in lines:
            self._line(raw.decode("utf-8", "replace"))

    def _line(self, line):
        m = TRACE_LINE.match(line)
        if not m:
            return
        tick = int(m.group(1)) * 1000 + int(m.group(2))
        pid, tid = int(m.group(3), 16), int(m.group(4), 16)
        channel, function, rest = m.group(6), m.group(7), m.group(8)
        if self.root is None:
            # The launcher writes the first line: the system's processes already run and
            # write elsewhere, and nothing else has been started from this trace's file yet.
            self.root = pid
            self.processes[pid] = {"pid": pid, "program": self.launcher_path, "commandLine": None,
                                   "parent": None, "seconds": 0.0}
        thread = (pid, tid)
        if channel == "process" and function == "CreateProcessInternalW":
            created = creation(rest)
            started = STARTED.match(rest)
            if created and len(self.starts) >= MAX_STARTS:
                self.dropped += 1
            elif created:
                self._close_pending(thread, "failed")
                program, command, complete = created
                start = {"seconds": self.seconds(tick), "by": pid, "program": program,
                         "commandLine": command, "commandLineComplete": complete,
                         "pid": None, "state": "starting", "after": 0}
                self.starts.append(start)
                self.pending[thread] = start
            elif started and thread in self.pending:
                start = self.pending.pop(thread)
                start["pid"] = int(started.group(1), 16)
                start["state"] = "started"
                self.processes[start["pid"]] = {
                    "pid": start["pid"], "program": start["program"],
                    "commandLine": start["commandLine"], "parent": pid,
                    "seconds": start["seconds"]}
        elif thread in self.pending and function != "NtCreateUserProcess":
            # The thread went on to other things; if it never says the start succeeded, the
            # start failed (counted, and decided at the end).
            self.pending[thread]["after"] += 1
        if channel == "loaddll" and function == "build_module":
            loaded = LOADED.match(rest)
            if loaded and loaded.group(2) == "native":
                try:
                    path = wine_string(loaded.group(1))[0] or ""
                except ValueError:
                    return
                own = self.processes.get(pid, {}).get("program") or ""
                if len(self.loads) >= MAX_LOADS:
                    self.dropped += 1
                elif not path.lower().startswith(self.system) and path.lower() != own.lower():
                    self.loads.append({"seconds": self.seconds(tick), "by": pid, "path": path})

    def _close_pending(self, thread, state):
        start = self.pending.pop(thread, None)
        if start:
            start["state"] = state

    def finish(self):
        """At the end: a start whose thread went on without its success line failed; one whose
        thread said nothing more was still under way when the run was stopped."""
        self.update()
        for thread in list(self.pending):
            self._close_pending(thread, "failed" if self.pending[thread]["after"] else "unanswered")
        if self.file is not None:
            self.file.close()
            self.file = None

    def name(self, pid):
        process = self.processes.get(pid)
        return basename(process["program"]) if process else f"process {pid:04x}"


def on_disc(disc_dir, relative):
    """Whether the disc holds this file (backslashes), names compared as Windows does; read as
    hostile input, as trial_check reads the start page: no link is followed."""
    return trial_check.on_disc(disc_dir, relative, same_name)


def between_starts(trace):
    """Whether the launcher is not in the middle of starting a program: its last start has been
    answered, or it is one more try of a program whose start has just failed (a missing
    browser), which makes no process."""
    mine = [s for s in trace.starts if s["by"] == trace.root]
    if not mine or mine[-1]["state"] != "starting":
        return True
    return len(mine) >= 2 and mine[-2]["state"] == "failed"


# --- Snapshots -------------------------------------------------------------------------------

def windows_files(root, relative, notes=None):
    """Every file under the Windows directory (root/relative): relative path -> (size, mtime,
    ctime, mode). Nothing on the way is followed through a link; past MAX_WINDOWS_FILES the rest
    is left out (noted)."""
    files = {}
    try:
        top = trialbox.open_beneath(root, relative, os.O_RDONLY | os.O_DIRECTORY)
    except OSError:
        if notes is not None:
            notes.append("the Windows directory is not a folder: not compared")
        return files
    try:
        for dirpath, _, names, dir_fd in os.fwalk(".", dir_fd=top, follow_symlinks=False):
            for name in names:
                if len(files) >= MAX_WINDOWS_FILES:
                    if notes is not None:
                        notes.append(f"the Windows directory holds more than "
                                     f"{MAX_WINDOWS_FILES} files: the rest were not compared")
                    return files
                try:
                    st = os.stat(name, dir_fd=dir_fd, follow_symlinks=False)
                except OSError:
                    continue
                path = os.path.normpath(os.path.join(dirpath, name))
                files[path] = (st.st_size, st.st_mtime_ns, st.st_ctime_ns, st.st_mode)
    finally:
        os.close(top)
    return files


REG_ROOTS = {"system.reg": "HKEY_LOCAL_MACHINE", "user.reg": "HKEY_CURRENT_USER"}


def registry_keys(prefix, notes=None):
    """The keys of the prefix's registry files with their value lines, as Wine wrote them (a
    file that is not a regular one, or over REGISTRY_CAP, is left out and noted)."""
    keys = {}
    for file, root in REG_ROOTS.items():
        key = None
        try:
            data = trialbox.read_beneath(prefix, file, REGISTRY_CAP)
        except trialbox.Hostile as why:
            if notes is not None:
                notes.append(f"the registry file {why}: not read")
            continue
        if data is None:
            continue
        for line in data.decode("utf-8", "replace").splitlines():
            if line.startswith("[") and "]" in line:
                name = line[1:line.rindex("]")].replace("\\\\", "\\")
                key = f"{root}\\{name}"
                keys[key] = []
            elif key and line and not line.startswith("#"):
                keys[key].append(line)
    return keys


# --- The trial -----------------------------------------------------------------------------------

class Trial:
    def __init__(self, a):
        self.a = a
        self.out = Path(a.out).resolve()
        self.out_fd = a.out_fd
        self.machine = None
        self.work = None
        self.notes = []
        self.noted = {}
        self.wall_at_spawn = 0.0

    # --- Setting up ----------------------------------------------------------------------------

    def wanted(self):
        a = self.a
        return {"platformId": a.record[0], "major": a.record[1], "minor": a.record[2],
                "build": a.record[3], "productType": a.record[4], "bits": a.bits,
                "extendedQuery": a.extended_query}

    @staticmethod
    def reported(report):
        return {"platformId": int(report["platformId"]), "major": int(report["major"]),
                "minor": int(report["minor"]), "build": int(report["build"]),
                "productType": int(report["productType"]),
                "bits": 64 if report.get("isWow64") == "1" else 32,
                "extendedQuery": report.get("versionExOk") == "1"}

    @staticmethod
    def describe(r):
        build = r["build"] & 0xFFFF if r["platformId"] == 1 else r["build"]
        text = f"version {r['major']}.{r['minor']}.{build}, platform {r['platformId']}, {r['bits']}-bit"
        if r["extendedQuery"]:
            return text + f", product type {r['productType']} from the extended version query"
        return text + ", and no answer to the extended version query (no product type)"

    def presents(self, report):
        got, want = self.reported(report), self.wanted()
        if not want["extendedQuery"]:
            got["productType"] = want["productType"]  # the basic query carries none
        if got["bits"] == 32 and report.get("sysWow64Found") == "1":
            return False
        return got == want

    def choose_version(self, m):
        tried = []
        for setting in self.a.wine_settings.split():
            m.set_version(setting)
            m.report = m.probe()
            if self.presents(m.report):
                return setting
            tried.append(f"{setting}: {self.describe(self.reported(m.report))}")
        raise CannotRun(
            f"Wine cannot present {self.a.title} ({self.a.profile}) exactly. The launcher would "
            f"be told {self.describe(self.wanted())}; this Wine reports instead "
            + "; ".join(tried) + ". disckit simulate shows what the launcher does there.")

    def check_language(self, m):
        got = int(m.report.get("systemLangId", "0"), 16)
        if got != int(self.a.lang_id, 16):
            raise CannotRun(f"Wine reports the system language 0x{got:04X} under LC_ALL="
                            f"{self.a.lc_all}, not {self.a.lang_id} ({self.a.locale_name}): no "
                            "Unix locale gives Wine that language")
        # Wine takes the language from the locale's name, but converts file names through the
        # locale itself, which must be generated.
        have = subprocess.run(["locale", "-a"], capture_output=True, text=True,
                              timeout=60).stdout.lower().split()
        if self.a.lc_all.lower().replace("utf-8", "utf8") not in have:
            self.notes.append(
                f"the locale {self.a.lc_all} is not generated on this machine, and Wine converts "
                "file names through it: names outside ASCII may reach the disc's programs "
                "mangled (enable it in /etc/locale.gen and run locale-gen)")

    def work_folder(self):
        """The trial's own folder, which only the sandbox's uid (and root) can enter."""
        if os.geteuid() == 0:
            work = winelab.lab() / "scenarios" / f"trial-{os.getpid()}"
            if os.path.lexists(work):
                trialbox.remove_work(work)
            work.parent.mkdir(parents=True, exist_ok=True)
            work.mkdir(mode=0o700)
        else:
            work = Path(tempfile.mkdtemp(prefix="disckit-trial-work-"))
        trialbox.own(work)
        self.work = work
        return work

    def template(self):
        """The template prefix to copy: the lab's, made by root for its account; for anyone
        else one of their own, made in a sandbox the first time."""
        arch = self.a.prefix
        if os.geteuid() == 0:
            winelab.ensure_template(arch)
            return winelab.template_dir(arch)
        cache = Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache")
        return trialbox.ensure_own_template(cache / "disckit" / "templates", arch, winelab)

    def open_machine(self):
        work = self.work_folder()
        template = self.template()
        image = self.disc_image(work)
        try:
            trialbox.unpack_image(work, f"{trialbox.INSIDE}/{image.name}")
        except trialbox.Hostile as why:
            raise CannotRun(f"{self.a.disc} cannot be tried: {why}") from None
        for attempt in (1, 2):
            try:
                self.machine = trialbox.Machine(winelab, work, template, self.a.lc_all,
                                                winelab.TOOLS)
                return self.machine
            except subprocess.TimeoutExpired as hung:
                # Wine's own start-up hung, before anything of the disc ran: once more, as the
                # lab does, in a fresh copy.
                if attempt == 2:
                    raise CannotRun(f"Wine did not start: {' '.join(hung.cmd)} did not end in "
                                    f"{hung.timeout:.0f} s") from None
                for name in ("prefix", "home", "shots"):
                    trialbox.remove_work(work / name)

    def disc_image(self, work):
        """The disc's image in the trial's folder: the folder pressed (by the invoking user, who
        can read it), or a copy of the image (which the sandbox's uid may not reach where it
        is)."""
        source = Path(self.a.disc)
        image = work / "disc.iso"
        if not self.a.image:
            # The folder's name as the volume label, in the characters a label may hold.
            label = re.sub(r"[^A-Z0-9_]", "_", source.name.upper())[:32] or "DISC"
            try:
                winelab.press_image(source, image, label=label)
            except subprocess.CalledProcessError as failed:
                raise CannotRun(f"xorriso could not press {source} into an image: "
                                f"{failed.stderr.decode('utf-8', 'replace').strip()}") from None
        else:
            shutil.copyfile(source, image)
        trialbox.own(image)
        return image

    def insert(self, m):
        # Windows finds names without regard to case; the image keeps the author's case.
        found = [p.name for p in m.disc_dir.iterdir() if same_name(p.name, self.a.launcher)]
        if not found:
            raise CannotRun(f"the disc has no {self.a.launcher} at its root: a trial runs the "
                            "disc's own launcher")
        return "D:\\" + found[0]

    # --- Watching ------------------------------------------------------------------------------

    def box_records(self, m):
        """The box watcher's records, read as hostile: at most MAX_BOXES, a line that is not one
        skipped and counted."""
        try:
            raw = trialbox.read_beneath(m.dir, m.relative(BOX_LOG), BOX_LOG_CAP) or b""
        except trialbox.Hostile as why:
            self.note_once("box-log", f"the box log {why}: not read further")
            return []
        records, malformed = [], 0
        # A line is complete once its CR LF is there: the last one may still be being written.
        for line in raw.split(b"\r\n")[:-1]:
            fields = line.split(b"\t")
            if len(fields) < 4 or fields[2] != b"box":
                malformed += bool(line)
                continue
            try:
                ms = int(fields[0])
            except ValueError:
                malformed += 1
                continue
            caption, sep, rest = fields[3].partition(b"\x1f")
            text, sep2, owner = rest.rpartition(b"\x1f")
            try:
                pid = int(owner or b"0", 16)
            except ValueError:
                malformed += 1
                continue
            if not (sep and sep2):
                malformed += 1
                continue
            records.append((ms, caption, text, pid))
        if malformed:
            self.note_once("box-malformed", f"{malformed} lines of the box log were not records "
                           "of a box: skipped", replace=True)
        return records

    def note_once(self, key, text, replace=False):
        if key in self.noted and not replace:
            return
        if key in self.noted:
            self.notes.remove(self.noted[key])
        self.noted[key] = text
        self.notes.append(text)

    def boxes(self, m, seen, deadline_ms):
        """New boxes in the watcher's record: a screenshot of each while it is up, then lets the
        watcher answer it. No more than MAX_BOXES, and none once the deadline has passed."""
        records = self.box_records(m)
        if len(records) > MAX_BOXES:
            self.note_once("box-many", f"more than {MAX_BOXES} boxes were recorded: only the "
                           f"first {MAX_BOXES} are in the report")
        for ms, caption, text, pid in records[len(seen):MAX_BOXES]:
            if raw_ms() >= deadline_ms:
                self.note_once("box-late", "boxes recorded after the time bound were not "
                               "answered")
                return
            number = len(seen) + 1
            shot = self.screenshot(m, f"box-{number}.png",
                                   min(60, max((deadline_ms - raw_ms()) / 1000, 5)))
            if not m.sandbox.touch(f"{trialbox.INSIDE}/prefix/drive_c/lab/ack/box-{number}"):
                self.notes.append(f"box {number} could not be let go: something took the place "
                                  "of its acknowledgement")
            seen.append({"seconds": round((ms - self.wall_at_spawn) / 1000, 3),
                         "caption": caption.decode(m.ansi, "replace"),
                         "text": text.decode(m.ansi, "replace"),
                         "pid": pid, "screenshot": shot})

    def screenshot(self, m, name, timeout=60):
        """A screenshot taken in the sandbox, written into --out as a new file; its path."""
        data = m.screenshot(name, timeout)
        if data is None:
            self.notes.append(f"no screenshot {name}")
            return None
        try:
            trialbox.write_new(self.out_fd, name, data)
        except OSError as failed:
            self.notes.append(f"no screenshot {name}: {failed.strerror}")
            return None
        return str(self.out / name)

    def wait_ready(self, m, pids, budget_ms, boxes, deadline_ms):
        """WaitReady for these processes (bounded by budget_ms), answering boxes meanwhile:
        (process states by pid, windows as (pid, class, title))."""
        n = m.spawn("C:\\lab\\WaitReady.exe", str(max(budget_ms, 0)),
                    *(f"{p:x}" for p in pids), out=f"{trialbox.INSIDE}/ready.txt")
        limit = time.monotonic() + budget_ms / 1000 + winelab.PATIENCE
        while m.sandbox.poll(n)[0] is None and time.monotonic() < limit:
            self.boxes(m, boxes, deadline_ms)
            time.sleep(0.1)
        if m.sandbox.poll(n)[0] is None:
            m.sandbox.kill(n, group=True)
        states, windows = {}, []
        try:
            raw = trialbox.read_beneath(m.dir, "ready.txt", 1 << 20) or b""
        except trialbox.Hostile as why:
            self.notes.append(f"WaitReady's answer {why}: not read")
            raw = b""
        for line in raw.decode("utf-8", "replace").splitlines()[:10000]:
            fields = line.rstrip("\r").split("\t")
            try:
                if fields[0] == "process" and len(fields) == 3:
                    states[int(fields[1], 16)] = fields[2]
                elif fields[0] == "window" and len(fields) == 4:
                    windows.append((int(fields[1], 16), fields[2], fields[3]))
            except ValueError:
                continue
        return states, windows

    def run(self):
        a, m = self.a, self.open_machine()
        report = {"disc": {"path": a.disc, "kind": "image" if a.image else "folder"},
                  "wine": subprocess.run(["wine", "--version"], capture_output=True, text=True,
                                         timeout=60).stdout.strip()}
        setting = self.choose_version(m)
        self.check_language(m)
        launcher = self.insert(m)
        report["system"] = {"profile": a.profile, "title": a.title, "wineSetting": setting,
                            "prefix": a.prefix, "reported": self.reported(m.report)}
        report["language"] = {"langId": a.lang_id, "locale": a.locale_name, "lcAll": a.lc_all,
                              "codePage": int(m.report.get("acp", "0"))}
        windows_rel = m.relative("C:\\windows")

        # Everything Wine holds is written out before the snapshots, as it is after the run.
        m.stop_wine()
        # Wine may have mapped the host again while it updated the prefix.
        if m.host_drives():
            m.remove_host_drives()
        files_before = windows_files(m.dir, windows_rel, self.notes)
        keys_before = registry_keys(m.prefix, self.notes)

        (m.unix_path(ACK_FOLDER)).mkdir(parents=True, exist_ok=True)
        trialbox.own(m.unix_path(ACK_FOLDER))
        m.spawn("C:\\lab\\BoxWatcher.exe", "300", ACK_FOLDER, env={"STANDIN_LOG": BOX_LOG})
        # The system's own processes start with the first program; once the watcher is in the
        # process table they run, and nothing but the launcher writes to the trace.
        if not m.wait_for(lambda: "BoxWatcher.exe" in m.processes()):
            raise CannotRun(f"the box watcher did not start within {winelab.PATIENCE:.0f} s")
        if m.host_drives():
            raise CannotRun(f"Wine mapped the drives {', '.join(m.host_drives())} again")

        # Wine's trace goes to a file that cannot grow past the file limit. It is opened here,
        # before anything of the disc runs, and read through that descriptor only.
        if not m.sandbox.touch(f"{trialbox.INSIDE}/trace.txt"):
            raise CannotRun("cannot make the file for Wine's trace")
        trace_fd = trialbox.open_regular(m.dir, "trace.txt")
        env = {"WINEDEBUG": TRACE_CHANNELS}
        self.wall_at_spawn = time.time() * 1000
        proc, spawned = m.sandbox.spawn(["wine", launcher], dict(m.env, **env),
                                        err=f"{trialbox.INSIDE}/trace.txt",
                                        limit=trialbox.FILE_LIMIT)
        m.background.append(proc)
        trace = Trace(m.dir / "trace.txt", launcher, spawned,
                      m.report.get("windowsDir", "C:\\windows"), opened=trace_fd)
        self.root = None
        boxes = []
        deadline = spawned + a.timeout * 1000
        stop_reason = None
        end_rc = end_ms = None
        while True:
            trace.update()
            self.boxes(m, boxes, deadline)
            end_rc, end_ms = m.sandbox.poll(proc)
            if end_ms is not None:
                break
            if len(self.browser_starts(trace, launcher_only=True)) >= a.max_starts:
                stop_reason = "loop"
                break
            if raw_ms() >= deadline:
                stop_reason = "time"
                break
            time.sleep(0.1)
        watched_ms = (end_ms if end_ms is not None else raw_ms()) - spawned
        if stop_reason:
            # A launcher still running is ended here, as TerminateProcess would end it, so that
            # the report holds what it did within the bound; what it started goes on for now.
            # Not in the middle of a start, though: Wine would leave the process it was making
            # half made, never running and never ending.
            limit = time.monotonic() + winelab.PATIENCE
            while (m.sandbox.poll(proc)[1] is None and not between_starts(trace)
                   and time.monotonic() < limit):
                time.sleep(0.05)
                trace.update()
            # `wine` has become the launcher's own process: the same id, nothing in between.
            m.sandbox.kill(proc)

        # What the run started gets time to settle before anything is looked at: to end (a
        # registration, a browser that hands over) or to be ready for input (its window drawn,
        # so that the screenshot shows it). The rest of the time bound, and at least
        # SETTLE_SECONDS, since a launcher stopped at the bound leaves none.
        trace.update()
        started = [s["pid"] for s in trace.starts if s["pid"] is not None]
        budget = max(deadline - raw_ms(), SETTLE_SECONDS * 1000)
        settle_deadline = raw_ms() + budget
        states, windows = self.wait_ready(m, started, budget, boxes, settle_deadline)
        table = m.process_table()
        after_shot = self.screenshot(m, "after-run.png")
        self.boxes(m, boxes, settle_deadline)
        trace.finish()
        if trace.dropped:
            self.notes.append(f"Wine's trace held more than {MAX_STARTS} starts or "
                              f"{MAX_LOADS} loads: {trace.dropped} more were left out")

        m.stop_wine()
        files_after = windows_files(m.dir, windows_rel, self.notes)
        keys_after = registry_keys(m.prefix, self.notes)

        report["launcher"] = {
            "program": launcher, "pid": trace.root,
            "ended": stop_reason is None, "exitCode": end_rc if stop_reason is None else None,
            "seconds": round(watched_ms / 1000, 3), "stoppedBecause": stop_reason}
        self.root = trace.root
        for box in boxes:
            box["by"] = trace.name(box["pid"])
        report["events"] = self.events(trace, boxes, report["launcher"])
        report["browser"] = self.browser(trace, table, windows, states)
        report["windowsDirectory"] = self.windows_changes(files_before, files_after, m.dir,
                                                          windows_rel, m.report.get("acp"))
        self.name_copies(report["windowsDirectory"], m.dir, windows_rel, m.disc_dir)
        report["registry"] = self.registry_changes(keys_before, keys_after)
        report["running"] = self.running(trace, table, states)
        report["windows"] = [{"pid": p, "process": self.table_name(table, p), "class": c,
                              "title": t} for p, c, t in windows
                             if any(p == s for s in started) or p == trace.root]
        report["boxes"] = boxes
        report["screenshots"] = [b["screenshot"] for b in boxes if b["screenshot"]] + \
            ([after_shot] if after_shot else [])
        report["screenshotAfterRun"] = after_shot
        report["account"] = (winelab.ACCOUNT if os.geteuid() == 0
                             else os.environ.get("USER") or str(os.getuid()))
        report["sandbox"] = "bubblewrap"
        report["outcome"] = self.outcome(report)
        trial_check.add_to(report, m.disc_dir, a.disckit, same_name)
        if self.notes:
            report["notes"] = self.notes
        return report

    # --- Reading what was seen -------------------------------------------------------------------

    def browser_starts(self, trace, launcher_only=False):
        return [s for s in trace.starts if same_name(basename(s["program"]), self.a.browser)
                and (not launcher_only or s["by"] == trace.root)]

    @staticmethod
    def table_name(table, pid):
        return next((p.name for p in table if p.pid == pid), None)

    def events(self, trace, boxes, launcher):
        events = []
        for s in trace.starts:
            event = {"seconds": s["seconds"], "kind": "start", "by": trace.name(s["by"]),
                     "byPid": s["by"], "program": s["program"], "commandLine": s["commandLine"],
                     "commandLineComplete": s["commandLineComplete"], "pid": s["pid"],
                     "state": s["state"]}
            if s["state"] == "failed" and s["program"][:3].upper() == "D:\\":
                if not on_disc(self.machine.disc_dir, s["program"][3:]):
                    event["why"] = "the disc has no such file"
            events.append(event)
        for load in trace.loads:
            events.append({"seconds": load["seconds"], "kind": "load", "by": trace.name(load["by"]),
                           "byPid": load["by"], "path": load["path"]})
        for box in boxes:
            events.append({"seconds": box["seconds"], "kind": "box", "by": trace.name(box["pid"]),
                           "byPid": box["pid"], "caption": box["caption"], "text": box["text"],
                           "screenshot": box["screenshot"]})
        if launcher["ended"]:
            events.append({"seconds": launcher["seconds"], "kind": "end",
                           "by": basename(launcher["program"]), "byPid": launcher["pid"],
                           "exitCode": launcher["exitCode"]})
        order = {"load": 0, "start": 1, "box": 2, "end": 3}
        events.sort(key=lambda e: (e["seconds"], order[e["kind"]]))
        return events

    def browser(self, trace, table, windows, states):
        starts = self.browser_starts(trace)
        # What became of each browser started: "gone" ended before it could be asked.
        ended = [s for s in starts if s["pid"] is not None
                 and states.get(s["pid"], "").split(" ")[0] in ("ended", "gone")]
        running = [p for p in table if ascii_upper(p.name) == self.a.browser_process]
        first, last = (starts[0]["seconds"], starts[-1]["seconds"]) if starts else (None, None)
        return {
            "program": self.a.browser, "process": self.a.browser_process,
            "starts": len(starts),
            "startsByLauncher": len([s for s in starts if s["by"] == trace.root]),
            "commandLines": sorted({s["commandLine"] for s in starts if s["commandLine"]}),
            "failedStarts": len([s for s in starts if s["state"] == "failed"]),
            "ended": len(ended),
            "firstStart": first, "lastStart": last,
            "running": bool(running),
            "runningAs": [{"pid": p.pid, "name": p.name} for p in running],
            "windows": [t for pid, _, t in windows if pid in {p.pid for p in running}],
        }

    @staticmethod
    def windows_changes(before, after, root, relative, acp):
        codec = f"cp{acp}"
        try:
            codecs.lookup(codec)
        except LookupError:
            codec = "latin-1"
        changes = []
        for rel in sorted(set(before) | set(after)):
            if before.get(rel) == after.get(rel):
                continue
            kind = "removed" if rel not in after else "added" if rel not in before else "changed"
            entry = {"path": "C:\\windows\\" + rel.replace("/", "\\"), "change": kind}
            if kind != "removed":
                size, _, _, mode = after[rel]
                entry["size"] = size
                entry["readOnly"] = not mode & 0o200
                try:
                    data = trialbox.read_beneath(root, f"{relative}/{rel}", 512) \
                        if size <= 512 else None
                except trialbox.Hostile:
                    data = None  # no longer what it was when it was listed
                if data is not None and b"\0" not in data:
                        entry["text"] = data.decode(codec, "replace")
            changes.append(entry)
        return changes

    @staticmethod
    def name_copies(changes, root, relative, disc_dir):
        """Marks each file written to the Windows directory that is a copy of a file of the
        disc, byte for byte. (The disc's files are the unpacked image's, read-only to the
        disc's programs; the Windows directory's are read as hostile.)"""
        by_size = {}
        for path in disc_dir.rglob("*"):
            if path.is_file() and not path.is_symlink():
                by_size.setdefault(path.stat().st_size, []).append(path)
        for change in changes:
            if change["change"] == "removed":
                continue
            data = None
            for candidate in by_size.get(change["size"], []):
                if data is None:
                    rel = change["path"][len("C:\\windows\\"):].replace("\\", "/")
                    try:
                        data = trialbox.read_beneath(root, f"{relative}/{rel}",
                                                     change["size"]) or b""
                    except trialbox.Hostile:
                        break
                if candidate.read_bytes() == data:
                    change["copyOf"] = "D:\\" + str(candidate.relative_to(disc_dir)).replace("/", "\\")
                    break

    @staticmethod
    def registry_changes(before, after):
        return {"added": [{"key": k, "values": after[k]} for k in after if k not in before],
                "removed": [k for k in before if k not in after]}

    @staticmethod
    def running(trace, table, states):
        """What the run started (the launcher too) that still ran at the end, matched by id
        and name: an id alone could have been given again to a later process."""
        rows = []
        for p in table:
            started = trace.processes.get(p.pid)
            if started and same_name(basename(started["program"]), p.name):
                rows.append({"pid": p.pid, "name": p.name,
                             "startedBy": trace.name(started["parent"])
                             if started["parent"] is not None else None,
                             "state": states.get(p.pid, "running")})
        return rows

    def refusal(self, box):
        return (box["pid"] == self.root and box["caption"] == self.a.refusal_caption
                and box["text"] == self.a.refusal_text)

    def outcome(self, r):
        launcher, browser = r["launcher"], r["browser"]
        faults = []
        if not launcher["ended"]:
            if browser["startsByLauncher"] >= 2:
                span = browser["lastStart"] - browser["firstStart"]
                result = "keeps-starting-browser"
                faults.append(f"the launcher keeps starting the browser: "
                              f"{browser['startsByLauncher']} starts in {span:.1f} s, and was "
                              f"stopped after {launcher['seconds']:.1f} s")
            else:
                result = "did-not-end"
                faults.append(f"the launcher did not end within {launcher['seconds']:.0f} s "
                              f"(browser started {browser['startsByLauncher']} times)")
        elif any(self.refusal(box) for box in r["boxes"]):
            result = "refused"
        elif r["boxes"]:
            result = "box"
        elif not browser["running"]:
            result = "browser-not-running"
        elif launcher["exitCode"] != 0:
            result = "exit-code"
        else:
            result = "browser-running"
        for box in r["boxes"]:
            what = "refused this system" if self.refusal(box) else "showed a box"
            faults.append(f"{box['by']} {what}: [{box['caption']}] {box['text']}")
        if launcher["ended"] and not browser["running"]:
            faults.append(f"no process {browser['process']} runs at the end (the browser was "
                          f"started {browser['starts']} times)")
        if launcher["ended"] and launcher["exitCode"] != 0:
            faults.append(f"the launcher ended with exit code {launcher['exitCode']}")
        return {"result": result, "faults": faults, "exitCode": 1 if faults else 0}

    # --- Ending --------------------------------------------------------------------------------

    def close(self):
        m = self.machine
        if m is not None:
            m.close()
        if self.work is None:
            return
        if self.a.keep:
            print(f"disckit trial: the prefix and the trace are kept in {self.work}",
                  file=sys.stderr)
        else:
            trialbox.remove_work(self.work)


# --- The report in words ---------------------------------------------------------------------------

def quoted(text):
    """Text between double quotes, line ends and other controls written as escapes."""
    return '"' + "".join(c if c >= " " else f"\\x{ord(c):02x}" for c in text) + '"'


def printable(line):
    return "".join(c if c >= " " and not "\x7f" <= c <= "\x9f" else f"\\x{ord(c):02x}"
                   for c in line)


def hexpid(pid):
    return f"{pid:04x}" if pid is not None else "?"


def print_report(r, out):
    s, lang, launcher, browser = r["system"], r["language"], r["launcher"], r["browser"]
    # Names, command lines and captions come from the disc's programs: no control character of
    # theirs reaches the terminal.
    w = lambda text="": print(printable(text), file=out)
    w(f"Disc      {r['disc']['path']} ({'image' if r['disc']['kind'] == 'image' else 'folder, pressed into an image with Joliet names'}), "
      f"read-only in CD-ROM drive D:")
    w(f"System    {s['title']} ({s['profile']}) by Wine's setting {s['wineSetting']} in a "
      f"{s['prefix']} prefix: {Trial.describe(s['reported'])}")
    w(f"Wine      {r['wine']}, under the account {r['account']}")
    w(f"Language  {lang['langId']} {lang['locale']} (LC_ALL={lang['lcAll']}), code page "
      f"{lang['codePage']}")
    w()
    w(f"What happened (seconds after {launcher['program']} was started)")
    for e in r["events"]:
        who = f"{e['by']} ({hexpid(e['byPid'])})"
        if e["kind"] == "start":
            did = {"started": f"started {e['program']} as {hexpid(e['pid'])}",
                   "failed": f"tried to start {e['program']}; it did not start"
                             + (f": {e['why']}" if "why" in e else ""),
                   "unanswered": f"was starting {e['program']} when the run was stopped",
                   "starting": f"was starting {e['program']}"}[e["state"]]
            w(f"  {e['seconds']:7.2f}  {who} {did}")
            cut = "" if e["commandLineComplete"] else "  (cut short in Wine's trace)"
            w(f"           command line: {e['commandLine']}{cut}")
        elif e["kind"] == "load":
            w(f"  {e['seconds']:7.2f}  {who} loaded {e['path']}")
        elif e["kind"] == "box":
            w(f"  {e['seconds']:7.2f}  {who} showed a box [{e['caption']}] {e['text']}")
            if e["screenshot"]:
                w(f"           screenshot: {e['screenshot']}")
        elif e["kind"] == "end":
            w(f"  {e['seconds']:7.2f}  {who} ended with exit code {e['exitCode']}")
    if not launcher["ended"]:
        why = {"loop": f"it had started the browser {browser['startsByLauncher']} times",
               "time": "the time was up"}[launcher["stoppedBecause"]]
        w(f"  {launcher['seconds']:7.2f}  the launcher still ran and {why}: it was ended")
    w()
    runs = ", ".join(f"{p['name']} ({hexpid(p['pid'])})" for p in browser["runningAs"])
    w(f"Browser   started {browser['starts']} time{'s' if browser['starts'] != 1 else ''}"
      + (f", {browser['failedStarts']} of them failed" if browser["failedStarts"] else "")
      + (f", {browser['ended']} of them ended" if browser["ended"] else "")
      + (f"; {browser['process']} runs: {runs}" if browser["running"]
         else f"; no process {browser['process']} runs at the end"))
    for title in browser["windows"]:
        w(f"          window: {title}")
    if launcher["ended"]:
        w(f"Launcher  exit code {launcher['exitCode']} after {launcher['seconds']:.2f} s")
    else:
        w(f"Launcher  still running after {launcher['seconds']:.2f} s, then ended by the trial")
    def listing(head, lines, empty):
        # The first line beside the heading, the others under it.
        for i, line in enumerate(lines or [empty]):
            w(f"{head if i == 0 else '':10}{line}")

    files = [trial_html.windows_change(c, quoted) for c in r["windowsDirectory"]]
    listing("Windows", files, "nothing written to the Windows directory")
    keys = []
    for k in r["registry"]["added"]:
        keys.append(f"new key {k['key']}")
        keys += [f"    {v}" for v in k["values"]]
    keys += [f"removed key {k}" for k in r["registry"]["removed"]]
    listing("Registry", keys, "no key appeared or went")
    listing("Running", [f"{p['name']} ({hexpid(p['pid'])}"
                        + (f", started by {p['startedBy']}" if p["startedBy"] else "")
                        + f"): {p['state']}" for p in r["running"]],
            "nothing the run started")
    listing("Screens", r["screenshots"], "none")
    for note in r.get("notes", []):
        w(f"Note      {note}")
    w()
    o = r["outcome"]
    if o["faults"]:
        w(f"Verdict   {o['result']}: {len(o['faults'])} fault{'s' if len(o['faults']) != 1 else ''}")
        for f in o["faults"]:
            w(f"  - {f}")
    else:
        w(f"Verdict   {o['result']}: the launcher started the browser and ended with exit code "
          f"0; the browser runs as {browser['process']}")
    trial_check.print_beside(r, w)


# --- Command line ----------------------------------------------------------------------------------

def parse(argv):
    p = argparse.ArgumentParser(prog="disckit trial", description=__doc__.split("\n")[0])
    p.add_argument("--disc", required=True)
    p.add_argument("--image", action="store_true", help="--disc is an image, not a folder")
    p.add_argument("--profile", required=True)
    p.add_argument("--title", required=True)
    p.add_argument("--record", nargs=5, type=int, required=True,
                   metavar=("PLATFORM", "MAJOR", "MINOR", "BUILD", "PRODUCT_TYPE"))
    p.add_argument("--extended-query", type=int, choices=(0, 1), required=True)
    p.add_argument("--bits", type=int, choices=(32, 64), required=True)
    p.add_argument("--prefix", choices=("win32", "win64"), required=True)
    p.add_argument("--wine-settings", required=True)
    p.add_argument("--lang-id", required=True)
    p.add_argument("--locale-name", required=True)
    p.add_argument("--lc-all", required=True)
    p.add_argument("--launcher", required=True)
    p.add_argument("--browser", required=True)
    p.add_argument("--browser-process", required=True)
    p.add_argument("--refusal-caption", required=True)
    p.add_argument("--refusal-text", required=True)
    p.add_argument("--timeout", type=int, required=True)
    p.add_argument("--max-starts", type=int, required=True)
    p.add_argument("--out")
    p.add_argument("--keep", action="store_true")
    p.add_argument("--json", action="store_true")
    p.add_argument("--html", help="write the report as HTML to this file too")
    p.add_argument("--work", required=True)
    p.add_argument("--tools", required=True, help="the lab's Windows tools")
    p.add_argument("--disckit", required=True, help="the disckit that runs this trial")
    a = p.parse_args(argv)
    a.extended_query = bool(a.extended_query)
    return a


def cannot_run_here():
    for tool, package in (("wine", "wine"), ("Xvfb", "xvfb"), ("xorriso", "xorriso"),
                          ("import", "imagemagick"), ("prlimit", "util-linux")):
        if shutil.which(tool) is None:
            return f"{tool} is not installed (scripts/deps.sh wine installs {package})"
    missing = [t for t in LAB_TOOLS if not (winelab.TOOLS / t).exists()]
    if missing:
        return (f"the lab's tools {', '.join(missing)} are not built in {winelab.TOOLS} "
                "(cmake --preset win32 && cmake --build --preset win32)")
    if not winelab.runs_32bit_code():
        return "this machine cannot run 32-bit x86 code (scripts/deps.sh wine sets up emulation)"
    return trialbox.bwrap_usable()


def interrupted(signum, frame):
    raise KeyboardInterrupt()


def main(argv):
    global winelab
    a = parse(argv)
    os.environ.setdefault("LAUNCHER_E2E_WORK", a.work)
    os.environ["LAUNCHER_LAB_TOOLS"] = a.tools
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    import winelab as lab_module
    winelab = lab_module
    # Run by root, everything the disc can touch runs as the lab's unprivileged account.
    if os.geteuid() == 0:
        trialbox.set_account(winelab.account())
    reason = cannot_run_here()
    if reason:
        print(f"disckit trial: {reason}", file=sys.stderr)
        return 2
    try:
        if a.out:
            a.out_fd = trialbox.open_out(a.out)
        else:
            a.out = tempfile.mkdtemp(prefix="disckit-trial-")
            a.out_fd = trialbox.open_out(a.out)
    except ValueError as why:
        print(f"disckit trial: {why}", file=sys.stderr)
        return 2
    # A stop from outside (Ctrl-C, kill, a closed terminal) still ends the sandbox and removes
    # the trial's folder; the report is written after that, so a reader that goes away (| head)
    # only cuts it short.
    signal.signal(signal.SIGTERM, interrupted)
    signal.signal(signal.SIGHUP, interrupted)
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    trial = Trial(a)
    try:
        report = trial.run()
    except CannotRun as reason:
        print(f"disckit trial: {reason}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("disckit trial: stopped", file=sys.stderr)
        return 2
    except Exception as failed:
        # A fault of the trial itself is not a fault of the disc: never exit code 1.
        import traceback
        traceback.print_exc()
        print(f"disckit trial: the trial failed: {type(failed).__name__}: {failed}",
              file=sys.stderr)
        return 2
    finally:
        try:
            trial.close()
        except Exception as failed:
            print(f"disckit trial: cleaning up failed: {failed}", file=sys.stderr)
    if a.json:
        print(json.dumps(report, indent=2, ensure_ascii=False))
    else:
        print_report(report, sys.stdout)
    if a.html:
        try:
            trial_html.write(report, a.html)
        except OSError as e:
            print(f"disckit trial: cannot write the HTML report to {a.html}: {e}", file=sys.stderr)
            return 2
    return report["outcome"]["exitCode"]


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except SystemExit:
        raise
    except BaseException as failed:
        print(f"disckit trial: {type(failed).__name__}: {failed}", file=sys.stderr)
        sys.exit(2)
