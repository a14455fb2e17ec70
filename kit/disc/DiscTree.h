// A disc folder as Windows will see it on pressed media: names in UTF-8 on every host, looked up
// without regard to case, listed in one fixed order so that every build reports the same findings
// the same way. Only folders and regular files make it onto a pressed disc: image tools leave
// symbolic links, FIFOs, sockets and device files out of the Joliet names Windows reads, so
// lookups never see them and nothing is ever read through a link.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "kit/common/Utf8.h"

enum class EntryType { Folder, File, Symlink, Fifo, Socket, Device, Unknown };

// A folder of the disc held open while its entries are used (POSIX: its descriptor). Entries are
// opened relative to it by their names alone, so no folder on the way can be swapped for a link
// once it has been listed. Elsewhere (Windows, whose discs hold no such links) it holds nothing
// and entries are opened by path.
class FolderHandle {
public:
    explicit FolderHandle(int fd) : fd_(fd) {}
    ~FolderHandle();
    FolderHandle(const FolderHandle&) = delete;
    FolderHandle& operator=(const FolderHandle&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

struct DiscEntry {
    std::string name;       // UTF-8 (on POSIX hosts the bytes as stored)
    bool validName = true;  // the name is well-formed UTF-8
    EntryType type = EntryType::Unknown;  // the entry itself, never what a link points to
    bool isDirectory = false;             // type == Folder
    bool isFile = false;                  // type == File
    std::filesystem::path path;
    std::shared_ptr<const FolderHandle> folder;  // the folder that holds it, while it is open

    // Whether the pressed disc holds it.
    bool Pressed() const { return isDirectory || isFile; }
};

// "a symbolic link", "a FIFO", ...: what an entry that no pressed disc holds is.
const char* EntryTypeName(EntryType type);

enum class Match { Exact, CaseOnly, Missing };

struct Lookup {
    Match match = Match::Missing;
    const DiscEntry* entry = nullptr;  // the entry Windows opens for the name; null when missing
};

// One folder's entries, every kind, sorted by their names' bytes.
class DiscFolder {
public:
    const std::vector<DiscEntry>& Entries() const { return entries_; }

    // The entry Windows reaches under name, comparing names as it does (UpperUtf8 of both). Of
    // names that differ only in case, the pressed disc's directory (sorted) lists the one first in
    // byte order first, and that is the one a lookup finds, whichever spelling is asked for.
    Lookup Find(const std::string& name) const;

    // A listing of entries read some other way (an image's folder): sorted and indexed as a
    // folder's are. Each entry's validName, isDirectory and isFile follow from its name and type.
    static DiscFolder Of(std::vector<DiscEntry> entries);

private:
    // Sorts entries_ and indexes the pressed ones.
    void Index();
    friend bool ListEntries(const std::filesystem::path&, std::shared_ptr<const FolderHandle>,
                            DiscFolder&, std::string&);
    std::vector<DiscEntry> entries_;
    std::unordered_map<std::string, std::size_t> firstByFold_;  // pressed entries only
};

// The entries of the disc's root, or of a folder of the disc (opened from the folder that holds
// it, never through a link). False, with error set to a phrase, when the folder cannot be read.
bool ListFolder(const std::filesystem::path& root, DiscFolder& entries, std::string& error);
bool ListFolder(const DiscEntry& folder, DiscFolder& entries, std::string& error);

// The size of a regular file of the disc; 0 when it cannot be told.
std::uint64_t FileSizeOf(const DiscEntry& file);

// Paths to and from UTF-8, whatever the host's own encoding of file names.
std::string PathToUtf8(const std::filesystem::path& path);
std::filesystem::path Utf8ToPath(const std::string& utf8);
