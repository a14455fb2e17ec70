// The PE reader of disckit check: what it reads from the sample disc's images, and that
// truncated, corrupted and hostile images give a problem to report, never a crash or a hang.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "KitCheckDisc.h"
#include "kit/disc/PeImage.h"
#include "kit/disc/LittleEndian.h"

namespace {

using kittest::HaveSampleDisc;
using kittest::ReadBytes;
using kittest::SampleDisc;
using kittest::SkipReason;

bool Read(const std::string& bytes, PeImage& image, std::string& problem) {
    MemoryBytes source(bytes);
    return ReadPeImage(source, image, problem);
}

// The first size bytes of an image, without copying them.
class Prefix : public ByteSource {
public:
    Prefix(const std::string& bytes, std::size_t size) : bytes_(bytes), size_(size) {}
    std::uint64_t Size() const override { return size_; }
    bool Read(std::uint64_t offset, void* out, std::size_t size) override {
        if (offset > size_ || size > size_ - offset) return false;
        std::copy_n(bytes_.data() + offset, size, static_cast<char*>(out));
        return true;
    }

private:
    const std::string& bytes_;
    std::size_t size_;
};

bool Imports(const PeImage& image, const std::string& dll) {
    return std::any_of(image.imports.begin(), image.imports.end(),
                       [&](const PeImport& i) { return i.dll == dll; });
}

const char* const kImages[] = {"Start.exe", "Panoview.exe", "Q7.exe",   "Handoff.exe",
                               "qzm.dll",   "Discpane.ocx", "Gauge.ocx"};

TEST(PeImage, ReadsTheSampleDiscsImagesAsWindowsWould) {
    if (!HaveSampleDisc()) GTEST_SKIP() << SkipReason();
    struct Row {
        const char* file;
        bool dll;
        std::uint16_t subsystem;
        const char* imports;
        bool registers;
    };
    const Row rows[] = {
        {"Start.exe", false, kSubsystemWindowsGui, "ADVAPI32.dll", false},
        {"Panoview.exe", false, kSubsystemWindowsGui, "GDI32.dll", false},
        {"Q7.exe", false, kSubsystemWindowsGui, "USER32.dll", false},
        {"Handoff.exe", false, kSubsystemWindowsConsole, "KERNEL32.dll", false},
        {"qzm.dll", true, kSubsystemWindowsConsole, "msvcrt.dll", false},
        {"Discpane.ocx", true, kSubsystemWindowsConsole, "ADVAPI32.dll", true},
        {"Gauge.ocx", true, kSubsystemWindowsConsole, "ADVAPI32.dll", true},
    };
    for (const Row& row : rows) {
        FileBytes file;
        ASSERT_TRUE(file.Open(SampleDisc() / row.file)) << row.file;
        PeImage image;
        std::string problem;
        ASSERT_TRUE(ReadPeImage(file, image, problem)) << row.file << ": " << problem;
        EXPECT_TRUE(image.IsX86_32()) << row.file;
        EXPECT_EQ(image.IsDll(), row.dll) << row.file;
        EXPECT_EQ(image.subsystem, row.subsystem) << row.file;
        EXPECT_TRUE(Imports(image, row.imports)) << row.file;
        EXPECT_EQ(image.Exports("DllRegisterServer"), row.registers) << row.file;
        EXPECT_EQ(image.Exports("DllUnregisterServer"), row.registers) << row.file;
        EXPECT_EQ(image.exportProblem, "") << row.file;

        // Read whole from memory, the image gives the same answers.
        PeImage again;
        ASSERT_TRUE(Read(ReadBytes(SampleDisc() / row.file), again, problem));
        EXPECT_EQ(again.imports.size(), image.imports.size());
        EXPECT_EQ(again.exportNames, image.exportNames);
    }
}

// The sample's images end with their last section, so any shorter copy lacks part of one.
TEST(PeImage, EveryTruncatedCopyOfTheSampleImagesIsRefused) {
    if (!HaveSampleDisc()) GTEST_SKIP() << SkipReason();
    for (const char* file : kImages) {
        const std::string bytes = ReadBytes(SampleDisc() / file);
        const std::size_t step = std::max<std::size_t>(1, bytes.size() / 300);
        for (std::size_t cut = 0; cut < bytes.size(); cut += cut < 1100 ? 1 : step) {
            PeImage image;
            std::string problem;
            Prefix prefix(bytes, cut);
            ASSERT_FALSE(ReadPeImage(prefix, image, problem)) << file << " cut at " << cut;
            ASSERT_FALSE(problem.empty());
        }
    }
}

// Corrupted copies: whatever the answer, it comes without a crash (the sanitizer and valgrind
// runs of the unit tests watch the reads) and within the reader's limits.
TEST(PeImage, CorruptedCopiesOfTheSampleImagesAreReadSafely) {
    if (!HaveSampleDisc()) GTEST_SKIP() << SkipReason();
    std::mt19937 random(20261208);
    for (const char* file : kImages) {
        std::string bytes = ReadBytes(SampleDisc() / file);
        for (int variant = 0; variant < 300; ++variant) {
            std::vector<std::pair<std::size_t, char>> saved;
            const int changes = 1 + static_cast<int>(random() % 8);
            for (int i = 0; i < changes; ++i) {
                // Mostly the headers, where a change matters most; sometimes anywhere.
                const std::size_t span =
                    random() % 4 ? std::min<std::size_t>(bytes.size(), 1024) : bytes.size();
                const std::size_t at = random() % span;
                saved.emplace_back(at, bytes[at]);
                bytes[at] = static_cast<char>(random() & 0xFF);
            }
            PeImage image;
            std::string problem;
            Prefix whole(bytes, bytes.size());
            if (ReadPeImage(whole, image, problem)) {
                EXPECT_LE(image.imports.size(), 4096u);
                for (const PeImport& import : image.imports) EXPECT_LE(import.dll.size(), 4096u);
            } else {
                EXPECT_FALSE(problem.empty());
            }
            for (auto it = saved.rbegin(); it != saved.rend(); ++it) bytes[it->first] = it->second;
        }
    }
}

// --- Hostile images, made here --------------------------------------------------------------

// A PE32 DLL for x86 with one section at RVA 0x1000 (file offset 0x200) holding data.
constexpr std::uint32_t kSectionRva = 0x1000;
std::string MakeImage(const std::string& data, std::uint32_t importRva, std::uint32_t exportRva) {
    std::string b(0x200, '\0');
    b[0] = 'M';
    b[1] = 'Z';
    Put32(b, 0x3C, 0x40);
    b.replace(0x40, 4, std::string("PE\0\0", 4));
    Put16(b, 0x44, kMachineI386);
    Put16(b, 0x46, 1);       // sections
    Put16(b, 0x54, 224);     // optional header
    Put16(b, 0x56, 0x2102);  // executable, 32-bit, DLL
    const std::size_t opt = 0x58;
    Put16(b, opt, 0x10B);
    Put32(b, opt + 60, 0x200);  // size of headers
    Put16(b, opt + 68, kSubsystemWindowsGui);
    Put32(b, opt + 92, 16);
    Put32(b, opt + 96, exportRva);
    Put32(b, opt + 100, exportRva ? 40 : 0);
    Put32(b, opt + 104, importRva);
    Put32(b, opt + 108, importRva ? 20 : 0);
    const std::size_t section = opt + 224;
    b.replace(section, 5, ".data");
    Put32(b, section + 8, static_cast<std::uint32_t>(data.size()));
    Put32(b, section + 12, kSectionRva);
    Put32(b, section + 16, static_cast<std::uint32_t>(data.size()));
    Put32(b, section + 20, 0x200);
    return b + data;
}

TEST(PeImage, HostileHeadersGiveAProblemNotACrash) {
    const std::string good = MakeImage(std::string(16, '\0'), 0, 0);
    PeImage image;
    std::string problem;
    ASSERT_TRUE(Read(good, image, problem)) << problem;

    struct Row {
        std::size_t at;
        std::uint32_t value;
        bool wide;
        const char* problem;
    };
    const Row rows[] = {
        {0x3C, 0xFFFFFFF0, true, "the file ends before its PE header"},
        {0x40, 0x0, true, "it has no PE header (a DOS program, or a damaged one)"},
        {0x46, 0xFFFF, false, "it has more sections than Windows loads"},
        {0x54, 0xFFFF, false, "the file ends inside its optional header"},
        {0x54, 0x40, false, "its optional header is cut short"},
        {0x58, 0x107, false, "its optional header has a format Windows does not know"},
        {0x56, 0x2100, false,
         "it is not marked as an executable image (an object file, or a failed link)"},
        {0x58 + 60, 0x7FFFFFFF, true, "the file ends inside its headers"},
        {0x58 + 224 + 20, 0xFFFFFF00, true, "the file ends inside its section .data (cut short)"},
        {0x58 + 104, 0x7FFF0000, true, "its import table lies outside the file's data"},
    };
    for (const Row& row : rows) {
        std::string bad = good;
        row.wide ? Put32(bad, row.at, row.value) : Put16(bad, row.at, row.value);
        EXPECT_FALSE(Read(bad, image, problem)) << row.problem;
        EXPECT_EQ(problem, row.problem);
    }
}

// Every import descriptor points at the same long table of entries: 4096 x 65535 entries if
// read to the end. The reader stops at its limit instead.
TEST(PeImage, ATableThatRepeatsItselfEndsAtTheReadersLimit) {
    const std::uint32_t descriptors = 4096, entries = 65535;
    const std::uint32_t nameAt = descriptors * 20 + 20, thunksAt = nameAt + 16;
    std::string data(thunksAt + entries * 4 + 4, '\0');
    for (std::uint32_t i = 0; i < descriptors; ++i) {
        Put32(data, i * 20, kSectionRva + thunksAt);
        Put32(data, i * 20 + 12, kSectionRva + nameAt);
        Put32(data, i * 20 + 16, kSectionRva + thunksAt);
    }
    data.replace(nameAt, 7, std::string("x.dll\0\0", 7));
    for (std::uint32_t i = 0; i < entries; ++i) Put32(data, thunksAt + i * 4, 0x80000001);
    PeImage image;
    std::string problem;
    EXPECT_FALSE(Read(MakeImage(data, kSectionRva, 0), image, problem));
    EXPECT_EQ(problem, "its tables are larger than those of any real image");
}

// Every entry names the same long name: a gigabyte of names if each were kept.
TEST(PeImage, LongNamesRepeatedEndAtTheReadersLimit) {
    const std::uint32_t entries = 60000, nameAt = 40, thunksAt = nameAt + 4100;
    std::string data(thunksAt + entries * 4 + 4, '\0');
    Put32(data, 0, kSectionRva + thunksAt);
    Put32(data, 12, kSectionRva + nameAt + 2);
    Put32(data, 16, kSectionRva + thunksAt);
    data.replace(nameAt + 2, 4000, std::string(4000, 'n'));
    for (std::uint32_t i = 0; i < entries; ++i) Put32(data, thunksAt + i * 4, kSectionRva + nameAt);
    PeImage image;
    std::string problem;
    EXPECT_FALSE(Read(MakeImage(data, kSectionRva, 0), image, problem));
    EXPECT_EQ(problem, "its tables are larger than those of any real image");
}

TEST(PeImage, ADamagedExportTableLeavesTheImageLoadableButSaysSo) {
    std::string data(64, '\0');
    Put32(data, 20, 1);           // functions
    Put32(data, 24, 0xFFFFFFFF);  // names
    PeImage image;
    std::string problem;
    ASSERT_TRUE(Read(MakeImage(data, 0, kSectionRva), image, problem)) << problem;
    EXPECT_EQ(image.exportProblem, "its export table claims more entries than an image can have");

    Put32(data, 24, 1);
    Put32(data, 32, 0x7FFFFFF0);  // the names' table lies nowhere
    ASSERT_TRUE(Read(MakeImage(data, 0, kSectionRva), image, problem)) << problem;
    EXPECT_EQ(image.exportProblem, "its exported names lie outside the file's data");
}

TEST(PeImage, AnUnterminatedNameIsRefused) {
    std::string data(64, 'z');
    Put32(data, 0, 0);
    Put32(data, 4, 0);
    Put32(data, 8, 0);
    Put32(data, 12, kSectionRva + 40);  // the name runs to the end of the section
    Put32(data, 16, kSectionRva + 20);
    Put32(data, 20, 0);
    PeImage image;
    std::string problem;
    EXPECT_FALSE(Read(MakeImage(data, kSectionRva, 0), image, problem));
    EXPECT_EQ(problem, "the name of an imported library lies outside the file's data");
}

// A .NET assembly: the CLR header (data directory 14) leads to the metadata root, whose version
// string names the runtime. Every length and address in the chain is the file's to lie about.
TEST(PeImage, TheRuntimeVersionOfAnAssemblyIsReadWithinItsBounds) {
    struct Row {
        const char* what;
        std::uint32_t clrAt;  // 0: no CLR header
        std::uint32_t metadataSize;
        std::uint32_t signature;
        std::uint32_t length;
        std::string version;
        bool managed;
        std::string read;
    };
    const Row rows[] = {
        {"framework 4", 16, 64, 0x424A5342, 12, "v4.0.30319", true, "v4.0.30319"},
        {"framework 2", 16, 64, 0x424A5342, 12, "v2.0.50727", true, "v2.0.50727"},
        {"not terminated in its length", 16, 64, 0x424A5342, 4, "v4.0.30319", true, "v4.0"},
        {"a native image", 0, 64, 0x424A5342, 12, "v4.0.30319", false, ""},
        {"no metadata signature", 16, 64, 0x12345678, 12, "v4.0.30319", true, ""},
        {"a version longer than any", 16, 64, 0x424A5342, 0xFFFFFFF0, "v4.0.30319", true, ""},
        {"a version past the metadata", 16, 20, 0x424A5342, 12, "v4.0.30319", true, ""},
        {"a CLR header outside the file", 0x7FFF0000, 64, 0x424A5342, 12, "v4", true, ""},
        {"no version at all", 16, 64, 0x424A5342, 0, "", true, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::string data(128, '\0');
        const std::uint32_t metadata = 48;
        Put32(data, 16, 72);
        Put32(data, 24, kSectionRva + metadata);
        Put32(data, 28, row.metadataSize);
        Put32(data, metadata, row.signature);
        Put32(data, metadata + 12, row.length);
        data.replace(metadata + 16, row.version.size(), row.version);
        std::string image = MakeImage(data, 0, 0);
        if (row.clrAt) {
            const std::uint32_t rva = row.clrAt == 16 ? kSectionRva + 16 : row.clrAt;
            Put32(image, 0x58 + 96 + 8 * 14, rva);
            Put32(image, 0x58 + 100 + 8 * 14, 72);
        }
        PeImage pe;
        std::string problem;
        ASSERT_TRUE(Read(image, pe, problem)) << problem;
        EXPECT_EQ(pe.managed, row.managed);
        EXPECT_EQ(pe.clrVersion, row.read);
        EXPECT_EQ(pe.clrProblem.empty(), !row.managed || !row.read.empty()) << pe.clrProblem;
    }
}

TEST(PeImage, MachinesAreNamed) {
    EXPECT_EQ(MachineName(kMachineI386, false), "x86 (32-bit)");
    EXPECT_EQ(MachineName(kMachineAmd64, true), "x64 (64-bit)");
    EXPECT_EQ(MachineName(0xAA64, true), "ARM64");
    EXPECT_EQ(MachineName(0x1234, false), "machine 0x1234");
}

}  // namespace
