#include "kit/matrix/TrialMatrix.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <sstream>

#include "kit/Help.h"
#include "kit/common/Html.h"
#include "kit/common/JUnit.h"
#include "kit/common/Utf8.h"
#include "kit/windows/Languages.h"
#include "kit/windows/Outcomes.h"
#include "kit/windows/WindowsText.h"

#ifndef _WIN32
#include "kit/trial/TrialReport.h"
#endif

namespace {

constexpr const char* kMatrixKind = "disckit-trial-matrix";

// A cell's short text in the grid.
std::string Short(const std::string& result) {
    static const std::map<std::string, std::string> kShort = {
        {"browser-running", "runs"},   {"refused", "refused"},  {"keeps-starting-browser", "keeps"},
        {"did-not-end", "no-end"},     {"box", "box"},          {"browser-not-running", "no-browser"},
        {"exit-code", "exit"},         {"error", "error"},
    };
    const auto s = kShort.find(result);
    return s == kShort.end() ? result : s->second;
}

std::string CellKey(const std::string& system, const std::string& locale) {
    return system + " " + locale;
}

std::string Anchor(const Json& cell) {
    std::string id = "cell-" + cell["system"].text() + "-" + cell["locale"].text();
    for (char& c : id) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') c = '_';
    }
    return id;
}

}  // namespace

std::vector<MatrixCellId> MatrixCellsOf(const std::vector<std::string>& systems,
                                        const std::vector<std::string>& locales) {
    std::vector<MatrixCellId> cells;
    for (const std::string& s : systems)
        for (const std::string& l : locales) cells.push_back({s, l});
    return cells;
}

std::vector<std::size_t> ShardPart(std::size_t count, unsigned shard, unsigned shards) {
    std::vector<std::size_t> part;
    if (shards == 0 || shard == 0 || shard > shards) return part;
    for (std::size_t i = shard - 1; i < count; i += shards) part.push_back(i);
    return part;
}

bool TrialAgreesWithSimulate(const std::string& trialResult, const std::string& predicted) {
    // Both speak in the outcomes simulate and trial share.
    Outcome seen, expected;
    return ParseOutcome(trialResult, seen) && ParseOutcome(predicted, expected) && seen == expected;
}

Json MatrixCellJson(const MatrixCellId& id, const std::string& expected, const std::string& predicted,
                    const MatrixCellRun& run) {
    Json cell = Json::Object();
    cell.Set("system", id.system);
    const SystemProfile* profile = FindSystemProfile(id.system);
    cell.Set("title", profile ? profile->title : id.system.c_str());
    cell.Set("locale", id.locale);
    const bool ran = run.exitCode == kExitClean || run.exitCode == kExitFindings;
    const std::string result = ran ? run.report["outcome"]["result"].text() : "error";
    cell.Set("result", result);
    cell.Set("expected", expected);
    // A browser that runs is as expected only in a clean trial: nothing went wrong on the way.
    Outcome seen, wanted;
    const bool asExpected = ran && ParseOutcome(result, seen) && ParseOutcome(expected, wanted) &&
                            AsExpected(wanted, seen, !run.report["outcome"]["faults"].items().empty());
    cell.Set("asExpected", asExpected);
    cell.Set("predicted", predicted);
    cell.Set("agrees", ran && TrialAgreesWithSimulate(result, predicted));
    cell.Set("exitCode", run.exitCode);
    if (!ran) cell.Set("error", run.error);
    cell.Set("trial", ran ? run.report : Json());
    return cell;
}

Json MatrixDocument(const Json& disc, const std::string& version, const std::vector<std::string>& systems,
                    const std::vector<std::string>& locales, unsigned shard, unsigned shards,
                    std::vector<Json> cells) {
    Json doc = Json::Object();
    doc.Set("kind", kMatrixKind);
    doc.Set("disckit", version);
    doc.Set("disc", disc);
    Json& s = doc.Set("systems", Json::Array());
    for (const std::string& name : systems) s.Push(name);
    Json& l = doc.Set("languages", Json::Array());
    for (const std::string& name : locales) l.Push(name);
    if (shard != 0) {
        Json part = Json::Object();
        part.Set("index", shard);
        part.Set("count", shards);
        doc.Set("shard", std::move(part));
    } else {
        doc.Set("shard", Json());
    }
    std::size_t expected = 0, failed = 0, disagree = 0;
    for (const Json& c : cells) {
        if (c["asExpected"].boolean()) ++expected;
        if (c["exitCode"].text() == "2") ++failed;
        if (c["exitCode"].text() != "2" && !c["agrees"].boolean()) ++disagree;
    }
    Json& all = doc.Set("cells", Json::Array());
    for (Json& c : cells) all.Push(std::move(c));
    Json summary = Json::Object();
    summary.Set("cells", static_cast<std::uint64_t>(all.items().size()));
    summary.Set("asExpected", static_cast<std::uint64_t>(expected));
    summary.Set("couldNotRun", static_cast<std::uint64_t>(failed));
    summary.Set("disagreeWithSimulate", static_cast<std::uint64_t>(disagree));
    doc.Set("summary", std::move(summary));
    doc.Set("exitCode", failed ? kExitUsage : expected == all.items().size() ? kExitClean : kExitFindings);
    return doc;
}

Json MatrixReport(const Json& discIdentity, const std::vector<std::string>& systems,
                  const std::vector<std::string>& locales, unsigned shard, unsigned shards,
                  const std::vector<MatrixCellId>& cells, const std::vector<std::string>& expected,
                  const std::vector<std::string>& predicted, const std::vector<MatrixCellRun>& runs) {
    std::vector<Json> list;
    for (std::size_t i = 0; i < cells.size(); ++i)
        list.push_back(MatrixCellJson(cells[i], expected[i], predicted[i], runs[i]));
    return MatrixDocument(discIdentity, DisckitVersion(), systems, locales, shard, shards, std::move(list));
}

int MatrixExitCode(const Json& report) {
    const std::string& code = report["exitCode"].text();
    return code == "0" ? kExitClean : code == "1" ? kExitFindings : kExitUsage;
}

std::string MatrixText(const Json& r) {
    std::map<std::string, const Json*> byCell;
    for (const Json& c : r["cells"].items()) byCell[CellKey(c["system"].text(), c["locale"].text())] = &c;
    auto mark = [](const Json& c) {
        return Short(c["result"].text()) + (c["asExpected"].boolean() ? "" : "!") +
               (c["exitCode"].text() == "2" || c["agrees"].boolean() ? "" : "?");
    };
    std::size_t first = 8;
    for (const Json& s : r["systems"].items()) first = std::max(first, s.text().size() + 2);
    std::vector<std::size_t> widths;
    for (const Json& l : r["languages"].items()) {
        std::size_t w = l.text().size();
        for (const Json& s : r["systems"].items()) {
            const auto c = byCell.find(CellKey(s.text(), l.text()));
            if (c != byCell.end()) w = std::max(w, mark(*c->second).size());
        }
        widths.push_back(w + 2);
    }
    auto pad = [](std::string text, std::size_t width) {
        if (text.size() < width) text.append(width - text.size(), ' ');
        return text;
    };
    auto trim = [](std::string line) {
        while (!line.empty() && line.back() == ' ') line.pop_back();
        return line + "\n";
    };
    std::string out = "disckit trial --matrix: " + EscapeControls(r["disc"]["path"].text());
    if (!r["shard"].isNull())
        out += " (shard " + r["shard"]["index"].text() + "/" + r["shard"]["count"].text() + ")";
    out += "\n\n";
    std::string head = pad("system", first);
    for (std::size_t k = 0; k < r["languages"].items().size(); ++k)
        head += pad(r["languages"].items()[k].text(), widths[k]);
    out += trim(head);
    for (const Json& s : r["systems"].items()) {
        std::string line = pad(s.text(), first);
        for (std::size_t k = 0; k < r["languages"].items().size(); ++k) {
            const auto c = byCell.find(CellKey(s.text(), r["languages"].items()[k].text()));
            line += pad(c == byCell.end() ? "" : mark(*c->second), widths[k]);
        }
        out += trim(line);
    }
    out += "\nruns: the browser runs   refused: the system was refused   keeps: the launcher kept "
           "starting the browser\nno-end: it did not end   box: it showed a box   no-browser: no "
           "browser at the end   exit: another exit code\nerror: the trial could not run   "
           "!: not as expected   ?: simulate predicted otherwise\n";
    std::string notExpected, disagree, failed;
    for (const Json& c : r["cells"].items()) {
        const std::string where = "  " + c["system"].text() + " " + c["locale"].text() + ": ";
        if (c["exitCode"].text() == "2") {
            failed += where + EscapeControls(c["error"].text()) + "\n";
            continue;
        }
        if (!c["asExpected"].boolean()) {
            notExpected += where + c["result"].text() + ", expected " + c["expected"].text();
            const std::vector<Json>& faults = c["trial"]["outcome"]["faults"].items();
            if (!faults.empty()) notExpected += " (" + EscapeControls(faults.front().text()) + ")";
            notExpected += "\n";
        }
        if (!c["agrees"].boolean()) {
            disagree += where + "the trial gave " + c["result"].text() + ", simulate predicted " +
                        c["predicted"].text() + "\n";
        }
    }
    if (!notExpected.empty()) out += "\nNot as expected:\n" + notExpected;
    if (!disagree.empty())
        out += "\nTrial and simulate disagree (a fault of the disc's programs, or of simulate):\n" + disagree;
    if (!failed.empty()) out += "\nCould not run:\n" + failed;
    const Json& sum = r["summary"];
    out += "\n" + sum["asExpected"].text() + " of " + sum["cells"].text() + " cells as expected";
    if (sum["disagreeWithSimulate"].text() != "0")
        out += ", " + sum["disagreeWithSimulate"].text() + " unlike simulate's prediction";
    if (sum["couldNotRun"].text() != "0") out += ", " + sum["couldNotRun"].text() + " could not run";
    return out + "\n";
}

std::string MatrixHtml(const Json& r) {
    std::map<std::string, const Json*> byCell;
    for (const Json& c : r["cells"].items()) byCell[CellKey(c["system"].text(), c["locale"].text())] = &c;
    std::string body = "<h1>disckit trial --matrix: " + HtmlText(r["disc"]["path"].text()) + "</h1>\n";
    const Json& sum = r["summary"];
    body += std::string("<div class=\"verdict ") + (r["exitCode"].text() == "0" ? "good" : "bad") +
            "\"><b>" + HtmlText(sum["asExpected"].text()) + " of " + HtmlText(sum["cells"].text()) +
            " cells as expected</b>";
    if (sum["disagreeWithSimulate"].text() != "0")
        body += "; " + HtmlText(sum["disagreeWithSimulate"].text()) + " unlike simulate's prediction";
    if (sum["couldNotRun"].text() != "0") body += "; " + HtmlText(sum["couldNotRun"].text()) + " could not run";
    body += "</div>\n<table>\n<tr><th>system</th>";
    for (const Json& l : r["languages"].items()) body += "<th>" + HtmlText(l.text()) + "</th>";
    body += "</tr>\n";
    for (const Json& s : r["systems"].items()) {
        const SystemProfile* p = FindSystemProfile(s.text());
        body += "<tr><th>" + HtmlText(p ? std::string(p->title) + " (" + s.text() + ")" : s.text()) + "</th>";
        for (const Json& l : r["languages"].items()) {
            const auto c = byCell.find(CellKey(s.text(), l.text()));
            if (c == byCell.end()) {
                body += "<td></td>";
                continue;
            }
            const Json& cell = *c->second;
            body += std::string("<td class=\"") + (cell["asExpected"].boolean() ? "good" : "bad") +
                    "\"><a href=\"#" + Anchor(cell) + "\">" + HtmlText(cell["result"].text()) + "</a>";
            if (!cell["asExpected"].boolean())
                body += "<br>expected " + HtmlText(cell["expected"].text());
            if (cell["exitCode"].text() != "2" && !cell["agrees"].boolean())
                body += "<br>simulate: " + HtmlText(cell["predicted"].text());
            body += "</td>";
        }
        body += "</tr>\n";
    }
    body += "</table>\n";
    for (const Json& c : r["cells"].items()) {
        body += "<section id=\"" + Anchor(c) + "\">\n<h2>" + HtmlText(c["title"].text()) + " (" +
                HtmlText(c["system"].text()) + "), " + HtmlText(c["locale"].text()) + "</h2>\n";
        if (c["exitCode"].text() == "2") {
            body += "<p>The trial could not run: " + HtmlText(c["error"].text()) + "</p>\n";
        } else {
#ifndef _WIN32
            body += TrialHtmlBody(c["trial"]);
#endif
        }
        body += "</section>\n";
    }
    return HtmlDocument("disckit trial --matrix: " + r["disc"]["path"].text(), body);
}

std::string MatrixJUnit(const Json& r) {
    std::vector<JUnitSuite> suites;
    for (const Json& s : r["systems"].items()) {
        JUnitSuite suite;
        const SystemProfile* p = FindSystemProfile(s.text());
        suite.name = p ? std::string(p->title) + " (" + s.text() + ")" : s.text();
        for (const Json& c : r["cells"].items()) {
            if (c["system"].text() != s.text()) continue;
            JUnitCase t;
            t.className = "disckit.trial." + s.text();
            t.name = c["locale"].text();
            std::string said = c["result"].text() + "; expected " + c["expected"].text() +
                               "; simulate predicted " + c["predicted"].text();
            for (const Json& f : c["trial"]["outcome"]["faults"].items()) said += "\nfault: " + f.text();
            if (c["exitCode"].text() == "2") said += "\n" + c["error"].text();
            t.failed = !c["asExpected"].boolean();
            if (t.failed) {
                t.failureType = c["result"].text();
                t.failureMessage = c["exitCode"].text() == "2"
                                       ? "the trial could not run"
                                       : c["result"].text() + ", expected " + c["expected"].text();
                t.details = said;
            } else {
                t.output = said;
            }
            suite.cases.push_back(std::move(t));
        }
        if (!suite.cases.empty()) suites.push_back(std::move(suite));
    }
    return JUnitXml("disckit trial --matrix " + r["disc"]["path"].text(), suites);
}
