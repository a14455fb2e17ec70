// UTF-8, strictly and in one place: every part of the kit that decodes text decodes it here. A
// character is well-formed only in its shortest form and never as a surrogate or past U+10FFFF,
// so what one part takes for a character, no other part (nor a JSON reader) takes for garbage.
#pragma once

#include <cstddef>
#include <string>

// The character at text[at]: its length in bytes, or 0 (c unspecified) when no well-formed
// character starts there.
std::size_t DecodeUtf8At(const std::string& text, std::size_t at, char32_t& c);

// UTF-8 to code points; false when the text is not well-formed UTF-8.
bool DecodeUtf8(const std::string& utf8, std::u32string& text);

// Appends c (a code point that is no surrogate, at most U+10FFFF) as UTF-8.
void AppendUtf8(char32_t c, std::string& out);

// How many UTF-16 units the text takes (two for a character beyond U+FFFF).
std::size_t Utf16Length(const std::u32string& text);

// Whether c acts on the text around it instead of showing: a C0 control, DEL, a C1 control
// (U+009B is the 8-bit CSI that starts a terminal's commands) or a bidirectional control, which
// reorders what follows it (U+202E shows "report\u202Etxt.exe" as "reportexe.txt").
bool IsControlCharacter(char32_t c);

// The text fit for a terminal: control characters (IsControlCharacter) and bytes that are not
// UTF-8 written as \xNN, byte by byte; everything else as it is.
std::string EscapeControls(const std::string& text);

// The same for text of several lines: its line ends ('\n') stay.
std::string EscapeControlsKeepingLines(const std::string& text);
