#include "kit/DiscTree.h"

#include <algorithm>
#include <system_error>

#include "kit/SimText.h"

namespace fs = std::filesystem;

bool DecodeUtf8(const std::string& utf8, std::u32string& text) {
    text.clear();
    for (std::size_t i = 0; i < utf8.size();) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        std::size_t n = 0;
        char32_t c = 0;
        if (b < 0x80) {
            n = 1;
            c = b;
        } else if ((b >> 5) == 0x6) {
            n = 2;
            c = b & 0x1F;
        } else if ((b >> 4) == 0xE) {
            n = 3;
            c = b & 0x0F;
        } else if ((b >> 3) == 0x1E) {
            n = 4;
            c = b & 0x07;
        } else {
            return false;
        }
        if (i + n > utf8.size()) return false;
        for (std::size_t k = 1; k < n; ++k) {
            const auto t = static_cast<unsigned char>(utf8[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            c = (c << 6) | (t & 0x3F);
        }
        static const char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < kSmallest[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        text += c;
        i += n;
    }
    return true;
}

std::size_t Utf16Length(const std::u32string& text) {
    std::size_t units = 0;
    for (char32_t c : text) units += c > 0xFFFF ? 2 : 1;
    return units;
}

std::string PathToUtf8(const fs::path& path) {
    try {
        return path.u8string();
    } catch (const std::exception&) {
        // A name that is not valid UTF-16 (an unpaired surrogate on Windows).
        return std::string("\xEF\xBF\xBD");
    }
}

fs::path Utf8ToPath(const std::string& utf8) { return fs::u8path(utf8); }

bool ListFolder(const fs::path& folder, std::vector<DiscEntry>& entries, std::string& error) {
    entries.clear();
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) {
        error = "cannot read the folder " + PathToUtf8(folder) + ": " + ec.message();
        return false;
    }
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
        if (ec) break;
        DiscEntry entry;
        entry.path = it->path();
        entry.name = PathToUtf8(entry.path.filename());
        std::u32string decoded;
        entry.validName = DecodeUtf8(entry.name, decoded);
        std::error_code statusError;
        entry.isSymlink = fs::is_symlink(fs::symlink_status(entry.path, statusError));
        const fs::file_status status = fs::status(entry.path, statusError);
        entry.isDirectory = !statusError && fs::is_directory(status);
        entry.isFile = !statusError && fs::is_regular_file(status);
        entries.push_back(std::move(entry));
    }
    if (ec) {
        error = "cannot read the folder " + PathToUtf8(folder) + ": " + ec.message();
        return false;
    }
    std::sort(entries.begin(), entries.end(),
              [](const DiscEntry& a, const DiscEntry& b) { return a.name < b.name; });
    return true;
}

Lookup Find(const std::vector<DiscEntry>& entries, const std::string& name) {
    Lookup found;
    const std::string folded = UpperUtf8(name);
    for (const DiscEntry& entry : entries) {
        if (entry.name == name) return {Match::Exact, &entry};
        if (found.match == Match::Missing && UpperUtf8(entry.name) == folded) {
            found = {Match::CaseOnly, &entry};
        }
    }
    return found;
}
