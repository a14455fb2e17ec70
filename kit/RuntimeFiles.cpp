#include "kit/RuntimeFiles.h"

#include <system_error>

#ifdef _WIN32
#include <windows.h>
#endif

std::filesystem::path ProgramPath() {
#ifdef _WIN32
    wchar_t self[MAX_PATH * 4];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
    if (n == 0 || n >= MAX_PATH * 4) return std::filesystem::path();
    return std::filesystem::path(self);
#else
    std::error_code ec;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : program;
#endif
}

std::filesystem::path ProgramDir() { return ProgramPath().parent_path(); }

std::filesystem::path RuntimeDir(const std::filesystem::path& programDir, const std::string& file,
                                 std::string& tried) {
    std::error_code ec;
    for (const std::filesystem::path& dir :
         {programDir.parent_path() / "lib" / "disckit", programDir / "lib" / "disckit"}) {
        if (std::filesystem::is_regular_file(dir / file, ec)) return dir;
        tried += (tried.empty() ? "" : " or ") + dir.string();
    }
    return std::filesystem::path();
}
