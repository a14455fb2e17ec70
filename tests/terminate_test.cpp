#include <gtest/gtest.h>

#include "platform/fake/FakePlatform.h"
#include "process/Terminate.h"

namespace {

TEST(NamesEqualNoCase, FoldsOnlyTheLettersAToZ) {
    struct Case {
        const char* a;
        const char* b;
        int equal;
    };
    const Case cases[] = {
        {"Q7.exe", "Q7.exe", 1},
        {"Q7.exe", "q7.EXE", 1},
        {"PANOVIEW.EXE", "panoview.exe", 1},
        {"\xC9" "cran.exe", "\xE9" "cran.exe", 0},  // accented letter, two cases (code page 1252)
        {"\xC9" "cran.exe", "\xC9" "CRAN.EXE", 1},
        {"Q7.exe", "Q7x.exe", 0},
        {"Q7.exe", "xQ7.exe", 0},
        {"Q7.exe", "Q7.exe ", 0},
        {"Q7.exe", "Q7.ex", 0},
        {"Q7.exe", "", 0},
        {"", "", 1},
        {"@[`{", "@[`{", 1},
        {"[", "{", 0},  // neighbours of the letters are not letters
        {"unknown", "UNKNOWN", 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(NamesEqualNoCase(c.a, c.b), c.equal) << c.a << " / " << c.b;
        EXPECT_EQ(NamesEqualNoCase(c.b, c.a), c.equal) << c.b << " / " << c.a;
    }
}

class Termination : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        fake.snapshotSource = GetParam();
        q7 = fake.AddProcess("Q7.exe");
        q7Again = fake.AddProcess("Q7.exe");
        q7Case = fake.AddProcess("q7.EXE");
        prefix = fake.AddProcess("Q7x.exe");
        other = fake.AddProcess("explorer.exe");
    }
    FakePlatform fake;
    std::uint32_t q7 = 0, q7Again = 0, q7Case = 0, prefix = 0, other = 0;
};

TEST_P(Termination, EndsEveryMatchAndNothingElse) {
    const int result = TerminateProcessesByName(fake, "Q7.exe");
    EXPECT_EQ(result, GetParam() ? 1 : 0);
    EXPECT_EQ(fake.terminated, (std::vector<std::uint32_t>{q7, q7Again, q7Case}));
    EXPECT_TRUE(fake.IsAlive(prefix));
    EXPECT_TRUE(fake.IsAlive(other));
    EXPECT_EQ(fake.openHandles, 0);
    EXPECT_EQ(fake.loadedModuleSources, 0);
    for (const std::string& e : fake.Events("terminate ")) EXPECT_EQ(e.back(), '0');  // exit code
}

TEST_P(Termination, OpenAndTerminateFailuresArePassedOver) {
    fake.processes[0].openable = false;
    fake.processes[1].terminable = false;
    TerminateProcessesByName(fake, "Q7.exe");
    EXPECT_EQ(fake.terminated, std::vector<std::uint32_t>{q7Case});
    EXPECT_EQ(fake.openHandles, 0);
    EXPECT_EQ(fake.Events("open-process " + std::to_string(q7Case)).front(),
              "open-process " + std::to_string(q7Case) + " 2035711");
}

TEST_P(Termination, NoMatchEndsNothing) {
    EXPECT_EQ(TerminateProcessesByName(fake, "Q8.exe"), GetParam() ? 1 : 0);
    EXPECT_TRUE(fake.terminated.empty());
}

// Ids are reused: between the listing and the open, a listed process may end and an unrelated
// one, of any session, take over its id. Only a process still of the requested name is ended.
TEST_P(Termination, AProcessThatTookOverAListedIdIsNotEnded) {
    std::uint32_t reused = 0;
    fake.onOpenProcess = [&](FakePlatform& f, std::uint32_t id) {
        if (id == q7Again) {
            f.ReuseProcessId(id, "winlogon.exe");
            reused = id;
        }
    };
    TerminateProcessesByName(fake, "Q7.exe");
    EXPECT_EQ(reused, q7Again);
    EXPECT_EQ(fake.terminated, (std::vector<std::uint32_t>{q7, q7Case}));
    EXPECT_TRUE(fake.IsAlive(q7Again));
    EXPECT_EQ(fake.openHandles, 0);
}

INSTANTIATE_TEST_SUITE_P(Sources, Termination, ::testing::Values(true, false),
                         [](const auto& row) { return row.param ? "Snapshot" : "Modules"; });

TEST(Termination, SnapshotSourceIsPreferredAndItsFailureEndsTheCall) {
    FakePlatform fake;
    fake.AddProcess("Q7.exe");
    fake.snapshotStatus = SnapshotStatus::FirstRecordFailed;
    EXPECT_EQ(TerminateProcessesByName(fake, "Q7.exe"), 0);
    EXPECT_TRUE(fake.terminated.empty());
    EXPECT_TRUE(fake.Events("open-module-source").empty());
    EXPECT_TRUE(fake.Events("box ").empty());
}

// The snapshot's name is only a hint: the name read through the opened handle decides, in any
// case of A to Z, and a process whose name cannot be read that way, either way, is never ended.
TEST(Termination, SnapshotMatchesAreEndedOnlyWhenTheirHandleStillNamesThem) {
    FakePlatform fake;
    const std::uint32_t unreadable = fake.AddProcess("Q7.exe");
    const std::uint32_t otherCase = fake.AddProcess("Q7.exe");
    fake.processes[0].imageNameReadable = false;
    fake.processes[0].imageNameReadableOtherWay = false;
    fake.onOpenProcess = [&](FakePlatform& f, std::uint32_t id) {
        if (id == otherCase) f.processes[1].exeName = "q7.EXE";
    };
    EXPECT_EQ(TerminateProcessesByName(fake, "Q7.exe"), 1);
    EXPECT_EQ(fake.terminated, std::vector<std::uint32_t>{otherCase});
    EXPECT_TRUE(fake.IsAlive(unreadable));
    EXPECT_EQ(fake.openHandles, 0);
}

// When the first way reads no name through the handle (an image on a volume without a drive
// letter), the other way asks through the same handle; it is never asked once a name was read,
// and a process that took over a listed id is still a stranger by either way.
TEST(Termination, AnUnreadableImageNameIsReadTheOtherWay) {
    struct Case {
        const char* name;
        bool firstWay, otherWay;
        bool ended, otherWayAsked;
    };
    const Case cases[] = {
        {"first way", true, true, true, false},
        {"other way", false, true, true, true},
        {"neither way", false, false, false, true},
    };
    for (const Case& c : cases) {
        FakePlatform fake;
        const std::uint32_t q7 = fake.AddProcess("Q7.exe");
        fake.processes[0].imageNameReadable = c.firstWay;
        fake.processes[0].imageNameReadableOtherWay = c.otherWay;
        EXPECT_EQ(TerminateProcessesByName(fake, "Q7.exe"), 1) << c.name;
        EXPECT_EQ(fake.IsAlive(q7), !c.ended) << c.name;
        EXPECT_EQ(fake.Events("image-name-other-way ").size(), c.otherWayAsked ? 1u : 0u) << c.name;
        EXPECT_EQ(fake.openHandles, 0) << c.name;
    }
    // Taken over by a process whose name only the other way reads: still not ended.
    FakePlatform fake;
    const std::uint32_t q7 = fake.AddProcess("Q7.exe");
    fake.onOpenProcess = [](FakePlatform& f, std::uint32_t id) {
        f.ReuseProcessId(id, "winlogon.exe");
        f.processes[0].imageNameReadable = false;
    };
    TerminateProcessesByName(fake, "Q7.exe");
    EXPECT_TRUE(fake.IsAlive(q7));
    EXPECT_EQ(fake.Events("image-name-other-way ").size(), 1u);
}

TEST(Termination, ModuleSourceFailuresEndNothing) {
    FakePlatform fake;
    fake.snapshotSource = false;
    fake.AddProcess("Q7.exe");
    fake.enumIdsFails = true;
    EXPECT_EQ(TerminateProcessesByName(fake, "Q7.exe"), 0);
    fake.enumIdsFails = false;
    fake.moduleSource = false;
    EXPECT_EQ(TerminateProcessesByName(fake, "Q7.exe"), 0);
    EXPECT_TRUE(fake.terminated.empty());
    EXPECT_EQ(fake.loadedModuleSources, 0);
}

TEST(Termination, UnreadableNamesGoByUnknownAfreshForEveryProcess) {
    FakePlatform fake;
    fake.snapshotSource = false;
    const std::uint32_t named = fake.AddProcess("Q7.exe");
    const std::uint32_t unread = fake.AddProcess("Q7.exe");
    fake.processes[1].nameReadable = false;
    TerminateProcessesByName(fake, "Q7.exe");
    EXPECT_EQ(fake.terminated, std::vector<std::uint32_t>{named});
    TerminateProcessesByName(fake, "UNKNOWN");
    EXPECT_EQ(fake.terminated, (std::vector<std::uint32_t>{named, unread}));
}

}  // namespace
