// The simulated process table: the system's own processes, what the run starts and ends, and
// what Windows refuses to start or load.
#include "kit/simulate/SimPlatform.h"

#include <algorithm>

#include "app/LauncherApp.h"
#include "kit/windows/WindowsText.h"
#include "process/Terminate.h"

namespace {

// The system's own processes that every listing shows, before anything the run starts. They
// belong to the system: a program run by an administrator may not open them.
struct BaseProcess {
    std::uint32_t id;
    const char* name;
    bool openable;
    std::uint32_t fromMajor;  // NT versions that have it
};
constexpr BaseProcess kNtProcesses[] = {
    {0, "[System Process]", false, 0}, {4, "System", false, 0},    {268, "smss.exe", false, 0},
    {352, "csrss.exe", false, 0},      {404, "wininit.exe", false, 6},
    {460, "services.exe", true, 0},    {476, "lsass.exe", true, 0},  {600, "svchost.exe", true, 0},
    {1400, "explorer.exe", true, 0},
};
// The 95/98/Me family names its processes by their full paths and hands out scrambled ids.
constexpr BaseProcess kWindows9xProcesses[] = {
    {0xFFF9A3C1u, "C:\\WINDOWS\\SYSTEM\\KERNEL32.DLL", false, 0},
    {0xFFF9E2D5u, "C:\\WINDOWS\\SYSTEM\\MSGSRV32.EXE", true, 0},
    {0xFFFA1A41u, "C:\\WINDOWS\\SYSTEM\\MPREXE.EXE", true, 0},
    {0xFFFB5C29u, "C:\\WINDOWS\\EXPLORER.EXE", true, 0},
};

}  // namespace

class SimModuleSource : public ModuleSource {
public:
    explicit SimModuleSource(SimPlatform& sim) : sim_(sim) {}

    bool EnumProcessIds(std::vector<std::uint32_t>& ids) override {
        ids.clear();
        for (const SimProcess& p : sim_.processes_) ids.push_back(p.id);
        return true;
    }

    ModuleNameStatus FirstModuleBaseName(ProcessHandle process, std::string& name) override {
        const SimProcess* p = sim_.ProcessByHandle(process);
        if (!p) return ModuleNameStatus::NoModule;
        // The launcher is a 32-bit program: under WOW64 it cannot read a 64-bit process's modules.
        if (sim_.Is64Bit() && p->bits == 64) return ModuleNameStatus::NoModule;
        name = p->exeName;
        return ModuleNameStatus::Named;
    }

private:
    SimPlatform& sim_;
};

void SimPlatform::AddBaseProcesses() {
    if (config_.system.platformId == kPlatformWindows) {
        for (const BaseProcess& b : kWindows9xProcesses) {
            SimProcess p;
            p.id = b.id;
            p.exeName = b.name;
            p.openable = b.openable;
            processes_.push_back(p);
        }
        return;
    }
    for (const BaseProcess& b : kNtProcesses) {
        if (config_.system.majorVersion < b.fromMajor) continue;
        SimProcess p;
        p.id = b.id;
        p.exeName = b.name;
        p.openable = b.openable;
        p.bits = Is64Bit() ? 64 : 32;
        processes_.push_back(p);
    }
}

bool SimPlatform::ImageInUse(const std::string& key) const {
    return std::any_of(processes_.begin(), processes_.end(),
                       [&](const SimProcess& p) { return !key.empty() && p.imageKey == key; });
}

SimProcess* SimPlatform::ProcessById(std::uint32_t id) {
    for (SimProcess& p : processes_) {
        if (p.id == id) return &p;
    }
    return nullptr;
}

SimProcess* SimPlatform::ProcessByHandle(ProcessHandle handle) {
    auto it = openHandles_.find(handle);
    return it == openHandles_.end() ? nullptr : ProcessById(it->second);
}

std::string SimPlatform::CannotRun(const Where& where) const {
    if (!images_ || !where.onDisc || where.discPath.size() != 1) return std::string();
    const Node n = Look(where);
    if (!n.onDisc) return std::string();  // a file the run wrote there
    for (const ImageFacts& image : *images_) {
        if (UpperUtf8(image.file) == UpperUtf8(where.discPath.front())) return CannotRunOn(image, config_.system);
    }
    return std::string();
}

void SimPlatform::CheckStarted(const std::string& exe, const std::string& commandLine) {
    // The last quoted path of the command line: the browser's start page (its quote is never
    // closed) or the file regsvr32 registers.
    const std::size_t open = commandLine.rfind('"', commandLine.size() > 0 && commandLine.back() == '"'
                                                        ? commandLine.size() - 2
                                                        : std::string::npos);
    if (open == std::string::npos) return;
    std::string path = commandLine.substr(open + 1);
    if (!path.empty() && path.back() == '"') path.pop_back();
    const Where w = Locate(path);
    const Node n = Look(w);
    const bool there = n.exists && !n.directory;
    if (NamesEqualNoCase(exe, names::kBrowser)) {
        if (!there) AddFault("the browser's start page " + ToUtf8(path) + " is not there");
        for (const ImageFacts& image : images_ ? *images_ : std::vector<ImageFacts>()) {
            if (image.file == names::kBrowser && image.console) {
                AddFault("the browser is a console program: a console window opens beside the pages");
            }
        }
        return;
    }
    if (commandLine.find(" /u ") != std::string::npos) return;  // unregistering may fail
    std::string why = there ? CannotRun(w) : kErrorNoFile;
    if (why.empty() && images_ && w.onDisc && w.discPath.size() == 1) {
        for (const ImageFacts& image : *images_) {
            if (UpperUtf8(image.file) == UpperUtf8(w.discPath.front()) && image.present && !image.registers) {
                why = "it exports no DllRegisterServer";
            }
        }
    }
    if (!why.empty()) AddFault("regsvr32 cannot register " + ToUtf8(path) + ": " + why);
}

bool SimPlatform::StartProgram(const std::string& program, const std::string& commandLine,
                               int /*showCommand*/) {
    SimEffect& e = Record(EffectKind::Start);
    e.program = program;
    e.commandLine = commandLine;
    const Where w = Locate(program);
    const Node n = Look(w);
    if (!n.exists || n.directory) {
        e.ok = false;
        e.error = kErrorNoFile;
        return false;
    }
    const std::string refused = CannotRun(w);
    if (!refused.empty()) {
        e.ok = false;
        e.error = "Windows cannot start it: " + refused;
        return false;
    }
    // The executable's name: what follows the folder, split as the launcher splits its paths.
    const std::size_t nameStart = EndOfLastBackslash(*this, program);
    SimProcess p;
    p.id = nextProcessId_;
    nextProcessId_ += 4;
    // The 95/98/Me family lists a process under its full path.
    p.exeName = config_.system.platformId == kPlatformWindows ? program : program.substr(nameStart);
    p.imageKey = w.key;
    p.startedByRun = true;
    e.processName = p.exeName;
    e.processId = p.id;
    const std::string exe = program.substr(nameStart);
    CheckStarted(exe, commandLine);
    if (NamesEqualNoCase(exe, names::kRegistrationTool)) {
        p.endsAtNextSleep = true;  // registers (or not) and ends by itself
    } else if (NamesEqualNoCase(exe, names::kBrowser) && config_.browser == SimBrowser::Never) {
        return true;  // started, but it never shows up as a process of its name
    }
    processes_.push_back(p);
    return true;
}

bool SimPlatform::HasSnapshotSource() {
    // NT 4 has no snapshot functions; the 95/98/Me family has no process-status library.
    if (config_.system.platformId == kPlatformWindows) return true;
    return config_.system.platformId == kPlatformNt && config_.system.majorVersion >= 5;
}

SnapshotStatus SimPlatform::SnapshotProcesses(std::vector<ProcessRecord>& records,
                                              ProcessHandle& snapshotHandle) {
    records.clear();
    snapshotHandle = nextHandle_++;  // opened and closed within this call
    for (const SimProcess& p : processes_) records.push_back({p.id, p.exeName});
    return SnapshotStatus::Ok;
}

std::unique_ptr<ModuleSource> SimPlatform::OpenModuleSource() {
    if (config_.system.platformId != kPlatformNt) return nullptr;
    return std::make_unique<SimModuleSource>(*this);
}

ProcessHandle SimPlatform::OpenProcess(std::uint32_t id, std::uint32_t /*access*/) {
    const SimProcess* p = ProcessById(id);
    if (!p || !p->openable) return 0;
    const ProcessHandle h = nextHandle_++;
    openHandles_[h] = id;
    return h;
}

bool SimPlatform::ProcessImageName(ProcessHandle process, std::string& name) {
    // The query exists from Vista on.
    if (config_.system.platformId != kPlatformNt || config_.system.majorVersion < 6) return false;
    const SimProcess* p = ProcessByHandle(process);
    if (!p) return false;
    name = p->exeName;
    return true;
}

bool SimPlatform::TerminateProcess(ProcessHandle process, std::uint32_t /*exitCode*/) {
    const SimProcess* p = ProcessByHandle(process);
    if (!p) return false;
    SimEffect& e = Record(EffectKind::Terminate);
    e.processName = p->exeName;
    e.processId = p->id;
    const std::uint32_t id = p->id;
    processes_.erase(std::remove_if(processes_.begin(), processes_.end(),
                                    [id](const SimProcess& q) { return q.id == id; }),
                     processes_.end());
    return true;
}

void SimPlatform::CloseHandle(ProcessHandle handle) { openHandles_.erase(handle); }
