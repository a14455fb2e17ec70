// The reports' escapes: nothing a disc names may become markup, and what is not text, or would
// steer a terminal or reorder a page, is shown rather than passed on.
#include <gtest/gtest.h>

#include <sstream>

#include "kit/Verbs.h"
#include "kit/common/Html.h"
#include "kit/common/Json.h"
#include "kit/common/Utf8.h"

namespace {

TEST(HtmlText, MarkupControlsAndBrokenUtf8AreShownAsText) {
    const struct {
        std::string in, out;
    } rows[] = {
        {"<script>alert(1)</script>", "&lt;script&gt;alert(1)&lt;/script&gt;"},
        {"a & b", "a &amp; b"},
        {"&amp;", "&amp;amp;"},
        {"\"x\" 'y'", "&quot;x&quot; &#39;y&#39;"},
        {"tab\tline\n", "tab\tline\n"},
        {std::string("nul\0esc\x1b" "del\x7f", 12), "nul\\x00esc\\x1Bdel\\x7F"},
        {"\xC3\x9C" "ber \xE4\xB8\xAD \xF0\x9F\x98\x80", "\xC3\x9C" "ber \xE4\xB8\xAD \xF0\x9F\x98\x80"},
        {"\xFF\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // not UTF-8; an overlong '/'
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate
        {"\xE4\xB8", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // cut short
    };
    for (const auto& row : rows) EXPECT_EQ(HtmlText(row.in), row.out) << row.in;
}

// Characters that act instead of showing, as a disc's names may hold them, through every
// renderer: the terminal shows their bytes, JSON escapes them, a page puts a marker in their
// place (where markup may go) or their bytes (attributes, titles, SVG). None passes on.
TEST(ControlCharacters, NoRendererPassesThemOn) {
    const std::string fffd = "\xEF\xBF\xBD";
    const struct {
        const char* what;
        std::string in, terminal, json, html, plain;
    } rows[] = {
        {"U+202E, the right-to-left override (\"invoice\\u202Efdp.exe\" shows as "
         "\"invoiceexe.pdf\")",
         "a\xE2\x80\xAE" "b", "a\\xE2\\x80\\xAEb", "\"a\\u202eb\"",
         "a<span class=\"ctl\">U+202E</span>b", "a\\xE2\\x80\\xAEb"},
        {"U+009B, the 8-bit CSI", "\xC2\x9B" "2J", "\\xC2\\x9B2J", "\"\\u009b2J\"",
         "<span class=\"ctl\">U+009B</span>2J", "\\xC2\\x9B2J"},
        {"U+0080 and U+009F, the ends of C1", "\xC2\x80\xC2\x9F", "\\xC2\\x80\\xC2\\x9F",
         "\"\\u0080\\u009f\"",
         "<span class=\"ctl\">U+0080</span><span class=\"ctl\">U+009F</span>", "\\xC2\\x80\\xC2\\x9F"},
        {"U+2066 and U+2069, an isolate and its end", "\xE2\x81\xA6x\xE2\x81\xA9",
         "\\xE2\\x81\\xA6x\\xE2\\x81\\xA9", "\"\\u2066x\\u2069\"",
         "<span class=\"ctl\">U+2066</span>x<span class=\"ctl\">U+2069</span>",
         "\\xE2\\x81\\xA6x\\xE2\\x81\\xA9"},
        {"U+061C, U+200E, U+200F, U+202A: the marks and an embedding",
         "\xD8\x9C\xE2\x80\x8E\xE2\x80\x8F\xE2\x80\xAA",
         "\\xD8\\x9C\\xE2\\x80\\x8E\\xE2\\x80\\x8F\\xE2\\x80\\xAA", "\"\\u061c\\u200e\\u200f\\u202a\"",
         "<span class=\"ctl\">U+061C</span><span class=\"ctl\">U+200E</span>"
         "<span class=\"ctl\">U+200F</span><span class=\"ctl\">U+202A</span>",
         "\\xD8\\x9C\\xE2\\x80\\x8E\\xE2\\x80\\x8F\\xE2\\x80\\xAA"},
        {"C0 controls and DEL", "\x1B[31m\x7F", "\\x1B[31m\\x7F", "\"\\u001b[31m\\u007f\"",
         "\\x1B[31m\\x7F", "\\x1B[31m\\x7F"},
        {"a lone surrogate", "\xED\xA0\x80", "\\xED\\xA0\\x80", "\"" + fffd + fffd + fffd + "\"",
         fffd + fffd + fffd, fffd + fffd + fffd},
        {"a byte that is no UTF-8, then markup", "\xFF<\"", "\\xFF<\"", "\"" + fffd + "<\\\"\"",
         fffd + "&lt;&quot;", fffd + "&lt;&quot;"},
        {"their neighbours are text: U+00A0, U+200D, U+202F, U+2065, U+206A",
         "\xC2\xA0\xE2\x80\x8D\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA",
         "\xC2\xA0\xE2\x80\x8D\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA",
         "\"\xC2\xA0\xE2\x80\x8D\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA\"",
         "\xC2\xA0\xE2\x80\x8D\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA",
         "\xC2\xA0\xE2\x80\x8D\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(EscapeControls(row.in), row.terminal) << row.what;
        EXPECT_EQ(JsonQuote(row.in), row.json) << row.what;
        EXPECT_EQ(HtmlText(row.in), row.html) << row.what;
        EXPECT_EQ(HtmlPlainText(row.in), row.plain) << row.what;
    }
    // Reports of several lines keep their line ends, and nothing else.
    EXPECT_EQ(EscapeControlsKeepingLines("a\n\xE2\x80\xAE\r\n"), "a\n\\xE2\\x80\\xAE\\x0D\n");
    EXPECT_EQ(EscapeControls("a\n"), "a\\x0A");
}

// Where markup cannot go (a title, a timeline's labels and tips), no marker goes either.
TEST(ControlCharacters, TitlesAndTimelinesGetNoMarkup) {
    const std::string name = "evil\xE2\x80\xAE" "exe.txt";
    const std::string page = HtmlDocument(name, "<p>" + HtmlText(name) + "</p>");
    EXPECT_NE(page.find("<title>evil\\xE2\\x80\\xAEexe.txt</title>"), std::string::npos) << page;
    EXPECT_NE(page.find("<p>evil<span class=\"ctl\">U+202E</span>exe.txt</p>"), std::string::npos);
    EXPECT_NE(page.find(".ctl {"), std::string::npos);  // the marker is styled
    TimelineRow row;
    row.label = name;
    row.marks.push_back({1, "start", name});
    row.spans.push_back({0, 1, "sleep", name});
    const std::string svg = TimelineSvg({row}, 2);
    EXPECT_EQ(svg.find("<span"), std::string::npos) << svg;
    EXPECT_EQ(svg.find("\xE2\x80\xAE"), std::string::npos) << svg;
    EXPECT_NE(svg.find("evil\\xE2\\x80\\xAEexe.txt"), std::string::npos) << svg;
}

TEST(HtmlOption, NeedsAFile) {
    for (const Args& args : {Args{"disc", "--html"}, Args{"disc", "--html="}}) {
        std::ostringstream out, err;
        EXPECT_EQ(RunCheck(args, out, err), kExitUsage);
        EXPECT_NE(err.str().find("--html needs a"), std::string::npos) << err.str();
        err.str("");
        EXPECT_EQ(RunSimulate(args, out, err), kExitUsage);
        EXPECT_NE(err.str().find("--html needs a"), std::string::npos) << err.str();
    }
}

}  // namespace
