#include <gtest/gtest.h>

#include <ostream>

#include "FakeDisc.h"
#include "app/LauncherApp.h"

namespace {

constexpr const char* kTool = "C:\\Windows\\system32\\regsvr32.exe";

std::vector<std::string> CommandLines(const FakePlatform& fake, const std::string& program) {
    std::vector<std::string> lines;
    for (const std::string& e : fake.Events("start " + program + "|")) {
        const std::size_t from = e.find('|') + 1;
        lines.push_back(e.substr(from, e.rfind('|') - from));
    }
    return lines;
}

// --- Control registration ---------------------------------------------------------------------

struct RegistrationCase {
    const char* name;
    const char* module;
    bool classRegistered;
    std::vector<std::string> commands;
};

// Printed by name: the default would dump the raw bytes, padding included.
void PrintTo(const RegistrationCase& c, std::ostream* os) { *os << c.name; }

class Registration : public ::testing::TestWithParam<RegistrationCase> {};

TEST_P(Registration, StartsTheCommandsInOrderWithoutWaiting) {
    const RegistrationCase& c = GetParam();
    FakePlatform fake;
    fake.moduleFileName = std::string(c.module);
    if (c.classRegistered) {
        fake.classesRootKeys.insert(names::kControlClassKey);
    }
    LauncherApp app(fake);
    EXPECT_TRUE(app.RegisterControls());
    EXPECT_EQ(CommandLines(fake, kTool), c.commands);
    for (const std::string& e : fake.Events("start ")) EXPECT_EQ(e.substr(e.size() - 2), "|5");
    EXPECT_TRUE(fake.Events("sleep").empty());
}

const RegistrationCase kRegistrationCases[] = {
    {"absent", "D:\\Start.exe", false,
     {"regsvr32 /s \"D:\\Discpane.ocx\"", "regsvr32 /s \"D:\\Gauge.ocx\""}},
    {"present", "D:\\Start.exe", true,
     {"regsvr32 /s /u \"D:\\Discpane.ocx\"", "regsvr32 /s /u \"D:\\Gauge.ocx\"",
      "regsvr32 /s \"D:\\Discpane.ocx\"", "regsvr32 /s \"D:\\Gauge.ocx\""}},
    {"subfolder", "E:\\Drivers\\Start.exe", false,
     {"regsvr32 /s \"E:\\Drivers\\Discpane.ocx\"", "regsvr32 /s \"E:\\Drivers\\Gauge.ocx\""}},
    {"blank_in_folder", "C:\\My Disc\\Start.exe", true,
     {"regsvr32 /s /u \"C:\\My Disc\\Discpane.ocx\"", "regsvr32 /s /u \"C:\\My Disc\\Gauge.ocx\"",
      "regsvr32 /s \"C:\\My Disc\\Discpane.ocx\"", "regsvr32 /s \"C:\\My Disc\\Gauge.ocx\""}},
};

INSTANTIATE_TEST_SUITE_P(Commands, Registration, ::testing::ValuesIn(kRegistrationCases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(RegistrationTool, IsTheSystemsOwnAndNeverSearchedFor) {
    FakePlatform fake;
    fake.systemDir = std::string("C:\\WINNT\\System32");
    LauncherApp app(fake);
    app.RegisterControls();
    EXPECT_EQ(CommandLines(fake, "C:\\WINNT\\System32\\regsvr32.exe").size(), 2u);
    fake.log.clear();
    fake.systemDir.reset();  // without the system directory nothing is started at all
    app.RegisterControls();
    EXPECT_TRUE(fake.Events("start ").empty());
}

// --- Hand-off ----------------------------------------------------------------------------------

TEST(Handoff, CopiesTheSetupProgramAndWritesTheLauncherPath) {
    FakePlatform fake;
    SetUpDisc(fake);
    fake.AddFile("C:\\Windows\\Handoff.ini", "E:\\Some\\Much\\Longer\\Older\\Path\\Start.exe");
    fake.AddFile("C:\\Windows\\Handoff.exe", "old");
    LauncherApp app(fake);
    EXPECT_EQ(app.Handoff(), 0);
    EXPECT_EQ(fake.FileContent("C:\\Windows\\Handoff.exe"), "MZ handoff");
    EXPECT_EQ(fake.FileContent("C:\\Windows\\Handoff.ini"), "D:\\Start.exe");
    EXPECT_EQ(fake.FileContent("C:\\Windows\\Handoff.ini").size(), 12u);
    const std::size_t del = fake.IndexOf("delete C:\\Windows\\Handoff.ini");
    const std::size_t write = fake.IndexOf("write C:\\Windows\\Handoff.ini|D:\\Start.exe");
    ASSERT_NE(del, std::string::npos);
    EXPECT_LT(fake.IndexOf("copy D:\\Handoff.exe -> C:\\Windows\\Handoff.exe"), del);
    EXPECT_LT(del, write);
}

TEST(Handoff, MissingSourceStillWritesTheSettingsFile) {
    FakePlatform fake;
    fake.moduleFileName = std::string("C:\\Disc\\Copy\\Launch.exe");
    LauncherApp app(fake);
    app.Handoff();
    EXPECT_FALSE(fake.HasFile("C:\\Windows\\Handoff.exe"));
    // Always "Start.exe", whatever the running file is called.
    EXPECT_EQ(fake.FileContent("C:\\Windows\\Handoff.ini"), "C:\\Disc\\Copy\\Start.exe");
}

TEST(Handoff, FailuresAreSilentAndTheRunGoesOn) {
    FakePlatform fake;
    SetUpDisc(fake);
    fake.failCopy = true;
    fake.failDelete = true;
    fake.failWrite = true;
    LauncherApp app(fake);
    EXPECT_FALSE(app.InitInstance());
    EXPECT_TRUE(fake.Events("box ").empty());
    EXPECT_EQ(CommandLines(fake, "D:\\Panoview.exe").size(), 1u);
}

TEST(Handoff, NoWindowsDirectoryWritesNothingAnywhere) {
    FakePlatform fake;
    SetUpDisc(fake);
    fake.windowsDir.reset();
    LauncherApp app(fake);
    app.Handoff();
    EXPECT_TRUE(fake.Events("copy ").empty());
    EXPECT_TRUE(fake.Events("write ").empty());
    EXPECT_TRUE(fake.Events("delete ").empty());
}

TEST(Handoff, LongPathsAreWrittenWhole) {
    FakePlatform fake;
    const std::string dir = "C:\\" + std::string(300, 'd') + "\\";
    SetUpDisc(fake, dir);
    fake.windowsDir = "C:\\" + std::string(280, 'w');
    LauncherApp app(fake);
    app.Handoff();
    EXPECT_EQ(fake.FileContent(*fake.windowsDir + "\\Handoff.ini"), dir + "Start.exe");
    EXPECT_EQ(fake.FileContent(*fake.windowsDir + "\\Handoff.exe"), "MZ handoff");
}

TEST(Handoff, RunningTwiceGivesTheSameFiles) {
    FakePlatform fake;
    SetUpDisc(fake);
    LauncherApp app(fake);
    app.Handoff();
    const auto first = fake.files;
    app.Handoff();
    EXPECT_EQ(fake.files, first);
}

TEST(Handoff, ASecondDiscReplacesTheReadOnlyCopyOfTheFirst) {
    FakePlatform fake;
    SetUpDisc(fake);
    fake.readOnlyFiles.insert(FakeKey("D:\\Handoff.exe"));  // every file of a pressed disc
    LauncherApp app(fake);
    app.Handoff();
    EXPECT_FALSE(fake.IsReadOnly("C:\\Windows\\Handoff.exe"));

    // The newer disc, after a copy that did keep the attribute (an older launcher made it).
    fake.readOnlyFiles.insert(FakeKey("C:\\Windows\\Handoff.exe"));
    fake.readOnlyFiles.insert(FakeKey("C:\\Windows\\Handoff.ini"));
    fake.moduleFileName = std::string("E:\\Start.exe");
    fake.AddFile("E:\\Handoff.exe", "MZ newer handoff");
    fake.readOnlyFiles.insert(FakeKey("E:\\Handoff.exe"));
    LauncherApp later(fake);  // a run of its own, from the newer disc
    later.Handoff();
    EXPECT_EQ(fake.FileContent("C:\\Windows\\Handoff.exe"), "MZ newer handoff");
    EXPECT_EQ(fake.FileContent("C:\\Windows\\Handoff.ini"), "E:\\Start.exe");
    EXPECT_FALSE(fake.IsReadOnly("C:\\Windows\\Handoff.exe"));
    EXPECT_FALSE(fake.IsReadOnly("C:\\Windows\\Handoff.ini"));
}

// --- Browser loop ------------------------------------------------------------------------------

struct BrowserCase {
    const char* name;
    const char* module;
    std::uint16_t langId;
    const char* marker;
    const char* program;
    const char* command;
};

// Printed by name: the default would dump the raw bytes, padding included.
void PrintTo(const BrowserCase& c, std::ostream* os) { *os << c.name; }

class BrowserCommand : public ::testing::TestWithParam<BrowserCase> {};

TEST_P(BrowserCommand, NamesTheStartPageOfTheSystemLanguage) {
    const BrowserCase& c = GetParam();
    FakePlatform fake;
    SetUpDisc(fake, "");
    fake.moduleFileName = std::string(c.module);
    fake.langId = c.langId;
    fake.AddFile(c.marker);
    LauncherApp app(fake);
    app.RunBrowserLoop();
    EXPECT_EQ(CommandLines(fake, c.program), std::vector<std::string>{c.command});
}

// The page path opens with a quote and never closes it: the browser takes exactly this.
const BrowserCase kBrowserCases[] = {
    {"english_root", "D:\\Start.exe", 0x0409, "D:\\lang\\Eng\\locale.js", "D:\\Panoview.exe",
     "Panoview.exe \"D:\\lang\\Eng\\Welcome.htm"},
    {"german_subfolder", "E:\\Drivers\\Start.exe", 0x0407, "E:\\Drivers\\lang\\DEU\\locale.js",
     "E:\\Drivers\\Panoview.exe", "Panoview.exe \"E:\\Drivers\\lang\\DEU\\Welcome.htm"},
    {"turkish", "D:\\Start.exe", 0x041F, "D:\\lang\\Eng\\locale.js", "D:\\Panoview.exe",
     "Panoview.exe \"D:\\lang\\ENG\\Welcome.htm"},
    {"german_without_marker", "D:\\Start.exe", 0x0407, "D:\\lang\\Eng\\locale.js",
     "D:\\Panoview.exe", "Panoview.exe \"D:\\lang\\Eng\\Welcome.htm"},
    {"blank_in_folder", "C:\\My Disc\\Start.exe", 0x0804, "C:\\My Disc\\lang\\Sch\\locale.js",
     "C:\\My Disc\\Panoview.exe", "Panoview.exe \"C:\\My Disc\\lang\\Sch\\Welcome.htm"},
};

INSTANTIATE_TEST_SUITE_P(Pages, BrowserCommand, ::testing::ValuesIn(kBrowserCases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(BrowserLoop, OneStartAndOneCheckPerPassUntilTheBrowserIsSeen) {
    FakePlatform fake;
    SetUpDisc(fake);
    int starts = 0;
    // A slow browser: its process shows up only after the third start.
    fake.onStart = [&](FakePlatform& f, const std::string&, const std::string&) {
        if (++starts == 3) f.AddProcess("PANOVIEW.EXE");
    };
    LauncherApp app(fake);
    app.RunBrowserLoop();
    std::vector<std::string> pattern;
    for (const std::string& e : fake.log) {
        if (e.rfind("start ", 0) == 0) pattern.push_back("start");
        if (e.rfind("sleep ", 0) == 0) pattern.push_back(e);
        if (e.rfind("cwd ", 0) == 0) pattern.push_back("cwd");
    }
    const std::vector<std::string> pass = {"cwd", "start", "sleep 1000"};
    std::vector<std::string> expected;
    for (int i = 0; i < 3; ++i) expected.insert(expected.end(), pass.begin(), pass.end());
    EXPECT_EQ(pattern, expected);
    EXPECT_EQ(fake.clockMs, 3000u);
}

TEST(BrowserLoop, AlreadyRunningBrowserIsStillStartedOnce) {
    FakePlatform fake;
    SetUpDisc(fake);
    fake.onStart = nullptr;
    fake.AddProcess("PanoView.EXE");
    LauncherApp app(fake);
    app.RunBrowserLoop();
    EXPECT_EQ(CommandLines(fake, "D:\\Panoview.exe").size(), 1u);
}

TEST(BrowserLoop, MissingBrowserIsStartedOncePerSecondWithoutEnd) {
    FakePlatform fake;
    SetUpDisc(fake);
    fake.onStart = nullptr;
    fake.maxSleeps = 600;
    LauncherApp app(fake);
    EXPECT_THROW(app.RunBrowserLoop(), FakeRunLimit);
    EXPECT_EQ(CommandLines(fake, "D:\\Panoview.exe").size(), 601u);
    EXPECT_EQ(fake.clockMs, 601000u);
    EXPECT_EQ(fake.openHandles, 0);
}

}  // namespace
