#include "kit/disc/IsoImage.h"

#include <algorithm>
#include <set>
#include <system_error>

namespace fs = std::filesystem;

#ifndef DISCKIT_HAVE_ISO9660

bool ImagesSupported() { return false; }

std::unique_ptr<DiscReader> OpenIsoImage(const fs::path& image, std::string& error) {
    error = "this build of disckit reads no disc images (" + PathToUtf8(image) +
            "): check the disc's folder, or the image with the Linux build";
    return nullptr;
}

#else

#include <cdio/iso9660.h>
#include <cdio/logging.h>

namespace {

constexpr std::uint64_t kSector = 2048;

// A file's bytes: a slice of the image, read piece by piece.
class SliceBytes : public ByteSource {
public:
    bool Open(const fs::path& image, std::uint64_t offset, std::uint64_t size) {
        if (!image_.Open(image)) return false;
        if (offset > image_.Size() || size > image_.Size() - offset) return false;
        offset_ = offset;
        size_ = size;
        return true;
    }
    std::uint64_t Size() const override { return size_; }
    bool Read(std::uint64_t offset, void* out, std::size_t size) override {
        if (offset > size_ || size > size_ - offset) return false;
        return image_.Read(offset_ + offset, out, size);
    }

private:
    FileBytes image_;
    std::uint64_t offset_ = 0;
    std::uint64_t size_ = 0;
};

// A name as Windows shows it: a plain ISO 9660 name loses its version (";1") and the dot of a
// name without extension, and is upper case. (Where an image without Joliet names has Rock Ridge
// ones, the library hands those out instead; upper-cased, they are the plain names as long as
// they fit 8.3, which is what image tools then record.) A byte that cannot be in a name here ('/',
// NUL) becomes '?', which Windows cannot hold either, so the check still reports the name.
std::string ShownName(std::string name, bool joliet) {
    if (!joliet) {
        const std::size_t version = name.rfind(';');
        if (version != std::string::npos) name.erase(version);
        if (!name.empty() && name.back() == '.') name.pop_back();
        for (char& c : name) {
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        }
    }
    for (char& c : name) {
        if (c == '/' || c == '\0') c = '?';
    }
    return name;
}

struct Node {
    DiscEntry entry;
    std::string libraryPath;  // the folder's path as the library takes it
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

class IsoReader : public DiscReader {
public:
    // The image is what the user named, links and all; its bytes are then read from the file
    // that name led to, as the library read them, never through a link the name led to later.
    explicit IsoReader(fs::path image) : image_(std::move(image)) {
        std::error_code ec;
        data_ = fs::canonical(image_, ec);
        if (ec) data_ = image_;
    }

    bool Load(std::string& error) {
        // What the library would say of a damaged image on stderr, the caller says in one line.
        cdio_log_set_handler([](cdio_log_level_t, const char*) {});
        iso9660_t* iso = iso9660_open_ext(PathToUtf8(data_).c_str(), ISO_EXTENSION_JOLIET);
        if (!iso) {
            error = PathToUtf8(image_) + ": not an ISO 9660 image that can be read";
            return false;
        }
        std::uint8_t joliet = iso9660_ifs_get_joliet_level(iso);
        std::set<std::uint32_t> seen;
        const bool ok = LoadFolder(iso, joliet != 0, image_, "/", 0, seen, error);
        iso9660_close(iso);
        return ok;
    }

    const fs::path& Root() const override { return image_; }

    bool ListRoot(DiscFolder& entries, std::string& error) const override {
        return ListPath(image_, entries, error);
    }

    bool List(const DiscEntry& folder, DiscFolder& entries, std::string& error) const override {
        return ListPath(folder.path, entries, error);
    }

    std::unique_ptr<ByteSource> Open(const DiscEntry& file, std::string& why) const override {
        const auto it = files_.find(file.path);
        if (it == files_.end()) {
            why = "it is no file of the image";
            return nullptr;
        }
        auto bytes = std::make_unique<SliceBytes>();
        if (!bytes->Open(data_, it->second.first, it->second.second)) {
            why = "its recorded place lies outside the image";
            return nullptr;
        }
        return bytes;
    }

    std::uint64_t SizeOf(const DiscEntry& file) const override {
        const auto it = files_.find(file.path);
        return it == files_.end() ? 0 : it->second.second;
    }

private:
    bool LoadFolder(iso9660_t* iso, bool joliet, const fs::path& folder, const std::string& at,
                    std::size_t depth, std::set<std::uint32_t>& seen, std::string& error) {
        std::vector<Node>& nodes = folders_[folder];
        CdioISO9660FileList_t* list = iso9660_ifs_readdir(iso, at.c_str());
        if (!list) {
            error = "cannot read the folder " + PathToUtf8(folder) + " of the image";
            return false;
        }
        std::vector<std::pair<Node, std::uint32_t>> folders;
        for (CdioListNode_t* item = _cdio_list_begin(list); item; item = _cdio_list_node_next(item)) {
            const auto* stat = static_cast<const iso9660_stat_t*>(_cdio_list_node_data(item));
            const std::string raw = stat->filename;
            if (raw.empty() || raw == "." || raw == ".." || raw == "\x01") continue;
            if (++entries_ > kMaxImageEntries) {
                error = "the image holds more than " + std::to_string(kMaxImageEntries) +
                        " files and folders";
                iso9660_filelist_free(list);
                return false;
            }
            Node node;
            node.entry.name = ShownName(raw, joliet);
            node.entry.path = folder / Utf8ToPath(node.entry.name);
            // An image records folders and files only: DiscFolder::Of sets isDirectory, isFile.
            node.entry.type = stat->type == iso9660_stat_s::_STAT_DIR ? EntryType::Folder
                                                                      : EntryType::File;
            node.libraryPath = at + raw + "/";
            if (node.entry.type == EntryType::File) {
                files_[node.entry.path] = {static_cast<std::uint64_t>(stat->lsn) * kSector,
                                           stat->size};
            } else {
                folders.push_back({node, static_cast<std::uint32_t>(stat->lsn)});
            }
            nodes.push_back(node);
        }
        iso9660_filelist_free(list);
        std::sort(nodes.begin(), nodes.end(), [](const Node& a, const Node& b) {
            return a.entry.name < b.entry.name;
        });
        // A folder whose record points at a folder already read (a loop, or two names for one
        // folder) is listed but not entered again; too deep a tree ends where the cap is.
        for (const auto& [node, lsn] : folders) {
            if (depth + 1 >= kMaxImageDepth || !seen.insert(lsn).second) {
                folders_[node.entry.path];
                continue;
            }
            if (!LoadFolder(iso, joliet, node.entry.path, node.libraryPath, depth + 1, seen, error)) {
                return false;
            }
        }
        return true;
    }

    bool ListPath(const fs::path& folder, DiscFolder& entries, std::string& error) const {
        const auto it = folders_.find(folder);
        if (it == folders_.end()) {
            entries = DiscFolder();
            error = "no folder " + PathToUtf8(folder) + " in the image";
            return false;
        }
        std::vector<DiscEntry> listed;
        for (const Node& node : it->second) listed.push_back(node.entry);
        entries = DiscFolder::Of(std::move(listed));
        return true;
    }

    fs::path image_;
    fs::path data_;  // the image's file itself
    std::size_t entries_ = 0;
    std::map<fs::path, std::vector<Node>> folders_;
    std::map<fs::path, std::pair<std::uint64_t, std::uint64_t>> files_;
};

}  // namespace

bool ImagesSupported() { return true; }

std::unique_ptr<DiscReader> OpenIsoImage(const fs::path& image, std::string& error) {
    auto reader = std::make_unique<IsoReader>(image);
    if (!reader->Load(error)) return nullptr;
    return reader;
}

#endif
