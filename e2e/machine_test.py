#!/usr/bin/env python3
"""The lab's Wine machine without Wine: what it makes of its tools' output, which a disc's
program in the same prefix may have garbled, and the calls it makes for the scenarios and the
trial alike."""

import os
import pwd
import subprocess
import tempfile
import unittest
from pathlib import Path
from unittest import mock

import labpath  # noqa: F401 (the lab and the trial's driver)
import machine
import winelab
from machine import Process


class FakeMachine(machine.Machine):
    """Answers wine() from a table of canned outputs, and records each call."""

    def __init__(self, outputs):
        super().__init__("/lab/scenarios/fake")
        self.outputs, self.calls = outputs, []

    def wine(self, *args, timeout=None, env=None, check=True):
        self.calls.append(args)
        rc, out = self.outputs.get(args[0], (0, b""))
        if check and rc != 0:
            raise machine.ProgramFailed(rc, ["wine", *args], out, b"no such program")
        return subprocess.CompletedProcess(["wine", *args], rc, out, b"")


class ToolOutput(unittest.TestCase):
    def test_process_table_keeps_records_and_skips_everything_else(self):
        for what, text, table in [
            ("records, the time optional", "8\tstart.exe\t1700000000123\r\n9\tq7.exe\t\r\n",
             [Process(8, "start.exe", 1700000000123), Process(9, "q7.exe", 0)]),
            ("too few fields", "8\tstart.exe\n8\n\n", []),
            ("an id or a time that is no number", "x\ta.exe\t1\n8\tb.exe\tsoon\n8\tc.exe\t2\n",
             [Process(8, "c.exe", 2)]),
            ("a name with a tab after it keeps its fields", "7\tname\t3\textra\n",
             [Process(7, "name", 3)]),
            ("control characters in a name", "5\ta\x1b[2Jb.exe\t4\n",
             [Process(5, "a\x1b[2Jb.exe", 4)]),
        ]:
            with self.subTest(what):
                self.assertEqual(machine.parse_process_table(text), table)

    def test_output_is_read_only_up_to_its_bound(self):
        flood = "1\tx.exe\t0\n" * (machine.MAX_LINES + 5)
        self.assertEqual(len(machine.parse_process_table(flood)), machine.MAX_LINES)
        report = b"a=1\n" * machine.MAX_LINES + b"late=1\n"
        self.assertNotIn("late", machine.parse_report(report))

    def test_report_takes_key_value_lines_and_only_those(self):
        for what, out, report in [
            ("plain", b"major=6\r\nminor=1\r\n", {"major": "6", "minor": "1"}),
            ("a value holding =", b"path=C:\\a=b\n", {"path": "C:\\a=b"}),
            ("no = or no key", b"garbage\n=value\n  \n", {}),
            ("bytes that are no UTF-8", b"name=\xe9\n", {"name": "\xe9"}),
        ]:
            with self.subTest(what):
                self.assertEqual(machine.parse_report(out), report)


class Calls(unittest.TestCase):
    def test_a_version_setting_is_set_then_reported_and_its_code_page_used(self):
        m = FakeMachine({"C:\\lab\\OsProbe.exe": (0, b"acp=932\nmajor=6\n"),
                         "C:\\lab\\ProcList.exe": (0, "4\tｽﾀｰﾄ.exe\t0\n".encode("cp932"))})
        self.assertEqual(m.use_version("win7"), {"acp": "932", "major": "6"})
        self.assertEqual(m.calls, [("reg", "add", "HKCU\\Software\\Wine", "/v", "Version",
                                    "/d", "win7", "/f"), ("C:\\lab\\OsProbe.exe",)])
        self.assertEqual(m.processes(), ["ｽﾀｰﾄ.exe"])
        m.calls.clear()
        m.use_version(None)
        self.assertEqual(m.calls, [("C:\\lab\\OsProbe.exe",)])

    def test_an_unknown_code_page_reads_as_1252(self):
        m = FakeMachine({"C:\\lab\\OsProbe.exe": (0, b"acp=65001\n")})
        m.use_version(None)
        self.assertEqual(m.ansi, "cp1252")

    def test_a_probe_of_a_drive_names_it_and_a_failed_probe_says_why(self):
        m = FakeMachine({"C:\\lab\\OsProbe.exe": (0, b"driveType=5\n")})
        self.assertEqual(m.probe("D:\\"), {"driveType": "5"})
        self.assertEqual(m.calls, [("C:\\lab\\OsProbe.exe", "D:\\")])
        failing = FakeMachine({"C:\\lab\\OsProbe.exe": (3, b"")})
        with self.assertRaisesRegex(machine.ProgramFailed, "exit code 3; stderr:\nno such"):
            failing.probe()

    def test_drive_paths_live_in_the_prefix_and_beside_it(self):
        m = FakeMachine({})
        for windows, host in [
            ("C:\\lab\\OsProbe.exe", "/lab/scenarios/fake/prefix/drive_c/lab/OsProbe.exe"),
            ("c:\\Windows\\Handoff.ini", "/lab/scenarios/fake/prefix/drive_c/Windows/Handoff.ini"),
            ("D:\\lang\\DEU\\Welcome.htm", "/lab/scenarios/fake/disc/lang/DEU/Welcome.htm"),
        ]:
            with self.subTest(windows):
                self.assertEqual(m.unix_path(windows), Path(host))
        with self.assertRaises(AssertionError):
            m.unix_path("Z:\\etc\\passwd")

    def test_a_wait_ends_when_its_event_comes_and_is_bounded_when_it_never_does(self):
        asked = []

        def third_time():
            asked.append(1)
            return len(asked) == 3

        self.assertTrue(machine.wait(third_time, 60, interval=0))
        self.assertEqual(len(asked), 3)
        self.assertFalse(FakeMachine({}).wait_for(lambda: False, timeout=0))


class TemplateMaking(unittest.TestCase):
    def test_a_wineboot_that_hangs_takes_its_services_and_its_half_made_template_along(self):
        """Without it, Wine's services of a hung wineboot ran on after the test run, and the
        registry they wrote out at their end passed the half-made prefix for a template."""
        lab = Path(tempfile.mkdtemp(prefix="template-making-"))
        self.addCleanup(subprocess.run, ["rm", "-rf", str(lab)], timeout=60)
        (lab / "templates").mkdir()
        me = pwd.getpwuid(os.geteuid())
        calls, real_run = [], subprocess.run

        def run(command, **kwargs):
            calls.append(command[:2])
            if command[0] == "wineboot":
                (lab / "templates" / "win64" / "system.reg").write_text("half")
                raise subprocess.TimeoutExpired(command, kwargs.get("timeout"))
            if command[0] == "rm":
                return real_run(command, **kwargs)
            return subprocess.CompletedProcess(command, 0, b"", b"")
        with mock.patch.object(winelab, "lab", lambda: lab), \
                mock.patch.object(winelab, "account", lambda: me), \
                mock.patch.object(winelab, "give", lambda path: None), \
                mock.patch.object(winelab.subprocess, "run", run):
            with self.assertRaises(subprocess.TimeoutExpired):
                winelab.make_template("win64")
            calls_made = list(calls)
        self.assertEqual(calls_made[1:], [["wineboot", "-i"], ["wineserver", "-k"],
                                      ["wineserver", "-w"], ["rm", "-rf"]])
        self.assertFalse((lab / "templates" / "win64").exists())


if __name__ == "__main__":
    unittest.main()
