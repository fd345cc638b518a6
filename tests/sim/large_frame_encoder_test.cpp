#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "kald_sim/frame_encoder.h"

namespace {

using kald::sim::FrameStatistics;
using kald::sim::LargeFrameEncoder;

constexpr size_t kHeader = 16;
constexpr FrameStatistics kStats = {1, 2, 3, 4, 5, 6, 7, 8};

struct Mosaic {
    int width, height;
    std::vector<uint8_t> pixels;
    Mosaic(int w, int h, uint8_t fill = 0) : width(w), height(h), pixels(size_t(w) * size_t(h), fill) {}
    uint8_t& At(int x, int y) { return pixels[size_t(y) * size_t(width) + size_t(x)]; }
};

uint8_t Rec(const LargeFrameEncoder& e, int x, int y)
{
    return e.Reconstruction()[size_t(y) * size_t(e.Width()) + size_t(x)];
}

// A last block that only a level block codes exactly: from zero neighbours
// the predictive code reaches 249 only as 255 (+256, clamped).
void EndWithLevels(Mosaic& m)
{
    for (int i = 0; i < 16; ++i) {
        m.At(m.width - 16 + i, m.height - 1) = (i / 2) % 2 == 0 ? 4 : 249;
    }
}

TEST(LargeFrameEncoder, FlatFrameLayout)
{
    // A flat mosaic codes every block as predictive zero residuals: block 0
    // is 1 + 16 + 14 bits, the others 1 + 16 bits, then the 8-bit marker.
    // At 100, a level, the level blocks are as exact but dearer.
    //   320x240: 238 rows * (31 + 19 * 17) + 8 = 84260 bits -> 10533 bytes,
    //            the marker starting at bit 4 of coded byte 10531.
    //   352x288: 286 rows * (31 + 21 * 17) + 8 = 110976 bits = 13872 bytes.
    struct Case {
        int width, height;
        uint8_t fill;
        size_t padding;
        size_t size;     // whole frame
        size_t probe;    // offset of a byte to check
        uint8_t atProbe; // its value
    };
    const Case cases[] = {
        {320, 240, 0, 0, 16 + 640 + 10533, 16 + 640 + 10531, 0x09},
        {320, 240, 0, 5, 16 + 640 + 10533 + 5, 16 + 640 + 10532, 0x00},
        {352, 288, 0, 0, 16 + 704 + 13872, 16 + 704 + 13871, 0x90},
        {352, 288, 0, 3, 16 + 704 + 13872 + 3, 16 + 704 + 13871, 0x90},
        {352, 288, 100, 0, 16 + 704 + 13872, 16 + 704 + 13871, 0x90},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " fill " << int(c.fill)
                                        << " padding " << c.padding);
        LargeFrameEncoder encoder(c.width, c.height);
        const Mosaic m(c.width, c.height, c.fill);
        const std::vector<uint8_t> frame = encoder.Encode(m.pixels, kStats, c.padding);
        ASSERT_EQ(frame.size(), c.size);
        EXPECT_EQ(frame[c.probe], c.atProbe);
        for (size_t i = c.probe + 1; i < frame.size(); ++i) {
            EXPECT_EQ(frame[i], 0) << "byte " << i;
        }
        EXPECT_EQ(std::vector<uint8_t>(frame.begin(), frame.begin() + 16),
                  (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0}));
        EXPECT_FALSE(encoder.LevelBlockFlag());
    }
}

TEST(LargeFrameEncoder, RowsZeroAndOneGoLiterally)
{
    Mosaic m(320, 240, 50);
    for (int x = 0; x < 320; ++x) {
        m.At(x, 0) = uint8_t(x);
        m.At(x, 1) = uint8_t(255 - x);
    }
    LargeFrameEncoder encoder(320, 240);
    const std::vector<uint8_t> frame = encoder.Encode(m.pixels, kStats);
    EXPECT_TRUE(std::equal(m.pixels.begin(), m.pixels.begin() + 640, frame.begin() + kHeader));
}

TEST(LargeFrameEncoder, CodesFromItsOwnReconstruction)
{
    // Zero mosaic with spikes of 200 at (5, 2) and (5, 4).
    //   (5, 2): prediction 0; +196 (escape) is nearest -> 196.
    //   (7, 2): prediction (3 * 196) >> 2 = 147; -160 clamps to exactly 0.
    //   (5, 4): prediction (3 * (196 + 0) - 0) >> 2 = 147 from the
    //           reconstructed 196, not the true 200; +48 -> 195.
    //   (7, 4): prediction (3 * (0 + 195) - 2 * 196) >> 2 = 48; -48 -> 0.
    //   (5, 6): prediction (3 * 195) >> 2 = 146; -160 clamps to exactly 0.
    Mosaic m(320, 240);
    m.At(5, 2) = 200;
    m.At(5, 4) = 200;
    LargeFrameEncoder encoder(320, 240);
    encoder.Encode(m.pixels, kStats);
    struct Case {
        int x, y;
        uint8_t expected;
    };
    const Case cases[] = {{5, 2, 196}, {7, 2, 0}, {5, 4, 195}, {7, 4, 0}, {5, 6, 0}, {9, 4, 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(Rec(encoder, c.x, c.y), c.expected) << "(" << c.x << ", " << c.y << ")";
    }
}

TEST(LargeFrameEncoder, PrefersALevelBlockThatIsExact)
{
    Mosaic m(320, 240);
    EndWithLevels(m);
    LargeFrameEncoder encoder(320, 240);
    encoder.Encode(m.pixels, kStats);
    EXPECT_TRUE(encoder.LevelBlockFlag());
    for (int x = 304; x < 320; ++x) {
        EXPECT_EQ(Rec(encoder, x, 239), m.At(x, 239)) << "x " << x;
    }
    // A flat frame ends with a predictive block again.
    encoder.Encode(Mosaic(320, 240).pixels, kStats);
    EXPECT_FALSE(encoder.LevelBlockFlag());
}

TEST(LargeFrameEncoder, Revision2PredictsFromQuantisedRowsAfterALevelBlock)
{
    // Frame 1 ends with a level block. Frame 2 is flat 8; after the level
    // block a revision-2 decoder holds rows 0 and 1 as 14 (the quantiser's
    // level for 8..19) from pixel 2 on, so row 2 is predicted from 14s:
    //   x 2, 3: (3 * (14 + 8) - 2 * 8) >> 2 = 12; -4 -> 8
    //   x 4, 5: (3 * (14 + 8) - 2 * 14) >> 2 = 9; 0 -> 9 (-4 gives 5)
    //   x 6, 7: (3 * (14 + 9) - 28) >> 2 = 10; 0 and -4 tie, 0 is shorter -> 10
    //   x 8, 9: (3 * (14 + 10) - 28) >> 2 = 11; -4 -> 7
    //   x 10, 11: (3 * (14 + 7) - 28) >> 2 = 8; 0 -> 8
    // Revision 0 predicts from the 8s and reproduces them.
    const std::vector<uint8_t> rev2Row2 = {8, 8, 8, 8, 9, 9, 10, 10, 7, 7, 8, 8};
    const std::vector<uint8_t> rev0Row2(12, 8);
    Mosaic first(320, 240);
    EndWithLevels(first);
    const Mosaic second(320, 240, 8);
    for (uint8_t revision : {uint8_t(0), uint8_t(2)}) {
        SCOPED_TRACE(testing::Message() << "revision " << int(revision));
        LargeFrameEncoder encoder(320, 240, revision);
        encoder.Encode(first.pixels, kStats);
        ASSERT_TRUE(encoder.LevelBlockFlag());
        encoder.Encode(second.pixels, kStats);
        std::vector<uint8_t> row2, row3;
        for (int x = 0; x < 12; ++x) {
            row2.push_back(Rec(encoder, x, 2));
            row3.push_back(Rec(encoder, x, 3));
        }
        EXPECT_EQ(row2, revision == 2 ? rev2Row2 : rev0Row2);
        EXPECT_EQ(row3, revision == 2 ? rev2Row2 : rev0Row2);
        // Rows 0 and 1 are delivered as sent.
        EXPECT_EQ(Rec(encoder, 5, 0), 8);
        EXPECT_EQ(Rec(encoder, 319, 1), 8);
    }
}

TEST(LargeFrameEncoder, RejectsSizesTheFormatCannotCarry)
{
    EXPECT_THROW(LargeFrameEncoder(100, 240), std::invalid_argument);
    EXPECT_THROW(LargeFrameEncoder(320, 1), std::invalid_argument);
    LargeFrameEncoder encoder(320, 240);
    EXPECT_THROW(encoder.Encode(std::vector<uint8_t>(100), kStats), std::invalid_argument);
}

} // namespace
