// Inserting the disc: the autorun.inf that AutoPlay reads, its program and its icon.
#include "kit/check/Checker.h"

#include <algorithm>
#include <memory>

#include "app/LauncherApp.h"
#include "kit/check/CheckIdentity.h"
#include "kit/disc/PeResources.h"
#include "kit/windows/Autorun.h"
#include "kit/windows/WindowsText.h"

namespace checkdisc {

void Checker::CheckAutorun() {
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
    std::size_t line = 0;
    const std::string icon = AutorunEntry(text, "ICON", &line);
    CheckAutorunIcon(icon, line);
    const std::string program = AutorunOpens(text, &line);
    const std::string launcher = names::kLauncher;
    if (UpperUtf8(program) == UpperUtf8(launcher)) return;
    Add("autorun-not-launcher", found.entry->name,
        program.empty() ? "It has no open= line in an [autorun] section."
                        : "Its open= line names \"" + program + "\".",
        program.empty() ? 0 : line);
}

void Checker::CheckAutorunIcon(std::string icon, std::size_t line) {
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
            "It names " + icon + ", which is not a file in the disc's root.", line);
        return;
    }
    std::vector<IconImage> images;
    std::string problem;
    ImageIdentity identity;
    if (ParseIconFile(bytes, images, problem)) return;
    if (ReadImageIdentity(bytes, identity) && identity.hasIcon) return;
    Add("autorun-icon-missing", kAutorunFile,
        "It names " + found.entry->name +
            (identity.resourcesTooLarge ? ", whose resource tree is too large to read."
                                        : ", which holds no icon."),
        line);
}

}  // namespace checkdisc
