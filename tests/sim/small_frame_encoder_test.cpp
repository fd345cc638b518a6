#include <gtest/gtest.h>

#include <array>
#include <stdexcept>
#include <vector>

#include "kald_sim/frame_encoder.h"

namespace {

using kald::sim::FrameStatistics;
using kald::sim::RgbImage;
using kald::sim::SmallFrameEncoder;

constexpr FrameStatistics kStats = {9, 8, 7, 6, 5, 4, 3, 2};

// The 6-bit samples after the 16-byte header, most significant bit first.
std::vector<int> Samples(const std::vector<uint8_t>& frame, size_t count)
{
    std::vector<int> out;
    for (size_t i = 0; i < count; ++i) {
        int s = 0;
        for (size_t b = 0; b < 6; ++b) {
            const size_t bit = 16 * 8 + 6 * i + b;
            s = (s << 1) | ((frame[bit / 8] >> (7 - bit % 8)) & 1);
        }
        out.push_back(s);
    }
    return out;
}

// 4x2 picture whose samples are all different: value 4s + 1 codes as s.
// Greens of row 0: 1..4, of row 1: 5..8; reds of the two blocks 9, 10;
// blues 11, 12.
RgbImage NumberedPicture()
{
    RgbImage p(4, 2);
    for (int x = 0; x < 4; ++x) {
        p.At(x, 0)[1] = uint8_t(4 * (1 + x) + 1);
        p.At(x, 1)[1] = uint8_t(4 * (5 + x) + 1);
        for (int y = 0; y < 2; ++y) {
            p.At(x, y)[0] = uint8_t(4 * (9 + x / 2) + 1);
            p.At(x, y)[2] = uint8_t(4 * (11 + x / 2) + 1);
        }
    }
    return p;
}

TEST(SmallFrameEncoder, WritesSamplesInRowPairOrder)
{
    SmallFrameEncoder encoder(4, 2);
    const std::vector<uint8_t> frame = encoder.Encode(NumberedPicture(), kStats, 2);
    // Greens of row 0; reds; then per block green, green, blue.
    EXPECT_EQ(Samples(frame, 12), (std::vector<int>{1, 2, 3, 4, 9, 10, 5, 6, 11, 7, 8, 12}));
    // 12 samples = 9 bytes, then the padding. Samples 1, 2, 3, 4 pack as
    // 000001 000010 000011 000100.
    ASSERT_EQ(frame.size(), 16u + 9u + 2u);
    EXPECT_EQ(frame[16], 0x04);
    EXPECT_EQ(frame[17], 0x20);
    EXPECT_EQ(frame[18], 0xC4);
    EXPECT_EQ(frame[25], 0);
    EXPECT_EQ(frame[26], 0);
    EXPECT_EQ(std::vector<uint8_t>(frame.begin(), frame.begin() + 16),
              (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 9, 8, 7, 6, 5, 4, 3, 2, 0, 0}));
}

TEST(SmallFrameEncoder, PadsAPartialLastByteWithZeros)
{
    // 2x2: six samples, 36 bits; the last byte holds 4 bits of the blue.
    RgbImage p(2, 2);
    for (auto& v : p.pixels) {
        v = 255;
    }
    SmallFrameEncoder encoder(2, 2);
    const std::vector<uint8_t> frame = encoder.Encode(p, kStats);
    ASSERT_EQ(frame.size(), 16u + 5u);
    EXPECT_EQ(frame.back(), 0xF0);
}

TEST(SmallFrameEncoder, ChoosesTheSampleWithTheLeastExpectedError)
{
    // Output is 4s + dither, the dither averaging 1.5: green v is best coded
    // by the s with 4s + 1.5 nearest v; red and blue by the s nearest the
    // block mean.
    struct GreenCase {
        uint8_t value;
        int sample;
    };
    const GreenCase greens[] = {{0, 0}, {3, 0}, {4, 1}, {128, 32}, {251, 62}, {252, 63}, {255, 63}};
    for (const GreenCase& c : greens) {
        RgbImage p(2, 2);
        for (int i = 0; i < 4; ++i) {
            p.pixels[size_t(3 * i + 1)] = c.value;
        }
        SmallFrameEncoder encoder(2, 2);
        EXPECT_EQ(Samples(encoder.Encode(p, kStats), 2), (std::vector<int>{c.sample, c.sample}))
            << "green " << int(c.value);
    }
    struct BlockCase {
        std::array<uint8_t, 4> values; // (0,0), (1,0), (0,1), (1,1)
        int sample;
    };
    const BlockCase blocks[] = {
        {{0, 0, 0, 10}, 0},     // mean 2.5
        {{0, 0, 11, 11}, 1},    // mean 5.5
        {{5, 6, 6, 6}, 1},      // mean 5.75
        {{12, 13, 13, 13}, 3},  // mean 12.75
        {{255, 255, 255, 255}, 63},
    };
    for (const BlockCase& c : blocks) {
        RgbImage p(2, 2);
        for (int i = 0; i < 4; ++i) {
            p.At(i % 2, i / 2)[0] = c.values[size_t(i)]; // red
            p.At(i % 2, i / 2)[2] = c.values[size_t(i)]; // blue
        }
        SmallFrameEncoder encoder(2, 2);
        const std::vector<int> s = Samples(encoder.Encode(p, kStats), 6);
        EXPECT_EQ(s[2], c.sample) << "red";
        EXPECT_EQ(s[5], c.sample) << "blue";
    }
}

TEST(SmallFrameEncoder, ReconstructionAddsTheDitherOfTheFrame)
{
    SmallFrameEncoder encoder(4, 2);
    encoder.Encode(NumberedPicture(), kStats);
    const std::vector<uint8_t> out = encoder.Reconstruction(1);
    ASSERT_EQ(out.size(), 4u * 2u * 3u);
    // Frame index 1: row i uses phase p = (1 + i) % 4. Row 0 is stored last.
    struct Case {
        const char* what;
        size_t offset;
        uint8_t expected;
    };
    const Case cases[] = {
        {"green (0,0): 4 * 1 + dither[16] = 2", 12 + 1, 6},
        {"red (2,0): 4 * 10 + dither[26] = 3", 12 + 6 + 2, 43},
        {"blue (1,1): 4 * 11 + dither[17] = 0", 3, 44},
        {"green (3,1): 4 * 8 + dither[27] = 1", 9 + 1, 33},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(out[c.offset], c.expected) << c.what;
    }
}

TEST(SmallFrameEncoder, RejectsMismatchedPictures)
{
    EXPECT_THROW(SmallFrameEncoder(161, 120), std::invalid_argument);
    SmallFrameEncoder encoder(160, 120);
    EXPECT_THROW(encoder.Encode(RgbImage(176, 144), kStats), std::invalid_argument);
}

} // namespace
