// Fuzzes the large-frame decoder with arbitrary compacted frames.
//
// Input: one selector byte, then the compacted frame (at most the raw frame
// buffer, 116,864 bytes).
//   selector bit 0: 0 = 320x240, 1 = 352x288
//   selector bit 1: camera revision 0 or 2
//
// Each input is decoded in two passes, once with the rest of the raw frame
// buffer zero and once with it 0xFF. The decoder must not look past the
// compacted length, so both passes must agree on every result and on every
// byte of the mosaic buffer. A pass rebuilds the tables (which clears the
// decoder state carried between frames, so an input always behaves the same)
// and decodes the frame; in revision 2 it decodes it once more, starting from
// the level-block flag the first decode left, which quantises rows 0 and 1
// before the prediction. After every decode the layout rules are
// checked: nothing is written outside the lines of the picture, a corrupt
// frame leaves the borders alone, and a good frame has its literal rows back
// and mirrored borders.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "datapath/decompress.h"
#include "fuzz_common.h"
#include "imaging/pipeline_tables.h"

namespace {

using namespace kald::fuzz;

struct Geometry {
    ULONG Width;
    ULONG Height;
    size_t Stride() const { return Width + 6; }
    // Byte offset of pixel x (-3 .. W+2) of picture row y (-2 .. H+3).
    size_t At(long x, long y) const { return (size_t)(y + 2) * Stride() + (size_t)(x + 3); }
};

struct Buffers {
    std::vector<uint8_t> Raw = std::vector<uint8_t>(kRawFrameBytes);
    std::vector<uint8_t> Mosaic = std::vector<uint8_t>(kWorkBufferBytes);
    std::vector<uint8_t> Luma = std::vector<uint8_t>(kWorkBufferBytes);
};

struct Pass {
    ULONG First = 0;
    ULONG Second = 0;
    std::vector<uint8_t> Mosaic;
};

bool LinesEqual(const std::vector<uint8_t>& mosaic, const Geometry& g, long rowA, long rowB)
{
    return std::memcmp(&mosaic[g.At(-3, rowA)], &mosaic[g.At(-3, rowB)], g.Stride()) == 0;
}

// Checks what every decode must leave behind, good or corrupt.
void CheckAnyFrame(const Buffers& b, const Geometry& g, bool firstDecode, ULONG result)
{
    Expect(result == 0 || result == 1, "the decoder returned neither 0 nor 1");
    // Lines 0 .. H+5 belong to the picture; the decoder writes no further.
    Expect(Untouched(b.Mosaic, g.At(-3, (long)g.Height + 3), b.Mosaic.size()),
           "the decoder wrote past line H+4 of the mosaic buffer");
    Expect(Untouched(b.Luma, 0, b.Luma.size()), "the decoder wrote into the luma buffer");
    if (result == 0 && firstDecode) {
        // A corrupt frame leaves the margin lines and the borders as they were.
        Expect(Untouched(b.Mosaic, 0, g.At(-3, 0)), "a corrupt frame wrote the top margin lines");
        Expect(Untouched(b.Mosaic, g.At(-3, (long)g.Height), g.At(-3, (long)g.Height + 3)),
               "a corrupt frame wrote the bottom margin lines");
        for (long y = 0; y < (long)g.Height; ++y) {
            Expect(Untouched(b.Mosaic, g.At(-3, y), g.At(0, y)),
                   "a corrupt frame wrote a left border");
            Expect(Untouched(b.Mosaic, g.At((long)g.Width, y), g.At((long)g.Width + 3, y)),
                   "a corrupt frame wrote a right border");
        }
    }
}

// Checks a frame the decoder called good: rows 0 and 1 are the literal rows
// as they arrived (also in revision 2, where they may have been quantised for
// the prediction), and every border mirrors its edge without repeating it.
void CheckGoodFrame(const Buffers& b, const Geometry& g)
{
    const long w = (long)g.Width;
    const long h = (long)g.Height;
    const uint8_t* literal = b.Raw.data() + FRAME_HEADER_BYTES;
    Expect(std::memcmp(&b.Mosaic[g.At(0, 0)], literal, g.Width) == 0,
           "row 0 of a good frame differs from the literal row");
    Expect(std::memcmp(&b.Mosaic[g.At(0, 1)], literal + g.Width, g.Width) == 0,
           "row 1 of a good frame differs from the literal row");
    for (long y = 0; y < h; ++y) {
        for (long k = 1; k <= 3; ++k) {
            Expect(b.Mosaic[g.At(-k, y)] == b.Mosaic[g.At(k, y)],
                   "a left border does not mirror its edge");
            Expect(b.Mosaic[g.At(w - 1 + k, y)] == b.Mosaic[g.At(w - 1 - k, y)],
                   "a right border does not mirror its edge");
        }
    }
    Expect(LinesEqual(b.Mosaic, g, -2, 2), "row -2 is not a copy of row 2");
    Expect(LinesEqual(b.Mosaic, g, -1, 1), "row -1 is not a copy of row 1");
    Expect(LinesEqual(b.Mosaic, g, h, h - 2), "row H is not a copy of row H-2");
    Expect(LinesEqual(b.Mosaic, g, h + 1, h - 3), "row H+1 is not a copy of row H-3");
    Expect(LinesEqual(b.Mosaic, g, h + 2, h - 4), "row H+2 is not a copy of row H-4");
}

Pass DecodePass(Buffers& b, const Geometry& g, UCHAR revision, const uint8_t* frame,
                size_t length, uint8_t tail)
{
    LoadRawFrame(b.Raw, frame, length, tail);
    std::memset(b.Mosaic.data(), kUntouched, b.Mosaic.size());
    std::memset(b.Luma.data(), kUntouched, b.Luma.size());
    Expect(BuildPipelineTables(g.Width, g.Height, b.Mosaic.data(), b.Luma.data()) == 1,
           "the tables were not built");

    Pass pass;
    pass.First = DecompressLargeFrame(g.Width, g.Height, (ULONG)length, b.Raw.data(), revision);
    CheckAnyFrame(b, g, true, pass.First);
    if (pass.First == 1) {
        CheckGoodFrame(b, g);
    }
    if (revision == 2) {
        pass.Second = DecompressLargeFrame(g.Width, g.Height, (ULONG)length, b.Raw.data(), revision);
        CheckAnyFrame(b, g, false, pass.Second);
        if (pass.Second == 1) {
            CheckGoodFrame(b, g);
        }
    }
    pass.Mosaic = b.Mosaic;
    return pass;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size - 1 > kRawFrameBytes) {
        return 0;
    }
    const uint8_t selector = data[0];
    const Geometry g = (selector & 1) ? Geometry{352, 288} : Geometry{320, 240};
    const UCHAR revision = (selector & 2) ? 2 : 0;

    static Buffers buffers;
    const Pass zero = DecodePass(buffers, g, revision, data + 1, size - 1, 0x00);
    const Pass ones = DecodePass(buffers, g, revision, data + 1, size - 1, 0xFF);
    Expect(zero.First == ones.First && zero.Second == ones.Second,
           "the result depends on bytes past the compacted length");
    Expect(zero.Mosaic == ones.Mosaic, "the mosaic depends on bytes past the compacted length");
    return 0;
}
