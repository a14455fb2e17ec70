// System languages by name: locale names (de-DE) and the LANGIDs Windows gives them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct LocaleName {
    const char* name;  // as Windows spells it, e.g. "de-DE"
    std::uint16_t langId;
};

// The system language a simulation or a trial runs in unless told: English (United States).
constexpr std::uint16_t kDefaultLangId = 0x0409;

std::size_t LocaleNameCount();
const LocaleName* LocaleNames();

// The locale name of a LANGID; empty when the table has none.
std::string LocaleNameFor(std::uint16_t langId);

// A LANGID from "0x0407", "1031" or a locale name ("de-DE", any case, '_' for '-' too). False when
// the text is none of these or the number does not fit 16 bits.
bool ParseLanguage(const std::string& text, std::uint16_t& langId);

// "0x0407".
std::string FormatLangId(std::uint16_t langId);

// A folder as the launcher's names and table give it ("lang\\", "Eng\\"), without the closing
// backslash: the name a listing of the disc shows.
std::string WithoutBackslash(std::string folder);
