// The platform on real Windows (and under Wine).
#pragma once

#include "platform/Platform.h"

class Win32Platform : public Platform {
public:
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
};

// Process-wide settings made once at start-up, before anything is loaded or shown: no system
// error boxes of its own, multibyte text by the ANSI code page, and libraries only from the system
// directory (never from the launcher's folder or the current directory).
void PrepareProcess();
