#include "kit/common/ReportFile.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <fstream>
#include <random>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifndef _WIN32
// Writes all of text to fd, through interruptions and short writes.
bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}
#endif

}  // namespace

namespace {

// The folder beside the target that its temporary goes to.
std::filesystem::path FolderOf(const std::filesystem::path& target) {
    return target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
}

}  // namespace

bool ReportFileWritable(const std::string& path, const std::string& what, std::string& error) {
    const auto fail = [&](const std::string& why) {
        error = "cannot write the " + what + " to " + path + ": " + why;
        return false;
    };
    if (path.empty()) return fail("no file named");
    const std::filesystem::path target = std::filesystem::u8path(path);
    std::error_code ec;
    if (std::filesystem::is_directory(target, ec)) return fail("it is a folder");
    const std::filesystem::path folder = FolderOf(target);
    if (!std::filesystem::is_directory(folder, ec)) return fail("no folder " + folder.u8string());
#ifndef _WIN32
    if (access(folder.c_str(), W_OK | X_OK) != 0) return fail(std::strerror(errno));
#endif
    return true;
}

bool ReportFilesWritable(std::initializer_list<NamedReport> reports, std::string& error) {
    for (const NamedReport& report : reports) {
        if (!report.path.empty() && !ReportFileWritable(report.path, report.what, error)) return false;
    }
    return true;
}

bool WriteReportFile(const std::string& path, const std::string& text, const std::string& what,
                     std::string& error) {
    if (!ReportFileWritable(path, what, error)) return false;
    const auto fail = [&](const std::string& why) {
        error = "cannot write the " + what + " to " + path + ": " + why;
        return false;
    };
    const std::filesystem::path target = std::filesystem::u8path(path);
    std::error_code ec;
    // Beside the target, so that the rename stays within its file system.
    const std::filesystem::path folder = FolderOf(target);
#ifdef _WIN32
    std::random_device random;
    const std::filesystem::path temporary =
        folder / (target.filename().u8string() + ".part" + std::to_string(random()));
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        if (file) file.write(text.data(), static_cast<std::streamsize>(text.size()));
        if (file) file.close();
        if (!file) {
            std::filesystem::remove(temporary, ec);
            return fail("the folder cannot be written to, or is full");
        }
    }
    std::filesystem::rename(temporary, target, ec);
    if (ec) {
        const std::string why = ec.message();
        std::filesystem::remove(temporary, ec);
        return fail(why);
    }
#else
    std::string temporary = (folder / (target.filename().u8string() + ".part-XXXXXX")).string();
    const int fd = mkstemp(temporary.data());
    if (fd < 0) return fail(std::strerror(errno));
    // As an ordinary new file would be made: mkstemp's 0600 would hide it from the team's CI.
    const mode_t mask = umask(0);
    umask(mask);
    bool ok = fchmod(fd, 0666 & ~mask) == 0 && WriteAll(fd, text);
    int saved = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok && rename(temporary.c_str(), path.c_str()) != 0) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        unlink(temporary.c_str());
        return fail(std::strerror(saved));
    }
#endif
    return true;
}
