"""What `disckit trial` adds to its verdict so that it tells the same truth as check and simulate:
a fault when the page on a browser's command line is not on the disc (the browser then shows an
error page, and runs all the same), and check's errors on the disc as pressed, beside it.

The disc is hostile input: disckit itself reads it for check's errors, and the start page is
looked for from folder to folder without following a link, opening only folders and regular
files."""

import json
import os
import re
import stat
import subprocess

# The page is the command line's last quoted path; the launcher opens its quote and never closes it.
PAGE = re.compile(r'"([A-Za-z]):\\([^"]*)"?\s*$')

# A disc folder's names read at the most, per folder looked through.
MAX_NAMES = 100000


def on_disc(disc_dir, relative, same_name):
    """Whether the disc holds this path (backslashes) as a regular file, names compared as
    Windows compares them (of names that differ only in case, the first in byte order is the
    one Windows finds). Nothing on the way is followed through a link."""
    parts = [p for p in relative.split("\\") if p]
    if not parts or any(p in (".", "..") for p in parts):
        return False
    fd = os.open(disc_dir, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC)
    try:
        for i, part in enumerate(parts):
            names = os.listdir(fd)
            if len(names) > MAX_NAMES:
                return False
            matches = sorted((n for n in names if same_name(n, part)), key=os.fsencode)
            if not matches:
                return False
            st = os.stat(matches[0], dir_fd=fd, follow_symlinks=False)
            if i == len(parts) - 1:
                return stat.S_ISREG(st.st_mode)
            if not stat.S_ISDIR(st.st_mode):
                return False
            inner = os.open(matches[0], os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW
                            | os.O_NONBLOCK | os.O_CLOEXEC, dir_fd=fd)
            os.close(fd)
            fd = inner
        return False
    except OSError:
        return False
    finally:
        os.close(fd)


def page_faults(command_lines, disc_dir, same_name):
    """The faults of the browser's command lines whose page the disc does not hold."""
    faults = []
    for line in command_lines:
        m = PAGE.search(line)
        if m and m.group(1).upper() == "D" and not on_disc(disc_dir, m.group(2), same_name):
            faults.append(f"the browser's start page D:\\{m.group(2)} is not there")
    return faults


def check_errors(disc_dir, disckit):
    """check's errors on the disc's folder as Wine sees it, from the disckit that runs this trial
    (the driver is told its path)."""
    run = subprocess.run([str(disckit), "check", str(disc_dir), "--json", "--min-severity",
                          "error"], capture_output=True, timeout=600)
    if run.returncode not in (0, 1):
        return [{"code": "check-failed", "path": "",
                 "message": run.stderr.decode("utf-8", "replace").strip()[-2000:]}]
    findings = json.loads(run.stdout.decode("utf-8"))["findings"]
    return [{k: f[k] for k in ("code", "path", "message")} for f in findings]


def add_to(report, disc_dir, disckit, same_name):
    """Adds the page faults to the report's outcome and check's errors beside it. A verdict with
    either is not a clean one: the exit code says so."""
    o = report["outcome"]
    o["faults"] += page_faults(report["browser"]["commandLines"], disc_dir, same_name)
    report["check"] = {"errors": check_errors(disc_dir, disckit)}
    if o["faults"] or report["check"]["errors"]:
        o["exitCode"] = 1


def print_beside(report, w):
    """check's errors, under the verdict."""
    errors = report.get("check", {}).get("errors", [])
    if errors:
        w(f"Check     {len(errors)} error{'s' if len(errors) != 1 else ''} on the disc:")
    for e in errors:
        w(f"  - {e['code']}  {e['path']}: {e['message']}")
