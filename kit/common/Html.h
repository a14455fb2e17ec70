// The pieces of disckit's HTML reports: one file that holds everything (styles inline, pictures as
// data, no script, nothing fetched), readable offline and printable. Every text that comes from
// a disc goes through HtmlText (or HtmlPlainText), so no disc can put markup into a report, nor
// reorder its text.
#pragma once

#include <string>
#include <vector>

// UTF-8 text as HTML element content: the markup characters as references, C0 controls and DEL
// shown as \xNN, C1 and bidirectional controls as a marker <span class="ctl">U+202E</span> in
// their place (a bidirectional control would reorder the text after it), bytes that are not
// UTF-8 as U+FFFD.
std::string HtmlText(const std::string& utf8);

// The same for where no markup may go: quoted attribute values, <title>, an SVG's texts. Every
// control character is shown as \xNN, byte by byte, as in the terminal.
std::string HtmlPlainText(const std::string& utf8);

// A whole document: the title (text) and the body (markup), with the reports' one style sheet.
std::string HtmlDocument(const std::string& title, const std::string& body);

// Writes the document to the file (a UTF-8 path). False, with the reason in error, when it
// cannot be written.
bool WriteHtmlFile(const std::string& path, const std::string& html, std::string& error);

// A timeline drawn as SVG: one row per process, from its creation to its end, with what
// happened in it marked. Times in seconds from the start.
struct TimelineSpan {
    double from = 0, to = 0;
    std::string kind;   // a class of the style sheet: "sleep"
    std::string title;  // text shown when pointed at
};
struct TimelineMark {
    double at = 0;
    std::string kind;   // "box", "start", "load", "failed", "end", "stop"
    std::string title;
};
struct TimelineRow {
    std::string label;
    double from = 0, to = 0;
    bool open = false;      // still running at the end: the bar runs off to the right
    bool unknownEnd = false;  // its end was not seen: drawn dashed
    std::vector<TimelineSpan> spans;
    std::vector<TimelineMark> marks;
};
std::string TimelineSvg(const std::vector<TimelineRow>& rows, double end);
