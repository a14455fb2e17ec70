// A fact about Windows: which libraries every system the launcher runs on carries itself, so
// that a disc's program may import them without bringing them along.
#pragma once

#include <string>

// True when every supported Windows (7 and later, 32-bit and 64-bit client editions) has this
// library in its system directory or resolves it as an API set. Names compare without regard
// to case, as the loader compares them.
bool IsSystemLibrary(const std::string& dllName);

// Why a library that is not on that list is missing from some systems, when that is known (a
// C runtime that Windows does not ship, say); empty otherwise.
std::string MissingLibraryHint(const std::string& dllName);
