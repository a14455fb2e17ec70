// The disc folder as the simulated Windows sees it: the real files on disk, their names compared
// without regard to case as Windows compares them. Nothing is ever written there.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

class DiscReader;

class SimDisc {
public:
    struct Entry {
        std::string name;  // UTF-8, as on disk
        bool directory = false;
        std::uint64_t size = 0;
        std::filesystem::path hostPath;
    };

    // root: an existing folder.
    explicit SimDisc(std::filesystem::path root);
    // A folder or an image, through its reader (which must outlive this).
    explicit SimDisc(const DiscReader& reader);

    const std::filesystem::path& Root() const { return root_; }

    // The entry at the path below the root, each component UTF-8 and matched without regard to
    // case. An empty path is the root itself. False when there is none.
    bool Find(const std::vector<std::string>& components, Entry& entry) const;
    // What a folder below the root holds; empty when it is no folder.
    std::vector<Entry> List(const std::vector<std::string>& components) const;

private:
    // The folder's entries, read once; keys are the upper-cased names.
    const std::map<std::string, Entry>& Folder(const std::filesystem::path& hostPath) const;

    std::filesystem::path root_;
    const DiscReader* reader_ = nullptr;
    mutable std::map<std::filesystem::path, std::map<std::string, Entry>> folders_;
};
