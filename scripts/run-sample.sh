#!/usr/bin/env bash
# Builds Start.exe and the sample disc, runs Start.exe from the disc under Wine and tells what it
# did; leaves a screenshot of the page browser in build/e2e/panoview.png.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh wine
cmake --preset win32 >/dev/null
cmake --build --preset win32 >/dev/null
LAUNCHER_E2E_WORK=build/e2e python3 e2e/scenarios.py demo "$PWD/build/e2e/panoview.png"
