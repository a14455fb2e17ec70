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

namespace {

namespace fs = std::filesystem;
using kittest::DiscCopy;

bool HaveXorriso() { return std::system("xorriso -version >/dev/null 2>&1") == 0; }

#define REQUIRE_IMAGES()                                                           \
    if (!kittest::HaveSampleDisc()) GTEST_SKIP() << kittest::SkipReason();         \
    if (!HaveXorriso()) GTEST_SKIP() << "no xorriso"

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

// Everything after the disc's own name, which differs between folder and image.
std::string WithoutLabel(const std::string& text, const std::string& label) {
    std::string out = text;
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

}  // namespace
