#include "kit/check/PageLinks.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "kit/common/Css.h"
#include "kit/common/Utf8.h"

#ifdef DISCKIT_HAVE_GUMBO
#include <gumbo.h>
#endif

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool IsHtmlBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

bool OneOf(const std::string& name, const char* const* list) {
    for (; *list; ++list) {
        if (name == *list) return true;
    }
    return false;
}

// Elements that never hold others.
const char* const kVoid[] = {"area", "base", "basefont", "bgsound", "br", "col", "embed",
                             "frame", "hr", "img", "input", "keygen", "link", "meta", "param",
                             "source", "track", "wbr", "image", nullptr};
// Elements that the next of their kind (or their parent's end) closes.
const char* const kSelfClosing[] = {"p", "li", "dt", "dd", "option", "optgroup", "tr", "td",
                                    "th", "thead", "tbody", "tfoot", "rb", "rt", "rp", "rtc",
                                    "colgroup", "caption", nullptr};
// Elements whose content is text up to their end tag.
const char* const kRawText[] = {"script", "style", "textarea", "title", "xmp", "iframe",
                                "noembed", "noframes", nullptr};
// HTML elements that end SVG or MathML content when they start there, so that "/>" on them does
// not close them.
const char* const kBreakOut[] = {
    "b", "big", "blockquote", "body", "br", "center", "code", "dd", "div", "dl", "dt", "em",
    "embed", "h1", "h2", "h3", "h4", "h5", "h6", "head", "hr", "i", "img", "li", "listing",
    "menu", "meta", "nobr", "ol", "p", "pre", "ruby", "s", "small", "span", "strong", "strike",
    "sub", "sup", "table", "tt", "u", "ul", "var", "font", nullptr};

// The position of the first occurrence of needle (lower case) at or after from, compared without
// regard to ASCII case; npos if none.
std::size_t FindNoCase(const std::string& text, const char* needle, std::size_t from) {
    const std::size_t n = std::strlen(needle);
    for (std::size_t at = text.find('<', from); at != std::string::npos;
         at = text.find('<', at + 1)) {
        if (at + n > text.size()) return std::string::npos;
        std::size_t k = 0;
        while (k < n && Lower(text[at + k]) == needle[k]) ++k;
        if (k == n) return at;
    }
    return std::string::npos;
}

}  // namespace

int HtmlNestingEstimate(const std::string& html, int limit) {
    std::vector<std::string> open;
    std::size_t deepest = 0;
    int foreign = 0;  // how many of the open elements are <svg> or <math>
    // Ends the last open element of that name, and every one inside it.
    const auto closeLast = [&](const std::string& name) {
        for (std::size_t k = open.size(); k-- > 0;) {
            if (open[k] != name) continue;
            for (std::size_t j = k; j < open.size(); ++j) {
                if (open[j] == "svg" || open[j] == "math") --foreign;
            }
            open.resize(k);
            return;
        }
    };
    std::size_t at = 0;
    const std::size_t n = html.size();
    while ((at = html.find('<', at)) != std::string::npos) {
        if (html.compare(at, 4, "<!--") == 0) {
            const std::size_t end = html.find("-->", at + 4);
            if (end == std::string::npos) break;
            at = end + 3;
            continue;
        }
        const bool closing = at + 1 < n && html[at + 1] == '/';
        const std::size_t nameAt = at + (closing ? 2 : 1);
        if (nameAt >= n || !IsAsciiLetter(html[nameAt])) {
            if (at + 1 < n && (html[at + 1] == '!' || html[at + 1] == '?' || closing)) {
                const std::size_t end = html.find('>', at + 1);
                if (end == std::string::npos) break;
                at = end + 1;
            } else {
                ++at;
            }
            continue;
        }
        std::size_t end = nameAt;
        std::string name;
        while (end < n && !IsHtmlBlank(html[end]) && html[end] != '/' && html[end] != '>') {
            if (name.size() < 32) name += Lower(html[end]);
            ++end;
        }
        // To the tag's end, past quoted attribute values.
        char quote = 0;
        bool selfClosing = false;
        for (; end < n; ++end) {
            const char c = html[end];
            if (quote) {
                if (c == quote) quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                selfClosing = html[end - 1] == '/';
                break;
            }
        }
        if (end >= n) break;
        at = end + 1;
        if (closing) {
            closeLast(name);
            continue;
        }
        if (name == "plaintext") break;
        if (OneOf(name, kRawText)) {
            const std::string endTag = "</" + name;
            const std::size_t close = FindNoCase(html, endTag.c_str(), at);
            if (close == std::string::npos) break;
            at = close;
            continue;
        }
        if (OneOf(name, kVoid) || OneOf(name, kSelfClosing)) continue;
        if (selfClosing && foreign > 0 && !OneOf(name, kBreakOut)) continue;
        if (name == "svg" || name == "math") ++foreign;
        open.push_back(std::move(name));
        deepest = std::max(deepest, open.size());
        if (static_cast<int>(deepest) > limit) break;
    }
    return static_cast<int>(deepest);
}

#ifdef DISCKIT_HAVE_GUMBO

bool CanReadHtmlLinks() { return true; }

namespace {

struct LinkAttribute {
    GumboTag tag;
    const char* attribute;
};
const LinkAttribute kLinkAttributes[] = {
    {GUMBO_TAG_A, "href"},       {GUMBO_TAG_AREA, "href"},  {GUMBO_TAG_IMG, "src"},
    {GUMBO_TAG_SCRIPT, "src"},   {GUMBO_TAG_IFRAME, "src"}, {GUMBO_TAG_FRAME, "src"},
    {GUMBO_TAG_EMBED, "src"},    {GUMBO_TAG_OBJECT, "data"}, {GUMBO_TAG_SOURCE, "src"},
    {GUMBO_TAG_LINK, "href"},
};

class LinkWalk {
public:
    LinkWalk(HtmlLinks& out, std::size_t max) : out_(out), max_(max) {}

    void Add(const char* target, int line) {
        if (out_.links.size() >= max_) {
            out_.tooManyLinks = true;
            return;
        }
        out_.links.push_back({target, line});
    }

    void AddCss(const std::string& css, int line) {
        if (out_.links.size() >= max_) {
            out_.tooManyLinks = true;
            return;
        }
        std::vector<CssReference> found;
        if (!CssReferences(css, line, max_ - out_.links.size(), found)) out_.tooManyLinks = true;
        for (CssReference& ref : found) out_.links.push_back({std::move(ref.target), ref.line});
    }

    void Element(const GumboElement& element) {
        if (element.tag_namespace != GUMBO_NAMESPACE_HTML) return;
        if (element.tag == GUMBO_TAG_BASE && !baseSeen_) {
            if (const GumboAttribute* href = gumbo_get_attribute(&element.attributes, "href")) {
                out_.base = href->value;
                baseSeen_ = true;
            }
        }
        for (const LinkAttribute& pair : kLinkAttributes) {
            if (pair.tag != element.tag) continue;
            if (const GumboAttribute* a = gumbo_get_attribute(&element.attributes, pair.attribute)) {
                Add(a->value, static_cast<int>(a->value_start.line));
            }
        }
        if (const GumboAttribute* style = gumbo_get_attribute(&element.attributes, "style")) {
            AddCss(style->value, static_cast<int>(style->value_start.line));
        }
        if (element.tag == GUMBO_TAG_STYLE) {
            for (unsigned i = 0; i < element.children.length; ++i) {
                const auto* child = static_cast<const GumboNode*>(element.children.data[i]);
                if (child->type == GUMBO_NODE_TEXT || child->type == GUMBO_NODE_WHITESPACE) {
                    AddCss(child->v.text.text, static_cast<int>(child->v.text.start_pos.line));
                }
            }
        }
    }

private:
    HtmlLinks& out_;
    std::size_t max_;
    bool baseSeen_ = false;
};

}  // namespace

HtmlLinks ReadHtmlLinks(const std::string& html, const PageBounds& bounds) {
    HtmlLinks out;
    if (HtmlNestingEstimate(html, bounds.maxDepth) > bounds.maxDepth) {
        out.tooDeep = true;
        return out;
    }
    GumboOptions options = kGumboDefaultOptions;
    options.max_errors = 0;  // what is wrong with the markup is no concern here
    GumboOutput* output = gumbo_parse_with_options(&options, html.data(), html.size());
    if (!output) return out;
    out.parsed = true;
    LinkWalk walk(out, bounds.maxLinks);
    // Walked with a stack of its own: the depth is bounded above, but not by the call stack.
    std::vector<const GumboNode*> stack = {output->document};
    while (!stack.empty()) {
        const GumboNode* node = stack.back();
        stack.pop_back();
        const GumboVector* children = nullptr;
        if (node->type == GUMBO_NODE_ELEMENT || node->type == GUMBO_NODE_TEMPLATE) {
            walk.Element(node->v.element);
            children = &node->v.element.children;
        } else if (node->type == GUMBO_NODE_DOCUMENT) {
            children = &node->v.document.children;
        }
        if (!children) continue;
        for (unsigned i = children->length; i-- > 0;) {
            stack.push_back(static_cast<const GumboNode*>(children->data[i]));
        }
    }
    gumbo_destroy_output(&options, output);
    return out;
}

#else

bool CanReadHtmlLinks() { return false; }

HtmlLinks ReadHtmlLinks(const std::string&, const PageBounds&) { return HtmlLinks(); }

#endif

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string PercentDecoded(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 &&
            HexDigit(text[i + 2]) >= 0) {
            out += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace

ResolvedLink ResolveLink(const std::string& link, const std::vector<std::string>& pageFolder) {
    ResolvedLink out;
    // Blanks around the link go; tabs and line ends inside it too.
    std::size_t first = 0, last = link.size();
    while (first < last && (IsHtmlBlank(link[first]) || link[first] == '\0')) ++first;
    while (last > first && IsHtmlBlank(link[last - 1])) --last;
    std::string url;
    for (std::size_t i = first; i < last; ++i) {
        const char c = link[i];
        if (c == '\t' || c == '\n' || c == '\r') continue;
        url += c == '\\' ? '/' : c;
    }
    // A scheme: letters first, then letters, digits, '+', '-', '.'. One letter is a drive.
    std::size_t colon = 0;
    if (!url.empty() && IsAsciiLetter(url[0])) {
        colon = 1;
        while (colon < url.size() &&
               (IsAsciiLetter(url[colon]) || (url[colon] >= '0' && url[colon] <= '9') ||
                url[colon] == '+' || url[colon] == '-' || url[colon] == '.')) {
            ++colon;
        }
        if (colon < url.size() && url[colon] == ':') {
            out.kind = colon == 1 ? LinkKind::OutsideDisc : LinkKind::External;
            return out;
        }
    }
    url = url.substr(0, url.find('#'));
    url = url.substr(0, url.find('?'));
    if (url.empty()) return out;  // this very page
    if (url.compare(0, 2, "//") == 0) {
        out.kind = LinkKind::OutsideDisc;  // a server's share
        return out;
    }
    const std::string path = PercentDecoded(url);
    std::u32string check;
    if (!DecodeUtf8(path, check) || check.find(U'\uFFFD') != std::u32string::npos) {
        out.kind = LinkKind::Unknown;
        return out;
    }
    std::vector<std::string> parts;
    if (path[0] != '/' && path[0] != '\\') parts = pageFolder;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find_first_of("/\\", start);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(start, end - start);
        start = end + 1;
        // Windows drops a name's trailing dots and blanks, "." and ".." aside.
        if (part != "." && part != "..") {
            while (!part.empty() && (part.back() == '.' || part.back() == ' ')) part.pop_back();
        }
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (parts.empty()) {
                out.kind = LinkKind::OutsideDisc;
                return out;
            }
            parts.pop_back();
            continue;
        }
        parts.push_back(std::move(part));
    }
    const char lastChar = path.back();
    out.folder = lastChar == '/' || lastChar == '\\' || parts.empty();
    out.kind = LinkKind::OnDisc;
    out.parts = std::move(parts);
    return out;
}
