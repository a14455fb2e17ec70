#include "kit/simulate/SimOptions.h"

#include <algorithm>
#include <optional>

#include "inspect/OsClassify.h"
#include "kit/common/Options.h"
#include "kit/windows/CodePage.h"
#include "kit/windows/Profiles.h"
#include "kit/windows/WindowsText.h"

namespace {

bool ParseNumber(const std::string& text, std::uint64_t max, std::uint64_t& value) {
    return ParseUnsigned(text, value) && value <= max;
}

// "6.1": two numbers of 32 bits.
bool ParseVersion(const std::string& text, std::uint32_t& major, std::uint32_t& minor) {
    const std::size_t dot = text.find('.');
    if (dot == std::string::npos) return false;
    std::uint64_t a = 0, b = 0;
    if (!ParseNumber(text.substr(0, dot), 0xFFFFFFFFu, a) ||
        !ParseNumber(text.substr(dot + 1), 0xFFFFFFFFu, b)) {
        return false;
    }
    major = static_cast<std::uint32_t>(a);
    minor = static_cast<std::uint32_t>(b);
    return true;
}

}  // namespace

bool NormaliseInstallDir(const std::string& text, std::string& dir) {
    std::string d = text;
    for (char& c : d) {
        if (c == '/') c = '\\';
    }
    const bool drive = d.size() >= 2 && d[1] == ':' &&
                       ((d[0] >= 'A' && d[0] <= 'Z') || (d[0] >= 'a' && d[0] <= 'z')) &&
                       (d.size() == 2 || d[2] == '\\');
    const bool share = d.size() > 2 && d[0] == '\\' && d[1] == '\\' && d[2] != '\\';
    if (!drive && !share) return false;
    for (std::size_t i = 0; i < d.size(); ++i) {
        const auto b = static_cast<unsigned char>(d[i]);
        if (b < 0x20 || (b == ':' && i != 1) || std::string("<>\"|?*").find(d[i]) != std::string::npos) {
            return false;
        }
    }
    if (share) {
        // \\server\share at least, and no empty name inside.
        const std::size_t server = d.find('\\', 2);
        if (server == std::string::npos || server + 1 >= d.size() || d[server + 1] == '\\') return false;
    }
    if (d.back() != '\\') d += '\\';
    if (d.find("\\\\", 2) != std::string::npos) return false;
    dir = d;
    return true;
}

namespace {

// The command line's values, where the rows put them.
struct SimValues {
    std::optional<std::string> system, version, build, platformId, productType, bits, lang,
        codePage, media, browser, installDir, shortInstallDir, html, junit;
    bool registered = false, instanceRunning = false, json = false, matrix = false, quiet = false;
};

const OptionRow kSimulateRows[] = {
    {"--system", "NAME",
     "The Windows to simulate, a name of the profile table (disckit help lists them).",
     ValueKind::System, nullptr, kDefaultProfile, Into<&SimValues::system>},
    {"--version", "MAJOR.MINOR", "Change the version the system reports, such as 6.1.",
     ValueKind::Free, nullptr, nullptr, Into<&SimValues::version>},
    {"--build", "N", "Change the build number the system reports.",
     ValueKind::Free, nullptr, nullptr, Into<&SimValues::build>},
    {"--platform-id", "N",
     "Change the platform id the system reports (1 for the 95/98/Me family, 2 for NT).",
     ValueKind::Free, nullptr, nullptr, Into<&SimValues::platformId>},
    {"--product-type", "N", "Change the edition the system reports (1 workstation, 3 server).",
     ValueKind::Free, nullptr, nullptr, Into<&SimValues::productType>},
    {"--bits", "32|64", "Change the system's bitness.",
     ValueKind::Choices, "32 64", nullptr, Into<&SimValues::bits>},
    {"--lang", "ID",
     "The system language: a LANGID such as 0x0407 or 1031, or a locale name such as de-DE.",
     ValueKind::Language, nullptr, "en-US", Into<&SimValues::lang>},
    {"--codepage", "N", "The ANSI code page (874, 932, 936, 949, 950, 1250 to 1258).",
     ValueKind::Free, nullptr, "the language's", Into<&SimValues::codePage>},
    {"--media", "readonly|writable",
     "A pressed disc (read-only files: the pre-launch tool never starts, copies are read-only) or "
     "a writable copy.",
     ValueKind::Choices, "readonly writable", "readonly", Into<&SimValues::media>},
    {"--registered", nullptr, "The controls' class is registered already.",
     ValueKind::Free, nullptr, nullptr, Into<&SimValues::registered>},
    {"--browser", "appears|never",
     "Whether the started browser shows up as a process.",
     ValueKind::Choices, "appears never", "appears", Into<&SimValues::browser>},
    {"--install-dir", "DIR",
     "Where the disc is, a Windows folder in UTF-8 such as E:\\Drivers.",
     ValueKind::Free, nullptr, "D:\\", Into<&SimValues::installDir>},
    {"--short-install-dir", "DIR",
     "The short (8.3) form of --install-dir that the volume gives, such as C:\\____~BSM\\: the "
     "launcher falls back to it when the long path does not fit the code page. Without it such a "
     "run is told the volume has none.",
     ValueKind::Free, nullptr, nullptr, Into<&SimValues::shortInstallDir>},
    {"--instance-running", nullptr, "Another launcher of the same file is running.",
     ValueKind::Free, nullptr, nullptr, Into<&SimValues::instanceRunning>},
    {"--json", nullptr,
     "Write the run as JSON: system, effects, outcome, running, files.",
     ValueKind::Free, nullptr, nullptr, Into<&SimValues::json>},
    {"--matrix", nullptr,
     "Run every system by every language the disc carries, and show the outcomes as a table; "
     "takes no --system, --lang or version fields.",
     ValueKind::Free, nullptr, nullptr, Into<&SimValues::matrix>},
    {"--html", "FILE",
     "Also write the run (its timeline and effects) or the matrix (a coloured grid) as one "
     "self-contained HTML file (styles and pictures inside, no script, nothing fetched), to look "
     "at or pass on.",
     ValueKind::File, nullptr, nullptr, Into<&SimValues::html>},
    {"--junit", "FILE",
     "With --matrix: also write the matrix as JUnit XML test results, a test case per cell, "
     "failing where the cell is not as expected. Written whole or not at all.",
     ValueKind::File, nullptr, nullptr, Into<&SimValues::junit>},
    {"--quiet", nullptr, "Say nothing on stderr but errors (not which project file was taken).",
     ValueKind::Free, nullptr, nullptr, Into<&SimValues::quiet>},
};

}  // namespace

extern const OptionTable kSimulateOptions = DISCKIT_OPTION_TABLE(kSimulateRows);

bool ParseSimulateArgs(const Args& args, SimOptions& options, std::string& error) {
    options = SimOptions();
    SimValues v;
    if (!ParseVerbCommand("simulate", args, kSimulateOptions, &v, "disc folder", options.discDir,
                          options.project, error)) {
        return false;
    }
    options.config.registered = v.registered;
    options.config.instanceRunning = v.instanceRunning;
    options.json = v.json;
    options.matrix = v.matrix;
    options.quiet = v.quiet;
    if (!PathOption(v.html, "--html", "file", options.htmlFile, error) ||
        !PathOption(v.junit, "--junit", "file", options.junitFile, error)) {
        return false;
    }
    if (!options.junitFile.empty() && !options.matrix) {
        error = "--junit writes the matrix's cells as test cases: it goes with --matrix";
        return false;
    }
    if (v.media) {
        if (*v.media != "readonly" && *v.media != "writable") {
            error = "--media is readonly or writable, not '" + *v.media + "'";
            return false;
        }
        options.config.media = *v.media == "readonly" ? SimMedia::ReadOnly : SimMedia::Writable;
    }
    if (v.browser) {
        if (*v.browser != "appears" && *v.browser != "never") {
            error = "--browser is appears or never, not '" + *v.browser + "'";
            return false;
        }
        options.config.browser = *v.browser == "appears" ? SimBrowser::Appears : SimBrowser::Never;
    }
    if (v.installDir && !NormaliseInstallDir(*v.installDir, options.config.installDir)) {
        error = "--install-dir needs a Windows folder such as D:\\ or E:\\Drivers, not '" +
                *v.installDir + "'";
        return false;
    }
    // A short name names the same folder: the same drive or share, as many folders deep.
    if (v.shortInstallDir) {
        std::string& dir = options.config.shortInstallDir;
        const auto depth = [](const std::string& d) { return std::count(d.begin(), d.end(), '\\'); };
        const auto drive = [](const std::string& d) {
            return d[1] == ':' ? std::string(1, static_cast<char>(d[0] & ~0x20)) : std::string();
        };
        if (!NormaliseInstallDir(*v.shortInstallDir, dir) ||
            depth(dir) != depth(options.config.installDir) ||
            drive(dir) != drive(options.config.installDir)) {
            error = "--short-install-dir needs the short name of the --install-dir folder, on the "
                    "same drive and as deep, such as C:\\DMITRI~1\\, not '" + *v.shortInstallDir + "'";
            return false;
        }
    }

    const SystemProfile* profile = SystemOption(v.system, error);
    if (!profile) return false;
    SimSystem& s = options.config.system;
    s = SystemFromProfile(*profile);
    std::uint64_t n = 0;
    if (v.version) {
        if (!ParseVersion(*v.version, s.majorVersion, s.minorVersion)) {
            error = "--version needs MAJOR.MINOR, such as 6.1, not '" + *v.version + "'";
            return false;
        }
    }
    if (v.platformId) {
        if (!ParseNumber(*v.platformId, 0xFFFFFFFFu, n)) {
            error = "--platform-id needs a number, not '" + *v.platformId + "'";
            return false;
        }
        s.platformId = static_cast<std::uint32_t>(n);
    }
    if (v.build) {
        if (!ParseNumber(*v.build, 0xFFFFFFFFu, n)) {
            error = "--build needs a number, not '" + *v.build + "'";
            return false;
        }
        s.build = static_cast<std::uint32_t>(n);
    }
    if (v.productType) {
        if (!ParseNumber(*v.productType, 0xFF, n)) {
            error = "--product-type needs a number from 0 to 255, not '" + *v.productType + "'";
            return false;
        }
        s.productType = static_cast<std::uint8_t>(n);
    }
    if (v.bits) {
        if (*v.bits != "32" && *v.bits != "64") {
            error = "--bits is 32 or 64, not '" + *v.bits + "'";
            return false;
        }
        s.bits = *v.bits == "32" ? 32 : 64;
    }
    if (s.platformId == kPlatformWindows && (s.build > 0xFFFF || s.majorVersion > 0xFF || s.minorVersion > 0xFF)) {
        // That family's build field has 16 bits for the build and 8 each for the version.
        error = "on platform 1 the build goes up to 65535 and the version parts up to 255";
        return false;
    }
    const SimSystem fromProfile = SystemFromProfile(*profile);
    s.overridden = s.platformId != fromProfile.platformId || s.majorVersion != fromProfile.majorVersion ||
                   s.minorVersion != fromProfile.minorVersion || s.build != fromProfile.build ||
                   s.productType != fromProfile.productType || s.bits != fromProfile.bits;

    if (!LanguageOption(v.lang, options.config.langId, error)) return false;
    options.config.codePage = AnsiCodePageForLangId(options.config.langId);
    if (v.codePage) {
        if (!ParseNumber(*v.codePage, 0xFFFF, n) || !IsAnsiCodePage(static_cast<int>(n))) {
            error = "--codepage needs a Windows ANSI code page (874, 932, 936, 949, 950, 1250 to "
                    "1258), not '" + *v.codePage + "'";
            return false;
        }
        options.config.codePage = static_cast<int>(n);
        options.codePageGiven = true;
    }

    if (options.matrix) {
        if (v.system || v.version || v.build || v.platformId || v.productType || v.bits || v.lang) {
            error = "--matrix runs every system and language itself: no --system, --lang or "
                    "version fields with it";
            return false;
        }
    }
    return true;
}
