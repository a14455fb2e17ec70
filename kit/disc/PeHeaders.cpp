#include "kit/disc/PeHeaders.h"

#include <algorithm>
#include <cstring>

#include "kit/disc/LittleEndian.h"

namespace {

constexpr std::uint32_t kMaxSections = 96;  // Windows refuses images with more
constexpr std::uint16_t kMagicPe32 = 0x10B;
constexpr std::uint16_t kMagicPe32Plus = 0x20B;

}  // namespace

bool MemoryBytes::Read(std::uint64_t offset, void* out, std::size_t size) {
    if (offset > bytes_.size() || size > bytes_.size() - offset) return false;
    if (size > 0) std::memcpy(out, bytes_.data() + offset, size);
    return true;
}

bool BorrowedBytes::Read(std::uint64_t offset, void* out, std::size_t size) {
    if (offset > bytes_.size() || size > bytes_.size() - offset) return false;
    if (size > 0) std::memcpy(out, bytes_.data() + offset, size);
    return true;
}

std::string PePrintable(const std::string& raw) {
    std::string out = raw;
    for (char& c : out) {
        if (c < 0x20 || c > 0x7E) c = '?';
    }
    return out;
}

bool PeHeaders::Locate(std::uint64_t rva, std::uint64_t& offset, std::uint64_t& available) const {
    for (const PeSection& s : sections) {
        const std::uint64_t mapped = s.virtualSize ? s.virtualSize : s.rawSize;
        if (rva < s.virtualAddress || rva - s.virtualAddress >= mapped) continue;
        const std::uint64_t delta = rva - s.virtualAddress;
        const std::uint64_t inFile = std::min<std::uint64_t>(mapped, s.rawSize);
        if (delta >= inFile) return false;
        offset = static_cast<std::uint64_t>(s.rawPointer) + delta;
        available = inFile - delta;
        return true;
    }
    if (rva < headerSize) {
        offset = rva;
        available = headerSize - rva;
        return true;
    }
    return false;
}

bool PeHeaders::OffsetOf(std::uint64_t rva, std::uint64_t size, std::uint64_t& offset) const {
    for (const PeSection& s : sections) {
        if (rva >= s.virtualAddress &&
            rva + size <= static_cast<std::uint64_t>(s.virtualAddress) + s.rawSize) {
            offset = static_cast<std::uint64_t>(s.rawPointer) + (rva - s.virtualAddress);
            return true;
        }
    }
    return false;
}

bool ReadPeHeaders(ByteSource& bytes, PeHeaders& headers, std::string& problem) {
    headers = PeHeaders();
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
    headers.peAt = Le32(dos + 0x3C);
    unsigned char coff[24];
    if (!bytes.Read(headers.peAt, coff, sizeof coff)) {
        problem = "the file ends before its PE header";
        return false;
    }
    if (std::memcmp(coff, "PE\0\0", 4) != 0) {
        problem = "it has no PE header (a DOS program, or a damaged one)";
        return false;
    }
    headers.machine = Le16(coff + 4);
    const std::uint32_t sectionCount = Le16(coff + 6);
    headers.optionalSize = Le16(coff + 20);
    headers.characteristics = Le16(coff + 22);
    headers.optionalAt = headers.peAt + sizeof coff;

    std::vector<unsigned char> optional(headers.optionalSize);
    if (headers.optionalSize < 2 ||
        !bytes.Read(headers.optionalAt, optional.data(), optional.size())) {
        problem = "the file ends inside its optional header";
        return false;
    }
    const std::uint16_t magic = Le16(optional.data());
    if (magic != kMagicPe32 && magic != kMagicPe32Plus) {
        problem = "its optional header has a format Windows does not know";
        return false;
    }
    headers.pe32Plus = magic == kMagicPe32Plus;
    const std::uint32_t directoriesAt = headers.pe32Plus ? 112 : 96;
    if (headers.optionalSize < directoriesAt) {
        problem = "its optional header is cut short";
        return false;
    }
    headers.sectionAlignment = Le32(&optional[32]);
    headers.fileAlignment = Le32(&optional[36]);
    headers.headerSize = Le32(&optional[60]);
    headers.subsystem = Le16(&optional[68]);
    const std::uint32_t declared = Le32(&optional[directoriesAt - 4]);
    headers.directoryCount =
        std::min({declared, (headers.optionalSize - directoriesAt) / 8u, kPeMaxDirectories});
    for (std::uint32_t i = 0; i < headers.directoryCount; ++i) {
        headers.directories[i].rva = Le32(&optional[directoriesAt + 8 * i]);
        headers.directories[i].size = Le32(&optional[directoriesAt + 8 * i + 4]);
    }
    if (headers.headerSize > size) {
        problem = "the file ends inside its headers";
        return false;
    }

    if (sectionCount > kMaxSections) {
        problem = "it has more sections than Windows loads";
        return false;
    }
    const std::uint64_t tableAt = headers.optionalAt + headers.optionalSize;
    std::vector<unsigned char> table(40u * sectionCount);
    if (!table.empty() && !bytes.Read(tableAt, table.data(), table.size())) {
        problem = "the file ends inside its section table";
        return false;
    }
    headers.sectionTableEnd = tableAt + table.size();
    for (std::uint32_t i = 0; i < sectionCount; ++i) {
        const unsigned char* s = &table[40u * i];
        PeSection section;
        std::size_t nameLength = 0;
        while (nameLength < 8 && s[nameLength] != 0) ++nameLength;
        section.name = PePrintable(std::string(reinterpret_cast<const char*>(s), nameLength));
        section.headerAt = tableAt + 40u * i;
        section.virtualSize = Le32(s + 8);
        section.virtualAddress = Le32(s + 12);
        section.rawSize = Le32(s + 16);
        section.rawPointer = Le32(s + 20);
        if (section.rawSize > 0 &&
            static_cast<std::uint64_t>(section.rawPointer) + section.rawSize > size) {
            problem = "the file ends inside its section " + section.name + " (cut short)";
            return false;
        }
        headers.sections.push_back(std::move(section));
    }
    return true;
}
