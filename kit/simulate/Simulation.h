// One run of the launcher's own sequence (LauncherApp::InitInstance) on a simulated system, and
// the table of runs over every profile and language. What they say to people and as JSON is in
// SimReports.h.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "kit/common/Json.h"
#include "kit/simulate/SimPlatform.h"
#include "kit/windows/Outcomes.h"

enum class SimResult { BrowserRunning, Refused, TurnedAway, LoopsForever, Nothing };
const char* SimResultName(SimResult result);

struct SimRunningProcess {
    std::string name;  // UTF-8
    std::uint32_t id = 0;
};

// What a run did and how it ended. Texts are UTF-8 (converted from the simulated code page),
// except in effects, which keep the launcher's bytes.
struct SimRun {
    SimConfig config;
    std::vector<SimEffect> effects;
    SimResult result = SimResult::Nothing;
    bool exited = true;             // false when the launcher would never end
    std::uint64_t ms = 0;           // simulated time: to the exit, or until the run was stopped
    std::size_t repeatFrom = 0;     // loops-forever: the effect the endless repetition starts at
    std::uint64_t repeatPeriodMs = 0;
    std::uint8_t osCode = 0;        // the launcher's classification, as it left it
    std::uint8_t serverFlag = 0;
    std::string languageFolder;     // the pages' folder the browser is started on, without '\'
    std::vector<SimRunningProcess> running;  // what the run started that still runs
    std::vector<SimFile> files;              // files the run wrote or copied
    bool installDirInCodePage = true;        // false: the launcher could not read its own path
    // Why Windows refused the browser's last start; empty when it started.
    std::string browserRefused;
    // What went wrong without deciding the result: a browser-running with faults is not a clean
    // one (its start page is missing, a control was not registered).
    std::vector<std::string> faults;
    bool shortInstallDirUsed = false;        // ... and worked under the folder's short name
};

// browser-running, and nothing went wrong on the way.
bool CleanRun(const SimRun& run);

// The run's outcome in the words the trial shares: loops-forever is the launcher that keeps
// starting the browser, nothing one that ends with no browser running, and a run that would
// run the browser after a message box of the launcher's is a box, as a trial would see it.
Outcome OutcomeOf(const SimRun& run);

// Runs the launcher on the disc under the described system. images: the disc's programs and
// libraries as the check found them (see SimPlatform).
SimRun RunSimulation(const SimConfig& config, const SimDisc& disc,
                     const std::vector<ImageFacts>* images = nullptr);

// --- The matrix --------------------------------------------------------------------------------

struct MatrixLanguage {
    std::uint16_t langId = 0;
    std::string label;  // locale name, or the LANGID
};

// One LANGID of the launcher's own table for each language folder the disc has, in table order,
// and one language the table does not list.
std::vector<MatrixLanguage> MatrixLanguages(const SimDisc& disc);

struct MatrixCell {
    SimResult result = SimResult::Nothing;
    std::string folder;  // the page folder, for browser-running and loops-forever
    std::size_t faults = 0;
    SimRun run;          // the whole run, for the report that shows each one's effects
    Outcome outcome = Outcome::BrowserNotRunning;  // OutcomeOf(run)
    Outcome expected = Outcome::BrowserRunning;    // what the system was expected to come to
    bool asExpected = false;
};
struct MatrixRow {
    std::string profile;
    std::vector<MatrixCell> cells;
};
struct Matrix {
    std::vector<MatrixLanguage> languages;
    std::vector<MatrixRow> rows;
    bool asExpected = true;  // every cell
};

// base supplies everything but the system, the language and (unless fixedCodePage) the code page.
// Each cell is judged against what expectations say of its system.
Matrix RunMatrix(const SimConfig& base, bool fixedCodePage, const SimDisc& disc,
                 const std::vector<ImageFacts>* images = nullptr,
                 const Expectations& expectations = Expectations());
