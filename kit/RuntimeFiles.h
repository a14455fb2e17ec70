// Where disckit finds the files it runs with (the trial's driver and lab, the lab's Windows tools,
// the stock Start.exe): lib/disckit, found relative to the program itself, never through a path
// compiled in. An installed disckit is PREFIX/bin/disckit beside PREFIX/lib/disckit; in the build
// tree the build links the files into lib/disckit beside the program.
#pragma once

#include <filesystem>
#include <string>

// This running program, and its folder; empty when it cannot be told.
std::filesystem::path ProgramPath();
std::filesystem::path ProgramDir();

// The lib/disckit folder that holds file (a regular file, such as "trial.py" or "Start.exe").
// Empty when none does; tried then names the folders looked at.
std::filesystem::path RuntimeDir(const std::filesystem::path& programDir, const std::string& file,
                                 std::string& tried);
