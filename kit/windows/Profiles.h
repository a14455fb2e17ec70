// The Windows systems the verbs can describe (--system of simulate and trial): what each one
// reports to the launcher (a program whose manifest lists no supported systems), its edition and
// its bitness.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Platform.h"

// One row of the profile table. Add a column here and fill it in Profiles.cpp; nothing else
// holds a copy of these facts.
struct SystemProfile {
    const char* name;   // as given to --system
    const char* title;  // what a person calls it
    std::uint32_t platformId;
    std::uint32_t majorVersion;
    std::uint32_t minorVersion;
    // The build number itself. The 95/98/Me family reports it in the low 16 bits of the record's
    // build field, with major and minor version in the high 16 bits (see ComposeVersionRecord).
    std::uint32_t build;
    std::uint8_t productType;  // 1 workstation, 3 server; 0 where the system has no editions
    int bits;                  // 32 or 64
    // Whether the system answers the extended version query at all: the 95/98/Me family and NT 4
    // before Service Pack 6 only know the basic one, which carries no product type.
    bool extendedQuery;
    // Wine's version settings (HKCU\Software\Wine, Version) that may present this system in a
    // prefix of its bitness, blank-separated, in the order `disckit trial` tries them: it takes
    // the first whose report is exactly this row, never trusting a name (which setting reports
    // what differs between Wine releases; in Wine 8 "win7" reports a server).
    const char* wineSettings;
    // The client release whose libraries it carries (a WindowsRelease: 0 is Windows 7, 4 is
    // Windows 11), or kLibrariesBefore7 for the systems before Windows 7 and their servers.
    int libraries;
};

constexpr int kLibrariesBefore7 = -1;

constexpr const char* kDefaultProfile = "7-x64";

std::size_t SystemProfileCount();
const SystemProfile* SystemProfiles();
// Null when there is no profile of that name (names are compared exactly).
const SystemProfile* FindSystemProfile(const std::string& name);
// The names, blank-separated, in table order (for messages).
std::string SystemProfileNames();

// The kind of Wine prefix that has the profile's bitness: "win64" (a 32-bit program runs under
// WOW64) or "win32".
const char* WinePrefixKind(const SystemProfile& profile);

// The system a simulation runs on: a profile, possibly with single fields overridden.
struct SimSystem {
    std::string profile;  // the profile it started from
    std::string title;
    std::uint32_t platformId = 0;
    std::uint32_t majorVersion = 0;
    std::uint32_t minorVersion = 0;
    std::uint32_t build = 0;
    std::uint8_t productType = 0;
    int bits = 32;
    bool extendedQuery = true;
    bool overridden = false;  // some field differs from the profile's
};

SimSystem SystemFromProfile(const SystemProfile& profile);
// The system of the default profile.
SimSystem DefaultSystem();

// The version record the system hands out. On platform 1 the build field carries major and minor
// version in its high 16 bits and the build in its low 16 bits, as those systems fill it.
VersionRecord ComposeVersionRecord(const SimSystem& system);
