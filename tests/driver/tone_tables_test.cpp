#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <numbers>

#include "autocontrol/tone_tables.h"

namespace {

class ToneTablesTest : public ::testing::Test {
protected:
    void SetUp() override { ResetToneTables(); }

    // Neutral contrast, gamma and hue, so LumaTable is the brightness table.
    static void RebuildBrightnessOnly(LONG brightness)
    {
        RebuildToneTables(brightness, 0, 0, 0, 32);
    }
};

// Sample inputs of the contrast tables.
const int ContrastSamples[9] = {0, 32, 64, 96, 128, 160, 192, 224, 255};

TEST_F(ToneTablesTest, NeutralValuesGiveIdentityTables)
{
    RebuildToneTables(128, 0, 0, 0, 32);
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(ToneTables.LumaTable[i], i);
        ASSERT_EQ(ToneTables.SaturationTable[i], i);
    }
    for (int n = 0; n < 65536; ++n) {
        ASSERT_EQ(ToneTables.HueTableU[n], n >> 8) << n;
        ASSERT_EQ(ToneTables.HueTableV[n], n & 0xFF) << n;
    }
}

TEST_F(ToneTablesTest, FirstRebuildBuildsEverythingWhateverTheValues)
{
    // A state that remembered "0" (or a sentinel such as -1 or 0x7FFFFFFF)
    // as already built would skip these and leave all-zero tables behind.
    RebuildToneTables(0, 0, 0, 0, 0);
    EXPECT_EQ(ToneTables.LumaTable[200], 72);  // 200 - 128
    EXPECT_EQ(ToneTables.LumaTable[255], 127);
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(ToneTables.SaturationTable[i], 128) << i;
    }
    EXPECT_EQ(ToneTables.HueTableU[0x12 * 256 + 0x34], 0x12);
    EXPECT_EQ(ToneTables.HueTableV[0x12 * 256 + 0x34], 0x34);

    ResetToneTables();
    RebuildToneTables(0x7FFFFFFF, 0, -1, 0x7FFFFFFF, -1);
    EXPECT_EQ(ToneTables.LumaTable[0], 127);   // brightness clamped to 255, gamma to 0
    EXPECT_EQ(ToneTables.LumaTable[100], 227);
    EXPECT_EQ(ToneTables.SaturationTable[0], 128); // saturation clamped to 0
    EXPECT_EQ(ToneTables.HueTableV[128 * 256 + 255], 254); // angle clamped to 719
}

TEST_F(ToneTablesTest, BrightnessOffsetsAndClamps)
{
    struct Case {
        LONG brightness;
        int input;
        int expected;
    };
    const Case cases[] = {
        {0, 0, 0},      {0, 128, 0},     {0, 129, 1},     {0, 255, 127},   // max(i - 128, 0)
        {255, 0, 127},  {255, 128, 255}, {255, 255, 255},                   // min(i + 127, 255)
        {100, 0, 0},    {100, 128, 100}, {100, 255, 227},
        {-7, 200, 72},  {300, 1, 128},                                      // clamped to 0, 255
    };
    for (const Case& c : cases) {
        RebuildBrightnessOnly(c.brightness);
        EXPECT_EQ(ToneTables.LumaTable[c.input], c.expected)
            << "brightness " << c.brightness << " input " << c.input;
    }
}

TEST_F(ToneTablesTest, SaturationScalesChromaWithArithmeticShift)
{
    struct Case {
        LONG saturation;
        int input;
        int expected;
    };
    const Case cases[] = {
        {63, 0, 0},     {63, 200, 255}, // clamped at both ends
        {63, 127, 126}, {63, 129, 129}, // -63 >> 5 = -2, 63 >> 5 = 1
        {63, 128, 128},
        {16, 0, 64},    {16, 1, 64},    // -2032 >> 5 = -64 (truncation would give -63)
        {16, 2, 65},    {16, 255, 191},
        {100, 200, 255}, {-3, 0, 128},  // clamped to 63, 0
    };
    for (const Case& c : cases) {
        RebuildToneTables(128, 0, 0, 0, c.saturation);
        EXPECT_EQ(ToneTables.SaturationTable[c.input], c.expected)
            << "saturation " << c.saturation << " input " << c.input;
    }

    RebuildToneTables(128, 0, 0, 0, 0);
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(ToneTables.SaturationTable[i], 128) << i;
    }
    RebuildToneTables(128, 0, 0, 0, 32);
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(ToneTables.SaturationTable[i], i) << i;
    }
}

TEST_F(ToneTablesTest, QuarterTurnHueTables)
{
    // Quarter turns move whole axes: +90 degrees (index 180) maps (u, v) to
    // (v, -u), -90 degrees (index 540, hue 0) to (-v, u); -(-128) clamps to
    // 127. u = -128 times 2^30 overflows 32 bits, so this also needs the
    // 64-bit products.
    for (LONG angle : {180, 540}) {
        RebuildToneTables(128, 0, 0, angle, 32);
        for (int n = 0; n < 65536; ++n) {
            const int u = n >> 8;
            const int v = n & 0xFF;
            const int expectedU = angle == 180 ? v : std::min(256 - v, 255);
            const int expectedV = angle == 180 ? std::min(256 - u, 255) : u;
            ASSERT_EQ(ToneTables.HueTableU[n], expectedU) << "angle " << angle << " n " << n;
            ASSERT_EQ(ToneTables.HueTableV[n], expectedV) << "angle " << angle << " n " << n;
        }
    }
}

TEST_F(ToneTablesTest, HueRotationSpotValues)
{
    struct Case {
        LONG angle;   // hue angle index, half degrees
        int u, v;     // stored chroma bytes
        int newU, newV;
    };
    const Case cases[] = {
        {540, 178, 128, 128, 178}, // hue 0: -90 degrees
        {0, 178, 128, 178, 128},   // hue 180: unchanged
        {180, 178, 128, 128, 78},
        {90, 0, 0, 0, 128},        // 45 degrees: -181 clamps to -128
        {90, 255, 255, 255, 128},
        // 30 degrees: sin is exactly 2^29, so 2 * sin >> 30 = 1.
        {60, 128, 130, 129, 129},
        {60, 130, 128, 129, 127},
        {60, 128, 126, 127, 126},
        // 210 degrees: the table's sin is -536870911, one above -2^29, so
        // -2 * sin >> 30 is 0 rather than 1.
        {420, 128, 126, 128, 129},
        {420, 128, 130, 127, 126},
        // Default hue 179: 359.5 degrees.
        {719, 200, 60, 200, 60},
        {719, 128, 255, 126, 254},
        {719, 0, 255, 0, 253},
        // Out-of-range angle indices clamp to 0 and 719.
        {-1, 10, 20, 10, 20},
        {800, 0, 255, 0, 253},
    };
    for (const Case& c : cases) {
        RebuildToneTables(128, 0, 0, c.angle, 32);
        const int n = c.u * 256 + c.v;
        EXPECT_EQ(ToneTables.HueTableU[n], c.newU) << "angle " << c.angle << " pair " << n;
        EXPECT_EQ(ToneTables.HueTableV[n], c.newV) << "angle " << c.angle << " pair " << n;
    }
}

TEST_F(ToneTablesTest, ContrastControlPoints)
{
    struct Case {
        LONG contrast;
        TonePoint p1, p3;
    };
    const Case cases[] = {
        {1, {64, 192}, {191, 63}},
        {3000, {83, 210}, {172, 44}},
        {10000, {128, 255}, {128, 0}},
        {20000, {128, 255}, {128, 0}}, // clamped to 10000
        {-5, {64, 192}, {192, 64}},    // clamped to 0: a straight line
    };
    for (const Case& c : cases) {
        TonePoint p[5];
        GetContrastControlPoints(c.contrast, p);
        EXPECT_EQ(p[0].X, 0);
        EXPECT_EQ(p[0].Y, 255);
        EXPECT_EQ(p[1].X, c.p1.X) << c.contrast;
        EXPECT_EQ(p[1].Y, c.p1.Y) << c.contrast;
        EXPECT_EQ(p[2].X, 128);
        EXPECT_EQ(p[2].Y, 128);
        EXPECT_EQ(p[3].X, c.p3.X) << c.contrast;
        EXPECT_EQ(p[3].Y, c.p3.Y) << c.contrast;
        EXPECT_EQ(p[4].X, 255);
        EXPECT_EQ(p[4].Y, 0);
    }
}

TEST_F(ToneTablesTest, ContrastCurveSamples)
{
    struct Case {
        LONG contrast;
        ULONG points; // flattened curve points
        ULONG pixels; // rasterised pixels
        int samples[9]; // ContrastTable at ContrastSamples
    };
    const Case cases[] = {
        {1, 9, 265, {0, 32, 64, 95, 127, 161, 193, 224, 255}},
        {100, 9, 265, {0, 32, 64, 95, 127, 161, 193, 224, 255}},
        {1000, 33, 300, {0, 28, 58, 91, 127, 166, 199, 229, 255}},
        {3000, 65, 357, {0, 20, 46, 80, 127, 178, 212, 237, 255}},
        {10000, 65, 447, {0, 2, 11, 32, 120, 224, 244, 252, 255}},
        {20000, 65, 447, {0, 2, 11, 32, 120, 224, 244, 252, 255}}, // clamped to 10000
    };
    for (const Case& c : cases) {
        RebuildToneTables(128, c.contrast, 0, 0, 32);
        EXPECT_EQ(ToneTables.CurvePointCount, c.points) << c.contrast;
        EXPECT_EQ(ToneTables.CurvePixelCount, c.pixels) << c.contrast;
        for (int s = 0; s < 9; ++s) {
            EXPECT_EQ(ToneTables.ContrastTable[ContrastSamples[s]], c.samples[s])
                << "contrast " << c.contrast << " input " << ContrastSamples[s];
            EXPECT_EQ(ToneTables.LumaTable[ContrastSamples[s]], c.samples[s]);
        }
    }

    // Contrast 1 and 100 flatten to the same points, so the whole tables match.
    UCHAR low[256];
    RebuildToneTables(128, 1, 0, 0, 32);
    std::copy(std::begin(ToneTables.ContrastTable), std::end(ToneTables.ContrastTable), low);
    RebuildToneTables(128, 100, 0, 0, 32);
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(ToneTables.ContrastTable[i], low[i]) << i;
    }
}

TEST_F(ToneTablesTest, ContrastCurveWholeTableAt3000)
{
    // Every entry, to catch a single misplaced pixel of the rasterisation.
    const UCHAR expected[256] = {
        0,   0,   1,   1,   2,   3,   3,   4,   4,   5,   6,   6,   7,   7,   8,   9,   // 0
        9,   10,  10,  11,  12,  12,  13,  13,  14,  15,  16,  17,  18,  19,  19,  20,  // 16
        20,  21,  22,  22,  23,  23,  24,  25,  26,  27,  28,  29,  29,  30,  30,  31,  // 32
        32,  33,  34,  35,  36,  36,  37,  38,  39,  39,  40,  41,  42,  43,  44,  45,  // 48
        46,  47,  48,  49,  50,  51,  52,  53,  54,  55,  56,  57,  58,  59,  60,  61,  // 64
        62,  63,  64,  65,  66,  67,  69,  70,  71,  72,  73,  74,  75,  77,  78,  79,  // 80
        80,  82,  83,  84,  86,  87,  88,  89,  91,  92,  93,  95,  97,  98,  100, 101, // 96
        102, 103, 105, 107, 108, 110, 111, 112, 114, 116, 117, 119, 121, 122, 124, 126, // 112
        127, 130, 133, 135, 137, 138, 140, 142, 143, 145, 147, 148, 150, 152, 153, 155, // 128
        157, 158, 159, 160, 161, 162, 164, 166, 167, 169, 171, 172, 173, 174, 175, 176, // 144
        178, 180, 181, 182, 183, 184, 185, 186, 187, 188, 189, 191, 192, 193, 194, 195, // 160
        196, 197, 198, 199, 200, 201, 202, 203, 204, 205, 206, 207, 208, 209, 210, 211, // 176
        212, 213, 213, 214, 215, 216, 217, 218, 219, 220, 221, 221, 222, 223, 224, 224, // 192
        225, 226, 227, 228, 228, 229, 230, 231, 231, 232, 232, 233, 234, 234, 235, 236, // 208
        237, 238, 238, 239, 240, 241, 241, 242, 242, 243, 244, 244, 245, 245, 246, 247, // 224
        247, 248, 248, 249, 250, 250, 251, 251, 252, 253, 253, 253, 254, 254, 254, 255, // 240
    };
    RebuildToneTables(128, 3000, 0, 0, 32);
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(ToneTables.ContrastTable[i], expected[i]) << i;
    }
}

TEST_F(ToneTablesTest, EveryContrastFitsTheWorkLists)
{
    // Every strength builds a complete, non-decreasing curve from 0 to 255
    // within the work lists; the steepest needs 65 points and 447 pixels.
    for (LONG contrast = 0; contrast <= 10000; ++contrast) {
        ASSERT_TRUE(BuildContrastCurve(contrast)) << contrast;
        ASSERT_LE(ToneTables.CurvePointCount, 65u) << contrast;
        ASSERT_LE(ToneTables.CurvePixelCount, 447u) << contrast;
        ASSERT_EQ(ToneTables.ContrastTable[0], 0) << contrast;
        ASSERT_EQ(ToneTables.ContrastTable[255], 255) << contrast;
        for (int i = 1; i < 256; ++i) {
            ASSERT_GE(ToneTables.ContrastTable[i], ToneTables.ContrastTable[i - 1])
                << "contrast " << contrast << " input " << i;
        }
    }
}

TEST_F(ToneTablesTest, GammaCurvesMatchPower)
{
    // An independent evaluation of floor(255 * (i / 255) ^ (1 / (1 + 0.2 g))).
    for (int g = 0; g < 10; ++g) {
        for (int i = 0; i < 256; ++i) {
            const double expected = std::floor(255.0 * std::pow(i / 255.0, 1.0 / (1.0 + 0.2 * g)));
            ASSERT_EQ(GammaCurves[g][i], expected) << "curve " << g << " input " << i;
        }
    }

    struct Case {
        LONG gamma; // as passed, before clamping
        int input;
        int expected;
    };
    const Case cases[] = {
        {1, 1, 2},    {1, 128, 143}, {3, 200, 219}, {5, 1, 15},   {5, 64, 127},
        {5, 128, 180}, {7, 128, 191}, {9, 1, 35},    {9, 16, 94},  {9, 128, 199},
        {9, 254, 254}, {9, 255, 255}, {12, 128, 199}, {-3, 128, 128}, // clamped to 9, 0
    };
    for (const Case& c : cases) {
        RebuildToneTables(128, 0, c.gamma, 0, 32);
        EXPECT_EQ(ToneTables.GammaTable[c.input], c.expected) << c.gamma << "," << c.input;
        EXPECT_EQ(ToneTables.LumaTable[c.input], c.expected) << c.gamma << "," << c.input;
    }
}

TEST_F(ToneTablesTest, SineTable)
{
    struct Case {
        int index; // half degrees
        LONG value;
    };
    const Case cases[] = {
        {0, 0},
        {1, 9370046},       // sin 0.5 degrees
        {2, 18739378},
        {60, 536870912},    // sin 30 degrees = 1/2 exactly
        {179, 1073700939},
        {180, 1073741824},  // 2^30
        {181, 1073700939},
        {300, 536870912},
        {360, 0},
        {420, -536870911},  // sin 210 degrees: one above -2^29
        {540, -1073741824},
        {660, -536870912},  // sin 330 degrees
        {719, -9370046},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SineTable[c.index], c.value) << c.index;
    }

    // Every other entry is sin * 2^30 truncated toward zero; where the exact
    // product is an integer (sin 0, +-1/2, +-1), the double may fall just
    // short of it, so values that close are taken as that integer.
    for (int i = 0; i < 720; ++i) {
        if (i == 420) {
            continue;
        }
        const double scaled = std::sin(i * std::numbers::pi / 360.0) * 1073741824.0;
        const double nearest = std::round(scaled);
        const double expected = std::fabs(scaled - nearest) < 1e-6 ? nearest : std::trunc(scaled);
        ASSERT_EQ(SineTable[i], expected) << i;
    }
}

TEST_F(ToneTablesTest, LumaTableAppliesContrastThenGammaThenBrightness)
{
    // Brightness 60, contrast 3000, gamma 4. Each other order of the three
    // tables gives different values (noted per row as CBG / GCB / GBC / BCG /
    // BGC, the first letter applied first).
    struct Case {
        int input;
        int expected;
    };
    const Case cases[] = {
        {0, 0},
        {40, 3},     // 0 / 6 / 13 / 0 / 0
        {64, 30},    // 0 / 43 / 34 / 0 / 0
        {100, 71},   // 58 / 98 / 65 / 61 / 62
        {128, 105},  // 113 / 125 / 92 / 93 / 105
        {160, 140},  // 159 / 147 / 127 / 129 / 157
        {200, 166},  // 190 / 167 / 171 / 180 / 196
        {255, 187},  // 214 / 187 / 207 / 227 / 230
    };
    RebuildToneTables(60, 3000, 4, 0, 32);
    for (const Case& c : cases) {
        EXPECT_EQ(ToneTables.LumaTable[c.input], c.expected) << c.input;
    }
}

TEST_F(ToneTablesTest, ChangesThroughNeutralValuesRebuild)
{
    // Each sequence passes through the neutral value and back; the tables
    // must follow every step.
    RebuildBrightnessOnly(100);
    EXPECT_EQ(ToneTables.BrightnessTable[128], 100);
    RebuildBrightnessOnly(128);
    EXPECT_EQ(ToneTables.BrightnessTable[128], 128);
    RebuildBrightnessOnly(100);
    EXPECT_EQ(ToneTables.BrightnessTable[128], 100);
    EXPECT_EQ(ToneTables.LumaTable[255], 227);

    const int contrastSteps[][2] = {{3000, 20}, {0, 32}, {3000, 20}}; // contrast, table[32]
    for (const auto& step : contrastSteps) {
        RebuildToneTables(128, step[0], 0, 0, 32);
        EXPECT_EQ(ToneTables.ContrastTable[32], step[1]) << "contrast " << step[0];
        EXPECT_EQ(ToneTables.LumaTable[32], step[1]) << "contrast " << step[0];
    }

    const int gammaSteps[][2] = {{7, 191}, {0, 128}, {7, 191}}; // gamma, table[128]
    for (const auto& step : gammaSteps) {
        RebuildToneTables(128, 0, step[0], 0, 32);
        EXPECT_EQ(ToneTables.GammaTable[128], step[1]) << "gamma " << step[0];
        EXPECT_EQ(ToneTables.LumaTable[128], step[1]) << "gamma " << step[0];
    }
}

TEST_F(ToneTablesTest, UnchangedParametersAreNotRebuilt)
{
    RebuildToneTables(100, 3000, 7, 540, 40);
    // Mark every per-parameter table; a rebuild would overwrite the marks.
    std::fill(std::begin(ToneTables.BrightnessTable), std::end(ToneTables.BrightnessTable), 11);
    std::fill(std::begin(ToneTables.ContrastTable), std::end(ToneTables.ContrastTable), 22);
    std::fill(std::begin(ToneTables.GammaTable), std::end(ToneTables.GammaTable), 33);
    std::fill(std::begin(ToneTables.HueTableU), std::end(ToneTables.HueTableU), 44);
    std::fill(std::begin(ToneTables.SaturationWorkTable), std::end(ToneTables.SaturationWorkTable),
              55);

    RebuildToneTables(100, 3000, 7, 540, 40);
    EXPECT_EQ(ToneTables.BrightnessTable[0], 11);
    EXPECT_EQ(ToneTables.ContrastTable[0], 22);
    EXPECT_EQ(ToneTables.GammaTable[0], 33);
    EXPECT_EQ(ToneTables.HueTableU[0], 44);
    EXPECT_EQ(ToneTables.SaturationWorkTable[0], 55);
    // The composed tables are rebuilt on every call, from the marked tables.
    EXPECT_EQ(ToneTables.LumaTable[0], 11);
    EXPECT_EQ(ToneTables.SaturationTable[200], 55);

    // Only the hue changed: only the hue tables are rebuilt.
    RebuildToneTables(100, 3000, 7, 0, 40);
    EXPECT_EQ(ToneTables.HueTableU[0], 0);
    EXPECT_EQ(ToneTables.BrightnessTable[0], 11);
    EXPECT_EQ(ToneTables.ContrastTable[0], 22);
    EXPECT_EQ(ToneTables.GammaTable[0], 33);
    EXPECT_EQ(ToneTables.SaturationWorkTable[0], 55);
}

} // namespace
