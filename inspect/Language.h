// Which language folder of the disc's pages fits a system language.
#pragma once

#include <cstddef>
#include <cstdint>

// The folder of the pages for a LANGID (all 16 bits): three letters and a backslash in the exact
// case the disc uses, "Eng\" for every LANGID that has no folder of its own.
const char* LanguageFolderFor(std::uint16_t langId);

// How many LANGIDs have a folder of their own.
std::size_t LanguageTableSize();

constexpr const char* kDefaultLanguageFolder = "Eng\\";
