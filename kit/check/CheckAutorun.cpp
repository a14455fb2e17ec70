// Inserting the disc: the autorun.inf that AutoPlay reads, its program and its icon.
#include "kit/check/Checker.h"

#include <algorithm>
#include <memory>

#include "app/LauncherApp.h"
#include "kit/check/CheckIdentity.h"
#include "kit/disc/PeResources.h"
#include "kit/windows/WindowsText.h"

namespace checkdisc {

namespace {

constexpr const char* kAutorunFile = "autorun.inf";
constexpr std::size_t kAutorunMaxBytes = 64 * 1024;

// The text of autorun.inf as far as it matters here: ASCII, whether stored in an ANSI code
// page, UTF-8 or UTF-16 (which Windows also reads).
std::string AutorunText(const std::string& raw) {
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

// A path that autorun.inf gives relative to the disc's root, without a leading ".\\" or "\\".
std::string FromDiscRoot(std::string path) {
    if (path.rfind(".\\", 0) == 0) path.erase(0, 2);
    if (path.rfind('\\', 0) == 0) path.erase(0, 1);
    return path;
}

// The first value of key in the [autorun] section, trimmed; empty when there is none.
std::string AutorunEntry(const std::string& text, const std::string& wanted) {
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
std::string AutorunOpens(const std::string& text) {
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

}  // namespace

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
    CheckAutorunIcon(AutorunEntry(text, "ICON"));
    const std::string program = AutorunOpens(text);
    const std::string launcher = names::kLauncher;
    if (UpperUtf8(program) == UpperUtf8(launcher)) return;
    Add("autorun-not-launcher", found.entry->name,
        program.empty() ? "It has no open= line in an [autorun] section."
                        : "Its open= line names \"" + program + "\".");
}

void Checker::CheckAutorunIcon(std::string icon) {
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
        "It names " + found.entry->name +
            (identity.resourcesTooLarge ? ", whose resource tree is too large to read."
                                        : ", which holds no icon."));
}

}  // namespace checkdisc
