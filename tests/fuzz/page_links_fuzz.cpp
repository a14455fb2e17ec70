// libFuzzer target: a page of the disc, read as check reads the pages it follows: as a style
// sheet (its url() and @import targets), as an HTML page (its nesting, then its links through the
// HTML parser) and each link resolved against a folder of the disc.
// Built and run by scripts/check-sanitizers.sh (clang, ASan and UBSan).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kit/check/PageLinks.h"
#include "kit/common/Css.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> folder = {"lang", "Eng"};
    std::vector<CssReference> references;
    CssReferences(bytes, 1, 1000, references);
    for (const CssReference& r : references) (void)ResolveLink(r.target, folder);
    PageBounds bounds;
    bounds.maxLinks = 1000;
    const HtmlLinks links = ReadHtmlLinks(bytes, bounds);
    for (const PageLink& link : links.links) (void)ResolveLink(link.target, folder);
    (void)ResolveLink(bytes, folder);
    return 0;
}
