// A small writer of ISO 9660 images for tests, benchmarks and fuzzing seeds: one tree of plain
// names, optionally a second one of Joliet names, every record's bytes as the caller gives them
// (so that a test can forge what no image tool writes: a Rock Ridge entry shorter than its
// header, a file pointing past the end, two trees that disagree). Files with the same bytes
// share one extent, as image tools make them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace isowriter {

constexpr std::size_t kSector = 2048;

struct Node {
    std::string id;         // the identifier's bytes as recorded (see Plain, Joliet)
    bool folder = false;
    std::string data;       // a file's bytes
    std::string systemUse;  // after the identifier (Rock Ridge entries)
    std::vector<Node> children;
    // Forgeries: the recorded extent's sector and size instead of the real ones, and the flag
    // that says another record of the same file follows.
    std::int64_t sector = -1;
    std::int64_t size = -1;
    bool morePieces = false;
};

inline Node File(std::string id, std::string data, std::string systemUse = "") {
    Node node;
    node.id = std::move(id);
    node.data = std::move(data);
    node.systemUse = std::move(systemUse);
    return node;
}

inline Node Folder(std::string id, std::vector<Node> children, std::string systemUse = "") {
    Node node;
    node.id = std::move(id);
    node.folder = true;
    node.children = std::move(children);
    node.systemUse = std::move(systemUse);
    return node;
}

// A plain file name with its version, "NAME.EXT;1".
inline std::string Plain(const std::string& name) { return name + ";1"; }

// UTF-8 (no checks: tests give valid text) to UCS-2/UTF-16 big endian.
inline std::string Joliet(const std::string& utf8) {
    std::string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        std::uint32_t c = b;
        std::size_t n = 1;
        if (b >= 0xF0) { c = b & 0x07; n = 4; }
        else if (b >= 0xE0) { c = b & 0x0F; n = 3; }
        else if (b >= 0xC0) { c = b & 0x1F; n = 2; }
        for (std::size_t k = 1; k < n && i + k < utf8.size(); ++k) {
            c = c << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        }
        i += n;
        const auto unit = [&](std::uint32_t u) {
            out += static_cast<char>(u >> 8);
            out += static_cast<char>(u & 0xFF);
        };
        if (c >= 0x10000) {
            unit(0xD800 + ((c - 0x10000) >> 10));
            unit(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            unit(c);
        }
    }
    return out;
}

// A Rock Ridge NM entry of the given name.
inline std::string RockName(const std::string& name) {
    return std::string("NM") + static_cast<char>(5 + name.size()) + '\x01' + '\0' + name;
}

namespace detail {

inline void Both32(std::string& b, std::size_t at, std::uint32_t v) {
    for (std::size_t k = 0; k < 4; ++k) {
        b[at + k] = static_cast<char>(v >> (8 * k));
        b[at + 7 - k] = static_cast<char>(v >> (8 * k));
    }
}

inline void Both16(std::string& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>(v >> 8);
    b[at + 2] = static_cast<char>(v >> 8);
    b[at + 3] = static_cast<char>(v & 0xFF);
}

inline std::string Record(const std::string& id, bool folder, std::uint32_t sector,
                          std::uint32_t size, const std::string& systemUse, bool morePieces) {
    std::size_t length = 33 + id.size() + (id.size() % 2 == 0 ? 1 : 0) + systemUse.size();
    length += length % 2;
    std::string r(length, '\0');
    r[0] = static_cast<char>(length);
    Both32(r, 2, sector);
    Both32(r, 10, size);
    r[18] = 100;  // 2000-01-01
    r[19] = 1;
    r[20] = 1;
    r[25] = static_cast<char>((folder ? 0x02 : 0) | (morePieces ? 0x80 : 0));
    Both16(r, 28, 1);
    r[32] = static_cast<char>(id.size());
    r.replace(33, id.size(), id);
    r.replace(33 + id.size() + (id.size() % 2 == 0 ? 1 : 0), systemUse.size(), systemUse);
    return r;
}

class Layout {
public:
    // Sectors for every folder of the tree (breadth first) and every distinct file content.
    void Place(const Node& folder) {
        std::vector<const Node*> queue = {&folder};
        for (std::size_t i = 0; i < queue.size(); ++i) {
            const Node* f = queue[i];
            const std::uint32_t size = FolderSize(*f);
            folders_[f] = {next_, size};
            next_ += static_cast<std::uint32_t>(size / kSector);
            for (const Node& child : f->children) {
                if (child.folder) queue.push_back(&child);
            }
        }
    }
    void PlaceData(const Node& folder) {
        for (const Node& child : folder.children) {
            if (child.folder) {
                PlaceData(child);
            } else if (!data_.count(child.data)) {
                data_[child.data] = next_;
                next_ += static_cast<std::uint32_t>((child.data.size() + kSector - 1) / kSector);
                if (child.data.empty()) ++next_;
            }
        }
    }
    std::uint32_t Next() const { return next_; }
    void SetNext(std::uint32_t next) { next_ = next; }
    std::pair<std::uint32_t, std::uint32_t> Of(const Node& folder) const {
        return folders_.at(&folder);
    }
    std::uint32_t DataOf(const std::string& data) const { return data_.at(data); }
    const std::map<std::string, std::uint32_t>& Data() const { return data_; }

    // The folder's records, "." and ".." first, each record within one sector.
    std::string Records(const Node& folder, const Node& parent) const {
        std::vector<std::string> records;
        const auto self = Of(folder), up = Of(parent);
        records.push_back(Record(std::string(1, '\0'), true, self.first, self.second, "", false));
        records.push_back(Record(std::string(1, '\1'), true, up.first, up.second, "", false));
        for (const Node& child : folder.children) {
            std::uint32_t sector = 0, size = 0;
            if (child.folder) {
                sector = Of(child).first;
                size = Of(child).second;
            } else {
                sector = DataOf(child.data);
                size = static_cast<std::uint32_t>(child.data.size());
            }
            if (child.sector >= 0) sector = static_cast<std::uint32_t>(child.sector);
            if (child.size >= 0) size = static_cast<std::uint32_t>(child.size);
            records.push_back(
                Record(child.id, child.folder, sector, size, child.systemUse, child.morePieces));
        }
        std::string out;
        for (const std::string& r : records) {
            if (out.size() / kSector != (out.size() + r.size() - 1) / kSector) {
                out.resize((out.size() / kSector + 1) * kSector, '\0');
            }
            out += r;
        }
        out.resize((out.size() + kSector - 1) / kSector * kSector, '\0');
        return out;
    }

private:
    std::uint32_t FolderSize(const Node& folder) const {
        std::size_t size = 0;
        const auto add = [&](std::size_t length) {
            if (size / kSector != (size + length - 1) / kSector) size = (size / kSector + 1) * kSector;
            size += length;
        };
        add(34);
        add(34);
        for (const Node& child : folder.children) {
            std::size_t length =
                33 + child.id.size() + (child.id.size() % 2 == 0 ? 1 : 0) + child.systemUse.size();
            add(length + length % 2);
        }
        return static_cast<std::uint32_t>((size + kSector - 1) / kSector * kSector);
    }

    std::map<const Node*, std::pair<std::uint32_t, std::uint32_t>> folders_;
    std::map<std::string, std::uint32_t> data_;
    std::uint32_t next_ = 0;
};

inline void WriteFolders(const Layout& layout, const Node& folder, const Node& parent,
                         std::string& image) {
    const std::string records = layout.Records(folder, parent);
    image.replace(layout.Of(folder).first * kSector, records.size(), records);
    for (const Node& child : folder.children) {
        if (child.folder) WriteFolders(layout, child, folder, image);
    }
}

inline std::string Descriptor(char type, const Node& root, const Layout& layout,
                              std::uint32_t sectors, bool joliet) {
    std::string d(kSector, '\0');
    d[0] = type;
    d.replace(1, 5, "CD001");
    d[6] = 1;
    if (joliet) d.replace(88, 3, "%/E");
    Both32(d, 80, sectors);
    Both16(d, 120, 1);
    Both16(d, 124, 1);
    Both16(d, 128, static_cast<std::uint16_t>(kSector));
    const auto at = layout.Of(root);
    const std::string record = Record(std::string(1, '\0'), true, at.first, at.second, "", false);
    d.replace(156, record.size(), record);
    d[881] = 1;
    return d;
}

}  // namespace detail

// The image of root (plain names), with a Joliet tree when joliet is given.
inline std::string Image(const Node& root, const Node* joliet = nullptr) {
    detail::Layout layout;
    const std::uint32_t descriptors = joliet ? 3 : 2;
    layout.SetNext(16 + descriptors);
    layout.Place(root);
    if (joliet) layout.Place(*joliet);
    layout.PlaceData(root);
    if (joliet) layout.PlaceData(*joliet);
    const std::uint32_t sectors = layout.Next();
    std::string image(static_cast<std::size_t>(sectors) * kSector, '\0');
    image.replace(16 * kSector, kSector, detail::Descriptor(1, root, layout, sectors, false));
    if (joliet) {
        image.replace(17 * kSector, kSector, detail::Descriptor(2, *joliet, layout, sectors, true));
    }
    std::string end(kSector, '\0');
    end[0] = '\xFF';
    end.replace(1, 5, "CD001");
    end[6] = 1;
    image.replace((16 + descriptors - 1) * kSector, kSector, end);
    detail::WriteFolders(layout, root, root, image);
    if (joliet) detail::WriteFolders(layout, *joliet, *joliet, image);
    for (const auto& [data, sector] : layout.Data()) {
        image.replace(static_cast<std::size_t>(sector) * kSector, data.size(), data);
    }
    return image;
}

}  // namespace isowriter

namespace isowriter {

// The image that overflowed a library's Rock Ridge reader: a file whose NM entries are one of
// length 6 and then one of length 4, shorter than an NM entry's header, followed by 1,200
// bytes without a NUL, either in the record's own folder (after the record, to the end of
// its sector) or in a continuation area (CE) the record points to. With joliet, the image
// has Joliet names too, and its ISO 9660 tree is what holds the entries.
inline std::string ShortNameEntryImage(bool joliet, bool continued) {
    const std::string shortEntry = std::string("NM\x04\x01", 4);
    std::string use = std::string("NM\x06\x01\x00" "A", 6);
    constexpr std::uint32_t kPlaceholder = 0x00CE0CE0;
    if (continued) {
        std::string ce = std::string("CE\x1C\x01", 4) + std::string(24, '\0');
        detail::Both32(ce, 4, kPlaceholder);
        detail::Both32(ce, 12, 0);
        detail::Both32(ce, 20, static_cast<std::uint32_t>(shortEntry.size() + 1 + 1200));
        use += ce;
    } else {
        use += shortEntry + '\x00';
    }
    Node root = Folder("", {File(Plain("PAGE.HTM"), "x"), File(Plain("START.EXE"), "MZ", use)});
    Node names = Folder("", {File(Joliet("Start.exe"), "MZ"), File(Joliet("page.htm"), "x")});
    std::string image = Image(root, joliet ? &names : nullptr);
    if (continued) {
        std::string placeholder(8, '\0');
        detail::Both32(placeholder, 0, kPlaceholder);
        const std::size_t at = image.find(placeholder);
        std::string patch(8, '\0');
        detail::Both32(patch, 0, static_cast<std::uint32_t>(image.size() / kSector));
        image.replace(at, 8, patch);
        std::string area = shortEntry + '\x00' + std::string(1200, 'A');
        area.resize(kSector, 'A');
        image += area;
    } else {
        // From the end of the last record's entries to the end of its sector: no NUL.
        const std::size_t from = image.find(use) + use.size();
        const std::size_t to = std::min((from / kSector + 1) * kSector, from + 1200);
        image.replace(from, to - from, std::string(to - from, 'A'));
    }
    return image;
}

}  // namespace isowriter
