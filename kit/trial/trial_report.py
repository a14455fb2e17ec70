"""The trial's report in words, as disckit trial prints it without --json, and as JSON with it."""

import json
import re

import trial_check
import trial_html
from trial_run import Trial

# --- The report in words ---------------------------------------------------------------------------

def printable(line):
    """The line fit for a terminal: control characters and surrogates (what is no text) written
    as \\xNN, byte by byte, everything else as it is."""
    return "".join(trial_html.byte_escapes(c) if trial_html.is_control(c)
                   or 0xD800 <= ord(c) <= 0xDFFF else c for c in line)


def quoted(text):
    """Text between double quotes, line ends and other controls written as escapes."""
    return '"' + printable(text) + '"'


_JSON_UNSAFE = re.compile("[\x7f-\x9f\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069\ud800-\udfff]")


def json_text(value):
    """The report as JSON, as disckit writes its own: text as it is, but DEL, C1 and the
    bidirectional controls as \\uXXXX (json.dumps already escapes C0) and a surrogate, which
    UTF-8 cannot carry, as U+FFFD. Such characters can only stand inside strings, where the
    escape means the same character."""
    text = json.dumps(value, indent=2, ensure_ascii=False)
    return _JSON_UNSAFE.sub(
        lambda m: "\ufffd" if 0xD800 <= ord(m[0]) <= 0xDFFF else f"\\u{ord(m[0]):04x}", text)


def hexpid(pid):
    return f"{pid:04x}" if pid is not None else "?"


def print_report(r, out):
    s, lang, launcher, browser = r["system"], r["language"], r["launcher"], r["browser"]
    # Names, command lines and captions come from the disc's programs: no control character of
    # theirs reaches the terminal.
    w = lambda text="": print(printable(text), file=out)
    w(f"Disc      {r['disc']['path']} ({'image' if r['disc']['kind'] == 'image' else 'folder, pressed into an image with Joliet names'}), "
      f"read-only in CD-ROM drive D:")
    w(f"System    {s['title']} ({s['profile']}) by Wine's setting {s['wineSetting']} in a "
      f"{s['prefix']} prefix: {Trial.describe(s['reported'])}")
    w(f"Wine      {r['wine']}, under the account {r['account']}")
    w(f"Language  {lang['langId']} {lang['locale']} (LC_ALL={lang['lcAll']}), code page "
      f"{lang['codePage']}")
    w()
    w(f"What happened (seconds after {launcher['program']} was started)")
    for e in r["events"]:
        who = f"{e['by']} ({hexpid(e['byPid'])})"
        if e["kind"] == "start":
            did = {"started": f"started {e['program']} as {hexpid(e['pid'])}",
                   "failed": f"tried to start {e['program']}; it did not start"
                             + (f": {e['why']}" if "why" in e else ""),
                   "unanswered": f"was starting {e['program']} when the run was stopped",
                   "starting": f"was starting {e['program']}"}[e["state"]]
            w(f"  {e['seconds']:7.2f}  {who} {did}")
            cut = "" if e["commandLineComplete"] else "  (cut short in Wine's trace)"
            w(f"           command line: {e['commandLine']}{cut}")
        elif e["kind"] == "load":
            w(f"  {e['seconds']:7.2f}  {who} loaded {e['path']}")
        elif e["kind"] == "box":
            w(f"  {e['seconds']:7.2f}  {who} showed a box [{e['caption']}] {e['text']}")
            if e["screenshot"]:
                w(f"           screenshot: {e['screenshot']}")
        elif e["kind"] == "end":
            w(f"  {e['seconds']:7.2f}  {who} ended with exit code {e['exitCode']}")
    if not launcher["ended"]:
        why = {"loop": f"it had started the browser {browser['startsByLauncher']} times",
               "time": "the time was up",
               "disk": "its folder grew past the trial's disk budget"}[launcher["stoppedBecause"]]
        w(f"  {launcher['seconds']:7.2f}  the launcher still ran and {why}: it was ended")
    w()
    runs = ", ".join(f"{p['name']} ({hexpid(p['pid'])})" for p in browser["runningAs"])
    w(f"Browser   started {browser['starts']} time{'s' if browser['starts'] != 1 else ''}"
      + (f", {browser['failedStarts']} of them failed" if browser["failedStarts"] else "")
      + (f", {browser['ended']} of them ended" if browser["ended"] else "")
      + (f"; {browser['process']} runs: {runs}" if browser["running"]
         else f"; no process {browser['process']} runs at the end"))
    for title in browser["windows"]:
        w(f"          window: {title}")
    if launcher["ended"]:
        w(f"Launcher  exit code {launcher['exitCode']} after {launcher['seconds']:.2f} s")
    else:
        w(f"Launcher  still running after {launcher['seconds']:.2f} s, then ended by the trial")
    def listing(head, lines, empty):
        # The first line beside the heading, the others under it.
        for i, line in enumerate(lines or [empty]):
            w(f"{head if i == 0 else '':10}{line}")

    files = [trial_html.windows_change(c, quoted) for c in r["windowsDirectory"]]
    listing("Windows", files, "nothing written to the Windows directory")
    keys = []
    for k in r["registry"]["added"]:
        keys.append(f"new key {k['key']}")
        keys += [f"    {v}" for v in k["values"]]
    keys += [f"removed key {k}" for k in r["registry"]["removed"]]
    listing("Registry", keys, "no key appeared or went")
    listing("Running", [f"{p['name']} ({hexpid(p['pid'])}"
                        + (f", started by {p['startedBy']}" if p["startedBy"] else "")
                        + f"): {p['state']}" for p in r["running"]],
            "nothing the run started")
    listing("Screens", r["screenshots"], "none")
    for note in r.get("notes", []):
        w(f"Note      {note}")
    w()
    o = r["outcome"]
    if o["faults"]:
        w(f"Verdict   {o['result']}: {len(o['faults'])} fault{'s' if len(o['faults']) != 1 else ''}")
        for f in o["faults"]:
            w(f"  - {f}")
    else:
        w(f"Verdict   {o['result']}: the launcher started the browser and ended with exit code "
          f"0; the browser runs as {browser['process']}")
    trial_check.print_beside(r, w)
