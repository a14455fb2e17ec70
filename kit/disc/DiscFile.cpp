#include "kit/disc/DiscFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef _WIN32

DiscFile::~DiscFile() = default;

// Windows discs hold no FIFOs; a link (a reparse point) is refused as on other hosts.
bool DiscFile::Open(const std::filesystem::path& path, std::string& why) {
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::symlink_status(path, ec);
    if (ec) {
        why = ec.message();
        return false;
    }
    if (std::filesystem::is_symlink(status)) {
        why = "it is a symbolic link";
        return false;
    }
    if (!std::filesystem::is_regular_file(status)) {
        why = "it is not a regular file";
        return false;
    }
    file_.open(path, std::ios::binary);
    if (!file_) {
        why = "it cannot be opened";
        return false;
    }
    file_.seekg(0, std::ios::end);
    const std::streamoff end = file_.tellg();
    if (end < 0) {
        why = "its size cannot be read";
        return false;
    }
    size_ = static_cast<std::uint64_t>(end);
    return true;
}

bool DiscFile::Open(const DiscEntry& entry, std::string& why) { return Open(entry.path, why); }

bool DiscFile::ReadAt(std::uint64_t offset, void* out, std::size_t size) {
    if (!file_.is_open() || offset > size_ || size > size_ - offset) return false;
    file_.clear();
    file_.seekg(static_cast<std::streamoff>(offset));
    file_.read(static_cast<char*>(out), static_cast<std::streamsize>(size));
    return file_.gcount() == static_cast<std::streamsize>(size);
}

#else

DiscFile::~DiscFile() {
    if (fd_ >= 0) ::close(fd_);
}

namespace {

// O_NONBLOCK: a FIFO without a writer would otherwise hold the open forever. It changes nothing
// for the regular file that fstat then has to confirm.
constexpr int kOpenFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

}  // namespace

bool DiscFile::Open(const std::filesystem::path& path, std::string& why) {
    return Adopt(::open(path.c_str(), kOpenFlags), why);
}

bool DiscFile::Open(const DiscEntry& entry, std::string& why) {
    if (!entry.folder) return Open(entry.path, why);
    return Adopt(::openat(entry.folder->fd(), entry.path.filename().c_str(), kOpenFlags), why);
}

bool DiscFile::Adopt(int fd, std::string& why) {
    if (fd < 0) {
        why = errno == ELOOP ? "it is a symbolic link" : std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
        ::close(fd);
        why = "it is not a regular file";
        return false;
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
    size_ = static_cast<std::uint64_t>(st.st_size);
    return true;
}

bool DiscFile::ReadAt(std::uint64_t offset, void* out, std::size_t size) {
    if (fd_ < 0 || offset > size_ || size > size_ - offset) return false;
    auto* at = static_cast<char*>(out);
    while (size > 0) {
        const ssize_t got = ::pread(fd_, at, size, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;  // an error, or the file shrank under us
        at += got;
        size -= static_cast<std::size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
    return true;
}

#endif

std::string DiscFile::ReadHead(std::size_t limit) {
    std::string bytes(static_cast<std::size_t>(std::min<std::uint64_t>(size_, limit)), '\0');
    if (!bytes.empty() && !ReadAt(0, &bytes[0], bytes.size())) bytes.clear();
    return bytes;
}
