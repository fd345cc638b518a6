#include <gtest/gtest.h>

#include <cstdlib>
#include <initializer_list>
#include <vector>

#include "kald_sim/image.h"

namespace {

using kald::sim::FitToSize;
using kald::sim::MosaicFromRgb;
using kald::sim::RenderTestScene;
using kald::sim::RgbImage;

// A grey picture from its rows of values.
RgbImage Grey(int width, int height, std::initializer_list<uint8_t> values)
{
    RgbImage image(width, height);
    size_t i = 0;
    for (uint8_t v : values) {
        image.pixels[3 * i] = image.pixels[3 * i + 1] = image.pixels[3 * i + 2] = v;
        ++i;
    }
    return image;
}

std::vector<uint8_t> Channel(const RgbImage& image, int c)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i < image.pixels.size(); i += 3) {
        out.push_back(image.pixels[i + size_t(c)]);
    }
    return out;
}

TEST(MosaicFromRgb, SamplesGreenBlueOnEvenRowsAndRedGreenOnOddRows)
{
    // Pixel (x, y) holds R = 10 + x + 4y, G = 100 + x + 4y, B = 200 + x + 4y.
    RgbImage image(4, 2);
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 4; ++x) {
            image.At(x, y)[0] = uint8_t(10 + x + 4 * y);
            image.At(x, y)[1] = uint8_t(100 + x + 4 * y);
            image.At(x, y)[2] = uint8_t(200 + x + 4 * y);
        }
    }
    const std::vector<uint8_t> expected = {
        100, 201, 102, 203, // G B G B
        14,  105, 16,  107, // R G R G
    };
    EXPECT_EQ(MosaicFromRgb(image), expected);
}

TEST(FitToSize, CoversTheTargetAndCropsTheCentre)
{
    struct Case {
        const char* what;
        RgbImage source;
        int width, height;
        std::vector<uint8_t> expected; // grey values, rows top-down
    };
    const Case cases[] = {
        {"same size is a copy", Grey(3, 2, {0, 17, 255, 90, 91, 3}), 3, 2, {0, 17, 255, 90, 91, 3}},
        // Halving: each output pixel is the mean of a 2x2 block.
        {"area average", Grey(4, 2, {0, 100, 200, 40, 8, 12, 60, 20}), 2, 1, {30, 80}},
        // Wide to square at scale 1: columns 1 and 2 remain.
        {"crop left and right", Grey(4, 2, {1, 2, 3, 4, 5, 6, 7, 8}), 2, 2, {2, 3, 6, 7}},
        // Tall to square at scale 1: rows 1 and 2 remain.
        {"crop top and bottom", Grey(2, 4, {1, 2, 3, 4, 5, 6, 7, 8}), 2, 2, {3, 4, 5, 6}},
        // Scale 1/2 covers the height; the width keeps source columns 1 .. 4.
        {"shrink and crop", Grey(6, 2, {9, 10, 20, 30, 40, 9, 9, 30, 40, 50, 60, 9}), 2, 1,
         {25, 45}},
        // Doubling interpolates between the source pixel centres.
        {"bilinear enlarge", Grey(2, 1, {0, 200}), 4, 2, {0, 50, 150, 200, 0, 50, 150, 200}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const RgbImage out = FitToSize(c.source, c.width, c.height);
        ASSERT_EQ(out.width, c.width);
        ASSERT_EQ(out.height, c.height);
        for (int ch = 0; ch < 3; ++ch) {
            EXPECT_EQ(Channel(out, ch), c.expected);
        }
    }
}

TEST(FitToSize, KeepsChannelsApart)
{
    RgbImage source(2, 2);
    for (size_t i = 0; i < 4; ++i) {
        source.pixels[3 * i] = 200;
        source.pixels[3 * i + 1] = 100;
        source.pixels[3 * i + 2] = uint8_t(i * 10); // 0, 10, 20, 30
    }
    const RgbImage out = FitToSize(source, 1, 1);
    EXPECT_EQ(out.pixels, (std::vector<uint8_t>{200, 100, 15}));
}

TEST(RenderTestScene, DrawsTheBandsWhereExpected)
{
    const RgbImage scene = RenderTestScene(352, 288);
    ASSERT_EQ(scene.pixels.size(), 352u * 288u * 3u);
    EXPECT_EQ(scene.pixels, RenderTestScene(352, 288).pixels) << "not deterministic";

    struct Case {
        const char* what;
        int x, y;
        uint8_t r, g, b;
    };
    // Bands: bars rows 0..107 (bars 44 wide), luma ramp 108..143, hue sweep
    // 144..179, detail 180..287; the edges quarter starts at x = 264 with
    // 12-pixel squares above row 234 and a slanted edge through (308, 261).
    const Case cases[] = {
        {"white bar", 22, 0, 191, 191, 191},    {"yellow bar", 66, 50, 191, 191, 0},
        {"cyan bar", 110, 107, 0, 191, 191},    {"green bar", 154, 50, 0, 191, 0},
        {"magenta bar", 198, 50, 191, 0, 191},  {"red bar", 242, 50, 191, 0, 0},
        {"blue bar", 286, 50, 0, 0, 191},       {"black bar", 330, 50, 0, 0, 0},
        {"ramp start", 0, 120, 0, 0, 0},        {"ramp end", 351, 120, 255, 255, 255},
        {"ramp middle", 175, 143, 127, 127, 127}, {"hue start", 0, 150, 255, 0, 0},
        {"hue cyan", 176, 150, 0, 255, 255},      {"white square", 264, 180, 255, 255, 255},
        {"black square", 276, 180, 0, 0, 0},    {"left of edge", 300, 261, 20, 30, 120},
        {"right of edge", 316, 261, 230, 200, 40},
        {"vertical line", 176, 190, 240, 240, 240},
        {"between lines", 177, 190, 16, 16, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const uint8_t* p = scene.At(c.x, c.y);
        EXPECT_EQ(p[0], c.r);
        EXPECT_EQ(p[1], c.g);
        EXPECT_EQ(p[2], c.b);
    }
}

TEST(RenderTestScene, ZonePlateHasDetailUpToTheSamplingLimit)
{
    // On the middle row of the detail band the plate alternates almost from
    // black to white between neighbouring pixels at its left edge and is
    // flat at its centre (x = 87, 88).
    const RgbImage scene = RenderTestScene(352, 288);
    const int y = 180 + 54;
    for (int x = 0; x < 4; ++x) {
        EXPECT_GT(std::abs(scene.At(x + 1, y)[1] - scene.At(x, y)[1]), 150) << "x " << x;
    }
    EXPECT_LT(std::abs(scene.At(88, y)[1] - scene.At(87, y)[1]), 4);
}

} // namespace
