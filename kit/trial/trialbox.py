"""The trial's containment: a disc's programs, Wine and the X server run in a bubblewrap sandbox,
and what they leave behind is read from outside as hostile data.

Wine is no sandbox: a Windows program under it can make Linux system calls, and drive Z: maps
the whole file system. So a trial's machine is one sandbox (`bwrap`) with new user, PID, IPC,
network and UTS namespaces that dies with the trial: the host's system folders read-only, a few
files of /etc, a private /tmp, the trial's own folder (WORK) the only thing writable, and the disc
read-only. The prefix inside WORK is a copy-on-write view of a template prefix (overlayfs), which
is bound read-only beneath it and never copied: what the programs change lands in WORK (LAYER),
so no trial can change the template the next one starts from. Run by root, the sandbox runs under the lab's
unprivileged account; run by anyone else, under their own uid. It is bounded (Bounds below): a
seccomp filter, sized tmpfs mounts, per-process limits, and a cgroup where the user's systemd
gives one. Everything inside it is started by the agent (AGENT below, passed on its command line,
so nothing of the checkout needs to be reachable from inside), which takes one request a line on
its stdin and answers on its stdout, the output of the programs it runs included.

Outside, the trial never opens a path in WORK through a link, never reads anything but a regular
file, and never more than a cap (read_beneath); whatever it reads there the disc's programs may
have written.
"""

import base64
import errno
import json
import os
import posixpath
import pwd
import queue
import shutil
import stat
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import machine

# Where WORK appears inside the sandbox.
INSIDE = "/trial"
DISPLAY = ":7"  # the sandbox has its own /tmp and network: no other server can be there
# The X server's screen (Machine starts it at this size), and Wine's desktop over all of it.
SCREEN = (1024, 768)
# Wine draws the frame and title bar of a window itself only on a desktop of its own: without
# one each window is a bare X window, and there is no window manager to frame it. The desktop
# is a window of the whole screen at its origin, so a window's rectangle on it is its place in
# a screenshot of the screen. Keys of the user's registry, in the text of Wine's registry file.
DESKTOP_KEYS = (
    '\n[Software\\\\Wine\\\\Explorer]\n"Desktop"="Default"\n'
    f'\n[Software\\\\Wine\\\\Explorer\\\\Desktops]\n"Default"="{SCREEN[0]}x{SCREEN[1]}"\n')
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


# Bounds of a sandbox. Every tmpfs has a size; the root and /dev are read-only once made.
TMP_SIZE = 512 << 20
SHM_SIZE = 128 << 20
# Processes (threads count) of the sandbox's uid in its own user namespace, which the kernel
# counts apart from the uid's processes outside from Linux 5.14 on (before, the uid's processes
# anywhere would count, and the bound is left to a cgroup). The sandbox never runs as root, whom
# the bound would not hold. Wine with a browser runs a few dozen threads.
PIDS_LIMIT = 512
# CPU seconds of any one process (SIGXCPU past it), and the writable private memory a process
# may map (RLIMIT_DATA, not RLIMIT_AS: Wine reserves gigabytes of address space it never uses).
CPU_SECONDS = 3600
DATA_LIMIT = 3 << 30
# Memory of the whole sandbox, where a cgroup of the user's own can be made for it.
MEMORY_MAX = 4 << 30
# System calls refused (EPERM) inside: nothing in a trial needs them, and each opens the kernel
# to the disc's programs further than a Windows program's calls need. Clone and unshare are
# refused only with CLONE_NEWUSER; clone3, whose flags a filter cannot read, answers ENOSYS, so
# that the C library falls back to clone. ptrace stays: Wine's server reads and writes the memory
# of the prefix's processes through it (ReadProcessMemory, and with it the module names through
# which a 32-bit Windows without WOW64 lists processes); the agent, which is not dumpable, stays
# out of its reach.
REFUSED_CALLS = ("process_vm_readv", "process_vm_writev", "io_uring_setup",
                 "io_uring_enter", "io_uring_register", "keyctl", "add_key", "request_key",
                 "init_module", "finit_module", "delete_module", "kexec_load", "kexec_file_load",
                 "bpf", "perf_event_open", "mount", "umount", "umount2", "pivot_root",
                 "move_mount", "open_tree", "fsopen", "fsconfig", "fsmount", "fspick",
                 "mount_setattr", "userfaultfd")
CLONE_NEWUSER = 0x10000000


# The trial's folder holds the view's layers here: the template bound read-only (lower), what the
# programs changed (upper) and overlayfs's own work folder. Not seen inside the sandbox.
LAYER = "layer"
# Run where the sandbox is made, in a user and mount namespace of the sandbox's uid (root in it,
# so that it may mount, with no rights outside it): binds the template read-only, mounts the
# view over it on the prefix's folder, makes the folder C:\lab is bound on, removes the drives
# that map the host (Wine maps Z: to the root) and runs bwrap, which makes the sandbox from this
# namespace. The layers are named relative to the layer folder, so that no path needs escaping
# in the mount's options.
OVERLAY_SETUP = r"""
set -e
cd "$1"
prefix=$2
mount --rbind "$3" lower
mount -o remount,bind,ro lower
mount -t overlay overlay -o lowerdir=lower,upperdir=upper,workdir=work,userxattr "$prefix"
mkdir -p "$prefix/drive_c/lab"
for drive in "$prefix"/dosdevices/*; do
  case "${drive##*/}" in
    [cCdD]:) ;;
    *) rm -f "$drive" ;;
  esac
done
shift 3
exec "$@"
"""


def overlay_command(work, template):
    """The command that mounts work/prefix as a view of template (OVERLAY_SETUP) and runs
    the rest of the command line (bwrap's) in the namespace it made; the layers' folders must
    exist, empty, and belong to the sandbox's uid."""
    return ["unshare", "--user", "--map-root-user", "--mount", "--", "sh", "-c", OVERLAY_SETUP,
            "sh", str(Path(work) / LAYER), str(Path(work) / "prefix"), str(template)]


def make_layers(work):
    """The folders of the view's layers in work, and the prefix's mount point."""
    for name in ("prefix", LAYER, f"{LAYER}/lower", f"{LAYER}/upper", f"{LAYER}/work"):
        (Path(work) / name).mkdir(mode=0o700)
        own(Path(work) / name)


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


# --- Bounds ----------------------------------------------------------------------------------------

# The filter, compiled by Debian's libseccomp (python3-seccomp, for Debian's own interpreter
# whichever python3 runs this) for x86-64 and for the 32-bit x86 processes of Wine; a call of
# the x32 ABI, which nothing here uses, ends its caller (libseccomp's default for an
# architecture the filter does not name).
SECCOMP_SOURCE = r"""
import errno, sys, seccomp
refused, newuser = sys.argv[1].split(","), int(sys.argv[2])
f = seccomp.SyscallFilter(seccomp.ALLOW)
f.add_arch(seccomp.Arch.X86)
deny = seccomp.ERRNO(errno.EPERM)
for name in refused:
    try:
        f.add_rule(deny, name)
    except (RuntimeError, ValueError, OSError):
        pass  # a call this architecture's table does not have
for name in ("clone", "unshare"):
    f.add_rule(deny, name, seccomp.Arg(0, seccomp.MASKED_EQ, newuser, newuser))
f.add_rule(seccomp.ERRNO(errno.ENOSYS), "clone3")
f.export_bpf(sys.stdout)
"""
SECCOMP_PYTHON = "/usr/bin/python3"

_bounds = {}


class Bounds:
    """What bounds the sandboxes here: the compiled seccomp filter (None when it cannot be
    made), whether a cgroup of the user's own bounds the whole sandbox, and a line for each
    bound this machine lacks."""

    def __init__(self):
        self.lacking = []
        self.seccomp = None
        try:
            made = subprocess.run([SECCOMP_PYTHON, "-c", SECCOMP_SOURCE, ",".join(REFUSED_CALLS),
                                   str(CLONE_NEWUSER)], capture_output=True, timeout=60)
            if made.returncode == 0 and made.stdout:
                self.seccomp = made.stdout
            else:
                why = made.stderr.decode("utf-8", "replace").strip().splitlines()[-1:]
                self.lacking.append("no seccomp filter in the sandbox (python3-seccomp is "
                                    f"needed: {''.join(why)})")
        except (OSError, subprocess.SubprocessError) as failed:
            self.lacking.append(f"no seccomp filter in the sandbox ({failed})")
        # A scope of the user's systemd bounds every process of the sandbox together; without
        # one (no user manager, no delegated cgroup), each process is bounded on its own.
        self.scope = []
        scope = ["systemd-run", "--user", "--scope", "--quiet", "--collect",
                 "-p", f"TasksMax={PIDS_LIMIT}", "-p", f"MemoryMax={MEMORY_MAX}",
                 "-p", "MemorySwapMax=0"]
        try:
            if shutil.which("systemd-run") and subprocess.run(
                    scope + ["true"], capture_output=True, timeout=30,
                    **run_as(dict(os.environ))).returncode == 0:
                self.scope = scope
        except (OSError, subprocess.SubprocessError):
            pass
        if not self.scope:
            self.lacking.append(
                f"no cgroup for the sandbox (systemd-run --user cannot make a scope here): its "
                f"memory is bounded per process ({DATA_LIMIT >> 30} GiB each), not as a whole")
        # Before Linux 5.14 the kernel counts a uid's processes everywhere, not in the sandbox's
        # user namespace alone: the user's own processes outside would count against the bound.
        release = os.uname().release.split(".")
        try:
            self.nproc = (int(release[0]), int(release[1].split("-")[0])) >= (5, 14)
        except (IndexError, ValueError):
            self.nproc = False
        if not self.nproc and not self.scope:
            self.lacking.append(f"no bound on the number of processes in the sandbox (this "
                                f"kernel, {os.uname().release}, counts them per user, not per "
                                "sandbox, and there is no cgroup)")


def bounds():
    """The Bounds of the uid that runs the sandboxes (probed as that uid, once)."""
    uid = os.getuid() if _account is None else _account.pw_uid
    if uid not in _bounds:
        _bounds[uid] = Bounds()
    return _bounds[uid]


def limits_prefix():
    """The command, inside the sandbox, that sets the per-process bounds and runs the rest."""
    nproc = [f"--nproc={PIDS_LIMIT}"] if bounds().nproc else []
    # SIGXCPU at the bound, SIGKILL half a minute of CPU later for a process that ignores it.
    return ["prlimit", *nproc, f"--cpu={CPU_SECONDS}:{CPU_SECONDS + 30}", f"--data={DATA_LIMIT}",
            "--"]


def seccomp_fd():
    """A descriptor to hand bwrap the filter through (None without one): the caller closes it."""
    program = bounds().seccomp
    if program is None:
        return None
    fd = os.memfd_create("seccomp", 0)
    os.write(fd, program)
    os.lseek(fd, 0, os.SEEK_SET)
    return fd


def bwrap_command(work, disc=None, readonly=(), share_net=False, seccomp=None, template=None):
    """The bwrap command line of a sandbox whose writable folder is work (at INSIDE); seccomp
    is the descriptor of a filter (seccomp_fd), to be passed on to bwrap. With a template,
    work/prefix is a view of it (overlay_command), and the sandbox runs as the uid it would
    have run as without one."""
    cmd = bounds().scope
    if template is not None:
        uid = os.getuid() if _account is None else _account.pw_uid
        gid = os.getgid() if _account is None else _account.pw_gid
        cmd = cmd + overlay_command(work, template) + ["bwrap", "--uid", str(uid),
                                                       "--gid", str(gid)]
    else:
        cmd = cmd + ["bwrap"]
    cmd += ["--unshare-user", "--unshare-pid", "--unshare-ipc", "--unshare-uts",
            "--unshare-cgroup-try", "--die-with-parent", "--new-session", "--cap-drop", "ALL"]
    if seccomp is not None:
        cmd += ["--seccomp", str(seccomp)]
    if not share_net:
        cmd.append("--unshare-net")
    for folder in SYSTEM_FOLDERS:
        if os.path.islink(folder):
            cmd += ["--symlink", os.readlink(folder), folder]
        elif os.path.isdir(folder):
            cmd += ["--ro-bind", folder, folder]
    for name in ETC:
        cmd += ["--ro-bind-try", f"/etc/{name}", f"/etc/{name}"]
    cmd += ["--dev", "/dev", "--size", str(SHM_SIZE), "--tmpfs", "/dev/shm", "--proc", "/proc",
            "--size", str(TMP_SIZE), "--tmpfs", "/tmp", "--bind", str(work), INSIDE]
    for source, target in readonly:
        cmd += ["--ro-bind", str(source), target]
    if disc is not None:
        cmd += ["--ro-bind", str(disc), f"{INSIDE}/disc"]
    if template is not None:
        # The layers (the template beneath, the changes over it) are the view's, not the
        # programs': an empty folder covers them inside.
        cmd += ["--size", "4096", "--tmpfs", f"{INSIDE}/{LAYER}"]
    # The root (bwrap's own tmpfs, which takes no size) and /dev are read-only from here on.
    return cmd + ["--remount-ro", "/dev", "--remount-ro", "/", "--chdir", INSIDE]


def run_contained(work, argv, timeout, readonly=(), file_limit=None, env=None):
    """Runs one command in a sandbox of its own (nothing else in it) to its end."""
    prefix = limits_prefix()
    if file_limit:
        prefix.insert(1, f"--fsize={file_limit}")
    fd = seccomp_fd()
    try:
        return subprocess.run(bwrap_command(work, readonly=readonly, seccomp=fd) + prefix
                              + list(argv), capture_output=True, timeout=timeout,
                              pass_fds=() if fd is None else (fd,), **run_as(sandbox_env(env)))
    finally:
        if fd is not None:
            os.close(fd)


# --- The agent inside -----------------------------------------------------------------------------

AGENT = r'''
import base64, ctypes, json, os, resource, signal, subprocess, sys, threading, time
# Not dumpable: no process of the disc (the same uid) can open its pipes through /proc or read
# and write its memory (ptrace, which Wine's server needs, is refused by the kernel for it, and
# process_vm_* by the seccomp filter besides).
ctypes.CDLL(None).prctl(4, 0, 0, 0, 0)
procs, ended, lock = {}, {}, threading.Lock()
# What a command started with "pipe" for a stream writes comes back here, never through a file
# of the trial's folder: bytes not yet taken (at most HOLD: the writer waits meanwhile) and
# whether it has closed. Past the request's cap the bytes are read and dropped.
HOLD = 4 << 20
streams = {}
class Stream:
    def __init__(self, pipe, cap):
        self.pipe, self.cap, self.data, self.total, self.eof = pipe, cap, bytearray(), 0, False
        self.cond = threading.Condition()
        self.thread = threading.Thread(target=self.pump, daemon=True)
        self.thread.start()
    def pump(self):
        while True:
            chunk = os.read(self.pipe, 65536)
            with self.cond:
                if not chunk:
                    self.eof = True
                    self.cond.notify_all()
                    os.close(self.pipe)
                    return
                keep = chunk[:max(self.cap - self.total, 0)]
                self.total += len(chunk)
                while len(self.data) + len(keep) > HOLD and keep:
                    self.cond.wait()
                self.data += keep
    def take(self, limit):
        with self.cond:
            out = bytes(self.data[:limit])
            del self.data[:limit]
            self.cond.notify_all()
            return out, self.eof and not self.data
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
    if path == "pipe":
        return subprocess.PIPE
    return open(path, "ab") if path else subprocess.DEVNULL
def start(r):
    out, err = opened(r.get("out")), opened(r.get("err"))
    try:
        p = subprocess.Popen(r["argv"], env=r["env"], stdin=subprocess.DEVNULL, stdout=out,
                             stderr=err, start_new_session=True, cwd=r.get("cwd", "/"),
                             preexec_fn=preexec(r.get("limit")))
    finally:
        for f in (out, err):
            if f not in (subprocess.DEVNULL, subprocess.PIPE):
                f.close()
    cap = r.get("cap", 1 << 20)
    p.streams = {}
    for name, f in (("out", p.stdout), ("err", p.stderr)):
        if f is not None:
            p.streams[name] = Stream(os.dup(f.fileno()), cap)
            f.close()
    return p
def collected(p, timeout):
    # The output of a command run to its end: what its streams held once they closed (a
    # process it left behind may hold them open: then what came by the timeout).
    answer = {}
    for name, stream in p.streams.items():
        stream.thread.join(timeout)
        data, _ = stream.take(stream.cap)
        answer[name] = base64.b64encode(data).decode()
    return answer
def reap(n, p):
    rc = p.wait()
    with lock:
        ended[n] = (rc, raw_ms())
def processes():
    # Every process of the sandbox as the kernel shows it: its id, its parent's, its name (a
    # Wine process names itself after its Windows image, cut to 15 bytes) and whether it is a
    # zombie. None of it is read from anything the disc's programs could write but their names.
    table = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open(f"/proc/{entry}/stat", "rb") as f:
                stat = f.read(4096)
        except OSError:
            continue
        name = stat[stat.find(b"(") + 1:stat.rfind(b")")]
        fields = stat[stat.rfind(b")") + 2:].split()
        if len(fields) > 2:
            table.append([int(entry), int(fields[1]), name.decode("latin-1"),
                          fields[0].decode("latin-1")])
        if len(table) >= 100000:
            break
    return table
def handle(r):
    op = r["op"]
    if op == "run":
        p = start(r)
        try:
            answer = {"rc": p.wait(timeout=r["timeout"])}
        except subprocess.TimeoutExpired:
            os.killpg(p.pid, signal.SIGKILL)
            p.wait()
            answer = {"rc": None}
        answer.update(collected(p, 10))
        return answer
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
    if op == "take":
        data, eof = procs[r["id"]].streams[r["stream"]].take(r.get("max", 1 << 20))
        return {"data": base64.b64encode(data).decode(), "eof": eof}
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
    if op == "stop":
        # Every process of the sandbox but the agent and bwrap's init.
        try:
            os.kill(-1, signal.SIGKILL)
        except ProcessLookupError:
            pass
        return {}
    if op == "processes":
        return {"table": processes()}
    if op == "pressure":
        # How near the sandbox is to its bounds: its threads, and the free bytes of each tmpfs.
        threads = 0
        for entry in os.listdir("/proc"):
            try:
                with open(f"/proc/{entry}/stat", "rb") as f:
                    stat = f.read(4096)
                threads += int(stat[stat.rfind(b")") + 2:].split()[17])
            except (OSError, ValueError, IndexError):
                continue
        free = {}
        for path in ("/tmp", "/dev/shm"):
            st = os.statvfs(path)
            free[path] = st.f_bavail * st.f_frsize
        return {"threads": threads, "free": free}
    if op == "touch":
        try:
            os.close(os.open(r["path"], os.O_WRONLY | os.O_CREAT | os.O_NOFOLLOW, 0o644))
        except OSError:
            return {"ok": False}
        return {"ok": True}
    if op == "exists":
        return {"exists": os.path.exists(r["path"])}
    if op == "mkdir":
        try:
            os.mkdir(r["path"], 0o755)
        except FileExistsError:
            pass
        except OSError:
            return {"ok": False}
        return {"ok": os.path.isdir(r["path"]) and not os.path.islink(r["path"])}
    raise ValueError(op)
for line in sys.stdin:
    try:
        answer = handle(json.loads(line))
    except Exception as failed:
        answer = {"error": f"{type(failed).__name__}: {failed}"}
    sys.stdout.write(json.dumps(answer) + "\n")
    sys.stdout.flush()
'''

# An answer of the agent is one line: a program's output comes in it (base64, at most a MiB of
# bytes); anything longer is not one.
ANSWER_CAP = 4 << 20


class Sandbox:
    """One long-lived sandbox and its agent. Ended (with everything in it) by close(), or when
    the process that made it goes away."""

    def __init__(self, work, disc=None, readonly=(), template=None):
        self.work = Path(work)
        self.views = []
        # bwrap's own complaints, for the message when it cannot make the sandbox.
        self.errors = tempfile.TemporaryFile()
        fd = seccomp_fd()
        try:
            self.proc = subprocess.Popen(
                bwrap_command(self.work, disc, readonly, seccomp=fd, template=template)
                + limits_prefix()
                + ["python3", "-c", AGENT],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.errors,
                pass_fds=() if fd is None else (fd,),
                **run_as(sandbox_env({MARK: str(self.work)})))
        finally:
            if fd is not None:
                os.close(fd)
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
        return self.run_captured(argv, env, timeout, out, err, limit)[0]

    def run_captured(self, argv, env, timeout, out=None, err=None, limit=None, cap=1 << 20):
        """As run; out and err may be "pipe": (exit code, bytes of out, bytes of err), the
        bytes of a pipe (at most cap) handed back by the agent, None for a file's."""
        answer = self.call({"op": "run", "argv": list(argv), "env": env, "out": out, "err": err,
                            "timeout": timeout, "limit": limit, "cap": cap}, timeout + 60)
        return (answer.get("rc"),) + tuple(
            base64.b64decode(answer[name])[:cap] if isinstance(answer.get(name), str) else None
            for name in ("out", "err"))

    def take(self, n, stream, most=1 << 20):
        """What a spawned command wrote to a stream given as "pipe" since the last take:
        (bytes, whether the stream has closed and all of it was taken)."""
        answer = self.call({"op": "take", "id": n, "stream": stream, "max": most}, 60)
        data = answer.get("data")
        return (base64.b64decode(data)[:most] if isinstance(data, str) else b"",
                bool(answer.get("eof")))

    def processes(self):
        """The sandbox's processes as its kernel shows them: [(pid, parent, name, state)]."""
        table = self.call({"op": "processes"}, 60).get("table")
        rows = []
        for row in table if isinstance(table, list) else []:
            try:
                pid, parent, name, state = row
                rows.append((int(pid), int(parent), str(name)[:64], str(state)[:4]))
            except (TypeError, ValueError):
                continue
        return rows

    def pressure(self):
        """(threads in the sandbox, {tmpfs: free bytes})."""
        answer = self.call({"op": "pressure"}, 60)
        free = answer.get("free")
        return (int(answer.get("threads") or 0),
                {str(k): int(v) for k, v in free.items()} if isinstance(free, dict) else {})

    def stop_all(self):
        """Ends every process inside but the agent."""
        self.call({"op": "stop"}, 60)

    def spawn(self, argv, env, out=None, err=None, limit=None, cap=1 << 20):
        """Starts a command inside, in a session of its own: (its id, the raw clock then). A
        stream given as "pipe" is read with take (at most cap bytes of it)."""
        answer = self.call({"op": "spawn", "argv": list(argv), "env": env, "out": out,
                            "err": err, "limit": limit, "cap": cap}, 60)
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

    def mkdir(self, inside_path):
        """Makes a folder inside (by the sandbox's uid): whether it is one now."""
        return bool(self.call({"op": "mkdir", "path": inside_path}, 60).get("ok"))

    def view(self, folder):
        """A host's folder (the trial's own) as the namespace the sandbox was made in sees it,
        with the prefix's view mounted in it: a path through a descriptor this sandbox holds
        until it closes, so that it never leads anywhere else. Waits for the sandbox to answer
        (the view is mounted before it starts)."""
        folder = Path(folder)
        self.call({"op": "exists", "path": INSIDE}, 60)
        try:
            fd = os.open(f"/proc/{self.proc.pid}/root{folder.parent}",
                         os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        except OSError as failed:
            raise SandboxError(f"cannot see the sandbox's prefix: {failed.strerror}") from None
        self.views.append(fd)
        seen, here = os.fstat(fd), os.stat(folder.parent)
        if (seen.st_dev, seen.st_ino) != (here.st_dev, here.st_ino):
            raise SandboxError("the sandbox's namespace does not hold the trial's folder")
        return Path(f"/proc/self/fd/{fd}") / folder.name

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
        for fd in self.views:
            os.close(fd)
        self.views = []


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


# --- The trial's machine ---------------------------------------------------------------------------

def copy_tree_owned(source, target):
    """A real copy of a trusted tree (the lab's tools), given to the sandbox's uid."""
    shutil.copytree(source, target, symlinks=True)
    if _account is not None:
        for dirpath, dirnames, filenames in os.walk(target):
            for name in [None] + dirnames + filenames:
                own(os.path.join(dirpath, name) if name else dirpath)


class Machine(machine.Machine):
    """One Wine prefix in one sandbox, for one trial: the lab's machine, with Wine run inside.
    dir is the trial's folder outside; paths given to Wine are inside."""

    def __init__(self, lab, work, template, lang, tools, arch="win64", version=None):
        super().__init__(work)
        self.lab = lab
        self.disc_dir = self.dir / "disc"
        self.sandbox = None
        self.xvfb = None
        self.background = []
        # The prefix is a view of the template, mounted as the sandbox is made (make_layers,
        # OVERLAY_SETUP): nothing is copied, and the template is never written. Outside, the
        # view is seen through the sandbox's namespace (self.view, once it runs).
        self.view = self.dir
        make_layers(self.dir)
        # The lab's tools are a copy beside the prefix, seen inside only through read-only binds:
        # as C:\lab, and over the copy itself. The disc's programs run under the same uid as the
        # tools, so a bind is what keeps them from replacing a tool; what a tool does once
        # running (in the disc's own Wine) is checked against the agent's view instead.
        copy_tree_owned(tools, self.dir / "lab")
        for name in ("home", "shots"):
            (self.dir / name).mkdir()
            own(self.dir / name)
        self.env = sandbox_env(dict(lab.BASE_ENV, WINEPREFIX=f"{INSIDE}/prefix",
                                    **{MARK: str(self.dir)},
                                    DISPLAY=DISPLAY, **({"LC_ALL": lang} if lang else {})))
        self.sandbox = Sandbox(self.dir, disc=self.disc_dir, readonly=(
            (self.dir / "lab", f"{INSIDE}/lab"),
            (self.dir / "lab", f"{INSIDE}/prefix/drive_c/lab")), template=template)
        try:
            self.view = self.sandbox.view(self.dir)
            self.prefix = self.view / "prefix"
            self.remove_host_drives()
            xvfb, _ = self.sandbox.spawn(["Xvfb", DISPLAY, "-screen", "0",
                                          f"{SCREEN[0]}x{SCREEN[1]}x24", "-nolisten", "tcp"],
                                         self.env)
            self.xvfb = xvfb
            self.use_desktop()
            server = self.keep_wine()
            socket = f"/tmp/.X11-unix/X{DISPLAY[1:]}"
            if not self.wait_for(lambda: self.sandbox.exists(socket), interval=0.1):
                raise SandboxError("the X server did not start in the sandbox")
            self.wine_kept(server)
            self.native = machine.native_wine(arch)
            self.registry_folder = None
            self.boot(version)
        except BaseException:
            self.close()
            raise

    def boot(self, version=None):
        """Starts Wine's own services (wineboot, services.exe and the devices and services it
        starts, which then run as long as the prefix does) from a program whose standard streams
        go nowhere: they inherit them, and a pipe they held would keep the agent waiting for its
        end long after the program that made it. The program sets the version setting given (the
        first the trial tries), or does nothing. The report is read by use_version, not here."""
        command = [self.native] + (
            ["reg", "add", "HKCU\\Software\\Wine", "/v", "Version", "/d", version, "/f"]
            if version else ["cmd", "/c", "exit"])
        n, _ = self.sandbox.spawn(command, self.env)
        deadline = time.monotonic() + machine.PATIENCE
        while (rc := self.sandbox.poll(n)[0]) is None:
            if time.monotonic() > deadline:
                self.sandbox.kill(n, group=True)
                raise subprocess.TimeoutExpired(command, machine.PATIENCE)
            time.sleep(0.05)
        if rc != 0:
            raise machine.ProgramFailed(rc, command, b"", b"")

    def set_version(self, version):
        # The prefix's own kind of reg.exe: on 64-bit Windows a native program, which starts in
        # a fraction of the time an emulated 32-bit one takes.
        self.boot(version)

    def use_desktop(self):
        """Gives the prefix's programs Wine's own desktop (DESKTOP_KEYS), from the next start of
        Wine on: called before Wine starts, since its server writes the registry's files
        out over anything added meanwhile. Added to the user's registry file by the sandbox's
        uid, which a process costs that is no Wine program."""
        rc = self.sandbox.run(["sh", "-c", 'printf "%s" "$1" >> "$2"', "sh", DESKTOP_KEYS,
                               f"{INSIDE}/prefix/user.reg"], self.env, 60)
        if rc != 0:
            raise SandboxError("Wine's desktop could not be set up in the prefix")

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
        """Runs a Windows program inside to its end; its output comes back through the agent's
        pipes, never through a file the disc's programs could write."""
        timeout = timeout or machine.PATIENCE
        rc, out, err = self.sandbox.run_captured(["wine", *args], dict(self.env, **(env or {})),
                                                 timeout, out="pipe", err="pipe")
        out, err = out or b"", (err or b"")[:64 << 10]
        if rc is None:
            raise subprocess.TimeoutExpired(["wine", *args], timeout)
        if check and rc != 0:
            raise machine.ProgramFailed(rc, ["wine", *args], out, err)
        return subprocess.CompletedProcess(["wine", *args], rc, out, err)

    def spawn(self, *args, env=None, out=None, err=None, limit=None, cap=1 << 20):
        """Starts a Windows program inside in the background: its id in the sandbox."""
        n, _ = self.sandbox.spawn(["wine", *args], dict(self.env, **(env or {})), out=out,
                                  err=err, limit=limit, cap=cap)
        self.background.append(n)
        return n

    def stop_wine(self):
        """Ends every program of the prefix and waits until its server has gone, which writes
        the registry out to the prefix's files."""
        self.sandbox.run(["wineserver", "-k"], self.env, 60)
        self.sandbox.run(["wineserver", "-w"], self.env, machine.PATIENCE)

    def keep_wine(self):
        """Starts the prefix's Wine server, to stay until it is ended (stop_wine, close), in the
        background: left to itself, the server ends with the last program, and every program
        after would start it and Wine's own services again (many seconds each time). Returns
        the id of the command, which ends once the server is ready (wine_kept)."""
        n, _ = self.sandbox.spawn(["wineserver", "-p"], self.env)
        return n

    def wine_kept(self, n):
        """Waits until the server keep_wine started is ready, so that no program starts one of
        its own meanwhile."""
        if not self.wait_for(lambda: self.sandbox.poll(n)[0] is not None):
            raise SandboxError("Wine's server did not start in the sandbox")

    def probe_output(self, *args):
        # With a registry folder, the probe also saves the registry as it is now: the last probe
        # before the launcher runs is the registry the trial compares the one after with.
        if self.registry_folder and not args:
            args = ("--registry", self.registry_folder)
        try:
            return super().probe_output(*args)
        except machine.ProgramFailed as failed:
            # Setting the prefix up, not the disc: once, under load, Wine failed to run the lab's
            # probe right after its version setting was changed. Wine is stopped and the probe
            # asked once more; a second failure is the trial's own fault, told with Wine's words.
            print(f"disckit trial: {failed}; asking again", file=sys.stderr)
            self.stop_wine()
            self.wine_kept(self.keep_wine())
            self.boot()
            return super().probe_output(*args)

    def windows_processes(self):
        """The names of the sandbox's processes as its kernel shows them (the agent's view,
        which no program of the disc can rewrite): each Wine process by its Windows image's
        name, cut to 15 bytes; zombies left out."""
        return [name for _, _, name, state in self.sandbox.processes() if state != "Z"]

    def relative(self, windows_path):
        """A path on drive C: relative to the trial's folder, for read_beneath."""
        assert windows_path[:3].upper() == "C:\\", windows_path
        return "prefix/drive_c/" + windows_path[3:].replace("\\", "/")

    def screenshot(self, name, timeout, crop=None):
        """The screen as a PNG, taken inside: its bytes (capped), or None. With crop, (width,
        height, left, top) within the screen, only that part of it."""
        cut = [] if crop is None else ["-crop", "{}x{}+{}+{}".format(*crop), "+repage"]
        rc = self.sandbox.run(["import", "-window", "root", *cut, f"{INSIDE}/shots/{name}"],
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


def own_cache(lab):
    """The invoking user's cache of the trial, $XDG_CACHE_HOME/disckit (or ~/.cache/disckit),
    made when missing and checked as the lab checks its folders (lab.open_folder): theirs,
    writable by no one else, reached only through folders of theirs and root's. Raises
    lab.UnsafeFolder."""
    base = os.environ.get("XDG_CACHE_HOME", "")
    if not base.startswith("/"):
        base = os.path.join(os.path.expanduser("~"), ".cache")
    folder = Path(base) / "disckit"
    fd = lab.open_folder(folder, os.geteuid(), create=0o700)
    try:
        lab.tag_cache(fd)
    finally:
        os.close(fd)
    return folder


def ensure_own_template(folder, arch, lab):
    """For a user other than root: a template prefix of their own in folder/arch, made by Wine
    in a sandbox the first time (one maker at a time), with drive D: a CD-ROM drive. The folder
    and its lock are checked as the lab checks its own (lab.UnsafeFolder)."""
    import fcntl
    folder = Path(folder)
    fd = lab.open_folder(folder, os.geteuid(), create=0o700)
    try:
        lock = lab.open_lock(fd, f".{arch}.lock")
    finally:
        os.close(fd)
    target = folder / arch
    try:
        fcntl.flock(lock, fcntl.LOCK_EX)
        os.utime(lock)  # its last use, for disckit cache
        lab.check_template(target, os.geteuid())
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
    finally:
        os.close(lock)
    return target


# --- Pressing a disc's folder ---------------------------------------------------------------------

# A disc's folder may hold at most this many files and folders, nested at most this deep (a
# pressed CD holds far fewer, and ISO 9660 itself nests 8 deep).
DISC_ENTRIES = 100_000
DISC_DEPTH = 64
# What was left out of a disc's folder is told in at most this many notes.
DISC_NOTES = 20
_ANYONE = (None, frozenset())


def _groups(uid):
    try:
        pw = pwd.getpwuid(uid)
    except KeyError:
        return frozenset()
    return frozenset(os.getgrouplist(pw.pw_name, pw.pw_gid))


def _may(st, reader, need):
    """Whether reader ((uid, its groups), uid None: any account) has the rights need (bits of
    rwx) on a file with the status st, by its mode."""
    uid, gids = reader
    if uid is not None and st.st_uid == uid:
        bits = st.st_mode >> 6
    elif uid is not None and st.st_gid in gids:
        bits = st.st_mode >> 3
    else:
        bits = st.st_mode
    return bits & need == need


def _readers(readers, st):
    """The readers a folder with the status st adds. Root copies only what every account that
    could have put a file in its place may read itself: the folder's owner (not root), and
    any account at all when others may write in the folder (a sticky folder leaves each entry
    to its owner, who is counted as the entry's folder is entered)."""
    more = list(readers)
    if os.geteuid() != 0:
        return more  # the kernel checks what the user reads with their own rights
    if st.st_uid != 0 and all(r[0] != st.st_uid for r in more):
        more.append((st.st_uid, _groups(st.st_uid)))
    if st.st_mode & 0o022 and not st.st_mode & stat.S_ISVTX and _ANYONE not in more:
        more.append(_ANYONE)
    return more


class _Notes:
    def __init__(self):
        self.lines, self.more = [], 0

    def add(self, text):
        if len(self.lines) < DISC_NOTES:
            self.lines.append(text)
        else:
            self.more += 1

    def done(self):
        return self.lines + ([f"and {self.more} more left out of the disc's folder"]
                             if self.more else [])


def _open_entry(dir_fd, name, where, readers, notes):
    """(descriptor, status) of the folder or regular file name in dir_fd, opened without
    following a link and confirmed to be what was listed; None, with a note, for a link, a
    FIFO, a device, an entry that changed meanwhile or one a reader may not read."""
    try:
        before = os.stat(name, dir_fd=dir_fd, follow_symlinks=False)
    except OSError as failed:
        notes.add(f"{where}: {failed.strerror}: left out of the disc's folder")
        return None
    folder = stat.S_ISDIR(before.st_mode)
    if stat.S_ISLNK(before.st_mode):
        notes.add(f"{where}: a link: left out of the disc's folder")
        return None
    if not folder and not stat.S_ISREG(before.st_mode):
        notes.add(f"{where}: not a regular file or a folder: left out of the disc's folder")
        return None
    flags = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC
    try:
        fd = os.open(name, flags | (os.O_DIRECTORY if folder else 0), dir_fd=dir_fd)
    except OSError as failed:
        why = ("replaced by a link" if failed.errno in (errno.ELOOP, errno.ENOTDIR)
               else failed.strerror)
        notes.add(f"{where}: {why}: left out of the disc's folder")
        return None
    st = os.fstat(fd)
    if ((st.st_dev, st.st_ino) != (before.st_dev, before.st_ino)
            or stat.S_IFMT(st.st_mode) != stat.S_IFMT(before.st_mode)):
        os.close(fd)
        notes.add(f"{where}: replaced while it was read: left out of the disc's folder")
        return None
    need = 0o5 if folder else 0o4
    for reader in readers:
        if not _may(st, reader, need):
            os.close(fd)
            who = "every account" if reader[0] is None else f"uid {reader[0]}"
            notes.add(f"{where}: not readable by {who}, who could have put it there: left out "
                      "of the disc's folder")
            return None
    return fd, st


def _survey(dir_fd, dir_st, where, readers, depth, count, notes):
    """What the folder dir_fd holds that will be copied: {name: (status, None) for a file,
    (status, {...}) for a folder}; count is [entries, bytes] so far, bounded."""
    if depth > DISC_DEPTH:
        raise Hostile(f"its folders nest deeper than {DISC_DEPTH}")
    readers = _readers(readers, dir_st)
    tree = {}

    def counted():
        for name in sorted(os.listdir(dir_fd)):
            count[0] += 1
            if count[0] > DISC_ENTRIES:
                raise Hostile(f"it holds more than {DISC_ENTRIES} files and folders")
            yield name

    for name, path, fd, st in _entries(dir_fd, counted(), where, readers, notes):
        if stat.S_ISDIR(st.st_mode):
            tree[name] = (st, _survey(fd, st, path, readers, depth + 1, count, notes))
        else:
            count[1] += st.st_size  # a sparse file counts at its full size
            tree[name] = (st, None)
    return tree


def _entries(dir_fd, names, where, readers, notes):
    """(name, path, descriptor, status) of each of names in dir_fd that _open_entry opens; the
    descriptor is closed once the caller goes on to the next."""
    for name in names:
        path = f"{where}/{name}" if where else name
        opened = _open_entry(dir_fd, name, path, readers, notes)
        if opened is None:
            continue
        fd, st = opened
        try:
            yield name, path, fd, st
        finally:
            os.close(fd)


def _copy(dir_fd, dir_st, tree, out_fd, where, readers, notes):
    """Copies what _survey found into the new folder out_fd, each file no longer than it was
    then; an entry that changed since is left out."""
    readers = _readers(readers, dir_st)
    for name, path, fd, st in _entries(dir_fd, tree, where, readers, notes):
        was, inner = tree[name]
        if (st.st_dev, st.st_ino) != (was.st_dev, was.st_ino):
            notes.add(f"{path}: replaced while it was read: left out of the disc's folder")
            continue
        if inner is not None:
            os.mkdir(name, 0o755, dir_fd=out_fd)
            sub = os.open(name, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC,
                          dir_fd=out_fd)
            try:
                _own_fd(sub)
                _copy(fd, st, inner, sub, path, readers, notes)
            finally:
                os.close(sub)
            continue
        mode = 0o755 if st.st_mode & 0o111 else 0o644
        out = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC,
                      mode, dir_fd=out_fd)
        try:
            _own_fd(out)
            _copy_bytes(fd, out, was.st_size)
        finally:
            os.close(out)


def _own_fd(fd):
    if _account is not None:
        os.fchown(fd, _account.pw_uid, _account.pw_gid)


def _copy_bytes(source_fd, out_fd, size):
    """Copies at most size bytes (the size the source had when it was looked at: a file that
    grows meanwhile is cut there) from source_fd to out_fd."""
    left = size
    while left > 0:
        chunk = os.read(source_fd, min(left, 1 << 20))
        if not chunk:
            break
        os.write(out_fd, chunk)
        left -= len(chunk)


def _link_readers(named):
    """The readers that the links on the way of the path the user named add: a link's owner
    (not root) chose where it leads, and so does anyone who may write in the folder holding it
    (see _readers). Nothing for a user other than root."""
    readers = []
    if os.geteuid() != 0:
        return readers
    path = "/"
    for part in [p for p in os.path.abspath(named).split("/") if p]:
        try:
            folder = os.stat(path)
            entry = os.lstat(os.path.join(path, part))
        except OSError:
            break  # the walk itself says what is missing
        if stat.S_ISLNK(entry.st_mode):
            readers = _readers(readers, folder)
            if entry.st_uid != 0 and all(r[0] != entry.st_uid for r in readers):
                readers.append((entry.st_uid, _groups(entry.st_uid)))
        path = os.path.realpath(os.path.join(path, part))
    return readers


def _open_source_folder(source, named=None):
    """(descriptor, readers) of the folder at the real path source, walked from the root one
    folder at a time without following a link; readers are the accounts that could have put
    something there (see _readers), with those of the links on the way of named, the path as
    the user gave it. Raises Hostile when a step is no folder."""
    fd = os.open("/", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    readers = _link_readers(named) if named is not None else []
    try:
        # The folders above the disc's count too: whoever may replace one of them may replace
        # the disc's folder.
        for part in [p for p in source.split("/") if p]:
            readers = _readers(readers, os.fstat(fd))
            try:
                inner = os.open(part, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC,
                                dir_fd=fd)
            except OSError as failed:
                raise Hostile(f"the folder cannot be opened ({failed.strerror}): it changed "
                              "while it was read, or is not a folder") from None
            os.close(fd)
            fd = inner
    except BaseException:
        os.close(fd)
        raise
    return fd, readers


def copy_disc_image(source, work, name="disc.iso", budget=IMAGE_BUDGET):
    """Copies a disc's image into work/name (a new file of the sandbox's uid) under the same
    rules as a disc's folder (copy_disc_folder): the path the user named is resolved once, then
    its folders are walked without following a link, and the image must be a regular file that
    every account that could have put it there may read. It is read at most to the size it had
    when it was opened, and no image over the budget is copied. Raises Hostile."""
    notes = _Notes()
    real = os.path.realpath(source)
    folder, file_name = os.path.split(real)
    fd, readers = _open_source_folder(folder, source)
    try:
        opened = _open_entry(fd, file_name, file_name, _readers(readers, os.fstat(fd)), notes)
    finally:
        os.close(fd)
    if opened is None:
        raise Hostile(notes.done()[0].replace(": left out of the disc's folder", ""))
    image_fd, st = opened
    try:
        if stat.S_ISDIR(st.st_mode):
            raise Hostile("a folder, not an image")
        if st.st_size > budget:
            raise Hostile(f"the image has {st.st_size} bytes, more than the {budget >> 20} MiB a "
                          "trial unpacks")
        work_fd = os.open(work, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC)
        try:
            out = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC,
                          0o644, dir_fd=work_fd)
        finally:
            os.close(work_fd)
        try:
            _own_fd(out)
            _copy_bytes(image_fd, out, st.st_size)
        finally:
            os.close(out)
    finally:
        os.close(image_fd)
    return Path(work) / name


def copy_disc_folder(source, work, target_name="press", budget=IMAGE_BUDGET):
    """Copies a disc's folder into work/target_name (a new folder of the sandbox's uid) as
    hostile data, whoever may write in it while it is read: every entry opened by name beneath
    its folder's descriptor without following a link, only folders and regular files (links,
    FIFOs and devices left out, with a note), each file read at most to the size it had when
    the folder was first surveyed. Run by root, a file goes into the copy only when every
    account that could have put it there (the owners of the folders on its way, and anyone at
    all under a folder others may write in) may read it. The bytes (a sparse file counted at
    its full size), the number of entries and the depth are bounded, and checked before
    anything is written (Hostile). Returns the notes on what was left out."""
    notes = _Notes()
    fd, readers = _open_source_folder(os.path.realpath(source), source)
    try:
        top = os.fstat(fd)
        count = [0, 0]
        tree = _survey(fd, top, "", readers, 0, count, notes)
        if count[1] > budget:
            raise Hostile(f"its files take {count[1]} bytes, more than the {budget >> 20} MiB "
                          "a trial presses")
        work_fd = os.open(work, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC)
        try:
            os.mkdir(target_name, 0o700, dir_fd=work_fd)
            out = os.open(target_name, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC,
                          dir_fd=work_fd)
        finally:
            os.close(work_fd)
        try:
            _own_fd(out)
            _copy(fd, top, tree, out, "", readers, notes)
        finally:
            os.close(out)
    finally:
        os.close(fd)
    return notes.done()


def press_folder(work, source, label, budget=IMAGE_BUDGET):
    """A disc's folder pressed into work/disc.iso (an ISO 9660 image with Joliet names): copied
    as hostile data first (copy_disc_folder), and the copy pressed by the sandbox's uid in a
    sandbox of its own, so that nothing is pressed with root's rights, nor read past a link.
    Returns (the image, the notes on what was left out); raises Hostile."""
    notes = copy_disc_folder(source, work, "press", budget)
    try:
        done = run_contained(work, ["xorriso", "-report_about", "WARNING", "-as", "mkisofs",
                                    "-J", "-r", "-V", label, "-o", f"{INSIDE}/disc.iso",
                                    f"{INSIDE}/press"],
                             timeout=600, file_limit=budget + (64 << 20))
    finally:
        remove_work(Path(work) / "press")
    image = Path(work) / "disc.iso"
    if done.returncode != 0 or not image.is_file():
        raise Hostile("xorriso could not press it: "
                      + done.stderr.decode("utf-8", "replace").strip()[-500:])
    return image, notes
