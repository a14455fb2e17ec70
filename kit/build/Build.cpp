// disckit build SOURCE --out DIR: the finished disc from an author's folder. The kit's stock
// Start.exe gets the author's icon and version texts (its code and data stay as built), an
// autorun.inf opens it, everything else is copied as it is; then the disc's programs are signed,
// the result is checked, and on request pressed into an image. Everything is made in a folder
// beside DIR and renamed into place at the end: a failure leaves nothing half-written.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <sstream>
#include <system_error>

#include "app/LauncherApp.h"
#include "kit/Help.h"
#include "kit/Verbs.h"
#include "kit/check/CheckDisc.h"
#include "kit/common/Json.h"
#include "kit/common/Options.h"
#include "kit/common/Project.h"
#include "kit/common/RuntimeFiles.h"
#include "kit/common/Utf8.h"
#include "kit/disc/DiscFile.h"
#include "kit/disc/DiscTree.h"
#include "kit/disc/PeImage.h"
#include "kit/disc/PeResources.h"
#include "kit/windows/Autorun.h"
#include "platform/win32/StartVersion.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

constexpr const char* kLauncher = names::kLauncher;
// A disc's file larger than this is no file of a launcher disc; reading it whole would be a risk.
constexpr std::uintmax_t kMaxLauncherBytes = 16u << 20;

// The command line: the source folder, and the values where the rows (kBuildRows) put them.
struct BuildOptions {
    std::string source;
    std::optional<std::string> out, icon, company, product, description, version, copyright, label,
        image, pkcs12, passwordFile, cert, key, timestampUrl, launcher;
    bool signAll = false, force = false, json = false, silent = false;  // silent: --quiet
    std::vector<std::string> ignore;           // as check's --ignore
    std::optional<std::string> minSeverity;    // as check's --min-severity
    Quiet quiet;                               // what the two, and the project, leave out
};

// A failure of the build: one line for the user.
struct BuildError {
    std::string message;
};

bool ReadWhole(const fs::path& path, std::uintmax_t limit, std::string& bytes) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return false;
    const std::uintmax_t size = fs::file_size(path, ec);
    if (ec || size > limit) return false;
    std::ifstream in(path, std::ios::binary);
    bytes.assign(static_cast<std::size_t>(size), '\0');
    return in.read(&bytes[0], static_cast<std::streamsize>(size)) || size == 0;
}

void WriteWhole(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) throw BuildError{"cannot write " + PathToUtf8(path)};
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// The label as autorun.inf and the image's volume descriptor take it: printable ASCII, at most
// 32 characters (the image's limit).
bool ValidLabel(const std::string& label) {
    if (label.empty() || label.size() > 32) return false;
    return std::all_of(label.begin(), label.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

#ifndef _WIN32
// Runs a program with its output captured; its exit status, or -1 when it could not be started.
int RunTool(const std::vector<std::string>& command, std::string& output,
            const std::vector<std::string>& environment = {}) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return -1;
    const pid_t pid = fork();
    if (pid < 0) {
        close(pipeFds[0]);
        close(pipeFds[1]);
        return -1;
    }
    if (pid == 0) {
        dup2(pipeFds[1], 1);
        dup2(pipeFds[1], 2);
        close(pipeFds[0]);
        close(pipeFds[1]);
        const int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, 0);
        for (const std::string& variable : environment) putenv(const_cast<char*>(variable.c_str()));
        std::vector<char*> argv;
        for (const std::string& arg : command) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    char buffer[4096];
    for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        if (output.size() < (1u << 20)) output.append(buffer, static_cast<std::size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

#ifndef _WIN32
// The most telling line of a tool's output: the first that names an error, else the last.
std::string ToolReason(const std::string& output) {
    std::istringstream lines(output);
    std::string line, last, error;
    while (std::getline(lines, line)) {
        if (line.empty()) continue;
        last = line;
        if (error.empty() && Lower(line).find("error") != std::string::npos) error = line;
        if (error.empty() && Lower(line).find("fail") != std::string::npos) error = line;
    }
    return error.empty() ? last : error;
}
#endif

class Builder {
public:
    // err takes the progress line (unless --quiet).
    Builder(const BuildOptions& options, std::ostream& err) : o_(options), err_(err) {}

    // Validates everything that can be validated before anything is written.
    void Prepare() {
        std::error_code ec;
        source_ = Utf8ToPath(o_.source);
        if (!fs::is_directory(source_, ec)) throw BuildError{o_.source + " is not a folder"};
        if (!o_.out) throw BuildError{"no --out folder given"};
        target_ = fs::absolute(Utf8ToPath(*o_.out), ec).lexically_normal();
        if (target_.filename().empty()) target_ = target_.parent_path();  // "DIR/"
        if (fs::exists(fs::symlink_status(target_, ec)) &&
            !(fs::is_directory(target_, ec) && fs::is_empty(target_, ec)))
            throw BuildError{*o_.out + " exists and is not an empty folder"};
        // Compared by components, whatever the host's separator; a trailing one leaves an
        // empty last component, which lexically_normal keeps.
        fs::path sourceAbsolute = fs::absolute(source_, ec).lexically_normal();
        if (sourceAbsolute.filename().empty()) sourceAbsolute = sourceAbsolute.parent_path();
        const auto mismatch = std::mismatch(sourceAbsolute.begin(), sourceAbsolute.end(),
                                            target_.begin(), target_.end());
        if (mismatch.first == sourceAbsolute.end())
            throw BuildError{"--out lies inside the source folder"};
        if (!fs::is_directory(target_.parent_path(), ec))
            throw BuildError{"the folder of " + *o_.out + " does not exist"};

        fs::path stock;
        if (o_.launcher) {
            stock = Utf8ToPath(*o_.launcher);
        } else {
            std::string tried;
            const fs::path dir = RuntimeDir(kLauncher, tried);
            if (dir.empty()) {
                throw BuildError{std::string("the stock ") + kLauncher +
                                 " is not among disckit's files (looked in " + tried +
                                 "); give --launcher"};
            }
            stock = dir / kLauncher;
        }
        if (!ReadWhole(stock, kMaxLauncherBytes, launcher_))
            throw BuildError{"the stock launcher " + PathToUtf8(stock) +
                             " cannot be read (build Start.exe first, or give --launcher)"};
        stock_ = launcher_;
        std::string problem;
        std::vector<Resource> resources;
        if (!ReadPeResources(launcher_, resources, problem))
            throw BuildError{"the stock launcher " + PathToUtf8(stock) + ": " + problem};

        VersionTexts texts;
        texts.version[0] = START_VERSION_MAJOR;
        texts.version[1] = START_VERSION_MINOR;
        texts.version[2] = START_VERSION_PATCH;
        texts.version[3] = START_VERSION_BUILD;
        if (o_.version && !ParseVersionNumbers(*o_.version, texts.version))
            throw BuildError{"--version " + *o_.version +
                             " is not four numbers below 65536 (A.B.C.D)"};
        texts.company = o_.company.value_or(START_COMPANY);
        texts.product = o_.product.value_or(START_PRODUCT);
        texts.description = o_.description.value_or(START_DESCRIPTION);
        texts.copyright = o_.copyright.value_or(START_COPYRIGHT);
        texts.originalFilename = kLauncher;
        texts.internalName = "Start";
        std::string version;
        if (!MakeVersionResource(texts, version, problem)) throw BuildError{problem};
        label_ = o_.label.value_or(texts.product);
        if (!ValidLabel(label_))
            throw BuildError{"the label '" + label_ +
                             "' is not 1 to 32 printable ASCII characters" +
                             (o_.label ? "" : " (give --label)")};

        std::vector<IconImage> icons;
        if (o_.icon) {
            std::string file;
            if (!ReadWhole(Utf8ToPath(*o_.icon), 1u << 20, file))
                throw BuildError{"the icon " + *o_.icon + " cannot be read (or is over 1 MiB)"};
            if (!ParseIconFile(file, icons, problem))
                throw BuildError{"the icon " + *o_.icon + " is not a valid .ico: " + problem};
        }
        std::vector<Resource> branded;
        for (const Resource& r : resources) {
            if (r.type.named) {
                branded.push_back(r);
                continue;
            }
            if (r.type.number == kResourceVersion) continue;
            if (o_.icon && (r.type.number == kResourceIcon || r.type.number == kResourceGroupIcon))
                continue;
            branded.push_back(r);
        }
        Resource versionResource;
        versionResource.type.number = kResourceVersion;
        versionResource.name.number = 1;
        versionResource.language = 0x0409;
        versionResource.data = version;
        branded.push_back(versionResource);
        if (o_.icon) AddIconResources(icons, 1, 1, 0x0409, branded);
        std::string image;
        if (!ReplacePeResources(launcher_, branded, image, problem))
            throw BuildError{"the stock launcher " + PathToUtf8(stock) + ": " + problem};
        launcher_ = image;

        const bool pkcs12 = o_.pkcs12.has_value(), pem = o_.cert || o_.key;
        if (pkcs12 && pem)
            throw BuildError{"give --sign-pkcs12 or --sign-cert/--sign-key, not both"};
        if (pkcs12 && !o_.passwordFile)
            throw BuildError{"--sign-pkcs12 needs --sign-password-file"};
        if (!pkcs12 && o_.passwordFile && !pem)
            throw BuildError{"--sign-password-file needs --sign-pkcs12"};
        if (pem && !(o_.cert && o_.key)) throw BuildError{"--sign-cert and --sign-key go together"};
        signing_ = pkcs12 || pem;
        if (!signing_ && (o_.signAll || o_.timestampUrl))
            throw BuildError{std::string(o_.signAll ? "--sign-all" : "--timestamp-url") +
                             " needs a certificate (--sign-pkcs12 or --sign-cert)"};
        for (const auto* file : {&o_.pkcs12, &o_.passwordFile, &o_.cert, &o_.key})
            if (*file && !fs::is_regular_file(Utf8ToPath(**file), ec))
                throw BuildError{"cannot read " + **file};
#ifdef _WIN32
        if (signing_) throw BuildError{"signing needs the Linux build of disckit (osslsigncode)"};
        if (o_.image)
            throw BuildError{"pressing an image needs the Linux build of disckit (xorriso)"};
#endif
        if (o_.image) {
            imagePath_ = fs::absolute(Utf8ToPath(*o_.image), ec).lexically_normal();
            if (fs::exists(fs::symlink_status(imagePath_, ec)) &&
                !fs::is_regular_file(imagePath_, ec))
                throw BuildError{*o_.image + " exists and is not a file"};
            if (!fs::is_directory(imagePath_.parent_path(), ec))
                throw BuildError{"the folder of " + *o_.image + " does not exist"};
        }
    }

    // Makes the disc in a folder beside the target and renames it into place.
    int Make(std::vector<std::string>& warnings, std::vector<Finding>& findings,
             std::vector<std::string>& signedFiles, std::size_t& leftOut) {
        std::error_code ec;
        staging_ = target_.parent_path() / ("." + target_.filename().u8string() + ".partial");
        fs::remove_all(staging_, ec);
        if (!fs::create_directory(staging_, ec))
            throw BuildError{"cannot create " + PathToUtf8(staging_)};
        Copy(source_, staging_, "", warnings);
        WriteWhole(staging_ / kLauncher, launcher_);
        WriteWhole(staging_ / kAutorunFile, LauncherAutorun(label_));
        if (signing_) Sign(signedFiles);
        std::string error;
        if (!CheckDisc(staging_, findings, error)) throw BuildError{"the check failed: " + error};
        leftOut = LeaveOut(o_.quiet, findings);
        const bool errors = std::any_of(findings.begin(), findings.end(), [](const Finding& f) {
            return f.kind->severity == Severity::Error;
        });
        bool refused = false;
        if (o_.image && errors && !o_.force) {
            refused = true;
        } else if (o_.image) {
            if (!o_.silent) err_ << "disckit build: pressing " << EscapeControls(*o_.image) << "\n";
            Press();
        }
        if (fs::exists(target_, ec)) fs::remove(target_, ec);
        fs::rename(staging_, target_, ec);
        if (ec)
            throw BuildError{"cannot move the disc into " + PathToUtf8(target_) + ": " +
                             ec.message()};
        staging_.clear();
        if (!pressed_.empty()) {
            fs::rename(pressed_, imagePath_, ec);
            if (ec)
                throw BuildError{"cannot write " + PathToUtf8(imagePath_) + ": " + ec.message()};
        }
        return refused ? kExitFindings : errors ? kExitFindings : kExitClean;
    }

    void Abandon() {
        std::error_code ec;
        if (!staging_.empty()) fs::remove_all(staging_, ec);
        if (!pressed_.empty()) fs::remove(pressed_, ec);
    }

    const std::string& Label() const { return label_; }

private:
    // Copies the author's folder: folders and regular files only; a link or a special file
    // could point anywhere on the author's machine. Each file is read as a disc's files are
    // (opened from its listed folder, never through a link), so nothing swapped in after the
    // listing is copied instead.
    void Copy(const fs::path& from, const fs::path& to, const std::string& relative,
              std::vector<std::string>& warnings) {
        DiscFolder entries;
        std::string error;
        if (!ListFolder(from, entries, error)) throw BuildError{error};
        CopyEntries(entries, to, relative, warnings);
    }

    void CopyEntries(const DiscFolder& entries, const fs::path& to, const std::string& relative,
                     std::vector<std::string>& warnings) {
        for (const DiscEntry& entry : entries.Entries()) {
            const std::string where = relative.empty() ? entry.name : relative + "\\" + entry.name;
            if (!entry.validName) throw BuildError{"the name of " + where + " is not UTF-8"};
            if (entry.type == EntryType::Symlink)
                throw BuildError{where + " is a link: copy the file itself into the folder"};
            if (relative.empty() &&
                (Lower(entry.name) == Lower(kLauncher) || Lower(entry.name) == Lower(kAutorunFile))) {
                // The stock launcher and autorun.inf, as init lays them out, are the kit's own:
                // replacing them loses nothing. Only a file of the author's own is worth a word.
                if (!KitsOwn(entry))
                    warnings.push_back("the folder's own " + entry.name + " is replaced by the kit's");
                continue;
            }
            std::error_code ec;
            if (entry.isDirectory) {
                fs::create_directory(to / entry.path.filename(), ec);
                if (ec) throw BuildError{"cannot create " + where + ": " + ec.message()};
                DiscFolder inner;
                std::string why;
                if (!ListFolder(entry, inner, why)) throw BuildError{where + ": " + why};
                CopyEntries(inner, to / entry.path.filename(), where, warnings);
            } else if (entry.isFile) {
                CopyFile(entry, to / entry.path.filename(), where);
            } else {
                throw BuildError{where + " is " + EntryTypeName(entry.type) +
                                 ", neither a file nor a folder"};
            }
        }
    }

    // Whether the folder's Start.exe or autorun.inf is byte for byte the one the kit has (the
    // stock launcher before branding; the autorun.inf without a label, as init writes it, or
    // with the disc's).
    bool KitsOwn(const DiscEntry& entry) const {
        if (!entry.isFile) return false;
        DiscFile in;
        std::string why;
        if (!in.Open(entry, why) || in.Size() > kMaxLauncherBytes) return false;
        std::string bytes(static_cast<std::size_t>(in.Size()), '\0');
        if (!bytes.empty() && !in.ReadAt(0, &bytes[0], bytes.size())) return false;
        if (Lower(entry.name) == Lower(kLauncher)) return bytes == stock_;
        return bytes == LauncherAutorun(std::string()) || bytes == LauncherAutorun(label_);
    }

    static void CopyFile(const DiscEntry& entry, const fs::path& to, const std::string& where) {
        DiscFile in;
        std::string why;
        if (!in.Open(entry, why)) throw BuildError{"cannot read " + where + ": " + why};
        std::ofstream out(to, std::ios::binary | std::ios::trunc);
        std::string chunk;
        for (std::uint64_t at = 0; out && at < in.Size(); at += chunk.size()) {
            chunk.resize(static_cast<std::size_t>(std::min<std::uint64_t>(in.Size() - at, 1u << 20)));
            if (!in.ReadAt(at, &chunk[0], chunk.size()))
                throw BuildError{"cannot read " + where};
            out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        }
        if (!out.flush()) throw BuildError{"cannot copy " + where};
    }

    void Sign(std::vector<std::string>& signedFiles) {
#ifdef _WIN32
        (void)signedFiles;  // Prepare refuses signing on Windows
#else
        std::vector<std::pair<fs::path, std::string>> files{{staging_ / kLauncher, kLauncher}};
        if (o_.signAll) Programs(staging_, "", files);
        for (const auto& file : files) {
            const std::string in = file.first.u8string(), out = in + ".signed";
            std::vector<std::string> command{"osslsigncode", "sign", "-h", "sha256"};
            if (o_.pkcs12) {
                command.insert(command.end(),
                               {"-pkcs12", *o_.pkcs12, "-readpass", *o_.passwordFile});
            } else {
                command.insert(command.end(), {"-certs", *o_.cert, "-key", *o_.key});
            }
            command.insert(command.end(), {"-n", o_.product.value_or(START_PRODUCT)});
            if (o_.timestampUrl) command.insert(command.end(), {"-ts", *o_.timestampUrl});
            // The signing time is part of the signature: with SOURCE_DATE_EPOCH, the one of the
            // build, so that the same inputs sign to the same bytes (a timestamp authority's
            // answer never does).
            const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
            if (epoch && *epoch) command.insert(command.end(), {"-time", epoch});
            command.insert(command.end(), {"-in", in, "-out", out});
            std::string output;
            const int status = RunTool(command, output);
            if (status == -1 || status == 127)
                throw BuildError{"cannot run osslsigncode (Debian package osslsigncode)"};
            if (status != 0 && output.find("consistency of a private key") != std::string::npos)
                throw BuildError{"the key " + o_.key.value_or("") +
                                 " does not match the certificate " + o_.cert.value_or("")};
            if (status != 0 && output.find("Wrong password") != std::string::npos)
                throw BuildError{"the password in " + o_.passwordFile.value_or("") +
                                 " does not open " + o_.pkcs12.value_or("")};
            if (status != 0)
                throw BuildError{"signing " + file.second + " failed: " + ToolReason(output)};
            std::error_code ec;
            fs::rename(out, in, ec);
            if (ec) throw BuildError{"cannot replace " + file.second + ": " + ec.message()};
            signedFiles.push_back(file.second);
        }
#endif
    }

    static void Programs(const fs::path& folder, const std::string& relative,
                         std::vector<std::pair<fs::path, std::string>>& files) {
        DiscFolder entries;
        std::string error;
        if (!ListFolder(folder, entries, error)) throw BuildError{error};
        for (const DiscEntry& entry : entries.Entries()) {
            const std::string where = relative.empty() ? entry.name : relative + "\\" + entry.name;
            if (entry.isDirectory) {
                Programs(entry.path, where, files);
                continue;
            }
            if (!entry.isFile || (relative.empty() && entry.name == kLauncher)) continue;
            FileBytes bytes;
            PeImage image;
            std::string problem;
            if (bytes.Open(entry) && ReadPeImage(bytes, image, problem))
                files.emplace_back(entry.path, where);
        }
    }

    // The image, reproducibly: every date is the one SOURCE_DATE_EPOCH gives (a fixed one
    // without it), whatever the files' own; no identifiers of the run.
    void Press() {
#ifndef _WIN32
        const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
        const std::string date = epoch && *epoch ? epoch : "1262304000";  // 2010-01-01
        pressed_ = imagePath_.parent_path() / ("." + imagePath_.filename().u8string() + ".partial");
        std::error_code ec;
        fs::remove(pressed_, ec);
        // Rock Ridge records every file's times: one date for all of them.
        char* end = nullptr;
        const long long seconds = std::strtoll(date.c_str(), &end, 10);
        if (*end != '\0' || seconds < 0)
            throw BuildError{"SOURCE_DATE_EPOCH is not a number of seconds"};
        const time_t when = static_cast<time_t>(seconds);
        struct tm utc {};
        gmtime_r(&when, &utc);
        char stamp[80];
        std::snprintf(stamp, sizeof stamp, "%04d%02d%02d%02d%02d%02d00", utc.tm_year + 1900,
                      utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
        std::string output;
        const int status = RunTool(
            {"xorriso", "-report_about", "FAILURE", "-as", "mkisofs", "-J", "-r", "-V", label_,
             "--set_all_file_dates", stamp, "-o", pressed_.u8string(), staging_.u8string()},
            output, {"SOURCE_DATE_EPOCH=" + date});
        if (status != 0) {
            throw BuildError{status == -1 || status == 127
                                 ? "cannot run xorriso (Debian package xorriso)"
                                 : "pressing the image failed: " + ToolReason(output)};
        }
#endif
    }

    const BuildOptions& o_;
    std::ostream& err_;
    fs::path source_, target_, staging_, imagePath_, pressed_;
    std::string launcher_, stock_, label_;
    bool signing_ = false;
};

const OptionRow kBuildRows[] = {
    {"--out", "DIR", "Where the finished disc goes: a new or empty folder (required).",
     ValueKind::Folder, nullptr, nullptr, Into<&BuildOptions::out>},
    {"--icon", "FILE", "The launcher's icon, a .ico file.",
     ValueKind::File, nullptr, "the kit's stock icon", Into<&BuildOptions::icon>},
    {"--company", "TEXT", "The publisher's name in the version resource.",
     ValueKind::Free, nullptr, nullptr, Into<&BuildOptions::company>},
    {"--product", "TEXT", "The product's name in the version resource.",
     ValueKind::Free, nullptr, nullptr, Into<&BuildOptions::product>},
    {"--description", "TEXT", "The file description that Explorer and the elevation prompt show.",
     ValueKind::Free, nullptr, nullptr, Into<&BuildOptions::description>},
    {"--version", "A.B.C.D", "The file and product version, four numbers below 65536.",
     ValueKind::Free, nullptr, nullptr, Into<&BuildOptions::version>},
    {"--copyright", "TEXT", "The copyright line in the version resource.",
     ValueKind::Free, nullptr, nullptr, Into<&BuildOptions::copyright>},
    {"--label", "TEXT",
     "The image's volume label and autorun.inf's label=, 1 to 32 printable ASCII characters.",
     ValueKind::Free, nullptr, "the product's name", Into<&BuildOptions::label>},
    {"--image", "FILE", "Also press the disc into this ISO 9660 image, reproducibly (Linux).",
     ValueKind::File, nullptr, nullptr, Into<&BuildOptions::image>},
    {"--sign-pkcs12", "FILE", "Sign with the certificate and key of this PKCS#12 file (Linux).",
     ValueKind::File, nullptr, nullptr, Into<&BuildOptions::pkcs12>},
    {"--sign-password-file", "FILE", "The PKCS#12 file's password, in a file.",
     ValueKind::File, nullptr, nullptr, Into<&BuildOptions::passwordFile>},
    {"--sign-cert", "FILE", "Sign with this PEM certificate (with --sign-key; Linux).",
     ValueKind::File, nullptr, nullptr, Into<&BuildOptions::cert>},
    {"--sign-key", "FILE", "The PEM key of --sign-cert.",
     ValueKind::File, nullptr, nullptr, Into<&BuildOptions::key>},
    {"--sign-all", nullptr, "Sign every PE file of the disc, not only Start.exe.",
     ValueKind::Free, nullptr, nullptr, Into<&BuildOptions::signAll>},
    {"--timestamp-url", "URL", "Have the signatures timestamped by this authority.",
     ValueKind::Free, nullptr, nullptr, Into<&BuildOptions::timestampUrl>},
    {"--launcher", "FILE", "The stock Start.exe to brand.", ValueKind::File, nullptr,
     "the one among disckit's own files", Into<&BuildOptions::launcher>},
    {"--force", nullptr, "Press the image even when the check reports an error.",
     ValueKind::Free, nullptr, nullptr, Into<&BuildOptions::force>},
    {"--json", nullptr, "Write the result as JSON: disc, warnings, signed files, findings, image.",
     ValueKind::Free, nullptr, nullptr, Into<&BuildOptions::json>},
    {"--ignore", "CODE[,CODE...]",
     "Leave out the check's findings with these codes, as disckit check does: an ignored error "
     "neither fails the build nor stops the image.",
     ValueKind::Free, nullptr, nullptr, Into<&BuildOptions::ignore>},
    {"--min-severity", "note|warning|error",
     "Leave out the check's findings less severe than this, as disckit check does.",
     ValueKind::Choices, "note warning error", nullptr, Into<&BuildOptions::minSeverity>},
    {"--quiet", nullptr,
     "Say nothing on stderr but errors and warnings (not which project file was taken, nor "
     "that the image is being pressed).",
     ValueKind::Free, nullptr, nullptr, Into<&BuildOptions::silent>},
};

}  // namespace

extern const OptionTable kBuildOptions = DISCKIT_OPTION_TABLE(kBuildRows);

int RunBuild(const Args& args, std::ostream& out, std::ostream& err) {
    BuildOptions o;
    std::string error;
    Project project;
    bool usable = ParseVerbCommand("build", args, kBuildOptions, &o, "source folder", o.source,
                                   project, error);
    for (std::size_t i = 0; usable && i < o.ignore.size(); ++i)
        usable = ParseIgnore(o.ignore[i], o.quiet, error);
    if (usable && o.minSeverity) usable = ParseMinSeverity(*o.minSeverity, o.quiet, error);
    o.quiet.served = project.languages;
    if (!usable) {
        WriteCommandError("build", project, error, err);
        return kExitUsage;
    }
    if (!o.silent) SayProject(project, err);
    Builder builder(o, err);
    std::vector<std::string> warnings, signedFiles;
    std::vector<Finding> findings;
    std::size_t leftOut = 0;
    int code = kExitClean;
    try {
        builder.Prepare();
        code = builder.Make(warnings, findings, signedFiles, leftOut);
    } catch (const BuildError& failure) {
        builder.Abandon();
        err << "disckit build: " << EscapeControls(project.Blame(failure.message)) << "\n";
        return kExitUsage;
    }
    const FindingCounts counts = CountFindings(findings);
    const bool refused = o.image && counts.errors > 0 && !o.force;
    if (o.json) {
        Json report = Json::Object();
        report.Set("disc", *o.out);
        Json& list = report.Set("warnings", Json::Array());
        for (const std::string& w : warnings) list.Push(w);
        Json& signedList = report.Set("signed", Json::Array());
        for (const std::string& s : signedFiles) signedList.Push(s);
        report.Set("findings", FindingsJson(findings));
        if (o.image) report.Set("image", refused ? Json() : Json(*o.image));
        out << report.Dump();
    } else {
        // Names come from the author's folder and the command line: none may steer the terminal.
        for (const std::string& w : warnings)
            err << "disckit build: warning: " << EscapeControls(w) << "\n";
        out << "Start.exe: branded";
        if (!signedFiles.empty()) out << ", signed";
        out << "\n";
        for (std::size_t i = 1; i < signedFiles.size(); ++i)
            out << EscapeControls(signedFiles[i]) << ": signed\n";
        out << kAutorunFile << ": open=Start.exe, icon=Start.exe,0, label=" << builder.Label() << "\n";
        for (const Finding& f : findings) {
            out << "check: " << SeverityName(f.kind->severity) << " " << f.kind->code << "  "
                << EscapeControls(f.path) << "\n";
        }
        out << "check: " << CountsLine(counts)
            << (leftOut ? " (" + std::to_string(leftOut) + " left out)" : std::string()) << "\n";
        out << EscapeControls(*o.out) << ": the disc is ready\n";
        if (o.image && !refused)
            out << EscapeControls(*o.image) << ": pressed (label " << builder.Label() << ")\n";
    }
    if (refused) {
        err << "disckit build: the image is not pressed while the check reports errors (--force "
               "presses it anyway)\n";
    }
    return code;
}
