#!/usr/bin/env bash
# Builds both presets in the order they need each other: win32 (Start.exe, the sample disc and
# the lab's Windows tools) and then native (disckit, which runs and installs those tools, and the
# tests). scripts/build.sh package builds the Debian package of disckit instead of native.
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:-native}
case $target in
  native|package) ;;
  *) echo "usage: scripts/build.sh [native|package]" >&2; exit 2 ;;
esac
scripts/configure.sh --preset win32 >/dev/null
cmake --build --preset win32
scripts/configure.sh --preset "$target" >/dev/null
cmake --build --preset "$target"
if [ "$target" = package ]; then
  (cd build/package && cpack -G DEB)
fi
