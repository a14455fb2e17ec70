// Wall time of `disckit check` on two discs made to be large where the check looks things up:
// 1. a root of 100,000 entries, with a browser that imports one entry point from each of 4,000
//    libraries (each looked up among the root's entries), and an English start page that links
//    to 1,000 of the root's pages;
// 2. a 1 MB browser importing 4,000 entry points from a library on the disc that exports 50,000,
//    in one import entry, and in 4,000 entries that each name the library (read once all the same);
// 3. an ISO 9660 image (Joliet and plain names) whose root lists 50,000 folders after 100,000
//    files, opened and checked whole (the image is written by the tests' own small writer).
// 4. a Start.exe whose resource tree fans out 8,000 x 8,000 (shared directories), in check and as
//    disckit build's --launcher (which refuses it).
// 5. pages: 1,000 pages of 100 links each (pages, images, a style sheet, some missing), and beside
//    them the hostile ones: 40 MB, 20,000 nested tags, a cycle, 10,000 links.
// Prints figures; not a test. Usage: bench_check_disc [--rounds N]   (default 3; the median)
#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/LauncherApp.h"
#include "kit/check/CheckDisc.h"
#include "kit/Verbs.h"
#include "kit/disc/DiscReader.h"
#include "kit/disc/LittleEndian.h"
#include "tests/IsoWriter.h"
#include "tests/PeFanOut.h"

namespace fs = std::filesystem;

namespace {

struct Imported {
    std::string dll;
    std::vector<std::string> names;
};

// A 32-bit x86 GUI image of one section (.data at RVA 0x1000, file offset 0x200) that holds its
// import and export tables, padded with zeros to at least minSize bytes.
std::string Image(bool dll, const std::vector<Imported>& imports,
                  const std::vector<std::string>& exports, std::size_t minSize) {
    constexpr std::uint32_t kHeaders = 0x200, kRva = 0x1000;
    std::string data;  // the section's bytes
    const auto rvaOf = [&](std::size_t at) { return static_cast<std::uint32_t>(kRva + at); };
    const auto append = [&](const std::string& bytes) {
        const std::size_t at = data.size();
        data += bytes;
        while (data.size() % 4) data += '\0';
        return at;
    };
    std::uint32_t importRva = 0, importSize = 0, exportRva = 0, exportSize = 0;
    if (!imports.empty()) {
        const std::size_t descriptors = append(std::string(20 * (imports.size() + 1), '\0'));
        for (std::size_t i = 0; i < imports.size(); ++i) {
            std::vector<std::uint32_t> hints;
            for (const std::string& name : imports[i].names) {
                hints.push_back(rvaOf(append(std::string(2, '\0') + name + '\0')));
            }
            std::string thunks(4 * (hints.size() + 1), '\0');
            for (std::size_t k = 0; k < hints.size(); ++k) Put32(thunks, 4 * k, hints[k]);
            const std::size_t lookup = append(thunks), bound = append(thunks);
            const std::size_t name = append(imports[i].dll + '\0');
            const std::size_t d = descriptors + 20 * i;
            Put32(data, d, rvaOf(lookup));
            Put32(data, d + 12, rvaOf(name));
            Put32(data, d + 16, rvaOf(bound));
        }
        importRva = rvaOf(descriptors);
        importSize = static_cast<std::uint32_t>(20 * (imports.size() + 1));
    }
    if (!exports.empty()) {
        const auto count = static_cast<std::uint32_t>(exports.size());
        const std::size_t directory = append(std::string(40, '\0'));
        const std::size_t functions = append(std::string(4 * exports.size(), '\0'));
        const std::size_t ordinals = append(std::string(2 * exports.size(), '\0'));
        std::string names(4 * exports.size(), '\0');
        for (std::size_t i = 0; i < exports.size(); ++i) {
            Put32(names, 4 * i, rvaOf(append(exports[i] + '\0')));
            Put16(data, ordinals + 2 * i, static_cast<std::uint32_t>(i));
        }
        const std::size_t nameTable = append(names);
        Put32(data, directory + 16, 1);
        Put32(data, directory + 20, count);
        Put32(data, directory + 24, count);
        Put32(data, directory + 28, rvaOf(functions));
        Put32(data, directory + 32, rvaOf(nameTable));
        Put32(data, directory + 36, rvaOf(ordinals));
        exportRva = rvaOf(directory);
        exportSize = 40;
    }
    if (kHeaders + data.size() < minSize) data.resize(minSize - kHeaders);
    while (data.size() % 0x200) data += '\0';

    std::string b(kHeaders, '\0');
    b[0] = 'M';
    b[1] = 'Z';
    Put32(b, 0x3C, 0x40);
    b.replace(0x40, 4, std::string("PE\0\0", 4));
    const std::size_t coff = 0x44, optional = coff + 20;
    Put16(b, coff, 0x014C);
    Put16(b, coff + 2, 1);
    Put16(b, coff + 16, 224);
    Put16(b, coff + 18, dll ? 0x2102 : 0x0102);
    Put16(b, optional, 0x10B);
    Put32(b, optional + 56, static_cast<std::uint32_t>(kRva + data.size()));  // SizeOfImage
    Put32(b, optional + 60, kHeaders);
    Put16(b, optional + 68, 2);  // GUI
    Put32(b, optional + 92, 16);
    Put32(b, optional + 96, exportRva);
    Put32(b, optional + 100, exportSize);
    Put32(b, optional + 104, importRva);
    Put32(b, optional + 108, importSize);
    const std::size_t section = optional + 224;
    b.replace(section, 5, ".data");
    Put32(b, section + 8, static_cast<std::uint32_t>(data.size()));
    Put32(b, section + 12, kRva);
    Put32(b, section + 16, static_cast<std::uint32_t>(data.size()));
    Put32(b, section + 20, kHeaders);
    return b + data;
}

void Write(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(),
                                                static_cast<std::streamsize>(bytes.size()));
}

std::string Numbered(const char* stem, std::size_t i) {
    char name[64];
    std::snprintf(name, sizeof name, "%s%05zu", stem, i);
    return name;
}

fs::path FreshFolder(const char* what) {
    const fs::path folder = fs::temp_directory_path() /
                            (std::string("bench-check-") + what + "-" +
                             std::to_string(std::random_device()()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

// The median of rounds runs of check (a callable that fills findings, false with the error), in
// seconds of the wall clock and of CPU time (on a busy machine the wall clock also counts the time
// other processes had the CPU), and the findings of the last.
template <typename Check>
double TimeRounds(int rounds, std::size_t& findingCount, double& cpu, Check check) {
    std::vector<double> seconds, cpuSeconds;
    for (int round = 0; round < rounds; ++round) {
        std::vector<Finding> findings;
        std::string error;
        const auto start = std::chrono::steady_clock::now();
        const std::clock_t cpuStart = std::clock();
        if (!check(findings, error)) {
            std::fprintf(stderr, "bench_check_disc: %s\n", error.c_str());
            std::exit(1);
        }
        seconds.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        cpuSeconds.push_back(static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC);
        findingCount = findings.size();
    }
    std::sort(cpuSeconds.begin(), cpuSeconds.end());
    cpu = cpuSeconds[cpuSeconds.size() / 2];
    std::sort(seconds.begin(), seconds.end());
    return seconds[seconds.size() / 2];
}

double TimeCheck(const fs::path& disc, int rounds, std::size_t& findingCount, double& cpu) {
    return TimeRounds(rounds, findingCount, cpu,
                      [&](std::vector<Finding>& findings, std::string& error) {
                          return CheckDisc(disc, findings, error);
                      });
}

// The same for an image, opened (its trees read and compared) and checked in each round; with
// openOnly, only opened.
double TimeImageCheck(const fs::path& image, int rounds, std::size_t& findingCount, double& cpu,
                      bool openOnly = false) {
    return TimeRounds(rounds, findingCount, cpu,
                      [&](std::vector<Finding>& findings, std::string& error) {
                          const std::unique_ptr<DiscReader> reader =
                              OpenDisc(image.u8string(), error);
                          return reader && (openOnly || CheckDisc(*reader, findings, error));
                      });
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 3;
    if (argc == 3 && std::string(argv[1]) == "--rounds") rounds = std::max(1, std::atoi(argv[2]));

    // 1. 100,000 entries in the root; the browser imports from 4,000 libraries, none of them there.
    const fs::path wide = FreshFolder("entries");
    std::vector<Imported> many;
    for (std::size_t i = 0; i < 4000; ++i) many.push_back({Numbered("lib", i) + ".dll", {"Entry"}});
    Write(wide / names::kBrowser, Image(false, many, {}, 0));
    for (std::size_t i = 1; i < 100000; ++i) Write(wide / (Numbered("page", i) + ".htm"), "");
    std::string startPage = "<!DOCTYPE html>\n<html><body>\n";
    for (std::size_t i = 1; i <= 1000; ++i) {
        startPage += "<a href=\"../../" + Numbered("PAGE", i * 97) + ".HTM\">" + std::to_string(i) +
                 "</a>\n";
    }
    fs::create_directories(wide / "lang" / "Eng");
    Write(wide / "lang" / "Eng" / names::kStartPage, startPage + "</body></html>\n");
    std::size_t findings = 0;
    double cpu = 0;
    const char* const row = "%-52s %6.2f s %6.2f s  %zu findings\n";
    std::printf("disckit check, median of %d rounds%19s wall     CPU\n", rounds, "");
    const double entries = TimeCheck(wide, rounds, findings, cpu);
    std::printf(row, "100,000 root entries, 4,000 libraries, 1,000 pages", entries, cpu,
                findings);
    fs::remove_all(wide);

    // 2. A 1 MB browser importing 4,000 entry points from a library that exports 50,000.
    const fs::path big = FreshFolder("exports");
    std::vector<std::string> exported;
    for (std::size_t i = 0; i < 50000; ++i) exported.push_back(Numbered("Function", i));
    Imported wanted{"Big.dll", {}};
    for (std::size_t i = 0; i < 4000; ++i) wanted.names.push_back(exported[(i * 12) % 50000]);
    Write(big / "Big.dll", Image(true, {}, exported, 0));
    Write(big / names::kBrowser, Image(false, {wanted}, {}, 1u << 20));
    const double lookups = TimeCheck(big, rounds, findings, cpu);
    std::printf(row, "1 MB program, 4,000 of a library's 50,000 exports", lookups, cpu, findings);
    std::vector<Imported> split;
    for (const std::string& name : wanted.names) split.push_back({"Big.dll", {name}});
    Write(big / names::kBrowser, Image(false, split, {}, 1u << 20));
    const double again = TimeCheck(big, rounds, findings, cpu);
    std::printf(row, "the same, 4,000 import entries naming the library", again, cpu, findings);
    fs::remove_all(big);

    // 3. An image whose root lists 50,000 folders after 100,000 files.
    const fs::path pressed = FreshFolder("image");
    isowriter::Node plain = isowriter::Folder("", {}), names = isowriter::Folder("", {});
    for (std::size_t i = 0; i < 100000; ++i) {
        plain.children.push_back(isowriter::File(isowriter::Plain(Numbered("P", i) + ".HTM"), ""));
        names.children.push_back(isowriter::File(isowriter::Joliet(Numbered("page", i) + ".htm"),
                                                 ""));
    }
    for (std::size_t i = 0; i < 50000; ++i) {
        plain.children.push_back(isowriter::Folder(Numbered("Z", i), {}));
        names.children.push_back(isowriter::Folder(isowriter::Joliet(Numbered("zone", i)), {}));
    }
    const fs::path image = pressed / "folders-after-files.iso";
    Write(image, isowriter::Image(plain, &names));
    const double folders = TimeImageCheck(image, rounds, findings, cpu);
    std::printf(row, "image: 50,000 folders after 100,000 files", folders, cpu, findings);
    const double opened = TimeImageCheck(image, rounds, findings, cpu, true);
    std::printf(row, "  of which reading and comparing its two trees", opened, cpu, findings);
    fs::remove_all(pressed);

    // 4. A resource tree of 128 KB that lists 64 million entries.
    const fs::path fanned = FreshFolder("resources");
    Write(fanned / names::kLauncher, kittest::FanOutImage(8000, 8000));
    // Milliseconds matter here: these end at the reader's bounds.
    const char* const fine = "%-52s %6.3f s %6.3f s  %zu findings\n";
    const double resources = TimeCheck(fanned, rounds, findings, cpu);
    std::printf(fine, "Start.exe's resource tree fanned out 8,000 x 8,000", resources, cpu,
                findings);
    Write(fanned / names::kLauncher, kittest::FanOutImage(8000, 8000, 1000));
    const double named = TimeCheck(fanned, rounds, findings, cpu);
    std::printf(fine, "the same, its 8,000 names one of 1,000 units", named, cpu, findings);
    Write(fanned / names::kLauncher, kittest::FanOutImage(8000, 8000));
    std::vector<double> seconds, cpuSeconds;
    int code = 0;
    std::string refusal;
    for (int round = 0; round < rounds; ++round) {
        const fs::path source = FreshFolder("build-source");
        std::ostringstream out, err;
        const auto start = std::chrono::steady_clock::now();
        const std::clock_t cpuStart = std::clock();
        const fs::path built = source.parent_path() / (source.filename().u8string() + "-out");
        code = RunBuild({source.u8string(), "--out", built.u8string(), "--launcher",
                         (fanned / names::kLauncher).u8string()},
                        out, err);
        seconds.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        cpuSeconds.push_back(static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC);
        refusal = err.str();
        fs::remove_all(source);
        fs::remove_all(built);
    }
    std::sort(seconds.begin(), seconds.end());
    std::sort(cpuSeconds.begin(), cpuSeconds.end());
    std::printf("\ndisckit build, median of %d rounds%21s wall     CPU\n", rounds, "");
    std::printf("%-52s %6.3f s %6.3f s  exit code %d\n", "--launcher: the 8,000 x 8,000 Start.exe",
                seconds[seconds.size() / 2], cpuSeconds[cpuSeconds.size() / 2], code);
    std::printf("  %s", refusal.c_str());
    fs::remove_all(fanned);

    // 5. Pages: 1,000 linked pages of 100 links each, and the hostile ones beside them.
    const fs::path paged = FreshFolder("pages");
    const fs::path eng = paged / "lang" / "Eng";
    fs::create_directories(eng / "img");
    std::string welcome = "<!DOCTYPE html>\n<html><head><link rel=stylesheet href=site.css></head>"
                          "<body>\n<a href=big.htm>b</a> <a href=deep.htm>d</a> "
                          "<a href=many.htm>m</a>\n";
    for (std::size_t i = 0; i < 1000; ++i) {
        welcome += "<a href=\"" + Numbered("p", i) + ".htm\">" + std::to_string(i) + "</a>\n";
        std::string page = "<!DOCTYPE html>\n<html><head><link rel=stylesheet href=SITE.CSS>"
                           "</head><body>\n";
        for (std::size_t k = 0; k < 100; ++k) {
            const std::size_t to = (i * 31 + k * 7) % 1000;
            page += k % 3 == 0 ? "<img src=\"img/" + Numbered("i", to) + ".png\">\n"
                               : "<p><a href=\"" + Numbered("P", to) + ".htm#s" +
                                     std::to_string(k) + "\">link</a></p>\n";
        }
        Write(eng / (Numbered("p", i) + ".htm"), page + "</body></html>\n");
        if (i % 10) Write(eng / "img" / (Numbered("i", i) + ".png"), "png");
    }
    Write(eng / names::kStartPage, welcome + "</body></html>\n");
    Write(eng / "site.css", "@import 'print.css';\nbody { background: url(img/i00001.png) }\n");
    Write(eng / "print.css", "p { color: black }\n");
    Write(eng / "big.htm", "<a href=x.htm>x</a>");
    fs::resize_file(eng / "big.htm", 40u << 20);
    std::string deepPage, manyLinks;
    for (int i = 0; i < 20000; ++i) deepPage += "<div><a href=\"gone.htm\">";
    for (int i = 0; i < 10000; ++i) manyLinks += "<a href=\"Welcome.htm\">w</a>\n";
    Write(eng / "deep.htm", deepPage);
    Write(eng / "many.htm", manyLinks);
    std::printf("\ndisckit check, median of %d rounds%19s wall     CPU\n", rounds, "");
    const double pages = TimeCheck(paged, rounds, findings, cpu);
    std::printf(row, "1,000 pages of 100 links, 40 MB, 20,000 deep", pages, cpu, findings);
    fs::remove_all(paged);
    return 0;
}
