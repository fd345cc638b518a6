#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "bit_writer.h"
#include "core/camera_context.h"
#include "datapath/decompress.h"
#include "imaging/pipeline_tables.h"

namespace {

constexpr int W = 320;
constexpr int H = 240;

// Builds a 320x240 coded frame: literal rows 0 and 1, then coded rows.
class FrameBuilder {
public:
    FrameBuilder() : writer_(FRAME_HEADER_BYTES + 2 * W) {}

    uint8_t* Row(int r) { return writer_.Bytes().data() + FRAME_HEADER_BYTES + r * W; }
    BitWriter& Bits() { return writer_; }

    // A predictive block whose every residual is 0 (with literal pixels 0
    // and 1 in block 0).
    void ZeroBlock(int block, uint8_t p0 = 0, uint8_t p1 = 0)
    {
        writer_.Bits("0");
        if (block == 0) {
            writer_.Value(p0, 8).Value(p1, 8);
        }
        writer_.Repeat("0", block == 0 ? 14 : 16);
    }
    void ZeroRows(int count)
    {
        for (int r = 0; r < count; ++r) {
            for (int j = 0; j < W / 16; ++j) {
                ZeroBlock(j);
            }
        }
    }
    // Ends the frame with `marker`; the frame is exactly as long as needed.
    std::vector<uint8_t> Finish(uint32_t marker = LARGE_FRAME_END_MARKER)
    {
        writer_.Value(marker, 8);
        return writer_.Bytes();
    }
    size_t BitCount() const { return writer_.BitCount(); }

private:
    BitWriter writer_;
};

class DecompressLargeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetPipelineTables();
        mosaic.assign(RAW_LINE_BUFFER_BYTES, 0xEE);
        ASSERT_EQ(BuildPipelineTables(W, H, mosaic.data(), luma.data()), 1u);
    }
    ULONG Decode(const std::vector<uint8_t>& frame, UCHAR revision = 0)
    {
        return DecompressLargeFrame(W, H, ULONG(frame.size()), frame.data(), revision);
    }
    UCHAR Pixel(int x, int y) const { return Pipeline.DecoderRows[y + 0][x]; }
    const UCHAR* Line(int line) const { return Pipeline.MosaicLines[line]; }

    std::vector<UCHAR> mosaic;
    std::vector<UCHAR> luma = std::vector<UCHAR>(LUMA_WORK_BUFFER_BYTES);
};

TEST_F(DecompressLargeTest, ZeroResidualsOverZeroRowsDecodeToZero)
{
    FrameBuilder b;
    b.ZeroRows(H - 2);
    ASSERT_NE(b.BitCount() % 8, 0u) << "the marker should not start on a byte boundary";
    ASSERT_EQ(Decode(b.Finish()), 1u);
    // Every line, margins included, is written.
    for (int line = 0; line < H + 5; ++line) {
        for (int x = 0; x < W + 6; ++x) {
            ASSERT_EQ(Line(line)[x], 0) << "line " << line << " byte " << x;
        }
    }
    EXPECT_EQ(Pipeline.LevelBlockFlag, 0);
}

TEST_F(DecompressLargeTest, PredictionUsesArithmeticShiftAndUnclampedPrediction)
{
    FrameBuilder b;
    b.Row(0)[0] = 255; // diagonal of row 2 pixel 2
    b.Row(1)[3] = 255; // above row 3 pixel 3
    // Row 2: pixel 2 = ((3 * (0 + 0) - 2 * 255) >> 2) + 128 = -128 + 128 = 0.
    b.Bits().Bits("0").Value(0, 8).Value(0, 8).Bits("100 00001").Repeat("0", 13);
    for (int j = 1; j < W / 16; ++j) {
        b.ZeroBlock(j);
    }
    // Row 3: pixel 1 literal 255; pixel 3 = ((3 * (255 + 255) - 0) >> 2) - 128
    // = 382 - 128 = 254 (clamping the prediction first would give 127).
    b.Bits().Bits("0").Value(0, 8).Value(255, 8).Bits("0").Bits("100 00000").Repeat("0", 12);
    for (int j = 1; j < W / 16; ++j) {
        b.ZeroBlock(j);
    }
    b.ZeroRows(H - 4);
    ASSERT_EQ(Decode(b.Finish()), 1u);
    EXPECT_EQ(Pixel(2, 2), 0);
    EXPECT_EQ(Pixel(1, 3), 255);
    EXPECT_EQ(Pixel(3, 3), 254);
}

TEST_F(DecompressLargeTest, EveryResidualCodeDecodes)
{
    // Row 2 block 1 starts from a flat 100 (rows 0 and 1 are 100), so each
    // pixel's prediction is its left neighbour's value plus half the change
    // along the row; the codes are checked through a fixed sequence.
    FrameBuilder b;
    std::fill(b.Row(0), b.Row(0) + W, 100);
    std::fill(b.Row(1), b.Row(1) + W, 100);
    b.ZeroBlock(0, 100, 100);
    // Block 1, pixels 16..31. Even and odd pixels form two chains; each code
    // below applies to the pixel it is written for.
    b.Bits().Bits("0")
        .Bits("101")           // x16: pred 100 + 4 -> 104
        .Bits("111")           // x17: 100 - 4 -> 96
        .Bits("11000")         // x18: pred (3*(100+104)-200)>>2 = 103, -10 -> 93
        .Bits("11011")         // x19: pred (3*(100+96)-200)>>2 = 97, +16 -> 113
        .Bits("100 0001")      // x20: pred (3*(100+93)-200)>>2 = 94, -24 -> 70
        .Bits("100 1111")      // x21: pred (3*(100+113)-200)>>2 = 109, +112 -> 221
        .Bits("100 00000")     // x22: pred (3*(100+70)-200)>>2 = 77, -128 -> 0 (clamped)
        .Bits("100 00001")     // x23: pred (3*(100+221)-200)>>2 = 190, +128 -> 255 (clamped)
        .Bits("100 10001 0000") // x24: pred (3*(100+0)-200)>>2 = 25, -144 -> 0
        .Bits("100 10001 1111") // x25: pred (3*(100+255)-200)>>2 = 216, +320 -> 255
        .Bits("100 10001 1000") // x26: pred 25, +144 -> 169
        .Bits("11001")         // x27: pred 216, -16 -> 200
        .Bits("11010")         // x28: pred (3*(100+169)-200)>>2 = 151, +10 -> 161
        .Bits("100 0111")      // x29: pred (3*(100+200)-200)>>2 = 175, -112 -> 63
        .Bits("0")             // x30: pred (3*(100+161)-200)>>2 = 145
        .Bits("100 1001");     // x31: pred (3*(100+63)-200)>>2 = 72, +24 -> 96
    for (int j = 2; j < W / 16; ++j) {
        b.ZeroBlock(j);
    }
    b.ZeroRows(H - 3);
    ASSERT_EQ(Decode(b.Finish()), 1u);
    const UCHAR expected[16] = {104, 96, 93, 113, 70, 221, 0, 255, 0, 255, 169, 200, 161, 63, 145, 96};
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(Pixel(16 + i, 2), expected[i]) << "pixel " << 16 + i;
    }
}

TEST_F(DecompressLargeTest, LevelBlockInBlockZeroKeepsLiteralPixels)
{
    FrameBuilder b;
    b.Bits().Bits("1").Value(0x12, 8).Value(0x34, 8);
    for (int code = 0; code < 14; ++code) {
        b.Bits().Value(code, 4);
    }
    for (int j = 1; j < W / 16; ++j) {
        b.ZeroBlock(j);
    }
    b.ZeroRows(H - 3);
    ASSERT_EQ(Decode(b.Finish()), 1u);
    const UCHAR expected[16] = {0x12, 0x34, 4, 14, 26, 39, 51, 63, 75, 87, 100, 114, 128, 145, 169, 198};
    for (int x = 0; x < 16; ++x) {
        EXPECT_EQ(Pixel(x, 2), expected[x]) << x;
    }
    EXPECT_EQ(Pipeline.LevelBlockFlag, 0) << "the last block was predictive";
}

// Where the invalid code 100 10000 is placed, and how the frame ends.
struct CorruptCase {
    const char* name;
    int row;         // coded row that carries the invalid code
    int pixelOffset; // pixels of block 0 coded before it (14 pixels in all)
};

class DecompressLargeCorruptTest : public DecompressLargeTest,
                                   public ::testing::WithParamInterface<CorruptCase> {};

TEST_P(DecompressLargeCorruptTest, InvalidCodeFailsTheFrame)
{
    const CorruptCase& c = GetParam();
    FrameBuilder b;
    b.ZeroRows(c.row - 2);
    b.Bits().Bits("0").Value(0, 8).Value(0, 8).Repeat("0", c.pixelOffset).Bits("100 10000");
    // Whatever follows is read as the rest of the frame.
    b.Bits().Repeat("0", 14 - c.pixelOffset);
    for (int j = 1; j < W / 16; ++j) {
        b.ZeroBlock(j);
    }
    b.ZeroRows(H - 1 - c.row);
    EXPECT_EQ(Decode(b.Finish()), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Placements, DecompressLargeCorruptTest,
    ::testing::Values(CorruptCase{"FirstPixelOfFirstRow", 2, 0},
                      CorruptCase{"NearBlockEnd", 2, 12}, CorruptCase{"LastBlockPixel", 100, 13},
                      CorruptCase{"LastRow", H - 1, 5}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(DecompressLargeTest, EndMarkerMustFollowTheLastRowInsideTheFrame)
{
    FrameBuilder good;
    good.ZeroRows(H - 2);
    std::vector<uint8_t> frame = good.Finish();
    EXPECT_EQ(Decode(frame), 1u);

    for (uint32_t marker : {0x00u, 0x91u, 0x10u, 0xFFu}) {
        FrameBuilder b;
        b.ZeroRows(H - 2);
        EXPECT_EQ(Decode(b.Finish(marker)), 0u) << std::hex << marker;
    }
    // The marker's last bits cut off by the compacted length.
    std::vector<uint8_t> cut(frame.begin(), frame.end() - 1);
    EXPECT_EQ(Decode(cut), 0u);
    // Bytes after the marker are fine.
    frame.resize(frame.size() + 40, 0xAB);
    EXPECT_EQ(Decode(frame), 1u);
}

TEST_F(DecompressLargeTest, TruncatedFramesFailWithoutReadingPastTheirLength)
{
    FrameBuilder b;
    b.ZeroRows(H - 2);
    const std::vector<uint8_t> frame = b.Finish();
    for (size_t length : {size_t(0), size_t(10), size_t(FRAME_HEADER_BYTES + W), frame.size() / 2}) {
        // An exact-size copy lets the sanitizer see any read beyond it.
        std::vector<uint8_t> part(frame.begin(), frame.begin() + ptrdiff_t(length));
        EXPECT_EQ(DecompressLargeFrame(W, H, ULONG(length), part.data(), 0), 0u) << length;
    }
}

TEST_F(DecompressLargeTest, BordersMirrorWithoutRepeatingTheEdge)
{
    // Level blocks give every pixel a code-dependent value.
    FrameBuilder b;
    for (int x = 0; x < W; ++x) {
        b.Row(0)[x] = uint8_t(x * 7);
        b.Row(1)[x] = uint8_t(x * 3 + 1);
    }
    for (int r = 2; r < H; ++r) {
        for (int j = 0; j < W / 16; ++j) {
            b.Bits().Bits("1");
            int first = 0;
            if (j == 0) {
                b.Bits().Value(uint32_t(r), 8).Value(uint32_t(r * 5), 8);
                first = 2;
            }
            for (int i = first; i < 16; ++i) {
                b.Bits().Value(uint32_t(r + j + i) & 15, 4);
            }
        }
    }
    ASSERT_EQ(Decode(b.Finish()), 1u);
    EXPECT_EQ(Pipeline.LevelBlockFlag, 1);
    for (int y = 0; y < H; ++y) {
        const UCHAR* row = Pipeline.DecoderRows[y];
        ASSERT_EQ(row[-1], row[1]) << y;
        ASSERT_EQ(row[-2], row[2]) << y;
        ASSERT_EQ(row[-3], row[3]) << y;
        ASSERT_EQ(row[W], row[W - 2]) << y;
        ASSERT_EQ(row[W + 1], row[W - 3]) << y;
        ASSERT_EQ(row[W + 2], row[W - 4]) << y;
    }
    const size_t lineBytes = W + 6;
    auto sameLine = [&](int line, int source) {
        return std::memcmp(Line(line), Line(source), lineBytes) == 0;
    };
    EXPECT_TRUE(sameLine(0, 2 + 2)) << "row -2 is row 2";
    EXPECT_TRUE(sameLine(1, 2 + 1)) << "row -1 is row 1";
    EXPECT_TRUE(sameLine(H + 2, H)) << "row H is row H-2";
    EXPECT_TRUE(sameLine(H + 3, H - 1)) << "row H+1 is row H-3";
    EXPECT_TRUE(sameLine(H + 4, H - 2)) << "row H+2 is row H-4";
    EXPECT_EQ(Pipeline.DecoderRows[0][-1], 1 * 7);
    EXPECT_EQ(Pipeline.DecoderRows[1][W], UCHAR((W - 2) * 3 + 1));
}

// A frame of flat rows 0 and 1 (value 60) whose row 2 is coded with zero
// residuals, ending with a level block when `endWithLevelBlock`.
std::vector<uint8_t> FlatFrame(bool endWithLevelBlock)
{
    FrameBuilder b;
    std::fill(b.Row(0), b.Row(0) + W, 60);
    std::fill(b.Row(1), b.Row(1) + W, 60);
    b.ZeroBlock(0, 60, 60);
    for (int j = 1; j < W / 16; ++j) {
        b.ZeroBlock(j);
    }
    b.ZeroRows(H - 4);
    for (int j = 0; j < W / 16 - 1; ++j) {
        b.ZeroBlock(j);
    }
    if (endWithLevelBlock) {
        b.Bits().Bits("1").Repeat("0101", 16); // level 63
    } else {
        b.ZeroBlock(W / 16 - 1);
    }
    return b.Finish();
}

TEST_F(DecompressLargeTest, RevisionTwoPredictsFromQuantisedRowsAfterALevelBlock)
{
    // First frame: ends with a level block; its rows 0 and 1 stay as sent.
    ASSERT_EQ(Decode(FlatFrame(true), 2), 1u);
    EXPECT_EQ(Pipeline.LevelBlockFlag, 1);
    // Second frame: rows 0 and 1 (60) are predicted as their level 63 from
    // pixel 2 on, so row 2 pixel 2 = (3 * (63 + 60) - 2 * 60) >> 2 = 62 and
    // the rest of the row follows at 62; the delivered rows 0 and 1 are 60.
    ASSERT_EQ(Decode(FlatFrame(false), 2), 1u);
    EXPECT_EQ(Pixel(0, 2), 60);
    EXPECT_EQ(Pixel(2, 2), 62);
    EXPECT_EQ(Pixel(15, 2), 62);
    EXPECT_EQ(Pixel(2, 0), 60);
    EXPECT_EQ(Pixel(200, 1), 60);
    // Third frame: the second ended with a predictive block, no quantising.
    ASSERT_EQ(Decode(FlatFrame(false), 2), 1u);
    EXPECT_EQ(Pixel(2, 2), 60);
}

TEST_F(DecompressLargeTest, OtherRevisionsNeverQuantise)
{
    ASSERT_EQ(Decode(FlatFrame(true), 0), 1u);
    ASSERT_EQ(Decode(FlatFrame(false), 0), 1u);
    EXPECT_EQ(Pixel(2, 2), 60);
}

TEST_F(DecompressLargeTest, WrongGeometryIsRefused)
{
    const std::vector<uint8_t> frame = FlatFrame(false);
    EXPECT_EQ(DecompressLargeFrame(352, 288, ULONG(frame.size()), frame.data(), 0), 0u);
    EXPECT_EQ(DecompressLargeFrame(W, H, ULONG(frame.size()), nullptr, 0), 0u);
}

} // namespace
