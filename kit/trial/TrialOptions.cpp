#include "kit/trial/TrialOptions.h"

#include <algorithm>
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
    std::optional<std::string> system, lang, timeout, maxStarts, out, html, systems, langs, jobs,
        shard, expect, junit;
    bool keep = false, json = false, matrix = false, quiet = false;
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
     ValueKind::Free, nullptr, "60", Into<&TrialValues::timeout>, ToRequestAsNumber("timeout")},
    {"--max-starts", "N",
     "After this many starts of the browser the launcher counts as one that keeps starting it, "
     "and is ended (2 or more).",
     ValueKind::Free, nullptr, "10", Into<&TrialValues::maxStarts>,
     ToRequestAsNumber("max_starts")},
    {"--out", "DIR",
     "Where the screenshots go: a new or empty folder of the user's. Without it they are kept "
     "only inside the --json and --html reports, and the trial leaves nothing behind.",
     ValueKind::Folder, nullptr, nullptr, Into<&TrialValues::out>, ToRequest("out")},
    {"--keep", nullptr, "Keep the trial's folder: the prefix, Wine's trace and the image.",
     ValueKind::Free, nullptr, nullptr, Into<&TrialValues::keep>, ToRequest("keep")},
    {"--json", nullptr, "Write the report as JSON.",
     ValueKind::Free, nullptr, nullptr, Into<&TrialValues::json>},
    {"--quiet", nullptr,
     "Say nothing on stderr but errors: not the long steps (making a template, pressing the "
     "disc, starting Wine, waiting for the browser) as they begin.",
     ValueKind::Free, nullptr, nullptr, Into<&TrialValues::quiet>},
    {"--html", "FILE",
     "Also write the report, with the timeline and every screenshot, as one self-contained HTML "
     "file (styles and pictures inside, no script, nothing fetched), to look at or pass on.",
     ValueKind::File, nullptr, nullptr, Into<&TrialValues::html>},
    {"--matrix", nullptr,
     "Run every (system, language) cell as a trial of its own, several at once, and report them "
     "as one grid beside what simulate predicts for each cell.",
     ValueKind::Free, nullptr, nullptr, Into<&TrialValues::matrix>},
    {"--systems", "LIST",
     "With --matrix: the systems, comma-separated names of the profile table.",
     ValueKind::Free, nullptr, "the systems the launcher supports", Into<&TrialValues::systems>},
    {"--langs", "LIST",
     "With --matrix: the languages, comma-separated LANGIDs or locale names.",
     ValueKind::Free, nullptr, "the disc's languages and en-US", Into<&TrialValues::langs>},
    {"--jobs", "N",
     "With --matrix: how many trials run at once (1 to 64).",
     ValueKind::Free, nullptr, "the number of processors", Into<&TrialValues::jobs>},
    {"--shard", "K/N",
     "With --matrix: run only the K-th of N stable parts of the cells, for disckit merge to join.",
     ValueKind::Free, nullptr, "the whole matrix", Into<&TrialValues::shard>},
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
    if (!ParseVerbCommand("trial", args, kTrialOptions, &v, "disc folder or image", options.disc,
                          options.project, error)) {
        return false;
    }
    options.keep = v.keep;
    options.json = v.json;
    options.progress = v.quiet ? "quiet" : "lines";
    options.profile = SystemOption(v.system, error);
    if (!options.profile) return false;
    options.expected = options.project.Expected().For(*options.profile);
    if (v.expect && v.matrix) {
        error = "--expect is for one run; a matrix judges each system by the project's [expect], "
                "or by what the launcher's gate decides";
        return false;
    }
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
    if (!PathOption(v.out, "--out", "folder", options.outDir, error) ||
        !PathOption(v.html, "--html", "file", options.htmlFile, error) ||
        !PathOption(v.junit, "--junit", "file", options.junitFile, error) ||
        !RequestMembers(kTrialOptions, &v, options.requestMembers, error)) {
        return false;
    }
    options.matrix = v.matrix;
    if (!v.matrix) {
        for (const auto* given : {&v.systems, &v.langs, &v.jobs, &v.shard}) {
            if (*given) {
                error = "--systems, --langs, --jobs and --shard go with --matrix";
                return false;
            }
        }
        return true;
    }
    if (v.system || v.lang) {
        error = "--matrix runs every system and language itself: give --systems and --langs "
                "instead of --system and --lang";
        return false;
    }
    if (v.systems) {
        for (const std::string& name : SplitList(*v.systems)) {
            const SystemProfile* p = FindSystemProfile(name);
            if (!p) {
                error = "no system '" + name + "' in --systems; the systems are: " +
                        SystemProfileNames();
                return false;
            }
            if (std::find(options.systems.begin(), options.systems.end(), p) == options.systems.end())
                options.systems.push_back(p);
        }
        if (options.systems.empty()) {
            error = "--systems needs at least one system";
            return false;
        }
    }
    if (v.langs) {
        for (const std::string& name : SplitList(*v.langs)) {
            std::uint16_t id = 0;
            if (!ParseLanguage(name, id)) {
                error = "--langs needs LANGIDs (0x0407 or 1031) or locale names (de-DE), not '" +
                        name + "'";
                return false;
            }
            if (LocaleNameFor(id).empty()) {
                error = "a trial sets the system language through its locale, and LANGID " +
                        FormatLangId(id) + " in --langs has no locale name here; name one (de-DE)";
                return false;
            }
            if (std::find(options.langs.begin(), options.langs.end(), id) == options.langs.end())
                options.langs.push_back(id);
        }
        if (options.langs.empty()) {
            error = "--langs needs at least one language";
            return false;
        }
    }
    if (v.jobs && !ParseCount(*v.jobs, 1, 64, options.jobs)) {
        error = "--jobs needs a number from 1 to 64, not '" + *v.jobs + "'";
        return false;
    }
    return !v.shard || ParseShard(*v.shard, options.shard, options.shards, error);
}

std::vector<std::string> SplitList(const std::string& list) {
    std::vector<std::string> items;
    std::size_t from = 0;
    while (from <= list.size()) {
        const std::size_t comma = std::min(list.find(',', from), list.size());
        std::string item = list.substr(from, comma - from);
        while (!item.empty() && item.front() == ' ') item.erase(0, 1);
        while (!item.empty() && item.back() == ' ') item.pop_back();
        if (!item.empty()) items.push_back(item);
        from = comma + 1;
    }
    return items;
}

bool ParseShard(const std::string& text, unsigned& shard, unsigned& shards, std::string& error) {
    const std::size_t slash = text.find('/');
    std::uint64_t k = 0, n = 0;
    if (slash == std::string::npos || !ParseUnsigned(text.substr(0, slash), k) ||
        !ParseUnsigned(text.substr(slash + 1), n) || n < 1 || n > 10000 || k < 1 || k > n) {
        error = "--shard needs K/N with 1 <= K <= N <= 10000, not '" + text + "'";
        return false;
    }
    shard = static_cast<unsigned>(k);
    shards = static_cast<unsigned>(n);
    return true;
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
                  const std::string& runtimeDir, const std::string& workDir, Json& request,
                  std::string& error) {
    const std::string tools = runtimeDir + "/tools";
    std::vector<const std::string*> texts = {&absoluteDisc, &workDir, &tools};
    for (const auto& member : o.requestMembers) {
        if (member.second.kind() == Json::Kind::String) texts.push_back(&member.second.text());
    }
    for (const std::string* path : texts) {
        if (!IsUtf8(*path)) {
            error = "the trial takes UTF-8 paths only, not '" + *path + "'";
            return false;
        }
    }
    const SystemProfile& p = *o.profile;
    const VersionRecord record = ComposeVersionRecord(SystemFromProfile(p));
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
    // The options the driver uses, each where its row says.
    for (const auto& member : o.requestMembers) request.Set(member.first, member.second);
    request.Set("work", workDir);
    request.Set("tools", tools);
    request.Set("progress", o.progress);
    return true;
}

std::vector<std::string> TrialDriverCommand(const std::string& runtimeDir,
                                            const std::string& requestFile) {
    // The system's own Python, whose packages the driver needs (python3-seccomp), and which
    // starts at once: a python3 earlier on PATH may be a version manager's shim that costs
    // seconds per start, or an interpreter without those packages.
    std::error_code ec;
    const char* python = std::filesystem::exists(kSystemPython, ec) ? kSystemPython : "python3";
    return {python, runtimeDir + "/trial.py", "--request", requestFile};
}
