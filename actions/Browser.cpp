#include "app/LauncherApp.h"

void LauncherApp::RunBrowserLoop() {
    // No bound on the passes: the launcher's one job is to leave the browser running. A browser
    // that shows up only after the one-second wait is started a second time; that is harmless.
    for (;;) {
        const std::string dir = InstallDir();
        // The page path has an opening quote and no closing one; the browser expects exactly this.
        workingString_ = dir;
        workingString_ = '"' + workingString_;
        if (!EndsWithBackslash(dir)) workingString_ += '\\';
        workingString_ += names::kPagesFolder;
        workingString_ += GetLanguageFolder();
        workingString_ += names::kStartPage;
        workingString_ = std::string(names::kBrowser) + ' ' + workingString_;
        StartProgram(JoinPath(dir, names::kBrowser));
        if (IsProcessRunning(names::kBrowserProcess)) return;
    }
}
