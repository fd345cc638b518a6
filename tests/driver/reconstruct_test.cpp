#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "core/camera_context.h"
#include "imaging/pipeline_tables.h"
#include "imaging/pixel_kernels.h"
#include "imaging/reconstruct.h"

namespace {

// Runs every test once with the reference kernels and once with the best the
// processor offers: both must give the same bytes.
class ReconstructTest : public ::testing::TestWithParam<PixelKernelChoice> {
protected:
    void SetUp() override
    {
        ResetPipelineTables();
        SelectPixelKernels(GetParam());
    }
    void TearDown() override { SelectPixelKernels(PixelKernelsBest); }

    void Build(ULONG w, ULONG h)
    {
        width = w;
        height = h;
        ASSERT_EQ(BuildPipelineTables(w, h, mosaic.data(), luma.data()), 1u);
        output.assign(size_t(w) * h * 3 / 2, 0xEE);
    }

    // Fills every mosaic sample, margins included, from its colour site.
    void FillMosaic(const std::function<UCHAR(LONG y, LONG x)>& value)
    {
        for (LONG y = -2; y < LONG(height) + 4; ++y) {
            for (LONG x = -3; x < LONG(width) + 3; ++x) {
                Pipeline.MosaicLines[y + 2][x + 3] = value(y, x);
            }
        }
    }

    UCHAR Y(ULONG x, ULONG y) const { return output[y * width + x]; }
    UCHAR U(ULONG x, ULONG y) const { return output[width * height + (y / 2) * (width / 2) + x / 2]; }
    UCHAR V(ULONG x, ULONG y) const
    {
        return output[width * height * 5 / 4 + (y / 2) * (width / 2) + x / 2];
    }

    // Asserts that every pixel of the picture has the given Y, U and V.
    void ExpectUniform(UCHAR y, UCHAR u, UCHAR v)
    {
        for (ULONG r = 0; r < height; ++r) {
            for (ULONG c = 0; c < width; ++c) {
                ASSERT_EQ(Y(c, r), y) << c << "," << r;
                ASSERT_EQ(U(c, r), u) << c << "," << r;
                ASSERT_EQ(V(c, r), v) << c << "," << r;
            }
        }
    }

    ULONG width = 0;
    ULONG height = 0;
    std::vector<UCHAR> mosaic = std::vector<UCHAR>(RAW_LINE_BUFFER_BYTES);
    std::vector<UCHAR> luma = std::vector<UCHAR>(LUMA_WORK_BUFFER_BYTES);
    std::vector<UCHAR> output;
};

enum Site { Green, Red, Blue };
Site SiteOf(LONG y, LONG x)
{
    const bool evenRow = (y & 1) == 0, evenColumn = (x & 1) == 0;
    if (evenRow == evenColumn) {
        return Green;
    }
    return evenRow ? Blue : Red;
}

TEST_P(ReconstructTest, ConstantMosaicIsGreyThroughTheToneCurve)
{
    // Mosaic value -> Y (the conversion loses one step at full white).
    const std::pair<UCHAR, UCHAR> cases[] = {{0, 0},     {1, 0},     {16, 19},  {64, 112},
                                             {128, 186}, {200, 227}, {255, 254}};
    for (auto [sample, expectedY] : cases) {
        for (ULONG w : {352u, 320u}) {
            Build(w, w == 352 ? 288 : 240);
            FillMosaic([&](LONG, LONG) { return sample; });
            ReconstructLargeFrame(width, height, output.data(), BaseToneCurve, BaseToneCurve,
                                  BaseToneCurve, LargeColourMatrix, 6);
            SCOPED_TRACE(::testing::Message() << "sample " << int(sample) << " width " << w);
            ExpectUniform(expectedY, 128, 128);
        }
    }
}

TEST_P(ReconstructTest, SingleColourMosaicsReachTheChromaClamps)
{
    struct Case {
        Site site;
        UCHAR y, u, v;
    };
    // One colour site at 200, the others 0: tone-mapped 228, matrixed,
    // converted.
    const Case cases[] = {{Red, 102, 70, 255}, {Green, 200, 14, 0}, {Blue, 38, 255, 100}};
    for (const Case& c : cases) {
        Build(352, 288);
        FillMosaic([&](LONG y, LONG x) { return UCHAR(SiteOf(y, x) == c.site ? 200 : 0); });
        ReconstructLargeFrame(width, height, output.data(), BaseToneCurve, BaseToneCurve,
                              BaseToneCurve, LargeColourMatrix, 6);
        SCOPED_TRACE(::testing::Message() << "site " << int(c.site));
        ExpectUniform(c.y, c.u, c.v);
    }
}

TEST_P(ReconstructTest, SharpnessZeroCopiesLuma)
{
    Build(320, 240);
    // A ramp with a step: sharpening would change it.
    FillMosaic([](LONG y, LONG x) { return UCHAR(x < 100 ? 40 : 180 + (y & 3)); });
    ReconstructLargeFrame(width, height, output.data(), BaseToneCurve, BaseToneCurve,
                          BaseToneCurve, LargeColourMatrix, 0);
    for (ULONG y = 0; y < height; ++y) {
        ASSERT_EQ(std::memcmp(&output[y * width], Pipeline.LumaLines[y] + 5, width), 0) << y;
    }
    std::vector<UCHAR> unsharpened = output;
    ReconstructLargeFrame(width, height, output.data(), BaseToneCurve, BaseToneCurve,
                          BaseToneCurve, LargeColourMatrix, 6);
    EXPECT_NE(output, unsharpened);
}

// Luma sharpening on hand-made luma lines.
class SharpenTest : public ReconstructTest {
protected:
    void SetLuma(UCHAR background, ULONG px, ULONG py, UCHAR sample)
    {
        for (ULONG y = 0; y < height; ++y) {
            std::memset(Pipeline.LumaLines[y], background, width + 10);
        }
        Pipeline.LumaLines[py][5 + px] = sample;
    }
};

TEST_P(SharpenTest, SingleSamplesFollowTheKernelAndCoring)
{
    Build(176, 144);
    // 255 on black: +3 neighbours 143, the +2 neighbour 95, all else 0.
    SetLuma(0, 50, 60, 255);
    PixelKernels.SharpenLuma(width, height, 6, output.data());
    EXPECT_EQ(Y(50, 60), 255);
    EXPECT_EQ(Y(51, 60), 143);
    EXPECT_EQ(Y(50, 61), 143);
    EXPECT_EQ(Y(51, 61), 95);
    int changed = 0;
    for (ULONG y = 0; y < height; ++y) {
        for (ULONG x = 0; x < width; ++x) {
            changed += Y(x, y) != 0;
        }
    }
    EXPECT_EQ(changed, 4);

    // 110 on 100: the sample gains 7, -2 neighbours lose 4, +3 neighbours
    // (D = 30, q = 1) are cored away.
    SetLuma(100, 50, 60, 110);
    PixelKernels.SharpenLuma(width, height, 6, output.data());
    const std::tuple<ULONG, ULONG, UCHAR> cases[] = {
        {50, 60, 117}, {50, 62, 96}, {52, 60, 96}, {49, 59, 96}, {51, 60, 100}, {50, 61, 100},
        {51, 61, 100}, {10, 10, 100},
    };
    for (auto [x, y, expected] : cases) {
        EXPECT_EQ(Y(x, y), expected) << x << "," << y;
    }
}

TEST_P(SharpenTest, CoringIsAsymmetricAndEdgeRowsAreCopied)
{
    Build(160, 120);
    // A sample 5 above a flat 20: D = +20 at the sample (q = 1) and D = -10
    // where it is seen through weight -2 (q = -1): both cored away.
    SetLuma(20, 80, 60, 25);
    PixelKernels.SharpenLuma(width, height, 8, output.data());
    EXPECT_EQ(Y(80, 60), 25);
    EXPECT_EQ(Y(80, 62), 20);
    // A sample 17 above a flat 40, seen through weight -1: D = -17 gives
    // q = -2, so it is corrected by (8 * -17) / 32 rounded down = -5.
    SetLuma(40, 80, 60, 57);
    PixelKernels.SharpenLuma(width, height, 8, output.data());
    for (auto [x, y] : {std::pair{79u, 60u}, {80u, 59u}, {81u, 62u}}) {
        EXPECT_EQ(Y(x, y), 35) << x << "," << y;
    }
    // Rows 0, 1 and H-1 are copies even next to a bright sample.
    SetLuma(0, 10, 1, 255);
    PixelKernels.SharpenLuma(width, height, 8, output.data());
    EXPECT_EQ(Y(11, 1), 0);
    EXPECT_EQ(Y(10, 1), 255);
    SetLuma(0, 10, height - 2, 255);
    PixelKernels.SharpenLuma(width, height, 8, output.data());
    EXPECT_EQ(Y(10, height - 1), 0);
}

INSTANTIATE_TEST_SUITE_P(Kernels, ReconstructTest,
                         ::testing::Values(PixelKernelsReference, PixelKernelsBest));
INSTANTIATE_TEST_SUITE_P(Kernels, SharpenTest,
                         ::testing::Values(PixelKernelsReference, PixelKernelsBest));

// The small path: a uniform picture in the decoder's layout.
class ReconstructSmallTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetPipelineTables();
        ASSERT_EQ(BuildPipelineTables(176, 144, mosaic.data(), luma.data()), 1u);
        picture.assign(176 * 144 * 3, 0);
        output.assign(176 * 144 * 3 / 2, 0xEE);
    }
    void Run(LONG sharpness = 6)
    {
        ReconstructSmallFrame(176, 144, nullptr, nullptr, nullptr, SmallColourMatrix, sharpness,
                              picture.data(), output.data());
    }
    std::vector<UCHAR> mosaic = std::vector<UCHAR>(RAW_LINE_BUFFER_BYTES);
    std::vector<UCHAR> luma = std::vector<UCHAR>(LUMA_WORK_BUFFER_BYTES);
    std::vector<UCHAR> picture;
    std::vector<UCHAR> output;
};

TEST_F(ReconstructSmallTest, UniformPicturesGiveTheTableDrivenValues)
{
    struct Case {
        UCHAR sample, y, u, v;
    };
    const Case cases[] = {{128, 185, 129, 128}, {255, 254, 129, 129}, {0, 0, 128, 128}};
    for (const Case& c : cases) {
        std::fill(picture.begin(), picture.end(), c.sample);
        Run();
        EXPECT_EQ(output[0], c.y) << int(c.sample);
        EXPECT_EQ(output[176 * 144 - 1], c.y) << int(c.sample);
        EXPECT_EQ(output[176 * 144], c.u) << int(c.sample);
        EXPECT_EQ(output[176 * 144 * 5 / 4 + 100], c.v) << int(c.sample);
    }
}

TEST_F(ReconstructSmallTest, MatrixClampsAndTheBottomRowComesFirst)
{
    // Top half white, bottom half pure blue; rows are stored bottom-up.
    for (ULONG row = 0; row < 144; ++row) {
        for (ULONG x = 0; x < 176; ++x) {
            UCHAR* px = &picture[(row * 176 + x) * 3];
            const bool top = row >= 72; // buffer rows 72.. hold picture rows 71..0
            px[0] = 255;
            px[1] = top ? 255 : 0;
            px[2] = top ? 255 : 0;
        }
    }
    Run(0);
    EXPECT_EQ(output[0], 254) << "white on top";
    // Pure blue: the matrix gives blue clip(331) = 255 and red and green
    // clip(-38) = 0, so Y = T_YB[255] = 29.
    EXPECT_EQ(output[143 * 176], 29);
    EXPECT_EQ(picture[0], 255);
    EXPECT_EQ(picture[1], 0);
    EXPECT_EQ(picture[2], 0);
}

} // namespace

namespace {

// The fastest kernels give the reference's bytes on random pictures, with
// the output placed against the end of an exact-size buffer.
TEST(PixelKernelVariants, MatchTheReferenceOnRandomInput)
{
    std::mt19937 rng(20261211);
    std::vector<UCHAR> mosaic(RAW_LINE_BUFFER_BYTES), luma(LUMA_WORK_BUFFER_BYTES);
    const std::pair<ULONG, ULONG> sizes[] = {{352, 288}, {320, 240}, {176, 144}, {160, 120}};
    for (auto [w, h] : sizes) {
        for (int round = 0; round < 3; ++round) {
            ResetPipelineTables();
            ASSERT_EQ(BuildPipelineTables(w, h, mosaic.data(), luma.data()), 1u);
            // Round 0: noise; round 1: smooth ramps (flat regions); round 2:
            // noise of small amplitude around mid-grey (near the thresholds).
            for (size_t i = 0; i < mosaic.size(); ++i) {
                const UCHAR noise = UCHAR(rng());
                mosaic[i] = round == 0 ? noise
                          : round == 1 ? UCHAR((i % 359) / 2 + (i / 359) % 7)
                                       : UCHAR(120 + noise % 24);
            }
            const std::vector<UCHAR> mosaicCopy = mosaic;
            std::vector<UCHAR> expected(size_t(w) * h * 3 / 2), actual(size_t(w) * h * 3 / 2);
            const bool large = w >= 320;
            for (LONG sharpness : {6L, 1L, 8L, 0L}) {
                SelectPixelKernels(PixelKernelsReference);
                mosaic = mosaicCopy;
                if (large) {
                    ReconstructLargeFrame(w, h, expected.data(), BaseToneCurve, BaseToneCurve,
                                          BaseToneCurve, LargeColourMatrix, sharpness);
                } else {
                    std::memcpy(luma.data(), mosaicCopy.data(), luma.size());
                    PixelKernels.SharpenLuma(w, h, sharpness, expected.data());
                }
                SelectPixelKernels(PixelKernelsBest);
                mosaic = mosaicCopy;
                if (large) {
                    ReconstructLargeFrame(w, h, actual.data(), BaseToneCurve, BaseToneCurve,
                                          BaseToneCurve, LargeColourMatrix, sharpness);
                } else {
                    std::memcpy(luma.data(), mosaicCopy.data(), luma.size());
                    PixelKernels.SharpenLuma(w, h, sharpness, actual.data());
                }
                ASSERT_EQ(expected, actual) << w << "x" << h << " round " << round
                                            << " sharpness " << sharpness << " kernels "
                                            << PixelKernels.Name;
            }
        }
    }
}

} // namespace
