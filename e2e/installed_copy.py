#!/usr/bin/env python3
"""disckit as installed: cmake --install into a temporary prefix, then the installed copy's
--version, check, simulate and trial on a copy of the sample disc, run where the checkout and
the build folders are out of reach (hidden behind empty folders by bubblewrap). Only the lab's
work folder stays, for the prefix templates the fixture made. And an author's project, from init
through check to build and its image, by an ordinary account. Run by harness.py.
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

import labpath  # noqa: F401 (the lab and the trial's driver)
import winelab
from scenarios import check, equal

# The native build's folder, which the installed copy may not name.
BUILD = Path(os.environ.get("LAUNCHER_NATIVE_DISCKIT",
                            winelab.ROOT / "build" / "native" / "disckit")).resolve().parent


def setUpModule():
    reason = winelab.can_run_wine()
    if reason is None and shutil.which("bwrap") is None:
        reason = "bwrap is not installed (scripts/deps.sh wine installs bubblewrap)"
    if reason:
        raise unittest.SkipTest(reason)


class InstalledCopy(unittest.TestCase):
    def test_runs_with_the_checkout_hidden(self):
        build = BUILD
        work = winelab.WORK
        with tempfile.TemporaryDirectory(prefix="disckit-installed-") as temp:
            temp = Path(temp)
            prefix = temp / "usr"
            subprocess.run(["cmake", "--install", str(build), "--prefix", str(prefix), "--strip"],
                           check=True, timeout=300, capture_output=True)
            # Nothing installed may name a folder that a user of the package does not have.
            hidden = sorted({winelab.ROOT, build, winelab.WIN32_BUILD})
            for file in sorted(p for p in prefix.rglob("*") if p.is_file()):
                data = file.read_bytes()
                for folder in hidden:
                    check(str(folder).encode() not in data, f"{file} names {folder}")
            for path in ("bin/disckit", "lib/disckit/trial.py", "lib/disckit/winelab.py",
                         "lib/disckit/machine.py", "lib/disckit/trialbox.py",
                         "lib/disckit/trial_run.py",
                         "lib/disckit/Start.exe", "lib/disckit/tools/OsProbe.exe",
                         "share/man/man1/disckit.1.gz", "share/bash-completion/completions/disckit"):
                check((prefix / path).is_file(), f"{path} is not installed")
            disc = temp / "disc"
            shutil.copytree(winelab.DISC, disc)

            sandbox = ["bwrap", "--dev-bind", "/", "/", "--die-with-parent"]
            for folder in hidden:
                sandbox += ["--tmpfs", str(folder)]
            sandbox += ["--bind", str(work), str(work), "--chdir", str(temp), "--"]

            def disckit(*args):
                run = subprocess.run(sandbox + [str(prefix / "bin" / "disckit"), *args],
                                     capture_output=True, text=True, timeout=3 * winelab.PATIENCE)
                print(f"disckit {' '.join(args)}: exit {run.returncode}")
                sys.stdout.write(run.stderr)
                return run

            hidden_file = subprocess.run(sandbox + ["test", "-e", str(winelab.START_EXE)])
            check(hidden_file.returncode != 0, "the sandbox does not hide the build")
            version = disckit("--version")
            check(re.fullmatch(r"disckit \d+\.\d+\.\d+\n", version.stdout), version.stdout)
            checked = disckit("check", str(disc), "--json")
            equal(checked.returncode, 0, "check's exit code")
            equal(json.loads(checked.stdout)["summary"]["errors"], 0, "check's errors")
            simulated = disckit("simulate", str(disc), "--json")
            equal(simulated.returncode, 0, "simulate's exit code")
            equal(json.loads(simulated.stdout)["outcome"]["result"], "browser-running",
                  "the simulation's outcome")
            # init copies the stock launcher that is installed beside it, with the build hidden.
            new_disc = temp / "new disc"
            made = disckit("init", str(new_disc), "--lang", "de-DE")
            equal(made.returncode, 0, "init's exit code")
            check((new_disc / "disc" / "Start.exe").read_bytes() ==
                  (prefix / "lib" / "disckit" / "Start.exe").read_bytes(),
                  "init's Start.exe is not the installed stock launcher")
            tried = disckit("trial", str(disc), "--json", "--out", str(temp / "shots"),
                            "--timeout", str(int(winelab.PATIENCE)))
            equal(tried.returncode, 0, "trial's exit code")
            equal(json.loads(tried.stdout)["outcome"]["result"], "browser-running",
                  "the trial's outcome")

    def test_project_as_an_ordinary_user(self):
        """An author's round as an ordinary account has it (the lab's), with disckit installed
        where every account may read it: init a project, put the disc's files into its content
        folder, set the identity in disckit.toml, check the project, build it with an image.
        Nothing of the project's own files reaches the disc; init's own files bring no warning;
        a broken project file is one line, exit code 2, and nothing written."""
        pw = winelab.account()
        env = {"PATH": "/usr/bin:/bin", "HOME": pw.pw_dir, "USER": pw.pw_name,
               "LOGNAME": pw.pw_name, "LC_ALL": "C.UTF-8"}
        top = Path(tempfile.mkdtemp(prefix="disckit-project-", dir="/var/tmp"))
        self.addCleanup(shutil.rmtree, top, True)
        top.chmod(0o755)
        prefix = top / "usr"
        subprocess.run(["cmake", "--install", str(BUILD), "--prefix", str(prefix), "--strip"],
                       check=True, timeout=300, capture_output=True)
        home = top / "author"
        home.mkdir()
        os.chown(home, pw.pw_uid, pw.pw_gid)

        def disckit(*args):
            run = subprocess.run([str(prefix / "bin" / "disckit"), *args], capture_output=True,
                                 text=True, user=pw.pw_uid, group=pw.pw_gid, extra_groups=[],
                                 env=env, cwd=str(home), timeout=winelab.PATIENCE)
            print(f"disckit {' '.join(args)}: exit {run.returncode}")
            sys.stdout.write(run.stdout + run.stderr)
            return run

        made = disckit("init", "atlas", "--lang", "de-DE")
        equal(made.returncode, 0, "init's exit code")
        project = home / "atlas"
        check("languages = [\"de-DE\"]" in (project / "disckit.toml").read_text(),
              "init's disckit.toml does not name the language")
        # The author's files, as the account copies them in (init's Start.exe and autorun.inf
        # stay, and so do its pages).
        for entry in sorted(winelab.DISC.iterdir()):
            if entry.is_file() and entry.name not in ("Start.exe", "autorun.inf"):
                shutil.copyfile(entry, project / "disc" / entry.name)
        toml = (project / "disckit.toml").read_text()
        toml = toml.replace('# company = ', 'company = ', 1).replace('# label = ', 'label = ', 1)
        (project / "disckit.toml").write_text(toml)
        for path in [project, *project.rglob("*")]:
            os.chown(path, pw.pw_uid, pw.pw_gid)

        checked = disckit("check", "atlas", "--json")
        equal(checked.returncode, 0, "check's exit code")
        findings = {f["code"] for f in json.loads(checked.stdout)["findings"]}
        check("language-folder-absent" not in findings, f"findings: {findings}")
        built = disckit("build", "atlas", "--out", "out", "--image", "atlas.iso")
        equal(built.returncode, 0, "build's exit code")
        # No warning: what init wrote is the kit's own. The project file taken, and the pressing.
        equal(built.stderr, "disckit: project atlas/disckit.toml\ndisckit build: pressing atlas.iso\n",
              "build's stderr")
        quiet = disckit("build", "atlas", "--out", "out-quiet", "--image", "quiet.iso", "--quiet")
        equal((quiet.returncode, quiet.stderr), (0, ""), "a quiet build's exit code and stderr")
        check("label=ATLAS_2026" in built.stdout, built.stdout)
        names = sorted(p.relative_to(home / "out").as_posix() for p in (home / "out").rglob("*"))
        check("LAYOUT.txt" not in names and "disckit.toml" not in names, f"the disc: {names}")
        check("lang/DEU/Welcome.htm" in names, f"the disc: {names}")
        check((home / "atlas.iso").stat().st_size > 0, "no image")
        equal((home / "atlas.iso").stat().st_uid, pw.pw_uid, "the image's owner")

        # Each verb that reads the file refuses a bad one the same way.
        bad_files = [
            ("not TOML", toml + "\n[disc\n", "Error while parsing"),
            ("a wrong type", toml.replace("# ignore = ", "ignore = 7 #", 1),
             "[check] ignore is an array of strings, not an integer"),
            ("an unknown key", toml.replace("# description = ", "descriptio = ", 1),
             "no key 'descriptio' in [identity]"),
        ]
        for what, text, reason in bad_files:
            (project / "disckit.toml").write_text(text)
            for verb in (["build", "atlas", "--out", "out2", "--image", "atlas2.iso"],
                         ["check", "atlas", "--html", "report.html"]):
                bad = disckit(*verb)
                equal(bad.returncode, 2, f"{verb[0]}'s exit code with {what}")
                equal(bad.stdout, "", f"{verb[0]}'s output with {what}")
                check(re.fullmatch(rf"disckit {verb[0]}: atlas/disckit.toml:\d+: .*{re.escape(reason)}.*\n",
                                   bad.stderr),
                      f"one line naming the file and the line: {bad.stderr!r}")
            check(not any((home / name).exists() for name in ("out2", "atlas2.iso", "report.html")),
                  f"a project file with {what} wrote something")
