// The project file disckit.toml: what it accepts and refuses (one line naming the file and the
// line), how its values reach the verbs' option rows (paths relative to the project, the command
// line first), that init writes a file it reads back, and that the README documents its keys.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "KitCheckDisc.h"
#include "kit/Help.h"
#include "kit/Verbs.h"
#include "kit/common/Project.h"

namespace {

namespace fs = std::filesystem;

std::string KeyName(const ProjectKey& key) {
    return std::string("[") + key.table + "]" + (key.key ? std::string(" ") + key.key : "");
}

TEST(Project, ReadsGoodFilesAndRefusesBadOnesNamingTheLine) {
    struct Row {
        const char* text;
        const char* error;  // empty: read; else the whole message after "p/disckit.toml:"
    };
    const Row rows[] = {
        {"", ""},
        {"# only a comment\n[disc]\n", ""},
        {"[disc]\ncontent = \"cd\"\nlanguages = [\"de-DE\", \"0x040C\"]\nlabel = \"ATLAS\"\n"
         "[identity]\ncompany = \"C\"\nicon = \"art/brand.ico\"\n[signing]\nall = true\n"
         "[check]\nignore = [\"unsigned\"]\nmin-severity = \"warning\"\n"
         "[expect]\n10-x64 = \"browser-running\"\nxp = \"refused\"\n",
         ""},
        {"[check]\nignore = \"unsigned,marker-missing\"\n", ""},
        // Unknown names.
        {"[disc]\n\nlabl = \"A\"\n", "3: no key 'labl' in [disc]"},
        {"[discs]\ncontent = \"d\"\n", "1: no table [discs]"},
        {"label = \"A\"\n", "1: 'label' is in no table"},
        {"[expect]\nwin12 = \"refused\"\n", "2: [expect]: no system 'win12'; the systems are: "},
        // Wrong types.
        {"[identity]\nversion = 4\n", "2: [identity] version is a string, not an integer"},
        {"[signing]\nall = \"yes\"\n", "2: [signing] all is a boolean, not a string"},
        {"[disc]\nlanguages = \"de-DE\"\n",
         "2: [disc] languages is an array of strings, not a string"},
        {"[check]\nignore = [\"unsigned\", 3]\n",
         "2: [check] ignore is an array of strings, not an integer"},
        {"[identity]\nicon = [\"a.ico\"]\n", "2: [identity] icon is a path, not an array"},
        {"disc = 1\n", "1: [disc] is a table, not an integer"},
        {"[expect]\n7 = true\n", "2: [expect] 7 is a string, not a boolean"},
        {"[expect]\n7 = \"runs\"\n", "2: [expect] 7: 'runs' is no outcome; the outcomes are: "},
        // Values no option takes.
        {"[check]\nmin-severity = \"loud\"\n",
         "2: [check] min-severity is one of note warning error, not 'loud'"},
        {"[disc]\nlanguages = [\"xx-XX\"]\n", "2: [disc] languages: no language 'xx-XX'"},
        {"[disc]\ncontent = \"\"\n", "2: [disc] content is empty"},
        // Not TOML.
        {"[disc\n", "1: "},
        {"[disc]\nlabel = \"A\"\nlabel = \"B\"\n", "3: "},
        {"[disc]\nlabel = \"unterminated\n", "2: "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        Project project;
        std::string error;
        const bool read = ParseProject(row.text, "p", "p/disckit.toml", project, error);
        if (*row.error == '\0') {
            EXPECT_TRUE(read) << error;
            EXPECT_TRUE(project.loaded);
            continue;
        }
        EXPECT_FALSE(read);
        const std::string expected = std::string("p/disckit.toml:") + row.error;
        EXPECT_EQ(error.compare(0, expected.size(), expected), 0) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

TEST(Project, ExpectationsAreTheFilesWhereItNamesASystemAndTheGatesElsewhere) {
    Project project;
    std::string error;
    ASSERT_TRUE(ParseProject("[expect]\n10-x64 = \"refused\"\nxp = \"browser-running\"\n", "p",
                             "p/disckit.toml", project, error))
        << error;
    const Expectations expected = project.Expected();
    for (const SystemProfile* p = SystemProfiles(); p != SystemProfiles() + SystemProfileCount(); ++p) {
        SCOPED_TRACE(p->name);
        const std::string name = p->name;
        const Outcome wanted = name == "10-x64" ? Outcome::Refused
                               : name == "xp"   ? Outcome::BrowserRunning
                                                : GateOutcome(*p);
        EXPECT_EQ(expected.For(*p), wanted);
    }
}

TEST(Project, PathsAreRelativeToTheProjectFolder) {
    Project project;
    std::string error;
    ASSERT_TRUE(ParseProject("[identity]\nicon = \"art/brand.ico\"\n", "proj", "proj/disckit.toml",
                             project, error))
        << error;
    EXPECT_EQ(fs::u8path(project.content), fs::u8path("proj") / "disc");
    ASSERT_EQ(project.settings.size(), 1u);
    EXPECT_EQ(fs::u8path(project.settings[0].values.at(0)), fs::u8path("proj") / "art" / "brand.ico");
    EXPECT_EQ(project.settings[0].line, 2);

    const std::string absolute = (fs::temp_directory_path() / "brand.ico").u8string();
    ASSERT_TRUE(ParseProject("[disc]\ncontent = \"cd/x\"\n[identity]\nicon = '" + absolute + "'\n",
                             "proj", "proj/disckit.toml", project, error))
        << error;
    EXPECT_EQ(fs::u8path(project.content), fs::u8path("proj") / "cd" / "x");
    EXPECT_EQ(project.settings.at(0).values.at(0), absolute);
}

// A verb's own rows, shaped as build's: the file fills what the command line leaves unset.
struct Values {
    std::optional<std::string> company, product, icon;
    std::vector<std::string> ignore;
    bool signAll = false;
};
const OptionRow kRows[] = {
    {"--company", "TEXT", "c", ValueKind::Free, nullptr, nullptr, Into<&Values::company>},
    {"--product", "TEXT", "p", ValueKind::Free, nullptr, nullptr, Into<&Values::product>},
    {"--icon", "FILE", "i", ValueKind::File, nullptr, nullptr, Into<&Values::icon>},
    {"--ignore", "CODES", "g", ValueKind::Free, nullptr, nullptr, Into<&Values::ignore>},
    {"--sign-all", nullptr, "a", ValueKind::Free, nullptr, nullptr, Into<&Values::signAll>},
};
const OptionTable kTable = DISCKIT_OPTION_TABLE(kRows);

TEST(Project, TheCommandLineOverridesTheFile) {
    kittest::TempFolder temp;
    const fs::path folder = temp.Root() / "atlas";
    fs::create_directories(folder);
    kittest::WriteBytes(folder / kProjectFile,
                        "[disc]\ncontent = \"cd\"\n[identity]\ncompany = \"From the file\"\n"
                        "product = \"Atlas\"\nicon = \"brand.ico\"\n[signing]\nall = true\n"
                        "[check]\nignore = [\"unsigned\", \"marker-missing\"]\n");
    const std::string dir = folder.u8string();
    struct Row {
        Args args;
        const char* company;
        std::vector<std::string> ignore;
    };
    const Row rows[] = {
        {{dir}, "From the file", {"unsigned", "marker-missing"}},
        {{dir, "--company", "Given"}, "Given", {"unsigned", "marker-missing"}},
        {{"--company=Given", dir, "--ignore", "pages-folder-missing"},
         "Given",
         {"pages-folder-missing"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.args));
        Values values;
        Project project;
        std::string operand, error;
        ASSERT_TRUE(ParseVerbCommand("build", row.args, kTable, &values, "folder", operand,
                                     project, error))
            << error;
        EXPECT_EQ(fs::u8path(operand), folder / "cd");
        EXPECT_EQ(values.company.value_or(""), row.company);
        EXPECT_EQ(values.product.value_or(""), "Atlas");
        EXPECT_EQ(fs::u8path(values.icon.value_or("")), folder / "brand.ico");
        EXPECT_TRUE(values.signAll);
        EXPECT_EQ(values.ignore, row.ignore);
    }
    // Another verb takes none of build's keys; a folder without a project file is a disc.
    Values values;
    Project project;
    std::string operand, error;
    ASSERT_TRUE(ParseVerbCommand("check", {dir}, kTable, &values, "folder", operand, project, error));
    EXPECT_FALSE(values.company || values.icon || values.signAll);
    EXPECT_EQ(values.ignore, (std::vector<std::string>{"unsigned", "marker-missing"}));
    ASSERT_TRUE(ParseVerbCommand("build", {temp.Root().u8string()}, kTable, &values, "folder",
                                 operand, project, error));
    EXPECT_FALSE(project.loaded);
    EXPECT_EQ(operand, temp.Root().u8string());

    // A value of the file at fault is blamed on its line; one of the command line is not.
    kittest::WriteBytes(folder / kProjectFile, "[check]\n\nignore = [\"nope\"]\n");
    ASSERT_TRUE(ParseVerbCommand("check", {dir}, kTable, &values, "folder", operand, project, error));
    EXPECT_EQ(project.Blame("--ignore: no finding has the code 'nope'"),
              (folder / kProjectFile).u8string() + ":3: --ignore: no finding has the code 'nope'");
    EXPECT_EQ(project.Blame("--ignore-case: something else"), "--ignore-case: something else");
    ASSERT_TRUE(ParseVerbCommand("check", {dir, "--ignore", "nope"}, kTable, &values, "folder",
                                 operand, project, error));
    EXPECT_EQ(project.Blame("--ignore: no finding has the code 'nope'"),
              "--ignore: no finding has the code 'nope'");
}

TEST(Project, EachKeyNamesARowOfEveryVerbItConfigures) {
    std::set<std::string> names;
    for (std::size_t i = 0; i < ProjectKeyCount(); ++i) {
        const ProjectKey& key = ProjectKeys()[i];
        SCOPED_TRACE(KeyName(key));
        EXPECT_TRUE(names.insert(KeyName(key)).second) << "twice";
        EXPECT_TRUE(key.example && *key.example);
        if (key.type != ProjectType::Option) {
            EXPECT_EQ(key.option, nullptr);
            EXPECT_TRUE(key.help && *key.help);
            continue;
        }
        const OptionRow* first = ProjectKeyRow(key);
        ASSERT_NE(first, nullptr) << key.option;
        std::istringstream verbs(key.verbs);
        for (std::string verb; verbs >> verb;) {
            const VerbHelp* help = FindVerb(verb);
            ASSERT_NE(help, nullptr) << verb;
            const OptionRow* row = nullptr;
            for (const OptionRow& candidate : *help->options)
                if (std::string(candidate.name) == key.option) row = &candidate;
            ASSERT_NE(row, nullptr) << verb << " has no " << key.option;
            EXPECT_EQ(row->target.arity, first->target.arity) << verb;
            EXPECT_EQ(row->kind, first->kind) << verb;
        }
    }
}

// init's file reads back as it is, and with every example set.
TEST(Project, TheFileInitWritesReadsBackWithEveryExample) {
    const std::string text = NewProjectFile({"de-DE", "fr-FR"});
    Project project;
    std::string error;
    ASSERT_TRUE(ParseProject(text, "p", "p/disckit.toml", project, error)) << error << "\n" << text;
    EXPECT_EQ(project.languages, (std::vector<std::uint16_t>{0x0407, 0x040C}));
    EXPECT_TRUE(project.settings.empty());
    std::string all;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        // A commented example is "# key = value"; a comment of words has no " = ".
        if (line.compare(0, 2, "# ") == 0 && line.find(" = ") != std::string::npos &&
            line.find(' ', 2) == line.find(" = "))
            line = line.substr(2);
        all += line + "\n";
    }
    ASSERT_TRUE(ParseProject(all, "p", "p/disckit.toml", project, error)) << error << "\n" << all;
    std::size_t optionKeys = 0;
    for (std::size_t i = 0; i < ProjectKeyCount(); ++i)
        optionKeys += ProjectKeys()[i].type == ProjectType::Option;
    EXPECT_EQ(project.settings.size(), optionKeys) << all;
    EXPECT_FALSE(project.expect.empty()) << all;
}

// A verb that takes a project's file says which one on stderr before anything else, unless
// --quiet; a disc folder is no project, and nothing is said of one. build says so too when it
// presses the image.
TEST(Project, EachVerbSaysWhichProjectFileItTook) {
    if (!kittest::HaveSampleDisc()) GTEST_SKIP() << kittest::SkipReason();
    kittest::TempFolder temp;
    const fs::path folder = temp.Root() / "atlas";
    fs::create_directories(folder);
    fs::copy(kittest::SampleDisc(), folder / "cd", fs::copy_options::recursive);
    kittest::WriteBytes(folder / kProjectFile, "[disc]\ncontent = \"cd\"\n");
    const std::string said = "disckit: project " + (folder / kProjectFile).u8string() + "\n";
    const std::string launcher = (kittest::SampleDisc() / "Start.exe").u8string();
    using Verb = int (*)(const Args&, std::ostream&, std::ostream&);
    struct Row {
        const char* verb;
        Verb run;
        Args args;
        bool project;
    };
    int n = 0;
    const auto build = [&](const std::string& source) {
        const std::string out = (temp.Root() / ("out" + std::to_string(++n))).u8string();
        return Args{source, "--out", out, "--launcher", launcher, "--image", out + ".iso"};
    };
    for (const bool quiet : {false, true}) {
        const Row rows[] = {
            {"check", RunCheck, {folder.u8string()}, true},
            {"check", RunCheck, {(folder / "cd").u8string()}, false},
            {"simulate", RunSimulate, {folder.u8string()}, true},
            {"simulate", RunSimulate, {folder.u8string(), "--matrix"}, true},
            {"build", RunBuild, build(folder.u8string()), true},
            {"build", RunBuild, build((folder / "cd").u8string()), false},
        };
        for (Row row : rows) {
            if (quiet) row.args.push_back("--quiet");
            SCOPED_TRACE(::testing::PrintToString(row.args));
            std::ostringstream out, err;
            const int code = row.run(row.args, out, err);
            EXPECT_NE(code, kExitUsage) << err.str();
            const std::string text = err.str();
            EXPECT_EQ(text.rfind(said, 0) == 0, row.project && !quiet) << text;
            EXPECT_EQ(text.find("disckit: project"), text.rfind("disckit: project")) << text;
            if (std::string(row.verb) == "build") {
                const std::string pressing = "disckit build: pressing " + row.args[6] + "\n";
                EXPECT_EQ(text.find(pressing) != std::string::npos, !quiet) << text;
            }
            // Quiet: nothing but warnings (of build, on the author's folder) and errors.
            std::istringstream lines(text);
            for (std::string line; quiet && std::getline(lines, line);)
                EXPECT_NE(line.find(": warning: "), std::string::npos) << line;
        }
    }
}

// The README's section on the project file has a row for every key, and no other.
TEST(Project, TheReadmeDocumentsEveryKey) {
    std::ifstream in(fs::path(__FILE__).parent_path().parent_path() / "README.md");
    std::stringstream readme;
    readme << in.rdbuf();
    const std::string text = readme.str();
    const std::size_t at = text.find("\n## The project file: disckit.toml");
    ASSERT_NE(at, std::string::npos);
    const std::string section = text.substr(at, text.find("\n## ", at + 1) - at);
    std::set<std::string> documented, keys;
    std::istringstream lines(section);
    for (std::string line; std::getline(lines, line);) {
        // | `[table] key` | type | ...
        if (line.compare(0, 4, "| `[") != 0) continue;
        documented.insert(line.substr(3, line.find('`', 3) - 3));
    }
    for (std::size_t i = 0; i < ProjectKeyCount(); ++i) {
        const ProjectKey& key = ProjectKeys()[i];
        keys.insert(KeyName(key));
        if (key.option) {
            const std::size_t row = section.find("| `" + KeyName(key) + "` |");
            ASSERT_NE(row, std::string::npos);
            const std::string line = section.substr(row, section.find('\n', row) - row);
            EXPECT_NE(line.find(key.option), std::string::npos) << line;
            EXPECT_NE(line.find(ProjectKeyType(key)), std::string::npos) << line;
        }
    }
    EXPECT_EQ(documented, keys);
}

}  // namespace
