"""The trial's containment: a disc's programs, Wine and the X server run in a bubblewrap sandbox,
and what they leave behind is read from outside as hostile data.

Wine is no sandbox: a Windows program under it can make Linux system calls, and drive Z: maps
the whole file system. So a trial's machine is one sandbox (`bwrap`) with new user, PID, IPC,
network and UTS namespaces that dies with the trial: the host's system folders read-only, a few
files of /etc, a private /tmp, the trial's own folder (WORK, the prefix inside it, a real copy)
the only thing writable, and the disc read-only. Run by root, the sandbox runs under the lab's
unprivileged account; run by anyone else, under their own uid. Everything inside it is started
by the agent (AGENT below, passed on its command line, so nothing of the checkout needs to be
reachable from inside), which takes one request a line on its stdin and answers on its stdout.

Outside, the trial never opens a path in WORK through a link, never reads anything but a regular
file, and never more than a cap (read_beneath); whatever it reads there the disc's programs may
have written.
"""

import errno
import json
import os
import posixpath
import queue
import shutil
import stat
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

# Where WORK appears inside the sandbox.
INSIDE = "/trial"
DISPLAY = ":7"  # the sandbox has its own /tmp and network: no other server can be there
# Every process the trial starts inside has this variable naming the trial's folder outside,
# for whoever looks for what a trial left running.
MARK = "DISCKIT_TRIAL_FOLDER"
# A file written by the disc's programs is cut off here (Wine's trace included): a write past
# it fails instead of filling the disk.
FILE_LIMIT = 256 << 20
# The unpacked image must fit in this (checked before anything is unpacked, and enforced per
# file while unpacking): a pressed CD holds 700 MB.
IMAGE_BUDGET = 1 << 30
# System folders the sandbox sees read-only, and the few files of /etc that Wine, Xvfb and
# ImageMagick read. Nothing else of the host is there.
SYSTEM_FOLDERS = ("/usr", "/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32")
ETC = ("passwd", "group", "nsswitch.conf", "ld.so.cache", "ld.so.conf", "ld.so.conf.d",
       "alternatives", "fonts", "localtime", "locale.alias", "ImageMagick-6", "X11")


class SandboxError(Exception):
    """The sandbox could not be made, or its agent stopped answering."""


class Hostile(Exception):
    """A file the disc's programs could have written is not what it must be."""


def bwrap_usable():
    """None when bubblewrap can make a sandbox here, else why not."""
    if shutil.which("bwrap") is None:
        return "bubblewrap is not installed (scripts/deps.sh wine installs it)"
    try:
        probe = subprocess.run(["bwrap", "--ro-bind", "/", "/", "--unshare-user", "--unshare-pid",
                                "--unshare-net", "--die-with-parent", "true"],
                               capture_output=True, timeout=60, **run_as(None))
    except (OSError, subprocess.SubprocessError) as failed:
        return f"bubblewrap cannot run: {failed}"
    if probe.returncode != 0:
        return ("bubblewrap cannot make a sandbox here (unprivileged user namespaces are "
                f"needed): {probe.stderr.decode('utf-8', 'replace').strip()}")
    return None


# --- Who runs the unprivileged side -----------------------------------------------------------

_account = None


def set_account(pw):
    """Run by root: the sandbox runs under this account (a pwd entry); else the invoking user."""
    global _account
    _account = pw


def run_as(env):
    """subprocess keywords that run a command as the sandbox's uid."""
    if _account is None:
        return {} if env is None else {"env": env}
    keywords = dict(user=_account.pw_uid, group=_account.pw_gid, extra_groups=[])
    if env is not None:
        keywords["env"] = env
    return keywords


def own(path):
    """Makes a folder the trial made belong to the sandbox's uid (only when run by root)."""
    if _account is not None:
        os.chown(path, _account.pw_uid, _account.pw_gid, follow_symlinks=False)


def sandbox_env(extra=None):
    env = {"PATH": "/usr/bin:/bin", "HOME": f"{INSIDE}/home", "TMPDIR": "/tmp",
           "LANG": "C.UTF-8"}
    if _account is not None:
        env.update(USER=_account.pw_name, LOGNAME=_account.pw_name)
    else:
        user = os.environ.get("USER") or str(os.getuid())
        env.update(USER=user, LOGNAME=user)
    env.update(extra or {})
    return env


def bwrap_command(work, disc=None, readonly=(), share_net=False):
    """The bwrap command line of a sandbox whose writable folder is work (at INSIDE)."""
    cmd = ["bwrap", "--unshare-user", "--unshare-pid", "--unshare-ipc", "--unshare-uts",
           "--unshare-cgroup-try", "--die-with-parent", "--new-session", "--cap-drop", "ALL"]
    if not share_net:
        cmd.append("--unshare-net")
    for folder in SYSTEM_FOLDERS:
        if os.path.islink(folder):
            cmd += ["--symlink", os.readlink(folder), folder]
        elif os.path.isdir(folder):
            cmd += ["--ro-bind", folder, folder]
    for name in ETC:
        cmd += ["--ro-bind-try", f"/etc/{name}", f"/etc/{name}"]
    cmd += ["--dev", "/dev", "--proc", "/proc", "--tmpfs", "/tmp", "--bind", str(work), INSIDE]
    for source, target in readonly:
        cmd += ["--ro-bind", str(source), target]
    if disc is not None:
        cmd += ["--ro-bind", str(disc), f"{INSIDE}/disc"]
    return cmd + ["--chdir", INSIDE]


def run_contained(work, argv, timeout, readonly=(), file_limit=None, env=None):
    """Runs one command in a sandbox of its own (nothing else in it) to its end."""
    prefix = []
    if file_limit:
        prefix = ["prlimit", f"--fsize={file_limit}", "--"]
    return subprocess.run(bwrap_command(work, readonly=readonly) + prefix + list(argv),
                          capture_output=True, timeout=timeout, **run_as(sandbox_env(env)))


# --- The agent inside -----------------------------------------------------------------------------

AGENT = r'''
import ctypes, json, os, resource, signal, subprocess, sys, threading, time
# Not dumpable: no process of the disc (the same uid) can open its pipes through /proc.
ctypes.CDLL(None).prctl(4, 0, 0, 0, 0)
procs, ended, lock = {}, {}, threading.Lock()
def raw_ms():
    return int(time.clock_gettime(time.CLOCK_MONOTONIC_RAW) * 1000)
def preexec(limit):
    def setup():
        # A write past the limit fails with EFBIG rather than killing the writer.
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        if limit:
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return setup
def opened(path):
    return open(path, "ab") if path else subprocess.DEVNULL
def start(r):
    out, err = opened(r.get("out")), opened(r.get("err"))
    try:
        return subprocess.Popen(r["argv"], env=r["env"], stdin=subprocess.DEVNULL, stdout=out,
                                stderr=err, start_new_session=True, cwd=r.get("cwd", "/"),
                                preexec_fn=preexec(r.get("limit")))
    finally:
        for f in (out, err):
            if f is not subprocess.DEVNULL:
                f.close()
def reap(n, p):
    rc = p.wait()
    with lock:
        ended[n] = (rc, raw_ms())
def handle(r):
    op = r["op"]
    if op == "run":
        p = start(r)
        try:
            return {"rc": p.wait(timeout=r["timeout"])}
        except subprocess.TimeoutExpired:
            os.killpg(p.pid, signal.SIGKILL)
            p.wait()
            return {"rc": None}
    if op == "spawn":
        p = start(r)
        n = len(procs) + 1
        procs[n] = p
        threading.Thread(target=reap, args=(n, p), daemon=True).start()
        return {"id": n, "ms": raw_ms()}
    if op == "poll":
        with lock:
            rc, ms = ended.get(r["id"], (None, None))
        return {"rc": rc, "ms": ms}
    if op == "kill":
        p = procs[r["id"]]
        try:
            if r.get("group"):
                os.killpg(p.pid, signal.SIGKILL)
            else:
                os.kill(p.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        return {}
    if op == "touch":
        try:
            os.close(os.open(r["path"], os.O_WRONLY | os.O_CREAT | os.O_NOFOLLOW, 0o644))
        except OSError:
            return {"ok": False}
        return {"ok": True}
    if op == "exists":
        return {"exists": os.path.exists(r["path"])}
    raise ValueError(op)
for line in sys.stdin:
    try:
        answer = handle(json.loads(line))
    except Exception as failed:
        answer = {"error": f"{type(failed).__name__}: {failed}"}
    sys.stdout.write(json.dumps(answer) + "\n")
    sys.stdout.flush()
'''

# An answer of the agent is a short line; anything longer is not one.
ANSWER_CAP = 4096


class Sandbox:
    """One long-lived sandbox and its agent. Ended (with everything in it) by close(), or when
    the process that made it goes away."""

    def __init__(self, work, disc=None, readonly=()):
        self.work = Path(work)
        # bwrap's own complaints, for the message when it cannot make the sandbox.
        self.errors = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(
            bwrap_command(self.work, disc, readonly) + ["python3", "-c", AGENT],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.errors,
            **run_as(sandbox_env({MARK: str(self.work)})))
        self.answers = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        while True:
            line = self.proc.stdout.readline(ANSWER_CAP)
            self.answers.put(line)
            if not line:
                return

    def complaint(self):
        self.errors.seek(0)
        text = self.errors.read(4096).decode("utf-8", "replace").strip()
        return f": {text}" if text else ""

    def call(self, request, timeout):
        if self.proc.poll() is not None:
            raise SandboxError(f"the sandbox has ended (exit {self.proc.returncode})"
                               + self.complaint())
        try:
            self.proc.stdin.write(json.dumps(request).encode() + b"\n")
            self.proc.stdin.flush()
            line = self.answers.get(timeout=timeout)
        except (OSError, queue.Empty):
            raise SandboxError(f"the sandbox's agent did not answer {request['op']} "
                               f"within {timeout:.0f} s") from None
        try:
            answer = json.loads(line)
        except ValueError:
            answer = None
        if not isinstance(answer, dict):
            self.proc.poll()
            raise SandboxError(f"the sandbox's agent answered {line[:200]!r}" + self.complaint())
        if "error" in answer:
            raise SandboxError(f"in the sandbox, {request['op']} failed: {answer['error']}")
        return answer

    def run(self, argv, env, timeout, out=None, err=None, limit=None):
        """Runs a command inside to its end: its exit code, None when it was ended at timeout."""
        answer = self.call({"op": "run", "argv": list(argv), "env": env, "out": out, "err": err,
                            "timeout": timeout, "limit": limit}, timeout + 30)
        return answer.get("rc")

    def spawn(self, argv, env, out=None, err=None, limit=None):
        """Starts a command inside, in a session of its own: (its id, the raw clock then)."""
        answer = self.call({"op": "spawn", "argv": list(argv), "env": env, "out": out,
                            "err": err, "limit": limit}, 60)
        return answer["id"], answer["ms"]

    def poll(self, n):
        """(exit code, raw clock when it ended) of a spawned command, (None, None) running."""
        answer = self.call({"op": "poll", "id": n}, 60)
        return answer.get("rc"), answer.get("ms")

    def kill(self, n, group=False):
        self.call({"op": "kill", "id": n, "group": group}, 60)

    def touch(self, inside_path):
        """Creates an empty file inside (not through a link): whether it could."""
        return bool(self.call({"op": "touch", "path": inside_path}, 60).get("ok"))

    def exists(self, inside_path):
        return bool(self.call({"op": "exists", "path": inside_path}, 60).get("exists"))

    def close(self):
        """Ends the sandbox: its init process goes, and the kernel ends every process in it."""
        if self.proc.poll() is None:
            self.proc.kill()
        try:
            self.proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            pass
        for f in (self.proc.stdin, self.proc.stdout, self.errors):
            try:
                f.close()
            except OSError:
                pass


# --- Reading what the disc's programs wrote -------------------------------------------------

def open_beneath(root, relative, flags=os.O_RDONLY):
    """Opens root/relative (a / path) without following a link at any step: root is trusted,
    nothing under it is."""
    parts = [p for p in relative.split("/") if p]
    if not parts or any(p in (".", "..") for p in parts):
        raise Hostile(f"{relative}: not a plain relative path")
    fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC)
    try:
        for part in parts[:-1]:
            inner = os.open(part, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC,
                            dir_fd=fd)
            os.close(fd)
            fd = inner
        return os.open(parts[-1], flags | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK,
                       dir_fd=fd)
    finally:
        os.close(fd)


def open_regular(root, relative):
    """A file descriptor of root/relative, confirmed a regular file; None when it is missing.
    Raises Hostile for a link, a FIFO, a device or a folder in its place."""
    try:
        fd = open_beneath(root, relative)
    except FileNotFoundError:
        return None
    except OSError as failed:
        what = "a link" if failed.errno in (errno.ELOOP, errno.ENOTDIR) else failed.strerror
        raise Hostile(f"{relative}: {what}") from None
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        os.close(fd)
        raise Hostile(f"{relative}: not a regular file")
    return fd


def read_beneath(root, relative, cap):
    """The bytes of root/relative (None when missing), read as hostile: see open_regular, and
    Hostile when it holds more than cap bytes."""
    fd = open_regular(root, relative)
    if fd is None:
        return None
    with os.fdopen(fd, "rb") as f:
        data = f.read(cap + 1)
    if len(data) > cap:
        raise Hostile(f"{relative}: more than {cap} bytes")
    return data


# --- Disc images ------------------------------------------------------------------------------------

# The tree Windows reads: the Joliet names (never Rock Ridge's, which may name other files), or
# where the image has none, the plain ISO 9660 names without ";1", upper case, as disckit check
# reads them. These options take effect only before -indev.
WINDOWS_TREE = ["-read_fs", "norock", "-ecma119_map", "uppercase"]


def unpacked_size(work, image_inside):
    """The bytes the image's files take once unpacked (compressed files at their full size), as
    xorriso reads them in a sandbox of its own."""
    listed = run_contained(work, ["xorriso", "-report_about", "WARNING", *WINDOWS_TREE,
                                  "-indev", image_inside, "-dus", "/"], timeout=300)
    for line in listed.stdout.decode("utf-8", "replace").splitlines():
        fields = line.split()
        if len(fields) == 2 and fields[1] == "'/'" and fields[0].isdigit():
            return int(fields[0]) * 1024
    raise Hostile("xorriso cannot read the image: "
                  + listed.stderr.decode("utf-8", "replace").strip()[-500:])


def unpack_image(work, image_inside, target_name="disc", budget=IMAGE_BUDGET):
    """Unpacks the image's Joliet tree (what Windows reads), by the sandbox's uid in a sandbox
    of its own, into work/target_name, keeping only regular files, folders and links that stay in
    the image, with no set-id or write bits. Raises Hostile when it is over the budget (bytes)."""
    size = unpacked_size(work, image_inside)
    if size > budget:
        raise Hostile(f"its files take {size} bytes unpacked, more than the "
                      f"{budget >> 20} MiB a trial unpacks")
    target = Path(work) / target_name
    # Device files are never made ("on" leaves them out); no file grows past the budget.
    done = run_contained(work, ["xorriso", "-osirrox", "on", "-report_about", "WARNING",
                                *WINDOWS_TREE, "-indev", image_inside, "-extract", "/",
                                f"{INSIDE}/{target_name}"],
                         timeout=600, file_limit=budget)
    if done.returncode != 0 or not target.is_dir():
        raise Hostile("xorriso could not unpack it: "
                      + done.stderr.decode("utf-8", "replace").strip()[-500:])
    sanitise(target)
    return target


def sanitise(root):
    """Leaves under root only folders, regular files and links that resolve inside root; strips
    set-id, sticky and write bits. Returns the relative paths it removed."""
    root = os.path.realpath(root)
    removed = []
    for dirpath, dirnames, filenames in os.walk(root):
        for name in list(dirnames) + filenames:
            path = os.path.join(dirpath, name)
            st = os.lstat(path)
            keep = stat.S_ISDIR(st.st_mode) or stat.S_ISREG(st.st_mode)
            if stat.S_ISLNK(st.st_mode):
                inside = os.path.realpath(path)
                keep = inside == root or inside.startswith(root + os.sep)
            if not keep:
                if stat.S_ISDIR(st.st_mode):
                    shutil.rmtree(path)
                else:
                    os.unlink(path)
                removed.append(posixpath.relpath(path, root))
                if name in dirnames:
                    dirnames.remove(name)
    for dirpath, dirnames, filenames in os.walk(root, topdown=False):
        for name in filenames + dirnames + [None]:
            path = os.path.join(dirpath, name) if name else dirpath
            st = os.lstat(path)
            if not stat.S_ISLNK(st.st_mode):
                os.chmod(path, stat.S_IMODE(st.st_mode) & 0o555, follow_symlinks=False)
    return removed


def remove_work(work):
    """Removes a trial's folder, whatever the disc's programs did to the modes inside."""
    if not os.path.lexists(work):
        return
    subprocess.run(["chmod", "-R", "u+rwX", str(work)], capture_output=True, timeout=300)
    subprocess.run(["rm", "-rf", "--one-file-system", str(work)], capture_output=True,
                   timeout=300)


# --- The screenshots' folder ----------------------------------------------------------------------

def open_out(path):
    """The folder --out names, made by the invoking user when missing (with the folders above
    it), as an open descriptor.
    An existing path must be an empty folder of theirs, not a link. Raises ValueError with why
    not."""
    try:
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        os.mkdir(path, 0o755)
    except FileExistsError:
        pass
    except OSError as failed:
        raise ValueError(f"cannot make the folder {path}: {failed.strerror}") from None
    try:
        fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC)
    except OSError as failed:
        what = ("is a link" if os.path.islink(path)
                else "is not a folder" if failed.errno == errno.ENOTDIR else failed.strerror)
        raise ValueError(f"{path} {what}: --out needs a new or an empty folder") from None
    st = os.fstat(fd)
    if st.st_uid != os.geteuid():
        os.close(fd)
        raise ValueError(f"{path} belongs to another user: --out needs a folder of yours")
    if os.listdir(fd):
        os.close(fd)
        raise ValueError(f"{path} is not empty: --out needs a new or an empty folder")
    return fd


def write_new(dir_fd, name, data):
    """A new file in the folder dir_fd: never through a link, never over a file."""
    fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644,
                 dir_fd=dir_fd)
    with os.fdopen(fd, "wb") as f:
        f.write(data)


def wait(predicate, timeout, interval=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()


# --- The trial's machine ---------------------------------------------------------------------------

def copy_tree_owned(source, target):
    """A real copy of a trusted tree (the lab's tools), given to the sandbox's uid."""
    shutil.copytree(source, target, symlinks=True)
    if _account is not None:
        for dirpath, dirnames, filenames in os.walk(target):
            for name in [None] + dirnames + filenames:
                own(os.path.join(dirpath, name) if name else dirpath)


class Machine:
    """One Wine prefix in one sandbox, for one trial: the same calls as the lab's Machine,
    inside. dir is the trial's folder outside; paths given to Wine are inside."""

    def __init__(self, lab, work, template, lang, tools):
        self.lab = lab
        self.dir = Path(work)
        self.prefix = self.dir / "prefix"
        self.disc_dir = self.dir / "disc"
        self.ansi = "cp1252"
        self.report = {}
        self.sandbox = None
        self.xvfb = None
        self.background = []
        # A real copy, made by the uid that runs it: nothing links back into the template.
        copied = subprocess.run(["cp", "-a", "--no-preserve=links", f"{template}/.",
                                 str(self.prefix)], capture_output=True, timeout=600,
                                **run_as(None))
        if copied.returncode != 0:
            raise SandboxError("cannot copy the template prefix: "
                               + copied.stderr.decode("utf-8", "replace").strip())
        self.remove_host_drives()
        copy_tree_owned(tools, self.prefix / "drive_c" / "lab")
        for name in ("home", "shots"):
            (self.dir / name).mkdir()
            own(self.dir / name)
        self.env = sandbox_env(dict(lab.BASE_ENV, WINEPREFIX=f"{INSIDE}/prefix",
                                    **{MARK: str(self.dir)},
                                    DISPLAY=DISPLAY, **({"LC_ALL": lang} if lang else {})))
        self.sandbox = Sandbox(self.dir, disc=self.disc_dir)
        try:
            xvfb, _ = self.sandbox.spawn(["Xvfb", DISPLAY, "-screen", "0", "1024x768x24",
                                          "-nolisten", "tcp"], self.env)
            self.xvfb = xvfb
            socket = f"/tmp/.X11-unix/X{DISPLAY[1:]}"
            if not wait(lambda: self.sandbox.exists(socket), lab.PATIENCE):
                raise SandboxError("the X server did not start in the sandbox")
            self.report = self.probe()
        except BaseException:
            self.close()
            raise
        self.ansi = lab.ANSI.get(self.report.get("acp", "1252"), "cp1252")

    def remove_host_drives(self):
        """Every drive but C: and the disc's D: goes: Wine maps Z: to the root, and the sandbox's
        root holds the system's folders. Wine may add Z: back when it updates a prefix, so this
        runs again before the disc's programs do."""
        folder = self.prefix / "dosdevices"
        for entry in os.listdir(folder):
            if entry.lower() not in ("c:", "d:"):
                os.unlink(folder / entry)

    def host_drives(self):
        return sorted(e for e in os.listdir(self.prefix / "dosdevices")
                      if e.lower() not in ("c:", "d:"))

    # --- Inside --------------------------------------------------------------------------------

    def wine(self, *args, timeout=None, env=None, check=True):
        """Runs a Windows program inside to its end; its output comes back in a file."""
        timeout = timeout or self.lab.PATIENCE
        rc = self.sandbox.run(["wine", *args], dict(self.env, **(env or {})), timeout,
                              out=f"{INSIDE}/out.txt", err=f"{INSIDE}/err.txt")
        out, err = (self._take(name, cap) for name, cap in (("out.txt", 1 << 20), ("err.txt", 64 << 10)))
        if rc is None:
            raise subprocess.TimeoutExpired(["wine", *args], timeout)
        if check and rc != 0:
            raise self.lab.ProgramFailed(rc, ["wine", *args], out, err)
        return subprocess.CompletedProcess(["wine", *args], rc, out, err)

    def _take(self, name, cap):
        """What a program inside wrote to a file of the trial's folder, read as hostile (the
        disc's programs share the folder), and the file removed."""
        try:
            data = read_beneath(self.dir, name, cap) or b""
        except Hostile:
            data = b""
        try:
            os.unlink(self.dir / name)
        except OSError:
            pass
        return data

    def spawn(self, *args, env=None, out=None, err=None, limit=None):
        """Starts a Windows program inside in the background: its id in the sandbox."""
        n, _ = self.sandbox.spawn(["wine", *args], dict(self.env, **(env or {})), out=out,
                                  err=err, limit=limit)
        self.background.append(n)
        return n

    def stop_wine(self):
        """Ends every program of the prefix and waits until its server has gone, which writes
        the registry out to the prefix's files."""
        self.sandbox.run(["wineserver", "-k"], self.env, 60)
        self.sandbox.run(["wineserver", "-w"], self.env, self.lab.PATIENCE)

    def set_version(self, version):
        self.wine("reg", "add", "HKCU\\Software\\Wine", "/v", "Version", "/d", version, "/f")

    def probe(self):
        report = {}
        try:
            out = self.wine("C:\\lab\\OsProbe.exe").stdout
        except self.lab.ProgramFailed as failed:
            # Setting the prefix up, not the disc: once, under load, Wine failed to run the lab's
            # probe right after its version setting was changed. Wine is stopped and the probe
            # asked once more; a second failure is the trial's own fault, told with Wine's words.
            print(f"disckit trial: {failed}; asking again", file=sys.stderr)
            self.stop_wine()
            out = self.wine("C:\\lab\\OsProbe.exe").stdout
        for line in out.decode("latin-1").splitlines():
            key, _, value = line.strip().partition("=")
            report[key] = value
        return report

    def process_table(self):
        """The prefix's processes (ProcList); lines that are not one are skipped."""
        out = self.wine("C:\\lab\\ProcList.exe").stdout.decode(self.ansi, "replace")
        table = []
        for line in out.splitlines()[:10000]:
            fields = line.rstrip("\r").split("\t")
            try:
                table.append(self.lab.Process(int(fields[0]), fields[1], int(fields[2] or 0)))
            except (ValueError, IndexError):
                continue
        return table

    def processes(self):
        return [p.name for p in self.process_table()]

    def wait_for(self, predicate, timeout=None, interval=0.25):
        return wait(predicate, self.lab.PATIENCE if timeout is None else timeout, interval)

    def unix_path(self, windows_path):
        """Where a path on drive C: lives outside (D: is the unpacked disc)."""
        drive, rest = windows_path[:3].upper(), windows_path[3:].replace("\\", "/")
        assert drive in ("C:\\", "D:\\"), windows_path
        return (self.prefix / "drive_c" if drive == "C:\\" else self.disc_dir) / rest

    def relative(self, windows_path):
        """A path on drive C: relative to the trial's folder, for read_beneath."""
        assert windows_path[:3].upper() == "C:\\", windows_path
        return "prefix/drive_c/" + windows_path[3:].replace("\\", "/")

    def screenshot(self, name, timeout):
        """The whole screen as a PNG, taken inside: its bytes (capped), or None."""
        rc = self.sandbox.run(["import", "-window", "root", f"{INSIDE}/shots/{name}"],
                              self.env, timeout)
        if rc != 0:
            return None
        try:
            return read_beneath(self.dir, f"shots/{name}", 64 << 20)
        except Hostile:
            return None

    def close(self):
        if self.sandbox is not None:
            try:
                if self.sandbox.proc.poll() is None:
                    self.sandbox.run(["wineserver", "-k"], self.env, 30)
            except SandboxError:
                pass
            self.sandbox.close()


def ensure_own_template(folder, arch, lab):
    """For a user other than root: a template prefix of their own in folder/arch, made by Wine
    in a sandbox the first time (one maker at a time), with drive D: a CD-ROM drive."""
    import fcntl
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    target = folder / arch
    with open(folder / f".{arch}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if (target / "system.reg").exists():
            return target
        making = Path(tempfile.mkdtemp(prefix=f".{arch}-", dir=folder))
        try:
            (making / "prefix").mkdir()
            (making / "home").mkdir()
            env = sandbox_env(dict(lab.BASE_ENV, WINEPREFIX=f"{INSIDE}/prefix", WINEARCH=arch))
            box = Sandbox(making)
            try:
                if box.run(["wineboot", "-i"], env, 400, err="/dev/null") != 0:
                    raise SandboxError("wineboot could not make a prefix in the sandbox")
                link = making / "prefix" / "dosdevices" / "d:"
                if os.path.lexists(link):
                    os.unlink(link)
                os.symlink("../../disc", link)
                box.run(["wine", "reg", "add", "HKLM\\Software\\Wine\\Drives", "/v", "d:", "/d",
                         "cdrom", "/reg:64", "/f"], env, 120, err="/dev/null")
                box.run(["wineserver", "-w"], env, 120)
            finally:
                box.close()
            os.rename(making / "prefix", target)
        finally:
            remove_work(making)
    return target
