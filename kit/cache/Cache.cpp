// disckit cache: what the trial keeps between runs (its Wine prefix templates, about 0.6 GB for a
// 32-bit and 1.3 GB for a 64-bit one), listed with size and last use, and removed on request.
// The folder is the user's cache ($XDG_CACHE_HOME/disckit, else ~/.cache/disckit) or, for
// root, /var/cache/disckit, which the package owns: cleaning empties it and leaves it in place.
//
// Everything is reached through descriptors, a step at a time, never through a link, and never
// across into another file system: a link planted in the cache is removed as a link, the folder
// it names is left alone.
#include "kit/cache/Cache.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "kit/Help.h"
#include "kit/Verbs.h"
#include "kit/common/Options.h"
#include "kit/common/Utf8.h"

#ifndef _WIN32
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

struct CacheValues {
    bool clean = false, quiet = false;
};

const OptionRow kCacheRows[] = {
    {"--clean", nullptr,
     "Remove what is cached. A template a trial is using at that moment is left, and said so.",
     ValueKind::Free, nullptr, nullptr, Into<&CacheValues::clean>},
    {"--quiet", nullptr, "Say nothing but errors.", ValueKind::Free, nullptr, nullptr,
     Into<&CacheValues::quiet>},
};

#ifndef _WIN32

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Deeper than any prefix Wine makes; past it a tree is not walked (and not removed).
constexpr int kMaxDepth = 128;

// The names in the folder fd (not "." and ".."), fd left open.
std::vector<std::string> Names(int fd) {
    std::vector<std::string> names;
    const int copy = dup(fd);
    if (copy < 0) return names;
    DIR* dir = fdopendir(copy);
    if (!dir) {
        close(copy);
        return names;
    }
    // The copy shares its position with fd: read from the start whatever was read before.
    rewinddir(dir);
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    return names;
}

// The bytes the entry name of the folder parent takes on disk, and its latest modification.
struct Usage {
    std::uint64_t bytes = 0;
    std::time_t newest = 0;
};

void AddUsage(int parent, const std::string& name, dev_t device, int depth, Usage& usage) {
    struct stat st {};
    if (fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return;
    usage.bytes += static_cast<std::uint64_t>(st.st_blocks) * 512;
    if (st.st_mtime > usage.newest) usage.newest = st.st_mtime;
    if (!S_ISDIR(st.st_mode) || st.st_dev != device || depth >= kMaxDepth) return;
    const int fd = openat(parent, name.c_str(), kDirFlags);
    if (fd < 0) return;
    for (const std::string& inner : Names(fd)) AddUsage(fd, inner, device, depth + 1, usage);
    close(fd);
}

// Removes the entry name of the folder parent and what it holds, a folder whose modes were
// taken away given them back first. False, with the first failure in why, when something could
// not be removed (the rest is still removed).
bool Remove(int parent, const std::string& name, dev_t device, int depth, std::string& why) {
    struct stat st {};
    if (fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
    if (S_ISDIR(st.st_mode)) {
        if (st.st_dev != device) {
            why = name + " is another file system";
            return false;
        }
        if (depth >= kMaxDepth) {
            why = name + " is nested deeper than " + std::to_string(kMaxDepth) + " folders";
            return false;
        }
        if (st.st_uid == geteuid() && (st.st_mode & 0700) != 0700)
            fchmodat(parent, name.c_str(), (st.st_mode & 07777) | 0700, 0);
        const int fd = openat(parent, name.c_str(), kDirFlags);
        if (fd < 0) {
            why = name + ": " + std::strerror(errno);
            return false;
        }
        bool all = true;
        for (const std::string& inner : Names(fd)) {
            std::string innerWhy;
            if (!Remove(fd, inner, device, depth + 1, innerWhy)) {
                if (all) why = name + "/" + innerWhy;
                all = false;
            }
        }
        close(fd);
        if (!all) return false;
        if (unlinkat(parent, name.c_str(), AT_REMOVEDIR) != 0) {
            why = name + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }
    if (unlinkat(parent, name.c_str(), 0) != 0 && errno != ENOENT) {
        why = name + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

// A template of the cache: where it is below the cache, and the folder and name it has there.
struct Template {
    std::string shown;     // "templates/win64", or "LAB/templates/win64" in root's cache
    std::string holder;    // the templates folder below the cache
    std::string name;      // "win64"
};

// The templates of the cache fd: those of templates/ (a user's), and those of each lab's
// templates/ (root's holds a lab per checkout or installation).
std::vector<Template> Templates(int cache) {
    std::vector<Template> found;
    auto collect = [&](int folder, const std::string& prefix) {
        const int fd = openat(folder, "templates", kDirFlags);
        if (fd < 0) return;
        for (const std::string& name : Names(fd)) {
            struct stat st {};
            if (name[0] == '.' || fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
                !S_ISDIR(st.st_mode)) {
                continue;
            }
            found.push_back({prefix + "templates/" + name, prefix + "templates", name});
        }
        close(fd);
    };
    collect(cache, "");
    for (const std::string& name : Names(cache)) {
        if (name == "templates" || name[0] == '.') continue;
        const int fd = openat(cache, name.c_str(), kDirFlags);
        if (fd < 0) continue;
        collect(fd, name + "/");
        close(fd);
    }
    return found;
}

std::string When(std::time_t t) {
    if (t <= 0) return "never";
    std::tm utc {};
    gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &utc);
    return text;
}

// The lock a trial holds on a template while it uses it (".win64.lock" beside it), opened
// without following a link; -1 when there is none.
int OpenLock(int cache, const Template& t) {
    const int holder = openat(cache, t.holder.c_str(), kDirFlags);
    if (holder < 0) return -1;
    const int lock = openat(holder, ("." + t.name + ".lock").c_str(),
                            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    close(holder);
    return lock;
}

// When a trial last used the template: its lock is touched each time one takes it.
std::time_t LastUse(int cache, const Template& t) {
    const int lock = OpenLock(cache, t);
    struct stat st {};
    const std::time_t when = lock >= 0 && fstat(lock, &st) == 0 ? st.st_mtime : 0;
    if (lock >= 0) close(lock);
    return when;
}

#endif

}  // namespace

extern const OptionTable kCacheOptions = DISCKIT_OPTION_TABLE(kCacheRows);

std::string CacheSize(std::uint64_t bytes) {
    if (bytes < 1000) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    const char* units[] = {"kB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes) / 1000;
    int unit = 0;
    while (value >= 999.5 && unit < 3) {
        value /= 1000;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, value < 9.95 ? "%.1f %s" : "%.0f %s", value, units[unit]);
    return text;
}

std::string CacheFolder(bool root, const char* xdgCacheHome, const char* home,
                        const char* accountHome) {
    if (root) return "/var/cache/disckit";
    if (xdgCacheHome && *xdgCacheHome == '/') return std::string(xdgCacheHome) + "/disckit";
    if (home && *home == '/') return std::string(home) + "/.cache/disckit";
    if (accountHome && *accountHome == '/') return std::string(accountHome) + "/.cache/disckit";
    return std::string();
}

int RunCache(const Args& args, std::ostream& out, std::ostream& err) {
    CacheValues v;
    std::string operand, error;
    if (!ParseVerbOptions(args, kCacheOptions, &v, nullptr, operand, error)) {
        err << "disckit cache: " << EscapeControls(error) << '\n' << VerbUsage("cache");
        return kExitUsage;
    }
#ifdef _WIN32
    (void)out;
    err << "disckit cache: the cache belongs to disckit trial, which runs on Linux only\n";
    return kExitUsage;
#else
    const struct passwd* account = getpwuid(geteuid());
    const std::string folder =
        CacheFolder(geteuid() == 0, std::getenv("XDG_CACHE_HOME"), std::getenv("HOME"),
                    account ? account->pw_dir : nullptr);
    if (folder.empty()) {
        err << "disckit cache: this account has no home folder, so no cache (XDG_CACHE_HOME "
               "names one)\n";
        return kExitUsage;
    }
    const std::string shown = EscapeControls(folder);
    const int cache = open(folder.c_str(), kDirFlags);
    if (cache < 0) {
        if (errno == ENOENT) {
            if (!v.quiet) out << shown << ": nothing cached\n";
            return kExitClean;
        }
        err << "disckit cache: " << shown << " cannot be opened as a folder ("
            << (errno == ELOOP || errno == ENOTDIR ? "a link, or not a folder" : std::strerror(errno))
            << "): left alone\n";
        return kExitUsage;
    }
    struct stat st {};
    if (fstat(cache, &st) != 0 || st.st_uid != geteuid()) {
        err << "disckit cache: " << shown << " is not this account's folder: left alone\n";
        close(cache);
        return kExitUsage;
    }
    const dev_t device = st.st_dev;
    const std::vector<Template> templates = Templates(cache);
    Usage all;
    for (const std::string& name : Names(cache)) AddUsage(cache, name, device, 1, all);

    if (!v.clean) {
        if (!v.quiet) {
            out << shown << "\n";
            std::size_t width = 6;
            for (const Template& t : templates) width = std::max(width, t.shown.size());
            std::uint64_t listed = 0;
            for (const Template& t : templates) {
                Usage usage;
                AddUsage(cache, t.holder + "/" + t.name, device, 1, usage);
                listed += usage.bytes;
                struct stat made {};
                const std::string path = t.holder + "/" + t.name;
                const bool known = fstatat(cache, path.c_str(), &made, AT_SYMLINK_NOFOLLOW) == 0;
                out << "  " << EscapeControls(t.shown) << std::string(width + 2 - t.shown.size(), ' ')
                    << CacheSize(usage.bytes) << ", made " << (known ? When(made.st_mtime) : "when unknown")
                    << ", last used " << When(LastUse(cache, t)) << "\n";
            }
            if (templates.empty()) out << "  no template\n";
            if (all.bytes > listed) {
                out << "  other" << std::string(width + 2 - 5, ' ') << CacheSize(all.bytes - listed)
                    << "\n";
            }
            out << "  in all" << std::string(width + 2 - 6, ' ') << CacheSize(all.bytes) << "\n";
        }
        close(cache);
        return kExitClean;
    }

    // Cleaning: a template a trial holds (its lock taken) stays, with the folders above it.
    std::vector<int> held;
    std::vector<std::string> busy;
    for (const Template& t : templates) {
        const int lock = OpenLock(cache, t);
        if (lock < 0) continue;
        if (flock(lock, LOCK_EX | LOCK_NB) == 0) {
            held.push_back(lock);
        } else {
            close(lock);
            busy.push_back(t.holder + "/" + t.name);
        }
    }
    bool failed = false;
    std::function<void(int, const std::string&, int)> clean = [&](int parent, const std::string& at,
                                                                   int depth) {
        for (const std::string& name : Names(parent)) {
            const std::string path = at.empty() ? name : at + "/" + name;
            bool keeps = false;
            for (const std::string& b : busy) {
                if (b == path) keeps = true;
                if (b.compare(0, path.size() + 1, path + "/") == 0) {
                    const int fd = openat(parent, name.c_str(), kDirFlags);
                    if (fd >= 0) {
                        clean(fd, path, depth + 1);
                        close(fd);
                    }
                    keeps = true;
                }
            }
            // The lock of a template in use goes with its template, not before.
            for (const std::string& b : busy) {
                const std::size_t slash = b.rfind('/');
                if (path == b.substr(0, slash + 1) + "." + b.substr(slash + 1) + ".lock") keeps = true;
            }
            if (keeps) continue;
            std::string why;
            if (!Remove(parent, name, device, depth, why)) {
                err << "disckit cache: cannot remove " << shown << "/"
                    << EscapeControls(at.empty() ? why : at + "/" + why) << '\n';
                failed = true;
            }
        }
    };
    clean(cache, "", 1);
    for (const int lock : held) close(lock);
    Usage left;
    for (const std::string& name : Names(cache)) AddUsage(cache, name, device, 1, left);
    close(cache);
    // A user's cache goes altogether; root's folder is the package's, and stays, empty.
    if (busy.empty() && !failed && geteuid() != 0) rmdir(folder.c_str());
    if (!v.quiet) {
        out << "removed " << CacheSize(all.bytes > left.bytes ? all.bytes - left.bytes : 0)
            << " from " << shown << "\n";
    }
    for (const std::string& b : busy)
        err << "disckit cache: " << shown << "/" << EscapeControls(b)
            << " is in use by a trial: left\n";
    return failed || !busy.empty() ? kExitFindings : kExitClean;
#endif
}
