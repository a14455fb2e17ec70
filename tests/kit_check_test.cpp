// disckit check: every finding of its table on a broken copy of the sample disc, the sample disc
// itself, and what the report and the exit code say.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <set>
#include <sstream>

#include "FakeDisc.h"
#include "KitCheckDisc.h"
#include "PeFanOut.h"
#include "app/LauncherApp.h"
#include "inspect/Language.h"
#include "kit/Verbs.h"
#include "kit/check/CheckDisc.h"
#include "kit/check/CheckFindings.h"
#include "kit/disc/LittleEndian.h"
#include "kit/disc/PeResources.h"

namespace {

using kittest::DiscCopy;
using kittest::HaveSampleDisc;
using kittest::SkipReason;

#define REQUIRE_SAMPLE_DISC() \
    if (!HaveSampleDisc()) GTEST_SKIP() << SkipReason()

std::vector<Finding> Check(const DiscCopy& disc) {
    std::vector<Finding> findings;
    std::string error;
    EXPECT_TRUE(CheckDisc(disc.Root(), findings, error)) << error;
    return findings;
}

std::optional<Finding> FindingOf(const std::vector<Finding>& findings, const std::string& code) {
    for (const Finding& finding : findings) {
        if (finding.kind->code == code) return finding;
    }
    return std::nullopt;
}

std::string Codes(const std::vector<Finding>& findings) {
    std::string out;
    for (const Finding& f : findings) out += f.kind->code + " " + f.path + "\n";
    return out;
}

int RunCheckOn(const DiscCopy& disc, std::string& out, std::string& err, bool json = false) {
    std::ostringstream o, e;
    Args args = {disc.Root().u8string()};
    if (json) args.push_back("--json");
    const int code = RunCheck(args, o, e);
    out = o.str();
    err = e.str();
    return code;
}

// The sample disc has its pre-launch tool, and its programs are not signed: those notes come
// with every copy.
constexpr const char* kSampleNote = "prelaunch-tool-present";
constexpr const char* kUnsignedNote = "unsigned";

// Start.exe of the disc with its resources replaced by keep's choice of them.
void KeepResources(DiscCopy& d, const std::function<bool(const Resource&)>& keep) {
    std::vector<Resource> resources, kept;
    std::string problem, out;
    const std::string stock = kittest::ReadBytes(d / "Start.exe");
    ASSERT_TRUE(ReadPeResources(stock, resources, problem)) << problem;
    for (const Resource& r : resources)
        if (keep(r)) kept.push_back(r);
    ASSERT_TRUE(ReplacePeResources(stock, kept, out, problem)) << problem;
    d.Write("Start.exe", out);
}

// Start.exe with a signature whose digest is not the file's: what any change after signing makes.
void ForgeSignature(DiscCopy& d) {
    std::string image = kittest::ReadBytes(d / "Start.exe");
    while (image.size() % 8) image += '\0';
    const std::string blob =
        std::string("\x06\x0A\x2B\x06\x01\x04\x01\x82\x37\x02\x01\x04", 12) +
        std::string("\x06\x0A\x2B\x06\x01\x04\x01\x82\x37\x02\x01\x0F", 12) +
        std::string("\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01\x05\x00\x04\x20", 15) +
        std::string(32, '\x5A');
    const std::size_t at = image.size(), size = 8 + blob.size();
    std::string certificate(8, '\0');
    for (std::size_t i = 0; i < 4; ++i) certificate[i] = static_cast<char>(size >> (8 * i));
    certificate[4] = 0x00;
    certificate[5] = 0x02;  // revision 2
    certificate[6] = 0x02;  // PKCS#7 signed data
    image += certificate + blob;
    const std::size_t pe = static_cast<std::size_t>(static_cast<unsigned char>(image[0x3C]) |
                                                    static_cast<unsigned char>(image[0x3D]) << 8);
    const std::size_t directory = pe + 24 + 96 + 4 * 8;
    for (int i = 0; i < 4; ++i) {
        image[directory + static_cast<std::size_t>(i)] = static_cast<char>(at >> (8 * i));
        image[directory + 4 + static_cast<std::size_t>(i)] = static_cast<char>(size >> (8 * i));
    }
    d.Write("Start.exe", image);
}

// The program with a CLR header whose metadata names this runtime version, written into the
// unused end of its headers (the loader maps them too), as a .NET assembly has it.
void MakeManaged(DiscCopy& d, const std::string& file, const std::string& version) {
    std::string image = kittest::ReadBytes(d / file);
    std::uint32_t pe = 0, headerSize = 0;
    ASSERT_TRUE(Get32(image, 0x3C, pe) && Get32(image, pe + 24 + 60, headerSize));
    const std::uint32_t clr = headerSize - 64, metadata = clr + 16;
    ASSERT_GT(clr, pe + 24 + 224u + 40u * 8);  // past any section table of the sample disc
    image.replace(clr, 64, std::string(64, '\0'));
    Put32(image, clr, 72);                 // the CLR header's size
    Put32(image, clr + 8, metadata);       // its metadata
    Put32(image, clr + 12, 48);
    Put32(image, metadata, 0x424A5342);    // "BSJB"
    Put32(image, metadata + 12, 16);       // the version string's padded length
    image.replace(metadata + 16, version.size(), version);
    Put32(image, pe + 24 + 96 + 8 * 14, clr);
    Put32(image, pe + 24 + 100 + 8 * 14, 72);
    d.Write(file, image);
}

struct Case {
    std::string code;
    std::string path;  // where the finding is reported
    std::function<void(DiscCopy&)> breakIt;
    std::set<std::string> also = {};  // what the same breakage brings along
};

// Test names say which case failed; the default printer would dump the bytes of the closure.
void PrintTo(const Case& c, std::ostream* out) { *out << c.code << " at " << c.path; }

std::string Repeat(char c, std::size_t n) { return std::string(n, c); }

std::vector<Case> Cases() {
    std::vector<Case> cases;
    // The launcher's programs and libraries: one case per fault and role. A control's cases use
    // the second control, so that they do not depend on the order in which the files are met.
    for (const ImageRole& role : ImageRoles()) {
        const std::string file = role.files.back();
        // autorun.inf takes the disc's icon from the launcher: without it, it has none.
        const std::set<std::string> icon;
        const std::set<std::string> iconToo =
            file == names::kLauncher ? std::set<std::string>{"autorun-icon-missing"} : icon;
        if (!role.optional) {
            cases.push_back({ImageFaultCode(role, ImageFault::Missing), file,
                             [file](DiscCopy& d) { d.Remove(file); }, iconToo});
        }
        cases.push_back({ImageFaultCode(role, ImageFault::Invalid), file,
                         [file](DiscCopy& d) { d.Truncate(file, 1024); }, iconToo});
        cases.push_back({ImageFaultCode(role, ImageFault::NotX86_32), file,
                         [file](DiscCopy& d) { d.SetMachine(file, 0x8664); }});
        const std::string other = role.program ? names::kProbeLibrary : names::kSetupProgram;
        cases.push_back({ImageFaultCode(role, ImageFault::WrongKind), file,
                         [file, other](DiscCopy& d) { d.Copy(other, file); }, iconToo});
        cases.push_back({ImageFaultCode(role, ImageFault::ImportUnresolved), file,
                         [file](DiscCopy& d) { d.Patch(file, "msvcrt.dll", "msvcrx.dll"); }});
        // A library of Windows 8 and later: Windows 7 alone cannot load the image.
        cases.push_back({ImageFaultCode(role, ImageFault::ImportNotEverywhere), file,
                         [file](DiscCopy& d) {
                             d.Patch(file, "msvcrt.dll", std::string("dcomp.dll\0", 10));
                         }});
    }
    const std::string deep60 = Repeat('a', 60);
    std::string deepest = "d";
    for (int level = 1; level < 256; ++level) deepest += "\\d";
    const std::vector<Case> rest = {
        {"dotnet-4-not-on-7", "Panoview.exe",
         [](DiscCopy& d) { MakeManaged(d, "Panoview.exe", "v4.0.30319"); }},
        {"dotnet-3-5-not-by-default", "Handoff.exe",
         [](DiscCopy& d) { MakeManaged(d, "Handoff.exe", "v2.0.50727"); }},
        {"browser-not-gui", "Panoview.exe",
         [](DiscCopy& d) { d.Copy("Handoff.exe", "Panoview.exe"); }},
        {"control-register-export-missing", "Gauge.ocx",
         [](DiscCopy& d) { d.Patch("Gauge.ocx", "DllRegisterServer", "DllRegisterServeX"); }},
        {"control-unregister-export-missing", "Gauge.ocx",
         [](DiscCopy& d) { d.Patch("Gauge.ocx", "DllUnregisterServer", "DllUnregisterServeX"); }},
        {"prelaunch-tool-present", "Q7.exe", [](DiscCopy&) {}},
        {"pages-folder-missing", "lang", [](DiscCopy& d) { d.Remove("lang"); }},
        {"default-start-page-missing", "lang\\Eng\\Welcome.htm",
         [](DiscCopy& d) { d.Remove("lang/Eng/Welcome.htm"); }},
        {"start-page-missing", "lang\\DEU\\Welcome.htm",
         [](DiscCopy& d) { d.Remove("lang/DEU/Welcome.htm"); }},
        {"marker-missing", "lang\\DEU\\locale.js",
         [](DiscCopy& d) { d.Remove("lang/DEU/locale.js"); }},
        {"language-folder-absent", "lang\\KOR", [](DiscCopy& d) { d.Remove("lang/KOR"); }},
        {"language-folder-unused", "lang\\NLD",
         [](DiscCopy& d) { d.Copy("lang/DEU", "lang/NLD"); }},
        {"page-link-missing", "lang\\Eng\\Welcome.htm",
         [](DiscCopy& d) { d.Patch("lang/Eng/Welcome.htm", "locale.js", "localX.js"); }},
        {"page-link-outside-disc", "lang\\Eng\\Welcome.htm",
         [](DiscCopy& d) { d.Write("lang/Eng/Welcome.htm", "<a href=\"../../../Up.htm\">up</a>"); }},
        {"page-placeholder", "lang\\DEU\\Welcome.htm",
         [](DiscCopy& d) {
             d.Write("lang/DEU/Welcome.htm",
                     "<p>Replace this page with the disc's start page for DEU.</p>");
         }},
        {"page-too-large", "lang\\Eng\\Welcome.htm",
         [](DiscCopy& d) { std::filesystem::resize_file(d / "lang/Eng/Welcome.htm", 2u << 20); }},
        {"page-too-deep", "lang\\Eng\\Welcome.htm",
         [](DiscCopy& d) {
             std::string page;
             for (int i = 0; i < 500; ++i) page += "<div>";
             d.Write("lang/Eng/Welcome.htm", page);
         }},
        {"page-too-many-links", "lang\\Eng\\Welcome.htm",
         [](DiscCopy& d) {
             std::string page;
             for (int i = 0; i < 10001; ++i) page += "<a href=\"locale.js\">m</a>\n";
             d.Write("lang/Eng/Welcome.htm", page);
         }},
        // Pages of 1 MiB each, linked in a chain: the fourth passes 4 MiB with the start pages.
        {"pages-too-many", "lang\\Eng\\p\\3.htm",
         [](DiscCopy& d) {
             d.Write("lang/Eng/Welcome.htm", "<a href=\"p/0.htm\">p</a>");
             for (int i = 0; i < 5; ++i) {
                 std::string page = "<a href=\"" + std::to_string(i + 1) + ".htm\">n</a><!--";
                 page.resize(1u << 20, ' ');
                 d.Write("lang/Eng/p/" + std::to_string(i) + ".htm", page);
             }
         }},
        {"autorun-missing", "autorun.inf", [](DiscCopy& d) { d.Remove("autorun.inf"); }},
        {"autorun-not-launcher", "autorun.inf",
         [](DiscCopy& d) { d.Write("autorun.inf", "[autorun]\r\nopen=Setup.exe\r\n"); }},
        {"autorun-icon-missing", "autorun.inf",
         [](DiscCopy& d) {
             d.Write("autorun.inf", "[autorun]\r\nopen=Start.exe\r\nicon=Q7.exe,0\r\n");
         }},
        {"unsigned", "Start.exe", [](DiscCopy&) {}},
        {"signature-broken", "Start.exe", ForgeSignature},
        {"launcher-version-missing", "Start.exe",
         [](DiscCopy& d) {
             KeepResources(d, [](const Resource& r) { return r.type.number != kResourceVersion; });
         }},
        // A tree whose directories are shared, walked 300 x 300 times; autorun.inf's icon is
        // the launcher's, which is then not read either.
        {"resource-tree-too-large", "Start.exe",
         [](DiscCopy& d) { d.Write("Start.exe", kittest::FanOutImage(300, 300)); },
         {"autorun-icon-missing"}},
        {"name-case", "PANOVIEW.EXE",
         [](DiscCopy& d) { d.Rename("Panoview.exe", "PANOVIEW.EXE"); }},
        // The one first in byte order is the one Windows reaches on the pressed disc.
        {"name-case-clash", "lang\\Eng\\WELCOME.HTM",
         [](DiscCopy& d) { d.Copy("lang/Eng/Welcome.htm", "lang/Eng/WELCOME.HTM"); },
         {"name-case"}},
        {"name-not-in-code-page", "lang\\Eng\\\u03A9mega.htm",
         [](DiscCopy& d) { d.Write("lang/Eng/\u03A9mega.htm", "x"); }},
        {"name-not-windows", "lang\\Eng\\a:b.htm",
         [](DiscCopy& d) { d.Write("lang/Eng/a:b.htm", "x"); }},
        {"name-not-joliet", "lang\\Eng\\" + Repeat('x', 65) + ".htm",
         [](DiscCopy& d) { d.Write("lang/Eng/" + Repeat('x', 65) + ".htm", "x"); }},
        // 121 + 101 + 19 bytes: one more than a Joliet path holds.
        {"path-too-long-joliet", Repeat('a', 60) + "\\" + Repeat('b', 50) + "\\" + Repeat('f', 9),
         [](DiscCopy& d) {
             d.Write(Repeat('a', 60) + "/" + Repeat('b', 50) + "/" + Repeat('f', 9), "x");
         }},
        {"path-too-deep-iso9660", "d1\\d2\\d3\\d4\\d5\\d6\\d7\\d8",
         [](DiscCopy& d) { d.Write("d1/d2/d3/d4/d5/d6/d7/d8/x.htm", "x"); }},
        // D:\ and five folders of 60 characters: the fifth passes 259 characters.
        {"path-too-long",
         deep60 + "\\" + deep60 + "\\" + deep60 + "\\" + deep60 + "\\" + deep60,
         [deep60](DiscCopy& d) {
             d.Write(deep60 + "/" + deep60 + "/" + deep60 + "/" + deep60 + "/" + deep60 + "/x",
                     "x");
         },
         {"path-too-long-joliet"}},
        {"symbolic-link", "lang\\Eng\\Linked.htm",
         [](DiscCopy& d) {
             std::filesystem::create_symlink("Welcome.htm", d / "lang/Eng/Linked.htm");
         }},
        {"special-file", "lang\\Eng\\pipe.htm",
         [](DiscCopy& d) { ASSERT_EQ(mkfifo((d / "lang/Eng/pipe.htm").c_str(), 0644), 0); }},
        // 256 levels of folders: the deepest is not read.
        {"folder-unreadable", deepest,
         [deepest](DiscCopy& d) {
             std::string slashed = deepest;
             std::replace(slashed.begin(), slashed.end(), '\\', '/');
             std::filesystem::create_directories(d / slashed);
         },
         {"path-too-long", "path-too-long-joliet", "path-too-deep-iso9660"}},
    };
    cases.insert(cases.end(), rest.begin(), rest.end());
    return cases;
}

// A finding that only describes the damage leaves the author guessing: every kind ends with one
// sentence that says what to do, after whatever the instance adds.
TEST(CheckFindings, EveryMessageEndsWithWhatTheAuthorDoes) {
    for (const FindingKind& kind : FindingKinds()) {
        SCOPED_TRACE(kind.code);
        ASSERT_GE(kind.fix.size(), 2u);
        EXPECT_TRUE(kind.fix[0] >= 'A' && kind.fix[0] <= 'Z') << kind.fix;
        EXPECT_EQ(kind.fix.back(), '.');
        EXPECT_EQ(kind.fix.find('{'), std::string::npos) << "unfilled slot";
        // One sentence: no full stop before its end but in a file name or a version.
        EXPECT_EQ(kind.fix.find(". "), std::string::npos) << "more than one sentence";
        EXPECT_EQ(kind.message.find(kind.fix), std::string::npos) << "said twice";
        const Finding finding(kind.code, "X.exe", "It adds this.");
        const std::string message = finding.Message();
        EXPECT_EQ(message, kind.message + " It adds this. " + kind.fix);
        EXPECT_EQ(Finding(kind.code, "X.exe").Message(), kind.message + " " + kind.fix);
    }
}

TEST(CheckFindings, EveryCodeOfTheTableHasACaseAndEveryCaseACode) {
    std::set<std::string> covered;
    for (const Case& c : Cases()) covered.insert(c.code);
    // Only an image can break these, no folder: kit_image_test.cpp breaks one for each
    // (Images.TreesThatDisagreeAreAFinding).
    covered.insert("image-trees-disagree");
    std::set<std::string> codes;
    for (const FindingKind& kind : FindingKinds()) {
        EXPECT_TRUE(codes.insert(kind.code).second) << "twice in the table: " << kind.code;
        EXPECT_TRUE(covered.count(kind.code)) << "no test breaks the disc for " << kind.code;
        EXPECT_FALSE(kind.message.empty()) << kind.code;
        EXPECT_EQ(kind.message.find('{'), std::string::npos) << "unfilled slot in " << kind.code;
        EXPECT_EQ(kind.message.back(), '.') << kind.code;
        for (char c : kind.code) {
            EXPECT_TRUE((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-') << kind.code;
        }
    }
    for (const std::string& code : covered) {
        EXPECT_TRUE(codes.count(code)) << "not in the table: " << code;
    }
}

class EveryFinding : public ::testing::TestWithParam<Case> {};

TEST_P(EveryFinding, IsFoundOnABrokenCopyOfTheSampleDisc) {
    REQUIRE_SAMPLE_DISC();
    const Case& c = GetParam();
    DiscCopy disc;
    c.breakIt(disc);
    if (HasFatalFailure()) return;
    const std::vector<Finding> findings = Check(disc);
    bool found = false;
    for (const Finding& finding : findings) {
        found = found || (finding.kind->code == c.code && finding.path == c.path);
        const bool expected = finding.kind->code == c.code || finding.kind->code == kSampleNote ||
                              finding.kind->code == kUnsignedNote ||
                              c.also.count(finding.kind->code);
        EXPECT_TRUE(expected) << "also found " << finding.kind->code << " " << finding.path;
    }
    EXPECT_TRUE(found) << "wanted " << c.code << " " << c.path << ", got:\n" << Codes(findings);

    std::string out, err;
    const int exitCode = RunCheckOn(disc, out, err);
    EXPECT_EQ(exitCode, KindOf(c.code).severity == Severity::Error ? kExitFindings : kExitClean);
    EXPECT_NE(out.find("  " + c.code + "  " + c.path + "\n"), std::string::npos) << out;
    EXPECT_EQ(err, "");
}

INSTANTIATE_TEST_SUITE_P(Table, EveryFinding, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& param) {
                             std::string name = param.param.code;
                             for (char& c : name) {
                                 if (c == '-') c = '_';
                             }
                             return name;
                         });

TEST(CheckSampleDisc, HasOnlyTheNoteAboutItsPreLaunchTool) {
    REQUIRE_SAMPLE_DISC();
    DiscCopy disc;
    const std::vector<Finding> findings = Check(disc);
    ASSERT_EQ(findings.size(), 2u) << Codes(findings);
    EXPECT_EQ(findings[0].kind->code, kSampleNote);
    EXPECT_EQ(findings[1].kind->code, kUnsignedNote);
    std::string out, err;
    EXPECT_EQ(RunCheckOn(disc, out, err), kExitClean);
    EXPECT_NE(out.find(": 0 errors, 0 warnings, 2 notes\n"), std::string::npos) << out;
}

// --- The launcher's files in detail -----------------------------------------------------------

TEST(CheckImages, TheDetailSaysWhichImportFailsAndWhy) {
    REQUIRE_SAMPLE_DISC();
    struct Row {
        const char* what;
        std::function<void(DiscCopy&)> breakIt;
        std::string code;
        std::string detail;
    };
    const Row rows[] = {
        {"the browser takes its window functions from the probe library, which has none",
         [](DiscCopy& d) {
             d.Patch("Panoview.exe", "USER32.dll", std::string("qzm.dll\0\0\0", 10));
         },
         "browser-import-unresolved", "qzm.dll (on the disc) does not export "},
        {"a library of the disc that the probe library needs is checked in turn",
         [](DiscCopy& d) {
             d.Patch("qzm.dll", "msvcrt.dll", "helper.dll");
             d.Copy("Gauge.ocx", "helper.dll");
             d.SetMachine("helper.dll", 0x8664);
         },
         "probe-library-import-unresolved", "helper.dll (on the disc) is built for x64 (64-bit)"},
        {"a compiler's runtime that Windows does not ship is named as such",
         [](DiscCopy& d) { d.Patch("Handoff.exe", "msvcrt.dll", "msvcr9.dll"); },
         "setup-program-import-unresolved", "a compiler's run-time library"},
        {"a function younger than the oldest systems is named with the systems that lack it",
         [](DiscCopy& d) {
             d.Patch("Handoff.exe", "GetCurrentDirectoryA", "SetThreadDescription");
         },
         "setup-program-import-not-everywhere",
         "It concerns Windows 7, 8 and 8.1: KERNEL32.dll of Windows 7, 8 and 8.1 lacks "
         "SetThreadDescription (first in Windows 10 build 14393)."},
    };
    for (const Row& row : rows) {
        DiscCopy disc;
        row.breakIt(disc);
        if (HasFatalFailure()) return;
        const std::optional<Finding> finding = FindingOf(Check(disc), row.code);
        ASSERT_TRUE(finding.has_value()) << row.what;
        EXPECT_NE(finding->detail.find(row.detail), std::string::npos)
            << row.what << ": " << finding->detail;
    }
}

TEST(CheckImages, AFolderInPlaceOfAFileIsMissingAndSaysSo) {
    REQUIRE_SAMPLE_DISC();
    DiscCopy disc;
    disc.Remove("qzm.dll");
    disc.Write("qzm.dll/readme.txt", "x");
    const std::optional<Finding> finding = FindingOf(Check(disc), "probe-library-missing");
    ASSERT_TRUE(finding.has_value());
    EXPECT_EQ(finding->detail, "A folder of that name is there instead.");
}

// --- The pages, by the launcher's own table ---------------------------------------------------

TEST(CheckLanguages, TheDefaultFolderMayBeSpelledAsTheTurkishOneAndNeedsNoMarker) {
    REQUIRE_SAMPLE_DISC();
    for (const char* spelling : {"Eng", "ENG"}) {
        DiscCopy disc;
        if (std::string(spelling) != "Eng") {
            disc.Rename("lang/Eng", std::string("lang/") + spelling);
        }
        disc.Remove(std::string("lang/") + spelling + "/locale.js");
        // Its page no longer loads the marker either, which would be a missing script.
        const std::string script = "<script src=\"locale.js\"></script>";
        disc.Patch(std::string("lang/") + spelling + "/Welcome.htm", script,
                   "<!--" + std::string(script.size() - 7, ' ') + "-->");
        const std::vector<Finding> findings = Check(disc);
        EXPECT_EQ(findings.size(), 2u) << spelling << ":\n" << Codes(findings);
    }
}

TEST(CheckLanguages, AFolderInAnotherCaseIsNoted) {
    REQUIRE_SAMPLE_DISC();
    DiscCopy disc;
    disc.Rename("lang/DEU", "lang/Deu");
    const std::optional<Finding> finding = FindingOf(Check(disc), "name-case");
    ASSERT_TRUE(finding.has_value());
    EXPECT_EQ(finding->path, "lang\\Deu");
    EXPECT_EQ(finding->detail, "Start.exe asks for \"lang\\DEU\\\".");
}

// The check asks the launcher's own question of the disc: on a fake system of each listed
// language, with the disc's marker files, the launcher opens exactly the folders the check
// expects, and falls back exactly where the check reports a missing marker or folder.
TEST(CheckLanguages, AgreeWithTheLauncherOnEveryListedLanguage) {
    REQUIRE_SAMPLE_DISC();
    DiscCopy disc;
    disc.Remove("lang/DEU/locale.js");
    disc.Remove("lang/KOR");
    const std::vector<Finding> findings = Check(disc);
    std::set<std::string> fallsBack;
    for (const Finding& f : findings) {
        if (f.kind->code == "marker-missing" || f.kind->code == "language-folder-absent") {
            fallsBack.insert(f.path.substr(5, 3));
        }
    }
    EXPECT_EQ(fallsBack, (std::set<std::string>{"DEU", "KOR"}));
    for (std::size_t i = 0; i < LanguageTableSize(); ++i) {
        const LanguageRow& row = LanguageTable()[i];
        FakePlatform fake;
        SetUpDisc(fake);
        for (const auto& entry : std::filesystem::recursive_directory_iterator(disc / "lang")) {
            if (entry.path().filename() == names::kMarkerFile) {
                const std::string folder = entry.path().parent_path().filename().u8string();
                fake.AddFile("D:\\lang\\" + folder + "\\" + names::kMarkerFile);
            }
        }
        fake.langId = row.langId;
        LauncherApp app(fake);
        const std::string folder = row.folder;
        const bool expectFallback = fallsBack.count(folder.substr(0, 3)) > 0;
        EXPECT_EQ(app.GetLanguageFolder(), expectFallback ? kDefaultLanguageFolder : folder)
            << std::hex << row.langId;
    }
}

TEST(CheckLanguages, AStartPageThatIsAFolderIsMissing) {
    REQUIRE_SAMPLE_DISC();
    DiscCopy disc;
    disc.Remove("lang/FRE/Welcome.htm");
    disc.Write("lang/FRE/Welcome.htm/index.htm", "x");
    const std::optional<Finding> finding = FindingOf(Check(disc), "start-page-missing");
    ASSERT_TRUE(finding.has_value());
    EXPECT_EQ(finding->path, "lang\\FRE\\Welcome.htm");
    EXPECT_NE(finding->detail.find("A folder of that name is there instead."), std::string::npos);
}

// --- autorun.inf ------------------------------------------------------------------------------

TEST(CheckAutorun, OpensTheLauncherHoweverTheLineIsWritten) {
    REQUIRE_SAMPLE_DISC();
    struct Row {
        std::string text;
        bool opensLauncher;
    };
    std::string utf16 = "\xFF\xFE";  // as Windows' editors save "Unicode" text
    for (char c : std::string("[autorun]\r\nopen=Start.exe\r\n")) utf16 += std::string{c, '\0'};
    const Row rows[] = {
        {"[autorun]\r\nopen=Start.exe\r\nicon=Start.exe,0\r\n", true},
        {"[AutoRun]\nOPEN = start.exe /quiet\n", true},
        {"; comment\n[autorun]\nopen=\"Start.exe\" x\n", true},
        {"[autorun]\nopen=.\\Start.exe\n", true},
        {"\xEF\xBB\xBF[autorun]\nshellexecute=\\Start.exe\n", true},
        {utf16, true},
        {"[autorun]\nopen=Setup.exe\n", false},
        {"[autorun]\nopen=tools\\Start.exe\n", false},
        {"[other]\nopen=Start.exe\n[autorun]\nicon=Start.exe\n", false},
        {"", false},
    };
    for (const Row& row : rows) {
        DiscCopy disc;
        disc.Write("autorun.inf", row.text);
        const bool complains = FindingOf(Check(disc), "autorun-not-launcher").has_value();
        EXPECT_EQ(complains, !row.opensLauncher) << row.text;
    }
}

// --- Names ------------------------------------------------------------------------------------

TEST(CheckNames, WhatWindowsCannotHold) {
    REQUIRE_SAMPLE_DISC();
    const std::pair<std::string, bool> rows[] = {
        {"CON", true},
        {"con.htm", true},
        {"lpt1.txt", true},
        {"COM10.htm", false},
        {"a.", true},
        {"a ", true},
        {"a?b", true},
        {"a\\b", true},
        {"a\x01"
         "b",
         true},
        {"console.htm", false},
        {"a b.c", false},
    };
    for (const auto& [name, refused] : rows) {
        DiscCopy disc;
        disc.Write("lang/Eng/" + name, "x");
        const std::optional<Finding> finding = FindingOf(Check(disc), "name-not-windows");
        EXPECT_EQ(finding.has_value(), refused) << name;
    }
}

TEST(CheckNames, ALanguageFoldersNamesNeedOnlyTheCodePagesOfItsSystems) {
    REQUIRE_SAMPLE_DISC();
    DiscCopy disc;
    const std::string japanese = "\u30DA\u30FC\u30B8.htm";  // "page" in katakana
    disc.Write("lang/JPN/" + japanese, "x");
    disc.Write("lang/DEU/" + japanese, "x");
    disc.Write("lang/RUS/\u0421\u0442\u0440.htm", "x");  // Cyrillic: code page 1251 only
    const std::vector<Finding> findings = Check(disc);
    ASSERT_EQ(findings.size(), 3u) << Codes(findings);
    const std::optional<Finding> finding = FindingOf(findings, "name-not-in-code-page");
    ASSERT_TRUE(finding.has_value());
    EXPECT_EQ(finding->path, "lang\\DEU\\" + japanese);
    EXPECT_NE(finding->detail.find("Code page 1252 ("), std::string::npos) << finding->detail;
}

TEST(CheckNames, ABytesNameThatIsNotUtf8IsReported) {
    REQUIRE_SAMPLE_DISC();
    DiscCopy disc;
    disc.Write("lang/Eng/\xFF\xFE.htm", "x");
    const std::optional<Finding> finding = FindingOf(Check(disc), "name-not-windows");
    ASSERT_TRUE(finding.has_value());
    EXPECT_NE(finding->detail.find("not UTF-8"), std::string::npos);
}

TEST(CheckNames, ALoopOfSymbolicLinksEndsTheWalk) {
    REQUIRE_SAMPLE_DISC();
    DiscCopy disc;
    std::filesystem::create_directory_symlink("..", disc / "lang/Eng/up");
    const std::vector<Finding> findings = Check(disc);
    EXPECT_EQ(findings.size(), 3u) << Codes(findings);
    EXPECT_TRUE(FindingOf(findings, "symbolic-link").has_value()) << Codes(findings);
}

TEST(CheckNames, OnlyTheFirstPathPastALimitIsReportedNotEverythingBelowIt) {
    REQUIRE_SAMPLE_DISC();
    DiscCopy disc;
    disc.Write("d1/d2/d3/d4/d5/d6/d7/d8/d9/d10/x.htm", "x");
    std::size_t deep = 0;
    for (const Finding& f : Check(disc)) deep += f.kind->code == "path-too-deep-iso9660";
    EXPECT_EQ(deep, 1u);
}

// --- The command ------------------------------------------------------------------------------

TEST(CheckCommand, CouldNotCheckIsExitCodeTwoWithAMessage) {
    const std::vector<Args> bad = {
        {},
        {"a", "b"},
        {"--bogus", "x"},
        {"/no/such/folder/for/disckit"},
        {LAUNCHER_SAMPLE_DISC "/Start.exe"},
    };
    for (const Args& args : bad) {
        std::ostringstream out, err;
        EXPECT_EQ(RunCheck(args, out, err), kExitUsage) << ::testing::PrintToString(args);
        EXPECT_EQ(out.str(), "");
        EXPECT_EQ(err.str().rfind("disckit check: ", 0), 0u) << err.str();
    }
}

TEST(CheckCommand, GroupsBySeverityWithASummaryAndTheSameInJson) {
    REQUIRE_SAMPLE_DISC();
    DiscCopy disc;
    disc.Remove("lang/DEU/locale.js");  // a warning
    disc.Remove("Panoview.exe");        // an error
    std::string out, err;
    EXPECT_EQ(RunCheckOn(disc, out, err), kExitFindings);
    const std::size_t errors = out.find("Errors (1)\n  browser-missing  Panoview.exe\n");
    const std::size_t warnings = out.find("Warnings (1)\n  marker-missing  lang\\DEU\\locale.js\n");
    const std::size_t notes = out.find("Notes (2)\n  prelaunch-tool-present  Q7.exe\n");
    ASSERT_NE(errors, std::string::npos) << out;
    ASSERT_NE(warnings, std::string::npos) << out;
    ASSERT_NE(notes, std::string::npos) << out;
    EXPECT_LT(errors, warnings);
    EXPECT_LT(warnings, notes);
    EXPECT_NE(out.find(": 1 error, 1 warning, 2 notes\n"), std::string::npos) << out;

    EXPECT_EQ(RunCheckOn(disc, out, err, true), kExitFindings);
    EXPECT_NE(
        out.find("\"findings\": [\n    {\n      \"severity\": \"error\",\n      \"code\": "
                 "\"browser-missing\",\n      \"path\": \"Panoview.exe\",\n      \"message\": "),
        std::string::npos)
        << out;
    EXPECT_NE(
        out.find("\"summary\": {\n    \"errors\": 1,\n    \"warnings\": 1,\n    \"notes\": 2\n  }"),
        std::string::npos)
        << out;
}

TEST(CheckCommand, WarningsAndNotesAloneExitClean) {
    REQUIRE_SAMPLE_DISC();
    DiscCopy disc;
    disc.Remove("autorun.inf");
    std::string out, err;
    EXPECT_EQ(RunCheckOn(disc, out, err), kExitClean);
}

}  // namespace

namespace {

// --ignore and --min-severity: what is left out is counted, never silently lost, and what is left
// out no longer decides the exit code.
TEST(CheckCommand, IgnoreAndMinSeverityLeaveOutAndSaySo) {
    REQUIRE_SAMPLE_DISC();
    DiscCopy disc;
    disc.Remove("lang/DEU/locale.js");  // a warning
    disc.Remove("Panoview.exe");        // an error
    struct Row {
        Args options;
        int exitCode;
        const char* summary;
    };
    // The sample disc's own notes: its pre-launch tool, its unsigned programs.
    const Row rows[] = {
        {{}, kExitFindings, ": 1 error, 1 warning, 2 notes\n"},
        {{"--ignore", "prelaunch-tool-present"}, kExitFindings,
         ": 1 error, 1 warning, 1 note (1 left out)\n"},
        {{"--ignore=browser-missing,marker-missing"}, kExitClean,
         ": 0 errors, 0 warnings, 2 notes (2 left out)\n"},
        {{"--min-severity", "warning"}, kExitFindings, ": 1 error, 1 warning, 0 notes (2 left out)\n"},
        {{"--min-severity=error", "--ignore", "browser-missing"}, kExitClean,
         ": 0 errors, 0 warnings, 0 notes (4 left out)\n"},
    };
    for (const Row& row : rows) {
        Args args = {disc.Root().u8string()};
        args.insert(args.end(), row.options.begin(), row.options.end());
        std::ostringstream out, err;
        EXPECT_EQ(RunCheck(args, out, err), row.exitCode) << ::testing::PrintToString(args);
        EXPECT_NE(out.str().find(row.summary), std::string::npos) << out.str();
        if (row.options.empty()) continue;
        args.push_back("--json");
        std::ostringstream json, jsonErr;
        RunCheck(args, json, jsonErr);
        EXPECT_NE(json.str().find("\"leftOut\": "), std::string::npos) << json.str();
    }
    const std::vector<Args> bad = {
        {"--ignore", "no-such-code"},     {"--ignore", "browser-missing,"},
        {"--min-severity", "fatal"},      {"--ignore"},
    };
    for (Args args : bad) {
        args.insert(args.begin(), disc.Root().u8string());
        std::ostringstream out, err;
        EXPECT_EQ(RunCheck(args, out, err), kExitUsage) << ::testing::PrintToString(args);
        EXPECT_EQ(out.str(), "");
    }
}

}  // namespace
