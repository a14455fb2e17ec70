#!/usr/bin/env python3
"""The trial's containment without Wine: reading what a disc's programs wrote, the screenshots'
folder, unpacking a hostile image, and the sandbox itself (what it shows of the host, and what
is left of it once closed). Exit 77 (skipped) where bubblewrap cannot make a sandbox."""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

import labpath  # noqa: F401 (the lab and the trial's driver)
import trialbox


def work_folder(test):
    """A folder the sandbox's uid owns, removed after the test."""
    work = tempfile.mkdtemp(prefix="trialbox-test-", dir="/var/tmp")
    trialbox.own(work)
    test.addCleanup(trialbox.remove_work, work)
    return Path(work)


class ReadingHostileFiles(unittest.TestCase):
    def test_only_regular_files_within_the_cap_and_never_through_a_link(self):
        with tempfile.TemporaryDirectory() as root:
            r = Path(root)
            (r / "sub").mkdir()
            (r / "sub" / "ok.txt").write_bytes(b"fine")
            (r / "big.txt").write_bytes(b"x" * 101)
            (r / "secret.txt").write_bytes(b"secret")
            os.symlink(r / "secret.txt", r / "link.txt")
            os.symlink(r / "sub", r / "linked-folder")
            os.mkfifo(r / "fifo.txt")
            os.symlink("/dev/zero", r / "zero.txt")
            self.assertEqual(trialbox.read_beneath(root, "sub/ok.txt", 100), b"fine")
            self.assertIsNone(trialbox.read_beneath(root, "missing.txt", 100))
            for name in ("big.txt", "link.txt", "linked-folder/ok.txt", "fifo.txt", "zero.txt",
                         "sub", "../etc/passwd"):
                with self.subTest(name=name), self.assertRaises(trialbox.Hostile):
                    trialbox.read_beneath(root, name, 100)


class ScreenshotsFolder(unittest.TestCase):
    def test_a_new_or_empty_folder_of_the_user_and_nothing_else(self):
        with tempfile.TemporaryDirectory() as root:
            r = Path(root)
            (r / "empty").mkdir()
            (r / "full").mkdir()
            (r / "full" / "x").write_text("x")
            (r / "file").write_text("x")
            os.symlink(r / "empty", r / "link")
            for name in ("new", "empty", "above/new"):
                with self.subTest(name=name):
                    os.close(trialbox.open_out(str(r / name)))
            for name, why in (("full", "not empty"), ("file", "not a folder"),
                              ("link", "is a link")):
                with self.subTest(name=name), self.assertRaisesRegex(ValueError, why):
                    trialbox.open_out(str(r / name))
            if os.geteuid() == 0:
                (r / "theirs").mkdir()
                os.chown(r / "theirs", 65534, 65534)
                with self.assertRaisesRegex(ValueError, "another user"):
                    trialbox.open_out(str(r / "theirs"))
            # A screenshot never goes through a link planted in its place.
            fd = trialbox.open_out(str(r / "new"))
            os.symlink(r / "file", r / "new" / "shot.png")
            with self.assertRaises(OSError):
                trialbox.write_new(fd, "shot.png", b"png")
            os.close(fd)
            self.assertEqual((r / "file").read_text(), "x")


class Images(unittest.TestCase):
    def image(self, work, build):
        """An image xorriso makes of a folder that build(folder) fills, with Rock Ridge modes
        and links kept as they are."""
        source = Path(tempfile.mkdtemp(dir=work))
        build(source)
        image = work / "disc.iso"
        subprocess.run(["xorriso", "-report_about", "WARNING", "-outdev", str(image), "-map",
                        str(source), "/", "-chmod", "u+s,g+s", "/setid.exe", "--",
                        "-set_filter_r", "--zisofs", "/", "--", "-commit"],
                       check=True, capture_output=True, timeout=300)
        shutil.rmtree(source)
        trialbox.own(image)
        return f"{trialbox.INSIDE}/disc.iso"

    def test_only_files_folders_and_links_within_without_set_id_or_write_bits(self):
        work = work_folder(self)

        def build(d):
            (d / "setid.exe").write_bytes(b"MZ")
            os.chmod(d / "setid.exe", 0o755)
            (d / "lang").mkdir()
            (d / "lang" / "page.htm").write_text("page")
            os.mkfifo(d / "fifo")
            os.symlink("/etc/passwd", d / "outside")
            os.symlink("../..", d / "lang" / "up")
            os.symlink("lang/page.htm", d / "inside")
        disc = trialbox.unpack_image(work, self.image(work, build))
        found = {}
        for dirpath, dirnames, filenames in os.walk(disc):
            for name in dirnames + filenames:
                path = Path(dirpath) / name
                found[str(path.relative_to(disc))] = path.lstat().st_mode
        self.assertEqual(sorted(found), ["inside", "lang", "lang/page.htm", "setid.exe"])
        for name, mode in found.items():
            with self.subTest(name=name):
                if not os.path.islink(disc / name):
                    self.assertEqual(mode & 0o7222, 0, oct(mode))
        self.assertEqual((disc / "inside").read_text(), "page")

    def test_an_image_over_the_budget_is_not_unpacked(self):
        work = work_folder(self)

        def build(d):
            (d / "setid.exe").write_bytes(b"MZ")
            with open(d / "zeros.bin", "wb") as f:
                f.truncate(40 << 20)
        image = self.image(work, build)
        self.assertLess((work / "disc.iso").stat().st_size, 1 << 20)
        with self.assertRaisesRegex(trialbox.Hostile, "more than the 16 MiB"):
            trialbox.unpack_image(work, image, budget=16 << 20)
        self.assertFalse((work / "disc").exists())


class TheSandbox(unittest.TestCase):
    def test_it_shows_nothing_of_the_host_and_leaves_nothing_running(self):
        work = work_folder(self)
        host = Path(tempfile.mkdtemp(dir="/var/tmp"))
        self.addCleanup(shutil.rmtree, host, True)
        os.chmod(host, 0o755)
        (host / "secret.txt").write_text("TOP-SECRET")
        (host / "secret.txt").chmod(0o644)
        marker = f"86398.{os.getpid() % 1000:03d}"
        box = trialbox.Sandbox(work)
        try:
            script = (f"cat {host}/secret.txt > /trial/seen.txt 2>&1; "
                      f"touch {host}/written /tmp/written; "
                      f"setsid sleep {marker} </dev/null >/dev/null 2>&1 &")
            env = trialbox.sandbox_env()
            self.assertEqual(box.run(["sh", "-c", script], env, 60), 0)
            self.assertNotIn(b"TOP-SECRET", (work / "seen.txt").read_bytes())
            self.assertTrue(trialbox.wait(lambda: running(marker), 30), "the child never ran")
        finally:
            box.close()
        self.assertFalse((host / "written").exists())
        self.assertFalse(Path("/tmp/written").exists() and
                         Path("/tmp/written").stat().st_mtime > time.time() - 60)
        self.assertTrue(trialbox.wait(lambda: not running(marker), 30),
                        "a detached process of the sandbox outlived it")


# A program of the disc may make Linux system calls directly: these are what it tries, by number
# (x86-64), with what each must get. EPERM, never a kill: the program goes on and can be watched.
CALLS = r"""
import ctypes, errno, json, os
libc = ctypes.CDLL(None, use_errno=True)
def call(number, *args):
    ctypes.set_errno(0)
    rc = libc.syscall(number, *[ctypes.c_long(a) for a in args])
    return errno.errorcode.get(ctypes.get_errno(), "0") if rc == -1 else "ok"
CLONE_NEWUSER, CLONE_NEWNET = 0x10000000, 0x40000000
print(json.dumps({
    "unshare(CLONE_NEWUSER)": call(272, CLONE_NEWUSER),
    "clone(CLONE_NEWUSER)": call(56, CLONE_NEWUSER | 17, 0, 0, 0, 0),
    "io_uring_setup": call(425, 8, ctypes.addressof(ctypes.create_string_buffer(120))),
    "ptrace(PTRACE_ATTACH, parent)": call(101, 16, os.getppid(), 0, 0),
    "process_vm_writev": call(311, os.getppid(), 0, 0, 0, 0, 0),
    "keyctl": call(250, 0, 0, 0, 0, 0),
    "add_key": call(248, 0, 0, 0, 0, 0),
    "finit_module": call(313, 0, 0, 0),
    "kexec_load": call(246, 0, 0, 0, 0),
    "bpf": call(321, 0, 0, 0),
    "perf_event_open": call(298, 0, 0, -1, -1, 0),
    "mount": call(165, 0, 0, 0, 0, 0),
    "fsopen": call(430, 0, 0),
    "clone3": call(435, 0, 0),
    "fork": "ok" if os.fork() or os._exit(0) else "",
    "getpid": call(39),
}))
"""

# Forks until the kernel refuses, each child waiting for its parent to go: how many it made.
FORK_BOMB = r"""
import errno, os, sys, time
made = 0
try:
    while made < 100000:
        if os.fork() == 0:
            time.sleep(120)
            os._exit(0)
        made += 1
except OSError as failed:
    print(made, errno.errorcode[failed.errno])
    sys.exit(0)
print(made, "never refused")
"""


class Bounds(unittest.TestCase):
    def lowered(self, **values):
        for name, value in values.items():
            self.addCleanup(setattr, trialbox, name, getattr(trialbox, name))
            setattr(trialbox, name, value)

    def test_the_filter_refuses_what_a_trial_never_needs_and_nothing_else(self):
        work = work_folder(self)
        if trialbox.bounds().seccomp is None:
            self.skipTest(trialbox.bounds().lacking[0])
        done = trialbox.run_contained(work, ["python3", "-c", CALLS], 120)
        self.assertEqual(done.returncode, 0, done.stderr)
        import json
        got = json.loads(done.stdout)
        allowed = {"fork": "ok", "getpid": "ok", "clone3": "ENOSYS"}
        self.assertEqual(got, {name: allowed.get(name, "EPERM") for name in got})

    def test_a_fork_bomb_stops_at_the_process_bound(self):
        self.lowered(PIDS_LIMIT=40)
        work = work_folder(self)
        box = trialbox.Sandbox(work)
        try:
            rc, out, _ = box.run_captured(["python3", "-c", FORK_BOMB], trialbox.sandbox_env(),
                                          120, out="pipe", err="pipe")
            made, why = out.decode().split()
            self.assertEqual((rc, why), (0, "EAGAIN"))
            # The agent, its init, and the bomb itself count too.
            self.assertLess(int(made), 40)
            self.assertGreater(int(made), 20)
            # Its children still wait: the agent sees the sandbox at its bound, as the trial's
            # note has it.
            threads, free = box.pressure()
            self.assertGreaterEqual(threads, 40 - 8)
            self.assertEqual(sorted(free), ["/dev/shm", "/tmp"])
        finally:
            box.close()

    def test_memory_and_cpu_time_of_a_process_are_bounded(self):
        self.lowered(DATA_LIMIT=256 << 20, CPU_SECONDS=1)
        work = work_folder(self)
        rows = [  # what the program does, what must become of it
            ("try:\n x = bytearray(512 << 20)\nexcept MemoryError:\n print('refused')",
             0, b"refused\n"),
            ("while True: pass", 128 + 24, b""),   # SIGXCPU, as bwrap tells it
        ]
        for program, rc, out in rows:
            with self.subTest(program=program):
                done = trialbox.run_contained(work, ["python3", "-c", program], 120)
                self.assertEqual((done.returncode, done.stdout), (rc, out), done.stderr)

    def test_every_tmpfs_is_sized_and_the_root_and_dev_are_read_only(self):
        self.lowered(TMP_SIZE=4 << 20, SHM_SIZE=2 << 20)
        work = work_folder(self)
        script = ("for f in /tmp/fill /dev/shm/fill; do "
                  "dd if=/dev/zero of=$f bs=64k count=1000 2>/dev/null; "
                  "echo $f $(stat -c %s $f); done; "
                  "for f in /fill /dev/fill /usr/fill; do "
                  "touch $f 2>/dev/null && echo $f written || echo $f refused; done")
        done = trialbox.run_contained(work, ["sh", "-c", script], 120)
        self.assertEqual(done.stdout.decode().split("\n")[:-1], [
            f"/tmp/fill {4 << 20}", f"/dev/shm/fill {2 << 20}",
            "/fill refused", "/dev/fill refused", "/usr/fill refused"])

    def test_the_agent_shows_the_sandboxs_processes_by_name(self):
        work = work_folder(self)
        box = trialbox.Sandbox(work)
        try:
            n, _ = box.spawn(["sleep", "60"], trialbox.sandbox_env())
            self.assertTrue(trialbox.wait(
                lambda: "sleep" in [name for _, _, name, _ in box.processes()], 30))
            names = [name for _, _, name, _ in box.processes()]
            self.assertNotIn("python3", names)  # the agent leaves itself out
            box.stop_all()
            self.assertTrue(trialbox.wait(lambda: box.poll(n)[0] is not None, 30))
        finally:
            box.close()


def running(marker):
    for entry in Path("/proc").iterdir():
        try:
            if marker.encode() in (entry / "cmdline").read_bytes().split(b"\0"):
                return True
        except OSError:
            continue
    return False


if __name__ == "__main__":
    reason = trialbox.bwrap_usable() if os.geteuid() != 0 else None
    if os.geteuid() == 0:
        # As a trial run by root does, with an unprivileged uid inside (here one that exists
        # everywhere, rather than making the lab's account).
        import pwd
        trialbox.set_account(pwd.getpwnam("nobody"))
        reason = trialbox.bwrap_usable()
    if reason or shutil.which("xorriso") is None:
        print(f"SKIPPED: {reason or 'xorriso is not installed'}")
        sys.exit(77)
    unittest.main()
