#!/usr/bin/env python3
"""scripts/check-layers.py on the real tree (it must hold) and on small trees, each with one fault
planted, that it must refuse with a line naming the fault."""

import importlib.util
import os
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
script = importlib.util.spec_from_file_location("check_layers",
                                                os.path.join(ROOT, "scripts", "check-layers.py"))
check_layers = importlib.util.module_from_spec(script)
script.loader.exec_module(check_layers)

CMAKE = """
kit_layer(kit_low  # the bottom
  SOURCES low/Low.cpp low/Low.h
  DEPENDS launcher_core)
kit_layer(kit_mid SOURCES mid/Mid.cpp mid/Mid.h DEPENDS kit_low)
kit_layer(kit_side SOURCES side/Side.cpp side/Side.h DEPENDS kit_low)
kit_layer(kit_high SOURCES high/High.cpp high/High.h DEPENDS kit_mid)
add_executable(disckit main.cpp)
"""

FILES = {
    "low/Low.h": "#pragma once\n",
    "low/Low.cpp": '#include "kit/low/Low.h"\n#include "app/LauncherApp.h"\n',
    "mid/Mid.h": '#pragma once\n#include "kit/low/Low.h"\n',
    "mid/Mid.cpp": '#include "kit/mid/Mid.h"\n',
    "side/Side.h": "#pragma once\n",
    "side/Side.cpp": '#include "kit/side/Side.h"\n#include "kit/low/Low.h"\n',
    "high/High.h": "#pragma once\n",
    "high/High.cpp": '#include "kit/mid/Mid.h"\n#include "kit/low/Low.h"\n',
    "main.cpp": '#include "kit/high/High.h"\n',
}


def make_tree(root, cmake=CMAKE, changes=None):
    files = dict(FILES)
    files.update(changes or {})
    os.makedirs(os.path.join(root, "kit"))
    with open(os.path.join(root, "kit", "CMakeLists.txt"), "w") as f:
        f.write(cmake)
    for path, text in files.items():
        if text is None:
            continue
        full = os.path.join(root, "kit", path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w") as f:
            f.write(text)


class CheckLayersTest(unittest.TestCase):
    def faults(self, cmake=CMAKE, changes=None):
        with tempfile.TemporaryDirectory() as root:
            make_tree(root, cmake, changes)
            return check_layers.check(root)

    def test_the_kit_holds(self):
        self.assertEqual(check_layers.check(ROOT), [])

    def test_a_sound_stack_passes(self):
        # Including a layer further down than the one linked, and the tool including anything.
        self.assertEqual(self.faults(changes={"main.cpp": '#include "kit/side/Side.h"\n'}), [])

    def test_each_planted_fault_is_named(self):
        cases = [
            ("a lower layer includes a higher one",
             {"low/Low.cpp": '#include "kit/mid/Mid.h"\n'},
             CMAKE, "kit/low/Low.cpp (kit_low) includes kit/mid/Mid.h of kit_mid"),
            ("a header includes a higher one",
             {"mid/Mid.h": '#pragma once\n#include "kit/high/High.cpp"\n'},
             CMAKE, "kit/mid/Mid.h (kit_mid) includes kit/high/High.cpp of kit_high"),
            ("a sibling it does not link",
             {"mid/Mid.cpp": ' #  include "kit/side/Side.h"\n'},
             CMAKE, "kit/mid/Mid.cpp (kit_mid) includes kit/side/Side.h of kit_side"),
            ("a file of no library",
             {"mid/Extra.cpp": "int x;\n"},
             CMAKE, "kit/mid/Extra.cpp belongs to no library"),
            ("a listed file that is missing",
             {"side/Side.cpp": None},
             CMAKE, "kit/side/Side.cpp is listed by kit_side but does not exist"),
            ("an include of nothing",
             {"high/High.cpp": '#include "kit/mid/Gone.h"\n'},
             CMAKE, "kit/high/High.cpp includes kit/mid/Gone.h, which does not exist"),
            ("a library linking one above it",
             {}, CMAKE.replace("DEPENDS launcher_core", "DEPENDS kit_high"),
             "kit_low links kit_high, which is not a library below it"),
            ("a file in two libraries",
             {}, CMAKE.replace("high/High.h DEPENDS", "high/High.h mid/Mid.cpp DEPENDS"),
             "kit/mid/Mid.cpp is listed by both kit_mid and kit_high"),
            ("a link nothing uses",
             {}, CMAKE.replace("DEPENDS kit_mid)", "DEPENDS kit_mid kit_side)"),
             "kit_high links kit_side, whose headers none of its files include"),
            ("no tool",
             {}, CMAKE.replace("add_executable(disckit main.cpp)", ""),
             "no add_executable(disckit"),
        ]
        for what, changes, cmake, expected in cases:
            with self.subTest(what):
                faults = self.faults(cmake, changes)
                self.assertTrue(any(expected in fault for fault in faults), faults)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
