// The command line of `disckit trial`, and the request that its driver (trial.py) runs: one JSON
// document holding every resolved option and what disckit decides for the run.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "kit/Verbs.h"
#include "kit/common/Json.h"
#include "kit/common/Project.h"
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
    std::string outDir;             // where the screenshots go; empty: only into the report
    bool keep = false;              // keep the prefix and Wine's trace
    bool json = false;
    std::string htmlFile;           // --html: where the HTML report goes too
    Project project;                // when the disc was given as a project folder
    // --matrix: every (system, language) cell as a trial of its own, jobs at a time.
    bool matrix = false;
    std::vector<const SystemProfile*> systems;  // --systems; empty: the supported ones
    std::vector<std::uint16_t> langs;           // --langs; empty: the disc's and en-US
    unsigned jobs = 0;                          // --jobs; 0: one per core
    unsigned shard = 1, shards = 1;             // --shard K/N: this run's part of the cells
    // The options that go into the driver's request, as their rows name them (RequestMembers).
    std::vector<std::pair<std::string, Json>> requestMembers;
    // How the driver says its long steps on stderr: "quiet" (--quiet), "lines" (a line each),
    // or "terminal" (one line rewritten in place, for a stderr that is a terminal).
    std::string progress = "lines";
    std::string junitFile;          // --junit: the verdict as a JUnit test case too
    // --expect: what the run is to come to; without it, what the launcher's gate decides for
    // the system (GateOutcome).
    Outcome expected = Outcome::BrowserRunning;
    bool expectGiven = false;
};

// Fills options from the arguments after the verb. False, with a one-line reason in error, when
// they are not a valid command line (options are then unspecified).
bool ParseTrialArgs(const Args& args, TrialOptions& options, std::string& error);

// The items of a comma-separated list, blanks around them trimmed, empty ones left out.
std::vector<std::string> SplitList(const std::string& list);

// --shard K/N into shard and shards (1 <= K <= N). False, with the reason in error, otherwise.
bool ParseShard(const std::string& text, unsigned& shard, unsigned& shards, std::string& error);

// The Unix locale that gives Wine a Windows locale name's language: "de-DE" -> "de_DE.UTF-8",
// "es-ES_tradnl" -> "es_ES.UTF-8" (a script or sort suffix has no counterpart; Wine's report
// decides whether it fits).
std::string UnixLocaleFor(const std::string& localeName);


// The driver's request for a disc given as an absolute path: what the driver uses, and nothing
// else: the profile's version record and Wine settings, the language, the launcher's names, the
// options whose rows name a member of the request, and the paths. runtimeDir holds trial.py,
// the lab beside it and the lab's Windows tools in tools/; the lab works in workDir unless
// LAUNCHER_E2E_WORK says otherwise. False, with the reason in error, for a path that is not
// UTF-8 (JSON carries nothing else).
bool TrialRequest(const TrialOptions& options, DiscKind kind, const std::string& absoluteDisc,
                  const std::string& runtimeDir, const std::string& workDir, Json& request,
                  std::string& error);

// The system's Python, which runs the driver where it is there (else python3 from PATH).
constexpr const char* kSystemPython = "/usr/bin/python3";

// The driver's command line (argv, the Python first), reading its request from requestFile.
std::vector<std::string> TrialDriverCommand(const std::string& runtimeDir,
                                            const std::string& requestFile);
