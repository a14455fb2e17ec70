// Little-endian numbers in a byte buffer, as PE images and icon files hold them: reads that stop at
// the buffer's end, and writes of the low bytes of a value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// False when the two (four) bytes at `at` are not all in the buffer.
inline bool Get16(const std::string& b, std::uint64_t at, std::uint16_t& v) {
    if (at > b.size() || b.size() - at < 2) return false;
    const std::size_t i = static_cast<std::size_t>(at);
    v = static_cast<std::uint16_t>(static_cast<std::uint8_t>(b[i]) |
                                   static_cast<std::uint8_t>(b[i + 1]) << 8);
    return true;
}

inline bool Get32(const std::string& b, std::uint64_t at, std::uint32_t& v) {
    std::uint16_t lo = 0, hi = 0;
    if (!Get16(b, at, lo) || !Get16(b, at + 2, hi)) return false;
    v = static_cast<std::uint32_t>(lo) | static_cast<std::uint32_t>(hi) << 16;
    return true;
}

// The same from a pointer, for headers already read whole: the caller has checked their size.
inline std::uint16_t Le16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

inline std::uint32_t Le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline std::uint64_t Le64(const unsigned char* p) {
    return Le32(p) | static_cast<std::uint64_t>(Le32(p + 4)) << 32;
}

// The buffer must hold the bytes written.
inline void Put16(std::string& b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}

inline void Put32(std::string& b, std::size_t at, std::uint32_t v) {
    Put16(b, at, v & 0xFFFF);
    Put16(b, at + 2, v >> 16);
}

inline void Append16(std::string& b, std::uint32_t v) {
    b.push_back(static_cast<char>(v & 0xFF));
    b.push_back(static_cast<char>((v >> 8) & 0xFF));
}

inline void Append32(std::string& b, std::uint32_t v) {
    Append16(b, v & 0xFFFF);
    Append16(b, v >> 16);
}
