// Reports written to a file named on the command line (--html, --sarif, --junit): whole or not
// at all. The text goes to a new file beside the target first and takes the target's name only
// once it is complete, so that a CI job never reads half a report, and a failed write leaves
// whatever was there before.
#pragma once

#include <initializer_list>
#include <string>

// Writes text to path (UTF-8). False, with one line in error ("cannot write the WHAT to PATH:
// why"), when it cannot; nothing is then left behind.
bool WriteReportFile(const std::string& path, const std::string& text, const std::string& what,
                     std::string& error);

// Whether a report could be written to path, asked before a long run so that a wrong path is
// said at once: its folder is there and may be written to, and it is not a folder itself. False,
// with the same line as WriteReportFile's in error, when not.
bool ReportFileWritable(const std::string& path, const std::string& what, std::string& error);

// The same for every report a command line names: the --html, --sarif or --junit options as
// (path, what) pairs, an empty path for one not given. Every report is then written, or none.
struct NamedReport {
    const std::string& path;
    const char* what;
};
bool ReportFilesWritable(std::initializer_list<NamedReport> reports, std::string& error);
