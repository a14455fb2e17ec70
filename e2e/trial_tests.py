#!/usr/bin/env python3
"""End-to-end tests of `disckit trial`: the native disckit runs discs under Wine with the lab,
and each test checks the report's JSON.

One test each, run by harness.py.

Every wait is the trial's own, bounded and ended by events: a launcher that keeps starting the
browser is stopped once it has started it --max-starts times, however slowly this machine starts
programs, and the time bound is generous (the lab's PATIENCE). Only the test of the time bound
itself uses a short one, and checks nothing that depends on how far the launcher got.
"""

import base64
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

import labpath  # noqa: F401 (the lab and the trial's driver)
import machine
import trialbox
import winelab
from scenarios import REFUSAL, check, equal

DISCKIT = Path(os.environ.get("LAUNCHER_NATIVE_DISCKIT",
                              winelab.ROOT / "build" / "native" / "disckit")).resolve()
HANDOVER = winelab.TOOLS / "PanoviewHandover.exe"
INTRUDER = winelab.TOOLS / "Intruder.exe"
FAKE_LIST = winelab.TOOLS / "FakeList.exe"
SCRIBBLER = winelab.TOOLS / "Scribbler.exe"
TWIN = winelab.TOOLS / "Twin.exe"
# The registry files Wine rewrites in place: compared byte for byte.
REGISTRY_FILES = ("system.reg", "user.reg", "userdef.reg")
BROWSER_COMMAND = 'Panoview.exe "D:\\lang\\Eng\\Welcome.htm'
PNG = b"\x89PNG\r\n\x1a\n"


def folder(name):
    path = winelab.WORK / "trial-tests" / name
    if path.exists():
        shutil.rmtree(path)
    path.mkdir(parents=True)
    # No other account can enter it, as a folder made by mktemp -d: what the trial's
    # unprivileged side needs of a disc there, it gets without the folder being opened up.
    path.chmod(0o700)
    return path


def disc_copy(name, change):
    """A copy of the sample disc's folder, changed by change(path)."""
    disc = folder(name) / "disc"
    shutil.copytree(winelab.DISC, disc)
    change(disc)
    return disc


def trial(name, disc, *options, timeout=winelab.PATIENCE):
    """Runs disckit trial --json: (exit code, report, seconds it took). Checks that it left
    nothing behind: its folder is gone and no process it started runs."""
    return trial_ended(*trial_started(name, disc, *options, timeout=timeout))


def trial_started(name, disc, *options, timeout=winelab.PATIENCE):
    """Starts disckit trial --json: (its process, its folder, when it started, its time bound)."""
    shots = winelab.WORK / "trial-tests" / name / "shots"
    # --out must be a new or an empty folder: a run before this one left its screenshots.
    if shots.exists():
        shutil.rmtree(shots)
    command = [str(DISCKIT), "trial", str(disc), "--json", "--out", str(shots),
               "--timeout", str(int(timeout)), *options]
    print(" ".join(command))
    started = time.monotonic()
    # disckit hands over to the driver in the same process: its id names the trial's prefix.
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return proc, winelab.lab() / "scenarios" / f"trial-{proc.pid}", started, timeout


def trial_ended(proc, work, started, timeout):
    """What trial returns, for a trial that trial_started started."""
    out, err = proc.communicate(timeout=timeout + 2 * winelab.PATIENCE)
    took = time.monotonic() - started
    sys.stdout.write(err.decode("utf-8", "replace"))
    check(proc.returncode in (0, 1), f"disckit trial could not run (exit {proc.returncode})")
    report = json.loads(out.decode("utf-8"))
    check(not work.exists(), f"the trial's folder {work} is still there")
    check(not processes_in(work), f"processes of {work} still run: {processes_in(work)}")
    print(f"exit {proc.returncode} after {took:.1f} s: {report['outcome']}")
    return proc.returncode, report, took


def template_listing(template):
    """Every entry of a template prefix with its type, mode, owner, size, time and inode (a
    link's target), and the registry files' bytes: what a trial must never change."""
    listing = {}
    for dirpath, dirnames, filenames in os.walk(template):
        for name in dirnames + filenames:
            path = Path(dirpath) / name
            st = path.lstat()
            listing[str(path.relative_to(template))] = (
                st.st_mode, st.st_uid, st.st_gid, st.st_size, st.st_mtime_ns, st.st_ino,
                os.readlink(path) if path.is_symlink() else None)
    for name in REGISTRY_FILES:
        listing[f"{name} bytes"] = (template / name).read_bytes()
    return listing


def processes_in(work):
    """Ids of the processes whose environment names this trial's folder (everything the trial
    starts in its sandbox)."""
    return processes_with(f"{trialbox.MARK}={work}".encode(), "environ")


def processes_with(needle, what="cmdline"):
    found = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            if needle in (entry / what).read_bytes().split(b"\0"):
                found.append(int(entry.name))
        except OSError:
            pass
    return found


def starts(report, by=None, program=None):
    return [e for e in report["events"] if e["kind"] == "start"
            and (by is None or e["by"] == by) and (program is None or e["program"] == program)]


def check_png(path, what):
    check(path and Path(path).is_file(), f"{what}: no screenshot at {path}")
    check(Path(path).read_bytes()[:8] == PNG, f"{what}: {path} is not a PNG image")


def image_mean(path, region=None):
    """The mean brightness (0 to 1) of a PNG image, or of a region of it ("WxH+X+Y")."""
    crop = ["-crop", region, "+repage"] if region else []
    return float(subprocess.run(["convert", str(path), *crop, "-format", "%[fx:mean]", "info:"],
                                capture_output=True, text=True, check=True, timeout=60).stdout)


def check_box_shot(path, notes):
    """A box's screenshot is cut to its window: about the size of a message box, not the
    screen, with the frame and title bar Windows draws (its top rows unlike the box's body)."""
    check_png(path, "the box")
    size = subprocess.run(["identify", "-format", "%w %h", str(path)], capture_output=True,
                          text=True, check=True, timeout=60).stdout.split()
    width, height = int(size[0]), int(size[1])
    check(100 <= width <= 900 and 50 <= height <= 500,
          f"{path} is {width}x{height}: not the size of a message box")
    check(not [n for n in notes if "whole screen" in n], f"a box shown on the whole screen: {notes}")
    # Below the frame, the title bar: its rows are of the caption's colour, the body's of the
    # dialog's (light grey, with dark text and a button on it).
    title = image_mean(path, f"{width - 8}x8+4+5")
    body = image_mean(path, f"{width}x{height // 2}+0+{height // 2}")
    check(abs(title - body) > 0.1,
          f"{path}: no title bar (top rows {title:.2f}, body {body:.2f} bright)")


def check_loop(report):
    """A launcher that keeps starting the browser, stopped once it had started it as often as
    --max-starts allows (4 here), long before the time bound."""
    o, launcher, browser = report["outcome"], report["launcher"], report["browser"]
    check(not [p for p in report["running"] if p["name"] == "Start.exe"],
          f"the launcher still ran after it was stopped: {report['running']}")
    equal(o["result"], "keeps-starting-browser", "result")
    equal((launcher["ended"], launcher["stoppedBecause"]), (False, "loop"), "launcher stopped")
    equal(browser["startsByLauncher"], 4, "browser starts by the launcher")
    equal(browser["commandLines"], [BROWSER_COMMAND], "browser command lines")
    equal(browser["running"], False, "a process PANOVIEW.EXE at the end")
    check(any(f.startswith("the launcher keeps starting the browser: 4 starts in ")
              for f in o["faults"]), f"no loop among the faults: {o['faults']}")
    check(launcher["seconds"] < winelab.PATIENCE, f"stopped only after {launcher['seconds']} s")
    check_png(report["screenshotAfterRun"], "after the run")


# --- Tests ------------------------------------------------------------------------------------

def setUpModule():
    reason = winelab.can_run_wine()
    if not reason and not DISCKIT.exists():
        reason = f"{DISCKIT} is not built (cmake --preset native && cmake --build --preset native)"
    for tool in (HANDOVER, INTRUDER, FAKE_LIST, SCRIBBLER, TWIN):
        if not reason and not tool.exists():
            reason = f"{tool} is not built (cmake --build --preset win32)"
    if not reason:
        reason = trialbox.bwrap_usable()
    if reason:
        raise unittest.SkipTest(reason)


def patch_header(path, offset, value):
    """Sets a 16-bit field of a program image's headers, offset counted from its PE signature."""
    data = bytearray(path.read_bytes())
    at = int.from_bytes(data[0x3C:0x40], "little") + offset
    data[at:at + 2] = value.to_bytes(2, "little")
    path.write_bytes(bytes(data))


# Faulty copies of the sample disc: the change, the error check reports, and a fault the trial
# itself sees (None: only check's error tells).
FAULTY_DISCS = [
    ("missing_page", lambda d: (d / "lang" / "Eng" / "Welcome.htm").unlink(),
     "default-start-page-missing", "the browser's start page D:\\lang\\Eng\\Welcome.htm is not there"),
    ("browser_64bit", lambda d: patch_header(d / "Panoview.exe", 4, 0x8664),
     "browser-not-x86-32", "the launcher keeps starting the browser"),
    ("console_browser", lambda d: patch_header(d / "Panoview.exe", 4 + 20 + 68, 3),
     "browser-not-gui", None),
    ("control_cannot_load", lambda d: patch_header(d / "Discpane.ocx", 4, 0x01C4),
     "control-not-x86-32", None),
]

# What a disc's program writes to forge the records the verdict was read from: the lab's
# ProcList.exe (in C:\\lab and in the copy beside the prefix), the box log, WaitReady's answer
# and Wine's trace where they were files; what it could write goes into C:\\windows\\forged.txt.
FORGE = r"""w=/trial/prefix/drive_c/windows/forged.txt
lab=/trial/prefix/drive_c/lab
for t in $lab/ProcList.exe /trial/lab/ProcList.exe $lab/boxes.log; do
  if cp /trial/disc/FakeList.exe "$t" 2>/dev/null; then r=written; else r=refused; fi
  echo "$r $t" >> $w
done
printf '1500\tStart.exe\tbox\tFORGED\037A box that never was\03700d0\t1\t0\t0\t\r\n' >> $lab/boxes.log
printf 'process\t120\tready\nwindow\t120\tForged\tFORGED\n' > /trial/ready.txt
printf '0.000:0020:0024:trace:process:CreateProcessInternalW app L"D:\\\\Panoview.exe" cmdline L"FORGED"\n' >> /trial/trace.txt
"""

def cmdline(pid):
    try:
        return (Path("/proc") / str(pid) / "cmdline").read_bytes().split(b"\0")
    except OSError:
        return []


class TrialTests(unittest.TestCase):
    """Each test runs disckit trial on a disc and checks its report."""

    def test_native32_sees_the_browser(self):
        """Windows 7 without WOW64, where the launcher lists the processes through their modules,
        whose names Wine's server reads from each process's memory: the browser is seen once
        started, as simulate predicts."""
        rc, r, _ = trial("native32", winelab.DISC_IMAGE, "--system", "7")
        equal((r["system"]["prefix"], r["system"]["reported"]["bits"]), ("win32", 32),
              "a 32-bit Windows without WOW64")
        predicted = json.loads(subprocess.run(
            [str(DISCKIT), "simulate", str(winelab.DISC_IMAGE), "--system", "7", "--json"],
            capture_output=True, check=True, timeout=120).stdout)["outcome"]["result"]
        equal((r["outcome"]["result"], predicted), ("browser-running", "browser-running"),
              "the trial's outcome and simulate's")
        b = r["browser"]
        equal((b["startsByLauncher"], b["running"]), (1, True), "browser started once, running")
        equal((r["launcher"]["ended"], r["launcher"]["exitCode"]), (True, 0), "launcher's end")
        equal(rc, 0, "exit code")

    def test_sample_disc(self):
        """The sample disc's image: the browser runs, and the report names its exact command line,
        the hand-off files, the registration and the screenshot."""
        rc, r, _ = trial("sample_disc", winelab.DISC_IMAGE)
        equal(rc, 0, "exit code")
        equal(r["outcome"], {"result": "browser-running", "faults": [], "expected": "browser-running",
                              "expectedBy": "the launcher's gate", "asExpected": True, "exitCode": 0}, "outcome")
        equal(r["system"]["reported"], {"platformId": 2, "major": 6, "minor": 1, "build": 7601,
                                        "productType": 1, "bits": 64, "extendedQuery": True},
              "what the launcher was told (7-x64)")
        equal((r["launcher"]["ended"], r["launcher"]["exitCode"]), (True, 0), "launcher's end")
        b = r["browser"]
        equal((b["starts"], b["commandLines"], b["running"]), (1, [BROWSER_COMMAND], True), "browser")
        equal([p["name"] for p in b["runningAs"]], ["Panoview.exe"], "running as")
        launched = [(e["program"], e["commandLine"], e["state"]) for e in starts(r, by="Start.exe")]
        equal(launched, [("C:\\windows\\system32\\regsvr32.exe", 'regsvr32 /s "D:\\Discpane.ocx"',
                          "started"),
                         ("C:\\windows\\system32\\regsvr32.exe", 'regsvr32 /s "D:\\Gauge.ocx"',
                          "started"),
                         ("D:\\Panoview.exe", BROWSER_COMMAND, "started")],
              "what the launcher started, in order")
        loads = sorted((e["by"], e["path"]) for e in r["events"] if e["kind"] == "load")
        equal(loads, [("Start.exe", "D:\\qzm.dll"), ("regsvr32.exe", "D:\\Discpane.ocx"),
                      ("regsvr32.exe", "D:\\Gauge.ocx")], "libraries of the disc loaded")
        files = {c["path"]: c for c in r["windowsDirectory"]}
        equal(sorted(files), ["C:\\windows\\Handoff.exe", "C:\\windows\\Handoff.ini"],
              "files written to the Windows directory")
        equal(files["C:\\windows\\Handoff.exe"].get("copyOf"), "D:\\Handoff.exe", "Handoff.exe")
        equal(files["C:\\windows\\Handoff.ini"].get("text"), "D:\\Start.exe", "Handoff.ini")
        check(not any(c["readOnly"] for c in files.values()), f"read-only hand-off files: {files}")
        keys = [k["key"] for k in r["registry"]["added"]]
        check(any(k.endswith(f"\\CLSID\\{winelab.control_clsid()}") for k in keys),
              f"the controls' class key did not appear: {keys}")
        equal(r["boxes"], [], "boxes")
        check_png(r["screenshotAfterRun"], "after the run")
        check(any(w["process"] == "Panoview.exe" for w in r["windows"]),
              f"no window of the browser on the screen: {r['windows']}")

    def test_sample_disc_unprivileged(self):
        """The sample disc tried by an ordinary account that cannot become root (the lab's): the
        trial needs no root, and makes and keeps a template prefix of the account's own."""
        pw = winelab.account()
        env = {"PATH": "/usr/bin:/bin", "HOME": pw.pw_dir, "USER": pw.pw_name,
               "LOGNAME": pw.pw_name, "LAUNCHER_E2E_PATIENCE": str(winelab.PATIENCE)}
        # As such a user has it: disckit installed (cmake --install) where every account may read it,
        # with the image beside it; the checkout may be closed to the account (a clone under /root or
        # in a mode-700 folder), and no folder of it is opened up.
        out = Path(tempfile.mkdtemp(prefix="trial-unprivileged-", dir="/var/tmp"))
        try:
            out.chmod(0o755)
            prefix = out / "usr"
            subprocess.run(["cmake", "--install", str(DISCKIT.parent), "--prefix", str(prefix)],
                           check=True, timeout=300, capture_output=True)
            image = out / "disc.iso"
            shutil.copyfile(winelab.DISC_IMAGE, image)
            (out / "shots").mkdir()
            os.chown(out / "shots", pw.pw_uid, pw.pw_gid)
            shots = out / "shots" / "trial"
            command = [str(prefix / "bin" / "disckit"), "trial", str(image), "--json", "--out",
                       str(shots)]
            print(" ".join(command))
            proc = subprocess.run(command, capture_output=True, user=pw.pw_uid, group=pw.pw_gid,
                                  extra_groups=[], env=env, cwd="/", timeout=4 * winelab.PATIENCE)
            sys.stdout.write(proc.stderr.decode("utf-8", "replace"))
            equal(proc.returncode, 0, "exit code")
            r = json.loads(proc.stdout)
            equal(r["outcome"], {"result": "browser-running", "faults": [], "expected": "browser-running",
                              "expectedBy": "the launcher's gate", "asExpected": True, "exitCode": 0}, "outcome")
            equal(r["account"], pw.pw_name, "the account the disc ran under")
            check_png(r["screenshotAfterRun"], "after the run")
            equal(Path(r["screenshotAfterRun"]).stat().st_uid, pw.pw_uid, "the screenshot's owner")

            # Without --out: nothing left in the temporary folder, the screenshots inside the
            # reports only, and each long step said on stderr (not a terminal: a line each).
            temp = out / "tmp"
            temp.mkdir()
            os.chown(temp, pw.pw_uid, pw.pw_gid)
            (out / "reports").mkdir()
            os.chown(out / "reports", pw.pw_uid, pw.pw_gid)
            page = out / "reports" / "trial.html"
            command = [str(prefix / "bin" / "disckit"), "trial", str(image), "--json", "--html",
                       str(page)]
            print(" ".join(command), f"with TMPDIR={temp}")
            proc = subprocess.run(command, capture_output=True, user=pw.pw_uid, group=pw.pw_gid,
                                  extra_groups=[], env=dict(env, TMPDIR=str(temp)), cwd="/",
                                  timeout=4 * winelab.PATIENCE)
            err = proc.stderr.decode("utf-8", "replace")
            sys.stdout.write(err)
            equal(proc.returncode, 0, "exit code without --out")
            equal(os.listdir(temp), [], "what the trial left in the temporary folder")
            r = json.loads(proc.stdout)
            shot = r["screenshotAfterRun"]
            check(shot.startswith("data:image/png;base64,") and
                  base64.b64decode(shot.split(",", 1)[1]).startswith(b"\x89PNG\r\n\x1a\n"),
                  f"the screenshot is not inside the report: {shot[:80]}")
            equal(r["screenshots"], [shot], "the report's screenshots")
            check(shot in page.read_text(), "the HTML page does not hold the screenshot")
            steps = [line for line in err.splitlines() if line.startswith("disckit trial: ")]
            for said in ("copying the image", "starting Wine as Windows 7, 64-bit (7-x64)",
                         "running D:\\Start.exe", "waiting for the browser"):
                check(any(said in line for line in steps), f"stderr does not say {said!r}: {err}")
            check("\r" not in err and "\x1b" not in err, f"stderr is no terminal: {err!r}")

            # Its cache: tagged, and listed with the template this trial took.
            cache = Path(pw.pw_dir) / ".cache" / "disckit"
            check((cache / "CACHEDIR.TAG").read_bytes().startswith(
                b"Signature: 8a477f597d28d172789f06886806bc55\n"), "the cache's CACHEDIR.TAG")
            listed = subprocess.run([str(prefix / "bin" / "disckit"), "cache"], capture_output=True,
                                    text=True, user=pw.pw_uid, group=pw.pw_gid, extra_groups=[],
                                    env=env, cwd="/", timeout=300)
            print(listed.stdout)
            equal(listed.returncode, 0, "disckit cache's exit code")
            win64 = [line for line in listed.stdout.splitlines() if "templates/win64" in line]
            equal(len(win64), 1, f"the 64-bit template in the listing: {listed.stdout}")
            check(" GB, made " in win64[0] and "last used never" not in win64[0], win64[0])
        finally:
            shutil.rmtree(out)

    def test_cache_cleaned_by_its_user(self):
        """disckit cache --clean, installed, run by an ordinary account on a cache of its own
        (not the one its trials use): everything goes, a link inside removed as a link (the
        file it names kept), a folder without write permission emptied too; a template whose
        lock a trial holds is left, with exit code 1; a cache folder of another account is left
        alone with exit code 2."""
        import fcntl
        pw = winelab.account()
        out = Path(tempfile.mkdtemp(prefix="cache-clean-", dir="/var/tmp"))
        self.addCleanup(shutil.rmtree, out, True)
        out.chmod(0o755)
        prefix = out / "usr"
        subprocess.run(["cmake", "--install", str(DISCKIT.parent), "--prefix", str(prefix)],
                       check=True, timeout=300, capture_output=True)
        victim = out / "victim.txt"
        victim.write_text("kept")
        home = out / "home"
        cache = home / "disckit"
        for arch in ("win32", "win64"):
            (cache / "templates" / arch / "drive_c" / "windows").mkdir(parents=True)
            (cache / "templates" / arch / "system.reg").write_bytes(b"x" * 5000)
            (cache / "templates" / f".{arch}.lock").touch()
        (cache / "templates" / "win32" / "victim").symlink_to(victim)
        (cache / "CACHEDIR.TAG").write_text("Signature: 8a477f597d28d172789f06886806bc55\n")
        subprocess.run(["chown", "-hR", f"{pw.pw_uid}:{pw.pw_gid}", str(home)], check=True)
        (cache / "templates" / "win32" / "drive_c").chmod(0o500)
        env = {"PATH": "/usr/bin:/bin", "HOME": pw.pw_dir, "USER": pw.pw_name,
               "XDG_CACHE_HOME": str(home)}

        def disckit(*args):
            run = subprocess.run([str(prefix / "bin" / "disckit"), "cache", *args],
                                 capture_output=True, text=True, user=pw.pw_uid, group=pw.pw_gid,
                                 extra_groups=[], env=env, cwd="/", timeout=300)
            print(f"disckit cache {' '.join(args)}: exit {run.returncode}\n{run.stdout}{run.stderr}")
            return run

        listed = disckit()
        equal(listed.returncode, 0, "exit code of the listing")
        for template in ("templates/win32", "templates/win64"):
            check(any(line.strip().startswith(template) for line in listed.stdout.splitlines()),
                  f"{template} is not listed")
        # A trial holds the 64-bit template.
        lock = os.open(cache / "templates" / ".win64.lock", os.O_RDONLY)
        try:
            fcntl.flock(lock, fcntl.LOCK_SH)
            busy = disckit("--clean")
        finally:
            os.close(lock)
        equal(busy.returncode, 1, "exit code with a template in use")
        equal(busy.stderr, f"disckit cache: {cache}/templates/win64 is in use by a trial: left\n",
              "stderr with a template in use")
        equal(sorted(p.name for p in (cache / "templates").iterdir()), [".win64.lock", "win64"],
              "what is left beside the template in use")
        check(victim.read_text() == "kept", "the file a link named was touched")
        cleaned = disckit("--clean", "--quiet")
        equal((cleaned.returncode, cleaned.stdout, cleaned.stderr), (0, "", ""), "the second clean")
        check(not cache.exists(), "the cache is still there")
        equal(disckit().stdout, f"{cache}: nothing cached\n", "the listing of no cache")
        # Another account's folder where the cache would be.
        cache.mkdir()
        refused = disckit("--clean")
        equal(refused.returncode, 2, "exit code for another account's cache")
        equal(refused.stderr, f"disckit cache: {cache} is not this account's folder: left alone\n",
              "stderr for another account's cache")
        check(cache.is_dir(), "another account's cache was removed")

    def test_browser_hands_over(self):
        """A browser that starts its real viewer under another name and exits. Each browser's own
        start, a grandchild of the launcher, is in Wine's trace too.

        The launcher starts the browser without waiting for it and looks for PANOVIEW.EXE a
        second later. Whether the starter is gone by then is up to the machine (where 32-bit
        code is emulated, or under load, one Wine process takes longer than that to start and
        end): a launcher that sees it ends on its own, one that does not starts it again. So the
        outcome is read from the report, and each look from the events that bound it: the start
        before it, and the next start or the launcher's end after it."""
        def change(disc):
            shutil.copyfile(disc / "Panoview.exe", disc / "PanoviewMain.exe")
            shutil.copyfile(HANDOVER, disc / "Panoview.exe")
        rc, r, _ = trial("browser_hands_over", disc_copy("browser_hands_over", change),
                         "--max-starts", "4")
        equal(rc, 1, "exit code")
        mine = starts(r, by="Start.exe", program="D:\\Panoview.exe")
        check(mine, "the launcher never started the browser")
        looks = [e["seconds"] for e in mine[1:]]
        if r["launcher"]["ended"]:
            # It saw the starter at a look, and ended then, as with any browser it sees.
            check(len(mine) < 4, f"{len(mine)} starts, and then the launcher ended by itself")
            equal((r["launcher"]["exitCode"], r["outcome"]["result"]),
                  (0, "browser-not-running"), "the launcher's end, and the verdict")
            looks += [e["seconds"] for e in r["events"] if e["kind"] == "end"]
        else:
            # It never saw one: it kept starting the browser until the trial stopped it.
            check_loop(r)
        # The trace's times are in ms; the launcher's end is seen by polling, never earlier.
        gaps = [round(b - a, 3) for a, b in zip([e["seconds"] for e in mine], looks)]
        check(all(g >= 1.0 for g in gaps), f"looked for the browser less than a second after "
              f"starting it: {gaps}")
        # Each starter hands over (the last may have been cut short by the stop) and ends; the
        # viewers it starts stay.
        handed = [(e["commandLine"], e["state"]) for e in starts(r, by="Panoview.exe")]
        check(len(handed) >= len(mine) - 1 and handed, f"hand-overs seen: {handed}")
        equal(set(handed), {('"D:\\PanoviewMain.exe" "D:\\lang\\Eng\\Welcome.htm', "started")},
              "the browser's own starts")
        running = [p["name"] for p in r["running"]]
        check(running.count("PanoviewMain.exe") >= len(handed) and "Start.exe" not in running,
              f"running at the end: {running}")

    def test_browser_missing(self):
        """No browser on the disc: every start fails and the launcher keeps trying."""
        rc, r, _ = trial("browser_missing",
                         disc_copy("browser_missing", lambda disc: (disc / "Panoview.exe").unlink()),
                         "--max-starts", "4")
        equal(rc, 1, "exit code")
        check_loop(r)
        tried = starts(r, program="D:\\Panoview.exe")
        # The last start may still have been under way when the launcher was stopped.
        equal({(e["state"], e.get("why")) for e in tried[:-1]},
              {("failed", "the disc has no such file")}, "browser starts but the last")
        check(tried[-1]["state"] in ("failed", "unanswered"), f"last start: {tried[-1]}")

    def test_refused_system(self):
        """A system the launcher refuses (Vista, 64-bit): its box is in the report with a
        screenshot taken while it was up, before the watcher answered it."""
        rc, r, _ = trial("refused_system", winelab.DISC_IMAGE, "--system", "vista-x64")
        # The launcher's gate refuses the system by design: what was expected, so no failure.
        equal(rc, 0, "exit code")
        equal(r["outcome"]["result"], "refused", "result")
        equal((r["outcome"]["expected"], r["outcome"]["asExpected"]), ("refused", True), "expected")
        equal([(b["by"], b["caption"], b["text"]) for b in r["boxes"]],
              [("Start.exe", *REFUSAL)],
              "boxes")
        equal((r["launcher"]["ended"], r["launcher"]["exitCode"]), (True, 0), "launcher's end")
        equal(r["browser"]["starts"], 0, "browser starts")
        shot = r["boxes"][0]["screenshot"]
        check_box_shot(shot, r.get("notes", []))
        # Taken while the box was up: a black picture would mean it was gone.
        check(image_mean(shot) > 0, f"{shot} is all black: the box was not on the screen")
        # The whole screen once, at the end.
        equal(r["screenshots"], [shot, r["screenshotAfterRun"]], "screenshots")
        check_png(r["screenshotAfterRun"], "after the run")
        equal(subprocess.run(["identify", "-format", "%w %h", r["screenshotAfterRun"]],
                             capture_output=True, text=True, check=True, timeout=60).stdout,
              f"{trialbox.SCREEN[0]} {trialbox.SCREEN[1]}", "the screen after the run")

    def test_time_bound(self):
        """The time bound alone ends a trial: a launcher still running when it is up is stopped,
        whatever it had done by then, and nothing is left behind."""
        rc, r, took = trial("time_bound",
                            disc_copy("time_bound", lambda disc: (disc / "Panoview.exe").unlink()),
                            "--max-starts", "100000", timeout=5)
        equal(rc, 1, "exit code")
        launcher = r["launcher"]
        equal((launcher["ended"], launcher["stoppedBecause"]), (False, "time"), "launcher stopped")
        check(r["outcome"]["result"] in ("keeps-starting-browser", "did-not-end"),
              f"result: {r['outcome']}")
        check(5 <= launcher["seconds"] < 5 + winelab.PATIENCE,
              f"watched for {launcher['seconds']} s with a bound of 5 s")

    def test_hostile_disc(self):
        """A disc whose browser writes through Z:\\ and \\?\\unix\\, reads a host file, leaves a
        detached Unix process, forges the box log and plants links and a FIFO where the trial
        reads: nothing outside the sandbox changes or is read, nothing is left running, and the
        forged records stay within their bounds."""
        here = folder("hostile_disc")
        token = f"{os.getpid()}-{int(time.time())}"
        secret = here / "secret.txt"
        secret.write_text(f"SECRET-{token}\n")
        secret.chmod(0o644)
        marker = f"86399.{os.getpid() % 1000:03d}"
        host = str(here).replace("/", "\\")
        windows = "/trial/prefix/drive_c/windows"
        plant = (f"ln -sf {secret} {windows}/Handoff.ini; mkfifo {windows}/fifo.ini; "
                 f"ln -s /dev/zero {windows}/zero.ini; ln -s {secret} {windows}/link.ini; "
                 f"mkdir -p /trial/prefix/drive_c/lab-ack; ln -s {secret} /trial/prefix/drive_c/lab-ack/box-2")
        deeds = [f"write Z:\\tmp\\disckit-intruder-{token}",
                 f"write \\\\?\\unix\\tmp\\disckit-intruder-{token}-unix",
                 f"write Z:{host}\\z-written", f"write \\\\?\\unix{host}\\unix-written",
                 f"read Z:{host}\\secret.txt", f"read \\\\?\\unix{host}\\secret.txt",
                 f'run \\\\?\\unix\\bin\\sh -c "setsid sleep {marker} </dev/null >/dev/null 2>&1 &"',
                 f'run \\\\?\\unix\\bin\\sh -c "{plant}"',
                 "boxlog C:\\lab\\boxes.log 1000"]

        def change(disc):
            shutil.copyfile(INTRUDER, disc / "Panoview.exe")
            (disc / "intrude.txt").write_text("\r\n".join(deeds) + "\r\n")
        rc, r, _ = trial("hostile_disc", disc_copy("hostile_disc", change), "--max-starts", "2")
        text = json.dumps(r)
        written = [p for p in (Path(f"/tmp/disckit-intruder-{token}"),
                               Path(f"/tmp/disckit-intruder-{token}-unix"),
                               here / "z-written", here / "unix-written") if p.exists()]
        equal(written, [], "files the disc's program wrote on the host")
        check(f"SECRET-{token}" not in text, "the host file's text reached the report")
        equal(processes_with(marker.encode()), [],
              "the disc's detached Unix process still runs")
        # The box log it forged is not the watcher's: C:\\lab is read-only, and the records come
        # through the watcher's own pipe.
        equal(r["boxes"], [], "boxes")
        notes = " ".join(r.get("notes", []))
        check("box log" not in notes and "boxes" not in notes,
              f"the forged box log reached the report: {notes}")
        equal(rc, 1, "exit code")

    def test_forged_verdict(self):
        """A disc whose browser ends at once, after trying to forge each record the verdict is read
        from: every forgery fails or is not read, and the browser is not running at the end."""
        def change(disc):
            shutil.copyfile(INTRUDER, disc / "Panoview.exe")
            shutil.copyfile(FAKE_LIST, disc / "FakeList.exe")
            (disc / "forge.sh").write_text(FORGE)
            (disc / "intrude.txt").write_text("run \\\\?\\unix\\bin\\sh /trial/disc/forge.sh\r\n")
        rc, r, _ = trial("forged_verdict", disc_copy("forged_verdict", change), "--max-starts", "2")
        files = {c["path"]: c for c in r["windowsDirectory"]}
        equal(files.get("C:\\windows\\forged.txt", {}).get("text", "").split("\n")[:3],
              ["refused /trial/prefix/drive_c/lab/ProcList.exe", "refused /trial/lab/ProcList.exe",
               "refused /trial/prefix/drive_c/lab/boxes.log"], "what the forger could write")
        check("FORGED" not in json.dumps(r), "a forged record reached the report")
        equal(r["boxes"], [], "boxes")
        equal(r["browser"]["running"], False, "a process PANOVIEW.EXE at the end")
        check(r["outcome"]["result"] != "browser-running", f"result: {r['outcome']}")
        equal(rc, 1, "exit code")

    def test_lab_folder_taken(self):
        """Root's lab folder made first by another account, with links planted where the lab locks
        and copies its template: the trial is refused in one line (exit 2), and the file and
        folder the links point at are left as they were. The same for a user whose cache other
        accounts may write in."""
        from trialbox_test import PLANT, as_account, intruder, tree_of

        pw = intruder(self)
        here = folder("lab_folder_taken")
        victim, victim_folder = here / "shadow", here / "keep"
        victim.write_text("root:only\n")
        victim.chmod(0o600)
        victim_folder.mkdir()
        (victim_folder / "file.txt").write_text("kept")
        before = tree_of(here)
        taken = Path(as_account(pw, "import os, tempfile; d = tempfile.mkdtemp(dir='/var/tmp'); "
                                    "os.chmod(d, 0o755); print(d)").stdout.decode().strip())
        self.addCleanup(shutil.rmtree, taken, True)
        as_account(pw, PLANT, taken / "lab", victim, victim_folder)
        theirs = tree_of(taken)
        command = [str(DISCKIT), "trial", str(winelab.DISC_IMAGE), "--json", "--out",
                   str(here / "shots")]
        print(" ".join(command), f"with LAUNCHER_E2E_WORK={taken / 'lab'}")
        proc = subprocess.run(command, capture_output=True, timeout=winelab.PATIENCE,
                              env=dict(os.environ, LAUNCHER_E2E_WORK=str(taken / "lab")))
        err = proc.stderr.decode("utf-8", "replace")
        sys.stdout.write(err)
        equal(proc.returncode, 2, "exit code")
        equal(len(err.splitlines()), 1, "lines on stderr")
        check(err.startswith(f"disckit trial: {taken}") and "refused" in err, err)
        equal(tree_of(here), before, "root's file and folder")
        equal(tree_of(taken), theirs, "the other account's folder")
        check(not (here / "shots").exists(), "the trial made its screenshots' folder")

        # An ordinary account (the lab's) whose cache everybody may write in.
        lab = winelab.account()
        cache = Path(tempfile.mkdtemp(prefix="trial-cache-", dir="/var/tmp"))
        self.addCleanup(shutil.rmtree, cache, True)
        os.chown(cache, lab.pw_uid, lab.pw_gid)
        (cache / "disckit").mkdir(mode=0o777)
        (cache / "disckit").chmod(0o777)
        os.chown(cache / "disckit", lab.pw_uid, lab.pw_gid)
        env = {"PATH": "/usr/bin:/bin", "HOME": lab.pw_dir, "USER": lab.pw_name,
               "XDG_CACHE_HOME": str(cache)}
        # As such a user has it: disckit installed where the account may read it, the image
        # beside it (the checkout may be closed to the account).
        prefix = cache / "usr"
        subprocess.run(["cmake", "--install", str(DISCKIT.parent), "--prefix", str(prefix)],
                       check=True, timeout=300, capture_output=True)
        image = cache / "disc.iso"
        shutil.copyfile(winelab.DISC_IMAGE, image)
        proc = subprocess.run([str(prefix / "bin" / "disckit"), "trial", str(image), "--json"],
                              capture_output=True, user=lab.pw_uid, group=lab.pw_gid,
                              extra_groups=[], env=env, cwd="/", timeout=winelab.PATIENCE)
        err = proc.stderr.decode("utf-8", "replace")
        sys.stdout.write(err)
        equal(proc.returncode, 2, "exit code of the ordinary account's trial")
        equal(err, f"disckit trial: {cache}/disckit is writable by other accounts (mode 0777): "
                   "refused (never used or repaired)\n", "stderr")
        equal(os.listdir(cache / "disckit"), [], "the cache's files")

    def test_stopped_from_outside(self):
        """A trial stopped by a signal while the disc's launcher runs (SIGTERM here, as SIGHUP and
        Ctrl-C): exit code 2, its folder gone, nothing it started left running."""
        disc = disc_copy("stopped_from_outside", lambda disc: (disc / "Panoview.exe").unlink())
        command = [str(DISCKIT), "trial", str(disc), "--json", "--max-starts", "100000",
                   "--out", str(disc.parent / "shots"), "--timeout", str(int(winelab.PATIENCE))]
        print(" ".join(command))
        proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        work = winelab.lab() / "scenarios" / f"trial-{proc.pid}"
        try:
            def launcher_runs():
                return any(b"Start.exe" in arg for pid in processes_in(work)
                           for arg in cmdline(pid))
            check(machine.wait(launcher_runs, winelab.PATIENCE, 0.2),
                  "the disc's launcher never ran")
            proc.send_signal(signal.SIGTERM)
            _, err = proc.communicate(timeout=2 * winelab.PATIENCE)
        finally:
            if proc.poll() is None:
                proc.kill()
        sys.stdout.write(err.decode("utf-8", "replace"))
        equal(proc.returncode, 2, "exit code")
        check(not work.exists(), f"the trial's folder {work} is still there")
        check(not processes_in(work), f"processes of {work} still run: {processes_in(work)}")


    def test_template_unchanged(self):
        """A disc's program that writes a file into every folder of C: (the Windows directory's
        included), appends to a file in each and adds a registry key: the template the trial's
        prefix was a view of is as it was, entry for entry, and the next trial's prefix is the
        template again (the same program, run again, adds each file anew)."""
        template = winelab.template_dir("win64")
        before = template_listing(template)
        disc = disc_copy("template_unchanged",
                         lambda disc: shutil.copyfile(SCRIBBLER, disc / "Start.exe"))
        added = []
        for run in ("first", "next"):
            _, r, _ = trial("template_unchanged", disc)
            added.append(sorted(c["path"] for c in r["windowsDirectory"]
                                if c["path"].endswith("\\scribble.txt") and c["change"] == "added"))
            check(len(added[-1]) > 5, f"{run} run: the program wrote into "
                                      f"{len(added[-1])} folders of the Windows directory")
            changed = [c["path"] for c in r["windowsDirectory"] if c["change"] == "changed"]
            check(changed, f"{run} run: the program appended to no file of the Windows directory")
            equal(template_listing(template) == before, True,
                  f"the template is as it was after the {run} run")
        equal(added[1], added[0], "the files the next run added")

    def test_two_at_once(self):
        """Two trials at once, each disc's program writing its own token into the same file of
        the Windows directory and watching it while the other does the same: each finds no file
        there before it writes and its own token when it stops, and the template holds neither.
        Each program stops when the test puts D:\\stop.txt on its disc, once both have written."""
        template = winelab.template_dir("win64")
        twin = Path("drive_c") / "windows" / "twin.txt"
        runs = {}
        for name in ("twin_a", "twin_b"):
            def change(disc, name=name):
                shutil.copyfile(TWIN, disc / "Start.exe")
                (disc / "token.txt").write_text(name)
            # The bound only ends a trial whose program the test failed to stop.
            runs[name] = trial_started(name, disc_copy(name, change),
                                       timeout=4 * winelab.PATIENCE)
            self.addCleanup(lambda proc=runs[name][0]: proc.poll() is None and proc.terminate())
            work = runs[name][1]
            # Its program has written once its layer (what the trial changed) holds the file.
            check(machine.wait(lambda: (work / trialbox.LAYER / "upper" / twin).exists()
                                or runs[name][0].poll() is not None, 3 * winelab.PATIENCE),
                  f"{name}: its program never wrote {twin}")
        reports = {}
        for name in ("twin_b", "twin_a"):
            (runs[name][1] / "disc" / "stop.txt").write_text("stop")
            _, reports[name], _ = trial_ended(*runs[name])
        for name, r in reports.items():
            files = {c["path"]: c.get("text") for c in r["windowsDirectory"]}
            equal(files, {"C:\\windows\\twin.txt": name,
                          "C:\\windows\\twin-seen.txt": f"before=(none);after={name}"},
                  f"{name}: what its program wrote and saw")
        check(not (template / twin).exists(), f"the template holds {twin}")


def verbs_agree(name, change, error, fault):
    """Where check reports an error, the trial's verdict is not a clean browser-running: it has a
    fault, or check's error beside it, and the exit code 1. One test per disc of FAULTY_DISCS,
    so that they run side by side."""
    def test(self):
        # A browser that is a console program is ready only once it has ended, and the trial
        # waits for it to the end of its time bound: half a minute for it (whether the launcher
        # reaches its fourth start by then or not, the run is not as expected).
        bound = 30 if name == "console_browser" else winelab.PATIENCE
        rc, r, _ = trial(f"verbs_agree_{name}", disc_copy(f"verbs_agree_{name}", change),
                         "--max-starts", "4", timeout=bound)
        equal(rc, 1, f"{name}: exit code")
        codes = [e["code"] for e in r["check"]["errors"]]
        check(error in codes, f"{name}: check's errors beside the verdict: {codes}")
        if fault:
            check(any(f.startswith(fault) for f in r["outcome"]["faults"]),
                  f"{name}: no fault '{fault}' in {r['outcome']['faults']}")
    test.__doc__ = verbs_agree.__doc__
    return test


for _disc in FAULTY_DISCS:
    setattr(TrialTests, f"test_verbs_agree_{_disc[0]}", verbs_agree(*_disc))
