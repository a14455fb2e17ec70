// The simulated file system: the disc's own files seen through SimDisc, with what the run wrote
// or deleted over them held in memory, and the Windows directory.
#include "kit/simulate/SimPlatform.h"

#include <algorithm>
#include <set>

#include "app/LauncherApp.h"
#include "kit/windows/CodePage.h"
#include "kit/windows/WindowsText.h"

namespace {

constexpr const char* kWindowsDir = "C:\\Windows";
constexpr const char* kSystemDir = "C:\\Windows\\system32";
constexpr const char* kSysWow64Dir = "C:\\Windows\\SysWOW64";

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

}  // namespace

void SimPlatform::SetUpFiles() {
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

std::string SimPlatform::WriteBlocker(const Where& where, const Node& node) const {
    if (node.onDisc && config_.media == SimMedia::ReadOnly) return kErrorReadOnlyMedia;
    if (node.readOnly) return kErrorReadOnlyFile;
    if (ImageInUse(where.key)) return kErrorInUse;
    return std::string();
}

std::vector<SimFile> SimPlatform::WrittenFiles() const {
    std::vector<SimFile> files;
    for (const auto& item : memory_) {
        if (!item.second.directory && !item.second.system) files.push_back(item.second.file);
    }
    return files;
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
    // Not the launcher's own split (EndOfLastBackslash): this is the file system's side, which
    // takes '/' as a separator too, and the text is UTF-8 already, where no second byte of a
    // character can pass for a backslash.
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
        const std::size_t cut = item.first.find_last_of('\\');  // a key: UTF-8 joined by '\\'
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
