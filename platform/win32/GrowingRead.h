// Reading a text that the system copies into a buffer it is given, when the text may be longer
// than any fixed buffer. Free of <windows.h> so that the rule is tested on any host.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

// Longest text a growing buffer may reach, in characters: the longest path the system can hold
// (32767 UTF-16 units) and its terminating zero. A system that asks for more is not believed.
constexpr std::size_t kMaxTextChars = 32768;
// The first try: MAX_PATH, room for every ordinary path.
constexpr std::size_t kFirstTextChars = 260;

// Grows the buffer until the text fits, up to kMaxTextChars, and hands it over without its
// terminating zero; out is left alone on failure. query(buffer, size) returns 0 on failure, the
// text's length when it fitted, and size or more when it did not: some calls then report the size
// they need, others cut the text short and report the buffer's size.
template <typename Text, typename Query>
bool ReadGrowing(Text& out, Query query) {
    Text buffer(kFirstTextChars, 0);
    for (;;) {
        const std::size_t n = query(&buffer[0], static_cast<std::uint32_t>(buffer.size()));
        if (n == 0) return false;
        if (n < buffer.size()) {
            buffer.resize(n);
            out = std::move(buffer);
            return true;
        }
        if (buffer.size() >= kMaxTextChars) return false;
        buffer.resize(std::min(std::max(n + 1, buffer.size() * 2), kMaxTextChars));
    }
}
