#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "inspect/Language.h"
#include "inspect/OsClassify.h"
#include "kit/windows/Languages.h"
#include "kit/windows/Profiles.h"

namespace {

// What each system is to the launcher: its class and whether it counts as a server. Written down
// from the systems themselves, not from the profile table.
struct Expected {
    std::uint8_t osCode;
    std::uint8_t serverFlag;
};
const std::map<std::string, Expected> kExpected = {
    {"95", {10, 0}},     {"98", {11, 0}},      {"me", {15, 0}},       {"nt4", {13, 0}},
    {"2000", {14, 0}},   {"xp", {16, 0}},      {"xp-x64", {17, 0}},   {"2003", {16, 1}},
    {"vista", {18, 0}},  {"vista-x64", {19, 0}}, {"2008", {18, 1}},   {"7", {20, 0}},
    {"7-x64", {21, 0}},  {"2008r2", {21, 1}},  {"8", {22, 0}},        {"8-x64", {23, 0}},
    {"8.1", {22, 0}},    {"8.1-x64", {23, 0}}, {"10", {22, 0}},       {"10-x64", {23, 0}},
    {"11-x64", {23, 0}},
};

TEST(Profiles, EveryProfileClassifiesAsTheRealSystem) {
    ASSERT_EQ(SystemProfileCount(), kExpected.size());
    for (std::size_t i = 0; i < SystemProfileCount(); ++i) {
        const SystemProfile& p = SystemProfiles()[i];
        SCOPED_TRACE(p.name);
        auto expected = kExpected.find(p.name);
        ASSERT_NE(expected, kExpected.end());
        VersionRecord record = ComposeVersionRecord(SystemFromProfile(p));
        // Only the extended query carries the product type; the launcher's record reads 0 then.
        if (!p.extendedQuery) record.productType = 0;
        const OsDecision d = ClassifyVersion(record, [&p] { return p.bits == 64; });
        EXPECT_TRUE(d.platformKnown);
        EXPECT_EQ(d.osCode, expected->second.osCode);
        EXPECT_EQ(d.serverFlag, expected->second.serverFlag);
    }
}

TEST(Profiles, NamesAreUniqueAndTheDefaultExists) {
    std::set<std::string> names;
    for (std::size_t i = 0; i < SystemProfileCount(); ++i) {
        EXPECT_TRUE(names.insert(SystemProfiles()[i].name).second) << SystemProfiles()[i].name;
    }
    ASSERT_NE(FindSystemProfile(kDefaultProfile), nullptr);
    EXPECT_EQ(FindSystemProfile("7-X64"), nullptr);
    EXPECT_EQ(FindSystemProfile("12"), nullptr);
}

TEST(Profiles, EveryProfileNamesWineSettingsToTryAndAPrefixOfItsBitness) {
    for (std::size_t i = 0; i < SystemProfileCount(); ++i) {
        const SystemProfile& p = SystemProfiles()[i];
        ASSERT_NE(p.wineSettings, nullptr) << p.name;
        const std::string settings = p.wineSettings;
        EXPECT_FALSE(settings.empty()) << p.name;
        EXPECT_EQ(settings.find("  "), std::string::npos) << p.name;
        EXPECT_NE(settings.front(), ' ') << p.name;
        EXPECT_NE(settings.back(), ' ') << p.name;
        EXPECT_STREQ(WinePrefixKind(p), p.bits == 64 ? "win64" : "win32") << p.name;
    }
}

TEST(Profiles, OnlyOldSystemsLackTheExtendedQuery) {
    for (std::size_t i = 0; i < SystemProfileCount(); ++i) {
        const SystemProfile& p = SystemProfiles()[i];
        const bool old = p.platformId == 1 || (p.platformId == 2 && p.majorVersion == 4);
        EXPECT_EQ(p.extendedQuery, !old) << p.name;
    }
}

TEST(Profiles, The9xFamilyCarriesItsVersionInTheHighHalfOfTheBuildField) {
    struct Row {
        const char* name;
        std::uint32_t field;
    };
    for (const Row& row : {Row{"95", 0x040003B6u}, Row{"98", 0x040A07CEu}, Row{"me", 0x045A0BB8u},
                           Row{"7", 7601u}, Row{"10-x64", 9200u}}) {
        const SystemProfile* p = FindSystemProfile(row.name);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(ComposeVersionRecord(SystemFromProfile(*p)).buildNumber, row.field) << row.name;
    }
    // 98 Second Edition: the build alone tells it from 98.
    SimSystem se = SystemFromProfile(*FindSystemProfile("98"));
    se.build = 2222;
    const OsDecision d = ClassifyVersion(ComposeVersionRecord(se), [] { return false; });
    EXPECT_EQ(d.osCode, 12);
}

TEST(Languages, EveryLangIdOfTheLaunchersTableHasALocaleName) {
    for (std::size_t i = 0; i < LanguageTableSize(); ++i) {
        const std::uint16_t id = LanguageTable()[i].langId;
        const std::string name = LocaleNameFor(id);
        EXPECT_FALSE(name.empty()) << FormatLangId(id);
        std::uint16_t back = 0;
        EXPECT_TRUE(ParseLanguage(name, back)) << name;
        EXPECT_EQ(back, id) << name;
    }
}

TEST(Languages, LocaleNamesAreUnique) {
    std::set<std::string> names;
    std::set<std::uint16_t> ids;
    for (std::size_t i = 0; i < LocaleNameCount(); ++i) {
        EXPECT_TRUE(names.insert(LocaleNames()[i].name).second) << LocaleNames()[i].name;
        EXPECT_TRUE(ids.insert(LocaleNames()[i].langId).second) << LocaleNames()[i].name;
    }
}

TEST(Languages, ParsesNumbersAndNames) {
    struct Row {
        const char* text;
        bool ok;
        std::uint16_t id;
    };
    const Row rows[] = {
        {"0x0407", true, 0x0407}, {"0X041f", true, 0x041F}, {"1031", true, 0x0407},
        {"0", true, 0x0000},      {"65535", true, 0xFFFF},  {"0xFFFF", true, 0xFFFF},
        {"de-DE", true, 0x0407},  {"DE-de", true, 0x0407},  {"de_DE", true, 0x0407},
        {"en-US", true, 0x0409},  {"en-GB", true, 0x0809},  {"fi-FI", true, 0x040B},
        {"nl-NL", true, 0x0413},  {"sv-SE", true, 0x041D},  {"es-ES_tradnl", true, 0x040A},
        {"65536", false, 0},      {"0x10000", false, 0},    {"", false, 0},
        {"0x", false, 0},         {"-1", false, 0},         {"de", false, 0},
        {"de-DE ", false, 0},     {"xx-XX", false, 0},      {"1031x", false, 0},
    };
    for (const Row& row : rows) {
        std::uint16_t id = 0;
        EXPECT_EQ(ParseLanguage(row.text, id), row.ok) << '"' << row.text << '"';
        if (row.ok) {
            EXPECT_EQ(id, row.id) << row.text;
        }
    }
}

}  // namespace
