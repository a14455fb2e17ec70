// Paths looked up on a disc as Windows looks them up: component by component, each name compared
// without regard to case as Windows compares names (DiscFolder::Find), each folder listed once.
// simulate's file system and the trial's start-page check both find the disc's files here, so
// that a name simulate finds the trial finds too.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "kit/disc/DiscTree.h"

class DiscReader;

class DiscLookup {
public:
    // reader must outlive this.
    explicit DiscLookup(const DiscReader& reader) : reader_(reader) {}

    const DiscReader& Reader() const { return reader_; }

    // The entry at the path below the root, each component UTF-8. found is false when there is
    // none; a found empty path is the root itself (null).
    const DiscEntry* Reach(const std::vector<std::string>& components, bool& found) const;
    // A folder's entries (null: the root's), read once; an unreadable folder is an empty one.
    const DiscFolder& Folder(const DiscEntry* folder) const;

private:
    const DiscReader& reader_;
    mutable std::map<std::filesystem::path, DiscFolder> folders_;
};

// Whether the disc holds this path (backslashes, below the root) as a file. A path with a "." or
// ".." component, or none at all, is not on the disc.
bool DiscHoldsFile(const DiscLookup& disc, const std::string& relative);
