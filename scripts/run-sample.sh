#!/usr/bin/env bash
# Builds Start.exe, the sample disc and disckit, and runs the sample disc's image under Wine with
# disckit trial: the system as Wine presents it, every program the launcher started with its exact
# command line, the libraries it loaded, the boxes, the files and registry keys it wrote, what
# still runs and the verdict; the screenshots go to build/sample-trial/, the same report as an
# HTML page to build/sample-trial.html. Options are passed on to the trial (--lang de-DE,
# --system xp, ...; disckit help trial).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh wine
scripts/build.sh >/dev/null
out=build/sample-trial
rm -rf "$out" "$out.html"
exec build/native/disckit trial build/win32/disc.iso --out "$out" --html "$out.html" "$@"
