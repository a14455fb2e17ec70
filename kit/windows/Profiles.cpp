#include "kit/windows/Profiles.h"

#include <iterator>

#include "inspect/OsClassify.h"
#include "kit/windows/SystemLibraryTable.h"

namespace {

constexpr std::uint8_t kNoEdition = 0;
constexpr std::uint8_t kWorkstation = 1;
constexpr std::uint8_t kServer = 3;

// What each system reports to a program without a supported-OS list in its manifest: from
// Windows 8.1 on that is 6.2.9200, whatever the real version. The servers without a suffix are
// the 32-bit editions (2008 R2 exists only for 64-bit); --bits gives the other one.
constexpr SystemProfile kProfiles[] = {
    // name        title                                          platform          maj min  build  edition    bits ext  Wine  libraries
    {"95",        "Windows 95",                                   kPlatformWindows, 4,  0,   950,  kNoEdition,   32, false, "win95", kLibrariesBefore7},
    {"98",        "Windows 98",                                   kPlatformWindows, 4,  10,  1998, kNoEdition,   32, false, "win98", kLibrariesBefore7},
    {"me",        "Windows Me",                                   kPlatformWindows, 4,  90,  3000, kNoEdition,   32, false, "winme", kLibrariesBefore7},
    {"nt4",       "Windows NT 4.0 Workstation (before SP6)",      kPlatformNt,      4,  0,   1381, kWorkstation, 32, false, "nt40", kLibrariesBefore7},
    {"2000",      "Windows 2000 Professional",                    kPlatformNt,      5,  0,   2195, kWorkstation, 32, true,  "win2k", kLibrariesBefore7},
    {"xp",        "Windows XP",                                   kPlatformNt,      5,  1,   2600, kWorkstation, 32, true,  "winxp", kLibrariesBefore7},
    {"xp-x64",    "Windows XP Professional x64 Edition",          kPlatformNt,      5,  2,   3790, kWorkstation, 64, true,  "winxp64 win2003", kLibrariesBefore7},
    {"2003",      "Windows Server 2003",                          kPlatformNt,      5,  2,   3790, kServer,      32, true,  "win2003 winxp64", kLibrariesBefore7},
    {"vista",     "Windows Vista",                                kPlatformNt,      6,  0,   6002, kWorkstation, 32, true,  "vista win2008", kLibrariesBefore7},
    {"vista-x64", "Windows Vista, 64-bit",                        kPlatformNt,      6,  0,   6002, kWorkstation, 64, true,  "vista win2008", kLibrariesBefore7},
    {"2008",      "Windows Server 2008",                          kPlatformNt,      6,  0,   6002, kServer,      32, true,  "win2008 vista", kLibrariesBefore7},
    {"7",         "Windows 7",                                    kPlatformNt,      6,  1,   7601, kWorkstation, 32, true,  "win7 win2008r2", kWindows7},
    {"7-x64",     "Windows 7, 64-bit",                            kPlatformNt,      6,  1,   7601, kWorkstation, 64, true,  "win7 win2008r2", kWindows7},
    {"2008r2",    "Windows Server 2008 R2",                       kPlatformNt,      6,  1,   7601, kServer,      64, true,  "win2008r2 win7", kWindows7},
    {"8",         "Windows 8",                                    kPlatformNt,      6,  2,   9200, kWorkstation, 32, true,  "win8", kWindows8},
    {"8-x64",     "Windows 8, 64-bit",                            kPlatformNt,      6,  2,   9200, kWorkstation, 64, true,  "win8", kWindows8},
    {"8.1",       "Windows 8.1 (reports 6.2)",                    kPlatformNt,      6,  2,   9200, kWorkstation, 32, true,  "win81", kWindows81},
    {"8.1-x64",   "Windows 8.1, 64-bit (reports 6.2)",            kPlatformNt,      6,  2,   9200, kWorkstation, 64, true,  "win81", kWindows81},
    {"10",        "Windows 10 (reports 6.2)",                     kPlatformNt,      6,  2,   9200, kWorkstation, 32, true,  "win10", kWindows10},
    {"10-x64",    "Windows 10, 64-bit (reports 6.2)",             kPlatformNt,      6,  2,   9200, kWorkstation, 64, true,  "win10", kWindows10},
    {"11-x64",    "Windows 11 (reports 6.2)",                     kPlatformNt,      6,  2,   9200, kWorkstation, 64, true,  "win11 win10", kWindows11},
};

}  // namespace

std::size_t SystemProfileCount() { return std::size(kProfiles); }

const SystemProfile* SystemProfiles() { return kProfiles; }

const SystemProfile* FindSystemProfile(const std::string& name) {
    for (const SystemProfile& p : kProfiles) {
        if (name == p.name) return &p;
    }
    return nullptr;
}

std::string SystemProfileNames() {
    std::string names;
    for (const SystemProfile& p : kProfiles) {
        if (!names.empty()) names += ' ';
        names += p.name;
    }
    return names;
}

SimSystem SystemFromProfile(const SystemProfile& p) {
    SimSystem s;
    s.profile = p.name;
    s.title = p.title;
    s.platformId = p.platformId;
    s.majorVersion = p.majorVersion;
    s.minorVersion = p.minorVersion;
    s.build = p.build;
    s.productType = p.productType;
    s.bits = p.bits;
    s.extendedQuery = p.extendedQuery;
    return s;
}

const char* WinePrefixKind(const SystemProfile& profile) {
    return profile.bits == 64 ? "win64" : "win32";
}

SimSystem DefaultSystem() { return SystemFromProfile(*FindSystemProfile(kDefaultProfile)); }

VersionRecord ComposeVersionRecord(const SimSystem& s) {
    VersionRecord r;
    r.platformId = s.platformId;
    r.majorVersion = s.majorVersion;
    r.minorVersion = s.minorVersion;
    r.buildNumber = s.build;
    if (s.platformId == kPlatformWindows) {
        r.buildNumber = ((s.majorVersion & 0xFFu) << 24) | ((s.minorVersion & 0xFFu) << 16) |
                        (s.build & 0xFFFFu);
    }
    r.productType = s.productType;
    return r;
}
