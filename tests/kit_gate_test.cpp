// disckit as a release gate: the outcomes simulate and trial share, what each system is expected
// to come to, the exit codes that follow, and the reports CI systems read (SARIF, JUnit XML),
// written whole or not at all.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "KitCheckDisc.h"
#include "kit/Verbs.h"
#include "kit/check/CheckFindings.h"
#include "kit/check/CheckFormats.h"
#include "kit/common/JUnit.h"
#include "kit/common/ReportFile.h"
#include "kit/simulate/SimDisc.h"
#include "kit/simulate/Simulation.h"
#include "kit/trial/TrialOptions.h"
#include "kit/windows/Outcomes.h"

namespace {

namespace fs = std::filesystem;
using kittest::DiscCopy;
using kittest::TempFolder;

std::string Read(const fs::path& path) { return kittest::ReadBytes(path); }

// The files a folder holds, by name: what a failed write must not leave behind.
std::set<std::string> Listing(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// Runs a python3 script on a file and returns what it printed (stderr too) and its status: a
// real XML parser reads the JUnit reports.
std::string RunPython(const std::string& script, const fs::path& file, int& status) {
    const std::string command =
        "python3 -c '" + script + "' '" + file.string() + "' 2>&1";
    std::string output;
    status = -1;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
        status = pclose(pipe);
    }
    return output;
}

// What an XML parser makes of a JUnit report: "tests failures" of the root, then for each
// failing case its name and the failure's message, one per line.
constexpr const char* kReadJUnit =
    "import sys, xml.etree.ElementTree as E\n"
    "root = E.parse(sys.argv[1]).getroot()\n"
    "assert root.tag == \"testsuites\", root.tag\n"
    "cases = root.findall(\"testsuite/testcase\")\n"
    "assert int(root.get(\"tests\")) == len(cases)\n"
    "for s in root.findall(\"testsuite\"):\n"
    "    assert int(s.get(\"tests\")) == len(s.findall(\"testcase\"))\n"
    "    assert int(s.get(\"failures\")) == len(s.findall(\"testcase/failure\"))\n"
    "print(root.get(\"tests\"), root.get(\"failures\"))\n"
    "for c in cases:\n"
    "    f = c.find(\"failure\")\n"
    "    if f is not None: print(c.get(\"name\") + \": \" + f.get(\"message\"))\n";

std::string ReadJUnit(const fs::path& file) {
    int status = 0;
    const std::string said = RunPython(kReadJUnit, file, status);
    EXPECT_EQ(status, 0) << said;
    return said;
}

// --- The outcomes and what is expected of each system -----------------------------------------

TEST(Outcomes, EachNameReadsBackAsItsOutcomeAndNothingElseIsOne) {
    const Outcome all[] = {Outcome::BrowserRunning, Outcome::Refused, Outcome::TurnedAway,
                           Outcome::KeepsStartingBrowser, Outcome::BrowserNotRunning, Outcome::Box,
                           Outcome::DidNotEnd, Outcome::ExitCode};
    std::string names;
    for (Outcome o : all) {
        Outcome back = Outcome::ExitCode == o ? Outcome::Box : Outcome::ExitCode;
        EXPECT_TRUE(ParseOutcome(OutcomeName(o), back)) << OutcomeName(o);
        EXPECT_EQ(back, o) << OutcomeName(o);
        names += (names.empty() ? "" : " ") + std::string(OutcomeName(o));
    }
    EXPECT_EQ(OutcomeNames(), names);
    // The option rows and their help list the same names.
    EXPECT_EQ(OutcomeNames(), DISCKIT_OUTCOME_NAMES);
    for (const char* text : {"", "loops-forever", "nothing", "Browser-Running", "browser-running ",
                             "refused,box", "?"}) {
        Outcome o;
        EXPECT_FALSE(ParseOutcome(text, o)) << text;
    }
}

// The default expectation is the launcher's own gate: where a simulated launcher (its own code)
// shows its refusal, refused is expected; where it goes on, browser-running.
TEST(Outcomes, TheDefaultIsWhatTheLaunchersGateDoes) {
    TempFolder folder;
    for (const char* name : {"Start.exe", "Panoview.exe", "qzm.dll", "Discpane.ocx", "Gauge.ocx",
                             "Handoff.exe", "lang/Eng/locale.js", "lang/Eng/Welcome.htm"}) {
        kittest::WriteBytes(folder.Root() / name, "MZ");
    }
    const SimDisc disc(folder.Root());
    const std::set<std::string> supported = {"7", "7-x64", "8", "8-x64", "8.1", "8.1-x64",
                                             "10", "10-x64", "11-x64"};
    for (std::size_t i = 0; i < SystemProfileCount(); ++i) {
        const SystemProfile& p = SystemProfiles()[i];
        SCOPED_TRACE(p.name);
        SimConfig config;
        config.system = SystemFromProfile(p);
        const SimRun run = RunSimulation(config, disc);
        EXPECT_EQ(GateOutcome(p), OutcomeOf(run));
        EXPECT_EQ(GateOutcome(p), supported.count(p.name) ? Outcome::BrowserRunning : Outcome::Refused);
    }
}

TEST(Outcomes, AsExpectedWhenTheSameAndABrowserRunsCleanly) {
    const struct {
        Outcome expected, seen;
        bool faults, asExpected;
    } rows[] = {
        {Outcome::BrowserRunning, Outcome::BrowserRunning, false, true},
        {Outcome::BrowserRunning, Outcome::BrowserRunning, true, false},  // a missing start page
        {Outcome::BrowserRunning, Outcome::KeepsStartingBrowser, false, false},
        {Outcome::BrowserRunning, Outcome::Refused, false, false},
        {Outcome::Refused, Outcome::Refused, false, true},
        {Outcome::Refused, Outcome::Refused, true, true},  // a refusal is its own fault
        {Outcome::Refused, Outcome::BrowserRunning, false, false},
        {Outcome::KeepsStartingBrowser, Outcome::KeepsStartingBrowser, true, true},
        {Outcome::Box, Outcome::Box, true, true},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(AsExpected(row.expected, row.seen, row.faults), row.asExpected)
            << OutcomeName(row.expected) << " / " << OutcomeName(row.seen) << " / " << row.faults;
    }
}

TEST(Expectations, AnAuthorsTableChangesOnlyTheSystemsItNames) {
    Expectations e;
    std::string error;
    ASSERT_TRUE(ExpectationsFromTable({{"xp", "browser-running"}, {"7", "keeps-starting-browser"},
                                       {"xp", "box"}},
                                      e, error))
        << error;
    EXPECT_EQ(e.For(*FindSystemProfile("xp")), Outcome::Box);  // the later entry wins
    EXPECT_EQ(e.For(*FindSystemProfile("7")), Outcome::KeepsStartingBrowser);
    EXPECT_EQ(e.For(*FindSystemProfile("7-x64")), Outcome::BrowserRunning);
    EXPECT_EQ(e.For(*FindSystemProfile("vista")), Outcome::Refused);
    EXPECT_TRUE(e.Chosen(*FindSystemProfile("7")));
    EXPECT_FALSE(e.Chosen(*FindSystemProfile("vista")));
}

TEST(Expectations, AWrongEntryIsNamedAndChangesNothing) {
    const struct {
        std::vector<std::pair<std::string, std::string>> table;
        std::size_t bad;
        std::string says;
    } rows[] = {
        {{{"windows7", "refused"}}, 0, "no system 'windows7'; the systems are: 95 98"},
        {{{"7", "refused"}, {"xp", "loops-forever"}}, 1,
         "'loops-forever' is not an outcome; the outcomes are: browser-running refused"},
        {{{"7", ""}}, 0, "'' is not an outcome"},
        {{{"", "refused"}}, 0, "no system ''"},
        {{{"XP", "refused"}}, 0, "no system 'XP'"},
    };
    for (const auto& row : rows) {
        Expectations e;
        std::string error;
        std::size_t bad = 99;
        EXPECT_FALSE(ExpectationsFromTable(row.table, e, error, &bad)) << row.says;
        EXPECT_EQ(bad, row.bad) << row.says;
        EXPECT_NE(error.find(row.says), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        EXPECT_FALSE(e.Chosen(*FindSystemProfile("7"))) << row.says;
        EXPECT_EQ(e.For(*FindSystemProfile("7")), Outcome::BrowserRunning) << row.says;
    }
}

TEST(Expectations, TrialExpectTakesAnOutcomeOrIsRefused) {
    const struct {
        std::vector<std::string> args;
        bool ok;
        Outcome expected;
    } rows[] = {
        {{"d"}, true, Outcome::BrowserRunning},
        {{"d", "--system", "xp"}, true, Outcome::Refused},
        {{"d", "--system", "2008r2"}, true, Outcome::Refused},
        {{"d", "--system", "xp", "--expect", "browser-running"}, true, Outcome::BrowserRunning},
        {{"d", "--expect=keeps-starting-browser"}, true, Outcome::KeepsStartingBrowser},
        {{"d", "--expect", "loops-forever"}, false, Outcome::BrowserRunning},
        {{"d", "--expect", ""}, false, Outcome::BrowserRunning},
        {{"d", "--expect"}, false, Outcome::BrowserRunning},
    };
    for (const auto& row : rows) {
        TrialOptions options;
        std::string error;
        SCOPED_TRACE(::testing::PrintToString(row.args));
        ASSERT_EQ(ParseTrialArgs(row.args, options, error), row.ok) << error;
        if (row.ok) {
            EXPECT_EQ(options.expected, row.expected);
        } else {
            EXPECT_EQ(error.find('\n'), std::string::npos);
        }
    }
    TrialOptions options;
    std::string error;
    EXPECT_FALSE(ParseTrialArgs({"d", "--expect", "nothing"}, options, error));
    EXPECT_EQ(error, "--expect needs an outcome (" + OutcomeNames() + "), not 'nothing'");
    // A bad --expect ends the verb before anything runs.
    std::ostringstream out, err;
    EXPECT_EQ(RunTrial({"d", "--expect", "nothing"}, out, err), kExitUsage);
    EXPECT_EQ(err.str().rfind("disckit trial: --expect needs an outcome", 0), 0u) << err.str();
}

// --- The matrix as a gate -----------------------------------------------------------------------

class GateMatrix : public ::testing::Test {
protected:
    void SetUp() override {
        if (!kittest::HaveSampleDisc()) GTEST_SKIP() << kittest::SkipReason();
    }
    int Simulate(std::vector<std::string> args, std::string& out, std::string& err) {
        std::ostringstream o, e;
        const int code = RunSimulate(args, o, e);
        out = o.str();
        err = e.str();
        return code;
    }
};

TEST_F(GateMatrix, TheSampleDiscIsAsExpectedEverywhere) {
    DiscCopy disc;
    TempFolder reports;
    std::string out, err;
    const fs::path junit = reports.Root() / "matrix.xml";
    ASSERT_EQ(Simulate({disc.Root().string(), "--matrix", "--junit", junit.string()}, out, err),
              kExitClean)
        << out << err;
    EXPECT_NE(out.find("As expected: all "), std::string::npos) << out;
    EXPECT_EQ(out.find("Not as expected"), std::string::npos) << out;
    const std::string said = ReadJUnit(junit);
    EXPECT_EQ(said.substr(said.find(' ')), " 0\n") << said;
    ASSERT_EQ(Simulate({disc.Root().string(), "--matrix", "--json"}, out, err), kExitClean);
    const nlohmann::json report = nlohmann::json::parse(out);
    EXPECT_TRUE(report.at("asExpected").get<bool>());
    const auto& xp = report.at("rows").at(5);
    ASSERT_EQ(xp.at("profile"), "xp");
    EXPECT_EQ(xp.at("cells").at(0).at("expected"), "refused");
    EXPECT_EQ(xp.at("cells").at(0).at("outcome"), "refused");
    EXPECT_TRUE(xp.at("cells").at(0).at("asExpected").get<bool>());
}

TEST_F(GateMatrix, ABrowserThatNeverRunsFailsEverySupportedCell) {
    DiscCopy disc;
    disc.Remove("Panoview.exe");
    TempFolder reports;
    const fs::path junit = reports.Root() / "matrix.xml";
    const fs::path html = reports.Root() / "matrix.html";
    std::string out, err;
    ASSERT_EQ(Simulate({disc.Root().string(), "--matrix", "--junit", junit.string(), "--html",
                        html.string()},
                       out, err),
              kExitFindings)
        << out << err;
    EXPECT_NE(out.find("Not as expected: 7-x64 keeps-starting-browser where browser-running was "
                       "expected, in "),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("Not as expected: xp"), std::string::npos) << out;
    std::ostringstream json, ignored;
    ASSERT_EQ(RunSimulate({disc.Root().string(), "--matrix", "--json"}, json, ignored), kExitFindings);
    const nlohmann::json report = nlohmann::json::parse(json.str());
    EXPECT_FALSE(report.at("asExpected").get<bool>());
    std::size_t cells = 0, unexpected = 0;
    for (const auto& row : report.at("rows")) {
        for (const auto& cell : row.at("cells")) {
            ++cells;
            const bool supported = GateOutcome(*FindSystemProfile(row.at("profile"))) == Outcome::BrowserRunning;
            EXPECT_EQ(cell.at("asExpected").get<bool>(), !supported) << row.at("profile");
            unexpected += !cell.at("asExpected").get<bool>();
        }
    }
    // The JUnit report fails the same cells, and the HTML page marks them.
    const std::string said = ReadJUnit(junit);
    EXPECT_EQ(said.substr(0, said.find('\n')), std::to_string(cells) + " " + std::to_string(unexpected));
    EXPECT_NE(said.find("7-x64 en-US: keeps-starting-browser, expected browser-running\n"),
              std::string::npos)
        << said;
    const std::string page = Read(html);
    EXPECT_EQ(Count(page, "<td class=\"r-loops-forever unexpected\">"), unexpected);
    EXPECT_NE(page.find("<b>Not as expected</b>: " + std::to_string(unexpected) + " of " +
                        std::to_string(cells) + " cells"),
              std::string::npos);
}

TEST_F(GateMatrix, AnAuthorsExpectationsJudgeTheCells) {
    DiscCopy disc;
    const SimDisc sim(disc.Root());
    Expectations e;
    std::string error;
    ASSERT_TRUE(ExpectationsFromTable({{"xp", "browser-running"}, {"7", "refused"}}, e, error));
    const Matrix m = RunMatrix(SimConfig(), false, sim, nullptr, e);
    EXPECT_FALSE(m.asExpected);
    for (const MatrixRow& row : m.rows) {
        for (const MatrixCell& cell : row.cells) {
            EXPECT_EQ(cell.asExpected, row.profile != "xp" && row.profile != "7") << row.profile;
        }
    }
}

TEST_F(GateMatrix, JUnitGoesWithTheMatrixAndToAWritablePlace) {
    DiscCopy disc;
    TempFolder reports;
    kittest::WriteBytes(reports.Root() / "file", "x");
    const struct {
        std::vector<std::string> extra;
        std::string says;
    } rows[] = {
        {{"--junit", (reports.Root() / "m.xml").string()}, "--junit writes the matrix's cells"},
        {{"--matrix", "--junit", ""}, "--junit needs a file"},
        {{"--matrix", "--junit", (reports.Root() / "no" / "m.xml").string()},
         "cannot write the JUnit report to "},
        {{"--matrix", "--junit", (reports.Root() / "file" / "m.xml").string()},
         "cannot write the JUnit report to "},
        {{"--matrix", "--junit", reports.Root().string()}, ": it is a folder"},
    };
    for (const auto& row : rows) {
        std::vector<std::string> args = {disc.Root().string()};
        args.insert(args.end(), row.extra.begin(), row.extra.end());
        std::string out, err;
        SCOPED_TRACE(::testing::PrintToString(args));
        EXPECT_EQ(Simulate(args, out, err), kExitUsage);
        EXPECT_EQ(err.rfind("disckit simulate: ", 0), 0u) << err;
        EXPECT_NE(err.substr(0, err.find('\n')).find(row.says), std::string::npos) << err;
        EXPECT_EQ(Listing(reports.Root()), std::set<std::string>{"file"});
    }
}

// --- SARIF and JUnit of check -------------------------------------------------------------------

TEST(DiscPathUri, SlashesBetweenFoldersAndEveryOtherByteEncoded) {
    const struct {
        const char* path;
        const char* uri;
    } rows[] = {
        {"Panoview.exe", "Panoview.exe"},
        {"lang\\DEU\\locale.js", "lang/DEU/locale.js"},
        {"lang\\Eng\\\xC3\x9C" "ber uns.htm", "lang/Eng/%C3%9Cber%20uns.htm"},
        {"a/b", "a%2Fb"},  // a slash is part of a name on the disc, never a separator
        {"100%#?.txt", "100%25%23%3F.txt"},
        {"~x_y-z", "~x_y-z"},
        {"", ""},
    };
    for (const auto& row : rows) EXPECT_EQ(DiscPathUri(row.path), row.uri) << row.path;
    EXPECT_EQ(FolderUri("/home/a b/disc"), "file:///home/a%20b/disc/");
    EXPECT_EQ(FolderUri("/"), "file:///");
}

class CheckReports : public ::testing::Test {
protected:
    void SetUp() override {
        if (!kittest::HaveSampleDisc()) GTEST_SKIP() << kittest::SkipReason();
    }
    int Check(std::vector<std::string> args, std::string& out, std::string& err) {
        std::ostringstream o, e;
        const int code = RunCheck(args, o, e);
        out = o.str();
        err = e.str();
        return code;
    }
};

const char* SarifLevel(const std::string& severity) {
    return severity == "error" ? "error" : severity == "warning" ? "warning" : "note";
}

TEST_F(CheckReports, SarifHasARulePerCodeAndAResultPerFinding) {
    DiscCopy disc;
    disc.Remove("Panoview.exe");                     // an error
    disc.Remove("lang/DEU/locale.js");             // a warning
    disc.Write("lang/Eng/\xC3\x9C" "ber uns.htm", "<html>");  // a name to escape
    TempFolder reports;
    const fs::path sarif = reports.Root() / "check.sarif";
    std::string out, err, json;
    ASSERT_EQ(Check({disc.Root().string(), "--sarif", sarif.string()}, out, err), kExitFindings) << err;
    ASSERT_EQ(Check({disc.Root().string(), "--json"}, json, err), kExitFindings);
    const nlohmann::json log = nlohmann::json::parse(Read(sarif));
    const nlohmann::json findings = nlohmann::json::parse(json).at("findings");

    EXPECT_EQ(log.at("version"), "2.1.0");
    EXPECT_NE(log.at("$schema").get<std::string>().find("sarif-2.1.0"), std::string::npos);
    ASSERT_EQ(log.at("runs").size(), 1u);
    const nlohmann::json& run = log.at("runs").at(0);
    const nlohmann::json& driver = run.at("tool").at("driver");
    EXPECT_EQ(driver.at("name"), "disckit");
    EXPECT_FALSE(driver.at("version").get<std::string>().empty());
    const auto& kinds = FindingKinds();
    ASSERT_EQ(driver.at("rules").size(), kinds.size());
    std::set<std::string> ids;
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        const nlohmann::json& rule = driver.at("rules").at(i);
        EXPECT_EQ(rule.at("id"), kinds[i].code);
        EXPECT_EQ(rule.at("help").at("text"), kinds[i].message);
        EXPECT_EQ(rule.at("defaultConfiguration").at("level"), SarifLevel(SeverityName(kinds[i].severity)));
        ids.insert(rule.at("id").get<std::string>());
    }
    EXPECT_EQ(ids.size(), kinds.size());

    // The results are check's findings, each with its rule, level, words and place on the disc.
    const nlohmann::json& results = run.at("results");
    ASSERT_EQ(results.size(), findings.size());
    std::multiset<std::string> fromJson, fromSarif;
    for (const nlohmann::json& f : findings) {
        fromJson.insert(f.at("code").get<std::string>() + "|" + SarifLevel(f.at("severity")) + "|" +
                        f.at("message").get<std::string>() + "|" + DiscPathUri(f.at("path")));
    }
    for (const nlohmann::json& r : results) {
        const std::string rule = r.at("ruleId");
        EXPECT_EQ(driver.at("rules").at(r.at("ruleIndex").get<std::size_t>()).at("id"), rule);
        const nlohmann::json& artifact = r.at("locations").at(0).at("physicalLocation").at("artifactLocation");
        EXPECT_EQ(artifact.at("uriBaseId"), "DISCROOT");
        EXPECT_TRUE(run.at("originalUriBaseIds").contains(artifact.at("uriBaseId").get<std::string>()));
        fromSarif.insert(rule + "|" + r.at("level").get<std::string>() + "|" +
                         r.at("message").at("text").get<std::string>() + "|" +
                         artifact.at("uri").get<std::string>());
    }
    EXPECT_EQ(fromSarif, fromJson);
    EXPECT_NE(Read(sarif).find("\"uri\": \"lang/Eng/%C3%9Cber%20uns.htm\""), std::string::npos);
    const std::string root = run.at("originalUriBaseIds").at("DISCROOT").at("uri");
    EXPECT_EQ(root.rfind("file:///", 0), 0u) << root;
    EXPECT_EQ(root.back(), '/') << root;
}

// A finding about a line of a file carries it: autorun.inf's open= and icon= lines.
TEST_F(CheckReports, SarifPlacesAFindingOnItsLine) {
    DiscCopy disc;
    disc.Write("autorun.inf", "; made by hand\r\n[autorun]\r\n\r\nopen=Setup.exe\r\nicon=Nothing.ico\r\n");
    TempFolder reports;
    const fs::path sarif = reports.Root() / "check.sarif";
    std::string out, err;
    ASSERT_EQ(Check({disc.Root().string(), "--sarif", sarif.string()}, out, err), kExitFindings) << err;
    const nlohmann::json log = nlohmann::json::parse(Read(sarif));
    std::map<std::string, int> lines;
    for (const nlohmann::json& r : log.at("runs").at(0).at("results")) {
        const nlohmann::json& physical = r.at("locations").at(0).at("physicalLocation");
        lines[r.at("ruleId").get<std::string>()] =
            physical.contains("region") ? physical.at("region").at("startLine").get<int>() : 0;
    }
    EXPECT_EQ(lines["autorun-not-launcher"], 4);
    EXPECT_EQ(lines["autorun-icon-missing"], 5);
    EXPECT_EQ(lines["unsigned"], 0);
}

TEST_F(CheckReports, JUnitFailsAtErrorLevelAsTheExitCodeDoes) {
    DiscCopy disc;
    disc.Remove("Panoview.exe");
    disc.Remove("lang/DEU/locale.js");
    TempFolder reports;
    const fs::path junit = reports.Root() / "check.xml";
    std::string out, err, json;
    ASSERT_EQ(Check({disc.Root().string(), "--junit", junit.string()}, out, err), kExitFindings) << err;
    ASSERT_EQ(Check({disc.Root().string(), "--json"}, json, err), kExitFindings);
    const nlohmann::json summary = nlohmann::json::parse(json).at("summary");
    const std::size_t findings = summary.at("errors").get<std::size_t>() +
                                 summary.at("warnings").get<std::size_t>() +
                                 summary.at("notes").get<std::size_t>();
    const std::string said = ReadJUnit(junit);
    EXPECT_EQ(said.substr(0, said.find('\n')),
              std::to_string(findings) + " " + std::to_string(summary.at("errors").get<std::size_t>()));
    EXPECT_NE(said.find("browser-missing Panoview.exe: browser-missing Panoview.exe\n"), std::string::npos)
        << said;
    // The sample disc itself passes: only notes, no failure.
    const fs::path clean = reports.Root() / "clean.xml";
    ASSERT_EQ(Check({kittest::SampleDisc().string(), "--junit", clean.string()}, out, err), kExitClean);
    const std::string passed = ReadJUnit(clean);
    EXPECT_EQ(passed.substr(passed.find(' '), 3), " 0\n") << passed;
}

TEST_F(CheckReports, AReportThatCannotBeWrittenIsOneLineAndNothingIsLeft) {
    DiscCopy disc;
    TempFolder reports;
    kittest::WriteBytes(reports.Root() / "file", "x");
    kittest::WriteBytes(reports.Root() / "old.sarif", "the old log");
    const std::string folder = reports.Root().string();
    const struct {
        std::vector<std::string> args;
        std::string says;
    } rows[] = {
        {{"--sarif", folder + "/missing/c.sarif"}, "cannot write the SARIF log to " + folder + "/missing/c.sarif: "},
        {{"--sarif", folder + "/file/c.sarif"}, "cannot write the SARIF log to "},
        {{"--sarif", folder}, "cannot write the SARIF log to " + folder + ": it is a folder"},
        {{"--sarif", ""}, "--sarif needs a file"},
        {{"--sarif"}, "--sarif needs a value"},
        {{"--junit", folder + "/missing/c.xml"}, "cannot write the JUnit report to "},
        {{"--junit", ""}, "--junit needs a file"},
        {{"--html", folder + "/missing/c.html"}, "cannot write the HTML report to "},
        // The first report that fails ends it: the SARIF log is not written either.
        {{"--junit", folder + "/missing/c.xml", "--sarif", folder + "/old.sarif"},
         "cannot write the JUnit report to "},
    };
    for (const auto& row : rows) {
        std::vector<std::string> args = {disc.Root().string()};
        args.insert(args.end(), row.args.begin(), row.args.end());
        SCOPED_TRACE(::testing::PrintToString(args));
        std::string out, err;
        EXPECT_EQ(Check(args, out, err), kExitUsage);
        EXPECT_EQ(err.rfind("disckit check: " + row.says, 0), 0u) << err;
        EXPECT_EQ(Listing(reports.Root()), (std::set<std::string>{"file", "old.sarif"}));
    }
    // The order of the writes above is part of the promise: nothing, or all of it.
    EXPECT_EQ(Read(reports.Root() / "old.sarif"), "the old log");
}

// --- The writers themselves ---------------------------------------------------------------------

TEST(XmlText, MarkupAsReferencesAndWhatXmlCannotCarryAsBytes) {
    const struct {
        std::string text;
        bool keepLines;
        std::string xml;
    } rows[] = {
        {"a&b<c>d\"e'f", false, "a&amp;b&lt;c&gt;d&quot;e&apos;f"},
        {"\xC3\x9C" "ber", false, "\xC3\x9C" "ber"},
        {std::string("a\0b", 3), false, "a\\x00b"},
        {"\x01\x1B[31m", false, "\\x01\\x1B[31m"},
        {"a\nb", false, "a\\x0Ab"},
        {"a\nb", true, "a\nb"},
        {"\t", true, "\\x09"},
        {"\xFF\xFE", false, "\\xFF\\xFE"},                  // not UTF-8
        {"\xC0\xAF", false, "\\xC0\\xAF"},                  // an overlong '/'
        {"\xED\xA0\x80", false, "\\xED\\xA0\\x80"},         // a surrogate
        {"\xEF\xBF\xBF\xEF\xBF\xBE", false, "\\xEF\\xBF\\xBF\\xEF\\xBF\\xBE"},  // no XML character
        {"report\xE2\x80\xAEtxt.exe", false, "report\\xE2\\x80\\xAEtxt.exe"},  // reorders the text
        {"\xC2\x9B", false, "\\xC2\\x9B"},                  // the 8-bit CSI
        {"]]>", false, "]]&gt;"},
    };
    for (const auto& row : rows) EXPECT_EQ(XmlText(row.text, row.keepLines), row.xml) << row.text;
}

TEST(JUnitXml, WhatADiscCanNameStaysTextToAnXmlParser) {
    JUnitCase failing;
    failing.name = "a<b>&\"c\" \x01\xFF";
    failing.className = "disckit.check.error";
    failing.failed = true;
    failing.failureMessage = "</failure><testcase name=\"x\"/>";
    failing.failureType = "browser-missing";
    failing.details = "line 1\nline 2 \xE2\x80\xAE";
    JUnitCase passing;
    passing.name = "note";
    passing.className = "disckit.check.note";
    passing.output = "worth knowing";
    TempFolder folder;
    const fs::path file = folder.Root() / "r.xml";
    kittest::WriteBytes(file, JUnitXml("disckit", {{"one", {failing, passing}}, {"empty", {}}}));
    const std::string said = ReadJUnit(file);
    EXPECT_EQ(said, "2 1\na<b>&\"c\" \\x01\\xFF: </failure><testcase name=\"x\"/>\n");
}

TEST(ReportFile, WrittenWholeInPlaceOfTheOldAndNothingBeside) {
    TempFolder folder;
    const fs::path target = folder.Root() / "report.xml";
    kittest::WriteBytes(target, std::string(100000, 'o'));
    std::string error;
    ASSERT_TRUE(WriteReportFile(target.string(), "new", "JUnit report", error)) << error;
    EXPECT_EQ(Read(target), "new");
    EXPECT_EQ(Listing(folder.Root()), std::set<std::string>{"report.xml"});
    EXPECT_TRUE(ReportFileWritable(target.string(), "JUnit report", error)) << error;
    EXPECT_TRUE(ReportFileWritable((folder.Root() / "new.xml").string(), "JUnit report", error));
    EXPECT_FALSE(ReportFileWritable(folder.Root().string(), "JUnit report", error));
    EXPECT_EQ(error, "cannot write the JUnit report to " + folder.Root().string() + ": it is a folder");
    EXPECT_FALSE(ReportFileWritable((folder.Root() / "no" / "r.xml").string(), "JUnit report", error));
    EXPECT_FALSE(WriteReportFile((folder.Root() / "report.xml" / "r.xml").string(), "x", "JUnit report",
                                 error));
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_EQ(Listing(folder.Root()), std::set<std::string>{"report.xml"});
    EXPECT_EQ(Read(target), "new");
}

}  // namespace
