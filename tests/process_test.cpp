#include <gtest/gtest.h>

#include "app/LauncherApp.h"
#include "platform/fake/FakePlatform.h"

namespace {

std::vector<std::string> Names(const LauncherApp& app) {
    std::vector<std::string> names;
    for (const auto& e : app.Processes()) names.push_back(e->name);
    return names;
}

// Both sources, as the WOW64 probe chooses them.
class RunningCheck : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { fake.wow64 = GetParam(); }
    FakePlatform fake;
};

TEST_P(RunningCheck, SleepsThenListsThenCompares) {
    fake.AddProcess("PanoView.EXE");
    LauncherApp app(fake);
    EXPECT_TRUE(app.IsProcessRunning("PANOVIEW.EXE"));
    EXPECT_EQ(fake.log.front(), "sleep 1000");
    EXPECT_EQ(fake.log[1], GetParam() ? "snapshot" : "open-module-source");
}

TEST_P(RunningCheck, LowerCaseRequestNeverMatches) {
    fake.AddProcess("Panoview.exe");
    LauncherApp app(fake);
    EXPECT_FALSE(app.IsProcessRunning("Panoview.exe"));
    EXPECT_FALSE(app.IsProcessRunning("PANOVIEW"));
    EXPECT_TRUE(app.IsProcessRunning("PANOVIEW.EXE"));
}

TEST_P(RunningCheck, FirstMatchStopsTheWalkAndOnlyThePrefixIsUpperCased) {
    fake.AddProcess("a.exe");
    fake.AddProcess("b.exe");
    fake.AddProcess("panoview.exe");
    fake.AddProcess("panoview.exe");
    fake.AddProcess("e.exe");
    LauncherApp app(fake);
    EXPECT_TRUE(app.IsProcessRunning("PANOVIEW.EXE"));
    EXPECT_EQ(Names(app), (std::vector<std::string>{"A.EXE", "B.EXE", "PANOVIEW.EXE",
                                                    "panoview.exe", "e.exe"}));
    EXPECT_FALSE(app.IsProcessRunning("NONE.EXE"));
    EXPECT_EQ(Names(app), (std::vector<std::string>{"A.EXE", "B.EXE", "PANOVIEW.EXE",
                                                    "PANOVIEW.EXE", "E.EXE"}));
}

TEST_P(RunningCheck, EmptyTableAnswersNo) {
    LauncherApp app(fake);
    EXPECT_FALSE(app.IsProcessRunning("PANOVIEW.EXE"));
    EXPECT_TRUE(app.Processes().empty());
}

TEST_P(RunningCheck, NoHandleStaysOpenAndTheLibraryIsReleased) {
    for (int i = 0; i < 5; ++i) fake.AddProcess("x.exe");
    fake.processes[2].openable = false;
    fake.processes[3].hasModule = false;
    LauncherApp app(fake);
    app.IsProcessRunning("X.EXE");
    EXPECT_EQ(fake.openHandles, 0);
    EXPECT_EQ(fake.loadedModuleSources, 0);
}

INSTANTIATE_TEST_SUITE_P(Sources, RunningCheck, ::testing::Values(true, false),
                         [](const auto& row) { return row.param ? "Snapshot" : "Modules"; });

TEST(SnapshotFill, FailuresShowTheirBoxAndKeepTheStaleList) {
    FakePlatform fake;
    fake.wow64 = true;
    fake.AddProcess("panoview.exe");
    LauncherApp app(fake);
    ASSERT_EQ(app.FillProcessListToolhelp(), 1);
    fake.processes.clear();

    fake.snapshotStatus = SnapshotStatus::SnapshotFailed;
    EXPECT_EQ(app.FillProcessListToolhelp(), 0);
    EXPECT_EQ(fake.log.back(), "box Msg|CreateToolhelp32Snapshot fail !!");
    EXPECT_TRUE(app.IsProcessRunning("PANOVIEW.EXE"));  // answered from the last good fill

    fake.snapshotStatus = SnapshotStatus::FirstRecordFailed;
    EXPECT_FALSE(app.IsProcessRunning("OTHER.EXE"));
    EXPECT_EQ(fake.log.back(), "box Msg|Process32First fail !!");
    EXPECT_EQ(Names(app), std::vector<std::string>{"PANOVIEW.EXE"});
}

TEST(SnapshotFill, FailingFirstFillAnswersNoAndShowsTheBoxOnEveryCheck) {
    FakePlatform fake;
    fake.wow64 = true;
    fake.AddProcess("PANOVIEW.EXE");
    fake.snapshotStatus = SnapshotStatus::SnapshotFailed;
    LauncherApp app(fake);
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(app.IsProcessRunning("PANOVIEW.EXE"));
    EXPECT_EQ(fake.Events("box ").size(), 3u);
}

TEST(SnapshotFill, EveryProcessGetsAnEntryInOrderWithTheSnapshotHandle) {
    FakePlatform fake;
    fake.AddProcess("System");
    fake.AddProcess("x.exe");
    fake.AddProcess("x.exe");
    LauncherApp app(fake);
    EXPECT_EQ(app.FillProcessListToolhelp(), 1);
    ASSERT_EQ(app.Processes().size(), 3u);
    EXPECT_EQ(app.Processes()[1]->id, fake.processes[1].id);
    EXPECT_NE(app.Processes()[0]->handle, 0u);
    EXPECT_EQ(app.Processes()[0]->handle, app.Processes()[2]->handle);
}

TEST(ModuleFill, SkipsWhatCannotBeOpenedOrHasNoModule) {
    FakePlatform fake;
    fake.AddProcess("a.exe");
    fake.AddProcess("hidden.exe");
    fake.processes[1].openable = false;
    fake.AddProcess("nomodule.exe");
    fake.processes[2].hasModule = false;
    fake.AddProcess("d.exe");
    LauncherApp app(fake);
    EXPECT_EQ(app.FillProcessListPsapi(), -1);
    EXPECT_EQ(Names(app), (std::vector<std::string>{"a.exe", "d.exe"}));
    EXPECT_EQ(fake.Events("open-process ").front(),
              "open-process " + std::to_string(fake.processes[0].id) + " 1040");
}

TEST(ModuleFill, UnreadableNameTakesTheLastNameRead) {
    FakePlatform fake;
    fake.AddProcess("first.exe");
    fake.processes[0].nameReadable = false;
    fake.AddProcess("second.exe");
    fake.AddProcess("third.exe");
    fake.processes[2].nameReadable = false;
    LauncherApp app(fake);
    app.FillProcessListPsapi();
    EXPECT_EQ(Names(app), (std::vector<std::string>{"unknown", "second.exe", "second.exe"}));
}

TEST(ModuleFill, FailuresBeforeClearingKeepTheStaleList) {
    FakePlatform fake;
    fake.AddProcess("panoview.exe");
    LauncherApp app(fake);
    app.FillProcessListPsapi();
    fake.processes.clear();
    fake.moduleSource = false;
    EXPECT_TRUE(app.IsProcessRunning("PANOVIEW.EXE"));
    fake.moduleSource = true;
    fake.enumIdsFails = true;
    EXPECT_TRUE(app.IsProcessRunning("PANOVIEW.EXE"));
    EXPECT_EQ(fake.loadedModuleSources, 0);
    EXPECT_TRUE(fake.Events("box ").empty());  // this source fails in silence
}

TEST(ModuleFill, NoIdsEmptiesTheList) {
    FakePlatform fake;
    fake.AddProcess("panoview.exe");
    LauncherApp app(fake);
    app.FillProcessListPsapi();
    fake.processes.clear();
    EXPECT_FALSE(app.IsProcessRunning("PANOVIEW.EXE"));
    EXPECT_TRUE(app.Processes().empty());
}

TEST(ModuleFill, SeesEveryProcessOfABusySystem) {
    FakePlatform fake;
    for (int i = 0; i < 5000; ++i) fake.AddProcess("svc.exe");
    fake.AddProcess("panoview.exe");
    LauncherApp app(fake);
    EXPECT_TRUE(app.IsProcessRunning("PANOVIEW.EXE"));
    EXPECT_EQ(app.Processes().size(), 5001u);
}

TEST(ClearProcessList, KeepsStorageForTheNextFill) {
    FakePlatform fake;
    for (int i = 0; i < 50; ++i) fake.AddProcess("p.exe");
    LauncherApp app(fake);
    app.FillProcessListToolhelp();
    const std::size_t capacity = app.Processes().capacity();
    app.ClearProcessList();
    EXPECT_TRUE(app.Processes().empty());
    EXPECT_EQ(app.Processes().capacity(), capacity);
}

}  // namespace
