// disckit cache: where the cache is, and its sizes as people read them.
#include <gtest/gtest.h>

#include <string>

#include "kit/cache/Cache.h"

namespace {

TEST(Cache, SizeAsPeopleReadIt) {
    const struct {
        std::uint64_t bytes;
        const char* shown;
    } table[] = {
        {0, "0 bytes"},          {1, "1 byte"},          {999, "999 bytes"},
        {1000, "1.0 kB"},        {8200, "8.2 kB"},       {999499, "999 kB"},
        {999500, "1.0 MB"},      {617000000, "617 MB"}, {1300000000, "1.3 GB"},
        {12345678901234, "12 TB"}, {18446744073709551615ull, "18446744 TB"},
    };
    for (const auto& row : table) EXPECT_EQ(CacheSize(row.bytes), row.shown) << row.bytes;
}

TEST(Cache, TheFolderOfEachAccount) {
    const struct {
        bool root;
        const char *xdg, *home, *account, *folder;
    } table[] = {
        {true, "/x", "/h", "/a", "/var/cache/disckit"},
        {false, "/x", "/h", "/a", "/x/disckit"},
        {false, "relative", "/h", "/a", "/h/.cache/disckit"},
        {false, "", "/h", "/a", "/h/.cache/disckit"},
        {false, nullptr, nullptr, "/a", "/a/.cache/disckit"},
        {false, nullptr, "h", "/a", "/a/.cache/disckit"},
        {false, nullptr, nullptr, nullptr, ""},
        {false, nullptr, nullptr, "", ""},
    };
    for (const auto& row : table)
        EXPECT_EQ(CacheFolder(row.root, row.xdg, row.home, row.account), row.folder) << row.folder;
}

}  // namespace
