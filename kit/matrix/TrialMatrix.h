// disckit trial --matrix and disckit merge: every (system, language) cell as a trial of its own,
// several at once, judged against what the launcher's gate expects and beside what simulate
// predicts; a stable part of the cells per shard, and the shards' reports joined into the one
// report a whole run gives. Native only, as the trial is.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "kit/Verbs.h"
#include "kit/common/Json.h"
#include "kit/windows/Profiles.h"

struct OptionTable;
extern const OptionTable kMergeOptions;

// The trial verb: one trial, or with --matrix the matrix of trials.
int RunTrialCommand(const Args& args, std::ostream& out, std::ostream& err);
int RunMerge(const Args& args, std::ostream& out, std::ostream& err);

struct MatrixCellId {
    std::string system;  // a profile's name
    std::string locale;  // "de-DE"
};

// The cells of the systems by the languages, systems first, in the order given.
std::vector<MatrixCellId> MatrixCellsOf(const std::vector<std::string>& systems,
                                        const std::vector<std::string>& locales);

// Shard K of N (1 <= K <= N): the positions K-1, K-1+N, K-1+2N ... of count cells. Every cell is
// in exactly one shard, and a shard's part depends only on the cells and N.
std::vector<std::size_t> ShardPart(std::size_t count, unsigned shard, unsigned shards);

// Whether the trial's result is what simulate predicted for the same cell (both outcome names):
// a disagreement is a fault of the disc's programs or of simulate.
bool TrialAgreesWithSimulate(const std::string& trialResult, const std::string& predicted);

// One cell's run: the trial's exit code (0, 1; 2 when it could not run), its report when it ran,
// and the tail of what it said on stderr when it could not.
struct MatrixCellRun {
    int exitCode = 2;
    Json report;
    std::string error;
};

// The report of a matrix (a whole run, one shard, or merged shards), as JSON: the cells in
// their stable order, each with its expectation, prediction, verdict and the trial's report.
// discIdentity: path, kind and SHA-256 of the disc. shard 0: no shard (the whole matrix).
Json MatrixReport(const Json& discIdentity, const std::vector<std::string>& systems,
                  const std::vector<std::string>& locales, unsigned shard, unsigned shards,
                  const std::vector<MatrixCellId>& cells, const std::vector<std::string>& expected,
                  const std::vector<std::string>& predicted,
                  const std::vector<MatrixCellRun>& runs);

// The parts of a report: one cell, and the document around the cells (shard 0: the whole matrix;
// version: the disckit that ran the trials).
Json MatrixCellJson(const MatrixCellId& id, const std::string& expected, const std::string& predicted,
                    const MatrixCellRun& run);
Json MatrixDocument(const Json& disc, const std::string& version, const std::vector<std::string>& systems,
                    const std::vector<std::string>& locales, unsigned shard, unsigned shards,
                    std::vector<Json> cells);

// The report's exit code: 2 when a cell could not run, 1 when a cell is not as expected, 0.
int MatrixExitCode(const Json& report);

// The report in words (the grid, then what was not as expected and where trial and simulate
// disagree), and as one HTML page whose grid links to each cell's whole trial report.
std::string MatrixText(const Json& report);
std::string MatrixHtml(const Json& report);
// As JUnit XML: a suite per system, a test case per cell, failing where it is not as expected.
std::string MatrixJUnit(const Json& report);

// Joins shard reports (their JSON texts) into the report of the whole matrix. False, with the
// reason in error, when a text is not a matrix report, when they are of different discs, disckit
// versions or cells, when two give the same cell, or when a cell is missing.
bool MergeMatrixReports(const std::vector<std::string>& texts, const std::vector<std::string>& names,
                        Json& merged, std::string& error);
