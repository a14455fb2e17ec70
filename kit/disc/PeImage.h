// Reading what Windows looks at before it starts a program or loads a library: the PE headers,
// the imports and the exports. Every read is bounds-checked: a truncated, damaged or hostile file
// gives a problem to report, never a crash or a huge allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "kit/disc/DiscFile.h"
#include "kit/disc/PeHeaders.h"

// A file of the disc read piece by piece: a large program is never loaded whole.
class FileBytes : public ByteSource {
public:
    // False when the file is no regular file that can be read (a link, a FIFO, ...).
    bool Open(const std::filesystem::path& path);
    bool Open(const DiscEntry& entry);
    std::uint64_t Size() const override { return file_.Size(); }
    bool Read(std::uint64_t offset, void* out, std::size_t size) override;
    // Why Open failed.
    const std::string& Problem() const { return problem_; }

private:
    DiscFile file_;
    std::string problem_;
};

constexpr std::uint16_t kMachineI386 = 0x014C;
constexpr std::uint16_t kMachineAmd64 = 0x8664;
constexpr std::uint16_t kSubsystemWindowsGui = 2;
constexpr std::uint16_t kSubsystemWindowsConsole = 3;

struct PeImport {
    std::string dll;                      // as the image spells it
    std::vector<std::string> names;       // entry points imported by name
    std::vector<std::uint32_t> ordinals;  // entry points imported by ordinal
};

struct PeImage {
    std::uint16_t machine = 0;
    bool pe32Plus = false;  // the 64-bit layout of the optional header
    std::uint16_t characteristics = 0;
    std::uint16_t subsystem = 0;
    std::vector<PeImport> imports;
    // Names the image exports, and the ordinals it exports: base .. base + count - 1.
    std::vector<std::string> exportNames;
    std::uint32_t ordinalBase = 0;
    std::uint32_t ordinalCount = 0;
    // Non-empty when the export table could not be read (the names above are then incomplete).
    // Windows still loads such an image; only looking up its entry points fails.
    std::string exportProblem;
    // A .NET assembly: it has a CLR header (data directory 14). clrVersion is the runtime version
    // its metadata names ("v4.0.30319", "v2.0.50727", ...), empty when that cannot be read
    // (clrProblem then says why).
    bool managed = false;
    std::string clrVersion;
    std::string clrProblem;
    // exportNames sorted, for Exports.
    std::vector<std::string> sortedExportNames;

    bool IsDll() const { return (characteristics & 0x2000) != 0; }
    bool IsX86_32() const { return machine == kMachineI386 && !pe32Plus; }
    // Near-constant time per name however many the image exports (see ReadPeImage).
    bool Exports(const std::string& name) const;
    bool ExportsOrdinal(std::uint32_t ordinal) const;
};

// Reads the image (its headers through ReadPeHeaders). False when Windows would refuse it as an
// image at all (no MZ or PE signature, headers or sections cut short, not marked executable, a
// damaged import table); problem then says what is wrong in one
// phrase, such as "the file ends inside section .text".
bool ReadPeImage(ByteSource& bytes, PeImage& image, std::string& problem);

// "x64 (64-bit)", "ARM64", ... or "machine 0x1234".
std::string MachineName(std::uint16_t machine, bool pe32Plus);
