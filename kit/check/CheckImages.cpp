// The launcher's programs and libraries on the disc: whether Windows can start or load each, on
// which systems, and what it shows of them.
#include "kit/check/Checker.h"

#include <memory>

#include "app/LauncherApp.h"
#include "kit/check/CheckIdentity.h"
#include "kit/windows/WindowsText.h"

namespace checkdisc {

namespace {

constexpr const char* kRegisterEntry = "DllRegisterServer";
constexpr const char* kUnregisterEntry = "DllUnregisterServer";

std::string Capitalised(std::string text) {
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') {
        text[0] = static_cast<char>(text[0] - 0x20);
    }
    return text;
}

}  // namespace

void Checker::CheckImages() {
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

void Checker::CheckIdentity(const std::string& file, const DiscEntry& entry) {
    std::string bytes;
    ImageIdentity identity;
    if (!ReadSmallFile(entry, bytes)) return;
    if (!ReadImageIdentity(bytes, identity)) {
        if (identity.resourcesTooLarge) Add("resource-tree-too-large", entry.name);
        return;
    }
    if (!identity.hasSignature) unsigned_.push_back(entry.name);
    if (!identity.signatureMatches) Add("signature-broken", entry.name);
    if (file == names::kLauncher && !identity.hasVersion) {
        Add("launcher-version-missing", entry.name);
    }
}

void Checker::CheckImage(const ImageRole& role, const std::string& file,
                         const DiscEntry& entry, ImageFacts& facts) {
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
    // mscoree.dll, which starts an assembly, is an import like any other; the framework behind
    // it is what differs between systems.
    if (role.program && image.managed) {
        const std::string& version = image.clrVersion;
        const std::string named = "Its metadata names " + version + ".";
        if (version.rfind("v4.", 0) == 0) {
            Add("dotnet-4-not-on-7", path, named);
        } else if (version.rfind("v2.", 0) == 0 || version.rfind("v1.", 0) == 0) {
            Add("dotnet-3-5-not-by-default", path, named);
        }
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
    ReleaseSet lacking = 0, lackingAtAll = 0, updatable = 0;
    std::vector<std::string> texts;
    for (const ImportProblem& each : problems) {
        facts.lacking.push_back({each.lacking, each.text});
        lacking |= each.lacking;
        lackingAtAll |= each.lacking & ~each.unlessUpdated;
        updatable |= each.unlessUpdated;
        texts.push_back(each.text);
    }
    // An error only where no system can run it, even with its updates.
    if (lackingAtAll == kEveryRelease) {
        Add(ImageFaultCode(role, ImageFault::ImportUnresolved), path,
            "Unresolved: " + JoinAll(texts, "; ") + ".");
    } else {
        std::string detail =
            "It concerns " + ReleaseNames(lacking) + ": " + JoinAll(texts, "; ") + ".";
        // Such as the Universal C Runtime update: what it lacks is then the update's to bring.
        if (updatable) {
            detail += " Where an update is named, installing it on those systems helps too.";
        }
        Add(ImageFaultCode(role, ImageFault::ImportNotEverywhere), path, detail);
    }
}

void Checker::CheckControl(const PeImage& image, const std::string& path) {
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

const Checker::Library& Checker::LibraryOf(const DiscEntry& entry) {
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

std::vector<Checker::ImportProblem> Checker::Unresolved(const PeImage& image, std::set<std::string>& visited) {
    std::vector<ImportProblem> problems;
    for (const PeImport& import : image.imports) {
        const LibraryPresence presence = SystemLibraryPresence(import.dll);
        const Lookup found = presence.lacking ? rootEntries_.Find(import.dll) : Lookup();
        if (found.match == Match::Missing || !found.entry->isFile) {
            if (presence.lacking) {
                const bool nowhere = presence.lacking == kEveryRelease;
                std::string text = import.dll + (nowhere ? " is on " : " is not on ") +
                                   ReleaseNames(presence.lacking);
                const std::string why = presence.why.empty() ? "" : " (" + presence.why + ")";
                // Without a library it imports directly, Windows does not start the file at all.
                text += nowhere ? " and not on the disc, so Windows cannot load the file" + why
                                : why + " and not on the disc";
                problems.push_back({text, presence.lacking, presence.lackingUnlessUpdated});
            }
            // The systems that have the library may still lack a function younger than it.
            for (const std::string& name : import.names) {
                std::string since;
                const ReleaseSet lacking =
                    SystemFunctionLacking(import.dll, name, since) & ~presence.lacking;
                if (lacking == kEveryRelease) {
                    problems.push_back(
                        {"no Windows has " + import.dll + "!" + name + " (" + since + ")", lacking, 0});
                } else if (lacking) {
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
                problems.push_back({"through " + label + ", " + deeper.text, deeper.lacking,
                                    deeper.unlessUpdated});
            }
        }
    }
    return problems;
}

}  // namespace checkdisc
