#!/usr/bin/env python3
"""The runner of the end-to-end tests: each test is a method of a unittest TestCase in one of the
modules beside this file, and CTest runs one test per process, by its short name (the method's
name without "test_"), so that ctest -R, labels, fixtures, timeouts and parallel runs work per test.

    harness.py list MODULE         the short names of the module's tests, one a line (for CMake)
    harness.py run MODULE NAME     one test (exit 0 passed, 1 failed, 77 skipped)
    harness.py templates           make the Wine prefixes every scenario is copied from

A test that cannot run here skips (unittest's skip: exit 77), one that raises the lab's Skip too.
"""

import importlib
import inspect
import sys
import time
import unittest

PREFIX = "test_"
SKIPPED = 77


def declared_at(test):
    method = getattr(type(test), test.id().rsplit(".", 1)[-1])
    return inspect.unwrap(method).__code__.co_firstlineno


def tests_of(module):
    """Every test of the module, by short name, in the order the module declares them (unittest
    would sort them by name). Two classes may not hold the same name: CTest knows a test by its
    short name alone."""
    found = {}

    def walk(suite):
        for item in suite:
            if isinstance(item, unittest.TestSuite):
                walk(item)
            else:
                name = item.id().rsplit(".", 1)[-1]
                if not name.startswith(PREFIX):
                    raise ValueError(f"{item.id()}: a test's name begins with {PREFIX}")
                short = name[len(PREFIX):]
                if short in found:
                    raise ValueError(f"{module.__name__}: two tests named {short}: "
                                     f"{found[short].id()} and {item.id()}")
                found[short] = item

    walk(unittest.defaultTestLoader.loadTestsFromModule(module))
    return dict(sorted(found.items(), key=lambda item: declared_at(item[1])))


def names(module):
    return list(tests_of(module))


def run(module, name):
    """Runs one test as unittest does, module and class fixtures included."""
    tests = tests_of(module)
    if name not in tests:
        print(f"{module.__name__} has no test {name}; its tests: {', '.join(tests)}")
        return 2
    result = unittest.TextTestRunner(stream=sys.stdout, verbosity=2).run(
        unittest.TestSuite([tests[name]]))
    sys.stdout.flush()
    if result.failures or result.errors or result.unexpectedSuccesses:
        return 1
    if result.skipped:
        for _, reason in result.skipped:
            print(f"SKIPPED: {reason}")
        return SKIPPED
    return 0 if result.testsRun == 1 else 1


def templates():
    import labpath  # noqa: F401 (the lab)
    import winelab
    reason = winelab.can_run_wine()
    if reason:
        print(f"SKIPPED: {reason}")
        return SKIPPED
    # Both at once: much of wineboot's time is spent waiting on its own services, not computing.
    from concurrent.futures import ThreadPoolExecutor

    def make(arch):
        started = time.time()
        winelab.make_template(arch)
        return f"{arch} template made in {time.time() - started:.0f} s"
    with ThreadPoolExecutor(2) as pool:
        for line in pool.map(make, ("win64", "win32")):
            print(line)
    return 0


def main(argv):
    if argv == ["templates"]:
        return templates()
    if len(argv) == 2 and argv[0] == "list":
        print("\n".join(names(importlib.import_module(argv[1]))))
        return 0
    if len(argv) == 3 and argv[0] == "run":
        return run(importlib.import_module(argv[1]), argv[2])
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
