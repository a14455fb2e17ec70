#!/usr/bin/env python3
"""Checks the code of Start.exe that runs before the launcher can look after itself.

1. The processor. Windows 2000 and XP run on a Pentium, which lacks what later processors added:
   conditional moves (CMOV, FCMOV), FCOMI and FUCOMI, the multi-byte NOP (0F 1F, ENDBR32 among
   its kin), UD2, SYSENTER and SYSEXIT, FXSAVE and FXRSTOR, MMX, SSE and everything later; on such
   a processor the launcher must get as far as its refusal. Its own code is built for the Pentium:
   it must hold none of them. The prebuilt run-time (start-up code, libgcc, libstdc++) is built
   for the Pentium Pro: what it holds is counted, member by member, each with where it runs, and a
   member nobody has reviewed fails the check. Then the code that can run is followed, from the
   entry point, the launcher's own code and data (tables of function pointers), the start-up
   tables (.CRT, the constructor lists) and the TLS callbacks, through direct calls and jumps and
   the code addresses that reached code takes: run-time code of a later processor reached so fails
   unless its review says under what condition it runs.
2. The stack guard. WinMain seeds the guard; a function that is running while the guard changes
   and checks it (WinMain itself, the seeding, the start-up frames below them) would take the
   change for an overwritten stack and end the launcher, with exit code 0 and nothing done.

Usage: check-early-code.py Start.exe Start.map   (the link map written beside the image)
Prints ok:/FAIL: lines as scripts/check-imports.sh does; exit code 1 on a failure.
"""
import bisect
import re
import struct
import subprocess
import sys

OBJDUMP = "i686-w64-mingw32-objdump"

PREFIXES = {0x26, 0x2E, 0x36, 0x3E, 0x64, 0x65, 0x66, 0x67, 0xF0, 0xF2, 0xF3}


def later_processor(raw):
    """What of a later processor than the Pentium one instruction needs, by its bytes; None when
    a Pentium runs it. Decided on the opcode, not on objdump's name for it, so that every encoding
    of a kind is caught however it is spelt."""
    i, prefixes = 0, set()
    while i < len(raw) and raw[i] in PREFIXES:
        prefixes.add(raw[i])
        i += 1
    if i >= len(raw):
        return None
    op = raw[i]
    modrm = raw[i + 1] if i + 1 < len(raw) else None
    if op in (0xC4, 0xC5, 0x62) and modrm is not None and modrm >= 0xC0:
        return "VEX/EVEX (AVX and later)"  # LES, LDS and BOUND take no register operand
    if op in (0xDA, 0xDB) and modrm is not None and 0xC0 <= modrm <= 0xDF:
        return "FCMOV"
    if op in (0xDB, 0xDF) and modrm is not None and 0xE8 <= modrm <= 0xF7:
        return "FCOMI/FUCOMI"
    if op in (0xDB, 0xDD, 0xDF) and modrm is not None and modrm < 0xC0 and (modrm >> 3) & 7 == 1:
        return "FISTTP (SSE3)"
    if op != 0x0F or modrm is None:
        return None
    op2, rest = modrm, raw[i + 2:]
    reg = (rest[0] >> 3) & 7 if rest else None
    if 0x40 <= op2 <= 0x4F:
        return "CMOV"
    if op2 == 0x0B:
        return "UD2"
    if op2 in (0x34, 0x35, 0x05, 0x07):
        return "SYSENTER/SYSEXIT/SYSCALL/SYSRET"
    if 0x19 <= op2 <= 0x1F:
        return "multi-byte NOP"  # ENDBR32 among them
    if op2 == 0xAE:
        if reg in (0, 1):
            return "FXSAVE/FXRSTOR"
        return "SSE state, fence or cache control (0F AE)"
    if op2 == 0x77 or 0x60 <= op2 <= 0x7F or 0xD0 <= op2 <= 0xFF:
        return "MMX/SSE"
    if 0x10 <= op2 <= 0x18 or 0x28 <= op2 <= 0x2F or 0x50 <= op2 <= 0x5F or 0xC2 <= op2 <= 0xC6:
        return "SSE"
    if op2 in (0x38, 0x3A):
        return "SSSE3 and later (0F 38, 0F 3A)"
    if op2 in (0x0D, 0x0E, 0x0F):
        return "3DNow!"
    if op2 == 0x33:
        return "RDPMC"
    if op2 == 0x37:
        return "GETSEC"
    if op2 in (0xB8, 0xBC, 0xBD) and 0xF3 in prefixes:
        return "POPCNT/TZCNT/LZCNT"
    if op2 == 0xC7 and reg is not None and reg >= 2:
        return "RDRAND/RDSEED and later (0F C7)"
    if op2 == 0x01 and rest and rest[0] in (0xC8, 0xC9, 0xD0, 0xD1, 0xF9, 0xCA, 0xCB, 0xEE, 0xEF):
        return "MONITOR/MWAIT/XGETBV/XSETBV/RDTSCP and later (0F 01)"
    return None


# Every member of the run-time that holds such instructions, with where they run. Members of the
# exception machinery run only while an exception travels: the launcher throws none (running out
# of memory ends it at once, platform/win32/Fatal.cpp).
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
    "string-inst.o": "string members that nothing of the launcher reaches (checked)",
    "cow-string-inst.o": "members of the old string, which the launcher does not use",
}

# Members whose instructions lie on code that does run, under the condition the review names;
# every other reviewed member is only reviewed as long as nothing reaches its code.
RUNS_REVIEWED = {"crt2.o", "pseudo-reloc.o", "pesect.o"} | {
    name for name, why in REVIEWED.items() if why == EXCEPTIONS_ONLY}

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
    """Every input section placed in the image as (address, size, section, file), sorted, and
    the symbols by name."""
    lines = open(path, encoding="latin-1").read().split("\n")
    start = next(i for i, line in enumerate(lines) if line.startswith("Linker script and memory map"))
    sections, symbols, pending = [], {}, None
    for line in lines[start:]:
        named = re.match(r"^ ([.A-Za-z_$][^\s*()]*)\s*$", line)
        if named:
            pending = named.group(1)
            continue
        placed = re.match(r"^ ([.A-Za-z_$][^\s*()]*)?\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S.*)$", line)
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


class Image:
    """The parts of a PE32 image the check reads: its sections' bytes, the absolute addresses that
    the base relocations say are stored in it, and its TLS callbacks."""

    def __init__(self, path):
        self.data = open(path, "rb").read()
        pe = struct.unpack_from("<I", self.data, 0x3C)[0]
        if self.data[pe:pe + 4] != b"PE\0\0":
            raise SystemExit(f"{path}: not a PE image")
        count, optional_size = struct.unpack_from("<H12xH", self.data, pe + 6)
        optional = pe + 24
        self.entry, self.base = struct.unpack_from("<16xI8xI", self.data, optional)
        directories = [struct.unpack_from("<II", self.data, optional + 96 + 8 * n)
                       for n in range(struct.unpack_from("<I", self.data, optional + 92)[0])]
        self.sections = []  # (rva, virtual size, file offset, raw size)
        for n in range(count):
            at = optional + optional_size + 40 * n
            size, rva, raw_size, raw = struct.unpack_from("<IIII", self.data, at + 8)
            self.sections.append((rva, max(size, raw_size), raw, raw_size))
        self.entry += self.base
        self.stored = []  # (where, what): an absolute address stored in the image
        if len(directories) > 5 and directories[5][0]:
            rva, size = directories[5]
            at, end = rva, rva + size
            while at + 8 <= end:
                page, block = struct.unpack("<II", self.read(at, 8))
                if block < 8:
                    break
                for k in range(8, block - 1, 2):
                    entry = struct.unpack("<H", self.read(at + k, 2))[0]
                    if entry >> 12 == 3:  # a 32-bit address
                        where = page + (entry & 0xFFF)
                        what = struct.unpack("<I", self.read(where, 4))[0]
                        self.stored.append((where + self.base, what))
                at += block
        self.tls_callbacks = []
        if len(directories) > 9 and directories[9][0]:
            table = struct.unpack("<I", self.read(directories[9][0] + 12, 4))[0]
            while table:
                callback = struct.unpack("<I", self.read(table - self.base, 4))[0]
                if not callback:
                    break
                self.tls_callbacks.append((table, callback))
                table += 4

    def read(self, rva, size):
        for start, length, raw, raw_size in self.sections:
            if start <= rva and rva + size <= start + length:
                offset = rva - start
                chunk = self.data[raw + offset:raw + min(offset + size, raw_size)]
                return chunk + bytes(size - len(chunk))
        raise SystemExit(f"address {rva + self.base:#x} lies in no section of the image")


def disassemble(exe):
    """Every instruction objdump finds in the image's code: (address, bytes, text)."""
    listing = subprocess.run([OBJDUMP, "-d", "--insn-width=16", exe], check=True,
                             capture_output=True, text=True).stdout
    instructions = []
    for line in listing.split("\n"):
        m = re.match(r"^\s+([0-9a-f]+):\t((?:[0-9a-f]{2} )+)\s*\t(\S.*)$", line)
        if m:
            instructions.append((int(m.group(1), 16), bytes.fromhex(m.group(2)),
                                 m.group(3).strip()))
    return instructions


# Tables whose entries run on every start, whoever put them there: the C and C++ initialisers and
# terminators, the TLS callbacks (all in .CRT), and the constructor and destructor lists.
STARTUP_TABLES = re.compile(r"^(\.CRT\$X|\.ctors|\.dtors|\.init_array|\.fini_array)")


def main(exe, map_path):
    every_section, symbols = read_map(map_path)
    sections = [s for s in every_section if s[2].startswith(".text")]
    image = Image(exe)
    instructions = disassemble(exe)

    def finder(table):
        starts = [s[0] for s in table]

        def find(address):
            i = bisect.bisect_right(starts, address) - 1
            if i >= 0 and address < table[i][0] + table[i][1]:
                return table[i]
            return None
        return find

    section_of = finder(sections)
    placed_in = finder(every_section)

    # The code in pieces that run as a whole: a function's own section, and within a section of
    # a whole file (.text), the stretch from one symbol that the map names to the next.
    inner = sorted(address for address in set(symbols.values()))
    pieces = []  # (address, size, section)
    for section in sections:
        end = section[0] + section[1]
        cuts = [section[0]]
        if section[2] == ".text":
            lo = bisect.bisect_right(inner, section[0])
            hi = bisect.bisect_left(inner, end)
            cuts += inner[lo:hi]
        cuts.append(end)
        for a, b in zip(cuts, cuts[1:]):
            if b > a:
                pieces.append((a, b - a, section))
    piece_of = finder(pieces)

    def where(piece):
        section = piece[2]
        name = section[2]
        if section[2] == ".text":
            names = [n for n, a in symbols.items() if a == piece[0] and not n.endswith(" = .")]
            name = names[0] if names else f".text+{piece[0] - section[0]:#x}"
        return f"{name} ({member(section[3])})"

    # --- 1. The processor -------------------------------------------------------------------
    mine, theirs = [], {}
    needs = {}  # piece -> the first instruction of a later processor in it
    for address, raw, text in instructions:
        kind = later_processor(raw)
        if kind is None:
            continue
        section = section_of(address)
        if section is None:
            continue  # the linker's own lists of constructors and destructors: data, not code
        if own(section[3]):
            mine.append(f"{kind}: {text} at {address:#x} in {section[2]} ({member(section[3])})")
        else:
            theirs.setdefault(member(section[3]), []).append(text.split()[0])
            needs.setdefault(piece_of(address), f"{kind}: {text} at {address:#x}")
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
        ok(f"the run-time brings {total} instructions the Pentium lacks, each member reviewed:")
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

    # What can run: the launcher's own code, whatever the start-up tables and TLS callbacks name,
    # and whatever the launcher's own data names (tables of function pointers, its classes'
    # virtual tables); and from there every direct call or jump, and every code address that
    # reached code takes (to hand to atexit, say). The run-time's own tables are not followed:
    # which of their entries run depends on what uses them, and the review says so.
    edges = {}  # piece -> [(piece, how)]
    reasons = {}  # piece -> why it is reached
    roots = []
    for piece in pieces:
        if own(piece[2][3]):
            roots.append((piece, "the launcher's own code"))
    for address, raw, text in instructions:
        branch = re.match(r"^(?:call|jmp|j[a-z]+|loop[a-z]*)\s+(?:0x)?([0-9a-f]+)(?:\s+<.*>)?$", text)
        if not branch:
            continue
        source, target = piece_of(address), piece_of(int(branch.group(1), 16))
        if source is not None and target is not None and source != target:
            edges.setdefault(source, []).append((target, f"{text.split()[0]} at {address:#x}"))
    for holder, value in image.stored + image.tls_callbacks:
        target = piece_of(value)
        if target is None:
            continue
        source = piece_of(holder)
        if source is not None:
            if source != target:
                edges.setdefault(source, []).append((target, f"its address taken at {holder:#x}"))
            continue
        table = placed_in(holder)
        if (holder, value) in image.tls_callbacks:
            roots.append((target, f"a TLS callback (at {holder:#x})"))
        elif table is not None and STARTUP_TABLES.match(table[2]):
            roots.append((target, f"the start-up table {table[2]} ({member(table[3])}) at {holder:#x}"))
        elif table is not None and own(table[3]):
            roots.append((target, f"the launcher's data {table[2]} ({member(table[3])}) at {holder:#x}"))
    entry = piece_of(image.entry)
    if entry is not None:
        roots.append((entry, "the entry point"))
    queue = []
    for piece, why in roots:
        if piece not in reasons:
            reasons[piece] = why
            queue.append(piece)
    while queue:
        piece = queue.pop()
        # The exception machinery runs only while an exception travels; what it calls is its own.
        if REVIEWED.get(member(piece[2][3])) == EXCEPTIONS_ONLY:
            continue
        for target, how in edges.get(piece, []):
            if target not in reasons:
                reasons[target] = f"{where(piece)}, {how}"
                queue.append(target)
    reached = []
    for piece, instruction in needs.items():
        if piece in reasons and member(piece[2][3]) not in RUNS_REVIEWED:
            reached.append(f"{where(piece)} holds {instruction}, reached from {reasons[piece]}")
    for entry in sorted(reached):
        bad(f"run-time code that needs a later processor can run: {entry}")
    if not reached:
        ok(f"none of it is reached from the entry point, the launcher's own code and data, the "
           f"start-up tables or the TLS callbacks ({len(reasons)} pieces of code followed)")

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
        for address, _, text in instructions:
            if not section[0] <= address < end or seeding.match(text):
                continue
            if re.search(rf"\b(?:0x)?({guard:x}|{fail:x})\b", text):
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
