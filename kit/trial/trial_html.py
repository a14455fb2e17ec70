"""The HTML report of `disckit trial`: one file drawn from the trial's JSON report and nothing
else but its screenshots, which it carries inside (styles inline, pictures as data, no script,
nothing fetched). The verdict first, a timeline of the processes, every event with the
screenshot of each box, the screen after the run, the Windows directory's and the registry's
changes, the system and the language.

Every text of the report may come from the disc (program names, command lines, box texts,
window titles, file names): all of it goes through text() (or plain(), where no markup may
go), so no disc can put markup into the report, nor reorder its text. The screenshots are read with care too: only regular files, not through a link, up to
MAX_SCREENSHOT bytes, and only PNG images.
"""

import base64
import os
import stat

MAX_SCREENSHOT = 16 << 20
PNG = b"\x89PNG\r\n\x1a\n"
# How many processes the timeline draws at the most; the events list them all.
MAX_ROWS = 200




def windows_change(c, quote):
    """One change of the Windows directory as a line, its text put between quote()."""
    line = f"{c['change']} {c['path']}"
    if "size" in c:
        line += f" ({c['size']} bytes{', read-only' if c['readOnly'] else ''})"
    if "copyOf" in c:
        line += f": copy of {c['copyOf']}"
    if "text" in c:
        line += ": " + quote(c["text"])
    return line

def is_control(c):
    """A character that acts on the text around it instead of showing: C0, DEL, C1 (U+009B is
    the 8-bit CSI that starts a terminal's commands) and the bidirectional controls, which
    reorder what follows them. The same set as disckit's own reports escape."""
    o = ord(c)
    return (o < 0x20 or 0x7F <= o <= 0x9F or o in (0x061C, 0x200E, 0x200F)
            or 0x202A <= o <= 0x202E or 0x2066 <= o <= 0x2069)


def byte_escapes(c):
    """A character as \\xNN, one for each byte of its UTF-8, as disckit writes them; a surrogate
    that stands for an undecodable byte (Python's surrogateescape) as that byte."""
    o = ord(c)
    if 0xDC80 <= o <= 0xDCFF:
        return f"\\x{o - 0xDC00:02X}"
    return "".join(f"\\x{b:02X}" for b in c.encode("utf-8", "surrogatepass"))


def _escape(value, markers):
    out = []
    for c in "" if value is None else str(value):
        o = ord(c)
        if c == "&":
            out.append("&amp;")
        elif c == "<":
            out.append("&lt;")
        elif c == ">":
            out.append("&gt;")
        elif c == '"':
            out.append("&quot;")
        elif c == "'":
            out.append("&#39;")
        elif c in "\n\t":
            out.append(c)
        elif 0xD800 <= o <= 0xDFFF:
            out.append("\ufffd")
        elif not is_control(c):
            out.append(c)
        elif markers and o > 0x7F:
            out.append(f'<span class="ctl">U+{o:04X}</span>')
        else:
            out.append(byte_escapes(c))
    return "".join(out)


def text(value):
    """Any value as HTML element content: markup characters as references, C0 controls and DEL
    shown as \\xNN, C1 and bidirectional controls as a marker <span class="ctl">U+202E</span>
    in their place (a bidirectional control would reorder the text after it), what UTF-8
    cannot carry (a lone surrogate from a trace) as U+FFFD."""
    return _escape(value, True)


def plain(value):
    """The same for where no markup may go (attribute values, <title>, the timeline's SVG):
    every control character as \\xNN, byte by byte, as in the terminal."""
    return _escape(value, False)


def read_png(path):
    """(data, None) for a screenshot fit to embed, or (None, why not)."""
    if not path:
        return None, "no screenshot was taken"
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as e:
        return None, f"cannot open it ({e.strerror})"
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            return None, "not a regular file"
        if info.st_size > MAX_SCREENSHOT:
            return None, f"larger than {MAX_SCREENSHOT} bytes"
        chunks, size = [], 0
        while size <= MAX_SCREENSHOT:
            chunk = os.read(fd, 1 << 20)
            if not chunk:
                break
            chunks.append(chunk)
            size += len(chunk)
    finally:
        os.close(fd)
    data = b"".join(chunks)
    if len(data) > MAX_SCREENSHOT:
        return None, f"larger than {MAX_SCREENSHOT} bytes"
    if not data.startswith(PNG):
        return None, "not a PNG image"
    return data, None


def screenshot(path, alt):
    data, why = read_png(path)
    if data is None:
        return f"<p><em>{text(alt)}: no picture ({text(why)})</em></p>\n"
    return (f'<img class="shot" alt="{plain(alt)}" src="data:image/png;base64,'
            f'{base64.b64encode(data).decode("ascii")}">\n')


def hexpid(pid):
    return f"{pid:04x}" if isinstance(pid, int) else "?"


def seconds(value):
    return f"{value:.2f} s" if isinstance(value, (int, float)) else "?"


def number(value):
    return f"{value:.1f}"


def verdict(r):
    o, browser = r["outcome"], r["browser"]
    if o["faults"]:
        faults = "".join(f"<li>{text(f)}</li>" for f in o["faults"])
        count = len(o["faults"])
        return (f'<div class="verdict bad"><b>{text(o["result"])}</b>: {count} '
                f'fault{"s" if count != 1 else ""}<ul>{faults}</ul></div>\n')
    return (f'<div class="verdict good"><b>{text(o["result"])}</b>: the launcher started the '
            f'browser and ended with exit code 0; the browser runs as '
            f'{text(browser["process"])}</div>\n')


def timeline(r):
    """One row per process the run started, the launcher's first, from its creation to its end
    (still running at the end: to the right edge; ended, but when is not in the trace: a dashed
    stub), with its boxes, the libraries of the disc it loaded and the starts that failed."""
    launcher = r["launcher"]
    events = r["events"]
    end = max([launcher["seconds"] or 0] + [e["seconds"] for e in events] + [0.001]) * 1.04
    running = {p["pid"] for p in r["running"]}
    rows = [{"label": f"{os_basename(launcher['program'])} ({hexpid(launcher['pid'])}), the launcher",
             "pid": launcher["pid"], "from": 0.0, "to": launcher["seconds"] or 0,
             "open": False, "unknown": False, "marks": []}]
    rows[0]["marks"].append((launcher["seconds"], "end" if launcher["ended"] else "stop",
                             f"ended with exit code {launcher['exitCode']}" if launcher["ended"]
                             else "still running: ended by the trial"))
    by_pid = {launcher["pid"]: rows[0]}
    for e in events:
        if e["kind"] == "start" and e["state"] == "started" and e["pid"] not in by_pid:
            still = e["pid"] in running
            row = {"label": f"{os_basename(e['program'])} ({hexpid(e['pid'])}), by {e['by']}",
                   "pid": e["pid"], "from": e["seconds"],
                   "to": end if still else e["seconds"] + end * 0.03,
                   "open": still, "unknown": not still,
                   "marks": [(e["seconds"], "start", e["commandLine"])]}
            by_pid[e["pid"]] = row
            rows.append(row)
    for e in events:
        owner = by_pid.get(e["byPid"], rows[0])
        if owner["unknown"]:
            # It ran at least until the last thing it did.
            owner["to"] = max(owner["to"], e["seconds"])
        if e["kind"] == "box":
            owner["marks"].append((e["seconds"], "box", f"[{e['caption']}] {e['text']}"))
        elif e["kind"] == "load":
            owner["marks"].append((e["seconds"], "load", f"loaded {e['path']}"))
        elif e["kind"] == "start" and e["state"] != "started":
            owner["marks"].append((e["seconds"], "failed", f"{e['state']}: {e['program']}"))
    hidden = max(len(rows) - MAX_ROWS, 0)
    rows = rows[:MAX_ROWS]

    label_w, plot_w, row_h, top = 300.0, 560.0, 24.0, 24.0
    height = top + row_h * len(rows) + 8

    def x(t):
        return label_w + min(max(t or 0, 0), end) / end * plot_w

    svg = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{number(label_w + plot_w + 20)}" '
           f'height="{number(height)}" role="img" aria-label="timeline">']
    step = 10 ** (len(str(int(end))) - 2) if end >= 10 else 0.1
    for f in (1, 2, 5, 10, 20, 50, 100):
        if end / (step * f) <= 10:
            step *= f
            break
    t = 0.0
    while t <= end:
        svg.append(f'<line class="axis" x1="{number(x(t))}" y1="{number(top - 6)}" '
                   f'x2="{number(x(t))}" y2="{number(height - 8)}"/><text x="{number(x(t) + 2)}" '
                   f'y="{number(top - 10)}">{plain(f"{round(t, 3):g} s")}</text>')
        t += step
    for i, row in enumerate(rows):
        y = top + row_h * i
        mid = y + row_h / 2
        label = row["label"] if len(row["label"]) <= 44 else row["label"][:43] + "\u2026"
        what = (" until the end, still running" if row["open"] else
                ", ended when the trace does not say" if row["unknown"] else
                f" to {seconds(row['to'])}")
        a, b = x(row["from"]), max(x(row["to"]), x(row["from"]) + 3)
        cls = "bar open" if row["open"] else "bar unknown" if row["unknown"] else "bar"
        svg.append(f'<g class="row"><text x="4" y="{number(y + 16)}">{plain(label)}'
                   f'<title>{plain(row["label"])}</title></text>'
                   f'<rect class="{cls}" x="{number(a)}" y="{number(y + 5)}" '
                   f'width="{number(b - a)}" height="{number(row_h - 10)}"><title>'
                   f'{plain(row["label"] + ": from " + seconds(row["from"]) + what)}</title></rect>')
        for at, kind, title in row["marks"]:
            m, tip = x(at), f"<title>{plain(seconds(at) + ': ' + title)}</title>"
            if kind == "box":
                svg.append(f'<polygon class="box" points="{number(m)},{number(mid - 8)} '
                           f'{number(m + 8)},{number(mid)} {number(m)},{number(mid + 8)} '
                           f'{number(m - 8)},{number(mid)}">{tip}</polygon>')
            elif kind == "failed":
                svg.append(f'<path class="failed" d="M{number(m - 5)} {number(mid - 5)} '
                           f'L{number(m + 5)} {number(mid + 5)} M{number(m + 5)} '
                           f'{number(mid - 5)} L{number(m - 5)} {number(mid + 5)}">{tip}</path>')
            elif kind in ("start", "load"):
                svg.append(f'<circle class="{kind}" cx="{number(m)}" cy="{number(mid)}" '
                           f'r="{3.5 if kind == "start" else 2.5}">{tip}</circle>')
            else:
                svg.append(f'<line class="{kind}" x1="{number(m)}" y1="{number(y + 2)}" '
                           f'x2="{number(m)}" y2="{number(y + row_h - 2)}">{tip}</line>')
        svg.append("</g>")
    svg.append("</svg>")
    legend = ('<p class="mono">\u25c6 message box &#160; \u25cf started &#160; \u00b7 library of '
              'the disc loaded &#160; \u2715 start failed &#160; | ended (red: stopped by the '
              'trial) &#160; dark bar: still running at the end &#160; dashed: ended, when is '
              'not in the trace</p>')
    more = f"<p>and {hidden} more processes, in the events below</p>" if hidden else ""
    return "\n".join(svg) + "\n" + legend + more + "\n"


def os_basename(windows_path):
    return (windows_path or "").replace("/", "\\").rsplit("\\", 1)[-1]


def event_row(e):
    who = f"{e['by']} ({hexpid(e['byPid'])})"
    extra = ""
    if e["kind"] == "start":
        did = {"started": f"started {e['program']} as {hexpid(e['pid'])}",
               "failed": f"tried to start {e['program']}; it did not start"
                         + (f": {e['why']}" if "why" in e else ""),
               "unanswered": f"was starting {e['program']} when the run was stopped",
               "starting": f"was starting {e['program']}"}.get(e["state"], e["state"])
        cut = "" if e.get("commandLineComplete", True) else "  (cut short in Wine's trace)"
        extra = f'<br><span class="mono">command line: {text(e["commandLine"])}{text(cut)}</span>'
    elif e["kind"] == "load":
        did = f"loaded {e['path']}"
    elif e["kind"] == "box":
        did = f"showed a box [{e['caption']}] {e['text']}"
        extra = screenshot(e.get("screenshot"), f"the box {e['caption']}")
    else:
        did = f"ended with exit code {e.get('exitCode')}"
    return (f'<tr><td class="mono time">{seconds(e["seconds"])}</td><td>{text(who)} {text(did)}'
            f'{extra}</td></tr>\n')


def listing(items, empty):
    if not items:
        return f"<p>{text(empty)}</p>\n"
    return "<ul>" + "".join(f"<li>{text(i)}</li>" for i in items) + "</ul>\n"


def render(r, style):
    """The page of report r, with the kit's style sheet (disckit --report-style)."""
    s, lang, launcher, browser = r["system"], r["language"], r["launcher"], r["browser"]
    rep = s["reported"]
    disc = r["disc"]
    body = [f"<h1>disckit trial: {text(disc['path'])}</h1>\n", verdict(r), "<table>\n"]
    rows = [
        ("Disc", f"{disc['path']} ({'image' if disc['kind'] == 'image' else 'folder, pressed into an image with Joliet names'}), read-only in CD-ROM drive D:"),
        ("System", f"{s['title']} ({s['profile']}) by Wine's setting {s['wineSetting']} in a "
                   f"{s['prefix']} prefix: version {rep['major']}.{rep['minor']}.{rep['build']}, "
                   f"platform {rep['platformId']}, {rep['bits']}-bit, product type "
                   f"{rep['productType']}"
                   + (" from the extended version query" if rep.get("extendedQuery") else "")),
        ("Wine", f"{r['wine']}, under the account {r['account']}"),
        ("Language", f"{lang['langId']} {lang['locale']} (LC_ALL={lang['lcAll']}), code page "
                     f"{lang['codePage']}"),
        ("Launcher", f"exit code {launcher['exitCode']} after {seconds(launcher['seconds'])}"
                     if launcher["ended"] else
                     f"still running after {seconds(launcher['seconds'])}, then ended by the "
                     f"trial ({launcher['stoppedBecause']})"),
    ]
    runs = ", ".join(f"{p['name']} ({hexpid(p['pid'])})" for p in browser["runningAs"])
    rows.append(("Browser", f"started {browser['starts']} time{'s' if browser['starts'] != 1 else ''}"
                 + (f", {browser['failedStarts']} of them failed" if browser["failedStarts"] else "")
                 + (f", {browser['ended']} of them ended" if browser["ended"] else "")
                 + (f"; {browser['process']} runs: {runs}" if browser["running"]
                    else f"; no process {browser['process']} runs at the end")
                 + "".join(f"; window: {t}" for t in browser["windows"])))
    body += [f"<tr><th>{text(h)}</th><td>{text(v)}</td></tr>\n" for h, v in rows]
    body.append("</table>\n")
    body.append(f"<h2>Timeline (seconds after {text(launcher['program'])} was started)</h2>\n")
    body.append(timeline(r))
    body.append("<h2>What happened</h2>\n<table>\n")
    body += [event_row(e) for e in r["events"]]
    if not launcher["ended"]:
        why = {"loop": f"it had started the browser {browser['startsByLauncher']} times",
               "time": "the time was up",
               "disk": "its folder grew past the trial's disk budget"}.get(
                   launcher["stoppedBecause"], "")
        body.append(f'<tr><td class="mono time">{seconds(launcher["seconds"])}</td><td>the launcher '
                    f'still ran and {text(why)}: it was ended</td></tr>\n')
    body.append("</table>\n<h2>The screen after the run</h2>\n")
    body.append(screenshot(r.get("screenshotAfterRun"), "the screen after the run"))
    files = [windows_change(c, lambda t: "\u201c" + t + "\u201d") for c in r["windowsDirectory"]]
    body.append("<h2>The Windows directory</h2>\n")
    body.append(listing(files, "nothing written to the Windows directory"))
    keys = []
    for k in r["registry"]["added"]:
        keys.append(f"new key {k['key']}" + "".join(f"\n    {v}" for v in k["values"]))
    keys += [f"removed key {k}" for k in r["registry"]["removed"]]
    body.append("<h2>The registry</h2>\n")
    body.append(listing(keys, "no key appeared or went").replace("<li>", '<li class="mono" style="white-space: pre-wrap">'))
    body.append("<h2>Running at the end</h2>\n")
    body.append(listing([f"{p['name']} ({hexpid(p['pid'])}"
                         + (f", started by {p['startedBy']}" if p["startedBy"] else "")
                         + f"): {p['state']}" for p in r["running"]], "nothing the run started"))
    body.append("<h2>Windows on the screen</h2>\n")
    body.append(listing([f"{w['process'] or '?'} ({hexpid(w['pid'])}): {w['class']} "
                         f"\u201c{w['title']}\u201d" for w in r.get("windows", [])], "none"))
    if r.get("notes"):
        body.append("<h2>Notes</h2>\n" + listing(r["notes"], ""))
    title = f"disckit trial: {disc['path']}"
    return ("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
            "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
            "img-src data:; style-src 'unsafe-inline'\">\n"
            f"<title>{plain(title)}</title>\n<style>{style}</style>\n</head>\n<body>\n"
            + "".join(body) + "</body>\n</html>\n")


def write(report, path, style):
    """Writes the report's HTML to path; OSError when it cannot."""
    html = render(report, style)
    with open(path, "w", encoding="utf-8", errors="replace") as f:
        f.write(html)
