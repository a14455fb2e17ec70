// A disc folder as Windows will see it: names in UTF-8 on every host, looked up without regard to
// case, listed in one fixed order so that every build reports the same findings the same way.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

struct DiscEntry {
    std::string name;       // UTF-8 (on POSIX hosts the bytes as stored)
    bool validName = true;  // the name is well-formed UTF-8
    bool isDirectory = false;
    bool isFile = false;  // a regular file, symbolic links followed
    bool isSymlink = false;
    std::filesystem::path path;
};

// The entries of folder, sorted by their names' bytes. False, with error set, when the folder
// cannot be read.
bool ListFolder(const std::filesystem::path& folder, std::vector<DiscEntry>& entries,
                std::string& error);

enum class Match { Exact, CaseOnly, Missing };

struct Lookup {
    Match match = Match::Missing;
    const DiscEntry* entry = nullptr;  // the entry Windows opens for the name; null when missing
};

// The entry Windows reaches under name, comparing names as it does (UpperUtf8 of both). An exact
// match wins over one that differs in case.
Lookup Find(const std::vector<DiscEntry>& entries, const std::string& name);

// UTF-8 to code points; false when the text is not well-formed UTF-8.
bool DecodeUtf8(const std::string& utf8, std::u32string& text);
// How many UTF-16 units the text takes (two for a character beyond U+FFFF).
std::size_t Utf16Length(const std::u32string& text);

// Paths to and from UTF-8, whatever the host's own encoding of file names.
std::string PathToUtf8(const std::filesystem::path& path);
std::filesystem::path Utf8ToPath(const std::string& utf8);
