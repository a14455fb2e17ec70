// Every name and path of the disc: what Windows, the code pages and the image formats can hold.
#include "kit/check/Checker.h"

#include <algorithm>

#include "app/LauncherApp.h"
#include "inspect/Language.h"
#include "kit/common/Utf8.h"
#include "kit/windows/CodePage.h"
#include "kit/windows/WindowsText.h"

namespace checkdisc {

namespace {

// What Windows and the tools that make disc images can carry.
constexpr std::size_t kMaxPathChars = 259;  // MAX_PATH less the terminating NUL
constexpr std::size_t kJolietNameUnits = 64;
constexpr std::size_t kJolietPathBytes = 240;  // counted as image tools count: see JolietBytes
constexpr std::size_t kIso9660Levels = 8;      // the root is level 1
// The shortest place a disc's files can have on Windows: the root of a drive.
constexpr const char* kDriveRoot = "D:\\";
constexpr std::size_t kMaxWalkDepth = 256;

// Every ANSI code page of Windows holds ASCII as it is.
bool IsAscii(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::size_t NameUnits(const std::string& name) {
    std::u32string text;
    return DecodeUtf8(name, text) ? Utf16Length(text) : name.size();
}

// A Joliet path as image tools measure it: each level takes one byte and two per UTF-16 unit
// of its name (xorriso leaves out of the Joliet tree what passes 240).
std::size_t JolietBytes(const std::vector<std::string>& parts) {
    std::size_t bytes = 0;
    for (const std::string& part : parts) bytes += 1 + 2 * NameUnits(part);
    return bytes;
}

// Why Windows cannot hold the name; empty when it can.
std::string WindowsNameProblem(const std::string& name) {
    for (char c : name) {
        if (static_cast<unsigned char>(c) < 0x20) return "It holds a control character.";
        if (std::string("<>:\"|?*\\/").find(c) != std::string::npos) {
            return std::string("It holds a '") + c + "'.";
        }
    }
    if (!name.empty() && (name.back() == '.' || name.back() == ' ')) {
        return "It ends with a dot or a blank, which Windows drops.";
    }
    std::string base = UpperUtf8(name.substr(0, name.find('.')));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    static const std::set<std::string> kDevices = {
        "CON",  "PRN",  "AUX",  "NUL",  "COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7",
        "COM8", "COM9", "LPT1", "LPT2", "LPT3", "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9"};
    if (kDevices.count(base)) return "\"" + base + "\" names a device on Windows.";
    return std::string();
}

}  // namespace

std::set<int> Checker::PagesFor(const std::vector<std::string>& parts) const {
    if (parts.size() >= 3 &&
        UpperUtf8(parts[0]) == UpperUtf8(WithoutBackslash(names::kPagesFolder))) {
        const std::string fold = UpperUtf8(parts[1]);
        const auto it = pagesOf_.find(fold);
        if (it != pagesOf_.end() && fold != defaultFold_) return it->second;
    }
    return allPages_;
}

std::string Checker::PageLabel(int page) const {
    std::vector<std::string> folders;
    for (const auto& [folder, ids] : folders_) {
        for (std::uint16_t id : ids) {
            if (AnsiCodePageForLangId(id) == page) {
                folders.push_back(folder);
                break;
            }
        }
    }
    if (AnsiCodePageForLangId(kUnlistedLangId) == page) {
        folders.push_back(kDefaultLanguageFolder);
    }
    return std::to_string(page) + " (" + JoinAll(folders, " ") + ")";
}

void Checker::CheckName(const DiscEntry& entry, const std::vector<std::string>& parts,
                        const std::string& path) {
    if (!entry.validName) {
        Add("name-not-windows", path,
            "Its name is not UTF-8, so what Windows would call it is unknown.");
        return;
    }
    const std::string problem = WindowsNameProblem(entry.name);
    if (!problem.empty()) Add("name-not-windows", path, problem);
    const std::size_t units = NameUnits(entry.name);
    if (units > kJolietNameUnits) {
        Add("name-not-joliet", path, "It has " + std::to_string(units) + " UTF-16 units.");
    } else if (entry.name.find(';') != std::string::npos) {
        Add("name-not-joliet", path, "It holds a ';'.");
    }
    if (IsAscii(entry.name)) return;
    std::vector<std::string> failing;
    for (int page : PagesFor(parts)) {
        std::string ansi;
        if (!Utf8ToAnsiExact(page, entry.name, ansi)) failing.push_back(PageLabel(page));
    }
    if (!failing.empty()) {
        Add("name-not-in-code-page", path,
            std::string(failing.size() == 1 ? "Code page " : "Code pages ") +
                JoinAll(failing, ", ") + " cannot hold it.");
    }
}

std::string Checker::PathLengthProblem(const std::vector<std::string>& parts) const {
    const std::string full = kDriveRoot + JoinAll(parts, "\\");
    const std::size_t units = NameUnits(full);
    if (units > kMaxPathChars) {
        return "As " + std::string(kDriveRoot) + "... it has " + std::to_string(units) +
               " characters.";
    }
    for (int page : IsAscii(full) ? std::set<int>() : PagesFor(parts)) {
        std::string ansi;
        if (Utf8ToAnsiExact(page, full, ansi) && ansi.size() > kMaxPathChars) {
            return "As " + std::string(kDriveRoot) + "... it takes " +
                   std::to_string(ansi.size()) + " bytes in code page " +
                   std::to_string(page) + ".";
        }
    }
    return std::string();
}

void Checker::Walk(const DiscFolder& folder, const std::vector<std::string>& parents,
                   Reported reported) {
    const std::string here = JoinAll(parents, "\\");
    std::map<std::string, std::vector<const DiscEntry*>> byFold;
    for (const DiscEntry& entry : folder.Entries()) {
        if (entry.Pressed()) byFold[UpperUtf8(entry.name)].push_back(&entry);
    }
    for (const DiscEntry& entry : folder.Entries()) {
        if (!entry.Pressed()) continue;
        const auto& same = byFold[UpperUtf8(entry.name)];
        if (same.size() > 1 && same.front() == &entry) {
            std::vector<std::string> others;
            for (std::size_t i = 1; i < same.size(); ++i) {
                others.push_back("\"" + same[i]->name + "\"");
            }
            Add("name-case-clash", Join(here, entry.name),
                "Also here: " + JoinAll(others, ", ") + ".");
        }
    }
    for (const DiscEntry& entry : folder.Entries()) {
        std::vector<std::string> parts = parents;
        parts.push_back(entry.name);
        const std::string path = Join(here, entry.name);
        if (!entry.Pressed()) {
            // Not on the pressed disc: neither its name nor its length matters there.
            if (entry.type == EntryType::Symlink) {
                Add("symbolic-link", path);
            } else {
                Add("special-file", path,
                    std::string("It is ") + EntryTypeName(entry.type) + ".");
            }
            continue;
        }
        CheckName(entry, parts, path);

        Reported below = reported;
        if (!reported.maxPath) {
            const std::string problem = PathLengthProblem(parts);
            if (!problem.empty()) {
                Add("path-too-long", path, problem);
                below.maxPath = true;
            }
        }
        const std::size_t joliet = JolietBytes(parts);
        if (!reported.joliet && joliet > kJolietPathBytes) {
            Add("path-too-long-joliet", path, "It takes " + std::to_string(joliet) + " bytes.");
            below.joliet = true;
        }
        // A folder's level counts the root as 1.
        if (!reported.depth && entry.isDirectory && parts.size() + 1 > kIso9660Levels) {
            Add("path-too-deep-iso9660", path,
                "It is on level " + std::to_string(parts.size() + 1) +
                    ", the disc's root on level 1.");
            below.depth = true;
        }
        if (!entry.isDirectory) continue;
        if (parts.size() >= kMaxWalkDepth) {
            Add("folder-unreadable", path,
                "It lies more than " + std::to_string(kMaxWalkDepth) +
                    " levels deep, deeper than disckit reads.");
            continue;
        }
        // One unreadable folder costs what it holds, not the rest of the check.
        DiscFolder children;
        std::string error;
        if (!reader_.List(entry, children, error)) {
            Add("folder-unreadable", path, "Reading it fails: " + error + ".");
            continue;
        }
        Walk(children, parts, below);
    }
}

}  // namespace checkdisc
