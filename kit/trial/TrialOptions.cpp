#include "kit/trial/TrialOptions.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>

#include "app/LauncherApp.h"
#include "kit/common/Options.h"
#include "kit/windows/Languages.h"
#include "kit/windows/WindowsText.h"

namespace {

bool ParseCount(const std::string& text, std::uint64_t min, std::uint64_t max, unsigned& value) {
    std::uint64_t n = 0;
    if (!ParseUnsigned(text, n) || n < min || n > max) return false;
    value = static_cast<unsigned>(n);
    return true;
}

}  // namespace

bool ParseTrialArgs(const Args& args, TrialOptions& options, std::string& error) {
    options = TrialOptions();
    std::optional<std::string> system, lang, timeout, maxStarts, out, html;
    const VerbOptions verb = {
        {{"--system", &system}, {"--lang", &lang}, {"--timeout", &timeout},
         {"--max-starts", &maxStarts}, {"--out", &out}, {"--html", &html}},
        {{"--keep", &options.keep}, {"--json", &options.json}},
        "disc folder or image",
    };
    if (!ParseVerbOptions(args, verb, options.disc, error)) return false;
    options.profile = SystemOption(system, error);
    if (!options.profile) return false;
    options.langId = kDefaultLangId;
    if (!LanguageOption(lang, options.langId, error)) return false;
    options.localeName = LocaleNameFor(options.langId);
    if (options.localeName.empty()) {
        // Wine takes the system language from the Unix locale, which is named, not numbered.
        error = "a trial sets the system language through its locale, and LANGID " +
                FormatLangId(options.langId) + " has no locale name here; name one (de-DE)";
        return false;
    }
    if (timeout && !ParseCount(*timeout, 1, 24 * 3600, options.timeoutSeconds)) {
        error = "--timeout needs a number of seconds from 1 to 86400, not '" + *timeout + "'";
        return false;
    }
    // One start is every launcher's; the second is the first sign of a loop.
    if (maxStarts && !ParseCount(*maxStarts, 2, 100000, options.maxStarts)) {
        error = "--max-starts needs a number from 2 on, not '" + *maxStarts + "'";
        return false;
    }
    return PathOption(out, "--out", "folder", options.outDir, error) &&
           PathOption(html, "--html", "file", options.htmlFile, error);
}

std::string UnixLocaleFor(const std::string& localeName) {
    const std::size_t dash = localeName.find('-');
    const std::string language = localeName.substr(0, dash);
    std::string region;
    if (dash != std::string::npos) {
        region = localeName.substr(localeName.rfind('-') + 1);
        region = region.substr(0, region.find('_'));
    }
    return language + (region.empty() ? "" : "_" + region) + ".UTF-8";
}

std::vector<std::string> TrialDriverCommand(const TrialOptions& o, DiscKind kind,
                                            const std::string& absoluteDisc,
                                            const std::string& runtimeDir,
                                            const std::string& workDir,
                                            const std::string& disckit) {
    const SystemProfile& p = *o.profile;
    const VersionRecord record = ComposeVersionRecord(SystemFromProfile(p));
    std::vector<std::string> command = {
        "python3", runtimeDir + "/trial.py",
        "--disc", absoluteDisc,
        "--profile", p.name,
        "--title", p.title,
        "--record", std::to_string(record.platformId), std::to_string(record.majorVersion),
        std::to_string(record.minorVersion), std::to_string(record.buildNumber),
        std::to_string(record.productType),
        "--extended-query", p.extendedQuery ? "1" : "0",
        "--bits", std::to_string(p.bits),
        "--prefix", WinePrefixKind(p),
        "--wine-settings", p.wineSettings,
        "--lang-id", FormatLangId(o.langId),
        "--locale-name", o.localeName,
        "--lc-all", UnixLocaleFor(o.localeName),
        "--launcher", names::kLauncher,
        "--browser", names::kBrowser,
        "--browser-process", names::kBrowserProcess,
        "--refusal-caption", texts::kRefusalCaption,
        "--refusal-text", texts::kRefusal,
        "--timeout", std::to_string(o.timeoutSeconds),
        "--max-starts", std::to_string(o.maxStarts),
        "--work", workDir,
        "--tools", runtimeDir + "/tools",
        "--disckit", disckit,
    };
    if (kind == DiscKind::Image) command.push_back("--image");
    if (!o.outDir.empty()) command.insert(command.end(), {"--out", o.outDir});
    if (o.keep) command.push_back("--keep");
    if (o.json) command.push_back("--json");
    if (!o.htmlFile.empty()) command.insert(command.end(), {"--html", o.htmlFile});
    return command;
}
