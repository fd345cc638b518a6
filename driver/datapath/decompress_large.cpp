#include "decompress.h"

#include "../core/camera_context.h"
#include "../imaging/pipeline_tables.h"

namespace {

// MSB-first reader over the coded part of a large frame: a 32-bit window
// holding the next bits at its top, refilled two bytes at a time whenever
// fewer than 16 valid bits remain, so the top 16 bits are always valid.
// Bytes at or beyond Limit read as zero; the caller decides what running
// past the frame means.
struct LargeBitReader {
    const UCHAR* Frame;
    ULONG Limit;
    ULONG Position; // next byte to fetch
    ULONG Window;
    ULONG Valid;

    UCHAR Fetch(ULONG offset) const { return offset < Limit ? Frame[offset] : 0; }

    void Start(ULONG offset)
    {
        Window = ((ULONG)Fetch(offset) << 24) | ((ULONG)Fetch(offset + 1) << 16) |
                 ((ULONG)Fetch(offset + 2) << 8) | (ULONG)Fetch(offset + 3);
        Valid = 32;
        Position = offset + 4;
    }

    ULONG Peek12() const { return Window >> 20; }

    void Consume(ULONG bits)
    {
        Window <<= bits;
        Valid -= bits;
        if (Valid < 16) {
            const ULONG next = ((ULONG)Fetch(Position) << 8) | (ULONG)Fetch(Position + 1);
            Window |= next << (16 - Valid);
            Valid += 16;
            Position += 2;
        }
    }

    ULONG Read(ULONG bits)
    {
        const ULONG value = Window >> (32 - bits);
        Consume(bits);
        return value;
    }

    // Offset, in bits from the start of the frame, of the next unread bit.
    ULONGLONG BitPosition() const { return (ULONGLONG)Position * 8 - Valid; }
};

// Decodes the remaining pixels [x, end) of a predictive block of row `cur`
// from the row two above. Returns FALSE when the invalid code was met.
BOOLEAN DecodePredictiveBlock(LargeBitReader& reader, PUCHAR cur, const UCHAR* up, ULONG x,
                              ULONG end)
{
    const ResidualCode* codes = Pipeline.Residuals;
    BOOLEAN valid = TRUE;
    while (x < end) {
        const ResidualCode code = codes[reader.Peek12()];
        if (code.Invalid) {
            valid = FALSE;
            if (end - x >= 4) {
                // Only the common prefix 100 is taken; the same pixel is
                // decoded again from the bits that follow it.
                reader.Consume(3);
                continue;
            }
            reader.Consume(code.Length);
            return valid; // the rest of the block is skipped
        }
        reader.Consume(code.Length);
        const LONG prediction =
            (3 * ((LONG)up[x] + (LONG)cur[x - 2]) - 2 * (LONG)up[x - 2]) >> 2;
        cur[x] = ClampSample(prediction + code.Residual);
        ++x;
    }
    return valid;
}

// Mirrors every row about its edge pixels, then fills the margin lines above
// and below the picture.
void FillMosaicBorders(ULONG width, ULONG height)
{
    PUCHAR const* rows = Pipeline.DecoderRows;
    for (ULONG r = 0; r < height; ++r) {
        PUCHAR row = rows[r];
        row[-1] = row[1];
        row[-2] = row[2];
        row[-3] = row[3];
        row[width] = row[width - 2];
        row[width + 1] = row[width - 3];
        row[width + 2] = row[width - 4];
    }
    const ULONG lineBytes = width + 2 * MOSAIC_MARGIN_BYTES;
    PUCHAR const* lines = Pipeline.MosaicLines;
    // Line l holds picture row l - 2.
    RtlCopyMemory(lines[0], lines[2 + 2], lineBytes);             // row -2 = row 2
    RtlCopyMemory(lines[1], lines[2 + 1], lineBytes);             // row -1 = row 1
    RtlCopyMemory(lines[height + 2], lines[height + 2 - 2], lineBytes); // row H = row H-2
    RtlCopyMemory(lines[height + 3], lines[height + 2 - 3], lineBytes); // row H+1 = row H-3
    RtlCopyMemory(lines[height + 4], lines[height + 2 - 4], lineBytes); // row H+2 = row H-4
}

} // namespace

ULONG DecompressLargeFrame(ULONG Width, ULONG Height, ULONG Length, const UCHAR* Frame,
                           UCHAR Revision)
{
    PipelineTables& p = Pipeline;
    if (Frame == nullptr || p.MosaicBuffer == nullptr || Width != p.Width || Height != p.Height) {
        return 0;
    }
    LargeBitReader reader;
    reader.Frame = Frame;
    reader.Limit = Length < RAW_FRAME_BYTES ? Length : RAW_FRAME_BYTES;

    PUCHAR const* rows = p.DecoderRows;
    for (ULONG x = 0; x < Width; ++x) {
        rows[0][x] = reader.Fetch(FRAME_HEADER_BYTES + x);
        rows[1][x] = reader.Fetch(FRAME_HEADER_BYTES + Width + x);
    }
    if (Revision == 2) {
        RtlCopyMemory(p.SavedRow0, rows[0], Width);
        RtlCopyMemory(p.SavedRow1, rows[1], Width);
        if (p.LevelBlockFlag) {
            // The camera predicted rows 2 and 3 from the quantised rows.
            for (ULONG x = 2; x < Width; ++x) {
                rows[0][x] = p.Quantiser[rows[0][x]];
                rows[1][x] = p.Quantiser[rows[1][x]];
            }
        }
    }

    reader.Start(FRAME_HEADER_BYTES + 2 * Width);
    BOOLEAN intact = TRUE;
    for (ULONG r = 2; r < Height; ++r) {
        PUCHAR cur = rows[r];
        const UCHAR* up = rows[r - 2];
        for (ULONG x = 0; x < Width; x += 16) {
            const ULONG levelBlock = reader.Read(1);
            ULONG first = x;
            if (x == 0) {
                cur[0] = (UCHAR)reader.Read(8);
                cur[1] = (UCHAR)reader.Read(8);
                first = 2;
            }
            if (levelBlock) {
                p.LevelBlockFlag = 1;
                for (ULONG i = first; i < x + 16; ++i) {
                    cur[i] = LevelTable[reader.Read(4)];
                }
            } else {
                p.LevelBlockFlag = 0;
                if (!DecodePredictiveBlock(reader, cur, up, first, x + 16)) {
                    intact = FALSE;
                }
            }
        }
    }

    // The end marker is examined, not consumed, and must lie inside the frame.
    const BOOLEAN markerInside = reader.BitPosition() + 8 <= (ULONGLONG)reader.Limit * 8;
    if (!intact || !markerInside || (reader.Window >> 24) != LARGE_FRAME_END_MARKER) {
        return 0;
    }
    if (Revision == 2) {
        RtlCopyMemory(rows[0], p.SavedRow0, Width);
        RtlCopyMemory(rows[1], p.SavedRow1, Width);
    }
    FillMosaicBorders(Width, Height);
    return 1;
}
