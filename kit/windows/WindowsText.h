// The upper-casing Windows applies when it compares file names and when a program upper-cases
// text, which check, simulate and init all go by; and numbers as the verbs' options give them.
#pragma once

#include <cstdint>
#include <string>

// Decimal digits, or "0x" followed by hex digits; nothing else (no sign, no blanks). False also
// when the value does not fit 64 bits.
bool ParseUnsigned(const std::string& text, std::uint64_t& value);

// The letters A to Z lowered, every other byte kept.
std::string AsciiLower(std::string text);

// The upper-case form of a character for the scripts whose case Windows folds in file names and
// upper-cases in text: Latin (ASCII, Latin-1, Latin Extended-A), Greek, Cyrillic and the
// full-width Latin letters. Every other character is its own upper case.
char32_t UpperChar(char32_t c);

// UTF-8 text upper-cased character by character with UpperChar. Bytes that are not UTF-8 are
// kept as they are.
std::string UpperUtf8(const std::string& utf8);
