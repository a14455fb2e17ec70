#include "kit/simulate/Simulation.h"

#include <algorithm>
#include <set>

#include "app/LauncherApp.h"
#include "inspect/Language.h"
#include "kit/windows/CodePage.h"
#include "kit/windows/Languages.h"
#include "process/Terminate.h"

namespace {

std::string LanguageLabel(std::uint16_t langId) {
    const std::string name = LocaleNameFor(langId);
    return name.empty() ? FormatLangId(langId) : name;
}

}  // namespace

const char* SimResultName(SimResult result) {
    switch (result) {
        case SimResult::BrowserRunning: return "browser-running";
        case SimResult::Refused: return "refused";
        case SimResult::TurnedAway: return "turned-away";
        case SimResult::LoopsForever: return "loops-forever";
        case SimResult::Nothing: return "nothing";
    }
    return "?";
}

bool CleanRun(const SimRun& run) {
    return run.result == SimResult::BrowserRunning && run.faults.empty();
}

Outcome OutcomeOf(const SimRun& run) {
    switch (run.result) {
        case SimResult::Refused: return Outcome::Refused;
        case SimResult::TurnedAway: return Outcome::TurnedAway;
        case SimResult::LoopsForever: return Outcome::KeepsStartingBrowser;
        case SimResult::Nothing: return Outcome::BrowserNotRunning;
        case SimResult::BrowserRunning: break;
    }
    const bool box = std::any_of(run.effects.begin(), run.effects.end(),
                                 [](const SimEffect& e) { return e.kind == EffectKind::Box; });
    return box ? Outcome::Box : Outcome::BrowserRunning;
}

SimRun RunSimulation(const SimConfig& config, const SimDisc& disc,
                     const std::vector<ImageFacts>* images) {
    SimRun run;
    run.config = config;
    SimPlatform sim(config, disc, images);
    LauncherApp app(sim);
    bool turnedAway = false;
    bool stopped = false;
    try {
        turnedAway = app.InitInstance();
    } catch (const SimulationStop&) {
        stopped = true;  // the launcher would go on repeating itself
    }
    run.effects = sim.Effects();
    run.ms = sim.ClockMs();
    run.osCode = app.OsCode();
    run.serverFlag = app.ServerFlag();
    run.installDirInCodePage = !sim.ModulePathNotInCodePage();
    run.shortInstallDirUsed = sim.ShortPathUsed();
    for (const SimProcess& p : sim.Processes()) {
        if (p.startedByRun) run.running.push_back({sim.ToUtf8(p.exeName), p.id});
    }
    run.files = sim.WrittenFiles();
    run.faults = sim.Faults();
    for (const SimEffect& e : run.effects) {
        const std::string exe = e.program.substr(EndOfLastBackslash(sim, e.program));
        if (e.kind == EffectKind::Start && NamesEqualNoCase(exe, names::kBrowser)) {
            run.browserRefused = e.ok ? std::string() : e.error;
        }
    }

    const bool browserRuns = std::any_of(
        sim.Processes().begin(), sim.Processes().end(),
        [](const SimProcess& p) { return NamesEqualNoCase(p.exeName, names::kBrowserProcess) != 0; });
    const bool refusalShown = !run.effects.empty() && run.effects.back().kind == EffectKind::Box &&
                              run.effects.back().text == texts::kRefusal &&
                              run.effects.back().caption == texts::kRefusalCaption;
    if (turnedAway) {
        run.result = SimResult::TurnedAway;
    } else if (stopped) {
        run.result = SimResult::LoopsForever;
        run.exited = false;
        run.repeatFrom = sim.RepeatFrom();
        run.repeatPeriodMs = sim.RepeatPeriodMs();
    } else if (refusalShown) {
        run.result = SimResult::Refused;
    } else if (browserRuns) {
        run.result = SimResult::BrowserRunning;
    } else {
        run.result = SimResult::Nothing;
    }
    if (run.result == SimResult::BrowserRunning || run.result == SimResult::LoopsForever) {
        // The launcher's own choice, made again on the system as the run left it.
        run.languageFolder = sim.ToUtf8(WithoutBackslash(app.GetLanguageFolder()));
    }
    return run;
}

// --- The matrix -------------------------------------------------------------------------------

std::vector<MatrixLanguage> MatrixLanguages(const SimDisc& disc) {
    std::vector<MatrixLanguage> languages;
    const std::string pages = WithoutBackslash(names::kPagesFolder);
    std::set<std::string> seen;  // folders, as the table spells them
    const LanguageRow* rows = LanguageTable();
    for (std::size_t i = 0; i < LanguageTableSize(); ++i) {
        const std::string folder = WithoutBackslash(rows[i].folder);
        if (seen.count(folder) != 0) continue;
        SimDisc::Entry entry;
        if (!disc.Find({pages, folder}, entry) || !entry.directory) continue;
        seen.insert(folder);
        // The first of the folder's languages with a plain name (de-DE rather than a sort order).
        std::uint16_t chosen = rows[i].langId;
        for (std::size_t k = i; k < LanguageTableSize(); ++k) {
            if (rows[k].folder == std::string(rows[i].folder) && LocaleNameFor(rows[k].langId).size() == 5) {
                chosen = rows[k].langId;
                break;
            }
        }
        languages.push_back({chosen, LanguageLabel(chosen)});
    }
    // And one the table does not list: US English, unless the table ever lists it.
    auto listed = [&](std::uint16_t id) {
        for (std::size_t i = 0; i < LanguageTableSize(); ++i) {
            if (rows[i].langId == id) return true;
        }
        return false;
    };
    std::uint16_t unlisted = 0x0409;
    for (std::size_t i = 0; listed(unlisted) && i < LocaleNameCount(); ++i) {
        unlisted = LocaleNames()[i].langId;
    }
    languages.push_back({unlisted, LanguageLabel(unlisted)});
    return languages;
}

Matrix RunMatrix(const SimConfig& base, bool fixedCodePage, const SimDisc& disc,
                 const std::vector<ImageFacts>* images, const Expectations& expectations) {
    Matrix m;
    m.languages = MatrixLanguages(disc);
    for (std::size_t p = 0; p < SystemProfileCount(); ++p) {
        MatrixRow row;
        row.profile = SystemProfiles()[p].name;
        const Outcome expected = expectations.For(SystemProfiles()[p]);
        for (const MatrixLanguage& l : m.languages) {
            SimConfig c = base;
            c.system = SystemFromProfile(SystemProfiles()[p]);
            c.langId = l.langId;
            if (!fixedCodePage) c.codePage = AnsiCodePageForLangId(l.langId);
            const SimRun run = RunSimulation(c, disc, images);
            const Outcome outcome = OutcomeOf(run);
            const bool asExpected = AsExpected(expected, outcome, !run.faults.empty());
            m.asExpected = m.asExpected && asExpected;
            row.cells.push_back(
                {run.result, run.languageFolder, run.faults.size(), run, outcome, expected, asExpected});
        }
        m.rows.push_back(std::move(row));
    }
    return m;
}
