// disckit simulate: what the launcher does with a disc folder on a Windows of one's choosing, by
// running the launcher's own sequence against a simulated system.
#include <filesystem>
#include <ostream>
#include <system_error>

#include "kit/Help.h"
#include "kit/Html.h"
#include "kit/HtmlReports.h"
#include "kit/SimOptions.h"
#include "kit/Simulation.h"
#include "kit/Verbs.h"

int RunSimulate(const Args& args, std::ostream& out, std::ostream& err) {
    SimOptions options;
    std::string error;
    if (!ParseSimulateArgs(args, options, error)) {
        err << "disckit simulate: " << error << '\n' << VerbUsage("simulate");
        return kExitUsage;
    }
    const std::filesystem::path dir = std::filesystem::u8path(options.discDir);
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec)) {
        err << "disckit simulate: no such folder: " << options.discDir << '\n';
        return kExitUsage;
    }
    const SimDisc disc(dir);
    if (options.matrix) {
        const Matrix matrix = RunMatrix(options.config, options.codePageGiven, disc);
        const Json root = MatrixToJson(matrix, options.config, options.codePageGiven);
        if (!options.htmlFile.empty()) {
            std::vector<std::vector<Json>> runs;
            for (const MatrixRow& row : matrix.rows) {
                runs.emplace_back();
                for (const MatrixCell& cell : row.cells) {
                    runs.back().push_back(RunToJson(cell.run, options.discDir));
                }
            }
            if (!WriteHtmlFile(options.htmlFile, MatrixHtml(root, runs, options.discDir), error)) {
                err << "disckit simulate: " << error << '\n';
                return kExitUsage;
            }
        }
        if (options.json) {
            out << root.Dump();
        } else {
            PrintMatrix(matrix, out);
        }
        return kExitClean;
    }
    const SimRun run = RunSimulation(options.config, disc);
    const Json report = RunToJson(run, options.discDir);
    if (!options.htmlFile.empty() && !WriteHtmlFile(options.htmlFile, RunHtml(report), error)) {
        err << "disckit simulate: " << error << '\n';
        return kExitUsage;
    }
    if (options.json) {
        out << report.Dump();
    } else {
        PrintRun(run, options.discDir, out);
    }
    return kExitClean;
}
