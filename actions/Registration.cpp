#include "app/LauncherApp.h"

namespace {
constexpr const char* kUnregisterPrefix = "regsvr32 /s /u ";
constexpr const char* kRegisterPrefix = "regsvr32 /s ";
}  // namespace

bool LauncherApp::IsControlClassRegistered() {
    return platform_.ClassesRootKeyExists(names::kControlClassKey);
}

void LauncherApp::StartRegistrationCommand(const std::string& dir, const char* prefix,
                                           const char* file) {
    std::string systemDir;
    // Only the system's own registration tool may run: a bare name would be searched for in the
    // launcher's folder first, where anybody may have put a file of that name.
    if (!platform_.SystemDirectory(systemDir) || systemDir.empty()) return;
    workingString_ = dir;
    workingString_ = '"' + workingString_ + (EndsWithBackslash(dir) ? "" : "\\") + file + '"';
    workingString_ = prefix + workingString_;
    StartProgram(JoinPath(systemDir, names::kRegistrationTool));
}

bool LauncherApp::RegisterControls() {
    const std::string dir = InstallDir();
    // A class already registered (by an older disc, say) is removed first, so that the
    // registration below starts from a clean slate. The tools run side by side; none is awaited.
    if (IsControlClassRegistered()) {
        StartRegistrationCommand(dir, kUnregisterPrefix, names::kHtmlControl);
        StartRegistrationCommand(dir, kUnregisterPrefix, names::kGaugeControl);
    }
    StartRegistrationCommand(dir, kRegisterPrefix, names::kHtmlControl);
    StartRegistrationCommand(dir, kRegisterPrefix, names::kGaugeControl);
    return true;
}
