#include "inspect/OsClassify.h"

#include "app/LauncherApp.h"

namespace {

constexpr std::uint8_t kWorkstation = 1;

// 32-bit class, or the next code up on 64-bit Windows.
std::uint8_t WithBitness(std::uint8_t code32, const std::function<bool()>& hasSysWow64Folder) {
    return static_cast<std::uint8_t>(hasSysWow64Folder() ? code32 + 1 : code32);
}

OsDecision ClassifyNt(const VersionRecord& r, const std::function<bool()>& hasSysWow64Folder) {
    OsDecision d;
    const bool workstation = r.productType == kWorkstation;
    if (r.majorVersion <= 4) {
        d.osCode = 13;
    } else if (r.majorVersion == 5) {
        // The build decides before the minor version does.
        if (r.buildNumber <= 2222) {
            d.osCode = 14;
        } else if (r.buildNumber < 3790) {
            d.osCode = 16;
        } else if (r.minorVersion != 2) {
            d.osCode = 0;
        } else if (workstation) {
            d.osCode = 17;
        } else {
            d.osCode = hasSysWow64Folder() ? 17 : 16;
            d.serverFlag = 1;
        }
    } else if (r.majorVersion == 6) {
        d.serverFlag = workstation ? 0 : 1;
        switch (r.minorVersion) {
            case 0: d.osCode = WithBitness(18, hasSysWow64Folder); break;
            case 1: d.osCode = WithBitness(20, hasSysWow64Folder); break;
            case 2: d.osCode = WithBitness(22, hasSysWow64Folder); break;
            default: d.osCode = 0; break;
        }
    }
    return d;  // major 7 and above: not classified
}

}  // namespace

OsDecision ClassifyVersion(const VersionRecord& r,
                           const std::function<bool()>& hasSysWow64Folder) {
    OsDecision d;
    switch (r.platformId) {
        case kPlatformWin32s:
            d.osCode = 9;
            break;
        case kPlatformWindows: {
            // The high 16 bits of the build field repeat the version on this family.
            const std::uint16_t build = static_cast<std::uint16_t>(r.buildNumber & 0xFFFF);
            if (r.majorVersion < 4 || (r.majorVersion == 4 && r.minorVersion == 0)) {
                d.osCode = 10;
            } else if (build > 2222) {
                d.osCode = 15;
            } else if (build == 2222) {
                d.osCode = 12;
            } else {
                d.osCode = 11;
            }
            break;
        }
        case kPlatformNt:
            d = ClassifyNt(r, hasSysWow64Folder);
            break;
        default:
            d.platformKnown = false;
            break;
    }
    return d;
}

bool LauncherApp::ClassifyOs(std::uint8_t& osCode) {
    serverFlag_ = 0;
    // A failed extended query may be followed by a basic one that cannot carry the product type:
    // the record is zero-filled once, so that type then reads 0 and counts as a server.
    VersionRecord record;
    if (!platform_.QueryVersion(true, record) && !platform_.QueryVersion(false, record)) {
        platform_.ShowMessage(texts::kVersionBoxText, texts::kVersionQueryFailCaption);
        return false;
    }
    osCode = 0;
    const OsDecision d = ClassifyVersion(record, [this] { return HasSysWow64Folder(); });
    if (!d.platformKnown) {
        platform_.ShowMessage(texts::kVersionBoxText, texts::kUnknownOsCaption);
        return false;
    }
    osCode = d.osCode;
    serverFlag_ = d.serverFlag;
    return true;
}

bool LauncherApp::HasSysWow64Folder() {
    std::string windowsDir;
    // Without the Windows directory the pattern would be relative or at a root, where a planted
    // folder could pass for the system's: answer no instead.
    if (!platform_.WindowsDirectory(windowsDir) || windowsDir.empty()) return false;
    return platform_.AnyFileMatches(JoinPath(windowsDir, "SysWow64\\*.*"));
}

bool LauncherApp::RunsUnderWow64() { return platform_.IsWow64Process(); }
