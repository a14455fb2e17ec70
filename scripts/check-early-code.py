#!/usr/bin/env python3
"""Checks the code of Start.exe that runs before the launcher can look after itself.

1. The processor. Windows 2000 and XP run on a Pentium, which lacks the Pentium Pro's
   conditional moves (CMOV, FCMOV), FCOMI and every MMX or SSE instruction; on such a processor the
   launcher must get as far as its refusal. Its own code is built for the Pentium: it must hold
   none of them. The prebuilt run-time (start-up code, libgcc, libstdc++) is built for the Pentium
   Pro: what it holds is counted, member by member, each with where it runs, and a member nobody
   has reviewed fails the check.
2. The stack guard. WinMain seeds the guard; a function that is running while the guard changes
   and checks it (WinMain itself, the seeding, the start-up frames below them) would take the
   change for an overwritten stack and end the launcher, with exit code 0 and nothing done.

Usage: check-early-code.py Start.exe Start.map   (the link map written beside the image)
Prints ok:/FAIL: lines as scripts/check-imports.sh does; exit code 1 on a failure.
"""
import bisect
import re
import subprocess
import sys

OBJDUMP = "i686-w64-mingw32-objdump"

# Instructions of later processors than the Pentium (mnemonics as objdump writes them).
NEWER = re.compile(r"^(f?cmov\w+|f?u?comip?\w*|emms|\w+\s.*%[xm]mm\d)")
FCOMI = re.compile(r"^f(u?comip?)\b")

# Every member of the run-time that holds such instructions, with where they run. Members of the
# exception machinery run only while an exception travels: the launcher throws none (running out
# of memory ends it at once, platform/win32/Pentium.cpp).
EXCEPTIONS_ONLY = "only while an exception travels, and the launcher throws none"
REVIEWED = {
    "crt2.o": "start-up code: skips the program's name in the command line for WinMain, and only "
              "in a line that is not empty (platform/win32/Pentium.cpp empties it first)",
    "pseudo-reloc.o": "applies pseudo-relocations, and the image has none",
    "pesect.o": "called only while pseudo-relocations are applied",
    "emutls.o": EXCEPTIONS_ONLY,
    "unwind-dw2.o": EXCEPTIONS_ONLY,
    "unwind-dw2-fde.o": EXCEPTIONS_ONLY,
    "eh_alloc.o": EXCEPTIONS_ONLY,
    "eh_catch.o": EXCEPTIONS_ONLY,
    "eh_personality.o": EXCEPTIONS_ONLY,
    "eh_terminate.o": "std::set_terminate and std::set_unexpected, which nothing calls",
    "random.o": "std::random_device, which nothing uses",
    "string-inst.o": "string members that the launcher's code does not call (checked)",
    "cow-string-inst.o": "members of the old string, which the launcher does not use",
}

failed = False


def ok(text):
    print(f"ok:   {text}")


def bad(text):
    global failed
    print(f"FAIL: {text}")
    failed = True


def member(path):
    """crt2.o, or the member of an archive: libstdc++.a(string-inst.o) gives string-inst.o."""
    inner = re.search(r"\(([^()]+)\)$", path)
    name = inner.group(1) if inner else path.rsplit("/", 1)[-1]
    return re.sub(r"^lib32_libmingw32_a-", "", name)


def own(path):
    """Whether an input file is the launcher's own code rather than the run-time's."""
    return "CMakeFiles/" in path or "liblauncher_core.a(" in path


def read_map(path):
    """The input sections of .text as (address, size, section, file), and the symbols."""
    lines = open(path, encoding="latin-1").read().split("\n")
    start = next(i for i, line in enumerate(lines) if line.startswith("Linker script and memory map"))
    sections, symbols, pending = [], {}, None
    for line in lines[start:]:
        named = re.match(r"^ (\.text\S*)\s*$", line)
        if named:
            pending = named.group(1)
            continue
        placed = re.match(r"^ (\.text\S*)?\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S.*)$", line)
        if placed and (placed.group(1) or pending):
            address, size = int(placed.group(2), 16), int(placed.group(3), 16)
            if address and size:
                sections.append((address, size, placed.group(1) or pending, placed.group(4)))
        pending = None
        symbol = re.match(r"^\s+0x([0-9a-f]+)\s+(\S.*?)\s*$", line)
        if symbol and not symbol.group(2).startswith(("0x", ".")):
            symbols.setdefault(symbol.group(2), int(symbol.group(1), 16))
    sections.sort()
    return sections, symbols


def main(exe, map_path):
    sections, symbols = read_map(map_path)
    starts = [s[0] for s in sections]

    def section_of(address):
        i = bisect.bisect_right(starts, address) - 1
        if i >= 0 and address < sections[i][0] + sections[i][1]:
            return sections[i]
        return None

    listing = subprocess.run([OBJDUMP, "-d", "--no-show-raw-insn", exe], check=True,
                             capture_output=True, text=True).stdout
    instructions = []  # (address, text)
    for line in listing.split("\n"):
        m = re.match(r"^\s+([0-9a-f]+):\s+(\S.*)$", line)
        if m:
            instructions.append((int(m.group(1), 16), m.group(2).strip()))

    # --- 1. The processor -------------------------------------------------------------------
    mine, theirs, newer_sections = [], {}, set()
    for address, text in instructions:
        if not NEWER.match(text):
            continue
        section = section_of(address)
        if section is None:
            continue  # the linker's own lists of constructors and destructors: data, not code
        if own(section[3]):
            mine.append(f"{text} at {address:#x} in {section[2]} ({member(section[3])})")
        else:
            theirs.setdefault(member(section[3]), []).append(text.split()[0])
            newer_sections.add(section)
    if mine:
        for entry in mine:
            bad(f"the launcher's own code needs a later processor than the Pentium: {entry}")
    else:
        ok("the launcher's own code needs no later processor than the Pentium (built for i586)")

    total = sum(len(v) for v in theirs.values())
    unreviewed = sorted(set(theirs) - set(REVIEWED))
    for name in unreviewed:
        bad(f"the run-time's {name} holds {len(theirs[name])} instructions the Pentium lacks "
            f"({', '.join(sorted(set(theirs[name])))}), and nobody has said where it runs")
    if not unreviewed:
        ok(f"the run-time brings {total} instructions the Pentium lacks, none on the way of a run:")
        for name in sorted(theirs):
            kinds = ", ".join(sorted(set(theirs[name])))
            print(f"        {name}: {len(theirs[name])} ({kinds}): {REVIEWED[name]}")

    # What the review above rests on.
    if symbols.get("__RUNTIME_PSEUDO_RELOC_LIST__") != symbols.get("__RUNTIME_PSEUDO_RELOC_LIST_END__"):
        bad("the image has pseudo-relocations: their code needs a later processor than the Pentium")
    if "g_emptyCommandLineForWinMain" not in symbols:
        bad("no initialiser empties the command line before the start-up code reads it "
            "(platform/win32/Pentium.cpp)")
    library_new = [s for s in sections if member(s[3]) == "new_op.o" and s[2].endswith("_Znwj")]
    if library_new:
        bad("operator new is the run-time's, which needs a later processor than the Pentium")
    # A function of the library (its own section) holding such an instruction, called by the
    # launcher's own code. Whole-file sections (crt2.o's start-up code and atexit) are reviewed
    # as a whole above.
    calls = []
    for address, text in instructions:
        call = re.match(r"^(?:call|jmp)\s+0x([0-9a-f]+)$", text)
        if not call:
            continue
        target = section_of(int(call.group(1), 16))
        if (target in newer_sections and target[2] != ".text" and
                REVIEWED.get(member(target[3])) != EXCEPTIONS_ONLY):
            caller = section_of(address)
            if caller is not None and own(caller[3]):
                calls.append(f"{caller[2]} calls {target[2]} ({member(target[3])})")
    for entry in sorted(set(calls)):
        bad(f"the launcher's code calls run-time code that needs a later processor: {entry}")

    # --- 2. The stack guard ----------------------------------------------------------------
    guard, fail = symbols.get("__stack_chk_guard"), symbols.get("__stack_chk_fail")
    if guard is None or fail is None:
        bad("the link map names no __stack_chk_guard or __stack_chk_fail")
        return
    # Running while the guard is seeded: the start-up code (crt2.o), the main that calls WinMain
    # (crt0_c.o), WinMain and the seeding. Static constructors and C initialisers have returned
    # by then: a check of theirs compares a guard that has not changed under it.
    live = [s for s in sections if member(s[3]) in ("crt2.o", "crt0_c.o")]
    for name in ("WinMain@16", "SeedStackGuard()"):
        address = symbols.get(name)
        section = section_of(address) if address is not None else None
        if section is None:
            bad(f"the link map does not place {name}")
        else:
            live.append(section)
    # Any use of the guard but the seeding's store (mov %reg,GUARD) is a check: the protector
    # loads the guard on entry, compares it on return and calls the failure routine.
    seeding = re.compile(rf"^mov\s+%\w+,0x{guard:x}$")
    references = []
    for section in live:
        end = section[0] + section[1]
        for address, text in instructions:
            if not section[0] <= address < end or seeding.match(text):
                continue
            if re.search(rf"\b0x({guard:x}|{fail:x})\b", text):
                references.append(f"{section[2]} ({member(section[3])}) at {address:#x}: {text}")
    if references:
        for entry in references:
            bad(f"checks the stack guard while it is seeded (mark it no_stack_protector): {entry}")
    else:
        names = ", ".join(sorted({s[2] if own(s[3]) else member(s[3]) for s in live}))
        ok(f"nothing that runs while the stack guard is seeded checks it ({names})")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
    sys.exit(1 if failed else 0)
