// The HTML reports' one escape: nothing a disc names may become markup, and what is not text is
// shown rather than passed on.
#include <gtest/gtest.h>

#include <sstream>

#include "kit/Verbs.h"
#include "kit/common/Html.h"

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
