#!/usr/bin/env python3
"""The end-to-end runner without Wine: what CTest is told of a driver's tests, and the exit codes
it reads; and the scenarios' view of the launcher's classification, through disckit simulate."""

import contextlib
import io
import sys
import tempfile
import textwrap
import unittest
from pathlib import Path
from unittest import mock

import harness

DRIVER = '''
import unittest

import labskip


def setUpModule():
    if labskip.MODULE_SKIP:
        raise unittest.SkipTest("no machine for it")


class Later(unittest.TestCase):
    def test_zulu(self):
        pass

    def test_alpha(self):
        self.assertEqual(1, 2)

    def helper(self):
        pass


def test_module_level_function():
    """Not a test: only TestCase methods are."""


class Earlier(unittest.TestCase):
    def test_mike(self):
        raise RuntimeError("broken")

    def test_bravo(self):
        self.skipTest("not here")

    @unittest.expectedFailure
    def test_charlie(self):
        pass
'''


class Runner(unittest.TestCase):
    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        Path(folder.name, "driver_under_test.py").write_text(textwrap.dedent(DRIVER))
        Path(folder.name, "labskip.py").write_text("MODULE_SKIP = False\n")
        sys.path.insert(0, folder.name)
        self.addCleanup(sys.path.remove, folder.name)
        for name in ("driver_under_test", "labskip"):
            self.addCleanup(sys.modules.pop, name, None)
        import driver_under_test
        import labskip
        self.driver, self.labskip = driver_under_test, labskip

    def run_quietly(self, name):
        with contextlib.redirect_stdout(io.StringIO()) as out:
            code = harness.run(self.driver, name)
        return code, out.getvalue()

    def test_names_in_the_order_declared(self):
        self.assertEqual(harness.names(self.driver), ["zulu", "alpha", "mike", "bravo", "charlie"])

    def test_exit_codes(self):
        rows = [("zulu", 0), ("alpha", 1), ("mike", 1), ("bravo", 77), ("charlie", 1),
                ("no_such_test", 2)]
        self.assertEqual([(name, self.run_quietly(name)[0]) for name, _ in rows], rows)

    def test_a_skipped_module_skips_each_test_with_its_reason(self):
        self.labskip.MODULE_SKIP = True
        code, out = self.run_quietly("alpha")
        self.assertEqual(code, 77)
        self.assertIn("SKIPPED: no machine for it", out)

    def test_two_tests_of_one_name_are_refused(self):
        class Other(unittest.TestCase):
            def test_zulu(self):
                pass
        self.driver.Other = Other
        with self.assertRaisesRegex(ValueError, "two tests named zulu"):
            harness.names(self.driver)


class Scenario(unittest.TestCase):
    """A scenario's own ways out: the lab's Skip is a skip, noted in its record; Wine hanging is
    tried once more, and only once."""

    def test_skip_and_hang(self):
        import scenarios
        import simrecord
        import winelab
        noted, hangs = [], []

        class Case(unittest.TestCase):
            @scenarios.scenario
            def test_skips(self):
                raise winelab.Skip("no such Wine setting")

            @scenarios.scenario
            def test_hangs_once(self):
                hangs.append("once")
                if hangs.count("once") == 1:
                    raise winelab.WineHung("probe")

            @scenarios.scenario
            def test_hangs_always(self):
                hangs.append("always")
                raise winelab.WineHung("probe")

        result = unittest.TestResult()
        with mock.patch.object(simrecord, "skipped", lambda *args: noted.append(args)), \
                contextlib.redirect_stdout(io.StringIO()):
            unittest.defaultTestLoader.loadTestsFromTestCase(Case).run(result)
        self.assertEqual([(t.id().rsplit(".", 1)[-1], why) for t, why in result.skipped],
                         [("test_skips", "no such Wine setting")])
        self.assertEqual(noted, [("skips", "no such Wine setting")])
        self.assertEqual([t.id().rsplit(".", 1)[-1] for t, _ in result.errors],
                         ["test_hangs_always"])
        self.assertEqual(sorted(hangs), ["always", "always", "once", "once"])


class Classification(unittest.TestCase):
    """The scenarios hand the probe's report to the launcher's core: each field where it belongs
    (a swapped or dropped one changes a row)."""

    def test_reports(self):
        import scenarios
        if not scenarios.DISCKIT.exists():
            self.skipTest(f"{scenarios.DISCKIT} is not built")

        def report(platform, major, minor, build, product, syswow64):
            return {"platformId": str(platform), "major": str(major), "minor": str(minor),
                    "build": str(build), "productType": str(product),
                    "sysWow64Found": "1" if syswow64 else "0", "versionExOk": "1"}
        rows = [
            (report(2, 6, 1, 7601, 1, True), (21, 0), True),
            (report(2, 6, 1, 7601, 1, False), (20, 0), True),
            (report(2, 6, 1, 7601, 3, True), (21, 1), False),
            (report(2, 6, 2, 9200, 1, False), (22, 0), True),
            (report(2, 6, 0, 6002, 1, True), (19, 0), False),
            (report(2, 5, 1, 2600, 1, False), (16, 0), False),
            (report(1, 4, 10, 0x040A08AE, 0, False), (12, 0), False),
        ]
        self.assertEqual([(scenarios.classify(r), scenarios.supported(r)) for r, _, _ in rows],
                         [(code, ok) for _, code, ok in rows])


if __name__ == "__main__":
    unittest.main()
