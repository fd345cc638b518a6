// Shared pieces of the large-frame reconstruction variants: mosaic access,
// the green/flag line pairs of the rolling window and the border columns.
#pragma once

#include "pipeline_tables.h"

namespace demosaic {

inline LONG Abs(LONG v) { return v < 0 ? -v : v; }

// Sample (y, x) of the mosaic, for y = -2 .. H+3 and x = -3 .. W+2.
inline LONG M(LONG y, LONG x) { return Pipeline.MosaicLines[y + 2][x + 3]; }
inline const UCHAR* MosaicRow(LONG y) { return Pipeline.MosaicLines[y + 2] + MOSAIC_MARGIN_BYTES; }

// One green line and its flag line: column x at index x + 1, so column -1 of
// even rows is index 0 and column W of odd rows index W + 1.
struct GreenLine {
    PUCHAR Green;
    PUCHAR Flag;
    LONG G(LONG x) const { return Green[x + 1]; }
    LONG F(LONG x) const { return Flag[x + 1]; }
};

// The line that plays `role` (0 .. 4 for rows 2n-1 .. 2n+3) in `phase`.
inline GreenLine RotatingLine(ULONG width, ULONG phase, ULONG role)
{
    const ULONG physical = Pipeline.LineRotation[phase][role] / (width + 8);
    return GreenLine{Pipeline.GreenLines[physical], Pipeline.FlagLines[physical]};
}

// Green and flag of the border columns of row y: column -1 of even rows
// (threshold 20, plain four-sample mean when flat), column W of odd rows
// (the measured green to its left, flat).
inline void InterpolateGreenBorders(LONG y, LONG width, GreenLine line)
{
    if ((y & 1) == 0) {
        const LONG x = -1;
        const LONG z = M(y, x);
        const LONG n = M(y - 1, x), s = M(y + 1, x), l = M(y, x - 1), e = M(y, x + 1);
        const LONG vGrad = Abs(z - (M(y - 2, x) + M(y + 2, x)) / 2) + Abs(n - s);
        const LONG dGrad = Abs(z - (M(y, x - 2) + M(y, x + 2)) / 2) + Abs(l - e);
        if (vGrad < 20 && dGrad < 20) {
            line.Flag[0] = 1;
            line.Green[0] = (UCHAR)((n + s + l + e) / 4);
        } else {
            line.Flag[0] = 0;
            line.Green[0] = (UCHAR)(dGrad < vGrad ? (l + e) / 2 : (n + s) / 2);
        }
    } else {
        line.Green[width + 1] = (UCHAR)M(y, width - 1);
        line.Flag[width + 1] = 1;
    }
}

// Stage 1 for one row, in either formulation.
typedef void (*GreenRowRoutine)(LONG y, LONG width, GreenLine line);

// Fills the window for the first row pair (phase 0): rows 0 to 3, and row
// -1 as a copy of row 1, values and flags.
inline void PrimeGreenWindow(ULONG width, GreenRowRoutine interpolate)
{
    for (ULONG role = 1; role < 5; ++role) {
        interpolate((LONG)role - 1, (LONG)width, RotatingLine(width, 0, role));
    }
    RtlCopyMemory(RotatingLine(width, 0, 0).Green, RotatingLine(width, 0, 2).Green, width + 2);
    RtlCopyMemory(RotatingLine(width, 0, 0).Flag, RotatingLine(width, 0, 2).Flag, width + 2);
}

// Moves the window on from the pair at row y0: the lines of rows y0+1 ..
// y0+3 keep their contents and rows y0+4 and y0+5 are interpolated (greens
// are needed for rows 0 .. H only). Returns the next phase.
inline ULONG AdvanceGreenWindow(ULONG width, ULONG height, LONG y0, ULONG phase,
                                GreenRowRoutine interpolate)
{
    phase = (phase + 1) % 5;
    for (LONG k = 4; k <= 5; ++k) {
        if (y0 + k <= (LONG)height) {
            interpolate(y0 + k, (LONG)width, RotatingLine(width, phase, (ULONG)k - 1));
        }
    }
    return phase;
}

} // namespace demosaic
