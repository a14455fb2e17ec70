// disckit init: a new disc folder laid out as the launcher expects it, and the text that says
// what goes where.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// LAYOUT.txt: what goes where on a disc, taken from the launcher's names and language table.
// folders: the language folders the disc has (without a trailing backslash), for the example.
std::string DiscLayoutText(const std::vector<std::string>& folders);

// The language folders of the launcher's table that the LANGIDs choose, in table order, the
// default folder first and always; each folder once, however the table spells it.
std::vector<std::string> InitFolders(const std::vector<std::uint16_t>& langIds, bool all);

// Lays the disc out in root (which must not exist or be empty), copying the launcher from
// launcher. False with the reason in error; root may then be half made.
bool LayOutDisc(const std::filesystem::path& root, const std::filesystem::path& launcher,
                const std::vector<std::string>& folders, std::string& error);

// Lays a project out in dir (which must not exist or be empty): its disckit.toml (serving
// languages, locale names, when not empty), LAYOUT.txt, and the disc in dir/disc. False with
// the reason in error; dir may then be half made.
bool LayOutProject(const std::filesystem::path& dir, const std::filesystem::path& launcher,
                   const std::vector<std::string>& folders,
                   const std::vector<std::string>& languages, std::string& error);
