#include <gtest/gtest.h>

#include <ostream>

#include <map>

#include "FakeDisc.h"
#include "app/LauncherApp.h"
#include "inspect/Language.h"

namespace {

TEST(LanguageTable, EveryListedIdHasItsFolderInItsCase) {
    // The lookup finds each row's own folder: no LANGID is listed twice, for two folders.
    for (std::size_t i = 0; i < LanguageTableSize(); ++i) {
        const LanguageRow& row = LanguageTable()[i];
        EXPECT_STREQ(LanguageFolderFor(row.langId), row.folder) << std::hex << row.langId;
    }
    EXPECT_EQ(LanguageTableSize(), 59u);
    // The folders whose case differs from the rest, spelt as the disc's folders are.
    EXPECT_STREQ(LanguageFolderFor(0x0804), "Sch\\");
    EXPECT_STREQ(LanguageFolderFor(0x041F), "ENG\\");
    EXPECT_STREQ(LanguageFolderFor(0x0407), "DEU\\");
}

TEST(LanguageTable, EveryOtherIdGivesTheDefaultFolder) {
    std::map<std::uint16_t, bool> listed;
    for (std::size_t i = 0; i < LanguageTableSize(); ++i) listed[LanguageTable()[i].langId] = true;
    for (std::uint32_t id = 0; id <= 0xFFFF; ++id) {
        if (listed.count(static_cast<std::uint16_t>(id))) continue;
        ASSERT_STREQ(LanguageFolderFor(static_cast<std::uint16_t>(id)), "Eng\\") << std::hex << id;
    }
}

TEST(LanguageTable, NeighbouringSublanguagesAreNotListed) {
    // English variants, other Chinese, French (Monaco), Arabic 17, Spanish 21, German 6.
    for (int id : {0x0409, 0x0809, 0x0C04, 0x1004, 0x1404, 0x180C, 0x4401, 0x540A,
                             0x1807, 0x0C10, 0x0000}) {
        EXPECT_STREQ(LanguageFolderFor(static_cast<std::uint16_t>(id)), "Eng\\") << std::hex << id;
    }
}

struct MarkerCase {
    const char* name;
    std::uint16_t langId;
    std::vector<std::string> markers;  // folders that hold locale.js
    const char* folder;
    std::vector<std::string> tested;  // marker paths opened, in order
};

// Printed by name: the default would dump the raw bytes, padding included.
void PrintTo(const MarkerCase& c, std::ostream* os) { *os << c.name; }

class LanguageFolder : public ::testing::TestWithParam<MarkerCase> {};

TEST_P(LanguageFolder, FallsBackWhenTheMarkerIsMissing) {
    const MarkerCase& c = GetParam();
    FakePlatform fake;
    fake.langId = c.langId;
    for (const std::string& m : c.markers) fake.AddFile("D:\\lang\\" + m + "locale.js");
    LauncherApp app(fake);
    EXPECT_EQ(app.GetLanguageFolder(), c.folder);
    std::vector<std::string> opened;
    for (const std::string& e : fake.Events("open-read ")) opened.push_back(e.substr(10));
    EXPECT_EQ(opened, c.tested);
    EXPECT_TRUE(fake.Events("cwd ").empty());  // the marker test leaves the current directory
}

const MarkerCase kMarkerCases[] = {
    {"german", 0x0407, {"DEU\\"}, "DEU\\", {"D:\\lang\\DEU\\locale.js"}},
    {"german_without_marker", 0x0407, {"Eng\\"}, "Eng\\", {"D:\\lang\\DEU\\locale.js"}},
    {"german_without_any_marker", 0x0407, {}, "Eng\\", {"D:\\lang\\DEU\\locale.js"}},
    // The fake's files ignore case like Windows: "ENG\" finds the English folder's marker.
    {"turkish", 0x041F, {"Eng\\"}, "ENG\\", {"D:\\lang\\ENG\\locale.js"}},
    {"chinese_prc", 0x0804, {"Sch\\"}, "Sch\\", {"D:\\lang\\Sch\\locale.js"}},
    {"english_tested_too", 0x0409, {}, "Eng\\", {"D:\\lang\\Eng\\locale.js"}},
    {"unlisted", 0x0436, {"Eng\\"}, "Eng\\", {"D:\\lang\\Eng\\locale.js"}},
};

INSTANTIATE_TEST_SUITE_P(Markers, LanguageFolder, ::testing::ValuesIn(kMarkerCases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(LanguageFolder, NothingIsCachedBetweenCalls) {
    FakePlatform fake;
    fake.langId = 0x040C;
    fake.AddFile("D:\\lang\\FRE\\locale.js");
    LauncherApp app(fake);
    EXPECT_EQ(app.GetLanguageFolder(), "FRE\\");
    fake.files.clear();
    EXPECT_EQ(app.GetLanguageFolder(), "Eng\\");
    fake.langId = 0x0419;
    fake.AddFile("D:\\lang\\RUS\\locale.js");
    EXPECT_EQ(app.GetLanguageFolder(), "RUS\\");
}

}  // namespace
