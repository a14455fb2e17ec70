#include "kit/disc/PeImage.h"

#include <algorithm>
#include <cstring>

#include "kit/disc/LittleEndian.h"

namespace {

// Limits no real image comes near; past them the file is taken as damaged rather than read on.
constexpr std::uint32_t kMaxSections = 96;  // Windows refuses images with more
constexpr std::size_t kMaxImportedDlls = 4096;
constexpr std::size_t kMaxEntriesPerDll = 65536;
constexpr std::uint32_t kMaxExports = 65536;  // ordinals are 16-bit
constexpr std::size_t kMaxNameLength = 4096;
// Over all tables of one image: a hostile file could point every entry at the same long name.
constexpr std::size_t kMaxEntries = 1 << 18;
constexpr std::uint64_t kMaxNameBytes = 16u << 20;
constexpr const char* kTooLarge = "its tables are larger than those of any real image";

constexpr std::uint16_t kImageExecutable = 0x0002;
constexpr std::uint16_t kMagicPe32 = 0x10B;
constexpr std::uint16_t kMagicPe32Plus = 0x20B;


// Text from the file, fit to be shown: printable ASCII, anything else as '?'.
std::string Printable(const std::string& raw) {
    std::string out = raw;
    for (char& c : out) {
        if (c < 0x20 || c > 0x7E) c = '?';
    }
    return out;
}

struct Section {
    std::string name;
    std::uint32_t virtualAddress = 0;
    std::uint32_t virtualSize = 0;
    std::uint32_t rawSize = 0;
    std::uint32_t rawPointer = 0;
};

struct Directory {
    std::uint32_t rva = 0;
    std::uint32_t size = 0;
};

// Reads the image's tables by their addresses in memory (RVAs), only where the file really holds
// the bytes: what Windows would fill with zeros, or what lies past the end, is not there.
class Mapper {
public:
    Mapper(ByteSource& bytes, std::uint32_t headerSize, std::vector<Section> sections)
        : bytes_(bytes), headerSize_(headerSize), sections_(std::move(sections)) {}

    // The file offset of rva and how many bytes from there the file holds for it.
    bool Locate(std::uint64_t rva, std::uint64_t& offset, std::uint64_t& available) const {
        for (const Section& s : sections_) {
            const std::uint64_t mapped = s.virtualSize ? s.virtualSize : s.rawSize;
            if (rva < s.virtualAddress || rva - s.virtualAddress >= mapped) continue;
            const std::uint64_t delta = rva - s.virtualAddress;
            const std::uint64_t inFile = std::min<std::uint64_t>(mapped, s.rawSize);
            if (delta >= inFile) return false;
            offset = static_cast<std::uint64_t>(s.rawPointer) + delta;
            available = inFile - delta;
            return true;
        }
        if (rva < headerSize_) {
            offset = rva;
            available = headerSize_ - rva;
            return true;
        }
        return false;
    }

    bool Read(std::uint64_t rva, void* out, std::size_t size) const {
        std::uint64_t offset = 0, available = 0;
        return Locate(rva, offset, available) && available >= size &&
               bytes_.Read(offset, out, size);
    }

    // A NUL-terminated name of at most kMaxNameLength characters.
    bool ReadName(std::uint64_t rva, std::string& name) {
        std::uint64_t offset = 0, available = 0;
        if (!Locate(rva, offset, available)) return false;
        if (nameBytes_ > kMaxNameBytes) {
            overBudget_ = true;
            return false;
        }
        name.clear();
        char chunk[64];
        while (name.size() <= kMaxNameLength && available > 0) {
            const std::size_t n =
                static_cast<std::size_t>(std::min<std::uint64_t>(sizeof chunk, available));
            if (!bytes_.Read(offset, chunk, n)) return false;
            const char* end = static_cast<const char*>(std::memchr(chunk, '\0', n));
            if (end) {
                name.append(chunk, static_cast<std::size_t>(end - chunk));
                nameBytes_ += name.size();
                return name.size() <= kMaxNameLength;
            }
            name.append(chunk, n);
            offset += n;
            available -= n;
        }
        return false;
    }

    // Counts one more table entry; false once the image's entries or names passed what any
    // real image holds.
    bool Spend() {
        if (++entries_ > kMaxEntries) overBudget_ = true;
        return !overBudget_;
    }
    bool OverBudget() const { return overBudget_; }

private:
    ByteSource& bytes_;
    std::uint32_t headerSize_;
    std::vector<Section> sections_;
    std::size_t entries_ = 0;
    std::uint64_t nameBytes_ = 0;
    bool overBudget_ = false;
};

bool ReadImports(Mapper& map, const Directory& dir, bool pe32Plus, std::vector<PeImport>& imports,
                 std::string& problem) {
    if (dir.rva == 0) return true;
    const std::size_t entrySize = pe32Plus ? 8 : 4;
    const std::uint64_t ordinalFlag = pe32Plus ? (1ull << 63) : (1ull << 31);
    for (std::size_t i = 0; i < kMaxImportedDlls; ++i) {
        unsigned char d[20];
        if (!map.Spend()) {
            problem = kTooLarge;
            return false;
        }
        if (!map.Read(dir.rva + 20ull * i, d, sizeof d)) {
            problem = "its import table lies outside the file's data";
            return false;
        }
        const std::uint32_t lookup = Le32(d), nameRva = Le32(d + 12), bound = Le32(d + 16);
        // The loader stops at the first entry without a name or without a table to fill.
        if (nameRva == 0 || bound == 0) return true;
        PeImport import;
        if (!map.ReadName(nameRva, import.dll) || import.dll.empty()) {
            problem = map.OverBudget()
                          ? kTooLarge
                          : "the name of an imported library lies outside the file's data";
            return false;
        }
        const std::uint64_t table = lookup ? lookup : bound;
        bool ended = false;
        for (std::size_t j = 0; j < kMaxEntriesPerDll; ++j) {
            unsigned char e[8];
            if (!map.Read(table + entrySize * j, e, entrySize)) {
                problem = "the entries imported from " + Printable(import.dll) +
                          " lie outside the file's data";
                return false;
            }
            const std::uint64_t entry = pe32Plus ? Le64(e) : Le32(e);
            if (!map.Spend()) {
                problem = kTooLarge;
                return false;
            }
            if (entry == 0) {
                ended = true;
                break;
            }
            if (entry & ordinalFlag) {
                import.ordinals.push_back(static_cast<std::uint32_t>(entry & 0xFFFF));
                continue;
            }
            std::string name;
            if (entry > 0x7FFFFFFF || !map.ReadName(entry + 2, name)) {
                problem = map.OverBudget()
                              ? kTooLarge
                              : "the name of an entry imported from " + Printable(import.dll) +
                                    " lies outside the file's data";
                return false;
            }
            import.names.push_back(std::move(name));
        }
        if (!ended) {
            problem = "the entries imported from " + Printable(import.dll) + " have no end";
            return false;
        }
        imports.push_back(std::move(import));
    }
    problem = "its import table has no end";
    return false;
}

void ReadExports(Mapper& map, const Directory& dir, PeImage& image) {
    if (dir.rva == 0) return;
    unsigned char d[40];
    if (!map.Read(dir.rva, d, sizeof d)) {
        image.exportProblem = "its export table lies outside the file's data";
        return;
    }
    const std::uint32_t functions = Le32(d + 20), names = Le32(d + 24), nameTable = Le32(d + 32);
    if (functions > kMaxExports || names > kMaxExports) {
        image.exportProblem = "its export table claims more entries than an image can have";
        return;
    }
    image.ordinalBase = Le32(d + 16);
    image.ordinalCount = functions;
    std::vector<unsigned char> table(4u * names);
    if (names > 0 && !map.Read(nameTable, table.data(), table.size())) {
        image.exportProblem = "its exported names lie outside the file's data";
        return;
    }
    for (std::uint32_t i = 0; i < names; ++i) {
        std::string name;
        if (!map.Spend()) {
            image.exportProblem = kTooLarge;
            return;
        }
        if (!map.ReadName(Le32(&table[4u * i]), name)) {
            image.exportProblem =
                map.OverBudget() ? kTooLarge : "an exported name lies outside the file's data";
            return;
        }
        image.exportNames.push_back(std::move(name));
    }
}

}  // namespace

bool MemoryBytes::Read(std::uint64_t offset, void* out, std::size_t size) {
    if (offset > bytes_.size() || size > bytes_.size() - offset) return false;
    if (size > 0) std::memcpy(out, bytes_.data() + offset, size);
    return true;
}

bool FileBytes::Open(const std::filesystem::path& path) { return file_.Open(path, problem_); }
bool FileBytes::Open(const DiscEntry& entry) { return file_.Open(entry, problem_); }

bool FileBytes::Read(std::uint64_t offset, void* out, std::size_t size) {
    return file_.ReadAt(offset, out, size);
}

bool PeImage::Exports(const std::string& name) const {
    return std::binary_search(sortedExportNames.begin(), sortedExportNames.end(), name);
}

bool PeImage::ExportsOrdinal(std::uint32_t ordinal) const {
    return ordinal >= ordinalBase && ordinal - ordinalBase < ordinalCount;
}

bool ReadPeImage(ByteSource& bytes, PeImage& image, std::string& problem) {
    image = PeImage();
    problem.clear();
    const std::uint64_t size = bytes.Size();
    unsigned char dos[64];
    if (!bytes.Read(0, dos, 2) || dos[0] != 'M' || dos[1] != 'Z') {
        problem = "it does not start as a Windows image does (MZ)";
        return false;
    }
    if (!bytes.Read(0, dos, sizeof dos)) {
        problem = "the file ends inside its DOS header";
        return false;
    }
    const std::uint64_t peOffset = Le32(dos + 0x3C);
    unsigned char coff[24];
    if (!bytes.Read(peOffset, coff, sizeof coff)) {
        problem = "the file ends before its PE header";
        return false;
    }
    if (std::memcmp(coff, "PE\0\0", 4) != 0) {
        problem = "it has no PE header (a DOS program, or a damaged one)";
        return false;
    }
    image.machine = Le16(coff + 4);
    const std::uint32_t sectionCount = Le16(coff + 6);
    const std::uint32_t optionalSize = Le16(coff + 20);
    image.characteristics = Le16(coff + 22);
    if (!(image.characteristics & kImageExecutable)) {
        problem = "it is not marked as an executable image (an object file, or a failed link)";
        return false;
    }

    std::vector<unsigned char> optional(optionalSize);
    if (optionalSize < 2 || !bytes.Read(peOffset + sizeof coff, optional.data(), optionalSize)) {
        problem = "the file ends inside its optional header";
        return false;
    }
    const std::uint16_t magic = Le16(optional.data());
    if (magic != kMagicPe32 && magic != kMagicPe32Plus) {
        problem = "its optional header has a format Windows does not know";
        return false;
    }
    image.pe32Plus = magic == kMagicPe32Plus;
    const std::uint32_t directoriesAt = image.pe32Plus ? 112 : 96;
    if (optionalSize < directoriesAt) {
        problem = "its optional header is cut short";
        return false;
    }
    image.subsystem = Le16(&optional[68]);
    const std::uint32_t headerSize = Le32(&optional[60]);
    const std::uint32_t declared = Le32(&optional[directoriesAt - 4]);
    const std::uint32_t directoryCount =
        std::min({declared, (optionalSize - directoriesAt) / 8u, 16u});
    auto directory = [&](std::uint32_t index) {
        Directory d;
        if (index < directoryCount) {
            d.rva = Le32(&optional[directoriesAt + 8 * index]);
            d.size = Le32(&optional[directoriesAt + 8 * index + 4]);
        }
        return d;
    };
    if (headerSize > size) {
        problem = "the file ends inside its headers";
        return false;
    }

    if (sectionCount > kMaxSections) {
        problem = "it has more sections than Windows loads";
        return false;
    }
    std::vector<unsigned char> table(40u * sectionCount);
    if (!table.empty() &&
        !bytes.Read(peOffset + sizeof coff + optionalSize, table.data(), table.size())) {
        problem = "the file ends inside its section table";
        return false;
    }
    std::vector<Section> sections;
    for (std::uint32_t i = 0; i < sectionCount; ++i) {
        const unsigned char* s = &table[40u * i];
        Section section;
        std::size_t nameLength = 0;
        while (nameLength < 8 && s[nameLength] != 0) ++nameLength;
        section.name = Printable(std::string(reinterpret_cast<const char*>(s), nameLength));
        section.virtualSize = Le32(s + 8);
        section.virtualAddress = Le32(s + 12);
        section.rawSize = Le32(s + 16);
        section.rawPointer = Le32(s + 20);
        if (section.rawSize > 0 &&
            static_cast<std::uint64_t>(section.rawPointer) + section.rawSize > size) {
            problem = "the file ends inside its section " + section.name + " (cut short)";
            return false;
        }
        sections.push_back(std::move(section));
    }

    Mapper map(bytes, headerSize, std::move(sections));
    if (!ReadImports(map, directory(1), image.pe32Plus, image.imports, problem)) return false;
    ReadExports(map, directory(0), image);
    // One search per imported name: a linear one made a program of a few thousand imports from
    // a library of tens of thousands of exports take minutes.
    image.sortedExportNames = image.exportNames;
    std::sort(image.sortedExportNames.begin(), image.sortedExportNames.end());
    return true;
}

std::string MachineName(std::uint16_t machine, bool pe32Plus) {
    switch (machine) {
        case kMachineI386:
            return pe32Plus ? "x86 with a 64-bit header" : "x86 (32-bit)";
        case kMachineAmd64:
            return "x64 (64-bit)";
        case 0xAA64:
            return "ARM64";
        case 0x01C0:
        case 0x01C2:
        case 0x01C4:
            return "ARM (32-bit)";
        case 0x0200:
            return "Itanium";
        default: {
            static const char kHex[] = "0123456789ABCDEF";
            std::string hex = "machine 0x";
            for (int shift = 12; shift >= 0; shift -= 4) hex += kHex[(machine >> shift) & 0xF];
            return hex;
        }
    }
}
