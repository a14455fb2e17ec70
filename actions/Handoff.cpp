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
    const std::string destination = JoinPath(windowsDir, names::kSetupProgram);
    // A copy takes the read-only attribute of a file on a disc, and a read-only file cannot be
    // replaced: without these two steps the first disc's setup program would stay for good while
    // every later disc rewrote the settings file, and the pair would no longer match.
    platform_.MakeWritable(destination);
    platform_.CopyFile(source, destination);
    platform_.MakeWritable(destination);
    WriteHandoffSettings(windowsDir, launcherPath);
    return 0;
}

void LauncherApp::WriteHandoffSettings(const std::string& windowsDir,
                                       const std::string& launcherPath) {
    const std::string path = JoinPath(windowsDir, names::kSettingsFile);
    // Deleted first and written with truncation, so no older, longer content survives either way;
    // a read-only file (put there by anyone) could be neither deleted nor rewritten.
    platform_.MakeWritable(path);
    platform_.DeleteFile(path);
    platform_.WriteFile(path, launcherPath);
}
