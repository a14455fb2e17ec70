#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "kit/simulate/SimOptions.h"

namespace {

SimOptions Parse(const Args& args) {
    SimOptions options;
    std::string error;
    EXPECT_TRUE(ParseSimulateArgs(args, options, error)) << error;
    return options;
}

TEST(SimulateOptions, DefaultsAreWindows7x64USEnglishFromAReadOnlyDiscInD) {
    const SimOptions o = Parse({"disc"});
    EXPECT_EQ(o.discDir, "disc");
    EXPECT_EQ(o.config.system.profile, "7-x64");
    EXPECT_FALSE(o.config.system.overridden);
    EXPECT_EQ(o.config.langId, 0x0409);
    EXPECT_EQ(o.config.codePage, 1252);
    EXPECT_EQ(o.config.media, SimMedia::ReadOnly);
    EXPECT_EQ(o.config.browser, SimBrowser::Appears);
    EXPECT_EQ(o.config.installDir, "D:\\");
    EXPECT_FALSE(o.config.registered);
    EXPECT_FALSE(o.config.instanceRunning);
    EXPECT_FALSE(o.json);
    EXPECT_FALSE(o.matrix);
}

TEST(SimulateOptions, GoodValues) {
    struct Row {
        Args args;
        std::function<void(const SimOptions&)> check;
    };
    const std::vector<Row> rows = {
        {{"--system", "xp", "disc"}, [](const SimOptions& o) {
             EXPECT_EQ(o.config.system.profile, "xp");
             EXPECT_EQ(o.config.system.minorVersion, 1u);
         }},
        {{"disc", "--system=2008r2", "--product-type", "1"}, [](const SimOptions& o) {
             EXPECT_EQ(o.config.system.productType, 1);
             EXPECT_TRUE(o.config.system.overridden);
         }},
        // Field overrides apply to the profile whatever their place on the line.
        {{"--version", "6.3", "--system", "8", "disc"}, [](const SimOptions& o) {
             EXPECT_EQ(o.config.system.majorVersion, 6u);
             EXPECT_EQ(o.config.system.minorVersion, 3u);
             EXPECT_EQ(o.config.system.bits, 32);
         }},
        {{"disc", "--build", "0x1DB1", "--platform-id", "2", "--bits", "32"}, [](const SimOptions& o) {
             EXPECT_EQ(o.config.system.build, 7601u);
             EXPECT_EQ(o.config.system.bits, 32);
             EXPECT_TRUE(o.config.system.overridden);
         }},
        {{"disc", "--system", "98", "--build", "2222"}, [](const SimOptions& o) {
             EXPECT_EQ(o.config.system.build, 2222u);
         }},
        {{"disc", "--lang", "ja-JP"}, [](const SimOptions& o) {
             EXPECT_EQ(o.config.langId, 0x0411);
             EXPECT_EQ(o.config.codePage, 932);  // from the language
         }},
        {{"disc", "--codepage", "1251", "--lang", "0x0407"}, [](const SimOptions& o) {
             EXPECT_EQ(o.config.langId, 0x0407);
             EXPECT_EQ(o.config.codePage, 1251);
             EXPECT_TRUE(o.codePageGiven);
         }},
        {{"disc", "--media", "writable", "--browser", "never", "--registered",
          "--instance-running", "--json"},
         [](const SimOptions& o) {
             EXPECT_EQ(o.config.media, SimMedia::Writable);
             EXPECT_EQ(o.config.browser, SimBrowser::Never);
             EXPECT_TRUE(o.config.registered);
             EXPECT_TRUE(o.config.instanceRunning);
             EXPECT_TRUE(o.json);
         }},
        {{"disc", "--install-dir", "E:/Drivers"}, [](const SimOptions& o) {
             EXPECT_EQ(o.config.installDir, "E:\\Drivers\\");
         }},
        {{"disc", "--install-dir", "\\\\server\\share\\Disc\\"}, [](const SimOptions& o) {
             EXPECT_EQ(o.config.installDir, "\\\\server\\share\\Disc\\");
         }},
        {{"disc", "--install-dir=C:"}, [](const SimOptions& o) {
             EXPECT_EQ(o.config.installDir, "C:\\");
         }},
        {{"disc", "--install-dir", "c:\\Дмитрий Папка", "--short-install-dir", "C:/____~BSM"},
         [](const SimOptions& o) { EXPECT_EQ(o.config.shortInstallDir, "C:\\____~BSM\\"); }},
        {{"disc", "--install-dir", "D:\\Übung ﾃ\\"}, [](const SimOptions& o) {
             EXPECT_EQ(o.config.installDir, "D:\\Übung ﾃ\\");  // any code page's letters
         }},
        {{"disc", "--matrix", "--media", "writable", "--codepage", "932"}, [](const SimOptions& o) {
             EXPECT_TRUE(o.matrix);
             EXPECT_EQ(o.config.codePage, 932);
         }},
    };
    for (const Row& row : rows) {
        std::string line;
        for (const std::string& a : row.args) line += a + ' ';
        SCOPED_TRACE(line);
        row.check(Parse(row.args));
    }
}

TEST(SimulateOptions, BadValuesAreRefusedWithAReason) {
    const std::vector<Args> rows = {
        {},                                      // no folder
        {"a", "b"},                              // two folders
        {"disc", "--system", "12"},
        {"disc", "--system", "7-X64"},
        {"disc", "--system"},                    // no value
        {"disc", "--version", "6"},
        {"disc", "--version", "6.x"},
        {"disc", "--version", "6.1.7601"},
        {"disc", "--build", "-1"},
        {"disc", "--build", "4294967296"},
        {"disc", "--system", "98", "--build", "70000"},  // 16 bits on that family
        {"disc", "--platform-id", "two"},
        {"disc", "--product-type", "256"},
        {"disc", "--bits", "16"},
        {"disc", "--lang", "xx-YY"},
        {"disc", "--lang", "0x10000"},
        {"disc", "--codepage", "65001"},         // not an ANSI code page
        {"disc", "--codepage", "1252x"},
        {"disc", "--media", "cdrom"},
        {"disc", "--browser", "sometimes"},
        {"disc", "--install-dir", "Drivers"},    // not absolute
        {"disc", "--install-dir", "D:\\a|b"},
        {"disc", "--install-dir", "D:\\a:b"},
        {"disc", "--install-dir", "D:\\a\\\\b"},
        {"disc", "--install-dir", "D:\\a b", "--short-install-dir", "D:\\AB~1\\X"},  // deeper
        {"disc", "--install-dir", "D:\\a b", "--short-install-dir", "E:\\AB~1"},  // elsewhere
        {"disc", "--install-dir", "\\\\server"},
        {"disc", "--registered=yes"},
        {"disc", "--verbose"},
        {"disc", "--matrix", "--system", "xp"},
        {"disc", "--matrix", "--lang", "de-DE"},
        {"disc", "--matrix", "--bits", "32"},
    };
    for (const Args& args : rows) {
        std::string line;
        for (const std::string& a : args) line += a + ' ';
        SimOptions options;
        std::string error;
        EXPECT_FALSE(ParseSimulateArgs(args, options, error)) << line;
        EXPECT_FALSE(error.empty()) << line;
    }
}

}  // namespace
