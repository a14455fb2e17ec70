// Which language folder of the disc's pages fits a system language.
#pragma once

#include <cstddef>
#include <cstdint>

// The folder of the pages for a LANGID (all 16 bits): three letters and a backslash in the exact
// case the disc uses, "Eng\" for every LANGID that has no folder of its own.
const char* LanguageFolderFor(std::uint16_t langId);

struct LanguageRow {
    std::uint16_t langId;
    const char* folder;
};

// How many LANGIDs have a folder of their own, and the rows themselves, in table order.
std::size_t LanguageTableSize();
const LanguageRow* LanguageTable();

constexpr const char* kDefaultLanguageFolder = "Eng\\";
