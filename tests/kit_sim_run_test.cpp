#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <functional>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/LauncherApp.h"
#include "kit/Verbs.h"
#include "kit/simulate/SimReports.h"
#include "kit/simulate/Simulation.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kRefusal = "Swiftdeck does not support this version of windows.";

// A disc folder on the real file system, made afresh for every test.
class SimRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "kit_sim_XXXXXX").string();
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        root = pattern;
        for (const char* name : {"Start.exe", "Panoview.exe", "Q7.exe", "qzm.dll", "Discpane.ocx",
                                 "Gauge.ocx"}) {
            Put(name, "MZ");
        }
        Put("Handoff.exe", "MZ handoff");  // 10 bytes
        for (const char* folder : {"Eng", "DEU", "JPN"}) {
            Put(std::string("lang/") + folder + "/locale.js", "");
            Put(std::string("lang/") + folder + "/Welcome.htm", "<html>");
        }
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    void Put(const std::string& relative, const std::string& content) {
        const fs::path path = root / fs::u8path(relative);
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }
    void Remove(const std::string& relative) { fs::remove_all(root / fs::u8path(relative)); }

    SimRun Run(const SimConfig& config) {
        const SimDisc disc(root);
        return RunSimulation(config, disc);
    }
    static SimConfig System(const char* profile) {
        SimConfig c;
        c.system = SystemFromProfile(*FindSystemProfile(profile));
        return c;
    }
    // The effects as one line each: kind and the fields a comparison with a real run uses.
    static std::vector<std::string> Lines(const SimRun& run) {
        std::vector<std::string> lines;
        for (const SimEffect& e : run.effects) {
            std::ostringstream s;
            s << e.timeMs << ' ' << EffectKindName(e.kind);
            switch (e.kind) {
                case EffectKind::Box: s << ' ' << e.caption << '|' << e.text; break;
                case EffectKind::Start: s << ' ' << e.program << '|' << e.commandLine; break;
                case EffectKind::Sleep: s << ' ' << e.ms; break;
                case EffectKind::Copy: s << ' ' << e.source << '>' << e.path << ' ' << e.size; break;
                case EffectKind::Write: s << ' ' << e.path << '|' << e.content; break;
                case EffectKind::Terminate: s << ' ' << e.processName; break;
                default: s << ' ' << e.path; break;
            }
            if (!e.ok) s << " failed: " << e.error;
            lines.push_back(s.str());
        }
        return lines;
    }

    fs::path root;
};

TEST_F(SimRunTest, GermanWindows8x64StartsTheBrowserOnTheGermanPages) {
    SimConfig c = System("8-x64");
    c.langId = 0x0407;
    const SimRun run = Run(c);
    EXPECT_EQ(run.result, SimResult::BrowserRunning);
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.ms, 1000u);
    EXPECT_EQ(run.osCode, 23);
    EXPECT_EQ(run.languageFolder, "DEU");
    const std::vector<std::string> expected = {
        "0 load D:\\qzm.dll",
        "0 start C:\\Windows\\system32\\regsvr32.exe|regsvr32 /s \"D:\\Discpane.ocx\"",
        "0 start C:\\Windows\\system32\\regsvr32.exe|regsvr32 /s \"D:\\Gauge.ocx\"",
        // From a read-only disc the copy is read-only until the launcher says otherwise.
        "0 copy D:\\Handoff.exe>C:\\Windows\\Handoff.exe 10",
        "0 attributes C:\\Windows\\Handoff.exe",
        "0 write C:\\Windows\\Handoff.ini|D:\\Start.exe",
        "0 start D:\\Panoview.exe|Panoview.exe \"D:\\lang\\DEU\\Welcome.htm",
        "0 sleep 1000",
    };
    EXPECT_EQ(Lines(run), expected);
    ASSERT_EQ(run.running.size(), 1u);
    EXPECT_EQ(run.running[0].name, "Panoview.exe");
    ASSERT_EQ(run.files.size(), 2u);
    EXPECT_EQ(run.files[0].path, "C:\\Windows\\Handoff.exe");
    EXPECT_FALSE(run.files[0].readOnly);
    EXPECT_EQ(run.files[1].content, "D:\\Start.exe");
}

TEST_F(SimRunTest, NamesOnTheDiscMatchWithoutRegardToCase) {
    Remove("Panoview.exe");
    Remove("lang");
    Put("PANOVIEW.EXE", "MZ");
    Put("LANG/deu/LOCALE.JS", "");
    SimConfig c = System("7");
    c.langId = 0x0C07;  // German, Austria
    const SimRun run = Run(c);
    EXPECT_EQ(run.result, SimResult::BrowserRunning);
    EXPECT_EQ(run.languageFolder, "DEU");
}

// Image tools leave links, FIFOs and the like out of the pressed disc: the simulation, like the
// check, does not see them.
TEST_F(SimRunTest, WhatThePressedDiscLacksIsNotThere) {
    const fs::path outside = root.string() + "-outside";
    const struct {
        const char* what;
        std::function<void()> plant;
        SimResult result;
        const char* folder;
    } rows[] = {
        {"a linked browser", [&] { fs::create_symlink(root / "Q7.exe", root / "Panoview.exe"); },
         SimResult::LoopsForever, "DEU"},
        {"a FIFO as the browser",
         [&] { ASSERT_EQ(mkfifo((root / "Panoview.exe").c_str(), 0644), 0); },
         SimResult::LoopsForever, "DEU"},
        {"a linked language folder",
         [&] {
             Put("Panoview.exe", "MZ");
             fs::create_directories(outside);
             fs::rename(root / "lang/DEU", outside / "DEU");
             fs::create_directory_symlink(outside / "DEU", root / "lang/DEU");
         },
         SimResult::BrowserRunning, "Eng"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Remove("Panoview.exe");
        row.plant();
        SimConfig c = System("7");
        c.langId = 0x0407;
        const SimRun run = Run(c);
        EXPECT_EQ(run.result, row.result);
        EXPECT_EQ(run.languageFolder, row.folder);
    }
    fs::remove_all(outside);
}

TEST_F(SimRunTest, AMissingMarkerFallsBackToEnglishAndAMissingLibraryShowsItsBox) {
    Remove("lang/DEU/locale.js");
    Remove("qzm.dll");
    SimConfig c = System("7-x64");
    c.langId = 0x0407;
    const SimRun run = Run(c);
    EXPECT_EQ(run.result, SimResult::BrowserRunning);
    EXPECT_EQ(run.languageFolder, "Eng");
    const std::vector<std::string> lines = Lines(run);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "0 load D:\\qzm.dll failed: no such file");
    EXPECT_EQ(lines[1], "0 box Error|Load library fail");
}

TEST_F(SimRunTest, UnsupportedSystemsAreRefusedAfterTheRegistration) {
    for (const char* profile : {"xp", "2008r2", "vista-x64", "98", "nt4"}) {
        SCOPED_TRACE(profile);
        SimConfig c = System(profile);
        c.registered = true;
        const SimRun run = Run(c);
        EXPECT_EQ(run.result, SimResult::Refused);
        EXPECT_EQ(run.ms, 0u);
        ASSERT_EQ(run.effects.size(), 6u);  // load, four registrations, the box
        EXPECT_EQ(run.effects[1].commandLine, "regsvr32 /s /u \"D:\\Discpane.ocx\"");
        EXPECT_EQ(run.effects.back().kind, EffectKind::Box);
        EXPECT_EQ(run.effects.back().text, kRefusal);
        EXPECT_EQ(run.effects.back().caption, "Discmate");
    }
}

TEST_F(SimRunTest, WithoutABrowserTheLauncherStartsItOnceASecondForever) {
    Remove("Panoview.exe");
    const SimRun run = Run(System("7-x64"));
    EXPECT_EQ(run.result, SimResult::LoopsForever);
    EXPECT_FALSE(run.exited);
    EXPECT_EQ(run.repeatPeriodMs, 1000u);
    ASSERT_LT(run.repeatFrom, run.effects.size());
    // From the repetition on: start (failing), one second, start, one second, ...
    std::size_t passes = 0;
    for (std::size_t i = run.repeatFrom; i < run.effects.size(); i += 2) {
        const SimEffect& start = run.effects[i];
        ASSERT_LT(i + 1, run.effects.size());
        const SimEffect& sleep = run.effects[i + 1];
        EXPECT_EQ(start.kind, EffectKind::Start);
        EXPECT_FALSE(start.ok);
        EXPECT_EQ(start.commandLine, "Panoview.exe \"D:\\lang\\Eng\\Welcome.htm");
        EXPECT_EQ(sleep.kind, EffectKind::Sleep);
        EXPECT_EQ(sleep.ms, 1000u);
        EXPECT_EQ(sleep.timeMs, start.timeMs);
        if (i > run.repeatFrom) {
            EXPECT_EQ(start.timeMs, run.effects[i - 2].timeMs + 1000);
        }
        ++passes;
    }
    EXPECT_GE(passes, 3u);
}

TEST_F(SimRunTest, ABrowserThatNeverShowsUpLoopsForeverToo) {
    SimConfig c = System("10-x64");
    c.browser = SimBrowser::Never;
    const SimRun run = Run(c);
    EXPECT_EQ(run.result, SimResult::LoopsForever);
    EXPECT_TRUE(run.effects[run.repeatFrom].ok);  // it starts; it just is not seen
    EXPECT_TRUE(run.running.empty());
}

TEST_F(SimRunTest, ThePreLaunchToolRunsFifteenSecondsFromWritableMediaOnly) {
    SimConfig c = System("7-x64");
    c.media = SimMedia::Writable;
    const SimRun run = Run(c);
    EXPECT_EQ(run.result, SimResult::BrowserRunning);
    EXPECT_EQ(run.ms, 16000u);
    const std::vector<std::string> expected = {
        "0 load D:\\qzm.dll",
        "0 start C:\\Windows\\system32\\regsvr32.exe|regsvr32 /s \"D:\\Discpane.ocx\"",
        "0 start C:\\Windows\\system32\\regsvr32.exe|regsvr32 /s \"D:\\Gauge.ocx\"",
        "0 start D:\\Q7.exe|D:\\Q7.exe",
        "0 sleep 15000",
        "15000 terminate Q7.exe",
        "15000 copy D:\\Handoff.exe>C:\\Windows\\Handoff.exe 10",  // not read-only: no attributes
        "15000 write C:\\Windows\\Handoff.ini|D:\\Start.exe",
        "15000 start D:\\Panoview.exe|Panoview.exe \"D:\\lang\\Eng\\Welcome.htm",
        "15000 sleep 1000",
    };
    EXPECT_EQ(Lines(run), expected);

    c.media = SimMedia::ReadOnly;
    const SimRun readOnly = Run(c);
    for (const SimEffect& e : readOnly.effects) EXPECT_NE(e.program, "D:\\Q7.exe");
    EXPECT_EQ(readOnly.ms, 1000u);
}

TEST_F(SimRunTest, AFolderOutsideTheCodePageGetsNothingDone) {
    SimConfig c = System("7-x64");
    c.installDir = "D:\\Ωmega\\";
    const SimRun cp1252 = Run(c);
    EXPECT_EQ(cp1252.result, SimResult::Nothing);
    EXPECT_TRUE(cp1252.effects.empty());
    EXPECT_FALSE(cp1252.installDirInCodePage);

    // The same folder on a Greek system: its name reaches the launcher as code page 1253 bytes.
    c.codePage = 1253;
    const SimRun greek = Run(c);
    EXPECT_EQ(greek.result, SimResult::BrowserRunning);
    EXPECT_EQ(greek.effects.front().path, "D:\\\xD9mega\\qzm.dll");

    // Back on the Western system, with the folder's short name known: the launcher runs under it,
    // unless the code page cannot hold the short name either.
    c.codePage = 1252;
    c.shortInstallDir = "D:\\MEGA~1\\";
    const SimRun shortName = Run(c);
    EXPECT_EQ(shortName.result, SimResult::BrowserRunning);
    EXPECT_TRUE(shortName.shortInstallDirUsed);
    EXPECT_EQ(shortName.effects.front().path, "D:\\MEGA~1\\qzm.dll");
    ASSERT_FALSE(shortName.files.empty());
    EXPECT_EQ(shortName.files.back().content, "D:\\MEGA~1\\Start.exe");
    c.shortInstallDir = "D:\\ΩMEGA~1\\";
    EXPECT_EQ(Run(c).result, SimResult::Nothing);
}

TEST_F(SimRunTest, ADoubleByteFolderWhoseSecondByteIsABackslashStaysWhole) {
    SimConfig c = System("7");
    c.langId = 0x0411;
    c.codePage = 932;
    c.installDir = "E:\\表示\\";  // 表 is 0x95 0x5C in code page 932
    const SimRun run = Run(c);
    EXPECT_EQ(run.result, SimResult::BrowserRunning);
    EXPECT_EQ(run.languageFolder, "JPN");
    ASSERT_FALSE(run.files.empty());
    EXPECT_EQ(run.files.back().content, "E:\\\x95\x5C\x8E\xA6\\Start.exe");
}

TEST_F(SimRunTest, ASecondLauncherIsTurnedAwayWithNothingDone) {
    SimConfig c = System("7-x64");
    c.instanceRunning = true;
    const SimRun run = Run(c);
    EXPECT_EQ(run.result, SimResult::TurnedAway);
    EXPECT_TRUE(run.effects.empty());
    EXPECT_EQ(run.ms, 0u);
}

TEST_F(SimRunTest, NoHandleIsLeftOpenAndTheDiscIsNeverWritten) {
    SimConfig c = System("7");
    c.media = SimMedia::Writable;
    const SimDisc disc(root);
    SimPlatform sim(c, disc);
    LauncherApp app(sim);
    EXPECT_FALSE(app.InitInstance());
    EXPECT_EQ(sim.OpenHandles(), 0);
    std::ifstream handoff(root / "Handoff.exe", std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(handoff)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "MZ handoff");
    EXPECT_FALSE(fs::exists(root / "Handoff.ini"));
}

TEST_F(SimRunTest, JsonCarriesKindsCommandLinesAndTheOutcome) {
    Remove("Panoview.exe");
    const SimRun run = Run(System("7-x64"));
    const std::string json = RunToJson(run, "disc").Dump();
    for (const char* part : {"\"kind\": \"start\"", "\"kind\": \"sleep\"", "\"kind\": \"write\"",
                             "\"commandLine\": \"Panoview.exe \\\"D:\\\\lang\\\\Eng\\\\Welcome.htm\"",
                             "\"program\": \"D:\\\\Panoview.exe\"", "\"result\": \"loops-forever\"",
                             "\"exitCode\": null", "\"content\": \"D:\\\\Start.exe\"",
                             "\"profile\": \"7-x64\""}) {
        EXPECT_NE(json.find(part), std::string::npos) << part;
    }
}

TEST_F(SimRunTest, TheMatrixHasOneColumnPerLanguageFolderAndOneUnlisted) {
    const SimDisc disc(root);
    const Matrix m = RunMatrix(SimConfig(), false, disc);
    // JPN and DEU from their folders, Turkish because "ENG" is "Eng" on Windows, and US English.
    std::vector<std::string> labels;
    for (const MatrixLanguage& l : m.languages) labels.push_back(l.label);
    EXPECT_EQ(labels, (std::vector<std::string>{"de-DE", "ja-JP", "tr-TR", "en-US"}));
    ASSERT_EQ(m.rows.size(), SystemProfileCount());
    for (const MatrixRow& row : m.rows) {
        SCOPED_TRACE(row.profile);
        const bool supported = row.profile == "7" || row.profile == "7-x64" ||
                               row.profile.compare(0, 1, "8") == 0 ||
                               row.profile.compare(0, 2, "10") == 0 || row.profile == "11-x64";
        for (std::size_t k = 0; k < row.cells.size(); ++k) {
            EXPECT_EQ(row.cells[k].result, supported ? SimResult::BrowserRunning : SimResult::Refused);
        }
        if (supported) {
            EXPECT_EQ(row.cells[0].folder, "DEU");
            EXPECT_EQ(row.cells[1].folder, "JPN");
            EXPECT_EQ(row.cells[2].folder, "ENG");
            EXPECT_EQ(row.cells[3].folder, "Eng");
        }
    }
    std::ostringstream out;
    PrintMatrix(m, out);
    EXPECT_NE(out.str().find("7-x64      DEU   JPN   ENG   Eng\n"), std::string::npos) << out.str();
}

TEST_F(SimRunTest, TheVerbExitsWithZeroWhateverTheOutcomeAndTwoOnBadInput) {
    std::ostringstream out, err;
    EXPECT_EQ(RunSimulate({root.string(), "--system", "xp"}, out, err), kExitClean);
    EXPECT_NE(out.str().find("Outcome   refused"), std::string::npos) << out.str();
    // The matrix is a gate: this disc's stubs are no programs Windows starts, so the supported
    // systems never see the browser, which is not what they are expected to come to.
    EXPECT_EQ(RunSimulate({root.string(), "--matrix", "--json"}, out, err), kExitFindings);
    EXPECT_EQ(RunSimulate({(root / "missing").string()}, out, err), kExitUsage);
    EXPECT_EQ(RunSimulate({root.string(), "--system", "12"}, out, err), kExitUsage);
    EXPECT_NE(err.str().find("no system '12'"), std::string::npos) << err.str();
}

}  // namespace
