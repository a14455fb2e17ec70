#!/usr/bin/env python3
"""How disckit trial's driver reads Wine's trace and the registry files, without Wine: lines as
Wine 8 writes them (seen in real runs), and the ways they vary."""

import json
import os
import tempfile
import time
import types
import unittest
from pathlib import Path

import labpath  # noqa: F401 (the lab and the trial's driver)
import trial
import trial_run
import trial_trace

LAUNCHER = "D:\\Start.exe"


def line(tick, pid, tid, channel, function, rest, cls="trace"):
    return f"{tick // 1000}.{tick % 1000:03d}:{pid:04x}:{tid:04x}:{cls}:{channel}:{function} {rest}\n"


def create(tick, pid, tid, app, command):
    return line(tick, pid, tid, "process", "CreateProcessInternalW", f"app {app} cmdline {command}")


def started(tick, pid, tid, child):
    return line(tick, pid, tid, "process", "CreateProcessInternalW",
                f"started process pid {child:04x} tid {child + 4:04x}")


def nt_create(tick, pid, tid, text):
    return line(tick, pid, tid, "process", "NtCreateUserProcess", text)


def loaded(tick, pid, tid, path):
    return line(tick, pid, tid, "loaddll", "build_module", f'Loaded {path} at 10000000: native')


class WineStrings(unittest.TestCase):
    def test_escapes(self):
        rows = [
            ('L"D:\\\\Panoview.exe"', "D:\\Panoview.exe", True, ""),
            ('L"Panoview.exe \\"D:\\\\lang\\\\DEU\\\\Welcome.htm" rest', 'Panoview.exe "D:\\lang\\DEU\\Welcome.htm', True, " rest"),
            ('L"\\00fcber \\30da\\t\\r\\n"', "\u00fcber \u30da\t\r\n", True, ""),
            ('L"a long one"...', "a long one", False, ""),      # cut short by Wine
            ('L"ends in dots..."', "ends in dots...", True, ""),
            ('(null) cmdline', None, True, " cmdline"),
        ]
        for text, value, complete, rest in rows:
            with self.subTest(text=text):
                self.assertEqual(trial_trace.wine_string(text), (value, complete, rest))

    def test_not_a_string(self):
        for text in ('D:\\x', 'L"never closed'):
            with self.subTest(text=text), self.assertRaises(ValueError):
                trial_trace.wine_string(text)

    def test_creation(self):
        self.assertEqual(
            trial_trace.creation('app L"C:\\\\windows\\\\system32\\\\regsvr32.exe" cmdline '
                           'L"regsvr32 /s \\"D:\\\\Gauge.ocx\\""'),
            ("C:\\windows\\system32\\regsvr32.exe", 'regsvr32 /s "D:\\Gauge.ocx"', True))
        # Without an application name the program is the command line's first word.
        self.assertEqual(trial_trace.creation('app (null) cmdline L"\\"D:\\\\A b.exe\\" x"')[0], 'D:\\A')
        self.assertIsNone(trial_trace.creation("started process pid 0120 tid 0124"))


class TraceReading(unittest.TestCase):
    def read(self, text, windows="C:\\windows"):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        path = Path(folder.name) / "trace.txt"
        path.write_text(text)
        t = trial_trace.Trace(path, LAUNCHER, 5000, windows)
        t.update()
        return t

    def test_a_run_with_a_grandchild_a_failed_start_and_one_under_way(self):
        browser = 'L"D:\\\\Panoview.exe"', 'L"Panoview.exe \\"D:\\\\lang\\\\Eng\\\\Welcome.htm"'
        t = self.read(
            line(5200, 0xd8, 0xdc, "process", "NtQueryInformationProcess", "(...)")
            + loaded(5201, 0xd8, 0xdc, 'L"D:\\\\Start.exe"')
            + loaded(5210, 0xd8, 0xdc, 'L"C:\\\\windows\\\\syswow64\\\\user32.dll"')
            + loaded(5300, 0xd8, 0xdc, 'L"D:\\\\qzm.dll"')
            + create(5400, 0xd8, 0xdc, *browser)
            + nt_create(5401, 0xd8, 0xdc, "L\"\\\\??\\\\D:\\\\Panoview.exe\" ... parent (nil)")
            + nt_create(5409, 0xd8, 0xdc, "L\"\\\\??\\\\D:\\\\Panoview.exe\" pid 0120 tid 0124")
            + started(5410, 0xd8, 0xdc, 0x120)
            + create(5500, 0x120, 0x124, 'L"D:\\\\Main.exe"', 'L"\\"D:\\\\Main.exe\\" x"')
            + started(5510, 0x120, 0x124, 0x128)
            + create(6400, 0xd8, 0xdc, *browser)         # fails: the next one follows
            + create(7400, 0xd8, 0xdc, *browser)         # under way at the end
            + "7500.000:00d8:00dc:trace:process:Create")  # a line still being written
        self.assertEqual(t.root, 0xd8)
        self.assertEqual([(s["by"], s["program"], s["pid"], s["state"], s["seconds"])
                          for s in t.starts],
                         [(0xd8, "D:\\Panoview.exe", 0x120, "started", 0.4),
                          (0x120, "D:\\Main.exe", 0x128, "started", 0.5),
                          (0xd8, "D:\\Panoview.exe", None, "failed", 1.4),
                          (0xd8, "D:\\Panoview.exe", None, "starting", 2.4)])
        self.assertEqual(t.name(0x128), "Main.exe")
        self.assertEqual(t.processes[0x128]["parent"], 0x120)
        self.assertEqual([(l["by"], l["path"]) for l in t.loads], [(0xd8, "D:\\qzm.dll")])
        # The launcher is trying again a program that has just failed: no process is being made.
        self.assertTrue(trial_trace.between_starts(t))
        t.finish()
        self.assertEqual(t.starts[-1]["state"], "unanswered")

    def test_the_launcher_is_between_starts_only_once_a_start_is_answered(self):
        t = self.read(create(5400, 0xd8, 0xdc, 'L"D:\\\\P.exe"', 'L"P.exe"'))
        self.assertFalse(trial_trace.between_starts(t))
        t.path.write_text(t.path.read_text() + started(5410, 0xd8, 0xdc, 0x120))
        t.update()
        self.assertTrue(trial_trace.between_starts(t))

    def test_a_start_whose_thread_goes_on_without_success_failed(self):
        t = self.read(create(5400, 0xd8, 0xdc, 'L"D:\\\\P.exe"', 'L"P.exe"')
                      + line(5500, 0xd8, 0xdc, "process", "NtQueryInformationProcess", "(...)"))
        t.finish()
        self.assertEqual(t.starts[0]["state"], "failed")

    def test_through_a_pipe_in_pieces_and_no_more_than_the_cap(self):
        text = (create(5400, 0xd8, 0xdc, 'L"D:\\\\P.exe"', 'L"P.exe"')
                + started(5410, 0xd8, 0xdc, 0x120)
                + create(6400, 0xd8, 0xdc, 'L"D:\\\\Q.exe"', 'L"Q.exe"')).encode()
        first = len(text.split(b"\n")[0]) + 1

        def through(cap):
            pieces = [text[i:i + 7] for i in range(0, len(text), 7)]
            t = trial_trace.Trace(None, LAUNCHER, 5000, "C:\\windows", cap=cap,
                                  source=lambda: pieces.pop(0) if pieces else b"")
            while pieces:
                t.update()
            t.finish()
            return [(s["program"], s["pid"]) for s in t.starts]
        self.assertEqual(through(1 << 20), [("D:\\P.exe", 0x120), ("D:\\Q.exe", None)])
        self.assertEqual(through(first), [("D:\\P.exe", None)])

    def test_reading_stops_at_its_cpu_time_bound(self):
        text = "".join(create(5400 + i, 0xd8, 0xdc, 'L"D:\\\\P.exe"', 'L"P.exe"')
                       + started(5400 + i, 0xd8, 0xdc, 0x120 + 4 * i) for i in range(3000))
        for left, read_all in ((60, True), (1e-4, False)):
            with self.subTest(left=left):
                pieces = [text.encode()]
                t = trial_trace.Trace(None, LAUNCHER, 5000, "C:\\windows",
                                      source=lambda: pieces.pop(0) if pieces else b"")
                t.seconds_left = left
                t.update()
                self.assertEqual((len(t.starts) == 3000, t.unread == 0), (read_all, read_all))
                if not read_all:
                    # Whole lines up to where it stopped, the rest counted.
                    self.assertEqual(len(t.starts), 512)
                    read = "".join(text.splitlines(True)[:1024])
                    self.assertEqual(t.unread, len(text) - len(read))

    def test_the_tick_count_wraps(self):
        t = trial_trace.Trace(Path("/nonexistent"), LAUNCHER, (1 << 32) - 500, "C:\\windows")
        self.assertEqual(t.seconds(700), 1.2)
        self.assertEqual(t.seconds((1 << 32) - 600), -0.1)


class Registry(unittest.TestCase):
    def test_keys_and_values_as_wine_writes_them(self):
        with tempfile.TemporaryDirectory() as folder:
            Path(folder, "system.reg").write_text(
                "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n\n"
                "[Software\\\\Classes\\\\CLSID\\\\{0A1B}] 1796725273\n#time=1db\n"
                '@="Gauge"\n\n[Software\\\\Wine] 1796725273\n')
            Path(folder, "user.reg").write_text("[Software\\\\Wine] 1\n\"Version\"=\"win7\"\n")
            keys = trial_trace.registry_keys(Path(folder))
        self.assertEqual(keys, {
            "HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\{0A1B}": ['@="Gauge"'],
            "HKEY_LOCAL_MACHINE\\Software\\Wine": [],
            "HKEY_CURRENT_USER\\Software\\Wine": ['"Version"="win7"'],
        })


class BoxLog(unittest.TestCase):
    """The box watcher's records come through its standard output, a pipe the agent reads, in
    pieces as they come; they are parsed as hostile all the same."""

    def records(self, pieces, plant=None):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        log = Path(folder.name) / "prefix" / "drive_c" / "lab" / "boxes.log"
        log.parent.mkdir(parents=True)
        if plant:
            plant(log)
        pieces = list(pieces)
        taken = []

        def take(n, stream, most):
            taken.append((n, stream))
            return (pieces.pop(0)[:most] if pieces else b""), not pieces
        machine = types.SimpleNamespace(dir=Path(folder.name),
                                        sandbox=types.SimpleNamespace(take=take),
                                        relative=lambda p: "prefix/drive_c/lab/boxes.log")
        t = trial_run.Trial.__new__(trial_run.Trial)
        t.notes, t.noted, t.watcher, t.box_raw = [], {}, 7, bytearray()
        records = []
        for _ in range(len(pieces) + 1):
            records = t.box_records(machine)
        self.assertEqual(set(taken), {(7, "out")})
        return records, t.notes

    def test_records_kept_and_malformed_lines_skipped_and_counted(self):
        good = b"1500\tStart.exe\tbox\tCaption\x1fText\x1f00d0\t1\t0\t0\t\r\n"
        records, notes = self.records([
            good + b"x\tStart.exe\tbox\tC\x1fT\x1f00d0\r\n"    # no time
            + b"1\tStart.exe\tbox\tno separators\r\n",
            b"1\tStart.exe\tbox\tC\x1fT\x1fzz\r\n"           # no owner
            + b"garbage\r\n\r\n" + good[:9], good[9:] + b"1600\tStart.exe\tbox\tbeing writ"])
        self.assertEqual(records, [(1500, b"Caption", b"Text", 0xd0, None)] * 2)
        self.assertEqual(notes, ["4 lines of the box log were not records of a box: skipped"])

    def test_the_window_rectangle_ends_a_record(self):
        rows = [
            (b"C\x1fT\x1f00d0\x1f348,340,676,428", (b"C", b"T", 0xd0, b"348,340,676,428")),
            (b"C\x1fT\x1f00d0\x1f-4,-4,2000,900", (b"C", b"T", 0xd0, b"-4,-4,2000,900")),
            # The box's text may hold the separator, even what looks like an owner and a window.
            (b"C\x1fa\x1f1\x1f1,2,3,4\x1f00d0\x1f5,6,7,8", (b"C", b"a\x1f1\x1f1,2,3,4", 0xd0, b"5,6,7,8")),
            (b"C\x1fT\x1f00d0\x1f1,2,3", None),                 # no rectangle, and no owner
            (b"C\x1fT\x1f00d0\x1f1,2,3,4,5", None),
            (b"C\x1fT\x1f1,2,3,4", None),                                    # no owner before it
            (b"C\x1f1,2,3,4", None),
        ]
        for detail, expected in rows:
            with self.subTest(detail=detail):
                records, notes = self.records([b"1500\tStart.exe\tbox\t" + detail + b"\t1\t0\t0\t\r\n"])
                if expected is None:
                    self.assertEqual((records, len(notes)), ([], 1))
                else:
                    self.assertEqual(records, [(1500, *expected)])

    def test_a_box_is_cut_to_its_window_on_the_screen(self):
        rows = [
            (b"348,340,676,428", (328, 88, 348, 340), None),
            (b"0,0,1024,768", (1024, 768, 0, 0), None),
            # Cut to the screen where it reaches past it.
            (b"-4,-4,300,100", (300, 100, 0, 0), None),
            (b"900,700,1300,900", (124, 68, 900, 700), None),
            (b"-9999999999,-9999999999,9999999999,9999999999", (1024, 768, 0, 0), None),
            # No window on the screen: the whole screen, and why.
            (None, None, "its record holds no window rectangle"),
            (b"1,2,3", None, "its record's window rectangle is not one"),
            (b"1,2,3,4\n", None, "its record's window rectangle is not one"),
            (b"10,10,10,50", None, "its window rectangle (10,10)-(10,50) is empty"),
            (b"10,50,20,40", None, "its window rectangle (10,50)-(20,40) is empty"),
            (b"1024,0,2000,100", None, "its window (1024,0)-(2000,100) lies off the screen"),
            (b"-500,-500,-1,-1", None, "its window (-500,-500)-(-1,-1) lies off the screen"),
        ]
        for rect, crop, why in rows:
            with self.subTest(rect=rect):
                self.assertEqual(trial_run.box_crop(rect, (1024, 768)), (crop, why))

    def test_a_log_planted_in_the_prefix_is_not_read(self):
        forged = b"1500\tStart.exe\tbox\tForged\x1fText\x1f00d0\t1\t0\t0\t\r\n"
        for plant in (lambda log: os.symlink("/etc/passwd", log), lambda log: os.mkfifo(log),
                      lambda log: log.write_bytes(forged)):
            records, notes = self.records([], plant)
            self.assertEqual((records, notes), ([], []))

    def test_no_more_than_the_cap_is_kept(self):
        line = b"1500\tStart.exe\tbox\tC\x1fT\x1f00d0\t1\t0\t0\t\r\n"
        many = line * (trial_trace.BOX_LOG_CAP // len(line) + 100)
        records, _ = self.records([many[i:i + (1 << 16)] for i in range(0, len(many), 1 << 16)])
        self.assertEqual(len(records), trial_trace.BOX_LOG_CAP // len(line))


def bare_trial(**attributes):
    t = trial_run.Trial.__new__(trial_run.Trial)
    t.notes, t.noted = [], {}
    t.disk_base, t.disk_next, t.over_disk = None, 0.0, False
    for name, value in attributes.items():
        setattr(t, name, value)
    return t


class AfterTheRun(unittest.TestCase):
    """What the driver works out after the run stays within its bounds, whatever the disc's
    programs left behind."""

    def lowered(self, **values):
        for name, value in values.items():
            self.addCleanup(setattr, trial_run, name, getattr(trial_run, name))
            setattr(trial_run, name, value)

    def test_copies_of_the_disc_found_within_the_byte_and_time_bounds(self):
        with tempfile.TemporaryDirectory() as tmp:
            root, disc = Path(tmp) / "work", Path(tmp) / "disc"
            (root / "windows").mkdir(parents=True)
            disc.mkdir()
            data = os.urandom(1 << 20)
            (disc / "Handoff.exe").write_bytes(data)
            (root / "windows" / "a-copy.exe").write_bytes(data)
            for i in range(300):
                with open(root / "windows" / f"sparse{i:03d}.bin", "wb") as f:
                    f.truncate(1 << 20)
            after = trial_trace.windows_files(root, "windows")
            rows = [  # budget, deadline, copy found, files not compared
                (64 << 20, None, True, 238),
                (512 << 20, None, True, 0),
                (64 << 20, -1, False, 301),
            ]
            for budget, deadline, found, skipped in rows:
                with self.subTest(budget=budget, deadline=deadline):
                    notes = []
                    changes = trial_run.Trial.windows_changes({}, after, root, "windows", "1252")
                    trial_run.Trial.name_copies(
                        changes, root, "windows", disc, notes,
                        None if deadline is None else time.monotonic() + deadline, budget)
                    copies = {c["path"]: c["copyOf"] for c in changes if "copyOf" in c}
                    self.assertEqual(copies, {"C:\\windows\\a-copy.exe": "D:\\Handoff.exe"}
                                     if found else {})
                    self.assertEqual([n.split(" ")[0] for n in notes],
                                     [str(skipped)] if skipped else [])

    def test_the_trials_folder_is_stopped_past_its_budget(self):
        self.lowered(DISK_BUDGET=1 << 20, DISK_ENTRIES=50)
        with tempfile.TemporaryDirectory() as tmp:
            stopped = []
            m = types.SimpleNamespace(dir=Path(tmp), sandbox=types.SimpleNamespace(
                stop_all=lambda: stopped.append(1), pressure=lambda: (0, {})))
            t = bare_trial()
            self.assertFalse(t.disk_over(m))      # the size as the run begins
            # A sparse file takes no room; real bytes do.
            with open(Path(tmp) / "sparse.bin", "wb") as f:
                f.truncate(8 << 30)
            t.disk_next = 0
            self.assertFalse(t.disk_over(m))
            (Path(tmp) / "full.bin").write_bytes(b"x" * (2 << 20))
            self.assertFalse(t.disk_over(m))      # not measured again before its time
            t.disk_next = 0
            self.assertTrue(t.disk_over(m))
            self.assertTrue(t.disk_over(m))
            self.assertEqual(stopped, [1])
            self.assertEqual(len(t.notes), 1)
            self.assertIn("grew past its budget of 1 MiB", t.notes[0])
            # Too many files to measure counts as over.
            t = bare_trial()
            for i in range(60):
                (Path(tmp) / f"f{i}").write_bytes(b"")
            t.disk_over(m)
            t.disk_next = 0
            self.assertTrue(t.disk_over(m))
            self.assertIn("more than 50 files", t.notes[0])

    def test_a_bound_of_the_sandbox_reached_is_a_note_once(self):
        box = trial_run.trialbox
        roomy = {"/tmp": 1 << 30, "/dev/shm": 1 << 30}
        rows = [  # threads and free bytes seen, the notes' beginnings by then
            (40, roomy, []),
            (box.PIDS_LIMIT, dict(roomy, **{"/tmp": 4096}),
             ["the programs in the sandbox reached its bound of", "the sandbox's /tmp was full"]),
            (box.PIDS_LIMIT - 2, {"/tmp": 0, "/dev/shm": 0},
             ["the programs in the sandbox reached its bound of", "the sandbox's /tmp was full",
              "the sandbox's /dev/shm was full"]),
        ]
        t = bare_trial()
        for threads, free, notes in rows:
            m = types.SimpleNamespace(sandbox=types.SimpleNamespace(
                pressure=lambda: (threads, free)))
            t.bounds_reached(m)
            self.assertEqual([n[:len(w)] for n, w in zip(t.notes, notes)], notes)
            self.assertEqual(len(t.notes), len(notes))

    def test_whether_the_browser_runs_rests_on_the_kernels_view(self):
        a = types.SimpleNamespace(browser="Panoview.exe", browser_process="PANOVIEW.EXE")
        trace = trial_trace.Trace(Path("/nonexistent"), LAUNCHER, 0, "C:\\windows")
        row = types.SimpleNamespace(pid=0x120, name="Panoview.exe")
        rows = [  # ProcList's table, the kernel's names, running, a note
            ([row], ["Panoview.exe", "wineserver"], True, False),
            ([row], ["wineserver"], False, True),        # a forged table
            ([], ["Panoview.exe"], True, True),
            ([], ["wineserver"], False, False),
        ]
        for table, seen, running, noted in rows:
            with self.subTest(table=table, seen=seen):
                t = bare_trial(a=a)
                b = t.browser(trace, t.kernel_checked(table, seen), [], {}, seen)
                self.assertEqual(b["running"], running)
                self.assertEqual(b["runningAs"],
                                 [{"pid": 0x120, "name": "Panoview.exe"}] if table and running
                                 else [])
                self.assertEqual(bool(t.notes), noted, t.notes)


class Observations(unittest.TestCase):
    """What the driver hands disckit: JSON that any strict reader takes (no lone surrogate, as
    an undecodable byte of a trace is in Python), in a new file that no link redirects."""

    def test_text_that_is_no_text_becomes_u_fffd(self):
        with tempfile.TemporaryDirectory() as folder:
            path = Path(folder) / "observations.json"
            trial.write_observations(path, {"events": [{"text": "a\udcff\ud800b\u00e4\U0001f600"}]})
            data = path.read_bytes()
            data.decode("ascii")
            self.assertEqual(json.loads(data), {"events": [{"text": "a\ufffd\ufffdb\u00e4\U0001f600"}]})

    def test_never_over_a_file_nor_through_a_link(self):
        with tempfile.TemporaryDirectory() as folder:
            target = Path(folder) / "target"
            target.write_text("kept")
            os.symlink(target, Path(folder) / "link.json")
            for name in ("target", "link.json"):
                with self.assertRaises(OSError):
                    trial.write_observations(Path(folder) / name, {})
            self.assertEqual(target.read_text(), "kept")

    def test_the_drivers_own_messages_show_no_control_character(self):
        self.assertEqual(trial.printable("a\x1b[2Jb\nc\x9bd\u00fc\udcff"),
                         "a\\x1B[2Jb\\x0Ac\\xC2\\x9Bd\u00fc\\xFF")


class Names(unittest.TestCase):
    def test_only_ascii_letters_change_case(self):
        # The launcher upper-cases in the code page and compares with an ASCII name.
        self.assertEqual(trial_trace.ascii_upper("panoview.exe"), "PANOVIEW.EXE")
        self.assertNotEqual(trial_trace.ascii_upper("\u0131panoview.exe"), "IPANOVIEW.EXE")
        self.assertTrue(trial_trace.same_name("PanoView.EXE", "Panoview.exe"))


class Progress(unittest.TestCase):
    """The long steps on stderr: nothing when quiet, a line each for a log, one line rewritten
    in place on a terminal, cleared before anything else is written there."""

    def test_each_mode(self):
        import io
        steps = ["making the 64-bit Wine prefix template", "starting Wine"]
        table = [
            ("quiet", "", ""),
            ("lines", "disckit trial: making the 64-bit Wine prefix template\n"
                      "disckit trial: starting Wine\n", ""),
            ("terminal", "\r\x1b[Kdisckit trial: making the 64-bit Wine prefix template"
                         "\r\x1b[Kdisckit trial: starting Wine", "\r\x1b[K"),
        ]
        for mode, said, cleared in table:
            with self.subTest(mode=mode):
                stream = io.StringIO()
                progress = trial_run.Progress(mode, stream)
                for step in steps:
                    progress.step(step)
                self.assertEqual(stream.getvalue(), said)
                progress.done()
                progress.done()  # once only
                self.assertEqual(stream.getvalue(), said + cleared)

    def test_no_control_character_of_a_path_reaches_the_terminal(self):
        import io
        stream = io.StringIO()
        trial_run.Progress("lines", stream).step("pressing /discs/a\x1b]0;x\x07\rb")
        self.assertEqual(stream.getvalue(), "disckit trial: pressing /discs/a\\x1B]0;x\\x07\\x0Db\n")

    def test_the_request_names_one_of_the_modes(self):
        for value in ("quiet", "lines", "terminal"):
            request = dict(GOOD_REQUEST, progress=value)
            self.assertEqual(trial.read_request(json.dumps(request).encode()).progress, value)
        for value in ("loud", "", 1, None):
            request = dict(GOOD_REQUEST, progress=value)
            with self.subTest(value=value), self.assertRaises(trial.BadRequest):
                trial.read_request(json.dumps(request).encode())


class ImageFacts(unittest.TestCase):
    def test_digest_and_label_of_the_image_judged(self):
        import hashlib
        descriptor = b"\x01CD001\x01\x00" + b" " * 32 + b"SWIFTDECK".ljust(32) + b"\0" * 8
        table = [
            (b"\0" * 16 * 2048 + descriptor + b"\0" * 2048, "SWIFTDECK"),
            (b"\0" * 16 * 2048 + descriptor[:40] + b" " * 32 + b"\0" * 8, None),
            (b"not an image", None),
        ]
        for data, label in table:
            with self.subTest(label=label), tempfile.TemporaryDirectory() as d:
                image = Path(d) / "disc.iso"
                image.write_bytes(data)
                self.assertEqual(trial_run.image_facts(image),
                                 {"sha256": hashlib.sha256(data).hexdigest(), "label": label})
                link = Path(d) / "link.iso"
                link.symlink_to(image)
                with self.assertRaises(OSError):
                    trial_run.image_facts(link)


class SettingsMemo(unittest.TestCase):
    def driver(self, memo, settings="win7 win2008r2"):
        run = trial_run.Trial.__new__(trial_run.Trial)
        run.a = types.SimpleNamespace(wine_settings=settings, prefix="win64", profile="7-x64")
        run.memo, run.wine_version = memo, "wine-8.0"
        return run

    def test_the_setting_found_is_tried_first_and_nothing_else_is_believed(self):
        with tempfile.TemporaryDirectory() as d:
            memo = Path(d) / trial_run.SETTINGS_MEMO
            run = self.driver(memo)
            self.assertEqual(run.settings(), ["win7", "win2008r2"])
            trial_run.write_settings_memo(memo, run.memo_key(), "win2008r2")
            self.assertEqual(run.settings(), ["win2008r2", "win7"])
            # Another Wine, or a profile that does not list the setting, keeps its own order.
            run.wine_version = "wine-9.0"
            self.assertEqual(run.settings(), ["win7", "win2008r2"])
            run.wine_version = "wine-8.0"
            self.assertEqual(self.driver(memo, "win2008r2 win7").settings(), ["win2008r2", "win7"])
            self.assertEqual(self.driver(memo, "winxp").settings(), ["winxp"])
            for text in (b"{", b"[1, 2]", b'{"wine-8.0|win64|7-x64": 3}', b"\xff" * 10):
                with self.subTest(memo=text):
                    memo.write_bytes(text)
                    self.assertEqual(run.settings(), ["win7", "win2008r2"])
            # Never read through a link; written anew, not through it.
            memo.unlink()
            target = Path(d) / "elsewhere.json"
            target.write_text(json.dumps({run.memo_key(): "win2008r2"}))
            memo.symlink_to(target)
            self.assertEqual(run.settings(), ["win7", "win2008r2"])
            trial_run.write_settings_memo(memo, run.memo_key(), "win2008r2")
            self.assertFalse(memo.is_symlink())
            self.assertEqual(json.loads(target.read_text()), {run.memo_key(): "win2008r2"})

    def test_the_memo_stays_small(self):
        with tempfile.TemporaryDirectory() as d:
            memo = Path(d) / trial_run.SETTINGS_MEMO
            for n in range(1500):
                trial_run.write_settings_memo(memo, f"wine-{n}|win64|7-x64", "win2008r2")
            self.assertLessEqual(memo.stat().st_size, trial_run.SETTINGS_MEMO_CAP // 2)
            self.assertIn("wine-1499|win64|7-x64", json.loads(memo.read_text()))


# A request as disckit writes it.
GOOD_REQUEST = {
    "disc": "/d", "image": False, "profile": "7-x64", "title": "Windows 7, 64-bit",
    "record": [2, 6, 1, 7601, 1], "extended_query": True, "bits": 64, "prefix": "win64",
    "wine_settings": "win7", "lang_id": "0x0409", "locale_name": "en-US", "lc_all": "en_US.UTF-8",
    "launcher": "Start.exe", "browser": "Panoview.exe", "browser_process": "PANOVIEW.EXE",
    "timeout": 60, "max_starts": 10, "out": None, "keep": False, "work": "/w", "tools": "/t",
    "progress": "lines",
}


if __name__ == "__main__":
    unittest.main()
