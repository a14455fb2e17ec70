// disckit init DIR [--lang ID[,ID...]]: a new disc to start from.
#include "kit/init/Init.h"

#include <fstream>
#include <optional>
#include <ostream>
#include <set>
#include <system_error>

#include "app/LauncherApp.h"
#include "inspect/Language.h"
#include "kit/Help.h"
#include "kit/Verbs.h"
#include "kit/check/CheckFindings.h"
#include "kit/check/PageLinks.h"
#include "kit/common/Options.h"
#include "kit/common/Project.h"
#include "kit/common/RuntimeFiles.h"
#include "kit/common/Utf8.h"
#include "kit/disc/DiscTree.h"
#include "kit/windows/Autorun.h"
#include "kit/windows/Languages.h"
#include "kit/windows/WindowsText.h"


namespace fs = std::filesystem;

namespace {

constexpr const char* kLayoutFile = "LAYOUT.txt";

// Text files of the disc end their lines as Windows does.
std::string Crlf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

bool WriteNew(const fs::path& path, const std::string& bytes, std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) error = "cannot write " + PathToUtf8(path);
    return static_cast<bool>(out);
}

std::string Pad(const std::string& text, std::size_t width) {
    return text.size() >= width ? text + "  " : text + std::string(width - text.size(), ' ');
}

}  // namespace

std::vector<std::string> InitFolders(const std::vector<std::uint16_t>& langIds, bool all) {
    std::vector<std::string> folders = {WithoutBackslash(kDefaultLanguageFolder)};
    std::set<std::string> folded = {UpperUtf8(folders.front())};
    for (std::size_t i = 0; i < LanguageTableSize(); ++i) {
        const LanguageRow& row = LanguageTable()[i];
        bool wanted = all;
        for (std::uint16_t id : langIds) wanted |= id == row.langId;
        const std::string folder = WithoutBackslash(row.folder);
        if (wanted && folded.insert(UpperUtf8(folder)).second) folders.push_back(folder);
    }
    return folders;
}

std::string DiscLayoutText(const std::vector<std::string>& folders) {
    const std::string pages = WithoutBackslash(names::kPagesFolder);
    const std::string english = WithoutBackslash(kDefaultLanguageFolder);
    const std::string example = folders.size() > 1 ? folders[1] : english;
    const std::string page = "D:\\" + pages + "\\" + example + "\\" + names::kStartPage;
    std::string t;
    t += "What goes where on a disc of " + std::string(names::kLauncher) + "\n\n";
    t += "The folder " + std::string(kDefaultContent) +
         "\\ beside this file is the disc's root: it becomes D:\\ (or whatever drive) once\n"
         "pressed, as it is. Windows finds names whatever their case; keep them as written here\n"
         "all the same. This file and " + kProjectFile + " stay beside the disc, never on it.\n\n";
    t += Pad(names::kLauncher, 22) + "the launcher (here already): do not rename it\n";
    t += Pad(kAutorunFile, 22) + "opens " + names::kLauncher + " when the disc is inserted (here already)\n";
    for (const ImageRole& role : ImageRoles()) {
        for (const std::string& file : role.files) {
            if (file == names::kLauncher) continue;
            std::string what = role.noun + ", a 32-bit x86 Windows " +
                               (role.program ? "program" : "DLL");
            if (file == names::kBrowser) what += " with a GUI (not a console program)";
            if (file == names::kHtmlControl || file == names::kGaugeControl) {
                what += " exporting DllRegisterServer and DllUnregisterServer";
            }
            t += Pad(file, 22) + (role.optional ? "may add: " : "to add: ") + what + "\n";
        }
    }
    t += Pad(pages + "\\", 22) + "the pages, one folder per language:\n";
    for (const std::string& folder : folders) {
        std::vector<std::string> locales;
        for (std::size_t i = 0; i < LanguageTableSize(); ++i) {
            const LanguageRow& row = LanguageTable()[i];
            if (UpperUtf8(WithoutBackslash(row.folder)) != UpperUtf8(folder)) continue;
            const std::string name = LocaleNameFor(row.langId);
            locales.push_back(name.empty() ? FormatLangId(row.langId) : name);
        }
        std::string chosen;
        for (const std::string& l : locales) chosen += (chosen.empty() ? "" : " ") + l;
        if (folder == english) {
            chosen += std::string(chosen.empty() ? "" : " ") +
                      "and every language without a folder on the disc";
        }
        t += "  " + Pad(pages + "\\" + folder + "\\", 20) + chosen + "\n";
    }
    t += "\nIn each language folder:\n";
    t += "  " + Pad(names::kMarkerFile, 20) + "the marker: without it " + names::kLauncher +
         " opens the English pages\n" + std::string(24, ' ') + "(" + pages + "\\" + english +
         ") instead of the folder's own\n";
    t += "  " + Pad(names::kStartPage, 20) + "the start page: replace it with your own\n\n";
    t += "The browser's command line\n\n";
    t += std::string(names::kLauncher) + " starts " + pages + "\\<folder>\\" + names::kStartPage +
         " by starting the browser by its full path,\n"
         "D:\\" + names::kBrowser + ", with this command line (for " + example + "):\n\n";
    t += "    " + std::string(names::kBrowser) + " \"" + page + "\n\n";
    t += "The page's path opens with a double quote that is never closed: the browser must take\n"
         "everything after the quote as the page. It must then run as a process named\n" +
         std::string(names::kBrowserProcess) + ": " + names::kLauncher +
         " looks for it a second later and starts the browser\n"
         "again, once a second, until it sees it.\n\n";
    t += "disckit check, given this folder, lists what is still missing. The languages the disc\n"
         "serves are in " + std::string(kProjectFile) + " ([disc] languages): the folders of the others may stay\n"
         "absent. disckit build, given this folder, makes the finished disc as " +
         kProjectFile + " says.\n";
    return t;
}

bool LayOutDisc(const fs::path& root, const fs::path& launcher,
                const std::vector<std::string>& folders, std::string& error) {
    std::error_code ec;
    if (fs::exists(root, ec) && !(fs::is_directory(root, ec) && fs::is_empty(root, ec))) {
        error = PathToUtf8(root) + " is there already and not an empty folder";
        return false;
    }
    fs::create_directories(root, ec);
    if (ec) {
        error = "cannot make " + PathToUtf8(root) + ": " + ec.message();
        return false;
    }
    if (!fs::copy_file(launcher, root / names::kLauncher, ec) || ec) {
        error = "cannot copy " + PathToUtf8(launcher) + ": " + ec.message();
        return false;
    }
    if (!WriteNew(root / kAutorunFile, LauncherAutorun(std::string()), error)) return false;
    const fs::path pages = root / fs::u8path(WithoutBackslash(names::kPagesFolder));
    for (const std::string& folder : folders) {
        const fs::path dir = pages / fs::u8path(folder);
        fs::create_directories(dir, ec);
        if (ec) {
            error = "cannot make " + PathToUtf8(dir) + ": " + ec.message();
            return false;
        }
        const std::string marker = "var locale = \"" + folder + "\";\n";
        const std::string page =
            "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title>" + folder +
            "</title>\n<script src=\"" + names::kMarkerFile + "\"></script>\n</head>\n<body>\n"
            "<p>" + kInitPlaceholder + folder + ".</p>\n"
            "</body>\n</html>\n";
        if (!WriteNew(dir / names::kMarkerFile, Crlf(marker), error) ||
            !WriteNew(dir / names::kStartPage, Crlf(page), error)) {
            return false;
        }
    }
    return true;
}

namespace {

// The command line's values, where the rows put them.
struct InitValues {
    std::optional<std::string> langs;
};

const OptionRow kInitRows[] = {
    {"--lang", "ID[,ID...]",
     "The languages to make folders for (LANGIDs or locale names, comma-separated); the English "
     "folder is always made. Without it, every folder of the launcher's table is made.",
     ValueKind::Free, nullptr, nullptr, Into<&InitValues::langs>},
};

}  // namespace

extern const OptionTable kInitOptions = DISCKIT_OPTION_TABLE(kInitRows);

bool LayOutProject(const fs::path& dir, const fs::path& launcher,
                   const std::vector<std::string>& folders,
                   const std::vector<std::string>& languages, std::string& error) {
    std::error_code ec;
    if (fs::exists(dir, ec) && !(fs::is_directory(dir, ec) && fs::is_empty(dir, ec))) {
        error = PathToUtf8(dir) + " is there already and not an empty folder";
        return false;
    }
    fs::create_directories(dir, ec);
    if (ec) {
        error = "cannot make " + PathToUtf8(dir) + ": " + ec.message();
        return false;
    }
    return WriteNew(dir / kProjectFile, NewProjectFile(languages), error) &&
           WriteNew(dir / kLayoutFile, Crlf(DiscLayoutText(folders)), error) &&
           LayOutDisc(dir / kDefaultContent, launcher, folders, error);
}

int RunInit(const Args& args, std::ostream& out, std::ostream& err) {
    InitValues values;
    const std::optional<std::string>& langs = values.langs;
    std::string dir, error;
    if (!ParseVerbOptions(args, kInitOptions, &values, "project folder", dir, error)) {
        err << "disckit init: " << EscapeControls(error) << '\n' << VerbUsage("init");
        return kExitUsage;
    }
    std::vector<std::uint16_t> ids;
    std::vector<std::string> languages;  // as the project file names them
    if (langs) {
        std::size_t start = 0;
        while (start <= langs->size()) {
            std::size_t end = langs->find(',', start);
            if (end == std::string::npos) end = langs->size();
            const std::string one = langs->substr(start, end - start);
            std::uint16_t id = 0;
            if (!ParseLanguage(one, id)) {
                err << "disckit init: --lang needs LANGIDs (0x0407 or 1031) or locale names "
                       "(de-DE), separated by commas, not '"
                    << EscapeControls(one) << "'\n";
                return kExitUsage;
            }
            ids.push_back(id);
            const std::string name = LocaleNameFor(id);
            languages.push_back(name.empty() ? FormatLangId(id) : name);
            start = end + 1;
        }
    }
    // The stock launcher is one of disckit's run-time files, found as the trial finds its driver.
    std::string tried;
    const fs::path runtime = RuntimeDir(names::kLauncher, tried);
    if (runtime.empty()) {
        err << "disckit init: the stock " << names::kLauncher << " is missing (looked for in "
            << tried << ")\n";
        return kExitUsage;
    }
    const fs::path launcher = runtime / names::kLauncher;
    const std::vector<std::string> folders = InitFolders(ids, !langs);
    if (!LayOutProject(fs::u8path(dir), launcher, folders, languages, error)) {
        err << "disckit init: " << EscapeControls(error) << '\n';
        return kExitUsage;
    }
    out << EscapeControls(dir) << ": a new project: " << kProjectFile << ", " << kLayoutFile
        << " (what to add), and the disc in " << kDefaultContent << "/ with " << names::kLauncher
        << ", " << kAutorunFile << " and " << folders.size() << " language folder"
        << (folders.size() == 1 ? "" : "s") << "\n";
    return kExitClean;
}
