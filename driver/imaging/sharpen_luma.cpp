// Reference formulation of the luma sharpening: a zero-sum 4x4 high-pass
// kernel, cored (|D / 16| must exceed 1) and scaled by the sharpness.

#include "pipeline_tables.h"
#include "reconstruct.h"

namespace {

// K(dy, dx) for dy = -2 .. +1 (rows) and dx = -2 .. +1 (columns).
const LONG SharpenKernel[4][4] = {
    {0, -1, -2, -1},
    {-1, 2, 3, 0},
    {-2, 3, 4, -1},
    {-1, 0, -1, -2},
};

} // namespace

void FillLumaMargins(ULONG Width, ULONG Height)
{
    for (ULONG y = 0; y < Height; ++y) {
        PUCHAR a = Pipeline.LumaLines[y] + LUMA_MARGIN_BYTES;
        a[-2] = a[2];
        a[-1] = a[1];
        a[Width] = a[Width - 2];
        a[Width + 1] = a[Width - 3];
    }
}

void SharpenLumaReference(ULONG Width, ULONG Height, LONG Sharpness, PUCHAR Output)
{
    FillLumaMargins(Width, Height);
    const ULONG copied[4] = {0, 1, Height - 2, Height - 1};
    for (ULONG row : copied) {
        RtlCopyMemory(Output + row * Width, Pipeline.LumaLines[row] + LUMA_MARGIN_BYTES, Width);
    }
    const LONG s = (SHORT)Sharpness; // only the low 16 bits take part
    for (ULONG y = 2; y + 1 < Height; ++y) {
        const UCHAR* rows[4];
        for (ULONG k = 0; k < 4; ++k) {
            rows[k] = Pipeline.LumaLines[y - 2 + k] + LUMA_MARGIN_BYTES;
        }
        PUCHAR out = Output + y * Width;
        for (LONG x = 0; x < (LONG)Width; ++x) {
            LONG d = 0;
            for (LONG dy = 0; dy < 4; ++dy) {
                for (LONG dx = 0; dx < 4; ++dx) {
                    d += SharpenKernel[dy][dx] * rows[dy][x + dx - 2];
                }
            }
            const LONG q = d >> 4; // rounded down
            LONG delta = 0;
            if (q > 1 || q < -1) {
                delta = (SHORT)(s * d) >> 5; // 16-bit product, rounded down
            }
            const LONG value = rows[2][x] + delta;
            out[x] = (UCHAR)(value < 0 ? 0 : (value > 255 ? 255 : value));
        }
    }
}
