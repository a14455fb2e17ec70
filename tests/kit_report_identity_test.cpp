// What a report says it judged: disckit's version, the date, the image's digest and label, and
// the launcher's version.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "kit/check/ReportIdentity.h"
#include "kit/disc/DiscReader.h"

namespace fs = std::filesystem;

namespace {

TEST(ReportIdentity, DatedInUtc) {
    const struct {
        std::time_t t;
        const char* text;
    } table[] = {
        {0, "1970-01-01T00:00:00Z"},
        {1765264320, "2025-12-09T07:12:00Z"},
        {951782400, "2000-02-29T00:00:00Z"},
    };
    for (const auto& row : table) EXPECT_EQ(IsoUtc(row.t), row.text);
}

TEST(ReportIdentity, AFixedClockKeepsReportsComparable) {
    const struct {
        const char *fixed, *epoch;
        std::time_t expected;  // -1: now
    } table[] = {
        {"1765264320", nullptr, 1765264320},
        {nullptr, "951782400", 951782400},
        {"1765264320", "951782400", 1765264320},
        {"tomorrow", "951782400", 951782400},
        {"-5", nullptr, -1},
        {"12x", nullptr, -1},
    };
    for (const auto& row : table) {
        row.fixed ? setenv("DISCKIT_REPORT_TIME", row.fixed, 1) : unsetenv("DISCKIT_REPORT_TIME");
        row.epoch ? setenv("SOURCE_DATE_EPOCH", row.epoch, 1) : unsetenv("SOURCE_DATE_EPOCH");
        const std::time_t before = std::time(nullptr);
        const std::time_t got = ReportTime();
        if (row.expected >= 0) {
            EXPECT_EQ(got, row.expected) << (row.fixed ? row.fixed : "") << (row.epoch ? row.epoch : "");
        } else {
            EXPECT_GE(got, before) << row.fixed;
        }
    }
    unsetenv("DISCKIT_REPORT_TIME");
    unsetenv("SOURCE_DATE_EPOCH");
}

TEST(ReportIdentity, ImageDigestAndLabel) {
    const fs::path dir = fs::temp_directory_path() / ("identity-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string descriptor = std::string("\x01" "CD001\x01\x00", 8) + std::string(32, ' ') +
                                   "SWIFTDECK" + std::string(23, ' ') + std::string(8, '\0');
    const struct {
        const char* name;
        std::string data;
        const char* sha256;  // null: any digest
        const char* label;
    } table[] = {
        {"abc.iso", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", ""},
        {"disc.iso", std::string(16 * 2048, '\0') + descriptor + std::string(4096, '\0'), nullptr,
         "SWIFTDECK"},
        {"cut.iso", std::string(16 * 2048, '\0') + descriptor.substr(0, 50), nullptr, ""},
    };
    for (const auto& row : table) {
        std::ofstream(dir / row.name, std::ios::binary) << row.data;
        std::string sha, label, why;
        ASSERT_TRUE(ImageDigestAndLabel((dir / row.name).string(), sha, label, why)) << why;
        if (row.sha256) {
            EXPECT_EQ(sha, row.sha256);
        }
        EXPECT_TRUE(std::regex_match(sha, std::regex("[0-9a-f]{64}"))) << sha;
        EXPECT_EQ(label, row.label) << row.name;
    }
    fs::create_symlink(dir / "disc.iso", dir / "link.iso");
    std::string sha, label, why;
    EXPECT_FALSE(ImageDigestAndLabel((dir / "link.iso").string(), sha, label, why));
    EXPECT_FALSE(ImageDigestAndLabel(dir.string(), sha, label, why));
    fs::remove_all(dir);
}

// The sample disc's launcher carries a version resource: a folder is named, not digested.
TEST(ReportIdentity, OfTheSampleDisc) {
    if (!fs::exists(LAUNCHER_SAMPLE_DISC "/Start.exe")) GTEST_SKIP() << "no sample disc";
    setenv("DISCKIT_REPORT_TIME", "1765264320", 1);
    std::string error;
    const auto reader = OpenDisc(LAUNCHER_SAMPLE_DISC, error);
    ASSERT_TRUE(reader) << error;
    const Json identity = ReportIdentity(LAUNCHER_SAMPLE_DISC, *reader, false);
    unsetenv("DISCKIT_REPORT_TIME");
    EXPECT_TRUE(std::regex_match(identity["disckit"].text(), std::regex("\\d+\\.\\d+\\.\\d+")));
    EXPECT_EQ(identity["date"].text(), "2025-12-09T07:12:00Z");
    const Json& disc = identity["disc"];
    EXPECT_EQ(disc["kind"].text(), "folder");
    EXPECT_TRUE(disc["sha256"].isNull());
    EXPECT_TRUE(disc["label"].isNull());
    EXPECT_TRUE(std::regex_match(disc["launcherFileVersion"].text(),
                                 std::regex("\\d+\\.\\d+\\.\\d+\\.\\d+")))
        << disc["launcherFileVersion"].text();
    EXPECT_FALSE(disc["launcherProductVersion"].text().empty());
    const std::string words = IdentityWords(identity);
    EXPECT_NE(words.find("Start.exe " + disc["launcherFileVersion"].text()), std::string::npos)
        << words;
}

}  // namespace
