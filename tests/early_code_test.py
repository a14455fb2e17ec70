#!/usr/bin/env python3
"""scripts/check-early-code.py on tiny images linked for the occasion.

Each instruction a Pentium lacks is planted once into the launcher's own code and must be
reported; instructions a Pentium runs must not be. Run-time code of a later processor must be
reported when anything that runs can reach it: a direct call, a table of function pointers in the
launcher's data, a start-up table, a TLS callback, or a chain of calls through run-time code; and
not when nothing reaches it.

Usage: early_code_test.py [unittest options]   (needs the MinGW-w64 binutils for i686)
"""
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
CHECK = os.path.join(HERE, "..", "scripts", "check-early-code.py")
AS = "i686-w64-mingw32-as"
LD = "i686-w64-mingw32-ld"

# What every image needs for the check's other findings to stay quiet: WinMain, the seeding of
# the stack guard, the guard and its failure routine, the command line's initialiser. The
# directory CMakeFiles/ marks the launcher's own objects, as in the real link.
OWN = """
    .section .text$start,"x"
    .globl _start
_start:
    call _WinMain@16
    ret
    .section .text$WinMain,"x"
    .globl _WinMain@16
_WinMain@16:
    call __Z14SeedStackGuardv
    ret $16
    .section .text$_Z14SeedStackGuardv,"x"
    .globl __Z14SeedStackGuardv
__Z14SeedStackGuardv:
    movl %eax, ___stack_chk_guard
    ret
    .section .text$__stack_chk_fail,"x"
    .globl ___stack_chk_fail
___stack_chk_fail:
    ret
    .data
    .globl ___stack_chk_guard
___stack_chk_guard:
    .long 0
    .globl _g_emptyCommandLineForWinMain
_g_emptyCommandLineForWinMain:
    .long 0
"""


def planted_function(name, raw):
    """A function of its own section holding these bytes, then a return."""
    data = ", ".join(f"0x{b:02x}" for b in raw)
    return f"""
    .section .text${name},"x"
    .globl _{name}
_{name}:
    .byte {data}
    ret
"""


class Linked:
    """Links own assembly (in CMakeFiles/) with run-time objects named as archive members are, and
    runs the check on the image and its map."""

    def __init__(self, own, runtime=None):
        self.own, self.runtime = own, runtime or {}

    def check(self):
        with tempfile.TemporaryDirectory() as tmp:
            os.mkdir(os.path.join(tmp, "CMakeFiles"))
            objects = []
            for path, text in [("CMakeFiles/own.o", OWN + self.own)] + sorted(self.runtime.items()):
                source = os.path.join(tmp, path + ".s")
                with open(source, "w") as f:
                    f.write(text)
                objects.append(os.path.join(tmp, path))
                subprocess.run([AS, "-o", objects[-1], source], check=True)
            exe, map_path = os.path.join(tmp, "t.exe"), os.path.join(tmp, "t.map")
            subprocess.run([LD, "-o", exe, "-Map", map_path, "--dynamicbase", "-e", "_start",
                            "--subsystem", "windows"] + objects, check=True)
            run = subprocess.run([sys.executable, CHECK, exe, map_path], capture_output=True,
                                 text=True)
        failures = [line for line in run.stdout.splitlines() if line.startswith("FAIL:")]
        self_consistent = (run.returncode == 1) == bool(failures)
        assert self_consistent and run.returncode in (0, 1), run.stdout + run.stderr
        return failures, run.stdout


# (what the check names it, bytes): every kind of instruction a Pentium lacks, some in more than
# one encoding.
LATER = [
    ("CMOV", bytes.fromhex("0f44c1")),              # cmove %ecx,%eax
    ("CMOV", bytes.fromhex("660f4fc1")),            # cmovg %cx,%ax
    ("FCMOV", bytes.fromhex("dac1")),               # fcmovb %st(1),%st
    ("FCMOV", bytes.fromhex("dbd9")),               # fcmovnu %st(1),%st
    ("FCOMI/FUCOMI", bytes.fromhex("dbf1")),        # fcomi
    ("FCOMI/FUCOMI", bytes.fromhex("dfe9")),        # fucomip
    ("multi-byte NOP", bytes.fromhex("0f1f00")),    # nopl (%eax)
    ("multi-byte NOP", bytes.fromhex("660f1f440000")),  # nopw 0x0(%eax,%eax,1)
    ("multi-byte NOP", bytes.fromhex("f30f1efb")),  # endbr32
    ("UD2", bytes.fromhex("0f0b")),
    ("SYSENTER/SYSEXIT", bytes.fromhex("0f34")),
    ("SYSENTER/SYSEXIT", bytes.fromhex("0f35")),
    ("FXSAVE/FXRSTOR", bytes.fromhex("0fae00")),    # fxsave (%eax)
    ("FXSAVE/FXRSTOR", bytes.fromhex("0fae08")),    # fxrstor (%eax)
    ("MMX", bytes.fromhex("0f6fc1")),               # movq %mm1,%mm0
    ("MMX", bytes.fromhex("0f77")),                 # emms
    ("SSE", bytes.fromhex("0f28c1")),               # movaps %xmm1,%xmm0
    ("SSE", bytes.fromhex("0f1800")),               # prefetchnta (%eax)
    ("SSE", bytes.fromhex("0fc300")),               # movnti %eax,(%eax)
    ("SSE state", bytes.fromhex("0fae10")),         # ldmxcsr (%eax)
    ("SSE state", bytes.fromhex("0faef8")),         # sfence
    ("MMX/SSE", bytes.fromhex("660fefc0")),         # pxor %xmm0,%xmm0 (SSE2)
    ("FISTTP", bytes.fromhex("db08")),              # fisttpl (%eax) (SSE3)
    ("SSSE3", bytes.fromhex("660f3800c1")),         # pshufb %xmm1,%xmm0
    ("SSSE3", bytes.fromhex("f20f38f1c1")),         # crc32 %ecx,%eax (SSE4.2)
    ("VEX", bytes.fromhex("c5f877")),               # vzeroupper (AVX)
    ("VEX", bytes.fromhex("62f1fc4828c1")),         # vmovaps %zmm1,%zmm0 (AVX-512)
    ("POPCNT", bytes.fromhex("f30fb8c1")),
    ("RDRAND", bytes.fromhex("0fc7f0")),
    ("3DNow", bytes.fromhex("0f0e")),               # femms
    ("RDPMC", bytes.fromhex("0f33")),
    ("XGETBV", bytes.fromhex("0f01d0")),
]

# Instructions a Pentium (or an earlier processor) runs, some close neighbours of the above.
PENTIUM = [
    "90", "6690", "f390",                 # nop, xchg %ax,%ax, pause
    "8db42600000000", "8d7600",           # lea padding
    "0fc708", "0f31", "0fa2", "0fc8",     # cmpxchg8b, rdtsc, cpuid, bswap
    "0fb0c1", "0fc1c1", "0fafc1",         # cmpxchg, xadd, imul
    "0fbcc1", "0fbdc1", "0f94c0",         # bsf, bsr, sete
    "c400", "c500", "6200",               # les, lds, bound (memory operands)
    "dae9", "dfe0", "db00", "dd00",       # fucompp, fnstsw %ax, fildl, fldl
    "d9e8", "dee9", "dbe3",               # fld1, fsubrp, fninit
]


class PlantedInstructions(unittest.TestCase):
    def test_each_later_instruction_in_own_code_is_reported(self):
        for i, (kind, raw) in enumerate(LATER):
            with self.subTest(kind=kind, bytes=raw.hex()):
                failures, out = Linked(planted_function(f"planted{i}", raw)).check()
                self.assertEqual(len(failures), 1, out)
                self.assertIn("the launcher's own code needs a later processor", failures[0])
                self.assertIn(kind, failures[0])
                self.assertIn(f".text$planted{i}", failures[0])

    def test_pentium_instructions_are_not_reported(self):
        code = "".join(planted_function(f"fine{i}", bytes.fromhex(raw))
                       for i, raw in enumerate(PENTIUM))
        failures, out = Linked(code).check()
        self.assertEqual(failures, [], out)
        self.assertIn("the run-time brings 0 instructions", out)


# A run-time function of a later processor, in a member whose review says nothing calls it.
UNCALLED = planted_function("_ZNSs4swapERSs", bytes.fromhex("0f44c1"))
# One the review says runs only while an exception travels.
EXCEPTIONAL = planted_function("_Unwind_Find_FDE", bytes.fromhex("0f44c1"))
# A run-time function without any, calling the one that has.
RELAY = """
    .section .text$relay,"x"
    .globl _relay
_relay:
    call __ZNSs4swapERSs
    ret
"""


class Reached(unittest.TestCase):
    def test_unreached_reviewed_run_time_code_passes(self):
        failures, out = Linked("", {"string-inst.o": UNCALLED, "unwind-dw2-fde.o": EXCEPTIONAL}).check()
        self.assertEqual(failures, [], out)
        self.assertIn("string-inst.o: 1 (cmove)", out)

    def test_run_time_code_reached_any_way_is_reported(self):
        ways = {
            "a direct call from the launcher's code": (
                "    .text\n    call __ZNSs4swapERSs\n", {}, "call at"),
            "a table of function pointers in the launcher's data": (
                "    .section .rdata,\"dr\"\n    .long _start, __ZNSs4swapERSs\n", {},
                "the launcher's data .rdata"),
            "an address the launcher's code takes": (
                "    .text\n    pushl $__ZNSs4swapERSs\n    popl %eax\n", {},
                "its address taken"),
            "a C initialiser of the run-time": (
                "", {"cinit.o": "    .section .CRT$XIB,\"dr\"\n    .long __ZNSs4swapERSs\n"},
                "the start-up table .CRT$XIB (cinit.o)"),
            "a constructor list": (
                "", {"ctor.o": "    .section .ctors,\"w\"\n    .long __ZNSs4swapERSs\n"},
                "the start-up table .ctors (ctor.o)"),
            # The callbacks' array in a section of no start-up table: found through the image's
            # TLS directory alone.
            "a TLS callback": (
                "", {"tlssup.o": """
    .section .rdata$T,"dr"
    .globl __tls_used
__tls_used:
    .long 0, 0, tlsindex, callbacks, 0, 0
    .data
tlsindex:
    .long 0
    .section .rdata$cb,"dr"
callbacks:
    .long __ZNSs4swapERSs, 0
"""}, "a TLS callback"),
            "a run-time function that the launcher's code calls": (
                "    .text\n    call _relay\n", {"helper.o": RELAY}, ".text$relay (helper.o), call"),
            "a run-time function that a pointer table names": (
                "    .section .rdata,\"dr\"\n    .long _relay\n", {"helper.o": RELAY},
                ".text$relay (helper.o), call"),
        }
        for way, (own, runtime, reason) in ways.items():
            with self.subTest(way=way):
                failures, out = Linked(own, dict(runtime, **{"string-inst.o": UNCALLED})).check()
                self.assertEqual(len(failures), 1, out)
                self.assertIn("run-time code that needs a later processor can run: "
                              ".text$_ZNSs4swapERSs (string-inst.o) holds CMOV", failures[0])
                self.assertIn(reason, failures[0])

    def test_exception_machinery_may_be_reached(self):
        own = "    .section .rdata,\"dr\"\n    .long __Unwind_Find_FDE\n"
        failures, out = Linked(own, {"unwind-dw2-fde.o": EXCEPTIONAL}).check()
        self.assertEqual(failures, [], out)


if __name__ == "__main__":
    unittest.main()
