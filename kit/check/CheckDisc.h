// The check of a disc folder against the launcher's own names, table and rules.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "kit/check/CheckFindings.h"
#include "kit/check/CheckSystemDlls.h"
#include "kit/windows/Profiles.h"

// What Windows makes of one of the launcher's programs and libraries on the disc: the facts the
// check reports, kept so that the simulation decides from the same ones.
struct ImageFacts {
    std::string file;      // the launcher's name for it ("Panoview.exe")
    bool program = false;  // started, not loaded
    bool present = false;  // a file of that name is in the disc's root
    std::string unusable;  // why no system starts or loads it; empty when some may
    bool x64 = false;      // an x64 image: only 64-bit Windows starts it, and only as a program
    bool console = false;  // a console program
    bool registers = true;  // a library that exports DllRegisterServer
    // What of its imports each system lacks: a phrase and the systems it concerns.
    std::vector<std::pair<ReleaseSet, std::string>> lacking;
};

// Checks the disc whose root is folder. False, with error set, when it could not be checked at
// all (no such folder, or one that cannot be read); findings then holds what was found so far. A
// folder below the root that cannot be read is a finding, and the check goes on.
// Findings come in the order they were found; the report groups them by severity. With images,
// also the facts of each of the launcher's programs and libraries, in the order of ImageRoles.
bool CheckDisc(const std::filesystem::path& folder, std::vector<Finding>& findings,
               std::string& error, std::vector<ImageFacts>* images = nullptr);

// The same for a folder or an image, read through its reader.
class DiscReader;
bool CheckDisc(const DiscReader& disc, std::vector<Finding>& findings, std::string& error,
               std::vector<ImageFacts>* images = nullptr);

// Why the system cannot start (a program) or load (a library) the image; empty when it can, or
// when the image is missing (the caller sees that for itself).
std::string CannotRunOn(const ImageFacts& image, const SimSystem& system);
