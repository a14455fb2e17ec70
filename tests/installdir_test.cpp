#include <gtest/gtest.h>

#include <optional>
#include <ostream>

#include "app/LauncherApp.h"
#include "platform/fake/FakePlatform.h"

namespace {

struct DirCase {
    const char* name;
    const char* modulePath;
    std::uint8_t leadByte;  // 0: single-byte code page
    const char* installDir;
    const char* joinedQ7;
};

// Printed by name: the default would dump the raw bytes, padding included.
void PrintTo(const DirCase& c, std::ostream* os) { *os << c.name; }

class InstallDirTable : public ::testing::TestWithParam<DirCase> {};

TEST_P(InstallDirTable, KeepsThePathUpToItsLastBackslash) {
    const DirCase& c = GetParam();
    FakePlatform fake;
    fake.moduleFileName = std::string(c.modulePath);
    if (c.leadByte != 0) fake.leadBytes.insert(c.leadByte);
    LauncherApp app(fake);
    const std::string dir = app.InstallDir();
    EXPECT_EQ(dir, c.installDir);
    EXPECT_EQ(fake.currentDirectory, c.installDir);
    EXPECT_EQ(app.JoinPath(dir, "Q7.exe"), c.joinedQ7);
}

// 0x95 0x5C is one character in code page 932: its second byte must neither end the directory
// nor count as a trailing backslash.
const DirCase kDirCases[] = {
    {"drive_root", "D:\\Start.exe", 0, "D:\\", "D:\\Q7.exe"},
    {"nested", "C:\\Disc\\Copy\\Start.exe", 0, "C:\\Disc\\Copy\\", "C:\\Disc\\Copy\\Q7.exe"},
    {"other_name", "E:\\Drivers\\Launch.exe", 0, "E:\\Drivers\\", "E:\\Drivers\\Q7.exe"},
    {"unc", "\\\\server\\share\\Start.exe", 0, "\\\\server\\share\\",
     "\\\\server\\share\\Q7.exe"},
    {"dbcs_in_folder", "C:\\\x95\x5C\\Start.exe", static_cast<std::uint8_t>(0x95),
     "C:\\\x95\x5C\\", "C:\\\x95\x5C\\Q7.exe"},
    {"dbcs_file_name", "C:\\Disc\\\x95\x5C.exe", static_cast<std::uint8_t>(0x95), "C:\\Disc\\",
     "C:\\Disc\\Q7.exe"},
    // Read as single bytes the same path has its last backslash one byte later.
    {"sbcs_reads_5c_as_backslash", "C:\\Disc\\\x95\x5C.exe", 0, "C:\\Disc\\\x95\\",
     "C:\\Disc\\\x95\\Q7.exe"},
};

INSTANTIATE_TEST_SUITE_P(Paths, InstallDirTable, ::testing::ValuesIn(kDirCases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(InstallDir, PathsLongerThanAFixedBufferAreKeptWhole) {
    FakePlatform fake;
    const std::string folder = "C:\\" + std::string(600, 'a') + "\\";
    fake.moduleFileName = folder + "Start.exe";
    LauncherApp app(fake);
    EXPECT_EQ(app.InstallDir(), folder);
}

TEST(InstallDir, UnreadablePathOrNoBackslashGivesEmptyAndKeepsTheCurrentDirectory) {
    for (const std::optional<std::string>& path :
         {std::optional<std::string>(), std::optional<std::string>("Start.exe")}) {
        FakePlatform fake;
        fake.moduleFileName = path;
        LauncherApp app(fake);
        EXPECT_EQ(app.InstallDir(), "") << path.value_or("(unreadable)");
        EXPECT_TRUE(fake.Events("cwd ").empty());
    }
}

TEST(InstallDir, EveryCallSetsTheCurrentDirectoryAgain) {
    FakePlatform fake;
    LauncherApp app(fake);
    app.InstallDir();
    app.InstallDir();
    EXPECT_EQ(fake.Events("cwd "), (std::vector<std::string>{"cwd D:\\", "cwd D:\\"}));
    app.KnownInstallDir();
    EXPECT_EQ(fake.Events("cwd ").size(), 2u);
}

struct JoinCase {
    const char* dir;
    bool dbcs;
    const char* joined;
};

TEST(JoinPath, InsertsExactlyOneBackslash) {
    const JoinCase cases[] = {
        {"D:\\", false, "D:\\tail"},
        {"E:\\Drivers", false, "E:\\Drivers\\tail"},
        {"E:\\Drivers\\", false, "E:\\Drivers\\tail"},
        {"", false, "\\tail"},
        // Ends in a double-byte character whose second byte is 0x5C: not a backslash.
        {"C:\\\x95\x5C", true, "C:\\\x95\x5C\\tail"},
        {"C:\\\x95\x5C", false, "C:\\\x95\x5Ctail"},
        // A lone lead byte at the very end is not a character of its own.
        {"C:\\x\\\x95", true, "C:\\x\\\x95\\tail"},
    };
    for (const JoinCase& c : cases) {
        FakePlatform fake;
        if (c.dbcs) fake.leadBytes.insert(0x95);
        LauncherApp app(fake);
        EXPECT_EQ(app.JoinPath(c.dir, "tail"), c.joined) << c.dir;
    }
}

}  // namespace
