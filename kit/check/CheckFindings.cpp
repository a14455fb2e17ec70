#include "kit/check/CheckFindings.h"

#include <algorithm>
#include <cstdlib>
#include <iostream>

#include "app/LauncherApp.h"
#include "inspect/Language.h"
#include "kit/windows/Languages.h"
#include "kit/windows/WindowsText.h"

namespace {

const std::string kStart = names::kLauncher;
const std::string kSeconds = std::to_string(kPreLaunchToolMs / 1000);

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::vector<ImageRole> BuildRoles() {
    return {
        {"launcher", {names::kLauncher}, true, false, "the launcher",
         "inserting the disc starts nothing that works, and " + std::string(names::kSettingsFile) +
             " points the setup program at a launcher that cannot run"},
        {"browser", {names::kBrowser}, true, false, "the page browser",
         kStart + " tries to start it once a second, forever, elevated and invisible"},
        {"prelaunch-tool", {names::kPreLaunchTool}, true, true, "the pre-launch tool",
         kStart + ", run from a writable copy of the disc, fails to start it and still waits " +
             kSeconds + " s before the browser"},
        {"setup-program", {names::kSetupProgram}, true, false, "the setup program",
         kStart + " copies into the Windows directory a setup program that cannot run"},
        {"probe-library", {names::kProbeLibrary}, false, false, "the probe library",
         "every run of " + kStart + " shows " + Quoted(texts::kLoadLibraryFail)},
        {"control", {names::kHtmlControl, names::kGaugeControl}, false, false, "a control",
         "the regsvr32 /s that " + kStart + " starts fails silently, and no 32-bit program (the "
             "browser included) can use the control"},
    };
}

// Placeholders: {so} the role's consequence, {noun} what the role is, {start} the launcher,
// {kind} what the role must be built as.
struct FaultText {
    ImageFault fault;
    const char* programSuffix;
    const char* librarySuffix;
    const char* programText;
    const char* libraryText;
    const char* fix;
};

const FaultText kFaultTexts[] = {
    {ImageFault::Invalid, "invalid", "invalid",
     "Not a Windows program image, or a damaged one: Windows cannot start it on any system, so "
     "{so}.",
     "Not a Windows library image, or a damaged one: Windows cannot load it on any system, so "
     "{so}.",
     "Put a working 32-bit x86 build of {noun} in its place."},
    {ImageFault::NotX86_32, "not-x86-32", "not-x86-32",
     "Not a 32-bit x86 program: 32-bit Windows cannot start it (64-bit Windows starts it only if "
     "it is an x64 one), so there {so}.",
     "Not a 32-bit x86 library: it never loads into a 32-bit process such as {start} or the "
     "32-bit regsvr32, so on every system {so}.",
     "Put a 32-bit x86 (Win32) build of {noun} in its place."},
    {ImageFault::WrongKind, "not-exe", "not-dll",
     "Not a Windows program (a DLL, a driver or an image for another subsystem): Windows refuses "
     "to start it, so on every system {so}.",
     "Marked as a program, not a DLL: a program image loaded as a library is never initialised "
     "(and does not load at all unless it can be relocated), so it cannot serve as {noun}.",
     "Put a {kind} build of {noun} in its place."},
    {ImageFault::ImportUnresolved, "import-unresolved", "import-unresolved",
     "It needs libraries or functions that the disc (beside it) does not provide and no "
     "supported Windows has in full: Windows refuses to start it on every system, so {so}.",
     "It needs libraries or functions that the disc (beside it) does not provide and no "
     "supported Windows has in full: Windows refuses to load it on every system, so {so}.",
     "Put the libraries it lacks beside it on the disc, or build it against libraries every "
     "supported Windows has."},
    // Some systems can run it: a warning, whatever the role.
    {ImageFault::ImportNotEverywhere, "import-not-everywhere", "import-not-everywhere",
     "It needs a library, or a function of one, that some supported systems lack and the disc "
     "(beside it) does not provide: on those systems Windows refuses to start it, and {so}.",
     "It needs a library, or a function of one, that some supported systems lack and the disc "
     "(beside it) does not provide: on those systems Windows refuses to load it, and {so}.",
     "Put the libraries it lacks beside it on the disc, or build it against libraries every "
     "supported Windows has."},
};

std::string Expand(std::string text, const ImageRole& role) {
    const std::pair<std::string, std::string> slots[] = {
        {"{so}", role.consequence},
        {"{noun}", role.noun},
        {"{start}", kStart},
        {"{kind}", role.program ? "GUI program" : "DLL"}};
    for (const auto& [slot, value] : slots) {
        for (std::size_t at = text.find(slot); at != std::string::npos; at = text.find(slot, at)) {
            text.replace(at, slot.size(), value);
            at += value.size();
        }
    }
    return text;
}

std::vector<FindingKind> BuildKinds() {
    const std::string lang = std::string(names::kPagesFolder);
    const std::string english = kDefaultLanguageFolder;
    std::vector<FindingKind> kinds = {
        // The launcher's own files, under the names it uses.
        {"launcher-missing", Severity::Error,
         kStart + " is not in the disc's folder: autorun.inf opens it when the disc is inserted "
             "and " + names::kSettingsFile + " always names it, so on every system the disc starts "
             "nothing and the setup program is pointed at a missing launcher.",
         "Put " + kStart + " in the disc's root folder."},
        {"browser-missing", Severity::Error,
         "Without the page browser " + kStart + " tries to start it once a second, forever, "
             "elevated and invisible, on every supported system.",
         "Put the page browser, " + std::string(names::kBrowser) + ", beside " + kStart +
             " on the disc."},
        {"setup-program-missing", Severity::Error,
         "Without the setup program " + kStart + " copies nothing into the Windows directory but "
             "still writes " + names::kSettingsFile + " there, on every supported system.",
         "Put the setup program, " + std::string(names::kSetupProgram) + ", beside " + kStart +
             " on the disc."},
        {"probe-library-missing", Severity::Error,
         "Without the probe library every run of " + kStart + " shows " +
             Quoted(texts::kLoadLibraryFail) + ", on every system.",
         "Put the probe library, " + std::string(names::kProbeLibrary) + ", beside " + kStart +
             " on the disc."},
        {"control-missing", Severity::Error,
         "Without this control the regsvr32 /s that " + kStart + " starts fails silently and the "
             "control is never registered, on every system.",
         "Put this control beside " + kStart + " on the disc."},
    };
    for (const ImageRole& role : ImageRoles()) {
        for (const FaultText& text : kFaultTexts) {
            const bool warning = role.optional || text.fault == ImageFault::ImportNotEverywhere;
            kinds.push_back({ImageFaultCode(role, text.fault),
                             warning ? Severity::Warning : Severity::Error,
                             Expand(role.program ? text.programText : text.libraryText, role),
                             Expand(text.fix, role)});
        }
    }
    const std::vector<FindingKind> rest = {
        // .NET programs: which framework each supported system has without an install.
        {"dotnet-4-not-on-7", Severity::Warning,
         "This program runs on .NET Framework 4, which Windows 7 does not have unless it was "
             "installed: there it does not start (Windows 8, 8.1, 10 and 11 have it).",
         "Install .NET Framework 4 (or a later 4.x) on Windows 7, or have the setup program "
             "install it first."},
        {"dotnet-3-5-not-by-default", Severity::Warning,
         "This program runs on .NET Framework 2.0 to 3.5, which only Windows 7 has by default: on Windows 8, 8.1, 10 and 11 it is an "
             "optional feature, and the program does not start until it is turned on.",
         "Turn on .NET Framework 3.5 on Windows 8 and later, or build the program for .NET "
             "Framework 4."},
        {"browser-not-gui", Severity::Error,
         "The page browser is a console program: every time " + kStart + " starts it, on every "
             "supported system, a console window opens beside the pages.",
         "Link the page browser as a GUI program (subsystem 2: -mwindows, or /SUBSYSTEM:WINDOWS)."},
        {"control-register-export-missing", Severity::Error,
         "The control does not export DllRegisterServer, so the regsvr32 /s that " + kStart +
             " starts fails silently and the control is never registered, on every system.",
         "Export DllRegisterServer from the control under that plain name (a .def file does)."},
        {"control-unregister-export-missing", Severity::Warning,
         "The control does not export DllUnregisterServer, so where its class is already "
             "registered the regsvr32 /s /u that " + kStart + " starts first fails silently and "
             "the old registration stays until the new one overwrites it.",
         "Export DllUnregisterServer from the control under that plain name (a .def file does)."},
        {"prelaunch-tool-present", Severity::Note,
         kStart + " runs the pre-launch tool only when the disc's folder is writable (a copy on a "
             "hard disk, never pressed media); there the browser starts " + kSeconds + " s later, "
             "after every " + names::kPreLaunchTool + " process has been ended.",
         "Leave " + std::string(names::kPreLaunchTool) + " off the disc if copies should start "
             "the browser at once."},

        // The pages, by the language table.
        {"pages-folder-missing", Severity::Error,
         "There is no " + lang + " folder: on every supported system " + kStart + " starts the "
             "browser on a start page that is not there.",
         "Put " + std::string(names::kStartPage) + " in " + lang + english + " on the disc."},
        {"default-start-page-missing", Severity::Error,
         "The English start page is missing: on every system whose language has no folder of "
             "its own, or whose folder lacks its marker, " + kStart + " starts the browser on a "
             "page that is not there.",
         "Put " + std::string(names::kStartPage) + " in " + lang + english + "."},
        {"start-page-missing", Severity::Error,
         "This language folder has its marker but no start page: on the systems that choose it " +
             kStart + " starts the browser on a page that is not there (it falls back to " +
             english + " only when the marker is missing).",
         "Put " + std::string(names::kStartPage) + " in this folder, or remove its marker."},
        {"marker-missing", Severity::Warning,
         std::string("This language folder has no marker (") + names::kMarkerFile + "), so on "
             "the systems that choose it " + kStart + " silently opens the English pages (" +
             english + ") instead.",
         "Put " + std::string(names::kMarkerFile) + " in this folder (it may be empty)."},
        {"language-folder-unused", Severity::Note,
         "No system language makes " + kStart + " choose this folder: its pages are reached only "
             "through links from other pages.",
         "Rename it after a language of the launcher's table if systems of that language should "
         "open it; otherwise nothing needs doing."},
        {"language-folder-absent", Severity::Note,
         "The disc has no folder for this language: " + kStart + " opens the English pages (" +
             english + ") on the systems that choose it.",
         "Add this folder with its marker and start page if the disc should speak the language; "
         "otherwise nothing needs doing."},

        // What the pages link to, followed from the start pages.
        {"page-link-missing", Severity::Error,
         "A page links to a file that is not on the disc: on every system the browser shows an "
             "error page in place of the page, or the page without that image, script or style "
             "sheet.",
         "Add the file the link names to the disc, or correct the link."},
        {"page-link-outside-disc", Severity::Error,
         "A page links to a file outside the disc (above its root, on a drive named by its "
             "letter or on a server): on a user's machine the link leads to whatever is there, "
             "usually nothing.",
         "Put the file on the disc and correct the link to reach it there."},
        {"page-placeholder", Severity::Warning,
         "This page is still the placeholder that disckit init wrote: on the systems that open "
             "it, the browser shows a note to replace it instead of the disc's pages.",
         "Replace the page with the disc's own page."},
        {"page-too-large", Severity::Warning,
         "This page is larger than disckit reads (1 MiB, where pages on a disc take a few "
             "dozen KiB): its links were not checked.",
         "Make the page smaller, or split it into pages that link to each other."},
        {"page-too-deep", Severity::Warning,
         "This page nests its elements deeper than disckit reads (400 levels, where pages take "
             "a few dozen): its links were not checked.",
         "Close the page's elements where they end."},
        {"page-too-many-links", Severity::Warning,
         "This page has more links than disckit checks (10,000): only the first 10,000 were "
             "checked.",
         "Split the page into pages that link to each other."},
        {"pages-too-many", Severity::Warning,
         "The start pages reach more pages than disckit follows (2,000 pages or 4 MiB in all): "
             "from this page on, their links were not checked.",
         "Check the links of the pages from here on by hand, or link fewer pages from the start "
         "pages."},

        // Inserting the disc.
        {"autorun-missing", Severity::Warning,
         "There is no autorun.inf: inserting the pressed disc does not offer to run " + kStart +
             ", so users must find and open it themselves.",
         "Put an autorun.inf in the disc's root folder, and write open=" + kStart +
             " under its [autorun] line."},
        {"autorun-not-launcher", Severity::Error,
         "autorun.inf does not open " + kStart + ": inserting the disc runs something else, or "
             "nothing, on every system.",
         "Write open=" + kStart + " under the [autorun] line of autorun.inf."},
        {"autorun-icon-missing", Severity::Warning,
         "autorun.inf's icon= line names a file without an icon: AutoPlay and Explorer show the "
             "disc with a blank one.",
         "Name an .ico file, or a program with an icon, in the disc's root folder on the icon= "
         "line."},

        // What Windows shows of the disc's programs before they run.
        {"unsigned", Severity::Note,
         "This program has no signature: the elevation prompt before " + kStart + " runs names "
             "no publisher, on a yellow banner, and download and security checks distrust it.",
         "Sign the disc's programs, or build the disc with disckit build, which signs them."},
        {"signature-broken", Severity::Error,
         "The signature no longer matches the file, which changed after it was signed: Windows "
             "treats the program as tampered with, warns of an unknown publisher or refuses it.",
         "Sign the program again after its last change, or put the signed file back unchanged."},
        {"resource-tree-too-large", Severity::Warning,
         "This program's resource tree is larger than disckit reads (16,384 entries in one "
             "directory, 65,536 in all, 262,144 characters of names, where real programs have a "
             "few thousand resources): a tree shaped to be walked over and over. Its icon, "
             "version texts and signature were not checked.",
         "Rebuild the program's resources from an ordinary resource script."},
        {"launcher-version-missing", Severity::Note,
         kStart + " has no version resource: Explorer's details and the elevation prompt show "
             "nothing but its file name.",
         "Build the disc with disckit build, which gives " + kStart + " a version resource."},

        // What the pressed disc holds: folders and regular files, read where the image tool can.
        {"symbolic-link", Severity::Warning,
         "Image tools leave symbolic links out of the Joliet names that Windows reads, so the "
             "pressed disc lacks this entry: whatever asks for it there (" + kStart + ", the "
             "browser, a page) finds nothing, and where " + kStart + " needs it the finding for "
             "the missing file says what it does.",
         "Put the file or folder itself in place of the link."},
        {"special-file", Severity::Warning,
         "Image tools put no FIFO, socket or device file into the Joliet names that Windows "
             "reads, so the pressed disc lacks this entry: whatever asks for it there (" + kStart +
             ", the browser, a page) finds nothing, and where " + kStart + " needs it the finding "
             "for the missing file says what it does.",
         "Remove it from the disc's folder."},
        {"image-trees-disagree", Severity::Error,
         "The image's two trees of names disagree on this file: Windows reads the Joliet tree, "
             "while other systems and tools (an unpacking included) read the ISO 9660 tree with "
             "its Rock Ridge names, so they get other bytes or other files than Windows does, and "
             "no check or trial of one tree vouches for the other.",
         "Press the image again with one tool, from one folder, so that both trees record the "
             "same files."},
        {"folder-unreadable", Severity::Error,
         "disckit cannot read this folder, and nothing in it was checked; an image tool that "
             "cannot read it either leaves out what it holds or fails, and then the pages and "
             "files " + kStart + " and the browser look for in it are not on the pressed disc.",
         "Make the folder readable to disckit (its permissions), then check again."},

        // Names and lengths.
        {"name-case", Severity::Note,
         "The launcher's name for this file differs from it only in case: Windows, which folds "
             "case, finds it all the same; only tools that compare names exactly do not.",
         "Rename it to the launcher's spelling if tools that compare names exactly must find it."},
        {"name-case-clash", Severity::Warning,
         "Two names in this folder differ only in case: Windows, which folds case, reaches only "
             "one of them, and which one depends on the media.",
         "Rename or remove one of the two."},
        {"name-not-in-code-page", Severity::Warning,
         "This name cannot be written in the ANSI code page of some systems: there programs "
             "that use ANSI file calls (as " + kStart + " does) see other characters in its "
             "place and cannot open it.",
         "Rename it with ASCII letters, digits and punctuation only."},
        {"name-not-windows", Severity::Warning,
         "Windows cannot hold this name (a reserved device name, one of < > : \" | ? * \\ or a "
             "control character, or a trailing dot or blank), so no program reaches it on any "
             "system.",
         "Rename it to a name Windows can hold."},
        {"name-not-joliet", Severity::Warning,
         "An ISO image's Joliet names cannot hold this name (more than 64 UTF-16 units, or a "
             "';'): image tools shorten or change it, so on pressed media nothing that asks for "
             "it by this name finds it.",
         "Shorten the name to 64 characters at the most, without ';'."},
        {"path-too-long-joliet", Severity::Warning,
         "This path takes more than the 240 bytes a Joliet path may hold (two per UTF-16 unit "
             "and one per level): image tools leave it out of the Joliet names Windows reads, so "
             "it is missing from pressed media.",
         "Shorten the path: fewer or shorter folder and file names."},
        {"path-too-deep-iso9660", Severity::Warning,
         "This folder lies deeper than the 8 levels ISO 9660 allows: image tools move it "
             "elsewhere or write an image that breaks the standard, so where it ends up on "
             "pressed media depends on the tool.",
         "Move it up to 8 levels at the most below the disc's root."},
        {"path-too-long", Severity::Warning,
         "This path is longer than the 259 characters (MAX_PATH) that programs using ANSI file "
             "calls can open, even from the root of a drive, so a browser or setup program that "
             "uses them cannot open it on any system.",
         "Shorten the path to 259 characters at the most, counted from the drive's root."},
    };
    kinds.insert(kinds.end(), rest.begin(), rest.end());
    return kinds;
}

}  // namespace

const char* SeverityName(Severity severity) {
    switch (severity) {
        case Severity::Error: return "error";
        case Severity::Warning: return "warning";
        case Severity::Note: return "note";
    }
    return "note";
}

const std::vector<ImageRole>& ImageRoles() {
    static const std::vector<ImageRole> roles = BuildRoles();
    return roles;
}

std::string ImageFaultCode(const ImageRole& role, ImageFault fault) {
    const std::string prefix = role.code + "-";
    if (fault == ImageFault::Missing) return prefix + "missing";
    for (const FaultText& text : kFaultTexts) {
        if (text.fault != fault) continue;
        return prefix + (role.program ? text.programSuffix : text.librarySuffix);
    }
    return prefix + "unknown";
}

const std::vector<FindingKind>& FindingKinds() {
    static const std::vector<FindingKind> kinds = BuildKinds();
    return kinds;
}

const FindingKind& KindOf(const std::string& code) {
    for (const FindingKind& kind : FindingKinds()) {
        if (kind.code == code) return kind;
    }
    std::cerr << "disckit: internal error: no finding '" << code << "'\n";
    std::abort();
}

std::string Finding::Message() const {
    std::string text = kind->message;
    if (!detail.empty()) text += " " + detail;
    if (!kind->fix.empty()) text += " " + kind->fix;
    return text;
}

FindingCounts CountFindings(const std::vector<Finding>& findings) {
    FindingCounts counts;
    for (const Finding& finding : findings) {
        switch (finding.kind->severity) {
            case Severity::Error: ++counts.errors; break;
            case Severity::Warning: ++counts.warnings; break;
            case Severity::Note: ++counts.notes; break;
        }
    }
    return counts;
}

std::string CountsLine(const FindingCounts& counts) {
    auto counted = [](std::size_t count, const char* one, const char* many) {
        return std::to_string(count) + " " + (count == 1 ? one : many);
    };
    return counted(counts.errors, "error", "errors") + ", " +
           counted(counts.warnings, "warning", "warnings") + ", " +
           counted(counts.notes, "note", "notes");
}

Json FindingsJson(const std::vector<Finding>& findings) {
    Json list = Json::Array();
    for (const Finding& finding : findings) {
        Json& item = list.Push(Json::Object());
        item.Set("severity", SeverityName(finding.kind->severity));
        item.Set("code", finding.kind->code);
        item.Set("path", finding.path);
        item.Set("message", finding.Message());
        if (finding.line != 0) item.Set("line", static_cast<std::uint64_t>(finding.line));
    }
    return list;
}

bool ParseIgnore(const std::string& list, Quiet& quiet, std::string& error) {
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(',', start);
        if (end == std::string::npos) end = list.size();
        const std::string code = list.substr(start, end - start);
        const auto& kinds = FindingKinds();
        if (std::none_of(kinds.begin(), kinds.end(),
                         [&](const FindingKind& kind) { return kind.code == code; })) {
            error = "--ignore: no finding has the code '" + code + "'";
            return false;
        }
        quiet.ignored.insert(code);
        start = end + 1;
    }
    return true;
}

bool ParseMinSeverity(const std::string& name, Quiet& quiet, std::string& error) {
    for (Severity severity : {Severity::Error, Severity::Warning, Severity::Note}) {
        if (name == SeverityName(severity)) {
            quiet.least = severity;
            return true;
        }
    }
    error = "--min-severity takes note, warning or error, not '" + name + "'";
    return false;
}

std::size_t LeaveOut(const Quiet& quiet, std::vector<Finding>& findings) {
    // The folders of the languages served, as the launcher's table spells them, upper-cased.
    std::set<std::string> served;
    for (std::size_t i = 0; i < LanguageTableSize(); ++i) {
        const LanguageRow& row = LanguageTable()[i];
        if (std::find(quiet.served.begin(), quiet.served.end(), row.langId) != quiet.served.end())
            served.insert(UpperUtf8(WithoutBackslash(row.folder)));
    }
    const auto unserved = [&](const Finding& finding) {
        if (quiet.served.empty() || finding.kind->code != "language-folder-absent") return false;
        const std::string folder = finding.path.substr(finding.path.rfind('\\') + 1);
        return served.count(UpperUtf8(folder)) == 0;
    };
    findings.erase(std::remove_if(findings.begin(), findings.end(), unserved), findings.end());
    const std::size_t before = findings.size();
    findings.erase(std::remove_if(findings.begin(), findings.end(),
                                  [&](const Finding& finding) {
                                      return quiet.ignored.count(finding.kind->code) != 0 ||
                                             finding.kind->severity > quiet.least;
                                  }),
                   findings.end());
    return before - findings.size();
}
