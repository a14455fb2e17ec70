// The Windows ANSI code pages, as far as disckit needs them: which one a system language
// brings, which bytes start a double-byte character, and whether a name survives the trip from
// the disc's Unicode names into a code page unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The ANSI code pages of Windows: 874, 932, 936, 949, 950 and 1250 to 1258.
const std::vector<int>& AnsiCodePages();
bool IsAnsiCodePage(int codePage);

// The ANSI code page a system of this default language has (1252 for anything unlisted).
int AnsiCodePageForLangId(std::uint16_t langId);

// Whether the byte starts a double-byte character in the code page (false for single-byte ones).
bool IsLeadByte(int codePage, unsigned char byte);

// Converts UTF-8 text into the code page. False when some character has no exact form there (a
// best-fit mapping would change it) or the text is not UTF-8; ansi is then unspecified.
bool Utf8ToAnsiExact(int codePage, const std::string& utf8, std::string& ansi);

// Converts text in the code page to UTF-8; bytes that form no character become U+FFFD.
std::string AnsiToUtf8(int codePage, const std::string& ansi);
