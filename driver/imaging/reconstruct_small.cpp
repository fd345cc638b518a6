// Small-frame reconstruction: tone curve and Q9 colour matrix in place on the
// decoder's blue-green-red picture, table-driven BT.601 conversion with the
// chroma offset averaged in, then luma sharpening.

#include "pipeline_tables.h"
#include "pixel_kernels.h"
#include "reconstruct.h"

namespace {

inline UCHAR Clip(LONG v) { return (UCHAR)(v < 0 ? 0 : (v > 255 ? 255 : v)); }

} // namespace

// Converts the bottom-up blue-green-red picture at Source: Y into the luma
// lines, U and V (averaged over 2x2 blocks, offset included) into Output.
ULONG ConvertBgrToI420(ULONG Width, ULONG Height, PUCHAR Output, const UCHAR* Source)
{
    const SHORT(*t)[256] = Pipeline.YuvProducts;
    PUCHAR const uPlane = Output + Width * Height;
    PUCHAR const vPlane = uPlane + Width * Height / 4;
    const ULONG stride = 3 * Width;
    for (ULONG y = 0; y < Height; y += 2) {
        const UCHAR* rows[2] = {Source + stride * (Height - 1 - y),
                                Source + stride * (Height - 2 - y)};
        PUCHAR luma[2] = {Pipeline.LumaLines[y] + LUMA_MARGIN_BYTES,
                          Pipeline.LumaLines[y + 1] + LUMA_MARGIN_BYTES};
        for (ULONG x = 0; x < Width; x += 2) {
            LONG uSum = 0;
            LONG vSum = 0;
            for (ULONG r = 0; r < 2; ++r) {
                for (ULONG c = 0; c < 2; ++c) {
                    const UCHAR* px = rows[r] + 3 * (x + c);
                    const LONG b = px[0], g = px[1], red = px[2];
                    luma[r][x + c] = (UCHAR)(t[T_YR][red] + t[T_YG][g] + t[T_YB][b]);
                    uSum += t[T_UR][red] + t[T_UG][g] + t[T_UB][b] + 128;
                    vSum += t[T_VR][red] + t[T_VG][g] + t[T_VB][b] + 128;
                }
            }
            const ULONG index = (y / 2) * (Width / 2) + x / 2;
            uPlane[index] = (UCHAR)(uSum / 4);
            vPlane[index] = (UCHAR)(vSum / 4);
        }
    }
    return 1;
}

ULONG ReconstructSmallFrame(ULONG Width, ULONG Height, const UCHAR* ToneB, const UCHAR* ToneG,
                            const UCHAR* ToneR, const LONG* Matrix, LONG Sharpness, PUCHAR Source,
                            PUCHAR Output)
{
    const UCHAR* tone[3] = {ToneB ? ToneB : BaseToneCurve, ToneG ? ToneG : BaseToneCurve,
                            ToneR ? ToneR : BaseToneCurve};
    const ULONG pixels = Width * Height;
    // The coefficients in locals: the stores below could otherwise alias them.
    LONG m[9];
    for (ULONG k = 0; k < 9; ++k) {
        m[k] = Matrix[k];
    }
    for (ULONG i = 0; i < pixels; ++i) {
        PUCHAR px = Source + 3 * i;
        const LONG b0 = tone[0][px[0]];
        const LONG b1 = tone[1][px[1]];
        const LONG b2 = tone[2][px[2]];
        // The sums lie in -76 .. 331 for the fixed matrix; the clip equals
        // the clamp table over that range.
        px[0] = Clip((m[0] * b0 + m[1] * b1 + m[2] * b2) >> 9);
        px[1] = Clip((m[3] * b0 + m[4] * b1 + m[5] * b2) >> 9);
        px[2] = Clip((m[6] * b0 + m[7] * b1 + m[8] * b2) >> 9);
    }
    ConvertBgrToI420(Width, Height, Output, Source);
    PixelKernels.SharpenLuma(Width, Height, Sharpness, Output);
    return 1;
}
