"""Runs the real Start.exe under Wine on a copy of the sample disc and reports what happened.

One Machine is one Wine prefix (copied from a template made once per test run) with its own X
display, the disc mapped to a drive letter, and the stand-ins' shared log. Every wait is bounded:
nothing here can hang a test run.
"""

import os
import shutil
import signal
import subprocess
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
WIN32_BUILD = Path(os.environ.get("LAUNCHER_WIN32_BUILD", ROOT / "build" / "win32")).resolve()
START_EXE = WIN32_BUILD / "Start.exe"
DISC = WIN32_BUILD / "disc"
TOOLS = WIN32_BUILD / "tools"
WORK = Path(os.environ.get("LAUNCHER_E2E_WORK", ROOT / "build" / "e2e")).resolve()
TEMPLATES = WORK / "templates"

BASE_ENV = {
    "WINEDEBUG": "-all",
    # No prompts to install the .NET and HTML engines into a new prefix.
    "WINEDLLOVERRIDES": "mscoree,mshtml=",
    "STANDIN_LOG": "C:\\standin.log",
}
# The registry files are rewritten in place by Wine: they must be real copies, not hard links.
REGISTRY_FILES = ("system.reg", "user.reg", "userdef.reg")
CLASS_KEY = "{5E1F0C27-9B3D-4A86-8C41-2D7E6F90B3A5}"
ANSI = {"932": "cp932", "936": "gbk", "1254": "cp1254", "1252": "cp1252"}


class Skip(Exception):
    """This machine cannot run the scenario (for example no way to run 32-bit code)."""


class WineHung(Exception):
    """Wine itself hung while a prefix was being set up, before the launcher ran."""


def can_run_wine():
    if shutil.which("wine") is None or shutil.which("Xvfb") is None:
        return "wine or Xvfb is not installed (scripts/deps.sh wine installs them)"
    if not START_EXE.exists():
        return f"{START_EXE} is not built (cmake --preset win32 && cmake --build --preset win32)"
    try:
        subprocess.run(["/lib/ld-linux.so.2", "--version"], capture_output=True, check=True,
                       timeout=30)
    except (OSError, subprocess.SubprocessError):
        return "this machine cannot run 32-bit x86 code (scripts/deps.sh wine sets up emulation)"
    return None


def make_template(arch):
    """A fresh prefix of the given kind ('win64': 64-bit Windows, 'win32': native 32-bit)."""
    target = TEMPLATES / arch
    if target.exists():
        shutil.rmtree(target)
    target.parent.mkdir(parents=True, exist_ok=True)
    env = dict(os.environ, **BASE_ENV, WINEPREFIX=str(target), WINEARCH=arch)
    env.pop("DISPLAY", None)
    subprocess.run(["wineboot", "-i"], env=env, check=True, timeout=400,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=env, check=True, timeout=120)


class Xvfb:
    def __init__(self):
        read, write = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        number = b""
        deadline = time.time() + 30
        while not number.endswith(b"\n") and time.time() < deadline:
            chunk = os.read(read, 16)
            if not chunk:
                break
            number += chunk
        os.close(read)
        if not number.strip():
            self.proc.kill()
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number.decode().strip()

    def close(self):
        self.proc.terminate()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()


def parse_log(raw, encoding):
    """The stand-ins' log as (ms, program, event, detail) tuples, detail as bytes."""
    events = []
    for line in raw.split(b"\r\n"):
        if not line:
            continue
        fields = line.split(b"\t", 3)
        while len(fields) < 4:
            fields.append(b"")
        events.append((int(fields[0]), fields[1].decode(encoding), fields[2].decode(encoding),
                       fields[3]))
    return events


class Machine:
    """One Wine prefix with the sample disc, for one scenario."""

    def __init__(self, name, arch="win64", lang=None, version=None):
        self.name = name
        self.arch = arch
        self.dir = WORK / "scenarios" / name
        if self.dir.exists():
            self._remove(self.dir)
        self.dir.mkdir(parents=True)
        self.prefix = self.dir / "prefix"
        template = TEMPLATES / arch
        if not (template / "system.reg").exists():
            raise RuntimeError(f"no {arch} template: run the template step first")
        subprocess.run(["cp", "-al", str(template), str(self.prefix)], check=True, timeout=300)
        for reg in REGISTRY_FILES:
            (self.prefix / reg).unlink()
            shutil.copy2(template / reg, self.prefix / reg)
        self.env = dict(os.environ, **BASE_ENV, WINEPREFIX=str(self.prefix))
        self.env.pop("WINEARCH", None)
        if lang:
            self.env["LC_ALL"] = lang
        self.xvfb = Xvfb()
        self.env["DISPLAY"] = self.xvfb.display
        self.background = []
        self.ansi = "cp1252"
        try:
            if version:
                self.set_version(version)
            self.report = self.probe()
        except subprocess.TimeoutExpired as hung:
            self.close()
            raise WineHung(f"{' '.join(hung.cmd)} did not end in {hung.timeout:.0f} s") from None
        except BaseException:
            self.close()
            raise
        self.ansi = ANSI.get(self.report.get("acp", "1252"), "cp1252")

    # --- Plumbing ---------------------------------------------------------------------------

    @staticmethod
    def _remove(path):
        subprocess.run(["rm", "-rf", str(path)], check=True, timeout=300)

    def wine(self, *args, timeout=120, env=None, check=True):
        """Runs a Windows program to its end; its output comes back in files, not pipes, since
        the programs it starts would hold a pipe open long after it ended."""
        run_env = dict(self.env, **(env or {}))
        with open(self.dir / "out.txt", "w+b") as out, open(self.dir / "err.txt", "w+b") as err:
            result = subprocess.run(["wine", *args], env=run_env, stdout=out, stderr=err,
                                    timeout=timeout, check=False)
            out.seek(0)
            err.seek(0)
            result.stdout, result.stderr = out.read(), err.read()
        if check and result.returncode != 0:
            raise subprocess.CalledProcessError(result.returncode, result.args, result.stdout,
                                                result.stderr)
        return result

    def spawn(self, *args, env=None):
        """Starts a Windows program in the background; it ends with the prefix."""
        run_env = dict(self.env, **(env or {}))
        proc = subprocess.Popen(["wine", *args], env=run_env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, start_new_session=True)
        self.background.append(proc)
        return proc

    def close(self):
        try:
            subprocess.run(["wineserver", "-k"], env=self.env, timeout=60, capture_output=True)
        except subprocess.TimeoutExpired:
            pass  # its programs are ended below all the same
        for proc in self.background:
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
        self.xvfb.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        if os.environ.get("LAUNCHER_E2E_KEEP") is None:
            self._remove(self.dir)

    def unix_path(self, windows_path):
        """Where a path on drive C: lives on the Linux side."""
        assert windows_path[:3].upper() == "C:\\", windows_path
        return self.prefix / "drive_c" / windows_path[3:].replace("\\", "/")

    # --- What the system reports ----------------------------------------------------------

    def set_version(self, version):
        self.wine("reg", "add", "HKCU\\Software\\Wine", "/v", "Version", "/d", version, "/f",
                  timeout=60)

    def probe(self):
        out = self.wine(str(TOOLS / "OsProbe.exe"), timeout=60).stdout.decode("latin-1")
        report = {}
        for line in out.splitlines():
            key, _, value = line.strip().partition("=")
            report[key] = value
        return report

    def class_key_present(self):
        # A 32-bit control registers in the 32-bit view of the registry.
        view = "/reg:32" if self.arch == "win64" else "/reg:64"
        key = f"HKCR\\CLSID\\{CLASS_KEY}"
        result = self.wine("reg", "query", key, view, check=False)
        if result.returncode != 0 and self.arch == "win32":
            result = self.wine("reg", "query", key, check=False)
        return result.returncode == 0

    def processes(self):
        out = self.wine(str(TOOLS / "ProcList.exe")).stdout.decode(self.ansi, "replace")
        return [line.split("\t", 1)[1].strip() for line in out.splitlines() if "\t" in line]

    # --- The disc -----------------------------------------------------------------------------

    def put_disc(self, drive="d", folder=None):
        """Copies the sample disc and Start.exe; returns InstallDir as Start.exe will see it.

        With folder=None the disc is the root of the drive (as a real disc is); otherwise it is
        that folder (a str, possibly non-ASCII) on drive C:.
        """
        if folder is None:
            target = self.dir / "disc"
            shutil.copytree(DISC, target)
            link = self.prefix / "dosdevices" / f"{drive}:"
            if link.is_symlink() or link.exists():
                link.unlink()
            link.symlink_to(target)
            install_dir = f"{drive.upper()}:\\"
        else:
            target = self.prefix / "drive_c" / folder
            shutil.copytree(DISC, target)
            install_dir = "C:\\" + folder.replace("/", "\\") + "\\"
        shutil.copy2(START_EXE, target / "Start.exe")
        self.disc_dir = target
        return install_dir

    def watch_boxes(self, delay_ms=300):
        self.spawn(str(TOOLS / "BoxWatcher.exe"), str(delay_ms))

    def run_launcher(self, install_dir, timeout=90):
        """Runs Start.exe to its end. Returns (exit code, wall-clock ms when it ended)."""
        result = self.wine(install_dir + "Start.exe", timeout=timeout, check=False)
        return result.returncode, int(time.time() * 1000)

    def start_launcher(self, install_dir):
        return self.spawn(install_dir + "Start.exe")

    def log(self):
        path = self.prefix / "drive_c" / "standin.log"
        return parse_log(path.read_bytes() if path.exists() else b"", self.ansi)

    def wait_for(self, predicate, timeout, interval=0.25):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if predicate():
                return True
            time.sleep(interval)
        return predicate()

    def screenshot(self, png):
        """The whole X screen as a PNG (ImageMagick's import)."""
        subprocess.run(["import", "-window", "root", str(png)], env=self.env, check=True,
                       timeout=60, capture_output=True)
