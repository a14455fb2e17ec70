#include "kit/SimDisc.h"

#include <system_error>

namespace fs = std::filesystem;

namespace {

SimDisc::Entry EntryOf(const DiscEntry& found) {
    SimDisc::Entry e;
    e.name = found.name;
    e.directory = found.isDirectory;
    if (found.isFile) {
        // Asked for here, not for every entry of every folder listed.
        std::error_code ec;
        const std::uintmax_t size = fs::file_size(found.path, ec);
        e.size = ec ? 0 : static_cast<std::uint64_t>(size);
    }
    e.hostPath = found.path;
    return e;
}

}  // namespace

SimDisc::SimDisc(fs::path root) : root_(std::move(root)) {}

const DiscFolder& SimDisc::Folder(const fs::path& hostPath) const {
    auto found = folders_.find(hostPath);
    if (found != folders_.end()) return found->second;
    DiscFolder& listing = folders_[hostPath];
    std::string error;
    ListFolder(hostPath, listing, error);
    return listing;
}

bool SimDisc::Find(const std::vector<std::string>& components, Entry& entry) const {
    Entry current;
    current.directory = true;
    current.hostPath = root_;
    for (const std::string& component : components) {
        if (!current.directory) return false;
        const Lookup found = Folder(current.hostPath).Find(component);
        if (!found.entry) return false;
        current = EntryOf(*found.entry);
    }
    entry = current;
    return true;
}

std::vector<SimDisc::Entry> SimDisc::List(const std::vector<std::string>& components) const {
    Entry folder;
    std::vector<Entry> out;
    if (!Find(components, folder) || !folder.directory) return out;
    const DiscFolder& listing = Folder(folder.hostPath);
    for (const DiscEntry& item : listing.Entries()) {
        // Of names that differ only in case, the one a lookup reaches.
        if (item.Pressed() && listing.Find(item.name).entry == &item) out.push_back(EntryOf(item));
    }
    return out;
}
