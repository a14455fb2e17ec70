// The headers of a Windows image as the loader reads them: the DOS header's pointer, the PE
// signature, the file header, the optional header with its data directories, and the section
// table. Everything else read from an image (imports, exports, resources, the CLR header, the
// signature) starts here. Every read is bounds-checked: a truncated, damaged or hostile file gives
// a problem to report, never a crash or a huge allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Random access to the bytes of an image. Read answers false (and leaves out unspecified) when any
// byte of the range lies beyond the end.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual std::uint64_t Size() const = 0;
    virtual bool Read(std::uint64_t offset, void* out, std::size_t size) = 0;
};

class MemoryBytes : public ByteSource {
public:
    explicit MemoryBytes(std::string bytes) : bytes_(std::move(bytes)) {}
    std::uint64_t Size() const override { return bytes_.size(); }
    bool Read(std::uint64_t offset, void* out, std::size_t size) override;

private:
    std::string bytes_;
};

// Bytes held elsewhere, which must outlive this: an image already read whole is not copied.
class BorrowedBytes : public ByteSource {
public:
    explicit BorrowedBytes(const std::string& bytes) : bytes_(bytes) {}
    std::uint64_t Size() const override { return bytes_.size(); }
    bool Read(std::uint64_t offset, void* out, std::size_t size) override;

private:
    const std::string& bytes_;
};

// The data directories read by the kit, by their index in the optional header.
enum PeDirectoryIndex : std::uint32_t {
    kPeExports = 0,
    kPeImports = 1,
    kPeResources = 2,
    kPeSecurity = 4,
    kPeRelocations = 5,
    kPeClr = 14,
};

struct PeDirectory {
    std::uint32_t rva = 0;  // for the security directory: a file offset
    std::uint32_t size = 0;
};

struct PeSection {
    std::string name;  // printable ASCII, anything else as '?'
    std::uint64_t headerAt = 0;  // file offset of its entry in the section table
    std::uint32_t virtualAddress = 0;
    std::uint32_t virtualSize = 0;
    std::uint32_t rawSize = 0;
    std::uint32_t rawPointer = 0;
};

constexpr std::uint32_t kPeMaxDirectories = 16;

struct PeHeaders {
    std::uint64_t peAt = 0;        // file offset of the PE signature
    std::uint64_t optionalAt = 0;  // file offset of the optional header
    std::uint32_t optionalSize = 0;
    std::uint16_t machine = 0;
    std::uint16_t characteristics = 0;
    bool pe32Plus = false;  // the 64-bit layout of the optional header
    std::uint16_t subsystem = 0;
    std::uint32_t sectionAlignment = 0;
    std::uint32_t fileAlignment = 0;
    std::uint32_t headerSize = 0;  // SizeOfHeaders: at most the file's size
    // The directories the optional header really holds: the least of what it declares, what
    // fits in its size, and 16.
    std::uint32_t directoryCount = 0;
    PeDirectory directories[kPeMaxDirectories];
    std::uint64_t sectionTableEnd = 0;  // file offset just past the section table
    std::vector<PeSection> sections;    // each one's raw data within the file

    // An absent directory (past directoryCount) reads as zeros.
    PeDirectory Directory(std::uint32_t index) const {
        return index < directoryCount ? directories[index] : PeDirectory();
    }
    // File offset of the directory's eight-byte entry in the optional header.
    std::uint64_t DirectoryEntryAt(std::uint32_t index) const {
        return optionalAt + (pe32Plus ? 112 : 96) + 8ull * index;
    }
    std::uint64_t ChecksumAt() const { return optionalAt + 64; }

    // Where the file holds the bytes the loader maps at rva, and how many from there on: only
    // what the file really holds (not what the loader fills with zeros, nor past a section's
    // mapped size). False when the file holds none.
    bool Locate(std::uint64_t rva, std::uint64_t& offset, std::uint64_t& available) const;
    // The file offset of rva .. rva + size, when the raw data of one section holds all of it
    // (the loader maps a section's raw data up to its aligned virtual size, so a resource may
    // reach past the virtual size itself).
    bool OffsetOf(std::uint64_t rva, std::uint64_t size, std::uint64_t& offset) const;
};

// Reads the headers. False when Windows would refuse the file as an image at all (no MZ or PE
// signature, headers or sections cut short, more sections than it loads); problem then says what
// is wrong in one phrase, such as "the file ends inside its section .text (cut short)". Whether
// the image is marked executable is left to the caller: a resource reader does not care. On
// failure, what was read before the fault stays in headers (optionalAt is set once the PE
// signature has been found, with the file header's fields).
bool ReadPeHeaders(ByteSource& bytes, PeHeaders& headers, std::string& problem);

// Text from an image, fit to be shown: printable ASCII, anything else as '?'.
std::string PePrintable(const std::string& raw);
