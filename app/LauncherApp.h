// The application object: the launcher's whole life is one call of InitInstance.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/Platform.h"
#include "process/ProcessList.h"

// Texts the launcher shows; they are the disc's own and must stay byte for byte.
namespace texts {
constexpr const char* kRefusal = "Swiftdeck does not support this version of windows.";
constexpr const char* kRefusalCaption = "Discmate";
constexpr const char* kLoadLibraryFail = "Load library fail";
constexpr const char* kLoadLibraryFailCaption = "Error";
constexpr const char* kVersionBoxText = "Message";
constexpr const char* kVersionQueryFailCaption = "Check OS type Error !";
constexpr const char* kUnknownOsCaption = "Unknown OS type !";
constexpr const char* kSnapshotFail = "CreateToolhelp32Snapshot fail !!";
constexpr const char* kFirstRecordFail = "Process32First fail !!";
constexpr const char* kProcessBoxCaption = "Msg";
}  // namespace texts

// Names of the disc's files and of what the launcher starts, writes and looks for.
namespace names {
constexpr const char* kProbeLibrary = "qzm.dll";
constexpr const char* kPreLaunchTool = "Q7.exe";
constexpr const char* kBrowser = "Panoview.exe";
constexpr const char* kBrowserProcess = "PANOVIEW.EXE";
constexpr const char* kStartPage = "Welcome.htm";
constexpr const char* kMarkerFile = "locale.js";
constexpr const char* kSetupProgram = "Handoff.exe";
constexpr const char* kSettingsFile = "Handoff.ini";
constexpr const char* kLauncher = "Start.exe";
constexpr const char* kRegistrationTool = "regsvr32.exe";
constexpr const char* kHtmlControl = "Discpane.ocx";
constexpr const char* kGaugeControl = "Gauge.ocx";
constexpr const char* kPagesFolder = "lang\\";
constexpr const char* kControlClassKey = "CLSID\\{5E1F0C27-9B3D-4A86-8C41-2D7E6F90B3A5}";
}  // namespace names

constexpr std::uint32_t kPreLaunchToolMs = 15000;
constexpr std::uint32_t kRunningCheckDelayMs = 1000;

// Index one past the last backslash of text (ANSI, in the system's code page), or 0: where the
// folder part of a path ends, as the launcher splits every path.
std::size_t EndOfLastBackslash(Platform& platform, const std::string& text);

class LauncherApp {
public:
    explicit LauncherApp(Platform& platform) : platform_(platform) {}
    LauncherApp(const LauncherApp&) = delete;
    LauncherApp& operator=(const LauncherApp&) = delete;
    ~LauncherApp() = default;

    // The single-instance guard, then the launch sequence. True only when another launcher of
    // the same executable file runs and this one was turned away; the process ends with exit code
    // 0 either way.
    bool InitInstance();

    // --- Install directory --------------------------------------------------------------------
    // The directory of the launcher's executable, ending with a backslash; also makes it the
    // current directory, so that names without a directory resolve there. Empty when the
    // executable's path cannot be read or holds no backslash. Read at the first use (of this or
    // KnownInstallDir) and the same for the rest of the run, whatever happens to the folder.
    std::string InstallDir();
    // The same without touching the current directory.
    const std::string& KnownInstallDir();
    // Whether the last character (multibyte-aware) of text is a backslash.
    bool EndsWithBackslash(const std::string& text);
    // dir + tail with exactly one backslash between them.
    std::string JoinPath(const std::string& dir, const std::string& tail);

    // --- Steps of the launch sequence ---------------------------------------------------------
    // Loads and frees the disc's probe library; nonzero when it loaded. Shows a box otherwise.
    int ProbeLibrary();
    // Registers the disc's controls (unregistering them first when the class is registered).
    bool RegisterControls();
    bool IsControlClassRegistered();
    // Starts the disc's pre-launch tool when it exists and can be written, gives it 15 s and
    // ends every process of its name.
    void RunPreLaunchTool();
    // Copies the setup program into the Windows directory and writes its settings file there.
    int Handoff();
    void WriteHandoffSettings(const std::string& windowsDir, const std::string& launcherPath);
    // Starts the page browser once per pass until a process of its name is seen running.
    void RunBrowserLoop();

    // --- System inspection --------------------------------------------------------------------
    // Sets osCode and ServerFlag from the running system. False after one of the two failure
    // boxes (the query failed, or the platform is unknown).
    bool ClassifyOs(std::uint8_t& osCode);
    bool HasSysWow64Folder();
    bool RunsUnderWow64();
    std::string GetLanguageFolder();
    bool HasLanguageMarker(const std::string& folder);

    // --- Processes ----------------------------------------------------------------------------
    // Sleeps one second, rebuilds the list and answers whether a process of exactly this
    // (upper-case) name runs.
    bool IsProcessRunning(const std::string& name);
    int FillProcessListToolhelp();
    int FillProcessListPsapi();
    void ClearProcessList();

    std::uint8_t OsCode() const { return osCode_; }
    std::uint8_t ServerFlag() const { return serverFlag_; }
    const ProcessList& Processes() const { return processList_; }
    const std::string& WorkingString() const { return workingString_; }

private:
    // The executable's folder as the system gives it now (no current directory set).
    std::string ReadInstallDir();
    // Builds `<prefix>"<dir><file>"` in the working string and starts the registration tool.
    void StartRegistrationCommand(const std::string& dir, const char* prefix, const char* file);
    void StartProgram(const std::string& program);

    Platform& platform_;
    std::string workingString_;
    std::optional<std::string> installDir_;  // read once, at the first use
    std::uint8_t osCode_ = 0;
    std::uint8_t serverFlag_ = 0;
    ProcessList processList_;
};
