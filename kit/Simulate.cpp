// disckit simulate: what the launcher does with a disc folder on a Windows of one's choosing, by
// running the launcher's own sequence against a simulated system.
#include <filesystem>
#include <ostream>
#include <system_error>

#include "kit/CheckDisc.h"
#include "kit/DiscReader.h"
#include "kit/SimOptions.h"
#include "kit/Simulation.h"
#include "kit/Verbs.h"

int RunSimulate(const Args& args, std::ostream& out, std::ostream& err) {
    SimOptions options;
    std::string error;
    if (!ParseSimulateArgs(args, options, error)) {
        err << "disckit simulate: " << error << '\n' << kSimulateUsage;
        return kExitUsage;
    }
    const std::unique_ptr<DiscReader> reader = OpenDisc(options.discDir, error);
    if (!reader) {
        err << "disckit simulate: " << error << '\n';
        return kExitUsage;
    }
    // A folder is read as the simulation always reads one; an image through its reader.
    const bool folder = dynamic_cast<const FolderReader*>(reader.get()) != nullptr;
    const SimDisc disc = folder ? SimDisc(reader->Root()) : SimDisc(*reader);
    // The disc's programs as the check sees them: whether Windows starts each one is decided
    // from the same facts, so that simulate and check never tell two stories.
    std::vector<Finding> findings;
    std::vector<ImageFacts> images;
    if (!CheckDisc(*reader, findings, error, &images)) {
        err << "disckit simulate: " << error << '\n';
        return kExitUsage;
    }
    if (options.matrix) {
        const Matrix matrix = RunMatrix(options.config, options.codePageGiven, disc, &images);
        if (options.json) {
            Json root = MatrixToJson(matrix, options.config, options.codePageGiven);
            out << root.Dump();
        } else {
            PrintMatrix(matrix, out);
        }
        return kExitClean;
    }
    const SimRun run = RunSimulation(options.config, disc, &images);
    if (options.json) {
        out << RunToJson(run, options.discDir).Dump();
    } else {
        PrintRun(run, options.discDir, out);
    }
    return kExitClean;
}
