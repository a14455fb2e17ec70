// A scripted stand-in for the operating system, for the unit tests.
//
// Tests set up the world through the public fields (files, registry, processes, version record,
// code page, failures), run the launcher, and read `log`, which records every effect in order.
// Time is virtual: Sleep only advances `clockMs`, so a 15-second wait costs nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Platform.h"

// Thrown by the fake to end a run that would otherwise never end (the browser loop has no bound).
struct FakeRunLimit : std::runtime_error {
    FakeRunLimit() : std::runtime_error("fake run limit reached") {}
};

struct FakeProcess {
    std::uint32_t id = 0;
    std::string exeName;          // what the snapshot source reports
    std::string moduleName;       // what the module source reports; exeName when empty
    bool openable = true;         // OpenProcess succeeds
    bool hasModule = true;        // the first module can be obtained
    bool nameReadable = true;     // its base name can be read
    bool imageNameReadable = true;  // its image name can be read through an opened handle
    bool imageNameReadableOtherWay = true;  // ... and the other way, through the same handle
    bool terminable = true;
};

class FakePlatform : public Platform {
public:
    FakePlatform();

    // --- Scripted world ----------------------------------------------------------------------
    std::int32_t instanceCounter = -1;
    std::optional<std::string> moduleFileName = std::string("D:\\Start.exe");  // nullopt: unreadable
    // What reading the executable's path answers when it is not Ok (e.g. NotInCodePage: the path
    // holds a character the code page lacks); moduleFileName is then not handed out.
    ModulePathStatus moduleFileNameStatus = ModulePathStatus::Ok;
    // The path's short (8.3) form; when nullopt, moduleShortFileNameStatus answers (by default
    // Unreadable: no short form). moduleShortFileNameQueries counts the questions.
    std::optional<std::string> moduleShortFileName;
    ModulePathStatus moduleShortFileNameStatus = ModulePathStatus::Unreadable;
    int moduleShortFileNameQueries = 0;
    std::optional<std::string> windowsDir = std::string("C:\\Windows");
    std::optional<std::string> systemDir = std::string("C:\\Windows\\system32");
    std::set<unsigned char> leadBytes;                   // double-byte code page when not empty
    std::map<std::string, std::string> files;            // key: lower-cased path
    std::set<std::string> lockedFiles;                   // open for writing fails (lower-cased)
    // Files with the read-only attribute (lower-cased), as on a disc and in copies from it: they
    // cannot be opened for writing, replaced by a copy, deleted or rewritten until made writable.
    std::set<std::string> readOnlyFiles;
    std::set<std::string> directories;                   // for directory searches (lower-cased)
    std::set<std::string> loadableLibraries;             // lower-cased full paths
    std::set<std::string> classesRootKeys;               // exact subkeys
    std::optional<VersionRecord> extendedVersion;        // nullopt: the query fails
    std::optional<VersionRecord> basicVersion;
    bool wow64 = false;
    std::uint16_t langId = 0x0409;
    bool failCopy = false;
    bool failWrite = false;
    bool failDelete = false;
    std::set<std::string> unstartablePrograms;           // starting them fails (lower-cased)

    std::vector<FakeProcess> processes;
    bool snapshotSource = true;
    SnapshotStatus snapshotStatus = SnapshotStatus::Ok;
    bool moduleSource = true;
    bool enumIdsFails = false;
    std::uint32_t nextProcessId = 1000;

    // Called after every recorded start; may change the world (e.g. make the browser appear).
    std::function<void(FakePlatform&, const std::string& program, const std::string& commandLine)>
        onStart;
    // Called after every sleep.
    std::function<void(FakePlatform&, std::uint32_t ms)> onSleep;
    // Called when a process is about to be opened by its id, before the open looks it up; may
    // change the world (e.g. the listed process ends and another one takes over its id).
    std::function<void(FakePlatform&, std::uint32_t id)> onOpenProcess;
    std::size_t maxSleeps = 10000;  // then FakeRunLimit

    // --- Observations ------------------------------------------------------------------------
    std::vector<std::string> log;
    std::uint64_t clockMs = 0;
    int openHandles = 0;          // process and snapshot handles not yet closed
    int loadedModuleSources = 0;  // module sources not yet released
    std::vector<std::uint32_t> terminated;

    // --- Helpers for tests -------------------------------------------------------------------
    void AddFile(const std::string& path, const std::string& content = std::string());
    bool HasFile(const std::string& path) const;
    bool IsReadOnly(const std::string& path) const;
    std::string FileContent(const std::string& path) const;
    std::uint32_t AddProcess(const std::string& exeName);
    // The process with this id ends and an unrelated one, of another name, gets the same id.
    void ReuseProcessId(std::uint32_t id, const std::string& exeName);
    bool IsAlive(std::uint32_t id) const;
    // Log entries that start with prefix, in order.
    std::vector<std::string> Events(const std::string& prefix) const;
    std::size_t IndexOf(const std::string& entry) const;  // npos when absent
    void SetVersion(std::uint32_t platformId, std::uint32_t major, std::uint32_t minor,
                    std::uint32_t build, std::uint8_t productType);

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
    bool ProcessImageNameOtherWay(ProcessHandle process, std::string& name) override;
    bool TerminateProcess(ProcessHandle process, std::uint32_t exitCode) override;
    void CloseHandle(ProcessHandle handle) override;

    std::string currentDirectory;

private:
    friend class FakeModuleSource;
    const FakeProcess* FindProcess(std::uint32_t id) const;
    std::map<ProcessHandle, std::uint32_t> openProcesses_;  // handle -> process id
    ProcessHandle nextHandle_ = 0x100;
    std::size_t sleeps_ = 0;
    mutable std::size_t lastFound_ = 0;  // where FindProcess looks first
};

// Lower-cases the letters A to Z, as the fake's case-insensitive file system does.
std::string FakeKey(const std::string& path);
