#include "inspect/Language.h"

#include <iterator>

#include "app/LauncherApp.h"

namespace {

// Whole LANGIDs, sublanguage included: a language matches only in the variants listed here.
// "Sch\" and the Turkish "ENG\" are spelt exactly as the disc's folders are.
constexpr LanguageRow kLanguages[] = {
    // Arabic, sublanguages 1 to 16
    {0x0401, "ARA\\"}, {0x0801, "ARA\\"}, {0x0C01, "ARA\\"}, {0x1001, "ARA\\"},
    {0x1401, "ARA\\"}, {0x1801, "ARA\\"}, {0x1C01, "ARA\\"}, {0x2001, "ARA\\"},
    {0x2401, "ARA\\"}, {0x2801, "ARA\\"}, {0x2C01, "ARA\\"}, {0x3001, "ARA\\"},
    {0x3401, "ARA\\"}, {0x3801, "ARA\\"}, {0x3C01, "ARA\\"}, {0x4001, "ARA\\"},
    // Spanish, sublanguages 1 to 20
    {0x040A, "SPA\\"}, {0x080A, "SPA\\"}, {0x0C0A, "SPA\\"}, {0x100A, "SPA\\"},
    {0x140A, "SPA\\"}, {0x180A, "SPA\\"}, {0x1C0A, "SPA\\"}, {0x200A, "SPA\\"},
    {0x240A, "SPA\\"}, {0x280A, "SPA\\"}, {0x2C0A, "SPA\\"}, {0x300A, "SPA\\"},
    {0x340A, "SPA\\"}, {0x380A, "SPA\\"}, {0x3C0A, "SPA\\"}, {0x400A, "SPA\\"},
    {0x440A, "SPA\\"}, {0x480A, "SPA\\"}, {0x4C0A, "SPA\\"}, {0x500A, "SPA\\"},
    // German: Germany, Switzerland, Austria, Luxembourg, Liechtenstein
    {0x0407, "DEU\\"}, {0x0807, "DEU\\"}, {0x0C07, "DEU\\"}, {0x1007, "DEU\\"},
    {0x1407, "DEU\\"},
    // French: France, Belgium, Canada, Switzerland, Luxembourg
    {0x040C, "FRE\\"}, {0x080C, "FRE\\"}, {0x0C0C, "FRE\\"}, {0x100C, "FRE\\"},
    {0x140C, "FRE\\"},
    // Italian: Italy, Switzerland
    {0x0410, "ITA\\"}, {0x0810, "ITA\\"},
    // Portuguese: Brazil, Portugal
    {0x0416, "POR\\"}, {0x0816, "POR\\"},
    {0x0404, "TCH\\"},  // Chinese (Taiwan)
    {0x0804, "Sch\\"},  // Chinese (People's Republic of China)
    {0x0411, "JPN\\"},
    {0x0412, "KOR\\"},
    {0x0415, "POL\\"},
    {0x0419, "RUS\\"},
    {0x041E, "TAN\\"},  // Thai
    {0x041F, "ENG\\"},  // Turkish
    {0x0429, "PER\\"},  // Farsi
};

}  // namespace

const char* LanguageFolderFor(std::uint16_t langId) {
    for (const LanguageRow& row : kLanguages) {
        if (row.langId == langId) return row.folder;
    }
    return kDefaultLanguageFolder;
}

std::size_t LanguageTableSize() { return std::size(kLanguages); }

const LanguageRow* LanguageTable() { return kLanguages; }

std::string LauncherApp::GetLanguageFolder() {
    return SelectLanguageFolder(platform_.SystemDefaultLangId(),
                                [this](const char* folder) { return HasLanguageMarker(folder); });
}

bool LauncherApp::HasLanguageMarker(const std::string& folder) {
    return platform_.CanOpenForReading(KnownInstallDir() + names::kPagesFolder + folder +
                                       names::kMarkerFile);
}
