// A disc made by someone else: what the check reads of it (never through a link, never blocking),
// what it makes of names that are no text, and what it writes for them.
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>
#include <sstream>

#include "KitCheckDisc.h"
#include "kit/Verbs.h"
#include "kit/check/CheckDisc.h"
#include "kit/common/Json.h"
#include "kit/common/Utf8.h"
#include "kit/disc/DiscFile.h"
#include "kit/disc/DiscTree.h"

namespace {

namespace fs = std::filesystem;
using kittest::DiscCopy;

#define REQUIRE_SAMPLE_DISC() \
    if (!kittest::HaveSampleDisc()) GTEST_SKIP() << kittest::SkipReason()

// --- Text --------------------------------------------------------------------------------------

TEST(Utf8, OnlyTheShortestFormOfACharacterIsWellFormed) {
    const struct {
        const char* bytes;
        bool wellFormed;
    } rows[] = {
        {"plain", true},
        {"\xC3\xA9", true},               // U+00E9
        {"\xED\x9F\xBF", true},           // U+D7FF, just below the surrogates
        {"\xEE\x80\x80", true},           // U+E000, just above them
        {"\xF4\x8F\xBF\xBF", true},       // U+10FFFF
        {"\xED\xA0\x80", false},          // a surrogate (U+D800)
        {"\xED\xBF\xBF", false},          // a surrogate (U+DFFF)
        {"\xC0\x80", false},              // NUL in two bytes
        {"\xE0\x80\x80", false},          // NUL in three bytes
        {"\xE0\x9F\xBF", false},          // U+07FF in three bytes
        {"\xF0\x8F\xBF\xBF", false},      // U+FFFF in four bytes
        {"\xF4\x90\x80\x80", false},      // past U+10FFFF
        {"\xC3", false},                  // cut short
        {"\x80", false},                  // a continuation alone
        {"\xFF", false},
    };
    for (const auto& row : rows) {
        std::u32string text;
        EXPECT_EQ(DecodeUtf8(row.bytes, text), row.wellFormed)
            << ::testing::PrintToString(row.bytes);
    }
}

TEST(Utf8, JsonAndTheTerminalGetNoByteThatIsNotText) {
    const struct {
        std::string bytes, json, shown;
    } rows[] = {
        {"a\xED\xA0\x80z", "\"a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDz\"", "a\\xED\\xA0\\x80z"},
        {"\xE0\x80\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"", "\\xE0\\x80\\x80"},
        {"\x1B[2J\x7F", "\"\\u001b[2J\\u007f\"", "\\x1B[2J\\x7F"},
        {"\xC2\x9B" "1m", "\"\\u009b1m\"", "\\xC2\\x9B1m"},  // the 8-bit CSI, as U+009B
        {"\x9B", "\"\xEF\xBF\xBD\"", "\\x9B"},                 // and as a lone byte
        {"\xCE\xA9 \\ \"", "\"\xCE\xA9 \\\\ \\\"\"", "\xCE\xA9 \\ \""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(JsonQuote(row.bytes), row.json) << ::testing::PrintToString(row.bytes);
        EXPECT_EQ(EscapeControls(row.bytes), row.shown) << ::testing::PrintToString(row.bytes);
    }
}

// --- Files -------------------------------------------------------------------------------------

class DiscFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "kit_discfile_XXXXXX").string();
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        root = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    fs::path root;
};

TEST_F(DiscFileTest, OpensARegularFileOnlyAndNeverWaitsOnAFifo) {
    kittest::WriteBytes(root / "file", "MZ data");
    fs::create_symlink("file", root / "link");
    fs::create_directory(root / "folder");
    ASSERT_EQ(mkfifo((root / "fifo").c_str(), 0644), 0);  // no writer: a blocking open waits

    DiscFile file;
    std::string why;
    ASSERT_TRUE(file.Open(root / "file", why)) << why;
    EXPECT_EQ(file.Size(), 7u);
    EXPECT_EQ(file.ReadHead(2), "MZ");
    char past[8];
    EXPECT_FALSE(file.ReadAt(4, past, sizeof past));

    const struct {
        const char* name;
        const char* why;
    } refused[] = {
        {"link", "it is a symbolic link"},
        {"fifo", "it is not a regular file"},
        {"folder", "it is not a regular file"},
    };
    for (const auto& row : refused) {
        DiscFile other;
        EXPECT_FALSE(other.Open(root / row.name, why)) << row.name;
        EXPECT_EQ(why, row.why) << row.name;
    }
}

// A folder swapped for a link once it has been listed leads nowhere outside the disc.
TEST_F(DiscFileTest, AFolderSwappedForALinkAfterItsListingIsNotFollowed) {
    kittest::WriteBytes(root / "disc/pages/page.htm", "inside");
    kittest::WriteBytes(root / "outside/page.htm", "outside");
    DiscFolder disc, pages;
    std::string error;
    ASSERT_TRUE(ListFolder(root / "disc", disc, error)) << error;
    const Lookup folder = disc.Find("pages");
    ASSERT_TRUE(folder.entry && folder.entry->isDirectory);
    ASSERT_TRUE(ListFolder(*folder.entry, pages, error)) << error;
    const Lookup page = pages.Find("page.htm");
    ASSERT_TRUE(page.entry && page.entry->isFile);

    fs::rename(root / "disc/pages", root / "disc/moved");
    fs::create_directory_symlink(root / "outside", root / "disc/pages");
    DiscFile file;
    ASSERT_TRUE(file.Open(*page.entry, error)) << error;
    EXPECT_EQ(file.ReadHead(64), "inside");
    DiscFolder again;
    EXPECT_FALSE(ListFolder(*folder.entry, again, error));
    EXPECT_TRUE(again.Entries().empty());
}

// --- Discs -------------------------------------------------------------------------------------

constexpr const char* kSecret = "open=Secret-of-the-checking-machine";

struct HostileCase {
    std::string what;
    // outside: a folder beside the disc, where links may point.
    std::function<void(DiscCopy&, const fs::path& outside)> plant;
    std::set<std::string> findings;  // "code path", besides the sample disc's note
    bool json = false;
    std::string unseen = kSecret;  // what the output must not hold
};

void PrintTo(const HostileCase& c, std::ostream* out) { *out << c.what; }

void MoveOut(DiscCopy& d, const std::string& name, const fs::path& outside) {
    fs::rename(d / name, outside / name);
    fs::create_symlink(outside / name, d / name);
}

std::vector<HostileCase> HostileCases() {
    return {
        {"a symbolic link in place of the browser",
         [](DiscCopy& d, const fs::path& out) { MoveOut(d, "Panoview.exe", out); },
         {"browser-missing Panoview.exe", "symbolic-link Panoview.exe"}},
        {"a symbolic link in place of the pages",
         [](DiscCopy& d, const fs::path& out) { MoveOut(d, "lang", out); },
         {"pages-folder-missing lang", "symbolic-link lang"}},
        {"a FIFO named as the browser",
         [](DiscCopy& d, const fs::path&) {
             d.Remove("Panoview.exe");
             ASSERT_EQ(mkfifo((d / "Panoview.exe").c_str(), 0644), 0);
         },
         {"browser-missing Panoview.exe", "special-file Panoview.exe"}},
        {"autorun.inf linked to a file outside the disc",
         [](DiscCopy& d, const fs::path& out) {
             kittest::WriteBytes(out / "secret", std::string("[autorun]\n") + kSecret + "\n");
             d.Remove("autorun.inf");
             fs::create_symlink(out / "secret", d / "autorun.inf");
         },
         {"autorun-missing autorun.inf", "symbolic-link autorun.inf"}},
        {"control characters in a name",
         [](DiscCopy& d, const fs::path&) { d.Write("lang/Eng/\x1B[2Jowned\x07.htm", "x"); },
         {"name-not-windows lang\\Eng\\\x1B[2Jowned\x07.htm"},
         false,
         "\x1B"},
        {"a surrogate in a name, in JSON",
         [](DiscCopy& d, const fs::path&) { d.Write("lang/Eng/\xED\xA0\x80.htm", "x"); },
         {"name-not-windows lang\\Eng\\\xED\xA0\x80.htm"},
         true,
         "\xED"},
        {"an overlong form in a name, in JSON",
         [](DiscCopy& d, const fs::path&) { d.Write("lang/Eng/\xE0\x80\x80.htm", "x"); },
         {"name-not-windows lang\\Eng\\\xE0\x80\x80.htm"},
         true,
         "\xE0"},
    };
}

class HostileDisc : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileDisc, IsCheckedForWhatThePressedDiscHoldsAndReportedSafely) {
    REQUIRE_SAMPLE_DISC();
    const HostileCase& c = GetParam();
    DiscCopy disc;
    const fs::path outside = disc.Root().string() + "-outside";
    fs::create_directories(outside);
    c.plant(disc, outside);
    if (HasFatalFailure()) return;

    std::vector<Finding> findings;
    std::string error;
    ASSERT_TRUE(CheckDisc(disc.Root(), findings, error)) << error;
    std::set<std::string> got;
    // The sample disc's own notes: its pre-launch tool, its unsigned programs.
    for (const Finding& f : findings) {
        if (f.kind->code != "prelaunch-tool-present" && f.kind->code != "unsigned")
            got.insert(f.kind->code + " " + f.path);
    }
    EXPECT_EQ(got, c.findings);

    std::ostringstream out, err;
    Args args = {disc.Root().u8string()};
    if (c.json) args.push_back("--json");
    RunCheck(args, out, err);
    EXPECT_EQ(out.str().find(c.unseen), std::string::npos) << out.str();
    std::u32string text;
    EXPECT_TRUE(DecodeUtf8(out.str(), text)) << out.str();
    fs::remove_all(outside);
}

INSTANTIATE_TEST_SUITE_P(Planted, HostileDisc, ::testing::ValuesIn(HostileCases()));

// A page named to reorder and steer what shows it: check's report in words, in JSON and in HTML
// names it without passing on one of its controls.
TEST(HostileDisc, ANameOfBidiAndC1ControlsIsReportedInertEverywhere) {
    REQUIRE_SAMPLE_DISC();
    DiscCopy disc;
    // U+202E, U+009B, U+2066, ESC and a byte that is no UTF-8.
    disc.Write("lang/Eng/a\xE2\x80\xAE" "b\xC2\x9B" "c\xE2\x81\xA6" "d\x1B" "e\xFF.htm", "x");
    const std::string html = disc.Root().u8string() + "-report.html";
    const struct {
        Args extra;
        std::string shown;
    } runs[] = {
        {{}, "lang\\Eng\\a\\xE2\\x80\\xAEb\\xC2\\x9Bc\\xE2\\x81\\xA6d\\x1Be\\xFF.htm"},
        {{"--json"}, "lang\\\\Eng\\\\a\\u202eb\\u009bc\\u2066d\\u001be\xEF\xBF\xBD.htm"},
    };
    for (const auto& run : runs) {
        Args args = {disc.Root().u8string(), "--html", html};
        args.insert(args.end(), run.extra.begin(), run.extra.end());
        std::ostringstream out, err;
        EXPECT_EQ(RunCheck(args, out, err), kExitClean) << err.str();
        const std::string report = out.str();
        EXPECT_NE(report.find(run.shown), std::string::npos) << report;
        for (const char* raw : {"\xE2\x80\xAE", "\xC2\x9B", "\xE2\x81\xA6", "\x1B", "\xFF"})
            EXPECT_EQ(report.find(raw), std::string::npos) << report;
        std::u32string text;
        EXPECT_TRUE(DecodeUtf8(report, text));
    }
    const std::string page = kittest::ReadBytes(html);
    EXPECT_NE(page.find("a<span class=\"ctl\">U+202E</span>b<span class=\"ctl\">U+009B</span>c"
                        "<span class=\"ctl\">U+2066</span>d\\x1Be\xEF\xBF\xBD.htm"),
              std::string::npos)
        << page;
    for (const char* raw : {"\xE2\x80\xAE", "\xC2\x9B", "\xE2\x81\xA6", "\x1B", "\xFF"})
        EXPECT_EQ(page.find(raw), std::string::npos);
    fs::remove(html);
}

// The disc's own name, as simulate and build print it (and init, which makes one).
TEST(HostileDisc, TheOtherVerbsPrintANameOfControlsInertToo) {
    REQUIRE_SAMPLE_DISC();
    kittest::TempFolder folder;
    const fs::path disc = folder.Root() / "a\xE2\x80\xAE" "b\xC2\x9B" "c\xE2\x81\xA6" "d\x1B" "e";
    fs::copy(kittest::SampleDisc(), disc, fs::copy_options::recursive);
    const std::string name = disc.u8string(), shown = "a\\xE2\\x80\\xAEb\\xC2\\x9Bc\\xE2\\x81\\xA6d\\x1Be";
    const std::string launcher = (kittest::SampleDisc() / "Start.exe").u8string();
    const struct {
        int (*verb)(const Args&, std::ostream&, std::ostream&);
        Args args;
        std::string shown;
    } runs[] = {
        {RunSimulate, {name}, shown},
        {RunSimulate, {name, "--matrix"}, ""},
        {RunSimulate, {name, "--json"}, "a\\u202eb\\u009bc\\u2066d\\u001be"},
        {RunBuild, {name, "--out", name + "-out", "--launcher", launcher}, shown + "-out"},
        {RunBuild, {name, "--out", name + "-json", "--launcher", launcher, "--json"},
         "a\\u202eb\\u009bc\\u2066d\\u001be-json"},
        {RunInit, {name + "-new"}, shown + "-new"},
        {RunCheck, {name + "-none"}, shown + "-none"},  // a refusal names it too
    };
    for (const auto& run : runs) {
        std::ostringstream out, err;
        run.verb(run.args, out, err);
        const std::string printed = out.str() + err.str();
        EXPECT_NE(printed.find(run.shown), std::string::npos) << printed;
        for (const char* raw : {"\xE2\x80\xAE", "\xC2\x9B", "\xE2\x81\xA6", "\x1B"})
            EXPECT_EQ(printed.find(raw), std::string::npos) << printed;
    }
}

// Root reads every folder: the check runs as an account that cannot.
TEST(HostileDisc, AnUnreadableFolderIsAFindingAndTheCheckGoesOn) {
    REQUIRE_SAMPLE_DISC();
    DiscCopy disc;
    disc.Remove("lang/DEU/locale.js");  // found all the same
    fs::permissions(disc / "lang/JPN", fs::perms::none);
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipeEnds[0]);
        constexpr uid_t kNobody = 65534;
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 ||
                               setuid(kNobody) != 0)) {
            _exit(3);
        }
        std::vector<Finding> findings;
        std::string error;
        std::string report = CheckDisc(disc.Root(), findings, error) ? "" : "failed: " + error;
        for (const Finding& f : findings) report += f.kind->code + " " + f.path + "\n";
        const ssize_t written = write(pipeEnds[1], report.data(), report.size());
        _exit(written == static_cast<ssize_t>(report.size()) ? 0 : 4);
    }
    close(pipeEnds[1]);
    std::string report;
    char buffer[4096];
    for (ssize_t got; (got = read(pipeEnds[0], buffer, sizeof buffer)) > 0;) {
        report.append(buffer, static_cast<std::size_t>(got));
    }
    close(pipeEnds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    fs::permissions(disc / "lang/JPN", fs::perms::owner_all);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(report.find("folder-unreadable lang\\JPN\n"), std::string::npos) << report;
    EXPECT_NE(report.find("marker-missing lang\\DEU\\locale.js\n"), std::string::npos) << report;
}

}  // namespace
