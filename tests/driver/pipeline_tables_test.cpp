#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/camera_context.h"
#include "imaging/pipeline_tables.h"

namespace {

struct Buffers {
    std::vector<UCHAR> mosaic = std::vector<UCHAR>(RAW_LINE_BUFFER_BYTES);
    std::vector<UCHAR> luma = std::vector<UCHAR>(LUMA_WORK_BUFFER_BYTES);
};

class PipelineTablesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetPipelineTables();
        ASSERT_EQ(BuildPipelineTables(352, 288, buffers.mosaic.data(), buffers.luma.data()), 1u);
    }
    Buffers buffers;
};

TEST_F(PipelineTablesTest, ProductTablesTruncateTowardZero)
{
    struct Case {
        ULONG table;
        int index;
        SHORT expected;
    };
    const Case cases[] = {
        {T_UR, 1, 0},   {T_UR, 6, -1},    {T_VB, 12, 0},   {T_VB, 13, -1},  {T_YG, 255, 149},
        {T_UB, 255, 127}, {T_YR, 255, 76}, {T_UG, 255, -84}, {T_VG, 255, -106}, {T_YB, 0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Pipeline.YuvProducts[c.table][c.index], c.expected)
            << "table " << c.table << " index " << c.index;
    }
}

TEST_F(PipelineTablesTest, ClampAndQuantiserBoundaries)
{
    const std::pair<LONG, UCHAR> clamp[] = {{-500, 0}, {-1, 0}, {0, 0}, {200, 200},
                                            {255, 255}, {256, 255}, {799, 255}};
    for (auto [index, expected] : clamp) {
        EXPECT_EQ(ClampSample(index), expected) << index;
    }
    // Each interval's first and last sample.
    const std::pair<int, UCHAR> quantiser[] = {
        {0, 4},     {7, 4},     {8, 14},    {19, 14},   {20, 26},   {32, 26},   {33, 39},
        {44, 39},   {45, 51},   {92, 87},   {93, 100},  {106, 100}, {107, 114}, {121, 128},
        {135, 128}, {136, 145}, {154, 145}, {155, 169}, {182, 169}, {183, 198}, {212, 198},
        {213, 227}, {241, 227}, {242, 249}, {255, 249},
    };
    for (auto [sample, level] : quantiser) {
        EXPECT_EQ(Pipeline.Quantiser[sample], level) << sample;
    }
    // The difference table saturates outside -255..255.
    EXPECT_EQ(Pipeline.AbsDiffStorage[800 - 255], 255);
    EXPECT_EQ(Pipeline.AbsDiffStorage[800 - 256], 0);
    EXPECT_EQ(Pipeline.AbsDiffStorage[800 + 256], 255);
    EXPECT_EQ(Pipeline.AbsDiffStorage[800 - 7], 7);
}

TEST_F(PipelineTablesTest, ResidualCodeTable)
{
    // Code bits (left-aligned in 12 bits) -> residual, length, invalid.
    struct Case {
        ULONG bits12;
        SHORT residual;
        UCHAR length;
        UCHAR invalid;
    };
    const Case cases[] = {
        {0b000000000000, 0, 1, 0},     {0b011111111111, 0, 1, 0},
        {0b101000000000, 4, 3, 0},     {0b111000000000, -4, 3, 0},
        {0b110000000000, -10, 5, 0},   {0b110010000000, -16, 5, 0},
        {0b110100000000, 10, 5, 0},    {0b110110000000, 16, 5, 0},
        {0b100000100000, -24, 7, 0},   {0b100011100000, -112, 7, 0},
        {0b100100100000, 24, 7, 0},    {0b100111100000, 112, 7, 0},
        {0b100000000000, -128, 8, 0},  {0b100000010000, 128, 8, 0},
        {0b100100000000, 0, 8, 1},     {0b100100001111, 0, 8, 1},
        {0b100100010000, -144, 12, 0}, {0b100100010111, -320, 12, 0},
        {0b100100011000, 144, 12, 0},  {0b100100011111, 320, 12, 0},
        {0b100100010011, -196, 12, 0},
    };
    for (const Case& c : cases) {
        const ResidualCode& code = Pipeline.Residuals[c.bits12];
        EXPECT_EQ(code.Residual, c.residual) << std::hex << c.bits12;
        EXPECT_EQ(code.Length, c.length) << std::hex << c.bits12;
        EXPECT_EQ(code.Invalid, c.invalid) << std::hex << c.bits12;
    }
}

TEST_F(PipelineTablesTest, RowTablesFitTheWorkBuffers)
{
    const PUCHAR mosaic = buffers.mosaic.data();
    const PUCHAR luma = buffers.luma.data();
    // 294 lines of 358 bytes and of 362 bytes.
    EXPECT_EQ(Pipeline.DecoderRows[0], mosaic + 358 * 2 + 3);
    EXPECT_EQ(Pipeline.MosaicLines[293], mosaic + 358 * 293);
    EXPECT_EQ(Pipeline.LumaLines[293], luma + 362 * 293);
    EXPECT_LE(358u * 294u, RAW_LINE_BUFFER_BYTES);
    EXPECT_LE(362u * 294u, LUMA_WORK_BUFFER_BYTES);
    // Phase 1 gives the roles rows 2n-1 .. 2n+3 the physical lines 2, 3, 4, 0, 1.
    const ULONG phase1[5] = {2 * 360, 3 * 360, 4 * 360, 0, 1 * 360};
    for (int role = 0; role < 5; ++role) {
        EXPECT_EQ(Pipeline.LineRotation[1][role], phase1[role]) << role;
    }
}

TEST_F(PipelineTablesTest, NullBufferRegistersMosaicAndKeepsOtherTables)
{
    Buffers other;
    Pipeline.SmallFrameCounter = 7;
    Pipeline.LevelBlockFlag = 1;
    const PUCHAR lumaBefore = Pipeline.LumaLines[0];
    EXPECT_EQ(BuildPipelineTables(176, 144, other.mosaic.data(), nullptr), 0u);
    EXPECT_EQ(Pipeline.MosaicBuffer, other.mosaic.data());
    EXPECT_EQ(Pipeline.SmallFrameCounter, 0u);
    EXPECT_EQ(Pipeline.LevelBlockFlag, 1);
    EXPECT_EQ(Pipeline.Width, 352u);
    EXPECT_EQ(Pipeline.LumaLines[0], lumaBefore);
    EXPECT_EQ(Pipeline.DecoderRows[0], buffers.mosaic.data() + 358 * 2 + 3);
}

TEST_F(PipelineTablesTest, RebuildClearsDecoderStateAndIsRepeatable)
{
    Pipeline.SmallFrameCounter = 3;
    Pipeline.LevelBlockFlag = 1;
    const PipelineTables before = Pipeline;
    ASSERT_EQ(BuildPipelineTables(352, 288, buffers.mosaic.data(), buffers.luma.data()), 1u);
    EXPECT_EQ(Pipeline.SmallFrameCounter, 0u);
    EXPECT_EQ(Pipeline.LevelBlockFlag, 0);
    EXPECT_EQ(std::memcmp(Pipeline.DecoderRows, before.DecoderRows, sizeof(before.DecoderRows)), 0);
    EXPECT_EQ(std::memcmp(Pipeline.Residuals, before.Residuals, sizeof(before.Residuals)), 0);
    EXPECT_EQ(std::memcmp(Pipeline.YuvProducts, before.YuvProducts, sizeof(before.YuvProducts)), 0);
}

TEST(PipelineStaticTables, ToneCurveAndMatrices)
{
    const std::pair<int, UCHAR> tone[] = {{0, 0}, {16, 20}, {64, 113}, {72, 128}, {128, 187},
                                          {200, 228}, {255, 255}};
    for (auto [index, value] : tone) {
        EXPECT_EQ(BaseToneCurve[index], value) << index;
    }
    for (int i = 0; i < 9; ++i) {
        const SHORT expected = (i % 4 == 0) ? 0x6000 : 0x1000;
        for (int lane = 0; lane < 4; ++lane) {
            EXPECT_EQ(LargeColourMatrix[i][lane], expected) << i;
        }
        EXPECT_EQ(SmallColourMatrix[i], (i % 4 == 0) ? 665 : -76) << i;
    }
}

TEST(PipelineGeometry, RejectsSizesTheTablesCannotHold)
{
    Buffers buffers;
    ResetPipelineTables();
    EXPECT_EQ(BuildPipelineTables(640, 480, buffers.mosaic.data(), buffers.luma.data()), 0u);
    EXPECT_EQ(BuildPipelineTables(350, 288, buffers.mosaic.data(), buffers.luma.data()), 0u);
    EXPECT_EQ(Pipeline.Width, 0u);
    for (auto [w, h] : {std::pair{160u, 120u}, {176u, 144u}, {320u, 240u}, {352u, 288u}}) {
        EXPECT_EQ(BuildPipelineTables(w, h, buffers.mosaic.data(), buffers.luma.data()), 1u);
    }
}

} // namespace
