// disckit build and its resource writer: a branded Start.exe differs from the stock one in its
// resources alone, damaged images give a problem and never a crash, and every refusal of the
// verb is one line, exit code 2, and nothing written.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <sstream>

#include "KitCheckDisc.h"
#include "PeFanOut.h"
#include "kit/Verbs.h"
#include "kit/check/CheckIdentity.h"
#include "kit/disc/LittleEndian.h"
#include "kit/disc/PeImage.h"
#include "kit/disc/PeResources.h"

namespace {

using kittest::DiscCopy;
using kittest::HaveSampleDisc;
using kittest::ReadBytes;
using kittest::SampleDisc;
using kittest::SkipReason;
using kittest::WriteBytes;
namespace fs = std::filesystem;

// An icon file of a 16-pixel bitmap and a 256-pixel PNG (whose pixels nothing here decodes).
std::string TestIcon() {
    std::string bitmap(40 + 16 * 16 * 4 + 16 * 4, '\x11');
    Put32(bitmap, 0, 40);
    Put32(bitmap, 4, 16);
    Put32(bitmap, 8, 32);
    const std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + std::string(60, '\x22');
    std::string file("\0\0\1\0\2\0", 6);
    std::string entries(32, '\0');
    entries[0] = entries[1] = 16;
    entries[4] = 1;
    entries[6] = 32;
    Put32(entries, 8, static_cast<std::uint32_t>(bitmap.size()));
    Put32(entries, 12, 38);
    entries[20] = 1;
    entries[22] = 32;
    Put32(entries, 24, static_cast<std::uint32_t>(png.size()));
    Put32(entries, 28, static_cast<std::uint32_t>(38 + bitmap.size()));
    return file + entries + bitmap + png;
}

// Section name -> raw bytes, for every section.
std::map<std::string, std::string> Sections(const std::string& image) {
    std::map<std::string, std::string> out;
    auto u32 = [&](std::size_t at) {
        std::uint32_t v = 0;
        for (int i = 3; i >= 0; --i)
            v = v << 8 | static_cast<std::uint8_t>(image[at + static_cast<std::size_t>(i)]);
        return v;
    };
    const std::uint32_t pe = u32(0x3C);
    const std::size_t count = static_cast<std::uint8_t>(image[pe + 6]);
    const std::size_t table = pe + 24 + static_cast<std::size_t>(
                                            static_cast<std::uint8_t>(image[pe + 20]) |
                                            static_cast<std::uint8_t>(image[pe + 21]) << 8);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t h = table + 40 * i;
        std::string name = image.substr(h, 8);
        name.resize(std::strlen(name.c_str()));
        out[name] = image.substr(u32(h + 20), u32(h + 16));
    }
    return out;
}

const Resource* Find(const std::vector<Resource>& resources, std::uint16_t type) {
    for (const Resource& r : resources)
        if (!r.type.named && r.type.number == type) return &r;
    return nullptr;
}

std::string Brand(const std::string& stock, const VersionTexts& texts, const std::string& icon) {
    std::vector<Resource> resources, kept;
    std::string problem, version, out;
    EXPECT_TRUE(ReadPeResources(stock, resources, problem)) << problem;
    for (const Resource& r : resources)
        if (r.type.number != kResourceVersion && r.type.number != kResourceIcon &&
            r.type.number != kResourceGroupIcon)
            kept.push_back(r);
    EXPECT_TRUE(MakeVersionResource(texts, version, problem)) << problem;
    kept.push_back({{false, kResourceVersion, {}}, {false, 1, {}}, 0x409, 0, version});
    std::vector<IconImage> images;
    EXPECT_TRUE(ParseIconFile(icon, images, problem)) << problem;
    AddIconResources(images, 1, 1, 0x409, kept);
    EXPECT_TRUE(ReplacePeResources(stock, kept, out, problem)) << problem;
    return out;
}

TEST(Brand, OnlyTheResourcesAndTheirHeaderFieldsChange) {
    if (!HaveSampleDisc()) GTEST_SKIP() << SkipReason();
    const std::string stock = ReadBytes(SampleDisc() / "Start.exe");
    VersionTexts texts;
    texts.version[0] = 7;
    texts.version[3] = 65535;
    texts.company = "Acme Drivers GmbH";
    texts.product =
        "Acme S\xC3\xBC"
        "d \xF0\x9F\x92\xBF";  // beyond the first 64K too
    texts.originalFilename = "Start.exe";
    const std::string branded = Brand(stock, texts, TestIcon());

    const auto before = Sections(stock), after = Sections(branded);
    ASSERT_EQ(before.size(), after.size());
    for (const auto& section : before) {
        if (section.first == ".rsrc") continue;
        EXPECT_EQ(section.second, after.at(section.first)) << section.first;
    }
    PeImage a, b;
    std::string problem;
    MemoryBytes stockBytes(stock), brandedBytes(branded);
    ASSERT_TRUE(ReadPeImage(stockBytes, a, problem));
    ASSERT_TRUE(ReadPeImage(brandedBytes, b, problem)) << problem;
    ASSERT_EQ(a.imports.size(), b.imports.size());
    for (std::size_t i = 0; i < a.imports.size(); ++i)
        EXPECT_EQ(a.imports[i].names, b.imports[i].names);

    std::vector<Resource> stockResources, resources;
    ASSERT_TRUE(ReadPeResources(stock, stockResources, problem));
    ASSERT_TRUE(ReadPeResources(branded, resources, problem)) << problem;
    ASSERT_NE(Find(resources, kResourceManifest), nullptr);
    EXPECT_EQ(Find(resources, kResourceManifest)->data,
              Find(stockResources, kResourceManifest)->data);
    ASSERT_NE(Find(resources, kResourceGroupIcon), nullptr);
    EXPECT_EQ(Find(resources, kResourceGroupIcon)->data.size(), 6u + 2 * 14);
    std::uint16_t version[4];
    std::vector<std::pair<std::string, std::string>> strings;
    ASSERT_TRUE(ReadVersionResource(Find(resources, kResourceVersion)->data, version, strings));
    EXPECT_EQ(std::vector<std::uint16_t>(version, version + 4),
              (std::vector<std::uint16_t>{7, 0, 0, 65535}));
    const std::map<std::string, std::string> map(strings.begin(), strings.end());
    EXPECT_EQ(map.at("CompanyName"), texts.company);
    EXPECT_EQ(map.at("ProductName"), texts.product);
    EXPECT_EQ(map.at("FileVersion"), "7.0.0.65535");
    EXPECT_EQ(map.at("OriginalFilename"), "Start.exe");
    // Branding again with the same identity gives the same bytes.
    EXPECT_EQ(Brand(branded, texts, TestIcon()), branded);
}

TEST(Brand, DamagedImagesGiveAProblemNotACrash) {
    if (!HaveSampleDisc()) GTEST_SKIP() << SkipReason();
    std::string bytes = ReadBytes(SampleDisc() / "Start.exe");
    std::vector<Resource> resources;
    std::string problem, out;
    ASSERT_TRUE(ReadPeResources(bytes, resources, problem));
    const auto rsrc = Sections(bytes).at(".rsrc");
    const std::size_t rsrcAt = bytes.find(rsrc.substr(0, 64));
    for (std::size_t size = 0; size < bytes.size(); size += 509) {
        const std::string cut = bytes.substr(0, size);
        std::vector<Resource> r;
        if (!ReadPeResources(cut, r, problem)) {
            EXPECT_FALSE(problem.empty());
        }
        if (!ReplacePeResources(cut, resources, out, problem)) {
            EXPECT_FALSE(problem.empty());
        }
    }
    std::mt19937 random(20261208);
    for (int variant = 0; variant < 2000; ++variant) {
        std::vector<std::pair<std::size_t, char>> saved;
        for (int i = 0, n = 1 + static_cast<int>(random() % 6); i < n; ++i) {
            // The headers and the resource tree, where the writer and reader look.
            const std::size_t at = random() % 2 ? random() % 1024 : rsrcAt + random() % 512;
            saved.emplace_back(at, bytes[at]);
            bytes[at] = static_cast<char>(random() & 0xFF);
        }
        std::vector<Resource> read;
        if (ReadPeResources(bytes, read, problem)) {
            EXPECT_LE(read.size(), 4096u);
            if (ReplacePeResources(bytes, read, out, problem)) {
                std::vector<Resource> again;
                EXPECT_TRUE(ReadPeResources(out, again, problem)) << problem;
                EXPECT_EQ(again.size(), read.size());
            }
        } else {
            EXPECT_FALSE(problem.empty());
        }
        for (auto it = saved.rbegin(); it != saved.rend(); ++it) bytes[it->first] = it->second;
    }
}

// Directories may be shared, so a tree of a few kilobytes can list billions of entries: the walk
// counts what it meets and stops at its bounds, whatever the tree's shape.
TEST(Brand, ASharedResourceTreeIsWalkedOnlyUpToTheBounds) {
    const struct {
        std::uint16_t types, names, nameUnits;
        bool read;
    } rows[] = {
        {1, 1, 0, true},
        {200, 200, 0, true},    // 40,200 entries walked
        {255, 256, 0, true},    // 255 + 255 x 256 = 65,535: the last one within the bound
        {256, 256, 0, false},   // 65,792
        {300, 300, 0, false},
        {8000, 8000, 0, false},  // 64 million: what made the walk take many seconds
        {65535, 1, 0, false},    // one directory past its bound
        {1, static_cast<std::uint16_t>(kMaxResourceDirectoryEntries), 0, true},
        {1, static_cast<std::uint16_t>(kMaxResourceDirectoryEntries + 1), 0, false},
        // One long name shared by every entry: 4 x 65,535 units are within the bound, 5 not.
        {1, 4, 65535, true},
        {1, 5, 65535, false},
        {8000, 8000, 1000, false},
    };
    for (const auto& row : rows) {
        std::vector<Resource> resources(1);
        std::string problem;
        const std::string image = kittest::FanOutImage(row.types, row.names, row.nameUnits);
        EXPECT_EQ(ReadPeResources(image, resources, problem), row.read)
            << row.types << " x " << row.names;
        EXPECT_TRUE(resources.empty());  // an empty language directory holds no resource
        EXPECT_EQ(problem, row.read ? "" : kResourceTreeTooLarge) << row.types << " x " << row.names;
        ImageIdentity identity;
        EXPECT_EQ(ReadImageIdentity(image, identity), row.read);
        EXPECT_EQ(identity.resourcesTooLarge, !row.read);
    }
}

TEST(Brand, VersionNumbersAndIconFiles) {
    const std::pair<const char*, bool> versions[] = {
        {"1.2.3.4", true},   {"0.0.0.0", true},       {"65535.65535.65535.65535", true},
        {"1.2.3", false},    {"1.2.3.4.5", false},    {"1.2.3.65536", false},
        {"1.2.3.-4", false}, {"1..3.4", false},       {"1.2.3.4 ", false},
        {"", false},         {"0000001.2.3.4", false}};
    for (const auto& row : versions) {
        std::uint16_t v[4];
        EXPECT_EQ(ParseVersionNumbers(row.first, v), row.second) << row.first;
    }
    std::vector<IconImage> images;
    std::string problem;
    ASSERT_TRUE(ParseIconFile(TestIcon(), images, problem)) << problem;
    EXPECT_EQ(images.size(), 2u);
    const std::string good = TestIcon();
    std::string noImages = good, wrongType = good, outside = good, notBitmap = good;
    noImages[4] = 0;
    wrongType[2] = 2;  // a cursor
    Put32(outside, 6 + 12, static_cast<std::uint32_t>(good.size()));
    Put32(notBitmap, 38 + 4, 17);  // says 16 pixels in the directory, 17 in the bitmap
    for (const std::string& bad : {std::string(), std::string("GIF89a"), noImages, wrongType,
                                   outside, notBitmap, good.substr(0, 30)}) {
        EXPECT_FALSE(ParseIconFile(bad, images, problem));
        EXPECT_FALSE(problem.empty());
    }
}

struct BuildRun {
    int code;
    std::string out, err;
};

BuildRun Build(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int code = RunBuild(args, out, err);
    return {code, out.str(), err.str()};
}

TEST(Build, MakesTheDiscFromTheAuthorsFolder) {
    if (!HaveSampleDisc()) GTEST_SKIP() << SkipReason();
    DiscCopy source;
    const fs::path out =
        source.Root().parent_path() / (source.Root().filename().u8string() + "-out");
    const std::string launcher = (SampleDisc() / "Start.exe").u8string();
    const BuildRun run =
        Build({source.Root().u8string(), "--out", out.u8string(), "--launcher", launcher,
               "--company", "Acme", "--label", "ACME_DISC", "--version", "3.1.4.1"});
    EXPECT_EQ(run.code, kExitClean) << run.err;
    // The folder's Start.exe is the stock launcher itself: replacing it loses nothing. Its
    // autorun.inf is its own (another label, Unix line ends), and is lost.
    EXPECT_EQ(run.err.find("Start.exe is replaced"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("warning: the folder's own autorun.inf is replaced"), std::string::npos);
    EXPECT_EQ(ReadBytes(out / "autorun.inf"),
              "[autorun]\r\nopen=Start.exe\r\nicon=Start.exe,0\r\nlabel=ACME_DISC\r\n");
    EXPECT_EQ(ReadBytes(out / "Panoview.exe"), ReadBytes(source.Root() / "Panoview.exe"));
    EXPECT_EQ(ReadBytes(out / "lang" / "DEU" / "Welcome.htm"),
              ReadBytes(source.Root() / "lang" / "DEU" / "Welcome.htm"));
    std::vector<Resource> resources;
    std::string problem;
    ASSERT_TRUE(ReadPeResources(ReadBytes(out / "Start.exe"), resources, problem)) << problem;
    std::uint16_t version[4];
    std::vector<std::pair<std::string, std::string>> strings;
    ASSERT_TRUE(ReadVersionResource(Find(resources, kResourceVersion)->data, version, strings));
    EXPECT_EQ(version[0], 3);
    const std::map<std::string, std::string> map(strings.begin(), strings.end());
    EXPECT_EQ(map.at("CompanyName"), "Acme");
    fs::remove_all(out);
}

// What init lays out is the kit's own and goes without a word; a Start.exe or autorun.inf the
// author changed is replaced with a warning, and a project's [check] settings quiet the check.
TEST(Build, WarnsOnlyAboutTheAuthorsOwnLauncherFiles) {
    if (!HaveSampleDisc()) GTEST_SKIP() << SkipReason();
    struct Row {
        const char* change;  // what the author did to the disc init laid out
        std::vector<std::string> warned;
    };
    const Row rows[] = {
        {"nothing", {}},
        {"Start.exe", {"Start.exe"}},
        {"autorun.inf", {"autorun.inf"}},
        {"both", {"Start.exe", "autorun.inf"}},
    };
    const std::string launcher = (SampleDisc() / "Start.exe").u8string();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.change);
        kittest::TempFolder temp;
        const fs::path project = temp.Root() / "atlas";
        std::ostringstream initOut, initErr;
        ASSERT_EQ(RunInit({project.u8string(), "--lang", "de-DE"}, initOut, initErr), kExitClean)
            << initErr.str();
        const std::string change = row.change;
        if (change == "Start.exe" || change == "both")
            WriteBytes(project / "disc" / "Start.exe",
                       ReadBytes(project / "disc" / "Start.exe") + "the author's");
        if (change == "autorun.inf" || change == "both")
            WriteBytes(project / "disc" / "autorun.inf", "[autorun]\r\nopen=Setup.exe\r\n");
        // The check's notes and the missing files init leaves to the author, left out by the
        // project as an author would.
        WriteBytes(project / "disckit.toml",
                   "[disc]\nlanguages = [\"de-DE\"]\n"
                       "[check]\nmin-severity = \"error\"\nignore = [\"browser-missing\", "
                       "\"setup-program-missing\", \"probe-library-missing\", "
                       "\"control-missing\", \"unsigned\"]\n");
        const BuildRun run = Build({project.u8string(), "--out", (temp.Root() / "out").u8string(),
                                    "--launcher", launcher, "--json"});
        EXPECT_EQ(run.code, kExitClean) << run.out << run.err;
        std::string warnings;
        for (const std::string& file : row.warned)
            warnings += std::string(warnings.empty() ? "" : ",") +
                        "\"the folder's own " + file + " is replaced by the kit's\"";
        // The report without its line breaks and indents.
        std::string report;
        for (std::size_t i = 0; i < run.out.size(); ++i) {
            if (run.out[i] != '\n') {
                report += run.out[i];
                continue;
            }
            while (i + 1 < run.out.size() && run.out[i + 1] == ' ') ++i;
        }
        EXPECT_NE(report.find("\"warnings\": [" + warnings + "]"), std::string::npos) << report;
        EXPECT_NE(report.find("\"findings\": []"), std::string::npos) << report;
        EXPECT_TRUE(fs::is_regular_file(temp.Root() / "out" / "lang" / "DEU" / "Welcome.htm"));
        EXPECT_FALSE(fs::exists(temp.Root() / "out" / "LAYOUT.txt"));
        EXPECT_FALSE(fs::exists(temp.Root() / "out" / "disckit.toml"));
    }
}

TEST(Build, TheSameInputsPressTheSameImage) {
    if (!HaveSampleDisc()) GTEST_SKIP() << SkipReason();
    if (std::system("xorriso -version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no xorriso";
    DiscCopy source;
    const std::string base = source.Root().u8string();
    const std::string launcher = (SampleDisc() / "Start.exe").u8string();
    for (const char* run : {"-a", "-b"}) {
        // The second time, every file of the author's folder is an hour older: the image's
        // dates are its own, not the files'.
        if (std::string(run) == "-b") {
            for (const auto& entry : fs::recursive_directory_iterator(source.Root()))
                fs::last_write_time(entry.path(),
                                    fs::last_write_time(entry.path()) - std::chrono::hours(1));
        }
        const BuildRun result = Build({base, "--out", base + run, "--image", base + run + ".iso",
                                       "--launcher", launcher, "--label", "SAME"});
        ASSERT_EQ(result.code, kExitClean) << result.err;
    }
    EXPECT_TRUE(ReadBytes(base + "-a.iso") == ReadBytes(base + "-b.iso"));
    for (const char* run : {"-a", "-b"}) {
        fs::remove_all(base + run);
        fs::remove(base + run + ".iso");
    }
}

TEST(Build, NoImageWhileTheCheckReportsAnErrorUnlessForced) {
    if (!HaveSampleDisc()) GTEST_SKIP() << SkipReason();
    if (std::system("xorriso -version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no xorriso";
    DiscCopy source;
    source.Remove("Panoview.exe");  // an error: the browser is missing
    const std::string base = source.Root().u8string();
    const std::string launcher = (SampleDisc() / "Start.exe").u8string();
    const BuildRun refused = Build(
        {base, "--out", base + "-a", "--image", base + "-a.iso", "--launcher", launcher});
    EXPECT_EQ(refused.code, kExitFindings);
    EXPECT_TRUE(fs::exists(fs::u8path(base + "-a") / "Start.exe"));
    EXPECT_FALSE(fs::exists(fs::u8path(base + "-a.iso")));
    EXPECT_NE(refused.err.find("not pressed while the check reports errors"), std::string::npos);
    const BuildRun forced = Build({base, "--out", base + "-b", "--image", base + "-b.iso",
                                   "--launcher", launcher, "--force"});
    EXPECT_EQ(forced.code, kExitFindings);
    EXPECT_TRUE(fs::exists(fs::u8path(base + "-b.iso")));
    for (const char* run : {"-a", "-b"}) {
        fs::remove_all(base + run);
        fs::remove(base + run + ".iso");
    }
}

TEST(Build, EveryRefusalIsOneLineWithExitCode2AndWritesNothing) {
    if (!HaveSampleDisc()) GTEST_SKIP() << SkipReason();
    DiscCopy source;
    const fs::path base =
        source.Root().parent_path() / (source.Root().filename().u8string() + "-x");
    fs::create_directories(base);
    const fs::path out = base / "out", full = base / "full", icon = base / "bad.ico";
    WriteBytes(full / "file", "x");
    WriteBytes(icon, "GIF89a not an icon");
    WriteBytes(base / "key.pem", "not a key");
    // A launcher whose resource tree is walked 8,000 x 8,000 times: refused at once.
    WriteBytes(base / "fanned.exe", kittest::FanOutImage(8000, 8000));
    const std::string src = source.Root().u8string(), o = out.u8string();
    const std::string launcher = (SampleDisc() / "Start.exe").u8string();
    const std::vector<std::vector<std::string>> refusals = {
        {src, "--out", full.u8string()},
        {src, "--out", o, "--icon", icon.u8string()},
        {src, "--out", o, "--icon", (base / "missing.ico").u8string()},
        {src, "--out", o, "--version", "1.2.3"},
        {src, "--out", o, "--version", "1.2.3.65536"},
        {src, "--out", o, "--label", std::string(33, 'A')},
        {src, "--out", o, "--sign-cert", (base / "key.pem").u8string()},
        {src, "--out", o, "--sign-pkcs12", (base / "key.pem").u8string()},
        {src, "--out", o, "--sign-all"},
        {src, "--out", o, "--company", "bad\x01text"},
        {src, "--out", o, "--product", "\xC3"},
        {src, "--out", o, "--launcher", icon.u8string()},
        {src, "--out", o, "--launcher", (base / "fanned.exe").u8string()},
        {src, "--out", (source.Root() / "inside").u8string()},
        {(base / "missing").u8string(), "--out", o},
        {src},
    };
    for (std::vector<std::string> args : refusals) {
        if (std::find(args.begin(), args.end(), "--launcher") == args.end())
            args.insert(args.end(), {"--launcher", launcher});
        const BuildRun run = Build(args);
        std::string line = args.size() > 3 ? args[3] : args[0];
        EXPECT_EQ(run.code, kExitUsage) << line;
        EXPECT_EQ(run.err.compare(0, 15, "disckit build: "), 0) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_FALSE(fs::exists(out)) << line;
        EXPECT_EQ(std::distance(fs::directory_iterator(base), fs::directory_iterator()), 4) << line;
    }
    fs::remove_all(base);
}

}  // namespace

namespace {

TEST(Identity, Sha256GivesTheStandardsDigests) {
    auto hex = [](const std::string& raw) {
        std::string out;
        for (char c : raw) {
            static const char digits[] = "0123456789abcdef";
            out += digits[static_cast<unsigned char>(c) >> 4];
            out += digits[static_cast<unsigned char>(c) & 15];
        }
        return out;
    };
    EXPECT_EQ(hex(Sha256("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hex(Sha256("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hex(Sha256(std::string(1000000, 'a'))),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

}  // namespace

namespace {

// A resource tree of many entries that all name one large block: reading it must stop at what a
// program holds instead of copying the block for every entry.
TEST(Brand, ManyEntriesSharingOneBlockEndAtTheReadersLimit) {
    if (!HaveSampleDisc()) GTEST_SKIP() << SkipReason();
    std::string image = ReadBytes(SampleDisc() / "Start.exe");
    const auto sections = Sections(image);
    const std::string& stock = sections.at(".rsrc");
    const std::size_t at = image.find(stock.substr(0, 64));
    ASSERT_NE(at, std::string::npos);
    // The root: one type with 3000 names, each pointing at the same language directory, whose
    // one data entry is the whole section: 3000 copies of it would be more than 64 MiB.
    std::vector<Resource> resources;
    std::string problem;
    ASSERT_TRUE(ReadPeResources(image, resources, problem));
    const std::uint32_t rva = [&] {
        std::uint32_t v = 0;
        const std::size_t pe = static_cast<std::size_t>(static_cast<std::uint8_t>(image[0x3C]) |
                                                        static_cast<std::uint8_t>(image[0x3D]) << 8);
        for (int i = 3; i >= 0; --i)
            v = v << 8 |
                static_cast<std::uint8_t>(image[pe + 24 + 96 + 16 + static_cast<std::size_t>(i)]);
        return v;
    }();
    std::string tree(stock.size(), '\0');
    const std::uint32_t entries = 3000, languages = 16 + 8;
    auto put16 = [&](std::size_t p, std::uint16_t v) {
        tree[p] = static_cast<char>(v & 0xFF);
        tree[p + 1] = static_cast<char>(v >> 8);
    };
    ASSERT_GT(tree.size(), 16u + 8 + 16 + 8u * entries + 16);
    put16(14, 1);                              // root: one type
    Put32(tree, 16, 3);                        // RT_ICON
    Put32(tree, 20, 0x80000000u | languages);  // its names
    put16(languages + 14, static_cast<std::uint16_t>(entries));
    const std::uint32_t language = languages + 16 + 8 * entries, dataEntry = language + 24;
    for (std::uint32_t i = 0; i < entries; ++i) {
        Put32(tree, languages + 16 + 8 * i, i + 1);
        Put32(tree, languages + 20 + 8 * i, 0x80000000u | language);
    }
    put16(language + 14, 1);
    Put32(tree, language + 16, 0x409);
    Put32(tree, language + 20, dataEntry);
    Put32(tree, dataEntry, rva);
    Put32(tree, dataEntry + 4, static_cast<std::uint32_t>(stock.size()));
    image.replace(at, tree.size(), tree);
    EXPECT_FALSE(ReadPeResources(image, resources, problem));
    EXPECT_EQ(problem, "it has more resources than a program has");
}

}  // namespace
