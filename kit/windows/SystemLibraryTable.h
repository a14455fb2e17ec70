// What the Windows SDK's records, the systems' own export tables and Wine's list of the libraries
// it re-implements say about the libraries a program imports: the rows that
// scripts/system-libraries.py writes into SystemLibraryTable.cpp. Read them through
// CheckSystemDlls.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

// The client systems the launcher runs on, oldest first; a row's release is an index into this.
// The 64-bit editions carry the same libraries for a 32-bit program (in SysWOW64).
enum WindowsRelease : std::uint8_t { kWindows7, kWindows8, kWindows81, kWindows10, kWindows11 };
constexpr std::size_t kWindowsReleaseCount = 5;

enum class LibraryOrigin : std::uint8_t {
    Windows,     // part of Windows from release `first` (build `build` of it, where known) on
    Update,      // part of Windows 10 and later; earlier ones have it after a named update
    NotWindows,  // a run-time that programs bring along, never part of Windows
    ServerOnly,  // documented for server editions only
    WineOnly,    // a library of Wine's own (its Direct3D, its drivers), which no Windows has
};

struct SystemLibraryRow {
    const char* name;  // lower case; rows sorted by it
    LibraryOrigin origin;
    std::uint8_t first;
    std::uint16_t build;
};

// A function that came later than its library. Sorted by library, then function.
struct SystemFunctionRow {
    const char* library;
    const char* function;
    std::uint8_t first;
    std::uint16_t build;
};

// Families of run-times by the start of their names, for names no row lists.
struct RuntimeFamilyRow {
    const char* prefix;
    LibraryOrigin origin;
    const char* what;
};

extern const SystemLibraryRow kSystemLibraryRows[];
extern const std::size_t kSystemLibraryRowCount;
extern const SystemFunctionRow kSystemFunctionRows[];
extern const std::size_t kSystemFunctionRowCount;
extern const RuntimeFamilyRow kRuntimeFamilyRows[];
extern const std::size_t kRuntimeFamilyRowCount;
