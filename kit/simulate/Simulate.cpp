// disckit simulate: what the launcher does with a disc folder on a Windows of one's choosing, by
// running the launcher's own sequence against a simulated system.
#include <filesystem>
#include <memory>
#include <ostream>
#include <sstream>
#include <system_error>

#include "kit/Help.h"
#include "kit/Verbs.h"
#include "kit/check/CheckDisc.h"
#include "kit/check/ReportIdentity.h"
#include "kit/common/Html.h"
#include "kit/common/Project.h"
#include "kit/common/ReportFile.h"
#include "kit/common/Utf8.h"
#include "kit/disc/DiscReader.h"
#include "kit/simulate/SimHtml.h"
#include "kit/simulate/SimOptions.h"
#include "kit/simulate/SimReports.h"
#include "kit/simulate/Simulation.h"

int RunSimulate(const Args& args, std::ostream& out, std::ostream& err) {
    SimOptions options;
    std::string error;
    if (!ParseSimulateArgs(args, options, error)) {
        WriteCommandError("simulate", options.project, error, err);
        return kExitUsage;
    }
    if (!options.quiet) SayProject(options.project, err);
    // Every report is written, or none: a place that cannot take one is found before any is.
    if (!ReportFilesWritable({{options.htmlFile, "HTML report"}, {options.junitFile, "JUnit report"}},
                             error)) {
        err << "disckit simulate: " << EscapeControls(error) << '\n';
        return kExitUsage;
    }
    const std::unique_ptr<DiscReader> reader = OpenDisc(options.discDir, error);
    if (!reader) {
        err << "disckit simulate: " << EscapeControls(error) << '\n';
        return kExitUsage;
    }
    // A folder or an image, read through the one reader the check below reads it through.
    const SimDisc disc(*reader);
    // The disc's programs as the check sees them: whether Windows starts each one is decided
    // from the same facts, so that simulate and check never tell two stories.
    std::vector<Finding> findings;
    std::vector<ImageFacts> images;
    if (!CheckDisc(*reader, findings, error, &images)) {
        err << "disckit simulate: " << EscapeControls(error) << '\n';
        return kExitUsage;
    }
    const Json identity =
        ReportIdentity(options.discDir, *reader, ClassifyDisc(options.discDir) == DiscKind::Image);
    if (options.matrix) {
        const Matrix matrix =
            RunMatrix(options.config, options.codePageGiven, disc, &images, options.project.Expected());
        const int judged = matrix.asExpected ? kExitClean : kExitFindings;
        Json root = MatrixToJson(matrix, options.config, options.codePageGiven);
        root.Set("identity", identity);
        if (!options.junitFile.empty() &&
            !WriteReportFile(options.junitFile, MatrixJUnit(matrix, options.discDir), "JUnit report",
                             error)) {
            err << "disckit simulate: " << EscapeControls(error) << '\n';
            return kExitUsage;
        }
        if (!options.htmlFile.empty()) {
            std::vector<std::vector<Json>> runs;
            for (const MatrixRow& row : matrix.rows) {
                runs.emplace_back();
                for (const MatrixCell& cell : row.cells) {
                    runs.back().push_back(RunToJson(cell.run, options.discDir));
                }
            }
            if (!WriteHtmlFile(options.htmlFile, MatrixHtml(root, runs, options.discDir), error)) {
                err << "disckit simulate: " << EscapeControls(error) << '\n';
                return kExitUsage;
            }
        }
        if (options.json) {
            out << root.Dump();
        } else {
            // Names and texts come from the disc: none may steer the terminal.
            std::ostringstream text;
            PrintMatrix(matrix, text);
            out << EscapeControlsKeepingLines(text.str());
        }
        return judged;
    }
    const SimRun run = RunSimulation(options.config, disc, &images);
    Json report = RunToJson(run, options.discDir);
    report.Set("identity", identity);
    if (!options.htmlFile.empty() && !WriteHtmlFile(options.htmlFile, RunHtml(report), error)) {
        err << "disckit simulate: " << EscapeControls(error) << '\n';
        return kExitUsage;
    }
    if (options.json) {
        out << report.Dump();
    } else {
        std::ostringstream text;
        PrintRun(run, options.discDir, text);
        out << EscapeControlsKeepingLines(text.str());
    }
    return kExitClean;
}
