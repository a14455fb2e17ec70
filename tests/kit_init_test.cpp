// disckit init: a fresh disc that check finds lacking only the files its author has to add, and
// the README's disc layout that says the same as the launcher's names.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include "KitCheckDisc.h"
#include "app/LauncherApp.h"
#include "kit/Verbs.h"
#include "kit/check/CheckDisc.h"
#include "kit/check/CheckFindings.h"
#include "kit/init/Init.h"

namespace {

namespace fs = std::filesystem;

// What the author still has to add: every required program and library but the launcher.
std::set<std::string> AuthorsFiles() {
    std::set<std::string> missing;
    for (const ImageRole& role : ImageRoles()) {
        if (role.optional) continue;
        for (const std::string& file : role.files) {
            if (file != names::kLauncher) missing.insert(role.code + "-missing " + file);
        }
    }
    return missing;
}

TEST(Init, CheckFindsOnlyTheFilesTheAuthorHasToAdd) {
    if (!kittest::HaveSampleDisc()) GTEST_SKIP() << kittest::SkipReason();
    struct Row {
        Args options;
        std::set<std::string> alsoCodes;  // besides the missing files
    };
    // The stock launcher is unsigned until disckit build signs it with the author's certificate;
    // the start pages are init's placeholders until the author writes them.
    const Row rows[] = {
        {{}, {"unsigned", "page-placeholder"}},
        {{"--lang", "de-DE,fr-FR"}, {"language-folder-absent", "unsigned", "page-placeholder"}},
        {{"--lang=0x0411"}, {"language-folder-absent", "unsigned", "page-placeholder"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.options));
        kittest::TempFolder temp;
        const fs::path project = temp.Root() / "new disc";
        const fs::path disc = project / "disc";
        Args args = {project.u8string()};
        args.insert(args.end(), row.options.begin(), row.options.end());
        std::ostringstream out, err;
        ASSERT_EQ(RunInit(args, out, err), kExitClean) << err.str();
        std::vector<Finding> findings;
        std::string error;
        ASSERT_TRUE(CheckDisc(disc, findings, error)) << error;
        std::set<std::string> missing, others;
        for (const Finding& f : findings) {
            if (f.kind->code.size() > 8 &&
                f.kind->code.compare(f.kind->code.size() - 8, 8, "-missing") == 0) {
                missing.insert(f.kind->code + " " + f.path);
            } else {
                others.insert(f.kind->code);
            }
        }
        EXPECT_EQ(missing, AuthorsFiles());
        EXPECT_EQ(others, row.alsoCodes);
        // The notes and the project file beside the content, never in it.
        EXPECT_TRUE(fs::is_regular_file(project / "LAYOUT.txt"));
        EXPECT_TRUE(fs::is_regular_file(project / "disckit.toml"));
        EXPECT_FALSE(fs::exists(disc / "LAYOUT.txt"));
        EXPECT_FALSE(fs::exists(disc / "disckit.toml"));
        // Checked as a project, the languages left out on purpose are no finding.
        std::ostringstream checkOut, checkErr;
        EXPECT_EQ(RunCheck({project.u8string()}, checkOut, checkErr), kExitFindings)
            << checkErr.str();
        EXPECT_EQ(checkOut.str().find("language-folder-absent"), std::string::npos)
            << checkOut.str();
        EXPECT_NE(checkOut.str().find("browser-missing"), std::string::npos) << checkOut.str();
    }
}

// A project serving German: its German folder, when missing, is a finding still.
TEST(Init, AServedLanguagesMissingFolderIsAFinding) {
    if (!kittest::HaveSampleDisc()) GTEST_SKIP() << kittest::SkipReason();
    kittest::TempFolder temp;
    const fs::path project = temp.Root() / "atlas";
    std::ostringstream out, err;
    ASSERT_EQ(RunInit({project.u8string(), "--lang", "de-DE,fr-FR"}, out, err), kExitClean)
        << err.str();
    const std::string french = InitFolders({0x040C}, false).at(1);
    fs::remove_all(project / "disc" / "lang" / french);
    std::ostringstream checkOut, checkErr;
    RunCheck({project.u8string()}, checkOut, checkErr);
    EXPECT_NE(checkOut.str().find("language-folder-absent  lang\\" + french), std::string::npos)
        << checkOut.str();
    EXPECT_EQ(checkOut.str().find("language-folder-absent  lang\\" +
                                  InitFolders({0x0410}, false).at(1)),
              std::string::npos)
        << checkOut.str();
}

TEST(Init, RefusesAFolderInUseAndBadLanguages) {
    kittest::TempFolder temp;
    kittest::WriteBytes(temp.Root() / "mine.txt", "the author's");
    const std::vector<Args> bad = {
        {temp.Root().u8string()},
        {(temp.Root() / "mine.txt").u8string()},
        {(temp.Root() / "new").u8string(), "--lang", "de-DE,xx-XX"},
        {(temp.Root() / "new").u8string(), "--lang", "de-DE,"},
        {},
    };
    for (const Args& args : bad) {
        std::ostringstream out, err;
        EXPECT_EQ(RunInit(args, out, err), kExitUsage) << ::testing::PrintToString(args);
        EXPECT_EQ(err.str().rfind("disckit init: ", 0), 0u) << err.str();
    }
    EXPECT_FALSE(fs::exists(temp.Root() / "new"));
    EXPECT_EQ(kittest::ReadBytes(temp.Root() / "mine.txt"), "the author's");
}

// The README's "Disc layout" says what LAYOUT.txt says: every file by the launcher's name, and
// the browser's command line exactly as the launcher writes it.
TEST(Init, TheReadmesDiscLayoutNamesWhatTheLauncherUses) {
    std::ifstream in(fs::path(__FILE__).parent_path().parent_path() / "README.md");
    std::stringstream readme;
    readme << in.rdbuf();
    const std::string text = readme.str();
    const std::size_t at = text.find("## Disc layout");
    ASSERT_NE(at, std::string::npos);
    const std::string section = text.substr(at, text.find("\n## ", at + 1) - at);
    const std::string layout = DiscLayoutText(InitFolders({0x0407}, false));
    std::vector<std::string> expected = {names::kMarkerFile, names::kStartPage,
                                         names::kBrowserProcess};
    for (const ImageRole& role : ImageRoles()) {
        expected.insert(expected.end(), role.files.begin(), role.files.end());
    }
    const std::string commandLine = "Panoview.exe \"D:\\lang\\DEU\\Welcome.htm\n";
    ASSERT_NE(layout.find(commandLine), std::string::npos) << layout;
    expected.push_back(commandLine);
    for (const std::string& name : expected) {
        EXPECT_NE(section.find(name), std::string::npos) << name;
        EXPECT_NE(layout.find(name), std::string::npos) << name;
    }
}

}  // namespace
