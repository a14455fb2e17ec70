#!/usr/bin/env bash
# Runs the test command as CI does, on a fresh clone of this checkout's HEAD, in a folder that no
# other account can enter (mktemp's mode 700, like a clone under /root) or, with --open, in one
# that every account can enter. The lab's unprivileged account must get what it needs by copies,
# never by reading the clone: this is how that stays true.
#   scripts/test-clean-clone.sh [--open] [--keep]
set -euo pipefail
cd "$(dirname "$0")/.."
open= keep=
for arg in "$@"; do
  case "$arg" in
    --open) open=1 ;;
    --keep) keep=1 ;;
    *) echo "usage: scripts/test-clean-clone.sh [--open] [--keep]" >&2; exit 2 ;;
  esac
done
top=$(mktemp -d)
[ -n "$open" ] && chmod 755 "$top"
# A lab the account cannot reach inside the clone lives in root's /var/cache/disckit, named
# after the clone's e2e work folder and random bits (lab/winelab.py): it goes with the clone.
lab=/var/cache/disckit/$(printf %s "$top/c/build/native/e2e" | sha1sum | cut -c1-12)-
[ -n "$keep" ] || trap 'rm -rf "$top" "$lab"*' EXIT
echo "clone of $(git rev-parse --short HEAD) in $top ($(stat -c %a "$top"))"
git clone -q "$PWD" "$top/c"
cd "$top/c"
CI=true bash .ci/run
