#include <gtest/gtest.h>

#include <vector>

#include "kald_sim/frame_encoder.h"

namespace {

using kald::sim::FrameStatistics;
using kald::sim::MeasureStatistics;

// A mosaic with green 1, blue, red, green 2 = g1, b, r, g2 on its sites, plus
// `inside` added to every pixel of the window [x0, x1) x [y0, y1).
std::vector<uint8_t> Sites(int width, int height, uint8_t g1, uint8_t b, uint8_t r, uint8_t g2,
                           int x0 = 0, int x1 = 0, int y0 = 0, int y1 = 0, int inside = 0)
{
    std::vector<uint8_t> mosaic(size_t(width) * size_t(height));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const uint8_t site = (y & 1) == 0 ? ((x & 1) == 0 ? g1 : b) : ((x & 1) == 0 ? r : g2);
            const bool in = x >= x0 && x < x1 && y >= y0 && y < y1;
            mosaic[size_t(y) * size_t(width) + size_t(x)] = uint8_t(site + (in ? inside : 0));
        }
    }
    return mosaic;
}

TEST(MeasureStatistics, ReportsEachSiteInHeaderOrder)
{
    // Set B then set A, each green 1, red, blue, green 2.
    const auto mosaic = Sites(352, 288, 10, 20, 30, 40);
    EXPECT_EQ(MeasureStatistics(mosaic, 352, 288), (FrameStatistics{10, 30, 20, 40, 10, 30, 20, 40}));
}

TEST(MeasureStatistics, SetBIsTheCentreWindowAndSetATheWholeFrame)
{
    // 16x8: the centre window is x 4..11, y 2..5, a quarter of the frame.
    // Raising it by 100 raises set B by 100 and set A by 25.
    const auto mosaic = Sites(16, 8, 10, 20, 30, 40, 4, 12, 2, 6, 100);
    EXPECT_EQ(MeasureStatistics(mosaic, 16, 8),
              (FrameStatistics{110, 130, 120, 140, 35, 55, 45, 65}));

    // Raising the quarter left of the window (x 0..3, all rows) moves set A
    // only.
    const auto left = Sites(16, 8, 10, 20, 30, 40, 0, 4, 0, 8, 100);
    EXPECT_EQ(MeasureStatistics(left, 16, 8), (FrameStatistics{10, 30, 20, 40, 35, 55, 45, 65}));
}

TEST(MeasureStatistics, RoundsToNearest)
{
    // 4x2: green 1 = 1, 2; blue = 0, 255; red = 7, 8; green 2 = 8, 8.
    const std::vector<uint8_t> mosaic = {1, 0, 2, 255, 7, 8, 8, 8};
    const FrameStatistics stats = MeasureStatistics(mosaic, 4, 2);
    EXPECT_EQ(stats[4], 2);   // green 1: 1.5
    EXPECT_EQ(stats[5], 8);   // red: 7.5
    EXPECT_EQ(stats[6], 128); // blue: 127.5
    EXPECT_EQ(stats[7], 8);
}

} // namespace
