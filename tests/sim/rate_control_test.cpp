// Keeping a large frame within its packets: the detail levels and the
// choice between them.
#include <gtest/gtest.h>

#include <vector>

#include "kald_sim/frame_encoder.h"
#include "kald_sim/image.h"
#include "kald_sim/rate_control.h"

namespace {

using kald::sim::CoarsenMosaic;
using kald::sim::EncodeWithinBudget;
using kald::sim::kFlatDetail;
using kald::sim::kFullDetail;
using kald::sim::LargeFrameEncoder;

TEST(RateControl, CoarsenAveragesEachColourOverItsCell)
{
    // 8x4 mosaic, value = 10 * y + x. Level 1: cells of 4x4 pixels, each
    // site the rounded mean of its four samples in the cell.
    std::vector<uint8_t> mosaic(32);
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 8; ++x) {
            mosaic[size_t(y * 8 + x)] = uint8_t(10 * y + x);
        }
    }
    // Left cell, site (0, 0): samples 0, 2, 20, 22 -> 11; (1, 0): 1, 3, 21,
    // 23 -> 12; (0, 1): 10, 12, 30, 32 -> 21; (1, 1): 22. Right cell +4.
    const std::vector<uint8_t> level1 = {
        11, 12, 11, 12, 15, 16, 15, 16, //
        21, 22, 21, 22, 25, 26, 25, 26, //
        11, 12, 11, 12, 15, 16, 15, 16, //
        21, 22, 21, 22, 25, 26, 25, 26,
    };
    EXPECT_EQ(CoarsenMosaic(mosaic, 8, 4, 1), level1);
    // Flat: site (0, 0) over the frame: 0 2 4 6 20 22 24 26 -> 13.
    const std::vector<uint8_t> flat = {
        13, 14, 13, 14, 13, 14, 13, 14, //
        23, 24, 23, 24, 23, 24, 23, 24, //
        13, 14, 13, 14, 13, 14, 13, 14, //
        23, 24, 23, 24, 23, 24, 23, 24,
    };
    EXPECT_EQ(CoarsenMosaic(mosaic, 8, 4, kFlatDetail), flat);
    EXPECT_EQ(CoarsenMosaic(mosaic, 8, 4, kFullDetail), mosaic);
    EXPECT_THROW(CoarsenMosaic(mosaic, 8, 4, kFlatDetail + 1), std::invalid_argument);
}

TEST(RateControl, PicksTheFirstLevelThatFits)
{
    // Random samples cost the most; each level is cheaper than the one
    // before, so a budget between two sizes picks the larger level.
    std::vector<uint8_t> noise(352 * 288);
    uint32_t state = 12345;
    for (uint8_t& v : noise) {
        state = state * 1664525u + 1013904223u;
        v = uint8_t(state >> 24);
    }
    const kald::sim::FrameStatistics stats{1, 2, 3, 4, 5, 6, 7, 8};
    std::vector<size_t> sizes;
    for (int level = kFullDetail; level <= kFlatDetail; ++level) {
        LargeFrameEncoder encoder(352, 288);
        sizes.push_back(encoder.Encode(CoarsenMosaic(noise, 352, 288, level), stats).size());
    }
    for (size_t i = 1; i < sizes.size(); ++i) {
        EXPECT_LT(sizes[i], sizes[i - 1]) << i;
    }
    for (int level = kFullDetail; level <= kFlatDetail; ++level) {
        LargeFrameEncoder encoder(352, 288);
        const auto coded = EncodeWithinBudget(encoder, noise, stats, sizes[size_t(level)]);
        EXPECT_EQ(coded.Detail, level);
        EXPECT_TRUE(coded.Fits);
        EXPECT_EQ(coded.Compacted.size(), sizes[size_t(level)]);
    }
    LargeFrameEncoder encoder(352, 288);
    const auto tooSmall = EncodeWithinBudget(encoder, noise, stats, 1000);
    EXPECT_EQ(tooSmall.Detail, kFlatDetail);
    EXPECT_FALSE(tooSmall.Fits);
}

TEST(RateControl, TheEncoderKeepsTheStateOfTheFrameSent)
{
    // Revision 2 carries the level-block flag into the next frame: after a
    // budgeted frame it must be the flag of the attempt that was sent.
    std::vector<uint8_t> noise(352 * 288);
    uint32_t state = 99;
    for (uint8_t& v : noise) {
        state = state * 1664525u + 1013904223u;
        v = uint8_t(state >> 24);
    }
    const kald::sim::FrameStatistics stats{};
    LargeFrameEncoder budgeted(352, 288, 2);
    const auto coded = EncodeWithinBudget(budgeted, noise, stats, 20000);
    ASSERT_TRUE(coded.Fits);
    LargeFrameEncoder direct(352, 288, 2);
    EXPECT_EQ(direct.Encode(CoarsenMosaic(noise, 352, 288, coded.Detail), stats), coded.Compacted);
    EXPECT_EQ(budgeted.LevelBlockFlag(), direct.LevelBlockFlag());
    EXPECT_EQ(budgeted.Reconstruction(), direct.Reconstruction());
}

} // namespace
