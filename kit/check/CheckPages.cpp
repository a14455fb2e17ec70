// The language folders and their pages, as the launcher chooses among them.
#include "kit/check/Checker.h"

#include "app/LauncherApp.h"
#include "inspect/Language.h"
#include "kit/windows/Languages.h"
#include "kit/windows/WindowsText.h"

namespace checkdisc {

namespace {

std::string ChosenBy(const std::vector<std::uint16_t>& ids) {
    std::vector<std::string> hex;
    for (std::uint16_t id : ids) hex.push_back(FormatLangId(id));
    return std::string(ids.size() == 1 ? "LANGID " : "LANGIDs ") + JoinAll(hex, ", ") +
           (ids.size() == 1 ? " chooses it." : " choose it.");
}

}  // namespace

void Checker::CheckLanguages() {
    const std::string pagesName = WithoutBackslash(names::kPagesFolder);
    const Lookup pages = rootEntries_.Find(pagesName);
    if (pages.match == Match::Missing || !pages.entry->isDirectory) {
        Add("pages-folder-missing", pagesName);
        return;
    }
    if (pages.match == Match::CaseOnly) NoteCase(pages.entry->name, pagesName);
    const DiscFolder& languages = EntriesOf(*pages.entry);
    const std::string pagesPath = pages.entry->name;

    const auto folderOf = [&](const std::string& folder) -> Lookup {
        const Lookup found = languages.Find(WithoutBackslash(folder));
        return found.entry && found.entry->isDirectory ? found : Lookup();
    };
    const auto fileIn = [&](const Lookup& folder, const std::string& name) -> Lookup {
        if (!folder.entry) return Lookup();
        return EntriesOf(*folder.entry).Find(name);
    };
    const auto hasMarker = [&](const char* folder) {
        const Lookup marker = fileIn(folderOf(folder), names::kMarkerFile);
        return marker.entry != nullptr && marker.entry->isFile;
    };
    // A folder reached under another case; the table's other spelling of the same folder
    // ("ENG\" and "Eng\") is no surprise.
    const auto noteCase = [&](const Lookup& found, const std::string& asked) {
        if (found.match == Match::CaseOnly && !spellings_.count(found.entry->name)) {
            NoteCase(Join(pagesPath, found.entry->name), Join(pagesName, asked) + "\\");
        }
    };
    const auto checkPage = [&](const Lookup& folder, const std::string& folderName,
                               const char* code, const std::string& detail) {
        const Lookup page = fileIn(folder, names::kStartPage);
        const std::string dir = Join(pagesPath, folder.entry ? folder.entry->name : folderName);
        if (page.match == Match::Missing || !page.entry->isFile) {
            Add(code, Join(dir, names::kStartPage),
                detail + (page.entry ? " A folder of that name is there instead." : ""));
        } else {
            if (page.match == Match::CaseOnly) NoteCase(Join(dir, page.entry->name), names::kStartPage);
            startPages_.push_back({pagesPath, folder.entry->name, page.entry->name});
        }
    };

    for (const auto& [folder, ids] : folders_) {
        const std::string name = WithoutBackslash(folder);
        const Lookup dir = folderOf(folder);
        const bool sharesDefault = UpperUtf8(name) == defaultFold_;
        const std::string chosen = SelectLanguageFolder(ids.front(), hasMarker);
        if (chosen != folder) {
            // The marker is missing: these systems get the default folder's pages. Where
            // the folder is the default one under another spelling, nothing changes.
            if (sharesDefault) continue;
            if (!dir.entry) {
                Add("language-folder-absent", Join(pagesPath, name), ChosenBy(ids));
            } else {
                Add("marker-missing",
                    Join(Join(pagesPath, dir.entry->name), names::kMarkerFile), ChosenBy(ids));
            }
            continue;
        }
        noteCase(dir, name);
        const Lookup marker = fileIn(dir, names::kMarkerFile);
        if (marker.match == Match::CaseOnly) {
            NoteCase(Join(Join(pagesPath, dir.entry->name), marker.entry->name),
                     names::kMarkerFile);
        }
        if (!sharesDefault) checkPage(dir, name, "start-page-missing", ChosenBy(ids));
    }

    std::set<std::string> chosen;
    for (const std::string& spelling : spellings_) chosen.insert(UpperUtf8(spelling));
    for (const DiscEntry& entry : languages.Entries()) {
        if (entry.isDirectory && !chosen.count(UpperUtf8(entry.name))) {
            Add("language-folder-unused", Join(pagesPath, entry.name));
        }
    }

    // Every language without a folder of its own, and every fallback, ends here.
    const std::string fallback = SelectLanguageFolder(kUnlistedLangId, hasMarker);
    const Lookup dir = folderOf(fallback);
    noteCase(dir, WithoutBackslash(fallback));
    checkPage(dir, WithoutBackslash(fallback), "default-start-page-missing", "");
}

}  // namespace checkdisc
