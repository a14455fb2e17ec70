// Which Windows carries which library and function: lookups in the generated table, and real
// programs that no one here wrote (Wine's own Windows programs and libraries) checked on a disc.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "KitCheckDisc.h"
#include "app/LauncherApp.h"
#include "kit/check/CheckDisc.h"
#include "kit/check/CheckSystemDlls.h"
#include "kit/disc/PeImage.h"

namespace {

constexpr ReleaseSet k7 = 1u << kWindows7;
constexpr ReleaseSet k8 = 1u << kWindows8;
constexpr ReleaseSet kBefore10 = (1u << kWindows10) - 1;

TEST(SystemLibraries, WhichSystemsLackALibraryOrAFunction) {
    struct Row {
        const char* dll;
        const char* function;  // null: the library itself
        ReleaseSet lacking;
        ReleaseSet unlessUpdated;
        const char* why;  // what the phrase says
    };
    const Row rows[] = {
        {"MSPATCHA.DLL", nullptr, 0, 0, ""},
        {"odbccp32.dll", nullptr, 0, 0, ""},
        {"sxs.dll", nullptr, 0, 0, ""},
        {"kernel32.dll", nullptr, 0, 0, ""},
        {"ucrtbase.dll", nullptr, kBefore10, kBefore10, "the Universal C Runtime update"},
        {"api-ms-win-crt-runtime-l1-1-0.dll", nullptr, kBefore10, kBefore10, "Universal C"},
        {"dcomp.dll", nullptr, k7, 0, "first in Windows 8"},
        {"msvcr90.dll", nullptr, kEveryRelease, 0, "a compiler's run-time library"},
        {"msvcr9.dll", nullptr, kEveryRelease, 0, "a compiler's run-time library"},
        {"d3dx9_43.dll", nullptr, kEveryRelease, 0, "DirectX End-User Runtime"},
        {"nosuch.dll", nullptr, kEveryRelease, 0, "does not ship: put it on the disc"},
        {"zlib1.dll", nullptr, kEveryRelease, 0, "does not ship: put it on the disc"},
        {"msvcp140.dll", nullptr, kEveryRelease, 0, "a compiler's run-time library"},
        // Libraries Windows ships that the SDK's records leave out: never "on none of Windows".
        {"mscoree.dll", nullptr, 0, 0, ""},
        {"ieframe.dll", nullptr, 0, 0, ""},
        {"scrrun.dll", nullptr, 0, 0, ""},
        {"d3d10core.dll", nullptr, 0, 0, ""},
        {"nsi.dll", nullptr, 0, 0, ""},
        {"riched20.dll", nullptr, 0, 0, ""},
        {"jsproxy.dll", nullptr, 0, 0, ""},
        {"sechost.dll", nullptr, 0, 0, ""},
        {"d3dxof.dll", nullptr, 0, 0, ""},
        {"win32u.dll", nullptr, 0, 0, ""},
        {"combase.dll", nullptr, k7, 0, "first in Windows 8"},
        {"shcore.dll", nullptr, k7, 0, "first in Windows 8"},
        {"rtworkq.dll", nullptr, k7 | k8, 0, "first in Windows 8.1"},
        // Wine's own libraries and exports load on no Windows.
        {"wined3d.dll", nullptr, kEveryRelease, 0, "a library of Wine's own"},
        {"winex11.drv", nullptr, kEveryRelease, 0, "a library of Wine's own"},
        {"ntdll.dll", "__wine_unix_call", kEveryRelease, 0, "an export of Wine's own"},
        {"msi.dll", "__wine_msi_call_dll_function", kEveryRelease, 0, "an export of Wine's own"},
        {"kernel32.dll", "GetTickCount64", 0, 0, ""},
        {"KERNEL32.dll", "SetThreadDescription", kBefore10, 0, "first in Windows 10 build 14393"},
        {"kernel32.dll", "CreateFile2", k7, 0, "first in Windows 8"},
        {"kernel32.dll", "ResolveDelayLoadedAPI", k7, 0, "first in Windows 8"},
        {"KernelBase.dll", "PathCchAppend", k7, 0, "first in Windows 8"},
        {"api-ms-win-core-path-l1-1-0.dll", nullptr, k7, 0, "first in Windows 8"},
        {"shcore.dll", "GetDpiForMonitor", k7 | k8, 0, "first in Windows 8.1"},
        // The documentation dates most of Winsock 8.1; Windows 7's own exports say otherwise.
        {"ws2_32.dll", "send", 0, 0, ""},
        {"msi.dll", "MsiOpenPackageW", 0, 0, ""},
    };
    for (const Row& row : rows) {
        const std::string what = std::string(row.dll) + " " + (row.function ? row.function : "");
        std::string why;
        if (row.function) {
            EXPECT_EQ(SystemFunctionLacking(row.dll, row.function, why), row.lacking) << what;
        } else {
            const LibraryPresence presence = SystemLibraryPresence(row.dll);
            EXPECT_EQ(presence.lacking, row.lacking) << what;
            EXPECT_EQ(presence.lackingUnlessUpdated, row.unlessUpdated) << what;
            why = presence.why;
        }
        EXPECT_NE(why.find(row.why), std::string::npos) << what << ": " << why;
    }
    EXPECT_EQ(ReleaseNames(kBefore10), "Windows 7, 8 and 8.1");
    EXPECT_EQ(ReleaseNames(kEveryRelease), "none of Windows 7, 8, 8.1, 10 and 11");
}

// The lookups search the rows by halves: a row out of order would hide others.
TEST(SystemLibraries, TheGeneratedRowsAreSortedAndUnique) {
    for (std::size_t i = 1; i < kSystemLibraryRowCount; ++i) {
        EXPECT_LT(std::strcmp(kSystemLibraryRows[i - 1].name, kSystemLibraryRows[i].name), 0)
            << kSystemLibraryRows[i].name;
    }
    for (std::size_t i = 1; i < kSystemFunctionRowCount; ++i) {
        const SystemFunctionRow& a = kSystemFunctionRows[i - 1];
        const SystemFunctionRow& b = kSystemFunctionRows[i];
        const int library = std::strcmp(a.library, b.library);
        EXPECT_TRUE(library < 0 || (library == 0 && std::strcmp(a.function, b.function) < 0))
            << b.library << " " << b.function;
    }
}

// Wine's 32-bit Windows programs and libraries in the launcher's places. They link the Universal
// C Runtime and otherwise only libraries that Windows 7 carries.
TEST(SystemLibraries, RealProgramsNeedOnlyTheUniversalCRuntimeBeyondWindows7) {
    namespace fs = std::filesystem;
    const fs::path wine = "/usr/lib/i386-linux-gnu/wine/i386-windows";
    if (!fs::exists(wine / "wordpad.exe")) GTEST_SKIP() << "wine32 is not installed";
    struct Row {
        const char* place;
        const char* file;
        const char* code;
    };
    const Row rows[] = {
        {names::kBrowser, "wordpad.exe", "browser-import-not-everywhere"},
        {names::kHtmlControl, "hhctrl.ocx", "control-import-not-everywhere"},
        {names::kGaugeControl, "hhctrl.ocx", "control-import-not-everywhere"},
        {names::kSetupProgram, "write.exe", "setup-program-import-not-everywhere"},
        {names::kProbeLibrary, "msi.dll", "probe-library-import-not-everywhere"},
    };
    kittest::TempFolder disc;
    for (const Row& row : rows) fs::copy_file(wine / row.file, disc.Root() / row.place);
    std::vector<Finding> findings;
    std::string error;
    ASSERT_TRUE(CheckDisc(disc.Root(), findings, error)) << error;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file);
        FileBytes bytes;
        PeImage image;
        std::string problem;
        ASSERT_TRUE(bytes.Open(wine / row.file));
        ASSERT_TRUE(ReadPeImage(bytes, image, problem)) << problem;
        const auto found = std::find_if(findings.begin(), findings.end(), [&](const Finding& f) {
            return f.path == row.place && f.kind->code.find("-import-") != std::string::npos;
        });
        ASSERT_NE(found, findings.end());
        EXPECT_EQ(found->kind->code, row.code) << found->detail;
        EXPECT_EQ(found->kind->severity, Severity::Warning);
        EXPECT_NE(found->detail.find("ucrtbase.dll is not on Windows 7, 8 and 8.1 (they have it "
                                     "only after the Universal C Runtime update)"),
                  std::string::npos)
            << found->detail;
        for (const PeImport& import : image.imports) {
            if (import.dll == "ucrtbase.dll") continue;
            EXPECT_EQ(found->detail.find(import.dll), std::string::npos)
                << import.dll << " is on Windows 7: " << found->detail;
        }
    }
}

}  // namespace
