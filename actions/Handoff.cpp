#include "app/LauncherApp.h"

int LauncherApp::Handoff() {
    const std::string dir = InstallDir();
    // The setup program finds its way back through this path. It names "Start.exe" whatever the
    // running file is called. Paths are never cut short: a truncated path would point elsewhere.
    const std::string launcherPath = dir + names::kLauncher;
    const std::string source = dir + names::kSetupProgram;
    std::string windowsDir;
    // Without the Windows directory there is nowhere safe to write: a relative or root path
    // would put the files where the setup program never looks.
    if (!platform_.WindowsDirectory(windowsDir) || windowsDir.empty()) return 0;
    platform_.CopyFile(source, JoinPath(windowsDir, names::kSetupProgram));
    WriteHandoffSettings(windowsDir, launcherPath);
    return 0;
}

void LauncherApp::WriteHandoffSettings(const std::string& windowsDir,
                                       const std::string& launcherPath) {
    const std::string path = JoinPath(windowsDir, names::kSettingsFile);
    // Deleted first and written with truncation, so no older, longer content survives either way.
    platform_.DeleteFile(path);
    platform_.WriteFile(path, launcherPath);
}
