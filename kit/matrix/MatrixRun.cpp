// Running the matrix: each cell is `disckit trial` of its own (this program again), so each has
// its own sandbox, its own driver and its own handling of a stop; jobs of them at once. And
// joining shards' reports, which come from other machines and are read as hostile input.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <sstream>
#include <thread>

#include "kit/Help.h"
#include "kit/common/Html.h"
#include "kit/common/ReportFile.h"
#include "kit/common/Options.h"
#include "kit/common/RuntimeFiles.h"
#include "kit/common/Utf8.h"
#include "kit/matrix/TrialMatrix.h"
#include "kit/trial/TrialOptions.h"
#ifndef _WIN32
#include "kit/trial/TrialReport.h"
#endif

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "kit/check/CheckDisc.h"
#include "kit/disc/DiscReader.h"
#include "kit/disc/Sha256.h"
#include "kit/simulate/Simulation.h"
#include "kit/windows/CodePage.h"
#include "kit/windows/Languages.h"
#include "kit/windows/Outcomes.h"
#include "kit/windows/WindowsText.h"
#endif

namespace {

struct MergeValues {
    std::optional<std::string> html, junit;
    bool json = false;
};

const OptionRow kMergeRows[] = {
    {"--json", nullptr, "Write the joined report as JSON.",
     ValueKind::Free, nullptr, nullptr, Into<&MergeValues::json>},
    {"--html", "FILE", "Also write the joined report as one self-contained HTML file.",
     ValueKind::File, nullptr, nullptr, Into<&MergeValues::html>},
    {"--junit", "FILE", "Also write the joined report as JUnit XML test results: a test case per cell, failing where the cell is not as expected.",
     ValueKind::File, nullptr, nullptr, Into<&MergeValues::junit>},
};

}  // namespace

extern const OptionTable kMergeOptions = DISCKIT_OPTION_TABLE(kMergeRows);

#ifdef _WIN32

int RunTrialCommand(const Args& args, std::ostream& out, std::ostream& err) {
    return RunTrial(args, out, err);
}

int RunMerge(const Args&, std::ostream&, std::ostream& err) {
    err << "disckit merge: joins the reports of trials, which run on Linux only\n";
    return kExitUsage;
}

bool MergeMatrixReports(const std::vector<std::string>&, const std::vector<std::string>&, Json&,
                        std::string& error) {
    error = "not on Windows";
    return false;
}

#else

namespace {

// Reports read back: this size at the most, nested this deep at the most.
constexpr std::uint64_t kMaxReport = 512u << 20;
constexpr int kMaxDepth = 64;

using Read = nlohmann::ordered_json;

struct Malformed {
    std::string why;
};

// A JSON value read back as the kit's own, bounded in depth.
Json FromRead(const Read& value, int depth) {
    if (depth > kMaxDepth) throw Malformed{"nested deeper than " + std::to_string(kMaxDepth)};
    switch (value.type()) {
        case Read::value_t::null: return Json();
        case Read::value_t::boolean: return Json(value.get<bool>());
        case Read::value_t::string: return Json(value.get<std::string>());
        case Read::value_t::number_integer:
        case Read::value_t::number_unsigned:
        case Read::value_t::number_float: return Json::NumberText(value.dump());
        case Read::value_t::array: {
            Json a = Json::Array();
            for (const Read& item : value) a.Push(FromRead(item, depth + 1));
            return a;
        }
        case Read::value_t::object: {
            Json o = Json::Object();
            for (auto it = value.begin(); it != value.end(); ++it) o.Set(it.key(), FromRead(it.value(), depth + 1));
            return o;
        }
        default: throw Malformed{"holds a value JSON does not have"};
    }
}

bool ParseReport(const std::string& text, Json& report, std::string& error) {
    try {
        report = FromRead(Read::parse(text), 0);
        return true;
    } catch (const nlohmann::json::exception& e) {
        error = std::string("is no JSON: ") + e.what();
    } catch (const Malformed& bad) {
        error = bad.why;
    }
    return false;
}

// A regular file's text, not through a link, up to limit bytes.
bool ReadSmallFile(const std::string& path, std::uint64_t limit, std::string& text, std::string& error) {
    return ReadBoundedFile(path, limit, text, error) == BoundedRead::Read;
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const char c : bytes) {
        const unsigned b = static_cast<unsigned char>(c);
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// The disc's digest: an image's bytes; a folder's names, kinds and contents in a stable order
// (no link followed: the reader lists entries as they are).
bool DigestFolder(const DiscReader& reader, const DiscEntry* folder, const std::string& prefix, int depth,
                  std::size_t& entries, Sha256State& sha, std::string& error) {
    if (depth > 64 || ++entries > 100000) {
        error = "the folder is too deep or too large to identify";
        return false;
    }
    DiscFolder list;
    if (!(folder ? reader.List(*folder, list, error) : reader.ListRoot(list, error))) return false;
    for (const DiscEntry& e : list.Entries()) {
        const std::string name = prefix + e.name;
        if (e.isDirectory) {
            const std::string line = "D " + name + "\n";
            sha.Update(line.data(), line.size());
            if (!DigestFolder(reader, &e, name + "/", depth + 1, entries, sha, error)) return false;
        } else if (e.isFile) {
            std::string why;
            std::unique_ptr<ByteSource> bytes = reader.Open(e, why);
            if (!bytes) {
                error = name + ": " + why;
                return false;
            }
            const std::string line = "F " + name + " " + std::to_string(bytes->Size()) + "\n";
            sha.Update(line.data(), line.size());
            char buffer[1 << 16];
            for (std::uint64_t at = 0; at < bytes->Size();) {
                const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof buffer, bytes->Size() - at));
                if (!bytes->Read(at, buffer, n)) {
                    error = name + ": cannot be read";
                    return false;
                }
                sha.Update(buffer, n);
                at += n;
            }
        } else {
            ++entries;  // what the pressed disc leaves out does not identify it
        }
    }
    return true;
}

bool DiscIdentity(const std::string& disc, DiscKind kind, const DiscReader& reader, Json& identity,
                  std::string& error) {
    Sha256State sha;
    if (kind == DiscKind::Image) {
        const int fd = open(disc.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            error = disc + ": " + std::strerror(errno);
            return false;
        }
        char buffer[1 << 16];
        ssize_t n;
        while ((n = read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
            if (n > 0) sha.Update(buffer, static_cast<std::size_t>(n));
        }
        close(fd);
        if (n < 0) {
            error = disc + ": cannot be read";
            return false;
        }
    } else {
        std::size_t entries = 0;
        if (!DigestFolder(reader, nullptr, "", 0, entries, sha, error)) return false;
    }
    identity = Json::Object();
    identity.Set("path", disc);
    identity.Set("kind", kind == DiscKind::Image ? "image" : "folder");
    identity.Set("sha256", Hex(sha.Final()));
    return true;
}

// --- The cells' processes --------------------------------------------------------------------

constexpr unsigned kMaxJobs = 64;
volatile sig_atomic_t stopSignal = 0;
volatile pid_t cellPids[kMaxJobs] = {};

void PassOnToCells(int signal) {
    stopSignal = signal;
    for (unsigned i = 0; i < kMaxJobs; ++i) {
        if (cellPids[i] > 0) kill(cellPids[i], signal);
    }
}

struct CellProcess {
    pid_t pid = -1;
    std::size_t cell = 0;
    std::string outFile, errFile;
};

// Starts argv with stdout and stderr to the files; -1 when it cannot. The cell is in a process
// group of its own, so that a stop reaches it once, from here, and ends with this program.
pid_t StartCell(const std::vector<std::string>& argv, const std::string& outFile, const std::string& errFile,
                std::string& error) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0 || err < 0) {
        error = std::string("cannot make the cell's files: ") + std::strerror(errno);
        if (out >= 0) close(out);
        if (err >= 0) close(err);
        return -1;
    }
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(kExitUsage);
        struct sigaction plain {};
        plain.sa_handler = SIG_DFL;
        for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &plain, nullptr);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        dup2(out, 1);
        dup2(err, 2);
        execv(args[0], args.data());
        _exit(kExitUsage);
    }
    close(out);
    close(err);
    if (child < 0) error = std::string("cannot start a trial: ") + std::strerror(errno);
    return child;
}

std::string Tail(const std::string& text) {
    std::string t = text;
    while (!t.empty() && (t.back() == '\n' || t.back() == ' ')) t.pop_back();
    if (t.size() > 2000) t = t.substr(t.size() - 2000);
    return t;
}

// The cells' trials, jobs at a time. False when a stop came from outside: every started cell has
// then been passed the stop and waited for.
bool RunCells(const std::vector<std::vector<std::string>>& commands, const std::string& folder, unsigned jobs,
              std::vector<MatrixCellRun>& runs, const std::function<void(std::size_t)>& ended) {
    runs.assign(commands.size(), MatrixCellRun());
    std::vector<CellProcess> running;
    struct sigaction pass {}, old[3];
    pass.sa_handler = PassOnToCells;
    sigemptyset(&pass.sa_mask);
    const int stops[3] = {SIGINT, SIGTERM, SIGHUP};
    stopSignal = 0;
    for (int i = 0; i < 3; ++i) sigaction(stops[i], &pass, &old[i]);
    std::size_t next = 0;
    auto slotOf = [](pid_t pid) {
        for (unsigned i = 0; i < kMaxJobs; ++i)
            if (cellPids[i] == pid) return i;
        return kMaxJobs;
    };
    while (next < commands.size() || !running.empty()) {
        while (!stopSignal && next < commands.size() && running.size() < jobs) {
            CellProcess p;
            p.cell = next;
            p.outFile = folder + "/cell-" + std::to_string(next) + ".json";
            p.errFile = folder + "/cell-" + std::to_string(next) + ".err";
            std::string error;
            sigset_t block, was;
            sigemptyset(&block);
            for (int s : stops) sigaddset(&block, s);
            sigprocmask(SIG_BLOCK, &block, &was);
            p.pid = StartCell(commands[next], p.outFile, p.errFile, error);
            const unsigned free = slotOf(0);
            if (p.pid > 0 && free < kMaxJobs) cellPids[free] = p.pid;
            sigprocmask(SIG_SETMASK, &was, nullptr);
            if (p.pid <= 0) {
                runs[next].error = error;
            } else {
                running.push_back(p);
            }
            ++next;
        }
        if (stopSignal) next = commands.size();
        if (running.empty()) break;
        int status = 0;
        const pid_t done = waitpid(-1, &status, 0);
        if (done < 0) {
            if (errno == EINTR) continue;
            break;
        }
        const auto it = std::find_if(running.begin(), running.end(), [done](const CellProcess& p) { return p.pid == done; });
        if (it == running.end()) continue;
        const unsigned slot = slotOf(done);
        if (slot < kMaxJobs) cellPids[slot] = 0;
        MatrixCellRun& run = runs[it->cell];
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : kExitUsage;
        std::string text, error;
        if (run.exitCode == kExitClean || run.exitCode == kExitFindings) {
            if (!ReadSmallFile(it->outFile, kMaxReport, text, error) || !ParseReport(text, run.report, error)) {
                run.exitCode = kExitUsage;
                run.error = "the trial's report " + error;
            }
        } else {
            ReadSmallFile(it->errFile, 1u << 20, text, error);
            run.error = Tail(text);
            if (run.error.empty()) run.error = "the trial ended without a word";
        }
        const std::size_t cell = it->cell;
        running.erase(it);
        ended(cell);
    }
    for (int i = 0; i < 3; ++i) sigaction(stops[i], &old[i], nullptr);
    return stopSignal == 0;
}

unsigned DefaultJobs() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : std::min(n, kMaxJobs);
}

int RunMatrix(const TrialOptions& o, std::ostream& out, std::ostream& err) {
    const char* verb = "disckit trial: ";
    const DiscKind kind = ClassifyDisc(o.disc);
    if (kind == DiscKind::Neither) {
        err << verb << EscapeControls(o.disc) << " is neither a folder nor an ISO 9660 image\n";
        return kExitUsage;
    }
    std::error_code ec;
    const std::string disc = std::filesystem::absolute(std::filesystem::u8path(o.disc), ec).u8string();
    std::string error;
    const std::unique_ptr<DiscReader> reader = OpenDisc(disc, error);
    if (!reader) {
        err << verb << EscapeControls(error) << '\n';
        return kExitUsage;
    }
    // Every report is written, or none: a place that cannot take one is found before any trial.
    if (!ReportFilesWritable({{o.htmlFile, "HTML report"}, {o.junitFile, "JUnit report"}}, error)) {
        err << verb << EscapeControls(error) << '\n';
        return kExitUsage;
    }
    // What simulate predicts for each cell, and what the launcher's gate expects there.
    const SimDisc simDisc(*reader);
    std::vector<Finding> findings;
    std::vector<ImageFacts> images;
    if (!CheckDisc(*reader, findings, error, &images)) {
        err << verb << EscapeControls(error) << '\n';
        return kExitUsage;
    }
    auto predict = [&](const SystemProfile& p, std::uint16_t langId) {
        SimConfig c;
        c.system = SystemFromProfile(p);
        c.langId = langId;
        c.codePage = AnsiCodePageForLangId(langId);
        return std::string(OutcomeName(OutcomeOf(RunSimulation(c, simDisc, &images))));
    };
    std::vector<std::string> locales;
    if (o.langs.empty() && !o.project.languages.empty()) {
        // The languages the project says the disc serves, and one it does not list.
        for (std::uint16_t id : o.project.languages) {
            const std::string name = LocaleNameFor(id);
            if (!name.empty() && std::find(locales.begin(), locales.end(), name) == locales.end())
                locales.push_back(name);
        }
        if (std::find(locales.begin(), locales.end(), "en-US") == locales.end()) locales.push_back("en-US");
    } else if (o.langs.empty()) {
        for (const MatrixLanguage& l : MatrixLanguages(simDisc))
            if (!LocaleNameFor(l.langId).empty()) locales.push_back(LocaleNameFor(l.langId));
    } else {
        for (std::uint16_t id : o.langs) locales.push_back(LocaleNameFor(id));
    }
    std::vector<std::string> systems;
    if (o.systems.empty()) {
        // The systems the launcher's own gate lets through.
        for (std::size_t i = 0; i < SystemProfileCount(); ++i) {
            if (GateOutcome(SystemProfiles()[i]) != Outcome::Refused) systems.push_back(SystemProfiles()[i].name);
        }
    } else {
        for (const SystemProfile* p : o.systems) systems.push_back(p->name);
    }
    Json identity;
    if (!DiscIdentity(disc, kind, *reader, identity, error)) {
        err << verb << EscapeControls(error) << '\n';
        return kExitUsage;
    }
    const std::vector<MatrixCellId> all = MatrixCellsOf(systems, locales);
    const Expectations expectations = o.project.Expected();
    std::vector<MatrixCellId> cells;
    std::vector<std::string> predicted, expected;
    for (std::size_t i : ShardPart(all.size(), o.shard, o.shards)) {
        cells.push_back(all[i]);
        std::uint16_t id = 0;
        ParseLanguage(all[i].locale, id);
        predicted.push_back(predict(*FindSystemProfile(all[i].system), id));
        expected.push_back(OutcomeName(expectations.For(*FindSystemProfile(all[i].system))));
    }
    // The cells' reports and screenshots go to a folder of this run's own, inside --out when
    // given (kept), else in the temporary folder (removed at the end, unless --keep).
    std::string folder;
    if (!o.outDir.empty()) {
        folder = o.outDir;
        if (std::filesystem::exists(std::filesystem::u8path(folder), ec) &&
            !std::filesystem::is_empty(std::filesystem::u8path(folder), ec)) {
            err << verb << "--out " << EscapeControls(folder) << " is not a new or empty folder\n";
            return kExitUsage;
        }
        std::filesystem::create_directories(std::filesystem::u8path(folder), ec);
        if (ec) {
            err << verb << "cannot make --out " << EscapeControls(folder) << ": " << ec.message() << '\n';
            return kExitUsage;
        }
    } else {
        folder = (std::filesystem::temp_directory_path(ec) / "disckit-matrix-XXXXXX").string();
        if (ec || !mkdtemp(folder.data())) {
            err << verb << "cannot make a folder for the matrix: " << std::strerror(errno) << '\n';
            return kExitUsage;
        }
    }
    const std::string self = ProgramPath().string();
    std::vector<std::vector<std::string>> commands;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        std::vector<std::string> c = {self, "trial", disc, "--system", cells[i].system, "--lang",
                                      cells[i].locale, "--json", "--quiet", "--expect", expected[i], "--timeout",
                                      std::to_string(o.timeoutSeconds), "--max-starts",
                                      std::to_string(o.maxStarts)};
        if (!o.outDir.empty()) c.insert(c.end(), {"--out", folder + "/" + cells[i].system + "-" + cells[i].locale});
        if (o.keep) c.push_back("--keep");
        commands.push_back(std::move(c));
    }
    out.flush();
    err.flush();
    std::vector<MatrixCellRun> runs;
    std::size_t done = 0;
    const auto ended = [&](std::size_t i) {
        if (o.progress == "quiet") return;
        const MatrixCellRun& run = runs[i];
        const bool ran = run.exitCode == kExitClean || run.exitCode == kExitFindings;
        err << verb << cells[i].system << " " << cells[i].locale << ": "
            << (ran ? run.report["outcome"]["result"].text() : "could not run") << " (" << ++done
            << " of " << cells.size() << ")\n";
        err.flush();
    };
    if (o.progress != "quiet") {
        err << verb << cells.size() << (cells.size() == 1 ? " cell, " : " cells, ")
            << (o.jobs ? o.jobs : DefaultJobs()) << " at a time\n";
    }
    const bool whole = RunCells(commands, folder, o.jobs ? o.jobs : DefaultJobs(), runs, ended);
    if (!whole) {
        if (o.outDir.empty() && !o.keep) std::filesystem::remove_all(std::filesystem::u8path(folder), ec);
        err << verb << "stopped: every cell's trial was ended\n";
        const int signal = stopSignal;
        struct sigaction plain {};
        plain.sa_handler = SIG_DFL;
        sigaction(signal, &plain, nullptr);
        raise(signal);
        return kExitUsage;
    }
    const Json report = MatrixReport(identity, systems, locales, o.shards > 1 ? o.shard : 0, o.shards, cells,
                                     expected, predicted, runs);
    out << (o.json ? report.Dump() : MatrixText(report));
    out.flush();
    bool written = true;
    if ((!o.htmlFile.empty() && !WriteHtmlFile(o.htmlFile, MatrixHtml(report), error)) ||
        (!o.junitFile.empty() && !WriteReportFile(o.junitFile, MatrixJUnit(report), "JUnit report", error))) {
        err << verb << EscapeControls(error) << '\n';
        written = false;
    }
    if (o.outDir.empty() && !o.keep) std::filesystem::remove_all(std::filesystem::u8path(folder), ec);
    return written ? MatrixExitCode(report) : kExitUsage;
}

}  // namespace

int RunTrialCommand(const Args& args, std::ostream& out, std::ostream& err) {
    TrialOptions options;
    std::string error;
    if (!ParseTrialArgs(args, options, error) || !options.matrix) return RunTrial(args, out, err);
    if (options.progress != "quiet") SayProject(options.project, err);
    return RunMatrix(options, out, err);
}

bool MergeMatrixReports(const std::vector<std::string>& texts, const std::vector<std::string>& names,
                        Json& merged, std::string& error) {
    std::vector<Json> reports(texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (!ParseReport(texts[i], reports[i], error)) {
            error = names[i] + " " + error;
            return false;
        }
        Json& r = reports[i];
        if (r["kind"].text() == "disckit-trial-matrix" && r["shard"].isNull()) {
            // A whole run is its own only shard.
            Json whole = Json::Object();
            for (const char* key : {"kind", "disckit", "disc", "systems", "languages"}) whole.Set(key, r[key]);
            Json part = Json::Object();
            part.Set("index", 1);
            part.Set("count", 1);
            whole.Set("shard", std::move(part));
            whole.Set("cells", r["cells"]);
            r = std::move(whole);
        }
        if (r["kind"].text() != "disckit-trial-matrix" || r["shard"]["index"].kind() != Json::Kind::Number ||
            r["systems"].kind() != Json::Kind::Array || r["languages"].kind() != Json::Kind::Array ||
            r["cells"].kind() != Json::Kind::Array || r["disc"]["sha256"].kind() != Json::Kind::String) {
            error = names[i] + " is not the JSON report of a shard of disckit trial --matrix";
            return false;
        }
    }
    if (reports.empty()) {
        error = "which reports?";
        return false;
    }
    const Json& first = reports.front();
    auto list = [](const Json& array) {
        std::vector<std::string> items;
        for (const Json& item : array.items()) items.push_back(item.text());
        return items;
    };
    const std::vector<std::string> systems = list(first["systems"]), locales = list(first["languages"]);
    std::uint64_t shards = 0;
    if (!ParseUnsigned(first["shard"]["count"].text(), shards) || shards < 1 || shards > 10000) {
        error = names[0] + " names no shard count";
        return false;
    }
    const std::vector<MatrixCellId> all = MatrixCellsOf(systems, locales);
    std::vector<const Json*> byCell(all.size(), nullptr);
    std::vector<std::string> given(static_cast<std::size_t>(shards) + 1);
    for (std::size_t i = 0; i < reports.size(); ++i) {
        const Json& r = reports[i];
        if (r["disckit"].text() != first["disckit"].text()) {
            error = names[i] + " was made by disckit " + r["disckit"].text() + ", " + names[0] + " by " +
                    first["disckit"].text() + ": reports of different versions are not joined";
            return false;
        }
        if (r["disc"]["sha256"].text() != first["disc"]["sha256"].text()) {
            error = names[i] + " is of another disc than " + names[0] + " (SHA-256 " +
                    r["disc"]["sha256"].text() + ", not " + first["disc"]["sha256"].text() + ")";
            return false;
        }
        if (list(r["systems"]) != systems || list(r["languages"]) != locales ||
            r["shard"]["count"].text() != first["shard"]["count"].text()) {
            error = names[i] + " is a shard of other cells than " + names[0] +
                    " (its systems, languages or shard count differ)";
            return false;
        }
        std::uint64_t index = 0;
        if (!ParseUnsigned(r["shard"]["index"].text(), index) || index < 1 || index > shards) {
            error = names[i] + " names no shard of " + std::to_string(shards);
            return false;
        }
        if (!given[index].empty()) {
            error = names[i] + " and " + given[index] + " are both shard " + std::to_string(index) + "/" +
                    std::to_string(shards) + ": their cells overlap";
            return false;
        }
        given[index] = names[i];
        const std::vector<std::size_t> part = ShardPart(all.size(), static_cast<unsigned>(index),
                                                        static_cast<unsigned>(shards));
        if (r["cells"].items().size() != part.size()) {
            error = names[i] + " does not hold the cells of shard " + std::to_string(index) + "/" +
                    std::to_string(shards);
            return false;
        }
        for (std::size_t k = 0; k < part.size(); ++k) {
            const Json& c = r["cells"].items()[k];
            if (c["system"].text() != all[part[k]].system || c["locale"].text() != all[part[k]].locale) {
                error = names[i] + " does not hold the cells of shard " + std::to_string(index) + "/" +
                        std::to_string(shards);
                return false;
            }
            byCell[part[k]] = &c;
        }
    }
    std::string missing;
    for (std::uint64_t k = 1; k <= shards; ++k) {
        if (given[k].empty()) missing += (missing.empty() ? "" : ", ") + std::to_string(k) + "/" + std::to_string(shards);
    }
    if (!missing.empty()) {
        error = "shard " + missing + " missing: the joined report would lack cells";
        return false;
    }
    std::vector<Json> cells;
    for (const Json* c : byCell) cells.push_back(*c);
    merged = MatrixDocument(first["disc"], first["disckit"].text(), systems, locales, 0, 0, std::move(cells));
    return true;
}

int RunMerge(const Args& args, std::ostream& out, std::ostream& err) {
    MergeValues v;
    std::vector<std::string> files;
    std::string error, html, junit;
    if (!ParseVerbOperands(args, kMergeOptions, &v, "report", files, error) ||
        !PathOption(v.html, "--html", "file", html, error) ||
        !PathOption(v.junit, "--junit", "file", junit, error)) {
        err << "disckit merge: " << EscapeControls(error) << '\n' << VerbUsage("merge");
        return kExitUsage;
    }
    std::vector<std::string> texts(files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (!ReadSmallFile(files[i], kMaxReport, texts[i], error)) {
            err << "disckit merge: " << EscapeControls(files[i]) << " " << error << '\n';
            return kExitUsage;
        }
    }
    Json merged;
    if (!MergeMatrixReports(texts, files, merged, error) ||
        !ReportFilesWritable({{html, "HTML report"}, {junit, "JUnit report"}}, error)) {
        err << "disckit merge: " << EscapeControls(error) << '\n';
        return kExitUsage;
    }
    out << (v.json ? merged.Dump() : MatrixText(merged));
    out.flush();
    if ((!html.empty() && !WriteHtmlFile(html, MatrixHtml(merged), error)) ||
        (!junit.empty() && !WriteReportFile(junit, MatrixJUnit(merged), "JUnit report", error))) {
        err << "disckit merge: " << EscapeControls(error) << '\n';
        return kExitUsage;
    }
    return MatrixExitCode(merged);
}

#endif
