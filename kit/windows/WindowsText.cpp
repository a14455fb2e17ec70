#include "kit/windows/WindowsText.h"

#include <limits>

#include "kit/common/Utf8.h"

namespace {

int DigitValue(char c, int base) {
    int v = -1;
    if (c >= '0' && c <= '9') v = c - '0';
    if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    return v < base ? v : -1;
}

}  // namespace

bool ParseUnsigned(const std::string& text, std::uint64_t& value) {
    int base = 10;
    std::size_t i = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i >= text.size()) return false;
    std::uint64_t v = 0;
    for (; i < text.size(); ++i) {
        const int d = DigitValue(text[i], base);
        if (d < 0) return false;
        const auto digit = static_cast<std::uint64_t>(d);
        const auto b = static_cast<std::uint64_t>(base);
        if (v > (std::numeric_limits<std::uint64_t>::max() - digit) / b) return false;
        v = v * b + digit;
    }
    value = v;
    return true;
}

std::string AsciiLower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    }
    return text;
}

char32_t UpperChar(char32_t c) {
    if (c >= 'a' && c <= 'z') return c - 0x20;
    if (c < 0x80) return c;
    if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return c - 0x20;  // Latin-1, not the division sign
    if (c == 0xFF) return 0x178;
    if (c >= 0x100 && c <= 0x17F) {
        // Latin Extended-A: pairs of upper and lower case, upper first, with the run from U+0139
        // to U+0148 and from U+0179 to U+017E starting on an odd code point.
        const bool oddRun = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;  // no simple upper
        if (oddRun) return (c % 2 == 0) ? c - 1 : c;
        return (c % 2 == 1) ? c - 1 : c;
    }
    if (c >= 0x3B1 && c <= 0x3C9) return c == 0x3C2 ? 0x3A3 : c - 0x20;  // Greek, final sigma
    if (c >= 0x430 && c <= 0x44F) return c - 0x20;                       // Cyrillic
    if (c >= 0x450 && c <= 0x45F) return c - 0x50;
    if (c >= 0xFF41 && c <= 0xFF5A) return c - 0x20;                     // full-width Latin
    return c;
}

std::string UpperUtf8(const std::string& utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        char32_t c = 0;
        const std::size_t n = DecodeUtf8At(utf8, i, c);
        if (n == 0) {
            out += utf8[i++];
            continue;
        }
        AppendUtf8(UpperChar(c), out);
        i += n;
    }
    return out;
}
