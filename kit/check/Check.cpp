// disckit check DIR|IMAGE [--json] [--ignore CODE,...] [--min-severity LEVEL]: the disc's faults,
// found before it is pressed.
#include <algorithm>
#include <filesystem>
#include <optional>
#include <ostream>
#include <set>
#include <system_error>
#include <utility>

#include "kit/Help.h"
#include "kit/Verbs.h"
#include "kit/check/CheckDisc.h"
#include "kit/check/CheckFormats.h"
#include "kit/check/CheckHtml.h"
#include "kit/check/ReportIdentity.h"
#include "kit/common/Html.h"
#include "kit/common/Json.h"
#include "kit/common/Options.h"
#include "kit/common/Project.h"
#include "kit/common/ReportFile.h"
#include "kit/common/Utf8.h"
#include "kit/disc/DiscReader.h"
#include "kit/disc/DiscTree.h"

namespace {

constexpr Severity kSeverities[] = {Severity::Error, Severity::Warning, Severity::Note};

std::size_t CountOf(const std::vector<Finding>& findings, Severity severity) {
    std::size_t count = 0;
    for (const Finding& finding : findings) count += finding.kind->severity == severity;
    return count;
}

std::string Summary(const std::vector<Finding>& findings, std::size_t leftOut) {
    return CountsLine(CountFindings(findings)) +
           (leftOut ? " (" + std::to_string(leftOut) + " left out)" : std::string());
}

void WriteHuman(std::ostream& out, const std::string& disc, const std::vector<Finding>& findings,
                std::size_t leftOut) {
    static const char* const kHeadings[] = {"Errors", "Warnings", "Notes"};
    for (Severity severity : kSeverities) {
        const std::size_t count = CountOf(findings, severity);
        if (count == 0) continue;
        out << kHeadings[static_cast<int>(severity)] << " (" << count << ")\n";
        for (const Finding& finding : findings) {
            if (finding.kind->severity != severity) continue;
            // Names come from the disc: none may steer the terminal.
            out << "  " << finding.kind->code << "  " << EscapeControls(finding.path) << "\n"
                << "      " << EscapeControls(finding.Message()) << "\n";
        }
        out << "\n";
    }
    out << EscapeControls(disc) << ": " << Summary(findings, leftOut) << "\n";
}

Json Report(const std::string& disc, const std::vector<Finding>& findings, std::size_t leftOut) {
    Json report = Json::Object();
    report.Set("disc", disc);
    // Most severe first, each severity in the order the check found them.
    std::vector<Finding> bySeverity = findings;
    std::stable_sort(bySeverity.begin(), bySeverity.end(), [](const Finding& a, const Finding& b) {
        return a.kind->severity < b.kind->severity;
    });
    report.Set("findings", FindingsJson(bySeverity));
    const FindingCounts counts = CountFindings(findings);
    Json& summary = report.Set("summary", Json::Object());
    summary.Set("errors", static_cast<std::uint64_t>(counts.errors));
    summary.Set("warnings", static_cast<std::uint64_t>(counts.warnings));
    summary.Set("notes", static_cast<std::uint64_t>(counts.notes));
    if (leftOut) summary.Set("leftOut", static_cast<std::uint64_t>(leftOut));
    return report;
}

// The command line's values, where the rows put them.
struct CheckValues {
    bool json = false, quiet = false;
    std::optional<std::string> html, minSeverity, sarif, junit;
    std::vector<std::string> ignore;
};

const OptionRow kCheckRows[] = {
    {"--json", nullptr,
     "Write the findings as one JSON object (disc, findings with severity, code, path and "
     "message, summary) instead of the report for people.",
     ValueKind::Free, nullptr, nullptr, Into<&CheckValues::json>},
    {"--html", "FILE",
     "Also write the findings, grouped by severity, as one self-contained HTML file (styles and "
     "pictures inside, no script, nothing fetched), to look at or pass on.",
     ValueKind::File, nullptr, nullptr, Into<&CheckValues::html>},
    {"--ignore", "CODE[,CODE...]",
     "Leave out findings with these codes; the summary counts them, and an unknown code is an "
     "error.",
     ValueKind::Free, nullptr, nullptr, Into<&CheckValues::ignore>},
    {"--min-severity", "note|warning|error",
     "Leave out findings less severe than this; the summary counts them.",
     ValueKind::Choices, "note warning error", nullptr, Into<&CheckValues::minSeverity>},
    {"--sarif", "FILE",
     "Also write the findings as a SARIF 2.1.0 log for code scanning: a rule per finding code "
     "with its text, a result per finding with its path on the disc. Written whole or not at all.",
     ValueKind::File, nullptr, nullptr, Into<&CheckValues::sarif>},
    {"--junit", "FILE",
     "Also write the findings as JUnit XML test results: a test case per finding, failing at "
     "error level. Written whole or not at all.",
     ValueKind::File, nullptr, nullptr, Into<&CheckValues::junit>},
    {"--quiet", nullptr, "Say nothing on stderr but errors (not which project file was taken).",
     ValueKind::Free, nullptr, nullptr, Into<&CheckValues::quiet>},
};

}  // namespace

extern const OptionTable kCheckOptions = DISCKIT_OPTION_TABLE(kCheckRows);

int RunCheck(const Args& args, std::ostream& out, std::ostream& err) {
    CheckValues values;
    std::string html;  // where the HTML report goes too
    std::string sarif, junit;  // ... and the CI formats
    std::string disc;
    Quiet quiet;
    std::string error;
    Project project;
    bool usable = ParseVerbCommand("check", args, kCheckOptions, &values, "disc folder", disc,
                                   project, error);
    for (std::size_t i = 0; usable && i < values.ignore.size(); ++i) {
        usable = ParseIgnore(values.ignore[i], quiet, error);
    }
    if (usable && values.minSeverity) usable = ParseMinSeverity(*values.minSeverity, quiet, error);
    usable = usable && PathOption(values.html, "--html", "file", html, error) &&
             PathOption(values.sarif, "--sarif", "file", sarif, error) &&
             PathOption(values.junit, "--junit", "file", junit, error);
    quiet.served = project.languages;
    if (!usable) {
        WriteCommandError("check", project, error, err);
        return kExitUsage;
    }
    if (!values.quiet) SayProject(project, err);
    // Every report is written, or none: a place that cannot take one is found before any is.
    if (!ReportFilesWritable({{html, "HTML report"}, {sarif, "SARIF log"}, {junit, "JUnit report"}},
                             error)) {
        err << "disckit check: " << EscapeControls(error) << "\n";
        return kExitUsage;
    }
    std::vector<Finding> findings;
    const std::unique_ptr<DiscReader> reader = OpenDisc(disc, error);
    if (!reader || !CheckDisc(*reader, findings, error)) {
        err << "disckit check: " << EscapeControls(error) << "\n";
        return kExitUsage;
    }
    const std::size_t leftOut = LeaveOut(quiet, findings);
    Json report = Report(disc, findings, leftOut);
    report.Set("identity", ReportIdentity(disc, *reader, ClassifyDisc(disc) == DiscKind::Image));
    if (!html.empty() && !WriteHtmlFile(html, CheckHtml(report), error)) {
        err << "disckit check: " << EscapeControls(error) << "\n";
        return kExitUsage;
    }
    if (!sarif.empty()) {
        // A folder's findings can be found again from its URI; an image's only inside it.
        std::string root;
        std::error_code ec;
        if (ClassifyDisc(disc) == DiscKind::Folder) {
            const std::filesystem::path absolute =
                std::filesystem::absolute(std::filesystem::u8path(disc), ec);
            if (!ec) root = FolderUri(absolute.lexically_normal().u8string());
        }
        if (!WriteReportFile(sarif, CheckSarif(findings, root), "SARIF log", error)) {
            err << "disckit check: " << EscapeControls(error) << "\n";
            return kExitUsage;
        }
    }
    if (!junit.empty() &&
        !WriteReportFile(junit, CheckJUnit(disc, findings), "JUnit report", error)) {
        err << "disckit check: " << EscapeControls(error) << "\n";
        return kExitUsage;
    }
    if (values.json) {
        out << report.Dump();
    } else {
        WriteHuman(out, disc, findings, leftOut);
    }
    return CountOf(findings, Severity::Error) > 0 ? kExitFindings : kExitClean;
}
