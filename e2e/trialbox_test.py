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
        """An image xorriso makes of a folder that build(folder) fills, with Joliet names and
        Rock Ridge modes and links kept as they are."""
        source = Path(tempfile.mkdtemp(dir=work))
        build(source)
        image = work / "disc.iso"
        # Hard links share one extent: each of their Joliet names leads to the same bytes.
        subprocess.run(["xorriso", "-report_about", "WARNING", "-outdev", str(image),
                        "-joliet", "on", "-hardlinks", "on", "-map",
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
        # The Joliet tree, which Windows reads, holds no links at all.
        self.assertEqual(sorted(found), ["lang", "lang/page.htm", "setid.exe"])
        for name, mode in found.items():
            with self.subTest(name=name):
                if not os.path.islink(disc / name):
                    self.assertEqual(mode & 0o7222, 0, oct(mode))
        self.assertEqual((disc / "lang" / "page.htm").read_text(), "page")

    def test_the_joliet_tree_is_unpacked_where_the_trees_disagree(self):
        """The image's Joliet Panoview.exe (what Windows reads) is another file than its Rock
        Ridge one: check reports it, and the trial unpacks what Windows reads."""
        work = work_folder(self)
        source = Path(tempfile.mkdtemp(dir=work))
        (source / "Panoview.exe").write_bytes(b"MZ the real browser")
        (source / "Ends.exe").write_bytes(b"MZ ends at once")
        image = work / "disc.iso"
        subprocess.run(["xorriso", "-report_about", "WARNING", "-as", "mkisofs", "-J", "-r",
                        "-o", str(image), str(source)], check=True, capture_output=True,
                       timeout=300)
        shutil.rmtree(source)
        splice_joliet(image, "Panoview.exe", "Ends.exe")
        trialbox.own(image)
        disckit = os.environ.get("LAUNCHER_NATIVE_DISCKIT")
        if disckit:
            checked = subprocess.run([disckit, "check", str(image)], capture_output=True,
                                     timeout=120)
            self.assertEqual(checked.returncode, 1, checked.stdout)
            self.assertIn(b"image-trees-disagree  Panoview.exe", checked.stdout)
        disc = trialbox.unpack_image(work, f"{trialbox.INSIDE}/disc.iso")
        self.assertEqual((disc / "Panoview.exe").read_bytes(), b"MZ ends at once")
        self.assertEqual((disc / "Ends.exe").read_bytes(), b"MZ ends at once")

    def test_an_image_over_the_budget_is_not_unpacked(self):
        work = work_folder(self)

        # Compressed files (zisofs) are what Windows reads: their compressed bytes. The names
        # of one file, hard links, are not: each unpacks to all its bytes.
        def build(d):
            (d / "setid.exe").write_bytes(b"MZ")
            (d / "random.bin").write_bytes(os.urandom(2 << 20))
            for i in range(15):
                os.link(d / "random.bin", d / f"link{i}.bin")
        image = self.image(work, build)
        self.assertLess((work / "disc.iso").stat().st_size, 4 << 20)
        with self.assertRaisesRegex(trialbox.Hostile, "more than the 16 MiB"):
            trialbox.unpack_image(work, image, budget=16 << 20)
        self.assertFalse((work / "disc").exists())


def splice_joliet(image, name, other):
    """Points the Joliet record of name at the bytes of other (its extent and size, both byte
    orders), leaving the ISO 9660 tree and its Rock Ridge names as they are."""
    data = bytearray(image.read_bytes())

    def record(of):
        at = data.find(of.encode("utf-16-be"))
        assert at > 33 and data[at - 1] == len(of) * 2, of
        return at - 33
    source, target = record(other), record(name)
    data[target + 2:target + 18] = data[source + 2:source + 18]
    image.write_bytes(bytes(data))


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
