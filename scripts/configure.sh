#!/usr/bin/env bash
# cmake ARGS... (a configure: --preset NAME, or -S/-B), from the top of the tree. A build folder
# that an older tree configured with another generator (Make, before the builds used Ninja) is
# configured afresh instead of refused; its objects are built again.
set -euo pipefail
cd "$(dirname "$0")/.."
args=("$@")
dir=
for ((i = 0; i + 1 < ${#args[@]}; i++)); do
  case ${args[$i]} in
    --preset) [ -n "$dir" ] || dir=build/${args[$((i + 1))]} ;;
    -B) dir=${args[$((i + 1))]} ;;
  esac
done
fresh=()
if [ -n "$dir" ] && [ -f "$dir/CMakeCache.txt" ] &&
   ! grep -qx 'CMAKE_GENERATOR:INTERNAL=Ninja' "$dir/CMakeCache.txt"; then
  echo "$dir: made with another generator, configured afresh" >&2
  fresh=(--fresh)
fi
exec cmake "${fresh[@]}" "$@"
