// disckit trial: the disc's own Start.exe and programs, run under Wine as Windows would run
// them, watched from outside. This checks the command line against the kit's tables and hands
// the resolved values to the driver (trial.py) as one JSON request; the driver, beside Wine,
// writes what it saw as one JSON document, and this reads it back as hostile input, looks the
// start page up on the disc, decides the verdict and writes the report. The driver, the lab and
// its Windows tools are disckit's run-time files, found relative to the program itself.
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
#include "kit/common/Project.h"
#include "kit/trial/TrialOptions.h"

#ifndef _WIN32
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "app/LauncherApp.h"
#include "kit/check/ReportIdentity.h"
#include "kit/common/Html.h"
#include "kit/common/Json.h"
#include "kit/common/ReportFile.h"
#include "kit/disc/DiscReader.h"
#include "kit/trial/TrialReport.h"

namespace {

// The driver's id while it runs, for the signals passed on to it.
volatile sig_atomic_t driverPid = 0;

void PassOn(int signal) {
    if (driverPid > 0) kill(driverPid, signal);
}

// Runs the driver and waits for it: a stop from outside (Ctrl-C, kill, a closed terminal) is
// passed on to it, which ends the sandbox and removes the trial's folder. Its exit code, or 2
// when it could not run or was ended by a signal.
int RunDriver(const std::vector<std::string>& command, std::ostream& err) {
    std::vector<char*> argv;
    for (const std::string& arg : command) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    struct sigaction pass {}, old[3];
    pass.sa_handler = PassOn;
    sigemptyset(&pass.sa_mask);
    const int stops[3] = {SIGINT, SIGTERM, SIGHUP};
    for (int i = 0; i < 3; ++i) sigaction(stops[i], &pass, &old[i]);
    const pid_t child = fork();
    if (child == 0) {
        for (int i = 0; i < 3; ++i) sigaction(stops[i], &old[i], nullptr);
        execvp(argv[0], argv.data());
        const std::string why = "disckit trial: cannot run " + command[0] + ": " + std::strerror(errno) + "\n";
        if (write(2, why.data(), why.size()) < 0) _exit(kExitUsage);
        _exit(kExitUsage);
    }
    if (child < 0) {
        for (int i = 0; i < 3; ++i) sigaction(stops[i], &old[i], nullptr);
        err << "disckit trial: cannot run " << command[0] << ": " << std::strerror(errno) << '\n';
        return kExitUsage;
    }
    driverPid = child;
    int status = 0;
    pid_t done;
    do {
        done = waitpid(child, &status, 0);
    } while (done < 0 && errno == EINTR);
    driverPid = 0;
    for (int i = 0; i < 3; ++i) sigaction(stops[i], &old[i], nullptr);
    if (done < 0 || !WIFEXITED(status)) return kExitUsage;
    return WEXITSTATUS(status);
}

// The observations' text, read from the file the driver made: a regular file, not through a
// link, no larger than kMaxObservations.
bool ReadObservations(const std::string& path, std::string& text, std::string& error) {
    switch (ReadBoundedFile(path, kMaxObservations, text, error)) {
        case BoundedRead::Read: return true;
        case BoundedRead::Missing: error = "the driver left no observations to read in " + path; break;
        case BoundedRead::TooLarge:
            error = "the driver's observations are larger than " + std::to_string(kMaxObservations) + " bytes";
            break;
    }
    return false;
}

// check's errors on the disc, beside the trial's verdict: objects of code, path and message.
Json CheckErrors(const std::string& disc) {
    std::ostringstream out, err;
    const int rc = RunCheck({disc, "--json", "--min-severity", "error"}, out, err);
    Json errors = Json::Array();
    auto failed = [&](std::string why) {
        while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
        if (why.size() > 2000) why = why.substr(why.size() - 2000);
        Json e = Json::Object();
        e.Set("code", "check-failed");
        e.Set("path", "");
        e.Set("message", why);
        errors = Json::Array();
        errors.Push(std::move(e));
        return errors;
    };
    if (rc != kExitClean && rc != kExitFindings) return failed(err.str());
    try {
        const nlohmann::json report = nlohmann::json::parse(out.str());
        for (const nlohmann::json& f : report.at("findings")) {
            Json e = Json::Object();
            for (const char* key : {"code", "path", "message"}) e.Set(key, f.at(key).get<std::string>());
            errors.Push(std::move(e));
        }
    } catch (const nlohmann::json::exception& e) {
        return failed(std::string("check's report could not be read: ") + e.what());
    }
    return errors;
}

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
        WriteCommandError("trial", options.project, error, err);
        return kExitUsage;
    }
    if (options.progress != "quiet") SayProject(options.project, err);
    // A report that could not be written is said before the run, not after it.
    if (!ReportFilesWritable({{options.htmlFile, "HTML report"}, {options.junitFile, "JUnit report"}},
                             error)) {
        err << "disckit trial: " << EscapeControls(error) << '\n';
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
    if (options.progress == "lines" && isatty(STDERR_FILENO)) options.progress = "terminal";
    const std::string work = WorkDir(ProgramDir(), runtime);
    if (work.empty()) {
        err << "disckit trial: no folder for the cache of Wine prefix templates: this account "
               "has no home folder (set XDG_CACHE_HOME)\n";
        return kExitUsage;
    }
    Json request;
    if (!TrialRequest(options, kind, disc, runtime.string(), work, request, error)) {
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
    const std::string requestText = request.Dump();
    fcntl(pipeEnds[1], F_SETFL, O_NONBLOCK);
    const ssize_t written = write(pipeEnds[1], requestText.data(), requestText.size());
    close(pipeEnds[1]);
    if (written < 0 || static_cast<std::size_t>(written) != requestText.size()) {
        err << "disckit trial: the driver's request (" << requestText.size()
            << " bytes) does not fit its pipe\n";
        close(pipeEnds[0]);
        return kExitUsage;
    }
    // The driver's observations go to a folder of this run's own.
    std::string folder = (std::filesystem::temp_directory_path(ec) / "disckit-trial-XXXXXX").string();
    if (ec || !mkdtemp(folder.data())) {
        err << "disckit trial: cannot make a folder for the trial's observations: "
            << std::strerror(errno) << '\n';
        close(pipeEnds[0]);
        return kExitUsage;
    }
    const std::string observations = folder + "/observations.json";
    std::vector<std::string> command =
        TrialDriverCommand(runtime.string(), "/dev/fd/" + std::to_string(pipeEnds[0]));
    command.insert(command.end(), {"--observations", observations});
    out.flush();
    err.flush();
    std::cout.flush();
    std::cerr.flush();
    const int driver = RunDriver(command, err);
    close(pipeEnds[0]);
    std::string text;
    const bool read = driver == kExitClean && ReadObservations(observations, text, error);
    // The folder (and the screenshots in it, without --out) goes once the report holds them,
    // whichever way this returns.
    struct RemovedAtEnd {
        std::string folder;
        ~RemovedAtEnd() {
            std::error_code ignored;
            std::filesystem::remove_all(std::filesystem::u8path(folder), ignored);
        }
    } removed{folder};
    if (driver != kExitClean) return driver == kExitFindings ? kExitUsage : driver;
    if (!read) {
        err << "disckit trial: " << EscapeControls(error) << '\n';
        return kExitUsage;
    }
    std::string opened;
    const std::unique_ptr<DiscReader> reader = OpenDisc(disc, opened);
    if (!reader) {
        err << "disckit trial: " << EscapeControls(opened) << '\n';
        return kExitUsage;
    }
    TrialVerdictInputs inputs;
    inputs.checkErrors = CheckErrors(disc);
    inputs.refusalCaption = texts::kRefusalCaption;
    inputs.refusalText = texts::kRefusal;
    inputs.expected = OutcomeName(options.expected);
    inputs.expectedChosen = options.expectGiven;
    Json report;
    if (!TrialReportOf(text, inputs,
                       [&](const std::string& relative) { return TrialFileOnDisc(*reader, relative); },
                       report, error)) {
        err << "disckit trial: " << EscapeControls(error) << '\n';
        return kExitUsage;
    }
    // What the report judged: for a folder, the image the trial pressed of it.
    Json identity = ReportIdentity(disc, *reader, kind == DiscKind::Image);
    if (kind == DiscKind::Folder) {
        Json* judged = identity.Find("disc");
        *judged->Find("sha256") = report["disc"]["sha256"];
        *judged->Find("label") = report["disc"]["label"];
    }
    report.Set("identity", std::move(identity));
    // Without --out the screenshots are kept nowhere but in the report.
    if (options.outDir.empty()) EmbedTrialScreenshots(report);
    out << (options.json ? report.Dump() : TrialText(report));
    out.flush();
    if (!options.htmlFile.empty() && !WriteHtmlFile(options.htmlFile, TrialHtml(report), error)) {
        err << "disckit trial: " << EscapeControls(error) << '\n';
        return kExitUsage;
    }
    if (!options.junitFile.empty() &&
        !WriteReportFile(options.junitFile, TrialJUnit(report), "JUnit report", error)) {
        err << "disckit trial: " << EscapeControls(error) << '\n';
        return kExitUsage;
    }
    return report["outcome"]["exitCode"].text() == "0" ? kExitClean : kExitFindings;
#endif
}
