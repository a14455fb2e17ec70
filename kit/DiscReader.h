// Where a disc's files come from: a folder, or an ISO 9660 image read in place as Windows reads a
// pressed disc. check and simulate see either through this one interface; paths are those the
// reader hands out in its entries, starting from Root().
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "kit/DiscTree.h"
#include "kit/PeImage.h"

class DiscReader {
public:
    virtual ~DiscReader() = default;
    // The disc's root, to hand to List.
    virtual const std::filesystem::path& Root() const = 0;
    // The entries of a folder of the disc, sorted by their names' bytes. False, with error set,
    // when it cannot be read.
    virtual bool List(const std::filesystem::path& folder, std::vector<DiscEntry>& entries,
                      std::string& error) const = 0;
    // The bytes of a file of the disc; null when it cannot be read.
    virtual std::unique_ptr<ByteSource> Open(const std::filesystem::path& file) const = 0;
};

// A folder on this machine, read with ListFolder and FileBytes.
class FolderReader : public DiscReader {
public:
    explicit FolderReader(std::filesystem::path root) : root_(std::move(root)) {}
    const std::filesystem::path& Root() const override { return root_; }
    bool List(const std::filesystem::path& folder, std::vector<DiscEntry>& entries,
              std::string& error) const override;
    std::unique_ptr<ByteSource> Open(const std::filesystem::path& file) const override;

private:
    std::filesystem::path root_;
};

// The reader of a disc given on the command line (UTF-8): a folder, or an ISO 9660 image. Null,
// with the reason in error, when it is neither or cannot be read.
std::unique_ptr<DiscReader> OpenDisc(const std::string& operand, std::string& error);
