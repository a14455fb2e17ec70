#include "kit/DiscTree.h"

#include <algorithm>
#include <system_error>

#include "kit/SimText.h"

namespace fs = std::filesystem;

const char* EntryTypeName(EntryType type) {
    switch (type) {
        case EntryType::Folder: return "a folder";
        case EntryType::File: return "a file";
        case EntryType::Symlink: return "a symbolic link";
        case EntryType::Fifo: return "a FIFO";
        case EntryType::Socket: return "a socket";
        case EntryType::Device: return "a device file";
        case EntryType::Unknown: break;
    }
    return "of a kind disckit cannot tell";
}

std::string PathToUtf8(const fs::path& path) {
    try {
        return path.u8string();
    } catch (const std::exception&) {
        // A name that is not valid UTF-16 (an unpaired surrogate on Windows).
        return std::string("\xEF\xBF\xBD");
    }
}

fs::path Utf8ToPath(const std::string& utf8) { return fs::u8path(utf8); }

namespace {

EntryType TypeOf(const fs::file_status& status) {
    switch (status.type()) {
        case fs::file_type::directory: return EntryType::Folder;
        case fs::file_type::regular: return EntryType::File;
        case fs::file_type::symlink: return EntryType::Symlink;
        case fs::file_type::fifo: return EntryType::Fifo;
        case fs::file_type::socket: return EntryType::Socket;
        case fs::file_type::block:
        case fs::file_type::character: return EntryType::Device;
        default: return EntryType::Unknown;
    }
}

}  // namespace

bool ListFolder(const fs::path& folder, DiscFolder& listing, std::string& error) {
    std::vector<DiscEntry>& entries = listing.entries_;
    entries.clear();
    listing.firstByFold_.clear();
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    for (const fs::directory_iterator end; !ec && it != end; it.increment(ec)) {
        DiscEntry entry;
        entry.path = it->path();
        entry.name = PathToUtf8(entry.path.filename());
        std::u32string decoded;
        entry.validName = DecodeUtf8(entry.name, decoded);
        std::error_code statusError;
        const fs::file_status status = it->symlink_status(statusError);
        entry.type = statusError ? EntryType::Unknown : TypeOf(status);
        entry.isDirectory = entry.type == EntryType::Folder;
        entry.isFile = entry.type == EntryType::File;
        entries.push_back(std::move(entry));
    }
    if (ec) {
        entries.clear();
        error = ec.message();
        return false;
    }
    std::sort(entries.begin(), entries.end(),
              [](const DiscEntry& a, const DiscEntry& b) { return a.name < b.name; });
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].Pressed()) listing.firstByFold_.emplace(UpperUtf8(entries[i].name), i);
    }
    return true;
}

Lookup DiscFolder::Find(const std::string& name) const {
    const auto found = firstByFold_.find(UpperUtf8(name));
    if (found == firstByFold_.end()) return Lookup();
    const DiscEntry& entry = entries_[found->second];
    return {entry.name == name ? Match::Exact : Match::CaseOnly, &entry};
}
