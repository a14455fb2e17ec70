// The pages a browser opened on a start page reaches, followed link by link as the browser
// control on Windows resolves them, with every page, link and byte bounded.
#include <cstdint>
#include <deque>

#include "kit/check/Checker.h"
#include "kit/check/PageLinks.h"
#include "kit/common/Css.h"
#include "kit/windows/WindowsText.h"

namespace checkdisc {

namespace {

constexpr std::size_t kMaxPages = 2000;
constexpr std::uint64_t kMaxPageBytes = 1u << 20;
// Dense pages cost the parser about half a second a MiB on this kind of machine: 4 MiB in all
// keeps check within seconds on a hostile disc, and is far more than a disc's pages need.
constexpr std::uint64_t kMaxPagesBytes = 4u << 20;
constexpr std::size_t kShownLink = 200;  // characters of a link a finding shows


enum class PageType { Other, Html, Css };

PageType TypeOf(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos) return PageType::Other;
    std::string ext = name.substr(dot + 1);
    for (char& c : ext) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    if (ext == "htm" || ext == "html") return PageType::Html;
    if (ext == "css") return PageType::Css;
    return PageType::Other;
}

std::string Shown(const std::string& link) {
    if (link.size() <= kShownLink) return "\"" + link + "\"";
    std::size_t cut = kShownLink;
    while (cut > 0 && (static_cast<unsigned char>(link[cut]) & 0xC0) == 0x80) --cut;
    return "\"" + link.substr(0, cut) + "...\"";
}

}  // namespace

const DiscEntry* Checker::Locate(const std::vector<std::string>& parts,
                                 std::vector<std::string>& names) {
    names.clear();
    const DiscFolder* folder = &rootEntries_;
    const DiscEntry* entry = nullptr;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) {
            if (!entry->isDirectory) return nullptr;
            folder = &EntriesOf(*entry);
        }
        const Lookup found = folder->Find(parts[i]);
        if (!found.entry) return nullptr;
        entry = found.entry;
        names.push_back(entry->name);
    }
    return entry;
}

void Checker::AddLinkFinding(const std::string& code, const std::string& page,
                             const std::string& detail) {
    if (!added_.insert(code + '\n' + page + '\n' + detail).second) return;
    findings_.emplace_back(code, page, detail);
}

void Checker::FollowPages() {
    struct Page {
        std::vector<std::string> parts;  // names as on the disc
        const DiscEntry* entry;
    };
    std::deque<Page> queue;
    std::set<std::string> seen;
    const auto enqueue = [&](const std::vector<std::string>& parts, const DiscEntry& entry) {
        if (!entry.isFile || TypeOf(entry.name) == PageType::Other) return;
        if (!seen.insert(UpperUtf8(JoinAll(parts, "\\"))).second) return;
        queue.push_back({parts, &entry});
    };
    for (const std::vector<std::string>& start : startPages_) {
        std::vector<std::string> names;
        if (const DiscEntry* entry = Locate(start, names)) enqueue(names, *entry);
    }

    const PageBounds bounds;
    std::size_t followed = 0;
    std::uint64_t bytes = 0;
    while (!queue.empty()) {
        const Page page = queue.front();
        queue.pop_front();
        const std::string pagePath = JoinAll(page.parts, "\\");
        const std::uint64_t size = reader_.SizeOf(*page.entry);
        if (size > kMaxPageBytes) {
            Add("page-too-large", pagePath,
                "It holds " + std::to_string(size) + " bytes.");
            continue;
        }
        if (followed == kMaxPages || bytes + size > kMaxPagesBytes) {
            Add("pages-too-many", pagePath);
            return;
        }
        ++followed;
        bytes += size;
        std::string text;
        if (!ReadSmallFile(*page.entry, text)) continue;

        std::vector<PageLink> links;
        std::string base;
        bool tooMany = false;
        if (TypeOf(page.entry->name) == PageType::Html) {
            if (text.find(kInitPlaceholder) != std::string::npos) Add("page-placeholder", pagePath);
            if (!CanReadHtmlLinks()) continue;
            HtmlLinks html = ReadHtmlLinks(text, bounds);
            if (html.tooDeep) {
                Add("page-too-deep", pagePath);
                continue;
            }
            links = std::move(html.links);
            base = html.base;
            tooMany = html.tooManyLinks;
        } else {
            std::vector<CssReference> references;
            tooMany = !CssReferences(text, 1, bounds.maxLinks, references);
            for (CssReference& r : references) links.push_back({std::move(r.target), r.line});
        }
        if (tooMany) Add("page-too-many-links", pagePath);

        std::vector<std::string> folder(page.parts.begin(), page.parts.end() - 1);
        if (!base.empty()) {
            const ResolvedLink resolved = ResolveLink(base, folder);
            // A base elsewhere makes every relative link of the page lead there.
            if (resolved.kind == LinkKind::External || resolved.kind == LinkKind::OutsideDisc ||
                resolved.kind == LinkKind::Unknown) {
                continue;
            }
            if (resolved.kind == LinkKind::OnDisc) {
                folder = resolved.parts;
                if (!resolved.folder) folder.pop_back();
            }
        }
        for (const PageLink& link : links) {
            const ResolvedLink resolved = ResolveLink(link.target, folder);
            const std::string line = std::to_string(link.line);
            if (resolved.kind == LinkKind::OutsideDisc) {
                AddLinkFinding("page-link-outside-disc", pagePath,
                               "Line " + line + " asks for " + Shown(link.target) + ".");
                continue;
            }
            if (resolved.kind != LinkKind::OnDisc || resolved.parts.empty()) continue;
            std::vector<std::string> names;
            const DiscEntry* target = Locate(resolved.parts, names);
            if (!target) {
                const std::string wanted = JoinAll(resolved.parts, "\\");
                AddLinkFinding("page-link-missing", pagePath,
                               "Line " + line + " asks for " + Shown(link.target) + " (" +
                                   wanted + ").");
                continue;
            }
            enqueue(names, *target);
        }
    }
}

}  // namespace checkdisc
