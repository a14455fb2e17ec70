// autorun.inf, the file of a disc's root that AutoPlay reads when the disc is inserted: its name,
// the one the kit writes, and what the kit reads of one.
#pragma once

#include <cstddef>
#include <string>

constexpr const char* kAutorunFile = "autorun.inf";
// What is read of an autorun.inf at the most: it comes from the disc, and a real one is a few
// lines.
constexpr std::size_t kAutorunMaxBytes = 64 * 1024;

// The autorun.inf that opens the launcher with its own icon; with label= when label is not empty.
std::string LauncherAutorun(const std::string& label);

// The text of autorun.inf as far as it matters here: ASCII, whether stored in an ANSI code
// page, UTF-8 or UTF-16 (which Windows also reads).
std::string AutorunText(const std::string& raw);

// A path that autorun.inf gives relative to the disc's root, without a leading ".\" or "\".
std::string FromDiscRoot(std::string path);

// The first value of key (upper case) in the [autorun] section, trimmed; empty when there is none.
// line, when given, gets the number of its line (from 1; 0 when there is none).
std::string AutorunEntry(const std::string& text, const std::string& wanted,
                         std::size_t* line = nullptr);

// The program that the [autorun] section's open= (or shellexecute=) line starts, without its
// arguments and without a leading ".\" or "\"; empty when there is none. line as for AutorunEntry.
std::string AutorunOpens(const std::string& text, std::size_t* line = nullptr);
