// libFuzzer target: a Windows program's bytes, read as check and build read the disc's
// programs: its headers, imports and exports, its resource tree and its version resource.
// Built and run by scripts/check-sanitizers.sh (clang, ASan and UBSan).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kit/disc/PeImage.h"
#include "kit/disc/PeResources.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    MemoryBytes source(bytes);
    PeImage image;
    std::string problem;
    if (ReadPeImage(source, image, problem)) {
        (void)image.Exports("DllRegisterServer");
        (void)image.ExportsOrdinal(1);
    }
    std::vector<Resource> resources;
    if (ReadPeResources(bytes, resources, problem)) {
        for (const Resource& resource : resources) {
            std::uint16_t version[4];
            std::vector<std::pair<std::string, std::string>> strings;
            ReadVersionResource(resource.data, version, strings);
        }
    }
    std::vector<IconImage> icons;
    ParseIconFile(bytes, icons, problem);
    return 0;
}
