#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <unistd.h>

#include "app/LauncherApp.h"
#include "kit/trial/TrialOptions.h"

namespace {

TrialOptions Parse(const Args& args) {
    TrialOptions options;
    std::string error;
    EXPECT_TRUE(ParseTrialArgs(args, options, error)) << error;
    return options;
}

std::string Line(const Args& args) {
    std::string line;
    for (const std::string& a : args) line += a + ' ';
    return line;
}

TEST(TrialOptions, DefaultsAreThoseOfTheSimulation) {
    const TrialOptions o = Parse({"disc"});
    EXPECT_EQ(o.disc, "disc");
    ASSERT_NE(o.profile, nullptr);
    EXPECT_STREQ(o.profile->name, kDefaultProfile);
    EXPECT_EQ(o.langId, 0x0409);
    EXPECT_EQ(o.localeName, "en-US");
    EXPECT_EQ(o.timeoutSeconds, 60u);
    EXPECT_EQ(o.maxStarts, 10u);
    EXPECT_TRUE(o.outDir.empty());
    EXPECT_FALSE(o.keep);
    EXPECT_FALSE(o.json);
}

TEST(TrialOptions, GoodValues) {
    struct Row {
        Args args;
        std::function<void(const TrialOptions&)> check;
    };
    const std::vector<Row> rows = {
        {{"--system", "xp", "disc.iso"}, [](const TrialOptions& o) {
             EXPECT_STREQ(o.profile->name, "xp");
             EXPECT_EQ(o.disc, "disc.iso");
         }},
        {{"disc", "--lang", "0x0407"}, [](const TrialOptions& o) {
             EXPECT_EQ(o.langId, 0x0407);
             EXPECT_EQ(o.localeName, "de-DE");
         }},
        {{"disc", "--lang=1041"}, [](const TrialOptions& o) { EXPECT_EQ(o.localeName, "ja-JP"); }},
        {{"disc", "--lang", "zh_cn"}, [](const TrialOptions& o) { EXPECT_EQ(o.langId, 0x0804); }},
        {{"disc", "--timeout", "1", "--max-starts", "2"}, [](const TrialOptions& o) {
             EXPECT_EQ(o.timeoutSeconds, 1u);
             EXPECT_EQ(o.maxStarts, 2u);
         }},
        {{"disc", "--timeout=86400", "--out", "shots", "--keep", "--json", "--html", "r.html"},
         [](const TrialOptions& o) {
             EXPECT_EQ(o.timeoutSeconds, 86400u);
             EXPECT_EQ(o.outDir, "shots");
             EXPECT_EQ(o.htmlFile, "r.html");
             EXPECT_TRUE(o.keep);
             EXPECT_TRUE(o.json);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Line(row.args));
        row.check(Parse(row.args));
    }
}

TEST(TrialOptions, BadValuesAreRefusedWithAReason) {
    const std::vector<Args> rows = {
        {},                                       // no disc
        {"a", "b"},                               // two discs
        {"disc", "--system", "12"},
        {"disc", "--system"},
        {"disc", "--lang", "xx-YY"},
        {"disc", "--lang", "0x1234"},             // a LANGID without a locale name
        {"disc", "--timeout", "0"},
        {"disc", "--timeout", "86401"},
        {"disc", "--timeout", "1.5"},
        {"disc", "--max-starts", "1"},            // a loop shows itself from the second start
        {"disc", "--max-starts", "many"},
        {"disc", "--out="},
        {"disc", "--html="},
        {"disc", "--keep=yes"},
        {"disc", "--codepage", "1252"},           // simulate's options are not the trial's
        {"disc", "--media", "writable"},
    };
    for (const Args& args : rows) {
        TrialOptions options;
        std::string error;
        EXPECT_FALSE(ParseTrialArgs(args, options, error)) << Line(args);
        EXPECT_FALSE(error.empty()) << Line(args);
    }
}

TEST(TrialOptions, UnixLocaleOfAWindowsLocaleName) {
    const std::pair<const char*, const char*> rows[] = {
        {"de-DE", "de_DE.UTF-8"},
        {"en-US", "en_US.UTF-8"},
        {"zh-TW", "zh_TW.UTF-8"},
        {"es-ES_tradnl", "es_ES.UTF-8"},  // the sort order has no Unix counterpart
        {"sr-Latn-CS", "sr_CS.UTF-8"},    // nor the script: Wine's report decides
        {"fr", "fr.UTF-8"},
    };
    for (const auto& row : rows) EXPECT_EQ(UnixLocaleFor(row.first), row.second) << row.first;
}

TEST(TrialOptions, DiscIsAFolderOrAnIso9660Image) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("kit_trial_disc_" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir / "folder");
    const auto write = [&dir](const char* name, std::size_t size, bool marked) {
        std::string data(17 * 2048, '\0');
        if (marked) data.replace(16 * 2048, 6, "\x01" "CD001");
        data.resize(size);
        std::ofstream(dir / name, std::ios::binary) << data;
    };
    write("disc.iso", 17 * 2048, true);
    write("short.iso", 16 * 2048 + 3, true);  // cut off inside the descriptor
    write("other.bin", 17 * 2048, false);
    EXPECT_EQ(ClassifyDisc((dir / "folder").string()), DiscKind::Folder);
    EXPECT_EQ(ClassifyDisc((dir / "disc.iso").string()), DiscKind::Image);
    EXPECT_EQ(ClassifyDisc((dir / "short.iso").string()), DiscKind::Neither);
    EXPECT_EQ(ClassifyDisc((dir / "other.bin").string()), DiscKind::Neither);
    EXPECT_EQ(ClassifyDisc((dir / "missing").string()), DiscKind::Neither);
    std::filesystem::remove_all(dir);
}

// The values that follow an option on the driver's command line.
std::vector<std::string> After(const std::vector<std::string>& command, const std::string& option,
                               std::size_t count = 1) {
    const auto at = std::find(command.begin(), command.end(), option);
    if (at == command.end() || command.end() - at <= static_cast<long>(count)) return {};
    return std::vector<std::string>(at + 1, at + 1 + static_cast<long>(count));
}

TEST(TrialOptions, TheDriverGetsWhatTheTablesResolveTo) {
    struct Row {
        Args args;
        DiscKind kind;
        std::vector<std::string> record;  // platform, major, minor, build field, product type
        const char* extended;
        const char* prefix;
        const char* settings;
        const char* lcAll;
    };
    const Row rows[] = {
        {{"d"}, DiscKind::Folder, {"2", "6", "1", "7601", "1"}, "1", "win64", "win7 win2008r2",
         "en_US.UTF-8"},
        // The 95 family's build field carries the version in its high half.
        {{"d", "--system", "95", "--lang", "de-DE"}, DiscKind::Image,
         {"1", "4", "0", "67109814", "0"}, "0", "win32", "win95", "de_DE.UTF-8"},
        {{"d", "--system", "2008r2", "--lang", "1055"}, DiscKind::Folder,
         {"2", "6", "1", "7601", "3"}, "1", "win64", "win2008r2 win7", "tr_TR.UTF-8"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Line(row.args));
        const TrialOptions o = Parse(row.args);
        const std::vector<std::string> c = TrialDriverCommand(o, row.kind, "/abs/d", "/lib", "/w");
        ASSERT_GE(c.size(), 2u);
        EXPECT_EQ(c[0], "python3");
        EXPECT_EQ(c[1], "/lib/trial.py");
        EXPECT_EQ(After(c, "--disc"), std::vector<std::string>{"/abs/d"});
        EXPECT_EQ(After(c, "--record", 5), row.record);
        EXPECT_EQ(After(c, "--extended-query"), std::vector<std::string>{row.extended});
        EXPECT_EQ(After(c, "--prefix"), std::vector<std::string>{row.prefix});
        EXPECT_EQ(After(c, "--wine-settings"), std::vector<std::string>{row.settings});
        EXPECT_EQ(After(c, "--lc-all"), std::vector<std::string>{row.lcAll});
        EXPECT_EQ(After(c, "--browser-process"), std::vector<std::string>{names::kBrowserProcess});
        EXPECT_EQ(After(c, "--browser"), std::vector<std::string>{names::kBrowser});
        EXPECT_EQ(After(c, "--launcher"), std::vector<std::string>{names::kLauncher});
        EXPECT_EQ(After(c, "--refusal-text"), std::vector<std::string>{texts::kRefusal});
        EXPECT_EQ(After(c, "--work"), std::vector<std::string>{"/w"});
        EXPECT_EQ(After(c, "--tools"), std::vector<std::string>{"/lib/tools"});
        EXPECT_EQ(std::count(c.begin(), c.end(), "--image"), row.kind == DiscKind::Image ? 1 : 0);
        EXPECT_EQ(std::count(c.begin(), c.end(), "--out"), 0);
        EXPECT_EQ(std::count(c.begin(), c.end(), "--html"), 0);
    }
    const TrialOptions o =
        Parse({"d", "--out", "shots", "--keep", "--json", "--timeout", "9", "--html", "r.html"});
    const std::vector<std::string> c =
        TrialDriverCommand(o, DiscKind::Folder, "/d", "/s", "/b", "/bin/disckit");
    // The driver's check runs this very disckit, never one it guesses.
    EXPECT_EQ(After(c, "--disckit"), std::vector<std::string>{"/bin/disckit"});
    EXPECT_EQ(After(c, "--out"), std::vector<std::string>{"shots"});
    EXPECT_EQ(After(c, "--timeout"), std::vector<std::string>{"9"});
    EXPECT_EQ(After(c, "--html"), std::vector<std::string>{"r.html"});
    EXPECT_EQ(std::count(c.begin(), c.end(), "--keep"), 1);
    EXPECT_EQ(std::count(c.begin(), c.end(), "--json"), 1);
}

}  // namespace
