#include "kit/disc/PeImage.h"

#include <algorithm>
#include <cstring>

#include "kit/disc/LittleEndian.h"

namespace {

// Limits no real image comes near; past them the file is taken as damaged rather than read on.
constexpr std::size_t kMaxImportedDlls = 4096;
constexpr std::size_t kMaxEntriesPerDll = 65536;
constexpr std::uint32_t kMaxExports = 65536;  // ordinals are 16-bit
constexpr std::size_t kMaxNameLength = 4096;
// Over all tables of one image: a hostile file could point every entry at the same long name.
constexpr std::size_t kMaxEntries = 1 << 18;
constexpr std::uint64_t kMaxNameBytes = 16u << 20;
constexpr const char* kTooLarge = "its tables are larger than those of any real image";

constexpr std::uint16_t kImageExecutable = 0x0002;

// Reads the image's tables by their addresses in memory (RVAs), only where the file really holds
// the bytes (PeHeaders::Locate).
class Mapper {
public:
    Mapper(ByteSource& bytes, const PeHeaders& headers) : bytes_(bytes), headers_(headers) {}

    bool Read(std::uint64_t rva, void* out, std::size_t size) const {
        std::uint64_t offset = 0, available = 0;
        return headers_.Locate(rva, offset, available) && available >= size &&
               bytes_.Read(offset, out, size);
    }

    // A NUL-terminated name of at most kMaxNameLength characters.
    bool ReadName(std::uint64_t rva, std::string& name) {
        std::uint64_t offset = 0, available = 0;
        if (!headers_.Locate(rva, offset, available)) return false;
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
    const PeHeaders& headers_;
    std::size_t entries_ = 0;
    std::uint64_t nameBytes_ = 0;
    bool overBudget_ = false;
};

bool ReadImports(Mapper& map, const PeDirectory& dir, bool pe32Plus, std::vector<PeImport>& imports,
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
                problem = "the entries imported from " + PePrintable(import.dll) +
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
                              : "the name of an entry imported from " + PePrintable(import.dll) +
                                    " lies outside the file's data";
                return false;
            }
            import.names.push_back(std::move(name));
        }
        if (!ended) {
            problem = "the entries imported from " + PePrintable(import.dll) + " have no end";
            return false;
        }
        imports.push_back(std::move(import));
    }
    problem = "its import table has no end";
    return false;
}

void ReadExports(Mapper& map, const PeDirectory& dir, PeImage& image) {
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

// The CLR header and, through it, the metadata root's version string. What cannot be read is
// a problem of the assembly, not of the image: Windows still loads it, the runtime refuses it.
void ReadClr(Mapper& map, const PeDirectory& dir, PeImage& image) {
    if (dir.rva == 0) return;
    image.managed = true;
    unsigned char header[16];
    if (!map.Read(dir.rva, header, sizeof header)) {
        image.clrProblem = "its CLR header lies outside the file's data";
        return;
    }
    const std::uint32_t metadata = Le32(header + 8), metadataSize = Le32(header + 12);
    unsigned char root[16];
    if (metadataSize < sizeof root || !map.Read(metadata, root, sizeof root) ||
        Le32(root) != 0x424A5342) {  // "BSJB"
        image.clrProblem = "its metadata lies outside the file's data, or is damaged";
        return;
    }
    // The version string's length, padded to four bytes; real ones are a dozen characters.
    const std::uint32_t length = Le32(root + 12);
    constexpr std::uint32_t kMaxVersion = 255;
    if (length == 0 || length > kMaxVersion || length > metadataSize - sizeof root) {
        image.clrProblem = "its metadata names no runtime version it could have";
        return;
    }
    char version[kMaxVersion];
    if (!map.Read(metadata + sizeof root, version, length)) {
        image.clrProblem = "its metadata lies outside the file's data, or is damaged";
        return;
    }
    image.clrVersion =
        PePrintable(std::string(version, std::find(version, version + length, '\0')));
}

}  // namespace

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
    PeHeaders headers;
    const bool read = ReadPeHeaders(bytes, headers, problem);
    // As the loader, refuse what is not marked executable before looking at the optional header.
    if (headers.optionalAt != 0 && !(headers.characteristics & kImageExecutable)) {
        problem = "it is not marked as an executable image (an object file, or a failed link)";
        return false;
    }
    if (!read) return false;
    image.machine = headers.machine;
    image.pe32Plus = headers.pe32Plus;
    image.characteristics = headers.characteristics;
    image.subsystem = headers.subsystem;
    Mapper map(bytes, headers);
    if (!ReadImports(map, headers.Directory(kPeImports), image.pe32Plus, image.imports, problem))
        return false;
    ReadExports(map, headers.Directory(kPeExports), image);
    ReadClr(map, headers.Directory(kPeClr), image);
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
