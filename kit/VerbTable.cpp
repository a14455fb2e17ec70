// The table of disckit's verbs: what runs each one, with its help, option rows, exit codes and
// examples. It ties the help (the command-line layer) to every verb, and each verb's usage back to
// the help, so it belongs to the tool on top of every library: it is compiled into whatever links
// the whole kit (the tool, the unit tests, the benchmarks).
#include "kit/Help.h"
#include "kit/common/Project.h"
#include "kit/matrix/TrialMatrix.h"

namespace {

// --- The tables ------------------------------------------------------------------------------

constexpr ExitHelp kCheckExits[] = {
    {0, "no finding of error level"},
    {1, "at least one error"},
    {2, "the folder could not be checked (no such folder, a bad option), or a report cannot be "
        "written; the reason on stderr"},
};
constexpr const char* kCheckExamples[] = {
    "disckit check build/win32/disc\tthe sample disc: one note, about its pre-launch tool",
    "disckit check mydisc --json\tthe same facts for a CI job",
};

constexpr ExitHelp kSimulateExits[] = {
    {0, "the simulation ran (one run: whatever its outcome; --matrix: every cell came out as "
        "expected, by default the browser running on the systems the launcher supports and the "
        "refusal on the others)"},
    {1, "--matrix: some cell did not come out as expected"},
    {2, "a bad option, no such folder, or a report that cannot be written; the reason on "
        "stderr"},
};
constexpr const char* kSimulateExamples[] = {
    "disckit simulate build/win32/disc --system 8-x64 --lang de-DE\tGerman Windows 8, 64-bit",
    "disckit simulate build/win32/disc --matrix\tevery system by every language of the disc",
    "disckit simulate mydisc --media writable --json\ta copy on a hard disk, as JSON",
};

constexpr ExitHelp kTrialExits[] = {
    {0, "the run came out as expected (by default: on a system the launcher supports, the "
        "browser was left running and the launcher ended with exit code 0; on the others, the "
        "launcher refused it) and check finds no error on the disc (with --matrix: every cell is "
        "as expected)"},
    {1, "the run did not come out as expected (the launcher kept starting the browser, did not "
        "end, refused the system, showed a box, left no browser running, or ended with another "
        "code), or check finds errors on the disc (with --matrix: a cell is not as expected)"},
    {2, "the trial could not run (no Wine, no sandbox, a bad option, a system or language Wine "
        "cannot present, no Start.exe at the disc's root, an --out that is not a new or empty "
        "folder of the user's, a report that cannot be written, a fault of the trial itself; "
        "with --matrix: a cell's trial could not run); the reason on stderr"},
};
constexpr const char* kTrialExamples[] = {
    "disckit trial build/win32/disc --lang de-DE\tthe sample disc under German Windows 7, 64-bit",
    "disckit trial disc.iso --max-starts 4 --json\tan image as it is, as JSON",
    "disckit trial disc.iso --matrix --jobs 2 --html m.html\tevery supported system by every "
    "language of the disc",
    "disckit trial disc.iso --matrix --shard 2/4 --json > s2.json\tthe second quarter of the "
    "cells, for disckit merge",
};

constexpr ExitHelp kMergeExits[] = {
    {0, "every cell of the joined matrix is as expected"},
    {1, "a cell is not as expected"},
    {2, "the reports cannot be joined (not shard reports, of different discs, disckit versions or "
        "cells, overlapping, or a shard missing), or a cell could not run; the reason on stderr"},
};
constexpr const char* kMergeExamples[] = {
    "disckit merge s1.json s2.json --html matrix.html\tthe shards of one matrix as one report",
};

constexpr ExitHelp kBuildExits[] = {
    {0, "the disc was made and its check found no error"},
    {1, "the disc was made but its check found an error (an image is then pressed only with "
        "--force)"},
    {2, "nothing was made (a bad option, an --out that is not new or empty, an icon, version, "
        "key or password that is not right); the reason on stderr"},
};
constexpr const char* kBuildExamples[] = {
    "disckit build author --out disc --icon brand.ico --version 4.2.0.17\tbranded, unsigned",
    "disckit build author --out disc --sign-pkcs12 p.p12 --sign-password-file pw --image d.iso"
    "\tsigned and pressed",
};
constexpr ExitHelp kInitExits[] = {
    {0, "the disc was laid out"},
    {2, "DIR is not new or empty, a bad option, or no stock Start.exe beside disckit; the reason "
        "on stderr"},
};
constexpr const char* kInitExamples[] = {
    "disckit init atlas\ta disc with a folder for every language of the launcher's table",
    "disckit init atlas --lang de-DE,ja-JP\tthe English, German and Japanese folders only",
};

constexpr ExitHelp kCacheExits[] = {
    {0, "listed, or cleaned"},
    {1, "cleaned, but a template in use by a trial, or a file that could not be removed, was "
        "left (said on stderr)"},
    {2, "the cache's folder is a link or another account's, or a bad option; the reason on "
        "stderr"},
};
constexpr const char* kCacheExamples[] = {
    "disckit cache\twhat the trials keep, its size and last use",
    "disckit cache --clean\tremove it (the next trial makes its template again)",
};

#define DISCKIT_TABLE(t) t, sizeof t / sizeof t[0]

const VerbHelp kVerbs[] = {
    {"check", "DIR|IMAGE", true, "find a disc's faults before it is pressed",
     "Checks the disc folder DIR, or the ISO 9660 image IMAGE read in place, against the launcher's own names, language table and rules: "
     "every file the launcher uses, under the exact name it uses; each program and library a "
     "32-bit x86 PE image of the right kind whose imports Windows or the disc can satisfy; each "
     "language folder with its marker and start page; autorun.inf; and every name and path "
     "against the ANSI code pages of the languages the launcher knows, MAX_PATH, and what an ISO "
     "9660 image with Joliet names can carry.\n\n"
     "Each finding has a stable code, a severity (error: the disc misbehaves on every supported "
     "system or on some; warning: it may, or does depending on the media; note: worth knowing), "
     "the path concerned and what Start.exe does because of it. Nothing on the disc is run.\n\n"
     "DIR may be a project folder (one holding disckit.toml): the disc is then its content "
     "folder, its [check] gives --ignore and --min-severity unless the command line does, and "
     "the absent folders of languages its [disc] languages leaves out are no finding.",
     &kCheckOptions, DISCKIT_TABLE(kCheckExits), DISCKIT_TABLE(kCheckExamples), RunCheck},
    {"simulate", "DIR|IMAGE", true,
     "what the launcher does with a disc on any Windows, in milliseconds",
     "Runs the launcher's own sequence against a simulated Windows made of the disc's real "
     "files (a folder, or an ISO 9660 image read in place) and a described system, without Wine: the folder as the install directory "
     "(never written to), the Windows directory held in memory, a few system processes plus what "
     "the run starts, and a virtual clock that only the launcher's sleeps move.\n\n"
     "The outcome is browser-running, refused, turned-away, loops-forever (the browser never "
     "shows up, so the launcher starts it once a second for ever; the simulation stops once the "
     "passes repeat) or nothing. DIR may be a project folder (one holding disckit.toml): the "
     "disc is then its content folder.",
     &kSimulateOptions, DISCKIT_TABLE(kSimulateExits),
     DISCKIT_TABLE(kSimulateExamples), RunSimulate},
    {"trial", "DIR|IMAGE", true, "run the disc's own programs under Wine and watch them",
     "Runs the disc's own Start.exe under Wine as Windows would run it, and watches it from "
     "outside: a folder is pressed into an ISO 9660 image with Joliet names first, an image is "
     "taken as it is, and either goes into a read-only CD-ROM drive D: of a fresh Wine prefix "
     "that an unprivileged account owns. Reported: the processes started and their command "
     "lines, the libraries loaded, message boxes, the files added to the Windows directory, the "
     "registry's changes, what still runs, and screenshots.\n\n"
     "Linux only, as any user: the disc's programs, Wine and its X server run in a bubblewrap "
     "sandbox that sees nothing of the host it could change (run by root, they run as the "
     "account disclab, created when missing). Needs Wine and its 32-bit part, Xvfb, xorriso, "
     "ImageMagick and bubblewrap. DIR may be a project folder (one holding disckit.toml): the "
     "disc is then its content folder.",
     &kTrialOptions, DISCKIT_TABLE(kTrialExits), DISCKIT_TABLE(kTrialExamples), RunTrialCommand},
    {"merge", "REPORT.json...", true, "join the shards of a trial matrix into one report",
     "Joins the JSON reports of the shards of one trial matrix (disckit trial --matrix --shard "
     "K/N --json, run anywhere, for example as the tasks of an array job) into the report a "
     "whole run gives: the same grid, text, JSON and HTML. Reports of different discs (by their "
     "SHA-256), of different disckit versions or of different cells are refused, as are two "
     "reports of the same shard and a missing shard.",
     &kMergeOptions, DISCKIT_TABLE(kMergeExits), DISCKIT_TABLE(kMergeExamples), RunMerge},
    {"build", "SOURCE", false, "make the finished disc from an author's folder",
     "Makes the finished disc in --out from the author's folder SOURCE (browser, pages, "
     "controls, setup program, probe library, optional pre-launch tool): the kit's stock "
     "Start.exe with the author's icon and version texts (only its resources change), an "
     "autorun.inf that opens it with its icon and the disc's label, and every other file copied "
     "as it is. A Start.exe or autorun.inf of the author's own in SOURCE is replaced, with a "
     "warning (the stock ones init lays out, without). SOURCE may be a project folder: the "
     "disc is then its content folder, and disckit.toml gives the options the command line "
     "leaves out.\n\n"
     "Then it signs (Authenticode, SHA-256, with osslsigncode, after every other change), checks "
     "the result as disckit check does, and with --image presses it, unless the check reports "
     "an error. A refusal writes nothing: the disc is made beside --out and renamed into place "
     "at the end.",
     &kBuildOptions, DISCKIT_TABLE(kBuildExits), DISCKIT_TABLE(kBuildExamples), RunBuild},
    {"init", "DIR", false, "lay out a new disc project to start from",
     "Lay out a new project in DIR (new or empty): the project file disckit.toml (the languages "
     "of --lang, and every other key as a commented example), LAYOUT.txt, and the disc's content "
     "in DIR/disc, pressed as it is: Start.exe, autorun.inf, and a language folder with marker "
     "and start page for each language.\n\n"
     "Start.exe is the stock launcher installed with disckit. LAYOUT.txt, beside the content and "
     "never on the disc, says what goes where and what the disc still lacks; disckit check DIR "
     "lists the same. Every verb takes DIR where it takes a disc.",
     &kInitOptions, DISCKIT_TABLE(kInitExits), DISCKIT_TABLE(kInitExamples), RunInit},
    {"cache", "", false, "list or remove what the trials keep between runs",
     "Lists what disckit trial keeps between runs, in $XDG_CACHE_HOME/disckit (else "
     "~/.cache/disckit), or for root in /var/cache/disckit: the Wine prefix template of each "
     "kind, made by the first trial that needs it (about 0.6 GB for a 32-bit one, 1.3 GB for a "
     "64-bit one), with its size and when a trial last used it. The folder carries a "
     "CACHEDIR.TAG, so that backup tools leave it out.\n\n"
     "With --clean it removes all of it, never through a link nor into another file system; "
     "root's folder, which the package owns, stays, empty. Nothing else of disckit is kept "
     "between runs.",
     &kCacheOptions, DISCKIT_TABLE(kCacheExits), DISCKIT_TABLE(kCacheExamples), RunCache},
};

#undef DISCKIT_TABLE

// The project file's keys. A key that configures a verb names that verb's option row, which
// gives its type and help; only the project's own keys have a help here.
const ProjectKey kProjectKeys[] = {
    {"disc", "content", "", nullptr, ProjectType::Path,
     "The folder of the disc's content, pressed as it is: the folder every verb checks, "
     "simulates, tries or builds from.", "\"disc\""},
    {"disc", "languages", "check build", nullptr, ProjectType::Texts,
     "The languages the disc serves (locale names or LANGIDs): the folders of the other "
     "languages of the launcher's table may be absent without a finding. Without it, every one.",
     "[\"de-DE\", \"fr-FR\"]"},
    {"disc", "label", "build", "--label", ProjectType::Option, nullptr, "\"ATLAS_2026\""},
    {"identity", "company", "build", "--company", ProjectType::Option, nullptr,
     "\"Example Maps Ltd\""},
    {"identity", "product", "build", "--product", ProjectType::Option, nullptr,
     "\"Example Atlas\""},
    {"identity", "description", "build", "--description", ProjectType::Option, nullptr,
     "\"Example Atlas disc\""},
    {"identity", "version", "build", "--version", ProjectType::Option, nullptr, "\"1.0.0.0\""},
    {"identity", "copyright", "build", "--copyright", ProjectType::Option, nullptr,
     "\"(c) 2026 Example Maps Ltd\""},
    {"identity", "icon", "build", "--icon", ProjectType::Option, nullptr, "\"brand.ico\""},
    {"signing", "pkcs12", "build", "--sign-pkcs12", ProjectType::Option, nullptr,
     "\"signing/release.p12\""},
    {"signing", "password-file", "build", "--sign-password-file", ProjectType::Option, nullptr,
     "\"signing/password.txt\""},
    {"signing", "cert", "build", "--sign-cert", ProjectType::Option, nullptr,
     "\"signing/cert.pem\""},
    {"signing", "key", "build", "--sign-key", ProjectType::Option, nullptr, "\"signing/key.pem\""},
    {"signing", "all", "build", "--sign-all", ProjectType::Option, nullptr, "true"},
    {"signing", "timestamp-url", "build", "--timestamp-url", ProjectType::Option, nullptr,
     "\"http://timestamp.example.com\""},
    {"check", "ignore", "check build", "--ignore", ProjectType::Option, nullptr,
     "[\"unsigned\"]"},
    {"check", "min-severity", "check build", "--min-severity", ProjectType::Option, nullptr,
     "\"warning\""},
    {"expect", nullptr, "simulate trial", nullptr, ProjectType::TextTable,
     "What the disc is expected to do on a system where that differs from the default: for "
     "each such system (a profile's name), its outcome as a string.",
     "10-x64 = \"browser-running\""},
};

}  // namespace

std::size_t ProjectKeyCount() { return sizeof kProjectKeys / sizeof kProjectKeys[0]; }
const ProjectKey* ProjectKeys() { return kProjectKeys; }

std::size_t VerbCount() { return sizeof kVerbs / sizeof kVerbs[0]; }
const VerbHelp* Verbs() { return kVerbs; }
