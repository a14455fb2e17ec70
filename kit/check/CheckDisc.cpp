#include "kit/check/CheckDisc.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "app/LauncherApp.h"
#include "inspect/Language.h"
#include "inspect/OsClassify.h"
#include "kit/check/Checker.h"
#include "kit/windows/CodePage.h"
#include "kit/windows/WindowsText.h"

namespace fs = std::filesystem;

namespace checkdisc {

namespace {

// The LANGIDs of the launcher's table, grouped by folder in table order.
std::vector<std::pair<std::string, std::vector<std::uint16_t>>> FoldersOfTable() {
    std::vector<std::pair<std::string, std::vector<std::uint16_t>>> folders;
    for (std::size_t i = 0; i < LanguageTableSize(); ++i) {
        const LanguageRow& row = LanguageTable()[i];
        auto it = std::find_if(folders.begin(), folders.end(),
                               [&](const auto& f) { return f.first == row.folder; });
        if (it == folders.end()) {
            folders.push_back({row.folder, {}});
            it = folders.end() - 1;
        }
        it->second.push_back(row.langId);
    }
    return folders;
}

}  // namespace

std::string Join(const std::string& dir, const std::string& name) {
    return dir.empty() ? name : dir + "\\" + name;
}

std::string JoinAll(const std::vector<std::string>& parts, const std::string& separator) {
    std::string out;
    for (const std::string& part : parts) out += (out.empty() ? "" : separator) + part;
    return out;
}

Checker::Checker(const DiscReader& reader, std::vector<Finding>& findings,
                 std::vector<ImageFacts>* images)
    : reader_(reader), root_(reader.Root()), findings_(findings), images_(images),
      folders_(FoldersOfTable()) {
    const std::string defaultFolder = kDefaultLanguageFolder;
    defaultFold_ = UpperUtf8(WithoutBackslash(defaultFolder));
    spellings_.insert(WithoutBackslash(defaultFolder));
    for (const auto& [folder, ids] : folders_) {
        spellings_.insert(WithoutBackslash(folder));
        for (std::uint16_t id : ids) {
            pagesOf_[UpperUtf8(WithoutBackslash(folder))].insert(AnsiCodePageForLangId(id));
        }
    }
    pagesOf_[defaultFold_].insert(AnsiCodePageForLangId(kUnlistedLangId));
    for (const auto& [fold, pages] : pagesOf_) allPages_.insert(pages.begin(), pages.end());
}

bool Checker::Run(std::string& error) {
    if (!reader_.ListRoot(rootEntries_, error)) {
        error = "cannot read the folder " + PathToUtf8(root_) + ": " + error;
        return false;
    }
    for (const DiscNote& note : reader_.Notes()) Add(note.code, note.path, note.detail);
    CheckImages();
    CheckAutorun();
    CheckLanguages();
    FollowPages();
    Walk(rootEntries_, {}, Reported());
    return true;
}

void Checker::Add(const std::string& code, const std::string& path, const std::string& detail,
                  std::size_t line) {
    if (!added_.insert(code + '\n' + path).second) return;
    findings_.emplace_back(code, path, detail);
    findings_.back().line = line;
}

bool Checker::ReadSmallFile(const DiscEntry& entry, std::string& bytes) {
    std::string problem;
    const std::unique_ptr<ByteSource> file = reader_.Open(entry, problem);
    if (!file || file->Size() > (64u << 20)) return false;
    bytes.assign(static_cast<std::size_t>(file->Size()), '\0');
    return bytes.empty() || file->Read(0, &bytes[0], bytes.size());
}

const DiscFolder& Checker::EntriesOf(const DiscEntry& folder) {
    const std::string key = PathToUtf8(folder.path);
    auto it = listed_.find(key);
    if (it == listed_.end()) {
        DiscFolder entries;
        std::string error;
        reader_.List(folder, entries, error);
        it = listed_.emplace(key, std::move(entries)).first;
    }
    return it->second;
}

void Checker::NoteCase(const std::string& path, const std::string& asked) {
    Add("name-case", path, names::kLauncher + std::string(" asks for \"") + asked + "\".");
}

}  // namespace checkdisc

bool CheckDisc(const fs::path& folder, std::vector<Finding>& findings, std::string& error,
               std::vector<ImageFacts>* images) {
    std::error_code ec;
    if (!fs::exists(folder, ec)) {
        error = "no such folder: " + PathToUtf8(folder);
        return false;
    }
    if (!fs::is_directory(folder, ec)) {
        error = "not a folder: " + PathToUtf8(folder);
        return false;
    }
    return CheckDisc(FolderReader(folder), findings, error, images);
}

bool CheckDisc(const DiscReader& disc, std::vector<Finding>& findings, std::string& error,
               std::vector<ImageFacts>* images) {
    checkdisc::Checker checker(disc, findings, images);
    return checker.Run(error);
}

std::string CannotRunOn(const ImageFacts& image, const SimSystem& system) {
    if (!image.present) return std::string();
    if (!image.unusable.empty()) return image.unusable;
    const bool windows64 = system.bits == 64 && system.platformId == kPlatformNt;
    if (image.x64 && !windows64) return "it is an x64 program, and this Windows is 32-bit";
    // The systems before Windows 7 carry no library that Windows 7 lacks.
    const SystemProfile* profile = FindSystemProfile(system.profile);
    const int release = profile ? profile->libraries : kLibrariesBefore7;
    const ReleaseSet here = 1u << (release == kLibrariesBefore7 ? kWindows7 : release);
    std::vector<std::string> missing;
    for (const auto& [lacking, text] : image.lacking) {
        if (lacking & here) missing.push_back(text);
    }
    if (missing.empty()) return std::string();
    return "its imports cannot be resolved here: " + checkdisc::JoinAll(missing, "; ");
}
