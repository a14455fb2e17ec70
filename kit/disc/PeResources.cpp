#include "kit/disc/PeResources.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "kit/common/Utf8.h"
#include "kit/disc/LittleEndian.h"
#include "kit/disc/PeHeaders.h"

namespace {

std::uint32_t AlignUp(std::uint32_t value, std::uint32_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

// The headers as the resources need them: a 32-bit (PE32) image with sane alignments, whose
// optional header holds the data directories up to the relocations, and whose sections all lie
// within the file (a rewrite copies them).
bool ReadLayout(const std::string& image, PeHeaders& layout, std::string& problem) {
    BorrowedBytes bytes(image);
    if (!ReadPeHeaders(bytes, layout, problem)) return false;
    if (layout.pe32Plus) {
        problem = "it is no 32-bit (PE32) image";
        return false;
    }
    if (layout.directoryCount <= kPeRelocations || layout.sectionAlignment == 0 ||
        layout.fileAlignment == 0 || layout.sectionAlignment > 0x10000 ||
        layout.fileAlignment > 0x10000) {
        problem = "its optional header is damaged";
        return false;
    }
    for (const PeSection& s : layout.sections) {
        if (static_cast<std::uint64_t>(s.rawPointer) + s.rawSize > image.size()) {
            problem = "the file ends inside its section " + s.name + " (cut short)";
            return false;
        }
    }
    return true;
}

class ResourceTreeReader {
public:
    ResourceTreeReader(const std::string& image, const PeHeaders& layout, std::uint64_t base,
               std::uint32_t size)
        : image_(image), layout_(layout), base_(base), size_(size) {}

    bool Read(std::vector<Resource>& out, std::string& problem) {
        Resource current;
        return Directory(0, 0, current, out, problem);
    }

private:
    bool Directory(std::uint32_t at, int level, Resource& current, std::vector<Resource>& out,
                   std::string& problem) {
        std::uint16_t named = 0, ids = 0;
        if (!Inside(at, 16) || !Get16(image_, base_ + at + 12, named) ||
            !Get16(image_, base_ + at + 14, ids)) {
            problem = "its resource tree is cut short";
            return false;
        }
        const std::uint32_t entries = static_cast<std::uint32_t>(named) + ids;
        if (!Inside(at + 16, 8 * entries)) {
            problem = "its resource tree is cut short";
            return false;
        }
        // Directories may be shared, so a small tree can list the same entries over and over:
        // what is walked is counted, not what the section holds.
        walked_ += entries;
        if (entries > kMaxResourceDirectoryEntries || walked_ > kMaxResourceEntries) {
            problem = kResourceTreeTooLarge;
            return false;
        }
        for (std::uint32_t i = 0; i < entries; ++i) {
            std::uint32_t id = 0, target = 0;
            Get32(image_, base_ + at + 16 + 8 * i, id);
            Get32(image_, base_ + at + 20 + 8 * i, target);
            ResourceId rid;
            if (id & 0x80000000u) {
                if (!Name(id & 0x7FFFFFFFu, rid.name, problem)) return false;
                rid.named = true;
            } else {
                rid.number = static_cast<std::uint16_t>(id & 0xFFFF);
            }
            const bool subdirectory = (target & 0x80000000u) != 0;
            target &= 0x7FFFFFFFu;
            // Three levels (type, name, language) and no more: a tree that loops or goes deeper
            // is not one Windows reads.
            if (subdirectory != (level < 2) || target <= at) {
                problem = "its resource tree is malformed";
                return false;
            }
            if (level == 0) current.type = rid;
            if (level == 1) current.name = rid;
            if (subdirectory) {
                if (!Directory(target, level + 1, current, out, problem)) return false;
                continue;
            }
            current.language = rid.number;
            std::uint32_t rva = 0, length = 0;
            std::uint64_t offset = 0;
            if (!Inside(target, 16) || !Get32(image_, base_ + target, rva) ||
                !Get32(image_, base_ + target + 4, length) ||
                !Get32(image_, base_ + target + 8, current.codePage) ||
                !layout_.OffsetOf(rva, length, offset)) {
                problem = "a resource's data lies outside the image";
                return false;
            }
            // Entries may share their data: the copies together stay within what a program holds.
            total_ += length;
            if (out.size() >= 4096 || total_ > kMaxResourceBytes) {
                problem = "it has more resources than a program has";
                return false;
            }
            current.data = image_.substr(static_cast<std::size_t>(offset), length);
            out.push_back(current);
        }
        return true;
    }

    bool Inside(std::uint64_t at, std::uint64_t length) const {
        return at <= size_ && size_ - at >= length;
    }

    bool Name(std::uint32_t at, std::u16string& name, std::string& problem) {
        std::uint16_t length = 0;
        if (!Inside(at, 2) || !Get16(image_, base_ + at, length) || !Inside(at + 2, 2u * length)) {
            problem = "a resource name lies outside its section";
            return false;
        }
        // Like directories, a name may be shared by every entry: what is read is counted.
        nameUnits_ += length;
        if (nameUnits_ > kMaxResourceNameUnits) {
            problem = kResourceTreeTooLarge;
            return false;
        }
        for (std::uint16_t i = 0; i < length; ++i) {
            std::uint16_t unit = 0;
            Get16(image_, base_ + at + 2 + 2u * i, unit);
            name.push_back(static_cast<char16_t>(unit));
        }
        return true;
    }

    static constexpr std::uint64_t kMaxResourceBytes = 64u << 20;

    const std::string& image_;
    const PeHeaders& layout_;
    std::uint64_t base_;
    std::uint32_t size_;
    std::uint64_t total_ = 0;
    std::uint64_t walked_ = 0;
    std::uint64_t nameUnits_ = 0;
};

// Windows looks entries up by binary search: names first, compared by their upper-case units,
// then numbers, ascending.
std::u16string Upper(const std::u16string& s) {
    std::u16string u = s;
    for (char16_t& c : u)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    return u;
}

bool Before(const ResourceId& a, const ResourceId& b) {
    if (a.named != b.named) return a.named;
    return a.named ? Upper(a.name) < Upper(b.name) : a.number < b.number;
}

bool Same(const ResourceId& a, const ResourceId& b) { return !Before(a, b) && !Before(b, a); }

// The resource section's bytes for resources placed at rva.
std::string BuildTree(std::vector<Resource> resources, std::uint32_t rva) {
    std::stable_sort(resources.begin(), resources.end(), [](const Resource& a, const Resource& b) {
        if (!Same(a.type, b.type)) return Before(a.type, b.type);
        if (!Same(a.name, b.name)) return Before(a.name, b.name);
        return a.language < b.language;
    });
    // The tree's shape: the types, under each its names, under each its languages.
    struct Node {
        ResourceId id;
        std::vector<std::size_t> children;  // nodes below, or resources at the last level
    };
    std::vector<Node> types, names;
    for (std::size_t i = 0; i < resources.size(); ++i) {
        if (types.empty() || !Same(types.back().id, resources[i].type)) {
            types.push_back({resources[i].type, {}});
        }
        if (names.empty() || types.back().children.empty() ||
            !Same(names.back().id, resources[i].name)) {
            types.back().children.push_back(names.size());
            names.push_back({resources[i].name, {}});
        }
        names.back().children.push_back(i);
    }
    // Where everything goes: the directories, the names' strings, the data entries, the data.
    std::uint32_t at = 16 + 8 * static_cast<std::uint32_t>(types.size());
    std::vector<std::uint32_t> typeDirs, nameDirs;
    for (const Node& t : types) {
        typeDirs.push_back(at);
        at += 16 + 8 * static_cast<std::uint32_t>(t.children.size());
    }
    for (const Node& n : names) {
        nameDirs.push_back(at);
        at += 16 + 8 * static_cast<std::uint32_t>(n.children.size());
    }
    std::string strings;
    const std::uint32_t stringsAt = at;
    auto stringOf = [&](const ResourceId& id) -> std::uint32_t {
        const std::uint32_t offset = stringsAt + static_cast<std::uint32_t>(strings.size());
        Append16(strings, static_cast<std::uint16_t>(id.name.size()));
        for (char16_t c : id.name) Append16(strings, static_cast<std::uint16_t>(c));
        return offset | 0x80000000u;
    };
    std::vector<std::uint32_t> typeKeys, nameKeys;
    for (const Node& t : types) typeKeys.push_back(t.id.named ? stringOf(t.id) : t.id.number);
    for (const Node& n : names) nameKeys.push_back(n.id.named ? stringOf(n.id) : n.id.number);
    at = AlignUp(at + static_cast<std::uint32_t>(strings.size()), 4);
    const std::uint32_t entriesAt = at;
    at += 16 * static_cast<std::uint32_t>(resources.size());
    std::vector<std::uint32_t> dataAt;
    for (const Resource& r : resources) {
        at = AlignUp(at, 8);
        dataAt.push_back(at);
        at += static_cast<std::uint32_t>(r.data.size());
    }
    std::string out(at, '\0');
    auto directory = [&](std::uint32_t offset, const std::vector<std::size_t>& children, auto key,
                         auto target) {
        std::uint16_t named = 0;
        for (std::size_t c : children) named = static_cast<std::uint16_t>(named + (key(c) >> 31));
        Put16(out, offset + 12, named);
        Put16(out, offset + 14, static_cast<std::uint16_t>(children.size() - named));
        for (std::size_t i = 0; i < children.size(); ++i) {
            Put32(out, offset + 16 + 8 * i, key(children[i]));
            Put32(out, offset + 20 + 8 * i, target(children[i]));
        }
    };
    std::vector<std::size_t> all(types.size());
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
    directory(
        0, all, [&](std::size_t t) { return typeKeys[t]; },
        [&](std::size_t t) { return typeDirs[t] | 0x80000000u; });
    for (std::size_t t = 0; t < types.size(); ++t) {
        directory(
            typeDirs[t], types[t].children, [&](std::size_t n) { return nameKeys[n]; },
            [&](std::size_t n) { return nameDirs[n] | 0x80000000u; });
    }
    for (std::size_t n = 0; n < names.size(); ++n) {
        directory(
            nameDirs[n], names[n].children,
            [&](std::size_t r) { return static_cast<std::uint32_t>(resources[r].language); },
            [&](std::size_t r) { return entriesAt + 16 * static_cast<std::uint32_t>(r); });
    }
    out.replace(stringsAt, strings.size(), strings);
    for (std::size_t r = 0; r < resources.size(); ++r) {
        const std::size_t entry = entriesAt + 16 * r;
        Put32(out, entry, rva + dataAt[r]);
        Put32(out, entry + 4, static_cast<std::uint32_t>(resources[r].data.size()));
        Put32(out, entry + 8, resources[r].codePage);
        out.replace(dataAt[r], resources[r].data.size(), resources[r].data);
    }
    return out;
}

// The image's checksum as the loader of drivers and the signing tools compute it.
std::uint32_t PeChecksum(const std::string& image, std::size_t checksumAt) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < image.size(); i += 2) {
        if (i == checksumAt || i == checksumAt + 2) continue;
        std::uint32_t word = static_cast<std::uint8_t>(image[i]);
        if (i + 1 < image.size())
            word |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(image[i + 1])) << 8;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + image.size());
}

}  // namespace

bool ReadPeResources(const std::string& image, std::vector<Resource>& resources,
                     std::string& problem) {
    resources.clear();
    PeHeaders layout;
    if (!ReadLayout(image, layout, problem)) return false;
    const PeDirectory directory = layout.Directory(kPeResources);
    const std::uint32_t rva = directory.rva, size = directory.size;
    if (rva == 0 || size == 0) return true;
    std::uint64_t base = 0;
    if (!layout.OffsetOf(rva, size, base)) {
        problem = "its resource directory lies outside the image";
        return false;
    }
    return ResourceTreeReader(image, layout, base, size).Read(resources, problem);
}

bool ReplacePeResources(const std::string& image, const std::vector<Resource>& resources,
                        std::string& out, std::string& problem) {
    PeHeaders layout;
    if (!ReadLayout(image, layout, problem)) return false;
    const std::uint32_t rsrcRva = layout.Directory(kPeResources).rva;
    const std::uint32_t securityAt = layout.Directory(kPeSecurity).rva;
    const std::uint32_t securitySize = layout.Directory(kPeSecurity).size;
    const std::uint32_t relocRva = layout.Directory(kPeRelocations).rva;
    // The resources must have a section of their own, followed at most by the relocations,
    // which hold no pointer into the resources and so can move as they are.
    std::size_t index = layout.sections.size();
    for (std::size_t i = 0; i < layout.sections.size(); ++i)
        if (layout.sections[i].virtualAddress == rsrcRva && rsrcRva != 0) index = i;
    if (index == layout.sections.size() || layout.sections[index].name != ".rsrc") {
        problem = "its resources have no section of their own";
        return false;
    }
    const std::size_t after = layout.sections.size() - index - 1;
    if (after > 1 || (after == 1 && (layout.sections.back().name != ".reloc" ||
                                     layout.sections.back().virtualAddress != relocRva))) {
        problem = "sections other than the relocations follow its resources";
        return false;
    }
    for (const PeSection& s : layout.sections) {
        if (&s != &layout.sections[index] &&
            s.virtualAddress > layout.sections[index].virtualAddress &&
            s.name != ".reloc") {
            problem = "sections other than the relocations follow its resources";
            return false;
        }
    }
    PeSection& rsrc = layout.sections[index];
    // The headers are copied and then changed in place: no section may overlap them.
    for (const PeSection& s : layout.sections) {
        if ((s.rawSize != 0 || &s == &rsrc) && s.rawPointer < layout.sectionTableEnd) {
            problem = "section " + s.name + " overlaps the headers";
            return false;
        }
    }
    std::uint64_t end = static_cast<std::uint64_t>(rsrc.rawPointer) + rsrc.rawSize;
    if (after == 1) {
        const PeSection& reloc = layout.sections.back();
        if (reloc.rawPointer != end) {
            problem = "its relocations do not follow its resources in the file";
            return false;
        }
        end += reloc.rawSize;
    }
    // Nothing may follow the sections but a signature, which the new image drops.
    const std::uint64_t contentEnd = securitySize != 0 ? securityAt : image.size();
    if (contentEnd != end &&
        !(contentEnd > end && contentEnd - end < layout.fileAlignment &&
          image.find_first_not_of('\0', static_cast<std::size_t>(end)) >= contentEnd)) {
        problem = "data follows its last section";
        return false;
    }

    const std::string tree = BuildTree(resources, rsrc.virtualAddress);
    const std::uint32_t treeSize = static_cast<std::uint32_t>(tree.size());
    const std::uint32_t rawSize = AlignUp(treeSize, layout.fileAlignment);
    const auto at = [](std::uint64_t offset) { return static_cast<std::size_t>(offset); };
    out = image.substr(0, rsrc.rawPointer) + tree + std::string(rawSize - treeSize, '\0');
    Put32(out, at(rsrc.headerAt + 8), treeSize);
    Put32(out, at(rsrc.headerAt + 16), rawSize);
    std::uint32_t imageEnd = rsrc.virtualAddress + AlignUp(treeSize, layout.sectionAlignment);
    if (after == 1) {
        const PeSection& reloc = layout.sections.back();
        const std::uint32_t relocAt = imageEnd;
        Put32(out, at(reloc.headerAt + 12), relocAt);
        Put32(out, at(reloc.headerAt + 20), static_cast<std::uint32_t>(out.size()));
        Put32(out, at(layout.DirectoryEntryAt(kPeRelocations)), relocAt);
        out += image.substr(reloc.rawPointer, reloc.rawSize);
        imageEnd = relocAt + AlignUp(reloc.virtualSize, layout.sectionAlignment);
    }
    std::uint32_t initialized = 0;
    Get32(out, layout.optionalAt + 8, initialized);
    Put32(out, at(layout.optionalAt + 8), initialized - rsrc.rawSize + rawSize);
    Put32(out, at(layout.optionalAt + 56), imageEnd);
    Put32(out, at(layout.DirectoryEntryAt(kPeResources) + 4), treeSize);
    Put32(out, at(layout.DirectoryEntryAt(kPeSecurity)), 0);
    Put32(out, at(layout.DirectoryEntryAt(kPeSecurity) + 4), 0);
    Put32(out, at(layout.ChecksumAt()), PeChecksum(out, at(layout.ChecksumAt())));
    return true;
}

bool ParseIconFile(const std::string& file, std::vector<IconImage>& images, std::string& problem) {
    images.clear();
    std::uint16_t reserved = 1, type = 0, count = 0;
    if (!Get16(file, 0, reserved) || !Get16(file, 2, type) || !Get16(file, 4, count) ||
        reserved != 0 || type != 1) {
        problem = "it is not an icon file (.ico)";
        return false;
    }
    if (count == 0 || count > 64) {
        problem = "it holds " + std::to_string(count) + " images (an icon has 1 to 64)";
        return false;
    }
    for (std::uint16_t i = 0; i < count; ++i) {
        const std::size_t entry = 6 + 16u * i;
        IconImage image;
        std::uint32_t size = 0, offset = 0;
        if (entry + 16 > file.size() || !Get16(file, entry + 4, image.planes) ||
            !Get16(file, entry + 6, image.bitCount) || !Get32(file, entry + 8, size) ||
            !Get32(file, entry + 12, offset)) {
            problem = "its directory is cut short";
            return false;
        }
        image.width = static_cast<std::uint8_t>(file[entry]);
        image.height = static_cast<std::uint8_t>(file[entry + 1]);
        image.colours = static_cast<std::uint8_t>(file[entry + 2]);
        if (size < 40 || offset > file.size() || file.size() - offset < size) {
            problem = "image " + std::to_string(i + 1) + " lies outside the file";
            return false;
        }
        image.data = file.substr(offset, size);
        std::uint32_t header = 0, width = 0, height = 0;
        const bool png = image.data.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0;
        Get32(image.data, 0, header);
        Get32(image.data, 4, width);
        Get32(image.data, 8, height);
        const std::uint32_t wanted = image.width == 0 ? 256 : image.width;
        if (!png && (header != 40 || width != wanted || height != 2 * wanted)) {
            problem =
                "image " + std::to_string(i + 1) + " is neither a bitmap of its size nor a PNG";
            return false;
        }
        images.push_back(image);
    }
    return true;
}

void AddIconResources(const std::vector<IconImage>& images, std::uint16_t group,
                      std::uint16_t firstId, std::uint16_t language,
                      std::vector<Resource>& resources) {
    Resource directory;
    directory.type.number = kResourceGroupIcon;
    directory.name.number = group;
    directory.language = language;
    Append16(directory.data, 0);
    Append16(directory.data, 1);
    Append16(directory.data, static_cast<std::uint16_t>(images.size()));
    for (std::size_t i = 0; i < images.size(); ++i) {
        const IconImage& image = images[i];
        const std::uint16_t id = static_cast<std::uint16_t>(firstId + i);
        directory.data += static_cast<char>(image.width);
        directory.data += static_cast<char>(image.height);
        directory.data += static_cast<char>(image.colours);
        directory.data += '\0';
        Append16(directory.data, image.planes);
        Append16(directory.data, image.bitCount);
        Append32(directory.data, static_cast<std::uint32_t>(image.data.size()));
        Append16(directory.data, id);
        Resource icon;
        icon.type.number = kResourceIcon;
        icon.name.number = id;
        icon.language = language;
        icon.data = image.data;
        resources.push_back(icon);
    }
    resources.push_back(directory);
}

bool ParseVersionNumbers(const std::string& text, std::uint16_t (&version)[4]) {
    std::size_t at = 0;
    for (int i = 0; i < 4; ++i) {
        if (i > 0 && (at >= text.size() || text[at++] != '.')) return false;
        std::uint32_t value = 0;
        std::size_t digits = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 6) {
            value = value * 10 + static_cast<std::uint32_t>(text[at++] - '0');
            ++digits;
        }
        if (digits == 0 || value > 65535) return false;
        version[i] = static_cast<std::uint16_t>(value);
    }
    return at == text.size();
}

namespace {

// UTF-8 to UTF-16; false for malformed UTF-8 or control characters.
bool Utf16(const std::string& text, std::u16string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size();) {
        char32_t cp = 0;
        const std::size_t length = DecodeUtf8At(text, i, cp);
        if (length == 0) return false;
        if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) return false;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += length;
    }
    return true;
}

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string Utf8(const std::u16string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[++i] - 0xDC00u);
        } else if (cp >= 0xD800 && cp < 0xE000) {
            cp = 0xFFFD;
        }
        AppendUtf8(cp, out);
    }
    return out;
}

void Pad4(std::string& b) {
    while (b.size() % 4) b.push_back('\0');
}

// One node of a version resource: its length, its value's length (in units of the value's
// kind), whether the value is text, its key, its value and its children, each on a 4-byte
// boundary.
std::string VersionNode(const std::u16string& key, const std::string& value,
                        std::uint16_t valueLength, bool text, const std::string& children) {
    std::string node(6, '\0');
    for (char16_t c : key) Append16(node, static_cast<std::uint16_t>(c));
    Append16(node, 0);
    Pad4(node);
    node += value;
    if (!children.empty()) {
        Pad4(node);
        node += children;
    }
    Put16(node, 0, static_cast<std::uint16_t>(node.size()));
    Put16(node, 2, valueLength);
    Put16(node, 4, text ? 1 : 0);
    return node;
}

}  // namespace

bool MakeVersionResource(const VersionTexts& texts, std::string& data, std::string& problem) {
    const std::pair<const char*, const std::string*> fields[] = {
        {"CompanyName", &texts.company},
        {"FileDescription", &texts.description},
        {"InternalName", &texts.internalName},
        {"LegalCopyright", &texts.copyright},
        {"OriginalFilename", &texts.originalFilename},
        {"ProductName", &texts.product}};
    char numbers[32];
    std::snprintf(numbers, sizeof numbers, "%u.%u.%u.%u", texts.version[0], texts.version[1],
                  texts.version[2], texts.version[3]);
    std::vector<std::pair<std::string, std::string>> strings;
    for (const auto& field : fields) strings.emplace_back(field.first, *field.second);
    strings.emplace_back("FileVersion", numbers);
    strings.emplace_back("ProductVersion", numbers);
    std::string table;
    for (const auto& entry : strings) {
        std::u16string key, value;
        Utf16(entry.first, key);
        if (!Utf16(entry.second, value)) {
            problem = "the text of " + entry.first + " is not UTF-8 without control characters";
            return false;
        }
        if (value.size() > 1000) {
            problem = "the text of " + entry.first + " is longer than 1000 characters";
            return false;
        }
        std::string bytes;
        for (char16_t c : value) Append16(bytes, static_cast<std::uint16_t>(c));
        Append16(bytes, 0);
        Pad4(table);
        table += VersionNode(key, bytes, static_cast<std::uint16_t>(value.size() + 1), true, {});
    }
    const std::string stringTable = VersionNode(u"040904B0", {}, 0, true, table);
    const std::string stringInfo = VersionNode(u"StringFileInfo", {}, 0, true, stringTable);
    std::string translation;
    Append16(translation, 0x0409);
    Append16(translation, 1200);
    const std::string var = VersionNode(u"Translation", translation, 4, false, {});
    const std::string varInfo = VersionNode(u"VarFileInfo", {}, 0, true, var);
    std::string fixed;
    const std::uint32_t ms = static_cast<std::uint32_t>(texts.version[0]) << 16 | texts.version[1];
    const std::uint32_t ls = static_cast<std::uint32_t>(texts.version[2]) << 16 | texts.version[3];
    for (std::uint32_t v :
         {0xFEEF04BDu, 0x00010000u, ms, ls, ms, ls, 0x3Fu, 0u, 0x00040004u, 1u, 0u, 0u, 0u})
        Append32(fixed, v);
    std::string children = stringInfo;
    Pad4(children);
    children += varInfo;
    data = VersionNode(u"VS_VERSION_INFO", fixed, static_cast<std::uint16_t>(fixed.size()), false,
                       children);
    return true;
}

bool ReadVersionResource(const std::string& data, std::uint16_t (&version)[4],
                         std::vector<std::pair<std::string, std::string>>& strings) {
    strings.clear();
    // Walks the nodes: each is (length, value length, type, key, value, children).
    struct Walker {
        const std::string& d;
        std::vector<std::pair<std::string, std::string>>& out;
        std::uint32_t fixed = 0;
        bool ok = true;
        void Node(std::size_t at, std::size_t end, int depth, const std::u16string& parent) {
            std::uint16_t length = 0, valueLength = 0, type = 0;
            if (depth > 4 || !Get16(d, at, length) || !Get16(d, at + 2, valueLength) ||
                !Get16(d, at + 4, type) || length < 6 || at + length > end) {
                ok = false;
                return;
            }
            const std::size_t nodeEnd = at + length;
            std::u16string key;
            std::size_t p = at + 6;
            for (std::uint16_t unit = 1; p + 2 <= nodeEnd; p += 2) {
                Get16(d, p, unit);
                if (unit == 0) break;
                key.push_back(static_cast<char16_t>(unit));
            }
            p = (p + 2 + 3) / 4 * 4;
            const std::size_t valueBytes = type == 1 ? 2u * valueLength : valueLength;
            if (depth == 0) fixed = static_cast<std::uint32_t>(p);
            if (parent.size() == 8 && depth == 3) {
                std::u16string value;
                for (std::size_t q = p; q + 2 <= std::min(nodeEnd, p + valueBytes); q += 2) {
                    std::uint16_t unit = 0;
                    Get16(d, q, unit);
                    if (unit == 0) break;
                    value.push_back(static_cast<char16_t>(unit));
                }
                out.emplace_back(Utf8(key), Utf8(value));
                return;
            }
            std::size_t child = (p + valueBytes + 3) / 4 * 4;
            while (ok && child + 6 <= nodeEnd) {
                std::uint16_t childLength = 0;
                Get16(d, child, childLength);
                if (childLength == 0) break;
                Node(child, nodeEnd, depth + 1, key);
                child = (child + childLength + 3) / 4 * 4;
            }
        }
    } walker{data, strings};
    walker.Node(0, data.size(), 0, {});
    std::uint32_t signature = 0, ms = 0, ls = 0;
    if (!walker.ok || !Get32(data, walker.fixed, signature) || signature != 0xFEEF04BDu ||
        !Get32(data, walker.fixed + 8ull, ms) || !Get32(data, walker.fixed + 12ull, ls))
        return false;
    version[0] = static_cast<std::uint16_t>(ms >> 16);
    version[1] = static_cast<std::uint16_t>(ms & 0xFFFF);
    version[2] = static_cast<std::uint16_t>(ls >> 16);
    version[3] = static_cast<std::uint16_t>(ls & 0xFFFF);
    return true;
}
