#!/usr/bin/env python3
"""End-to-end tests of `disckit trial --matrix` and `disckit merge`: cells of the sample disc's
image run as trials of their own, several at once; a stopped matrix leaves nothing behind; and
the README's recipe for spreading a matrix over machines, run with a real Slurm on this machine.

One test each, run by harness.py. Every wait is bounded by the lab's PATIENCE and ended by an
event (a cell's trial started, a job left the queue), never by a fixed sleep.
"""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
import unittest
from pathlib import Path

import labpath  # noqa: F401 (the lab and the trial's driver)
import machine
import trialbox
import winelab
from scenarios import check, equal
from trial_tests import cmdline, folder, processes_in as marked

DISCKIT = Path(os.environ.get("LAUNCHER_NATIVE_DISCKIT",
                              winelab.ROOT / "build" / "native" / "disckit")).resolve()
IMAGE = winelab.ROOT / "build" / "win32" / "disc.iso"
CELLS = ["--systems", "7-x64", "--langs", "en-US,de-DE"]


def children(pid):
    """Ids of the processes whose parent is pid."""
    found = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            stat = (entry / "stat").read_text()
        except OSError:
            continue
        # The command's name may hold blanks and parentheses: the fields follow the last ')'.
        if int(stat.rsplit(")", 1)[1].split()[1]) == pid:
            found.append(int(entry.name))
    return found


def own_temp(work):
    """A temporary folder for one matrix and its cells (TMPDIR), so that what they leave there is
    theirs alone, whatever other tests run beside."""
    tmp = work / "tmp"
    tmp.mkdir()
    return tmp, dict(os.environ, TMPDIR=str(tmp))


def left_in(tmp):
    return sorted(p.name for p in tmp.iterdir())


def setUpModule():
    reason = winelab.can_run_wine()
    if not reason and not DISCKIT.exists():
        reason = f"{DISCKIT} is not built (cmake --preset native && cmake --build --preset native)"
    if not reason and not IMAGE.exists():
        reason = f"{IMAGE} is not built (cmake --build --preset win32)"
    if not reason:
        reason = trialbox.bwrap_usable()
    if reason:
        raise unittest.SkipTest(reason)


class MatrixTests(unittest.TestCase):

    def test_two_cells_at_once(self):
        """Two cells of the sample disc, both at once: each a whole trial, as expected and as
        simulate predicts; the HTML links the grid to each cell's report; nothing left behind."""
        work = folder("two_cells_at_once")
        tmp, env = own_temp(work)
        command = [str(DISCKIT), "trial", str(IMAGE), "--matrix", *CELLS, "--jobs", "2", "--json",
                   "--html", str(work / "matrix.html"), "--timeout", str(int(winelab.PATIENCE))]
        print(" ".join(command))
        proc = subprocess.run(command, capture_output=True, timeout=4 * winelab.PATIENCE, env=env)
        sys.stdout.write(proc.stderr.decode("utf-8", "replace"))
        report = json.loads(proc.stdout)
        for cell in report["cells"]:
            print(cell["system"], cell["locale"], cell["result"], cell.get("error", ""))
        equal(proc.returncode, 0, "exit code")
        equal([(c["system"], c["locale"]) for c in report["cells"]],
              [("7-x64", "en-US"), ("7-x64", "de-DE")], "cells")
        for cell in report["cells"]:
            equal(cell["result"], "browser-running", f"{cell['locale']}'s result")
            check(cell["asExpected"] and cell["agrees"], f"{cell['locale']}: {cell}")
            language = cell["trial"]["language"]
            equal(language["locale"], cell["locale"], "the language the cell's trial ran in")
        equal(report["summary"]["asExpected"], 2, "cells as expected")
        check(len(report["disc"]["sha256"]) == 64, "the image's digest")
        page = (work / "matrix.html").read_text(encoding="utf-8")
        for locale in ("en-US", "de-DE"):
            check(f'href="#cell-7-x64-{locale}"' in page and f'id="cell-7-x64-{locale}"' in page,
                  f"the grid links to {locale}'s report")
        equal(left_in(tmp), [], "what is left in the temporary folder")

    def test_stopped_from_outside(self):
        """SIGTERM to a matrix while its cells' launchers run: every cell's sandbox ends, every
        trial's folder and the matrix's own are gone, and it ends by the signal."""
        # No browser on the copy: each launcher keeps starting one until it is stopped.
        work = folder("stopped_from_outside")
        tmp, env = own_temp(work)
        disc = work / "disc"
        shutil.copytree(winelab.DISC, disc)
        (disc / "Panoview.exe").unlink()
        command = [str(DISCKIT), "trial", str(disc), "--matrix", *CELLS, "--jobs", "2",
                   "--max-starts", "100000", "--timeout", str(int(winelab.PATIENCE))]
        print(" ".join(command))
        proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        works = []
        try:
            def launchers_run():
                works[:] = [winelab.lab() / "scenarios" / f"trial-{pid}" for pid in children(proc.pid)]
                # A process may end between the look at the folder's processes and the read
                # of its command line (cmdline reads it as no command line at all).
                running = [w for w in works
                           if any(b"Start.exe" in b" ".join(cmdline(p)) for p in marked(w))]
                return len(running) == 2
            check(machine.wait(launchers_run, 2 * winelab.PATIENCE, 0.2),
                  "the two cells' launchers never ran at once")
            proc.send_signal(signal.SIGTERM)
            _, err = proc.communicate(timeout=2 * winelab.PATIENCE)
        finally:
            if proc.poll() is None:
                proc.kill()
        sys.stdout.write(err.decode("utf-8", "replace"))
        equal(proc.returncode, -signal.SIGTERM, "ended by")
        for work in works:
            check(not work.exists(), f"the cell's trial folder {work} is still there")
            check(not marked(work), f"processes of {work} still run: {marked(work)}")
        check(not children(proc.pid), "a cell's trial still runs")
        equal(left_in(tmp), [], "what is left in the temporary folder")

    def test_slurm_array_and_merge(self):
        """The README's recipe: a two-shard array job on a Slurm started for the test, then
        disckit merge of the shards' reports gives the whole matrix."""
        for program in ("munged", "slurmctld", "slurmd", "sbatch"):
            if not shutil.which(program) and not Path(f"/usr/sbin/{program}").exists():
                self.skipTest(f"{program} is missing (scripts/deps.sh wine installs slurm-wlm)")
        if os.geteuid() != 0:
            self.skipTest("slurmd runs jobs as their owner, which needs root")
        work = folder("slurm_array_and_merge")
        with SlurmCluster(work) as cluster:
            script = work / "matrix.sbatch"
            script.write_text(
                "#!/bin/sh\n"
                "#SBATCH --array=1-2\n"
                f"#SBATCH --output={work}/shard-%a.json\n"
                f"#SBATCH --error={work}/shard-%a.err\n"
                f'exec "{DISCKIT}" trial "{IMAGE}" --matrix {" ".join(CELLS)} '
                '--shard "$SLURM_ARRAY_TASK_ID/2" --jobs 1 --json '
                f"--timeout {int(winelab.PATIENCE)}\n")
            job = cluster.run(["sbatch", "--parsable", str(script)]).strip().split(";")[0]
            print("array job", job)
            check(machine.wait(lambda: not cluster.run(["squeue", "-h", "-j", job]).strip(),
                                4 * winelab.PATIENCE, 0.5),
                  f"the array job is still queued or running: {cluster.run(['squeue'])}")
            for k in (1, 2):
                sys.stdout.write((work / f"shard-{k}.err").read_text(errors="replace"))
            shards = [str(work / f"shard-{k}.json") for k in (1, 2)]
            for shard in shards:
                check(Path(shard).stat().st_size > 0, f"{shard} is empty")
        merged = subprocess.run([str(DISCKIT), "merge", *shards, "--json",
                                 "--html", str(work / "matrix.html")],
                                capture_output=True, timeout=winelab.PATIENCE)
        sys.stdout.write(merged.stderr.decode("utf-8", "replace"))
        equal(merged.returncode, 0, "merge's exit code")
        report = json.loads(merged.stdout)
        equal(report["shard"], None, "the merged report's shard")
        equal([(c["system"], c["locale"], c["result"]) for c in report["cells"]],
              [("7-x64", "en-US", "browser-running"), ("7-x64", "de-DE", "browser-running")], "cells")
        # The shards ran in two jobs, each a cell: the same disc, the same disckit.
        again = subprocess.run([str(DISCKIT), "merge", shards[0], shards[0]],
                               capture_output=True, timeout=winelab.PATIENCE)
        equal(again.returncode, 2, "a shard given twice")
        check(b"overlap" in again.stderr, again.stderr.decode(errors="replace"))


class SlurmCluster:
    """munged, slurmctld and slurmd of one node, all in a folder of the test's, on free ports,
    ended (and waited for) when the test ends."""

    def __init__(self, work):
        self.work = work
        self.procs = []

    @staticmethod
    def free_port():
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            return s.getsockname()[1]

    def run(self, command):
        return subprocess.run(command, env=self.env, capture_output=True, text=True, check=True,
                              timeout=winelab.PATIENCE).stdout

    def start(self, command, name):
        log = open(self.work / f"{name}.log", "wb")
        self.procs.append((name, subprocess.Popen(command, env=self.env, stdout=log,
                                                  stderr=subprocess.STDOUT)))

    def __enter__(self):
        try:
            return self.start_all()
        except BaseException:
            self.__exit__(*sys.exc_info())
            raise

    def start_all(self):
        w = self.work
        for d in ("munge", "state", "spool", "tmp"):
            (w / d).mkdir()
        (w / "munge").chmod(0o700)
        key = w / "munge" / "munge.key"
        key.write_bytes(os.urandom(1024))
        key.chmod(0o400)
        socket_path = w / "munge" / "munge.socket"
        host = socket.gethostname().split(".")[0]
        cpus = os.cpu_count() or 1
        (w / "slurm.conf").write_text(
            f"ClusterName=disckit\nSlurmctldHost={host}(127.0.0.1)\n"
            f"SlurmctldPort={self.free_port()}\nSlurmdPort={self.free_port()}\n"
            f"AuthType=auth/munge\nAuthInfo=socket={socket_path}\nCredType=cred/munge\n"
            f"SlurmUser=root\nSlurmdUser=root\nStateSaveLocation={w}/state\n"
            f"SlurmdSpoolDir={w}/spool\nSlurmctldPidFile={w}/slurmctld.pid\n"
            f"SlurmdPidFile={w}/slurmd.pid\nProctrackType=proctrack/linuxproc\n"
            "TaskPlugin=task/none\nJobAcctGatherType=jobacct_gather/none\n"
            "SelectType=select/cons_tres\nSelectTypeParameters=CR_CPU\nMpiDefault=none\n"
            "ReturnToService=2\nSlurmctldTimeout=300\nSlurmdTimeout=300\n"
            f"NodeName={host} NodeAddr=127.0.0.1 CPUs={cpus} State=UNKNOWN\n"
            f"PartitionName=test Nodes={host} Default=YES MaxTime=INFINITE State=UP\n")
        # The jobs take the submitting environment: their temporary folder is the test's own.
        self.env = dict(os.environ, SLURM_CONF=str(w / "slurm.conf"), TMPDIR=str(w / "tmp"))
        self.start(["munged", "--foreground", "--force", f"--key-file={key}",
                    f"--socket={socket_path}", f"--pid-file={w}/munge/munged.pid",
                    f"--log-file={w}/munge/munged.log", f"--seed-file={w}/munge/munged.seed"],
                   "munged")
        check(machine.wait(socket_path.exists, winelab.PATIENCE, 0.1), "munged did not start")
        self.start(["slurmctld", "-D", "-i"], "slurmctld")
        self.start(["slurmd", "-D", "-N", host], "slurmd")

        def node_ready():
            try:
                state = subprocess.run(["sinfo", "-h", "-N", "-o", "%T"], env=self.env,
                                       capture_output=True, text=True, timeout=30).stdout.strip()
            except subprocess.TimeoutExpired:
                return False
            return state in ("idle", "mixed", "allocated")
        check(machine.wait(node_ready, 2 * winelab.PATIENCE, 0.5),
              "the Slurm node never became ready: " + self.logs())
        return self

    def logs(self):
        return "".join(f"\n--- {n}\n" + (self.work / f"{n}.log").read_text(errors="replace")[-2000:]
                       for n, _ in self.procs)

    def __exit__(self, *exc):
        for _, proc in reversed(self.procs):
            if proc.poll() is None:
                proc.terminate()
        for name, proc in reversed(self.procs):
            try:
                proc.wait(timeout=60)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        if exc[0] is not None:
            sys.stdout.write(self.logs())
        return False


if __name__ == "__main__":
    unittest.main()
