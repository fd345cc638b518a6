#include "pixel_kernels.h"

#include "pixel_kernels_simd.h"
#include "reconstruct.h"

void ToneLookupScalar(PUCHAR Destination, const UCHAR* Source, ULONG Count, const UCHAR* Table)
{
    for (ULONG i = 0; i < Count; ++i) {
        Destination[i] = Table[Source[i]];
    }
}

PixelKernelTable PixelKernels = {DemosaicLargeFrameReference, SharpenLumaReference,
                                 ToneLookupScalar, "reference"};

void SelectPixelKernels(PixelKernelChoice Choice)
{
    PixelKernels.DemosaicLarge = DemosaicLargeFrameReference;
    PixelKernels.SharpenLuma = SharpenLumaReference;
    PixelKernels.ToneLookup = ToneLookupScalar;
    PixelKernels.Name = "reference";
    if (Choice == PixelKernelsReference) {
        return;
    }
#if defined(__x86_64__) && !defined(_WIN32)
    // In the Windows kernel the wide registers would have to be saved around
    // every use; there the reference kernels serve.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) {
        PixelKernels.DemosaicLarge = DemosaicLargeFrameAvx2;
        PixelKernels.SharpenLuma = SharpenLumaAvx2;
        PixelKernels.Name = "avx2";
        if (__builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512bw")) {
            PixelKernels.ToneLookup = ToneLookupAvx512Vbmi;
            PixelKernels.Name = "avx2+avx512vbmi";
        }
    }
#endif
}
