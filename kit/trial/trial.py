#!/usr/bin/env python3
"""The driver of `disckit trial`: runs a disc's own Start.exe under Wine, watched from outside.

disckit (kit/trial/Trial.cpp) checks the command line against the kit's tables (the system profiles,
the languages, the launcher's names) and runs this program with --request FILE, a JSON
document of what they resolve to (read by read_request below), and --observations FILE, the
new file this program writes what it saw to, as one JSON document; disckit reads it back,
decides the verdict and writes the report. Exit code 0: the observations are written; 2: the
trial could not run (the reason on stderr).

The machine is a sandbox (trialbox.py): a real copy of a template prefix of the profile's bitness
(the lab's, winelab.py, when run by root, which then runs everything inside as the lab's
unprivileged account; else the user's own), its own X server, the disc's image unpacked into a
read-only CD-ROM drive D:, and no drive that maps the host. Whatever the disc's programs could
have written is read as hostile data, bounded. The Wine version setting is the first of the profile's candidates
whose report (OsProbe) is exactly the profile's; the language is the locale's, checked the same
way. Nothing is learnt from a log that the disc's programs write:

- processes: Wine's own trace (WINEDEBUG) of the launcher and of everything started from it,
  however deep, since every program inherits the variable and the trace's file: each
  CreateProcess with the program, the exact command line and the new process's id (+process),
  the libraries each process loads from outside the Windows directory (+loaddll), every line
  stamped with Wine's tick count and the process's id (+timestamp, +pid);
- message boxes: the lab's box watcher records each box and holds it until its screenshot has
  been taken (BoxWatcher's acknowledgement folder);
- the Windows directory: its files before and after the run;
- the registry: the prefix's registry files, which the Wine server writes out when it stops,
  before and after the run;
- the browser: its starts from the trace; at the end, whether a process runs under the name the
  launcher looks for (the process table), and the windows on the screen (WaitReady).

The run is watched until the launcher ends, until it has started the browser --max-starts times
(it keeps starting it), or until --timeout seconds have passed since it was started, whichever
comes first. Then everything is stopped and the prefix removed (unless --keep).
"""

import json
import os
import re
import shutil
import signal
import sys
import types

# The driver's modules and the lab lie side by side in the folder this file was started from (the
# build tree links them there from kit/trial/ and lab/), which Python would not look in when it
# resolves the link. Nothing is written beside them: an installed copy's folder is the system's.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import trialbox  # noqa: E402
from trial_run import DISK_BUDGET, LAB_TOOLS, CannotRun, Trial  # noqa: E402


# --- The request ----------------------------------------------------------------------------------

# The members of the request disckit writes, and what each must be: the names are disckit's
# (TrialRequest in kit/trial/TrialOptions.cpp); this only says what a sound value is.
STRING, INT, BOOL, PATH = (str,), (int,), (bool,), (str, type(None))


def anything(value):
    return True


def one_of(*allowed):
    return lambda value: value in allowed


def within(low, high):
    return lambda value: low <= value <= high


def version_record(value):
    return len(value) == 5 and all(type(n) is int and 0 <= n < 1 << 32 for n in value)


# Every member of the request: its types, and what its value must be. disckit writes the members
# its option rows name (kit/trial/TrialOptions.cpp) and what it decides for the run.
REQUEST = {
    "disc": (STRING, anything), "image": (BOOL, anything), "profile": (STRING, anything),
    "title": (STRING, anything), "record": ((list,), version_record),
    "extended_query": (BOOL, anything), "bits": (INT, one_of(32, 64)),
    "prefix": (STRING, one_of("win32", "win64")), "wine_settings": (STRING, anything),
    "lang_id": (STRING, anything), "locale_name": (STRING, anything),
    "lc_all": (STRING, anything), "launcher": (STRING, anything), "browser": (STRING, anything),
    "browser_process": (STRING, anything), "timeout": (INT, within(1, 86400)),
    "max_starts": (INT, within(2, 1 << 32)), "out": (PATH, anything), "keep": (BOOL, anything),
    "work": (STRING, anything), "tools": (STRING, anything),
    "progress": (STRING, one_of("quiet", "lines", "terminal")),
}
# A request is a few paths and names; anything larger is not one.
MAX_REQUEST = 1 << 20


class BadRequest(Exception):
    pass


def read_request(data):
    """The request (bytes of JSON) as an object whose attributes are its members; BadRequest,
    with one line saying what is wrong, for anything that is not the request disckit writes."""
    if len(data) > MAX_REQUEST:
        raise BadRequest(f"the request is larger than {MAX_REQUEST} bytes")
    try:
        request = json.loads(data.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as why:
        raise BadRequest(f"the request is not JSON: {why}")
    if not isinstance(request, dict):
        raise BadRequest("the request is not a JSON object")
    missing = sorted(set(REQUEST) - set(request))
    unknown = sorted(set(request) - set(REQUEST))
    if missing or unknown:
        raise BadRequest(f"the request lacks {missing} or has unknown members {unknown}")
    for key, (types_, good) in REQUEST.items():
        value = request[key]
        # bool is an int to Python; neither stands in for the other here.
        if type(value) not in types_ or not good(value):
            raise BadRequest(f"the request's {key} is not what it should be: {value!r}")
    return types.SimpleNamespace(**request)


def parse(argv):
    """The request named by --request FILE (disckit gives a pipe), with the observations' file
    that --observations names."""
    if len(argv) != 4 or argv[0] != "--request" or argv[2] != "--observations":
        raise BadRequest("usage: trial.py --request FILE --observations FILE (disckit trial runs it)")
    try:
        with open(argv[1], "rb") as f:
            data = f.read(MAX_REQUEST + 1)
    except OSError as why:
        raise BadRequest(f"cannot read the request: {why}")
    request = read_request(data)
    request.observations = argv[3]
    return request


_UNPRINTABLE = re.compile("[\x00-\x1f\x7f-\x9f\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069"
                          "\ud800-\udfff]")


def printable(line):
    """A line of this driver's own messages fit for a terminal: control characters (and what is
    no text) written as \\xNN, byte by byte, as disckit writes them."""
    return _UNPRINTABLE.sub(lambda m: "".join(
        f"\\x{b:02X}" for b in ((0xDC00 ^ ord(m[0])).to_bytes(1, "big")
                                 if 0xDC80 <= ord(m[0]) <= 0xDCFF
                                 else m[0].encode("utf-8", "surrogatepass"))), line)


def text_only(value):
    """The observations with every lone surrogate (an undecodable byte of a trace, or half a
    character) as U+FFFD: what JSON, and disckit reading it, takes as text."""
    if isinstance(value, str):
        return re.sub("[\ud800-\udfff]", "\ufffd", value)
    if isinstance(value, list):
        return [text_only(v) for v in value]
    if isinstance(value, dict):
        return {k: text_only(v) for k, v in value.items()}
    return value


def write_observations(path, observations):
    """Writes the observations as a new file (never through a link, never over a file)."""
    data = json.dumps(text_only(observations), indent=1).encode("ascii")
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
    with os.fdopen(fd, "wb") as f:
        f.write(data)


def cannot_run_here(winelab):
    for tool, package in (("wine", "wine"), ("Xvfb", "xvfb"), ("xorriso", "xorriso"),
                          ("import", "imagemagick"), ("prlimit", "util-linux")):
        if shutil.which(tool) is None:
            return f"{tool} is not installed (scripts/deps.sh wine installs {package})"
    missing = [t for t in LAB_TOOLS if not (winelab.TOOLS / t).exists()]
    if missing:
        return (f"the lab's tools {', '.join(missing)} are not built in {winelab.TOOLS} "
                "(cmake --preset win32 && cmake --build --preset win32)")
    if not winelab.runs_32bit_code():
        return "this machine cannot run 32-bit x86 code (scripts/deps.sh wine sets up emulation)"
    return trialbox.bwrap_usable()


def interrupted(signum, frame):
    # Once: disckit passes on a stop that may have reached this process too (Ctrl-C reaches
    # the whole group), and a second one must not cut the cleaning up short.
    for stop in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(stop, signal.SIG_IGN)
    raise KeyboardInterrupt()


def main(argv):
    try:
        a = parse(argv)
    except BadRequest as why:
        print(printable(f"disckit trial: {why}"), file=sys.stderr)
        return 2
    # The lab's folders follow LAUNCHER_E2E_WORK and LAUNCHER_LAB_TOOLS, which must be set before
    # it is imported.
    os.environ.setdefault("LAUNCHER_E2E_WORK", a.work)
    os.environ["LAUNCHER_LAB_TOOLS"] = a.tools
    import winelab
    # Run by root, everything the disc can touch runs as the lab's unprivileged account.
    if os.geteuid() == 0:
        trialbox.set_account(winelab.account())
    # Where the prefix templates are kept is checked before anything else is done: a folder
    # another account could change is refused, in one line.
    try:
        if os.geteuid() == 0:
            winelab.lab()
        else:
            trialbox.own_cache(winelab)
    except winelab.UnsafeFolder as why:
        print(printable(f"disckit trial: {why}"), file=sys.stderr)
        return 2
    reason = cannot_run_here(winelab)
    if reason:
        print(printable(f"disckit trial: {reason}"), file=sys.stderr)
        return 2
    try:
        if not a.out:
            # Without --out the screenshots go beside the observations, into the folder disckit
            # made for this run and removes once it has put them into the report.
            a.out = os.path.join(os.path.dirname(os.path.abspath(a.observations)), "shots")
        a.out_fd = trialbox.open_out(a.out)
    except ValueError as why:
        print(printable(f"disckit trial: {why}"), file=sys.stderr)
        return 2
    # A stop from outside (Ctrl-C, kill, a closed terminal) still ends the sandbox and removes
    # the trial's folder; the report is written after that, so a reader that goes away (| head)
    # only cuts it short.
    signal.signal(signal.SIGINT, interrupted)
    signal.signal(signal.SIGTERM, interrupted)
    signal.signal(signal.SIGHUP, interrupted)
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    trial = Trial(a, winelab)
    try:
        report = trial.run()
    except (CannotRun, winelab.UnsafeFolder) as reason:
        trial.progress.done()
        print(printable(f"disckit trial: {reason}"), file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        trial.progress.done()
        print("disckit trial: stopped", file=sys.stderr)
        return 2
    except Exception as failed:
        # A fault of the trial itself is not a fault of the disc: never exit code 1.
        trial.progress.done()
        import traceback
        traceback.print_exc()
        print(printable(f"disckit trial: the trial failed: {type(failed).__name__}: {failed}"),
              file=sys.stderr)
        return 2
    finally:
        try:
            trial.close()
        except Exception as failed:
            print(printable(f"disckit trial: cleaning up failed: {failed}"), file=sys.stderr)
    # disckit reads what was seen, looks the start page up on the disc, decides the verdict and
    # writes the report.
    report["diskBudget"] = DISK_BUDGET
    try:
        write_observations(a.observations, report)
    except OSError as e:
        print(printable(f"disckit trial: cannot write the observations to {a.observations}: {e}"),
              file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except SystemExit:
        raise
    except BaseException as failed:
        print(printable(f"disckit trial: {type(failed).__name__}: {failed}"), file=sys.stderr)
        sys.exit(2)
