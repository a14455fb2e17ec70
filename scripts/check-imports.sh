#!/usr/bin/env bash
# shellcheck disable=SC2015  # "test && ok || bad" is safe here: ok only echoes.
# Checks the shape of Start.exe that Windows relies on when it runs it from a disc: which DLLs it
# loads, how the loader treats it, its shared section and its manifest.
# Usage: scripts/check-imports.sh [path-to-Start.exe]   (default build/win32/Start.exe)
set -euo pipefail
exe=${1:-build/win32/Start.exe}
objdump=i686-w64-mingw32-objdump

"$(dirname "$0")/deps.sh" build

[ -f "$exe" ] || { echo "FAIL: $exe not found"; exit 1; }
failed=0
ok() { echo "ok:   $*"; }
bad() { echo "FAIL: $*"; failed=1; }

headers=$($objdump -p "$exe") || { echo "FAIL: $exe is no PE image"; exit 1; }

# Any other DLL would be searched for next to Start.exe first, that is on the disc, before the
# system directory; only known DLLs are always taken from the system.
dlls=$(sed -n 's/^\tDLL Name: //p' <<<"$headers")
[ -n "$dlls" ] || bad "no import table found"
while read -r dll; do
  case ${dll,,} in
    kernel32.dll | user32.dll | advapi32.dll | msvcrt.dll) ok "imports $dll" ;;
    *) bad "imports $dll, which is not a known DLL" ;;
  esac
done <<<"$dlls"

# Functions: a DLL of every system may still lack a function of a later one, and then the loader
# refuses the whole program with a box of its own, before the launcher could refuse the system
# properly. Every imported function must be on the reviewed list, with its documented minimum.
allowlist=$(dirname "$0")/start-imports.txt
allowed=$(sed -e 's/#.*//' "$allowlist" | awk 'NF == 2 { print tolower($1) " " $2 }')
imports=$(awk -F'\t' '/^\tDLL Name: / { dll = tolower(substr($2, 11)); next }
  /^\tvma:/ { next }
  /^$/ { dll = "" }
  dll != "" && NF >= 3 { n = split($3, f, " "); print dll " " (n >= 2 ? f[2] : "ordinal-" f[1]) }' <<<"$headers")
[ -n "$imports" ] || bad "no imported functions found"
unlisted=$(comm -23 <(sort -u <<<"$imports") <(sort -u <<<"$allowed"))
if [ -z "$unlisted" ]; then
  ok "$(wc -l <<<"$imports") imported functions, each on ${allowlist#./} (Windows 2000 has them all)"
else
  while read -r entry; do
    bad "imports $entry, which is not on ${allowlist#./} (a function Windows 2000 lacks keeps the launcher from loading there)"
  done <<<"$unlisted"
fi

field() { awk -v f="$1" '$1 == f { print $2; exit }' <<<"$headers"; }
magic=$(field Magic)
[ "$magic" = 010b ] && ok "PE32 (magic $magic)" || bad "magic $magic, not PE32"
subsystem=$(field Subsystem)
[ "$subsystem" = 00000002 ] && ok "subsystem 2 (Windows GUI)" || bad "subsystem $subsystem, not Windows GUI"
dllchars=$((16#$(field DllCharacteristics)))
for flag in DYNAMIC_BASE:0x40 NX_COMPAT:0x100 TERMINAL_SERVER_AWARE:0x8000; do
  ((dllchars & ${flag#*:})) && ok "DllCharacteristics has ${flag%:*}" || bad "DllCharacteristics lacks ${flag%:*}"
done

# The single-instance counter: one shared, writable copy across processes, starting at -1.
shared=$(python3 - "$exe" <<'EOF'
import struct, sys
data = open(sys.argv[1], 'rb').read()
pe = struct.unpack_from('<I', data, 0x3c)[0]
count, opt_size = struct.unpack_from('<H12xH', data, pe + 6)
for i in range(count):
    name, vsize, _, _, _, _, _, _, _, flags = struct.unpack_from('<8sIIIIIIHHI', data, pe + 24 + opt_size + 40 * i)
    if name.rstrip(b'\0') == b'Shared':
        print(vsize, ' '.join(n for bit, n in ((0x10000000, 'shared'), (0x20000000, 'execute'), (0x40000000, 'read'), (0x80000000, 'write')) if flags & bit))
EOF
)
[ "$shared" = "4 shared read write" ] && ok "section Shared: size 4, shared read write" \
  || bad "section Shared: expected size 4, shared read write, found '${shared:-none}'"
content=$($objdump -s -j Shared "$exe" 2>/dev/null | awk '/^ [0-9a-f]+ / { print $2 }' || true)
[ "$content" = ffffffff ] && ok "section Shared holds ffffffff" || bad "section Shared holds '${content:-nothing}', not ffffffff"

# The manifest must ask for administrator rights and name no supported systems, so that newer
# Windows reports itself as the version the launcher's checks know.
manifest=$(python3 - "$exe" 2>&1 <<'EOF'
import struct, sys, xml.etree.ElementTree as ET
data = open(sys.argv[1], 'rb').read()
pe = struct.unpack_from('<I', data, 0x3c)[0]
count, opt_size = struct.unpack_from('<H12xH', data, pe + 6)
sections = [struct.unpack_from('<8xIIII', data, pe + 24 + opt_size + 40 * i) for i in range(count)]
def offset(rva):
    for vsize, va, rsize, raw in sections:
        if va <= rva < va + max(vsize, rsize):
            return raw + rva - va
    sys.exit('rva %#x is in no section' % rva)
rsrc = struct.unpack_from('<I', data, pe + 24 + 96 + 2 * 8)[0]
rsrc = offset(rsrc) if rsrc else sys.exit('no resources')
def child(directory, wanted):
    named, ids = struct.unpack_from('<12xHH', data, rsrc + directory)
    for i in range(named + ids):
        ident, target = struct.unpack_from('<II', data, rsrc + directory + 16 + 8 * i)
        if wanted is None or ident == wanted:
            return target & 0x7fffffff
    sys.exit('no manifest resource (type 24, id 1)')
languages = child(child(0, 24), 1)
rva, size = struct.unpack_from('<II', data, rsrc + child(languages, None))
text = data[offset(rva):offset(rva) + size]
root = ET.fromstring(text)
for e in root.iter():
    tag = e.tag.rsplit('}', 1)[-1]
    if tag == 'requestedExecutionLevel':
        print('level=%s uiAccess=%s' % (e.get('level'), e.get('uiAccess')))
    elif tag in ('compatibility', 'supportedOS'):
        print('has <%s>' % tag)
EOF
) || true
level=$(grep -v '^has <' <<<"$manifest" || true)
[ "$level" = "level=requireAdministrator uiAccess=false" ] && ok "manifest (24/1): $level" \
  || bad "manifest (24/1): expected level=requireAdministrator uiAccess=false, found '$level'"
extra=$(sed -n 's/^has //p' <<<"$manifest" | tr '\n' ' ')
[ -z "$extra" ] && ok "manifest names no supported systems" || bad "manifest names supported systems: $extra"

# The stack protector: functions that keep arrays on the stack check a guard value before they
# return and end the process when it was overwritten. The image is stripped, so the link map
# written beside it says where the check's failure routine lies; the code must call it.
map=${exe%.exe}.map
fail_at=$([ -f "$map" ] && awk '$2 == "__stack_chk_fail" && $1 ~ /^0x/ { print $1; exit }' "$map" || true)
if [ ! -f "$map" ]; then
  bad "no link map $map beside the image: the stack protector cannot be checked"
elif [ -z "$fail_at" ]; then
  bad "stack protector off: no __stack_chk_fail in $map"
else
  checks=$($objdump -d --no-show-raw-insn "$exe" | grep -c "call   $(printf '0x%x' "$fail_at")$" || true)
  ((checks >= 10)) && ok "stack protector on: $checks functions check the stack guard" \
    || bad "stack protector: only $checks calls of __stack_chk_fail ($fail_at)"
fi

# The code that runs before the launcher can refuse a processor, or while it seeds the stack
# guard: what of it needs more than a Pentium, and what checks the guard (scripts/check-early-code.py).
if [ -f "$map" ]; then
  python3 "$(dirname "$0")/check-early-code.py" "$exe" "$map" || failed=1
fi

# The test hooks (platform/win32/TestHooks.h) belong to tools/StartTest.exe alone: the shipped
# launcher reads nothing from its environment.
if grep -q START_TEST_HOOKS "$exe"; then bad "holds the test hooks (START_TEST_HOOKS)"; else ok "holds no test hooks"; fi

size=$(stat -c %s "$exe")
((size <= 200 * 1024)) && ok "size $size bytes ($((size / 1024)) KiB, limit 200 KiB)" || bad "size $size bytes, over 200 KiB"

exit $failed
