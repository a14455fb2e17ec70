#include "kit/trial/TrialReport.h"

#ifndef _WIN32

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <utility>

#include "kit/check/ReportIdentity.h"
#include "kit/common/Html.h"
#include "kit/common/JUnit.h"
#include "kit/common/Utf8.h"
#include "kit/disc/DiscLookup.h"
#include "kit/disc/DiscReader.h"
#include "kit/windows/Outcomes.h"

namespace {

using Observed = nlohmann::ordered_json;

// --- Reading the observations --------------------------------------------------------------------

// What a member of the observations must be. Members the driver does not write are left out of
// the report; a member of another type, or larger than its bound, makes the whole document
// malformed.
// Called for each member of a record taken, after it was set: may add members after it.
using After = std::function<void(const std::string& key, const Observed& from, Json& to)>;

struct Shape;

struct Member {
    Member(const char* k, bool r, Shape s);
    const char* key;
    bool required;
    std::shared_ptr<const Shape> shape;
};

struct Shape {
    enum Type { Text, Integer, Number, Boolean, List, Record } type = Text;
    bool nullable = false;
    std::size_t most = 0;                     // a list's items at the most
    std::shared_ptr<const Shape> item;        // a list's items
    std::vector<Member> members;              // a record's, in the report's order
    After after;                              // a record's, for each member taken
};

Member::Member(const char* k, bool r, Shape s)
    : key(k), required(r), shape(std::make_shared<const Shape>(std::move(s))) {}

Shape Of(Shape::Type type) {
    Shape s;
    s.type = type;
    return s;
}
Shape Text() { return Of(Shape::Text); }
Shape Integer() { return Of(Shape::Integer); }
Shape Number() { return Of(Shape::Number); }
Shape Boolean() { return Of(Shape::Boolean); }
Shape OrNull(Shape s) {
    s.nullable = true;
    return s;
}
Shape ListOf(Shape item, std::size_t most = 1u << 20) {
    Shape s = Of(Shape::List);
    s.most = most;
    s.item = std::make_shared<const Shape>(std::move(item));
    return s;
}
Shape Record(std::vector<Member> members) {
    Shape s = Of(Shape::Record);
    s.members = std::move(members);
    return s;
}

struct Malformed {
    std::string why;
};

Json Take(const Observed& value, const Shape& shape, const std::string& where) {
    if (shape.nullable && value.is_null()) return Json();
    switch (shape.type) {
        case Shape::Text:
            if (!value.is_string()) throw Malformed{where + " is not a text"};
            if (value.get_ref<const std::string&>().size() > kMaxTrialText)
                throw Malformed{where + " is longer than " + std::to_string(kMaxTrialText) + " bytes"};
            return Json(value.get<std::string>());
        case Shape::Integer:
            if (value.is_number_unsigned()) return Json(value.get<std::uint64_t>());
            if (value.is_number_integer()) return Json(value.get<std::int64_t>());
            throw Malformed{where + " is not a whole number"};
        case Shape::Number:
            if (value.is_number_unsigned()) return Json(value.get<std::uint64_t>());
            if (value.is_number_integer()) return Json(value.get<std::int64_t>());
            if (value.is_number_float()) return Json::NumberText(value.dump());
            throw Malformed{where + " is not a number"};
        case Shape::Boolean:
            if (!value.is_boolean()) throw Malformed{where + " is not true or false"};
            return Json(value.get<bool>());
        case Shape::List: {
            if (!value.is_array()) throw Malformed{where + " is not a list"};
            if (value.size() > shape.most)
                throw Malformed{where + " has more than " + std::to_string(shape.most) + " items"};
            Json list = Json::Array();
            for (std::size_t i = 0; i < value.size(); ++i)
                list.Push(Take(value[i], *shape.item, where + "[" + std::to_string(i) + "]"));
            return list;
        }
        case Shape::Record: {
            if (!value.is_object()) throw Malformed{where + " is not an object"};
            Json record = Json::Object();
            for (const Member& m : shape.members) {
                const auto found = value.find(m.key);
                if (found == value.end()) {
                    if (m.required) throw Malformed{where + " has no " + m.key};
                    continue;
                }
                record.Set(m.key, Take(*found, *m.shape, where + "." + m.key));
                if (shape.after) shape.after(m.key, value, record);
            }
            return record;
        }
    }
    throw Malformed{where + " cannot be read"};
}

// What the driver writes, member by member, in the report's order.
Shape ObservationsShape(const After& eventHook) {
    const Shape pid = OrNull(Integer());
    Shape event = Record({{"seconds", true, Number()}, {"kind", true, Text()},
                                {"by", true, OrNull(Text())}, {"byPid", true, pid},
                                {"program", false, Text()}, {"commandLine", false, Text()},
                                {"commandLineComplete", false, Boolean()}, {"pid", false, pid},
                                {"state", false, Text()}, {"path", false, Text()},
                                {"caption", false, Text()}, {"text", false, Text()},
                                {"screenshot", false, OrNull(Text())},
                                {"exitCode", false, OrNull(Integer())}});
    event.after = eventHook;
    return Record({
        {"disc", true, Record({{"path", true, Text()}, {"kind", true, Text()},
                               {"sha256", false, OrNull(Text())}, {"label", false, OrNull(Text())}})},
        {"wine", true, Text()},
        {"system", true,
         Record({{"profile", true, Text()}, {"title", true, Text()},
                 {"wineSetting", true, Text()}, {"prefix", true, Text()},
                 {"reported", true,
                  Record({{"platformId", true, Integer()}, {"major", true, Integer()},
                          {"minor", true, Integer()}, {"build", true, Integer()},
                          {"productType", true, Integer()}, {"bits", true, Integer()},
                          {"extendedQuery", true, Boolean()}})}})},
        {"language", true,
         Record({{"langId", true, Text()}, {"locale", true, Text()}, {"lcAll", true, Text()},
                 {"codePage", true, Integer()}})},
        {"launcher", true,
         Record({{"program", true, Text()}, {"pid", true, pid}, {"ended", true, Boolean()},
                 {"exitCode", true, OrNull(Integer())}, {"seconds", true, Number()},
                 {"stoppedBecause", true, OrNull(Text())}})},
        {"events", true, ListOf(event)},
        {"browser", true,
         Record({{"program", true, Text()}, {"process", true, Text()},
                 {"starts", true, Integer()}, {"startsByLauncher", true, Integer()},
                 {"commandLines", true, ListOf(Text())}, {"failedStarts", true, Integer()},
                 {"ended", true, Integer()}, {"firstStart", true, OrNull(Number())},
                 {"lastStart", true, OrNull(Number())}, {"running", true, Boolean()},
                 {"runningAs", true,
                  ListOf(Record({{"pid", true, Integer()}, {"name", true, Text()}}))},
                 {"windows", true, ListOf(Text())}})},
        {"windowsDirectory", true,
         ListOf(Record({{"path", true, Text()}, {"change", true, Text()},
                        {"size", false, Integer()}, {"readOnly", false, Boolean()},
                        {"text", false, Text()}, {"copyOf", false, Text()}}))},
        {"registry", true,
         Record({{"added", true,
                  ListOf(Record({{"key", true, Text()}, {"values", true, ListOf(Text())}}))},
                 {"removed", true, ListOf(Text())}})},
        {"running", true,
         ListOf(Record({{"pid", true, Integer()}, {"name", true, Text()},
                        {"startedBy", true, OrNull(Text())}, {"state", true, Text()}}))},
        {"windows", true,
         ListOf(Record({{"pid", true, Integer()}, {"process", true, OrNull(Text())},
                        {"class", true, Text()}, {"title", true, Text()}}))},
        {"boxes", true,
         ListOf(Record({{"seconds", true, Number()}, {"caption", true, Text()},
                        {"text", true, Text()}, {"pid", true, pid},
                        {"screenshot", true, OrNull(Text())}, {"by", true, OrNull(Text())}}))},
        {"screenshots", true, ListOf(Text())},
        {"screenshotAfterRun", true, OrNull(Text())},
        {"account", true, Text()},
        {"sandbox", true, Text()},
        {"notes", false, ListOf(Text())},
        {"diskBudget", true, Integer()},
    });
}

// --- Reading the report back --------------------------------------------------------------------

double Real(const Json& value) { return std::strtod(value.text().c_str(), nullptr); }

long long Whole(const Json& value) { return std::strtoll(value.text().c_str(), nullptr, 10); }

bool IsNumber(const Json& value) { return value.kind() == Json::Kind::Number; }

// A value as the words of the report write it ("None" where the run saw nothing).
std::string Words(const Json& value) {
    switch (value.kind()) {
        case Json::Kind::Null: return "None";
        case Json::Kind::Bool: return value.boolean() ? "True" : "False";
        default: return value.text();
    }
}

std::string Format(const char* format, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

// A process id as Wine's trace writes it: four hex digits at the least.
std::string HexPid(const Json& pid) {
    if (!IsNumber(pid)) return "?";
    const long long id = Whole(pid);
    char buffer[32];
    if (id < 0) {
        std::snprintf(buffer, sizeof buffer, "-%03llx", static_cast<unsigned long long>(-id));
    } else {
        std::snprintf(buffer, sizeof buffer, "%04llx", static_cast<unsigned long long>(id));
    }
    return buffer;
}

std::string Seconds(const Json& value) {
    return IsNumber(value) ? Format("%.2f", Real(value)) + " s" : "?";
}

std::string Plural(long long n, const std::string& word) {
    return word + (n != 1 ? "s" : "");
}

std::string WindowsBasename(const std::string& path) {
    std::string p = path;
    std::replace(p.begin(), p.end(), '/', '\\');
    const std::size_t slash = p.rfind('\\');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string DiscKindWords(const Json& disc) {
    return disc["kind"].text() == "image" ? "image"
                                          : "folder, pressed into an image with Joliet names";
}

// What one start did, in words.
std::string StartWords(const Json& e) {
    const std::string state = e["state"].text(), program = Words(e["program"]);
    if (state == "started") return "started " + program + " as " + HexPid(e["pid"]);
    if (state == "failed") {
        return "tried to start " + program + "; it did not start" +
               (e["why"].isNull() ? "" : ": " + e["why"].text());
    }
    if (state == "unanswered") return "was starting " + program + " when the run was stopped";
    if (state == "starting") return "was starting " + program;
    return state;
}

std::string StoppedWhy(const Json& launcher, const Json& browser) {
    const std::string because = launcher["stoppedBecause"].text();
    if (because == "loop")
        return "it had started the browser " + Words(browser["startsByLauncher"]) + " times";
    if (because == "time") return "the time was up";
    if (because == "disk") return "its folder grew past the trial's disk budget";
    return "";
}

std::string BrowserWords(const Json& browser) {
    std::string runs;
    for (const Json& p : browser["runningAs"].items())
        runs += (runs.empty() ? "" : ", ") + Words(p["name"]) + " (" + HexPid(p["pid"]) + ")";
    const long long starts = Whole(browser["starts"]);
    return "started " + std::to_string(starts) + " " + Plural(starts, "time") +
           (Whole(browser["failedStarts"]) ? ", " + Words(browser["failedStarts"]) + " of them failed" : "") +
           (Whole(browser["ended"]) ? ", " + Words(browser["ended"]) + " of them ended" : "") +
           (browser["running"].boolean() ? "; " + Words(browser["process"]) + " runs: " + runs
                                         : "; no process " + Words(browser["process"]) + " runs at the end");
}

// One change of the Windows directory as a line, its text put between quote().
std::string WindowsChange(const Json& c, const std::function<std::string(const std::string&)>& quote) {
    std::string line = Words(c["change"]) + " " + Words(c["path"]);
    if (!c["size"].isNull())
        line += " (" + Words(c["size"]) + " bytes" + (c["readOnly"].boolean() ? ", read-only" : "") + ")";
    if (!c["copyOf"].isNull()) line += ": copy of " + c["copyOf"].text();
    if (!c["text"].isNull()) line += ": " + quote(c["text"].text());
    return line;
}

std::string RunningWords(const Json& p) {
    return Words(p["name"]) + " (" + HexPid(p["pid"]) +
           (p["startedBy"].isNull() ? "" : ", started by " + p["startedBy"].text()) + "): " +
           Words(p["state"]);
}

// What was expected of the run, by whom, and whether it came out so.
std::string ExpectedWords(const Json& outcome) {
    return outcome["expected"].text() + " (by " + outcome["expectedBy"].text() + "): " +
           (outcome["asExpected"].boolean()
                ? "as expected"
                : outcome["result"].text() == outcome["expected"].text()
                      ? "not as expected, with faults"
                      : "not as expected");
}

// The verdict from what was seen: the result, the faults and the exit code.
Json Verdict(const Json& r, const TrialVerdictInputs& inputs, std::vector<std::string> more) {
    const Json &launcher = r["launcher"], &browser = r["browser"];
    const bool ended = launcher["ended"].boolean();
    const double seconds = Real(launcher["seconds"]);
    std::string result;
    std::vector<std::string> faults;
    auto refusal = [&](const Json& box) {
        return IsNumber(box["pid"]) && IsNumber(launcher["pid"]) &&
               Whole(box["pid"]) == Whole(launcher["pid"]) &&
               box["caption"].text() == inputs.refusalCaption && box["text"].text() == inputs.refusalText;
    };
    if (launcher["stoppedBecause"].text() == "disk") {
        result = "did-not-end";
        faults.push_back("the run was stopped after " + Format("%.0f", seconds) +
                         " s: the trial's folder grew past its budget of " +
                         std::to_string(Whole(r["diskBudget"]) >> 20) + " MiB");
    } else if (!ended) {
        const long long byLauncher = Whole(browser["startsByLauncher"]);
        if (byLauncher >= 2) {
            const double span = Real(browser["lastStart"]) - Real(browser["firstStart"]);
            result = "keeps-starting-browser";
            faults.push_back("the launcher keeps starting the browser: " + std::to_string(byLauncher) +
                             " starts in " + Format("%.1f", span) + " s, and was stopped after " +
                             Format("%.1f", seconds) + " s");
        } else {
            result = "did-not-end";
            faults.push_back("the launcher did not end within " + Format("%.0f", seconds) +
                             " s (browser started " + std::to_string(byLauncher) + " times)");
        }
    } else if (std::any_of(r["boxes"].items().begin(), r["boxes"].items().end(), refusal)) {
        result = "refused";
    } else if (!r["boxes"].items().empty()) {
        result = "box";
    } else if (!browser["running"].boolean()) {
        result = "browser-not-running";
    } else if (Whole(launcher["exitCode"]) != 0 || !IsNumber(launcher["exitCode"])) {
        result = "exit-code";
    } else {
        result = "browser-running";
    }
    for (const Json& box : r["boxes"].items()) {
        faults.push_back(Words(box["by"]) + " " + (refusal(box) ? "refused this system" : "showed a box") +
                         ": [" + box["caption"].text() + "] " + box["text"].text());
    }
    if (ended && !browser["running"].boolean()) {
        faults.push_back("no process " + Words(browser["process"]) +
                         " runs at the end (the browser was started " + Words(browser["starts"]) +
                         " times)");
    }
    if (ended && (!IsNumber(launcher["exitCode"]) || Whole(launcher["exitCode"]) != 0))
        faults.push_back("the launcher ended with exit code " + Words(launcher["exitCode"]));
    faults.insert(faults.end(), more.begin(), more.end());
    Json outcome = Json::Object();
    outcome.Set("result", result);
    Json list = Json::Array();
    for (const std::string& f : faults) list.Push(f);
    outcome.Set("faults", std::move(list));
    Outcome seen = Outcome::BrowserNotRunning, expected = Outcome::BrowserRunning;
    const bool asExpected = ParseOutcome(result, seen) && ParseOutcome(inputs.expected, expected) &&
                            AsExpected(expected, seen, !faults.empty());
    outcome.Set("expected", inputs.expected);
    outcome.Set("expectedBy", inputs.expectedChosen ? "--expect" : "the launcher's gate");
    outcome.Set("asExpected", asExpected);
    outcome.Set("exitCode", asExpected && inputs.checkErrors.items().empty() ? 0 : 1);
    return outcome;
}

// --- HTML ----------------------------------------------------------------------------------------

std::string Base64(const std::string& data) {
    static const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < data.size(); i += 3) {
        const unsigned n = static_cast<unsigned>(static_cast<unsigned char>(data[i])) << 16 |
                           static_cast<unsigned>(static_cast<unsigned char>(data[i + 1])) << 8 |
                           static_cast<unsigned>(static_cast<unsigned char>(data[i + 2]));
        out += digits[n >> 18];
        out += digits[(n >> 12) & 63];
        out += digits[(n >> 6) & 63];
        out += digits[n & 63];
    }
    if (i < data.size()) {
        unsigned n = static_cast<unsigned>(static_cast<unsigned char>(data[i])) << 16;
        if (i + 1 < data.size()) n |= static_cast<unsigned>(static_cast<unsigned char>(data[i + 1])) << 8;
        out += digits[n >> 18];
        out += digits[(n >> 12) & 63];
        out += i + 1 < data.size() ? digits[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string Screenshot(const Json& path, const std::string& alt) {
    std::string png, why;
    if (path.isNull() || path.text().empty()) {
        why = "no screenshot was taken";
    } else if (path.text().compare(0, sizeof kPngDataUri - 1, kPngDataUri) == 0) {
        // Embedded by disckit itself (EmbedTrialScreenshots): base64 of a PNG it read.
        return "<img class=\"shot\" alt=\"" + HtmlPlainText(alt) + "\" src=\"" +
               HtmlPlainText(path.text()) + "\">\n";
    } else if (TrialScreenshot(path.text(), png, why)) {
        return "<img class=\"shot\" alt=\"" + HtmlPlainText(alt) + "\" src=\"data:image/png;base64," +
               Base64(png) + "\">\n";
    }
    return "<p><em>" + HtmlText(alt) + ": no picture (" + HtmlText(why) + ")</em></p>\n";
}

// A screenshot in the report in words: its file, or that it is inside the report.
std::string ShotWords(const Json& shot) {
    if (shot.text().compare(0, sizeof kPngDataUri - 1, kPngDataUri) == 0)
        return "a PNG image of " + std::to_string((shot.text().size() - (sizeof kPngDataUri - 1)) / 4 * 3 / 1024) +
               " KiB inside the JSON and HTML reports (--out keeps it as a file)";
    return shot.text();
}

std::string Listing(const std::vector<std::string>& items, const std::string& empty,
                    const std::string& item = "<li>") {
    if (items.empty()) return "<p>" + HtmlText(empty) + "</p>\n";
    std::string out = "<ul>";
    for (const std::string& i : items) out += item + HtmlText(i) + "</li>";
    return out + "</ul>\n";
}

// One row per process the run started, the launcher's first, from its creation to its end
// (still running at the end: to the right edge; ended, but when is not in the trace: a dashed
// stub), with its boxes, the libraries of the disc it loaded and the starts that failed.
std::string Timeline(const Json& r) {
    const Json& launcher = r["launcher"];
    const std::vector<Json>& events = r["events"].items();
    double end = std::max(IsNumber(launcher["seconds"]) ? Real(launcher["seconds"]) : 0.0, 0.001);
    for (const Json& e : events) end = std::max(end, Real(e["seconds"]));
    end *= 1.04;
    std::vector<long long> running;
    for (const Json& p : r["running"].items()) running.push_back(Whole(p["pid"]));
    struct Row {
        TimelineRow row;
        long long pid;
        bool hasPid;
    };
    std::vector<Row> rows(1);
    rows[0].row.label = WindowsBasename(launcher["program"].text()) + " (" + HexPid(launcher["pid"]) +
                        "), the launcher";
    rows[0].pid = Whole(launcher["pid"]);
    rows[0].hasPid = IsNumber(launcher["pid"]);
    rows[0].row.to = Real(launcher["seconds"]);
    const bool ended = launcher["ended"].boolean();
    rows[0].row.marks.push_back({Real(launcher["seconds"]), ended ? "end" : "stop",
                                 ended ? "ended with exit code " + Words(launcher["exitCode"])
                                       : "still running: ended by the trial"});
    auto owner = [&](const Json& pid) -> Row& {
        if (IsNumber(pid)) {
            for (Row& row : rows)
                if (row.hasPid && row.pid == Whole(pid)) return row;
        }
        return rows[0];
    };
    for (const Json& e : events) {
        if (e["kind"].text() != "start" || e["state"].text() != "started" || !IsNumber(e["pid"])) continue;
        const long long pid = Whole(e["pid"]);
        if (std::any_of(rows.begin(), rows.end(), [&](const Row& row) { return row.hasPid && row.pid == pid; }))
            continue;
        const bool still = std::find(running.begin(), running.end(), pid) != running.end();
        Row row;
        row.pid = pid;
        row.hasPid = true;
        row.row.label = WindowsBasename(e["program"].text()) + " (" + HexPid(e["pid"]) + "), by " + Words(e["by"]);
        row.row.from = Real(e["seconds"]);
        row.row.to = still ? end : Real(e["seconds"]) + end * 0.03;
        row.row.open = still;
        row.row.unknownEnd = !still;
        row.row.marks.push_back({Real(e["seconds"]), "start", e["commandLine"].text()});
        rows.push_back(std::move(row));
    }
    for (const Json& e : events) {
        Row& row = owner(e["byPid"]);
        const double at = Real(e["seconds"]);
        // It ran at least until the last thing it did.
        if (row.row.unknownEnd) row.row.to = std::max(row.row.to, at);
        const std::string kind = e["kind"].text();
        if (kind == "box") {
            row.row.marks.push_back({at, "box", "[" + e["caption"].text() + "] " + e["text"].text()});
        } else if (kind == "load") {
            row.row.marks.push_back({at, "load", "loaded " + e["path"].text()});
        } else if (kind == "start" && e["state"].text() != "started") {
            row.row.marks.push_back({at, "failed", e["state"].text() + ": " + e["program"].text()});
        }
    }
    // Each mark says when, as the events do.
    for (Row& row : rows) {
        for (TimelineMark& mark : row.row.marks) mark.title = Format("%.2f s: ", mark.at) + mark.title;
    }
    const std::size_t hidden = rows.size() > kMaxTimelineRows ? rows.size() - kMaxTimelineRows : 0;
    std::vector<TimelineRow> drawn;
    for (std::size_t i = 0; i < rows.size() && i < kMaxTimelineRows; ++i) drawn.push_back(rows[i].row);
    return TimelineSvg(drawn, end) +
           "<p class=\"mono\">\xE2\x97\x86 message box &#160; \xE2\x97\x8F started &#160; \xC2\xB7 "
           "library of the disc loaded &#160; \xE2\x9C\x95 start failed &#160; | ended (red: "
           "stopped by the trial) &#160; dark bar: still running at the end &#160; dashed: ended, "
           "when is not in the trace</p>" +
           (hidden ? "<p>and " + std::to_string(hidden) + " more processes, in the events below</p>" : "") +
           "\n";
}

std::string EventRow(const Json& e) {
    const std::string who = Words(e["by"]) + " (" + HexPid(e["byPid"]) + ")";
    const std::string kind = e["kind"].text();
    std::string did, extra;
    if (kind == "start") {
        did = StartWords(e);
        const bool complete = e["commandLineComplete"].isNull() || e["commandLineComplete"].boolean();
        extra = "<br><span class=\"mono\">command line: " + HtmlText(e["commandLine"].text()) +
                HtmlText(complete ? "" : "  (cut short in Wine's trace)") + "</span>";
    } else if (kind == "load") {
        did = "loaded " + Words(e["path"]);
    } else if (kind == "box") {
        did = "showed a box [" + Words(e["caption"]) + "] " + Words(e["text"]);
        extra = Screenshot(e["screenshot"], "the box " + Words(e["caption"]));
    } else {
        did = "ended with exit code " + Words(e["exitCode"]);
    }
    return "<tr><td class=\"mono time\">" + Seconds(e["seconds"]) + "</td><td>" + HtmlText(who) + " " +
           HtmlText(did) + extra + "</td></tr>\n";
}

}  // namespace

bool TrialFileOnDisc(const DiscReader& disc, const std::string& relative) {
    return DiscHoldsFile(DiscLookup(disc), relative);
}

bool StartPageOf(const std::string& line, char& drive, std::string& relative) {
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; };
    for (std::size_t q = line.find('"'); q != std::string::npos; q = line.find('"', q + 1)) {
        if (q + 3 >= line.size() + 0 || line.size() < q + 4) continue;
        const char letter = line[q + 1];
        if (!((letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z')) ||
            line[q + 2] != ':' || line[q + 3] != '\\')
            continue;
        // The rest: no quote, or one closing quote with only white space after it.
        const std::string rest = line.substr(q + 4);
        const std::size_t close = rest.find('"');
        if (close != std::string::npos &&
            !std::all_of(rest.begin() + static_cast<std::ptrdiff_t>(close) + 1, rest.end(), space))
            continue;
        drive = letter;
        relative = close == std::string::npos ? rest : rest.substr(0, close);
        return true;
    }
    return false;
}

std::vector<std::string> StartPageFaults(const std::vector<std::string>& commandLines,
                                         const std::function<bool(const std::string&)>& onDisc) {
    std::vector<std::string> faults;
    for (const std::string& line : commandLines) {
        char drive = 0;
        std::string relative;
        if (StartPageOf(line, drive, relative) && (drive == 'D' || drive == 'd') &&
            !onDisc(relative)) {
            faults.push_back("the browser's start page D:\\" + relative + " is not there");
        }
    }
    return faults;
}

bool TrialReportOf(const std::string& text, const TrialVerdictInputs& inputs,
                   const std::function<bool(const std::string&)>& onDisc, Json& report,
                   std::string& error) {
    Observed observed;
    try {
        observed = Observed::parse(text);
    } catch (const nlohmann::json::exception& e) {
        error = std::string("the driver's observations are no JSON: ") + e.what();
        return false;
    }
    // A start that failed for a program of the disc: whether the disc has it at all.
    const After why = [&](const std::string& key, const Observed& from, Json& to) {
        if (key != "state" || !from.contains("program") || !from["program"].is_string()) return;
        const std::string& program = from["program"].get_ref<const std::string&>();
        if (from["state"] == "failed" && program.size() >= 3 &&
            (program[0] == 'D' || program[0] == 'd') && program[1] == ':' && program[2] == '\\' &&
            !onDisc(program.substr(3))) {
            to.Set("why", "the disc has no such file");
        }
    };
    Json observations;
    try {
        observations = Take(observed, ObservationsShape(why), "observations");
    } catch (const Malformed& bad) {
        error = "the driver's observations are malformed: " + bad.why;
        return false;
    }
    // The report: the observations in their order, then the verdict, check's errors beside it
    // and the notes.
    report = Json::Object();
    for (const char* key : {"disc", "wine", "system", "language", "launcher", "events", "browser",
                            "windowsDirectory", "registry", "running", "windows", "boxes",
                            "screenshots", "screenshotAfterRun", "account", "sandbox"}) {
        report.Set(key, observations[key]);
    }
    std::vector<std::string> commandLines;
    for (const Json& line : observations["browser"]["commandLines"].items())
        commandLines.push_back(line.text());
    report.Set("outcome", Verdict(observations, inputs, StartPageFaults(commandLines, onDisc)));
    Json check = Json::Object();
    check.Set("errors", inputs.checkErrors);
    report.Set("check", std::move(check));
    if (!observations["notes"].isNull()) report.Set("notes", observations["notes"]);
    return true;
}

void EmbedTrialScreenshots(Json& report) {
    std::vector<std::string> lost;
    // Each file once, however many places name it.
    std::vector<std::pair<std::string, Json>> done;
    auto embed = [&](Json* shot) {
        if (!shot || shot->kind() != Json::Kind::String || shot->text().empty() ||
            shot->text().compare(0, sizeof kPngDataUri - 1, kPngDataUri) == 0) {
            return;
        }
        for (const auto& d : done) {
            if (d.first == shot->text()) {
                *shot = d.second;
                return;
            }
        }
        std::string png, why;
        const std::string path = shot->text();
        Json embedded = nullptr;
        if (TrialScreenshot(path, png, why)) {
            embedded = Json(std::string(kPngDataUri) + Base64(png));
        } else {
            lost.push_back("the screenshot " + std::filesystem::u8path(path).filename().u8string() +
                           " could not be kept in the report: " + why);
        }
        done.emplace_back(path, embedded);
        *shot = embedded;
    };
    for (const char* list : {"events", "boxes"}) {
        if (Json* items = report.Find(list)) {
            for (Json& item : items->items()) embed(item.Find("screenshot"));
        }
    }
    if (Json* shots = report.Find("screenshots")) {
        std::vector<Json> kept;
        for (Json& shot : shots->items()) {
            embed(&shot);
            if (!shot.isNull()) kept.push_back(shot);
        }
        shots->items() = kept;
    }
    embed(report.Find("screenshotAfterRun"));
    if (lost.empty()) return;
    Json* notes = report.Find("notes");
    if (!notes) notes = &report.Set("notes", Json::Array());
    for (const std::string& note : lost) notes->Push(note);
}

BoundedRead ReadBoundedFile(const std::string& path, std::uint64_t limit, std::string& text,
                            std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        error = fd < 0 ? std::string("cannot be opened (") + std::strerror(errno) + ")" : "is not a file";
        if (fd >= 0) ::close(fd);
        return BoundedRead::Missing;
    }
    text.clear();
    char buffer[1 << 16];
    ssize_t n = 0;
    while (text.size() <= limit &&
           ((n = ::read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))) {
        if (n > 0) text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (text.size() > limit) {
        error = "is larger than " + std::to_string(limit) + " bytes";
        return BoundedRead::TooLarge;
    }
    return BoundedRead::Read;
}

bool TrialScreenshot(const std::string& path, std::string& png, std::string& why) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        why = std::string("cannot open it (") + std::strerror(errno) + ")";
        return false;
    }
    struct stat info {};
    const std::string tooLarge = "larger than " + std::to_string(kMaxScreenshot) + " bytes";
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        why = "not a regular file";
        return false;
    }
    if (static_cast<std::uint64_t>(info.st_size) > kMaxScreenshot) {
        ::close(fd);
        why = tooLarge;
        return false;
    }
    png.clear();
    char buffer[1 << 16];
    while (png.size() <= kMaxScreenshot) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        png.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (png.size() > kMaxScreenshot) {
        why = tooLarge;
        return false;
    }
    if (png.compare(0, 8, "\x89PNG\r\n\x1A\n", 8) != 0) {
        why = "not a PNG image";
        return false;
    }
    return true;
}

std::string TrialText(const Json& r) {
    const Json &s = r["system"], &lang = r["language"], &launcher = r["launcher"],
               &browser = r["browser"], &rep = s["reported"];
    std::string out;
    // Names, command lines and captions come from the disc's programs: no control character of
    // theirs reaches the terminal.
    auto w = [&](const std::string& line) { out += EscapeControls(line) + "\n"; };
    if (!r["identity"].isNull()) w("Report    " + IdentityWords(r["identity"]));
    w("Disc      " + Words(r["disc"]["path"]) + " (" + DiscKindWords(r["disc"]) +
      "), read-only in CD-ROM drive D:");
    const long long build = Whole(rep["platformId"]) == 1 ? (Whole(rep["build"]) & 0xFFFF) : Whole(rep["build"]);
    std::string reported = "version " + Words(rep["major"]) + "." + Words(rep["minor"]) + "." +
                           std::to_string(build) + ", platform " + Words(rep["platformId"]) + ", " +
                           Words(rep["bits"]) + "-bit";
    reported += rep["extendedQuery"].boolean()
                    ? ", product type " + Words(rep["productType"]) + " from the extended version query"
                    : ", and no answer to the extended version query (no product type)";
    w("System    " + Words(s["title"]) + " (" + Words(s["profile"]) + ") by Wine's setting " +
      Words(s["wineSetting"]) + " in a " + Words(s["prefix"]) + " prefix: " + reported);
    w("Wine      " + Words(r["wine"]) + ", under the account " + Words(r["account"]));
    w("Language  " + Words(lang["langId"]) + " " + Words(lang["locale"]) + " (LC_ALL=" +
      Words(lang["lcAll"]) + "), code page " + Words(lang["codePage"]));
    w("");
    w("What happened (seconds after " + Words(launcher["program"]) + " was started)");
    for (const Json& e : r["events"].items()) {
        const std::string at = "  " + Format("%7.2f", Real(e["seconds"])) + "  " + Words(e["by"]) +
                               " (" + HexPid(e["byPid"]) + ") ";
        const std::string kind = e["kind"].text();
        if (kind == "start") {
            w(at + StartWords(e));
            const bool complete = e["commandLineComplete"].isNull() || e["commandLineComplete"].boolean();
            w("           command line: " + Words(e["commandLine"]) +
              (complete ? "" : "  (cut short in Wine's trace)"));
        } else if (kind == "load") {
            w(at + "loaded " + Words(e["path"]));
        } else if (kind == "box") {
            w(at + "showed a box [" + Words(e["caption"]) + "] " + Words(e["text"]));
            if (!e["screenshot"].isNull() && !e["screenshot"].text().empty())
                w("           screenshot: " + ShotWords(e["screenshot"]));
        } else if (kind == "end") {
            w(at + "ended with exit code " + Words(e["exitCode"]));
        }
    }
    if (!launcher["ended"].boolean()) {
        w("  " + Format("%7.2f", Real(launcher["seconds"])) + "  the launcher still ran and " +
          StoppedWhy(launcher, browser) + ": it was ended");
    }
    w("");
    w("Browser   " + BrowserWords(browser));
    for (const Json& title : browser["windows"].items()) w("          window: " + title.text());
    if (launcher["ended"].boolean()) {
        w("Launcher  exit code " + Words(launcher["exitCode"]) + " after " +
          Format("%.2f", Real(launcher["seconds"])) + " s");
    } else {
        w("Launcher  still running after " + Format("%.2f", Real(launcher["seconds"])) +
          " s, then ended by the trial");
    }
    // The first line beside the heading, the others under it.
    auto listing = [&](const std::string& head, const std::vector<std::string>& lines,
                       const std::string& empty) {
        const std::vector<std::string> shown = lines.empty() ? std::vector<std::string>{empty} : lines;
        for (std::size_t i = 0; i < shown.size(); ++i) {
            std::string heading = i == 0 ? head : "";
            heading.resize(std::max<std::size_t>(heading.size(), 10), ' ');
            w(heading + shown[i]);
        }
    };
    std::vector<std::string> files;
    for (const Json& c : r["windowsDirectory"].items())
        files.push_back(WindowsChange(c, [](const std::string& t) { return "\"" + EscapeControls(t) + "\""; }));
    listing("Windows", files, "nothing written to the Windows directory");
    std::vector<std::string> keys;
    for (const Json& k : r["registry"]["added"].items()) {
        keys.push_back("new key " + k["key"].text());
        for (const Json& v : k["values"].items()) keys.push_back("    " + v.text());
    }
    for (const Json& k : r["registry"]["removed"].items()) keys.push_back("removed key " + k.text());
    listing("Registry", keys, "no key appeared or went");
    std::vector<std::string> running;
    for (const Json& p : r["running"].items()) running.push_back(RunningWords(p));
    listing("Running", running, "nothing the run started");
    std::vector<std::string> screens;
    for (const Json& shot : r["screenshots"].items()) screens.push_back(ShotWords(shot));
    listing("Screens", screens, "none");
    for (const Json& note : r["notes"].items()) w("Note      " + note.text());
    w("");
    const Json& o = r["outcome"];
    const std::vector<Json>& faults = o["faults"].items();
    if (!faults.empty()) {
        w("Verdict   " + o["result"].text() + ": " + std::to_string(faults.size()) + " " +
          Plural(static_cast<long long>(faults.size()), "fault"));
        for (const Json& f : faults) w("  - " + f.text());
    } else {
        w("Verdict   " + o["result"].text() + ": the launcher started the browser and ended with exit code "
          "0; the browser runs as " + Words(browser["process"]));
    }
    w("Expected  " + ExpectedWords(o));
    const std::vector<Json>& errors = r["check"]["errors"].items();
    if (!errors.empty()) {
        w("Check     " + std::to_string(errors.size()) + " " +
          Plural(static_cast<long long>(errors.size()), "error") + " on the disc:");
    }
    for (const Json& e : errors)
        w("  - " + e["code"].text() + "  " + e["path"].text() + ": " + e["message"].text());
    return out;
}

std::string TrialHtml(const Json& r) {
    return HtmlDocument("disckit trial: " + r["disc"]["path"].text(), TrialHtmlBody(r));
}

std::string TrialHtmlBody(const Json& r) {
    const Json &s = r["system"], &lang = r["language"], &launcher = r["launcher"],
               &browser = r["browser"], &rep = s["reported"], &disc = r["disc"], &o = r["outcome"];
    std::string body = "<h1>disckit trial: " + HtmlText(disc["path"].text()) + "</h1>\n" +
                       IdentityHtml(r["identity"]);
    const std::vector<Json>& faults = o["faults"].items();
    if (!faults.empty()) {
        std::string items;
        for (const Json& f : faults) items += "<li>" + HtmlText(f.text()) + "</li>";
        body += "<div class=\"verdict bad\"><b>" + HtmlText(o["result"].text()) + "</b>: " +
                std::to_string(faults.size()) + " " + Plural(static_cast<long long>(faults.size()), "fault") +
                "<ul>" + items + "</ul></div>\n";
    } else {
        body += "<div class=\"verdict good\"><b>" + HtmlText(o["result"].text()) +
                "</b>: the launcher started the browser and ended with exit code 0; the browser runs as " +
                HtmlText(browser["process"].text()) + "</div>\n";
    }
    body += std::string("<p class=\"expected ") + (o["asExpected"].boolean() ? "good" : "bad") +
            "\"><b>Expected</b> " + HtmlText(ExpectedWords(o)) + "</p>\n";
    body += "<table>\n";
    std::string browserWords = BrowserWords(browser);
    for (const Json& t : browser["windows"].items()) browserWords += "; window: " + t.text();
    const std::pair<std::string, std::string> rows[] = {
        {"Disc", Words(disc["path"]) + " (" + DiscKindWords(disc) + "), read-only in CD-ROM drive D:"},
        {"System", Words(s["title"]) + " (" + Words(s["profile"]) + ") by Wine's setting " +
                       Words(s["wineSetting"]) + " in a " + Words(s["prefix"]) + " prefix: version " +
                       Words(rep["major"]) + "." + Words(rep["minor"]) + "." + Words(rep["build"]) +
                       ", platform " + Words(rep["platformId"]) + ", " + Words(rep["bits"]) +
                       "-bit, product type " + Words(rep["productType"]) +
                       (rep["extendedQuery"].boolean() ? " from the extended version query" : "")},
        {"Wine", Words(r["wine"]) + ", under the account " + Words(r["account"])},
        {"Language", Words(lang["langId"]) + " " + Words(lang["locale"]) + " (LC_ALL=" +
                         Words(lang["lcAll"]) + "), code page " + Words(lang["codePage"])},
        {"Launcher", launcher["ended"].boolean()
                         ? "exit code " + Words(launcher["exitCode"]) + " after " + Seconds(launcher["seconds"])
                         : "still running after " + Seconds(launcher["seconds"]) +
                               ", then ended by the trial (" + Words(launcher["stoppedBecause"]) + ")"},
        {"Browser", browserWords},
    };
    for (const auto& row : rows)
        body += "<tr><th>" + HtmlText(row.first) + "</th><td>" + HtmlText(row.second) + "</td></tr>\n";
    body += "</table>\n";
    body += "<h2>Timeline (seconds after " + HtmlText(launcher["program"].text()) + " was started)</h2>\n";
    body += Timeline(r);
    body += "<h2>What happened</h2>\n<table>\n";
    for (const Json& e : r["events"].items()) body += EventRow(e);
    if (!launcher["ended"].boolean()) {
        body += "<tr><td class=\"mono time\">" + Seconds(launcher["seconds"]) +
                "</td><td>the launcher still ran and " + HtmlText(StoppedWhy(launcher, browser)) +
                ": it was ended</td></tr>\n";
    }
    body += "</table>\n<h2>The screen after the run</h2>\n";
    body += Screenshot(r["screenshotAfterRun"], "the screen after the run");
    std::vector<std::string> files;
    for (const Json& c : r["windowsDirectory"].items())
        files.push_back(WindowsChange(c, [](const std::string& t) { return "\xE2\x80\x9C" + t + "\xE2\x80\x9D"; }));
    body += "<h2>The Windows directory</h2>\n";
    body += Listing(files, "nothing written to the Windows directory");
    std::vector<std::string> keys;
    for (const Json& k : r["registry"]["added"].items()) {
        std::string key = "new key " + k["key"].text();
        for (const Json& v : k["values"].items()) key += "\n    " + v.text();
        keys.push_back(key);
    }
    for (const Json& k : r["registry"]["removed"].items()) keys.push_back("removed key " + k.text());
    body += "<h2>The registry</h2>\n";
    body += Listing(keys, "no key appeared or went", "<li class=\"mono\" style=\"white-space: pre-wrap\">");
    std::vector<std::string> running;
    for (const Json& p : r["running"].items()) running.push_back(RunningWords(p));
    body += "<h2>Running at the end</h2>\n";
    body += Listing(running, "nothing the run started");
    std::vector<std::string> windows;
    for (const Json& w : r["windows"].items()) {
        windows.push_back((w["process"].isNull() || w["process"].text().empty() ? "?" : w["process"].text()) +
                          " (" + HexPid(w["pid"]) + "): " + Words(w["class"]) + " \xE2\x80\x9C" +
                          Words(w["title"]) + "\xE2\x80\x9D");
    }
    body += "<h2>Windows on the screen</h2>\n";
    body += Listing(windows, "none");
    std::vector<std::string> notes;
    for (const Json& n : r["notes"].items()) notes.push_back(n.text());
    if (!notes.empty()) body += "<h2>Notes</h2>\n" + Listing(notes, "");
    return body;
}


std::string TrialJUnit(const Json& r) {
    const Json& o = r["outcome"];
    JUnitCase c;
    c.className = "disckit.trial";
    c.name = r["system"]["profile"].text() + " " + r["language"]["locale"].text();
    std::string said = o["result"].text() + "; expected " + ExpectedWords(o);
    for (const Json& f : o["faults"].items()) said += "\nfault: " + f.text();
    for (const Json& e : r["check"]["errors"].items()) {
        said += "\ncheck: " + e["code"].text() + " " + e["path"].text() + ": " + e["message"].text();
    }
    c.failed = o["exitCode"].text() != "0";
    if (c.failed) {
        c.failureType = o["result"].text();
        c.failureMessage = o["asExpected"].boolean()
                               ? o["result"].text() + " as expected, but check finds " +
                                     std::to_string(r["check"]["errors"].items().size()) +
                                     " error(s) on the disc"
                               : o["result"].text() + ", expected " + o["expected"].text();
        c.details = said;
    } else {
        c.output = said;
    }
    JUnitSuite suite;
    suite.name = "disckit trial " + r["disc"]["path"].text();
    suite.cases.push_back(std::move(c));
    return JUnitXml("disckit trial", {suite});
}
#endif
