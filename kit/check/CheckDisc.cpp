#include "kit/check/CheckDisc.h"

#include <algorithm>
#include <map>
#include <set>
#include <utility>

#include "app/LauncherApp.h"
#include "inspect/Language.h"
#include "inspect/OsClassify.h"
#include "kit/check/CheckIdentity.h"
#include "kit/check/CheckSystemDlls.h"
#include "kit/windows/CodePage.h"
#include "kit/disc/DiscReader.h"
#include "kit/disc/DiscTree.h"
#include "kit/disc/PeImage.h"
#include "kit/disc/PeResources.h"
#include "kit/windows/WindowsText.h"

namespace fs = std::filesystem;

namespace {

// What Windows and the tools that make disc images can carry.
constexpr std::size_t kMaxPathChars = 259;  // MAX_PATH less the terminating NUL
constexpr std::size_t kJolietNameUnits = 64;
constexpr std::size_t kJolietPathBytes = 240;  // counted as image tools count: see JolietBytes
constexpr std::size_t kIso9660Levels = 8;      // the root is level 1
// The shortest place a disc's files can have on Windows: the root of a drive.
constexpr const char* kDriveRoot = "D:\\";
constexpr const char* kAutorunFile = "autorun.inf";
constexpr std::size_t kAutorunMaxBytes = 64 * 1024;
constexpr std::size_t kMaxWalkDepth = 256;
// English (United States): a language without a folder of its own.
constexpr std::uint16_t kUnlistedLangId = 0x0409;


constexpr const char* kRegisterEntry = "DllRegisterServer";
constexpr const char* kUnregisterEntry = "DllUnregisterServer";

std::string WithoutBackslash(const std::string& folder) {
    return !folder.empty() && folder.back() == '\\' ? folder.substr(0, folder.size() - 1) : folder;
}

std::string Join(const std::string& dir, const std::string& name) {
    return dir.empty() ? name : dir + "\\" + name;
}

std::string JoinAll(const std::vector<std::string>& parts, const std::string& separator) {
    std::string out;
    for (const std::string& part : parts) out += (out.empty() ? "" : separator) + part;
    return out;
}

std::string Capitalised(std::string text) {
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') {
        text[0] = static_cast<char>(text[0] - 0x20);
    }
    return text;
}

std::string Hex4(std::uint16_t value) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out = "0x";
    for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(value >> shift) & 0xF];
    return out;
}

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

std::string ChosenBy(const std::vector<std::uint16_t>& ids) {
    std::vector<std::string> hex;
    for (std::uint16_t id : ids) hex.push_back(Hex4(id));
    return std::string(ids.size() == 1 ? "LANGID " : "LANGIDs ") + JoinAll(hex, ", ") +
           (ids.size() == 1 ? " chooses it." : " choose it.");
}

class Checker {
public:
    Checker(const DiscReader& reader, std::vector<Finding>& findings,
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

    bool Run(std::string& error) {
        if (!reader_.ListRoot(rootEntries_, error)) {
            error = "cannot read the folder " + PathToUtf8(root_) + ": " + error;
            return false;
        }
        CheckImages();
        CheckAutorun();
        CheckLanguages();
        Walk(rootEntries_, {}, Reported());
        return true;
    }

private:
    struct Reported {
        bool maxPath = false;
        bool joliet = false;
        bool depth = false;
    };

    void Add(const std::string& code, const std::string& path, const std::string& detail = "") {
        if (!added_.insert(code + '\n' + path).second) return;
        findings_.emplace_back(code, path, detail);
    }

    // --- The launcher's programs and libraries ------------------------------------------------

    void CheckImages() {
        for (const ImageRole& role : ImageRoles()) {
            for (const std::string& file : role.files) {
                ImageFacts facts;
                facts.file = file;
                facts.program = role.program;
                const Lookup found = rootEntries_.Find(file);
                if (found.match == Match::Missing || !found.entry->isFile) {
                    if (!role.optional) {
                        Add(ImageFaultCode(role, ImageFault::Missing), file,
                            found.entry ? "A folder of that name is there instead." : "");
                    }
                    if (images_) images_->push_back(facts);
                    continue;
                }
                facts.present = true;
                if (found.match == Match::CaseOnly) NoteCase(found.entry->name, file);
                if (file == names::kPreLaunchTool) Add("prelaunch-tool-present", found.entry->name);
                // What Windows shows of a program matters once it can run at all.
                const std::size_t before = findings_.size();
                CheckImage(role, file, *found.entry, facts);
                if (images_) images_->push_back(facts);
                if (findings_.size() == before) CheckIdentity(file, *found.entry);
            }
        }
        if (!unsigned_.empty()) {
            const std::vector<std::string> others(unsigned_.begin() + 1, unsigned_.end());
            Add("unsigned", unsigned_.front(),
                others.empty() ? "" : "Nor have " + JoinAll(others, ", ") + ".");
        }
    }

    // What Windows shows of the program before it runs: its signature, its version texts.
    void CheckIdentity(const std::string& file, const DiscEntry& entry) {
        std::string bytes;
        ImageIdentity identity;
        if (!ReadSmallFile(entry, bytes) || !ReadImageIdentity(bytes, identity)) return;
        if (!identity.hasSignature) unsigned_.push_back(entry.name);
        if (!identity.signatureMatches) Add("signature-broken", entry.name);
        if (file == names::kLauncher && !identity.hasVersion) {
            Add("launcher-version-missing", entry.name);
        }
    }

    // A whole file of the disc, when it is no larger than a program of a disc is; read through
    // the disc's one reader, as every file of the disc is.
    bool ReadSmallFile(const DiscEntry& entry, std::string& bytes) {
        std::string problem;
        const std::unique_ptr<ByteSource> file = reader_.Open(entry, problem);
        if (!file || file->Size() > (64u << 20)) return false;
        bytes.assign(static_cast<std::size_t>(file->Size()), '\0');
        return bytes.empty() || file->Read(0, &bytes[0], bytes.size());
    }

    void CheckImage(const ImageRole& role, const std::string& file, const DiscEntry& entry,
                    ImageFacts& facts) {
        const std::string& path = entry.name;
        std::string problem;
        const std::unique_ptr<ByteSource> bytes = reader_.Open(entry, problem);
        PeImage image;
        if (!bytes) {
            Add(ImageFaultCode(role, ImageFault::Invalid), path, "disckit cannot read it.");
            facts.unusable = "disckit cannot read it";
            return;
        }
        if (!ReadPeImage(*bytes, image, problem)) {
            Add(ImageFaultCode(role, ImageFault::Invalid), path, Capitalised(problem) + ".");
            facts.unusable = "it is no valid image: " + problem;
            return;
        }
        if (!image.IsX86_32()) {
            const std::string machine = MachineName(image.machine, image.pe32Plus);
            Add(ImageFaultCode(role, ImageFault::NotX86_32), path,
                "It is built for " + machine + ".");
            // An x64 program still starts on 64-bit Windows; nothing else starts anywhere.
            facts.x64 = image.machine == kMachineAmd64 && image.pe32Plus;
            if (!facts.x64 || !role.program) facts.unusable = "it is built for " + machine;
            return;
        }
        const bool gui = image.subsystem == kSubsystemWindowsGui;
        const bool console = image.subsystem == kSubsystemWindowsConsole;
        if (role.program && (image.IsDll() || !(gui || console))) {
            Add(ImageFaultCode(role, ImageFault::WrongKind), path,
                image.IsDll() ? "It is a DLL."
                              : "Its subsystem is " + std::to_string(image.subsystem) +
                                    "; Windows programs have 2 (GUI) or 3 (console).");
            facts.unusable = image.IsDll() ? "it is a DLL" : "it is no Windows program";
            return;
        }
        if (!role.program && !image.IsDll()) {
            Add(ImageFaultCode(role, ImageFault::WrongKind), path);
            facts.unusable = "it is a program, not a DLL";
            return;
        }
        facts.console = console;
        if (file == names::kBrowser && console) Add("browser-not-gui", path);
        if (file == names::kHtmlControl || file == names::kGaugeControl) {
            facts.registers = image.Exports(kRegisterEntry);
            CheckControl(image, path);
        }

        std::set<std::string> visited = {UpperUtf8(entry.name)};
        const std::vector<ImportProblem> problems = Unresolved(image, visited);
        if (problems.empty()) return;
        ReleaseSet lacking = 0, lackingAtAll = 0;
        std::vector<std::string> texts;
        for (const ImportProblem& each : problems) {
            facts.lacking.push_back({each.lacking, each.text});
            lacking |= each.lacking;
            lackingAtAll |= each.lacking & ~each.unlessUpdated;
            texts.push_back(each.text);
        }
        // An error only where no system can run it, even with its updates.
        if (lackingAtAll == kEveryRelease) {
            Add(ImageFaultCode(role, ImageFault::ImportUnresolved), path,
                "Unresolved: " + JoinAll(texts, "; ") + ".");
        } else {
            Add(ImageFaultCode(role, ImageFault::ImportNotEverywhere), path,
                "It concerns " + ReleaseNames(lacking) + ": " + JoinAll(texts, "; ") + ".");
        }
    }

    void CheckControl(const PeImage& image, const std::string& path) {
        for (const std::string entry : {kRegisterEntry, kUnregisterEntry}) {
            if (image.Exports(entry)) continue;
            std::string detail;
            if (!image.exportProblem.empty()) {
                detail = Capitalised(image.exportProblem) + ".";
            } else {
                // A __stdcall entry point exported under its decorated name, as linkers do
                // unless told otherwise: regsvr32 looks for the plain name only.
                for (const std::string& name : image.exportNames) {
                    if (name.rfind(entry + "@", 0) == 0 || name.rfind("_" + entry + "@", 0) == 0) {
                        detail = "It exports " + name +
                                 " instead, a decorated name that regsvr32 does not look for.";
                    }
                }
            }
            Add(entry == kRegisterEntry ? "control-register-export-missing"
                                        : "control-unregister-export-missing",
                path, detail);
        }
    }

    struct Library {
        bool opened = false;
        PeImage image;
        std::string problem;  // why it is no image at all
    };

    // A library of the disc, read once however many images and import entries name it.
    const Library& LibraryOf(const DiscEntry& entry) {
        auto [it, fresh] = libraries_.try_emplace(PathToUtf8(entry.path));
        if (fresh) {
            std::string why;
            const std::unique_ptr<ByteSource> bytes = reader_.Open(entry, why);
            it->second.opened = bytes != nullptr;
            if (bytes && !ReadPeImage(*bytes, it->second.image, it->second.problem) &&
                it->second.problem.empty()) {
                it->second.problem = "it cannot be read as an image";
            }
        }
        return it->second;
    }

    struct ImportProblem {
        std::string text;          // one phrase
        ReleaseSet lacking;        // the systems where it keeps the image from loading
        ReleaseSet unlessUpdated;  // of those, the ones where a named update would help
    };

    // What of the image's imports neither the systems nor the disc satisfy, each as a phrase
    // with the systems it concerns. Libraries of the disc are looked for beside the image (the
    // disc's root, for all of the launcher's files), as Windows looks for them, and in turn
    // checked themselves.
    std::vector<ImportProblem> Unresolved(const PeImage& image, std::set<std::string>& visited) {
        std::vector<ImportProblem> problems;
        for (const PeImport& import : image.imports) {
            const LibraryPresence presence = SystemLibraryPresence(import.dll);
            const Lookup found = presence.lacking ? rootEntries_.Find(import.dll) : Lookup();
            if (found.match == Match::Missing || !found.entry->isFile) {
                if (presence.lacking) {
                    const bool nowhere = presence.lacking == kEveryRelease;
                    std::string text = import.dll + (nowhere ? " is on " : " is not on ") +
                                       ReleaseNames(presence.lacking);
                    if (!presence.why.empty()) text += " (" + presence.why + ")";
                    text += " and not on the disc";
                    problems.push_back({text, presence.lacking, presence.lackingUnlessUpdated});
                }
                // The systems that have the library may still lack a function younger than it.
                for (const std::string& name : import.names) {
                    std::string since;
                    const ReleaseSet lacking =
                        SystemFunctionLacking(import.dll, name, since) & ~presence.lacking;
                    if (lacking) {
                        problems.push_back({import.dll + " of " + ReleaseNames(lacking) +
                                                " lacks " + name + " (" + since + ")",
                                            lacking, 0});
                    }
                }
                continue;
            }
            const std::string label = found.entry->name + " (on the disc)";
            const auto fails = [&](const std::string& text) {
                problems.push_back({text, kEveryRelease, 0});
            };
            const Library& read = LibraryOf(*found.entry);
            const PeImage& library = read.image;
            if (!read.opened) {
                fails(label + ": disckit cannot read it");
                continue;
            }
            if (!read.problem.empty()) {
                fails(label + ": " + read.problem);
                continue;
            }
            if (!library.IsX86_32()) {
                fails(label + " is built for " + MachineName(library.machine, library.pe32Plus));
                continue;
            }
            if (!library.IsDll()) {
                fails(label + " is not a DLL");
                continue;
            }
            std::vector<std::string> absent;
            for (const std::string& name : import.names) {
                if (!library.Exports(name)) absent.push_back(name);
            }
            for (std::uint32_t ordinal : import.ordinals) {
                if (!library.ExportsOrdinal(ordinal)) {
                    absent.push_back("ordinal " + std::to_string(ordinal));
                }
            }
            if (!absent.empty()) {
                const std::size_t shown = 5;
                std::string list;
                for (std::size_t i = 0; i < absent.size() && i < shown; ++i) {
                    list += (i ? ", " : "") + absent[i];
                }
                if (absent.size() > shown) {
                    list += " and " + std::to_string(absent.size() - shown) + " more";
                }
                fails(label + " does not export " + list);
            }
            if (visited.insert(UpperUtf8(found.entry->name)).second) {
                for (const ImportProblem& deeper : Unresolved(library, visited)) {
                    problems.push_back(
                        {label + " needs " + deeper.text, deeper.lacking, deeper.unlessUpdated});
                }
            }
        }
        return problems;
    }

    // --- Inserting the disc --------------------------------------------------------------------

    void CheckAutorun() {
        const Lookup found = rootEntries_.Find(kAutorunFile);
        if (found.match == Match::Missing || !found.entry->isFile) {
            Add("autorun-missing", kAutorunFile);
            return;
        }
        std::string problem;
        const std::unique_ptr<ByteSource> bytes = reader_.Open(*found.entry, problem);
        const std::size_t size =
            bytes ? static_cast<std::size_t>(std::min<std::uint64_t>(bytes->Size(), kAutorunMaxBytes))
                  : 0;
        std::string raw(size, '\0');
        if (size && !bytes->Read(0, &raw[0], size)) raw.clear();
        const std::string text = AutorunText(raw);
        CheckAutorunIcon(AutorunEntry(text, "ICON"));
        const std::string program = AutorunOpens(text);
        const std::string launcher = names::kLauncher;
        if (UpperUtf8(program) == UpperUtf8(launcher)) return;
        Add("autorun-not-launcher", found.entry->name,
            program.empty() ? "It has no open= line in an [autorun] section."
                            : "Its open= line names \"" + program + "\".");
    }

    // The text of autorun.inf as far as it matters here: ASCII, whether stored in an ANSI code
    // page, UTF-8 or UTF-16 (which Windows also reads).
    static std::string AutorunText(const std::string& raw) {
        std::string text;
        if (raw.size() >= 2 && raw[0] == '\xFF' && raw[1] == '\xFE') {
            for (std::size_t i = 2; i + 1 < raw.size(); i += 2) {
                const unsigned unit =
                    static_cast<unsigned char>(raw[i]) |
                    (static_cast<unsigned>(static_cast<unsigned char>(raw[i + 1])) << 8);
                text += unit < 0x80 ? static_cast<char>(unit) : '?';
            }
            return text;
        }
        if (raw.compare(0, 3, "\xEF\xBB\xBF") == 0) return raw.substr(3);
        return raw;
    }

    // The icon that AutoPlay and Explorer show for the disc: an .ico file, or the first icon
    // (or the one numbered after the comma) of a program.
    void CheckAutorunIcon(std::string icon) {
        if (icon.empty()) return;
        if (icon[0] == '"') icon = icon.substr(1, icon.find('"', 1) - 1);
        icon = icon.substr(0, icon.find(','));
        icon = FromDiscRoot(icon);
        const Lookup found =
            icon.find('\\') == std::string::npos ? rootEntries_.Find(icon) : Lookup();
        std::string bytes;
        if (found.match == Match::Missing || !found.entry->isFile ||
            !ReadSmallFile(*found.entry, bytes)) {
            Add("autorun-icon-missing", kAutorunFile,
                "It names " + icon + ", which is not a file in the disc's root.");
            return;
        }
        std::vector<IconImage> images;
        std::string problem;
        ImageIdentity identity;
        if (ParseIconFile(bytes, images, problem)) return;
        if (ReadImageIdentity(bytes, identity) && identity.hasIcon) return;
        Add("autorun-icon-missing", kAutorunFile,
            "It names " + found.entry->name + ", which holds no icon.");
    }

    // A path that autorun.inf gives relative to the disc's root, without a leading ".\\" or "\\".
    static std::string FromDiscRoot(std::string path) {
        if (path.rfind(".\\", 0) == 0) path.erase(0, 2);
        if (path.rfind('\\', 0) == 0) path.erase(0, 1);
        return path;
    }

    // The first value of key in the [autorun] section, trimmed; empty when there is none.
    static std::string AutorunEntry(const std::string& text, const std::string& wanted) {
        const auto trim = [](std::string& s) {
            const char* blanks = " \t\r";
            const std::size_t first = s.find_first_not_of(blanks);
            s.erase(0, first == std::string::npos ? s.size() : first);
            s.erase(s.find_last_not_of(blanks) + 1);
        };
        std::string section;
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            std::string line = text.substr(start, end - start);
            start = end + 1;
            trim(line);
            if (line.empty() || line[0] == ';') continue;
            if (line[0] == '[') {
                section = UpperUtf8(line.substr(1, line.find(']') - 1));
                trim(section);
                continue;
            }
            const std::size_t equals = line.find('=');
            if (section != "AUTORUN" || equals == std::string::npos) continue;
            std::string key = UpperUtf8(line.substr(0, equals)), value = line.substr(equals + 1);
            trim(key);
            trim(value);
            if (key == wanted && !value.empty()) return value;
        }
        return {};
    }

    // The program that the [autorun] section's open= (or shellexecute=) line starts, without its
    // arguments and without a leading ".\" or "\"; empty when there is none.
    static std::string AutorunOpens(const std::string& text) {
        const std::string open = AutorunEntry(text, "OPEN");
        const std::string command = open.empty() ? AutorunEntry(text, "SHELLEXECUTE") : open;
        std::string program;
        if (!command.empty() && command[0] == '"') {
            program = command.substr(1, command.find('"', 1) - 1);
        } else {
            program = command.substr(0, command.find_first_of(" \t"));
        }
        program = FromDiscRoot(program);
        return program;
    }

    // --- The pages ------------------------------------------------------------------------------

    // Entries of a folder of the disc, read once; an unreadable folder (which the walk reports)
    // holds nothing.
    const DiscFolder& EntriesOf(const DiscEntry& folder) {
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

    void NoteCase(const std::string& path, const std::string& asked) {
        Add("name-case", path, names::kLauncher + std::string(" asks for \"") + asked + "\".");
    }

    void CheckLanguages() {
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
            } else if (page.match == Match::CaseOnly) {
                NoteCase(Join(dir, page.entry->name), names::kStartPage);
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

    // --- Names and lengths ---------------------------------------------------------------------

    // The code pages under which a name is read: a language folder's pages only on the systems
    // that choose that folder; everything else, the default folder included, on all of them.
    std::set<int> PagesFor(const std::vector<std::string>& parts) const {
        if (parts.size() >= 3 &&
            UpperUtf8(parts[0]) == UpperUtf8(WithoutBackslash(names::kPagesFolder))) {
            const std::string fold = UpperUtf8(parts[1]);
            const auto it = pagesOf_.find(fold);
            if (it != pagesOf_.end() && fold != defaultFold_) return it->second;
        }
        return allPages_;
    }

    std::string PageLabel(int page) const {
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

    void CheckName(const DiscEntry& entry, const std::vector<std::string>& parts,
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

    // Why the path is too long for MAX_PATH-bound calls, even at a drive's root; empty if not.
    std::string PathLengthProblem(const std::vector<std::string>& parts) const {
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

    void Walk(const DiscFolder& folder, const std::vector<std::string>& parents,
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

    const DiscReader& reader_;
    fs::path root_;
    std::vector<Finding>& findings_;
    std::vector<ImageFacts>* images_;
    std::vector<std::pair<std::string, std::vector<std::uint16_t>>> folders_;
    DiscFolder rootEntries_;
    std::map<std::string, DiscFolder> listed_;
    std::map<std::string, Library> libraries_;
    std::set<std::string> added_;
    std::vector<std::string> unsigned_;  // the launcher's images without a signature
    std::set<std::string> spellings_;
    std::string defaultFold_;
    std::map<std::string, std::set<int>> pagesOf_;
    std::set<int> allPages_;
};

}  // namespace

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
    Checker checker(disc, findings, images);
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
    return "its imports cannot be resolved here: " + JoinAll(missing, "; ");
}
