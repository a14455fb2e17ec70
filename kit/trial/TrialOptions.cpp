#include "kit/trial/TrialOptions.h"

#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <fstream>
#include <optional>
#include <system_error>

#include "app/LauncherApp.h"
#include "kit/common/Options.h"
#include "kit/common/Utf8.h"
#include "kit/windows/Languages.h"
#include "kit/windows/WindowsText.h"

namespace {

// The command line's values, where the rows put them.
struct TrialValues {
    std::optional<std::string> system, lang, timeout, maxStarts, out, html, expect, junit;
    bool keep = false, json = false;
};

const OptionRow kTrialRows[] = {
    {"--system", "NAME",
     "The Windows that Wine presents, a name of the profile table; the trial refuses one Wine "
     "cannot present exactly.",
     ValueKind::System, nullptr, kDefaultProfile, Into<&TrialValues::system>},
    {"--lang", "ID",
     "The system language, a LANGID or a locale name, set through the Unix locale.",
     ValueKind::Language, nullptr, "en-US", Into<&TrialValues::lang>},
    {"--timeout", "SECONDS",
     "How long the launcher is watched at the most (1 to 86400).",
     ValueKind::Free, nullptr, "60", Into<&TrialValues::timeout>},
    {"--max-starts", "N",
     "After this many starts of the browser the launcher counts as one that keeps starting it, "
     "and is ended (2 or more).",
     ValueKind::Free, nullptr, "10", Into<&TrialValues::maxStarts>},
    {"--out", "DIR",
     "Where the screenshots go: a new or empty folder of the user's.",
     ValueKind::Folder, nullptr, "a new temporary folder", Into<&TrialValues::out>},
    {"--keep", nullptr, "Keep the trial's folder: the prefix, Wine's trace and the image.",
     ValueKind::Free, nullptr, nullptr, Into<&TrialValues::keep>},
    {"--json", nullptr, "Write the report as JSON.",
     ValueKind::Free, nullptr, nullptr, Into<&TrialValues::json>},
    {"--html", "FILE",
     "Also write the report, with the timeline and every screenshot, as one self-contained HTML "
     "file (styles and pictures inside, no script, nothing fetched), to look at or pass on.",
     ValueKind::File, nullptr, nullptr, Into<&TrialValues::html>},
    {"--expect", "OUTCOME",
     "What the run is to come to, one of: " DISCKIT_OUTCOME_NAMES ". The trial exits with 0 "
     "when it does (and check finds no error on the disc), 1 when not.",
     ValueKind::Choices, DISCKIT_OUTCOME_NAMES,
     "what the launcher's gate decides: browser-running on the systems it supports, refused on "
     "the others",
     Into<&TrialValues::expect>},
    {"--junit", "FILE",
     "Also write the verdict as JUnit XML test results: one test case, failing where the trial "
     "exits with 1. Written whole or not at all.",
     ValueKind::File, nullptr, nullptr, Into<&TrialValues::junit>},
};

bool ParseCount(const std::string& text, std::uint64_t min, std::uint64_t max, unsigned& value) {
    std::uint64_t n = 0;
    if (!ParseUnsigned(text, n) || n < min || n > max) return false;
    value = static_cast<unsigned>(n);
    return true;
}

bool IsUtf8(const std::string& text) {
    std::u32string decoded;
    return DecodeUtf8(text, decoded);
}

}  // namespace

extern const OptionTable kTrialOptions = DISCKIT_OPTION_TABLE(kTrialRows);

bool ParseTrialArgs(const Args& args, TrialOptions& options, std::string& error) {
    options = TrialOptions();
    TrialValues v;
    if (!ParseVerbOptions(args, kTrialOptions, &v, "disc folder or image", options.disc, error)) {
        return false;
    }
    options.keep = v.keep;
    options.json = v.json;
    options.profile = SystemOption(v.system, error);
    if (!options.profile) return false;
    options.expected = GateOutcome(*options.profile);
    if (v.expect) {
        if (!ParseOutcome(*v.expect, options.expected)) {
            error = "--expect needs an outcome (" + OutcomeNames() + "), not '" + *v.expect + "'";
            return false;
        }
        options.expectGiven = true;
    }
    options.langId = kDefaultLangId;
    if (!LanguageOption(v.lang, options.langId, error)) return false;
    options.localeName = LocaleNameFor(options.langId);
    if (options.localeName.empty()) {
        // Wine takes the system language from the Unix locale, which is named, not numbered.
        error = "a trial sets the system language through its locale, and LANGID " +
                FormatLangId(options.langId) + " has no locale name here; name one (de-DE)";
        return false;
    }
    if (v.timeout && !ParseCount(*v.timeout, 1, 24 * 3600, options.timeoutSeconds)) {
        error = "--timeout needs a number of seconds from 1 to 86400, not '" + *v.timeout + "'";
        return false;
    }
    // One start is every launcher's; the second is the first sign of a loop.
    if (v.maxStarts && !ParseCount(*v.maxStarts, 2, 100000, options.maxStarts)) {
        error = "--max-starts needs a number from 2 on, not '" + *v.maxStarts + "'";
        return false;
    }
    return PathOption(v.out, "--out", "folder", options.outDir, error) &&
           PathOption(v.html, "--html", "file", options.htmlFile, error) &&
           PathOption(v.junit, "--junit", "file", options.junitFile, error);
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

bool TrialRequest(const TrialOptions& o, DiscKind kind, const std::string& absoluteDisc,
                  const std::string& runtimeDir, const std::string& workDir,
                  const std::string& disckit, Json& request, std::string& error) {
    const std::string tools = runtimeDir + "/tools";
    for (const std::string* path :
         {&absoluteDisc, &o.outDir, &o.htmlFile, &workDir, &tools, &disckit}) {
        if (!IsUtf8(*path)) {
            error = "the trial takes UTF-8 paths only, not '" + *path + "'";
            return false;
        }
    }
    const SystemProfile& p = *o.profile;
    const VersionRecord record = ComposeVersionRecord(SystemFromProfile(p));
    const auto pathOrNull = [](const std::string& path) {
        return path.empty() ? Json() : Json(path);
    };
    request = Json::Object();
    request.Set("disc", absoluteDisc);
    request.Set("image", kind == DiscKind::Image);
    request.Set("profile", p.name);
    request.Set("title", p.title);
    Json& fields = request.Set("record", Json::Array());
    const std::initializer_list<std::uint32_t> recordFields = {
        record.platformId, record.majorVersion, record.minorVersion, record.buildNumber,
        record.productType};
    for (const std::uint32_t field : recordFields) {
        fields.Push(static_cast<std::uint64_t>(field));
    }
    request.Set("extended_query", p.extendedQuery);
    request.Set("bits", static_cast<int>(p.bits));
    request.Set("prefix", WinePrefixKind(p));
    request.Set("wine_settings", p.wineSettings);
    request.Set("lang_id", FormatLangId(o.langId));
    request.Set("locale_name", o.localeName);
    request.Set("lc_all", UnixLocaleFor(o.localeName));
    request.Set("launcher", names::kLauncher);
    request.Set("browser", names::kBrowser);
    request.Set("browser_process", names::kBrowserProcess);
    request.Set("refusal_caption", texts::kRefusalCaption);
    request.Set("refusal_text", texts::kRefusal);
    request.Set("timeout", o.timeoutSeconds);
    request.Set("max_starts", o.maxStarts);
    request.Set("out", pathOrNull(o.outDir));
    request.Set("keep", o.keep);
    request.Set("json", o.json);
    request.Set("html", pathOrNull(o.htmlFile));
    request.Set("work", workDir);
    request.Set("tools", tools);
    request.Set("disckit", disckit);
    return true;
}

std::vector<std::string> TrialDriverCommand(const std::string& runtimeDir,
                                            const std::string& requestFile) {
    return {"python3", runtimeDir + "/trial.py", "--request", requestFile};
}
