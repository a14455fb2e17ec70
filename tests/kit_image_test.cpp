// check and simulate on an ISO 9660 image: the same findings and outcomes as on the folder it
// was pressed from, names as Windows reads them, and hostile images read safely.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "KitCheckDisc.h"
#include "kit/Verbs.h"
#include "kit/check/CheckDisc.h"
#include "kit/disc/DiscReader.h"
#include "kit/disc/IsoImage.h"
#include "kit/simulate/Simulation.h"
#include "tests/IsoWriter.h"

namespace {

namespace fs = std::filesystem;
using kittest::DiscCopy;

bool HaveXorriso() { return std::system("xorriso -version >/dev/null 2>&1") == 0; }

#define REQUIRE_IMAGES()                                                           \
    if (!kittest::HaveSampleDisc()) GTEST_SKIP() << kittest::SkipReason();         \
    if (!HaveXorriso()) GTEST_SKIP() << "no xorriso"

// An image written by the tests' own writer, in a file removed at the end of the test.
class ImageFile {
public:
    explicit ImageFile(const std::string& bytes) : path_(kittest::FreshTempPath().concat(".iso")) {
        kittest::WriteBytes(path_, bytes);
    }
    ~ImageFile() {
        std::error_code ec;
        fs::remove(path_, ec);
    }
    std::string Name() const { return path_.u8string(); }

private:
    fs::path path_;
};

// The folder pressed as image tools press a disc; joliet adds the names Windows shows.
fs::path Press(const fs::path& folder, bool joliet) {
    const fs::path image = kittest::FreshTempPath().concat(".iso");
    const std::string command = std::string("xorriso -as mkisofs -quiet ") +
                                (joliet ? "-J -joliet-long -r " : "") + "-o '" + image.string() +
                                "' '" + folder.string() + "' >/dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return image;
}

std::string Say(int (*verb)(const Args&, std::ostream&, std::ostream&), Args args, int& code) {
    std::ostringstream out, err;
    code = verb(args, out, err);
    return out.str() + err.str();
}

// Everything after the disc's own name, which differs between folder and image, and the JSON
// report's identity, which names what was judged (an image's digest and label, a folder's none).
std::string WithoutLabel(const std::string& text, const std::string& label) {
    std::string out = text;
    const std::size_t identity = out.find(",\n  \"identity\": {");
    if (identity != std::string::npos) out.erase(identity, out.find("\n  }", identity) + 4 - identity);
    for (std::size_t at = out.find(label); at != std::string::npos; at = out.find(label)) {
        out.replace(at, label.size(), "DISC");
    }
    return out;
}

TEST(Images, CheckAndSimulateSayOfAnImageWhatTheySayOfItsFolder) {
    REQUIRE_IMAGES();
    DiscCopy disc;
    disc.Remove("lang/DEU/Welcome.htm");
    disc.Write("lang/Eng/\xC3\x9C" "ber uns.htm", "x");
    disc.SetMachine("Gauge.ocx", 0x8664);
    const fs::path image = Press(disc.Root(), true);
    const std::vector<Args> runs = {
        {"--json"},
        {},
        {"--system", "8.1", "--lang", "de-DE"},
        {"--matrix"},
    };
    for (const Args& options : runs) {
        for (auto verb : {RunCheck, RunSimulate}) {
            if (verb == RunCheck && options.size() > 1) continue;
            Args onFolder = {disc.Root().u8string()}, onImage = {image.u8string()};
            onFolder.insert(onFolder.end(), options.begin(), options.end());
            onImage.insert(onImage.end(), options.begin(), options.end());
            int folderCode = 0, imageCode = 0;
            const std::string folderSays = Say(verb, onFolder, folderCode);
            const std::string imageSays = Say(verb, onImage, imageCode);
            EXPECT_EQ(imageCode, folderCode) << imageSays;
            if (imageSays.find("\"identity\"") != std::string::npos) {
                EXPECT_NE(imageSays.find("\"kind\": \"image\",\n      \"sha256\": \""), std::string::npos);
                EXPECT_NE(folderSays.find("\"kind\": \"folder\",\n      \"sha256\": null"), std::string::npos);
            }
            EXPECT_EQ(WithoutLabel(imageSays, image.u8string()),
                      WithoutLabel(folderSays, disc.Root().u8string()));
        }
    }
    fs::remove(image);
}

// Without Joliet names Windows shows the plain ISO 9660 ones, upper case and without ";1": the
// launcher, which folds case, still finds every file.
TEST(Images, APlainIso9660ImageIsReadUnderItsShortNames) {
    REQUIRE_IMAGES();
    const fs::path image = Press(kittest::SampleDisc(), false);
    std::string error;
    const std::unique_ptr<DiscReader> reader = OpenDisc(image.u8string(), error);
    ASSERT_TRUE(reader) << error;
    DiscFolder root;
    ASSERT_TRUE(reader->ListRoot(root, error)) << error;
    std::vector<std::string> names;
    for (const DiscEntry& e : root.Entries()) names.push_back(e.name);
    EXPECT_NE(std::find(names.begin(), names.end(), "START.EXE"), names.end())
        << ::testing::PrintToString(names);
    std::vector<Finding> findings;
    ASSERT_TRUE(CheckDisc(*reader, findings, error)) << error;
    for (const Finding& f : findings) EXPECT_NE(f.kind->severity, Severity::Error) << f.kind->code;
    fs::remove(image);
}

// Damaged and forged images: truncated anywhere, directory sectors overwritten, a file's extent
// pointing past the end. Each gives findings or a reason, never a crash or a hang.
TEST(Images, DamagedImagesGiveAReasonOrFindingsNeverACrash) {
    REQUIRE_IMAGES();
    const fs::path image = Press(kittest::SampleDisc(), true);
    const std::string good = kittest::ReadBytes(image);
    std::vector<std::string> damaged;
    for (std::size_t size : {std::size_t(0), std::size_t(2048 * 16 + 10), std::size_t(2048 * 20),
                             good.size() / 2, good.size() - 2048}) {
        damaged.push_back(good.substr(0, std::min(size, good.size())));
    }
    // Every sector of the descriptors and the directories, filled with one byte value.
    for (std::size_t sector = 16; sector < 40 && (sector + 1) * 2048 <= good.size(); ++sector) {
        for (char fill : {'\x00', '\xFF', '\x7F'}) {
            std::string bytes = good;
            std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(sector * 2048),
                      bytes.begin() + static_cast<std::ptrdiff_t>(sector * 2048 + 2048), fill);
            damaged.push_back(bytes);
        }
    }
    // The extent of Panoview.exe's Joliet record moved far past the end (both byte orders).
    {
        std::string bytes = good;
        const std::string name = std::string("\0P\0a\0n\0o\0v\0i\0e\0w\0.\0e\0x\0e", 24);
        const std::size_t at = bytes.find(name);
        ASSERT_NE(at, std::string::npos);
        const std::size_t record = at - 33;
        for (std::size_t k = 0; k < 4; ++k) bytes[record + 2 + k] = bytes[record + 9 - k] = '\x7F';
        damaged.push_back(bytes);
    }
    for (std::size_t i = 0; i < damaged.size(); ++i) {
        kittest::WriteBytes(image, damaged[i]);
        for (auto verb : {RunCheck, RunSimulate}) {
            int code = 0;
            const std::string said = Say(verb, {image.u8string()}, code);
            EXPECT_TRUE(code == kExitClean || code == kExitFindings || code == kExitUsage)
                << i << ": " << said;
        }
    }
    int code = 0;
    const std::string said = Say(RunCheck, {image.u8string()}, code);
    EXPECT_NE(said.find("browser-invalid  Panoview.exe"), std::string::npos) << said;
    fs::remove(image);
}

using isowriter::File;
using isowriter::Folder;
using isowriter::Joliet;
using isowriter::Node;
using isowriter::Plain;

std::vector<std::string> NamesIn(const DiscFolder& folder) {
    std::vector<std::string> names;
    for (const DiscEntry& e : folder.Entries()) names.push_back(e.name);
    return names;
}

std::vector<std::string> CodesOf(const std::vector<Finding>& findings, const std::string& code) {
    std::vector<std::string> paths;
    for (const Finding& f : findings) {
        if (f.kind->code == code) paths.push_back(f.path);
    }
    return paths;
}

// A Rock Ridge entry shorter than its header, followed by 1,200 bytes without a NUL, once
// overflowed the stack of check and simulate. Each is read within its lengths: the names are
// the Joliet ones, or the plain ones without Joliet. Where the bytes fill the rest of the
// folder's sector they are no records: the image without Joliet is refused with the reason, the
// one with Joliet read, its other tree reported unreadable.
TEST(Images, AShortRockRidgeNameEntryIsReadWithinItsLength) {
    for (bool joliet : {false, true}) {
        for (bool continued : {false, true}) {
            SCOPED_TRACE(::testing::Message() << "joliet " << joliet << ", continued "
                                              << continued);
            const ImageFile image(isowriter::ShortNameEntryImage(joliet, continued));
            std::string error;
            const std::unique_ptr<DiscReader> reader = OpenDisc(image.Name(), error);
            const bool refused = !joliet && !continued;
            for (auto verb : {RunCheck, RunSimulate}) {
                int code = 0;
                const std::string said = Say(verb, {image.Name()}, code);
                if (refused) {
                    EXPECT_EQ(code, kExitUsage) << said;
                    EXPECT_NE(said.find("a damaged record in the image's folder \\"),
                              std::string::npos) << said;
                } else {
                    EXPECT_TRUE(code == kExitClean || code == kExitFindings) << said;
                }
            }
            if (refused) {
                EXPECT_FALSE(reader);
                continue;
            }
            ASSERT_TRUE(reader) << error;
            DiscFolder root;
            ASSERT_TRUE(reader->ListRoot(root, error)) << error;
            const std::vector<std::string> names =
                joliet ? std::vector<std::string>{"Start.exe", "page.htm"}
                       : std::vector<std::string>{"PAGE.HTM", "START.EXE"};
            EXPECT_EQ(NamesIn(root), names);
            const std::size_t notes = reader->Notes().size();
            EXPECT_EQ(notes, joliet && !continued ? 1u : 0u);
        }
    }
}

// Folders listed after a great many files are each read once, in the one pass over the tree
// (the large case is in the benchmark).
TEST(Images, FoldersAfterManyFilesAreAllRead) {
    constexpr int kFiles = 3000, kFolders = 1000;
    Node plain = Folder("", {}), names = Folder("", {});
    for (int i = 0; i < kFiles; ++i) {
        plain.children.push_back(File(Plain("F" + std::to_string(100000 + i) + ".HTM"), ""));
        names.children.push_back(File(Joliet("f" + std::to_string(100000 + i) + ".htm"), ""));
    }
    for (int i = 0; i < kFolders; ++i) {
        const std::string id = "Z" + std::to_string(100000 + i);
        plain.children.push_back(Folder(id, {File(Plain("IN.HTM"), "in")}));
        names.children.push_back(Folder(Joliet(id), {File(Joliet("in.htm"), "in")}));
    }
    for (const Node* joliet : {static_cast<const Node*>(nullptr), static_cast<const Node*>(&names)}) {
        std::string error;
        const std::unique_ptr<DiscReader> reader = OpenIsoImage(
            std::make_unique<MemoryBytes>(isowriter::Image(plain, joliet)), "big.iso", error);
        ASSERT_TRUE(reader) << error;
        DiscFolder root;
        ASSERT_TRUE(reader->ListRoot(root, error)) << error;
        ASSERT_EQ(root.Entries().size(), std::size_t(kFiles + kFolders));
        std::size_t inner = 0;
        for (const DiscEntry& entry : root.Entries()) {
            if (!entry.isDirectory) continue;
            DiscFolder folder;
            ASSERT_TRUE(reader->List(entry, folder, error)) << error;
            ASSERT_EQ(folder.Entries().size(), 1u);
            std::string why;
            const std::unique_ptr<ByteSource> bytes = reader->Open(folder.Entries()[0], why);
            ASSERT_TRUE(bytes) << why;
            char in[2] = {};
            EXPECT_TRUE(bytes->Read(0, in, 2) && std::string(in, 2) == "in");
            ++inner;
        }
        EXPECT_EQ(inner, std::size_t(kFolders));
        std::vector<Finding> findings;
        EXPECT_TRUE(CheckDisc(*reader, findings, error)) << error;
        EXPECT_TRUE(CodesOf(findings, "image-trees-disagree").empty());
    }
}

// Joliet names as Windows shows them (UTF-16, a surrogate without its partner and the bytes no
// name can hold as '?'); plain names upper case, without ";1" and a final dot.
TEST(Images, NamesAreShownAsWindowsShowsThem) {
    const struct {
        std::string id;
        bool joliet;
        std::string shown;
    } cases[] = {
        {Joliet("\xC3\x9C" "ber uns.htm"), true, "\xC3\x9C" "ber uns.htm"},
        {Joliet("\xF0\x9F\x98\x80.htm"), true, "\xF0\x9F\x98\x80.htm"},
        {std::string("\xD8\x3D\0a", 4), true, "?a"},
        {std::string("\xDC\x00\xD8\x3D", 4), true, "??"},
        {std::string("\0a\0/\0\\\0\0", 8), true, "a???"},
        {std::string("\0a\0", 3), true, "a?"},
        {Plain("START.EXE"), false, "START.EXE"},
        {Plain("README."), false, "README"},
        {"lower.txt;1", false, "LOWER.TXT"},
        {"NOVERSION", false, "NOVERSION"},
        {"\xE9T\xC9;1", false, "?T?"},
        {";1", false, "?"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown);
        Node root = Folder("", {File(c.joliet ? Plain("X") : c.id, "x")});
        Node names = Folder("", {File(c.id, "x")});
        std::string error;
        const std::unique_ptr<DiscReader> reader = OpenIsoImage(
            std::make_unique<MemoryBytes>(isowriter::Image(root, c.joliet ? &names : nullptr)),
            "names.iso", error);
        ASSERT_TRUE(reader) << error;
        DiscFolder listed;
        ASSERT_TRUE(reader->ListRoot(listed, error)) << error;
        EXPECT_EQ(NamesIn(listed), std::vector<std::string>{c.shown});
    }
}

// Damaged and forged structures, each refused with a phrase that names the image, or read
// within bounds: a folder that contains itself, one nested past the cap, records shorter than
// their fields, extents past the end.
TEST(Images, ForgedStructuresGiveAReasonNeverACrash) {
    const Node page = File(Plain("PAGE.HTM"), "page");
    std::vector<std::pair<std::string, std::string>> refused;  // image, phrase
    {
        const std::string good = isowriter::Image(Folder("", {page}));
        refused.push_back({good.substr(0, 17 * 2048), "outside the image"});
        refused.push_back({good.substr(0, 16 * 2048 + 100), "not an ISO 9660 image"});
        std::string cut = good;
        cut.resize(cut.size() - 2 * 2048);  // the root folder and the page's sector
        refused.push_back({cut, "outside the image"});
        std::string blocks = good;
        blocks[16 * 2048 + 128] = 0;
        blocks[16 * 2048 + 129] = 4;
        refused.push_back({blocks, "blocks of 1024 bytes"});
        std::string shortRecord = good;
        const std::size_t record = good.find(Plain("PAGE.HTM")) - 33;
        shortRecord[record] = 20;
        refused.push_back({shortRecord, "a damaged record"});
        std::string longName = good;
        longName[record + 32] = static_cast<char>(200);
        refused.push_back({longName, "a damaged record"});
    }
    for (std::size_t i = 0; i < refused.size(); ++i) {
        std::string error;
        EXPECT_FALSE(OpenIsoImage(std::make_unique<MemoryBytes>(refused[i].first), "forged.iso",
                                  error))
            << i;
        EXPECT_NE(error.find("forged.iso"), std::string::npos) << i << ": " << error;
        EXPECT_NE(error.find(refused[i].second), std::string::npos) << i << ": " << error;
    }

    // A folder whose record points back at the root: listed, not entered again.
    Node loop = Folder("LOOP", {});
    loop.sector = 16 + 2;  // the root folder's sector (descriptor, terminator, root)
    loop.size = 2048;
    // 100 levels of folders: read down to the cap, the rest listed but empty.
    Node deep = Folder("D", {page});
    for (int level = 0; level < 100; ++level) deep = Folder("D", {deep});
    // A file pointing past the end, and one recorded in two pieces.
    Node past = File(Plain("PAST.HTM"), "");
    past.sector = 0x7FFFFFFF;
    past.size = 10;
    Node empty = File(Plain("EMPTY.HTM"), "");  // nothing of it is read, wherever it points
    empty.sector = 0x7FFFFFFF;
    Node first = File(Plain("SPLIT.HTM"), "abc");
    first.morePieces = true;
    Node second = File(Plain("SPLIT.HTM"), "defg");
    const std::string image = isowriter::Image(Folder("", {deep, empty, loop, page, past, first, second}));
    std::string error;
    const std::unique_ptr<DiscReader> reader =
        OpenIsoImage(std::make_unique<MemoryBytes>(image), "forged.iso", error);
    ASSERT_TRUE(reader) << error;
    DiscFolder root;
    ASSERT_TRUE(reader->ListRoot(root, error));
    EXPECT_EQ(NamesIn(root), (std::vector<std::string>{"D", "EMPTY.HTM", "LOOP", "PAGE.HTM",
                                                       "PAST.HTM", "SPLIT.HTM"}));
    DiscFolder inLoop;
    EXPECT_TRUE(reader->List(*root.Find("LOOP").entry, inLoop, error));
    EXPECT_TRUE(inLoop.Entries().empty());
    std::size_t levels = 0;
    for (DiscFolder at = root; at.Find("D").entry; ++levels) {
        DiscFolder below;
        ASSERT_TRUE(reader->List(*at.Find("D").entry, below, error)) << error;
        at = below;
    }
    EXPECT_EQ(levels, kMaxImageDepth);
    std::string why;
    EXPECT_FALSE(reader->Open(*root.Find("PAST.HTM").entry, why));
    EXPECT_EQ(why, "its recorded place lies outside the image");
    const std::unique_ptr<ByteSource> nothing = reader->Open(*root.Find("EMPTY.HTM").entry, why);
    ASSERT_TRUE(nothing) << why;
    EXPECT_EQ(nothing->Size(), 0u);
    const std::unique_ptr<ByteSource> split = reader->Open(*root.Find("SPLIT.HTM").entry, why);
    ASSERT_TRUE(split) << why;
    char bytes[7] = {};
    ASSERT_EQ(split->Size(), 7u);
    EXPECT_TRUE(split->Read(0, bytes, 7));
    EXPECT_EQ(std::string(bytes, 7), "abcdefg");
    EXPECT_TRUE(split->Read(2, bytes, 3));
    EXPECT_EQ(std::string(bytes, 3), "cde");
    EXPECT_FALSE(split->Read(5, bytes, 3));
}

// Windows reads the Joliet tree; other readers the ISO 9660 one with its Rock Ridge names.
// Where they lead to other bytes or other files, check says so; where the plain names are
// only shorter, or a deep folder was moved and its place recorded, they agree.
TEST(Images, TreesThatDisagreeAreAFinding) {
    const auto rock = [](const std::string& name) { return isowriter::RockName(name); };
    const auto rockFile = [&](const std::string& id, const std::string& name,
                              const std::string& data) { return File(id, data, rock(name)); };
    const Node fake = File(Joliet("Panoview.exe"), "MZ fake");
    const Node real = rockFile(Plain("PANOVIEW.EXE"), "Panoview.exe", "MZ real");
    const Node page = File(Joliet("Long page name.htm"), "page");
    const Node shortPage = File(Plain("LONG_PAG.HTM"), "page");
    // A folder moved out of the way: its stand-in (CL) and the moved folder itself (RE).
    Node moved = Folder("DEEP", {rockFile(Plain("IN.HTM"), "in.htm", "deep page")},
                        rock("deep") + std::string("RE\x04\x01", 4));
    const struct {
        const char* what;
        Node plain;
        Node joliet;
        std::vector<std::string> disagree;
    } cases[] = {
        {"same name, other bytes", Folder("", {real}), Folder("", {fake}), {"Panoview.exe"}},
        {"only in Joliet", Folder("", {}), Folder("", {fake}), {"Panoview.exe"}},
        {"only in ISO 9660", Folder("", {real, shortPage}), Folder("", {page}), {"Panoview.exe"}},
        {"shortened names", Folder("", {shortPage}), Folder("", {page}), {}},
        {"the same", Folder("", {real}), Folder("", {File(Joliet("Panoview.exe"), "MZ real")}),
         {}},
        {"a moved folder", Folder("", {moved, Folder("A", {})}),
         Folder("", {Folder(Joliet("a"), {Folder(Joliet("deep"),
                                                 {File(Joliet("in.htm"), "deep page")})})}),
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Node plain = c.plain;
        if (std::string(c.what) == "a moved folder") {
            // The stand-in in A points at DEEP's sector, known once the image is laid out.
            const std::string laid = isowriter::Image(plain, &c.joliet);
            const std::size_t dot = laid.find(std::string("DEEP", 4)) - 33;
            const std::uint32_t sector =
                static_cast<std::uint32_t>(static_cast<std::uint8_t>(laid[dot + 2])) |
                static_cast<std::uint32_t>(static_cast<std::uint8_t>(laid[dot + 3])) << 8;
            std::string cl = std::string("CL\x0C\x01", 4) + std::string(8, '\0');
            isowriter::detail::Both32(cl, 4, sector);
            plain.children[1].children.push_back(File(Plain("DEEP"), "", rock("deep") + cl));
        }
        const ImageFile image(isowriter::Image(plain, &c.joliet));
        std::string error;
        const std::unique_ptr<DiscReader> reader = OpenDisc(image.Name(), error);
        ASSERT_TRUE(reader) << error;
        std::vector<Finding> findings;
        ASSERT_TRUE(CheckDisc(*reader, findings, error)) << error;
        EXPECT_EQ(CodesOf(findings, "image-trees-disagree"), c.disagree);
        int code = 0;
        const std::string said = Say(RunCheck, {image.Name()}, code);
        EXPECT_EQ(said.find("image-trees-disagree") != std::string::npos, !c.disagree.empty())
            << said;
        if (!c.disagree.empty()) {
            EXPECT_EQ(code, kExitFindings);
        }
    }
}

}  // namespace
