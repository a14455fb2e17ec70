// Reading a file of a disc, which nothing vouches for: never through a symbolic link, never
// blocking on a FIFO or a device swapped in for a file, and only once the open file itself has
// been confirmed a regular file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "kit/disc/DiscTree.h"
#ifdef _WIN32
#include <fstream>
#endif

class DiscFile {
public:
    DiscFile() = default;
    ~DiscFile();
    DiscFile(const DiscFile&) = delete;
    DiscFile& operator=(const DiscFile&) = delete;

    // False, with why set to a phrase ("it is a symbolic link"), when path is not a regular file
    // that can be read.
    bool Open(const std::filesystem::path& path, std::string& why);
    // The same for a file of a listed folder, opened from that folder by its name alone.
    bool Open(const DiscEntry& entry, std::string& why);
    std::uint64_t Size() const { return size_; }
    // False when any byte of the range lies beyond the end or cannot be read.
    bool ReadAt(std::uint64_t offset, void* out, std::size_t size);
    // Up to limit bytes from the start.
    std::string ReadHead(std::size_t limit);

private:
#ifdef _WIN32
    std::ifstream file_;
#else
    // Takes fd (an open's result, -1 on failure) once it is confirmed a regular file.
    bool Adopt(int fd, std::string& why);
    int fd_ = -1;
#endif
    std::uint64_t size_ = 0;
};
