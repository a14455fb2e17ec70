#include "kit/disc/DiscReader.h"

#include <cstring>
#include <fstream>
#include <system_error>

#include "kit/disc/IsoImage.h"

namespace fs = std::filesystem;

DiscKind ClassifyDisc(const std::string& path) {
    const std::filesystem::path p = std::filesystem::u8path(path);
    std::error_code ec;
    if (std::filesystem::is_directory(p, ec)) return DiscKind::Folder;
    if (!std::filesystem::is_regular_file(p, ec)) return DiscKind::Neither;
    // An ISO 9660 image has its first volume descriptor in sector 16: type, then "CD001".
    std::ifstream file(p, std::ios::binary);
    char id[5] = {};
    file.seekg(16 * 2048 + 1);
    if (!file.read(id, sizeof id)) return DiscKind::Neither;
    return std::memcmp(id, "CD001", sizeof id) == 0 ? DiscKind::Image : DiscKind::Neither;
}

bool FolderReader::ListRoot(DiscFolder& entries, std::string& error) const {
    return ListFolder(root_, entries, error);
}

bool FolderReader::List(const DiscEntry& folder, DiscFolder& entries, std::string& error) const {
    return ListFolder(folder, entries, error);
}

std::unique_ptr<ByteSource> FolderReader::Open(const DiscEntry& file, std::string& why) const {
    auto bytes = std::make_unique<FileBytes>();
    if (!bytes->Open(file)) {
        why = bytes->Problem();
        return nullptr;
    }
    return bytes;
}

std::uint64_t FolderReader::SizeOf(const DiscEntry& file) const { return FileSizeOf(file); }

std::unique_ptr<DiscReader> OpenDisc(const std::string& operand, std::string& error) {
    const fs::path path = Utf8ToPath(operand);
    switch (ClassifyDisc(operand)) {
        case DiscKind::Folder:
            return std::make_unique<FolderReader>(path);
        case DiscKind::Image:
            return OpenIsoImage(path, error);
        case DiscKind::Neither:
            break;
    }
    std::error_code ec;
    error = fs::exists(path, ec) ? operand + " is neither a folder nor an ISO 9660 image"
                                 : "no such folder or image: " + operand;
    return nullptr;
}
