// The command line of `disckit simulate`.
#pragma once

#include <string>

#include "kit/Verbs.h"
#include "kit/common/Project.h"
#include "kit/simulate/SimPlatform.h"

struct SimOptions {
    std::string discDir;  // as given
    SimConfig config;
    bool json = false;
    bool matrix = false;
    bool quiet = false;  // --quiet: nothing on stderr but errors
    bool codePageGiven = false;
    std::string htmlFile;  // --html: where the HTML report goes too
    Project project;       // when the disc was given as a project folder
    std::string junitFile;  // --junit (with --matrix): a test case per cell
};

// Fills options from the arguments after the verb. False, with a one-line reason in error, when
// they are not a valid command line; options are then unspecified.
bool ParseSimulateArgs(const Args& args, SimOptions& options, std::string& error);

// Makes a Windows folder (UTF-8) absolute-looking and ending with one backslash: "E:/Drivers"
// gives "E:\Drivers\". False when it is not a drive or share path, or holds a character no
// Windows file name may hold.
bool NormaliseInstallDir(const std::string& text, std::string& dir);
