// A disc's project: a folder holding disckit.toml, the disc's content folder and the author's
// own notes. The file remembers what the author decided once (the languages the disc serves,
// the launcher's identity, how it is signed, what the check may leave out), so that no verb
// has to be told again.
//
// Most keys are no declaration of their own: each names an option row of the verbs it
// configures (kit/common/Options.h), which gives its type, its help and where its value goes.
// The file fills the rows the command line leaves unset, so the command line always wins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "kit/common/Options.h"
#include "kit/windows/Outcomes.h"

constexpr const char* kProjectFile = "disckit.toml";
constexpr const char* kDefaultContent = "disc";

// The TOML type of a key of the project's own (a key of an option row takes the row's).
enum class ProjectType {
    Option,    // the option row's: a flag is a boolean, a value a string (a path for a file or
               // folder), a repeated option an array of strings (or one string)
    Path,      // a string: a file or folder, relative to the project's folder
    Texts,     // an array of strings
    TextTable, // a table whose values are strings
};

struct ProjectKey {
    const char* table;    // "identity"
    const char* key;      // "company"; null: the table itself is the value
    const char* verbs;    // the verbs it configures, blank-separated ("check build")
    const char* option;   // the row of those verbs it sets ("--company"); null for the project's
    ProjectType type;
    const char* help;     // for a key of the project's own; an option's row has its own
    const char* example;  // a TOML value, as init's file shows it commented out
};

// The keys of the file, table by table (defined beside the verbs' table, which they refer to).
std::size_t ProjectKeyCount();
const ProjectKey* ProjectKeys();

// The option row a key sets for its first verb; null for a key of the project's own.
const OptionRow* ProjectKeyRow(const ProjectKey& key);
// What the README calls the key's type: "string", "path", "boolean", "array of strings", ...
std::string ProjectKeyType(const ProjectKey& key);

struct Project {
    bool loaded = false;
    std::string folder;  // as given
    std::string file;    // folder/disckit.toml, as messages name it
    std::string content; // the disc's folder, as the verbs open it
    std::vector<std::uint16_t> languages;  // [disc] languages; empty: every language
    // [expect]: a system (a profile's name) by what it is expected to do there, as written.
    std::map<std::string, std::string> expect;
    // [expect] as the verbs judge by it: each system the file names, the gate's for the others.
    Expectations Expected() const;

    // A value of the file for an option row.
    struct Setting {
        const ProjectKey* key;
        std::vector<std::string> values;  // a flag: "true" or "false"
        long line;
    };
    std::vector<Setting> settings;

    // "FILE:LINE: " before error when it reasons about an option whose value came from the
    // file (error starts with the option's name), else error as it is.
    std::string Blame(const std::string& error) const;
    std::set<std::string> fromFile;  // the options the file gave, for Blame
};

// True when folder is a folder holding a project file.
bool IsProjectFolder(const std::string& folder);

// Reads folder's project file into project. False, with one line naming the file and the line
// ("p/disckit.toml:7: ...") in error, for a file that is not TOML, an unknown table or key, a
// value of the wrong type or one that no option takes.
bool LoadProject(const std::string& folder, Project& project, std::string& error);

// The same from the file's text (named file in messages; paths relative to folder).
bool ParseProject(const std::string& text, const std::string& folder, const std::string& file,
                  Project& project, std::string& error);

// Parses a verb's command line as ParseVerbOptions does; when the operand is a project folder,
// loads it, makes the operand its content folder and fills the rows of verb that the command
// line leaves unset with the file's values.
bool ParseVerbCommand(const char* verb, const Args& args, const OptionTable& table, void* values,
                      const char* operandName, std::string& operand, Project& project,
                      std::string& error);

// Says on err which project file a verb took ("disckit: project p/disckit.toml"), so that an
// author sees which one was read; nothing when the operand was no project folder.
void SayProject(const Project& project, std::ostream& err);

// The text of a new project file: languages (locale names) set, every other key shown as a
// commented example.
std::string NewProjectFile(const std::vector<std::string>& languages);

// What a verb writes to err for a command line it cannot use: "disckit VERB: " and the reason
// (blamed on the file where a value of the file is at fault), then the verb's usage, unless the
// reason lies in the project file: then that one line only.
void WriteCommandError(const char* verb, const Project& project, const std::string& error,
                       std::ostream& err);
