// disckit: checks a launcher disc before it is pressed, simulates what the launcher does on it on
// any Windows version and language, and runs a real trial of it under Wine.
#include <iostream>

#include "kit/Verbs.h"

namespace {

constexpr const char* kUsage =
    "usage: disckit check DIR [--json]\n"
    "       disckit simulate DIR [--system NAME] [--lang ID] [options] [--json | --matrix]\n"
    "       disckit trial DIR|IMAGE [--system NAME] [--lang ID] [--json]\n";

}  // namespace

int main(int argc, char** argv) {
    const Args all(argv + 1, argv + argc);
    if (all.empty() || all[0] == "--help" || all[0] == "-h" || all[0] == "help") {
        (all.empty() ? std::cerr : std::cout) << kUsage;
        return all.empty() ? kExitUsage : kExitClean;
    }
    const std::string verb = all[0];
    const Args rest(all.begin() + 1, all.end());
    if (verb == "check") return RunCheck(rest, std::cout, std::cerr);
    if (verb == "simulate") return RunSimulate(rest, std::cout, std::cerr);
    if (verb == "trial") return RunTrial(rest, std::cout, std::cerr);
    std::cerr << "disckit: unknown verb '" << verb << "'\n" << kUsage;
    return kExitUsage;
}
