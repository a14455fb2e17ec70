// libFuzzer target: an ISO 9660 image's bytes, read as check and simulate read a disc image:
// both trees, every folder listed, every file opened and its first bytes read, and the whole
// check run over it. Built and run by scripts/check-sanitizers.sh (clang, ASan and UBSan).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kit/check/CheckDisc.h"
#include "kit/disc/DiscReader.h"
#include "kit/disc/IsoImage.h"

namespace {

void Walk(const DiscReader& reader, const DiscFolder& folder, std::size_t& budget) {
    for (const DiscEntry& entry : folder.Entries()) {
        if (budget == 0) return;
        --budget;
        std::string why;
        if (entry.isDirectory) {
            DiscFolder inner;
            if (reader.List(entry, inner, why)) Walk(reader, inner, budget);
        } else if (const std::unique_ptr<ByteSource> bytes = reader.Open(entry, why)) {
            char head[64];
            const std::uint64_t size = bytes->Size();
            bytes->Read(0, head, static_cast<std::size_t>(size < sizeof head ? size : sizeof head));
            if (size > 1) bytes->Read(size - 1, head, 1);
            (void)reader.SizeOf(entry);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string error;
    const std::unique_ptr<DiscReader> reader = OpenIsoImage(
        std::make_unique<MemoryBytes>(std::string(reinterpret_cast<const char*>(data), size)),
        "fuzz.iso", error);
    if (!reader) return 0;
    (void)reader->Notes();
    DiscFolder root;
    if (!reader->ListRoot(root, error)) return 0;
    std::size_t budget = 10000;
    Walk(*reader, root, budget);
    std::vector<Finding> findings;
    CheckDisc(*reader, findings, error);
    return 0;
}
