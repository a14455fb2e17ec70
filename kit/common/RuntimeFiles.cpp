#include "kit/common/RuntimeFiles.h"

#include <system_error>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;

fs::path ProgramPath() {
#ifdef _WIN32
    std::wstring self(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, &self[0], static_cast<DWORD>(self.size()));
    if (n == 0 || n >= self.size()) return fs::path();
    self.resize(n);
    return fs::path(self);
#else
    std::error_code ec;
    const fs::path program = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : program;
#endif
}

fs::path ProgramDir() { return ProgramPath().parent_path(); }

fs::path RuntimeDir(const char* file, std::string& tried) {
    const fs::path program = ProgramDir();
    if (program.empty()) {
        tried = "the folder of disckit, which the system did not name";
        return fs::path();
    }
#ifdef _WIN32
    const std::vector<fs::path> candidates{program};
#else
    const std::vector<fs::path> candidates{program.parent_path() / "lib" / "disckit",
                                           program / "lib" / "disckit"};
#endif
    std::error_code ec;
    for (const fs::path& dir : candidates) {
        if (fs::is_regular_file(dir / file, ec)) return dir;
        tried += (tried.empty() ? "" : " or ") + dir.u8string();
    }
    return fs::path();
}
