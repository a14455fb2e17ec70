// A program's resources, read from and written back into a PE32 image: what disckit build uses to
// give the stock Start.exe an author's icon and version texts. The headers are read by
// ReadPeHeaders; every read is bounds-checked: a damaged or hostile image gives a problem to
// report, never a crash.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr std::uint16_t kResourceIcon = 3;
constexpr std::uint16_t kResourceGroupIcon = 14;
constexpr std::uint16_t kResourceVersion = 16;
constexpr std::uint16_t kResourceManifest = 24;

// A resource's type or name: a number, or a string (UTF-16 units) when named.
struct ResourceId {
    bool named = false;
    std::uint16_t number = 0;
    std::u16string name;
};

struct Resource {
    ResourceId type;
    ResourceId name;
    std::uint16_t language = 0;
    std::uint32_t codePage = 0;
    std::string data;
};

// How much of a resource tree is read: entries of one directory, entries walked in all (a
// directory reached twice counts twice) and UTF-16 units of the names read (likewise). Real
// programs have at most a few thousand resources, each one entry at each of the tree's three
// levels, with short names; a tree past any of these is refused with kResourceTreeTooLarge (its
// text gives the same numbers), which keeps the walk short whatever the tree's shape.
constexpr std::uint32_t kMaxResourceDirectoryEntries = 16384;
constexpr std::uint32_t kMaxResourceEntries = 65536;
constexpr std::uint32_t kMaxResourceNameUnits = 262144;
constexpr const char* kResourceTreeTooLarge =
    "its resource tree is larger than disckit reads (16,384 entries in one directory, 65,536 in "
    "all, 262,144 characters of names)";

// The resources of an image, in the order of its resource tree. False, with the problem in one
// phrase, when the tree cannot be read or is too large; an image without resources gives an
// empty list.
bool ReadPeResources(const std::string& image, std::vector<Resource>& resources,
                     std::string& problem);

// The image with its resources replaced by these: the resource section is rebuilt and the
// sections after it (only the relocations may follow) move with it; code and data stay byte for
// byte, and a signature is dropped (it would no longer match). False, with the problem, for an
// image whose layout does not allow that.
bool ReplacePeResources(const std::string& image, const std::vector<Resource>& resources,
                        std::string& out, std::string& problem);

// The images of an .ico file, for the icon and icon group resources.
struct IconImage {
    std::uint8_t width = 0;  // 0 stands for 256
    std::uint8_t height = 0;
    std::uint8_t colours = 0;
    std::uint16_t planes = 0;
    std::uint16_t bitCount = 0;
    std::string data;  // a BITMAPINFOHEADER bitmap or a PNG
};

// False, with the problem, for a file that is not an icon Windows can show.
bool ParseIconFile(const std::string& file, std::vector<IconImage>& images, std::string& problem);

// The resources of an icon group numbered group whose images get the numbers firstId on.
void AddIconResources(const std::vector<IconImage>& images, std::uint16_t group,
                      std::uint16_t firstId, std::uint16_t language,
                      std::vector<Resource>& resources);

// The texts of a version resource, UTF-8.
struct VersionTexts {
    std::uint16_t version[4] = {0, 0, 0, 0};
    std::string company, product, description, copyright, originalFilename, internalName;
};

// Four numbers below 65536 joined by dots. False for anything else.
bool ParseVersionNumbers(const std::string& text, std::uint16_t (&version)[4]);

// A version resource (US English, Unicode). False when a text is not UTF-8 or holds control
// characters.
bool MakeVersionResource(const VersionTexts& texts, std::string& data, std::string& problem);

// What a version resource says: the numbers of its fixed part and its strings (key, value,
// UTF-8). False when it cannot be read.
bool ReadVersionResource(const std::string& data, std::uint16_t (&version)[4],
                         std::vector<std::pair<std::string, std::string>>& strings);
