"""What `disckit trial` adds to its verdict so that it tells the same truth as check and simulate:
a fault when the page on a browser's command line is not on the disc (the browser then shows an
error page, and runs all the same), and check's errors on the disc as pressed, beside it."""

import json
import re
import subprocess
from pathlib import Path

# The page is the command line's last quoted path; the launcher opens its quote and never closes it.
PAGE = re.compile(r'"([A-Za-z]):\\([^"]*)"?\s*$')


def page_faults(command_lines, disc_dir, on_disc):
    """The faults of the browser's command lines whose page the disc does not hold."""
    faults = []
    for line in command_lines:
        m = PAGE.search(line)
        if m and m.group(1).upper() == "D" and not on_disc(disc_dir, m.group(2)):
            faults.append(f"the browser's start page D:\\{m.group(2)} is not there")
    return faults


def check_errors(disc_dir, work):
    """check's errors on the disc's folder as Wine sees it; work is the build's e2e folder, and
    the disckit that runs this trial lies beside it."""
    disckit = Path(work).parent / "disckit"
    run = subprocess.run([str(disckit), "check", str(disc_dir), "--json", "--min-severity",
                          "error"], capture_output=True, timeout=600)
    if run.returncode not in (0, 1):
        return [{"code": "check-failed", "path": "",
                 "message": run.stderr.decode("utf-8", "replace").strip()}]
    findings = json.loads(run.stdout.decode("utf-8"))["findings"]
    return [{k: f[k] for k in ("code", "path", "message")} for f in findings]


def add_to(report, disc_dir, work, on_disc):
    """Adds the page faults to the report's outcome and check's errors beside it. A verdict with
    either is not a clean one: the exit code says so."""
    o = report["outcome"]
    o["faults"] += page_faults(report["browser"]["commandLines"], disc_dir, on_disc)
    report["check"] = {"errors": check_errors(disc_dir, work)}
    if o["faults"] or report["check"]["errors"]:
        o["exitCode"] = 1


def print_beside(report, w):
    """check's errors, under the verdict."""
    errors = report.get("check", {}).get("errors", [])
    if errors:
        w(f"Check     {len(errors)} error{'s' if len(errors) != 1 else ''} on the disc:")
    for e in errors:
        w(f"  - {e['code']}  {e['path']}: {e['message']}")
