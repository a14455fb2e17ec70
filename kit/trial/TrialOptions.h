// The command line of `disckit trial`, and the request that its driver (trial.py) runs: one JSON
// document holding every resolved option and what disckit decides for the run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kit/Verbs.h"
#include "kit/common/Json.h"
#include "kit/disc/DiscReader.h"
#include "kit/windows/Outcomes.h"
#include "kit/windows/Profiles.h"

struct TrialOptions {
    std::string disc;  // the disc's folder or image, as given
    const SystemProfile* profile = nullptr;
    std::uint16_t langId = 0;
    std::string localeName;         // the language's, as Windows spells it ("de-DE")
    unsigned timeoutSeconds = 60;   // how long the launcher is watched at the most
    unsigned maxStarts = 10;        // browser starts that show a launcher keeps starting it
    std::string outDir;             // where the screenshots go; empty: a new temporary folder
    bool keep = false;              // keep the prefix and Wine's trace
    bool json = false;
    std::string htmlFile;           // --html: where the HTML report goes too
    std::string junitFile;          // --junit: the verdict as a JUnit test case too
    // --expect: what the run is to come to; without it, what the launcher's gate decides for
    // the system (GateOutcome).
    Outcome expected = Outcome::BrowserRunning;
    bool expectGiven = false;
};

// Fills options from the arguments after the verb. False, with a one-line reason in error, when
// they are not a valid command line (options are then unspecified).
bool ParseTrialArgs(const Args& args, TrialOptions& options, std::string& error);

// The Unix locale that gives Wine a Windows locale name's language: "de-DE" -> "de_DE.UTF-8",
// "es-ES_tradnl" -> "es_ES.UTF-8" (a script or sort suffix has no counterpart; Wine's report
// decides whether it fits).
std::string UnixLocaleFor(const std::string& localeName);


// The driver's request for a disc given as an absolute path: every resolved option, the
// profile's version record and Wine settings, the launcher's names and refusal texts, and the
// paths. runtimeDir holds trial.py, the lab beside it and the lab's Windows tools in tools/; the
// lab works in workDir unless LAUNCHER_E2E_WORK says otherwise. disckit: this program, whose
// check the driver runs on the disc. False, with the reason in error, for a path that is not
// UTF-8 (JSON carries nothing else).
bool TrialRequest(const TrialOptions& options, DiscKind kind, const std::string& absoluteDisc,
                  const std::string& runtimeDir, const std::string& workDir,
                  const std::string& disckit, Json& request, std::string& error);

// The driver's command line (argv, python3 first), reading its request from requestFile.
std::vector<std::string> TrialDriverCommand(const std::string& runtimeDir,
                                            const std::string& requestFile);
