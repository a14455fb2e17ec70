// What a run of the launcher came to, in the words simulate and trial share, and what each
// system is expected to come to: by default what the launcher's own gate decides for it (the
// browser runs on the systems it supports, the others are refused), changed per system by the
// author. simulate --matrix and trial exit 1 when a run is not what was expected.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "kit/windows/Profiles.h"

enum class Outcome {
    BrowserRunning,        // the browser runs and the launcher ended with 0
    Refused,               // the launcher refused the system
    TurnedAway,            // another launcher of the same file was running
    KeepsStartingBrowser,  // the browser is never seen running: the launcher starts it again and again
    BrowserNotRunning,     // the launcher ended, and no browser runs
    Box,                   // the launcher, or a program of the disc, showed a message box
    DidNotEnd,             // the launcher was still running at the end, not starting the browser
    ExitCode,              // the launcher ended with a code other than 0
};

// Every outcome's name, in the enum's order, as one literal for option rows and their help.
#define DISCKIT_OUTCOME_NAMES                                                                   \
    "browser-running refused turned-away keeps-starting-browser browser-not-running box "     \
    "did-not-end exit-code"

// "browser-running", "keeps-starting-browser", ...
const char* OutcomeName(Outcome outcome);
// False for a text that names no outcome.
bool ParseOutcome(const std::string& name, Outcome& outcome);
// Every name, blank-separated, for messages and help.
std::string OutcomeNames();

// What the launcher's own gate decides for the profile's system: browser-running where it goes
// on, refused where it shows its refusal.
Outcome GateOutcome(const SystemProfile& profile);

// Whether a run came out as expected. A browser that runs with faults (a missing start page, a
// control not registered) is not the clean run that browser-running promises.
bool AsExpected(Outcome expected, Outcome seen, bool faults);

// The expected outcome per system: the gate's, unless the author said otherwise.
class Expectations {
public:
    Outcome For(const SystemProfile& profile) const;
    // Whether the author chose the outcome of this system (else it is the gate's).
    bool Chosen(const SystemProfile& profile) const;

    // Sets one system's outcome from its texts (a profile name, an outcome name). False, with
    // one line saying which of the two is wrong and what would be right in error, and nothing
    // changed.
    bool Set(const std::string& system, const std::string& outcome, std::string& error);

private:
    std::map<std::string, Outcome> chosen_;
};

// The expectations from a table of system names and outcome names, as a project file's
// [expect] table holds them. False at the first wrong entry, with the reason in error and its
// index in badEntry (so that the caller can name the line); expectations are then unchanged.
bool ExpectationsFromTable(const std::vector<std::pair<std::string, std::string>>& table,
                           Expectations& expectations, std::string& error,
                           std::size_t* badEntry = nullptr);
