#include "kit/disc/DiscLookup.h"

#include <algorithm>

#include "kit/disc/DiscReader.h"

const DiscFolder& DiscLookup::Folder(const DiscEntry* folder) const {
    const std::filesystem::path& key = folder ? folder->path : reader_.Root();
    auto found = folders_.find(key);
    if (found != folders_.end()) return found->second;
    DiscFolder& listing = folders_[key];
    std::string error;
    if (folder) {
        reader_.List(*folder, listing, error);
    } else {
        reader_.ListRoot(listing, error);
    }
    return listing;
}

const DiscEntry* DiscLookup::Reach(const std::vector<std::string>& components,
                                   bool& found) const {
    const DiscEntry* current = nullptr;  // the root
    found = false;
    for (const std::string& component : components) {
        if (current && !current->isDirectory) return nullptr;
        current = Folder(current).Find(component).entry;
        if (!current) return nullptr;
    }
    found = true;
    return current;
}

bool DiscHoldsFile(const DiscLookup& disc, const std::string& relative) {
    std::vector<std::string> parts;
    std::size_t at = 0;
    while (at <= relative.size()) {
        const std::size_t slash = std::min(relative.find('\\', at), relative.size());
        const std::string part = relative.substr(at, slash - at);
        if (part == "." || part == "..") return false;
        if (!part.empty()) parts.push_back(part);
        at = slash + 1;
    }
    if (parts.empty()) return false;
    bool found = false;
    const DiscEntry* entry = disc.Reach(parts, found);
    return found && entry && !entry->isDirectory;
}
