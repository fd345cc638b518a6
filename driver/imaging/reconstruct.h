// Colour reconstruction of decoded frames into planar I420, and the luma
// sharpening both paths end with. Each pixel kernel has a plain reference
// written exactly as its arithmetic is defined; faster variants are chosen
// once through PixelKernels (pixel_kernels.h).
#pragma once

#include "../core/kaldrin_platform.h"

// Builds the I420 picture of a 320x240 or 352x288 frame from the mosaic in
// the registered mosaic buffer: Y through the luma lines and sharpening (or a
// plain copy when Sharpness is 0), U and V straight into Output. Returns 1.
ULONG ReconstructLargeFrame(ULONG Width, ULONG Height, PUCHAR Output, const UCHAR* ToneR,
                            const UCHAR* ToneG, const UCHAR* ToneB, const SHORT (*Matrix)[4],
                            LONG Sharpness);

// Builds the I420 picture of a 160x120 or 176x144 frame from Source (the
// decoder's bottom-up blue-green-red picture, changed in place by the tone
// curve and the colour matrix) into Output. A null tone table stands for
// BaseToneCurve. Returns 1.
ULONG ReconstructSmallFrame(ULONG Width, ULONG Height, const UCHAR* ToneB, const UCHAR* ToneG,
                            const UCHAR* ToneR, const LONG* Matrix, LONG Sharpness, PUCHAR Source,
                            PUCHAR Output);

// Stages 1 to 5 of the large reconstruction: Y into the luma lines, U and V
// into Output.
void DemosaicLargeFrameReference(ULONG Width, ULONG Height, PUCHAR Output,
                                 const SHORT (*Matrix)[4], const UCHAR* ToneR,
                                 const UCHAR* ToneG, const UCHAR* ToneB);

// Adds the cored, scaled high-pass term to the luma lines and writes the Y
// plane at Output (rows of Width bytes).
void SharpenLumaReference(ULONG Width, ULONG Height, LONG Sharpness, PUCHAR Output);
