// disckit check follows the pages: what a page links to, where on the disc that is, which links
// are broken, and the bounds that keep a hostile page from holding the check.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "KitCheckDisc.h"
#include "kit/check/CheckDisc.h"
#include "kit/check/CheckFindings.h"
#include "kit/check/PageLinks.h"
#include "kit/common/Css.h"

namespace {

using kittest::DiscCopy;

#define REQUIRE_SAMPLE_DISC() \
    if (!kittest::HaveSampleDisc()) GTEST_SKIP() << kittest::SkipReason()

std::string Joined(const std::vector<std::string>& parts) {
    std::string out;
    for (const std::string& part : parts) out += (out.empty() ? "" : "\\") + part;
    return out;
}

TEST(ResolveLink, AsTheBrowserResolvesALinkOfAPageOnTheDisc) {
    const std::vector<std::string> page = {"lang", "Eng"};
    const struct {
        std::string link;
        LinkKind kind;
        std::string path;  // for OnDisc
    } rows[] = {
        {"Next.htm", LinkKind::OnDisc, "lang\\Eng\\Next.htm"},
        {"  img/Logo.png \n", LinkKind::OnDisc, "lang\\Eng\\img\\Logo.png"},
        {"img\\Logo.png", LinkKind::OnDisc, "lang\\Eng\\img\\Logo.png"},
        {"../DEU/Welcome.htm", LinkKind::OnDisc, "lang\\DEU\\Welcome.htm"},
        {"./a/./b/../c.htm", LinkKind::OnDisc, "lang\\Eng\\a\\c.htm"},
        {"/Setup.htm", LinkKind::OnDisc, "Setup.htm"},
        {"\\docs\\x.htm", LinkKind::OnDisc, "docs\\x.htm"},
        {"My%20Page.htm", LinkKind::OnDisc, "lang\\Eng\\My Page.htm"},
        {"%C3%9Cber.htm", LinkKind::OnDisc, "lang\\Eng\\\xC3\x9C" "ber.htm"},
        {"\xC3\x9C" "ber.htm", LinkKind::OnDisc, "lang\\Eng\\\xC3\x9C" "ber.htm"},
        {"a%2Fb.htm", LinkKind::OnDisc, "lang\\Eng\\a\\b.htm"},
        {"%2E%2E/%2E%2E/Start.htm", LinkKind::OnDisc, "Start.htm"},
        {"100%.htm", LinkKind::OnDisc, "lang\\Eng\\100%.htm"},
        {"Next.htm?lang=de#top", LinkKind::OnDisc, "lang\\Eng\\Next.htm"},
        {"Next.htm#a?b", LinkKind::OnDisc, "lang\\Eng\\Next.htm"},
        {"name.htm.", LinkKind::OnDisc, "lang\\Eng\\name.htm"},
        {"#top", LinkKind::SamePage, ""},
        {"?x=1", LinkKind::SamePage, ""},
        {"", LinkKind::SamePage, ""},
        {"http://example.com/x.htm", LinkKind::External, ""},
        {"HTTPS://example.com/", LinkKind::External, ""},
        {"mailto:help@example.com", LinkKind::External, ""},
        {"javascript:void(0)", LinkKind::External, ""},
        {"about:blank", LinkKind::External, ""},
        {"data:image/png;base64,AAAA", LinkKind::External, ""},
        {"res://ieframe.dll/x", LinkKind::External, ""},
        {"file:///D:/x.htm", LinkKind::External, ""},
        {"../../../x.htm", LinkKind::OutsideDisc, ""},
        {"..%2F..%2F..%2Fx.htm", LinkKind::OutsideDisc, ""},
        {"C:\\Windows\\x.htm", LinkKind::OutsideDisc, ""},
        {"d:/x.htm", LinkKind::OutsideDisc, ""},
        {"//server/share/x.htm", LinkKind::OutsideDisc, ""},
        {"\\\\server\\share\\x.htm", LinkKind::OutsideDisc, ""},
        {"%FF%FE.htm", LinkKind::Unknown, ""},
    };
    for (const auto& row : rows) {
        const ResolvedLink r = ResolveLink(row.link, page);
        EXPECT_EQ(static_cast<int>(r.kind), static_cast<int>(row.kind)) << row.link;
        if (row.kind == LinkKind::OnDisc) {
            EXPECT_EQ(Joined(r.parts), row.path) << row.link;
        }
    }
}

TEST(CssReferences, UrlsAndImportsNotCommentsOrStrings) {
    const struct {
        std::string css;
        std::vector<std::pair<std::string, int>> want;  // target, line
    } rows[] = {
        {"body { background: url(img/bg.png) }", {{"img/bg.png", 1}}},
        {"a{b:url( \"q x.png\" )}\nc{d:URL('s.png')}", {{"q x.png", 1}, {"s.png", 2}}},
        {"@import \"base.css\";\n@import url(more.css) screen;", {{"base.css", 1}, {"more.css", 2}}},
        {"@IMPORT 'x.css';", {{"x.css", 1}}},
        {"/* url(no.png) */\n/* a\nb */ p{x:url(yes.png)}", {{"yes.png", 3}}},
        {"p:before{content:\"url(no.png)\"} q{x:url(yes.png)}", {{"yes.png", 1}}},
        {"p{x:url(a\\)b.png)}", {{"a)b.png", 1}}},
        {"p{x:url(\\31 x.png)}", {{"1x.png", 1}}},
        {"p{x:u\\72l(esc.png)}", {{"esc.png", 1}}},
        {"p{x:url(\"a\\\nb.png\")}\nq{y:url(c.png)}", {{"ab.png", 1}, {"c.png", 3}}},
        {"p{x:url(bad name.png)} q{y:url(ok.png)}", {{"ok.png", 1}}},
        {"p{x:url(bad\"q.png)} q{y:url(ok.png)}", {{"ok.png", 1}}},
        {"p{x:myurl(no.png)} q{y:url(ok.png)}", {{"ok.png", 1}}},
        {"@import\n  /* c */ 'late.css';", {{"late.css", 2}}},
        {"@media print { @import 'x.css'; }", {{"x.css", 1}}},
        {"p{x:\"not @import 'no.css'\"}", {}},
        {"p{x:url(open.png", {{"open.png", 1}}},
        {"p{x:'cut\nurl(after.png)}", {{"after.png", 2}}},
        {"a\r\nb\rc\fd{x:url(l.png)}", {{"l.png", 4}}},
    };
    for (const auto& row : rows) {
        std::vector<CssReference> found;
        EXPECT_TRUE(CssReferences(row.css, 1, 100, found)) << row.css;
        std::vector<std::pair<std::string, int>> got;
        for (const CssReference& r : found) got.push_back({r.target, r.line});
        EXPECT_EQ(got, row.want) << row.css;
    }
    std::vector<CssReference> found;
    EXPECT_FALSE(CssReferences("a{x:url(1)} b{x:url(2)} c{x:url(3)}", 5, 2, found));
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[1].line, 5);
}

TEST(HtmlLinks, EveryElementThatLoadsSomethingWithItsLine) {
    if (!CanReadHtmlLinks()) GTEST_SKIP() << "no HTML parser in this build";
    const std::string page =
        "<!DOCTYPE html>\n"                                        // 1
        "<HTML><head><base href=\"sub/\">\n"                        // 2
        "<link rel=stylesheet href='s.css'><SCRIPT src=a.js></script>\n"  // 3
        "<style>\np { background: url(bg.png) }\n</style></head>\n"  // 4-6
        "<body style=\"background:url(body.png)\">\n"              // 7
        "<a href=\"x.htm\">x</a> <a name=top>no href</a>\n"        // 8
        "<img src=\"i.png\"><iframe src=f.htm></iframe>\n"          // 9
        "<frameset><frame src=fr.htm></frameset>\n"                 // 10
        "<embed src=e.swf><object data=o.swf></object>\n"           // 11
        "<video><source src=v.mp4></video><map><area href=ar.htm></map>\n"  // 12
        "<!-- <a href=comment.htm> -->\n"                          // 13
        "<script>document.write('<a href=script.htm>')</script>\n"  // 14
        "<a href=\"amp&amp;.htm\">e</a>\n"                          // 15
        "</body></html>\n";
    const HtmlLinks links = ReadHtmlLinks(page, PageBounds());
    ASSERT_TRUE(links.parsed);
    EXPECT_EQ(links.base, "sub/");
    std::set<std::pair<std::string, int>> got;
    for (const PageLink& link : links.links) got.insert({link.target, link.line});
    const std::set<std::pair<std::string, int>> want = {
        {"s.css", 3},  {"a.js", 3},   {"bg.png", 5}, {"body.png", 7}, {"x.htm", 8},
        {"i.png", 9},  {"f.htm", 9},  {"e.swf", 11}, {"o.swf", 11},   {"v.mp4", 12},
        {"ar.htm", 12}, {"amp&.htm", 15}};
    // A frame outside a frameset document is dropped by the parser, as by the browser.
    std::set<std::pair<std::string, int>> wantedOrFrame = want;
    wantedOrFrame.insert({"fr.htm", 10});
    EXPECT_TRUE(got == want || got == wantedOrFrame) << ::testing::PrintToString(got);
}

TEST(HtmlLinks, NestingIsBoundedBeforeParsing) {
    const struct {
        std::string html;
        int atLeast, atMost;
    } rows[] = {
        {std::string(100000, ' '), 0, 0},
        {[] { std::string s; for (int i = 0; i < 20000; ++i) s += "<div>"; return s; }(), 401, 401},
        {[] { std::string s; for (int i = 0; i < 20000; ++i) s += "<b></x>"; return s; }(), 401, 401},
        {[] { std::string s; for (int i = 0; i < 20000; ++i) s += "<div/>"; return s; }(), 401, 401},
        {[] { std::string s; for (int i = 0; i < 20000; ++i) s += "<p>a<li>b<br><img src=x>"; return s; }(), 0, 0},
        {[] { std::string s; for (int i = 0; i < 20000; ++i) s += "<div>a</div>"; return s; }(), 1, 1},
        {"<svg>" + [] { std::string s; for (int i = 0; i < 20000; ++i) s += "<path d='>'/>"; return s; }() + "</svg>", 1, 1},
        {"<script>" + [] { std::string s; for (int i = 0; i < 20000; ++i) s += "<div>"; return s; }() + "</SCRIPT>", 0, 0},
        {"<!--" + [] { std::string s; for (int i = 0; i < 20000; ++i) s += "<div>"; return s; }() + "-->", 0, 0},
        {"<div><span>a</span><div title='</div>'>", 2, 2},
    };
    for (const auto& row : rows) {
        const int depth = HtmlNestingEstimate(row.html, 400);
        EXPECT_GE(depth, row.atLeast) << row.html.substr(0, 60);
        EXPECT_LE(depth, row.atMost) << row.html.substr(0, 60);
    }
    if (!CanReadHtmlLinks()) return;
    std::string deep;
    for (int i = 0; i < 20000; ++i) deep += "<span><a href=x.htm>";
    const HtmlLinks links = ReadHtmlLinks(deep, PageBounds());
    EXPECT_TRUE(links.tooDeep);
    EXPECT_FALSE(links.parsed);
    EXPECT_TRUE(links.links.empty());
}

// --- Discs through check ------------------------------------------------------------------------

// A finding as the table below spells it: code, path and a piece of its message.
struct Want {
    std::string code, path, detail;
};

struct DiscRow {
    const char* what;
    std::vector<std::pair<std::string, std::string>> files;  // path on the disc, bytes
    std::vector<Want> want;                                   // beyond the sample disc's notes
    std::set<std::string> alsoCodes = {};                     // findings of other parts
};

// A whole page; by default one of a language folder, which loads the folder's marker.
std::string Page(const std::string& body, const std::string& script = "locale.js") {
    return "<!DOCTYPE html>\n<html>\n<head><meta charset=\"utf-8\"><title>t</title>\n"
           "<script src=\"" + script + "\"></script></head>\n<body>\n" + body +
           "\n</body>\n</html>\n";
}

const char* const kNotes[] = {"prelaunch-tool-present", "unsigned"};

std::vector<DiscRow> DiscRows() {
    const std::string eng = "lang/Eng/";
    return {
        {"whole pages whose links are spelled in other cases, escaped, queried and anchored",
         {{eng + "Welcome.htm",
           Page("<a href=\"NEXT.HTM?from=start#top\">n</a>\n<img src=\"Img/LOGO.png\">\n"
                "<a href=\"My%20Page.htm\">m</a> <a href='#top'>t</a>\n"
                "<a href=\"../deu/welcome.htm\">de</a> <a href=\"\\Docs\\Read Me.htm\">r</a>\n"
                "<a href=\"http://example.com/missing.htm\">w</a> <a href=\"mailto:x@y\">m</a>\n"
                "<a href=\"javascript:history.back()\">b</a>\n"
                "<link rel=stylesheet href=\"css/site.css\">")},
          {eng + "Next.htm", Page("<a href=\"welcome.htm\">back</a>")},
          {eng + "img/Logo.png", "png"},
          {eng + "My Page.htm", Page("<p style=\"background:url('img/logo.PNG')\">x</p>")},
          {"docs/Read Me.htm",
           Page("<a href=\"../lang/Eng/Next.htm\">n</a>", "../lang/Eng/locale.js")},
          {eng + "css/site.css",
           "@import \"Print.css\";\n/* url(gone.png) */\nbody { background: url(../img/logo.png) }\n"},
          {eng + "css/print.css", "p { color: black }\n"}},
         {}},
        {"a non-ASCII name, escaped and not",
         {{eng + "Welcome.htm",
           Page("<a href=\"%C3%9Cber%20uns.htm\">a</a> <a href=\"\xC3\xBC" "ber uns.htm\">b</a>")},
          {eng + "\xC3\x9C" "ber uns.htm", Page("")}},
         {},
         {"name-not-in-code-page"}},
        {"a missing page, image, script and style sheet, each with its line",
         {{eng + "Welcome.htm",
           Page("<a href=\"Gone.htm\">g</a>\n<img src=\"img/none.png\">\n"
                "<script src=\"js/none.js\"></script>\n<link rel=stylesheet href=\"none.css\">")}},
         {{"page-link-missing", "lang\\Eng\\Welcome.htm",
           "Line 6 asks for \"Gone.htm\" (lang\\Eng\\Gone.htm)."},
          {"page-link-missing", "lang\\Eng\\Welcome.htm", "Line 7 asks for \"img/none.png\""},
          {"page-link-missing", "lang\\Eng\\Welcome.htm", "Line 8 asks for \"js/none.js\""},
          {"page-link-missing", "lang\\Eng\\Welcome.htm", "Line 9 asks for \"none.css\""}}},
        {"a style sheet's missing image and import, and a page reached only through links",
         {{eng + "Welcome.htm", Page("<a href=\"more/Deep.htm\">d</a>")},
          {eng + "more/Deep.htm",
           Page("<link rel=stylesheet href=\"../s.css\">", "/lang/eng/LOCALE.JS")},
          {eng + "s.css", "@import 'gone.css';\n\np { background: url(\"gone.png\") }\n"}},
         {{"page-link-missing", "lang\\Eng\\s.css", "Line 1 asks for \"gone.css\""},
          {"page-link-missing", "lang\\Eng\\s.css", "Line 3 asks for \"gone.png\""}}},
        {"a link above the disc's root, and one to another drive",
         {{eng + "Welcome.htm",
           Page("<a href=\"../../../Other.htm\">up</a>\n<img src=\"C:\\logo.png\">")}},
         {{"page-link-outside-disc", "lang\\Eng\\Welcome.htm",
           "Line 6 asks for \"../../../Other.htm\"."},
          {"page-link-outside-disc", "lang\\Eng\\Welcome.htm", "Line 7 asks for \"C:\\logo.png\""}}},
        {"a base that moves the page's links",
         {{eng + "Welcome.htm", Page("<base href=\"../DEU/\">\n<a href=\"Welcome.htm\">w</a>\n"
                                     "<a href=\"Nur.htm\">n</a>")}},
         {{"page-link-missing", "lang\\Eng\\Welcome.htm", "(lang\\DEU\\Nur.htm)"}}},
        {"a cycle of links",
         {{eng + "Welcome.htm", Page("<a href=\"a.htm\">a</a>")},
          {eng + "a.htm", Page("<a href=\"B.HTM\">b</a>")},
          {eng + "b.htm", Page("<a href=\"A.htm\">a</a> <a href=\"welcome.htm\">w</a>")}},
         {}},
        {"the placeholder that init writes",
         {{"lang/DEU/Welcome.htm",
           Page("<p>Replace this page with the disc's start page for DEU.</p>")}},
         {{"page-placeholder", "lang\\DEU\\Welcome.htm", ""}}},
    };
}

TEST(CheckPageLinks, ATableOfDiscs) {
    REQUIRE_SAMPLE_DISC();
    if (!CanReadHtmlLinks()) GTEST_SKIP() << "no HTML parser in this build";
    for (const DiscRow& row : DiscRows()) {
        SCOPED_TRACE(row.what);
        DiscCopy disc;
        for (const auto& [path, bytes] : row.files) disc.Write(path, bytes);
        std::vector<Finding> findings;
        std::string error;
        ASSERT_TRUE(CheckDisc(disc.Root(), findings, error)) << error;
        std::vector<bool> matched(row.want.size(), false);
        for (const Finding& f : findings) {
            const std::string& code = f.kind->code;
            if (code == kNotes[0] || code == kNotes[1] || row.alsoCodes.count(code)) continue;
            bool expected = false;
            for (std::size_t i = 0; i < row.want.size(); ++i) {
                const Want& w = row.want[i];
                if (matched[i] || w.code != code || w.path != f.path ||
                    f.detail.find(w.detail) == std::string::npos) {
                    continue;
                }
                matched[i] = expected = true;
                break;
            }
            EXPECT_TRUE(expected) << "also found " << code << " " << f.path << ": " << f.detail;
        }
        for (std::size_t i = 0; i < row.want.size(); ++i) {
            EXPECT_TRUE(matched[i]) << "wanted " << row.want[i].code << " " << row.want[i].path
                                    << ": " << row.want[i].detail;
        }
    }
}

// Bounds: every hostile page ends in a finding of its own, never in a crash or a long walk.
TEST(CheckPageLinks, HostilePagesEndInFindings) {
    REQUIRE_SAMPLE_DISC();
    if (!CanReadHtmlLinks()) GTEST_SKIP() << "no HTML parser in this build";
    const std::string eng = "lang/Eng/";
    std::string nested, links, chain;
    for (int i = 0; i < 20000; ++i) nested += "<div><a href=\"gone.htm\">";
    for (int i = 0; i < 10001; ++i) links += "<a href=\"Welcome.htm\">w</a>\n";
    struct Row {
        const char* what;
        std::function<void(DiscCopy&)> make;
        std::string code, path;
    };
    const Row rows[] = {
        {"40 MB", [&](DiscCopy& d) {
             d.Write(eng + "Welcome.htm", Page("<a href=\"Big.htm\">b</a>"));
             d.Write(eng + "Big.htm", "<a href=\"gone.htm\">");
             std::filesystem::resize_file(d / (eng + "Big.htm"), 40u << 20);
         }, "page-too-large", "lang\\Eng\\Big.htm"},
        {"20,000 nested tags", [&](DiscCopy& d) { d.Write(eng + "Welcome.htm", Page(nested)); },
         "page-too-deep", "lang\\Eng\\Welcome.htm"},
        {"10,001 links", [&](DiscCopy& d) { d.Write(eng + "Welcome.htm", Page(links)); },
         "page-too-many-links", "lang\\Eng\\Welcome.htm"},
        {"a chain of 2,100 pages", [&](DiscCopy& d) {
             d.Write(eng + "Welcome.htm", Page("<a href=\"p/0.htm\">0</a>"));
             for (int i = 0; i < 2100; ++i) {
                 d.Write(eng + "p/" + std::to_string(i) + ".htm",
                         "<a href=\"" + std::to_string(i + 1) + ".htm\">n</a>");
             }
         }, "pages-too-many", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        DiscCopy disc;
        row.make(disc);
        std::vector<Finding> findings;
        std::string error;
        ASSERT_TRUE(CheckDisc(disc.Root(), findings, error)) << error;
        std::size_t bounded = 0;
        for (const Finding& f : findings) {
            if (f.kind->code == row.code && (row.path.empty() || f.path == row.path)) ++bounded;
            // Nothing past a bound was looked at: the pages behind it report nothing.
            EXPECT_NE(f.kind->code, "page-link-missing") << f.path << ": " << f.detail;
        }
        EXPECT_EQ(bounded, 1u);
    }
}

}  // namespace
