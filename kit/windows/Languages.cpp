#include "kit/windows/Languages.h"

#include <cstdio>
#include <iterator>

#include "kit/windows/WindowsText.h"

namespace {

// Every LANGID that has a page folder of its own, and the languages disc authors ask about most.
constexpr LocaleName kLocales[] = {
    // Arabic, sublanguages 1 to 16
    {"ar-SA", 0x0401}, {"ar-IQ", 0x0801}, {"ar-EG", 0x0C01}, {"ar-LY", 0x1001},
    {"ar-DZ", 0x1401}, {"ar-MA", 0x1801}, {"ar-TN", 0x1C01}, {"ar-OM", 0x2001},
    {"ar-YE", 0x2401}, {"ar-SY", 0x2801}, {"ar-JO", 0x2C01}, {"ar-LB", 0x3001},
    {"ar-KW", 0x3401}, {"ar-AE", 0x3801}, {"ar-BH", 0x3C01}, {"ar-QA", 0x4001},
    // Spanish, sublanguages 1 to 20; the first is Spain with the traditional sort order
    {"es-ES_tradnl", 0x040A}, {"es-MX", 0x080A}, {"es-ES", 0x0C0A}, {"es-GT", 0x100A},
    {"es-CR", 0x140A}, {"es-PA", 0x180A}, {"es-DO", 0x1C0A}, {"es-VE", 0x200A},
    {"es-CO", 0x240A}, {"es-PE", 0x280A}, {"es-AR", 0x2C0A}, {"es-EC", 0x300A},
    {"es-CL", 0x340A}, {"es-UY", 0x380A}, {"es-PY", 0x3C0A}, {"es-BO", 0x400A},
    {"es-SV", 0x440A}, {"es-HN", 0x480A}, {"es-NI", 0x4C0A}, {"es-PR", 0x500A},
    {"de-DE", 0x0407}, {"de-CH", 0x0807}, {"de-AT", 0x0C07}, {"de-LU", 0x1007},
    {"de-LI", 0x1407},
    {"fr-FR", 0x040C}, {"fr-BE", 0x080C}, {"fr-CA", 0x0C0C}, {"fr-CH", 0x100C},
    {"fr-LU", 0x140C}, {"fr-MC", 0x180C},
    {"it-IT", 0x0410}, {"it-CH", 0x0810},
    {"pt-BR", 0x0416}, {"pt-PT", 0x0816},
    {"zh-TW", 0x0404}, {"zh-CN", 0x0804}, {"zh-HK", 0x0C04}, {"zh-SG", 0x1004},
    {"zh-MO", 0x1404},
    {"ja-JP", 0x0411}, {"ko-KR", 0x0412}, {"pl-PL", 0x0415}, {"ru-RU", 0x0419},
    {"th-TH", 0x041E}, {"tr-TR", 0x041F}, {"fa-IR", 0x0429},
    {"en-US", 0x0409}, {"en-GB", 0x0809}, {"en-AU", 0x0C09}, {"en-CA", 0x1009},
    {"en-NZ", 0x1409}, {"en-IE", 0x1809}, {"en-ZA", 0x1C09}, {"en-IN", 0x4009},
    {"fi-FI", 0x040B}, {"nl-NL", 0x0413}, {"nl-BE", 0x0813}, {"sv-SE", 0x041D},
    {"sv-FI", 0x081D}, {"da-DK", 0x0406}, {"nb-NO", 0x0414}, {"nn-NO", 0x0814},
    {"is-IS", 0x040F}, {"cs-CZ", 0x0405}, {"sk-SK", 0x041B}, {"hu-HU", 0x040E},
    {"ro-RO", 0x0418}, {"sl-SI", 0x0424}, {"hr-HR", 0x041A}, {"sr-Latn-CS", 0x081A},
    {"sr-Cyrl-CS", 0x0C1A}, {"bg-BG", 0x0402}, {"uk-UA", 0x0422}, {"be-BY", 0x0423},
    {"kk-KZ", 0x043F}, {"el-GR", 0x0408}, {"he-IL", 0x040D}, {"ur-PK", 0x0420},
    {"et-EE", 0x0425}, {"lv-LV", 0x0426}, {"lt-LT", 0x0427}, {"vi-VN", 0x042A},
    {"id-ID", 0x0421}, {"ms-MY", 0x043E}, {"hi-IN", 0x0439}, {"ca-ES", 0x0403},
    {"eu-ES", 0x042D},
};

std::string Normalised(const std::string& name) {
    std::string out = AsciiLower(name);
    for (char& c : out) {
        if (c == '_') c = '-';
    }
    return out;
}

}  // namespace

std::size_t LocaleNameCount() { return std::size(kLocales); }

const LocaleName* LocaleNames() { return kLocales; }

std::string LocaleNameFor(std::uint16_t langId) {
    for (const LocaleName& l : kLocales) {
        if (l.langId == langId) return l.name;
    }
    return std::string();
}

bool ParseLanguage(const std::string& text, std::uint16_t& langId) {
    std::uint64_t number = 0;
    if (ParseUnsigned(text, number)) {
        if (number > 0xFFFF) return false;
        langId = static_cast<std::uint16_t>(number);
        return true;
    }
    const std::string wanted = Normalised(text);
    for (const LocaleName& l : kLocales) {
        if (Normalised(l.name) == wanted) {
            langId = l.langId;
            return true;
        }
    }
    return false;
}

std::string FormatLangId(std::uint16_t langId) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "0x%04X", static_cast<unsigned>(langId));
    return buffer;
}

std::string WithoutBackslash(std::string folder) {
    if (!folder.empty() && folder.back() == '\\') folder.pop_back();
    return folder;
}
