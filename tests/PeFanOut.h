// A program whose resource tree fans out: a root of `types` entries that all lead to one
// directory of `names` entries, which all lead to one empty language directory: 8 bytes an
// entry that a walk meets types x names times, for the tests and benchmarks of the resource
// reader's bounds.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

#include "kit/disc/LittleEndian.h"

namespace kittest {

// The tree alone, as the resource section's first bytes. With nameUnits, the entries of the
// second level are named, all with one name of that many units, instead of numbered.
inline std::string FanOutTree(std::uint16_t types, std::uint16_t names,
                              std::uint16_t nameUnits = 0) {
    const std::uint32_t nameDir = 16 + 8u * types, languageDir = nameDir + 16 + 8u * names;
    const std::uint32_t name = languageDir + 16;
    std::string tree(name + (nameUnits ? 2 + 2u * nameUnits : 0), 'n');
    std::fill(tree.begin(), tree.begin() + name, '\0');
    Put16(tree, 14, types);
    for (std::uint32_t i = 0; i < types; ++i) {
        Put32(tree, 16 + 8 * i, i + 1);
        Put32(tree, 20 + 8 * i, 0x80000000u | nameDir);
    }
    Put16(tree, nameDir + (nameUnits ? 12 : 14), names);
    for (std::uint32_t i = 0; i < names; ++i) {
        Put32(tree, nameDir + 16 + 8 * i, nameUnits ? 0x80000000u | name : i + 1);
        Put32(tree, nameDir + 20 + 8 * i, 0x80000000u | languageDir);
    }
    if (nameUnits) Put16(tree, name, nameUnits);
    return tree;
}

// A 32-bit x86 GUI program of one section, .rsrc (RVA 0x1000, file offset 0x200), that holds
// the tree and nothing else: no imports, no code that runs.
inline std::string FanOutImage(std::uint16_t types, std::uint16_t names,
                               std::uint16_t nameUnits = 0) {
    constexpr std::uint32_t kHeaders = 0x200, kRva = 0x1000;
    std::string section = FanOutTree(types, names, nameUnits);
    const auto treeSize = static_cast<std::uint32_t>(section.size());
    while (section.size() % 0x200) section += '\0';
    const auto rawSize = static_cast<std::uint32_t>(section.size());

    std::string b(kHeaders, '\0');
    b[0] = 'M';
    b[1] = 'Z';
    Put32(b, 0x3C, 0x40);
    b.replace(0x40, 4, std::string("PE\0\0", 4));
    const std::size_t coff = 0x44, optional = coff + 20;
    Put16(b, coff, 0x014C);         // i386
    Put16(b, coff + 2, 1);          // one section
    Put16(b, coff + 16, 224);       // the optional header's size
    Put16(b, coff + 18, 0x0102);    // an executable for 32-bit machines
    Put16(b, optional, 0x10B);      // PE32
    Put32(b, optional + 28, 0x400000);  // ImageBase
    Put32(b, optional + 32, 0x1000);    // SectionAlignment
    Put32(b, optional + 36, 0x200);     // FileAlignment
    Put16(b, optional + 40, 4);         // the system version it needs: 4.0
    Put16(b, optional + 48, 4);
    Put32(b, optional + 56, kRva + (rawSize + 0xFFF) / 0x1000 * 0x1000);  // SizeOfImage
    Put32(b, optional + 60, kHeaders);
    Put16(b, optional + 68, 2);  // GUI
    Put32(b, optional + 92, 16);
    Put32(b, optional + 96 + 8 * 2, kRva);  // the resource directory
    Put32(b, optional + 100 + 8 * 2, treeSize);
    const std::size_t header = optional + 224;
    b.replace(header, 5, ".rsrc");
    Put32(b, header + 8, treeSize);
    Put32(b, header + 12, kRva);
    Put32(b, header + 16, rawSize);
    Put32(b, header + 20, kHeaders);
    Put32(b, header + 36, 0x40000040u);  // initialised data, readable
    return b + section;
}

}  // namespace kittest
