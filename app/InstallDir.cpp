#include "app/LauncherApp.h"

// Walks characters, not bytes: in a double-byte code page the second byte of a character may have
// the backslash's value (0x5C) and must not end a directory there.
std::size_t EndOfLastBackslash(Platform& platform, const std::string& text) {
    std::size_t end = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (platform.IsLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size()) {
            i += 2;
            continue;
        }
        if (text[i] == '\\') end = i + 1;
        ++i;
    }
    return end;
}

std::string LauncherApp::ReadInstallDir() {
    std::string path;
    ModulePathStatus status = platform_.ModuleFileName(path);
    // A folder named in characters the code page lacks (a copy of the disc in the user's own
    // profile folder on a non-Western name) mostly still has a short name, which the file system
    // makes of characters that every code page holds: the launcher then works under that name.
    // Asked only in that case, so every other path stays exactly as it was read.
    if (status == ModulePathStatus::NotInCodePage) status = platform_.ModuleShortFileName(path);
    if (status != ModulePathStatus::Ok) return std::string();
    path.resize(EndOfLastBackslash(platform_, path));
    return path;
}

const std::string& LauncherApp::KnownInstallDir() {
    // Read once and kept for the whole run. The long path comes from the loader and cannot change,
    // but its short form is looked up on disk, and stops resolving when the folder is renamed,
    // the stick pulled or short names stripped: read again, it would turn empty halfway through a
    // run that the empty-folder check at the start let go on, and name everything from the root
    // of the current drive (the browser as \Panoview.exe, run elevated).
    if (!installDir_) installDir_ = ReadInstallDir();
    return *installDir_;
}

std::string LauncherApp::InstallDir() {
    std::string dir = KnownInstallDir();
    // Programs named without a directory are found here, on every use. Whether it worked is not
    // looked at: every path the launcher builds itself is full.
    if (!dir.empty()) platform_.SetCurrentDirectory(dir);
    return dir;
}

bool LauncherApp::EndsWithBackslash(const std::string& text) {
    return !text.empty() && EndOfLastBackslash(platform_, text) == text.size();
}

std::string LauncherApp::JoinPath(const std::string& dir, const std::string& tail) {
    if (EndsWithBackslash(dir)) return dir + tail;
    return dir + '\\' + tail;
}
