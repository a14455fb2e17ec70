#include <gtest/gtest.h>

#include <ostream>

#include <map>

#include "FakeDisc.h"
#include "app/LauncherApp.h"
#include "inspect/Language.h"

namespace {

// The listed LANGIDs, grouped by folder as the disc is laid out.
const std::map<std::string, std::vector<std::uint16_t>> kListed = {
    {"ARA\\", {0x0401, 0x0801, 0x0C01, 0x1001, 0x1401, 0x1801, 0x1C01, 0x2001, 0x2401, 0x2801,
               0x2C01, 0x3001, 0x3401, 0x3801, 0x3C01, 0x4001}},
    {"SPA\\", {0x040A, 0x080A, 0x0C0A, 0x100A, 0x140A, 0x180A, 0x1C0A, 0x200A, 0x240A, 0x280A,
               0x2C0A, 0x300A, 0x340A, 0x380A, 0x3C0A, 0x400A, 0x440A, 0x480A, 0x4C0A, 0x500A}},
    {"DEU\\", {0x0407, 0x0807, 0x0C07, 0x1007, 0x1407}},
    {"FRE\\", {0x040C, 0x080C, 0x0C0C, 0x100C, 0x140C}},
    {"ITA\\", {0x0410, 0x0810}},
    {"POR\\", {0x0416, 0x0816}},
    {"TCH\\", {0x0404}},
    {"Sch\\", {0x0804}},
    {"JPN\\", {0x0411}},
    {"KOR\\", {0x0412}},
    {"POL\\", {0x0415}},
    {"RUS\\", {0x0419}},
    {"TAN\\", {0x041E}},
    {"ENG\\", {0x041F}},
    {"PER\\", {0x0429}},
};

TEST(LanguageTable, EveryListedIdHasItsFolderInItsCase) {
    std::size_t count = 0;
    for (const auto& [folder, ids] : kListed) {
        for (std::uint16_t id : ids) {
            EXPECT_STREQ(LanguageFolderFor(id), folder.c_str()) << std::hex << id;
            ++count;
        }
    }
    EXPECT_EQ(count, 59u);
    EXPECT_EQ(LanguageTableSize(), 59u);
}

TEST(LanguageTable, EveryOtherIdGivesTheDefaultFolder) {
    std::map<std::uint16_t, bool> listed;
    for (const auto& [folder, ids] : kListed) {
        for (std::uint16_t id : ids) listed[id] = true;
    }
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
