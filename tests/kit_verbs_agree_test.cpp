// check and simulate tell one truth: on each faulty copy of the sample disc, every system and
// language for which check reports an error sees no clean browser-running in simulate, and the
// sample disc itself runs cleanly wherever it is not refused.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "KitCheckDisc.h"
#include "kit/Verbs.h"
#include "kit/check/CheckDisc.h"
#include "kit/simulate/Simulation.h"

namespace {

using kittest::DiscCopy;

// The subsystem field of a program image, as if it had been linked for another one.
void SetSubsystem(DiscCopy& disc, const std::string& relative, std::uint16_t subsystem) {
    std::string bytes = kittest::ReadBytes(disc / relative);
    const std::size_t header = static_cast<unsigned char>(bytes[0x3C]) |
                               static_cast<std::size_t>(static_cast<unsigned char>(bytes[0x3D])) << 8;
    const std::size_t at = header + 4 + 20 + 68;  // signature, file header, optional header's field
    bytes[at] = static_cast<char>(subsystem & 0xFF);
    bytes[at + 1] = static_cast<char>(subsystem >> 8);
    disc.Write(relative, bytes);
}

struct FaultyDisc {
    const char* name;
    std::function<void(DiscCopy&)> breakIt;
    const char* error;        // the error check reports
    const char* onlyFolder;   // the language folder whose systems it concerns; null: all
    const char* system;       // one run of the verb, whose output tells why it is not clean
    const char* lang;
    const char* said;
};

const FaultyDisc kFaultyDiscs[] = {
    {"missing start page", [](DiscCopy& d) { d.Remove("lang/DEU/Welcome.htm"); },
     "start-page-missing", "DEU", "8.1", "de-DE", "Fault     the browser's start page D:\\lang\\DEU\\Welcome.htm is not there"},
    {"64-bit browser", [](DiscCopy& d) { d.SetMachine("Panoview.exe", 0x8664); },
     "browser-not-x86-32", nullptr, "7", "en-US", "loops-forever: the browser (lang\\Eng) never shows up as PANOVIEW.EXE (Windows cannot start it:"},
    {"console browser", [](DiscCopy& d) { SetSubsystem(d, "Panoview.exe", 3); }, "browser-not-gui",
     nullptr, "10-x64", "en-US", "Fault     the browser is a console program"},
    {"control that cannot load", [](DiscCopy& d) { d.SetMachine("Discpane.ocx", 0x01C4); },
     "control-not-x86-32", nullptr, "11-x64", "fr-FR", "Fault     regsvr32 cannot register D:\\Discpane.ocx: it is built for"},
};

// Every cell of the matrix that runs the browser on the sample disc; the faulty discs' cells are
// held against these.
struct Matrices {
    Matrix matrix;
    std::vector<Finding> findings;
};

Matrices CheckAndSimulate(const DiscCopy& disc) {
    Matrices m;
    std::vector<ImageFacts> images;
    std::string error;
    EXPECT_TRUE(CheckDisc(disc.Root(), m.findings, error, &images)) << error;
    const SimDisc sim(disc.Root());
    m.matrix = RunMatrix(SimConfig(), false, sim, &images);
    return m;
}

bool Clean(const MatrixCell& cell) {
    return cell.result == SimResult::BrowserRunning && cell.faults == 0;
}

TEST(VerbsAgree, WhereCheckReportsAnErrorSimulateIsNeverCleanlyRunning) {
    if (!kittest::HaveSampleDisc()) GTEST_SKIP() << kittest::SkipReason();
    DiscCopy sample;
    const Matrices good = CheckAndSimulate(sample);
    std::size_t running = 0;
    for (const MatrixRow& row : good.matrix.rows) {
        for (const MatrixCell& cell : row.cells) {
            EXPECT_TRUE(Clean(cell) || cell.result == SimResult::Refused) << row.profile;
            running += Clean(cell);
        }
    }
    ASSERT_GT(running, 0u);

    for (const FaultyDisc& faulty : kFaultyDiscs) {
        SCOPED_TRACE(faulty.name);
        DiscCopy disc;
        faulty.breakIt(disc);
        const Matrices bad = CheckAndSimulate(disc);
        bool reported = false;
        for (const Finding& f : bad.findings) {
            reported |= f.kind->code == faulty.error && f.kind->severity == Severity::Error;
        }
        EXPECT_TRUE(reported) << faulty.error;
        for (std::size_t r = 0; r < bad.matrix.rows.size(); ++r) {
            for (std::size_t k = 0; k < bad.matrix.rows[r].cells.size(); ++k) {
                // The cells where the sample runs and the fault lies on the way.
                if (!Clean(good.matrix.rows[r].cells[k])) continue;
                if (faulty.onlyFolder && good.matrix.rows[r].cells[k].folder != faulty.onlyFolder) {
                    continue;
                }
                EXPECT_FALSE(Clean(bad.matrix.rows[r].cells[k]))
                    << bad.matrix.rows[r].profile << " " << bad.matrix.languages[k].label;
            }
        }
        std::ostringstream out, err;
        RunSimulate({disc.Root().u8string(), "--system", faulty.system, "--lang", faulty.lang}, out,
                    err);
        EXPECT_NE(out.str().find(faulty.said), std::string::npos) << out.str() << err.str();
    }
}

}  // namespace
