// What of the prebuilt run-time would run before the launcher could refuse a Pentium-class
// processor, the least that Windows 2000 and XP run on. The launcher's own code is built for the
// Pentium; the run-time's libraries come built for the Pentium Pro, whose conditional moves
// (CMOV) a Pentium cannot execute. Two of them lie on the way of every run: the one in the
// library's operator new, and the one with which the start-up code skips the program's name in
// the command line it hands to WinMain. scripts/check-early-code.py (run by check-imports.sh)
// counts what stays, and says where it runs.
#include <cstdlib>

#include "platform/win32/Fatal.h"

#include <corecrt_startup.h>  // after cstdlib, which defines what it needs

// Every string and vector of the launcher allocates through here, the first ones before the gate.
void* operator new(std::size_t size) {
    if (size == 0) size = 1;
    if (void* block = std::malloc(size)) return block;
    // Where the library's would end up, as nothing catches its exception; straight away, as the
    // run-time's exception code is not built for the Pentium either.
    EndProcessAtOnce();
}

// Ours too, so that the library's file of operator new is not linked at all.
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }

namespace {

// The launcher reads nothing from its command line. The start-up code runs the C initialisers
// (the .CRT$XI table) before it looks at the line for WinMain; emptied here, the line gives its
// loop no character to test, so the conditional move in it is never reached. The system's own
// copy (GetCommandLine) and the arguments already taken from it stay as they are.
int EmptyCommandLineForWinMain() {
    static char empty[] = "";
    _acmdln = empty;
    return 0;
}

}  // namespace

// A C initialiser: the start-up code calls every pointer between .CRT$XIA and .CRT$XIZ in name
// order; XIU is where user code goes.
extern "C" __attribute__((section(".CRT$XIU"), used)) int (*const g_emptyCommandLineForWinMain)() =
    EmptyCommandLineForWinMain;
