#!/usr/bin/env python3
"""The trial's containment without Wine: reading what a disc's programs wrote, the screenshots'
folder, unpacking a hostile image, the sandbox itself (what it shows of the host, and what is
left of it once closed), the folders the lab and a trial keep their prefixes in, and a disc's
folder pressed while another account changes it. Exit 77 (skipped) where bubblewrap cannot make
a sandbox."""

import os
import pwd
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from pathlib import Path

import labpath  # noqa: F401 (the lab and the trial's driver)
import machine
import trialbox
import winelab


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
            self.assertTrue(machine.wait(lambda: running(marker), 30), "the child never ran")
        finally:
            box.close()
        self.assertFalse((host / "written").exists())
        self.assertFalse(Path("/tmp/written").exists() and
                         Path("/tmp/written").stat().st_mtime > time.time() - 60)
        self.assertTrue(machine.wait(lambda: not running(marker), 30),
                        "a detached process of the sandbox outlived it")


# --- Another local account ----------------------------------------------------------------------

def intruder(test):
    """A second local account, made for the test as the lab's account is made, and removed
    after it (skips the test unless run by root)."""
    if os.geteuid() != 0:
        test.skipTest("making a second account needs root")
    name = f"dkintruder{os.getpid() % 100000}"
    made = subprocess.run(["useradd", "--system", "--no-create-home", "--home-dir", "/nonexistent",
                           "--shell", "/usr/sbin/nologin", name], capture_output=True, timeout=60)
    pw = pwd.getpwnam(name)  # KeyError when useradd failed: its reason is in made.stderr
    if made.returncode == 0:
        test.addCleanup(subprocess.run, ["userdel", name], capture_output=True, timeout=60)
    return pw


def as_account(pw, script, *args, wait=True):
    """Runs a Python script as the account pw (the system's Python: another account may not
    reach the one running this test)."""
    command = ["/usr/bin/python3", "-c", script, *map(str, args)]
    keywords = dict(user=pw.pw_uid, group=pw.pw_gid, extra_groups=[], cwd="/",
                    env={"PATH": "/usr/bin:/bin"})
    if not wait:
        return subprocess.Popen(command, **keywords)
    return subprocess.run(command, check=True, capture_output=True, timeout=60, **keywords)


def tree_of(root):
    """Every path under root with what it is (a link's target, a file's bytes), to tell that
    nothing there changed."""
    found = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            path = Path(dirpath) / name
            found[str(path.relative_to(root))] = (
                os.readlink(path) if path.is_symlink() else
                path.read_bytes() if path.is_file() else "folder")
    return found


# What another account plants in a lab folder it made first: the lock a link to a file of
# root's, the template's drives and C: links to a folder of root's.
PLANT = r"""
import os, sys
lab, victim, victim_folder = sys.argv[1:4]
os.makedirs(lab + "/templates/win64", exist_ok=True)
os.makedirs(lab + "/scenarios", exist_ok=True)
os.symlink(victim, lab + "/templates/.win64.lock")
os.symlink(victim_folder, lab + "/templates/win64/dosdevices")
os.symlink(victim_folder, lab + "/templates/win64/drive_c")
open(lab + "/templates/win64/system.reg", "w").write("WINE REGISTRY Version 2")
"""


class ThePrefixView(unittest.TestCase):
    def test_two_sandboxes_over_one_template_change_only_their_own_view(self):
        """Two sandboxes at once over one template: inside, each prefix shows the template
        without the drives that map the host, takes writes, removals and appends, and hides
        the layers; outside, each view shows its own changes only, and the template is as it
        was."""
        base = Path(tempfile.mkdtemp(prefix="trialbox-template-", dir="/var/tmp"))
        self.addCleanup(shutil.rmtree, base, True)
        os.chmod(base, 0o755)
        template = base / "template"
        (template / "dosdevices").mkdir(parents=True)
        (template / "drive_c" / "windows").mkdir(parents=True)
        (template / "drive_c" / "windows" / "win.ini").write_text("[windows]\n")
        (template / "system.reg").write_text("REG\n")
        os.symlink("../drive_c", template / "dosdevices" / "c:")
        os.symlink("/", template / "dosdevices" / "z:")
        for dirpath, dirnames, filenames in os.walk(template):
            for name in [None] + dirnames + filenames:
                trialbox.own(os.path.join(dirpath, name) if name else dirpath)
        before = tree_of(template)
        windows = "/trial/prefix/drive_c/windows"
        boxes = {}
        for token in ("one", "two"):
            work = work_folder(self)
            trialbox.make_layers(work)
            box = trialbox.Sandbox(work, template=template)
            self.addCleanup(box.close)
            boxes[token] = (box, work)
            script = (f"test ! -e {windows}/twin.txt && echo {token} > {windows}/twin.txt && "
                      f"echo {token} >> /trial/prefix/system.reg && rm {windows}/win.ini && "
                      "ls -A /trial/layer && ls /trial/prefix/dosdevices")
            rc, out, err = box.run_captured(["sh", "-c", script], trialbox.sandbox_env(), 60,
                                            out="pipe", err="pipe")
            self.assertEqual((rc, out), (0, b"c:\n"), err)
        for token, (box, work) in boxes.items():
            view = box.view(work) / "prefix"
            self.assertEqual((view / "drive_c" / "windows" / "twin.txt").read_text(), f"{token}\n")
            self.assertEqual((view / "system.reg").read_text(), f"REG\n{token}\n")
            self.assertFalse((view / "drive_c" / "windows" / "win.ini").exists())
        self.assertEqual(tree_of(template), before)


class LabFolders(unittest.TestCase):
    def setUp(self):
        # Root's own files, which a planted link points at.
        self.root_files = Path(tempfile.mkdtemp(prefix="lab-folders-"))
        self.addCleanup(shutil.rmtree, self.root_files, True)
        self.victim = self.root_files / "shadow"
        self.victim.write_text("root:only\n")
        self.victim.chmod(0o600)
        self.victim_folder = self.root_files / "keep"
        self.victim_folder.mkdir()
        (self.victim_folder / "file.txt").write_text("kept")
        self.before = tree_of(self.root_files)

    def lab_of_another_account(self, pw, name):
        """A folder the account made in /var/tmp, with its links planted in name beneath."""
        taken = Path(as_account(pw, "import tempfile; print(tempfile.mkdtemp(dir='/var/tmp'))")
                     .stdout.decode().strip())
        self.addCleanup(subprocess.run, ["rm", "-rf", str(taken)], timeout=60)
        as_account(pw, "import os, sys; os.chmod(sys.argv[1], 0o755)", taken)
        as_account(pw, PLANT, taken / name, self.victim, self.victim_folder)
        return taken

    def use_lab(self, work, cache):
        """What root's next trial does first: the lab's folder found, the template ensured."""
        saved = winelab.WORK, winelab.ROOT_CACHE, winelab._lab, winelab.reaches
        winelab.WORK, winelab.ROOT_CACHE, winelab._lab = Path(work), Path(cache), None
        winelab.reaches = lambda path: False
        try:
            winelab.ensure_template("win64")
        finally:
            winelab.WORK, winelab.ROOT_CACHE, winelab._lab, winelab.reaches = saved

    def test_a_lab_folder_another_account_made_first_is_refused_and_left_alone(self):
        pw = intruder(self)
        own_work = self.root_files / "work"
        own_work.mkdir()
        self.before = tree_of(self.root_files)
        digest = winelab.hashlib.sha1(str(own_work).encode()).hexdigest()[:12]
        cases = (
            # LAUNCHER_E2E_WORK names a folder the account made.
            ("work", lambda t: (t / "lab", self.root_files / "cache"), "belongs to"),
            # Root's cache itself made by the account (in a folder of theirs).
            ("cache", lambda t: (own_work, t / "disckit"), "belongs to"),
            # The account's folder is reached through a link.
            ("link", lambda t: (self.link_to(t / "lab"), self.root_files / "cache"), "link"),
        )
        for name, where, why in cases:
            with self.subTest(name=name):
                planted = "lab" if name != "cache" else f"disckit/{digest}-0000000000000000"
                taken = self.lab_of_another_account(pw, planted)
                theirs = tree_of(taken)
                work, cache = where(taken)
                with self.assertRaisesRegex(winelab.UnsafeFolder, why) as refused:
                    self.use_lab(work, cache)
                self.assertNotIn("\n", str(refused.exception))
                self.assertEqual(tree_of(taken), theirs)
                self.assertEqual(tree_of(self.root_files), self.before)
                self.assertEqual(self.victim.stat().st_mode & 0o7777, 0o600)

    def link_to(self, target):
        link = self.root_files / "link"
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(target, link)
        self.before = tree_of(self.root_files)
        return link

    @unittest.skipUnless(os.geteuid() == 0, "root's lab is root's")
    def test_root_s_lab_is_its_own_and_nobody_else_lists_it(self):
        # Made 0711 when missing, under a name nobody else can guess; found again.
        cache = self.root_files / "cache"
        work = self.root_files / "work"
        first = winelab.find_lab(work, cache, lambda path: False)
        self.assertEqual(winelab.find_lab(work, cache, lambda path: False), first)
        self.assertNotEqual(winelab.find_lab(self.root_files / "other", cache,
                                             lambda path: False).parent / "x", first / "x")
        self.assertRegex(first.name, r"^[0-9a-f]{12}-[0-9a-f]{16}$")
        for folder in (cache, first, first / "templates", first / "scenarios"):
            st = folder.stat()
            self.assertEqual((st.st_uid, st.st_mode & 0o7777), (os.geteuid(), 0o711), folder)
        # A folder where the account reaches: itself.
        self.assertEqual(winelab.find_lab(work, cache, lambda path: True), work)

    @unittest.skipUnless(os.geteuid() == 0, "root's lab is root's")
    def test_programs_that_ask_at_once_find_one_lab(self):
        from concurrent.futures import ThreadPoolExecutor
        cache = self.root_files / "cache"
        start = threading.Barrier(8)

        def ask(_):
            start.wait()
            return winelab.find_lab(self.root_files / "work", cache, lambda path: False)
        with ThreadPoolExecutor(8) as pool:
            labs = set(pool.map(ask, range(8)))
        self.assertEqual(len(labs), 1, labs)

    @unittest.skipUnless(os.geteuid() == 0, "root's lab is root's")
    def test_root_s_cache_with_another_owner_or_mode_is_refused(self):
        cases = [("writable", 0o777, None, "writable by other accounts"),
                 ("listable", 0o755, None, "mode 0755, not 0711"),
                 ("theirs", 0o711, intruder(self).pw_uid, "belongs to")]
        for name, mode, owner, why in cases:
            with self.subTest(name=name):
                cache = self.root_files / name
                cache.mkdir()
                cache.chmod(mode)
                if owner is not None:
                    os.chown(cache, owner, -1)
                with self.assertRaisesRegex(winelab.UnsafeFolder, why):
                    winelab.find_lab(self.root_files / "work", cache, lambda path: False)
                self.assertEqual(os.listdir(cache), [])

    def test_the_user_s_cache_must_be_theirs_and_writable_by_no_one_else(self):
        base = Path(tempfile.mkdtemp(prefix="user-cache-", dir="/var/tmp"))
        self.addCleanup(shutil.rmtree, base, True)
        cases = [  # (name, what to do to the cache folder, why it is refused or None)
            ("new", lambda c: None, None),
            ("mine", lambda c: c.mkdir(mode=0o700), None),
            ("writable", lambda c: (c.mkdir(), c.chmod(0o777)), "writable by other accounts"),
            ("group-writable", lambda c: (c.mkdir(), c.chmod(0o770)), "writable by other"),
            ("above-writable", lambda c: c.parent.chmod(0o777), "writable by other accounts"),
            ("link", lambda c: (self.victim_folder.parent.joinpath("mine").mkdir(),
                                os.symlink(self.victim_folder.parent / "mine", c)), "link"),
            ("templates-writable", lambda c: (c.mkdir(mode=0o700), (c / "templates").mkdir(),
                                              (c / "templates").chmod(0o777)), "writable"),
        ]
        if os.geteuid() == 0:
            uid = intruder(self).pw_uid
            cases.append(("theirs", lambda c: (c.mkdir(mode=0o700), os.chown(c, uid, -1)),
                          "belongs to"))
        for name, change, why in cases:
            with self.subTest(name=name):
                home = base / name
                home.mkdir(mode=0o700)
                change(home / "disckit")
                os.environ["XDG_CACHE_HOME"] = str(home)
                try:
                    if why is None:
                        self.assertEqual(trialbox.own_cache(winelab), home / "disckit")
                        self.assertEqual((home / "disckit").stat().st_mode & 0o777, 0o700)
                        continue
                    with self.assertRaisesRegex(winelab.UnsafeFolder, why):
                        trialbox.ensure_own_template(trialbox.own_cache(winelab) / "templates",
                                                     "win64", winelab)
                finally:
                    del os.environ["XDG_CACHE_HOME"]
                self.assertFalse((home / "disckit" / "templates" / ".win64.lock").exists())


# --- Pressing a disc's folder ---------------------------------------------------------------------

# Renames a link to the secret over the page, and the page back, over and over (bounded).
RACER = r"""
import os, sys
page, secret = sys.argv[1:3]
for i in range(20_000_000):
    os.symlink(secret, page + ".link")
    os.rename(page + ".link", page)
    with open(page + ".page", "w") as f:
        f.write("<p>page</p>")
    os.rename(page + ".page", page)
"""
MAKE_DISC = r"""
import os, sys, tempfile
disc = tempfile.mkdtemp(dir="/var/tmp")
os.chmod(disc, 0o755)
os.makedirs(disc + "/lang/Eng")
for name in ("Start.exe", "lang/Eng/leak.htm", "lang/Eng/Welcome.htm"):
    with open(disc + "/" + name, "w") as f:
        f.write("MZ" if name.endswith(".exe") else "<p>page</p>")
print(disc)
"""


class PressingAFolder(unittest.TestCase):
    def setUp(self):
        self.secrets = Path(tempfile.mkdtemp(prefix="root-only-"))
        self.addCleanup(shutil.rmtree, self.secrets, True)
        self.token = f"ROOT-ONLY-{os.getpid()}-{time.time_ns()}"
        self.secret = self.secrets / "shadow"
        self.secret.write_text(self.token)
        self.secret.chmod(0o600)
        self.pw = intruder(self) if os.geteuid() == 0 else pwd.getpwuid(os.getuid())
        if os.geteuid() == 0:
            self.disc = Path(as_account(self.pw, MAKE_DISC).stdout.decode().strip())
        else:
            self.disc = Path(subprocess.run(["python3", "-c", MAKE_DISC], check=True,
                                            capture_output=True).stdout.decode().strip())
        self.addCleanup(subprocess.run, ["rm", "-rf", str(self.disc)], timeout=60)

    def test_a_link_renamed_over_a_page_during_the_press_never_brings_the_secret(self):
        work = work_folder(self)
        page = self.disc / "lang" / "Eng" / "leak.htm"
        if os.geteuid() == 0:
            racer = as_account(self.pw, RACER, page, self.secret, wait=False)
        else:
            racer = subprocess.Popen(["python3", "-c", RACER, str(page), str(self.secret)])
        try:
            for round in range(40):
                trialbox.copy_disc_folder(self.disc, work, f"copy-{round}")
                for name, data in tree_of(work / f"copy-{round}").items():
                    self.assertNotIn(self.token.encode(), data if isinstance(data, bytes)
                                     else data.encode(), name)
            for round in range(3):
                image, _ = trialbox.press_folder(work, self.disc, "RACE")
                self.assertNotIn(self.token.encode(), image.read_bytes())
                image.unlink()
            self.assertIsNone(racer.poll(), "the renames ended before the presses did")
        finally:
            racer.kill()
            racer.wait()

    def test_links_fifos_and_files_their_owner_cannot_read_are_left_out_with_a_note(self):
        work = work_folder(self)
        plant = ("import os, sys; d = sys.argv[1]; os.symlink('/etc/passwd', d + '/outside'); "
                 "os.symlink('Start.exe', d + '/inside'); os.symlink('lang', d + '/folder'); "
                 "os.mkfifo(d + '/fifo')")
        if os.geteuid() == 0:
            as_account(self.pw, plant, self.disc)
            # As a link made before protected hard links, or a file root left there: not the
            # folder's owner's to read.
            shutil.copyfile(self.secret, self.disc / "root-only.txt")
            os.chmod(self.disc / "root-only.txt", 0o600)
        else:
            subprocess.run(["python3", "-c", plant, str(self.disc)], check=True)
        notes = trialbox.copy_disc_folder(self.disc, work, "copy")
        self.assertEqual(sorted(tree_of(work / "copy")),
                         ["Start.exe", "lang", "lang/Eng", "lang/Eng/Welcome.htm",
                          "lang/Eng/leak.htm"])
        text = "\n".join(notes)
        for expected in ("outside: a link", "inside: a link", "folder: a link",
                         "fifo: not a regular file or a folder"):
            self.assertIn(expected, text)
        if os.geteuid() == 0:
            self.assertIn(f"root-only.txt: not readable by uid {self.pw.pw_uid}", text)
            for path in (work / "copy").rglob("*"):
                self.assertEqual(path.stat().st_uid, trialbox._account.pw_uid, path)

    def test_a_folder_over_the_bounds_is_refused_before_anything_is_written(self):
        work = work_folder(self)
        grow = ("import sys; f = open(sys.argv[1] + '/zeros.bin', 'wb'); "
                "f.truncate(int(sys.argv[2]))")
        many = ("import os, sys; [open(f'{sys.argv[1]}/f{i}.txt', 'w').close() "
                "for i in range(int(sys.argv[2]))]")
        entries = trialbox.DISC_ENTRIES
        self.addCleanup(setattr, trialbox, "DISC_ENTRIES", entries)
        trialbox.DISC_ENTRIES = 50
        for name, script, value, why in (("sparse", grow, (16 << 20) + 1, "more than the 16 MiB"),
                                          ("many", many, 50, "more than 50 files")):
            with self.subTest(name=name):
                if os.geteuid() == 0:
                    as_account(self.pw, script, self.disc, value)
                else:
                    subprocess.run(["python3", "-c", script, str(self.disc), str(value)],
                                   check=True)
                with self.assertRaisesRegex(trialbox.Hostile, why):
                    trialbox.press_folder(work, self.disc, "BIG", budget=16 << 20)
                self.assertEqual(os.listdir(work), [])
                if name == "sparse":
                    (self.disc / "zeros.bin").unlink()

    def test_an_image_is_copied_as_hostile_data_too(self):
        # What a trial of an image reads: a regular file that everyone who could have put it
        # there may read, no larger than the budget; a link, a FIFO or a secret never gets in.
        work = work_folder(self)
        place = ("import os, sys; d = sys.argv[1]; open(d + '/disc.img', 'wb').write(b'IMG' * 10); "
                 "os.symlink(sys.argv[2], d + '/link.iso'); os.mkfifo(d + '/fifo.iso'); "
                 "open(d + '/big.iso', 'wb').truncate((16 << 20) + 1)")
        if os.geteuid() == 0:
            as_account(self.pw, place, self.disc, self.secret)
            shutil.copyfile(self.secret, self.disc / "root-only.iso")
            os.chmod(self.disc / "root-only.iso", 0o600)
        else:
            subprocess.run(["python3", "-c", place, str(self.disc), str(self.secret)], check=True)
        image = trialbox.copy_disc_image(self.disc / "disc.img", work, "copied.iso")
        self.assertEqual(image.read_bytes(), b"IMG" * 10)
        cases = [("fifo.iso", "not a regular file"), ("big.iso", "more than the 16 MiB")]
        if os.geteuid() == 0:
            cases.append(("root-only.iso", f"not readable by uid {self.pw.pw_uid}"))
        for name, why in cases:
            with self.subTest(name=name):
                with self.assertRaisesRegex(trialbox.Hostile, why):
                    trialbox.copy_disc_image(self.disc / name, work, "refused.iso",
                                             budget=16 << 20)
                self.assertFalse(os.path.lexists(work / "refused.iso"))
        # A link is followed for whoever made it, and read with their rights: run by root, a link
        # the other account planted never leads to root's secret.
        if os.geteuid() == 0:
            with self.assertRaisesRegex(trialbox.Hostile, f"not readable by uid {self.pw.pw_uid}"):
                trialbox.copy_disc_image(self.disc / "link.iso", work, "linked.iso")
            self.assertFalse(os.path.lexists(work / "linked.iso"))
        else:
            linked = trialbox.copy_disc_image(self.disc / "link.iso", work, "linked.iso")
            self.assertEqual(linked.read_bytes(), self.token.encode())
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
    "ptrace(PTRACE_PEEKDATA, itself)": call(101, 2, os.getpid(), 0, 0),
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

# Attaches to its parent (the sandbox's agent) and opens its memory: what the kernel answers.
ATTACH_PARENT = r"""
import ctypes, errno, os
libc = ctypes.CDLL(None, use_errno=True)
ctypes.set_errno(0)
rc = libc.syscall(101, 16, os.getppid(), 0, 0)
print("ok" if rc == 0 else errno.errorcode.get(ctypes.get_errno()), end=" ")
try:
    os.close(os.open(f"/proc/{os.getppid()}/mem", os.O_RDONLY))
    print("ok")
except OSError as failed:
    print(errno.errorcode.get(failed.errno))
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
        # Wine's server reads other processes' memory through ptrace (the kernel answers here:
        # the caller traces nothing).
        allowed = {"fork": "ok", "getpid": "ok", "clone3": "ENOSYS",
                   "ptrace(PTRACE_PEEKDATA, itself)": "ESRCH"}
        self.assertEqual(got, {name: allowed.get(name, "EPERM") for name in got})

    def test_the_agent_cannot_be_traced_by_what_it_runs(self):
        work = work_folder(self)
        box = trialbox.Sandbox(work)
        try:
            rc, out, _ = box.run_captured(["python3", "-c", ATTACH_PARENT], trialbox.sandbox_env(),
                                          120, out="pipe", err="pipe")
            self.assertEqual((rc, out.decode().split()), (0, ["EPERM", "EACCES"]))
        finally:
            box.close()

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
            self.assertTrue(machine.wait(
                lambda: "sleep" in [name for _, _, name, _ in box.processes()], 30))
            names = [name for _, _, name, _ in box.processes()]
            self.assertNotIn("python3", names)  # the agent leaves itself out
            box.stop_all()
            self.assertTrue(machine.wait(lambda: box.poll(n)[0] is not None, 30))
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
