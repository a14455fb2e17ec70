// The narrow boundary through which the launcher reaches the operating system.
//
// Everything the launcher decides (orders, texts, retries, what is shown) lives in the portable
// core; this interface only carries out single operations and reports plain results. It speaks in
// plain structs and integers so that the core builds and is tested on any host: only the Win32
// implementation includes <windows.h>.
//
// All text is 8-bit, in the system's ANSI code page. No method throws, except Sleep: a run can be
// ended from outside there (see Sleep). The Windows implementation never throws (running out of
// memory ends the process: platform/win32/Fatal.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Show commands as the system numbers them; the launcher only ever uses "show".
constexpr int kShowCommandShow = 5;

// Opaque process handle; 0 means "none".
using ProcessHandle = std::uintptr_t;

// The fields of the system's version record that the classification reads.
struct VersionRecord {
    std::uint32_t majorVersion = 0;
    std::uint32_t minorVersion = 0;
    std::uint32_t buildNumber = 0;
    std::uint32_t platformId = 0;
    std::uint8_t productType = 0;  // only the extended query fills it
};

// One process as the snapshot source reports it.
struct ProcessRecord {
    std::uint32_t id = 0;
    std::string exeName;  // executable file name without directory
};

enum class SnapshotStatus {
    Ok,                 // records holds every process of the snapshot (possibly none)
    SnapshotFailed,     // no snapshot could be taken
    FirstRecordFailed,  // a snapshot was taken but its first record could not be read
};

enum class ModuleNameStatus {
    NoModule,    // the process's first module could not be obtained
    Named,       // name holds the first module's base name
    NameUnread,  // the module was obtained but its base name could not be read
};

// What reading the executable's own path gave.
enum class ModulePathStatus {
    Ok,             // path holds the whole path
    Unreadable,     // the system could not give it
    NotInCodePage,  // the ANSI code page cannot hold it exactly: a best-fit mapping would have
                    // turned some character into another (a fullwidth quote into '"', say)
};

// Access masks the launcher opens processes with.
constexpr std::uint32_t kProcessAccessQuery = 0x410;      // query information | read memory
constexpr std::uint32_t kProcessAccessAll = 0x1F0FFF;     // full access as older systems define it

// The module source of the process table: the process-status library. An object exists only while
// the library is loaded with all its entry points bound; destroying it releases the library.
class ModuleSource {
public:
    virtual ~ModuleSource() = default;
    // Ids of all running processes, in the system's order. False when the listing failed; ids is
    // then unspecified.
    virtual bool EnumProcessIds(std::vector<std::uint32_t>& ids) = 0;
    // Base name of the first module (the executable) of an opened process.
    virtual ModuleNameStatus FirstModuleBaseName(ProcessHandle process, std::string& name) = 0;
};

class Platform {
public:
    virtual ~Platform() = default;

    // --- Single instance -------------------------------------------------------------------
    // Atomically increments the counter shared by every running process of this executable file
    // (-1 while none runs) and returns the value the increment produced.
    virtual std::int32_t IncrementInstanceCounter() = 0;

    // --- User interface ----------------------------------------------------------------------
    // Modal message box without owner window, OK button only; returns when it was closed.
    virtual void ShowMessage(const std::string& text, const std::string& caption) = 0;
    // Common controls and control containment; no visible effect, nothing to report.
    virtual void InitializeControls() = 0;

    // --- Code page ---------------------------------------------------------------------------
    // Whether the byte starts a double-byte character in the ANSI code page.
    virtual bool IsLeadByte(unsigned char value) = 0;
    // Upper-cases text in place by the ANSI code page's multibyte rules.
    virtual void UpperCase(std::string& text) = 0;

    // --- Paths and files ----------------------------------------------------------------------
    // Full path of the running executable in the ANSI code page, any length. path is set only
    // when the answer is Ok.
    virtual ModulePathStatus ModuleFileName(std::string& path) = 0;
    // The short (8.3) form of that same path, for when the code page cannot hold the full one: Ok
    // when it holds every component of the short form exactly (path is set only then);
    // NotInCodePage when some component has no short name it holds (the volume keeps no short
    // names, or not for that folder); Unreadable when the system gives no short form at all.
    virtual ModulePathStatus ModuleShortFileName(std::string& path) = 0;
    virtual bool SetCurrentDirectory(const std::string& path) = 0;
    // Windows directory without trailing backslash (except at a drive root); false on failure.
    virtual bool WindowsDirectory(std::string& path) = 0;
    // System directory (where the system's own tools live); false on failure.
    virtual bool SystemDirectory(std::string& path) = 0;
    // True when a directory search on the pattern yields at least one entry.
    virtual bool AnyFileMatches(const std::string& pattern) = 0;
    // Opens an existing file for reading, closes it again; true when it could be opened.
    virtual bool CanOpenForReading(const std::string& path) = 0;
    // Opens an existing file for writing with no sharing, without creating it, and closes it
    // again; true when it could be opened.
    virtual bool CanOpenExclusiveForWriting(const std::string& path) = 0;
    // Copies a file, overwriting the destination.
    virtual bool CopyFile(const std::string& from, const std::string& to) = 0;
    virtual bool DeleteFile(const std::string& path) = 0;
    // Removes the read-only attribute of an existing file (a copy from a disc carries it, and
    // neither a copy nor a delete can replace such a file). False when there is no such file or
    // its attributes cannot be changed.
    virtual bool MakeWritable(const std::string& path) = 0;
    // Creates or truncates the file (no sharing while open) and writes exactly these bytes.
    virtual bool WriteFile(const std::string& path, const std::string& bytes) = 0;

    // --- Libraries ----------------------------------------------------------------------------
    // Loads the library at this full path (its own dependencies may resolve beside it) and frees
    // it again; true when it loaded.
    virtual bool ProbeLibrary(const std::string& path) = 0;

    // --- Registry -----------------------------------------------------------------------------
    // True when the subkey of HKEY_CLASSES_ROOT can be opened; an opened key is closed at once.
    virtual bool ClassesRootKeyExists(const std::string& subkey) = 0;

    // --- System queries -----------------------------------------------------------------------
    // Fills the fields of an extended (or, when extended is false, the basic) version query into
    // record, leaving fields that the query does not carry as they were. False on failure, and
    // record is then unchanged.
    virtual bool QueryVersion(bool extended, VersionRecord& record) = 0;
    // True when this process is a 32-bit process under WOW64; false also where the system cannot
    // say.
    virtual bool IsWow64Process() = 0;
    virtual std::uint16_t SystemDefaultLangId() = 0;

    // --- Programs and processes ---------------------------------------------------------------
    // Starts program (a full path) with exactly commandLine as its command line and the given
    // show command; does not wait for it. True when it started.
    virtual bool StartProgram(const std::string& program, const std::string& commandLine,
                              int showCommand) = 0;
    // Suspends the launcher for the given milliseconds. May throw to end a run from outside (the
    // browser loop has no end of its own): the launcher holds nothing across a sleep, so nothing
    // it opened through this interface stays open when it does.
    virtual void Sleep(std::uint32_t milliseconds) = 0;

    // Whether the snapshot source of the process table exists on this system.
    virtual bool HasSnapshotSource() = 0;
    // Takes a snapshot of all processes. snapshotHandle receives the value of the handle through
    // which it was read (already closed on return) for the caller's records; 0 when none.
    virtual SnapshotStatus SnapshotProcesses(std::vector<ProcessRecord>& records,
                                             ProcessHandle& snapshotHandle) = 0;
    // Loads the module source; null when the library or one of its entry points is missing.
    virtual std::unique_ptr<ModuleSource> OpenModuleSource() = 0;

    // 0 when the process cannot be opened with that access.
    virtual ProcessHandle OpenProcess(std::uint32_t id, std::uint32_t access) = 0;
    // Executable file name, without directory, of the process behind an opened handle, read
    // through that handle (so it names the process the handle holds, whatever happened to the id
    // since it was listed). False when it cannot be read.
    virtual bool ProcessImageName(ProcessHandle process, std::string& name) = 0;
    // The same name read another way through the same handle, for when the first way cannot read
    // it (an image on a volume without a drive letter, a system without the first call). False
    // when it cannot be read that way either, and on a platform that has no second way.
    virtual bool ProcessImageNameOtherWay(ProcessHandle /*process*/, std::string& /*name*/) {
        return false;
    }
    virtual bool TerminateProcess(ProcessHandle process, std::uint32_t exitCode) = 0;
    virtual void CloseHandle(ProcessHandle handle) = 0;
};
