#include "decompress.h"

#include "../core/camera_context.h"
#include "../imaging/pipeline_tables.h"

const UCHAR DitherPattern[32] = {0, 2, 2, 0, 3, 1, 1, 3, 3, 1, 1, 3, 0, 2, 2, 0,
                                 2, 0, 0, 2, 1, 3, 3, 1, 1, 3, 3, 1, 2, 0, 0, 2};

namespace {

// MSB-first reader of 6-bit samples: a 64-bit accumulator holding the next
// bits at its top, refilled two bytes at a time whenever fewer than 16 valid
// bits remain. Bytes at or beyond Limit read as zero.
struct SampleReader {
    const UCHAR* Frame;
    ULONG Limit;
    ULONG Position; // next byte to fetch
    ULONGLONG Accumulator;
    ULONG Valid;

    UCHAR Fetch(ULONG offset) const { return offset < Limit ? Frame[offset] : 0; }

    ULONG Read()
    {
        const ULONG sample = (ULONG)(Accumulator >> 58);
        Accumulator <<= 6;
        Valid -= 6;
        if (Valid < 16) {
            const ULONGLONG next = ((ULONG)Fetch(Position) << 8) | (ULONG)Fetch(Position + 1);
            Accumulator |= next << (48 - Valid);
            Valid += 16;
            Position += 2;
        }
        return sample;
    }
};

} // namespace

ULONG DecompressSmallFrame(ULONG Width, ULONG Height, ULONG Length, const UCHAR* Frame,
                           PUCHAR Output)
{
    const ULONG phase = Pipeline.SmallFrameCounter & 3;
    Pipeline.SmallFrameCounter += 1;
    if (Frame == nullptr || Output == nullptr || Width == 0 || Height < 2 || (Width % 2) != 0 ||
        (Height % 2) != 0) {
        return 0;
    }

    SampleReader reader;
    reader.Frame = Frame;
    reader.Limit = Length < RAW_FRAME_BYTES ? Length : RAW_FRAME_BYTES;
    const ULONG start = FRAME_HEADER_BYTES;
    reader.Accumulator = (((ULONGLONG)reader.Fetch(start) << 24) |
                          ((ULONGLONG)reader.Fetch(start + 1) << 16) |
                          ((ULONGLONG)reader.Fetch(start + 2) << 8) | reader.Fetch(start + 3))
                         << 32;
    reader.Valid = 32;
    reader.Position = start + 4;
    const ULONG readLimit = SmallFrameReadLimit(Width, Height);

    // Stores sample s of byte k (0 blue, 1 green, 2 red) of pixel x of image
    // row i, with that position's dither.
    const ULONG stride = 3 * Width;
    auto store = [&](ULONG x, ULONG i, ULONG k, ULONG s) {
        const ULONG p = (phase + i) & 3;
        Output[stride * (Height - 1 - i) + 3 * x + k] =
            (UCHAR)(s * 4 + DitherPattern[(8 * p + 8 * k + x) & 31]);
    };

    for (ULONG i = 0; i < Height; i += 2) {
        for (ULONG x = 0; x < Width; ++x) {
            if (reader.Position > readLimit) {
                return 0;
            }
            store(x, i, 1, reader.Read());
        }
        for (ULONG x = 0; x < Width; x += 2) {
            if (reader.Position > readLimit) {
                return 0;
            }
            const ULONG red = reader.Read();
            store(x, i, 2, red);
            store(x + 1, i, 2, red);
            store(x, i + 1, 2, red);
            store(x + 1, i + 1, 2, red);
        }
        for (ULONG x = 0; x < Width; x += 2) {
            if (reader.Position > readLimit) {
                return 0;
            }
            store(x, i + 1, 1, reader.Read());
            if (reader.Position > readLimit) {
                return 0;
            }
            store(x + 1, i + 1, 1, reader.Read());
            if (reader.Position > readLimit) {
                return 0;
            }
            const ULONG blue = reader.Read();
            store(x, i, 0, blue);
            store(x + 1, i, 0, blue);
            store(x, i + 1, 0, blue);
            store(x + 1, i + 1, 0, blue);
        }
    }
    return reader.Position - FRAME_HEADER_BYTES;
}
