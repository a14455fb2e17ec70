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

bool ParseSimulateArgs(const Args& args, SimOptions& options, std::string& error) {
    options = SimOptions();
    std::optional<std::string> system, version, build, platformId, productType, bits, lang, codePage,
        media, browser, installDir, shortInstallDir, html;
    const VerbOptions verb = {
        {{"--system", &system},     {"--version", &version},         {"--build", &build},
         {"--platform-id", &platformId}, {"--product-type", &productType}, {"--bits", &bits},
         {"--lang", &lang},         {"--codepage", &codePage},       {"--media", &media},
         {"--browser", &browser},   {"--install-dir", &installDir},
         {"--short-install-dir", &shortInstallDir}, {"--html", &html}},
        {{"--registered", &options.config.registered},
         {"--instance-running", &options.config.instanceRunning},
         {"--json", &options.json},
         {"--matrix", &options.matrix}},
        "disc folder",
    };
    if (!ParseVerbOptions(args, verb, options.discDir, error)) return false;
    if (!PathOption(html, "--html", "file", options.htmlFile, error)) return false;
    if (media) {
        if (*media != "readonly" && *media != "writable") {
            error = "--media is readonly or writable, not '" + *media + "'";
            return false;
        }
        options.config.media = *media == "readonly" ? SimMedia::ReadOnly : SimMedia::Writable;
    }
    if (browser) {
        if (*browser != "appears" && *browser != "never") {
            error = "--browser is appears or never, not '" + *browser + "'";
            return false;
        }
        options.config.browser = *browser == "appears" ? SimBrowser::Appears : SimBrowser::Never;
    }
    if (installDir && !NormaliseInstallDir(*installDir, options.config.installDir)) {
        error = "--install-dir needs a Windows folder such as D:\\ or E:\\Drivers, not '" +
                *installDir + "'";
        return false;
    }
    // A short name names the same folder: the same drive or share, as many folders deep.
    if (shortInstallDir) {
        std::string& dir = options.config.shortInstallDir;
        const auto depth = [](const std::string& d) { return std::count(d.begin(), d.end(), '\\'); };
        const auto drive = [](const std::string& d) {
            return d[1] == ':' ? std::string(1, static_cast<char>(d[0] & ~0x20)) : std::string();
        };
        if (!NormaliseInstallDir(*shortInstallDir, dir) ||
            depth(dir) != depth(options.config.installDir) ||
            drive(dir) != drive(options.config.installDir)) {
            error = "--short-install-dir needs the short name of the --install-dir folder, on the "
                    "same drive and as deep, such as C:\\DMITRI~1\\, not '" + *shortInstallDir + "'";
            return false;
        }
    }

    const SystemProfile* profile = SystemOption(system, error);
    if (!profile) return false;
    SimSystem& s = options.config.system;
    s = SystemFromProfile(*profile);
    std::uint64_t n = 0;
    if (version) {
        if (!ParseVersion(*version, s.majorVersion, s.minorVersion)) {
            error = "--version needs MAJOR.MINOR, such as 6.1, not '" + *version + "'";
            return false;
        }
    }
    if (platformId) {
        if (!ParseNumber(*platformId, 0xFFFFFFFFu, n)) {
            error = "--platform-id needs a number, not '" + *platformId + "'";
            return false;
        }
        s.platformId = static_cast<std::uint32_t>(n);
    }
    if (build) {
        if (!ParseNumber(*build, 0xFFFFFFFFu, n)) {
            error = "--build needs a number, not '" + *build + "'";
            return false;
        }
        s.build = static_cast<std::uint32_t>(n);
    }
    if (productType) {
        if (!ParseNumber(*productType, 0xFF, n)) {
            error = "--product-type needs a number from 0 to 255, not '" + *productType + "'";
            return false;
        }
        s.productType = static_cast<std::uint8_t>(n);
    }
    if (bits) {
        if (*bits != "32" && *bits != "64") {
            error = "--bits is 32 or 64, not '" + *bits + "'";
            return false;
        }
        s.bits = *bits == "32" ? 32 : 64;
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

    if (!LanguageOption(lang, options.config.langId, error)) return false;
    options.config.codePage = AnsiCodePageForLangId(options.config.langId);
    if (codePage) {
        if (!ParseNumber(*codePage, 0xFFFF, n) || !IsAnsiCodePage(static_cast<int>(n))) {
            error = "--codepage needs a Windows ANSI code page (874, 932, 936, 949, 950, 1250 to "
                    "1258), not '" + *codePage + "'";
            return false;
        }
        options.config.codePage = static_cast<int>(n);
        options.codePageGiven = true;
    }

    if (options.matrix) {
        if (system || version || build || platformId || productType || bits || lang) {
            error = "--matrix runs every system and language itself: no --system, --lang or "
                    "version fields with it";
            return false;
        }
    }
    return true;
}
