// Turning the system's version record into the launcher's version class.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/Platform.h"

// The platform ids of the system's version record: what the launcher tells the three families by,
// and what disckit's simulated systems report.
constexpr std::uint32_t kPlatformWin32s = 0;
constexpr std::uint32_t kPlatformWindows = 1;  // the 95/98/Me family
constexpr std::uint32_t kPlatformNt = 2;

// The supported classes: NT 6.1 and 6.2, 32-bit and 64-bit.
constexpr std::uint8_t kOsCodeFirstSupported = 20;

struct OsDecision {
    bool platformKnown = true;  // false: a platform id other than 0, 1 and 2
    std::uint8_t osCode = 0;    // 0: not classified
    std::uint8_t serverFlag = 0;
};

// The launcher's gate: whether it shows its refusal after the classification (true) or goes on.
// One place, so that what the kit expects of a system is what the launcher does there.
constexpr bool IsRefusedClass(unsigned osCode, unsigned serverFlag) {
    return osCode < kOsCodeFirstSupported || serverFlag == 1;
}

// The whole decision as a function of the version record. hasSysWow64Folder is asked only on the
// rows that need to tell 64-bit from 32-bit Windows, and at most once.
OsDecision ClassifyVersion(const VersionRecord& record,
                           const std::function<bool()>& hasSysWow64Folder);
