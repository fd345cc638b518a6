#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "autocontrol/tone_tables.h"
#include "bit_writer.h"
#include "core/camera_context.h"
#include "datapath/decompress.h"
#include "datapath/frame_pipeline.h"
#include "imaging/pipeline_tables.h"

namespace {

// A large frame of level blocks only, each colour site at one level:
// codes for green, red and blue sites (G B / R G).
std::vector<uint8_t> SiteLargeFrame(ULONG w, ULONG h, uint32_t green, uint32_t red, uint32_t blue)
{
    const uint8_t levels[16] = {4, 14, 26, 39, 51, 63, 75, 87, 100, 114, 128, 145, 169, 198, 227, 249};
    auto code = [&](ULONG y, ULONG x) {
        if ((y & 1) == (x & 1)) {
            return green;
        }
        return (y & 1) ? red : blue;
    };
    BitWriter bits(FRAME_HEADER_BYTES + 2 * w);
    for (ULONG y = 0; y < 2; ++y) {
        for (ULONG x = 0; x < w; ++x) {
            bits.Bytes()[FRAME_HEADER_BYTES + y * w + x] = levels[code(y, x)];
        }
    }
    for (ULONG r = 2; r < h; ++r) {
        for (ULONG j = 0; j < w / 16; ++j) {
            bits.Bits("1");
            if (j == 0) {
                bits.Value(levels[code(r, 0)], 8).Value(levels[code(r, 1)], 8);
            }
            for (ULONG x = 16 * j + (j == 0 ? 2 : 0); x < 16 * j + 16; ++x) {
                bits.Value(code(r, x), 4);
            }
        }
    }
    bits.Value(LARGE_FRAME_END_MARKER, 8);
    return bits.Bytes();
}

// Every sample 128 (level code 10).
std::vector<uint8_t> UniformLargeFrame(ULONG w, ULONG h) { return SiteLargeFrame(w, h, 10, 10, 10); }

class FramePipelineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetPipelineTables();
        ResetToneTables();
        context = CameraContext{};
        context.RawLineBuffer = rawLines.data();
        context.LumaWorkBuffer = lumaLines.data();
        context.WorkBufferA = workA.data();
        context.WorkBufferB = workB.data();
        context.FrameFourCC = FOURCC_I420;
        frame.FrameIntact = TRUE;
        SetControls(128, 0, 0, 0, 32, 6);
    }

    void Open(ULONG w, ULONG h)
    {
        context.FrameWidth = w;
        context.FrameHeight = h;
        ASSERT_EQ(BuildPipelineTables(w, h, rawLines.data(), lumaLines.data()), 1u);
        picture.assign(size_t(w) * h * 3 / 2, 0x55);
    }

    void SetControls(LONG brightness, LONG contrast, ULONG gamma, LONG hueIndex, LONG saturation,
                     LONG sharpness)
    {
        context.Brightness = brightness;
        context.Contrast = contrast;
        context.Gamma = gamma;
        context.HueAngleIndex = hueIndex;
        context.Saturation = saturation;
        context.Sharpness = sharpness;
        RebuildToneTables(brightness, contrast, LONG(gamma), hueIndex, saturation);
    }

    // Puts a compacted frame at the start of the raw frame buffer.
    void Load(const std::vector<uint8_t>& compacted)
    {
        std::fill(raw.begin(), raw.end(), 0);
        std::copy(compacted.begin(), compacted.end(), raw.begin());
        context.SavedFrameLength = ULONG(compacted.size());
    }

    ULONG Dispatch()
    {
        ULONG delivered = 0xFFFFFFFF;
        DispatchFrameBySize(&context, &frame, picture.data(), ULONG(picture.size()), raw.data(),
                            &delivered);
        return delivered;
    }

    CameraContext context{};
    FrameContext frame{};
    std::vector<UCHAR> raw = std::vector<UCHAR>(RAW_FRAME_BYTES);
    std::vector<UCHAR> rawLines = std::vector<UCHAR>(RAW_LINE_BUFFER_BYTES);
    std::vector<UCHAR> lumaLines = std::vector<UCHAR>(LUMA_WORK_BUFFER_BYTES);
    std::vector<UCHAR> workA = std::vector<UCHAR>(WORK_BUFFER_A_BYTES);
    std::vector<UCHAR> workB = std::vector<UCHAR>(WORK_BUFFER_B_BYTES);
    std::vector<UCHAR> picture;
};

TEST_F(FramePipelineTest, LengthsOtherThanTheFourFormatsDeliverNothing)
{
    Open(352, 288);
    Load(UniformLargeFrame(352, 288));
    for (ULONG length : {0u, 1u, 152063u, 152065u, 115200u * 2}) {
        std::vector<UCHAR> buffer(length + 1, 0x5A);
        ULONG delivered = 7;
        DispatchFrameBySize(&context, &frame, buffer.data(), length, raw.data(), &delivered);
        EXPECT_EQ(delivered, 0u) << length;
        EXPECT_EQ(buffer, std::vector<UCHAR>(length + 1, 0x5A)) << length;
    }
}

TEST_F(FramePipelineTest, NeutralControlsSkipTheLumaAndSaturationPasses)
{
    Open(352, 288);
    Load(UniformLargeFrame(352, 288)); // every sample 128: Y 186, U = V = 128
    // The tables are built for brightness 100 and saturation 0, but the live
    // levels are neutral: only the hue tables (identity at index 0) apply.
    RebuildToneTables(100, 0, 0, 0, 0);
    EXPECT_EQ(Dispatch(), 152064u);
    EXPECT_EQ(frame.FrameIntact, TRUE);
    EXPECT_EQ(picture[0], 186);
    EXPECT_EQ(picture[352 * 288 - 2], 186);
    EXPECT_EQ(picture[352 * 288], 128);
    EXPECT_EQ(picture.back(), 128);
}

TEST_F(FramePipelineTest, AnyNonNeutralLevelAppliesTheWholeLumaTable)
{
    // Live level -> Y of a uniform 128 mosaic (186 before the table).
    struct Case {
        LONG brightness, contrast;
        ULONG gamma;
        UCHAR y;
    };
    const Case cases[] = {
        {100, 0, 0, 158},  // 186 + 100 - 128
        {128, 0, 0, 186},  // neutral
        {118, 0, 7, 213},  // registry defaults: gamma curve 7 (2.4) lifts 186 to 223, less 10
        {200, 0, 0, 255},  // clamped
    };
    for (const Case& c : cases) {
        SetUp();
        Open(352, 288);
        Load(UniformLargeFrame(352, 288));
        SetControls(c.brightness, c.contrast, c.gamma, 0, 32, 6);
        EXPECT_EQ(Dispatch(), 152064u);
        EXPECT_EQ(picture[1000], c.y) << c.brightness << "/" << c.contrast << "/" << c.gamma;
    }
}

TEST_F(FramePipelineTest, HueAndSaturationTurnTheChroma)
{
    Open(320, 240);
    Load(SiteLargeFrame(320, 240, 0, 12, 0)); // red sites 169, the others 4
    const size_t u = 320 * 240 + 1000, v = 320 * 240 * 5 / 4 + 1000;
    EXPECT_EQ(Dispatch(), 115200u); // hue index 0: no rotation
    const UCHAR u0 = picture[u], v0 = picture[v];
    EXPECT_LT(u0, 100);
    EXPECT_GT(v0, 200);
    // Hue 0 (index 540) turns by -90 degrees: (u, v) becomes (-v, u) about 128.
    SetControls(128, 0, 0, 540, 32, 6);
    EXPECT_EQ(Dispatch(), 115200u);
    EXPECT_EQ(picture[u], std::clamp(256 - v0, 0, 255));
    EXPECT_EQ(picture[v], u0);
    // Saturation 0 takes all colour out.
    SetControls(128, 0, 0, 0, 0, 6);
    EXPECT_EQ(Dispatch(), 115200u);
    EXPECT_EQ(picture[u], 128);
    EXPECT_EQ(picture[v], 128);
}

TEST_F(FramePipelineTest, AFailedDecodeStillPostProcessesTheOldPicture)
{
    Open(352, 288);
    std::vector<uint8_t> corrupt = UniformLargeFrame(352, 288);
    corrupt.back() = 0x91; // wrong end marker
    Load(corrupt);
    SetControls(100, 0, 0, 0, 32, 6);
    std::fill(picture.begin(), picture.end(), 200);
    EXPECT_EQ(Dispatch(), 0u);
    EXPECT_EQ(frame.FrameIntact, FALSE);
    EXPECT_EQ(picture[0], 172) << "the luma table still ran over the old content";
    EXPECT_EQ(picture[352 * 288], 200) << "identity hue";
}

TEST_F(FramePipelineTest, TablesBuiltForAnotherSizeFailTheFrameCleanly)
{
    Open(176, 144);
    Load(UniformLargeFrame(352, 288));
    picture.assign(I420_BYTES_352x288, 0);
    EXPECT_EQ(Dispatch(), 0u);
    EXPECT_EQ(frame.FrameIntact, FALSE);
    frame.FrameIntact = TRUE;
    Open(352, 288);
    picture.assign(I420_BYTES_176x144, 0);
    Load(std::vector<uint8_t>(30000, 0));
    EXPECT_EQ(Dispatch(), 0u);
    EXPECT_EQ(frame.FrameIntact, FALSE);
}

TEST_F(FramePipelineTest, SmallFramesGoThroughTheSmallPipeline)
{
    Open(176, 144);
    Load(std::vector<uint8_t>(30000, 0)); // all samples 0: the dither alone
    EXPECT_EQ(Dispatch(), 38016u);
    // Dither 0..3 through the tone curve and matrix stays near black.
    for (size_t i = 0; i < 176 * 144; i += 997) {
        EXPECT_LE(picture[i], 6) << i;
    }
    EXPECT_EQ(Pipeline.SmallFrameCounter, 1u);
}

TEST_F(FramePipelineTest, StillMarkerSitsInTheLastLumaByte)
{
    const std::tuple<ULONG, ULONG, size_t> sizes[] = {
        {160, 120, 19199}, {176, 144, 25343}, {320, 240, 76799}, {352, 288, 101375}};
    for (auto [w, h, position] : sizes) {
        context.FrameWidth = w;
        context.FrameHeight = h;
        std::vector<UCHAR> buffer(size_t(w) * h * 3 / 2, 0x80);
        context.StillLatch = 1;
        MarkStillFrame(&context, buffer.data(), ULONG(buffer.size()));
        EXPECT_EQ(buffer[position], 0x81) << w;
        EXPECT_EQ(context.StillLatch, 0);
        buffer[position] = 0xFF;
        MarkStillFrame(&context, buffer.data(), ULONG(buffer.size()));
        EXPECT_EQ(buffer[position], 0xFE) << w;
        EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0x80), std::ptrdiff_t(buffer.size() - 1));
    }
    // Another format, or a Y plane that does not fit, is left alone.
    std::vector<UCHAR> buffer(100, 0xFF);
    context.FrameFourCC = 0x32595559; // YUY2
    MarkStillFrame(&context, buffer.data(), ULONG(buffer.size()));
    context.FrameFourCC = FOURCC_I420;
    MarkStillFrame(&context, buffer.data(), ULONG(buffer.size()));
    EXPECT_EQ(buffer, std::vector<UCHAR>(100, 0xFF));
}

TEST(PostProcessingTables, HueLooksUpBothValuesFromTheOriginalPair)
{
    // TableU swaps to V, TableV swaps to U: both must see the old pair.
    std::vector<UCHAR> tableU(65536), tableV(65536);
    for (int u = 0; u < 256; ++u) {
        for (int v = 0; v < 256; ++v) {
            tableU[size_t(u * 256 + v)] = UCHAR(v);
            tableV[size_t(u * 256 + v)] = UCHAR(u);
        }
    }
    std::vector<UCHAR> uPlane = {1, 2, 3, 4}, vPlane = {10, 20, 30, 40};
    ApplyHueTables(uPlane.data(), vPlane.data(), tableU.data(), tableV.data(), 2, 2);
    EXPECT_EQ(uPlane, (std::vector<UCHAR>{10, 20, 30, 40}));
    EXPECT_EQ(vPlane, (std::vector<UCHAR>{1, 2, 3, 4}));

    std::vector<UCHAR> bytes = {0, 1, 255};
    UCHAR invert[256];
    for (int i = 0; i < 256; ++i) {
        invert[i] = UCHAR(255 - i);
    }
    ApplyByteTable(bytes.data(), 3, invert);
    EXPECT_EQ(bytes, (std::vector<UCHAR>{255, 254, 0}));
    ApplyByteTable(bytes.data(), 3, nullptr);
    ApplyByteTable(nullptr, 3, invert);
    EXPECT_EQ(bytes, (std::vector<UCHAR>{255, 254, 0}));
}

} // namespace
