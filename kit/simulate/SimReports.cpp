#include "kit/simulate/SimReports.h"

#include <algorithm>
#include <iomanip>
#include <ostream>
#include <sstream>

#include "app/LauncherApp.h"
#include "inspect/Language.h"
#include "kit/common/JUnit.h"
#include "kit/windows/CodePage.h"
#include "kit/windows/Languages.h"
#include "kit/windows/Profiles.h"

namespace {

// Simulated time in seconds: a whole number whenever it is one (sleeps are whole seconds).
Json Seconds(std::uint64_t ms) {
    if (ms % 1000 == 0) return Json(static_cast<std::uint64_t>(ms / 1000));
    return Json(static_cast<double>(ms) / 1000.0);
}

std::string SecondsText(std::uint64_t ms) {
    std::ostringstream s;
    if (ms % 1000 == 0) {
        s << ms / 1000;
    } else {
        s << std::fixed << std::setprecision(3) << static_cast<double>(ms) / 1000.0;
    }
    return s.str();
}

// Text in double quotes, control characters shown as \xNN so that nothing hides in it.
std::string Quoted(const std::string& utf8) {
    std::string out = "\"";
    for (char c : utf8) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) {
            const char* hex = "0123456789ABCDEF";
            out += "\\x";
            out += hex[b >> 4];
            out += hex[b & 0xF];
        } else {
            out += c;
        }
    }
    return out + "\"";
}

const char* MediaName(SimMedia media) { return media == SimMedia::ReadOnly ? "readonly" : "writable"; }
const char* BrowserName(SimBrowser b) { return b == SimBrowser::Appears ? "appears" : "never"; }

std::string SystemLine(const SimSystem& s) {
    std::ostringstream line;
    line << s.title << " (" << s.profile << (s.overridden ? ", changed" : "") << "): version "
         << s.majorVersion << '.' << s.minorVersion << '.' << s.build << ", platform "
         << s.platformId << ", product type " << static_cast<unsigned>(s.productType) << ", "
         << s.bits << "-bit" << (s.extendedQuery ? "" : ", basic version query only");
    return line.str();
}

}  // namespace

// --- For people -------------------------------------------------------------------------------

namespace {

void PrintEffect(const SimEffect& e, int codePage, std::ostream& out) {
    auto text = [codePage](const std::string& ansi) { return AnsiToUtf8(codePage, ansi); };
    const std::string indent(21, ' ');
    out << std::setw(6) << SecondsText(e.timeMs) << " s  " << std::left << std::setw(11)
        << EffectKindName(e.kind) << std::right;
    const std::string failed = e.ok ? std::string() : ": failed (" + e.error + ")";
    switch (e.kind) {
        case EffectKind::Box:
            out << Quoted(text(e.text)) << ", caption " << Quoted(text(e.caption)) << '\n';
            break;
        case EffectKind::Start:
            out << text(e.program) << failed << '\n'
                << indent << "command line: " << text(e.commandLine) << '\n';
            break;
        case EffectKind::Sleep:
            out << e.ms << " ms\n";
            break;
        case EffectKind::Copy:
            out << text(e.source) << " -> " << text(e.path);
            if (e.ok) {
                out << " (" << e.size << " bytes" << (e.readOnly ? ", read-only" : "") << ")\n";
            } else {
                out << failed << '\n';
            }
            break;
        case EffectKind::Write:
            out << text(e.path) << failed << " (" << e.size << " bytes): " << Quoted(text(e.content))
                << '\n';
            break;
        case EffectKind::Delete:
            out << text(e.path) << failed << '\n';
            break;
        case EffectKind::Attributes:
            out << text(e.path) << (e.ok ? ": no longer read-only" : failed) << '\n';
            break;
        case EffectKind::Terminate:
            out << text(e.processName) << " (process " << e.processId << ")\n";
            break;
        case EffectKind::Load:
            out << text(e.path) << (e.ok ? ": loaded" : failed) << '\n';
            break;
    }
}

}  // namespace

void PrintRun(const SimRun& run, const std::string& discLabel, std::ostream& out) {
    const SimConfig& c = run.config;
    const int cp = c.codePage;
    out << "System    " << SystemLine(c.system) << '\n'
        << "Language  " << FormatLangId(c.langId);
    const std::string locale = LocaleNameFor(c.langId);
    if (!locale.empty()) out << ' ' << locale;
    out << ", code page " << cp << '\n'
        << "Disc      " << discLabel << " as " << c.installDir << ", "
        << (c.media == SimMedia::ReadOnly ? "read-only" : "writable") << " media; the controls' class is "
        << (c.registered ? "" : "not ") << "registered; the browser "
        << (c.browser == SimBrowser::Appears ? "appears once started" : "never shows up") << '\n';
    if (c.instanceRunning) out << "          another launcher of the same file is running\n";
    if (run.shortInstallDirUsed) {
        out << "          code page " << cp << " cannot hold the folder's name: the launcher works "
            << "under its short name " << c.shortInstallDir << '\n';
    }
    out << '\n';

    for (std::size_t i = 0; i < run.effects.size(); ++i) {
        if (run.result == SimResult::LoopsForever && run.repeatPeriodMs != 0 && i == run.repeatFrom &&
            i != 0) {
            out << "        -- from here on the same pass repeats every "
                << SecondsText(run.repeatPeriodMs) << " s --\n";
        }
        PrintEffect(run.effects[i], cp, out);
    }
    if (run.effects.empty()) out << "        (no effects)\n";
    out << '\n';

    out << "Outcome   " << SimResultName(run.result) << ": ";
    switch (run.result) {
        case SimResult::BrowserRunning:
            out << "the browser runs on the pages in " << names::kPagesFolder << run.languageFolder
                << "; the launcher exits with code 0 after " << SecondsText(run.ms) << " s\n";
            break;
        case SimResult::Refused:
            out << "the system is not supported (OsCode " << static_cast<unsigned>(run.osCode)
                << ", ServerFlag " << static_cast<unsigned>(run.serverFlag)
                << "); the launcher exits with code 0 after " << SecondsText(run.ms) << " s\n";
            break;
        case SimResult::TurnedAway:
            out << "another launcher runs, so this one exits at once with code 0, doing nothing\n";
            break;
        case SimResult::LoopsForever:
            out << "the browser (" << names::kPagesFolder << run.languageFolder << ") never shows up as "
                << names::kBrowserProcess;
            if (!run.browserRefused.empty()) out << " (" << run.browserRefused << ")";
            out << ", so the launcher ";
            if (run.repeatPeriodMs != 0) {
                out << "starts it again every " << SecondsText(run.repeatPeriodMs) << " s and ";
            }
            out << "never exits (simulation stopped at " << SecondsText(run.ms) << " s)\n";
            break;
        case SimResult::Nothing:
            if (!run.installDirInCodePage) {
                out << "code page " << cp << " cannot hold the folder " << c.installDir;
                if (c.shortInstallDir.empty()) {
                    out << ", and its short (8.3) name is the volume's own, which the simulation "
                           "cannot know (--short-install-dir gives it, as dir /x shows it; without "
                           "one the volume is taken to keep no short names)";
                } else {
                    out << " nor its short name " << c.shortInstallDir;
                }
                out << ", so the launcher cannot find its own folder and ";
            }
            out << "exits with code 0 after " << SecondsText(run.ms) << " s, doing nothing\n";
            break;
    }
    for (const std::string& fault : run.faults) out << "Fault     " << fault << '\n';
    if (!run.running.empty()) {
        out << "Running  ";
        for (const SimRunningProcess& p : run.running) out << ' ' << p.name << " (" << p.id << ')';
        out << '\n';
    }
    for (const SimFile& f : run.files) {
        out << "File      " << AnsiToUtf8(cp, f.path) << ", " << f.size << " bytes"
            << (f.readOnly ? ", read-only" : "") << ": ";
        if (f.hasContent) {
            out << Quoted(AnsiToUtf8(cp, f.content)) << '\n';
        } else {
            out << "copy of " << AnsiToUtf8(cp, f.source) << '\n';
        }
    }
}

// --- As JSON ----------------------------------------------------------------------------------

Json SystemToJson(const SimConfig& c) {
    Json s = Json::Object();
    s.Set("profile", c.system.profile);
    s.Set("title", c.system.title);
    s.Set("changed", c.system.overridden);
    s.Set("platformId", static_cast<std::uint64_t>(c.system.platformId));
    s.Set("majorVersion", static_cast<std::uint64_t>(c.system.majorVersion));
    s.Set("minorVersion", static_cast<std::uint64_t>(c.system.minorVersion));
    s.Set("build", static_cast<std::uint64_t>(c.system.build));
    s.Set("buildField", static_cast<std::uint64_t>(ComposeVersionRecord(c.system).buildNumber));
    s.Set("productType", static_cast<unsigned>(c.system.productType));
    s.Set("bits", c.system.bits);
    s.Set("extendedVersionQuery", c.system.extendedQuery);
    s.Set("langId", FormatLangId(c.langId));
    s.Set("locale", LocaleNameFor(c.langId));
    s.Set("codePage", c.codePage);
    s.Set("media", MediaName(c.media));
    s.Set("registered", c.registered);
    s.Set("browser", BrowserName(c.browser));
    s.Set("installDir", c.installDir);
    s.Set("shortInstallDir", c.shortInstallDir);
    s.Set("instanceRunning", c.instanceRunning);
    return s;
}

Json RunToJson(const SimRun& run, const std::string& discLabel) {
    const int cp = run.config.codePage;
    auto text = [cp](const std::string& ansi) { return Json(AnsiToUtf8(cp, ansi)); };
    Json root = Json::Object();
    root.Set("disc", discLabel);
    root.Set("system", SystemToJson(run.config));
    Json& effects = root.Set("effects", Json::Array());
    for (const SimEffect& e : run.effects) {
        Json j = Json::Object();
        j.Set("kind", EffectKindName(e.kind));
        j.Set("time", Seconds(e.timeMs));
        switch (e.kind) {
            case EffectKind::Box:
                j.Set("text", text(e.text));
                j.Set("caption", text(e.caption));
                break;
            case EffectKind::Start:
                j.Set("program", text(e.program));
                j.Set("commandLine", text(e.commandLine));
                j.Set("ok", e.ok);
                if (e.ok) j.Set("processId", static_cast<std::uint64_t>(e.processId));
                break;
            case EffectKind::Sleep:
                j.Set("ms", static_cast<std::uint64_t>(e.ms));
                break;
            case EffectKind::Copy:
                j.Set("from", text(e.source));
                j.Set("to", text(e.path));
                j.Set("ok", e.ok);
                if (e.ok) {
                    j.Set("size", e.size);
                    j.Set("readOnly", e.readOnly);
                }
                break;
            case EffectKind::Write:
                j.Set("path", text(e.path));
                j.Set("ok", e.ok);
                j.Set("size", e.size);
                j.Set("content", text(e.content));
                break;
            case EffectKind::Attributes:
                j.Set("path", text(e.path));
                j.Set("ok", e.ok);
                j.Set("readOnly", !e.ok);
                break;
            case EffectKind::Delete:
            case EffectKind::Load:
                j.Set("path", text(e.path));
                j.Set("ok", e.ok);
                break;
            case EffectKind::Terminate:
                j.Set("process", text(e.processName));
                j.Set("processId", static_cast<std::uint64_t>(e.processId));
                break;
        }
        if (!e.ok) j.Set("error", e.error);
        effects.Push(std::move(j));
    }
    Json& outcome = root.Set("outcome", Json::Object());
    outcome.Set("result", SimResultName(run.result));
    outcome.Set("exitCode", run.exited ? Json(0) : Json());
    outcome.Set("seconds", Seconds(run.ms));
    outcome.Set("osCode", static_cast<unsigned>(run.osCode));
    outcome.Set("serverFlag", static_cast<unsigned>(run.serverFlag));
    if (!run.languageFolder.empty()) outcome.Set("languageFolder", run.languageFolder);
    if (!run.browserRefused.empty()) outcome.Set("browserRefused", run.browserRefused);
    Json& faults = outcome.Set("faults", Json::Array());
    for (const std::string& fault : run.faults) faults.Push(Json(fault));
    if (!run.installDirInCodePage) outcome.Set("installDirInCodePage", false);
    if (run.result == SimResult::LoopsForever && run.repeatPeriodMs != 0) {
        outcome.Set("repeatsFromEffect", static_cast<std::uint64_t>(run.repeatFrom));
        outcome.Set("repeatsEverySeconds", Seconds(run.repeatPeriodMs));
    }
    Json& running = root.Set("running", Json::Array());
    for (const SimRunningProcess& p : run.running) {
        Json j = Json::Object();
        j.Set("name", p.name);
        j.Set("processId", static_cast<std::uint64_t>(p.id));
        running.Push(std::move(j));
    }
    Json& files = root.Set("files", Json::Array());
    for (const SimFile& f : run.files) {
        Json j = Json::Object();
        j.Set("path", text(f.path));
        j.Set("size", f.size);
        j.Set("readOnly", f.readOnly);
        if (f.hasContent) {
            j.Set("content", text(f.content));
        } else {
            j.Set("copyOf", text(f.source));
        }
        files.Push(std::move(j));
    }
    return root;
}

// --- The matrix -------------------------------------------------------------------------------

namespace {

std::string CellText(const MatrixCell& cell) {
    switch (cell.result) {
        case SimResult::BrowserRunning: return cell.folder + (cell.faults ? "!" : "");
        case SimResult::LoopsForever: return cell.folder + "*";
        case SimResult::Refused: return "-";
        case SimResult::Nothing: return ".";
        case SimResult::TurnedAway: return "~";
    }
    return "?";
}

}  // namespace

void PrintMatrix(const Matrix& m, std::ostream& out) {
    std::size_t first = 7;
    for (const MatrixRow& row : m.rows) first = std::max(first, row.profile.size() + 2);
    std::vector<std::size_t> widths;
    for (std::size_t k = 0; k < m.languages.size(); ++k) {
        std::size_t w = m.languages[k].label.size();
        for (const MatrixRow& row : m.rows) w = std::max(w, CellText(row.cells[k]).size());
        widths.push_back(w + 1);
    }
    std::ostringstream header;
    header << std::left << std::setw(static_cast<int>(first)) << "system";
    for (std::size_t k = 0; k < m.languages.size(); ++k) {
        header << std::setw(static_cast<int>(widths[k])) << m.languages[k].label;
    }
    std::string head = header.str();
    while (!head.empty() && head.back() == ' ') head.pop_back();
    out << head << '\n';
    for (const MatrixRow& row : m.rows) {
        std::ostringstream s;
        s << std::left << std::setw(static_cast<int>(first)) << row.profile;
        for (std::size_t k = 0; k < row.cells.size(); ++k) {
            s << std::setw(static_cast<int>(widths[k])) << CellText(row.cells[k]);
        }
        std::string line = s.str();
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out << line << '\n';
    }
    out << std::right << '\n'
        << "DEU: the browser runs on the pages in " << names::kPagesFolder
        << "DEU   DEU*: started on them for ever, never "
           "seen running\n"
           "DEU!: runs, with faults (simulate that system and language to see them)\n"
           "-: refused   .: nothing done   ~: turned away\n";

    // Which systems refuse, which never see the browser, and which languages cannot even start.
    std::vector<std::string> refused, loops, faulty, nothing;
    auto any = [](const std::vector<MatrixCell>& cells, SimResult r) {
        return std::any_of(cells.begin(), cells.end(), [r](const MatrixCell& c) { return c.result == r; });
    };
    for (const MatrixRow& row : m.rows) {
        if (any(row.cells, SimResult::Refused)) refused.push_back(row.profile);
        if (any(row.cells, SimResult::LoopsForever)) loops.push_back(row.profile);
        if (std::any_of(row.cells.begin(), row.cells.end(), [](const MatrixCell& c) {
                return c.result == SimResult::BrowserRunning && c.faults != 0;
            })) {
            faulty.push_back(row.profile);
        }
    }
    for (std::size_t k = 0; k < m.languages.size(); ++k) {
        for (const MatrixRow& row : m.rows) {
            if (row.cells[k].result == SimResult::Nothing) {
                nothing.push_back(m.languages[k].label);
                break;
            }
        }
    }
    auto list = [&out](const char* what, const std::vector<std::string>& names) {
        if (names.empty()) return;
        out << what;
        for (const std::string& n : names) out << ' ' << n;
        out << '\n';
    };
    out << '\n';
    list("Refused on:", refused);
    list("The browser is never seen running on:", loops);
    list("The browser runs, with faults, on:", faulty);
    list("Nothing happens (the folder's name is not in the code page) in:", nothing);

    // What the gate judges: each system against what it was expected to come to.
    std::size_t cells = 0, unexpected = 0;
    for (const MatrixRow& row : m.rows) {
        cells += row.cells.size();
        // Per outcome seen, the languages where it was not the expected one.
        std::vector<std::pair<Outcome, std::vector<std::string>>> seen;
        for (std::size_t k = 0; k < row.cells.size(); ++k) {
            const MatrixCell& c = row.cells[k];
            if (c.asExpected) continue;
            ++unexpected;
            auto found = std::find_if(seen.begin(), seen.end(),
                                      [&](const auto& s) { return s.first == c.outcome; });
            if (found == seen.end()) found = seen.insert(seen.end(), {c.outcome, {}});
            found->second.push_back(k < m.languages.size() ? m.languages[k].label : "?");
        }
        for (const auto& s : seen) {
            const Outcome expected = row.cells.front().expected;
            out << "Not as expected: " << row.profile << ' '
                << OutcomeName(s.first)
                << (s.first == expected ? " with faults" : std::string())
                << " where " << OutcomeName(expected) << " was expected, in";
            for (const std::string& l : s.second) out << ' ' << l;
            out << '\n';
        }
    }
    if (unexpected == 0) {
        out << "As expected: all " << cells
            << " cells (the browser runs on the systems the launcher supports, the others are "
               "refused, unless told otherwise)\n";
    } else {
        out << unexpected << " of " << cells << " cells not as expected\n";
    }
}

Json MatrixToJson(const Matrix& m, const SimConfig& base, bool fixedCodePage) {
    Json root = Json::Object();
    Json& options = root.Set("options", Json::Object());
    options.Set("media", MediaName(base.media));
    options.Set("registered", base.registered);
    options.Set("browser", BrowserName(base.browser));
    options.Set("installDir", base.installDir);
    options.Set("instanceRunning", base.instanceRunning);
    if (fixedCodePage) options.Set("codePage", base.codePage);
    Json& languages = root.Set("languages", Json::Array());
    for (const MatrixLanguage& l : m.languages) {
        Json j = Json::Object();
        j.Set("langId", FormatLangId(l.langId));
        j.Set("locale", LocaleNameFor(l.langId));
        j.Set("codePage", fixedCodePage ? base.codePage : AnsiCodePageForLangId(l.langId));
        languages.Push(std::move(j));
    }
    Json& rows = root.Set("rows", Json::Array());
    for (const MatrixRow& row : m.rows) {
        Json r = Json::Object();
        r.Set("profile", row.profile);
        const SystemProfile* known = FindSystemProfile(row.profile);
        r.Set("title", known ? Json(known->title) : Json());
        Json& cells = r.Set("cells", Json::Array());
        for (const MatrixCell& c : row.cells) {
            Json j = Json::Object();
            j.Set("result", SimResultName(c.result));
            if (!c.folder.empty()) j.Set("languageFolder", c.folder);
            j.Set("faults", static_cast<std::uint64_t>(c.faults));
            j.Set("outcome", OutcomeName(c.outcome));
            j.Set("expected", OutcomeName(c.expected));
            j.Set("asExpected", c.asExpected);
            cells.Push(std::move(j));
        }
        rows.Push(std::move(r));
    }
    root.Set("asExpected", m.asExpected);
    return root;
}

std::string MatrixJUnit(const Matrix& m, const std::string& discLabel) {
    std::vector<JUnitSuite> suites;
    for (const MatrixRow& row : m.rows) {
        JUnitSuite suite;
        suite.name = "disckit simulate " + discLabel + " on " + row.profile;
        for (std::size_t k = 0; k < row.cells.size(); ++k) {
            const MatrixCell& cell = row.cells[k];
            JUnitCase c;
            c.className = "disckit.simulate." + row.profile;
            c.name = row.profile + " " + (k < m.languages.size() ? m.languages[k].label : "?");
            std::ostringstream said;
            said << OutcomeName(cell.outcome);
            if (!cell.folder.empty()) said << " (" << names::kPagesFolder << cell.folder << ")";
            for (const std::string& fault : cell.run.faults) said << "\nfault: " << fault;
            if (!cell.run.browserRefused.empty()) said << "\nthe browser: " << cell.run.browserRefused;
            c.failed = !cell.asExpected;
            if (c.failed) {
                c.failureType = OutcomeName(cell.outcome);
                c.failureMessage = std::string(OutcomeName(cell.outcome)) +
                                   (cell.outcome == cell.expected ? " with faults" : "") +
                                   ", expected " + OutcomeName(cell.expected);
                c.details = said.str();
            } else {
                c.output = said.str();
            }
            suite.cases.push_back(std::move(c));
        }
        suites.push_back(std::move(suite));
    }
    return JUnitXml("disckit simulate --matrix " + discLabel, suites);
}
