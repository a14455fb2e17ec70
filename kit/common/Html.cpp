#include "kit/common/Html.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "kit/common/ReportFile.h"
#include "kit/common/Utf8.h"

namespace {

std::string Number(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f", value);
    return buffer;
}

std::string Seconds(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", std::round(value * 1000) / 1000);
    return std::string(buffer) + " s";
}

// The reports' one style sheet, the trial's HTML report's too: plain, printable, colours that
// survive a grey printer.
constexpr const char* kStyle = R"(
body { font: 14px/1.45 sans-serif; color: #1d1d1f; margin: 24px auto; max-width: 1100px; padding: 0 16px; }
h1 { font-size: 22px; margin: 0 0 12px; word-break: break-all; }
h2 { font-size: 17px; margin: 24px 0 8px; border-bottom: 1px solid #ccc; }
table { border-collapse: collapse; margin: 4px 0 12px; }
th, td { text-align: left; vertical-align: top; padding: 3px 10px 3px 0; }
td { word-break: break-word; }
code, .mono { font-family: monospace; font-size: 13px; }
td.time { white-space: nowrap; }
.verdict { padding: 10px 14px; border-radius: 6px; border: 2px solid; margin: 8px 0 16px; font-size: 16px; }
.verdict.good { background: #e6f4ea; border-color: #1e8e3e; }
.verdict.bad { background: #fce8e6; border-color: #c5221f; }
.verdict.warn { background: #fef7e0; border-color: #b06000; }
.finding { margin: 6px 0 10px; }
.finding .code { font-weight: bold; }
.ctl { font: 11px monospace; color: #c5221f; border: 1px solid #c5221f; border-radius: 3px; padding: 0 2px; margin: 0 1px; unicode-bidi: isolate; }
.severity-error h2 { color: #c5221f; } .severity-warning h2 { color: #b06000; } .severity-note h2 { color: #1a73e8; }
.grid td, .grid th { padding: 2px 4px; text-align: center; font-family: monospace; font-size: 12px; border: 1px solid #fff; }
.grid th.profile { text-align: left; }
.grid a { color: inherit; text-decoration: none; display: block; }
.r-browser-running { background: #a8dab5; } .r-refused { background: #d2d2d2; }
.r-loops-forever { background: #f6aea9; } .r-nothing { background: #fde293; }
.r-turned-away { background: #aecbfa; }
.grid td.unexpected { outline: 2px solid #c5221f; outline-offset: -2px; font-weight: bold; }
.legend span { display: inline-block; padding: 1px 8px; margin-right: 10px; font-family: monospace; }
.runs p { margin: 2px 0; font-size: 12px; }
.runs p:target { background: #fff3b0; }
svg text { font: 12px sans-serif; fill: #1d1d1f; }
svg .bar { fill: #8ab4f8; } svg .bar.open { fill: #1a73e8; }
svg .bar.unknown { fill: #d2e3fc; stroke: #1a73e8; stroke-dasharray: 4 3; }
svg .sleep { fill: url(#hatch); stroke: #5f6368; stroke-width: 0.5; }
svg .box { fill: #c5221f; } svg .failed { stroke: #c5221f; stroke-width: 2; }
svg .start { fill: #1e8e3e; } svg .load { fill: #5f6368; }
svg .end { stroke: #1d1d1f; stroke-width: 2; }
svg .stop { stroke: #c5221f; stroke-width: 3; }
svg .axis { stroke: #bbb; stroke-width: 0.5; }
img.shot { max-width: min(100%, 800px); border: 1px solid #999; margin: 4px 0 12px; display: block; }
@media print { body { margin: 0; max-width: none; } .runs p:target { background: none; } }
)";

std::string Escape(const std::string& s, bool markers) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        switch (c) {
            case '&': out += "&amp;"; ++i; continue;
            case '<': out += "&lt;"; ++i; continue;
            case '>': out += "&gt;"; ++i; continue;
            case '"': out += "&quot;"; ++i; continue;
            case '\'': out += "&#39;"; ++i; continue;
            case '\n': case '\t': out += static_cast<char>(c); ++i; continue;
            default: break;
        }
        char32_t ch = 0;
        const std::size_t n = DecodeUtf8At(s, i, ch);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else if (!IsControlCharacter(ch)) {
            out.append(s, i, n);
            i += n;
        } else if (markers && ch > 0x7F) {
            char marker[48];
            std::snprintf(marker, sizeof marker, "<span class=\"ctl\">U+%04X</span>",
                          static_cast<unsigned>(ch));
            out += marker;
            i += n;
        } else {
            out += EscapeControls(s.substr(i, n));
            i += n;
        }
    }
    return out;
}

}  // namespace

std::string HtmlText(const std::string& s) { return Escape(s, true); }

std::string HtmlPlainText(const std::string& s) { return Escape(s, false); }

std::string HtmlDocument(const std::string& title, const std::string& body) {
    return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
           // Nothing outside the file may be fetched, whatever a text in it says.
           "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
           "img-src data:; style-src 'unsafe-inline'\">\n"
           "<title>" + HtmlPlainText(title) + "</title>\n<style>" + kStyle + "</style>\n</head>\n<body>\n" +
           body + "</body>\n</html>\n";
}

bool WriteHtmlFile(const std::string& path, const std::string& html, std::string& error) {
    return WriteReportFile(path, html, "HTML report", error);
}

std::string TimelineSvg(const std::vector<TimelineRow>& rows, double end) {
    const double labelWidth = 230, plotWidth = 620, rowHeight = 24, top = 24;
    if (!(end > 0)) end = 1;
    const double height = top + rowHeight * static_cast<double>(rows.size()) + 8;
    auto x = [&](double t) { return labelWidth + std::clamp(t, 0.0, end) / end * plotWidth; };
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                      Number(labelWidth + plotWidth + 20) + "\" height=\"" + Number(height) +
                      "\" role=\"img\" aria-label=\"timeline\">\n"
                      "<defs><pattern id=\"hatch\" width=\"6\" height=\"6\" "
                      "patternUnits=\"userSpaceOnUse\" patternTransform=\"rotate(45)\">"
                      "<rect width=\"6\" height=\"6\" fill=\"#f1f3f4\"/>"
                      "<line x1=\"0\" y1=\"0\" x2=\"0\" y2=\"6\" stroke=\"#5f6368\" "
                      "stroke-width=\"2\"/></pattern></defs>\n";
    // The axis: a tick every 1, 2 or 5 times a power of ten, ten ticks at the most.
    double step = std::pow(10.0, std::floor(std::log10(end)) - 1);
    for (double f : {1.0, 2.0, 5.0, 10.0, 20.0, 50.0, 100.0}) {
        if (end / (step * f) <= 10) {
            step *= f;
            break;
        }
    }
    for (double t = 0; t <= end * 1.0001; t += step) {
        svg += "<line class=\"axis\" x1=\"" + Number(x(t)) + "\" y1=\"" + Number(top - 6) +
               "\" x2=\"" + Number(x(t)) + "\" y2=\"" + Number(height - 8) + "\"/>"
               "<text x=\"" + Number(x(t) + 2) + "\" y=\"" + Number(top - 10) + "\">" +
               HtmlPlainText(Seconds(t)) + "</text>\n";
    }
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const TimelineRow& row = rows[i];
        const double y = top + rowHeight * static_cast<double>(i);
        svg += "<g class=\"row\"><text x=\"4\" y=\"" + Number(y + 16) + "\">" +
               HtmlPlainText(row.label.size() > 34 ? row.label.substr(0, 33) + "\xE2\x80\xA6" : row.label) +
               "<title>" + HtmlPlainText(row.label) + "</title></text>";
        const double from = x(row.from), to = std::max(x(row.to), from + 3);
        svg += "<rect class=\"bar" + std::string(row.open ? " open" : "") +
               (row.unknownEnd ? " unknown" : "") + "\" x=\"" + Number(from) + "\" y=\"" +
               Number(y + 5) + "\" width=\"" + Number(to - from) + "\" height=\"" +
               Number(rowHeight - 10) + "\"><title>" + HtmlPlainText(row.label + ": " + Seconds(row.from) +
               (row.open ? " until the end, still running" : row.unknownEnd ? ", end not seen"
                                                                 : " to " + Seconds(row.to))) +
               "</title></rect>";
        for (const TimelineSpan& span : row.spans) {
            const double a = x(span.from), b = std::max(x(span.to), a + 2);
            svg += "<rect class=\"" + HtmlPlainText(span.kind) + "\" x=\"" + Number(a) + "\" y=\"" +
                   Number(y + 3) + "\" width=\"" + Number(b - a) + "\" height=\"" +
                   Number(rowHeight - 6) + "\"><title>" + HtmlPlainText(span.title) + "</title></rect>";
        }
        for (const TimelineMark& mark : row.marks) {
            const double m = x(mark.at), mid = y + rowHeight / 2;
            const std::string title = "<title>" + HtmlPlainText(mark.title) + "</title>";
            if (mark.kind == "box") {
                svg += "<polygon class=\"box\" points=\"" + Number(m) + "," + Number(mid - 8) + " " +
                       Number(m + 8) + "," + Number(mid) + " " + Number(m) + "," + Number(mid + 8) +
                       " " + Number(m - 8) + "," + Number(mid) + "\">" + title + "</polygon>";
            } else if (mark.kind == "failed") {
                svg += "<path class=\"failed\" d=\"M" + Number(m - 5) + " " + Number(mid - 5) + " L" +
                       Number(m + 5) + " " + Number(mid + 5) + " M" + Number(m + 5) + " " +
                       Number(mid - 5) + " L" + Number(m - 5) + " " + Number(mid + 5) + "\">" + title +
                       "</path>";
            } else if (mark.kind == "start" || mark.kind == "load") {
                // A library loaded is the smaller dot.
                svg += "<circle class=\"" + mark.kind + "\" cx=\"" + Number(m) + "\" cy=\"" +
                       Number(mid) + "\" r=\"" + (mark.kind == "start" ? "3.5" : "2.5") + "\">" +
                       title + "</circle>";
            } else {  // end, stop: a bar across the row
                svg += "<line class=\"" + HtmlPlainText(mark.kind) + "\" x1=\"" + Number(m) + "\" y1=\"" +
                       Number(y + 2) + "\" x2=\"" + Number(m) + "\" y2=\"" + Number(y + rowHeight - 2) +
                       "\">" + title + "</line>";
            }
        }
        svg += "</g>\n";
    }
    svg += "</svg>\n";
    return svg;
}
