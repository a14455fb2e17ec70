"""What the trial reads of a run, all of it as hostile data: Wine's trace of process creation
and library loads, the Windows directory's files and the registry's keys before and after.

Everything here is read from what the disc's programs could write, and bounded: process starts
and library loads kept from the trace, boxes answered, lines of the box log read, files of the
Windows directory compared, bytes of a registry file. Nothing is read through a link.
"""

import os
import re
import time

import trialbox

# starts and library loads kept from the trace, boxes answered, lines of the box log read, files
# of the Windows directory compared, bytes of a registry file.
MAX_STARTS = 5000
MAX_LOADS = 5000
MAX_BOXES = 20
BOX_LOG_CAP = 1 << 20
MAX_WINDOWS_FILES = 200000
# CPU seconds the trace's lines may take to read in all; past them the rest is left unread.
TRACE_SECONDS = 60
REGISTRY_CAP = 64 << 20


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
                 opened=None, source=None):
        self.path, self.launcher_path, self.spawned_ms = path, launcher_path, spawned_ms
        self.cap = cap            # bytes read at the most
        self.dropped = 0          # starts and loads past the caps
        self.seconds_left = TRACE_SECONDS
        self.unread = 0           # bytes left unread once the time was up
        self.system = windows_dir.lower().rstrip("\\") + "\\"  # its libraries are not listed
        self.offset = 0
        self.partial = b""
        self.root = None          # the launcher's process id
        self.processes = {}       # pid -> {"program", "commandLine", "parent", "seconds", ...}
        self.starts = []          # every CreateProcess, in order
        self.loads = []           # libraries loaded from outside the Windows directory
        self.pending = {}         # (pid, tid) -> the start that thread is making
        self.file = os.fdopen(opened, "rb") if opened is not None else None
        # Instead of a file: a function that returns what was written since it was last called.
        self.source = source

    def seconds(self, tick):
        # The tick count is 32 bits of ms and wraps; the run is far shorter than a wrap.
        delta = (tick - self.spawned_ms) % (1 << 32)
        if delta >= 1 << 31:
            delta -= 1 << 32
        return round(delta / 1000, 3)

    def update(self):
        if self.source is not None:
            # A bounded piece at a time, so that the watch loop keeps checking its bounds; past
            # the cap what comes is taken and dropped, so that its writer is never held up.
            data = b""
            for _ in range(8):
                piece = self.source()
                if not piece:
                    break
                data += piece
            data = data[:max(self.cap - self.offset, 0)]
            self.offset += len(data)
            self._lines(data)
            return
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
        self._lines(data)

    def _lines(self, data):
        if self.seconds_left <= 0:
            self.unread += len(data)
            return
        started = time.process_time()
        lines = (self.partial + data).split(b"\n")
        self.partial = lines.pop()
        for n, raw in enumerate(lines):
            self._line(raw.decode("utf-8", "replace"))
            if n % 1024 == 1023 and time.process_time() - started > self.seconds_left:
                self.unread += sum(len(rest) + 1 for rest in lines[n + 1:]) + len(self.partial)
                self.partial = b""
                break
        self.seconds_left -= time.process_time() - started

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


def registry_keys(prefix, notes=None, folder=""):
    """The keys of the prefix's registry files (or of the files of the same names in the folder
    given, relative to the prefix) with their value lines, as Wine wrote them (a file that is not
    a regular one, or over REGISTRY_CAP, is left out and noted)."""
    keys = {}
    for file, root in REG_ROOTS.items():
        key = None
        try:
            data = trialbox.read_beneath(prefix, folder + file, REGISTRY_CAP)
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
