// Facts about Windows: which of the systems the launcher runs on (7, 8, 8.1, 10, 11; 32-bit and
// 64-bit alike) carry a library a disc's program imports, and the functions it takes from it, so
// that the program may import them without bringing them along. The facts come from the table
// that scripts/system-libraries.py generates from the Windows SDK's records, the export tables of
// the systems themselves and the names of the libraries Wine re-implements.
#pragma once

#include <string>

#include "kit/windows/SystemLibraryTable.h"

// A set of releases, one bit per WindowsRelease.
using ReleaseSet = unsigned;
constexpr ReleaseSet kEveryRelease = (1u << kWindowsReleaseCount) - 1;

struct LibraryPresence {
    ReleaseSet lacking = kEveryRelease;  // the systems that do not have it
    // Of those, the ones that have it once the update named in `why` is installed.
    ReleaseSet lackingUnlessUpdated = 0;
    // Why some systems lack it, as a phrase ("first in Windows 8", "a compiler's run-time
    // library, which Windows does not ship: ..."); empty when every system has it.
    std::string why;
};

// Names compare without regard to case, as the loader compares them.
LibraryPresence SystemLibraryPresence(const std::string& dllName);

// The systems that carry the library but lack the function it exports under that name, and
// since when the function is there ("first in Windows 10 build 14393"); none when the records
// say nothing of it. Every release for an export of Wine's own (__wine_*), with why in `since`.
ReleaseSet SystemFunctionLacking(const std::string& dllName, const std::string& function,
                                 std::string& since);

// "Windows 7", "Windows 7, 8 and 8.1", "none of Windows 7, 8, 8.1, 10 and 11" for a set.
std::string ReleaseNames(ReleaseSet releases);
