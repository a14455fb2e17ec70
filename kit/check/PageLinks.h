// What a page of the disc asks the browser to load, and where on the disc that is: the links of
// an HTML page (read by a real HTML parser) and of its style sheets, and their resolution as the
// browser control on Windows resolves a link of a page opened from the disc.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// What disckit init writes on each start page it makes, before the language folder's name: a
// page that still holds it was never written.
constexpr const char* kInitPlaceholder = "Replace this page with the disc's start page for ";

struct PageLink {
    std::string target;  // as written (attribute values with their character references decoded)
    int line = 0;        // the line of the page it is on
};

// How far a page is read.
struct PageBounds {
    std::size_t maxLinks = 10000;  // links of one page
    int maxDepth = 400;            // nesting of its elements (real pages have a few dozen)
};

struct HtmlLinks {
    bool parsed = false;        // false: too deep (tooDeep), or no HTML parser in this build
    bool tooDeep = false;       // nested deeper than the bounds allow; not parsed
    bool tooManyLinks = false;  // more links than the bounds allow; links holds the first
    std::string base;           // the first <base href>, if any
    std::vector<PageLink> links;
};

// Whether this build of disckit can read a page's links (the Windows build has no HTML parser).
bool CanReadHtmlLinks();

// The links of an HTML page (UTF-8): a[href], area[href], img, script, iframe, frame, embed and
// source by src, object by data, link by href, and the url() and @import targets of its <style>
// elements and style attributes.
HtmlLinks ReadHtmlLinks(const std::string& html, const PageBounds& bounds);

// How deep the parser's tree of the page goes, at least roughly (elements that the parser closes
// by themselves, such as <p> or <li>, and void ones are not counted); stops counting past limit.
// Quick and linear, so that a page can be refused before a parser spends time quadratic in its
// depth on it.
int HtmlNestingEstimate(const std::string& html, int limit);

enum class LinkKind {
    SamePage,    // empty, or only a fragment or query
    External,    // another scheme (http:, mailto:, javascript:, res: ...): left alone
    OnDisc,      // parts says where
    OutsideDisc, // above the disc's root, on another drive or on the network
    Unknown,     // a name that is not UTF-8 once decoded: the page's code page would say
};

struct ResolvedLink {
    LinkKind kind = LinkKind::SamePage;
    std::vector<std::string> parts;  // from the disc's root, each a name as the link spells it
    bool folder = false;             // ends in a slash
};

// A link of a page whose folder is pageFolder (names from the disc's root), as the browser
// resolves it: blanks around it dropped, backslashes as slashes, the query and fragment dropped,
// %-escapes decoded, "." and ".." applied, a leading slash from the disc's root.
ResolvedLink ResolveLink(const std::string& link, const std::vector<std::string>& pageFolder);
