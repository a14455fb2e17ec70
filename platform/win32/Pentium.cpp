// What of the prebuilt run-time would run before the launcher could refuse a Pentium-class
// processor, the least that Windows 2000 and XP run on. The launcher's own code is built for the
// Pentium; the run-time's libraries come built for the Pentium Pro, whose conditional moves
// (CMOV) a Pentium cannot execute. Two of them lie on the way of every run: the one in the
// library's operator new (which Fatal.cpp replaces with the launcher's own, so that the library's
// is not linked at all), and the one with which the start-up code skips the program's name in
// the command line it hands to WinMain. scripts/check-early-code.py (run by check-imports.sh)
// counts what stays, and says where it runs.
#include <cstdlib>

#include <corecrt_startup.h>  // after cstdlib, which defines what it needs

namespace {

// The launcher reads nothing from its command line. The start-up code runs the C initialisers
// (the .CRT$XI table) before the C++ ones (.CRT$XC) and before it looks at the line for WinMain;
// emptied here, the line gives its loop no character to test, so the conditional move in it is
// never reached. The arguments (argc, argv) are taken only afterwards, by the C++ initialiser that
// calls __getmainargs, so they are taken from the emptied line; nothing of the launcher reads
// them. The system's own copy (GetCommandLine) stays as it is.
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
