#include "kit/simulate/SimPlatform.h"

#include <algorithm>
#include <utility>

#include "app/LauncherApp.h"
#include "kit/windows/CodePage.h"
#include "kit/windows/WindowsText.h"
#include "process/Terminate.h"

namespace {

constexpr const char* kWindowsDir = "C:\\Windows";
constexpr const char* kSystemDir = "C:\\Windows\\system32";
constexpr const char* kSysWow64Dir = "C:\\Windows\\SysWOW64";
constexpr std::uint32_t kPlatformWindows = 1;  // the 95/98/Me family
constexpr std::uint32_t kPlatformNt = 2;

const char* kErrorNoFile = "no such file";
const char* kErrorNoFolder = "no such folder";
const char* kErrorFolder = "a folder has that name";
const char* kErrorReadOnlyMedia = "the disc is read-only";
const char* kErrorReadOnlyFile = "the file is read-only";
const char* kErrorInUse = "the file is a running program";

// The system's own processes that every listing shows, before anything the run starts. They
// belong to the system: a program run by an administrator may not open them.
struct BaseProcess {
    std::uint32_t id;
    const char* name;
    bool openable;
    std::uint32_t fromMajor;  // NT versions that have it
};
constexpr BaseProcess kNtProcesses[] = {
    {0, "[System Process]", false, 0}, {4, "System", false, 0},    {268, "smss.exe", false, 0},
    {352, "csrss.exe", false, 0},      {404, "wininit.exe", false, 6},
    {460, "services.exe", true, 0},    {476, "lsass.exe", true, 0},  {600, "svchost.exe", true, 0},
    {1400, "explorer.exe", true, 0},
};
// The 95/98/Me family names its processes by their full paths and hands out scrambled ids.
constexpr BaseProcess kWindows9xProcesses[] = {
    {0xFFF9A3C1u, "C:\\WINDOWS\\SYSTEM\\KERNEL32.DLL", false, 0},
    {0xFFF9E2D5u, "C:\\WINDOWS\\SYSTEM\\MSGSRV32.EXE", true, 0},
    {0xFFFA1A41u, "C:\\WINDOWS\\SYSTEM\\MPREXE.EXE", true, 0},
    {0xFFFB5C29u, "C:\\WINDOWS\\EXPLORER.EXE", true, 0},
};

// Windows' file-name wildcards: '*' any run, '?' one character; "X.*" also matches a name
// without any dot. Both arguments are upper-cased already.
bool WildcardMatch(const std::string& pattern, const std::string& name) {
    std::size_t p = 0, n = 0, starP = std::string::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (starP != std::string::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    if (p == pattern.size()) return true;
    if (pattern.compare(p, std::string::npos, ".*") == 0 && name.find('.') == std::string::npos) {
        return true;
    }
    return false;
}

bool HasWildcard(const std::string& s) { return s.find_first_of("*?") != std::string::npos; }

// Splits a Windows path (UTF-8) into its root ("C:" or "\\server\share") and the components
// after it, resolving "." and "..". False for a relative path.
bool SplitWindowsPath(const std::string& path, std::string& root, std::vector<std::string>& parts) {
    std::size_t i = 0;
    if (path.size() >= 2 && (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/')) {
        // \\server\share
        std::size_t server = path.find_first_of("\\/", 2);
        if (server == std::string::npos || server == 2) return false;
        std::size_t share = path.find_first_of("\\/", server + 1);
        if (share == std::string::npos) share = path.size();
        if (share == server + 1) return false;
        root = "\\\\" + path.substr(2, server - 2) + "\\" + path.substr(server + 1, share - server - 1);
        i = share;
    } else if (path.size() >= 2 && path[1] == ':' &&
               ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'))) {
        root = path.substr(0, 2);
        i = 2;
    } else {
        return false;
    }
    parts.clear();
    while (i < path.size()) {
        const std::size_t end = std::min(path.find_first_of("\\/", i), path.size());
        std::string part = path.substr(i, end - i);
        // Windows drops trailing dots and blanks of a name.
        while (!part.empty() && (part.back() == '.' || part.back() == ' ') && part != "." &&
               part != "..") {
            part.pop_back();
        }
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        i = end + 1;
    }
    return true;
}

std::string JoinKey(const std::string& root, const std::vector<std::string>& parts,
                    std::size_t count) {
    std::string key = UpperUtf8(root);
    for (std::size_t k = 0; k < count; ++k) key += "\\" + UpperUtf8(parts[k]);
    return key;
}

std::string EffectSignature(const SimEffect& e) {
    const char sep = '\x1F';
    std::string s;
    s += EffectKindName(e.kind);
    s += sep;
    s += e.ok ? '1' : '0';
    for (const std::string* field : {&e.error, &e.text, &e.caption, &e.program, &e.commandLine,
                                     &e.path, &e.source, &e.content, &e.processName}) {
        s += sep;
        s += *field;
    }
    s += sep + std::to_string(e.size) + sep + (e.readOnly ? "r" : "w") + sep + std::to_string(e.ms);
    return s;
}

}  // namespace

const char* EffectKindName(EffectKind kind) {
    switch (kind) {
        case EffectKind::Box: return "box";
        case EffectKind::Start: return "start";
        case EffectKind::Sleep: return "sleep";
        case EffectKind::Copy: return "copy";
        case EffectKind::Write: return "write";
        case EffectKind::Delete: return "delete";
        case EffectKind::Attributes: return "attributes";
        case EffectKind::Terminate: return "terminate";
        case EffectKind::Load: return "load";
    }
    return "?";
}

class SimModuleSource : public ModuleSource {
public:
    explicit SimModuleSource(SimPlatform& sim) : sim_(sim) {}

    bool EnumProcessIds(std::vector<std::uint32_t>& ids) override {
        ids.clear();
        for (const SimProcess& p : sim_.processes_) ids.push_back(p.id);
        return true;
    }

    ModuleNameStatus FirstModuleBaseName(ProcessHandle process, std::string& name) override {
        const SimProcess* p = sim_.ProcessByHandle(process);
        if (!p) return ModuleNameStatus::NoModule;
        // The launcher is a 32-bit program: under WOW64 it cannot read a 64-bit process's modules.
        if (sim_.Is64Bit() && p->bits == 64) return ModuleNameStatus::NoModule;
        name = p->exeName;
        return ModuleNameStatus::Named;
    }

private:
    SimPlatform& sim_;
};

SimPlatform::SimPlatform(const SimConfig& config, const SimDisc& disc,
                         const std::vector<ImageFacts>* images)
    : config_(config), disc_(disc), images_(images) {
    if (config_.instanceRunning) instanceCounter_ = 0;

    // The disc's root by its name and, when known, by its short name: both reach the same files.
    const std::pair<const std::string*, std::vector<std::string>*> dirs[] = {
        {&config_.installDir, &installComponents_},
        {&config_.shortInstallDir, &shortInstallComponents_}};
    for (const auto& d : dirs) {
        std::string root;
        std::vector<std::string> parts;
        if (d.first->empty() || !SplitWindowsPath(*d.first, root, parts)) continue;
        d.second->push_back(UpperUtf8(root));
        for (const std::string& p : parts) d.second->push_back(UpperUtf8(p));
        // The folders above the disc's root exist; the root itself is the disc's.
        for (std::size_t k = 0; k < parts.size(); ++k) {
            MemNode dir;
            dir.directory = dir.system = true;
            memory_[JoinKey(root, parts, k)] = dir;
        }
    }
    AddSystemDirectory("C:");
    AddSystemDirectory(kWindowsDir);
    AddSystemDirectory(kSystemDir);
    AddSystemFile(std::string(kSystemDir) + "\\" + names::kRegistrationTool);
    AddSystemFile(std::string(kWindowsDir) + "\\explorer.exe");
    if (config_.system.bits == 64) {
        AddSystemDirectory(kSysWow64Dir);
        AddSystemFile(std::string(kSysWow64Dir) + "\\" + names::kRegistrationTool);
    }
    registryKeys_.insert("CLSID");
    if (config_.registered) registryKeys_.insert(UpperUtf8(names::kControlClassKey));
    AddBaseProcesses();
}

void SimPlatform::AddSystemDirectory(const std::string& path) {
    MemNode dir;
    dir.directory = dir.system = true;
    memory_[Locate(path).key] = dir;
}

void SimPlatform::AddSystemFile(const std::string& path) {
    MemNode file;
    file.system = true;
    file.file.path = path;
    memory_[Locate(path).key] = file;
}

void SimPlatform::AddBaseProcesses() {
    if (config_.system.platformId == kPlatformWindows) {
        for (const BaseProcess& b : kWindows9xProcesses) {
            SimProcess p;
            p.id = b.id;
            p.exeName = b.name;
            p.openable = b.openable;
            processes_.push_back(p);
        }
        return;
    }
    for (const BaseProcess& b : kNtProcesses) {
        if (config_.system.majorVersion < b.fromMajor) continue;
        SimProcess p;
        p.id = b.id;
        p.exeName = b.name;
        p.openable = b.openable;
        p.bits = Is64Bit() ? 64 : 32;
        processes_.push_back(p);
    }
}

std::string SimPlatform::ToUtf8(const std::string& ansi) const {
    return AnsiToUtf8(config_.codePage, ansi);
}

SimPlatform::Where SimPlatform::Locate(const std::string& ansiPath) const {
    Where w;
    std::string utf8 = ToUtf8(ansiPath);
    std::string root;
    std::vector<std::string> parts;
    if (!SplitWindowsPath(utf8, root, parts)) {
        // Relative to the current directory; "\x" is relative to its drive's root.
        if (currentDirectory_.empty()) return w;
        const std::string cwd = ToUtf8(currentDirectory_);
        if (!utf8.empty() && (utf8[0] == '\\' || utf8[0] == '/')) {
            std::string cwdRoot;
            std::vector<std::string> cwdParts;
            if (!SplitWindowsPath(cwd, cwdRoot, cwdParts)) return w;
            utf8 = cwdRoot + utf8;
        } else {
            utf8 = cwd + "\\" + utf8;
        }
        if (!SplitWindowsPath(utf8, root, parts)) return w;
    }
    w.valid = true;
    w.key = JoinKey(root, parts, parts.size());
    w.isRoot = parts.empty();
    for (const std::vector<std::string>* components : {&installComponents_, &shortInstallComponents_}) {
        if (components->empty() || (*components)[0] != UpperUtf8(root) ||
            parts.size() + 1 < components->size()) {
            continue;
        }
        bool below = true;
        for (std::size_t k = 1; k < components->size() && below; ++k) {
            below = UpperUtf8(parts[k - 1]) == (*components)[k];
        }
        if (below) {
            w.onDisc = true;
            w.discPath.assign(parts.begin() + static_cast<std::ptrdiff_t>(components->size() - 1),
                              parts.end());
            break;
        }
    }
    return w;
}

SimPlatform::Node SimPlatform::Look(const Where& where) const {
    Node n;
    if (!where.valid) return n;
    auto it = memory_.find(where.key);
    if (it != memory_.end()) {
        n.exists = true;
        n.directory = it->second.directory;
        n.readOnly = it->second.file.readOnly;
        n.size = it->second.file.size;
        return n;
    }
    if (!where.onDisc || deletedFromDisc_.count(where.key) != 0) return n;
    SimDisc::Entry entry;
    if (!disc_.Find(where.discPath, entry)) return n;
    n.exists = true;
    n.onDisc = true;
    n.directory = entry.directory;
    n.size = entry.size;
    // A pressed disc reports every file read-only, and copies of its files keep the attribute.
    n.readOnly = !entry.directory && config_.media == SimMedia::ReadOnly;
    return n;
}

bool SimPlatform::ImageInUse(const std::string& key) const {
    return std::any_of(processes_.begin(), processes_.end(),
                       [&](const SimProcess& p) { return !key.empty() && p.imageKey == key; });
}

std::string SimPlatform::WriteBlocker(const Where& where, const Node& node) const {
    if (node.onDisc && config_.media == SimMedia::ReadOnly) return kErrorReadOnlyMedia;
    if (node.readOnly) return kErrorReadOnlyFile;
    if (ImageInUse(where.key)) return kErrorInUse;
    return std::string();
}

SimEffect& SimPlatform::Record(EffectKind kind) {
    SimEffect e;
    e.kind = kind;
    e.timeMs = clockMs_;
    effects_.push_back(std::move(e));
    return effects_.back();
}

std::vector<SimFile> SimPlatform::WrittenFiles() const {
    std::vector<SimFile> files;
    for (const auto& item : memory_) {
        if (!item.second.directory && !item.second.system) files.push_back(item.second.file);
    }
    return files;
}

SimProcess* SimPlatform::ProcessById(std::uint32_t id) {
    for (SimProcess& p : processes_) {
        if (p.id == id) return &p;
    }
    return nullptr;
}

SimProcess* SimPlatform::ProcessByHandle(ProcessHandle handle) {
    auto it = openHandles_.find(handle);
    return it == openHandles_.end() ? nullptr : ProcessById(it->second);
}

std::string SimPlatform::StateDigest() const {
    // Everything the launcher could see change, except process ids and handle values, which only
    // ever grow and decide nothing.
    std::string s = std::to_string(instanceCounter_) + '|' + currentDirectory_ + '|';
    for (const SimProcess& p : processes_) {
        s += p.exeName + (p.endsAtNextSleep ? "~" : "") + (p.openable ? "" : "!") + '|';
    }
    for (const auto& item : memory_) {
        const SimFile& f = item.second.file;
        s += item.first + ':' + std::to_string(f.size) + (f.readOnly ? "r" : "w") + f.content + f.source +
             '|';
    }
    for (const std::string& d : deletedFromDisc_) s += "-" + d + '|';
    return s;
}

// --- Platform ---------------------------------------------------------------------------------

std::int32_t SimPlatform::IncrementInstanceCounter() { return ++instanceCounter_; }

void SimPlatform::ShowMessage(const std::string& text, const std::string& caption) {
    // The user presses OK at once: a box costs no simulated time.
    SimEffect& e = Record(EffectKind::Box);
    e.text = text;
    e.caption = caption;
}

void SimPlatform::InitializeControls() {}

bool SimPlatform::IsLeadByte(unsigned char value) {
    return ::IsLeadByte(config_.codePage, value);
}

void SimPlatform::UpperCase(std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        const std::size_t n = (IsLeadByte(b) && i + 1 < text.size()) ? 2 : 1;
        if (n == 1 && b < 0x80) {
            if (b >= 'a' && b <= 'z') text[i] = static_cast<char>(b - ('a' - 'A'));
            ++i;
            continue;
        }
        // Through Unicode and back: a character whose upper case the code page cannot hold in
        // as many bytes stays as it is.
        const std::string ch = text.substr(i, n);
        auto cached = upperCache_.find(ch);
        if (cached == upperCache_.end()) {
            std::string upper;
            const std::string utf8 = ToUtf8(ch);
            if (!Utf8ToAnsiExact(config_.codePage, UpperUtf8(utf8), upper) || upper.size() != n) {
                upper = ch;
            }
            cached = upperCache_.emplace(ch, upper).first;
        }
        text.replace(i, n, cached->second);
        i += n;
    }
}

ModulePathStatus SimPlatform::ModuleFileName(std::string& path) {
    std::string dir;
    if (!Utf8ToAnsiExact(config_.codePage, config_.installDir, dir)) {
        modulePathNotInCodePage_ = true;
        return ModulePathStatus::NotInCodePage;
    }
    path = dir + names::kLauncher;
    return ModulePathStatus::Ok;
}

ModulePathStatus SimPlatform::ModuleShortFileName(std::string& path) {
    shortPathAsked_ = true;
    // Without the volume's own short name the simulation takes the volume for one that keeps none.
    if (config_.shortInstallDir.empty()) return ModulePathStatus::Unreadable;
    std::string dir;
    if (!Utf8ToAnsiExact(config_.codePage, config_.shortInstallDir, dir)) {
        return ModulePathStatus::NotInCodePage;
    }
    path = dir + names::kLauncher;
    shortPathUsed_ = true;
    return ModulePathStatus::Ok;
}

bool SimPlatform::SetCurrentDirectory(const std::string& path) {
    const Node n = Look(Locate(path));
    if (!n.exists || !n.directory) return false;
    currentDirectory_ = path;
    return true;
}

bool SimPlatform::WindowsDirectory(std::string& path) {
    path = kWindowsDir;
    return true;
}

bool SimPlatform::SystemDirectory(std::string& path) {
    path = kSystemDir;
    return true;
}

bool SimPlatform::AnyFileMatches(const std::string& pattern) {
    const std::string utf8 = ToUtf8(pattern);
    const std::size_t slash = utf8.find_last_of("\\/");
    const std::string name = slash == std::string::npos ? utf8 : utf8.substr(slash + 1);
    if (!HasWildcard(name)) return Look(Locate(pattern)).exists;

    const std::string dirPath = slash == std::string::npos ? std::string(".") : utf8.substr(0, slash + 1);
    std::string dirAnsi;
    if (!Utf8ToAnsiExact(config_.codePage, dirPath, dirAnsi)) return false;
    const Where dir = Locate(dirAnsi);
    const Node dirNode = Look(dir);
    if (!dirNode.exists || !dirNode.directory) return false;

    const std::string wanted = UpperUtf8(name);
    // A folder other than a root lists "." and ".." too, so "*.*" matches even an empty one.
    if (!dir.isRoot && (WildcardMatch(wanted, ".") || WildcardMatch(wanted, ".."))) return true;
    std::set<std::string> seen;
    for (const auto& item : memory_) {
        const std::size_t cut = item.first.find_last_of('\\');
        if (cut == std::string::npos || item.first.compare(0, cut, dir.key) != 0 ||
            cut != dir.key.size()) {
            continue;
        }
        const std::string child = item.first.substr(cut + 1);
        seen.insert(child);
        if (WildcardMatch(wanted, child)) return true;
    }
    if (dir.onDisc) {
        for (const SimDisc::Entry& e : disc_.List(dir.discPath)) {
            const std::string child = UpperUtf8(e.name);
            if (seen.count(child) != 0 || deletedFromDisc_.count(dir.key + "\\" + child) != 0) {
                continue;
            }
            if (WildcardMatch(wanted, child)) return true;
        }
    }
    return false;
}

bool SimPlatform::CanOpenForReading(const std::string& path) {
    const Node n = Look(Locate(path));
    return n.exists && !n.directory;
}

bool SimPlatform::CanOpenExclusiveForWriting(const std::string& path) {
    const Where w = Locate(path);
    const Node n = Look(w);
    return n.exists && !n.directory && WriteBlocker(w, n).empty();
}

bool SimPlatform::CopyFile(const std::string& from, const std::string& to) {
    SimEffect& e = Record(EffectKind::Copy);
    e.source = from;
    e.path = to;
    const Where src = Locate(from);
    const Node srcNode = Look(src);
    const Where dst = Locate(to);
    const Node dstNode = Look(dst);
    const Node parent = Look(Locate(to + "\\.."));
    std::string error;
    if (!srcNode.exists || srcNode.directory) {
        error = kErrorNoFile;
    } else if (!parent.exists || !parent.directory) {
        error = kErrorNoFolder;
    } else if (dstNode.exists && dstNode.directory) {
        error = kErrorFolder;
    } else if (dstNode.exists) {
        error = WriteBlocker(dst, dstNode);
    } else if (dst.onDisc && config_.media == SimMedia::ReadOnly) {
        error = kErrorReadOnlyMedia;
    }
    if (!error.empty()) {
        e.ok = false;
        e.error = error;
        return false;
    }
    MemNode copy;
    auto original = memory_.find(src.key);
    if (original != memory_.end()) {
        copy.file = original->second.file;  // a copy of a copy: same bytes, same origin
    } else {
        copy.file.source = from;
        copy.file.size = srcNode.size;
    }
    copy.file.path = to;
    // The copy carries the source's attributes, the read-only one included.
    copy.file.readOnly = srcNode.readOnly;
    memory_[dst.key] = copy;
    deletedFromDisc_.erase(dst.key);
    e.size = copy.file.size;
    e.readOnly = copy.file.readOnly;
    return true;
}

bool SimPlatform::DeleteFile(const std::string& path) {
    const Where w = Locate(path);
    const Node n = Look(w);
    if (!n.exists || n.directory) return false;  // nothing there, nothing done
    SimEffect& e = Record(EffectKind::Delete);
    e.path = path;
    e.error = WriteBlocker(w, n);
    if (!e.error.empty()) {
        e.ok = false;
        return false;
    }
    memory_.erase(w.key);
    if (w.onDisc) {
        SimDisc::Entry entry;
        if (disc_.Find(w.discPath, entry)) deletedFromDisc_.insert(w.key);
    }
    return true;
}

bool SimPlatform::MakeWritable(const std::string& path) {
    const Where w = Locate(path);
    const Node n = Look(w);
    if (!n.exists || n.directory) return false;
    if (!n.readOnly) return true;
    SimEffect& e = Record(EffectKind::Attributes);
    e.path = path;
    if (n.onDisc) {
        e.ok = false;
        e.error = kErrorReadOnlyMedia;
        return false;
    }
    memory_[w.key].file.readOnly = false;
    return true;
}

bool SimPlatform::WriteFile(const std::string& path, const std::string& bytes) {
    SimEffect& e = Record(EffectKind::Write);
    e.path = path;
    e.content = bytes;
    e.size = bytes.size();
    const Where w = Locate(path);
    const Node n = Look(w);
    const Node parent = Look(Locate(path + "\\.."));
    if (!parent.exists || !parent.directory) {
        e.error = kErrorNoFolder;
    } else if (n.exists && n.directory) {
        e.error = kErrorFolder;
    } else if (n.exists) {
        e.error = WriteBlocker(w, n);
    } else if (w.onDisc && config_.media == SimMedia::ReadOnly) {
        e.error = kErrorReadOnlyMedia;
    }
    if (!e.error.empty()) {
        e.ok = false;
        return false;
    }
    MemNode file;
    file.file.path = path;
    file.file.size = bytes.size();
    file.file.hasContent = true;
    file.file.content = bytes;
    memory_[w.key] = file;
    deletedFromDisc_.erase(w.key);
    return true;
}

bool SimPlatform::ProbeLibrary(const std::string& path) {
    SimEffect& e = Record(EffectKind::Load);
    e.path = path;
    const Where w = Locate(path);
    const Node n = Look(w);
    if (!n.exists || n.directory) {
        e.ok = false;
        e.error = kErrorNoFile;
    } else if (!(e.error = CannotRun(w)).empty()) {
        e.ok = false;
        AddFault(ToUtf8(path) + " does not load: " + e.error);
    }
    return e.ok;
}

std::string SimPlatform::CannotRun(const Where& where) const {
    if (!images_ || !where.onDisc || where.discPath.size() != 1) return std::string();
    const Node n = Look(where);
    if (!n.onDisc) return std::string();  // a file the run wrote there
    for (const ImageFacts& image : *images_) {
        if (UpperUtf8(image.file) == UpperUtf8(where.discPath.front())) return CannotRunOn(image, config_.system);
    }
    return std::string();
}

void SimPlatform::AddFault(const std::string& utf8) {
    if (std::find(faults_.begin(), faults_.end(), utf8) == faults_.end()) faults_.push_back(utf8);
}

void SimPlatform::CheckStarted(const std::string& exe, const std::string& commandLine) {
    // The last quoted path of the command line: the browser's start page (its quote is never
    // closed) or the file regsvr32 registers.
    const std::size_t open = commandLine.rfind('"', commandLine.size() > 0 && commandLine.back() == '"'
                                                        ? commandLine.size() - 2
                                                        : std::string::npos);
    if (open == std::string::npos) return;
    std::string path = commandLine.substr(open + 1);
    if (!path.empty() && path.back() == '"') path.pop_back();
    const Where w = Locate(path);
    const Node n = Look(w);
    const bool there = n.exists && !n.directory;
    if (NamesEqualNoCase(exe, names::kBrowser)) {
        if (!there) AddFault("the browser's start page " + ToUtf8(path) + " is not there");
        for (const ImageFacts& image : images_ ? *images_ : std::vector<ImageFacts>()) {
            if (image.file == names::kBrowser && image.console) {
                AddFault("the browser is a console program: a console window opens beside the pages");
            }
        }
        return;
    }
    if (commandLine.find(" /u ") != std::string::npos) return;  // unregistering may fail
    std::string why = there ? CannotRun(w) : kErrorNoFile;
    if (why.empty() && images_ && w.onDisc && w.discPath.size() == 1) {
        for (const ImageFacts& image : *images_) {
            if (UpperUtf8(image.file) == UpperUtf8(w.discPath.front()) && image.present && !image.registers) {
                why = "it exports no DllRegisterServer";
            }
        }
    }
    if (!why.empty()) AddFault("regsvr32 cannot register " + ToUtf8(path) + ": " + why);
}

bool SimPlatform::ClassesRootKeyExists(const std::string& subkey) {
    return registryKeys_.count(UpperUtf8(subkey)) != 0;
}

bool SimPlatform::QueryVersion(bool extended, VersionRecord& record) {
    if (extended && !config_.system.extendedQuery) return false;
    const VersionRecord r = ComposeVersionRecord(config_.system);
    record.majorVersion = r.majorVersion;
    record.minorVersion = r.minorVersion;
    record.buildNumber = r.buildNumber;
    record.platformId = r.platformId;
    if (extended) record.productType = r.productType;
    return true;
}

bool SimPlatform::IsWow64Process() { return Is64Bit(); }

std::uint16_t SimPlatform::SystemDefaultLangId() { return config_.langId; }

bool SimPlatform::StartProgram(const std::string& program, const std::string& commandLine,
                               int /*showCommand*/) {
    SimEffect& e = Record(EffectKind::Start);
    e.program = program;
    e.commandLine = commandLine;
    const Where w = Locate(program);
    const Node n = Look(w);
    if (!n.exists || n.directory) {
        e.ok = false;
        e.error = kErrorNoFile;
        return false;
    }
    const std::string refused = CannotRun(w);
    if (!refused.empty()) {
        e.ok = false;
        e.error = "Windows cannot start it: " + refused;
        return false;
    }
    // The executable's name, after the last backslash that is not the second byte of a character.
    std::size_t nameStart = 0;
    for (std::size_t i = 0; i < program.size(); ++i) {
        if (IsLeadByte(static_cast<unsigned char>(program[i])) && i + 1 < program.size()) {
            ++i;
        } else if (program[i] == '\\') {
            nameStart = i + 1;
        }
    }
    SimProcess p;
    p.id = nextProcessId_;
    nextProcessId_ += 4;
    // The 95/98/Me family lists a process under its full path.
    p.exeName = config_.system.platformId == kPlatformWindows ? program : program.substr(nameStart);
    p.imageKey = w.key;
    p.startedByRun = true;
    e.processName = p.exeName;
    e.processId = p.id;
    const std::string exe = program.substr(nameStart);
    CheckStarted(exe, commandLine);
    if (NamesEqualNoCase(exe, names::kRegistrationTool)) {
        p.endsAtNextSleep = true;  // registers (or not) and ends by itself
    } else if (NamesEqualNoCase(exe, names::kBrowser) && config_.browser == SimBrowser::Never) {
        return true;  // started, but it never shows up as a process of its name
    }
    processes_.push_back(p);
    return true;
}

void SimPlatform::Sleep(std::uint32_t milliseconds) {
    SimEffect& e = Record(EffectKind::Sleep);
    e.ms = milliseconds;

    // One pass: what the launcher did since the last sleep, and the state it left. When the last
    // few passes are the same, the next ones will be the same too, for ever.
    std::string pass = StateDigest();
    for (std::size_t i = passStart_; i < effects_.size(); ++i) pass += '\n' + EffectSignature(effects_[i]);
    passes_.push_back(pass);
    passStarts_.push_back(passStart_);

    clockMs_ += milliseconds;
    processes_.erase(std::remove_if(processes_.begin(), processes_.end(),
                                    [](const SimProcess& p) { return p.endsAtNextSleep; }),
                     processes_.end());
    passStart_ = effects_.size();
    ++sleeps_;

    const std::size_t n = passes_.size();
    if (n >= static_cast<std::size_t>(kRepeatsToStop)) {
        bool same = true;
        for (std::size_t k = n - static_cast<std::size_t>(kRepeatsToStop); k + 1 < n && same; ++k) {
            same = passes_[k] == passes_[n - 1];
        }
        if (same) {
            repeatFrom_ = passStarts_[n - static_cast<std::size_t>(kRepeatsToStop)];
            repeatPeriodMs_ = milliseconds;
            throw SimulationStop();
        }
    }
    if (sleeps_ >= kMaxSleeps) {
        stoppedWithoutRepeat_ = true;
        throw SimulationStop();
    }
}

bool SimPlatform::HasSnapshotSource() {
    // NT 4 has no snapshot functions; the 95/98/Me family has no process-status library.
    if (config_.system.platformId == kPlatformWindows) return true;
    return config_.system.platformId == kPlatformNt && config_.system.majorVersion >= 5;
}

SnapshotStatus SimPlatform::SnapshotProcesses(std::vector<ProcessRecord>& records,
                                              ProcessHandle& snapshotHandle) {
    records.clear();
    snapshotHandle = nextHandle_++;  // opened and closed within this call
    for (const SimProcess& p : processes_) records.push_back({p.id, p.exeName});
    return SnapshotStatus::Ok;
}

std::unique_ptr<ModuleSource> SimPlatform::OpenModuleSource() {
    if (config_.system.platformId != kPlatformNt) return nullptr;
    return std::make_unique<SimModuleSource>(*this);
}

ProcessHandle SimPlatform::OpenProcess(std::uint32_t id, std::uint32_t /*access*/) {
    const SimProcess* p = ProcessById(id);
    if (!p || !p->openable) return 0;
    const ProcessHandle h = nextHandle_++;
    openHandles_[h] = id;
    return h;
}

bool SimPlatform::ProcessImageName(ProcessHandle process, std::string& name) {
    // The query exists from Vista on.
    if (config_.system.platformId != kPlatformNt || config_.system.majorVersion < 6) return false;
    const SimProcess* p = ProcessByHandle(process);
    if (!p) return false;
    name = p->exeName;
    return true;
}

bool SimPlatform::TerminateProcess(ProcessHandle process, std::uint32_t /*exitCode*/) {
    const SimProcess* p = ProcessByHandle(process);
    if (!p) return false;
    SimEffect& e = Record(EffectKind::Terminate);
    e.processName = p->exeName;
    e.processId = p->id;
    const std::uint32_t id = p->id;
    processes_.erase(std::remove_if(processes_.begin(), processes_.end(),
                                    [id](const SimProcess& q) { return q.id == id; }),
                     processes_.end());
    return true;
}

void SimPlatform::CloseHandle(ProcessHandle handle) { openHandles_.erase(handle); }
