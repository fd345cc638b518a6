#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <utility>
#include <vector>

#include "core/camera_context.h"
#include "datapath/defect_correction.h"

namespace {

// The length limit the frame path passes for both layouts.
constexpr ULONG kLimit = RAW_FRAME_BYTES; // 116,864

struct Entry {
    int X, Y;
};

// A calibration table on the heap, exactly 64 words long, so that reading
// past it is an AddressSanitizer report.
std::unique_ptr<DpcTable> MakeTable(USHORT countWord, std::initializer_list<Entry> entries)
{
    auto table = std::make_unique<DpcTable>();
    table->Words[DPC_WORD_MAGIC] = CalibrationMagic;
    table->Words[DPC_WORD_COUNT] = countWord;
    ULONG i = 0;
    for (const Entry& e : entries) {
        table->Words[22 + 2 * i] = USHORT(e.X);
        table->Words[23 + 2 * i] = USHORT(e.Y);
        ++i;
    }
    return table;
}

std::unique_ptr<CameraContext> MakeContext(ULONG width, ULONG height)
{
    auto context = std::make_unique<CameraContext>();
    context->FrameWidth = width;
    context->FrameHeight = height;
    return context;
}

// A buffer of exactly the length limit, so that any access at or beyond it
// is an AddressSanitizer report.
std::vector<UCHAR> ZeroFrame() { return std::vector<UCHAR>(kLimit, 0); }

std::vector<UCHAR> PatternFrame()
{
    std::vector<UCHAR> frame(kLimit);
    for (size_t i = 0; i < frame.size(); ++i) {
        frame[i] = UCHAR(i * 37 + 11);
    }
    return frame;
}

// Mosaic byte of picture pixel (x, y): lines of W + 6 bytes, row y in line
// y + 2, pixel x at byte x + 3.
size_t Mosaic(int w, int x, int y) { return size_t((w + 6) * (y + 2) + x + 3); }

// Small-picture byte k (0 blue, 1 green, 2 red) of pixel x in buffer row R
// (rows stored bottom-up: R = H - 1 - image row).
size_t Small(int w, int x, int r, int k) { return size_t((r * w + x) * 3 + k); }

// Lists the byte positions where two buffers differ.
std::vector<size_t> Differences(const std::vector<UCHAR>& a, const std::vector<UCHAR>& b)
{
    std::vector<size_t> out;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) {
            out.push_back(i);
        }
    }
    return out;
}

TEST(DefectCorrectionEnabled, NeedsDpcStateOneAndTheTableNotWithheld)
{
    struct Case {
        ULONG dpcState;
        USHORT countWord;
        BOOLEAN expected;
    };
    const Case cases[] = {
        {1, 0x0005, TRUE},  // five entries
        {1, 0x0000, TRUE},  // enabled, but there is nothing to correct
        {1, 0x7805, TRUE},  // bits 11..14 mean nothing
        {0, 0x0005, FALSE}, // "DPC State" off
        {1, 0x8005, FALSE}, // bit 15: the table is not to be used
        {0, 0x8005, FALSE},
    };
    for (const Case& c : cases) {
        auto context = MakeContext(320, 240);
        context->CameraSettings.DpcState = c.dpcState;
        context->DpcTable.Words[DPC_WORD_COUNT] = c.countWord;
        EXPECT_EQ(DefectCorrectionEnabled(context.get()), c.expected)
            << "DpcState " << c.dpcState << " word 18 " << std::hex << c.countWord;
    }
}

TEST(DefectEntryCount, TakesBitsZeroToTenAndStopsAtTheTwentyEntriesInTheTable)
{
    struct Case {
        USHORT countWord;
        ULONG expected;
    };
    const Case cases[] = {
        {0x0000, 0},  {0x0001, 1},  {0x0014, 20}, // 20 entries fill words 22..61
        {0x0015, 20}, // a 21st would need words 62 and 63 (the checksum)
        {0x07FF, 20}, // the largest count the field can hold
        {0x8005, 5},  // bit 15 is not part of the count
        {0x7805, 5},  // nor are bits 11..14
        {0x7815, 20},
    };
    for (const Case& c : cases) {
        const auto table = MakeTable(c.countWord, {});
        EXPECT_EQ(DefectEntryCount(table.get()), c.expected) << std::hex << c.countWord;
    }
}

TEST(DefectCorrection, CountZeroLeavesBothLayoutsUntouched)
{
    // Entries that would change the frame if they were used.
    const auto table = MakeTable(0, {{10, 10}, {8, 9}, {8, 12}});
    {
        auto context = MakeContext(320, 240);
        auto frame = PatternFrame();
        const auto before = frame;
        EXPECT_EQ(CorrectDefectsLarge(context.get(), frame.data(), kLimit, table.get()), 0u);
        EXPECT_EQ(frame, before);
    }
    {
        auto context = MakeContext(176, 144);
        auto frame = PatternFrame();
        const auto before = frame;
        EXPECT_EQ(CorrectDefectsSmall(context.get(), frame.data(), kLimit, table.get()), 0u);
        EXPECT_EQ(frame, before);
    }
}

TEST(DefectCorrection, CountsAboveTwentyUseOnlyTheTwentyEntriesInTheTable)
{
    // Twenty defects at (20 + 4i, 50), each pixel 255 among zero neighbours, and
    // words 62/63 (a would-be 21st entry) naming another defective pixel.
    for (USHORT countWord : {USHORT(21), USHORT(0x07FF)}) {
        auto table = MakeTable(countWord, {});
        auto frame = ZeroFrame();
        for (ULONG i = 0; i < 20; ++i) {
            table->Words[22 + 2 * i] = USHORT(20 + 4 * i);
            table->Words[23 + 2 * i] = 50;
            frame[Mosaic(320, int(20 + 4 * i), 50)] = 255;
        }
        table->Words[62] = 100; // column of entry 20
        table->Words[63] = 100; // row of entry 20: in a real block, the checksum
        frame[Mosaic(320, 100, 100)] = 255;

        auto context = MakeContext(320, 240);
        CorrectDefectsLarge(context.get(), frame.data(), kLimit, table.get());
        EXPECT_EQ(frame[Mosaic(320, 20, 50)], 0) << "entry 0 was applied";
        EXPECT_EQ(frame[Mosaic(320, 96, 50)], 0) << "entry 19 (words 60, 61) was applied";
        EXPECT_EQ(frame[Mosaic(320, 100, 100)], 255) << "words 62/63 were used as an entry";
    }
}

struct Sample {
    int X, Y;
    UCHAR Value;
};

TEST(CorrectDefectsLarge, MeanOfTheFourSameColourNeighboursIncludingMirroredBorders)
{
    // Zero frame with the samples set; the defect is (x, y). The borders are
    // filled by hand as the decoder mirrors them: x = -2 holds pixel 2,
    // x = W + 1 pixel W - 3, row -2 row 2, row H + 1 row H - 3.
    struct Case {
        const char* what;
        int w, x, y;
        std::vector<Sample> samples;
        UCHAR expected;
    };
    const Case cases[] = {
        {"interior", 320, 10, 10,
         {{8, 10, 10}, {12, 10, 20}, {10, 8, 30}, {10, 12, 41}, {10, 10, 255}},
         25}, // (10 + 20 + 30 + 41) / 4 = 101 / 4
        {"left edge: x - 2 is the border copy of pixel 2", 320, 0, 5,
         {{2, 5, 100}, {-2, 5, 100}, {0, 3, 60}, {0, 7, 71}, {0, 5, 255}},
         82}, // (100 + 100 + 60 + 71) / 4 = 331 / 4
        {"right edge: x + 2 = W + 1 is the border copy of pixel W - 3", 320, 319, 5,
         {{317, 5, 90}, {321, 5, 90}, {319, 3, 10}, {319, 7, 13}, {319, 5, 255}},
         50}, // (90 + 90 + 10 + 13) / 4 = 203 / 4
        {"bottom-right corner of 352x288", 352, 351, 287,
         {{349, 287, 200}, {353, 287, 200}, {351, 285, 100}, {351, 289, 100}},
         150}, // 600 / 4
        {"top row: y - 2 is the margin line copied from row 2", 320, 4, 0,
         {{2, 0, 8}, {6, 0, 8}, {4, -2, 20}, {4, 2, 20}, {4, 0, 255}},
         14}, // 56 / 4
    };
    for (const Case& c : cases) {
        auto frame = ZeroFrame();
        for (const Sample& s : c.samples) {
            frame[Mosaic(c.w, s.X, s.Y)] = s.Value;
        }
        auto expected = frame;
        expected[Mosaic(c.w, c.x, c.y)] = c.expected;

        auto context = MakeContext(ULONG(c.w), c.w == 320 ? 240 : 288);
        const auto table = MakeTable(1, {{c.x, c.y}});
        EXPECT_EQ(CorrectDefectsLarge(context.get(), frame.data(), kLimit, table.get()), 0u);
        EXPECT_EQ(Differences(frame, expected), std::vector<size_t>{}) << c.what;
    }
}

TEST(CorrectDefectsLarge, PositionsAreSixteenBitCoordinatesCheckedAgainstTheLimit)
{
    // W = 320: lines of 326 bytes, target p = 326 (Y + 2) + (X + 3) with
    // X + 3 and Y + 2 as signed 16-bit values, neighbours p -+ 2, p -+ 652.
    // The frame is exactly the limit long, so a byte read at or past it
    // fails under AddressSanitizer.
    struct Case {
        const char* what;
        int x, y;
        std::vector<std::pair<size_t, UCHAR>> bytes; // set before the call
        int written;                                 // position written, or -1
        UCHAR expected;
    };
    const Case cases[] = {
        {"p = 116711: the neighbour below (117363) is past the limit", 0, 356,
         {{116709, 30}, {116713, 60}, {116059, 91}}, 116711, 60}, // 181 / 3
        {"p = 116862: right (116864) and below are past the limit", 151, 356,
         {{116860, 10}, {116210, 21}}, 116862, 15}, // 31 / 2
        {"p = 116864 is the limit itself: read neighbours, write nothing", 153, 356,
         {{116862, 77}, {116212, 77}}, -1, 0},
        {"p = 0: left (-2) and up (-652) are huge as unsigned", -3, -2,
         {{2, 50}, {652, 25}}, 0, 37}, // 75 / 2
        {"p = -2 is never written", -5, -2, {{0, 40}, {650, 40}}, -1, 0},
        {"X + 3 = 32769 wraps to -32767: p = 33252 - 32767 = 485", 32766, 100,
         {{483, 9}, {487, 10}, {1137, 11}}, 485, 10}, // 30 / 3
        {"Y + 2 = 32769 wraps to -32767: p is far below zero", 0, 32767, {{0, 1}}, -1, 0},
    };
    for (const Case& c : cases) {
        auto frame = ZeroFrame();
        for (const auto& [position, value] : c.bytes) {
            frame[position] = value;
        }
        auto expected = frame;
        if (c.written >= 0) {
            expected[size_t(c.written)] = c.expected;
        }
        auto context = MakeContext(320, 240);
        const auto table = MakeTable(1, {{c.x, c.y}});
        CorrectDefectsLarge(context.get(), frame.data(), kLimit, table.get());
        EXPECT_EQ(Differences(frame, expected), std::vector<size_t>{}) << c.what;
    }
}

TEST(CorrectDefectsLarge, EntriesApplyInTableOrderAndSeeEarlierCorrections)
{
    // Two defects two pixels apart in row 10; the second takes the first's
    // corrected value as its left neighbour.
    auto frame = ZeroFrame();
    frame[Mosaic(320, 10, 10)] = 255;
    frame[Mosaic(320, 12, 10)] = 255;
    frame[Mosaic(320, 8, 10)] = 40;
    frame[Mosaic(320, 10, 8)] = 80;
    frame[Mosaic(320, 12, 12)] = 100;
    auto context = MakeContext(320, 240);
    const auto table = MakeTable(2, {{10, 10}, {12, 10}});
    CorrectDefectsLarge(context.get(), frame.data(), kLimit, table.get());
    EXPECT_EQ(frame[Mosaic(320, 10, 10)], 93); // (40 + 255 + 80 + 0) / 4 = 375 / 4
    EXPECT_EQ(frame[Mosaic(320, 12, 10)], 48); // (93 + 0 + 0 + 100) / 4 = 193 / 4
    // Border copies of corrected pixels are not refreshed: nothing else moved.
    EXPECT_EQ(frame[Mosaic(320, 8, 10)], 40);
}

TEST(CorrectDefectsSmall, GreenDefectTakesTheMeanOfItsFourGreenNeighbours)
{
    // 176x144. Entry (X, Y): a = X mod 4, b = (Y - 1) mod 4 of different
    // parity is green; pixel column X div 2, buffer row 143 - (Y - 1) div 2.
    struct Case {
        const char* what;
        int x, y;                   // entry
        int column, row;            // the pixel it names (buffer row)
        std::vector<Sample> greens; // (column, buffer row, green)
        UCHAR expected;
    };
    const Case cases[] = {
        {"(8, 12): a 0, b 3", 8, 12, 4, 138,
         {{3, 138, 100}, {5, 138, 101}, {4, 137, 102}, {4, 139, 104}, {4, 138, 255}},
         101}, // 407 / 4
        {"(5, 1): image row 0; the row above lies past the picture, below the limit",
         5, 1, 2, 143,
         {{1, 143, 30}, {3, 143, 40}, {2, 142, 50}, {2, 144, 61}, {2, 143, 255}},
         45}, // 181 / 4
    };
    for (const Case& c : cases) {
        auto frame = ZeroFrame();
        for (const Sample& s : c.greens) {
            frame[Small(176, s.X, s.Y, 1)] = s.Value;
        }
        auto expected = frame;
        expected[Small(176, c.column, c.row, 1)] = c.expected;
        auto context = MakeContext(176, 144);
        const auto table = MakeTable(1, {{c.x, c.y}});
        EXPECT_EQ(CorrectDefectsSmall(context.get(), frame.data(), kLimit, table.get()), 0u);
        EXPECT_EQ(Differences(frame, expected), std::vector<size_t>{}) << c.what;
    }
}

// A 176x144 picture whose red and blue are shared per 2 x 2 block: the block
// of columns 4, 5 and image rows 4, 5 (buffer rows 139, 138) is defective
// (250); its left block holds 40, its right block 60, the block above in
// the image (buffer rows 141, 140) 80 and the one below (137, 136) 100.
// Everything else is 0.
std::vector<UCHAR> SharedBlockPicture()
{
    auto frame = ZeroFrame();
    struct Block {
        int column, row; // top-left in buffer coordinates: columns c, c+1; rows r, r-1
        UCHAR value;
    };
    const Block blocks[] = {{4, 139, 250}, {2, 139, 40}, {6, 139, 60}, {4, 141, 80}, {4, 137, 100}};
    for (const Block& b : blocks) {
        for (int k : {0, 2}) {
            for (int dc : {0, 1}) {
                for (int dr : {0, 1}) {
                    frame[Small(176, b.column + dc, b.row - dr, k)] = b.value;
                }
            }
        }
    }
    return frame;
}

TEST(CorrectDefectsSmall, RedOrBlueDefectRewritesItsBlockWithARunningMean)
{
    // One entry per phase row, all naming the defective block. Each target
    // adds its four neighbours to one running sum: the first value is a mean
    // of 4 samples, the last of 16, and targets read the block's values as
    // rewritten so far. Expected values worked by hand; the first case:
    //   (4,139): 40 + 60 + 100 + 80           = 280 / 4  = 70
    //   (5,139): + 40 + 250 (itself) + 100 + 80 = 750 / 8  = 93
    //   (4,138): + 40 + 60 + 250 (itself) + 80  = 1180 / 12 = 98
    //   (5,138): + 40 + 93 + 98 + 80           = 1491 / 16 = 93
    struct Target {
        int column, row;
        UCHAR value;
    };
    struct Case {
        const char* what;
        int x, y;
        int k;             // 2 red, 0 blue
        Target targets[4]; // in the order they are written
    };
    const Case cases[] = {
        {"(8, 9): a 0, b 0, red", 8, 9, 2,
         {{4, 139, 70}, {5, 139, 93}, {4, 138, 98}, {5, 138, 93}}},
        {"(9, 12): a 1, b 3, blue", 9, 12, 0,
         {{4, 138, 70}, {5, 138, 93}, {4, 139, 100}, {5, 139, 95}}},
        {"(11, 10): a 3, b 1, blue", 11, 10, 0,
         {{5, 139, 70}, {4, 139, 96}, {5, 138, 100}, {4, 138, 96}}},
        {"(10, 11): a 2, b 2, red", 10, 11, 2,
         {{5, 138, 70}, {4, 138, 96}, {5, 139, 101}, {4, 139, 98}}},
    };
    for (const Case& c : cases) {
        auto frame = SharedBlockPicture();
        auto expected = frame;
        for (const Target& t : c.targets) {
            expected[Small(176, t.column, t.row, c.k)] = t.value;
        }
        auto context = MakeContext(176, 144);
        const auto table = MakeTable(1, {{c.x, c.y}});
        CorrectDefectsSmall(context.get(), frame.data(), kLimit, table.get());
        EXPECT_EQ(Differences(frame, expected), std::vector<size_t>{}) << c.what;
    }
}

TEST(CorrectDefectsSmall, TwoEntriesInOneBlockEachRewriteItAndTheSecondSeesTheFirst)
{
    // (8, 9) leaves the red block at 70, 93 / 98, 93 (previous test). Then
    // (10, 11), phase (2, 2), targets (5,138), (4,138), (5,139), (4,139):
    //   (5,138): 40 + 60 + 100 + 80                 = 280 / 4  = 70
    //   (4,138): + 98 (itself, from the first) + 60 + 100 + 80 = 618 / 8 = 77
    //   (5,139): + 40 + 60 + 100 + 93 (itself, from the first) = 911 / 12 = 75
    //   (4,139): + 77 + 60 + 100 + 75                = 1223 / 16 = 76
    auto frame = SharedBlockPicture();
    auto expected = frame;
    expected[Small(176, 5, 138, 2)] = 70;
    expected[Small(176, 4, 138, 2)] = 77;
    expected[Small(176, 5, 139, 2)] = 75;
    expected[Small(176, 4, 139, 2)] = 76;
    auto context = MakeContext(176, 144);
    const auto table = MakeTable(2, {{8, 9}, {10, 11}});
    CorrectDefectsSmall(context.get(), frame.data(), kLimit, table.get());
    EXPECT_EQ(Differences(frame, expected), std::vector<size_t>{});
}

TEST(CorrectDefectsSmall, EntriesOutsideThePictureAreSkipped)
{
    // Over a frame of varied bytes, so that any write would show. The last
    // four pass the phase check (a and b are 0) but name a pixel left of
    // column 0 or above image row 0; used as they are, each would rewrite a
    // 2 x 2 block at the end of another buffer row or past the picture.
    const Entry entries[] = {
        {8, 0},      // Y = 0: v = -1, negative phase
        {-1, 9},     // a = -1
        {-4, 9},     // column -2: the end of the buffer row below
        {8, -3},     // v = -4: image row -2, past the picture's top
        {-32768, 9}, // column -16384
        {-8, -7},    // both
    };
    for (const auto& [w, h] : {std::pair<ULONG, ULONG>{176, 144}, {160, 120}}) {
        for (const Entry& e : entries) {
            auto frame = PatternFrame();
            const auto before = frame;
            auto context = MakeContext(w, h);
            const auto table = MakeTable(1, {e});
            CorrectDefectsSmall(context.get(), frame.data(), kLimit, table.get());
            EXPECT_EQ(Differences(frame, before), std::vector<size_t>{})
                << w << "x" << h << " entry " << e.X << ", " << e.Y;
        }
    }
}

TEST(CorrectDefectsSmall, BytesAtOrPastTheLimitAreNeitherReadNorWritten)
{
    // X = 27572 names column 13786 of image row 0 (buffer row 143), which
    // in this layout is pixel 143 x 176 + 13786 = 38954, bytes 116862..116864:
    // far past the picture, at the end of the buffer. The frame is exactly
    // the limit long, so reading a byte at or past it fails under
    // AddressSanitizer.
    {
        // Green (a 0, b 1), byte 116863: left 116860 and below 116335 are
        // inside; right 116866 and above 117391 are not. 111 / 2.
        auto frame = ZeroFrame();
        frame[116860] = 50;
        frame[116335] = 61;
        auto expected = frame;
        expected[116863] = 55;
        auto context = MakeContext(176, 144);
        const auto table = MakeTable(1, {{27572, 2}});
        CorrectDefectsSmall(context.get(), frame.data(), kLimit, table.get());
        EXPECT_EQ(Differences(frame, expected), std::vector<size_t>{}) << "green";
    }
    {
        // Red (a 0, b 0): the targets in row 143 (bytes 116864, 116867) lie
        // at or past the limit and are not written, but their neighbours
        // still join the running sum:
        //   116864: 10 + 20           (116870, 117392 out)  n 2, not written
        //   116867: + 30 + 20         (116867, 117392 out)  n 4, not written
        //   116336: + 10 + 40         = 130 / 6 = 21
        //   116339: + 30 + 21         = 181 / 8 = 22
        auto frame = ZeroFrame();
        frame[116861] = 10; // red of the pixel left of the block
        frame[115808] = 20; // red two buffer rows down
        frame[116858] = 30; // red two pixels left
        frame[116336] = 40; // red of the block's lower-left pixel
        auto expected = frame;
        expected[116336] = 21;
        expected[116339] = 22;
        auto context = MakeContext(176, 144);
        const auto table = MakeTable(1, {{27572, 1}});
        CorrectDefectsSmall(context.get(), frame.data(), kLimit, table.get());
        EXPECT_EQ(Differences(frame, expected), std::vector<size_t>{}) << "red";
    }
}

} // namespace
