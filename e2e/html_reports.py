#!/usr/bin/env python3
"""The HTML reports of disckit (--html), opened by headless Chromium with the network off.

One test each, run by harness.py.

kit: disckit check, simulate and simulate --matrix on the sample disc, and check and simulate on
a copy whose names hold markup. No Wine. (The trial's page drawn from made-up observations whose
texts hold markup is a unit test of disckit: tests/kit_trial_report_test.cpp.)
trial: disckit trial of the sample disc's image under Wine.

For each report, against the JSON of the same run: the DOM holds the verdict, every finding or
event and every screenshot (decoded: a PNG image with a size); the file refers to nothing
outside itself; Chromium renders it to a PNG. The reports' pictures for the README are left in
build/e2e/html-reports.
"""

import base64
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
from html.parser import HTMLParser
from pathlib import Path

import labpath  # noqa: F401 (the lab and the trial's driver)
import trialbox
import winelab
from scenarios import check, equal

DISCKIT = Path(os.environ.get("LAUNCHER_NATIVE_DISCKIT",
                              winelab.ROOT / "build" / "native" / "disckit")).resolve()
CHROMIUM = shutil.which("chromium")
OUT = winelab.WORK / "html-reports"
PNG = b"\x89PNG\r\n\x1a\n"
# Markup in names from a disc: shown as text, never taken as markup.
MARKUP_FILE = "<script>alert(1)&amp;.htm"
MARKUP_FOLDER = "<b>disc & co"


# --- Chromium ------------------------------------------------------------------------------------

def chromium(page, *args):
    """Headless Chromium on the file, with nowhere to go on the network: every name resolves to
    nothing and every request goes to a proxy that is not there."""
    with tempfile.TemporaryDirectory(prefix="html-reports-chromium-") as profile:
        command = [CHROMIUM, "--headless", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run",
                   f"--user-data-dir={profile}", "--proxy-server=127.0.0.1:9",
                   "--host-resolver-rules=MAP * ~NOTFOUND", "--disable-background-networking",
                   "--disable-component-update", "--disable-sync", "--disable-extensions",
                   *(["--no-sandbox"] if os.geteuid() == 0 else []), *args, page.as_uri()]
        done = subprocess.run(command, capture_output=True, timeout=winelab.PATIENCE)
    check(done.returncode == 0, f"chromium {' '.join(args)} {page}: exit {done.returncode}\n"
          f"{done.stderr.decode('utf-8', 'replace')[-2000:]}")
    return done.stdout.decode("utf-8")


class Dom(HTMLParser):
    """What a test asks of a page: its text as a reader sees it (cells and lines apart), its
    elements' tags, and their attributes."""
    APART = {"td", "th", "tr", "p", "li", "div", "br", "h1", "h2", "ul", "table", "title"}

    def __init__(self, markup):
        super().__init__(convert_charrefs=True)
        self.texts, self.tags, self.attributes = [], [], []
        self.feed(markup)
        self.close()
        self.text = " ".join("".join(self.texts).split())

    def handle_starttag(self, tag, attrs):
        self.tags.append(tag)
        self.attributes += [(tag, k, v or "") for k, v in attrs]
        if tag in self.APART:
            self.texts.append(" ")

    def handle_endtag(self, tag):
        if tag in self.APART:
            self.texts.append(" ")

    def handle_data(self, data):
        self.texts.append(data)


def parts(markup, css_class):
    """The markup inside each element of that class (no nesting of the same tag inside it)."""
    found = []
    for m in re.finditer(r'<(\w+)[^>]*class="[^"]*\b' + re.escape(css_class) + r'\b[^"]*"[^>]*>',
                         markup):
        found.append(markup[m.end():markup.find(f"</{m.group(1)}>", m.end())])
    return found


def texts_of(markup, css_class):
    return [Dom(part).text for part in parts(markup, css_class)]


def png_size(data):
    check(data[:8] == PNG and data[12:16] == b"IHDR", "not a PNG image")
    return struct.unpack(">II", data[16:24])


def open_report(page, name, height=760):
    """Chromium's DOM of the page, after checking that the file refers to nothing outside
    itself, and that Chromium renders it to a picture of that height (kept for the README)."""
    raw = page.read_text(encoding="utf-8")
    source = Dom(raw)
    for tag in ("script", "link", "iframe", "object", "embed", "base", "frame"):
        check(tag not in source.tags, f"{page}: a <{tag}> element")
    for tag, key, value in source.attributes:
        check(not key.startswith("on"), f"{page}: an event handler {key} on <{tag}>")
        if key in ("src", "href", "xlink:href", "action", "srcset", "poster", "data"):
            check(value.startswith("#") or value.startswith("data:image/png;base64,"),
                  f"{page}: <{tag} {key}> refers outside the file: {value[:80]}")
    outside = [u for u in re.findall(r"url\(([^)]*)\)", raw) if not u.startswith("#")]
    check(not outside and "@import" not in raw, f"{page}: the style fetches {outside}")
    picture = OUT / f"{name}.png"
    picture.unlink(missing_ok=True)
    # One start of Chromium for both: it costs seconds of processor time each.
    dom = chromium(page, "--dump-dom", f"--screenshot={picture}", f"--window-size=1000,{height}",
                   "--hide-scrollbars")
    check("script" not in Dom(dom).tags, f"{page}: a script element in the DOM")
    check(picture.exists(), f"{page}: no picture rendered")
    equal(png_size(picture.read_bytes()), (1000, height), f"{page}: the picture's size")
    print(f"{page}: {len(raw)} bytes; rendered to {picture} ({picture.stat().st_size} bytes)")
    return dom


def images(dom):
    """The decoded PNG data of every image in the DOM."""
    found = []
    for tag, key, value in Dom(dom).attributes:
        if tag == "img" and key == "src":
            check(value.startswith("data:image/png;base64,"), f"an image from {value[:60]}")
            data = base64.b64decode(value.split(",", 1)[1], validate=True)
            width, height = png_size(data)
            check(width > 0 and height > 0 and len(data) > 100, "an empty screenshot")
            found.append(data)
    return found


def shown(text):
    """A text as the reports show it: control characters as \\xNN."""
    return re.sub(r"[\x00-\x08\x0b-\x1f\x7f]", lambda m: f"\\x{ord(m.group()):02X}", str(text))


def contains(dom, pieces, what):
    text = Dom(dom).text
    missing = [p for p in pieces if " ".join(shown(p).split()) not in text]
    check(not missing, f"{what}: not in the report: {missing[:5]}")


# --- disckit -------------------------------------------------------------------------------------

def disckit(*args):
    """disckit's JSON for these arguments, and the HTML page it wrote beside it."""
    name = args[0]
    page = OUT / f"{name}.html"
    page.unlink(missing_ok=True)
    # From the source tree, so that the reports name the disc as a reader's command would.
    done = subprocess.run([str(DISCKIT), *args[1:], "--json", "--html", str(page)],
                          capture_output=True, timeout=winelab.PATIENCE, cwd=winelab.ROOT)
    check(done.returncode in (0, 1), f"disckit {args[1:]}: exit {done.returncode}: "
          f"{done.stderr.decode('utf-8', 'replace')}")
    return json.loads(done.stdout.decode("utf-8")), page


def check_check(report, dom):
    s = report["summary"]
    equal(texts_of(dom, "verdict"),
          [f"{report['disc']}: {s['errors']} error{'s' if s['errors'] != 1 else ''}, "
           f"{s['warnings']} warning{'s' if s['warnings'] != 1 else ''}, "
           f"{s['notes']} note{'s' if s['notes'] != 1 else ''}"], "verdict")
    equal(len(texts_of(dom, "finding")), len(report["findings"]), "findings shown")
    for f in report["findings"]:
        contains(dom, [f"{f['code']} {f['path']} {f['message']}"], f["code"])


def effect_pieces(e):
    return [e[k] for k in ("program", "commandLine", "path", "from", "to", "text", "caption",
                           "content", "process") if k in e]


def check_run(run, dom):
    verdict = texts_of(dom, "verdict")
    check(len(verdict) == 1 and verdict[0].startswith(run["outcome"]["result"] + ":"),
          f"verdict {verdict}, result {run['outcome']['result']}")
    rows = parts(dom, "effects")[0]
    for e in run["effects"]:
        contains(rows, [f"{e['time']} s {e['kind']}", *effect_pieces(e)], f"effect {e}")
    # One row of the timeline for the launcher and for each program it started.
    started = [e for e in run["effects"] if e["kind"] == "start" and e["ok"]]
    equal(dom.count('<g class="row">'), 1 + len(started), "rows of the timeline")


# --- Tests ---------------------------------------------------------------------------------------

def setUpModule():
    reason = None
    if CHROMIUM is None:
        reason = "chromium is not installed (scripts/deps.sh wine installs it)"
    elif not DISCKIT.exists():
        reason = f"{DISCKIT} is not built (cmake --preset native && cmake --build --preset native)"
    elif not winelab.DISC.exists():
        reason = f"{winelab.DISC} is not built (cmake --preset win32 && cmake --build --preset win32)"
    if reason:
        raise unittest.SkipTest(reason)

def check_trial(report, dom, embedded):
    """The verdict, every event and every screenshot that was taken (embedded is their files)."""
    verdict = texts_of(dom, "verdict")
    check(len(verdict) == 1 and verdict[0].startswith(report["outcome"]["result"] + ":"),
          f"verdict {verdict}, result {report['outcome']['result']}")
    contains(dom, report["outcome"]["faults"], "faults")
    for e in report["events"]:
        contains(dom, [f"{e['seconds']:.2f} s {e['by']}",
                       *[e[k] for k in ("program", "commandLine", "path", "caption", "text")
                         if k in e]], f"event {e}")
    shown_images = images(dom)
    check(shown_images == [Path(p).read_bytes() for p in embedded],
          f"the screenshots embedded: {len(shown_images)} images in the page for {embedded}")


class HtmlReports(unittest.TestCase):
    """Each test opens reports of disckit in Chromium."""

    def test_kit(self):
        OUT.mkdir(parents=True, exist_ok=True)
        disc = os.path.relpath(winelab.DISC, winelab.ROOT)
        report, page = disckit("check", "check", disc)
        check_check(report, open_report(page, "check"))

        run, page = disckit("simulate", "simulate", disc, "--system", "8-x64", "--lang", "de-DE")
        check_run(run, open_report(page, "simulate"))
        loop, page = disckit("simulate-loop", "simulate", disc, "--media", "writable",
                             "--browser", "never")
        equal(loop["outcome"]["result"], "loops-forever", "result")
        check_run(loop, open_report(page, "simulate-loop"))

        matrix, page = disckit("matrix", "simulate", disc, "--matrix")
        dom = open_report(page, "matrix")
        cells = re.findall(r'<td class="r-([a-z-]+)"><a href="#(run-\d+-\d+)"', dom)
        equal([c[0] for c in cells], [c["result"] for r in matrix["rows"] for c in r["cells"]],
              "the grid's cells, by result")
        # A run is told in full once, and the runs with the same effects named after it.
        ids = set(re.findall(r'<(?:p|span) id="(run-\d+-\d+)"', dom))
        check(len(ids) == len(cells) and all(c[1] in ids for c in cells),
              "a cell links to no run's line")
        contains(dom, ['regsvr32 /s "D:\\Discpane.ocx"', "Swiftdeck does not support"], "runs")
        contains(dom, ["Windows 7, 64-bit (7-x64)", "more refused runs: "],
                 "systems by name, identical runs told once")
        check('<p class="identity">disckit ' in dom, "the matrix does not say what it judged")

        # A disc whose names hold markup: the names are text in the DOM, and nothing else came in.
        hostile = OUT / "hostile" / MARKUP_FOLDER
        shutil.rmtree(hostile.parent, ignore_errors=True)
        shutil.copytree(winelab.DISC, hostile)
        (hostile / "lang" / "Eng" / MARKUP_FILE).write_bytes(b"")
        hostile = os.path.relpath(hostile, winelab.ROOT)
        report, page = disckit("check-markup", "check", hostile)
        dom = open_report(page, "check-markup")
        check_check(report, dom)
        contains(dom, [MARKUP_FOLDER, "lang\\Eng\\" + MARKUP_FILE], "names with markup")
        equal(Dom(dom).tags.count("b"), 0, "<b> elements")
        run, page = disckit("simulate-markup", "simulate", hostile)
        dom = open_report(page, "simulate-markup")
        check_run(run, dom)
        equal(Dom(dom).tags.count("b"), 1, "<b> elements (the verdict's own)")

    def test_trial(self):
        """The sample disc's image where the browser runs (the screen after the run), and where
        the launcher refuses the system (its box's screenshot too)."""
        reason = winelab.can_run_wine()
        if reason:
            self.skipTest(reason)
        OUT.mkdir(parents=True, exist_ok=True)
        for name, options, result, shots in (("trial", [], "browser-running", 1),
                                             ("trial-refused", ["--system", "vista-x64"], "refused", 2)):
            page, shots_folder = OUT / f"{name}.html", OUT / f"{name}-shots"
            page.unlink(missing_ok=True)
            shutil.rmtree(shots_folder, ignore_errors=True)
            command = [str(DISCKIT), "trial", str(winelab.DISC_IMAGE), *options, "--json", "--out",
                       str(shots_folder), "--html", str(page)]
            print(" ".join(command))
            done = subprocess.run(command, capture_output=True, timeout=60 + 3 * winelab.PATIENCE)
            sys.stdout.write(done.stderr.decode("utf-8", "replace"))
            check(done.returncode in (0, 1), f"disckit trial could not run (exit {done.returncode})")
            report = json.loads(done.stdout.decode("utf-8"))
            equal(report["outcome"]["result"], result, "result")
            equal(len(report["screenshots"]), shots, "screenshots taken")
            # Tall enough to show the screen after the run, for the README.
            check_trial(report, open_report(page, name, height=1300), report["screenshots"])
            # A box's screenshot is its window's, and the screen is shown whole once, at the end.
            sizes = [png_size(Path(p).read_bytes()) for p in report["screenshots"]]
            equal(sizes[-1], trialbox.SCREEN, "the last screenshot's size")
            check(all(w < trialbox.SCREEN[0] and h < trialbox.SCREEN[1] for w, h in sizes[:-1]),
                  f"a box's screenshot as large as the screen: {sizes}")

