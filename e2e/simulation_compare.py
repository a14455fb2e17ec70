#!/usr/bin/env python3
"""The simulation predicts what Wine recorded, scenario by scenario.

For every scenario of the lab whose system and disc `disckit simulate` can describe, the
scenario's own Wine runs left a record (simrecord.py): the system as OsProbe reported it, the
disc folder the launcher ran from, read-only or writable media, the install directory, whether
the controls' class was registered, whether the browser it started stays up, whether another
launcher ran; and what Wine recorded. This runs `disckit simulate DIR --json` with options that
describe the same system and disc and compares, launcher run by launcher run:

- the programs started, each by its program file and exact command line, the message boxes and
  the loads of the disc's library, in the order the launcher fixes: by the times the system gave
  the processes when they were created and the times the box and the load were recorded (a box
  holds the launcher until it is answered, and a load is recorded inside the launcher's call);
  events that fall in the same millisecond are taken in either order. A browser of the host
  that a scenario put in place of the disc's (so that it is never seen running) gets no command
  line, only the arguments Wine split it into: its starts are compared by program file and
  those arguments, in the order of the times the host gave its processes when Wine forked them. The four regsvr32 tools
  run side by side, so only the order the launcher created them in counts, not their records'.
  A 32-bit program that starts the system directory's regsvr32 on 64-bit Windows runs the one
  in SysWOW64 (the system's redirection); paths are compared as Windows compares them,
  without regard to case.
- the files the run left in the Windows directory, byte for byte, and whether they are
  read-only; those it removed;
- each launcher's exit code, or that it never ends (the browser loop of a browser that never
  shows up: then what Wine saw must be the start of the simulation's endless repetition).

Not compared: the simulation's sleeps and times (Wine's wall clock is not the launcher's
virtual one), the processes ended (nothing records its own end), the libraries of the system
(only the disc's probe library records its loads), and starts that fail (no process, no record).

Not described, so not compared (NOT_DESCRIBED says why for each):
- read_only_tool: one read-only file on a writable copy; a simulated disc is read-only or
  writable as a whole.
- two_copies: two launchers run the sequence at once, so their starts interleave as the race
  goes and the class one meets depends on whether the other's registrations have finished.
- planted_files, planted_library: planted programs beside and outside the disc, and Wine told to
  prefer a planted library over its own: how Windows searches for a program or library is not
  part of a simulated system.
- fallback_search_planted, fallback_search_planted_native32, fatal_ends_quietly: the launcher's
  test build with its hooks (a forced library search, brought-about faults) runs there.

A record that is missing or older than the build (only this test was run, say) is made by
running its scenario first; a scenario that skips here is reported and left out.

    simulation_compare.py [NAME...]  compare every described scenario, or these (exit 0: the
                                     same, 1: a difference, 77: nothing could be compared)
    simulation_compare.py list       the scenarios compared
"""

import base64
import json
import os
import re
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import harness  # noqa: E402  (after the path is set)
import labpath  # noqa: E402,F401
import scenarios  # noqa: E402
import simrecord  # noqa: E402
import winelab  # noqa: E402

NATIVE_DISCKIT = Path(os.environ.get("LAUNCHER_NATIVE_DISCKIT",
                                     winelab.ROOT / "build" / "native" / "disckit")).resolve()
SKIP = 77

NOT_DESCRIBED = {
    "read_only_tool": "one read-only file on a writable copy (a simulated disc is read-only or "
                      "writable as a whole)",
    "two_copies": "two launchers run the sequence at once: their starts interleave as the race "
                  "goes, and the class one meets depends on the other's registrations",
    "planted_files": "planted programs beside and outside the disc (how Windows searches for a "
                     "program is not simulated)",
    "planted_library": "a planted library Wine is told to prefer (how Windows searches for a "
                       "library is not simulated)",
    "fallback_search_planted": "the launcher's test build with a forced library search",
    "fallback_search_planted_native32": "the launcher's test build with a forced library search",
    "fatal_ends_quietly": "the launcher's test build with its fault hooks",
    "prelaunch_tool_name_read_other_way": "the launcher's test build with a failing name query",
    "folder_renamed_mid_run": "a folder renamed while the launcher runs, and a browser of the host",
    "branded_disc": "a disc that disckit build branded and signed; its launcher run is "
                    "typical_run's, which is compared",
}
SCENARIOS = harness.names(scenarios)
COMPARED = [name for name in SCENARIOS if name not in NOT_DESCRIBED]
assert set(NOT_DESCRIBED) <= set(SCENARIOS), set(NOT_DESCRIBED) - set(SCENARIOS)


class NotDescribable(Exception):
    """What Wine reported lies outside what a simulation can be told."""


# --- What the simulation is told -----------------------------------------------------------------

def simulate_args(part, options):
    """disckit simulate's command line for one launcher of a record's part."""
    report = part["system"]
    if report.get("versionExOk") != "1":
        raise NotDescribable(f"the extended version query failed: {report}")
    wow = (report.get("sysWow64Found"), report.get("isWow64"))
    if wow not in (("1", "1"), ("0", "0")):
        raise NotDescribable(f"SysWOW64 found {wow[0]}, WOW64 process {wow[1]}: neither a 32- "
                             "nor a 64-bit system as the simulation knows them")
    args = [str(simrecord.RECORDS / part["disc"]), "--json",
            "--version", f"{report['major']}.{report['minor']}", "--build", report["build"],
            "--platform-id", report["platformId"], "--product-type", report["productType"],
            "--bits", "64" if wow[0] == "1" else "32",
            "--lang", report["systemLangId"], "--codepage", report["acp"],
            "--media", part["media"], "--install-dir", part["installDir"]]
    if part.get("shortInstallDir"):
        args += ["--short-install-dir", part["shortInstallDir"]]
    if part["registered"]:
        args.append("--registered")
    if options.get("browser"):
        args += ["--browser", options["browser"]]
    if options.get("instanceRunning"):
        args.append("--instance-running")
    return args


def simulate(args):
    result = subprocess.run([str(NATIVE_DISCKIT), "simulate", *args], capture_output=True,
                            timeout=120)
    if result.returncode != 0:
        raise RuntimeError(f"disckit simulate {' '.join(args)} ended with {result.returncode}: "
                           f"{result.stderr.decode(errors='replace')}")
    return json.loads(result.stdout)


# --- What is compared ------------------------------------------------------------------------------

def fold(path):
    return path.casefold()


class Item:
    """One thing in the launcher's order: a start, a box or a load. key is what must be equal."""

    def __init__(self, key, shown):
        self.key, self.shown = key, shown

    def __repr__(self):
        return self.shown


def start_item(image, command_line, shown_image=None, host=False):
    """host: the program is one of the host (a browser the scenario put in place of the disc's),
    which sees only the arguments Wine split the command line into, so those are compared."""
    if host:
        args = split_arguments(command_line)
        return Item(("start", fold(image), ("arguments", *args)),
                    f"start {command_line!r} ({shown_image or image}), arguments {args!r}")
    return Item(("start", fold(image), command_line),
                f"start {command_line!r} ({shown_image or image})")


def host_start_item(image, args):
    return Item(("start", fold(image), ("arguments", *args)),
                f"start with arguments {args!r} ({image}, a program of the host)")


def split_arguments(command_line):
    """The arguments after the program name, split as Windows programs split a command line:
    blanks separate them outside quotes; 2n backslashes before a quote are n and the quote opens
    or closes, 2n+1 are n and a quote of the text; other backslashes are themselves."""
    line = command_line
    if line.startswith('"'):
        end = line.find('"', 1)
        rest = line[end + 1:] if end >= 0 else ""
    else:
        rest = re.sub(r"^[^ \t]*", "", line)
    args, current, quoted, started, i = [], [], False, False, 0
    while i < len(rest):
        c = rest[i]
        if c == "\\":
            n = len(rest[i:]) - len(rest[i:].lstrip("\\"))
            if i + n < len(rest) and rest[i + n] == '"':
                current.append("\\" * (n // 2))
                if n % 2:
                    current.append('"')
                    i += n + 1
                else:
                    i += n
                started = True
                continue
            current.append("\\" * n)
            i += n
            started = True
            continue
        if c == '"':
            quoted, started = not quoted, True
        elif c in " \t" and not quoted:
            if started:
                args.append("".join(current))
            current, started = [], False
        else:
            current.append(c)
            started = True
        i += 1
    if started:
        args.append("".join(current))
    return args


def box_item(caption, text):
    return Item(("box", caption, text), f"box [{caption}] {text!r}")


def load_item(path):
    return Item(("load", fold(path)), f"load {path}")


def redirected(program, bits):
    """The program file that runs when a 32-bit program starts this one: on 64-bit Windows the
    system directory is SysWOW64 for it."""
    if bits != 64:
        return program
    return re.sub(r"(?i)^(.*\\)system32(\\[^\\]+)$", r"\1SysWOW64\2", program)


def expected_items(sim, install_dir, host_programs=frozenset()):
    """The simulation's effects that Wine can see, as Items: (all of them, []) for a launcher
    that ends; for one that never ends (those before its endless repetition, one pass of it)."""
    bits = sim["system"]["bits"]
    items = []
    for effect in sim["effects"]:
        kind = effect["kind"]
        if kind == "start" and effect["ok"]:
            image = redirected(effect["program"], bits)
            items.append(start_item(image, effect["commandLine"],
                                    f"{effect['program']}, running {image}" if image !=
                                    effect["program"] else None,
                                    host=fold(image) in host_programs))
        elif kind == "box":
            items.append(box_item(effect["caption"], effect["text"]))
        elif kind == "load" and effect["ok"] and fold(effect["path"]).startswith(fold(install_dir)):
            items.append(load_item(effect["path"]))
        else:
            items.append(None)  # keeps the effect's index; not observable
    outcome = sim["outcome"]
    if outcome["result"] != "loops-forever" or "repeatsFromEffect" not in outcome:
        return [i for i in items if i], []
    first = outcome["repeatsFromEffect"]
    period = outcome["repeatsEverySeconds"]
    begin = sim["effects"][first]["time"]
    one_pass = [item for effect, item in zip(sim["effects"][first:], items[first:])
                if effect["time"] < begin + period and item]
    return [i for i in items[:first] if i], one_pass


def seen_image(part, image):
    """A started program's file as the launcher named it. One started by its short name runs
    under its long path, which the stand-in's ANSI record shows with a look-alike or '?' for
    every character the code page lacks: the same file."""
    short = part.get("shortInstallDir")
    if short:
        def held(c):
            try:
                c.encode(part["ansi"])
                return True
            except UnicodeEncodeError:
                return False
        long_seen = "".join(re.escape(c) if held(c) else "." for c in part["installDir"])
        match = re.match(long_seen, image, re.IGNORECASE)
        if match:
            return short + image[match.end():]
    return image


def observed_groups(part):
    """What Wine recorded, in time order, as groups of Items that fell in the same millisecond."""
    timed = [(p["created"], host_start_item(seen_image(part, p["image"]), p["arguments"])
              if "arguments" in p else
              start_item(seen_image(part, p["image"]), p["commandLine"]))
             for p in part["processes"]]
    timed += [(b["ms"], box_item(b["caption"], b["text"])) for b in part["boxes"]]
    timed += [(l["ms"], load_item(l["path"])) for l in part["loads"]]
    timed.sort(key=lambda t: t[0])
    groups = []
    for ms, item in timed:
        if groups and groups[-1][0] == ms:
            groups[-1][1].append(item)
        else:
            groups.append((ms, [item]))
    return [items for _, items in groups]


def compare_order(expected, repeating, groups, never_ends):
    """Differences between the simulation's order and Wine's, each showing both sides. groups:
    Wine's Items, grouped by the millisecond; expected, then repeating for ever when the launcher
    never ends: the simulation's."""
    seen = [item for group in groups for item in group]
    wanted = list(expected)
    while repeating and len(wanted) < len(seen):
        wanted += repeating
    differences = []
    at = 0
    for group in groups:
        mine = wanted[at:at + len(group)]
        if sorted(i.key for i in mine) != sorted(i.key for i in group):
            differences.append(f"at {at + 1}: simulation {mine or 'nothing more'}, Wine {group}")
            break
        at += len(group)
    else:
        # A launcher that never ends was seen for a while: at least up to its repetition.
        missing = wanted[at:len(expected)] if never_ends else wanted[at:]
        if missing:
            differences.append(f"after {at}: simulation {missing}, Wine nothing more")
    if differences:
        differences.append(f"simulation in order: {wanted[:max(len(seen), len(expected))]}")
        differences.append(f"Wine in order:       {seen}")
    return differences


def compare_files(part, sims, disc):
    """The Windows directory as the launchers left it against the simulation's files."""
    ansi = part["ansi"]
    wine = {fold(f["path"]): f for f in part["files"]}
    predicted, removed = {}, set()
    for sim in sims:
        for f in sim["files"]:
            predicted[fold(f["path"])] = f
        removed |= {fold(e["path"]) for e in sim["effects"]
                    if e["kind"] == "delete" and e["ok"]}
    differences = []
    for key in sorted(set(wine) | set(predicted)):
        mine, theirs = predicted.get(key), wine.get(key)
        if mine is None:
            differences.append(f"file {theirs['path']}: simulation does not write it, Wine has "
                               f"{len(base64.b64decode(theirs['bytes']))} bytes")
            continue
        if theirs is None:
            differences.append(f"file {mine['path']}: simulation writes it ({mine['size']} "
                               "bytes), Wine did not (only the Windows directory is watched)")
            continue
        if "content" in mine:
            data = mine["content"].encode(ansi, "surrogateescape")
        else:
            data = disc_file(disc, launcher_dir(part), mine["copyOf"]).read_bytes()
        got = base64.b64decode(theirs["bytes"])
        if data != got:
            differences.append(f"file {mine['path']}: simulation {shown_bytes(data, ansi)}, "
                               f"Wine {shown_bytes(got, ansi)}")
        if mine["readOnly"] != theirs["readOnly"]:
            differences.append(f"file {mine['path']}: simulation read-only {mine['readOnly']}, "
                               f"Wine read-only {theirs['readOnly']}")
    gone = {fold(p): p for p in part["removed"]}
    removed -= set(predicted)
    for key in sorted(set(gone) ^ removed):
        differences.append(f"{gone.get(key, key)}: the simulation "
                           f"{'removes' if key in removed else 'keeps'} it, Wine "
                           f"{'removed' if key in gone else 'kept'} it")
    return differences


def shown_bytes(data, ansi):
    if len(data) <= 200:
        return repr(data.decode(ansi, "replace"))
    return f"{len(data)} bytes starting {data[:16].hex()}"


def launcher_dir(part):
    """The folder as the launcher names it: its short name where the scenario gave one."""
    return part.get("shortInstallDir") or part["installDir"]


def disc_file(disc, install_dir, windows_path):
    """Where a file of the disc, named as the launcher names it, lies in the copied folder."""
    if not fold(windows_path).startswith(fold(install_dir)):
        raise NotDescribable(f"{windows_path} is not on the disc {install_dir}")
    path = disc
    for name in windows_path[len(install_dir):].split("\\"):
        matches = [p for p in path.iterdir() if fold(p.name) == fold(name)]
        if not matches:
            return path / name
        path = matches[0]
    return path


def compare_part(part):
    """(what was compared, differences) for one part of a record."""
    disc = simrecord.RECORDS / part["disc"]
    sims = [simulate(simulate_args(part, l["options"])) for l in part["launchers"]]
    differences = []

    # Each launcher's end, as a multiset: launchers started at once are alike, and which one
    # took the counter first is the race's.
    def end(code):
        return "never ends" if code is None else f"exit code {code}"
    mine = sorted(end(s["outcome"]["exitCode"]) for s in sims)
    theirs = sorted(end(l["exitCode"]) for l in part["launchers"])
    if mine != theirs:
        differences.append(f"launchers: simulation {mine}, Wine {theirs}")

    host_programs = frozenset(fold(seen_image(part, p["image"])) for p in part["processes"]
                              if "arguments" in p)
    acting = [(expected_items(s, launcher_dir(part), host_programs), s) for s in sims]
    acting = [(items, s) for items, s in acting if items[0] or items[1]]
    groups = observed_groups(part)
    if len(acting) > 1:
        # More than one launcher does something: nothing fixes how their steps interleave.
        wanted = sorted((i for (before, _), _ in acting for i in before), key=lambda i: i.key)
        seen = sorted((i for g in groups for i in g), key=lambda i: i.key)
        if [i.key for i in wanted] != [i.key for i in seen]:
            differences.append(f"several launchers act: simulation {wanted}, Wine {seen}")
    else:
        (before, repeating), sim = acting[0] if acting else (([], []), None)
        never_ends = sim is not None and sim["outcome"]["exitCode"] is None
        differences += compare_order(before, repeating, groups, never_ends)
    differences += compare_files(part, sims, disc)
    starts = sum(1 for g in groups for i in g if i.key[0] == "start")
    boxes = sum(1 for g in groups for i in g if i.key[0] == "box")
    summary = (f"{len(part['launchers'])} launcher(s) on {part['system']['major']}."
               f"{part['system']['minor']}.{part['system']['build']} product type "
               f"{part['system']['productType']}, LANGID {part['system']['systemLangId']}, code "
               f"page {part['system']['acp']}, {part['media']} {part['installDir']}"
               f"{', registered' if part['registered'] else ''}: {starts} starts, {boxes} boxes, "
               f"{len(part['files'])} files")
    return summary, differences


# --- Records ---------------------------------------------------------------------------------------

def built_at():
    """When what the scenarios run was last built or changed."""
    sources = [winelab.START_EXE, winelab.DISC_IMAGE, HERE / "scenarios.py",
               HERE / "harness.py",
               HERE / "simrecord.py", Path(winelab.__file__), *winelab.TOOLS.glob("*")]
    return max(p.stat().st_mtime for p in sources if p.exists())


def record_of(name):
    """The scenario's record, made by running the scenario when it is missing or stale; None
    when the scenario skips here (with the reason printed)."""
    path = simrecord.RECORDS / f"{name}.json"
    if not path.exists() or path.stat().st_mtime < built_at():
        print(f"{name}: no record as new as the build; running the scenario", flush=True)
        result = subprocess.run(
            [sys.executable, str(HERE / "harness.py"), "run", "scenarios", name],
            capture_output=True, text=True, timeout=3600)
        if result.returncode != 0 and result.returncode != SKIP or not path.exists():
            raise RuntimeError(f"scenario {name} failed, so there is nothing to compare:\n"
                               f"{result.stdout}{result.stderr}")
    record = json.loads(path.read_text())
    if "skipped" in record:
        print(f"{name}: skipped here: {record['skipped']}")
        return None
    return record


def main(argv):
    if argv[:1] == ["list"]:
        print("\n".join(COMPARED))
        return 0
    reason = winelab.can_run_wine()
    if reason is None and not NATIVE_DISCKIT.exists():
        reason = f"{NATIVE_DISCKIT} is not built (cmake --build --preset native)"
    if reason:
        print(f"SKIPPED: {reason}")
        return SKIP
    unknown = [name for name in argv if name not in COMPARED]
    if unknown:
        print(f"not compared scenarios: {unknown}; the compared ones: {COMPARED}")
        return 2
    failed, compared = [], 0
    for name in argv or COMPARED:
        try:
            record = record_of(name)
            if record is None:
                continue
            for number, part in enumerate(record["parts"], 1):
                summary, differences = compare_part(part)
                print(f"{name} part {number}: {summary}: "
                      f"{'the same' if not differences else 'DIFFERENT'}")
                for line in differences:
                    print(f"    {line}")
                if differences:
                    failed.append(f"{name} part {number}")
            compared += 1
        except (NotDescribable, RuntimeError) as problem:
            print(f"{name}: {problem}")
            failed.append(name)
    for name, why in NOT_DESCRIBED.items():
        print(f"{name}: not compared: {why}")
    print(f"{compared} scenarios compared; "
          f"{'the simulation differs in ' + ', '.join(failed) if failed else 'no difference'}")
    if failed:
        return 1
    return 0 if compared else SKIP


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
