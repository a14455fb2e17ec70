#include "kit/simulate/SimHtml.h"

#include <algorithm>
#include <cstdlib>
#include <map>

#include "app/LauncherApp.h"
#include "kit/check/ReportIdentity.h"
#include "kit/common/Html.h"
#include "kit/windows/Profiles.h"

namespace {

double SecondsOf(const Json& value) { return std::strtod(value.text().c_str(), nullptr); }

std::string CurlyQuoted(const std::string& text) { return "\xE2\x80\x9C" + text + "\xE2\x80\x9D"; }

std::string Row(const std::string& head, const std::string& markup) {
    return "<tr><th>" + HtmlText(head) + "</th><td>" + markup + "</td></tr>\n";
}

// One effect in words, as the text report says it.
std::string EffectText(const Json& e) {
    const std::string kind = e["kind"].text();
    const std::string failed =
        e["ok"].kind() == Json::Kind::Bool && !e["ok"].boolean() ? ": failed (" + e["error"].text() + ")" : "";
    if (kind == "box") return CurlyQuoted(e["text"].text()) + ", caption " + CurlyQuoted(e["caption"].text());
    if (kind == "start") return e["program"].text() + failed + "; command line: " + e["commandLine"].text();
    if (kind == "sleep") return e["ms"].text() + " ms";
    if (kind == "copy") {
        if (!failed.empty()) return e["from"].text() + " -> " + e["to"].text() + failed;
        return e["from"].text() + " -> " + e["to"].text() + " (" + e["size"].text() + " bytes" +
               (e["readOnly"].boolean() ? ", read-only" : "") + ")";
    }
    if (kind == "write") {
        return e["path"].text() + failed + " (" + e["size"].text() + " bytes): " + CurlyQuoted(e["content"].text());
    }
    if (kind == "attributes") return e["path"].text() + (failed.empty() ? ": no longer read-only" : failed);
    if (kind == "terminate") return e["process"].text() + " (process " + e["processId"].text() + ")";
    if (kind == "load") return e["path"].text() + (failed.empty() ? ": loaded" : failed);
    return e["path"].text() + failed;  // delete
}

std::string SystemText(const Json& s) {
    return s["title"].text() + " (" + s["profile"].text() + (s["changed"].boolean() ? ", changed" : "") +
           "): version " + s["majorVersion"].text() + "." + s["minorVersion"].text() + "." +
           s["build"].text() + ", platform " + s["platformId"].text() + ", product type " +
           s["productType"].text() + ", " + s["bits"].text() + "-bit" +
           (s["extendedVersionQuery"].boolean() ? "" : ", basic version query only");
}

std::string OutcomeText(const Json& run) {
    const Json& o = run["outcome"];
    const std::string result = o["result"].text();
    const std::string after = " after " + o["seconds"].text() + " s";
    if (result == "browser-running") {
        return "the browser runs on the pages in " + std::string(names::kPagesFolder) +
               o["languageFolder"].text() +
               "; the launcher exits with code 0" + after;
    }
    if (result == "refused") {
        return "the system is not supported (OsCode " + o["osCode"].text() + ", ServerFlag " +
               o["serverFlag"].text() + "); the launcher exits with code 0" + after;
    }
    if (result == "turned-away") {
        return "another launcher runs, so this one exits at once with code 0, doing nothing";
    }
    if (result == "loops-forever") {
        std::string text = "the browser (" + std::string(names::kPagesFolder) + o["languageFolder"].text() +
                           ") never shows up as " + names::kBrowserProcess + ", so the launcher ";
        if (!o["repeatsEverySeconds"].isNull()) {
            text += "starts it again every " + o["repeatsEverySeconds"].text() + " s and ";
        }
        return text + "never exits (simulation stopped at " + o["seconds"].text() + " s)";
    }
    std::string text;
    if (o["installDirInCodePage"].kind() == Json::Kind::Bool && !o["installDirInCodePage"].boolean()) {
        text = "code page " + run["system"]["codePage"].text() + " cannot hold the folder " +
               run["system"]["installDir"].text() + ", so the launcher cannot find its own folder and ";
    }
    return text + "exits with code 0" + after + ", doing nothing";
}

const char* VerdictClass(const std::string& result) {
    return result == "browser-running" ? "good" : result == "loops-forever" ? "bad" : "warn";
}

std::string TimelineLegend() {
    return "<p class=\"mono\">\xE2\x96\xA8 sleep &#160; \xE2\x97\x86 message box &#160; "
           "\xE2\x97\x8F started &#160; \xE2\x9C\x95 start failed &#160; | ended &#160; "
           "dark bar: still running at the end</p>\n";
}

// The run's processes on the simulated clock: the launcher with its sleeps and boxes, and one
// row for each program it started, until it was ended, or until the end when it still runs.
std::string RunTimeline(const Json& run) {
    const Json& o = run["outcome"];
    const double end = SecondsOf(o["seconds"]);
    std::vector<TimelineRow> rows(1);
    TimelineRow& launcher = rows[0];
    launcher.label = std::string(names::kLauncher) + " (the launcher)";
    launcher.to = end;
    launcher.open = o["exitCode"].isNull();
    std::map<std::string, std::size_t> byId;  // process id -> row
    for (const Json& e : run["effects"].items()) {
        const std::string kind = e["kind"].text();
        const double at = SecondsOf(e["time"]);
        if (kind == "sleep") {
            rows[0].spans.push_back({at, at + SecondsOf(e["ms"]) / 1000, "sleep", "sleep " + EffectText(e)});
        } else if (kind == "box") {
            rows[0].marks.push_back({at, "box", "box " + EffectText(e)});
        } else if (kind == "start" && !e["ok"].boolean()) {
            rows[0].marks.push_back({at, "failed", "start " + EffectText(e)});
        } else if (kind == "start") {
            TimelineRow row;
            const std::string program = e["program"].text();
            row.label = program.substr(program.find_last_of('\\') + 1) + " (" + e["processId"].text() + ")";
            row.from = row.to = at;  // a program that ends by itself does so at once here
            row.marks.push_back({at, "start", e["commandLine"].text()});
            byId[e["processId"].text()] = rows.size();
            rows.push_back(row);
        } else if (kind == "terminate") {
            const auto it = byId.find(e["processId"].text());
            if (it != byId.end()) {
                rows[it->second].to = at;
                rows[it->second].marks.push_back({at, "stop", "ended: " + EffectText(e)});
            }
        }
    }
    for (const Json& p : run["running"].items()) {
        const auto it = byId.find(p["processId"].text());
        if (it != byId.end()) {
            rows[it->second].to = end;
            rows[it->second].open = true;
        }
    }
    if (!launcher.open) rows[0].marks.push_back({end, "end", "exit code 0"});
    return TimelineSvg(rows, end) + TimelineLegend();
}

std::string EffectsTable(const Json& run) {
    const Json& o = run["outcome"];
    std::string html = "<table class=\"effects\">\n<tr><th>time</th><th>effect</th><th>what</th></tr>\n";
    const std::string repeatFrom = o["repeatsFromEffect"].text();
    std::size_t i = 0;
    for (const Json& e : run["effects"].items()) {
        if (!repeatFrom.empty() && std::to_string(i) == repeatFrom && i != 0) {
            html += "<tr><td colspan=\"3\"><em>from here on the same pass repeats every " +
                    HtmlText(o["repeatsEverySeconds"].text()) + " s</em></td></tr>\n";
        }
        html += "<tr><td class=\"mono time\">" + HtmlText(e["time"].text()) + " s</td><td>" +
                HtmlText(e["kind"].text()) + "</td><td class=\"mono\">" + HtmlText(EffectText(e)) +
                "</td></tr>\n";
        ++i;
    }
    if (i == 0) html += "<tr><td colspan=\"3\">(no effects)</td></tr>\n";
    return html + "</table>\n";
}

// A system as people know it, its profile id beside: "Windows 7, 64-bit (7-x64)".
std::string SystemName(const std::string& profile) {
    const SystemProfile* p = FindSystemProfile(profile);
    return p ? std::string(p->title) + " (" + profile + ")" : profile;
}

std::string MatrixCellText(const Json& cell) {
    const std::string result = cell["result"].text();
    // As the text matrix marks it: a browser that runs with faults is not a clean run.
    const std::string& faults = cell["faults"].text();
    if (result == "browser-running") {
        return cell["languageFolder"].text() + (faults.empty() || faults == "0" ? "" : "!");
    }
    if (result == "loops-forever") return cell["languageFolder"].text() + "*";
    if (result == "refused") return "-";
    if (result == "turned-away") return "~";
    return ".";
}

// Which systems refuse, which never see the browser, and which languages cannot even start.
std::string MatrixSummary(const Json& matrix, const std::vector<std::string>& labels) {
    std::string refused, loops, nothing;
    std::vector<bool> nothingIn(labels.size(), false);
    for (const Json& row : matrix["rows"].items()) {
        bool rowRefused = false, rowLoops = false;
        std::size_t c = 0;
        for (const Json& cell : row["cells"].items()) {
            const std::string result = cell["result"].text();
            rowRefused = rowRefused || result == "refused";
            rowLoops = rowLoops || result == "loops-forever";
            if (result == "nothing" && c < nothingIn.size()) nothingIn[c] = true;
            ++c;
        }
        const std::string name = SystemName(row["profile"].text());
        if (rowRefused) refused += (refused.empty() ? " " : "; ") + name;
        if (rowLoops) loops += (loops.empty() ? " " : "; ") + name;
    }
    for (std::size_t c = 0; c < labels.size(); ++c) {
        if (nothingIn[c]) nothing += " " + labels[c];
    }
    std::string html;
    // What the gate judges: each cell against what its system was expected to come to.
    std::size_t cells = 0, unexpected = 0;
    std::string misses;
    std::size_t r = 0;
    for (const Json& row : matrix["rows"].items()) {
        std::size_t c = 0;
        for (const Json& cell : row["cells"].items()) {
            ++cells;
            if (!cell["asExpected"].boolean()) {
                ++unexpected;
                misses += "<li><a href=\"#run-" + std::to_string(r) + "-" + std::to_string(c) +
                          "\">" +
                          HtmlText(row["profile"].text() + " " + (c < labels.size() ? labels[c] : "")) +
                          "</a>: " + HtmlText(cell["outcome"].text()) +
                          (cell["outcome"].text() == cell["expected"].text() ? " with faults" : "") +
                          ", expected " + HtmlText(cell["expected"].text()) + "</li>";
            }
            ++c;
        }
        ++r;
    }
    if (unexpected == 0) {
        html += "<div class=\"verdict good\"><b>As expected</b>: all " + std::to_string(cells) +
                " cells</div>\n";
    } else {
        html += "<div class=\"verdict bad\"><b>Not as expected</b>: " + std::to_string(unexpected) +
                " of " + std::to_string(cells) + " cells<ul>" + misses + "</ul></div>\n";
    }
    if (!refused.empty()) html += "<p>Refused on:" + HtmlText(refused) + "</p>\n";
    if (!loops.empty()) html += "<p>The browser is never seen running on:" + HtmlText(loops) + "</p>\n";
    if (!nothing.empty()) {
        html += "<p>Nothing happens (the folder's name is not in the code page) in:" + HtmlText(nothing) + "</p>\n";
    }
    return html;
}

}  // namespace

std::string RunHtml(const Json& run) {
    const Json& s = run["system"];
    const Json& o = run["outcome"];
    std::string body = "<h1>disckit simulate: " + HtmlText(run["disc"].text()) + "</h1>\n" +
                       IdentityHtml(run["identity"]) +
                       "<div class=\"verdict " + VerdictClass(o["result"].text()) + "\"><b>" +
                       HtmlText(o["result"].text()) + "</b>: " + HtmlText(OutcomeText(run)) + "</div>\n";
    const std::string locale = s["locale"].text();
    body += "<table>\n" + Row("System", HtmlText(SystemText(s))) +
            Row("Language", HtmlText(s["langId"].text() + (locale.empty() ? "" : " " + locale) +
                                     ", code page " + s["codePage"].text())) +
            Row("Disc", HtmlText(run["disc"].text() + " as " + s["installDir"].text() + ", " +
                                 (s["media"].text() == "readonly" ? "read-only" : "writable") +
                                 " media; the controls' class is " +
                                 (s["registered"].boolean() ? "" : "not ") + "registered; the browser " +
                                 (s["browser"].text() == "appears" ? "appears once started" : "never shows up") +
                                 (s["instanceRunning"].boolean() ? "; another launcher of the same file is running" : ""))) +
            "</table>\n";
    body += "<h2>Timeline (simulated clock)</h2>\n" + RunTimeline(run);
    body += "<h2>Effects</h2>\n" + EffectsTable(run);
    std::string running;
    for (const Json& p : run["running"].items()) {
        running += "<li>" + HtmlText(p["name"].text() + " (" + p["processId"].text() + ")") + "</li>";
    }
    body += "<h2>Running at the end</h2>\n" + (running.empty() ? "<p>nothing the run started</p>" : "<ul>" + running + "</ul>") + "\n";
    std::string files;
    for (const Json& f : run["files"].items()) {
        files += "<li><code>" + HtmlText(f["path"].text()) + "</code>, " + HtmlText(f["size"].text()) +
                 " bytes" + (f["readOnly"].boolean() ? ", read-only" : "") + ": " +
                 HtmlText(f["copyOf"].isNull() ? CurlyQuoted(f["content"].text()) : "copy of " + f["copyOf"].text()) +
                 "</li>";
    }
    body += "<h2>Files written</h2>\n" + (files.empty() ? "<p>none</p>" : "<ul>" + files + "</ul>") + "\n";
    return HtmlDocument("disckit simulate: " + run["disc"].text(), body);
}

std::string MatrixHtml(const Json& matrix, const std::vector<std::vector<Json>>& runs,
                       const std::string& discLabel) {
    const std::string pagesExample = "DEU: the browser runs on the pages in " +
                                     std::string(names::kPagesFolder) + "DEU";
    const char* const kLegend[][2] = {
        {"browser-running", pagesExample.c_str()},
        {"browser-running", "DEU!: runs, with faults (each run's report names them)"},
        {"loops-forever", "DEU*: started on them for ever, never seen running"},
        {"refused", "-: refused"},
        {"nothing", ".: nothing done"},
        {"turned-away", "~: turned away"}};
    std::string body = "<h1>disckit simulate --matrix: " + HtmlText(discLabel) + "</h1>\n" +
                       IdentityHtml(matrix["identity"]) + "<p class=\"legend\">";
    for (const auto& entry : kLegend) {
        body += std::string("<span class=\"r-") + entry[0] + "\">" + HtmlText(entry[1]) + "</span>";
    }
    body += "</p>\n<table class=\"grid\">\n<tr><th class=\"profile\">system</th>";
    std::vector<std::string> labels;
    for (const Json& l : matrix["languages"].items()) {
        labels.push_back(l["locale"].text().empty() ? l["langId"].text() : l["locale"].text());
        body += "<th>" + HtmlText(labels.back()) + "</th>";
    }
    body += "</tr>\n";
    std::string lines;
    std::size_t r = 0;
    // Runs whose effects are the same, word for word, are told once: the first in full, the
    // others named after it (a refusal looks the same on every refused system).
    struct Group {
        std::string key, first, result;
        std::vector<std::pair<std::string, std::string>> others;  // anchor, system and language
    };
    std::vector<Group> groups;
    for (const Json& row : matrix["rows"].items()) {
        const std::string profile = row["profile"].text();
        body += "<tr><th class=\"profile\">" + HtmlText(SystemName(profile)) + "</th>";
        std::size_t c = 0;
        for (const Json& cell : row["cells"].items()) {
            const std::string id = "run-" + std::to_string(r) + "-" + std::to_string(c);
            const std::string result = cell["result"].text();
            const std::string label = c < labels.size() ? labels[c] : "";
            const bool asExpected = cell["asExpected"].boolean();
            const std::string judged =
                (asExpected ? "as expected (" : "not as expected (expected ") +
                cell["expected"].text() + ")";
            body += "<td class=\"r-" + HtmlPlainText(result) + (asExpected ? "" : " unexpected") +
                    "\"><a href=\"#" + id + "\" title=\"" +
                    HtmlPlainText(profile + " " + label + ": " + result + ", " + judged) + "\">" +
                    HtmlText(MatrixCellText(cell)) + (asExpected ? "" : " \xE2\x9C\x97") + "</a></td>";
            std::string effects;
            if (r < runs.size() && c < runs[r].size()) {
                for (const Json& e : runs[r][c]["effects"].items()) {
                    effects += (effects.empty() ? "" : " \xC2\xB7 ") + e["kind"].text() + " " + EffectText(e);
                }
            }
            const std::string who = SystemName(profile) + " " + label;
            const std::string key = result + "\n" + judged + "\n" + effects;
            auto same = std::find_if(groups.begin(), groups.end(),
                                     [&key](const Group& g) { return g.key == key; });
            if (same == groups.end()) {
                groups.push_back({key,
                                  "<p id=\"" + id + "\"><b>" + HtmlText(who) + "</b> " +
                                      HtmlText(result + ", " + judged) + ": <span class=\"mono\">" +
                                      HtmlText(effects.empty() ? "(no effects)" : effects) +
                                      "</span></p>\n",
                                  result, {}});
            } else {
                same->others.emplace_back(id, who);
            }
            ++c;
        }
        body += "</tr>\n";
        ++r;
    }
    for (const Group& g : groups) {
        lines += g.first;
        if (g.others.empty()) continue;
        lines += "<p class=\"same\">The same on " + std::to_string(g.others.size()) + " more " +
                 HtmlText(g.result) + (g.others.size() == 1 ? " run" : " runs") + ": ";
        for (std::size_t i = 0; i < g.others.size(); ++i) {
            lines += std::string(i ? "; " : "") + "<span id=\"" + g.others[i].first + "\">" +
                     HtmlText(g.others[i].second) + "</span>";
        }
        lines += "</p>\n";
    }
    body += "</table>\n" + MatrixSummary(matrix, labels) + "<h2>Each run's effects</h2>\n<div class=\"runs\">\n" + lines + "</div>\n";
    return HtmlDocument("disckit simulate --matrix: " + discLabel, body);
}
