// Copies of the sample disc for the kit's tests, and the small edits that break them.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#ifndef LAUNCHER_SAMPLE_DISC
#define LAUNCHER_SAMPLE_DISC "build/win32/disc"
#endif

namespace kittest {

namespace fs = std::filesystem;

inline fs::path SampleDisc() { return fs::u8path(LAUNCHER_SAMPLE_DISC); }

inline bool HaveSampleDisc() { return fs::exists(SampleDisc() / "Start.exe"); }

inline std::string SkipReason() {
    return "the sample disc " + SampleDisc().u8string() +
           " is missing: build it with cmake --preset win32 && cmake --build --preset win32";
}

inline std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A folder of the test's own that does not exist yet.
inline fs::path FreshTempPath() {
    // Tests run side by side in processes of their own: the name is random, not a count.
    static std::atomic<unsigned> counter{0};
    fs::path path = fs::temp_directory_path() / ("disckit-test-" +
                                                 std::to_string(std::random_device()()) + "-" +
                                                 std::to_string(counter++));
    fs::remove_all(path);
    return path;
}

// An empty folder, removed again at the end of the test.
class TempFolder {
public:
    TempFolder() : root_(FreshTempPath()) { fs::create_directories(root_); }
    ~TempFolder() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const fs::path& Root() const { return root_; }

private:
    fs::path root_;
};

// A fresh copy of the sample disc in a folder of its own, removed again at the end of the test.
class DiscCopy {
public:
    DiscCopy() {
        root_ = FreshTempPath();
        fs::copy(SampleDisc(), root_, fs::copy_options::recursive);
    }
    ~DiscCopy() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    DiscCopy(const DiscCopy&) = delete;
    DiscCopy& operator=(const DiscCopy&) = delete;

    const fs::path& Root() const { return root_; }
    fs::path operator/(const std::string& relative) const { return root_ / fs::u8path(relative); }

    void Remove(const std::string& relative) { fs::remove_all(*this / relative); }
    void Write(const std::string& relative, const std::string& bytes) {
        WriteBytes(*this / relative, bytes);
    }
    void Copy(const std::string& from, const std::string& to) {
        fs::remove_all(*this / to);
        fs::copy(*this / from, *this / to, fs::copy_options::recursive);
    }
    void Rename(const std::string& from, const std::string& to) {
        fs::rename(*this / from, *this / to);
    }
    // Replaces every occurrence of from (which must occur) by to, of the same length.
    void Patch(const std::string& relative, const std::string& from, const std::string& to) {
        ASSERT_EQ(from.size(), to.size());
        std::string bytes = ReadBytes(*this / relative);
        std::size_t count = 0;
        for (std::size_t at = bytes.find(from); at != std::string::npos;
             at = bytes.find(from, at)) {
            bytes.replace(at, to.size(), to);
            ++count;
        }
        ASSERT_GT(count, 0u) << from << " not in " << relative;
        Write(relative, bytes);
    }
    void Truncate(const std::string& relative, std::size_t size) {
        std::string bytes = ReadBytes(*this / relative);
        bytes.resize(size);
        Write(relative, bytes);
    }
    // Sets the image's machine field, as if it had been built for another processor.
    void SetMachine(const std::string& relative, std::uint16_t machine) {
        std::string bytes = ReadBytes(*this / relative);
        const auto at = static_cast<std::size_t>(static_cast<unsigned char>(bytes[0x3C]) |
                                                 static_cast<unsigned char>(bytes[0x3D]) << 8) +
                        4;
        bytes[at] = static_cast<char>(machine & 0xFF);
        bytes[at + 1] = static_cast<char>(machine >> 8);
        Write(relative, bytes);
    }

private:
    fs::path root_;
};

}  // namespace kittest
