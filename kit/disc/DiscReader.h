// Where a disc's files come from: a folder, or an ISO 9660 image read in place as Windows reads a
// pressed disc. check and simulate see either through this one interface, and a folder only
// through DiscTree and DiscFile: listed without following links, each entry opened from the
// folder that holds it, never blocking, never anything but a regular file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "kit/disc/DiscTree.h"
#include "kit/disc/PeImage.h"

// Something the reader found about the disc as a whole that the check reports: a finding's code,
// the path concerned (relative, backslashes) and what this instance adds.
struct DiscNote {
    std::string code;
    std::string path;
    std::string detail;
};

class DiscReader {
public:
    virtual ~DiscReader() = default;
    // The disc as named on the command line.
    virtual const std::filesystem::path& Root() const = 0;
    // The entries of the disc's root, or of one of its folders (an entry this reader listed).
    // False, with error set to a phrase, when the folder cannot be read.
    virtual bool ListRoot(DiscFolder& entries, std::string& error) const = 0;
    virtual bool List(const DiscEntry& folder, DiscFolder& entries, std::string& error) const = 0;
    // The bytes of a file this reader listed; null, with why set to a phrase, when it cannot be
    // read.
    virtual std::unique_ptr<ByteSource> Open(const DiscEntry& file, std::string& why) const = 0;
    // The size of a file this reader listed; 0 when it cannot be told.
    virtual std::uint64_t SizeOf(const DiscEntry& file) const = 0;
    // What reading the disc itself revealed (an image whose trees disagree); none for a folder.
    virtual std::vector<DiscNote> Notes() const { return {}; }
};

// A folder on this machine, read with the hardened DiscTree and DiscFile.
class FolderReader : public DiscReader {
public:
    explicit FolderReader(std::filesystem::path root) : root_(std::move(root)) {}
    const std::filesystem::path& Root() const override { return root_; }
    bool ListRoot(DiscFolder& entries, std::string& error) const override;
    bool List(const DiscEntry& folder, DiscFolder& entries, std::string& error) const override;
    std::unique_ptr<ByteSource> Open(const DiscEntry& file, std::string& why) const override;
    std::uint64_t SizeOf(const DiscEntry& file) const override;

private:
    std::filesystem::path root_;
};

// What the disc operand is: a folder, an ISO 9660 image, or neither (missing or another file).
enum class DiscKind { Folder, Image, Neither };
DiscKind ClassifyDisc(const std::string& path);

// The reader of a disc given on the command line (UTF-8): a folder, or an ISO 9660 image. Null,
// with the reason in error, when it is neither or cannot be read.
std::unique_ptr<DiscReader> OpenDisc(const std::string& operand, std::string& error);
