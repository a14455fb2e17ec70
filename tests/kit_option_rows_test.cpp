// Every verb's option rows are well formed, since one table parses, helps, and completes: a flag
// has no argument and a valued option has one, names are unique, a default belongs to a valued
// option, and choices go with the kind that offers them. And the parser honours each row's arity.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "kit/Help.h"
#include "kit/common/Options.h"
#include "kit/windows/WindowsText.h"

namespace {

TEST(OptionRows, EveryVerbsRowsAreWellFormed) {
    for (std::size_t v = 0; v < VerbCount(); ++v) {
        const VerbHelp& verb = Verbs()[v];
        SCOPED_TRACE(verb.name);
        ASSERT_NE(verb.options, nullptr);
        ASSERT_NE(verb.run, nullptr);
        EXPECT_GT(verb.options->count, 0u);
        std::set<std::string> names, members;
        for (const OptionRow& row : *verb.options) {
            SCOPED_TRACE(row.name);
            EXPECT_EQ(std::string(row.name).compare(0, 2, "--"), 0);
            EXPECT_TRUE(names.insert(row.name).second) << "twice";
            EXPECT_NE(std::string(row.name), "--help") << "every verb has --help already";
            EXPECT_NE(row.target.store, nullptr);
            EXPECT_EQ(row.argument == nullptr, row.target.arity == Arity::Flag);
            EXPECT_TRUE(!row.defaultValue || row.target.arity != Arity::Flag);
            EXPECT_EQ(row.choices != nullptr, row.kind == ValueKind::Choices);
            const std::string help = row.help;
            EXPECT_FALSE(help.empty());
            // The default is the row's, and the help printer adds it.
            EXPECT_EQ(help.find("Default:"), std::string::npos);
            // A request member is named once; a number's default is what the request gets.
            if (row.request.key) {
                EXPECT_TRUE(members.insert(row.request.key).second) << "twice";
            }
            std::uint64_t n = 0;
            EXPECT_TRUE(!row.request.number ||
                        (row.defaultValue && ParseUnsigned(row.defaultValue, n)));
        }
    }
}

struct Values {
    bool flag = false;
    std::optional<std::string> value;
    std::vector<std::string> list;
};

const OptionRow kRows[] = {
    {"--flag", nullptr, "A flag.", ValueKind::Free, nullptr, nullptr, Into<&Values::flag>},
    {"--value", "V", "A value.", ValueKind::Free, nullptr, nullptr, Into<&Values::value>},
    {"--list", "V", "Repeated.", ValueKind::Free, nullptr, nullptr, Into<&Values::list>},
};
const OptionTable kTable = DISCKIT_OPTION_TABLE(kRows);

TEST(OptionRows, TheParserFollowsEachRowsArity) {
    Values values;
    std::string operand, error;
    ASSERT_TRUE(ParseVerbOptions({"--list", "a", "--value=1", "disc", "--flag", "--list=b",
                                  "--value", "2"},
                                 kTable, &values, "disc", operand, error))
        << error;
    EXPECT_EQ(operand, "disc");
    EXPECT_TRUE(values.flag);
    EXPECT_EQ(values.value, std::optional<std::string>("2"));  // the later one wins
    EXPECT_EQ(values.list, (std::vector<std::string>{"a", "b"}));

    const std::pair<Args, const char*> bad[] = {
        {{"disc", "--flag=yes"}, "--flag takes no value"},
        {{"disc", "--value"}, "--value needs a value"},
        {{"disc", "--list"}, "--list needs a value"},
        {{"disc", "--other"}, "unknown option '--other'"},
        {{"disc", "more"}, "one disc only ('disc', then 'more')"},
        {{"--flag"}, "which disc?"},
    };
    for (const auto& row : bad) {
        Values ignored;
        EXPECT_FALSE(ParseVerbOptions(row.first, kTable, &ignored, "disc", operand, error));
        EXPECT_EQ(error, row.second);
    }
}

// A row that names a member of a request puts its value there, typed by the row, in the rows'
// order; rows that name none stay out.
struct RequestValues {
    bool flag = false;
    std::optional<std::string> text, count, unnamed;
    std::vector<std::string> list;
};

const OptionRow kRequestRows[] = {
    {"--count", "N", "A number.", ValueKind::Free, nullptr, "7", Into<&RequestValues::count>,
     ToRequestAsNumber("count")},
    {"--flag", nullptr, "A flag.", ValueKind::Free, nullptr, nullptr, Into<&RequestValues::flag>,
     ToRequest("flag")},
    {"--text", "T", "A text.", ValueKind::Free, nullptr, "prose", Into<&RequestValues::text>,
     ToRequest("text")},
    {"--unnamed", "U", "Not sent.", ValueKind::Free, nullptr, nullptr,
     Into<&RequestValues::unnamed>},
    {"--list", "L", "Repeated.", ValueKind::Free, nullptr, nullptr, Into<&RequestValues::list>,
     ToRequest("list")},
};
const OptionTable kRequestTable = DISCKIT_OPTION_TABLE(kRequestRows);

TEST(OptionRows, RowsThatNameARequestMemberFillIt) {
    const struct {
        Args args;
        const char* members;  // key=JSON, in order; or the error
    } rows[] = {
        {{"d"}, "count=7 flag=false text=null list=[]"},
        {{"d", "--count", "12", "--flag", "--text", "7", "--unnamed", "x", "--list", "a",
          "--list", "b"},
         "count=12 flag=true text=\"7\" list=[\"a\",\"b\"]"},
        {{"d", "--count", "twelve"}, "--count needs a whole number, not 'twelve'"},
        {{"d", "--count", ""}, "--count needs a whole number, not ''"},
    };
    for (const auto& row : rows) {
        RequestValues values;
        std::string operand, error, got;
        ASSERT_TRUE(ParseVerbOptions(row.args, kRequestTable, &values, "disc", operand, error));
        std::vector<std::pair<std::string, Json>> members;
        if (RequestMembers(kRequestTable, &values, members, error)) {
            for (const auto& member : members) {
                std::string json = member.second.Dump();
                json.erase(std::remove_if(json.begin(), json.end(),
                                          [](char c) { return c == '\n' || c == ' '; }),
                           json.end());
                got += (got.empty() ? "" : " ") + member.first + "=" + json;
            }
        } else {
            got = error;
        }
        EXPECT_EQ(got, row.members);
    }
}

}  // namespace
