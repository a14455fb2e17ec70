// What `disckit check` can find on a disc: every finding's stable code, its severity, the
// sentence that says what Start.exe does because of it and the one that says what the author
// does about it. One table; the check only names codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "kit/common/Json.h"

enum class Severity {
    Error,    // the disc misbehaves on every supported system, or on some
    Warning,  // it may misbehave somewhere, or does depending on the media
    Note,     // worth knowing
};

const char* SeverityName(Severity severity);

struct FindingKind {
    std::string code;  // kebab-case, never changes once published
    Severity severity;
    std::string message;  // what goes wrong, and where
    std::string fix;      // what the author does about it: one imperative sentence
};

// Every kind, in the order of the table.
const std::vector<FindingKind>& FindingKinds();
// The kind of a code; a code missing from the table is a programming error and aborts.
const FindingKind& KindOf(const std::string& code);

// The disc's programs and libraries, by what the launcher does with them. Their findings share
// one pattern: <role>-missing, <role>-invalid, <role>-not-x86-32, <role>-not-exe or
// <role>-not-dll, <role>-import-unresolved, <role>-import-not-everywhere.
struct ImageRole {
    std::string code;                // "browser"
    std::vector<std::string> files;  // the launcher's names for it
    bool program;                    // started as a program (else loaded as a library)
    bool optional;                   // the launcher does without it
    std::string noun;                // "the page browser"
    std::string consequence;         // what Start.exe does when it cannot be used
};

const std::vector<ImageRole>& ImageRoles();

enum class ImageFault { Missing, Invalid, NotX86_32, WrongKind, ImportUnresolved, ImportNotEverywhere };

// The code of a fault of an image in this role ("browser-not-x86-32").
std::string ImageFaultCode(const ImageRole& role, ImageFault fault);

struct Finding {
    const FindingKind* kind = nullptr;
    std::string path;    // relative to the disc's root, folders joined by backslashes, UTF-8
    std::string detail;  // what this instance adds (which library, which languages); may be empty
    std::size_t line = 0;  // the line of the file that the finding is about, from 1; 0: none

    Finding(const std::string& code, std::string where, std::string more = std::string())
        : kind(&KindOf(code)), path(std::move(where)), detail(std::move(more)) {}
    // The kind's sentence, the detail, then the fix.
    std::string Message() const;
};

// How many findings there are of each severity.
struct FindingCounts {
    std::size_t errors = 0;
    std::size_t warnings = 0;
    std::size_t notes = 0;
};
FindingCounts CountFindings(const std::vector<Finding>& findings);

// "1 error, 0 warnings, 2 notes": the line that sums up findings wherever they are reported.
std::string CountsLine(const FindingCounts& counts);

// The findings in the order given, as the JSON reports write them: an array of objects with
// severity, code, path and message.
Json FindingsJson(const std::vector<Finding>& findings);

// What the author asked not to see: codes by name, and everything below a severity. And what is
// no finding at all: the absent folder of a language the disc does not serve.
struct Quiet {
    std::set<std::string> ignored;
    Severity least = Severity::Note;  // the least severe shown; the enum runs from most severe
    std::vector<std::uint16_t> served;  // the LANGIDs the disc serves; empty: every one
};

// Adds the comma-separated codes to quiet. False, with the reason in error, for a code that no
// finding has: a misspelt code would otherwise silence nothing, unnoticed.
bool ParseIgnore(const std::string& list, Quiet& quiet, std::string& error);
// "note", "warning" or "error" into quiet. False, with the reason in error, for anything else.
bool ParseMinSeverity(const std::string& name, Quiet& quiet, std::string& error);
// The findings the author wants to see; returns how many were left out (the absent folders of
// languages not served are no findings, and are not counted).
std::size_t LeaveOut(const Quiet& quiet, std::vector<Finding>& findings);
