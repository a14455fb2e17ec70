"""Runs the real Start.exe under Wine as Windows would run it, and reports what happened.

One Machine is one Wine prefix with its own X display and the stand-ins' shared log. Wine runs
under an unprivileged account (ACCOUNT, created when missing), which owns the prefix: run as
root, Wine would ignore the read-only attribute and a real fault would hide. The disc is drive
D:, a CD-ROM drive holding the files of a disc image, without write bits and owned by root, so
that an open for writing fails as it does on a pressed disc. A writable copy of a disc goes on
drive C:, owned by the account, as a user would make one.

The Machine API, in the order a scenario uses it:

    with Machine("name", arch="win64", lang="de_DE.UTF-8", version=None) as m:
        m.report                      what Wine tells a program about the system (OsProbe)
        m.choose_version(accept, settings)   a Wine version setting whose report is accepted
        d = m.insert_disc(remove=..., add=..., under=...)   D:\\ from the image, or a variant
        d = m.copy_disc("Folder")     a writable copy on C:\\Folder\\ (same variants)
        m.put_file(path, data), m.make_read_only(path), m.unix_path(path)
        m.watch_boxes()               a watcher that records and answers message boxes
        run = m.run_launcher(d)       Start.exe to its end: run.rc, run.started, run.ended (ms)
        l = m.start_launcher(d)       Start.exe in the background: l.running(), l.wait()
        m.settle()                    every stand-in running has written its first record
        m.wait_gone("regsvr32.exe")   no process of that name runs any more
        m.log()                       the stand-ins' records (Event), oldest first
        m.processes(), m.process_table(), m.class_key_present(), m.wait_for(predicate)

Machine is the lab's machine.Machine (lab/machine.py), which the trial's sandboxed machine is too:
the probe, the process table, the version setting and the waits are that one class's.

Every wait is bounded (PATIENCE, generous for machines that emulate 32-bit code, where one Wine
process takes seconds to start) and waits for the event it means: nothing here can hang a test
run, and nothing depends on how fast this machine starts a process.
"""

import collections
import errno
import hashlib
import os
import pwd
import secrets
import select
import shutil
import signal
import stat
import subprocess
import time
from pathlib import Path

import machine
from machine import PATIENCE, ProgramFailed

ROOT = Path(__file__).resolve().parent.parent
WIN32_BUILD = Path(os.environ.get("LAUNCHER_WIN32_BUILD", ROOT / "build" / "win32")).resolve()
START_EXE = WIN32_BUILD / "Start.exe"
DISC = WIN32_BUILD / "disc"
DISC_IMAGE = WIN32_BUILD / "disc.iso"
DISC_LABEL = "SWIFTDECK"
# The lab's own Windows programs; an installed disckit names its copy.
TOOLS = Path(os.environ.get("LAUNCHER_LAB_TOOLS", WIN32_BUILD / "tools")).resolve()
WORK = Path(os.environ.get("LAUNCHER_E2E_WORK", ROOT / "build" / "e2e")).resolve()
ACCOUNT = os.environ.get("LAUNCHER_E2E_ACCOUNT", "disclab")

BASE_ENV = {
    "WINEDEBUG": "-all",
    # No prompts to install the .NET and HTML engines into a new prefix, and no menu entries
    # written into the account's home.
    "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
    "STANDIN_LOG": "C:\\standin.log",
}
# The registry files are rewritten in place by Wine: they must be real copies, not hard links.
REGISTRY_FILES = ("system.reg", "user.reg", "userdef.reg")
# Programs that write a record as soon as they run: the stand-ins under their disc names, and
# the system's registration tool once it has loaded a control.
STANDIN_PROCESSES = ("panoview.exe", "q7.exe", "regsvr32.exe")

# One record of the stand-ins' log (standin_log.h): detail as bytes, times in ms since 1970.
Event = collections.namedtuple("Event", "ms program event detail pid created error_mode cwd")


class Skip(Exception):
    """This machine cannot run the scenario (for example no way to run 32-bit code)."""


class WineHung(Exception):
    """Wine itself hung while a prefix was being set up, before the launcher ran."""


def control_clsid():
    """The class id ("{...}") the disc's controls register: the launcher's own, read from its
    source by the build, which passes it to the tests and the benchmarks in the environment."""
    clsid = os.environ.get("LAUNCHER_CONTROL_CLSID", "")
    if not clsid.startswith("{"):
        raise RuntimeError("LAUNCHER_CONTROL_CLSID is not set: run the tests through CTest "
                           "(cmake/ControlClass.cmake reads it from app/LauncherApp.h)")
    return clsid


def now_ms():
    return int(time.time() * 1000)


def can_run_wine():
    if shutil.which("wine") is None or shutil.which("Xvfb") is None:
        return "wine or Xvfb is not installed (scripts/deps.sh wine installs them)"
    if shutil.which("xorriso") is None:
        return "xorriso is not installed (scripts/deps.sh wine installs it)"
    if not START_EXE.exists() or not DISC_IMAGE.exists():
        return (f"{START_EXE} or {DISC_IMAGE} is not built "
                "(cmake --preset win32 && cmake --build --preset win32)")
    if os.geteuid() != 0:
        return f"the lab runs Wine under the account {ACCOUNT} and needs root to switch to it"
    if not runs_32bit_code():
        return "this machine cannot run 32-bit x86 code (scripts/deps.sh wine sets up emulation)"
    return None


# --- The account -----------------------------------------------------------------------------

_account = None


def account():
    """The unprivileged account Wine runs under, created on first use."""
    global _account
    if _account is None:
        try:
            _account = pwd.getpwnam(ACCOUNT)
        except KeyError:
            # A run in parallel may create it first; useradd then fails and the look-up works.
            subprocess.run(["useradd", "--system", "--user-group", "--create-home",
                            "--home-dir", f"/var/lib/{ACCOUNT}", "--shell", "/usr/sbin/nologin",
                            "--comment", "Wine lab of the end-to-end scenarios", ACCOUNT],
                           capture_output=True, timeout=60)
            _account = pwd.getpwnam(ACCOUNT)
    return _account


def as_account(env):
    """subprocess keywords that run a command as the account, with env and the account's home."""
    pw = account()
    return dict(user=pw.pw_uid, group=pw.pw_gid, extra_groups=[],
                env=dict(env, HOME=pw.pw_dir, USER=ACCOUNT, LOGNAME=ACCOUNT))


def give(path):
    """Makes a file or tree that root wrote belong to the account."""
    pw = account()
    subprocess.run(["chown", "-R", "--no-dereference", f"{pw.pw_uid}:{pw.pw_gid}", str(path)],
                   check=True, timeout=300)


def remove_tree(path):
    subprocess.run(["rm", "-rf", str(path)], check=True, timeout=300)


_lab = None
# Root's lab, when the account cannot reach WORK: a folder only root can make, made 0711 (the
# account passes through it to its prefixes, nobody lists it), one lab in it per WORK under a
# name nobody else can guess.
ROOT_CACHE = Path("/var/cache/disckit")


class UnsafeFolder(Exception):
    """A folder the lab or a trial would keep its prefixes in could be changed by another
    account, or is not what it must be: one line saying which and why. Never used, never
    repaired."""


def _owner(uid):
    try:
        return f"{pwd.getpwuid(uid).pw_name} (uid {uid})"
    except KeyError:
        return f"uid {uid}"


_DIR = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC


def open_folder(path, owner, mode=None, create=None):
    """An open descriptor of the folder path, reached from / one step at a time, never through a
    link, where no account but root and owner can change what the path leads to: every folder
    above belongs to root or owner and no one else may write in it (a sticky folder such as
    /var/tmp aside, when the next step belongs to root or owner); the folder itself belongs to
    owner, no one else may write in it, and its mode is mode when given. Missing folders are
    made (the last with the mode create, those above 0755) when create is given, and checked
    as if found. Raises UnsafeFolder. Once it has passed, the path leads where it did for as
    long as root and owner leave it so: using the path afterwards is as safe as the
    descriptor."""
    path = os.path.abspath(str(path))
    parts = [p for p in path.split("/") if p]
    allowed = (0, owner)
    fd = os.open("/", _DIR)
    st, here = os.fstat(fd), "/"
    try:
        for i, part in enumerate(parts):
            last = i == len(parts) - 1
            there = os.path.join(here, part)
            made = False
            try:
                inner = os.open(part, _DIR, dir_fd=fd)
            except FileNotFoundError:
                if create is None:
                    raise UnsafeFolder(f"{there} does not exist") from None
                try:
                    os.mkdir(part, create if last else 0o755, dir_fd=fd)
                    made = True
                except FileExistsError:
                    pass
                try:
                    inner = os.open(part, _DIR, dir_fd=fd)
                except OSError as failed:
                    raise UnsafeFolder(f"{there} cannot be opened as a folder: "
                                       f"{failed.strerror}") from None
            except OSError as failed:
                what = ("is a link or not a folder" if failed.errno in (errno.ELOOP, errno.ENOTDIR)
                        else f"cannot be opened: {failed.strerror}")
                raise UnsafeFolder(f"{there} {what}: refused (a folder is never reached "
                                   "through a link)") from None
            inner_st = os.fstat(inner)
            if made and inner_st.st_uid == os.geteuid():
                # The umask may have taken bits the folder must have.
                os.fchmod(inner, create if last else 0o755)
                inner_st = os.fstat(inner)
            os.close(fd)
            fd = inner
            if st.st_uid not in allowed:
                raise UnsafeFolder(f"{here} belongs to {_owner(st.st_uid)}, who could replace "
                                   f"{there}: refused")
            if st.st_mode & 0o022 and not st.st_mode & stat.S_ISVTX:
                raise UnsafeFolder(f"{here} is writable by other accounts, which could replace "
                                   f"{there}: refused")
            if st.st_mode & 0o022 and inner_st.st_uid not in allowed:
                raise UnsafeFolder(f"{there} belongs to {_owner(inner_st.st_uid)}, in the shared "
                                   f"folder {here}: refused (never used or repaired)")
            st, here = inner_st, there
        if st.st_uid != owner:
            raise UnsafeFolder(f"{path} belongs to {_owner(st.st_uid)}, not to "
                               f"{_owner(owner)}: refused (never used or repaired)")
        if st.st_mode & 0o022:
            raise UnsafeFolder(f"{path} is writable by other accounts (mode "
                               f"{stat.S_IMODE(st.st_mode):04o}): refused (never used or repaired)")
        if mode is not None and stat.S_IMODE(st.st_mode) != mode:
            raise UnsafeFolder(f"{path} has the mode {stat.S_IMODE(st.st_mode):04o}, not "
                               f"{mode:04o}: refused (never used or repaired)")
        return os.dup(fd)
    finally:
        os.close(fd)


# What marks a folder as a cache, so that backup and archiving tools leave it out: this line
# first, byte for byte, as those tools look for it.
CACHEDIR_TAG = (b"Signature: 8a477f597d28d172789f06886806bc55\n"
                b"# This file is a cache directory tag created by disckit.\n"
                b"# For information about cache directory tags, see https://bford.info/cachedir/\n")


def tag_cache(folder_fd):
    """Puts CACHEDIR.TAG into the cache folder folder_fd when it has none: a new file, never
    through a link, never over another file."""
    try:
        fd = os.open("CACHEDIR.TAG", os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW
                     | os.O_CLOEXEC, 0o644, dir_fd=folder_fd)
    except FileExistsError:
        return
    except OSError as failed:
        raise UnsafeFolder(f"CACHEDIR.TAG cannot be made in the cache: {failed.strerror}") \
            from None
    with os.fdopen(fd, "wb") as f:
        f.write(CACHEDIR_TAG)


def reaches(path):
    """Whether the account can enter path."""
    return subprocess.run(["test", "-x", str(path)], **as_account(os.environ),
                          timeout=30).returncode == 0


def lab():
    """Where the prefixes live (see find_lab), found once."""
    global _lab
    if _lab is None:
        _lab = find_lab(WORK, ROOT_CACHE, reaches)
    return _lab


def find_lab(work, cache, reachable):
    """Where the prefixes live: work when the account can reach it (the build tree's e2e
    folder, say), else root's own lab in cache (a checkout under /root, say, is closed to other
    accounts, and so is an installed trial's cache in root's home). work is made when missing;
    both are checked with open_folder (work and the folders above it root's, writable by no one
    else), and so are their templates and scenarios folders. Raises UnsafeFolder.

    In cache, the account reaches its prefixes through folders of mode 0711: it may pass
    through, but cannot list them, and the lab's name holds 64 random bits, so no other
    account finds the prefixes either; only root can make anything there. (A 0700 lab would
    keep the account out: bubblewrap and Wine run as the account and open the prefix by its
    path.)"""
    os.close(open_folder(work, 0, create=0o755))
    if reachable(work):
        lab, private = Path(work), False
    else:
        import fcntl
        fd = open_folder(cache, 0, mode=0o711, create=0o711)
        try:
            tag_cache(fd)
            key = hashlib.sha1(str(work).encode()).hexdigest()[:12] + "-"
            # One lab per work folder, whichever program asks first: programs started at once
            # (the tests' template fixture and a test beside it) must not each make one.
            lock = open_lock(fd, key + "lock")
            try:
                fcntl.flock(lock, fcntl.LOCK_EX)
                names = sorted(n for n in os.listdir(fd)
                               if n.startswith(key) and n != key + "lock")
                name = names[0] if names else key + secrets.token_hex(8)
                os.close(open_folder(Path(cache) / name, 0, mode=0o711, create=0o711))
            finally:
                os.close(lock)
        finally:
            os.close(fd)
        lab, private = Path(cache) / name, True
    mode = 0o711 if private else None
    create = 0o711 if private else 0o755
    os.close(open_folder(lab, 0, mode=mode, create=create))
    for sub in ("templates", "scenarios"):
        os.close(open_folder(lab / sub, 0, mode=mode, create=create))
    return lab


def template_dir(arch):
    return lab() / "templates" / arch


def template_ready(arch):
    return (template_dir(arch) / "system.reg").exists()


def check_template(target, owner):
    """A template found in the lab must be a real folder of the account that runs Wine, with
    its C: drive and its drives' links folders of its own, not links."""
    for path in (target, target / "dosdevices", target / "drive_c"):
        try:
            st = os.lstat(path)
        except FileNotFoundError:
            continue
        if not stat.S_ISDIR(st.st_mode) or st.st_uid != owner:
            raise UnsafeFolder(f"{path} is not a folder of {_owner(owner)} (a link, or "
                               "another account's): refused (never used or repaired)")


def make_template(arch):
    """A fresh prefix of the given kind ('win64': 64-bit Windows, 'win32': native 32-bit),
    belonging to the account, whose drive D: is a CD-ROM drive."""
    target = template_dir(arch)
    remove_tree(target)
    target.mkdir()
    give(target)
    env = dict(os.environ, **BASE_ENV, WINEPREFIX=str(target), WINEARCH=arch)
    env.pop("DISPLAY", None)
    run = as_account(env)
    try:
        subprocess.run(["wineboot", "-i"], check=True, timeout=400, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, **run)
    except BaseException:
        # A wineboot that hung or failed leaves the prefix's services running: they end with
        # it, and the half-made template goes, so that nothing takes it for a made one.
        try:
            stop_wine(env)
            remove_tree(target)
        except (OSError, subprocess.SubprocessError):
            pass
        raise
    # D: is the folder "disc" beside each copy of the prefix, filled by insert_disc. The link
    # exists from the start so that Wine's mount manager knows the drive, and its type, when
    # it starts.
    link = target / "dosdevices" / "d:"
    if link.is_symlink() or link.exists():
        link.unlink()
    link.symlink_to("../../disc")
    os.lchown(link, account().pw_uid, account().pw_gid)
    # In the registry's native view: the mount manager is a 64-bit program on 64-bit Windows.
    subprocess.run([machine.native_wine(arch), "reg", "add", "HKLM\\Software\\Wine\\Drives",
                    "/v", "d:", "/d", "cdrom", "/reg:64", "/f"], check=True, timeout=120,
                   capture_output=True, **run)
    subprocess.run(["wineserver", "-w"], check=True, timeout=120, **run)


def open_lock(folder_fd, name):
    """The lock file name in the folder folder_fd, made when missing: never through a link,
    never truncated, a regular file of this uid's."""
    try:
        fd = os.open(name, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK,
                     0o600, dir_fd=folder_fd)
    except OSError as failed:
        raise UnsafeFolder(f"the lock {name} cannot be opened ({failed.strerror}): refused") \
            from None
    st = os.fstat(fd)
    if not stat.S_ISREG(st.st_mode) or st.st_uid != os.geteuid():
        os.close(fd)
        raise UnsafeFolder(f"the lock {name} is not a file of {_owner(os.geteuid())}: refused")
    return fd


def ensure_template(arch):
    """Makes the template of this kind when it is missing, one maker at a time among the
    programs that use this lab (a disckit trial beside a run of the scenarios, say)."""
    import fcntl
    folder = open_folder(lab() / "templates", 0)
    try:
        lock = open_lock(folder, f".{arch}.lock")
    finally:
        os.close(folder)
    try:
        fcntl.flock(lock, fcntl.LOCK_EX)
        os.utime(lock)  # its last use, for disckit cache
        check_template(template_dir(arch), account().pw_uid)
        if not template_ready(arch):
            make_template(arch)
    finally:
        os.close(lock)


def runs_32bit_code():
    """Whether this machine runs 32-bit x86 programs, natively or under emulation."""
    try:
        subprocess.run(["/lib/ld-linux.so.2", "--version"], capture_output=True, check=True,
                       timeout=30)
    except (OSError, subprocess.SubprocessError):
        return False
    return True


def stop_wine(env):
    """Ends every program of a prefix and waits until its server has gone, which writes the
    registry out to the prefix's files."""
    run = as_account(env)
    subprocess.run(["wineserver", "-k"], timeout=60, capture_output=True, **run)
    subprocess.run(["wineserver", "-w"], timeout=PATIENCE, capture_output=True, **run)


# --- Disc images ---------------------------------------------------------------------------

def press_image(folder, image, label=DISC_LABEL):
    """What a disc author does (README): an ISO 9660 image with Joliet names from a folder.
    Trusted folders only (the build's sample disc and the scenarios' own variants of it):
    xorriso reads the folder as the caller, by name, following links. A disc's folder of
    anyone's goes through trialbox.press_folder, which copies it as hostile data first."""
    subprocess.run(["xorriso", "-report_about", "WARNING", "-as", "mkisofs", "-J", "-r", "-V",
                    label, "-o", str(image), str(folder)], check=True, timeout=300,
                   capture_output=True)


def extract_image(image, target):
    """The image's files as the drive shows them: owned by root, no write bits."""
    subprocess.run(["xorriso", "-osirrox", "on", "-report_about", "WARNING", "-indev", str(image),
                    "-extract", "/", str(target)], check=True, timeout=300, capture_output=True)
    subprocess.run(["chown", "-R", "0:0", str(target)], check=True, timeout=60)
    subprocess.run(["chmod", "-R", "a-w", str(target)], check=True, timeout=60)


class Xvfb:
    """An X server for one scenario. Started by root with -nolisten tcp and no authorisation,
    it serves the account too. It starts in the background: ready() waits until it serves, so
    that the prefix can be made meanwhile."""

    def __init__(self):
        self.display = None
        self._read, write = os.pipe()
        try:
            self.proc = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten",
                 "tcp"], pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except BaseException:
            os.close(self._read)
            raise
        finally:
            os.close(write)

    def ready(self):
        """The display (":N") once the server has said it serves it: it writes the number only
        then. The pipe ends at its end, so a server that fails is not waited for."""
        if self.display is None:
            number = b""
            deadline = time.monotonic() + 60
            while not number.endswith(b"\n"):
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([self._read], [], [], left)[0]:
                    break
                chunk = os.read(self._read, 16)
                if not chunk:
                    break
                number += chunk
            os.close(self._read)
            self._read = None
            if not number.strip():
                self.proc.kill()
                raise RuntimeError("Xvfb did not start")
            self.display = ":" + number.decode().strip()
        return self.display

    def close(self):
        self.proc.terminate()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
        if self._read is not None:
            os.close(self._read)
            self._read = None


def parse_log(raw, encoding):
    """The stand-ins' log as Events."""
    events = []
    # A line is complete once its CR LF is there: the last one may still be being written.
    for line in raw.split(b"\r\n")[:-1]:
        if not line:
            continue
        fields = line.split(b"\t")
        while len(fields) < 8:
            fields.append(b"")
        events.append(Event(int(fields[0]), fields[1].decode(encoding),
                            fields[2].decode(encoding), fields[3], int(fields[4] or 0),
                            int(fields[5] or 0), int(fields[6] or b"0", 16),
                            fields[7].decode(encoding)))
    return events


class Run:
    """One launcher run to its end: exit code, and the wall clock (ms) just before it was
    started and just after it had ended. Everything it created was created in between."""

    def __init__(self, rc, started, ended):
        self.rc, self.started, self.ended = rc, started, ended

    def created(self, events):
        """Those of the events that come from processes created during the run."""
        return [e for e in events if self.started <= e.created <= self.ended]


class Launcher:
    """A launcher started in the background."""

    def __init__(self, proc, started):
        self.proc, self.started, self.ended = proc, started, None

    def running(self):
        return self.proc.poll() is None

    def wait(self, timeout=PATIENCE):
        """Its exit code once it has ended (a Run); subprocess.TimeoutExpired if it has not."""
        rc = self.proc.wait(timeout=timeout)
        if self.ended is None:
            self.ended = now_ms()
        return Run(rc, self.started, self.ended)


class HostBrowser:
    """A browser that is no Windows program, put in place of a disc's browser: Wine runs a file
    that is no PE image as a program of the host, which no process list of Windows shows, so the
    launcher never sees it running and starts it again on every pass, however slowly the machine
    runs. A Windows browser that ends at once would not do: the launcher looks a second after it
    created it, and nothing makes it end within that second on a slow or loaded machine.

    Each start appends one line: the kernel's record of the process (/proc/PID/stat), whose
    start time is when Wine forked it, inside the launcher's call that started it; the file it
    was started from, as the host names it; and its arguments, as Wine split the command line."""

    def __init__(self, machine, windows_program, log="C:\\host-browser-starts.txt"):
        self.program = windows_program
        self.path = machine.unix_path(windows_program)
        self.log = machine.unix_path(log)
        script = ("#!/bin/sh\n"
                  "read -r stat < /proc/$$/stat\n"
                  "line=$(printf '%s' \"$stat\"; printf '\\037%s' \"$0\" \"$@\")\n"
                  f"printf '%s\\n' \"$line\" >> '{self.log}'\n")
        if self.path.exists():
            self.path.unlink()
        self.path.write_bytes(script.encode())
        self.path.chmod(0o555)
        self.tick_ms = 1000 / os.sysconf("SC_CLK_TCK")

    def starts(self):
        """Every start so far, in the order of the lines: (start time in clock ticks since boot,
        pid, program file on the host, [arguments]). A line still being written is not there
        yet: each is written whole, by one write."""
        return self.starts_in(self.log)

    @staticmethod
    def starts_in(log):
        """The starts recorded in log (a host path), by every browser that writes there."""
        raw = log.read_bytes() if log.exists() else b""
        result = []
        for line in raw.split(b"\n")[:-1]:
            stat, program, *args = line.split(b"\x1f")
            fields = stat[stat.rindex(b")") + 2:].split()
            result.append((int(fields[19]), int(stat.split()[0]), program, args))
        return result

    def gaps_ms(self):
        """The times between consecutive starts, in whole clock ticks as ms. Starts at least a
        second apart show as at least 1000 ms: a tick count rounds both ends down."""
        ticks = sorted(t for t, _, _, _ in self.starts())
        return [(b - a) * self.tick_ms for a, b in zip(ticks, ticks[1:])]

    def started_from(self, program):
        """Whether program (a file on the host, as a start recorded it) is this browser."""
        return os.path.realpath(os.fsdecode(program)) == os.path.realpath(self.path)

    def created_ms(self, ticks):
        """A start time as the wall clock's ms, rounded up to the end of its tick: never before
        the moment of the fork, so never before what the launcher did ahead of it."""
        boot = time.time() - time.clock_gettime(time.CLOCK_BOOTTIME)
        return -int(-(boot * 1000 + (ticks + 1) * self.tick_ms) // 1)


class ProcessLister:
    """ProcList --serve in a machine's prefix: it lists the process table whenever asked, where
    a new ProcList would take up to a second to start when 32-bit code is emulated. Started in
    the background; the first question waits until it answers."""

    END, FAILED = b".", b"!"

    def __init__(self, m):
        self.proc = subprocess.Popen(["wine", "C:\\lab\\ProcList.exe", "--serve"],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, start_new_session=True,
                                     **as_account(m.env))
        self.pending = b""

    def table(self, timeout=PATIENCE):
        """ProcList's output for one question (bytes), or None when it failed or had not
        answered within timeout seconds."""
        try:
            self.proc.stdin.write(b"\n")
            self.proc.stdin.flush()
        except OSError:
            return None
        out = self.proc.stdout.fileno()
        deadline = time.monotonic() + timeout
        lines = []
        while True:
            line, newline, rest = self.pending.partition(b"\n")
            if newline:
                self.pending = rest
                line = line.rstrip(b"\r")
                if line == self.END:
                    return b"\n".join(lines) + b"\n"
                if line == self.FAILED:
                    return None
                if len(lines) < machine.MAX_LINES:
                    lines.append(line)
                continue
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([out], [], [], left)[0]:
                return None
            chunk = os.read(out, 65536)
            if not chunk:
                return None
            self.pending += chunk

    def close(self):
        for pipe in (self.proc.stdin, self.proc.stdout):
            try:
                pipe.close()
            except OSError:
                pass
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()


class Machine(machine.Machine):
    """One Wine prefix with the sample disc, for one scenario: Wine runs as the account."""

    def __init__(self, name, arch="win64", lang=None, version=None):
        super().__init__(lab() / "scenarios" / name)
        self.name = name
        self.arch = arch
        if self.dir.exists():
            remove_tree(self.dir)
        self.dir.mkdir(parents=True)
        self._images = 0
        self.server = False
        self.lister = None
        template = template_dir(arch)
        if not template_ready(arch):
            raise RuntimeError(f"no {arch} template: run the template step first")
        self.env = dict(os.environ, **BASE_ENV, WINEPREFIX=str(self.prefix))
        self.env.pop("WINEARCH", None)
        # The X server starts while the prefix is made.
        self.xvfb = Xvfb()
        try:
            self._make_prefix(template, lang, version)
        except BaseException:
            self.close()
            raise

    def _make_prefix(self, template, lang, version):
        self.prefix.mkdir()
        give(self.prefix)
        # The account's own copy: hard links to the template's files, real copies of the
        # registry files that Wine rewrites in place.
        subprocess.run(["cp", "-al", f"{template}/.", str(self.prefix)], check=True, timeout=300,
                       **as_account(self.env))
        for reg in REGISTRY_FILES:
            subprocess.run(["cp", "--remove-destination", str(template / reg),
                            str(self.prefix / reg)], check=True, timeout=60,
                           **as_account(self.env))
        # The files directly in the Windows directory too: a hard link's change time moves
        # whenever another copy of the template is made or removed (its link count changes),
        # and what the launcher wrote there is told by change time.
        windows = template / "drive_c" / "windows"
        top = sorted(str(p) for p in windows.iterdir() if p.is_file() and not p.is_symlink())
        if top:
            subprocess.run(["cp", "--remove-destination", "--preserve=mode,timestamps", *top,
                            str(self.prefix / "drive_c" / "windows")], check=True, timeout=60,
                           **as_account(self.env))
        self.bring(TOOLS, "C:\\lab")
        if lang:
            self.env["LC_ALL"] = lang
        # Wine's server stays until close(): left to itself it ends with the last program, and
        # the next program would start it and Wine's services again, seconds each time where
        # 32-bit code is emulated. It has started once the command has ended.
        # The server keeps what it inherits open: no pipes.
        self.server = True
        subprocess.run(["wineserver", "-p"], check=True, timeout=60, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, **as_account(self.env))
        self.env["DISPLAY"] = self.xvfb.ready()
        self.lister = ProcessLister(self)
        try:
            self.use_version(version)
        except subprocess.TimeoutExpired as hung:
            raise WineHung(f"{' '.join(hung.cmd)} did not end in {hung.timeout:.0f} s") from None

    # --- Plumbing ---------------------------------------------------------------------------

    def wine(self, *args, timeout=PATIENCE, env=None, check=True, loader="wine"):
        """Runs a Windows program to its end as the account; its output comes back in files,
        not pipes, since the programs it starts would hold a pipe open long after it ended."""
        run_env = dict(self.env, **(env or {}))
        with open(self.dir / "out.txt", "w+b") as out, open(self.dir / "err.txt", "w+b") as err:
            result = subprocess.run([loader, *args], stdout=out, stderr=err, timeout=timeout,
                                    check=False, **as_account(run_env))
            out.seek(0)
            err.seek(0)
            result.stdout, result.stderr = out.read(), err.read()
        if check and result.returncode != 0:
            raise ProgramFailed(result.returncode, result.args, result.stdout, result.stderr)
        return result

    def spawn(self, *args, env=None):
        """Starts a Windows program in the background as the account; it ends with the prefix."""
        run_env = dict(self.env, **(env or {}))
        proc = subprocess.Popen(["wine", *args], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, start_new_session=True,
                                **as_account(run_env))
        self.background.append(proc)
        return proc

    def reg(self, *args, check=True):
        """Wine's registry tool; in a 64-bit prefix its 64-bit one, which reaches the 32-bit
        view with /reg:32 as the 32-bit one does."""
        return self.wine("reg", *args, check=check, loader=machine.native_wine(self.arch))

    def process_table(self):
        """The process table as ProcList lists it, asked of the one that stays running; should
        it have failed, of a ProcList of its own."""
        if self.lister is not None:
            out = self.lister.table()
            if out is not None:
                return machine.parse_process_table(out.decode(self.ansi, "replace"))
            self.lister.close()
            self.lister = None
        return super().process_table()

    def _server_pid(self):
        """The id of this prefix's Wine server as the kernel shows it (a wineserver of the
        account's, started for this prefix), or None."""
        wanted = f"WINEPREFIX={self.prefix}".encode()
        uid = account().pw_uid
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                if os.stat(f"/proc/{entry}").st_uid != uid:
                    continue
                with open(f"/proc/{entry}/comm", "rb") as f:
                    if not f.read().startswith(b"wineserver"):
                        continue
                with open(f"/proc/{entry}/environ", "rb") as f:
                    if wanted in f.read().split(b"\0"):
                        return int(entry)
            except OSError:
                continue
        return None

    def stop_server(self):
        """Ends every program of the prefix and its server. What wineserver -k does (the
        server, interrupted, kills its programs and ends), with the end seen as it comes:
        wineserver -k looks for it only after 0.1 s, 0.3 s, 0.6 s ..."""
        pid = self._server_pid()
        if pid is not None:
            def gone():
                try:
                    with open(f"/proc/{pid}/stat", "rb") as f:
                        stat = f.read()
                except OSError:
                    return True
                return stat[stat.rfind(b")") + 2:][:1] == b"Z"
            try:
                os.kill(pid, signal.SIGINT)
            except ProcessLookupError:
                return
            if machine.wait(gone, 10, interval=0.02):
                return
        try:
            subprocess.run(["wineserver", "-k"], timeout=60, capture_output=True,
                           **as_account(self.env))
        except subprocess.TimeoutExpired:
            pass  # its programs are ended by close() all the same

    def close(self):
        if self.server or self.background:
            self.stop_server()
        if self.lister is not None:
            self.lister.close()
            self.lister = None
        for proc in self.background:
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
        self.xvfb.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        if os.environ.get("LAUNCHER_E2E_KEEP") is None:
            remove_tree(self.dir)

    def bring(self, source, windows_path):
        """Copies a file or tree of the checkout (which the account may not be able to enter:
        a clone under /root or in a mode-700 folder) onto drive C:, as the account's own;
        returns windows_path. The checkout's permissions are never widened for the lab."""
        target = self.unix_path(windows_path)
        target.parent.mkdir(parents=True, exist_ok=True)
        if Path(source).is_dir():
            shutil.copytree(source, target)
        else:
            shutil.copyfile(source, target)
        give(target)
        return windows_path

    def put_file(self, windows_path, data):
        """A file on drive C: that belongs to the account, as if a user had put it there."""
        path = self.unix_path(windows_path)
        path.write_bytes(data)
        give(path)

    def make_read_only(self, windows_path):
        """Gives a file on C: the read-only attribute (for Wine: no write bits)."""
        path = self.unix_path(windows_path)
        path.chmod(path.stat().st_mode & 0o555)

    # --- What the system reports ----------------------------------------------------------

    def choose_version(self, accept, settings):
        """Sets the first Wine version setting (None: the prefix's own) whose report accept()
        takes, and returns it. Which setting reports what differs between Wine releases, so a
        scenario names what the system must report, never a setting."""
        for setting in settings:
            if setting is not None:
                self.use_version(setting)
            if accept(self.report):
                return setting
        raise Skip(f"none of the Wine settings {settings} reports the wanted system")

    def class_key_present(self):
        # A 32-bit control registers in the 32-bit view of the registry; a native 32-bit
        # system has no other view.
        key = f"HKCR\\CLSID\\{control_clsid()}"
        view = ("/reg:32",) if self.arch == "win64" else ()
        return self.reg("query", key, *view, check=False).returncode == 0

    # --- The disc -----------------------------------------------------------------------------

    def disc_image(self, remove=(), add=None, under=None, label=DISC_LABEL):
        """An image of the sample disc with changes, pressed as a disc author would: files
        removed or added (relative paths with /, bytes), everything moved into a folder."""
        if not remove and not add and not under and label == DISC_LABEL:
            return DISC_IMAGE
        self._images += 1
        staging = self.dir / f"staging-{self._images}"
        extract_image(DISC_IMAGE, staging)
        subprocess.run(["chmod", "-R", "u+w", str(staging)], check=True, timeout=60)
        for name in remove:
            (staging / name).unlink()
        for name, data in (add or {}).items():
            (staging / name).parent.mkdir(parents=True, exist_ok=True)
            (staging / name).write_bytes(data)
        if under:
            inner = staging.with_name(staging.name + "-inner")
            staging.rename(inner)
            (staging / under).parent.mkdir(parents=True)
            inner.rename(staging / under)
        image = self.dir / f"disc-{self._images}.iso"
        press_image(staging, image, label)
        remove_tree(staging)
        return image

    def insert_disc(self, image=None, **changes):
        """Puts a disc into the CD-ROM drive D: (taking out the one there): the built image of
        the sample disc, another image, or the sample disc with changes (see disc_image).
        Returns D:\\, the launcher's InstallDir when it lies at the disc's root."""
        image = image or self.disc_image(**changes)
        target = self.dir / "disc"
        if target.exists():
            remove_tree(target)
        extract_image(image, target)
        self.disc_dir = target
        return "D:\\"

    def copy_disc(self, folder, image=None, **changes):
        """A writable copy of a disc in C:\\<folder>, made by the account as a user copies a
        disc; returns its InstallDir. A copy's Q7.exe is started and given its 15 s."""
        source = self.dir / f"copy-of-{self._images}"
        extract_image(image or self.disc_image(**changes), source)
        target = self.prefix / "drive_c" / folder
        target.parent.mkdir(parents=True, exist_ok=True)
        for command in (["cp", "-R", f"{source}/.", str(target)], ["chmod", "-R", "u+w", str(target)]):
            subprocess.run(command, check=True, timeout=300, **as_account(self.env))
        remove_tree(source)
        self.disc_dir = target
        return "C:\\" + folder.replace("/", "\\") + "\\"

    def watch_boxes(self, delay_ms=300):
        self.spawn("C:\\lab\\BoxWatcher.exe", str(delay_ms))

    # --- The launcher ---------------------------------------------------------------------

    def run_launcher(self, install_dir, timeout=PATIENCE, env=None, program="Start.exe"):
        """Runs the launcher to its end (a Run). A launcher that does not end within timeout
        raises subprocess.TimeoutExpired: a failure, never a reason to try again."""
        started = now_ms()
        result = self.wine(install_dir + program, timeout=timeout, env=env, check=False)
        return Run(result.returncode, started, now_ms())

    def start_launcher(self, install_dir, env=None, program="Start.exe"):
        started = now_ms()
        return Launcher(self.spawn(install_dir + program, env=env), started)

    def log(self):
        path = self.prefix / "drive_c" / "standin.log"
        return parse_log(path.read_bytes() if path.exists() else b"", self.ansi)

    def settle(self, names=STANDIN_PROCESSES, timeout=PATIENCE):
        """Waits until every running process of these names has written a record: after the
        launcher has ended, the log then holds the first record of everything it started. (A
        process that has already ended wrote its record before it ended.) Returns the log."""
        pending = []

        def logged():
            nonlocal pending
            seen = {(e.pid, e.created) for e in self.log()}
            seen_ids = {pid for pid, _ in seen}
            pending = [p for p in self.process_table() if p.name.lower() in names
                       and ((p.pid, p.created) not in seen if p.created else p.pid not in seen_ids)]
            return not pending

        if not self.wait_for(logged, timeout, interval=0.1):
            raise AssertionError(f"running but without a record after {timeout:.0f} s: {pending}")
        return self.log()

    def wait_gone(self, name, timeout=PATIENCE):
        """Waits until no process of this name runs (registrations end on their own)."""
        if not self.wait_for(lambda: name.lower() not in (n.lower() for n in self.processes()),
                             timeout, interval=0.1):
            raise AssertionError(f"{name} still runs after {timeout:.0f} s")

    def screenshot(self, png):
        """The whole X screen as a PNG (ImageMagick's import)."""
        subprocess.run(["import", "-window", "root", str(png)], env=self.env, check=True,
                       timeout=60, capture_output=True)
