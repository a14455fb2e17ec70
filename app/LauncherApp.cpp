#include "app/LauncherApp.h"

#include "inspect/OsClassify.h"
#include "process/Terminate.h"

bool LauncherApp::InitInstance() {
    // The decision rests on the value our own increment produced: of two launchers started at
    // the same moment exactly one sees 0. A later read of the counter could see both at 1.
    if (platform_.IncrementInstanceCounter() >= 1) return true;
    // Without its own folder the launcher cannot find the disc, and every name it would join to
    // an empty folder would point at the root of the current drive instead: do nothing at all.
    // The folder read here is kept for the whole run, so this one check covers every later step.
    if (KnownInstallDir().empty()) return false;

    platform_.InitializeControls();
    ProbeLibrary();
    // Registration comes before the gate on purpose: the controls are (re-)registered even on
    // systems that are then refused.
    RegisterControls();
    ClassifyOs(osCode_);
    if (IsRefusedClass(osCode_, serverFlag_)) {
        platform_.ShowMessage(texts::kRefusal, texts::kRefusalCaption);
        return false;
    }
    RunPreLaunchTool();
    Handoff();
    RunBrowserLoop();
    return false;
}

int LauncherApp::ProbeLibrary() {
    if (platform_.ProbeLibrary(JoinPath(InstallDir(), names::kProbeLibrary))) return 1;
    platform_.ShowMessage(texts::kLoadLibraryFail, texts::kLoadLibraryFailCaption);
    return 0;
}

void LauncherApp::StartProgram(const std::string& program) {
    // The working string holds the command line; the program is named by its full path so the
    // system never searches for it (a planted file of the same name must not run elevated).
    platform_.StartProgram(program, workingString_, kShowCommandShow);
}

void LauncherApp::RunPreLaunchTool() {
    workingString_ = JoinPath(InstallDir(), names::kPreLaunchTool);
    // An exclusive open for writing fails on a read-only disc and while the tool runs, so the
    // tool only starts from a writable copy of the disc and never twice at once.
    if (!platform_.CanOpenExclusiveForWriting(workingString_)) return;
    StartProgram(workingString_);
    // Nothing is held across a sleep (no handle, no module source): a sleep may be where the run
    // is ended from outside, by a throw (see Platform::Sleep), and must leave nothing open.
    platform_.Sleep(kPreLaunchToolMs);
    TerminateProcessesByName(platform_, names::kPreLaunchTool);
}
