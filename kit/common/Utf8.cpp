#include "kit/common/Utf8.h"

#include <cstdio>

std::size_t DecodeUtf8At(const std::string& text, std::size_t at, char32_t& c) {
    if (at >= text.size()) return 0;
    const auto b = static_cast<unsigned char>(text[at]);
    std::size_t n = 0;
    if (b < 0x80) {
        c = b;
        return 1;
    }
    if ((b >> 5) == 0x6) {
        n = 2;
        c = b & 0x1Fu;
    } else if ((b >> 4) == 0xE) {
        n = 3;
        c = b & 0x0Fu;
    } else if ((b >> 3) == 0x1E) {
        n = 4;
        c = b & 0x07u;
    } else {
        return 0;
    }
    if (n > text.size() - at) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        const auto t = static_cast<unsigned char>(text[at + k]);
        if ((t & 0xC0) != 0x80) return 0;
        c = (c << 6) | (t & 0x3Fu);
    }
    // The shortest form only: a longer one would let two spellings stand for one character.
    static const char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kLeast[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    return n;
}

bool DecodeUtf8(const std::string& utf8, std::u32string& text) {
    text.clear();
    for (std::size_t i = 0; i < utf8.size();) {
        char32_t c = 0;
        const std::size_t n = DecodeUtf8At(utf8, i, c);
        if (n == 0) return false;
        text += c;
        i += n;
    }
    return true;
}

void AppendUtf8(char32_t c, std::string& out) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::size_t Utf16Length(const std::u32string& text) {
    std::size_t units = 0;
    for (char32_t c : text) units += c > 0xFFFF ? 2 : 1;
    return units;
}

bool IsControlCharacter(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

namespace {

std::string ShowControls(const std::string& text, bool keepLines) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        char32_t c = 0;
        std::size_t n = DecodeUtf8At(text, i, c);
        if (n != 0 && (!IsControlCharacter(c) || (keepLines && c == '\n'))) {
            out.append(text, i, n);
            i += n;
            continue;
        }
        for (n = n == 0 ? 1 : n; n > 0; --n, ++i) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(text[i]));
            out += hex;
        }
    }
    return out;
}

}  // namespace

std::string EscapeControls(const std::string& text) { return ShowControls(text, false); }

std::string EscapeControlsKeepingLines(const std::string& text) { return ShowControls(text, true); }
