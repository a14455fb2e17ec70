#include "kit/SimDisc.h"

#include <system_error>

#include "kit/DiscReader.h"
#include "kit/SimText.h"

namespace fs = std::filesystem;

SimDisc::SimDisc(fs::path root) : root_(std::move(root)) {}

SimDisc::SimDisc(const DiscReader& reader) : root_(reader.Root()), reader_(&reader) {}

const std::map<std::string, SimDisc::Entry>& SimDisc::Folder(const fs::path& hostPath) const {
    auto found = folders_.find(hostPath);
    if (found != folders_.end()) return found->second;
    std::map<std::string, Entry>& entries = folders_[hostPath];
    if (reader_) {
        std::vector<DiscEntry> listed;
        std::string error;
        if (!reader_->List(hostPath, listed, error)) return entries;
        for (const DiscEntry& d : listed) {
            Entry e;
            e.name = d.name;
            e.hostPath = d.path;
            e.directory = d.isDirectory;
            const std::unique_ptr<ByteSource> bytes = d.isFile ? reader_->Open(d.path) : nullptr;
            e.size = bytes ? bytes->Size() : 0;
            entries.emplace(UpperUtf8(e.name), std::move(e));
        }
        return entries;
    }
    std::error_code ec;
    for (fs::directory_iterator it(hostPath, ec), end; !ec && it != end; it.increment(ec)) {
        Entry e;
        e.hostPath = it->path();
        e.name = e.hostPath.filename().u8string();
        std::error_code statError;
        e.directory = it->is_directory(statError);
        if (!e.directory) {
            const std::uintmax_t size = it->file_size(statError);
            e.size = statError ? 0 : static_cast<std::uint64_t>(size);
        }
        // Two names that differ only in case cannot both exist on Windows; the first one wins.
        entries.emplace(UpperUtf8(e.name), std::move(e));
    }
    return entries;
}

bool SimDisc::Find(const std::vector<std::string>& components, Entry& entry) const {
    Entry current;
    current.directory = true;
    current.hostPath = root_;
    for (const std::string& component : components) {
        if (!current.directory) return false;
        const auto& entries = Folder(current.hostPath);
        auto it = entries.find(UpperUtf8(component));
        if (it == entries.end()) return false;
        current = it->second;
    }
    entry = current;
    return true;
}

std::vector<SimDisc::Entry> SimDisc::List(const std::vector<std::string>& components) const {
    Entry folder;
    std::vector<Entry> out;
    if (!Find(components, folder) || !folder.directory) return out;
    for (const auto& item : Folder(folder.hostPath)) out.push_back(item.second);
    return out;
}
