// The table of disckit's verbs: what runs each one, with its help, option rows, exit codes and
// examples. It ties the help (the command-line layer) to every verb, and each verb's usage back to
// the help, so it belongs to the tool on top of every library: it is compiled into whatever links
// the whole kit (the tool, the unit tests, the benchmarks).
#include "kit/Help.h"

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
        "launcher refused it) and check finds no error on the disc"},
    {1, "the run did not come out as expected (the launcher kept starting the browser, did not "
        "end, refused the system, showed a box, left no browser running, or ended with another "
        "code), or check finds errors on the disc"},
    {2, "the trial could not run (no Wine, no sandbox, a bad option, a system or language Wine "
        "cannot present, no Start.exe at the disc's root, an --out that is not a new or empty "
        "folder of the user's, a report that cannot be written, a fault of the trial itself); "
        "the reason on stderr"},
};
constexpr const char* kTrialExamples[] = {
    "disckit trial build/win32/disc --lang de-DE\tthe sample disc under German Windows 7, 64-bit",
    "disckit trial disc.iso --max-starts 4 --json\tan image as it is, as JSON",
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
    "disckit init mydisc\ta disc with a folder for every language of the launcher's table",
    "disckit init mydisc --lang de-DE,ja-JP\tthe English, German and Japanese folders only",
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
     "the path concerned and what Start.exe does because of it. Nothing on the disc is run.",
     &kCheckOptions, DISCKIT_TABLE(kCheckExits), DISCKIT_TABLE(kCheckExamples), RunCheck},
    {"simulate", "DIR|IMAGE", true,
     "what the launcher does with a disc on any Windows, in milliseconds",
     "Runs the launcher's own sequence against a simulated Windows made of the disc's real "
     "files (a folder, or an ISO 9660 image read in place) and a described system, without Wine: the folder as the install directory "
     "(never written to), the Windows directory held in memory, a few system processes plus what "
     "the run starts, and a virtual clock that only the launcher's sleeps move.\n\n"
     "The outcome is browser-running, refused, turned-away, loops-forever (the browser never "
     "shows up, so the launcher starts it once a second for ever; the simulation stops once the "
     "passes repeat) or nothing.",
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
     "ImageMagick and bubblewrap.",
     &kTrialOptions, DISCKIT_TABLE(kTrialExits), DISCKIT_TABLE(kTrialExamples), RunTrial},
    {"build", "SOURCE", false, "make the finished disc from an author's folder",
     "Makes the finished disc in --out from the author's folder SOURCE (browser, pages, "
     "controls, setup program, probe library, optional pre-launch tool): the kit's stock "
     "Start.exe with the author's icon and version texts (only its resources change), an "
     "autorun.inf that opens it with its icon and the disc's label, and every other file copied "
     "as it is. A Start.exe or autorun.inf in SOURCE is replaced, with a warning.\n\n"
     "Then it signs (Authenticode, SHA-256, with osslsigncode, after every other change), checks "
     "the result as disckit check does, and with --image presses it, unless the check reports "
     "an error. A refusal writes nothing: the disc is made beside --out and renamed into place "
     "at the end.",
     &kBuildOptions, DISCKIT_TABLE(kBuildExits), DISCKIT_TABLE(kBuildExamples), RunBuild},
    {"init", "DIR", false, "lay out a new disc to start from",
     "Lay out a new disc in DIR (new or empty): Start.exe, autorun.inf, LAYOUT.txt, and a "
     "language folder with marker and start page for each language.\n\n"
     "Start.exe is the stock launcher installed with disckit. LAYOUT.txt says what goes where "
     "and what the disc still lacks; disckit check DIR lists the same.",
     &kInitOptions, DISCKIT_TABLE(kInitExits), DISCKIT_TABLE(kInitExamples), RunInit},
};

#undef DISCKIT_TABLE

}  // namespace

std::size_t VerbCount() { return sizeof kVerbs / sizeof kVerbs[0]; }
const VerbHelp* Verbs() { return kVerbs; }
