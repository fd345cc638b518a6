// Reference formulation of the large-frame reconstruction: green by
// edge-directed interpolation with flat flags, smoothing of measured greens
// among flat neighbours, red and blue by colour differences, tone curve,
// Q15 colour matrix, BT.601 conversion with 2x2 chroma averaging.

#include "demosaic_lines.h"
#include "reconstruct.h"

using namespace demosaic;

namespace {

inline LONG Clip(LONG v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }
// The high half of a signed 16 x 16-bit product: (a * k) / 65536 rounded down.
inline LONG MulHigh(LONG a, LONG k) { return (a * k) >> 16; }
// Division by 2^n rounded down (the shift is arithmetic).
inline LONG FloorDiv(LONG v, int shift) { return v >> shift; }

// Stage 1 for row y: green and flat flag at every colour position, the
// measured green elsewhere, and the border columns.
void InterpolateGreenRow(LONG y, LONG width, GreenLine line)
{
    const LONG firstColour = (y & 1) ? 0 : 1; // odd rows: R at even x; even rows: B at odd x
    for (LONG x = 0; x < width; ++x) {
        if ((x & 1) != firstColour) {
            line.Green[x + 1] = (UCHAR)M(y, x);
            continue;
        }
        const LONG z = M(y, x);
        const LONG n = M(y - 1, x), s = M(y + 1, x), l = M(y, x - 1), e = M(y, x + 1);
        const LONG vGrad = Abs(z - (M(y - 2, x) + M(y + 2, x)) / 2) + Abs(n - s);
        const LONG dGrad = Abs(z - (M(y, x - 2) + M(y, x + 2)) / 2) + Abs(l - e);
        const LONG v = (n + s) / 2;
        const LONG h = (l + e) / 2;
        if (vGrad < 19 && dGrad < 19) {
            line.Flag[x + 1] = 1;
            line.Green[x + 1] = (UCHAR)((v + h) / 2);
        } else {
            line.Flag[x + 1] = 0;
            line.Green[x + 1] = (UCHAR)(vGrad > dGrad ? h : v);
        }
    }
    InterpolateGreenBorders(y, width, line);
}

// Stage 2 for row y (1 .. H-1): a measured green with three or four flat
// neighbours becomes the mean of those four interpolated neighbours.
void SmoothGreenRow(LONG y, LONG width, GreenLine above, GreenLine row, GreenLine below)
{
    const LONG firstGreen = (y & 1) ? 1 : 0;
    for (LONG x = firstGreen; x < width; x += 2) {
        const LONG flat = above.F(x) + below.F(x) + row.F(x - 1) + row.F(x + 1);
        if (flat >= 3) {
            row.Green[x + 1] =
                (UCHAR)((above.G(x) + below.G(x) + row.G(x - 1) + row.G(x + 1)) / 4);
        }
    }
}

struct PixelRgb {
    LONG R, G, B;
};

// Stage 3 for the column pair (x0, x0 + 1) of row y.
void ColourPair(LONG y, LONG x0, GreenLine above, GreenLine row, GreenLine below,
                PixelRgb& p0, PixelRgb& p1)
{
    const LONG x1 = x0 + 1;
    p0.G = row.G(x0);
    p1.G = row.G(x1);
    if ((y & 1) == 0) {
        p1.B = M(y, x1);
        p0.B = Clip((M(y, x0 - 1) + M(y, x0 + 1)) / 2 + row.G(x0) -
                    (row.G(x0 - 1) + row.G(x0 + 1)) / 2);
        p0.R = Clip((M(y - 1, x0) + M(y + 1, x0)) / 2 + row.G(x0) -
                    (above.G(x0) + below.G(x0)) / 2);
        p1.R = Clip((M(y - 1, x0) + M(y - 1, x0 + 2) + M(y + 1, x0) + M(y + 1, x0 + 2)) / 4 +
                    row.G(x1) -
                    (above.G(x0) + above.G(x0 + 2) + below.G(x0) + below.G(x0 + 2)) / 4);
    } else {
        p0.R = M(y, x0);
        p1.R = Clip((M(y, x0) + M(y, x0 + 2)) / 2 + row.G(x1) - (row.G(x0) + row.G(x0 + 2)) / 2);
        p0.B = Clip((M(y - 1, x0 - 1) + M(y - 1, x0 + 1) + M(y + 1, x0 - 1) + M(y + 1, x0 + 1)) / 4 +
                    row.G(x0) -
                    (above.G(x0 - 1) + above.G(x0 + 1) + below.G(x0 - 1) + below.G(x0 + 1)) / 4);
        p1.B = Clip((M(y - 1, x1) + M(y + 1, x1)) / 2 + row.G(x1) -
                    (above.G(x1) + below.G(x1)) / 2);
    }
}

struct PixelYuv {
    LONG Y; // stored luma
    LONG U; // chroma terms summed over the 2x2 block
    LONG W;
};

// Stages 4 and 5 for one pixel.
PixelYuv ConvertPixel(const PixelRgb& p, const SHORT (*m)[4], const UCHAR* toneR,
                      const UCHAR* toneG, const UCHAR* toneB)
{
    const LONG r7 = 128 * toneR[p.R];
    const LONG g7 = 128 * toneG[p.G];
    const LONG b7 = 128 * toneB[p.B];
    LONG rm = MulHigh(r7, m[0][0]) - MulHigh(g7, m[1][0]) - MulHigh(b7, m[2][0]);
    LONG gm = MulHigh(g7, m[4][0]) - MulHigh(r7, m[3][0]) - MulHigh(b7, m[5][0]);
    LONG bm = MulHigh(b7, m[8][0]) - MulHigh(g7, m[7][0]) - MulHigh(r7, m[6][0]);
    rm = rm < 0 ? 0 : rm;
    gm = gm < 0 ? 0 : gm;
    bm = bm < 0 ? 0 : bm;
    const LONG ys = MulHigh(rm, 9798) + MulHigh(gm, 19235) + MulHigh(bm, 3736);
    const LONG y2 = 2 * ys;
    PixelYuv out;
    out.Y = y2 / 32 > 255 ? 255 : y2 / 32;
    out.U = MulHigh(bm - y2, 18481);
    out.W = MulHigh(rm - y2, 23396);
    return out;
}

inline UCHAR ChromaByte(LONG sum)
{
    LONG c = FloorDiv(sum, 6);
    c = c < -128 ? -128 : (c > 127 ? 127 : c);
    return (UCHAR)(c + 128);
}

} // namespace

void DemosaicLargeFrameReference(ULONG Width, ULONG Height, PUCHAR Output,
                                 const SHORT (*Matrix)[4], const UCHAR* ToneR,
                                 const UCHAR* ToneG, const UCHAR* ToneB)
{
    PipelineTables& p = Pipeline;
    const LONG width = (LONG)Width;
    const LONG height = (LONG)Height;
    PUCHAR const uPlane = Output + Width * Height;
    PUCHAR const vPlane = uPlane + Width * Height / 4;

    auto line = [&](ULONG phase, ULONG role) { return RotatingLine(Width, phase, role); };

    ULONG phase = 0;
    PrimeGreenWindow(Width, InterpolateGreenRow);

    for (LONG n = 0; 2 * n < height; ++n) {
        const LONG y0 = 2 * n;
        const GreenLine rowM1 = line(phase, 0), row0 = line(phase, 1), row1 = line(phase, 2),
                        row2 = line(phase, 3);
        if (y0 > 0) {
            SmoothGreenRow(y0, width, rowM1, row0, row1);
        }
        SmoothGreenRow(y0 + 1, width, row0, row1, row2);

        PUCHAR const luma0 = p.LumaLines[y0] + LUMA_MARGIN_BYTES;
        PUCHAR const luma1 = p.LumaLines[y0 + 1] + LUMA_MARGIN_BYTES;
        for (LONG x0 = 0; x0 < width; x0 += 2) {
            PixelRgb a0, a1, b0, b1;
            ColourPair(y0, x0, rowM1, row0, row1, a0, a1);
            ColourPair(y0 + 1, x0, row0, row1, row2, b0, b1);
            const PixelYuv ya0 = ConvertPixel(a0, Matrix, ToneR, ToneG, ToneB);
            const PixelYuv ya1 = ConvertPixel(a1, Matrix, ToneR, ToneG, ToneB);
            const PixelYuv yb0 = ConvertPixel(b0, Matrix, ToneR, ToneG, ToneB);
            const PixelYuv yb1 = ConvertPixel(b1, Matrix, ToneR, ToneG, ToneB);
            luma0[x0] = (UCHAR)ya0.Y;
            luma0[x0 + 1] = (UCHAR)ya1.Y;
            luma1[x0] = (UCHAR)yb0.Y;
            luma1[x0 + 1] = (UCHAR)yb1.Y;
            const ULONG c = (ULONG)n * (Width / 2) + (ULONG)x0 / 2;
            uPlane[c] = ChromaByte(ya0.U + ya1.U + yb0.U + yb1.U);
            vPlane[c] = ChromaByte(ya0.W + ya1.W + yb0.W + yb1.W);
        }

        phase = AdvanceGreenWindow(Width, Height, y0, phase, InterpolateGreenRow);
    }
}
