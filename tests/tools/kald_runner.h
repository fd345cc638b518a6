// Runs the kald binary in a scratch directory and reads its outputs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kald::test {

struct RunResult {
    int status = -1; // exit status; 128 + signal number when killed
    std::string out;
    std::string err;
};

// An 8-bit RGB picture, rows top-down.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
    const uint8_t* At(int x, int y) const
    {
        return &rgb[(size_t(y) * size_t(width) + size_t(x)) * 3];
    }
};

// A fixture with a fresh scratch directory per test, where kald runs.
class KaldTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs kald with `args` in the scratch directory.
    RunResult Kald(const std::vector<std::string>& args);

    // Paths inside the scratch directory.
    std::filesystem::path Path(const std::string& name) const { return work_ / name; }
    // Every path under the scratch directory, relative to it.
    std::set<std::string> Listing() const;

    void WriteBytes(const std::string& name, const std::vector<uint8_t>& bytes) const;
    std::vector<uint8_t> ReadBytes(const std::string& name) const;
    // Writes an 8-bit PNG: 3 channels per pixel, or 1 (grey) when `grey`.
    void WritePng(const std::string& name, int width, int height,
                  const std::vector<uint8_t>& pixels, bool grey = false) const;
    // Reads a PNG as 8-bit RGB; fails the test when it is not one.
    Picture ReadPng(const std::string& name) const;

private:
    std::filesystem::path root_; // holds work_ and the captured output streams
    std::filesystem::path work_;
};

// MSB-first bit packing for hand-made frames.
class BitWriter {
public:
    explicit BitWriter(std::vector<uint8_t> prefix) : bytes_(std::move(prefix)) {}
    void Put(uint32_t value, int bits);
    const std::vector<uint8_t>& Bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
    int used_ = 8; // bits used in the last byte
};

} // namespace kald::test
