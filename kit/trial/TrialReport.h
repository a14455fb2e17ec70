// The trial's report: what the driver saw beside Wine (its observations, one JSON document) read
// as hostile input, the start page looked up on the disc, the verdict decided, and the report
// written in words, as JSON and as HTML with the kit's own escaping and page. Native only: the
// Windows build of disckit runs no trial.
#pragma once

#ifndef _WIN32

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kit/common/Json.h"

class DiscReader;

// The observations' file is read up to this size; a string in it up to kMaxTrialText bytes.
constexpr std::uint64_t kMaxObservations = 256u << 20;
constexpr std::size_t kMaxTrialText = 1u << 20;
// Screenshots embedded in the HTML report, each up to this size.
constexpr std::uint64_t kMaxScreenshot = 16u << 20;
// Processes the timeline draws at the most; the events list them all.
constexpr std::size_t kMaxTimelineRows = 200;

// Whether the disc holds this path (backslashes, below the root) as a file, names compared as
// Windows compares them (DiscHoldsFile), as simulate finds them.
bool TrialFileOnDisc(const DiscReader& disc, const std::string& relative);

// The page on a browser's command line: its last quoted path, as the launcher writes it (an
// opening quote that is never closed) or closed; drive letter and path apart. False when the
// command line names none.
bool StartPageOf(const std::string& commandLine, char& drive, std::string& relative);

// The faults of the browser's command lines whose page on D: the disc does not hold (onDisc:
// whether it holds a path below its root).
std::vector<std::string> StartPageFaults(const std::vector<std::string>& commandLines,
                                         const std::function<bool(const std::string&)>& onDisc);

// What the report says beside the verdict and how it is decided: check's errors on the disc
// (objects of code, path and message), the launcher's refusal box, and the outcome the run is
// expected to come to (an outcome's name, see Outcomes.h). The run passes (exit code 0) when it
// comes out as expected and check finds no error on the disc: a disc with errors fails on some
// supported system, whichever system this run had.
struct TrialVerdictInputs {
    Json checkErrors = Json::Array();
    std::string refusalCaption;
    std::string refusalText;
    std::string expected = "browser-running";
    bool expectedChosen = false;  // given by the author, not the launcher's gate
};

// The report of a run from the driver's observations (JSON text). Every member is type-checked
// and bounded; a start that failed for a program on D: that the disc lacks says so (onDisc).
// False, with the reason in error, when the observations are not what the driver writes.
bool TrialReportOf(const std::string& observations, const TrialVerdictInputs& inputs,
                   const std::function<bool(const std::string&)>& onDisc, Json& report,
                   std::string& error);

// Reads a file disckit or its driver wrote into text: a regular file, opened without following a
// link and without blocking, up to limit bytes. Read; Missing (no such regular file, with why
// in error); or TooLarge.
enum class BoundedRead { Read, Missing, TooLarge };
BoundedRead ReadBoundedFile(const std::string& path, std::uint64_t limit, std::string& text,
                            std::string& error);

// The report in words, as printed without --json.
std::string TrialText(const Json& report);

// The verdict as JUnit XML: one test case, failing where the trial exits with 1.
std::string TrialJUnit(const Json& report);

// The report as one HTML page, its screenshots embedded (read as TrialScreenshot reads them).
std::string TrialHtml(const Json& report);
// Its body alone, for a page that holds several trials (a matrix's).
std::string TrialHtmlBody(const Json& report);

// The prefix of a screenshot held in the report itself rather than named as a file.
constexpr const char kPngDataUri[] = "data:image/png;base64,";

// The report's screenshots (the boxes', the events', the list and the one after the run) read
// as TrialScreenshot reads them and put into the report as data URIs, for a trial whose
// pictures are kept nowhere else. One that cannot be read becomes null, with a note.
void EmbedTrialScreenshots(Json& report);

// A screenshot fit to embed: a regular file, not through a link, no larger than kMaxScreenshot,
// a PNG image. False, with why not in why.
bool TrialScreenshot(const std::string& path, std::string& png, std::string& why);

#endif
