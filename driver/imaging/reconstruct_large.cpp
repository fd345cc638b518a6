#include "pipeline_tables.h"
#include "pixel_kernels.h"
#include "reconstruct.h"

ULONG ReconstructLargeFrame(ULONG Width, ULONG Height, PUCHAR Output, const UCHAR* ToneR,
                            const UCHAR* ToneG, const UCHAR* ToneB, const SHORT (*Matrix)[4],
                            LONG Sharpness)
{
    PixelKernels.DemosaicLarge(Width, Height, Output, Matrix, ToneR, ToneG, ToneB);
    if (Sharpness != 0) {
        PixelKernels.SharpenLuma(Width, Height, Sharpness, Output);
    } else {
        for (ULONG y = 0; y < Height; ++y) {
            RtlCopyMemory(Output + y * Width, Pipeline.LumaLines[y] + LUMA_MARGIN_BYTES, Width);
        }
    }
    return 1;
}
