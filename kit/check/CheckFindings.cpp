#include "kit/check/CheckFindings.h"

#include <cstdlib>
#include <iostream>

#include "app/LauncherApp.h"
#include "inspect/Language.h"

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

// Placeholders: {so} the role's consequence, {noun} what the role is, {start} the launcher.
struct FaultText {
    ImageFault fault;
    const char* programSuffix;
    const char* librarySuffix;
    const char* programText;
    const char* libraryText;
};

const FaultText kFaultTexts[] = {
    {ImageFault::Invalid, "invalid", "invalid",
     "Not a Windows program image, or a damaged one: Windows cannot start it on any system, so "
     "{so}.",
     "Not a Windows library image, or a damaged one: Windows cannot load it on any system, so "
     "{so}."},
    {ImageFault::NotX86_32, "not-x86-32", "not-x86-32",
     "Not a 32-bit x86 program: 32-bit Windows cannot start it (64-bit Windows starts it only if "
     "it is an x64 one), so there {so}.",
     "Not a 32-bit x86 library: it never loads into a 32-bit process such as {start} or the "
     "32-bit regsvr32, so on every system {so}."},
    {ImageFault::WrongKind, "not-exe", "not-dll",
     "Not a Windows program (a DLL, a driver or an image for another subsystem): Windows refuses "
     "to start it, so on every system {so}.",
     "Marked as a program, not a DLL: a program image loaded as a library is never initialised "
     "(and does not load at all unless it can be relocated), so it cannot serve as {noun}."},
    {ImageFault::ImportUnresolved, "import-unresolved", "import-unresolved",
     "It needs libraries or functions that the disc (beside it) does not provide and no "
     "supported Windows has in full: Windows refuses to start it on every system, so {so}.",
     "It needs libraries or functions that the disc (beside it) does not provide and no "
     "supported Windows has in full: Windows refuses to load it on every system, so {so}."},
    // Some systems can run it: a warning, whatever the role.
    {ImageFault::ImportNotEverywhere, "import-not-everywhere", "import-not-everywhere",
     "It needs a library, or a function of one, that some supported systems lack and the disc "
     "(beside it) does not provide: on those systems Windows refuses to start it, and {so}.",
     "It needs a library, or a function of one, that some supported systems lack and the disc "
     "(beside it) does not provide: on those systems Windows refuses to load it, and {so}."},
};

std::string Expand(std::string text, const ImageRole& role) {
    const std::pair<std::string, std::string> slots[] = {
        {"{so}", role.consequence}, {"{noun}", role.noun}, {"{start}", kStart}};
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
             "nothing and the setup program is pointed at a missing launcher."},
        {"browser-missing", Severity::Error,
         "Without the page browser " + kStart + " tries to start it once a second, forever, "
             "elevated and invisible, on every supported system."},
        {"setup-program-missing", Severity::Error,
         "Without the setup program " + kStart + " copies nothing into the Windows directory but "
             "still writes " + names::kSettingsFile + " there, on every supported system."},
        {"probe-library-missing", Severity::Error,
         "Without the probe library every run of " + kStart + " shows " +
             Quoted(texts::kLoadLibraryFail) + ", on every system."},
        {"control-missing", Severity::Error,
         "Without this control the regsvr32 /s that " + kStart + " starts fails silently and the "
             "control is never registered, on every system."},
    };
    for (const ImageRole& role : ImageRoles()) {
        for (const FaultText& text : kFaultTexts) {
            const bool warning = role.optional || text.fault == ImageFault::ImportNotEverywhere;
            kinds.push_back({ImageFaultCode(role, text.fault),
                             warning ? Severity::Warning : Severity::Error,
                             Expand(role.program ? text.programText : text.libraryText, role)});
        }
    }
    const std::vector<FindingKind> rest = {
        {"browser-not-gui", Severity::Error,
         "The page browser is a console program: every time " + kStart + " starts it, on every "
             "supported system, a console window opens beside the pages."},
        {"control-register-export-missing", Severity::Error,
         "The control does not export DllRegisterServer, so the regsvr32 /s that " + kStart +
             " starts fails silently and the control is never registered, on every system."},
        {"control-unregister-export-missing", Severity::Warning,
         "The control does not export DllUnregisterServer, so where its class is already "
             "registered the regsvr32 /s /u that " + kStart + " starts first fails silently and "
             "the old registration stays until the new one overwrites it."},
        {"prelaunch-tool-present", Severity::Note,
         kStart + " runs the pre-launch tool only when the disc's folder is writable (a copy on a "
             "hard disk, never pressed media); there the browser starts " + kSeconds + " s later, "
             "after every " + names::kPreLaunchTool + " process has been ended."},

        // The pages, by the language table.
        {"pages-folder-missing", Severity::Error,
         "There is no " + lang + " folder: on every supported system " + kStart + " starts the "
             "browser on a start page that is not there."},
        {"default-start-page-missing", Severity::Error,
         "The English start page is missing: on every system whose language has no folder of "
             "its own, or whose folder lacks its marker, " + kStart + " starts the browser on a "
             "page that is not there."},
        {"start-page-missing", Severity::Error,
         "This language folder has its marker but no start page: on the systems that choose it " +
             kStart + " starts the browser on a page that is not there (it falls back to " +
             english + " only when the marker is missing)."},
        {"marker-missing", Severity::Warning,
         std::string("This language folder has no marker (") + names::kMarkerFile + "), so on "
             "the systems that choose it " + kStart + " silently opens the English pages (" +
             english + ") instead."},
        {"language-folder-unused", Severity::Note,
         "No system language makes " + kStart + " choose this folder: its pages are reached only "
             "through links from other pages."},
        {"language-folder-absent", Severity::Note,
         "The disc has no folder for this language: " + kStart + " opens the English pages (" +
             english + ") on the systems that choose it."},

        // Inserting the disc.
        {"autorun-missing", Severity::Warning,
         "There is no autorun.inf: inserting the pressed disc does not offer to run " + kStart +
             ", so users must find and open it themselves."},
        {"autorun-not-launcher", Severity::Error,
         "autorun.inf does not open " + kStart + ": inserting the disc runs something else, or "
             "nothing, on every system."},
        {"autorun-icon-missing", Severity::Warning,
         "autorun.inf's icon= line names a file without an icon: AutoPlay and Explorer show the "
             "disc with a blank one."},

        // What Windows shows of the disc's programs before they run.
        {"unsigned", Severity::Note,
         "This program has no signature: the elevation prompt before " + kStart + " runs names "
             "no publisher, on a yellow banner, and download and security checks distrust it "
             "(disckit build signs it)."},
        {"signature-broken", Severity::Error,
         "The signature no longer matches the file, which changed after it was signed: Windows "
             "treats the program as tampered with, warns of an unknown publisher or refuses it."},
        {"resource-tree-too-large", Severity::Warning,
         "This program's resource tree is larger than disckit reads (16,384 entries in one "
             "directory, 65,536 in all, 262,144 characters of names, where real programs have a "
             "few thousand resources): a tree shaped to be walked over and over. Its icon, "
             "version texts and signature were not checked."},
        {"launcher-version-missing", Severity::Note,
         kStart + " has no version resource: Explorer's details and the elevation prompt show "
             "nothing but its file name (disckit build gives it one)."},

        // What the pressed disc holds: folders and regular files, read where the image tool can.
        {"symbolic-link", Severity::Warning,
         "Image tools leave symbolic links out of the Joliet names that Windows reads, so the "
             "pressed disc lacks this entry: whatever asks for it there (" + kStart + ", the "
             "browser, a page) finds nothing, and where " + kStart + " needs it the finding for "
             "the missing file says what it does."},
        {"special-file", Severity::Warning,
         "Image tools put no FIFO, socket or device file into the Joliet names that Windows "
             "reads, so the pressed disc lacks this entry: whatever asks for it there (" + kStart +
             ", the browser, a page) finds nothing, and where " + kStart + " needs it the finding "
             "for the missing file says what it does."},
        {"image-trees-disagree", Severity::Error,
         "The image's two trees of names disagree on this file: Windows reads the Joliet tree, "
             "while other systems and tools (an unpacking included) read the ISO 9660 tree with "
             "its Rock Ridge names, so they get other bytes or other files than Windows does, and "
             "no check or trial of one tree vouches for the other. Press the image again with "
             "one tool, from one folder, so that both trees record the same files."},
        {"folder-unreadable", Severity::Error,
         "disckit cannot read this folder, and nothing in it was checked; an image tool that "
             "cannot read it either leaves out what it holds or fails, and then the pages and "
             "files " + kStart + " and the browser look for in it are not on the pressed disc."},

        // Names and lengths.
        {"name-case", Severity::Note,
         "The launcher's name for this file differs from it only in case: Windows, which folds "
             "case, finds it all the same; only tools that compare names exactly do not."},
        {"name-case-clash", Severity::Warning,
         "Two names in this folder differ only in case: Windows, which folds case, reaches only "
             "one of them, and which one depends on the media."},
        {"name-not-in-code-page", Severity::Warning,
         "This name cannot be written in the ANSI code page of some systems: there programs "
             "that use ANSI file calls (as " + kStart + " does) see other characters in its "
             "place and cannot open it."},
        {"name-not-windows", Severity::Warning,
         "Windows cannot hold this name (a reserved device name, one of < > : \" | ? * \\ or a "
             "control character, or a trailing dot or blank), so no program reaches it on any "
             "system."},
        {"name-not-joliet", Severity::Warning,
         "An ISO image's Joliet names cannot hold this name (more than 64 UTF-16 units, or a "
             "';'): image tools shorten or change it, so on pressed media nothing that asks for "
             "it by this name finds it."},
        {"path-too-long-joliet", Severity::Warning,
         "This path takes more than the 240 bytes a Joliet path may hold (two per UTF-16 unit "
             "and one per level): image tools leave it out of the Joliet names Windows reads, so "
             "it is missing from pressed media."},
        {"path-too-deep-iso9660", Severity::Warning,
         "This folder lies deeper than the 8 levels ISO 9660 allows: image tools move it "
             "elsewhere or write an image that breaks the standard, so where it ends up on "
             "pressed media depends on the tool."},
        {"path-too-long", Severity::Warning,
         "This path is longer than the 259 characters (MAX_PATH) that programs using ANSI file "
             "calls can open, even from the root of a drive, so a browser or setup program that "
             "uses them cannot open it on any system."},
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
    return detail.empty() ? kind->message : kind->message + " " + detail;
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
