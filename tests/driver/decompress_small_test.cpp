#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "bit_writer.h"
#include "core/camera_context.h"
#include "datapath/decompress.h"
#include "imaging/pipeline_tables.h"

namespace {

class DecompressSmallTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetPipelineTables();
        ASSERT_EQ(BuildPipelineTables(176, 144, mosaic.data(), luma.data()), 1u);
    }

    // Decodes into an output of exactly W x H x 3 bytes.
    std::vector<uint8_t> Decode(int w, int h, const std::vector<uint8_t>& frame, ULONG* fetched = nullptr)
    {
        std::vector<uint8_t> out(size_t(w) * size_t(h) * 3, 0xEE);
        const ULONG n = DecompressSmallFrame(ULONG(w), ULONG(h), ULONG(frame.size()), frame.data(), out.data());
        if (fetched != nullptr) {
            *fetched = n;
        }
        return out;
    }

    std::vector<UCHAR> mosaic = std::vector<UCHAR>(RAW_LINE_BUFFER_BYTES);
    std::vector<UCHAR> luma = std::vector<UCHAR>(LUMA_WORK_BUFFER_BYTES);
};

// Byte k (0 blue, 1 green, 2 red) of pixel x of image row y; rows are stored
// bottom-up.
uint8_t At(const std::vector<uint8_t>& out, int w, int h, int x, int y, int k)
{
    return out[size_t(3 * w) * size_t(h - 1 - y) + size_t(3 * x + k)];
}

TEST_F(DecompressSmallTest, ZeroSamplesGiveTheDitherPatternMovingOneRowPerFrame)
{
    const std::vector<uint8_t> frame(30000, 0);
    std::vector<std::vector<uint8_t>> pictures;
    for (int n = 0; n < 5; ++n) {
        pictures.push_back(Decode(176, 144, frame));
    }
    // Frame, pixel, row, byte -> dither entry (8 * ((n + y) % 4) + 8 * k + x) % 32.
    struct Case {
        int frame, x, y, k;
        uint8_t expected;
    };
    const Case cases[] = {
        {0, 0, 0, 0, 0},  // entry 0
        {0, 0, 0, 1, 3},  // entry 8
        {0, 0, 0, 2, 2},  // entry 16
        {0, 5, 0, 1, 2},  // entry 13
        {0, 0, 1, 0, 3},  // entry 8
        {0, 35, 2, 2, 0}, // entry (16 + 16 + 35) % 32 = 3
        {1, 0, 0, 0, 3},  // entry 8
        {3, 1, 2, 0, 1},  // phase (3 + 2) % 4 = 1: entry 9
        {2, 175, 143, 2, 3}, // phase 1: entry (8 + 16 + 175) % 32 = 7
    };
    for (const Case& c : cases) {
        EXPECT_EQ(At(pictures[size_t(c.frame)], 176, 144, c.x, c.y, c.k), c.expected)
            << "frame " << c.frame << " pixel " << c.x << "," << c.y << " byte " << c.k;
    }
    EXPECT_NE(pictures[0], pictures[1]);
    EXPECT_NE(pictures[1], pictures[2]);
    EXPECT_NE(pictures[2], pictures[3]);
    EXPECT_EQ(pictures[0], pictures[4]) << "the phase repeats every four frames";
}

TEST_F(DecompressSmallTest, SamplesLandInTheirPixels)
{
    const int w = 160;
    const int h = 120;
    BitWriter bits(FRAME_HEADER_BYTES);
    for (int x = 0; x < w; ++x) {
        bits.Value(uint32_t(x & 63), 6); // green of row 0
    }
    for (int k = 0; k < w / 2; ++k) {
        bits.Value(uint32_t((k + 1) & 63), 6); // red of block k
    }
    for (int k = 0; k < w / 2; ++k) {
        bits.Value(10, 6).Value(20, 6).Value(30, 6); // greens of row 1, blue
    }
    std::vector<uint8_t> frame = bits.Bytes();
    frame.resize(22000, 0);
    ULONG fetched = 0;
    const std::vector<uint8_t> out = Decode(w, h, frame, &fetched);
    EXPECT_EQ(fetched, 21602u);
    struct Case {
        int x, y, k;
        uint8_t expected; // sample * 4 + dither entry (8 * y + 8 * k + x) % 32
    };
    const Case cases[] = {
        {3, 0, 1, 12 + 3},   // green 3, entry 11
        {63, 0, 1, 252 + 3}, // green 63, entry (8 + 63) % 32 = 7
        {2, 1, 2, 8 + 3},    // red of block 1 (2), entry (8 + 16 + 2) = 26
        {3, 0, 2, 8 + 2},    // red of block 1, entry 19
        {1, 0, 0, 120 + 2},  // blue 30, entry 1
        {0, 1, 1, 40 + 2},   // green 10, entry 16
        {1, 1, 1, 80 + 0},   // green 20, entry 17
        {0, 2, 1, 0 + 1},    // row 2 is all zero: entry 16 + 8 = 24
    };
    for (const Case& c : cases) {
        EXPECT_EQ(At(out, w, h, c.x, c.y, c.k), c.expected) << c.x << "," << c.y << " byte " << c.k;
    }
}

TEST_F(DecompressSmallTest, ReportsTheBytesFetchedAndNeverReadsPastTheLength)
{
    // Exact-size frames: the sanitizer sees any read beyond them.
    struct Case {
        int w, h;
        size_t length;
        ULONG fetched;
    };
    const Case cases[] = {
        {176, 144, 40000, 28514}, {160, 120, 40000, 21602}, {176, 144, 16, 28514}, {160, 120, 0, 21602},
    };
    for (const Case& c : cases) {
        const std::vector<uint8_t> frame(std::max<size_t>(c.length, 1), 0);
        std::vector<uint8_t> out(size_t(c.w) * size_t(c.h) * 3, 0xEE);
        const ULONG fetched =
            DecompressSmallFrame(ULONG(c.w), ULONG(c.h), ULONG(c.length), frame.data(), out.data());
        EXPECT_EQ(fetched, c.fetched) << c.w << "x" << c.h << " length " << c.length;
        EXPECT_EQ(At(out, c.w, c.h, 0, 0, 1), 3) << "bytes past the length read as zero";
        ResetPipelineTables();
    }
}

TEST_F(DecompressSmallTest, CounterAdvancesAndRebuildRestartsThePhase)
{
    const std::vector<uint8_t> frame(30000, 0);
    const std::vector<uint8_t> first = Decode(176, 144, frame);
    EXPECT_EQ(Pipeline.SmallFrameCounter, 1u);
    Decode(176, 144, frame);
    ASSERT_EQ(BuildPipelineTables(176, 144, mosaic.data(), luma.data()), 1u);
    EXPECT_EQ(Pipeline.SmallFrameCounter, 0u);
    EXPECT_EQ(Decode(176, 144, frame), first);
}

} // namespace
