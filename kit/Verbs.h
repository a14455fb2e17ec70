// The verbs of disckit. Each takes the arguments after its own name and returns the process's
// exit code: 0 nothing wrong, 1 the disc has faults (or the run found them), 2 disckit itself
// could not do what was asked (bad option, no such folder); its message then goes to err.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

using Args = std::vector<std::string>;

// Each verb's option rows (kit/common/Options.h), beside the code that reads their values.
struct OptionTable;
extern const OptionTable kCheckOptions;
extern const OptionTable kSimulateOptions;
extern const OptionTable kTrialOptions;
extern const OptionTable kBuildOptions;
extern const OptionTable kInitOptions;
extern const OptionTable kCacheOptions;

int RunCheck(const Args& args, std::ostream& out, std::ostream& err);
int RunSimulate(const Args& args, std::ostream& out, std::ostream& err);
int RunTrial(const Args& args, std::ostream& out, std::ostream& err);
int RunBuild(const Args& args, std::ostream& out, std::ostream& err);
int RunInit(const Args& args, std::ostream& out, std::ostream& err);
int RunCache(const Args& args, std::ostream& out, std::ostream& err);

constexpr int kExitClean = 0;
constexpr int kExitFindings = 1;
constexpr int kExitUsage = 2;
