#include "kit/windows/CodePage.h"

#include <algorithm>

#include "kit/common/Utf8.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <iconv.h>
#endif

const std::vector<int>& AnsiCodePages() {
    static const std::vector<int> pages = {874,  932,  936,  949,  950,  1250, 1251,
                                           1252, 1253, 1254, 1255, 1256, 1257, 1258};
    return pages;
}

bool IsAnsiCodePage(int codePage) {
    const auto& pages = AnsiCodePages();
    return std::find(pages.begin(), pages.end(), codePage) != pages.end();
}

int AnsiCodePageForLangId(std::uint16_t langId) {
    const unsigned primary = langId & 0x3FFu;
    switch (primary) {
        case 0x04:  // Chinese: Taiwan, Hong Kong and Macao write traditional characters
            return (langId == 0x0804 || langId == 0x1004) ? 936 : 950;
        case 0x11: return 932;  // Japanese
        case 0x12: return 949;  // Korean
        case 0x1E: return 874;  // Thai
        case 0x05: case 0x0E: case 0x15: case 0x18: case 0x1B: case 0x1C: case 0x24:
            return 1250;  // Czech, Hungarian, Polish, Romanian, Slovak, Albanian, Slovenian
        case 0x1A:  // Croatian, Bosnian and Serbian: Latin or Cyrillic by sublanguage
            return (langId == 0x0C1A || langId == 0x1C1A || langId == 0x201A) ? 1251 : 1250;
        case 0x02: case 0x19: case 0x22: case 0x23: case 0x2F: case 0x3F: case 0x40: case 0x44:
        case 0x50:
            return 1251;  // Bulgarian, Russian, Ukrainian, Belarusian, Macedonian, Kazakh, ...
        case 0x08: return 1253;  // Greek
        case 0x1F: case 0x2C: case 0x43: return 1254;  // Turkish, Azerbaijani, Uzbek (Latin)
        case 0x0D: return 1255;  // Hebrew
        case 0x01: case 0x20: case 0x29: return 1256;  // Arabic, Urdu, Farsi
        case 0x25: case 0x26: case 0x27: return 1257;  // Estonian, Latvian, Lithuanian
        case 0x2A: return 1258;  // Vietnamese
        default: return 1252;
    }
}

bool IsLeadByte(int codePage, unsigned char b) {
    switch (codePage) {
        case 932: return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
        case 936:
        case 949:
        case 950: return b >= 0x81 && b <= 0xFE;
        default: return false;
    }
}

#ifdef _WIN32

namespace {

// Through the kit's own decoder, so that both builds agree on what is well-formed.
bool Utf8ToWide(const std::string& utf8, std::wstring& wide) {
    wide.clear();
    std::u32string text;
    if (!DecodeUtf8(utf8, text)) return false;
    for (char32_t c : text) {
        if (c > 0xFFFF) {
            c -= 0x10000;
            wide += static_cast<wchar_t>(0xD800 + (c >> 10));
            wide += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
        } else {
            wide += static_cast<wchar_t>(c);
        }
    }
    return true;
}

}  // namespace

bool Utf8ToAnsiExact(int codePage, const std::string& utf8, std::string& ansi) {
    std::wstring wide;
    if (!Utf8ToWide(utf8, wide)) return false;
    ansi.clear();
    if (wide.empty()) return true;
    const UINT cp = static_cast<UINT>(codePage);
    BOOL usedDefault = FALSE;
    const int n = WideCharToMultiByte(cp, WC_NO_BEST_FIT_CHARS, wide.data(),
                                      static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                      &usedDefault);
    if (n <= 0 || usedDefault) return false;
    ansi.resize(static_cast<std::size_t>(n));
    WideCharToMultiByte(cp, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                        &ansi[0], n, nullptr, &usedDefault);
    if (usedDefault) return false;
    // Some characters map without a default character but do not come back as themselves.
    std::wstring back(wide.size() + 1, L'\0');
    const int m = MultiByteToWideChar(cp, 0, ansi.data(), n, &back[0],
                                      static_cast<int>(back.size()));
    back.resize(m > 0 ? static_cast<std::size_t>(m) : 0);
    return back == wide;
}

std::string AnsiToUtf8(int codePage, const std::string& ansi) {
    if (ansi.empty()) return std::string();
    const UINT cp = static_cast<UINT>(codePage);
    const int n = MultiByteToWideChar(cp, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
    if (n <= 0) return std::string();
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(cp, 0, ansi.data(), static_cast<int>(ansi.size()), &wide[0], n);
    const int m = WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(m > 0 ? m : 0), '\0');
    if (m > 0) WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, &utf8[0], m, nullptr, nullptr);
    return utf8;
}

#else

namespace {

std::string IconvName(int codePage) { return "CP" + std::to_string(codePage); }

// Converts all of in; false at the first sequence the target cannot hold or the source does not
// form. Nothing is transliterated, so a character is either kept exactly or refused.
bool Convert(const char* from, const char* to, const std::string& in, std::string& out,
             bool replaceInvalid) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    out.clear();
    std::string input = in;
    char* src = input.empty() ? nullptr : &input[0];
    std::size_t srcLeft = input.size();
    bool ok = true;
    char buffer[256];
    while (srcLeft > 0) {
        char* dst = buffer;
        std::size_t dstLeft = sizeof buffer;
        const std::size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        out.append(buffer, static_cast<std::size_t>(dst - buffer));
        if (r != static_cast<std::size_t>(-1)) continue;
        if (errno == E2BIG) continue;
        if (!replaceInvalid) {
            ok = false;
            break;
        }
        out += "\xEF\xBF\xBD";  // only used towards UTF-8
        ++src;
        --srcLeft;
    }
    if (ok) {
        char* dst = buffer;
        std::size_t dstLeft = sizeof buffer;
        iconv(cd, nullptr, nullptr, &dst, &dstLeft);
        out.append(buffer, static_cast<std::size_t>(dst - buffer));
    }
    iconv_close(cd);
    return ok;
}

}  // namespace

bool Utf8ToAnsiExact(int codePage, const std::string& utf8, std::string& ansi) {
    // The kit's own decoder says what is well-formed; iconv only encodes.
    std::u32string text;
    if (!DecodeUtf8(utf8, text)) return false;
    if (!Convert("UTF-8", IconvName(codePage).c_str(), utf8, ansi, false)) return false;
    std::string back;
    return Convert(IconvName(codePage).c_str(), "UTF-8", ansi, back, false) && back == utf8;
}

std::string AnsiToUtf8(int codePage, const std::string& ansi) {
    std::string utf8;
    Convert(IconvName(codePage).c_str(), "UTF-8", ansi, utf8, true);
    return utf8;
}

#endif
