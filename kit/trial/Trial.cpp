// disckit trial: the disc's own Start.exe and programs, run under Wine as Windows would run
// them, watched from outside. This checks the command line against the kit's tables and hands
// the resolved values to the driver (trial.py) as one JSON request; the driver reuses the
// end-to-end lab. The driver, the
// lab and its Windows tools are disckit's run-time files, found relative to the program itself.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <ostream>
#include <system_error>

#include "kit/Help.h"
#include "kit/Verbs.h"
#include "kit/common/RuntimeFiles.h"
#include "kit/common/Utf8.h"
#include "kit/trial/TrialOptions.h"

#ifndef _WIN32
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

namespace {

// Where the lab keeps its prefix templates between trials: the build tree's e2e folder, which
// the end-to-end tests share, or the user's cache (the home folder from the account's entry
// when HOME is not set); empty when there is none. Never a shared folder such as /var/tmp,
// where another account could make the folder first. The driver checks whichever it gets
// before it uses it, and LAUNCHER_E2E_WORK, when set, wins there.
std::string WorkDir(const std::filesystem::path& programDir, const std::filesystem::path& runtime) {
    if (runtime == programDir / "lib" / "disckit") return (programDir / "e2e").string();
    const char* cache = std::getenv("XDG_CACHE_HOME");
    if (cache && *cache == '/') return std::string(cache) + "/disckit";
    const char* home = std::getenv("HOME");
    if (home && *home == '/') return std::string(home) + "/.cache/disckit";
    const struct passwd* account = getpwuid(geteuid());
    if (account && account->pw_dir && account->pw_dir[0] == '/')
        return std::string(account->pw_dir) + "/.cache/disckit";
    return std::string();
}

}  // namespace
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
        err << "disckit trial: " << EscapeControls(error) << '\n' << VerbUsage("trial");
        return kExitUsage;
    }
    const DiscKind kind = ClassifyDisc(options.disc);
    if (kind == DiscKind::Neither) {
        err << "disckit trial: " << EscapeControls(options.disc)
            << " is neither a folder nor an ISO 9660 image\n";
        return kExitUsage;
    }
    std::error_code ec;
    const std::string disc =
        std::filesystem::absolute(std::filesystem::u8path(options.disc), ec).u8string();
    std::string tried;
    const std::filesystem::path runtime = RuntimeDir("trial.py", tried);
    if (runtime.empty()) {
        err << "disckit trial: the trial's driver trial.py is missing (looked for in "
            << tried << ")\n";
        return kExitUsage;
    }
    const std::string work = WorkDir(ProgramDir(), runtime);
    if (work.empty()) {
        err << "disckit trial: no folder for the cache of Wine prefix templates: this account "
               "has no home folder (set XDG_CACHE_HOME)\n";
        return kExitUsage;
    }
    Json request;
    if (!TrialRequest(options, kind, disc, runtime.string(), work, ProgramPath().string(), request,
                      error)) {
        err << "disckit trial: " << EscapeControls(error) << '\n';
        return kExitUsage;
    }
    // The request reaches the driver through a pipe that it opens as /dev/fd/N, so that nothing
    // is left on disk. It is written whole before the driver starts: it has to fit the pipe's
    // buffer, which a request of a few paths does by far.
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) {
        err << "disckit trial: cannot make a pipe for the driver: " << std::strerror(errno) << '\n';
        return kExitUsage;
    }
    const std::string text = request.Dump();
    fcntl(pipeEnds[1], F_SETFL, O_NONBLOCK);
    const ssize_t written = write(pipeEnds[1], text.data(), text.size());
    close(pipeEnds[1]);
    if (written < 0 || static_cast<std::size_t>(written) != text.size()) {
        err << "disckit trial: the driver's request (" << text.size()
            << " bytes) does not fit its pipe\n";
        close(pipeEnds[0]);
        return kExitUsage;
    }
    const std::vector<std::string> command =
        TrialDriverCommand(runtime.string(), "/dev/fd/" + std::to_string(pipeEnds[0]));
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
