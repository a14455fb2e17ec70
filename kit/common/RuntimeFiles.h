// Where disckit's run-time files are: the trial's driver, the lab and its Windows tools, and the
// stock Start.exe that build and init start from. They are found relative to the running
// program, never through a path of the tree it was built in.
#pragma once

#include <filesystem>
#include <string>

// The running disckit, and its folder; empty when the system will not say.
std::filesystem::path ProgramPath();
std::filesystem::path ProgramDir();

// The folder that holds `file` among disckit's run-time files: PREFIX/lib/disckit for an
// installed disckit (PREFIX/bin/disckit), lib/disckit beside the program in the build tree, and
// on Windows the program's own folder. Empty when none holds it; tried then names the folders
// looked in.
std::filesystem::path RuntimeDir(const char* file, std::string& tried);
