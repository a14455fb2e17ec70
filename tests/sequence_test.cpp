#include <gtest/gtest.h>

#include <ostream>

#include "FakeDisc.h"
#include "app/LauncherApp.h"

namespace {

constexpr const char* kRefusalBox = "box Discmate|Swiftdeck does not support this version of windows.";

class Sequence : public ::testing::Test {
protected:
    void SetUp() override { SetUpDisc(fake); }
    // Index of the first log entry that starts with prefix; fails the test when there is none.
    std::size_t First(const std::string& prefix) {
        for (std::size_t i = 0; i < fake.log.size(); ++i) {
            if (fake.log[i].compare(0, prefix.size(), prefix) == 0) return i;
        }
        ADD_FAILURE() << "no log entry starts with " << prefix;
        return fake.log.size();
    }
    FakePlatform fake;
};

TEST_F(Sequence, SecondAndLaterInstancesAreTurnedAwayWithNothingDone) {
    for (std::int32_t counter : {0, 1, 7}) {
        FakePlatform other;
        other.instanceCounter = counter;
        LauncherApp app(other);
        EXPECT_TRUE(app.InitInstance());
        EXPECT_EQ(other.log, std::vector<std::string>{"counter"});
    }
}

TEST_F(Sequence, FirstInstanceRunsInOrderAndEndsWhenTheBrowserRuns) {
    LauncherApp app(fake);
    EXPECT_FALSE(app.InitInstance());
    EXPECT_EQ(fake.instanceCounter, 0);
    const std::size_t controls = First("init-controls");
    const std::size_t probe = First("probe-library D:\\qzm.dll");
    const std::size_t registration = First("start C:\\Windows\\system32\\regsvr32.exe|");
    const std::size_t version = First("version extended");
    const std::size_t tool = First("open-write D:\\Q7.exe");
    const std::size_t copy = First("copy ");
    const std::size_t browser = First("start D:\\Panoview.exe|");
    EXPECT_LT(controls, probe);
    EXPECT_LT(probe, registration);
    EXPECT_LT(registration, version);
    EXPECT_LT(version, tool);
    EXPECT_LT(tool, copy);
    EXPECT_LT(copy, browser);
    EXPECT_TRUE(fake.Events("box ").empty());
    EXPECT_EQ(fake.Events("start ").size(), 3u);  // two registrations, one browser
}

TEST_F(Sequence, MissingProbeLibraryShowsItsBoxAndTheRunGoesOn) {
    fake.loadableLibraries.clear();
    LauncherApp app(fake);
    EXPECT_FALSE(app.InitInstance());
    EXPECT_EQ(fake.Events("box "), std::vector<std::string>{"box Error|Load library fail"});
    EXPECT_LT(First("box Error|"), First("start C:\\Windows\\system32\\regsvr32.exe|"));
    EXPECT_EQ(fake.Events("start D:\\Panoview.exe|").size(), 1u);
}

struct GateCase {
    const char* name;
    std::uint32_t platformId, major, minor;
    std::uint8_t productType;
    bool sysWow64;
    bool passes;
};

// Printed by name: the default would dump the raw bytes, padding included.
void PrintTo(const GateCase& c, std::ostream* os) { *os << c.name; }

class Gate : public ::testing::TestWithParam<GateCase> {};

TEST_P(Gate, OnlyWorkstationsOfNt61And62Pass) {
    const GateCase& c = GetParam();
    FakePlatform fake;
    SetUpDisc(fake);
    fake.SetVersion(c.platformId, c.major, c.minor, 7601, c.productType);
    if (!c.sysWow64) fake.directories.clear();
    LauncherApp app(fake);
    EXPECT_FALSE(app.InitInstance());
    const auto boxes = fake.Events("box ");
    const bool refused = !boxes.empty() && boxes.back() == kRefusalBox;
    EXPECT_EQ(refused, !c.passes);
    // Registration happens before the gate either way; nothing after it when refused.
    EXPECT_EQ(fake.Events("start C:\\Windows\\system32\\regsvr32.exe|").size(), 2u);
    EXPECT_EQ(fake.Events("start D:\\Panoview.exe|").empty(), refused);
    if (refused) {
        EXPECT_TRUE(fake.Events("open-write ").empty());
        EXPECT_TRUE(fake.Events("copy ").empty());
        EXPECT_EQ(fake.log.back(), kRefusalBox);
    }
}

const GateCase kGateCases[] = {
    {"vista_x64_code19", 2, 6, 0, 1, true, false},
    {"w7_x86_code20", 2, 6, 1, 1, false, true},
    {"w7_x64_code21", 2, 6, 1, 1, true, true},
    {"w8_x86_code22", 2, 6, 2, 1, false, true},
    {"w8_x64_code23", 2, 6, 2, 1, true, true},
    {"nt61_server", 2, 6, 1, 3, true, false},
    {"nt62_domain_controller", 2, 6, 2, 2, false, false},
    {"xp_code16", 2, 5, 1, 1, false, false},
    {"nt10_code0", 2, 10, 0, 1, true, false},
    {"me_code15", 1, 4, 90, 0, false, false},
};

INSTANTIATE_TEST_SUITE_P(Codes, Gate, ::testing::ValuesIn(kGateCases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(Sequence, FailedVersionQueryShowsBothBoxesInOrder) {
    fake.extendedVersion.reset();
    fake.basicVersion.reset();
    LauncherApp app(fake);
    EXPECT_FALSE(app.InitInstance());
    EXPECT_EQ(fake.Events("box "),
              (std::vector<std::string>{"box Check OS type Error !|Message", kRefusalBox}));
}

TEST_F(Sequence, UnknownPlatformShowsBothBoxesInOrder) {
    fake.SetVersion(5, 6, 1, 7601, 1);
    LauncherApp app(fake);
    EXPECT_FALSE(app.InitInstance());
    EXPECT_EQ(fake.Events("box "),
              (std::vector<std::string>{"box Unknown OS type !|Message", kRefusalBox}));
}

TEST_F(Sequence, AbsentPreLaunchToolCostsNoTime) {
    LauncherApp app(fake);
    app.InitInstance();
    EXPECT_EQ(fake.Events("sleep "), std::vector<std::string>{"sleep 1000"});
    EXPECT_TRUE(fake.Events("start D:\\Q7.exe").empty());
}

TEST_F(Sequence, LockedPreLaunchToolIsSkipped) {
    fake.AddFile("D:\\Q7.exe");
    fake.lockedFiles.insert(FakeKey("D:\\Q7.exe"));
    LauncherApp app(fake);
    app.InitInstance();
    EXPECT_TRUE(fake.Events("start D:\\Q7.exe").empty());
    EXPECT_TRUE(fake.Events("sleep 15000").empty());
}

TEST_F(Sequence, WritablePreLaunchToolRunsFifteenSecondsThenEveryCopyEnds) {
    fake.AddFile("D:\\Q7.exe");
    fake.wow64 = true;
    const std::uint32_t earlier = fake.AddProcess("q7.EXE");
    const std::uint32_t similar = fake.AddProcess("Q7x.exe");
    std::uint32_t started = 0;
    auto browserStarts = fake.onStart;
    fake.onStart = [&](FakePlatform& f, const std::string& program, const std::string& line) {
        if (program == "D:\\Q7.exe") started = f.AddProcess("Q7.exe");
        browserStarts(f, program, line);
    };
    LauncherApp app(fake);
    app.InitInstance();

    const std::size_t start = First("start D:\\Q7.exe|");
    EXPECT_EQ(fake.log[start], "start D:\\Q7.exe|D:\\Q7.exe|5");  // the bare path, unquoted
    EXPECT_EQ(fake.log[start + 1], "sleep 15000");
    EXPECT_EQ(fake.log[start + 2], "snapshot");
    EXPECT_LT(start + 2, First("copy "));
    EXPECT_FALSE(fake.IsAlive(started));
    EXPECT_FALSE(fake.IsAlive(earlier));
    EXPECT_TRUE(fake.IsAlive(similar));
    EXPECT_EQ(fake.clockMs, 16000u);  // the tool's wait and one running check
}

}  // namespace

namespace {

// Started programs that fail to start leave no trace in the launcher: nothing is shown, the
// sequence goes on, and a browser that cannot start is tried again every pass.
TEST_F(Sequence, ProgramsThatCannotStartAreNotReported) {
    fake.AddFile("D:\\Q7.exe");
    fake.unstartablePrograms = {FakeKey("C:\\Windows\\system32\\regsvr32.exe"),
                                FakeKey("D:\\Q7.exe"), FakeKey("D:\\Panoview.exe")};
    fake.maxSleeps = 20;
    LauncherApp app(fake);
    EXPECT_THROW(app.InitInstance(), FakeRunLimit);
    EXPECT_TRUE(fake.Events("box ").empty());
    EXPECT_EQ(fake.Events("start C:\\Windows\\system32\\regsvr32.exe|").size(), 2u);
    // The tool's 15 seconds pass all the same, then its processes are looked for.
    EXPECT_EQ(fake.Events("sleep 15000").size(), 1u);
    EXPECT_EQ(fake.Events("start D:\\Panoview.exe|").size(), 20u);
    EXPECT_TRUE(fake.HasFile("C:\\Windows\\Handoff.ini"));
}

// A run is ended from outside by a throw from Sleep (disckit's simulation ends the endless
// browser loop so): sound only while the launcher holds nothing across a sleep. Every sleep of a
// run with the pre-launch tool and a browser that never shows up, on both process sources, finds
// nothing open, and a run stopped at any sleep leaves nothing open.
TEST(SequenceStopped, NothingIsHeldAcrossASleep) {
    for (bool wow64 : {false, true}) {
        for (std::size_t stopAt = 0; stopAt < 4; ++stopAt) {
            FakePlatform fake;
            SetUpDisc(fake);
            fake.wow64 = wow64;
            fake.AddFile("D:\\Q7.exe");  // the tool: the first sleep is its 15 s
            fake.onStart = [](FakePlatform& f, const std::string& program, const std::string&) {
                if (program == "D:\\Q7.exe") f.AddProcess("Q7.exe");
            };
            std::size_t heldAt = 0;  // the first sleep that found something open, from 1
            fake.onSleep = [&heldAt](FakePlatform& f, std::uint32_t) {
                if (heldAt == 0 && (f.openHandles != 0 || f.loadedModuleSources != 0)) {
                    heldAt = f.Events("sleep ").size();
                }
            };
            fake.maxSleeps = stopAt;
            LauncherApp app(fake);
            EXPECT_THROW(app.InitInstance(), FakeRunLimit);
            const std::string run = std::string(wow64 ? "snapshot" : "module source") +
                                    ", stopped at sleep " + std::to_string(stopAt + 1);
            EXPECT_EQ(heldAt, 0u) << run;
            EXPECT_EQ(fake.openHandles, 0) << run;
            EXPECT_EQ(fake.loadedModuleSources, 0) << run;
            EXPECT_EQ(fake.Events("sleep ").size(), stopAt + 1) << run;
            EXPECT_EQ(fake.terminated.size(), stopAt == 0 ? 0u : 1u) << run;
        }
    }
}

TEST_F(Sequence, SnapshotFailuresInTheLoopShowTheirBoxOnEveryPass) {
    fake.wow64 = true;
    fake.snapshotStatus = SnapshotStatus::SnapshotFailed;
    fake.maxSleeps = 3;
    LauncherApp app(fake);
    EXPECT_THROW(app.InitInstance(), FakeRunLimit);
    EXPECT_EQ(fake.Events("box Msg|CreateToolhelp32Snapshot fail !!").size(), 3u);
    EXPECT_EQ(fake.Events("start D:\\Panoview.exe|").size(), 4u);
}

}  // namespace

namespace {

TEST(SequenceWithoutInstallDir, StartsLoadsAndWritesNothing) {
    for (const char* path : {"", "Start.exe"}) {
        FakePlatform fake;
        SetUpDisc(fake);
        fake.moduleFileName = std::string(path);
        LauncherApp app(fake);
        EXPECT_FALSE(app.InitInstance());
        EXPECT_EQ(fake.log, std::vector<std::string>{"counter"}) << path;
    }
}

// A folder whose name the code page cannot hold exactly (a fullwidth quote would come back as '"'
// and open the elevated command lines to arguments of the folder namer's choosing) and that has no
// short name the code page holds either is treated as no folder at all: after the guard nothing
// is registered, shown, written or started. An unreadable path has no short form to ask for.
TEST(SequenceWithoutInstallDir, PathOutsideTheCodePageDoesNothingAfterTheGuard) {
    struct Case {
        ModulePathStatus full, shortForm;
        int shortQueries;
    };
    const Case cases[] = {
        {ModulePathStatus::NotInCodePage, ModulePathStatus::Unreadable, 1},     // no short form
        {ModulePathStatus::NotInCodePage, ModulePathStatus::NotInCodePage, 1},  // 8.3 names off
        {ModulePathStatus::Unreadable, ModulePathStatus::Unreadable, 0},
    };
    for (const Case& c : cases) {
        FakePlatform fake;
        SetUpDisc(fake, "C:\\x\" y\\");
        fake.moduleFileNameStatus = c.full;
        fake.moduleShortFileNameStatus = c.shortForm;
        LauncherApp app(fake);
        EXPECT_FALSE(app.InitInstance());
        EXPECT_EQ(fake.log, std::vector<std::string>{"counter"});
        EXPECT_FALSE(fake.HasFile("C:\\Windows\\Handoff.ini"));
        EXPECT_EQ(fake.moduleShortFileNameQueries, c.shortQueries);
        EXPECT_EQ(app.InstallDir(), "");
        EXPECT_TRUE(fake.Events("cwd ").empty());
    }
}

// A copy in a folder named in another script (C:\Дмитрий Папка\ on a Western system) runs
// under the folder's short name: every path the launcher builds, the one it hands over and the
// browser's command line among them, carries it.
TEST(SequenceWithoutInstallDir, PathOutsideTheCodePageRunsUnderItsShortName) {
    FakePlatform fake;
    SetUpDisc(fake, "C:\\____~BSM\\");
    fake.moduleFileNameStatus = ModulePathStatus::NotInCodePage;
    fake.moduleShortFileName = std::string("C:\\____~BSM\\Start.exe");
    LauncherApp app(fake);
    EXPECT_FALSE(app.InitInstance());
    EXPECT_EQ(fake.FileContent("C:\\Windows\\Handoff.ini"), "C:\\____~BSM\\Start.exe");
    EXPECT_EQ(fake.Events("probe-library "), std::vector<std::string>{"probe-library C:\\____~BSM\\qzm.dll"});
    EXPECT_EQ(fake.Events("start C:\\____~BSM\\Panoview.exe|").at(0),
              "start C:\\____~BSM\\Panoview.exe|Panoview.exe \"C:\\____~BSM\\lang\\Eng\\Welcome.htm|5");
    EXPECT_EQ(fake.currentDirectory, "C:\\____~BSM\\");
}

// The folder is read once for the whole run. A short form that stops resolving halfway (the
// folder renamed, so there is none; short names stripped, so the system hands back the long
// name) must not turn the folder empty for the later steps, which would start the browser from
// the root of the current drive and hand over a bare "Start.exe". Here the browser ends at once,
// so the launcher keeps starting it: every start, every command line, every current directory
// and the hand-off carry the first value, whenever the short form went away.
TEST(SequenceWithoutInstallDir, ShortNameThatStopsResolvingMidRunIsKeptForTheWholeRun) {
    const std::string dir = "C:\\NOVAYA~1\\";
    const std::string regsvr32 = "start C:\\Windows\\system32\\regsvr32.exe|regsvr32 /s \"" + dir;
    const std::string browser =
        "start " + dir + "Panoview.exe|Panoview.exe \"" + dir + "lang\\DEU\\Welcome.htm|5";
    const std::vector<std::string> expectedStarts = {
        regsvr32 + "Discpane.ocx\"|5", regsvr32 + "Gauge.ocx\"|5",
        "start " + dir + "Q7.exe|" + dir + "Q7.exe|5",
        browser, browser, browser, browser, browser,
    };
    for (const char* after : {"regsvr32.exe", "Q7.exe", "Panoview.exe"}) {
        for (ModulePathStatus gone : {ModulePathStatus::Unreadable, ModulePathStatus::NotInCodePage}) {
            FakePlatform fake;
            SetUpDisc(fake, dir);
            fake.langId = 0x0407;  // German: the marker lookup must use the folder too
            fake.AddFile(dir + "lang\\DEU\\locale.js");
            fake.AddFile(dir + "Q7.exe");
            fake.moduleFileNameStatus = ModulePathStatus::NotInCodePage;
            fake.moduleShortFileName = dir + "Start.exe";
            const std::string trigger = after;
            fake.onStart = [&](FakePlatform& f, const std::string& program, const std::string&) {
                // The browser ends at once: no process of its name ever shows up.
                if (program.size() >= trigger.size() &&
                    program.compare(program.size() - trigger.size(), trigger.size(), trigger) == 0) {
                    f.moduleShortFileName.reset();
                    f.moduleShortFileNameStatus = gone;
                }
            };
            fake.maxSleeps = 5;  // the tool's 15 s, then one second for each of five browser passes
            LauncherApp app(fake);
            EXPECT_THROW(app.InitInstance(), FakeRunLimit);
            const std::string run = std::string("short form gone after starting ") + after +
                                    (gone == ModulePathStatus::Unreadable ? ", unreadable"
                                                                          : ", not in the code page");
            EXPECT_FALSE(fake.moduleShortFileName.has_value()) << run;  // it did go away
            EXPECT_EQ(fake.Events("start "), expectedStarts) << run;
            EXPECT_EQ(fake.Events("probe-library "),
                      std::vector<std::string>{"probe-library " + dir + "qzm.dll"}) << run;
            EXPECT_EQ(fake.FileContent("C:\\Windows\\Handoff.ini"), dir + "Start.exe") << run;
            EXPECT_EQ(fake.FileContent("C:\\Windows\\Handoff.exe"), "MZ handoff") << run;
            const std::vector<std::string> cwd = fake.Events("cwd ");
            EXPECT_FALSE(cwd.empty()) << run;
            for (const std::string& entry : cwd) EXPECT_EQ(entry, "cwd " + dir) << run;
            EXPECT_EQ(fake.moduleShortFileNameQueries, 1) << run;
        }
    }
}

// Every other path is used exactly as read: its short form is never asked for.
TEST(SequenceWithoutInstallDir, PathInTheCodePageNeverAsksForItsShortName) {
    FakePlatform fake;
    SetUpDisc(fake, "C:\\Disc Copy\\");
    fake.moduleShortFileName = std::string("C:\\DISCCO~1\\Start.exe");
    LauncherApp app(fake);
    EXPECT_FALSE(app.InitInstance());
    EXPECT_EQ(fake.FileContent("C:\\Windows\\Handoff.ini"), "C:\\Disc Copy\\Start.exe");
    EXPECT_EQ(fake.moduleShortFileNameQueries, 0);
}

}  // namespace
