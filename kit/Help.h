// The verbs of disckit and what disckit says about itself: one table of verbs (name, what runs
// it, synopsis, description, option rows, exit codes, examples) from which the dispatch,
// `disckit help`, `disckit VERB --help`, the short usage of a bad command line, the manual page
// disckit(1) and the bash completion are all written. A verb's option rows live beside the code
// that reads their values (kit/common/Options.h); a new option is a row there, and every one of
// these follows.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>

#include "kit/Verbs.h"
#include "kit/common/Options.h"

struct ExitHelp {
    int code;
    const char* meaning;
};

struct VerbHelp {
    const char* name;
    const char* operand;      // "DIR" or "DIR|IMAGE"
    bool operandMayBeFile;    // an image as well as a folder
    const char* summary;      // a line, for `disckit help` and the manual page's name list
    const char* description;  // paragraphs separated by "\n\n"
    const OptionTable* options;
    const ExitHelp* exits;
    std::size_t exitCount;
    const char* const* examples;  // command lines, each optionally followed by "\t" and a comment
    std::size_t exampleCount;
    int (*run)(const Args& args, std::ostream& out, std::ostream& err);
};

std::size_t VerbCount();
const VerbHelp* Verbs();
// Null when no verb has this name.
const VerbHelp* FindVerb(const std::string& name);

// disckit's version, as `disckit --version` and the manual page give it.
const char* DisckitVersion();

// The synopsis lines of a verb ("usage: disckit simulate DIR [--system NAME] ..."), wrapped.
void WriteVerbUsage(const VerbHelp& verb, std::ostream& out);
// What a bad command line of the verb called name gets after its reason: the synopsis, and where
// the rest is told.
std::string VerbUsage(const char* name);
// The synopsis lines of every verb, for a command line that names none or an unknown one.
void WriteUsage(std::ostream& out);
// Everything about one verb (`disckit help VERB`, `disckit VERB --help`).
void WriteVerbHelp(const VerbHelp& verb, std::ostream& out);
// Every verb in a line each, and the general options (`disckit help`).
void WriteHelp(std::ostream& out);
// The manual page disckit(1), in the man macros of roff.
void WriteManualPage(std::ostream& out);
// A bash completion script for disckit: verbs, options, the systems and languages, file names.
void WriteBashCompletion(std::ostream& out);
