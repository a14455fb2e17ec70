// The disc folder as the simulated Windows sees it: the folders and regular files on disk, read as
// the check reads them (what a pressed disc would lack, links above all, is not there), their
// names compared without regard to case as Windows compares them (DiscLookup). Nothing is ever
// written there.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "kit/disc/DiscLookup.h"
#include "kit/disc/DiscTree.h"

class DiscReader;

class SimDisc {
public:
    struct Entry {
        std::string name;  // UTF-8, as on disk
        bool directory = false;
        std::uint64_t size = 0;
        std::filesystem::path hostPath;
    };

    // root: an existing folder, read as FolderReader reads it.
    explicit SimDisc(std::filesystem::path root);
    // A folder or an image, through its reader (which must outlive this).
    explicit SimDisc(const DiscReader& reader);
    ~SimDisc();

    const std::filesystem::path& Root() const { return root_; }

    // The entry at the path below the root, each component UTF-8 and matched without regard to
    // case. An empty path is the root itself. False when there is none.
    bool Find(const std::vector<std::string>& components, Entry& entry) const;
    // What a folder below the root holds; empty when it is no folder.
    std::vector<Entry> List(const std::vector<std::string>& components) const;

private:
    std::filesystem::path root_;
    std::unique_ptr<const DiscReader> owned_;  // the folder's reader, when given a folder
    const DiscReader* reader_ = nullptr;
    DiscLookup lookup_;  // over *reader_
};
