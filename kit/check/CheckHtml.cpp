#include "kit/check/CheckHtml.h"

#include <string>

#include "kit/check/CheckFindings.h"
#include "kit/check/ReportIdentity.h"
#include "kit/common/Html.h"

namespace {

struct SeverityGroup {
    const char* name;     // as the JSON writes it
    const char* heading;
};
constexpr SeverityGroup kGroups[] = {
    {"error", "Errors"}, {"warning", "Warnings"}, {"note", "Notes"}};

}  // namespace

std::string CheckHtml(const Json& report) {
    const Json& summary = report["summary"];
    const std::string errors = summary["errors"].text();
    FindingCounts tally;
    tally.errors = static_cast<std::size_t>(std::stoull(errors));
    tally.warnings = static_cast<std::size_t>(std::stoull(summary["warnings"].text()));
    tally.notes = static_cast<std::size_t>(std::stoull(summary["notes"].text()));
    const std::string counts = CountsLine(tally);
    std::string body = "<h1>disckit check: " + HtmlText(report["disc"].text()) + "</h1>\n" +
                       IdentityHtml(report["identity"]) +
                       "<div class=\"verdict " +
                       (errors != "0" ? "bad" : summary["warnings"].text() != "0" ? "warn" : "good") + "\">" +
                       HtmlText(report["disc"].text() + ": " + counts) + "</div>\n";
    for (const SeverityGroup& group : kGroups) {
        std::string items;
        std::size_t count = 0;
        for (const Json& f : report["findings"].items()) {
            if (f["severity"].text() != group.name) continue;
            ++count;
            items += "<div class=\"finding\"><span class=\"code\">" + HtmlText(f["code"].text()) +
                     "</span> <code>" + HtmlText(f["path"].text()) + "</code><br>" +
                     HtmlText(f["message"].text()) + "</div>\n";
        }
        if (count == 0) continue;
        body += std::string("<section class=\"severity-") + group.name + "\"><h2>" + group.heading +
                " (" + std::to_string(count) + ")</h2>\n" + items + "</section>\n";
    }
    return HtmlDocument("disckit check: " + report["disc"].text(), body);
}
