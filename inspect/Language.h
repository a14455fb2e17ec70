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

// The folder whose pages the launcher opens on a system of this LANGID: the table's folder when
// hasMarker(folder) says its marker file can be opened, the default folder otherwise. hasMarker is
// asked exactly once, about the table's folder, even when that is the default folder. Tools that
// look at a disc ask the same question of its files, so they can never disagree with the launcher.
template <typename HasMarker>
const char* SelectLanguageFolder(std::uint16_t langId, HasMarker&& hasMarker) {
    const char* folder = LanguageFolderFor(langId);
    // The default folder is tested like any other, but it is the answer whatever the test says.
    return hasMarker(folder) ? folder : kDefaultLanguageFolder;
}
