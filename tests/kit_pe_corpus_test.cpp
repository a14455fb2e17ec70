// Real Windows programs and libraries that no one here wrote, from Debian's packages (installed by
// scripts/deps.sh), each checked in a place of a disc where such a file makes sense. Each has the
// verdict its imports deserve: no false error, and every fault of theirs that check must name.
// The files stay out of the repository; a missing one fails the test with the package to install.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "KitCheckDisc.h"
#include "app/LauncherApp.h"
#include "kit/check/CheckDisc.h"

namespace {

namespace fs = std::filesystem;

enum class Verdict { Clean, Warning, Error };

struct CorpusFile {
    const char* package;
    const char* path;
    const char* place;  // where on the disc it goes
    Verdict verdict;    // of the findings about its imports
    // What those findings must say (empty: nothing in particular), and what they must not.
    std::vector<const char*> says;
    std::vector<const char*> saysNot;
};

#define WINE32 "/usr/lib/i386-linux-gnu/wine/i386-windows/"
#define WINE64 "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/"
#define MINGW_RUNTIME "/usr/lib/gcc/i686-w64-mingw32/12-win32/"
#define NSIS_PLUGINS "/usr/share/nsis/Plugins/x86-unicode/"
#define DISTLIB "/usr/lib/python3/dist-packages/distlib/"

// The Universal C Runtime, which Wine's own files link, is an update on 7, 8 and 8.1.
constexpr const char* kUcrt = "ucrtbase.dll is not on Windows 7, 8 and 8.1";
// What a library that Windows ships must never be called.
constexpr const char* kNowhere = "is on none of Windows";

const CorpusFile kCorpus[] = {
    // Wine's Windows programs and libraries: they re-implement Windows', so what they import from
    // Windows is there (only later than 7 at times); what they import from Wine alone is not.
    {"libwine:i386", WINE32 "wordpad.exe", names::kBrowser, Verdict::Warning,
     {kUcrt}, {kNowhere, "riched20", "comdlg32"}},
    {"libwine:i386", WINE32 "hhctrl.ocx", names::kHtmlControl, Verdict::Warning,
     {kUcrt}, {kNowhere}},
    {"libwine:i386", WINE32 "hostname.exe", names::kPreLaunchTool, Verdict::Warning,
     {"kernel32.dll of Windows 7 lacks ResolveDelayLoadedAPI (first in Windows 8)"}, {kNowhere}},
    {"libwine:i386", WINE32 "regedit.exe", names::kBrowser, Verdict::Warning,
     {"shcore.dll is not on Windows 7"}, {kNowhere}},
    {"libwine:i386", WINE32 "ole32.dll", names::kProbeLibrary, Verdict::Warning,
     {"combase.dll is not on Windows 7",
      "kernelbase.dll of Windows 7 lacks PathCchFindExtension (first in Windows 8)"},
     {kNowhere}},
    {"libwine:i386", WINE32 "mfplat.dll", names::kProbeLibrary, Verdict::Warning,
     {"rtworkq.dll is not on Windows 7 and 8"}, {kNowhere}},
    {"libwine:i386", WINE32 "ieframe.dll", names::kProbeLibrary, Verdict::Warning, {kUcrt},
     {kNowhere}},
    {"libwine:i386", WINE32 "d3dx9_43.dll", names::kGaugeControl, Verdict::Warning, {kUcrt},
     {kNowhere, "d3dxof"}},
    {"libwine:i386", WINE32 "msiexec.exe", names::kSetupProgram, Verdict::Error,
     {"no Windows has msi.dll!__wine_msi_call_dll_function (an export of Wine's own: build"}, {}},
    {"libwine:i386", WINE32 "win32u.dll", names::kProbeLibrary, Verdict::Error,
     {"no Windows has ntdll.dll!__wine_unix_call"}, {}},
    {"libwine:i386", WINE32 "gdi32.dll", names::kProbeLibrary, Verdict::Error,
     {"no Windows has win32u.dll!__wine_get_icm_profile"}, {"win32u.dll is"}},
    {"libwine:i386", WINE32 "kernel32.dll", names::kProbeLibrary, Verdict::Error,
     {"no Windows has ntdll.dll!__wine_dbg_output"}, {}},
    {"libwine:i386", WINE32 "winebrowser.exe", names::kBrowser, Verdict::Error,
     {"no Windows has ntdll.dll!__wine_unix_spawnvp"}, {}},
    {"libwine:i386", WINE32 "d3d9.dll", names::kProbeLibrary, Verdict::Error,
     {"wined3d.dll is on none of Windows 7, 8, 8.1, 10 and 11 and not on the disc, so Windows "
      "cannot load the file (a library of Wine's own"},
     {}},
    // A 64-bit program is a finding of its own, not one of its imports.
    {"libwine:amd64", WINE64 "notepad.exe", names::kBrowser, Verdict::Clean, {}, {}},
    // The installer stubs and plug-ins of an installer maker: Windows' oldest libraries only.
    {"nsis", "/usr/share/nsis/Stubs/zlib-x86-unicode", names::kSetupProgram, Verdict::Clean, {}, {}},
    {"nsis", "/usr/share/nsis/Stubs/lzma-x86-ansi", names::kSetupProgram, Verdict::Clean, {}, {}},
    {"nsis", NSIS_PLUGINS "System.dll", names::kProbeLibrary, Verdict::Clean, {}, {}},
    {"nsis", NSIS_PLUGINS "nsDialogs.dll", names::kHtmlControl, Verdict::Clean, {}, {}},
    {"nsis", NSIS_PLUGINS "nsExec.dll", names::kGaugeControl, Verdict::Clean, {}, {}},
    // The launchers of Python's distribution tools, one console and one windowed.
    {"python3-distlib", DISTLIB "t32.exe", names::kPreLaunchTool, Verdict::Clean, {}, {}},
    {"python3-distlib", DISTLIB "w32.exe", names::kBrowser, Verdict::Clean, {}, {}},
    // MinGW's run-times and zlib: what they need beyond Windows is each other.
    {"gcc-mingw-w64-i686-win32-runtime", MINGW_RUNTIME "libgcc_s_dw2-1.dll", names::kProbeLibrary,
     Verdict::Clean, {}, {}},
    {"gcc-mingw-w64-i686-win32-runtime", MINGW_RUNTIME "libstdc++-6.dll", names::kProbeLibrary,
     Verdict::Error,
     {"libgcc_s_dw2-1.dll is on none of Windows", "put it beside the program"}, {}},
    {"libz-mingw-w64", "/usr/i686-w64-mingw32/lib/zlib1.dll", names::kProbeLibrary, Verdict::Clean,
     {}, {}},
};

std::string Describe(const std::vector<Finding>& findings) {
    std::string text;
    for (const Finding& f : findings) text += "\n  " + f.kind->code + " " + f.path + ": " + f.detail;
    return text;
}

TEST(PeCorpus, RealFilesGetTheVerdictTheirImportsDeserve) {
    for (const CorpusFile& file : kCorpus) {
        SCOPED_TRACE(file.path);
        // Installed by scripts/deps.sh: a machine without it cannot say anything of the file.
        ASSERT_TRUE(fs::is_regular_file(file.path))
            << file.path << " is missing: install Debian's " << file.package
            << " (scripts/deps.sh wine)";
        kittest::TempFolder disc;
        fs::copy_file(file.path, disc.Root() / file.place);
        std::vector<Finding> findings;
        std::string error;
        ASSERT_TRUE(CheckDisc(disc.Root(), findings, error)) << error;
        std::vector<Finding> imports;
        std::copy_if(findings.begin(), findings.end(), std::back_inserter(imports),
                     [&](const Finding& f) {
                         return f.path == file.place &&
                                f.kind->code.find("-import-") != std::string::npos;
                     });
        const std::string all = Describe(findings);
        switch (file.verdict) {
            case Verdict::Clean:
                EXPECT_TRUE(imports.empty()) << all;
                break;
            case Verdict::Warning:
            case Verdict::Error: {
                ASSERT_EQ(imports.size(), 1u) << all;
                const Severity want =
                    file.verdict == Verdict::Error ? Severity::Error : Severity::Warning;
                EXPECT_EQ(imports[0].kind->severity, want) << all;
                break;
            }
        }
        std::string details;
        for (const Finding& f : imports) details += f.detail + "\n";
        for (const char* phrase : file.says) {
            EXPECT_NE(details.find(phrase), std::string::npos) << phrase << " in:" << all;
        }
        for (const char* phrase : file.saysNot) {
            EXPECT_EQ(details.find(phrase), std::string::npos) << phrase << " in:" << all;
        }
    }
}

}  // namespace
