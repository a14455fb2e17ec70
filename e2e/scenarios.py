#!/usr/bin/env python3
"""End-to-end scenarios: the real Start.exe under Wine on the sample disc, one test each, run by
harness.py (harness.py templates makes the Wine prefixes every scenario is copied from).

Expectations about the system come from what Wine reports (OsProbe) and the launcher's own
rules, never from the name of a Wine setting: the launcher's core classifies the version record
Wine reports, run by disckit simulate.
"""

import functools
import json
import os
import re
import shutil
import struct
import subprocess
import time
import unittest
from pathlib import Path

import labpath  # noqa: F401 (the lab and the trial's driver)
import simrecord
import winelab
from winelab import Machine

REFUSAL = ("Discmate", "Swiftdeck does not support this version of windows.")
PROBE_FAIL = ("Error", "Load library fail")
DISCKIT = Path(os.environ.get("LAUNCHER_NATIVE_DISCKIT",
                              winelab.ROOT / "build" / "native" / "disckit")).resolve()


# --- What the launcher makes of the system ------------------------------------------------------

@functools.lru_cache(maxsize=None)
def _simulated(platform, major, minor, build, product, syswow64):
    """The outcome of disckit simulate on the sample disc, told this version record and whether
    the Windows directory holds a SysWOW64 folder: what the launcher's core decides there."""
    if not DISCKIT.exists():
        raise RuntimeError(f"{DISCKIT} is not built (cmake --build --preset native)")
    command = [str(DISCKIT), "simulate", str(winelab.DISC), "--json", "--platform-id", platform,
               "--version", f"{major}.{minor}", "--build", build, "--product-type", product,
               "--bits", "64" if syswow64 else "32"]
    done = subprocess.run(command, capture_output=True, timeout=120)
    if done.returncode not in (0, 1) or not done.stdout:
        raise RuntimeError(f"{' '.join(command)}: exit {done.returncode}\n"
                           f"{done.stderr.decode('utf-8', 'replace')}")
    return json.loads(done.stdout)["outcome"]


def _outcome(report):
    build = report["build"]
    if report["platformId"] == "1":
        # On the 95/98/Me family the build field's high half repeats the version: disckit
        # simulate is told the build number, and composes that field from it as the system does.
        build = str(int(build) & 0xFFFF)
    # A failed extended query leaves the probe's record zero-filled past the basic fields, as
    # the launcher's: the product type it reports is then 0, and is told as such.
    return _simulated(report["platformId"], report["major"], report["minor"], build,
                      report["productType"], report["sysWow64Found"] == "1")


def classify(report):
    """(OsCode, ServerFlag) the launcher gives the system the probe reports."""
    outcome = _outcome(report)
    return outcome["osCode"], outcome["serverFlag"]


def supported(report):
    """Whether the launcher goes on past its version check on the system the probe reports."""
    return _outcome(report)["result"] != "refused"


# --- Checks ------------------------------------------------------------------------------------

class Failed(AssertionError):
    pass


def check(condition, message):
    if not condition:
        raise Failed(message)


def equal(actual, expected, what):
    check(actual == expected, f"{what}: expected {expected!r}, got {actual!r}")


def events(log, program=None, event=None):
    return [e for e in log if (program is None or e.program == program)
            and (event is None or e.event == event)]


def boxes(log):
    result = []
    for e in events(log, "BoxWatcher", "box"):
        caption, _, text = e.detail.partition(b"\x1f")
        result.append((caption.decode("latin-1"), text.decode("latin-1")))
    return result


def browser_command(install_dir, folder):
    return f'Panoview.exe "{install_dir}lang\\{folder}Welcome.htm'


def registrations(log, run):
    """(control, register or unregister) of the registrations the run started."""
    return sorted((e.program, e.event) for e in run.created(log)
                  if e.event in ("register", "unregister"))


def check_reregistration(log, run):
    """A class registered before: both controls removed, then both registered. The four tools
    run side by side and nobody waits for them, so neither the order in which they record nor
    the class key they leave is fixed; the order in which the launcher created them is."""
    equal(registrations(log, run), [("Discpane", "register"), ("Discpane", "unregister"),
                                    ("Gauge", "register"), ("Gauge", "unregister")],
          "registrations")
    removals = run.created(events(log, event="unregister"))
    additions = run.created(events(log, event="register"))
    check(max(e.created for e in removals) <= min(e.created for e in additions),
          f"a registration started before a removal: {removals} {additions}")


def check_no_tool_wait(log, run):
    """No 15 s wait: the launcher's creation of its last registration tool (step 4) and of the
    browser enclose the pre-launch tool step, and a wait there would keep them at least
    15000 ms apart. Between them lie only the launcher's own steps, no other program's start."""
    registered = run.created([e for e in log if e.event in ("register", "unregister")])
    browser = run.created(events(log, "Panoview", "start"))
    check(registered and browser, f"no registration or no browser in the run: {registered} {browser}")
    took = browser[0].created - max(e.created for e in registered)
    check(took < 15000, f"browser started {took} ms after the last registration: a 15 s wait")


def check_handoff(m, install_dir, source=None):
    windows = m.unix_path("C:\\windows")
    equal((windows / "Handoff.ini").read_bytes(), (install_dir + "Start.exe").encode(m.ansi),
          "Handoff.ini")
    source = source or m.disc_dir / "Handoff.exe"
    equal((windows / "Handoff.exe").read_bytes(), source.read_bytes(), "Handoff.exe copy")


def check_writable(m, *names):
    """The hand-off files are not left read-only (for Wine: they keep their write bit)."""
    for name in names:
        mode = m.unix_path(f"C:\\windows\\{name}").stat().st_mode
        check(mode & 0o200, f"C:\\windows\\{name} is read-only (mode {mode:o})")


def check_supported_run(m, install_dir, run, folder="Eng\\", browsers=1):
    """What every supported run leaves behind, checked once everything the launcher started
    has written its first record. browsers: how many browsers run now, earlier runs' included."""
    equal(run.rc, 0, "launcher exit code")
    log = m.settle()
    equal(boxes(log), [], "boxes shown")
    starts = run.created(events(log, "Panoview", "start"))
    equal(len(starts), 1, "browsers the launcher started")
    equal(starts[0].detail, browser_command(install_dir, folder).encode(m.ansi),
          "browser command line")
    # It looks for the browser a second after starting it, and ends when it sees it.
    waited = run.ended - starts[0].created
    check(waited >= 1000, f"launcher ended {waited} ms after it started the browser")
    check_handoff(m, install_dir)
    check_writable(m, "Handoff.exe", "Handoff.ini")
    running = m.processes()
    equal(running.count("Panoview.exe"), browsers, f"browsers running ({running})")
    check("Start.exe" not in running, "launcher still running")
    return log


def exiting_browser(m, install_dir):
    """A browser that never stays up however slow the machine: one of the host (see
    winelab.HostBrowser) in place of the disc's, so that a launcher stays in its browser loop."""
    return winelab.HostBrowser(m, install_dir + "Panoview.exe")


def check_browser_starts(m, browser, install_dir):
    """Every start of the host browser so far: the disc's browser file, on the page as the
    launcher's command line names it (Wine takes the opening quote away), a second or more
    after the one before (a pass of the loop waits that long before it looks)."""
    starts = browser.starts()
    check(starts, "no browser start")
    equal([p for _, _, p, _ in starts if not browser.started_from(p)], [],
          "browsers started from another file")
    # A program of the host gets its arguments in the host's encoding.
    page = f"{install_dir}lang\\Eng\\Welcome.htm".encode("utf-8")
    equal({tuple(a) for _, _, _, a in starts}, {(page,)}, "arguments of the browser starts")
    gaps = browser.gaps_ms()
    check(all(g >= 1000 for g in gaps), f"browser started less than a second apart: {gaps}")


# --- Scenarios ---------------------------------------------------------------------------------

def setUpModule():
    reason = winelab.can_run_wine()
    if reason:
        raise unittest.SkipTest(reason)


def scenario(method):
    """A scenario's test: the lab's Skip is a skip, noted in the scenario's record so that nobody
    runs it again to find out; Wine hanging is tried once more."""
    name = method.__name__[len("test_"):]

    @functools.wraps(method)
    def run(self):
        try:
            try:
                method(self)
            except winelab.WineHung as hung:
                # Seen rarely with the 32-bit half of Wine under emulation: a system probe that
                # never ended while the prefix was set up, before any launcher ran. Only that is
                # tried once more, in a fresh prefix; whatever the launcher does is checked once.
                print(f"Wine hung ({hung}); trying once more in a fresh prefix")
                method(self)
        except winelab.Skip as skip:
            simrecord.skipped(name, str(skip))
            raise unittest.SkipTest(str(skip)) from None
    return run


# --- A disc as an author builds it ------------------------------------------------------------

def author_icon(path):
    """An icon of the author's own, unlike the stock one: 16, 32 and 48 px, one colour each."""
    images = []
    for size, bgra in ((16, b"\x20\x40\xc0\xff"), (32, b"\x20\xa0\x40\xff"), (48, b"\xc0\x40\x20\xff")):
        header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, 0, 0, 0, 0, 0)
        mask = bytes((size + 31) // 32 * 4 * size)
        images.append((size, header + bgra * size * size + mask))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    path.write_bytes(out + b"".join(data for _, data in images))


def test_certificate(folder):
    """A code-signing certificate of a test CA, made here and thrown away with the run; the
    PKCS#12 file with it and its key, and the file holding its password."""
    def openssl(*args):
        subprocess.run(["openssl", *args], cwd=folder, check=True, capture_output=True, timeout=120)
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.crt",
            "-days", "2", "-subj", "/CN=Lab Test CA", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "sign.key", "-out", "sign.csr",
            "-subj", "/CN=Nordwind Treiber GmbH")
    (folder / "ext").write_text("extendedKeyUsage=codeSigning\nkeyUsage=digitalSignature\n")
    openssl("x509", "-req", "-in", "sign.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
            "-CAcreateserial", "-out", "sign.crt", "-days", "2", "-extfile", "ext")
    (folder / "password").write_text("lab-password\n")
    openssl("pkcs12", "-export", "-in", "sign.crt", "-inkey", "sign.key", "-out", "sign.p12",
            "-passout", "file:password")


def z_path(path):
    """The path as the prefix's drive Z: (the Unix root) shows it."""
    return "Z:" + str(path).replace("/", "\\")


def verified(ca, path):
    return subprocess.run(["osslsigncode", "verify", "-CAfile", str(ca), "-in", str(path)],
                          capture_output=True, timeout=120).returncode == 0

def started_programs(m, d, run):
    """The Events in which the browser and the tool recorded their start, and the controls
    their registration inside regsvr32, by program."""
    log = check_supported_run(m, d, run)
    seen = {e.program: e for e in run.created(log)
            if (e.program, e.event) in (("Panoview", "start"), ("Q7", "start"),
                                        ("Discpane", "register"), ("Gauge", "register"))}
    equal(sorted(seen), ["Discpane", "Gauge", "Panoview", "Q7"], "programs that recorded")
    return log, seen

def refusal(name, version, arch="win64", wanted=None):
    """The launcher refuses the system a version setting reports. wanted(report), when given,
    first checks that the setting reports the system the scenario is about."""
    with Machine(name, arch=arch, version=version) as m:
        if wanted:
            wanted(m.report)
        rec = simrecord.Recording(m)
        code, flag = classify(m.report)
        if supported(m.report):
            raise Failed(f"Wine reports a supported system for {version}: {m.report}")
        d = m.insert_disc()
        m.watch_boxes()
        part = rec.part(d)
        run = m.run_launcher(d)
        equal(run.rc, 0, "launcher exit code")
        log = m.settle()
        equal(boxes(log), [REFUSAL], f"boxes for OsCode {code}, ServerFlag {flag}")
        box_time = events(log, "BoxWatcher", "box")[0].ms
        registered = run.created(events(log, event="register"))
        equal(sorted(e.program for e in registered), ["Discpane", "Gauge"], "controls registered")
        # The watcher records a box before it answers it: a registration started after the box
        # was closed would have been created after that record.
        late = [(e.program, e.created - box_time) for e in registered if e.created > box_time]
        equal(late, [], "registrations started after the refusal box was shown (ms after it)")
        equal(events(log, "Panoview"), [], "browser events")
        check(not m.unix_path("C:\\windows\\Handoff.ini").exists(), "hand-off written")
        part.ran(run)
        rec.save()

def language(name, lang, folder, expect_langid, drop_marker=None):
    with Machine(name, lang=lang) as m:
        rec = simrecord.Recording(m)
        equal(m.report["systemLangId"], expect_langid, "system LANGID")
        d = m.insert_disc(remove=(f"lang/{drop_marker}/locale.js",) if drop_marker else ())
        m.watch_boxes()
        part = rec.part(d)
        run = m.run_launcher(d)
        check_supported_run(m, d, run, folder=folder)
        part.ran(run)
        rec.save()

# --- Hardening: a folder outside the code page, planted system libraries, fatal ends -------------

START_TEST = winelab.TOOLS / "StartTest.exe"

def short_path(m, windows_folder):
    """The short (8.3) form of a folder (ending with a backslash) as this Wine gives it, asked
    for in UTF-16; None when it gives none."""
    out = m.wine("C:\\lab\\OsProbe.exe", "--short", windows_folder.rstrip("\\")).stdout
    line = out.decode("utf-8").strip()
    return line[len("shortPath="):] + "\\" if line.startswith("shortPath=") else None

# The libraries that system code loads by their bare names in the launcher's process, as Wine's
# loader trace of a run shows (WINEDEBUG=+loaddll): the theme library when the common controls
# initialise, OLE and the two libraries it imports when a message box is shown; and the common
# controls and the process-status library, which the launcher loads itself. Not among them: the
# libraries a process loads at its start, before the launcher's first instruction (Windows keeps
# those as known libraries), and Wine's own display driver, which Windows does not have.
LOADED_BY_NAME = ("uxtheme.dll", "ole32.dll", "combase.dll", "rpcrt4.dll", "comctl32.dll",
                  "psapi.dll")
LOADED = re.compile(r'([0-9a-f]+):trace:loaddll:build_module Loaded L"(.*)" at ')


def libraries_loaded_into_launcher(trace):
    """Paths of the libraries the launcher's process loaded, from Wine's loader trace."""
    thread, paths = None, []
    for line in trace.decode("latin-1").splitlines():
        match = LOADED.match(line)
        if not match:
            continue
        path = match.group(2).replace("\\\\", "\\")
        if thread is None and path.lower().endswith("\\start.exe"):
            thread = match.group(1)
        if match.group(1) == thread:
            paths.append(path)
    return paths


def fallback_search(name, arch):
    """The test build forced onto the fallback search of systems without
    SetDefaultDllDirectories, with a planted copy of each library of LOADED_BY_NAME beside it
    and Wine told to prefer such copies: one run without a box, one with the probe library's box.
    No planted copy may be loaded into the launcher's process."""
    with Machine(name, arch=arch) as m:
        planted = (winelab.TOOLS / "Planted.dll").read_bytes()
        add = {"Start.exe": START_TEST.read_bytes()}
        add.update((library, planted) for library in LOADED_BY_NAME)
        env = {"START_TEST_HOOKS": "fallback-search", "WINEDEBUG": "+loaddll",
               "WINEDLLOVERRIDES": ";".join([winelab.BASE_ENV["WINEDLLOVERRIDES"]] +
                                            [f"{lib[:-4]}=n,b" for lib in LOADED_BY_NAME])}
        m.watch_boxes()
        outcome, expected = {}, {}
        for run, remove, box in (("no box", ("Q7.exe",), []),
                                 ("probe box", ("Q7.exe", "qzm.dll"), [PROBE_FAIL])):
            d = m.insert_disc(remove=remove, add=add)
            launcher = (d + "Start.exe").lower()
            before = len(m.log())
            result = m.wine(d + "Start.exe", check=False, env=env)
            log = m.settle()[before:]
            loads = [e.detail.decode(m.ansi).split("\x1f") for e in events(log, "Planted", "load")]
            outcome[run] = {
                "exit code": result.returncode,
                "boxes": boxes(log),
                "browser starts": len(events(log, "Panoview", "start")),
                "planted copies loaded": [lib for lib, host in loads if host.lower() == launcher],
                "other libraries of the disc folder": [
                    p for p in libraries_loaded_into_launcher(result.stderr)
                    if p.lower().startswith(d.lower()) and p.lower() not in
                    (launcher, (d + "qzm.dll").lower())],
            }
            expected[run] = {"exit code": 0, "boxes": box, "browser starts": 1,
                             "planted copies loaded": [], "other libraries of the disc folder": []}
        equal(outcome, expected, "the launcher's process, per run")
        # The browser, a program of the disc, does take the planted copies from its own folder:
        # Wine prefers them, so their absence from the launcher's process means something. It
        # loads them as it opens its window, after its first record: all it took is in the log
        # once every browser started has recorded its window shown.
        def browsers_shown():
            log = m.log()
            return len(events(log, "Panoview", "shown")) >= len(events(log, "Panoview", "start"))
        check(m.wait_for(browsers_shown), "a browser started never showed its window")
        loads = [e.detail.decode(m.ansi).split("\x1f") for e in events(m.log(), "Planted", "load")]
        taken_by_browser = [lib for lib, host in loads if host.endswith("Panoview.exe")]
        check(taken_by_browser, "no planted copy was loaded anywhere: the check would prove nothing")


class Scenarios(unittest.TestCase):
    """Each test makes its own Wine machine from the templates and runs the launcher in it."""

    @scenario
    def test_typical_run(self):
        """The typical run: 64-bit Windows 7 workstation, German, the disc read-only in its drive
        with Q7.exe on it, the controls registered by an earlier disc."""
        with Machine("typical_run", lang="de_DE.UTF-8") as m:
            rec = simrecord.Recording(m)
            m.choose_version(lambda report: classify(report) == (21, 0), (None, "win7", "win2008r2"))
            equal(m.report["systemLangId"], "0x0407", "system LANGID")
            d = m.insert_disc()
            check((m.disc_dir / "Q7.exe").exists(), "Q7.exe on the disc")
            equal(m.probe(d)["driveType"], "5", "drive D: is a CD-ROM drive (DRIVE_CDROM)")
            m.wine("regsvr32", "/s", d + "Discpane.ocx")
            check(m.class_key_present(), "class key registered before the run")
            m.watch_boxes()
            part = rec.part(d, registered=True)
            run = m.run_launcher(d)
            log = check_supported_run(m, d, run, folder="DEU\\")
            check_reregistration(log, run)
            equal(events(log, "Q7"), [], "tool starts")
            check_no_tool_wait(log, run)
            part.ran(run)
            rec.save()

    # A disc as an author builds it

    @scenario
    def test_branded_disc(self):
        """A disc built by disckit build from an author's folder, with the author's icon and texts,
        every program signed with a test certificate, pressed into an image. Every signature holds,
        and one changed byte breaks it, for the signing tool and for disckit check alike; the Windows
        build of disckit brands Start.exe to the same bytes as the Linux one. Windows
        reads the author's texts and icon from D:\\Start.exe, and the typical run (German 64-bit
        Windows 7, the disc read-only in its drive) goes as with the stock launcher."""
        disckit = Path(os.environ.get("LAUNCHER_NATIVE_DISCKIT", winelab.WORK.parent / "disckit"))
        for tool in ("osslsigncode", "openssl"):
            if shutil.which(tool) is None:
                self.skipTest(f"{tool} is not installed (scripts/deps.sh build installs it)")
        with Machine("branded_disc", lang="de_DE.UTF-8") as m:
            work = m.dir / "author"
            source = work / "source"
            shutil.copytree(winelab.DISC, source)
            for name in ("Start.exe", "autorun.inf"):
                (source / name).unlink()
            test_certificate(work)
            author_icon(work / "author.ico")
            texts = {"CompanyName": "Nordwind Treiber GmbH", "ProductName": "Nordwind Gerätetreiber",
                     "FileDescription": "Nordwind Treiber-CD", "LegalCopyright": "© 2026 Nordwind"}
            image = work / "disc.iso"
            result = subprocess.run(
                [str(disckit), "build", str(source), "--out", str(work / "disc"),
                 "--launcher", str(winelab.START_EXE), "--icon", str(work / "author.ico"),
                 "--company", texts["CompanyName"], "--product", texts["ProductName"],
                 "--description", texts["FileDescription"], "--copyright", texts["LegalCopyright"],
                 "--version", "4.2.0.17", "--label", "NORDWIND", "--image", str(image),
                 "--sign-pkcs12", str(work / "sign.p12"), "--sign-password-file",
                 str(work / "password"), "--sign-all", "--json"],
                capture_output=True, timeout=300)
            equal(result.returncode, 0, f"disckit build's exit code ({result.stderr.decode()})")
            report = json.loads(result.stdout)
            signed = report["signed"]
            equal(sorted(signed), sorted(["Start.exe", "Panoview.exe", "Q7.exe", "Handoff.exe",
                                          "qzm.dll", "Discpane.ocx", "Gauge.ocx"]), "files signed")
            equal([f["code"] for f in report["findings"] if f["severity"] != "note"], [],
                  "check's errors and warnings")
            for name in signed:
                check(verified(work / "ca.crt", work / "disc" / name), f"{name}: signature refused")
                changed = work / f"changed-{name}"
                data = bytearray((work / "disc" / name).read_bytes())
                data[0x600] ^= 0x01  # in the first section
                changed.write_bytes(bytes(data))
                check(not verified(work / "ca.crt", changed), f"{name}: changed, and still accepted")
            broken = work / "broken"
            shutil.copytree(work / "disc", broken)
            shutil.copy(work / "changed-Start.exe", broken / "Start.exe")
            result = subprocess.run([str(disckit), "check", str(broken), "--json"], capture_output=True,
                                    timeout=120)
            equal(result.returncode, 1, "disckit check's exit code on the changed disc")
            errors = [(f["code"], f["path"]) for f in json.loads(result.stdout)["findings"]
                      if f["severity"] == "error"]
            equal(errors, [("signature-broken", "Start.exe")], "check's errors on the changed disc")

            # The Windows build of disckit brands alike, byte for byte (it signs nothing: that needs
            # Linux).
            identity = ["--launcher", str(winelab.START_EXE), "--icon", str(work / "author.ico"),
                        "--company", texts["CompanyName"], "--product", texts["ProductName"],
                        "--description", texts["FileDescription"], "--copyright",
                        texts["LegalCopyright"], "--version", "4.2.0.17", "--label", "NORDWIND"]
            subprocess.run([str(disckit), "build", str(source), "--out", str(work / "unsigned"),
                            *identity], check=True, capture_output=True, timeout=300)
            # The account may not enter the checkout: the programs come onto C:, the rest lies in the
            # lab's own folder.
            kit = {str(winelab.START_EXE): m.bring(winelab.START_EXE, "C:\\kit\\Start.exe")}
            disckit_exe = m.bring(winelab.WIN32_BUILD / "disckit.exe", "C:\\kit\\disckit.exe")
            windows = [kit.get(a) or (z_path(a) if a.startswith("/") else a) for a in identity]
            result = m.wine(disckit_exe, "build", z_path(source), "--out", "C:\\branded", *windows,
                            check=False)
            equal(result.returncode, 0, f"disckit.exe build's exit code ({result.stderr.decode()})")
            check((m.prefix / "drive_c" / "branded" / "Start.exe").read_bytes()
                  == (work / "unsigned" / "Start.exe").read_bytes(),
                  "disckit.exe and disckit brand Start.exe differently")

            m.choose_version(lambda report: classify(report) == (21, 0), (None, "win7", "win2008r2"))
            d = m.insert_disc(image=image)
            shown = {}
            # Wine has a program of its own named start.exe: a file of that name loaded as a library
            # (as the version functions load it) is its own unless the load order says native.
            native = {"WINEDLLOVERRIDES": m.env.get("WINEDLLOVERRIDES", "") + ";start.exe=n"}
            identity = m.wine("C:\\lab\\Identity.exe", d + "Start.exe", env=native)
            for line in identity.stdout.decode().splitlines():
                key, _, value = line.strip().partition("=")
                shown[key] = value
            expected = {"version": "4.2.0.17", "icons": "1", "large": "32x32", "small": "16x16",
                        "images": "16,32,48", "string.FileVersion": "4.2.0.17",
                        "string.ProductVersion": "4.2.0.17", "string.OriginalFilename": "Start.exe",
                        "string.InternalName": "Start"}
            expected.update({"string." + k: v for k, v in texts.items()})
            equal(shown, expected, "what Windows reads of D:\\Start.exe")

            m.wine("regsvr32", "/s", d + "Discpane.ocx")
            m.watch_boxes()
            run = m.run_launcher(d)
            log = check_supported_run(m, d, run, folder="DEU\\")
            check_reregistration(log, run)

    # Runs of the sample disc

    @scenario
    def test_second_disc(self):
        """A second, newer read-only disc after the first: the first keeps its files in a folder (a
        longer launcher path), the second has a newer setup program. Both hand-off files must be
        the second disc's, byte for byte, though the first disc's copy came read-only from it."""
        with Machine("second_disc") as m:
            rec = simrecord.Recording(m)
            setup = (winelab.DISC / "Handoff.exe").read_bytes()
            newer_setup = setup + b"\0a newer disc's setup program\0"
            older = m.disc_image(under="Setup", label="SWIFTDECK_1")
            newer = m.disc_image(add={"Handoff.exe": newer_setup}, label="SWIFTDECK_2")
            m.watch_boxes()
            windows = m.unix_path("C:\\windows")

            m.insert_disc(older)
            part = rec.part("D:\\Setup\\")
            first = m.run_launcher("D:\\Setup\\")
            part.ran(first)
            equal(first.rc, 0, "first disc's launcher exit code")
            m.settle()
            equal((windows / "Handoff.exe").read_bytes(), setup, "Handoff.exe after the first disc")
            equal((windows / "Handoff.ini").read_bytes(), b"D:\\Setup\\Start.exe",
                  "Handoff.ini after the first disc")

            d = m.insert_disc(newer)
            part = rec.part(d)
            second = m.run_launcher(d)
            part.ran(second)
            equal(second.rc, 0, "second disc's launcher exit code")
            m.settle()
            copy = (windows / "Handoff.exe").read_bytes()
            check(copy == newer_setup, "Handoff.exe after the second disc: not the second disc's "
                  f"setup program ({'still the first disc' + chr(39) + 's' if copy == setup else 'other bytes'})")
            equal((windows / "Handoff.ini").read_bytes(), b"D:\\Start.exe",
                  "Handoff.ini after the second disc (the first disc's was longer)")
            check_writable(m, "Handoff.exe", "Handoff.ini")
            rec.save()

    @scenario
    def test_read_only_tool(self):
        """A writable copy of the disc whose Q7.exe has the read-only attribute: the tool is
        skipped, and nothing waits for it."""
        with Machine("read_only_tool") as m:
            d = m.copy_disc("Disc copy")
            m.make_read_only(d + "Q7.exe")
            m.watch_boxes()
            run = m.run_launcher(d)
            log = check_supported_run(m, d, run)
            equal(events(log, "Q7"), [], "tool starts")
            check_no_tool_wait(log, run)

    @scenario
    def test_started_programs_directory(self):
        """The started programs run with InstallDir as their current directory (the browser is
        even found through it)."""
        with Machine("started_programs_directory") as m:
            rec = simrecord.Recording(m)
            d = m.copy_disc("Disc copy")
            m.watch_boxes()
            part = rec.part(d)
            run = m.run_launcher(d)
            _, seen = started_programs(m, d, run)
            # A directory other than a drive's root is reported without its closing backslash.
            wrong = {name: e.cwd for name, e in seen.items() if e.cwd.rstrip("\\") != d.rstrip("\\")}
            equal(wrong, {}, f"programs whose current directory is not {d}")
            part.ran(run)
            rec.save()

    @scenario
    def test_started_programs_error_mode(self):
        """The started programs inherit an error mode with both of the launcher's flags: the
        system shows them no critical-error and no file-not-found boxes of its own either."""
        flags = 0x0001 | 0x8000  # SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX
        with Machine("started_programs_error_mode") as m:
            rec = simrecord.Recording(m)
            d = m.copy_disc("Disc copy")
            # First whether this system passes an error mode on at all, without the launcher.
            m.put_file("C:\\lab\\ModeChild.exe", (m.disc_dir / "Q7.exe").read_bytes())
            m.wine("C:\\lab\\ModeSpawn.exe", f"{flags:x}", "C:\\lab\\ModeChild.exe")
            check(m.wait_for(lambda: events(m.log(), "ModeChild", "start")),
                  "the control program did not start")
            found = events(m.log(), "ModeChild", "start")[0].error_mode
            if found & flags != flags:
                raise winelab.Skip(
                    f"this Wine does not pass a process's error mode on to the programs it starts "
                    f"(a program with error mode {flags:#x} started one that found {found:#x}; on "
                    f"Windows it inherits it), so what the launcher passes on cannot be seen here")
            m.watch_boxes()
            part = rec.part(d)
            run = m.run_launcher(d)
            log, seen = started_programs(m, d, run)
            launcher = run.created(events(log, "qzm", "load"))[0]
            check(launcher.error_mode & flags == flags,
                  f"the launcher's own error mode {launcher.error_mode:#x} lacks {flags:#x}")
            wrong = {name: f"{e.error_mode:#x}" for name, e in seen.items()
                     if e.error_mode & flags != flags}
            equal(wrong, {}, f"programs whose error mode lacks {flags:#x}")
            part.ran(run)
            rec.save()

    @scenario
    def test_six_at_once(self):
        """Six launchers started at once on the same file: exactly one runs the sequence."""
        with Machine("six_at_once") as m:
            rec = simrecord.Recording(m)
            d = m.insert_disc()
            m.watch_boxes()
            part = rec.part(d)
            browser = exiting_browser(m, d)
            part.host_browser(browser)
            # The browser is never seen running, so the launcher that runs the sequence stays in its
            # loop: every other one meets it running, however far apart Wine gets them going.
            launchers = [m.start_launcher(d) for _ in range(6)]
            check(m.wait_for(lambda: sum(not l.running() for l in launchers) >= 5),
                  f"{sum(not l.running() for l in launchers)} of the six launchers ended")
            ended = [l.wait() for l in launchers if not l.running()]
            equal([r.rc for r in ended], [0] * 5, "exit codes of the launchers turned away")
            check(m.wait_for(lambda: len(browser.starts()) >= 3),
                  "the remaining launcher does not restart the browser")
            log = m.log()
            equal(len(events(log, "qzm", "load")), 1, "probe library loads (one per sequence)")
            m.wait_gone("regsvr32.exe")
            log = m.log()
            equal(sorted(e.program for e in events(log, event="register")), ["Discpane", "Gauge"],
                  "registrations")
            equal(boxes(log), [], "boxes shown")
            check_browser_starts(m, browser, d)
            # Whichever of them took the counter first, the other five met a launcher running.
            part.ran(launchers[0], browser="never")
            for l in launchers[1:]:
                part.ran(l, browser="never", instance_running=True)
            rec.save()

    @scenario
    def test_two_copies(self):
        """Copies of Start.exe in two folders do not share the single-instance counter: the disc's
        launcher is in its loop while the copy's runs its own sequence to the end."""
        with Machine("two_copies") as m:
            d = m.insert_disc()
            c = m.copy_disc("Copy", remove=("Q7.exe",))
            browser = exiting_browser(m, d)
            m.watch_boxes()
            disc_launcher = m.start_launcher(d)
            check(m.wait_for(lambda: len(browser.starts()) >= 2),
                  "the disc's launcher never reached its browser loop")
            check(disc_launcher.running(), "the disc's launcher ended")
            check_browser_starts(m, browser, d)
            run = m.run_launcher(c)
            equal(run.rc, 0, "copy's launcher exit code")
            log = m.settle()
            equal([e.detail for e in run.created(events(log, "qzm", "load"))], [b"C:\\Copy\\qzm.dll"],
                  "probe library loaded by the copy's launcher")
            equal([e.detail for e in run.created(events(log, "Panoview", "start"))
                   if b"C:\\Copy\\" in e.detail], [browser_command(c, "Eng\\").encode()],
                  "browser started by the copy's launcher")
            equal(m.unix_path("C:\\windows\\Handoff.ini").read_bytes(), b"C:\\Copy\\Start.exe",
                  "Handoff.ini")

    @scenario
    def test_supported_wow64(self):
        """64-bit Windows 7 workstation (the launcher under WOW64): first run, then a second run
        that meets the registered class and the browser already running."""
        with Machine("supported_wow64") as m:
            rec = simrecord.Recording(m)
            check(supported(m.report), f"this prefix should be supported: {m.report}")
            equal(m.report["isWow64"], "1", "runs under WOW64")
            d = m.insert_disc()
            m.watch_boxes()
            check(not m.class_key_present(), "class key present before the first run")
            part = rec.part(d, registered=False)
            run = m.run_launcher(d)
            part.ran(run)
            log = check_supported_run(m, d, run)
            equal(registrations(log, run), [("Discpane", "register"), ("Gauge", "register")],
                  "first run's registrations")
            equal([e.detail for e in events(log, "qzm", "load")], [b"D:\\qzm.dll"],
                  "probe library loaded")
            m.wait_gone("regsvr32.exe")
            check(m.class_key_present(), "class key missing after the first run")

            part = rec.part(d, registered=True)
            run = m.run_launcher(d)
            part.ran(run)
            log = check_supported_run(m, d, run, browsers=2)
            check_reregistration(log, run)
            rec.save()

    @scenario
    def test_supported_native32(self):
        """A native 32-bit system: processes are listed through the module source."""
        with Machine("supported_native32", arch="win32") as m:
            rec = simrecord.Recording(m)
            equal(m.report["isWow64"], "0", "runs under WOW64")
            equal(m.report["sysWow64Found"], "0", "SysWow64 folder")
            check(supported(m.report), f"this prefix should be supported: {m.report}")
            d = m.insert_disc()
            m.watch_boxes()
            part = rec.part(d)
            run = m.run_launcher(d)
            check_supported_run(m, d, run)
            part.ran(run)
            rec.save()

    @scenario
    def test_refused_xp(self):
        refusal("refused_xp", "winxp")

    @scenario
    def test_refused_vista64(self):
        refusal("refused_vista64", "vista")

    @scenario
    def test_refused_vista32(self):
        refusal("refused_vista32", "vista", arch="win32")

    @scenario
    def test_refused_server61(self):
        """NT 6.1 reported as a server edition (what this Wine's "win7" setting reports)."""
        def server61(report):
            check(report["major"] == "6" and report["minor"] == "1"
                  and report["productType"] != "1",
                  f"no NT 6.1 server edition to test against: {report}")
        refusal("refused_server61", "win7", wanted=server61)

    @scenario
    def test_lang_german(self):
        language("lang_german", "de_DE.UTF-8", "DEU\\", "0x0407")

    @scenario
    def test_lang_german_without_marker(self):
        language("lang_german_without_marker", "de_DE.UTF-8", "Eng\\", "0x0407", drop_marker="DEU")

    @scenario
    def test_lang_turkish(self):
        language("lang_turkish", "tr_TR.UTF-8", "ENG\\", "0x041F")

    @scenario
    def test_lang_chinese_prc(self):
        language("lang_chinese_prc", "zh_CN.UTF-8", "Sch\\", "0x0804")

    @scenario
    def test_lang_unlisted(self):
        language("lang_unlisted", "fi_FI.UTF-8", "Eng\\", "0x040B")

    @scenario
    def test_probe_library_missing(self):
        with Machine("probe_library_missing") as m:
            rec = simrecord.Recording(m)
            d = m.insert_disc(remove=("qzm.dll",))
            m.watch_boxes()
            part = rec.part(d)
            run = m.run_launcher(d)
            equal(run.rc, 0, "launcher exit code")
            log = m.settle()
            equal(boxes(log), [PROBE_FAIL], "boxes shown")
            box_time = events(log, "BoxWatcher", "box")[0].ms
            # The box holds the launcher until the watcher, having recorded it, answers it.
            early = [e.program for e in run.created(events(log, event="register"))
                     if e.created < box_time]
            equal(early, [], "controls registered while the probe box was open")
            equal(len(run.created(events(log, "Panoview", "start"))), 1, "browser starts")
            part.ran(run)
            rec.save()

    @scenario
    def test_prelaunch_tool(self):
        """Q7.exe on a writable copy of the disc: started, given 15 s, then every Q7.exe ended,
        including one started before the launcher under another case; a name that only begins with
        Q7 survives."""
        with Machine("prelaunch_tool") as m:
            rec = simrecord.Recording(m)
            d = m.copy_disc("Disc")
            tool = (m.disc_dir / "Q7.exe").read_bytes()
            m.unix_path("C:\\other").mkdir()
            winelab.give(m.unix_path("C:\\other"))
            m.put_file("C:\\other\\q7.EXE", tool)
            m.put_file("C:\\other\\Q7x.exe", tool)
            m.spawn("C:\\other\\q7.EXE")
            m.spawn("C:\\other\\Q7x.exe")
            check(m.wait_for(lambda: {"q7", "Q7x"} <= {e.program for e in events(m.log(), event="start")}),
                  "the other tools did not start")
            m.watch_boxes()
            part = rec.part(d)
            run = m.run_launcher(d)
            equal(run.rc, 0, "launcher exit code")
            log = m.settle()
            tool_start = run.created(events(log, "Q7", "start"))
            equal([e.detail for e in tool_start], [(d + "Q7.exe").encode(m.ansi)],
                  "tool starts, with its bare path")
            # From the launcher's creation of the tool to its creation of the browser: the interval
            # it owes, free of how long either program then took to get going.
            browser = run.created(events(log, "Panoview", "start"))
            check(browser, "no browser started")
            waited = browser[0].created - tool_start[0].created
            check(waited >= 15000, f"browser started {waited} ms after the tool, less than 15 s")
            running = m.processes()
            check(not any(p.lower() == "q7.exe" for p in running), f"a Q7.exe still runs: {running}")
            check("Q7x.exe" in running, f"Q7x.exe was ended: {running}")
            check_supported_run(m, d, run)
            part.ran(run)
            rec.save()

    @scenario
    def test_prelaunch_tool_name_read_other_way(self):
        """The launcher's test build, told that the first way of reading a process's name through its
        handle fails (as for an image on a volume without a drive letter): Q7.exe is still ended,
        its name read the other way, through the same handle."""
        with Machine("prelaunch_tool_name_read_other_way") as m:
            d = m.copy_disc("Disc", add={"Start.exe": START_TEST.read_bytes()})
            m.watch_boxes()
            run = m.run_launcher(d, env={"START_TEST_HOOKS": "image-name-other-way"})
            equal(run.rc, 0, "launcher exit code")
            log = m.settle()
            equal(len(run.created(events(log, "Q7", "start"))), 1, "tool starts")
            running = m.processes()
            check(not any(p.lower() == "q7.exe" for p in running), f"a Q7.exe still runs: {running}")
            check_supported_run(m, d, run)

    @scenario
    def test_second_instance(self):
        """A second launcher while the first restarts a browser that never stays up."""
        with Machine("second_instance") as m:
            rec = simrecord.Recording(m)
            d = m.insert_disc()
            m.watch_boxes()
            part = rec.part(d)
            browser = exiting_browser(m, d)
            part.host_browser(browser)
            first = m.start_launcher(d)
            check(m.wait_for(lambda: len(browser.starts()) >= 2),
                  "first launcher never reached its browser loop")
            run = m.run_launcher(d)
            equal(run.rc, 0, "second launcher's exit code")
            log = m.log()
            # Had it run the sequence, it would have loaded the probe library before it ended, and
            # a box of its own would have held it until the watcher had recorded and answered it.
            equal(len(events(log, "qzm", "load")), 1, "probe library loads (the first launcher's)")
            equal(boxes(log), [], "boxes shown")
            check(first.running(), "first launcher ended")
            # The first one keeps trying, once a second.
            seen = len(browser.starts())
            check(m.wait_for(lambda: len(browser.starts()) >= seen + 3),
                  "the first launcher stopped restarting the browser")
            # Only the registrations need to have recorded: the first launcher keeps starting
            # browsers, and one of them may always be on its way.
            log = m.settle(names=("regsvr32.exe",))
            equal(registrations(log, run), [], "registrations the second launcher started")
            check_browser_starts(m, browser, d)
            part.ran(first, browser="never")
            part.ran(run, instance_running=True)
            rec.save()

    @scenario
    def test_browser_missing(self):
        """No browser on the disc: the loop never ends."""
        with Machine("browser_missing") as m:
            rec = simrecord.Recording(m)
            d = m.insert_disc(remove=("Panoview.exe",))
            m.watch_boxes()
            part = rec.part(d)
            launcher = m.start_launcher(d)
            # The hand-off is the last step before the browser loop.
            check(m.wait_for(lambda: m.unix_path("C:\\windows\\Handoff.ini").exists()),
                  "launcher never reached its browser loop")
            # What is tested is that it does not give up: it must outlive ten of its passes, each of
            # which takes at least a second, counted from when it entered the loop.
            entered = time.time()
            check(not m.wait_for(lambda: not launcher.running(), timeout=10, interval=0.1),
                  f"launcher gave up {time.time() - entered:.1f} s into its loop without a browser")
            check("Start.exe" in m.processes(), "launcher not running")
            equal(boxes(m.log()), [], "boxes shown")
            part.ran(launcher)
            rec.save()

    @scenario
    def test_japanese_folder(self):
        """Code page 932, a folder whose name holds a character with a second byte 0x5C."""
        folder = "ディスク表"  # 表 is 0x95 0x5C in code page 932
        assert "表".encode("cp932")[1] == 0x5C
        with Machine("japanese_folder", lang="ja_JP.UTF-8") as m:
            rec = simrecord.Recording(m)
            equal(m.report["acp"], "932", "ANSI code page")
            equal(m.report["systemLangId"], "0x0411", "system LANGID")
            d = m.copy_disc(folder, remove=("Q7.exe",))
            m.watch_boxes()
            part = rec.part(d)
            run = m.run_launcher(d)
            check_supported_run(m, d, run, folder="JPN\\")
            part.ran(run)
            rec.save()

    @scenario
    def test_planted_files(self):
        """A copied disc in a folder with a blank, beside planted files named like what the launcher
        starts or loads: none of them may run or load, and the real ones must."""
        with Machine("planted_files") as m:
            d = m.copy_disc("My Disc")
            stand_in = (m.disc_dir / "Q7.exe").read_bytes()  # logs under its own file name
            m.put_file(d + "regsvr32.exe", stand_in)
            m.put_file("C:\\My.exe", stand_in)
            m.watch_boxes()
            run = m.run_launcher(d)
            log = m.settle()
            equal([e for e in log if e.program in ("regsvr32", "My")], [], "planted programs that ran")
            equal(sorted(e.program for e in events(log, event="register")), ["Discpane", "Gauge"],
                  "controls registered by the system's tool")
            equal([e.detail for e in events(log, "Q7", "start")], [b"C:\\My Disc\\Q7.exe"],
                  "tool command line, unchanged")
            check_supported_run(m, d, run)

    @scenario
    def test_planted_library(self):
        """A native 32-bit system, where the module source is loaded, and a planted process-status
        library beside the launcher on the disc that would be taken if the search reached its
        folder."""
        with Machine("planted_library", arch="win32") as m:
            d = m.insert_disc(add={"psapi.dll": (winelab.DISC / "qzm.dll").read_bytes()})
            m.watch_boxes()
            run = m.run_launcher(d, env={"WINEDLLOVERRIDES": winelab.BASE_ENV["WINEDLLOVERRIDES"]
                                         + ";psapi=n,b"})
            log = m.settle()
            equal([e.detail for e in events(log, "qzm", "load")], [b"D:\\qzm.dll"],
                  "libraries of the disc loaded")
            check_supported_run(m, d, run)

    # Hardening: a folder outside the code page, planted system libraries, fatal ends

    @scenario
    def test_fullwidth_quote_folder(self):
        """A copied disc in a folder whose name holds a fullwidth quote (U+FF02), which code page 1252
        cannot hold: read through the ANSI call it becomes '"', and quoted into the elevated command
        lines it would add arguments of the folder namer's choosing. The launcher works under the
        folder's short name instead, which holds no quote: every command line it starts carries
        exactly its own quotes. (Where the volume keeps no short names, it does nothing after the
        guard: the unit tests show that.)"""
        with Machine("fullwidth_quote_folder") as m:
            rec = simrecord.Recording(m)
            equal(m.report["acp"], "1252", "ANSI code page")
            d = m.copy_disc("x\uff02 y", remove=("Q7.exe",))
            short = short_path(m, d)
            check(short is not None and short.isascii() and '"' not in short,
                  f"short name {short} of {d}")
            m.watch_boxes()
            part = rec.part(d, short_install_dir=short)
            # A launcher that took the mangled folder for its own would not end: that fails here.
            run = m.run_launcher(d)
            log = check_supported_run(m, short, run)
            commands = sorted(e.detail.partition(b"\x1f")[2] for e in run.created(log)
                              if e.event == "process" and e.program in ("Discpane", "Gauge"))
            equal(commands, [f'regsvr32 /s "{short}{name}.ocx"'.encode("ascii")
                             for name in ("Discpane", "Gauge")], "registration command lines")
            part.ran(run)
            rec.save()

    @scenario
    def test_cyrillic_folder(self):
        """A copied disc in a folder named in Cyrillic on an English system: code page 1252 cannot
        hold the name, so the launcher works under the folder's short (8.3) name, as the system gives
        it. The browser's command line and Handoff.ini carry that name, byte for byte."""
        folder = "Дмитрий Папка"
        with Machine("cyrillic_folder") as m:
            rec = simrecord.Recording(m)
            equal(m.report["acp"], "1252", "ANSI code page")
            d = m.copy_disc(folder, remove=("Q7.exe",))
            short = short_path(m, d)
            check(short is not None, f"no short name for {d}")
            check(short.startswith("C:\\") and short != d, f"short name {short} of {d}")
            short.encode("ascii")  # what every code page holds
            m.watch_boxes()
            part = rec.part(d, short_install_dir=short)
            run = m.run_launcher(d)
            check_supported_run(m, short, run)
            part.ran(run)
            rec.save()

    @scenario
    def test_folder_renamed_mid_run(self):
        """The launcher reads its folder once for the whole run. A copy in a folder named in Cyrillic
        on an English system runs under the folder's short name, and its browser is never seen
        running, so the launcher keeps starting it. After the second start the folder is renamed and
        its short name stops resolving: every later start still names the same folder, none a
        program outside it. (A folder of the old short name is then made, with a browser in it, so
        that the later starts show; a browser at the root of drive C: would show any start that lost
        its folder.)"""
        folder = "Новая папка"
        with Machine("folder_renamed_mid_run") as m:
            equal(m.report["acp"], "1252", "ANSI code page")
            d = m.copy_disc(folder, remove=("Q7.exe",))
            short = short_path(m, d)
            check(short is not None and short != d, f"short name {short} of {d}")
            short.encode("ascii")
            # Browsers of the host (never seen running, so started on every pass), all recording
            # into one file: the disc's, and one at the root of C: for a start that lost its folder.
            log = "C:\\browser-starts.txt"
            for browser in (d + "Panoview.exe", "C:\\Panoview.exe"):
                winelab.HostBrowser(m, browser, log)

            def starts():
                """(program file on the host, page) of every browser started so far."""
                return [(p, a[0] if a else b"") for _, _, p, a in
                        winelab.HostBrowser.starts_in(m.unix_path(log))]

            m.watch_boxes()
            launcher = m.start_launcher(d)
            check(m.wait_for(lambda: len(starts()) >= 2), "the launcher never started the browser twice")
            check_handoff(m, short)
            renamed = m.unix_path(d).with_name(folder + " 2")
            subprocess.run(["mv", str(m.unix_path(d)), str(renamed)], check=True, timeout=60,
                           **winelab.as_account(m.env))
            probe = m.wine("C:\\lab\\OsProbe.exe", "--short", short.rstrip("\\"), check=False)
            check(not probe.stdout.decode("utf-8").startswith("shortPath="),
                  f"{short} still resolves after the rename")
            # Until this folder exists the launcher's starts fail, and leave no trace.
            before = len(starts())
            m.unix_path(short).mkdir()
            winelab.give(m.unix_path(short))
            winelab.HostBrowser(m, short + "Panoview.exe", log)
            check(m.wait_for(lambda: len(starts()) >= before + 3),
                  "the launcher stopped starting browsers after the rename")
            check(launcher.running(), "launcher ended")
            page = (short + "lang\\Eng\\Welcome.htm").encode(m.ansi)
            # By the folder each was started from, as the host names it (Wine may reach drive C:
            # through its own link to it).
            folders = {os.path.basename(os.path.dirname(p.decode("utf-8", "replace")))
                       for p, _ in starts()}
            equal(sorted(folders - {folder, short.rstrip("\\")[3:]}), [],
                  "folders browsers were started from, outside the disc's")
            equal(sorted({a for _, a in starts()}), [page], "pages the browsers were started on")
            equal(boxes(m.log()), [], "boxes shown")
            check_handoff(m, short, source=renamed / "Handoff.exe")

    @scenario
    def test_fallback_search_planted(self):
        fallback_search("fallback_search_planted", "win64")

    @scenario
    def test_fallback_search_planted_native32(self):
        fallback_search("fallback_search_planted_native32", "win32")

    @scenario
    def test_fatal_ends_quietly(self):
        """Out of memory, std::terminate, abort and a stack overrun, brought about by the test build
        right after the guard: each time the launcher ends at once with exit code 0, with no box of
        its own (the run-time's "abnormal program termination") nor the system's crash report, and
        nothing more happens."""
        with Machine("fatal_ends_quietly") as m:
            d = m.insert_disc(remove=("Q7.exe",), add={"Start.exe": START_TEST.read_bytes()})
            m.watch_boxes()
            outcome = {}
            for fault in ("bad-alloc", "terminate", "abort", "stack-overrun"):
                before = len(m.log())
                result = m.wine(d + "Start.exe", check=False, env={"START_TEST_HOOKS": fault})
                # A box holds the launcher up until the watcher has recorded and answered it.
                log = m.log()[before:]
                outcome[fault] = {"exit code": result.returncode, "boxes": boxes(log),
                                  "events": [f"{e.program} {e.event}" for e in log
                                             if e.program != "BoxWatcher"]}
            handoff = m.unix_path("C:\\windows\\Handoff.ini").exists()
            equal(outcome, {f: {"exit code": 0, "boxes": [], "events": []} for f in outcome},
                  "per fault")
            check(not handoff, "hand-off written")

