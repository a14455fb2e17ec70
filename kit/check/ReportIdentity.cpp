#include "kit/check/ReportIdentity.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <utility>
#include <vector>

#include "app/LauncherApp.h"
#include "kit/Help.h"
#include "kit/common/Html.h"
#include "kit/disc/DiscReader.h"
#include "kit/disc/PeResources.h"
#include "kit/disc/Sha256.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// The launcher is read up to this size for its version: far more than any launcher.
constexpr std::uint64_t kMaxLauncher = 64u << 20;
// The primary volume descriptor: sector 16 of 2048 bytes; its label at offset 40, 32 bytes.
constexpr std::uint64_t kPrimaryDescriptor = 16 * 2048;

std::string Numbers(const std::uint16_t (&v)[4]) {
    return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
           std::to_string(v[3]);
}

bool Seconds(const char* text, std::time_t& t) {
    if (!text || !*text) return false;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (errno || *end || value < 0) return false;
    t = static_cast<std::time_t>(value);
    return true;
}

}  // namespace

std::time_t ReportTime() {
    std::time_t t = 0;
    if (Seconds(std::getenv("DISCKIT_REPORT_TIME"), t) || Seconds(std::getenv("SOURCE_DATE_EPOCH"), t))
        return t;
    return std::time(nullptr);
}

std::string IsoUtc(std::time_t t) {
    std::tm utc {};
#ifdef _WIN32
    gmtime_s(&utc, &t);
#else
    gmtime_r(&t, &utc);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

bool ImageDigestAndLabel(const std::string& path, std::string& sha256, std::string& label, std::string& why) {
    sha256.clear();
    label.clear();
#ifdef _WIN32
    FILE* f = _wfopen(std::filesystem::u8path(path).wstring().c_str(), L"rb");
#else
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        why = "not a regular file";
        return false;
    }
    FILE* f = fd >= 0 ? fdopen(fd, "rb") : nullptr;
    if (fd >= 0 && !f) close(fd);
#endif
    if (!f) {
        why = std::string("cannot open it (") + std::strerror(errno) + ")";
        return false;
    }
    Sha256State digest;
    std::vector<char> buffer(1 << 20);
    std::uint64_t at = 0;
    std::string descriptor;
    std::size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), f)) > 0) {
        // The label's bytes, wherever the reads cut them.
        for (std::size_t i = 0; i < n && at + i < kPrimaryDescriptor + 72; ++i) {
            if (at + i >= kPrimaryDescriptor) descriptor += buffer[i];
        }
        digest.Update(buffer.data(), n);
        at += n;
    }
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) {
        why = "cannot read it";
        return false;
    }
    static const char hex[] = "0123456789abcdef";
    for (const char c : digest.Final()) {
        sha256 += hex[static_cast<unsigned char>(c) >> 4];
        sha256 += hex[static_cast<unsigned char>(c) & 15];
    }
    if (descriptor.size() == 72 && descriptor[0] == 1 && descriptor.compare(1, 5, "CD001") == 0) {
        label = descriptor.substr(40, 32);
        while (!label.empty() && (label.back() == ' ' || label.back() == '\0')) label.pop_back();
        // d-characters only, by the standard: anything else is shown as '?'.
        for (char& c : label) {
            if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
        }
    }
    return true;
}

void LauncherVersions(const DiscReader& disc, std::string& fileVersion, std::string& productVersion) {
    fileVersion.clear();
    productVersion.clear();
    DiscFolder root;
    std::string error;
    if (!disc.ListRoot(root, error)) return;
    const Lookup found = root.Find(names::kLauncher);
    if (found.entry && found.entry->isFile) {
        const DiscEntry& entry = *found.entry;
        const std::uint64_t size = disc.SizeOf(entry);
        if (size == 0 || size > kMaxLauncher) return;
        std::unique_ptr<ByteSource> source = disc.Open(entry, error);
        if (!source) return;
        std::string bytes(static_cast<std::size_t>(size), '\0');
        if (!source->Read(0, &bytes[0], bytes.size())) return;
        std::vector<Resource> resources;
        if (!ReadPeResources(bytes, resources, error)) return;
        for (const Resource& r : resources) {
            if (r.type.named || r.type.number != kResourceVersion) continue;
            std::uint16_t numbers[4] = {0, 0, 0, 0};
            std::vector<std::pair<std::string, std::string>> strings;
            if (!ReadVersionResource(r.data, numbers, strings)) continue;
            fileVersion = Numbers(numbers);
            for (const auto& s : strings) {
                if (s.first == "ProductVersion" && !s.second.empty()) productVersion = s.second;
            }
            if (productVersion.empty()) productVersion = fileVersion;
            // Bounded and printable: a resource's text is the disc's.
            if (productVersion.size() > 64) productVersion.resize(64);
            return;
        }
    }
}

Json ReportIdentity(const std::string& discPath, const DiscReader& disc, bool image) {
    Json identity = Json::Object();
    identity.Set("disckit", DisckitVersion());
    identity.Set("date", IsoUtc(ReportTime()));
    Json& d = identity.Set("disc", Json::Object());
    d.Set("path", discPath);
    d.Set("kind", image ? "image" : "folder");
    std::string sha, label, why;
    const bool read = image && ImageDigestAndLabel(discPath, sha, label, why);
    d.Set("sha256", read ? Json(sha) : Json());
    d.Set("label", read && !label.empty() ? Json(label) : Json());
    std::string fileVersion, productVersion;
    LauncherVersions(disc, fileVersion, productVersion);
    d.Set("launcherFileVersion", fileVersion.empty() ? Json() : Json(fileVersion));
    d.Set("launcherProductVersion", productVersion.empty() ? Json() : Json(productVersion));
    return identity;
}

std::string IdentityHtml(const Json& identity) {
    if (identity.isNull()) return std::string();
    return "<p class=\"identity\">" + HtmlText(IdentityWords(identity)) + "</p>\n";
}

std::string IdentityWords(const Json& identity) {
    const Json& d = identity["disc"];
    const bool folder = d["kind"].text() == "folder";
    std::string words = "disckit " + identity["disckit"].text() + ", " + identity["date"].text() +
                        "; " + d["kind"].text();
    if (!d["sha256"].isNull())
        words += (folder ? " pressed into an image of SHA-256 " : " of SHA-256 ") + d["sha256"].text();
    if (!d["label"].isNull()) words += ", label " + d["label"].text();
    words += d["launcherFileVersion"].isNull()
                 ? ", no version of " + std::string(names::kLauncher)
                 : ", " + std::string(names::kLauncher) + " " + d["launcherFileVersion"].text() +
                       " (product " + d["launcherProductVersion"].text() + ")";
    return words;
}
