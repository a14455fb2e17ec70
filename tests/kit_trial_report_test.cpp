// The trial's report: the driver's observations read as hostile input, the start page looked
// up on the disc as simulate looks it up, the verdict, and the report in words, JSON and HTML.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "kit/common/Json.h"
#include "kit/disc/DiscReader.h"
#include "kit/simulate/SimDisc.h"
#include "kit/trial/TrialReport.h"

namespace fs = std::filesystem;

namespace {

using Observed = nlohmann::ordered_json;

const char* kCaption = "Discmate";
const char* kRefusal = "Swiftdeck does not support this version of windows.";

// What the driver writes for a clean run: the launcher started the browser, which runs, and
// ended with 0.
Observed CleanRun() {
    return Observed::parse(R"({
      "disc": {"path": "/discs/sample.iso", "kind": "image"}, "wine": "wine-8.0",
      "system": {"profile": "7-x64", "title": "Windows 7, 64-bit", "wineSetting": "win7",
                 "prefix": "win64", "reported": {"platformId": 2, "major": 6, "minor": 1,
                 "build": 7601, "productType": 1, "bits": 64, "extendedQuery": true}},
      "language": {"langId": "0x0409", "locale": "en-US", "lcAll": "en_US.UTF-8", "codePage": 1252},
      "launcher": {"program": "D:\\Start.exe", "pid": 32, "ended": true, "exitCode": 0,
                   "seconds": 3.5, "stoppedBecause": null},
      "events": [
        {"seconds": 0.5, "kind": "start", "by": "Start.exe", "byPid": 32,
         "program": "D:\\Panoview.exe", "commandLine": "Panoview.exe \"D:\\lang\\Eng\\Welcome.htm",
         "commandLineComplete": true, "pid": 68, "state": "started"},
        {"seconds": 3.5, "kind": "end", "by": "Start.exe", "byPid": 32, "exitCode": 0}],
      "browser": {"program": "Panoview.exe", "process": "PANOVIEW.EXE", "starts": 1,
                  "startsByLauncher": 1,
                  "commandLines": ["Panoview.exe \"D:\\lang\\Eng\\Welcome.htm"],
                  "failedStarts": 0, "ended": 0, "firstStart": 0.5, "lastStart": 0.5,
                  "running": true, "runningAs": [{"pid": 68, "name": "Panoview.exe"}],
                  "windows": ["Welcome"]},
      "windowsDirectory": [], "registry": {"added": [], "removed": []},
      "running": [{"pid": 68, "name": "Panoview.exe", "startedBy": "Start.exe", "state": "ready"}],
      "windows": [], "boxes": [], "screenshots": [], "screenshotAfterRun": null,
      "account": "disclab", "sandbox": "bubblewrap", "diskBudget": 2147483648})");
}

TrialVerdictInputs Inputs() {
    TrialVerdictInputs inputs;
    inputs.refusalCaption = kCaption;
    inputs.refusalText = kRefusal;
    return inputs;
}

bool Everywhere(const std::string&) { return true; }

Json Report(const Observed& observed, const TrialVerdictInputs& inputs = Inputs(),
            const std::function<bool(const std::string&)>& onDisc = Everywhere) {
    Json report;
    std::string error;
    EXPECT_TRUE(TrialReportOf(observed.dump(), inputs, onDisc, report, error)) << error;
    return report;
}

std::vector<std::string> Texts(const Json& list) {
    std::vector<std::string> out;
    for (const Json& item : list.items()) out.push_back(item.text());
    return out;
}

// A folder that is removed with the test.
class TempFolder {
public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "trial-report-XXXXXX").string();
        EXPECT_NE(mkdtemp(&pattern[0]), nullptr);
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }
    void Write(const fs::path& relative, const std::string& data) const {
        fs::create_directories((path_ / relative).parent_path());
        std::ofstream(path_ / relative, std::ios::binary) << data;
    }

private:
    fs::path path_;
};

TEST(TrialObservations, WhatTheDriverDoesNotWriteIsRefused) {
    const struct {
        const char* what;
        std::function<void(Observed&)> change;
        const char* error;
    } rows[] = {
        {"seconds as text", [](Observed& o) { o["launcher"]["seconds"] = "3.5"; }, "launcher.seconds"},
        {"a flag as a number", [](Observed& o) { o["launcher"]["ended"] = 1; }, "launcher.ended"},
        {"no events", [](Observed& o) { o.erase("events"); }, "events"},
        {"an event without its time", [](Observed& o) { o["events"][1].erase("seconds"); },
         "events[1]"},
        {"a pid as a fraction", [](Observed& o) { o["events"][0]["pid"] = 1.5; }, "events[0].pid"},
        {"a command line as a list", [](Observed& o) { o["browser"]["commandLines"][0] = Observed::array(); },
         "browser.commandLines[0]"},
        {"a text past its bound",
         [](Observed& o) { o["boxes"] = Observed::parse(R"([{"seconds": 1, "caption": "", "text": "",
                             "pid": 1, "screenshot": null, "by": "x"}])");
                           o["boxes"][0]["text"] = std::string(kMaxTrialText + 1, 'x'); },
         "boxes[0].text"},
        {"notes as text", [](Observed& o) { o["notes"] = "one"; }, "notes"},
        {"not an object", [](Observed& o) { o = Observed::array(); }, "observations"},
    };
    for (const auto& row : rows) {
        Observed o = CleanRun();
        row.change(o);
        Json report;
        std::string error;
        EXPECT_FALSE(TrialReportOf(o.dump(), Inputs(), Everywhere, report, error)) << row.what;
        EXPECT_NE(error.find(row.error), std::string::npos) << row.what << ": " << error;
    }
    Json report;
    std::string error;
    // Bytes that are no UTF-8 are no JSON text: the driver writes none.
    EXPECT_FALSE(TrialReportOf("{\"wine\": \"\xFF\"}", Inputs(), Everywhere, report, error));
    EXPECT_FALSE(TrialReportOf("{", Inputs(), Everywhere, report, error));
    // What the driver adds that the report does not carry stays out of it.
    Observed extra = CleanRun();
    extra["secret"] = "x";
    const std::string json = Report(extra).Dump();
    EXPECT_EQ(json.find("secret"), std::string::npos);
    EXPECT_EQ(json.find("diskBudget"), std::string::npos);
    // Numbers keep their digits.
    extra["launcher"]["seconds"] = 1234.567;
    EXPECT_EQ(Report(extra)["launcher"]["seconds"].text(), "1234.567");
}

TEST(TrialVerdict, FromWhatWasSeen) {
    const Observed box = Observed::parse(R"({"seconds": 1.0, "caption": "Discmate",
        "text": "Swiftdeck does not support this version of windows.", "pid": 32,
        "screenshot": null, "by": "Start.exe"})");
    const struct {
        const char* what;
        std::function<void(Observed&)> change;
        std::string result;
        std::vector<std::string> faults;
    } rows[] = {
        {"a clean run", [](Observed&) {}, "browser-running", {}},
        {"the launcher's refusal",
         [&](Observed& o) { o["boxes"].push_back(box); o["browser"]["running"] = false; },
         "refused",
         {"Start.exe refused this system: [Discmate] Swiftdeck does not support this version of windows.",
          "no process PANOVIEW.EXE runs at the end (the browser was started 1 times)"}},
        {"the same box from another process",
         [&](Observed& o) { Observed b = box; b["pid"] = 68; b["by"] = "Panoview.exe"; o["boxes"].push_back(b); },
         "box",
         {"Panoview.exe showed a box: [Discmate] Swiftdeck does not support this version of windows."}},
        {"a launcher that kept starting the browser",
         [](Observed& o) {
             o["launcher"]["ended"] = false; o["launcher"]["exitCode"] = nullptr;
             o["launcher"]["stoppedBecause"] = "loop"; o["launcher"]["seconds"] = 9.25;
             o["browser"]["startsByLauncher"] = 4; o["browser"]["lastStart"] = 8.75; },
         "keeps-starting-browser",
         {"the launcher keeps starting the browser: 4 starts in 8.2 s, and was stopped after 9.2 s"}},
        {"a launcher that ran out of time",
         [](Observed& o) { o["launcher"]["ended"] = false; o["launcher"]["stoppedBecause"] = "time";
                           o["launcher"]["seconds"] = 60.2; },
         "did-not-end", {"the launcher did not end within 60 s (browser started 1 times)"}},
        {"a folder past its budget",
         [](Observed& o) { o["launcher"]["ended"] = false; o["launcher"]["stoppedBecause"] = "disk";
                           o["launcher"]["seconds"] = 12.0; },
         "did-not-end",
         {"the run was stopped after 12 s: the trial's folder grew past its budget of 2048 MiB"}},
        {"a browser gone at the end", [](Observed& o) { o["browser"]["running"] = false; },
         "browser-not-running",
         {"no process PANOVIEW.EXE runs at the end (the browser was started 1 times)"}},
        {"a launcher that ended with 3", [](Observed& o) { o["launcher"]["exitCode"] = 3; },
         "exit-code", {"the launcher ended with exit code 3"}},
    };
    for (const auto& row : rows) {
        Observed o = CleanRun();
        row.change(o);
        const Json report = Report(o);
        EXPECT_EQ(report["outcome"]["result"].text(), row.result) << row.what;
        EXPECT_EQ(Texts(report["outcome"]["faults"]), row.faults) << row.what;
        EXPECT_EQ(report["outcome"]["exitCode"].text(), row.faults.empty() ? "0" : "1") << row.what;
    }
    // A start page the disc lacks is a fault of a run that looks clean; check's errors beside
    // the verdict make it no clean one either.
    const Json missing = Report(CleanRun(), Inputs(), [](const std::string&) { return false; });
    EXPECT_EQ(missing["outcome"]["result"].text(), "browser-running");
    EXPECT_EQ(Texts(missing["outcome"]["faults"]),
              std::vector<std::string>{"the browser's start page D:\\lang\\Eng\\Welcome.htm is not there"});
    EXPECT_EQ(missing["outcome"]["exitCode"].text(), "1");
    TrialVerdictInputs withErrors = Inputs();
    Json error = Json::Object();
    error.Set("code", "default-start-page-missing");
    error.Set("path", "lang\\Eng\\Welcome.htm");
    error.Set("message", "gone");
    withErrors.checkErrors.Push(error);
    const Json checked = Report(CleanRun(), withErrors);
    EXPECT_EQ(checked["outcome"]["exitCode"].text(), "1");
    EXPECT_NE(TrialText(checked).find("Check     1 error on the disc:\n"
                                      "  - default-start-page-missing  lang\\Eng\\Welcome.htm: gone\n"),
              std::string::npos);
}

// The exit code says whether the run came out as expected: by default what the launcher's gate
// decides (browser-running here), or what --expect says; check's errors on the disc fail it
// either way.
TEST(TrialVerdict, AgainstTheExpectedOutcome) {
    const Observed box = Observed::parse(R"({"seconds": 1.0, "caption": "Discmate",
        "text": "Swiftdeck does not support this version of windows.", "pid": 32,
        "screenshot": null, "by": "Start.exe"})");
    const auto refused = [&](Observed& o) { o["boxes"].push_back(box); o["browser"]["running"] = false; };
    const auto loops = [](Observed& o) {
        o["launcher"]["ended"] = false; o["launcher"]["exitCode"] = nullptr;
        o["launcher"]["stoppedBecause"] = "loop"; o["launcher"]["seconds"] = 9.25;
        o["browser"]["startsByLauncher"] = 4; o["browser"]["lastStart"] = 8.75; };
    const auto clean = [](Observed&) {};
    const struct {
        const char* what;
        std::function<void(Observed&)> change;
        std::string expected;
        bool chosen, checkErrors, startPageThere;
        bool asExpected;
        std::string exitCode;
    } rows[] = {
        {"a refusal where the gate refuses", refused, "refused", false, false, true, true, "0"},
        {"a refusal where the browser should run", refused, "browser-running", false, false, true, false, "1"},
        {"a refusal expected, with check errors", refused, "refused", true, true, true, true, "1"},
        {"a clean run where a refusal is expected", clean, "refused", true, false, true, false, "1"},
        {"a clean run expected", clean, "browser-running", false, false, true, true, "0"},
        {"a run without its start page", clean, "browser-running", false, false, false, false, "1"},
        {"a loop expected", loops, "keeps-starting-browser", true, false, true, true, "0"},
        {"a loop where the browser should run", loops, "browser-running", false, false, true, false, "1"},
    };
    for (const auto& row : rows) {
        Observed o = CleanRun();
        row.change(o);
        TrialVerdictInputs inputs = Inputs();
        inputs.expected = row.expected;
        inputs.expectedChosen = row.chosen;
        if (row.checkErrors) {
            Json error = Json::Object();
            error.Set("code", "browser-missing");
            error.Set("path", "Panoview.exe");
            error.Set("message", "gone");
            inputs.checkErrors.Push(error);
        }
        const bool there = row.startPageThere;
        const Json report = Report(o, inputs, [there](const std::string&) { return there; });
        const Json& outcome = report["outcome"];
        EXPECT_EQ(outcome["expected"].text(), row.expected) << row.what;
        EXPECT_EQ(outcome["asExpected"].boolean(), row.asExpected) << row.what;
        EXPECT_EQ(outcome["exitCode"].text(), row.exitCode) << row.what;
        EXPECT_EQ(outcome["expectedBy"].text(), row.chosen ? "--expect" : "the launcher's gate") << row.what;
        const std::string words = TrialText(report);
        EXPECT_NE(words.find("Expected  " + row.expected + " (by "), std::string::npos) << words;
        EXPECT_NE(words.find(row.asExpected ? "): as expected\n" : "): not as expected"),
                  std::string::npos) << words;
        // The JUnit case fails exactly where the exit code does.
        const std::string junit = TrialJUnit(report);
        EXPECT_EQ(junit.find("<failure") != std::string::npos, row.exitCode == "1") << junit;
        EXPECT_NE(junit.find("<testcase name=\"7-x64 en-US\" classname=\"disckit.trial\""),
                  std::string::npos) << junit;
        EXPECT_NE(TrialHtml(report).find(std::string("<p class=\"expected ") +
                                         (row.asExpected ? "good" : "bad") + "\"><b>Expected</b>"),
                  std::string::npos) << row.what;
    }
}

TEST(TrialStartPage, TheLastQuotedPathOfTheCommandLine) {
    const struct {
        std::string line;
        bool found;
        char drive;
        std::string relative;
    } rows[] = {
        {"Panoview.exe \"D:\\lang\\Eng\\Welcome.htm", true, 'D', "lang\\Eng\\Welcome.htm"},
        {"Panoview.exe \"d:\\lang\\Eng\\Welcome.htm\"  ", true, 'd', "lang\\Eng\\Welcome.htm"},
        {"\"D:\\Panoview.exe\" \"E:\\x.htm", true, 'E', "x.htm"},
        {"Panoview.exe D:\\lang\\Welcome.htm", false, 0, ""},
        {"Panoview.exe \"D:\\a\" b", false, 0, ""},
        {"Panoview.exe \"1:\\a", false, 0, ""},
    };
    for (const auto& row : rows) {
        char drive = 0;
        std::string relative;
        EXPECT_EQ(StartPageOf(row.line, drive, relative), row.found) << row.line;
        if (!row.found) continue;
        EXPECT_EQ(drive, row.drive) << row.line;
        EXPECT_EQ(relative, row.relative) << row.line;
    }
}

// The page is looked for on a disc the user made, read as hostile: a link is not a page, a FIFO
// neither (and looking must not block), names fold as Windows folds them, letters outside ASCII
// too, and the answer is simulate's.
TEST(TrialStartPage, OnTheDiscAsSimulateFindsIt) {
    TempFolder tmp;
    const fs::path disc = tmp.path() / "disc";
    tmp.Write("disc/lang/DEU/Welcome.htm", "page");
    tmp.Write("disc/lang/DEU/\xC3\x84rger.htm", "page");       // Ärger.htm
    tmp.Write("disc/lang/DEU/WELCOM\xC3\x89.HTM", "page");      // WELCOMÉ.HTM
    tmp.Write("outside/Eng/Welcome.htm", "page");
    fs::create_directory_symlink(tmp.path() / "outside" / "Eng", disc / "lang" / "Eng");
    fs::create_symlink(disc / "lang" / "DEU" / "Welcome.htm", disc / "lang" / "DEU" / "Link.htm");
    ASSERT_EQ(mkfifo((disc / "lang" / "DEU" / "Fifo.htm").c_str(), 0600), 0);
    const struct {
        std::string relative;
        bool there;
    } rows[] = {
        {"lang\\deu\\WELCOME.HTM", true},
        {"lang\\DEU\\\xC3\xA4rger.htm", true},         // ärger.htm
        {"LANG\\deu\\\xC3\x84RGER.HTM", true},         // ÄRGER.HTM
        {"lang\\DEU\\welcom\xC3\xA9.htm", true},        // welcomé.htm
        {"lang\\DEU\\welcome.htm\\", true},
        {"lang\\DEU\\Argerr.htm", false},
        {"lang\\Eng\\Welcome.htm", false},              // through a link
        {"lang\\DEU\\Link.htm", false},
        {"lang\\DEU\\Fifo.htm", false},
        {"lang\\DEU", false},                            // a folder
        {"lang\\..\\lang\\DEU\\Welcome.htm", false},
        {"", false},
    };
    FolderReader reader(disc);
    SimDisc simulate(disc);
    for (const auto& row : rows) {
        EXPECT_EQ(TrialFileOnDisc(reader, row.relative), row.there) << row.relative;
        // simulate's lookup gives the same answer for each path it can be asked.
        std::vector<std::string> parts;
        std::string part;
        for (char c : row.relative + "\\") {
            if (c != '\\') {
                part += c;
            } else if (!part.empty()) {
                parts.push_back(part);
                part.clear();
            }
        }
        if (parts.empty() || row.relative.find("..") != std::string::npos) continue;
        SimDisc::Entry entry;
        EXPECT_EQ(simulate.Find(parts, entry) && !entry.directory, row.there) << row.relative;
    }
    const std::vector<std::string> lines = {"Panoview.exe \"D:\\lang\\Eng\\Welcome.htm",
                                            "Panoview.exe \"D:\\lang\\deu\\\xC3\xA4rger.htm",
                                            "Panoview.exe \"C:\\nowhere.htm"};
    EXPECT_EQ(StartPageFaults(lines, [&](const std::string& r) { return TrialFileOnDisc(reader, r); }),
              std::vector<std::string>{"the browser's start page D:\\lang\\Eng\\Welcome.htm is not there"});
}

// A start of a program of the disc that failed says why when the disc has no such file.
TEST(TrialReport, AFailedStartOfAMissingProgramSaysWhy) {
    Observed o = CleanRun();
    o["events"][0]["state"] = "failed";
    o["events"][0]["pid"] = nullptr;
    const Json report = Report(o, Inputs(), [](const std::string& r) { return r != "Panoview.exe"; });
    EXPECT_EQ(report["events"].items()[0]["why"].text(), "the disc has no such file");
    EXPECT_NE(TrialText(report).find("tried to start D:\\Panoview.exe; it did not start: the disc has "
                                     "no such file\n"),
              std::string::npos);
    EXPECT_TRUE(Report(o)["events"].items()[0]["why"].isNull());
}

// Characters that act instead of showing, in what the disc's programs wrote (here a box's
// caption), through every renderer of the report: the terminal shows their bytes, JSON escapes
// them, a page puts a marker in their place. None passes on.
TEST(TrialReport, NoRendererPassesAControlCharacterOn) {
    const struct {
        const char* what;
        std::string value, terminal, json, html;
    } rows[] = {
        {"U+202E, the right-to-left override", "a\xE2\x80\xAE" "b", "a\\xE2\\x80\\xAEb",
         "\"a\\u202eb\"", "a<span class=\"ctl\">U+202E</span>b"},
        {"U+009B, the 8-bit CSI", "\xC2\x9B" "2J", "\\xC2\\x9B2J", "\"\\u009b2J\"",
         "<span class=\"ctl\">U+009B</span>2J"},
        {"U+2066 and U+2069", "\xE2\x81\xA6x\xE2\x81\xA9", "\\xE2\\x81\\xA6x\\xE2\\x81\\xA9",
         "\"\\u2066x\\u2069\"", "<span class=\"ctl\">U+2066</span>x<span class=\"ctl\">U+2069</span>"},
        {"C0 controls and DEL", "\x1B[31m\x7F", "\\x1B[31m\\x7F", "\"\\u001b[31m\\u007f\"",
         "\\x1B[31m\\x7F"},
        {"a line end", "a\nb", "a\\x0Ab", "\"a\\nb\"", "a\nb"},
        {"markup", "<b>&", "<b>&", "\"<b>&\"", "&lt;b&gt;&amp;"},
        {"their neighbours are text: U+00A0, U+200D", "\xC2\xA0\xE2\x80\x8D", "\xC2\xA0\xE2\x80\x8D",
         "\"\xC2\xA0\xE2\x80\x8D\"", "\xC2\xA0\xE2\x80\x8D"},
    };
    for (const auto& row : rows) {
        Observed o = CleanRun();
        o["events"].push_back({{"seconds", 1.25}, {"kind", "box"}, {"by", "Start.exe"}, {"byPid", 32},
                               {"caption", row.value}, {"text", "t"}, {"screenshot", nullptr}});
        const Json report = Report(o);
        EXPECT_NE(TrialText(report).find("showed a box [" + row.terminal + "] t\n"), std::string::npos)
            << row.what;
        std::string lower = report.Dump();
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::string json = row.json;
        for (char& c : json) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_NE(lower.find("\"caption\": " + json), std::string::npos) << row.what;
        EXPECT_NE(TrialHtml(report).find("showed a box [" + row.html + "] t"), std::string::npos)
            << row.what;
    }
}

TEST(TrialReport, InWords) {
    Observed o = CleanRun();
    o["windowsDirectory"] = Observed::parse(R"([{"path": "C:\\windows\\Handoff.ini", "change": "added",
        "size": 12, "readOnly": true, "text": "[x]\r\n"}, {"path": "C:\\windows\\old.ini",
        "change": "removed"}])");
    o["registry"]["added"] = Observed::parse(R"([{"key": "HKCR\\x", "values": ["\"a\"=\"b\""]}])");
    o["notes"] = {"a note"};
    const std::string text = TrialText(Report(o));
    EXPECT_EQ(text,
              "Disc      /discs/sample.iso (image), read-only in CD-ROM drive D:\n"
              "System    Windows 7, 64-bit (7-x64) by Wine's setting win7 in a win64 prefix: version "
              "6.1.7601, platform 2, 64-bit, product type 1 from the extended version query\n"
              "Wine      wine-8.0, under the account disclab\n"
              "Language  0x0409 en-US (LC_ALL=en_US.UTF-8), code page 1252\n"
              "\n"
              "What happened (seconds after D:\\Start.exe was started)\n"
              "     0.50  Start.exe (0020) started D:\\Panoview.exe as 0044\n"
              "           command line: Panoview.exe \"D:\\lang\\Eng\\Welcome.htm\n"
              "     3.50  Start.exe (0020) ended with exit code 0\n"
              "\n"
              "Browser   started 1 time; PANOVIEW.EXE runs: Panoview.exe (0044)\n"
              "          window: Welcome\n"
              "Launcher  exit code 0 after 3.50 s\n"
              "Windows   added C:\\windows\\Handoff.ini (12 bytes, read-only): \"[x]\\x0D\\x0A\"\n"
              "          removed C:\\windows\\old.ini\n"
              "Registry  new key HKCR\\x\n"
              "              \"a\"=\"b\"\n"
              "Running   Panoview.exe (0044, started by Start.exe): ready\n"
              "Screens   none\n"
              "Note      a note\n"
              "\n"
              "Verdict   browser-running: the launcher started the browser and ended with exit code 0; "
              "the browser runs as PANOVIEW.EXE\n"
              "Expected  browser-running (by the launcher's gate): as expected\n");
}

// A page made from texts with markup: none of it becomes markup, the box's screenshot is
// embedded, and a screenshot that is a link is not followed.
TEST(TrialReport, AsAPageThatCarriesNoMarkupOfTheDisc) {
    TempFolder tmp;
    const std::string png = std::string("\x89PNG\r\n\x1A\n", 8) + "picture";
    tmp.Write("box-1.png", png);
    tmp.Write("elsewhere.png", png);
    tmp.Write("not.png", "GIF89a");
    fs::create_symlink(tmp.path() / "elsewhere.png", tmp.path() / "after-run.png");
    Observed o = CleanRun();
    const std::string evil = "D:\\<script>alert(1)</script> & co.exe";
    o["disc"]["path"] = "/discs/<i>x</i>";
    o["events"] = Observed::array();
    o["events"].push_back({{"seconds", 0.2}, {"kind", "load"}, {"by", "Start.exe"}, {"byPid", 32},
                           {"path", "D:\\qzm.dll"}});
    o["events"].push_back({{"seconds", 0.5}, {"kind", "start"}, {"by", "Start.exe"}, {"byPid", 32},
                           {"program", evil}, {"commandLine", "\"<img src=x onerror=alert(1)>\""},
                           {"commandLineComplete", true}, {"pid", 68}, {"state", "started"}});
    o["events"].push_back({{"seconds", 1.25}, {"kind", "box"}, {"by", "Start.exe"}, {"byPid", 32},
                           {"caption", "Discmate <script>alert(1)</script>"}, {"text", "a & b\x07"},
                           {"screenshot", (tmp.path() / "box-1.png").string()}});
    o["events"].push_back({{"seconds", 1.5}, {"kind", "box"}, {"by", "Start.exe"}, {"byPid", 32},
                           {"caption", "gif"}, {"text", ""},
                           {"screenshot", (tmp.path() / "not.png").string()}});
    o["screenshotAfterRun"] = (tmp.path() / "after-run.png").string();
    o["windowsDirectory"] = Observed::parse(R"([{"path": "C:\\windows\\<u>.ini", "change": "added",
        "size": 3, "readOnly": false, "text": "<p>"}])");
    o["registry"]["added"] = Observed::parse(R"([{"key": "HKCR\\<em>", "values": ["\"a\"=\"<br>\""]}])");
    o["running"][0]["name"] = "<script> & co.exe";
    o["windows"] = Observed::parse(R"([{"pid": 68, "process": "<script> & co.exe", "class": "<x>",
        "title": "</title><script>"}])");
    const std::string page = TrialHtml(Report(o));
    for (const char* markup : {"<script", "<i>", "<img src=x", "<u>", "HKCR\\<em>", "\"<br>\"", "<p>&", "<x>"})
        EXPECT_EQ(page.find(markup), std::string::npos) << markup;
    EXPECT_EQ(page.find("<title>"), page.rfind("<title>", page.find("</head>")));
    for (const char* shown :
         {"<title>disckit trial: /discs/&lt;i&gt;x&lt;/i&gt;</title>",
          "showed a box [Discmate &lt;script&gt;alert(1)&lt;/script&gt;] a &amp; b\\x07",
          "0.50 s</td><td>Start.exe (0020) started D:\\&lt;script&gt;",
          "0.20 s</td><td>Start.exe (0020) loaded D:\\qzm.dll",
          "the screen after the run: no picture (cannot open it (Too many levels of symbolic links))",
          "the box gif: no picture (not a PNG image)",
          "<circle class=\"load\"", "<polygon class=\"box\""}) {
        EXPECT_NE(page.find(shown), std::string::npos) << shown;
    }
    // The one picture fit to embed, once.
    const std::string embedded = "src=\"data:image/png;base64,iVBORw0KGgpwaWN0dXJl\"";
    EXPECT_NE(page.find(embedded), std::string::npos);
    EXPECT_EQ(page.find("data:image/png", page.find(embedded) + embedded.size()), std::string::npos);
}

TEST(TrialScreenshot, OnlyARegularPngWithinItsBound) {
    TempFolder tmp;
    tmp.Write("big.png", std::string("\x89PNG\r\n\x1A\n", 8));
    fs::resize_file(tmp.path() / "big.png", kMaxScreenshot + 1);
    ASSERT_EQ(mkfifo((tmp.path() / "fifo.png").c_str(), 0600), 0);
    std::string png, why;
    EXPECT_FALSE(TrialScreenshot((tmp.path() / "big.png").string(), png, why));
    EXPECT_EQ(why, "larger than " + std::to_string(kMaxScreenshot) + " bytes");
    EXPECT_FALSE(TrialScreenshot((tmp.path() / "fifo.png").string(), png, why));
    EXPECT_EQ(why, "not a regular file");
    EXPECT_FALSE(TrialScreenshot((tmp.path() / "none.png").string(), png, why));
    EXPECT_EQ(why, "cannot open it (No such file or directory)");
}

// Without --out the screenshots live only in the report: each file read once and put in as a
// data URI wherever the report names it, one that cannot be kept taken out with a note, and the
// HTML page shows the embedded picture as it showed the file.
TEST(TrialScreenshot, KeptInsideTheReportWithoutOut) {
    TempFolder tmp;
    tmp.Write("after-run.png", std::string("\x89PNG\r\n\x1A\npicture", 15));
    tmp.Write("box-1.gif", "GIF89a");
    Observed run = CleanRun();
    const std::string after = (tmp.path() / "after-run.png").string();
    const std::string box = (tmp.path() / "box-1.gif").string();
    run["events"].push_back({{"seconds", 1.0}, {"kind", "box"}, {"by", "Start.exe"}, {"byPid", 32},
                             {"caption", "c"}, {"text", "t"}, {"screenshot", box}});
    run["boxes"] = Observed::array({{{"seconds", 1.0}, {"caption", "c"}, {"text", "t"}, {"pid", 32},
                                     {"screenshot", box}, {"by", "Start.exe"}}});
    run["screenshots"] = {box, after};
    run["screenshotAfterRun"] = after;
    Json report = Report(run);
    EmbedTrialScreenshots(report);
    const std::string uri = "data:image/png;base64,iVBORw0KGgpwaWN0dXJl";
    EXPECT_EQ(report["screenshotAfterRun"].text(), uri);
    EXPECT_EQ(Texts(report["screenshots"]), std::vector<std::string>{uri});
    EXPECT_TRUE(report["boxes"].items()[0]["screenshot"].isNull());
    EXPECT_EQ(Texts(report["notes"]),
              std::vector<std::string>{"the screenshot box-1.gif could not be kept in the report: "
                                       "not a PNG image"});
    // Nothing names the folder the files were in.
    EXPECT_EQ(report.Dump().find(tmp.path().string()), std::string::npos);
    const std::string page = TrialHtml(report);
    EXPECT_NE(page.find("src=\"" + uri + "\""), std::string::npos);
    EXPECT_NE(TrialText(report).find("inside the JSON and HTML reports"), std::string::npos);
    // Embedding again changes nothing.
    const std::string once = report.Dump();
    EmbedTrialScreenshots(report);
    EXPECT_EQ(report.Dump(), once);
}

}  // namespace
