// disckit trial: the disc's own Start.exe and programs, run under Wine as Windows would run
// them, watched from outside. This checks the command line against the kit's tables and hands
// the resolved values to the driver (e2e/trial.py), which reuses the end-to-end lab.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <ostream>
#include <system_error>

#include "kit/Help.h"
#include "kit/TrialOptions.h"
#include "kit/Verbs.h"

#ifndef _WIN32
#include <unistd.h>
#endif

int RunTrial(const Args& args, std::ostream& out, std::ostream& err) {
#ifdef _WIN32
    (void)args;
    (void)out;
    err << "disckit trial: a trial runs the disc under Wine and needs Linux with Wine (the "
           "native build of disckit); on Windows, run the disc itself, or use disckit simulate\n";
    return kExitUsage;
#else
    TrialOptions options;
    std::string error;
    if (!ParseTrialArgs(args, options, error)) {
        err << "disckit trial: " << error << '\n' << VerbUsage("trial");
        return kExitUsage;
    }
    const DiscKind kind = ClassifyDisc(options.disc);
    if (kind == DiscKind::Neither) {
        err << "disckit trial: " << options.disc
            << " is neither a folder nor an ISO 9660 image\n";
        return kExitUsage;
    }
    std::error_code ec;
    const std::string disc =
        std::filesystem::absolute(std::filesystem::u8path(options.disc), ec).u8string();
    const std::string driver = std::string(DISCKIT_SOURCE_DIR) + "/e2e/trial.py";
    if (!std::filesystem::is_regular_file(driver, ec)) {
        err << "disckit trial: the trial's driver " << driver
            << " is missing (disckit runs it from the source tree it was built from)\n";
        return kExitUsage;
    }
    const std::vector<std::string> command =
        TrialDriverCommand(options, kind, disc, DISCKIT_SOURCE_DIR, DISCKIT_BUILD_DIR);
    std::vector<char*> argv;
    for (const std::string& arg : command) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    out.flush();
    err.flush();
    std::cout.flush();
    execvp(argv[0], argv.data());
    err << "disckit trial: cannot run " << argv[0] << ": " << std::strerror(errno) << '\n';
    return kExitUsage;
#endif
}
