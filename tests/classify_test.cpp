#include <gtest/gtest.h>

#include <ostream>

#include "app/LauncherApp.h"
#include "inspect/OsClassify.h"
#include "platform/fake/FakePlatform.h"

namespace {

struct VersionCase {
    const char* name;
    std::uint32_t platformId, major, minor, build;
    std::uint8_t productType;
    bool sysWow64;
    std::uint8_t osCode, serverFlag;
    int probesExpected;  // how often the folder probe may be asked
};

// Printed by name: the default would dump the raw bytes, padding included.
void PrintTo(const VersionCase& c, std::ostream* os) { *os << c.name; }

VersionRecord Record(const VersionCase& c) {
    VersionRecord r;
    r.platformId = c.platformId;
    r.majorVersion = c.major;
    r.minorVersion = c.minor;
    r.buildNumber = c.build;
    r.productType = c.productType;
    return r;
}

class ClassifyVersionTable : public ::testing::TestWithParam<VersionCase> {};

TEST_P(ClassifyVersionTable, GivesCodeAndFlag) {
    const VersionCase& c = GetParam();
    int probes = 0;
    const OsDecision d = ClassifyVersion(Record(c), [&] {
        ++probes;
        return c.sysWow64;
    });
    EXPECT_TRUE(d.platformKnown);
    EXPECT_EQ(d.osCode, c.osCode);
    EXPECT_EQ(d.serverFlag, c.serverFlag);
    EXPECT_EQ(probes, c.probesExpected);
}

// Every row of the NT table with the values just below and above its boundaries, then the older
// families.
const VersionCase kCases[] = {
    // N1: major 4 or lower
    {"nt351", 2, 3, 51, 1057, 1, true, 13, 0, 0},
    {"nt4", 2, 4, 0, 1381, 1, true, 13, 0, 0},
    {"nt4_server", 2, 4, 0, 1381, 3, false, 13, 0, 0},
    // N2: major 5, build up to 2222
    {"w2000", 2, 5, 0, 2195, 1, false, 14, 0, 0},
    {"nt5_build2222", 2, 5, 0, 2222, 3, true, 14, 0, 0},
    // N3: build 2223 to 3789, any minor
    {"nt5_build2223", 2, 5, 0, 2223, 1, false, 16, 0, 0},
    {"xp", 2, 5, 1, 2600, 1, true, 16, 0, 0},
    {"nt52_build3789", 2, 5, 2, 3789, 3, true, 16, 0, 0},
    // N4: build 3790 or above, minor other than 2
    {"nt50_build3790", 2, 5, 0, 3790, 1, true, 0, 0, 0},
    {"nt51_build3790", 2, 5, 1, 3790, 3, true, 0, 0, 0},
    {"nt53_build3790", 2, 5, 3, 3790, 1, true, 0, 0, 0},
    // N5: 5.2 workstation, folder not asked
    {"xp_x64", 2, 5, 2, 3790, 1, true, 17, 0, 0},
    // N6, N7: 5.2 server
    {"w2003_x64", 2, 5, 2, 3790, 3, true, 17, 1, 1},
    {"w2003_x86", 2, 5, 2, 3790, 3, false, 16, 1, 1},
    {"w2003_dc", 2, 5, 2, 3790, 2, false, 16, 1, 1},
    // N8: 6.0
    {"vista_x86", 2, 6, 0, 6002, 1, false, 18, 0, 1},
    {"vista_x64", 2, 6, 0, 6002, 1, true, 19, 0, 1},
    {"w2008_x64", 2, 6, 0, 6002, 3, true, 19, 1, 1},
    // N9: 6.1
    {"w7_x86", 2, 6, 1, 7601, 1, false, 20, 0, 1},
    {"w7_x64", 2, 6, 1, 7601, 1, true, 21, 0, 1},
    {"w2008r2", 2, 6, 1, 7601, 3, true, 21, 1, 1},
    {"w2008r2_dc", 2, 6, 1, 7601, 2, true, 21, 1, 1},
    {"w7_type0", 2, 6, 1, 7601, 0, false, 20, 1, 1},
    // N10: 6.2, also what later systems report to the launcher
    {"w8_x86", 2, 6, 2, 9200, 1, false, 22, 0, 1},
    {"w8_x64", 2, 6, 2, 9200, 1, true, 23, 0, 1},
    {"w2012", 2, 6, 2, 9200, 3, true, 23, 1, 1},
    // N11: other 6.x minors keep the server flag
    {"nt63_server", 2, 6, 3, 9600, 3, true, 0, 1, 0},
    {"nt63_workstation", 2, 6, 3, 9600, 1, true, 0, 0, 0},
    // N12: 7 and above
    {"nt10", 2, 10, 0, 19045, 1, true, 0, 0, 0},
    {"nt10_server", 2, 10, 0, 20348, 3, true, 0, 0, 0},
    {"nt7", 2, 7, 0, 1, 3, true, 0, 0, 0},
    // Platform 0: Win32s, whatever the fields
    {"win32s", 0, 3, 10, 0, 0, true, 9, 0, 0},
    {"win32s_high", 0, 6, 1, 7601, 3, true, 9, 0, 0},
    // Platform 1: the build is the low 16 bits of the field
    {"w95", 1, 4, 0, 950, 0, false, 10, 0, 0},
    {"w95_any_build", 1, 4, 0, 0x04000000u | 3000, 0, false, 10, 0, 0},
    {"major3", 1, 3, 95, 5000, 0, false, 10, 0, 0},
    {"w98", 1, 4, 10, 0x040A0000u | 1998, 0, false, 11, 0, 0},
    {"w98_2000", 1, 4, 10, 0x040A0000u | 2000, 0, false, 11, 0, 0},
    {"w98se", 1, 4, 10, 0x040A0000u | 2222, 0, false, 12, 0, 0},
    {"w98_2223", 1, 4, 10, 0x040A0000u | 2223, 0, false, 15, 0, 0},
    {"me", 1, 4, 90, 0x045A0000u | 3000, 0, false, 15, 0, 0},
    {"major5_platform1", 1, 5, 0, 2222, 0, false, 12, 0, 0},
};

INSTANTIATE_TEST_SUITE_P(Rows, ClassifyVersionTable, ::testing::ValuesIn(kCases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(ClassifyVersion, UnknownPlatformHasNoClass) {
    for (std::uint32_t id : {3u, 4u, 0xFFFFFFFFu}) {
        VersionRecord r;
        r.platformId = id;
        r.majorVersion = 6;
        r.minorVersion = 1;
        const OsDecision d = ClassifyVersion(r, [] { return true; });
        EXPECT_FALSE(d.platformKnown);
        EXPECT_EQ(d.osCode, 0);
    }
}

// --- ClassifyOs on the application object ----------------------------------------------------

TEST(ClassifyOs, SetsFieldsAndAsksTheFolderOfTheWindowsDirectory) {
    FakePlatform fake;
    fake.SetVersion(2, 6, 1, 7601, 3);
    LauncherApp app(fake);
    std::uint8_t code = 0;
    EXPECT_TRUE(app.ClassifyOs(code));
    EXPECT_EQ(code, 21);
    EXPECT_EQ(app.ServerFlag(), 1);
    EXPECT_EQ(fake.Events("find "), std::vector<std::string>{"find C:\\Windows\\SysWow64\\*.*"});
    EXPECT_TRUE(fake.Events("box ").empty());
}

TEST(ClassifyOs, BasicQueryAfterFailedExtendedReadsProductTypeZero) {
    FakePlatform fake;
    fake.SetVersion(2, 6, 1, 7601, 1);
    fake.extendedVersion.reset();
    LauncherApp app(fake);
    std::uint8_t code = 0;
    EXPECT_TRUE(app.ClassifyOs(code));
    EXPECT_EQ(code, 21);
    EXPECT_EQ(app.ServerFlag(), 1);  // a workstation that could not say so counts as a server
    EXPECT_EQ(fake.Events("version "),
              (std::vector<std::string>{"version extended", "version basic"}));
}

TEST(ClassifyOs, BothQueriesFailingShowsTheBoxAndKeepsTheCode) {
    FakePlatform fake;
    fake.extendedVersion.reset();
    fake.basicVersion.reset();
    LauncherApp app(fake);
    std::uint8_t code = 42;
    EXPECT_FALSE(app.ClassifyOs(code));
    EXPECT_EQ(code, 42);
    EXPECT_EQ(app.ServerFlag(), 0);
    EXPECT_EQ(fake.Events("box "),
              std::vector<std::string>{"box Check OS type Error !|Message"});
}

TEST(ClassifyOs, UnknownPlatformShowsTheBoxAndClearsTheCode) {
    FakePlatform fake;
    fake.SetVersion(3, 6, 1, 7601, 3);
    LauncherApp app(fake);
    std::uint8_t code = 21;
    EXPECT_FALSE(app.ClassifyOs(code));
    EXPECT_EQ(code, 0);
    EXPECT_EQ(app.ServerFlag(), 0);
    EXPECT_EQ(fake.Events("box "), std::vector<std::string>{"box Unknown OS type !|Message"});
}

TEST(ClassifyOs, ServerFlagIsClearedBeforeEveryClassification) {
    FakePlatform fake;
    fake.SetVersion(2, 6, 1, 7601, 3);
    LauncherApp app(fake);
    std::uint8_t code = 0;
    app.ClassifyOs(code);
    ASSERT_EQ(app.ServerFlag(), 1);
    fake.SetVersion(2, 10, 0, 19045, 3);
    EXPECT_TRUE(app.ClassifyOs(code));
    EXPECT_EQ(code, 0);
    EXPECT_EQ(app.ServerFlag(), 0);
}

TEST(HasSysWow64Folder, AnswersFromTheWindowsDirectory) {
    FakePlatform fake;
    LauncherApp app(fake);
    EXPECT_TRUE(app.HasSysWow64Folder());
    fake.directories.clear();
    EXPECT_FALSE(app.HasSysWow64Folder());
    // A Windows directory that cannot be obtained never lets a relative folder answer.
    fake.directories.insert(FakeKey("\\SysWow64"));
    fake.directories.insert(FakeKey("SysWow64"));
    fake.windowsDir.reset();
    EXPECT_FALSE(app.HasSysWow64Folder());
    EXPECT_EQ(fake.Events("find ").size(), 2u);
}

}  // namespace
