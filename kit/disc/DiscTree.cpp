#include "kit/disc/DiscTree.h"

#include <algorithm>
#include <system_error>

#ifndef _WIN32
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

#include "kit/windows/WindowsText.h"

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

#ifdef _WIN32

FolderHandle::~FolderHandle() = default;

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


bool ReadFolder(const fs::path& folder, const std::shared_ptr<const FolderHandle>&,
                std::vector<DiscEntry>& entries, std::string& error) {
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    for (const fs::directory_iterator end; !ec && it != end; it.increment(ec)) {
        DiscEntry entry;
        entry.path = it->path();
        entry.name = PathToUtf8(entry.path.filename());
        std::error_code statusError;
        const fs::file_status status = it->symlink_status(statusError);
        entry.type = statusError ? EntryType::Unknown : TypeOf(status);
        entries.push_back(std::move(entry));
    }
    if (ec) error = ec.message();
    return !ec;
}

std::shared_ptr<const FolderHandle> OpenRoot(const fs::path&, std::string&) {
    return std::make_shared<const FolderHandle>(-1);
}

std::shared_ptr<const FolderHandle> OpenFolder(const DiscEntry&, std::string&) {
    return std::make_shared<const FolderHandle>(-1);
}

}  // namespace

std::uint64_t FileSizeOf(const DiscEntry& file) {
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(file.path, ec);
    return ec ? 0 : static_cast<std::uint64_t>(size);
}

#else

FolderHandle::~FolderHandle() {
    if (fd_ >= 0) ::close(fd_);
}

namespace {

EntryType TypeOfMode(mode_t mode) {
    if (S_ISDIR(mode)) return EntryType::Folder;
    if (S_ISREG(mode)) return EntryType::File;
    if (S_ISLNK(mode)) return EntryType::Symlink;
    if (S_ISFIFO(mode)) return EntryType::Fifo;
    if (S_ISSOCK(mode)) return EntryType::Socket;
    if (S_ISBLK(mode) || S_ISCHR(mode)) return EntryType::Device;
    return EntryType::Unknown;
}

bool ReadFolder(const fs::path& folder, const std::shared_ptr<const FolderHandle>& handle,
                std::vector<DiscEntry>& entries, std::string& error) {
    // The stream gets a descriptor of its own: closing it must not close the handle's.
    const int fd = ::dup(handle->fd());
    DIR* dir = fd < 0 ? nullptr : ::fdopendir(fd);
    if (!dir) {
        error = std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    for (;;) {
        errno = 0;
        const dirent* item = ::readdir(dir);
        if (!item) break;
        const std::string name = item->d_name;
        if (name == "." || name == "..") continue;
        DiscEntry entry;
        entry.path = folder / name;
        entry.name = PathToUtf8(entry.path.filename());
        struct stat st {};
        entry.type = ::fstatat(handle->fd(), item->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0
                         ? TypeOfMode(st.st_mode)
                         : EntryType::Unknown;
        entries.push_back(std::move(entry));
    }
    const int readError = errno;
    ::closedir(dir);
    if (readError != 0) error = std::strerror(readError);
    return readError == 0;
}

std::shared_ptr<const FolderHandle> Handle(int fd, std::string& error) {
    if (fd < 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    return std::make_shared<const FolderHandle>(fd);
}

// The root is what the user named, links and all.
std::shared_ptr<const FolderHandle> OpenRoot(const fs::path& root, std::string& error) {
    return Handle(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), error);
}

std::shared_ptr<const FolderHandle> OpenFolder(const DiscEntry& folder, std::string& error) {
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    const int fd = folder.folder
                       ? ::openat(folder.folder->fd(), folder.path.filename().c_str(), flags)
                       : ::open(folder.path.c_str(), flags);
    return Handle(fd, error);
}

}  // namespace

std::uint64_t FileSizeOf(const DiscEntry& file) {
    struct stat st {};
    const int got = file.folder ? ::fstatat(file.folder->fd(), file.path.filename().c_str(), &st,
                                            AT_SYMLINK_NOFOLLOW)
                                : ::lstat(file.path.c_str(), &st);
    const bool regular = got == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
    return regular ? static_cast<std::uint64_t>(st.st_size) : 0;
}

#endif

bool ListEntries(const fs::path& folder, std::shared_ptr<const FolderHandle> handle,
                 DiscFolder& listing, std::string& error) {
    std::vector<DiscEntry>& entries = listing.entries_;
    entries.clear();
    listing.firstByFold_.clear();
    if (!handle || !ReadFolder(folder, handle, entries, error)) {
        entries.clear();
        return false;
    }
    for (DiscEntry& entry : entries) entry.folder = handle;
    listing.Index();
    return true;
}

void DiscFolder::Index() {
    firstByFold_.clear();
    for (DiscEntry& entry : entries_) {
        std::u32string decoded;
        entry.validName = DecodeUtf8(entry.name, decoded);
        entry.isDirectory = entry.type == EntryType::Folder;
        entry.isFile = entry.type == EntryType::File;
    }
    std::sort(entries_.begin(), entries_.end(),
              [](const DiscEntry& a, const DiscEntry& b) { return a.name < b.name; });
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].Pressed()) firstByFold_.emplace(UpperUtf8(entries_[i].name), i);
    }
}

DiscFolder DiscFolder::Of(std::vector<DiscEntry> entries) {
    DiscFolder listing;
    listing.entries_ = std::move(entries);
    listing.Index();
    return listing;
}

bool ListFolder(const fs::path& root, DiscFolder& listing, std::string& error) {
    return ListEntries(root, OpenRoot(root, error), listing, error);
}

bool ListFolder(const DiscEntry& folder, DiscFolder& listing, std::string& error) {
    return ListEntries(folder.path, OpenFolder(folder, error), listing, error);
}

Lookup DiscFolder::Find(const std::string& name) const {
    const auto found = firstByFold_.find(UpperUtf8(name));
    if (found == firstByFold_.end()) return Lookup();
    const DiscEntry& entry = entries_[found->second];
    return {entry.name == name ? Match::Exact : Match::CaseOnly, &entry};
}
