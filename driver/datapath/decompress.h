// The camera's two packed frame formats. Both decoders take the compacted
// frame: a 16-byte header (statistics in bytes 6..13), then the coded picture.
#pragma once

#include "../core/kaldrin_platform.h"

constexpr ULONG FRAME_HEADER_BYTES = 16;
constexpr UCHAR LARGE_FRAME_END_MARKER = 0x90;

// Decodes a 320x240 or 352x288 frame into the registered mosaic buffer (the
// line layout of the pipeline tables) and fills its mirrored borders.
// Length is the compacted length; bytes past it (or past the raw frame
// buffer) are never read, and an end marker that would lie beyond it makes
// the frame corrupt. Returns 1 for a good frame, 0 for a corrupt one.
ULONG DecompressLargeFrame(ULONG Width, ULONG Height, ULONG Length, const UCHAR* Frame,
                           UCHAR Revision);

// Decodes a 160x120 or 176x144 frame into Output: W x H pixels of bytes
// blue, green, red, rows stored bottom-up, dither added. Bytes past Length
// read as zero. Returns the number of stream bytes fetched after the header,
// or 0 when the stream ran past the read limit.
ULONG DecompressSmallFrame(ULONG Width, ULONG Height, ULONG Length, const UCHAR* Frame,
                           PUCHAR Output);

// The read limit of a small frame: no byte beyond this offset is fetched.
inline ULONG SmallFrameReadLimit(ULONG Width, ULONG Height)
{
    return Width * Height * 18 / 8 + 1029;
}

extern const UCHAR DitherPattern[32];
