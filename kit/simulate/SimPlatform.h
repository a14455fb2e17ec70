// A simulated Windows for the launcher's own code: the disc folder's real files, a described
// system (version record, bitness, language, code page), a Windows directory held in memory, a
// process table and a virtual clock. Every effect the launcher has on it is logged in order.
#pragma once

#include <cstdint>
#include <exception>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "inspect/OsClassify.h"
#include "kit/check/CheckDisc.h"
#include "kit/simulate/SimDisc.h"
#include "kit/windows/Languages.h"
#include "kit/windows/Profiles.h"
#include "platform/Platform.h"

enum class SimMedia { ReadOnly, Writable };
enum class SimBrowser { Appears, Never };

// Everything a simulation is run with.
struct SimConfig {
    SimSystem system = DefaultSystem();
    std::uint16_t langId = kDefaultLangId;
    int codePage = 1252;
    SimMedia media = SimMedia::ReadOnly;
    bool registered = false;  // the controls' class key exists
    SimBrowser browser = SimBrowser::Appears;
    std::string installDir = "D:\\";  // UTF-8, ends with a backslash
    // The same folder's short (8.3) name, as the volume gives it (dir /x shows it); empty: not
    // known. Short names are the volume's own, so the simulation cannot work them out.
    std::string shortInstallDir;
    bool instanceRunning = false;     // another launcher of the same file runs already
};

enum class EffectKind { Box, Start, Sleep, Copy, Write, Delete, Attributes, Terminate, Load };
const char* EffectKindName(EffectKind kind);

// One thing the launcher did to the system. Text fields hold the launcher's ANSI bytes.
struct SimEffect {
    EffectKind kind = EffectKind::Box;
    std::uint64_t timeMs = 0;
    bool ok = true;       // start, copy, write, terminate, load: whether it took place
    std::string error;    // why not
    std::string text;     // box
    std::string caption;  // box
    std::string program;      // start: the program file
    std::string commandLine;  // start: exactly what the program receives
    std::string path;    // load, write, delete, attributes; copy: the destination
    std::string source;  // copy
    std::string content;  // write: the bytes written
    std::uint64_t size = 0;  // copy, write
    bool readOnly = false;   // copy: the copy carries the read-only attribute
    std::uint32_t ms = 0;    // sleep
    std::string processName;     // start (when it started), terminate
    std::uint32_t processId = 0;  // start (when it started), terminate
};

// Thrown from the simulated Sleep once the launcher can only repeat itself: its browser loop has
// no end of its own.
struct SimulationStop : std::exception {
    const char* what() const noexcept override { return "the launcher repeats itself"; }
};

struct SimProcess {
    std::uint32_t id = 0;
    std::string exeName;  // ANSI
    std::string imageKey;  // the image file, as a path key; empty for the system's own
    int bits = 32;
    bool openable = true;
    bool endsAtNextSleep = false;
    bool startedByRun = false;
};

// A file the run left in memory (the Windows directory and anything else written).
struct SimFile {
    std::string path;  // ANSI, as first written
    std::uint64_t size = 0;
    bool readOnly = false;
    bool hasContent = false;  // written bytes; otherwise a copy of source
    std::string content;
    std::string source;  // ANSI path of what was copied
};

// Its parts: SimPlatform.cpp the system's facts (version, language, code page, module path,
// registry), SimFiles.cpp the file system, SimProcesses.cpp the process table and what Windows
// starts and loads, SimRepeat.cpp the clock and the detector that ends an endless run.
class SimPlatform : public Platform {
public:
    // How many identical passes end the simulation, and a bound for anything that never repeats.
    static constexpr int kRepeatsToStop = 3;
    static constexpr std::size_t kMaxSleeps = 10000;

    // images: the disc's programs and libraries as the check found them, so that each starts or
    // loads only where Windows would let it; without them every one does.
    SimPlatform(const SimConfig& config, const SimDisc& disc,
                const std::vector<ImageFacts>* images = nullptr);

    const std::vector<SimEffect>& Effects() const { return effects_; }
    std::uint64_t ClockMs() const { return clockMs_; }
    // Where the repetition that stopped the run starts (an index into Effects) and its length in
    // milliseconds; meaningful after a SimulationStop.
    std::size_t RepeatFrom() const { return repeatFrom_; }
    std::uint64_t RepeatPeriodMs() const { return repeatPeriodMs_; }
    bool StoppedWithoutRepeat() const { return stoppedWithoutRepeat_; }
    // Whether the launcher asked for its own path and the code page could not hold it.
    bool ModulePathNotInCodePage() const { return modulePathNotInCodePage_; }
    // Whether the launcher then asked for the short form of its path, and whether it got it.
    bool ShortPathAsked() const { return shortPathAsked_; }
    bool ShortPathUsed() const { return shortPathUsed_; }
    const std::vector<SimProcess>& Processes() const { return processes_; }
    // Files the run created or changed, in path order.
    std::vector<SimFile> WrittenFiles() const;
    int OpenHandles() const { return static_cast<int>(openHandles_.size()); }
    // The ANSI text as UTF-8, for showing it.
    std::string ToUtf8(const std::string& ansi) const;
    // What went wrong without stopping the launcher (a start page that is not there, a control
    // that regsvr32 cannot register), each said once, UTF-8, in the order it happened.
    const std::vector<std::string>& Faults() const { return faults_; }

    // --- Platform ----------------------------------------------------------------------------
    std::int32_t IncrementInstanceCounter() override;
    void ShowMessage(const std::string& text, const std::string& caption) override;
    void InitializeControls() override;
    bool IsLeadByte(unsigned char value) override;
    void UpperCase(std::string& text) override;
    ModulePathStatus ModuleFileName(std::string& path) override;
    ModulePathStatus ModuleShortFileName(std::string& path) override;
    bool SetCurrentDirectory(const std::string& path) override;
    bool WindowsDirectory(std::string& path) override;
    bool SystemDirectory(std::string& path) override;
    bool AnyFileMatches(const std::string& pattern) override;
    bool CanOpenForReading(const std::string& path) override;
    bool CanOpenExclusiveForWriting(const std::string& path) override;
    bool CopyFile(const std::string& from, const std::string& to) override;
    bool DeleteFile(const std::string& path) override;
    bool MakeWritable(const std::string& path) override;
    bool WriteFile(const std::string& path, const std::string& bytes) override;
    bool ProbeLibrary(const std::string& path) override;
    bool ClassesRootKeyExists(const std::string& subkey) override;
    bool QueryVersion(bool extended, VersionRecord& record) override;
    bool IsWow64Process() override;
    std::uint16_t SystemDefaultLangId() override;
    bool StartProgram(const std::string& program, const std::string& commandLine,
                      int showCommand) override;
    void Sleep(std::uint32_t milliseconds) override;
    bool HasSnapshotSource() override;
    SnapshotStatus SnapshotProcesses(std::vector<ProcessRecord>& records,
                                     ProcessHandle& snapshotHandle) override;
    std::unique_ptr<ModuleSource> OpenModuleSource() override;
    ProcessHandle OpenProcess(std::uint32_t id, std::uint32_t access) override;
    bool ProcessImageName(ProcessHandle process, std::string& name) override;
    bool TerminateProcess(ProcessHandle process, std::uint32_t exitCode) override;
    void CloseHandle(ProcessHandle handle) override;

private:
    friend class SimModuleSource;

    // Why an operation on a file failed, as its effect says it.
    static constexpr const char* kErrorNoFile = "no such file";
    static constexpr const char* kErrorNoFolder = "no such folder";
    static constexpr const char* kErrorFolder = "a folder has that name";
    static constexpr const char* kErrorReadOnlyMedia = "the disc is read-only";
    static constexpr const char* kErrorReadOnlyFile = "the file is read-only";
    static constexpr const char* kErrorInUse = "the file is a running program";

    // A path taken apart: its key (upper-cased UTF-8 components joined by backslashes) and, when
    // it lies on the disc, its components below the disc's root.
    struct Where {
        bool valid = false;
        std::string key;
        bool onDisc = false;
        std::vector<std::string> discPath;
        bool isRoot = false;  // a drive or share root
    };
    // What is at a path.
    struct Node {
        bool exists = false;
        bool directory = false;
        bool readOnly = false;
        bool onDisc = false;  // the disc's own file, not one the run wrote over it
        std::uint64_t size = 0;
    };
    struct MemNode {
        bool directory = false;
        bool system = false;  // the system's own, not reported
        SimFile file;
    };

    // The disc's root (by its name and its short name), the folders above it and the Windows
    // directory.
    void SetUpFiles();
    Where Locate(const std::string& ansiPath) const;
    Node Look(const Where& where) const;
    // Why the file at where cannot be replaced, changed or removed; empty when it can.
    std::string WriteBlocker(const Where& where, const Node& node) const;
    bool ImageInUse(const std::string& key) const;
    void AddSystemDirectory(const std::string& ansiPath);
    void AddSystemFile(const std::string& ansiPath);
    void AddBaseProcesses();
    SimProcess* ProcessById(std::uint32_t id);
    SimProcess* ProcessByHandle(ProcessHandle handle);
    SimEffect& Record(EffectKind kind);
    std::string StateDigest() const;
    // Why Windows refuses to start or load the disc's file at where; empty when it does not.
    std::string CannotRun(const Where& where) const;
    void AddFault(const std::string& utf8);
    // The faults of what a start of the browser or of regsvr32 hands over on its command line.
    void CheckStarted(const std::string& exe, const std::string& commandLine);
    bool Is64Bit() const { return config_.system.bits == 64 && config_.system.platformId == kPlatformNt; }

    SimConfig config_;
    const SimDisc& disc_;
    const std::vector<ImageFacts>* images_;
    std::vector<std::string> faults_;
    std::vector<std::string> installComponents_;  // the disc's root, upper-cased
    std::vector<std::string> shortInstallComponents_;  // the same by its short name, if known
    std::int32_t instanceCounter_ = -1;
    std::string currentDirectory_;
    std::map<std::string, MemNode> memory_;
    std::set<std::string> deletedFromDisc_;
    std::set<std::string> registryKeys_;  // upper-cased subkeys of HKEY_CLASSES_ROOT
    std::vector<SimProcess> processes_;
    std::uint32_t nextProcessId_ = 2000;
    std::map<ProcessHandle, std::uint32_t> openHandles_;
    ProcessHandle nextHandle_ = 0x100;
    std::map<std::string, std::string> upperCache_;  // one character of the code page

    std::vector<SimEffect> effects_;
    std::uint64_t clockMs_ = 0;
    std::size_t sleeps_ = 0;
    std::size_t passStart_ = 0;  // first effect after the previous sleep
    std::vector<std::string> passes_;  // what each pass between two sleeps did, and the state
    std::vector<std::size_t> passStarts_;
    std::size_t repeatFrom_ = 0;
    std::uint64_t repeatPeriodMs_ = 0;
    bool stoppedWithoutRepeat_ = false;
    bool modulePathNotInCodePage_ = false;
    bool shortPathAsked_ = false;
    bool shortPathUsed_ = false;
};
