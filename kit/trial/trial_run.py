"""The run of a trial: the sandbox's machine set up, the disc's launcher started and watched until
it ends, keeps starting the browser or runs out of time, and what it did gathered into the
observations (a dict, which disckit reads to decide the verdict and write the report).

The lab (winelab) is passed in by the caller, which imports it once the lab's folders are set.
"""

import codecs
import hashlib
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import machine
import trial_trace
import trialbox
from trial_trace import (BOX_LOG_CAP, MAX_BOXES, MAX_LOADS, MAX_STARTS, Trace, ascii_upper,
                         basename, between_starts, registry_keys, same_name,
                         windows_files)

TRACE_CHANNELS = "-all,+process,+loaddll,+timestamp,+pid"
# The box watcher holds each box until its acknowledgement appears here. C:\\lab is read-only
# inside, and the agent makes the files under the disc's uid, so the disc's programs can make
# them too: a forged one only lets a box go before its screenshot, and the watcher's record of
# the box comes through its own pipe regardless.
ACK_FOLDER = "C:\\lab-ack"
# Where the registry is saved before the run (OsProbe --registry).
SNAPSHOT_FOLDER = "C:\\lab-registry"
# How much the trial's folder may grow while the disc's programs run (the prefix, the disc and
# the trace are there before), how often it is measured, and how many entries a measure walks
# at the most (more counts as over).
DISK_BUDGET = 2 << 30
DISK_CHECK_SECONDS = 5
DISK_ENTRIES = 400000
# The analysis after the run: bytes read to compare the Windows directory's new files with the
# disc's (a sparse file counts at its size), and seconds it may take in all.
COMPARE_BUDGET = 512 << 20
ANALYSIS_SECONDS = 120
# How long what a stopped launcher started gets to settle, at the least.
SETTLE_SECONDS = 30
LAB_TOOLS = ("OsProbe.exe", "BoxWatcher.exe", "ProcList.exe", "WaitReady.exe")
# A box's window rectangle as the watcher records it, "left,top,right,bottom" in decimal (a
# 32-bit coordinate at the most).
BOX_RECT = re.compile(rb"(-?[0-9]{1,10}),(-?[0-9]{1,10}),(-?[0-9]{1,10}),(-?[0-9]{1,10})")


# Beside the templates: which Wine version setting presented which system, by Wine's version,
# the kind of prefix and the profile. Wine's settings do not always report what their names say
# (with Debian's Wine 8, "win7" reports a server), and each setting tried costs a version change
# and a probe: the one found is tried first next time. Only a hint: a setting the profile does not
# list is ignored, and a file that cannot be read or written changes nothing.
SETTINGS_MEMO = "settings.json"
SETTINGS_MEMO_CAP = 64 << 10


def read_settings_memo(path):
    if path is None:
        return {}
    try:
        data = trialbox.read_beneath(path.parent, path.name, SETTINGS_MEMO_CAP)
        data = json.loads(data) if data is not None else {}
    except (OSError, ValueError, trialbox.Hostile):
        return {}
    if not isinstance(data, dict):
        return {}
    return {k: v for k, v in data.items() if isinstance(k, str) and isinstance(v, str)}


def write_settings_memo(path, key, setting):
    """Adds key: setting to the memo, written whole into a new file that replaces the old one:
    a trial beside this one reads the old memo or the new, never half of one."""
    memo = read_settings_memo(path)
    memo[key] = setting
    while len(json.dumps(memo)) > SETTINGS_MEMO_CAP // 2:
        memo.pop(next(iter(memo)))
    try:
        fd, temporary = tempfile.mkstemp(prefix=".settings-", dir=path.parent)
    except OSError:
        return
    try:
        with os.fdopen(fd, "w") as f:
            json.dump(memo, f)
        os.replace(temporary, path)
    except OSError:
        try:
            os.unlink(temporary)
        except OSError:
            pass


class CannotRun(Exception):
    """The trial cannot be run here or on this disc (exit code 2)."""


# What a prefix template of each kind takes on disk, for the word said before one is made.
TEMPLATE_SIZES = {"win32": "about 0.6 GB", "win64": "about 1.3 GB"}


class Progress:
    """The trial's long steps, said on stderr as they begin: nothing ("quiet"), a line each
    ("lines", for a log), or one line rewritten in place ("terminal"). The wording is all here;
    disckit only says which of the three its stderr wants."""

    def __init__(self, mode="quiet", stream=None):
        self.mode = mode
        self.stream = stream
        self.shown = False

    def step(self, text):
        if self.mode not in ("lines", "terminal"):
            return
        stream = self.stream or sys.stderr
        # A path of the user's may hold control characters: none reaches the terminal.
        line = "disckit trial: " + re.sub("[\x00-\x1f\x7f-\x9f]",
                                          lambda c: f"\\x{ord(c[0]):02X}", text)
        if self.mode == "terminal":
            # One line, rewritten: the carriage return and the erase of the line's rest.
            stream.write("\r\x1b[K" + line)
            self.shown = True
        else:
            stream.write(line + "\n")
        stream.flush()

    def done(self):
        """Clears the line in place before anything else is written to the terminal."""
        if self.shown:
            stream = self.stream or sys.stderr
            stream.write("\r\x1b[K")
            stream.flush()
            self.shown = False


def raw_ms():
    """The host's raw monotonic clock in ms: the clock Wine's tick count reads."""
    return int(time.clock_gettime(time.CLOCK_MONOTONIC_RAW) * 1000)


def disk_usage(root, most):
    """The bytes the files under root take on disk (blocks, so a sparse file counts at what it
    holds), walked without following a link; None past most entries."""
    total, entries = 0, 0
    try:
        top = os.open(root, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC)
    except OSError:
        return 0
    try:
        for _, dirnames, filenames, dir_fd in os.fwalk(".", dir_fd=top, follow_symlinks=False):
            for name in dirnames + filenames:
                entries += 1
                if entries > most:
                    return None
                try:
                    total += os.stat(name, dir_fd=dir_fd, follow_symlinks=False).st_blocks * 512
                except OSError:
                    continue
    finally:
        os.close(top)
    return total


def box_crop(rect, screen=trialbox.SCREEN):
    """The part of the screen a box's screenshot shows: its window's rectangle as the box
    watcher recorded it (BOX_RECT; the disc's programs can forge a record), cut to the screen,
    as (width, height, left, top). (None, why) when there is none, or it is no window's on the
    screen."""
    if rect is None:
        return None, "its record holds no window rectangle"
    found = BOX_RECT.fullmatch(rect)
    if not found:
        return None, "its record's window rectangle is not one"
    left, top, right, bottom = (int(v) for v in found.groups())
    if right <= left or bottom <= top:
        return None, f"its window rectangle ({left},{top})-({right},{bottom}) is empty"
    x, y = max(left, 0), max(top, 0)
    width, height = min(right, screen[0]) - x, min(bottom, screen[1]) - y
    if width <= 0 or height <= 0:
        return None, f"its window ({left},{top})-({right},{bottom}) lies off the screen"
    return (width, height, x, y), None


def image_facts(image):
    """The SHA-256 (hex) and volume label of the image the trial runs: what the report says it
    judged. The label is the primary volume descriptor's, blanks at its end dropped."""
    digest = hashlib.sha256()
    descriptor = b""
    with os.fdopen(os.open(image, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC), "rb") as f:
        while True:
            at = f.tell()
            block = f.read(1 << 20)
            if not block:
                break
            if at < 16 * 2048 + 72:
                descriptor += block[max(0, 16 * 2048 - at):16 * 2048 + 72 - at]
            digest.update(block)
    label = None
    if descriptor[:6] == b"\x01CD001" and len(descriptor) == 72:
        label = descriptor[40:72].rstrip(b" \0").decode("ascii", "replace") or None
    return {"sha256": digest.hexdigest(), "label": label}


# --- The trial -----------------------------------------------------------------------------------

class Trial:
    def __init__(self, a, lab):
        self.a = a
        self.lab = lab            # winelab, imported once its folders were set
        self.out = Path(a.out).resolve()
        self.out_fd = a.out_fd
        self.machine = None
        self.work = None
        self.notes = []
        self.noted = {}
        self.wall_at_spawn = 0.0
        self.watcher = None
        self.box_raw = bytearray()
        self.disk_base = None
        self.disk_next = 0.0
        self.over_disk = False
        self.pressed = {}
        self.memo = None
        self.wine_version = ""
        self.progress = Progress(getattr(a, "progress", "quiet"))

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

    def settings(self):
        """The profile's Wine version settings in the order to try them: the one that presented
        this system last time, with this Wine and this kind of prefix, first (SETTINGS_MEMO);
        then the profile's own order."""
        settings = self.a.wine_settings.split()
        known = read_settings_memo(self.memo).get(self.memo_key())
        if known in settings:
            settings.remove(known)
            settings.insert(0, known)
        return settings

    def memo_key(self):
        return f"{self.wine_version}|{self.a.prefix}|{self.a.profile}"

    def choose_version(self, m):
        tried = []
        for n, setting in enumerate(self.settings()):
            # The first setting was made as Wine started.
            if self.presents(m.use_version(setting if n else None)):
                if n:
                    write_settings_memo(self.memo, self.memo_key(), setting)
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
        """The trial's own folder, which only the sandbox's uid (and root) can enter. Named by
        the disckit that runs this driver and waits for it, as the trial's own id."""
        if os.geteuid() == 0:
            work = self.lab.lab() / "scenarios" / f"trial-{os.getppid()}"
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
        bits = "64" if arch == "win64" else "32"
        if os.geteuid() == 0:
            if not self.lab.template_ready(arch):
                self.progress.step(f"making the {bits}-bit Wine prefix template, once, "
                                   f"{TEMPLATE_SIZES[arch]}, into {self.lab.template_dir(arch)}")
            self.lab.ensure_template(arch)
            return self.lab.template_dir(arch)
        folder = trialbox.own_cache(self.lab) / "templates"
        if not (folder / arch / "system.reg").exists():
            self.progress.step(f"making the {bits}-bit Wine prefix template, once, "
                               f"{TEMPLATE_SIZES[arch]}, into {folder / arch}")
        return trialbox.ensure_own_template(folder, arch, self.lab)

    def open_machine(self):
        work = self.work_folder()
        template = self.template()
        self.memo = template.parent / SETTINGS_MEMO
        self.wine_version = subprocess.run(["wine", "--version"], capture_output=True,
                                           text=True, timeout=60).stdout.strip()[:200]
        image = self.disc_image(work)
        # The image unpacks (in a sandbox of its own) while the machine starts its X server and
        # Wine: the disc's folder is bound into the machine from the start, and nothing reads it
        # before the unpacking has ended.
        (work / "disc").mkdir(mode=0o755)
        trialbox.own(work / "disc")
        unpacked = []

        def unpack():
            try:
                trialbox.unpack_image(work, f"{trialbox.INSIDE}/{image.name}")
                unpacked.append(None)
            except BaseException as failed:  # told once the machine has started
                unpacked.append(failed)
        unpacking = threading.Thread(target=unpack, daemon=True)
        unpacking.start()
        try:
            machine = self.start_machine(work, template)
        finally:
            unpacking.join()
        failed = unpacked[0] if unpacked else trialbox.SandboxError("the image did not unpack")
        if isinstance(failed, trialbox.Hostile):
            raise CannotRun(f"{self.a.disc} cannot be tried: {failed}") from None
        if failed is not None:
            raise failed
        return machine

    def start_machine(self, work, template):
        self.progress.step(f"starting Wine as {self.a.title} ({self.a.profile}), "
                           f"{self.a.locale_name}")
        for attempt in (1, 2):
            try:
                self.machine = trialbox.Machine(self.lab, work, template, self.a.lc_all,
                                                self.lab.TOOLS, self.a.prefix,
                                                (self.settings() or [None])[0])
                return self.machine
            except subprocess.TimeoutExpired as hung:
                # Wine's own start-up hung, before anything of the disc ran: once more, as the
                # lab does, in a fresh copy.
                if attempt == 2:
                    raise CannotRun(f"Wine did not start: {' '.join(hung.cmd)} did not end in "
                                    f"{hung.timeout:.0f} s") from None
                for name in ("prefix", trialbox.LAYER, "home", "shots", "lab"):
                    trialbox.remove_work(work / name)

    def disc_image(self, work):
        """The disc's image in the trial's folder: the folder copied as hostile data (whoever
        may write in it) and the copy pressed by the sandbox's uid, or a copy of the image
        (which the sandbox's uid may not reach where it is)."""
        source = Path(self.a.disc)
        image = work / "disc.iso"
        if not self.a.image:
            # The folder's name as the volume label, in the characters a label may hold.
            label = re.sub(r"[^A-Z0-9_]", "_", source.name.upper())[:32] or "DISC"
            self.progress.step(f"pressing {source} into an image")
            try:
                image, notes = trialbox.press_folder(work, source, label)
            except trialbox.Hostile as why:
                raise CannotRun(f"{source} cannot be tried: {why}") from None
            self.notes.extend(notes)
        else:
            # Read as hostile like a folder: run by root, the image may lie where others write.
            self.progress.step(f"copying the image {source}")
            try:
                image = trialbox.copy_disc_image(source, work)
            except trialbox.Hostile as why:
                raise CannotRun(f"{source} cannot be tried: {why}") from None
        trialbox.own(image)
        self.pressed = image_facts(image)
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
        """The box watcher's records, from its standard output (a pipe the agent reads; at most
        BOX_LOG_CAP bytes), read as hostile all the same: at most MAX_BOXES, a line that is not
        one skipped and counted."""
        if self.watcher is not None and len(self.box_raw) < BOX_LOG_CAP:
            data, _ = m.sandbox.take(self.watcher, "out", BOX_LOG_CAP - len(self.box_raw))
            self.box_raw += data
        raw = bytes(self.box_raw)
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
            # The watcher ends a record with the box's window rectangle; what else ends in
            # one has none (a box's text may hold the separator, the owner never does).
            rect = None
            if BOX_RECT.fullmatch(owner):
                before, sep3, pid_field = text.rpartition(b"\x1f")
                if sep3:
                    text, rect, owner = before, owner, pid_field
            try:
                pid = int(owner or b"0", 16)
            except ValueError:
                malformed += 1
                continue
            if not (sep and sep2):
                malformed += 1
                continue
            records.append((ms, caption, text, pid, rect))
        if malformed:
            self.note_once("box-malformed", f"{malformed} lines of the box log were not records "
                           "of a box: skipped", replace=True)
        return records

    @staticmethod
    def kept_trace(m):
        """With --keep, a copy of Wine's trace as it is read, in a new file of the trial's
        folder (never through a link, never over a file), or None when one cannot be made."""
        try:
            top = os.open(m.dir, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC)
            try:
                fd = os.open("trace.txt", os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW
                             | os.O_CLOEXEC, 0o600, dir_fd=top)
            finally:
                os.close(top)
        except OSError:
            return None
        return os.fdopen(fd, "wb")

    def note_once(self, key, text, replace=False):
        if key in self.noted and not replace:
            return
        if key in self.noted:
            self.notes.remove(self.noted[key])
        self.noted[key] = text
        self.notes.append(text)

    def disk_over(self, m):
        """Whether the trial's folder has grown past DISK_BUDGET since the run began (measured
        every DISK_CHECK_SECONDS): then every process of the sandbox is ended, once, and the
        report says so."""
        if self.over_disk:
            return True
        if time.monotonic() < self.disk_next:
            return False
        used = disk_usage(m.dir, DISK_ENTRIES)
        self.disk_next = time.monotonic() + DISK_CHECK_SECONDS
        self.bounds_reached(m)
        if self.disk_base is None:
            self.disk_base = used or 0
            return False
        if used is not None and used - self.disk_base <= DISK_BUDGET:
            return False
        self.over_disk = True
        what = (f"more than {DISK_ENTRIES} files" if used is None
                else f"{(used - self.disk_base) >> 20} MiB more")
        self.notes.append(f"the trial's folder grew past its budget of {DISK_BUDGET >> 20} MiB "
                          f"({what}): every program of the disc was ended there")
        m.sandbox.stop_all()
        return True

    def bounds_reached(self, m):
        """A note, once each, for a bound of the sandbox its programs have reached (as seen at
        this moment: one reached and let go in between is not seen)."""
        threads, free = m.sandbox.pressure()
        if threads >= trialbox.PIDS_LIMIT - 8:
            self.note_once("bound-pids", f"the programs in the sandbox reached its bound of "
                           f"{trialbox.PIDS_LIMIT} processes: more could not be started")
        for path, size in (("/tmp", trialbox.TMP_SIZE), ("/dev/shm", trialbox.SHM_SIZE)):
            if path in free and free[path] < 1 << 20:
                self.note_once(f"bound-{path}", f"the sandbox's {path} was full ({size >> 20} "
                               "MiB): writes there failed")

    def boxes(self, m, seen, deadline_ms):
        """New boxes in the watcher's record: a screenshot of each while it is up, then lets the
        watcher answer it. No more than MAX_BOXES, and none once the deadline has passed."""
        records = self.box_records(m)
        if len(records) > MAX_BOXES:
            self.note_once("box-many", f"more than {MAX_BOXES} boxes were recorded: only the "
                           f"first {MAX_BOXES} are in the report")
        for ms, caption, text, pid, rect in records[len(seen):MAX_BOXES]:
            if raw_ms() >= deadline_ms:
                self.note_once("box-late", "boxes recorded after the time bound were not "
                               "answered")
                return
            number = len(seen) + 1
            crop, why = box_crop(rect)
            if crop is None:
                self.notes.append(f"box {number}: its screenshot shows the whole screen: {why}")
            shot = self.screenshot(m, f"box-{number}.png",
                                   min(60, max((deadline_ms - raw_ms()) / 1000, 5)), crop)
            if not m.sandbox.touch(f"{trialbox.INSIDE}/{m.relative(ACK_FOLDER)}/box-{number}"):
                self.notes.append(f"box {number} could not be let go: something took the place "
                                  "of its acknowledgement")
            seen.append({"seconds": round((ms - self.wall_at_spawn) / 1000, 3),
                         "caption": caption.decode(m.ansi, "replace"),
                         "text": text.decode(m.ansi, "replace"),
                         "pid": pid, "screenshot": shot})

    def screenshot(self, m, name, timeout=60, crop=None):
        """A screenshot taken in the sandbox (of the part crop names, or the whole screen),
        written into --out as a new file; its path."""
        data = m.screenshot(name, timeout, crop)
        if data is None:
            self.notes.append(f"no screenshot {name}")
            return None
        try:
            trialbox.write_new(self.out_fd, name, data)
        except OSError as failed:
            self.notes.append(f"no screenshot {name}: {failed.strerror}")
            return None
        return str(self.out / name)

    def wait_ready(self, m, pids, budget_ms, boxes, deadline_ms, trace=None):
        """WaitReady for these processes (bounded by budget_ms), answering boxes meanwhile:
        (process states by pid, windows as (pid, class, title), the process table it printed
        at its end, the names the kernel showed while it ran, and those it shows once it
        ended)."""
        seen = set(m.windows_processes())
        n = m.spawn("C:\\lab\\WaitReady.exe", str(max(budget_ms, 0)),
                    *(f"{p:x}" for p in pids), out="pipe")
        limit = time.monotonic() + budget_ms / 1000 + self.lab.PATIENCE
        while m.sandbox.poll(n)[0] is None and time.monotonic() < limit:
            seen.update(m.windows_processes())
            self.boxes(m, boxes, deadline_ms)
            if trace is not None:
                trace.update()
            if self.disk_over(m):
                break
            time.sleep(0.1)
        if m.sandbox.poll(n)[0] is None:
            m.sandbox.kill(n, group=True)
        # What runs now, once it has ended: whether the browser runs rests on this view.
        at_end = m.windows_processes()
        seen.update(at_end)
        states, windows, table = {}, [], []
        # Its answer comes through the agent's pipe (at most a MiB), never through a file.
        raw = b""
        for _ in range(64):
            data, eof = m.sandbox.take(n, "out")
            raw += data
            if eof or not data:
                break
        for data in raw.split(b"\n")[:10000]:
            # Windows and titles come in UTF-8; the table's names in the ANSI code page.
            if data.startswith(b"running\t"):
                table.extend(machine.parse_process_table(data[8:].decode(m.ansi, "replace")))
                continue
            fields = data.decode("utf-8", "replace").rstrip("\r").split("\t")
            try:
                if fields[0] == "process" and len(fields) == 3:
                    states[int(fields[1], 16)] = fields[2]
                elif fields[0] == "window" and len(fields) == 4:
                    windows.append((int(fields[1], 16), fields[2], fields[3]))
            except ValueError:
                continue
        return states, windows, table, seen, at_end

    def run(self):
        a, m = self.a, self.open_machine()
        report = {"disc": dict({"path": a.disc, "kind": "image" if a.image else "folder"},
                               **self.pressed),
                  "wine": self.wine_version}
        # The registry before the run, as Wine's server holds it, is saved by the probe that finds
        # the version setting; nothing of the disc has run yet to write where it is saved.
        if not m.sandbox.mkdir(f"{trialbox.INSIDE}/{m.relative(SNAPSHOT_FOLDER)}"):
            raise CannotRun(f"{SNAPSHOT_FOLDER} could not be made in the prefix")
        m.registry_folder = SNAPSHOT_FOLDER
        setting = self.choose_version(m)
        m.registry_folder = None
        self.check_language(m)
        launcher = self.insert(m)
        report["system"] = {"profile": a.profile, "title": a.title, "wineSetting": setting,
                            "prefix": a.prefix, "reported": self.reported(m.report)}
        report["language"] = {"langId": a.lang_id, "locale": a.locale_name, "lcAll": a.lc_all,
                              "codePage": int(m.report.get("acp", "0"))}
        windows_rel = m.relative("C:\\windows")

        # Wine may have mapped the host again while it updated the prefix.
        if m.host_drives():
            m.remove_host_drives()
        # Saved by the server in the format it writes the prefix's files in when it ends (as it
        # does after the run): Wine goes on running.
        keys_before = registry_keys(m.prefix, self.notes,
                                    m.relative(SNAPSHOT_FOLDER)[len("prefix/"):] + "/")
        files_before = windows_files(m.view, windows_rel, self.notes)
        if not m.sandbox.mkdir(f"{trialbox.INSIDE}/{m.relative(ACK_FOLDER)}"):
            raise CannotRun(f"{ACK_FOLDER} could not be made in the prefix")
        # The watcher's records come through its standard output, a pipe only the agent reads.
        self.watcher = m.spawn("C:\\lab\\BoxWatcher.exe", "300", ACK_FOLDER,
                               env={"STANDIN_LOG": "-"}, out="pipe", cap=BOX_LOG_CAP)
        # The system's own processes run (boot); once the watcher runs, nothing but the launcher
        # writes to the trace. The kernel's view names it as soon as Wine has loaded it.
        if not m.wait_for(lambda: "BoxWatcher.exe" in m.windows_processes(), interval=0.05):
            raise CannotRun(f"the box watcher did not start within {self.lab.PATIENCE:.0f} s")
        if m.host_drives():
            raise CannotRun(f"Wine mapped the drives {', '.join(m.host_drives())} again")

        # Wine's trace is the launcher's standard error: a pipe the agent reads (at most
        # FILE_LIMIT bytes of it), held by the launcher and what it starts, and by no file.
        env = {"WINEDEBUG": TRACE_CHANNELS}
        self.progress.step(f"running {launcher}, watched for {a.timeout} s at the most")
        self.wall_at_spawn = time.time() * 1000
        self.disk_over(m)  # the folder's size as the run begins
        proc, spawned = m.sandbox.spawn(["wine", launcher], dict(m.env, **env), err="pipe",
                                        limit=trialbox.FILE_LIMIT, cap=trialbox.FILE_LIMIT)
        m.background.append(proc)
        kept = self.kept_trace(m) if self.a.keep else None

        def taken():
            data = m.sandbox.take(proc, "err")[0]
            if kept is not None:
                kept.write(data)
            return data
        trace = Trace(None, launcher, spawned, m.report.get("windowsDir", "C:\\windows"),
                      source=taken)
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
            if self.disk_over(m):
                stop_reason = "disk"
                break
            time.sleep(0.1)
        watched_ms = (end_ms if end_ms is not None else raw_ms()) - spawned
        if end_rc in (-signal.SIGXCPU, -signal.SIGKILL):
            self.notes.append(f"the launcher was ended by a signal ({signal.Signals(-end_rc).name})"
                              + (f": it used its bound of {trialbox.CPU_SECONDS} s of CPU time"
                                 if end_rc == -signal.SIGXCPU else ""))
        if stop_reason:
            # A launcher still running is ended here, as TerminateProcess would end it, so that
            # the report holds what it did within the bound; what it started goes on for now.
            # Not in the middle of a start, though: Wine would leave the process it was making
            # half made, never running and never ending.
            limit = time.monotonic() + self.lab.PATIENCE
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
        self.progress.step(f"waiting for the browser and what else ran to settle, "
                           f"{budget // 1000} s at the most")
        # The process table comes from WaitReady too, checked against the kernel's view of the
        # sandbox while it ran, which the disc's programs cannot rewrite as they could its
        # answer (it runs in their Wine).
        states, windows, table, seen, at_end = self.wait_ready(m, started, budget, boxes,
                                                               settle_deadline, trace)
        table = self.kernel_checked(table, seen)
        after_shot = self.screenshot(m, "after-run.png")
        self.boxes(m, boxes, settle_deadline)
        trace.finish()
        if kept is not None:
            kept.close()
        if trace.unread:
            self.notes.append(f"reading Wine's trace took more than {trial_trace.TRACE_SECONDS} s "
                              f"of CPU time: its last {trace.unread} bytes were not read")
        if trace.dropped:
            self.notes.append(f"Wine's trace held more than {MAX_STARTS} starts or "
                              f"{MAX_LOADS} loads: {trace.dropped} more were left out")

        self.progress.step("stopping Wine and reading what changed")
        m.stop_wine()
        files_after = windows_files(m.view, windows_rel, self.notes)
        keys_after = registry_keys(m.prefix, self.notes)

        report["launcher"] = {
            "program": launcher, "pid": trace.root,
            "ended": stop_reason is None, "exitCode": end_rc if stop_reason is None else None,
            "seconds": round(watched_ms / 1000, 3), "stoppedBecause": stop_reason}
        self.root = trace.root
        for box in boxes:
            box["by"] = trace.name(box["pid"])
        report["events"] = self.events(trace, boxes, report["launcher"])
        report["browser"] = self.browser(trace, table, windows, states, at_end)
        analysis_deadline = time.monotonic() + ANALYSIS_SECONDS
        report["windowsDirectory"] = self.windows_changes(files_before, files_after, m.view,
                                                          windows_rel, m.report.get("acp"),
                                                          self.notes, analysis_deadline)
        self.name_copies(report["windowsDirectory"], m.view, windows_rel, m.disc_dir,
                         self.notes, analysis_deadline)
        report["registry"] = self.registry_changes(keys_before, keys_after)
        report["running"] = self.running(trace, table, states)
        report["windows"] = [{"pid": p, "process": self.table_name(table, p), "class": c,
                              "title": t} for p, c, t in windows
                             if any(p == s for s in started) or p == trace.root]
        report["boxes"] = boxes
        report["screenshots"] = [b["screenshot"] for b in boxes if b["screenshot"]] + \
            ([after_shot] if after_shot else [])
        report["screenshotAfterRun"] = after_shot
        report["account"] = (self.lab.ACCOUNT if os.geteuid() == 0
                             else os.environ.get("USER") or str(os.getuid()))
        report["sandbox"] = "bubblewrap"
        # A bound this machine cannot give the sandbox, once each: the others still hold.
        self.notes.extend(trialbox.bounds().lacking)
        if self.notes:
            report["notes"] = self.notes
        return report

    # --- Reading what was seen -------------------------------------------------------------------

    def browser_starts(self, trace, launcher_only=False):
        return [s for s in trace.starts if same_name(basename(s["program"]), self.a.browser)
                and (not launcher_only or s["by"] == trace.root)]

    def kernel_checked(self, table, seen):
        """The process table's rows whose process the kernel showed too (by name, cut as the
        kernel cuts it); the others are left out, and a note says which."""
        kernel = {ascii_upper(name) for name in seen}
        kept = [p for p in table if ascii_upper(p.name)[:15] in kernel
                or same_name(p.name, "WaitReady.exe")]
        if len(kept) != len(table):
            names = sorted({p.name for p in table if p not in kept})
            self.notes.append(f"WaitReady listed {len(table) - len(kept)} processes the sandbox's "
                              f"kernel did not show ({', '.join(names)[:200]}): left out")
        return kept

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

    def browser(self, trace, table, windows, states, seen=None):
        starts = self.browser_starts(trace)
        # What became of each browser started: "gone" ended before it could be asked.
        ended = [s for s in starts if s["pid"] is not None
                 and states.get(s["pid"], "").split(" ")[0] in ("ended", "gone")]
        running = [p for p in table if ascii_upper(p.name) == self.a.browser_process]
        runs = bool(running)
        if seen is not None:
            # Whether the browser runs rests on the kernel's view (names cut to 15 bytes, as it
            # keeps them); the process table, which the disc's programs could deceive, names
            # its ids.
            runs = any(ascii_upper(n) == self.a.browser_process[:15] for n in seen)
            if runs != bool(running):
                self.notes.append(
                    f"WaitReady {'lists' if running else 'does not list'} a process "
                    f"{self.a.browser_process}, but the sandbox's kernel "
                    f"{'shows' if runs else 'does not show'} one: the verdict follows the kernel")
            if not runs:
                running = []
        first, last = (starts[0]["seconds"], starts[-1]["seconds"]) if starts else (None, None)
        return {
            "program": self.a.browser, "process": self.a.browser_process,
            "starts": len(starts),
            "startsByLauncher": len([s for s in starts if s["by"] == trace.root]),
            "commandLines": sorted({s["commandLine"] for s in starts if s["commandLine"]}),
            "failedStarts": len([s for s in starts if s["state"] == "failed"]),
            "ended": len(ended),
            "firstStart": first, "lastStart": last,
            "running": runs,
            "runningAs": [{"pid": p.pid, "name": p.name} for p in running],
            "windows": [t for pid, _, t in windows if pid in {p.pid for p in running}],
        }

    @staticmethod
    def windows_changes(before, after, root, relative, acp, notes=None, deadline=None):
        codec = f"cp{acp}"
        try:
            codecs.lookup(codec)
        except LookupError:
            codec = "latin-1"
        changes = []
        late = 0
        for rel in sorted(set(before) | set(after)):
            if before.get(rel) == after.get(rel):
                continue
            if deadline is not None and not late and time.monotonic() > deadline:
                late = 1
            if late:
                late += 1
            kind = "removed" if rel not in after else "added" if rel not in before else "changed"
            entry = {"path": "C:\\windows\\" + rel.replace("/", "\\"), "change": kind}
            if kind != "removed":
                size, _, _, mode = after[rel]
                entry["size"] = size
                entry["readOnly"] = not mode & 0o200
                try:
                    data = trialbox.read_beneath(root, f"{relative}/{rel}", 512) \
                        if size <= 512 and not late else None
                except trialbox.Hostile:
                    data = None  # no longer what it was when it was listed
                if data is not None and b"\0" not in data:
                        entry["text"] = data.decode(codec, "replace")
            changes.append(entry)
        if late and notes is not None:
            notes.append(f"reading the Windows directory's changes took longer than "
                         f"{ANALYSIS_SECONDS} s: the text of {late - 1} files was not read")
        return changes

    @staticmethod
    def name_copies(changes, root, relative, disc_dir, notes=None, deadline=None,
                    budget=COMPARE_BUDGET):
        """Marks each file written to the Windows directory that is a copy of a file of the
        disc, byte for byte. (The disc's files are the unpacked image's, read-only to the
        disc's programs; the Windows directory's are read as hostile.) Only a file of a size
        some file of the disc has is read, each file once, hashed, and no more than budget
        bytes in all (a sparse file counts at its size) nor past the deadline (monotonic)."""
        by_size = {}
        for path in disc_dir.rglob("*"):
            if path.is_file() and not path.is_symlink():
                by_size.setdefault(path.stat().st_size, []).append(path)
        digests = {}
        left, skipped = budget, 0

        def digest(read, size):
            nonlocal left
            if size > left or (deadline is not None and time.monotonic() > deadline):
                return None
            left -= size
            return hashlib.sha256(read()).digest()
        for change in changes:
            if change["change"] == "removed" or change["size"] not in by_size:
                continue
            rel = change["path"][len("C:\\windows\\"):].replace("\\", "/")
            try:
                mine = digest(lambda: trialbox.read_beneath(root, f"{relative}/{rel}",
                                                            change["size"]) or b"",
                              change["size"])
            except trialbox.Hostile:
                continue  # no longer what it was when it was listed
            if mine is None:
                skipped += 1
                continue
            for candidate in by_size[change["size"]]:
                if candidate not in digests:
                    digests[candidate] = digest(candidate.read_bytes, change["size"])
                if digests[candidate] is None:
                    skipped += 1
                    break
                if digests[candidate] == mine:
                    change["copyOf"] = "D:\\" + str(candidate.relative_to(disc_dir)).replace("/", "\\")
                    break
        if skipped and notes is not None:
            notes.append(f"{skipped} files of the Windows directory were not compared with the "
                         f"disc's: the comparison's bound ({budget >> 20} MiB read, "
                         f"{ANALYSIS_SECONDS} s) was reached")

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

    # --- Ending --------------------------------------------------------------------------------

    def close(self):
        self.progress.done()
        m = self.machine
        if m is not None:
            m.close()
        if self.work is None:
            return
        if self.a.keep:
            print(f"disckit trial: the prefix's changes over its template ({trialbox.LAYER}/upper), "
                  f"the trace and the disc are kept in {self.work}", file=sys.stderr)
        else:
            trialbox.remove_work(self.work)
