#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win32/GrowingRead.h"

namespace {

// A system call as ReadGrowing sees it: copies text into the buffer when it fits. Counts its calls
// and gives up (failing the test) long before an unbounded loop would run out of memory.
struct FakeQuery {
    std::string text;
    bool reportsNeededSize = true;  // else it cuts the text short and reports the buffer's size
    int calls = 0;
    std::uint32_t operator()(char* buffer, std::uint32_t size) {
        if (++calls > 64) {
            ADD_FAILURE() << "still growing after 64 calls: the loop has no bound";
            return 0;
        }
        if (text.size() < size) {
            text.copy(buffer, text.size());
            buffer[text.size()] = '\0';
            return static_cast<std::uint32_t>(text.size());
        }
        if (reportsNeededSize) return static_cast<std::uint32_t>(text.size() + 1);
        text.copy(buffer, size);
        return size;
    }
};

TEST(ReadGrowing, TextsOfAnyLengthUpToTheLongestPathAreReadWhole) {
    for (bool reportsNeededSize : {true, false}) {
        for (std::size_t length : {1u, 259u, 260u, 261u, 4000u, 32767u}) {
            FakeQuery query{std::string(length, 'x'), reportsNeededSize};
            std::string out;
            EXPECT_TRUE(ReadGrowing(out, std::ref(query))) << length;
            EXPECT_EQ(out.size(), length);
            EXPECT_TRUE(out == query.text) << length;
        }
    }
}

TEST(ReadGrowing, FailureAndTextsBeyondTheBoundAreNotRead) {
    FakeQuery failing{std::string()};
    std::string out = "kept";
    EXPECT_FALSE(ReadGrowing(out, std::ref(failing)));
    for (bool reportsNeededSize : {true, false}) {
        FakeQuery tooLong{std::string(kMaxTextChars, 'x'), reportsNeededSize};
        EXPECT_FALSE(ReadGrowing(out, std::ref(tooLong)));
        EXPECT_LE(tooLong.calls, 10);
    }
    EXPECT_EQ(out, "kept");
}

// A system that asks for one more character every time (or for an absurd size) is not followed
// without end.
TEST(ReadGrowing, ASystemThatAlwaysAsksForMoreIsNotBelieved) {
    int calls = 0;
    auto greedy = [&calls](char*, std::uint32_t size) -> std::uint32_t {
        if (++calls > 64) {
            ADD_FAILURE() << "still growing after 64 calls: the loop has no bound";
            return 0;
        }
        return size + 1;
    };
    std::string out;
    EXPECT_FALSE(ReadGrowing(out, greedy));
    calls = 0;
    auto absurd = [&calls](char*, std::uint32_t) -> std::uint32_t {
        return ++calls > 64 ? 0 : 0xFFFFFFF0u;
    };
    EXPECT_FALSE(ReadGrowing(out, absurd));
    EXPECT_LE(calls, 2);
}

TEST(ReadGrowing, WideTextsGrowTheSameWay) {
    std::vector<wchar_t> out;
    const std::vector<wchar_t> text(1000, L'\xFF02');
    auto query = [&text](wchar_t* buffer, std::uint32_t size) -> std::uint32_t {
        if (text.size() >= size) return size;
        std::copy(text.begin(), text.end(), buffer);
        return static_cast<std::uint32_t>(text.size());
    };
    EXPECT_TRUE(ReadGrowing(out, query));
    EXPECT_TRUE(out == text);
}

}  // namespace
