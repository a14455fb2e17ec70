#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "kit/Help.h"
#include "kit/matrix/TrialMatrix.h"
#include "kit/trial/TrialOptions.h"

namespace {

std::string Line(const Args& args) {
    std::string line;
    for (const std::string& a : args) line += a + ' ';
    return line;
}

TEST(TrialMatrixOptions, AMatrixTakesItsCellsAndItsShare) {
    TrialOptions o;
    std::string error;
    ASSERT_TRUE(ParseTrialArgs({"disc", "--matrix", "--systems", "8-x64, 7-x64,8-x64", "--langs",
                                "de-DE,0x0409", "--jobs", "3", "--shard", "2/5"},
                               o, error))
        << error;
    EXPECT_TRUE(o.matrix);
    ASSERT_EQ(o.systems.size(), 2u);  // a system named twice is one row
    EXPECT_STREQ(o.systems[0]->name, "8-x64");
    EXPECT_STREQ(o.systems[1]->name, "7-x64");
    EXPECT_EQ(o.langs, (std::vector<std::uint16_t>{0x0407, 0x0409}));
    EXPECT_EQ(o.jobs, 3u);
    EXPECT_EQ(o.shard, 2u);
    EXPECT_EQ(o.shards, 5u);
    ASSERT_TRUE(ParseTrialArgs({"disc", "--matrix"}, o, error)) << error;
    EXPECT_TRUE(o.systems.empty() && o.langs.empty());
    EXPECT_EQ(o.jobs, 0u);  // one per processor
    EXPECT_EQ(o.shard, 1u);
    EXPECT_EQ(o.shards, 1u);
}

TEST(TrialMatrixOptions, BadMatrixValuesAreRefusedWithAReason) {
    const std::vector<Args> rows = {
        {"disc", "--matrix", "--shard", "3/2"},
        {"disc", "--matrix", "--shard", "0/2"},
        {"disc", "--matrix", "--shard", "1/0"},
        {"disc", "--matrix", "--shard", "2"},
        {"disc", "--matrix", "--shard", "a/b"},
        {"disc", "--matrix", "--shard", "-1/2"},
        {"disc", "--matrix", "--jobs", "0"},
        {"disc", "--matrix", "--jobs", "65"},
        {"disc", "--matrix", "--jobs", "two"},
        {"disc", "--matrix", "--systems", "7-x64,windows-12"},
        {"disc", "--matrix", "--systems", ","},
        {"disc", "--matrix", "--langs", "de-DE,xx-YY"},
        {"disc", "--matrix", "--langs", "0x1234"},  // a LANGID without a locale name
        {"disc", "--matrix", "--system", "7-x64"},  // one cell is not a matrix
        {"disc", "--matrix", "--lang", "de-DE"},
        {"disc", "--shard", "1/2"},                 // the matrix's options need it
        {"disc", "--jobs", "2"},
        {"disc", "--systems", "7-x64"},
        {"disc", "--langs", "de-DE"},
    };
    for (const Args& args : rows) {
        TrialOptions options;
        std::string error;
        EXPECT_FALSE(ParseTrialArgs(args, options, error)) << Line(args);
        EXPECT_FALSE(error.empty()) << Line(args);
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

TEST(TrialMatrixShards, EveryCellIsInExactlyOneShardWhateverTheCount) {
    for (std::size_t count = 0; count <= 13; ++count) {
        for (unsigned shards = 1; shards <= 6; ++shards) {
            std::multiset<std::size_t> seen;
            for (unsigned k = 1; k <= shards; ++k) {
                const std::vector<std::size_t> part = ShardPart(count, k, shards);
                EXPECT_EQ(part, ShardPart(count, k, shards));  // stable
                // Shards differ in size by one cell at the most.
                EXPECT_LE(part.size(), (count + shards - 1) / shards);
                EXPECT_GE(part.size(), count / shards);
                seen.insert(part.begin(), part.end());
            }
            ASSERT_EQ(seen.size(), count) << count << " cells in " << shards;
            for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(seen.count(i), 1u);
        }
    }
    EXPECT_TRUE(ShardPart(5, 3, 2).empty());
    EXPECT_TRUE(ShardPart(5, 0, 2).empty());
}

TEST(TrialMatrixVerdict, TrialResultsAgreeWithTheirPrediction) {
    struct Row {
        const char* trial;
        const char* predicted;
        bool agrees;
    };
    const Row rows[] = {
        {"browser-running", "browser-running", true},
        {"refused", "refused", true},
        {"keeps-starting-browser", "keeps-starting-browser", true},
        {"browser-not-running", "browser-not-running", true},
        {"did-not-end", "keeps-starting-browser", false},
        {"browser-running", "keeps-starting-browser", false},  // simulate saw no browser: one is wrong
        {"keeps-starting-browser", "browser-running", false},
        {"refused", "browser-running", false},
        {"box", "browser-running", false},
        {"browser-running", "refused", false},
        {"browser-running", "no-such-result", false},
    };
    for (const Row& r : rows)
        EXPECT_EQ(TrialAgreesWithSimulate(r.trial, r.predicted), r.agrees) << r.trial << " / " << r.predicted;
}

Json TrialReportWith(const std::string& result, bool faulty) {
    Json outcome = Json::Object();
    outcome.Set("result", result);
    Json faults = Json::Array();
    if (faulty) faults.Push("the launcher " + result);
    outcome.Set("faults", std::move(faults));
    Json report = Json::Object();
    report.Set("outcome", std::move(outcome));
    return report;
}

MatrixCellRun Ran(int exitCode, const std::string& result) {
    MatrixCellRun run;
    run.exitCode = exitCode;
    if (exitCode == 2) {
        run.error = "no Wine";
    } else {
        run.report = TrialReportWith(result, exitCode == 1);
    }
    return run;
}

TEST(TrialMatrixVerdict, ACellIsAsExpectedOnlyWhenTheGateIsRightAndTheTrialClean) {
    struct Row {
        const char* expected;
        int exitCode;
        const char* result;
        bool asExpected;
    };
    const Row rows[] = {
        {"browser-running", 0, "browser-running", true},
        {"browser-running", 1, "browser-running", false},  // running, but with a fault
        {"browser-running", 1, "keeps-starting-browser", false},
        {"browser-running", 1, "refused", false},
        {"refused", 1, "refused", true},  // refused by design
        {"refused", 0, "browser-running", false},
        {"browser-running", 2, "", false},
    };
    for (const Row& r : rows) {
        const Json cell = MatrixCellJson({"7-x64", "en-US"}, r.expected, "browser-running", Ran(r.exitCode, r.result));
        EXPECT_EQ(cell["asExpected"].boolean(), r.asExpected) << r.expected << " " << r.result;
        EXPECT_EQ(cell["result"].text(), r.exitCode == 2 ? "error" : r.result);
    }
}

Json Disc(const std::string& sha) {
    Json d = Json::Object();
    d.Set("path", "/discs/disc.iso");
    d.Set("kind", "image");
    d.Set("sha256", sha);
    return d;
}

struct Fixture {
    std::vector<std::string> systems = {"7-x64", "8-x64", "10-x64"};
    std::vector<std::string> locales = {"en-US", "de-DE"};
    std::vector<MatrixCellId> all = MatrixCellsOf(systems, locales);

    // The report a run of shard k of n (k = 0: the whole matrix) gives.
    Json Run(unsigned k, unsigned n, const std::string& sha = "ab12") const {
        std::vector<MatrixCellId> cells;
        std::vector<std::string> expected, predicted;
        std::vector<MatrixCellRun> runs;
        for (std::size_t i : ShardPart(all.size(), k ? k : 1, k ? n : 1)) {
            cells.push_back(all[i]);
            expected.push_back("browser-running");
            predicted.push_back(i == 3 ? "keeps-starting-browser" : "browser-running");
            runs.push_back(i == 4 ? Ran(1, "keeps-starting-browser") : Ran(0, "browser-running"));
        }
        return MatrixReport(Disc(sha), systems, locales, k, n, cells, expected, predicted, runs);
    }
};

TEST(TrialMatrixMerge, ShardsJoinIntoTheReportOfTheWholeRun) {
    const Fixture f;
    const Json whole = f.Run(0, 1);
    EXPECT_EQ(MatrixExitCode(whole), 1);  // one cell keeps starting the browser
    for (unsigned n : {1u, 2u, 4u, 6u}) {
        std::vector<std::string> texts, names;
        for (unsigned k = n; k >= 1; --k) {  // in any order
            texts.push_back(f.Run(k, n).Dump());
            names.push_back("s" + std::to_string(k) + ".json");
        }
        Json merged;
        std::string error;
        ASSERT_TRUE(MergeMatrixReports(texts, names, merged, error)) << n << ": " << error;
        EXPECT_EQ(merged.Dump(), whole.Dump()) << n;
    }
    // A whole run's own report is a matrix of one shard.
    Json merged;
    std::string error;
    ASSERT_TRUE(MergeMatrixReports({whole.Dump()}, {"whole.json"}, merged, error)) << error;
    EXPECT_EQ(merged.Dump(), whole.Dump());
}

TEST(TrialMatrixMerge, ForeignOverlappingOrIncompleteReportsAreRefused) {
    const Fixture f;
    Fixture other;
    other.locales = {"en-US"};
    other.all = MatrixCellsOf(other.systems, other.locales);
    std::string deep;
    for (int i = 0; i < 5000; ++i) deep += "[";
    for (int i = 0; i < 5000; ++i) deep += "]";
    struct Row {
        const char* what;
        std::vector<std::string> texts;
        const char* says;
    };
    const Row rows[] = {
        {"another disc", {f.Run(1, 2).Dump(), f.Run(2, 2, "cd34").Dump()}, "another disc"},
        {"other cells", {f.Run(1, 2).Dump(), other.Run(2, 2).Dump()}, "other cells"},
        {"the same shard twice", {f.Run(1, 2).Dump(), f.Run(1, 2).Dump()}, "overlap"},
        {"a shard missing", {f.Run(1, 3).Dump(), f.Run(3, 3).Dump()}, "shard 2/3 missing"},
        {"shards of two splits", {f.Run(1, 2).Dump(), f.Run(2, 3).Dump()}, "other cells"},
        {"no JSON", {"{\"kind\": "}, "no JSON"},
        {"not a matrix", {"{\"outcome\": {}}"}, "not the JSON report"},
        {"nested without end", {deep}, "nested deeper"},
    };
    for (const Row& r : rows) {
        std::vector<std::string> names;
        for (std::size_t i = 0; i < r.texts.size(); ++i) names.push_back("r" + std::to_string(i) + ".json");
        Json merged;
        std::string error;
        EXPECT_FALSE(MergeMatrixReports(r.texts, names, merged, error)) << r.what;
        EXPECT_NE(error.find(r.says), std::string::npos) << r.what << ": " << error;
    }
    // Another disckit's shard.
    std::string text = f.Run(2, 2).Dump();
    const std::string version = std::string("\"disckit\": \"") + DisckitVersion() + "\"";
    ASSERT_NE(text.find(version), std::string::npos);
    text.replace(text.find(version), version.size(), "\"disckit\": \"0.0.1\"");
    Json merged;
    std::string error;
    EXPECT_FALSE(MergeMatrixReports({f.Run(1, 2).Dump(), text}, {"a", "b"}, merged, error));
    EXPECT_NE(error.find("different versions"), std::string::npos) << error;
}

TEST(TrialMatrixReport, TheGridMarksWhatIsNotAsExpectedAndWhereSimulateDisagrees) {
    const Fixture f;
    const std::string text = MatrixText(f.Run(0, 1));
    EXPECT_NE(text.find("system  en-US    de-DE\n7-x64   runs     runs\n"), std::string::npos) << text;
    // Cell 3 (8-x64, de-DE) ran although simulate predicted a loop; cell 4 (10-x64, en-US) kept
    // starting the browser.
    EXPECT_NE(text.find("8-x64   runs     runs?\n"), std::string::npos) << text;
    EXPECT_NE(text.find("10-x64  keeps!?  runs\n"), std::string::npos) << text;
    EXPECT_NE(text.find("10-x64 en-US: keeps-starting-browser, expected browser-running"), std::string::npos) << text;
    EXPECT_NE(text.find("8-x64 de-DE: the trial gave browser-running, simulate predicted keeps-starting-browser"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("5 of 6 cells as expected"), std::string::npos) << text;
    // JUnit: a case per cell, failing where the cell is not as expected.
    const std::string junit = MatrixJUnit(f.Run(0, 1));
    std::size_t cases = 0, failures = 0;
    for (std::size_t at = 0; (at = junit.find("<testcase", at)) != std::string::npos; ++at) ++cases;
    for (std::size_t at = 0; (at = junit.find("<failure", at)) != std::string::npos; ++at) ++failures;
    EXPECT_EQ(cases, 6u) << junit;
    EXPECT_EQ(failures, 1u) << junit;
    const std::string html = MatrixHtml(f.Run(0, 1));
    // Each cell links to its own trial's report.
    EXPECT_NE(html.find("href=\"#cell-10-x64-en-US\""), std::string::npos);
    EXPECT_NE(html.find("id=\"cell-10-x64-en-US\""), std::string::npos);
}

}  // namespace
