// disckit check DIR [--json]: the disc's faults, found before it is pressed.
#include <ostream>

#include "kit/CheckDisc.h"
#include "kit/DiscTree.h"
#include "kit/Help.h"
#include "kit/Html.h"
#include "kit/HtmlReports.h"
#include "kit/Json.h"
#include "kit/Utf8.h"
#include "kit/Verbs.h"

namespace {

constexpr Severity kSeverities[] = {Severity::Error, Severity::Warning, Severity::Note};

std::string Counted(std::size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::size_t CountOf(const std::vector<Finding>& findings, Severity severity) {
    std::size_t count = 0;
    for (const Finding& finding : findings) count += finding.kind->severity == severity;
    return count;
}

std::string Summary(const std::vector<Finding>& findings) {
    return Counted(CountOf(findings, Severity::Error), "error", "errors") + ", " +
           Counted(CountOf(findings, Severity::Warning), "warning", "warnings") + ", " +
           Counted(CountOf(findings, Severity::Note), "note", "notes");
}

void WriteHuman(std::ostream& out, const std::string& disc, const std::vector<Finding>& findings) {
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
    out << EscapeControls(disc) << ": " << Summary(findings) << "\n";
}

Json Report(const std::string& disc, const std::vector<Finding>& findings) {
    Json report = Json::Object();
    report.Set("disc", disc);
    Json& list = report.Set("findings", Json::Array());
    for (Severity severity : kSeverities) {
        for (const Finding& finding : findings) {
            if (finding.kind->severity != severity) continue;
            Json& item = list.Push(Json::Object());
            item.Set("severity", SeverityName(severity));
            item.Set("code", finding.kind->code);
            item.Set("path", finding.path);
            item.Set("message", finding.Message());
        }
    }
    Json& summary = report.Set("summary", Json::Object());
    summary.Set("errors", static_cast<std::uint64_t>(CountOf(findings, Severity::Error)));
    summary.Set("warnings", static_cast<std::uint64_t>(CountOf(findings, Severity::Warning)));
    summary.Set("notes", static_cast<std::uint64_t>(CountOf(findings, Severity::Note)));
    return report;
}

}  // namespace

int RunCheck(const Args& args, std::ostream& out, std::ostream& err) {
    bool json = false;
    std::string html;  // where the HTML report goes too
    std::vector<std::string> folders;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--json") {
            json = true;
        } else if (arg == "--html" || arg.compare(0, 7, "--html=") == 0) {
            html = arg.size() > 6 ? arg.substr(7) : i + 1 < args.size() ? args[++i] : "";
            if (html.empty()) {
                err << "disckit check: --html needs a file\n" << VerbUsage("check");
                return kExitUsage;
            }
        } else if (arg == "--help" || arg == "-h") {
            WriteVerbHelp(*FindVerb("check"), out);
            return kExitClean;
        } else if (arg.size() > 1 && arg[0] == '-') {
            err << "disckit check: unknown option '" << arg << "'\n" << VerbUsage("check");
            return kExitUsage;
        } else {
            folders.push_back(arg);
        }
    }
    if (folders.size() != 1) {
        err << "disckit check: "
            << (folders.empty() ? "no disc folder given" : "give one disc folder") << "\n"
            << VerbUsage("check");
        return kExitUsage;
    }
    std::vector<Finding> findings;
    std::string error;
    if (!CheckDisc(Utf8ToPath(folders.front()), findings, error)) {
        err << "disckit check: " << EscapeControls(error) << "\n";
        return kExitUsage;
    }
    const Json report = Report(folders.front(), findings);
    if (!html.empty() && !WriteHtmlFile(html, CheckHtml(report), error)) {
        err << "disckit check: " << error << "\n";
        return kExitUsage;
    }
    if (json) {
        out << report.Dump();
    } else {
        WriteHuman(out, folders.front(), findings);
    }
    return CountOf(findings, Severity::Error) > 0 ? kExitFindings : kExitClean;
}
